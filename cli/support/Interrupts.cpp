#include "cli/support/Interrupts.h"

#include <csignal>

namespace mervix::cli {

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
