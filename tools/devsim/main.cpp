// mervix-devsim: a simulated device for trying and testing mervix without
// hardware. See UsageText() for the options.
#include "tools/devsim/DeviceSimulator.h"
#include "tools/devsim/SimulatorOptions.h"
#include "MervixVersion.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

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

  DeviceSimulator simulator(options);
  if (!simulator.Listen(&error)) {
    std::fprintf(stderr, "mervix-devsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(simulator.Port()));
  std::fflush(stdout);

  const int rc = simulator.Serve(g_stopPipe[0]);
  if (rc != 0) std::fprintf(stderr, "mervix-devsim: could not write the record or the image\n");
  return rc;
}
