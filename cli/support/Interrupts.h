// Ctrl-C (SIGINT) and SIGTERM for a fleet on an io_context, one or many
// devices alike: the first stops every device after its block in flight and
// lets no new one start; the second stops them at once and the event loop
// with them.
#pragma once

#include "operations/FleetEngine.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <functional>

namespace mervix::cli {

// Runs |task| on |io| once |milliseconds| have passed (a fleet host's After).
void AfterOn(asio::io_context& io, int milliseconds, std::function<void()> task);

class FleetInterrupts {
 public:
  // |announce| is told before each stop whether it is the one at once.
  FleetInterrupts(asio::io_context& io, std::function<void(bool atOnce)> announce);

  // Waits for the signals that stop |engine|, which must outlive the wait.
  void Arm(FleetEngine& engine);
  // The fleet has ended: the signals are the process's own again.
  void Cancel();

 private:
  void OnSignal(const asio::error_code& ec);

  asio::io_context& io_;
  asio::signal_set signals_;
  std::function<void(bool)> announce_;
  FleetEngine* engine_ = nullptr;
  int interrupts_ = 0;
};

}  // namespace mervix::cli
