#include "cli/support/Interrupts.h"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <csignal>
#include <memory>

namespace mervix::cli {

void AfterOn(asio::io_context& io, int milliseconds, std::function<void()> task) {
  auto timer = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(milliseconds));
  timer->async_wait([timer, task = std::move(task)](const asio::error_code& ec) {
    if (!ec) task();
  });
}

FleetInterrupts::FleetInterrupts(asio::io_context& io, std::function<void(bool atOnce)> announce)
    : io_(io), signals_(io, SIGINT, SIGTERM), announce_(std::move(announce)) {}

void FleetInterrupts::Arm(FleetEngine& engine) {
  engine_ = &engine;
  signals_.async_wait([this](const asio::error_code& ec, int) { OnSignal(ec); });
}

void FleetInterrupts::Cancel() {
  asio::error_code ignored;
  signals_.cancel(ignored);
}

void FleetInterrupts::OnSignal(const asio::error_code& ec) {
  if (ec || engine_ == nullptr || engine_->Ended()) return;
  const bool atOnce = ++interrupts_ > 1;
  announce_(atOnce);
  engine_->Stop(atOnce);
  if (atOnce) {
    io_.stop();
    return;
  }
  if (!engine_->Ended()) signals_.async_wait([this](const asio::error_code& e, int) { OnSignal(e); });
}

}  // namespace mervix::cli
