// mervix-cli send: one firmware download of a ready image, as the window
// would run it, on the terminal.
#include "cli/Commands.h"
#include "cli/support/SendRunner.h"
#include "resources/MessageTable.h"

#include <cstdio>

namespace mervix::cli {
namespace {

constexpr char kUsage[] = "send --host HOST [--port PORT] [--yes] [--timeout SECONDS] FILE";

int Run(const std::vector<std::string>& args) {
  SendOptions options;
  std::string error;
  switch (ParseSendArguments(args, &options, &error)) {
    case ParseResult::Help:
      std::printf(
          "usage: mervix-cli %s\n\n"
          "Sends the image FILE to the device's download service at HOST (port 2222 unless\n"
          "--port is given), switching the device into download mode first. The log goes\n"
          "to standard output, messages and questions to standard error.\n\n"
          "  --yes              answer OK to \"Permanent write! Continue?\"\n"
          "  --timeout SECONDS  give up when the device stays silent that long\n"
          "                     (also bounds each connect attempt); off by default\n\n"
          "Exit status: 0 download finished, 1 refused, failed, cancelled or timed out,\n"
          "2 usage error.\n",
          kUsage);
      return kExitSuccess;
    case ParseResult::Usage:
      std::fprintf(stderr, "mervix-cli send: %s\nusage: mervix-cli %s\n", error.c_str(), kUsage);
      return kExitUsage;
    case ParseResult::Ok:
      break;
  }
  SetActiveLanguage(LanguageFromEnvironment());
  return RunSend(options, stdin, stdout, stderr);
}

CommandRegistration reg({"send", kUsage, "download an image to the device", &Run});

}  // namespace
}  // namespace mervix::cli
