// mervix-devsim: a simulated device for trying and testing mervix without
// hardware. See UsageText() for the options.
#include "tools/devsim/DeviceSimulator.h"
#include "tools/devsim/SimulatorOptions.h"
#include "MervixVersion.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/strand.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

// A fleet needs two descriptors a device (its listener and its connection):
// the soft limit goes up to the hard one.
void RaiseDescriptorLimit() {
#ifndef _WIN32
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
#endif
}

// What the end of standard input does (--stop-on-eof), while the devices
// serve; statics, so that the watching thread, which is never joined, can
// still reach them as the program ends.
std::mutex gStopMutex;
std::function<void()> gStopOnEof;

}  // namespace

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

  RaiseDescriptorLimit();

  // Every device is a coroutine on its own strand of one context, run by a
  // thread per core (at most one per device).
  asio::io_context io;

  // SIGTERM/SIGINT (Ctrl-C on a Windows console) stop every device: each
  // ends the wait it is in and writes its record. Later signals are taken
  // and ignored while the devices finish.
  asio::signal_set signals(asio::make_strand(io), SIGINT, SIGTERM);
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif

  // Every device listens before any line is printed, so that a reader of the
  // lines can connect to all of them at once.
  std::vector<std::unique_ptr<DeviceSimulator>> devices;
  for (unsigned k = 0; k < options.devices; ++k) {
    const SimulatorOptions own = DeviceOptions(options, k);
    devices.push_back(std::make_unique<DeviceSimulator>(io, own));
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

  // The signal's wait ends with the last device, so that the context then
  // runs out of work and the threads return.
  signals.async_wait([&devices](const asio::error_code& ec, int) {
    if (ec) return;
    for (const auto& device : devices) device->Stop();
  });
  // The end of standard input stops the devices as a signal does: a
  // thread blocked in the read hands the stop to the context, for as long
  // as the context runs.
  if (options.stopOnEof) {
    {
      const std::lock_guard<std::mutex> lock(gStopMutex);
      gStopOnEof = [&signals, &devices] {
        asio::post(signals.get_executor(), [&devices] {
          for (const auto& device : devices) device->Stop();
        });
      };
    }
    std::thread([] {
      char buffer[256];
      while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
      }
      const std::lock_guard<std::mutex> lock(gStopMutex);
      if (gStopOnEof) gStopOnEof();
    }).detach();
  }
  std::vector<int> codes(devices.size(), 0);
  std::atomic<std::size_t> serving{devices.size()};
  for (std::size_t k = 0; k < devices.size(); ++k) {
    asio::co_spawn(devices[k]->GetExecutor(), devices[k]->Serve(),
                   [&, k](std::exception_ptr failure, int code) {
                     codes[k] = failure ? 1 : code;
                     if (--serving == 0) asio::post(signals.get_executor(), [&signals] { signals.cancel(); });
                   });
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t threadCount = std::min<std::size_t>(devices.size(), cores);
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < threadCount; ++t) threads.emplace_back([&io] { io.run(); });
  io.run();
  for (std::thread& t : threads) t.join();
  {
    const std::lock_guard<std::mutex> lock(gStopMutex);
    gStopOnEof = nullptr;
  }
  int rc = 0;
  for (int code : codes) rc = std::max(rc, code);
  // A unit that could not come or go (3) has said why already.
  if (std::find(codes.begin(), codes.end(), 1) != codes.end())
    std::fprintf(stderr, "mervix-devsim: could not write the record or the image\n");
  return rc;
}
