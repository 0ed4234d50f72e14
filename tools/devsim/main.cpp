// mervix-devsim: a simulated device for trying and testing mervix without
// hardware. See UsageText() for the options.
#include "tools/devsim/DeviceSimulator.h"
#include "tools/devsim/SimulatorOptions.h"
#include "MervixVersion.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  using namespace mervix::devsim;
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("mervix-devsim %s\n", mervix::kVersion);
    return 0;
  }
  SimulatorOptions options;
  std::string error;
  switch (ParseSimulatorOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    case ParseOutcome::Help:
      std::fputs(UsageText(), stdout);
      return 0;
    case ParseOutcome::Error:
      std::fprintf(stderr, "mervix-devsim: %s\n(see mervix-devsim --help)\n", error.c_str());
      return 2;
    case ParseOutcome::Ok:
      break;
  }

  // SIGTERM/SIGINT (Ctrl-C on a Windows console) stop every device: each
  // ends the wait it is in and writes its record. Later signals are taken
  // and ignored while the devices finish.
  asio::io_context signalContext;
  asio::signal_set signals(signalContext, SIGINT, SIGTERM);
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif

  // Every device listens before any line is printed, so that a reader of the
  // lines can connect to all of them at once.
  std::vector<std::unique_ptr<DeviceSimulator>> devices;
  for (unsigned k = 0; k < options.devices; ++k) {
    const SimulatorOptions own = DeviceOptions(options, k);
    devices.push_back(std::make_unique<DeviceSimulator>(own));
    if (!devices.back()->Listen(&error)) {
      if (own.name.empty()) std::fprintf(stderr, "mervix-devsim: %s\n", error.c_str());
      else std::fprintf(stderr, "mervix-devsim: device %s: %s\n", own.name.c_str(), error.c_str());
      return 1;
    }
    // The interface of --unit-link takes the first unit's address before
    // anyone is told that the device is there.
    if (!devices.back()->PrepareUnitLink(&error)) {
      std::fprintf(stderr, "mervix-devsim: option --unit-link: %s\n", error.c_str());
      return 3;
    }
  }
  for (const auto& device : devices) std::printf("listening on %s\n", device->Listening().c_str());
  std::fflush(stdout);

  // A thread per device (a device's waits block its thread); this one waits
  // for a signal until the last device has ended by itself.
  signals.async_wait([&devices](const asio::error_code& ec, int) {
    if (ec) return;
    for (const auto& device : devices) device->Stop();
  });
  std::vector<int> codes(devices.size(), 0);
  std::atomic<std::size_t> serving{devices.size()};
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < devices.size(); ++k) {
    threads.emplace_back([&, k] {
      codes[k] = devices[k]->Serve();
      if (--serving == 0) asio::post(signalContext, [&signals] { signals.cancel(); });
    });
  }
  signalContext.run();
  for (std::thread& t : threads) t.join();
  int rc = 0;
  for (int code : codes) rc = std::max(rc, code);
  // A unit that could not come or go (3) has said why already.
  if (std::find(codes.begin(), codes.end(), 1) != codes.end())
    std::fprintf(stderr, "mervix-devsim: could not write the record or the image\n");
  return rc;
}
