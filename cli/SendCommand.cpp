// mervix-cli send: one firmware download of a ready image, as the window
// would run it, on the terminal.
#include "cli/Commands.h"
#include "cli/support/CommandRun.h"
#include "resources/MessageTable.h"

namespace mervix::cli {
namespace {

constexpr char kUsage[] =
    "send --host HOST [--host HOST...] [--hosts FILE] [--port PORT] [--jobs N] [--record FILE] [--yes] "
    "[--timeout S] [--retries N] [--json] FILE";

constexpr char kHelp[] =
    "Sends the image FILE to the device's download service at HOST (port 2222 unless\n"
    "HOST or --port names one), switching the device into download mode first. The log goes\n"
    "to standard output, messages and questions to standard error.\n\n"
    "  --yes                   answer OK to \"Permanent write! Continue?\"\n"
    "  --switch-pause SECONDS  the pause between the device's mode switch and the\n"
    "                          reconnect (default 3); for test benches and slow devices\n";

int Run(const std::vector<std::string>& args) {
  const CommandText text{"send", kUsage, kHelp};
  SendOptions options;
  std::string error;
  const int answered = AnswerParse(ParseSendArguments(args, &options, &error), text, error, {});
  if (answered >= 0) return answered;
  SetActiveLanguage(LanguageFromEnvironment());
  return RunSend(options);
}

CommandRegistration reg({"send", kUsage, "download an image to the device", &Run});

}  // namespace
}  // namespace mervix::cli
