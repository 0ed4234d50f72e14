// mervix-devsim: a simulated device for trying and testing mervix without
// hardware. See UsageText() for the options.
#include "tools/devsim/DeviceSimulator.h"
#include "tools/devsim/SimulatorOptions.h"
#include "MervixVersion.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

int g_stopPipe[2] = {-1, -1};

// SIGTERM/SIGINT: wake every wait of the simulator through the pipe.
void OnStopSignal(int) {
  const char c = 's';
  const ssize_t ignored = ::write(g_stopPipe[1], &c, 1);
  (void)ignored;
}

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

  if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("mervix-devsim: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // Every device listens before any line is printed, so that a reader of the
  // lines can connect to all of them at once.
  std::vector<std::unique_ptr<DeviceSimulator>> devices;
  for (unsigned k = 0; k < options.devices; ++k) {
    devices.push_back(std::make_unique<DeviceSimulator>(DeviceOptions(options, k)));
    if (!devices.back()->Listen(&error)) {
      std::fprintf(stderr, "mervix-devsim: %s\n", error.c_str());
      return 1;
    }
  }
  for (const auto& device : devices) std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(device->Port()));
  std::fflush(stdout);

  // One device serves on this thread; the others of a fleet on a thread
  // each (the simulator's waits block). The stop pipe is only polled, never
  // read, so one signal wakes them all.
  std::vector<int> codes(devices.size(), 0);
  std::vector<std::thread> threads;
  for (std::size_t k = 1; k < devices.size(); ++k) {
    threads.emplace_back([&, k] { codes[k] = devices[k]->Serve(g_stopPipe[0]); });
  }
  codes[0] = devices[0]->Serve(g_stopPipe[0]);
  for (std::thread& t : threads) t.join();
  int rc = 0;
  for (int code : codes) rc = std::max(rc, code);
  if (rc != 0) std::fprintf(stderr, "mervix-devsim: could not write the record or the image\n");
  return rc;
}
