// mervix-cli download: the firmware download operation of the Download
// button, run from the terminal against a device.
#include "cli/Commands.h"
#include "cli/support/PosixDeviceLink.h"
#include "cli/support/TerminalOperator.h"
#include "operations/CommandLine.h"
#include "operations/DownloadOperations.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include <cstdio>

namespace mervix::cli {
namespace {

constexpr char kUsage[] =
    "download [--host H] [--port P] [--base-address HEX] [--compress] [--yes] FILE";

// The coder's diagnostic lines go to standard error: standard output is the log.
class StandardErrorDiagnostics : public DiagnosticSink {
 public:
  void WriteOutput(const char* text) override { std::fputs(text, stderr); }
  void WriteError(const char* text) override { std::fputs(text, stderr); }
};

int Run(const std::vector<std::string>& args) {
  OperationCommandOptions options;
  std::string error;
  switch (ParseOperationArguments(OperationCommand::Download, args, &options, &error)) {
    case OptionsParse::Help:
      std::printf(
          "usage: mervix-cli %s\n\n"
          "Runs the firmware download of the Download button: FILE is sent as it is, or,\n"
          "when its extension is \"mot\", converted from S-records into the image beside it\n"
          "(lower case, \".img\") from the base address, and with --compress coded into\n"
          "\"Inter.img\" first. The version is shown, the device switched into download\n"
          "mode, and the image sent. The log goes to standard output, messages and\n"
          "questions to standard error.\n\n"
          "  --host H            the device (an empty host gives \"Host name error\")\n"
          "  --port P            its port, 0 to 65535 (default 2222, 55550 in Korvane mode)\n"
          "  --base-address HEX  the Base Address of an S-record file; asked on the\n"
          "                      terminal when missing (Return keeps the stored text)\n"
          "  --compress          tick \"Compress\"\n"
          "  --yes               answer OK to \"Permanent write! Continue?\"\n"
          "  --korvane           run with the setting \"Korvane\" set (no compression)\n"
          "  --settings FILE     keep the settings in FILE (\"[Previous Settings]\" with\n"
          "                      Key=value lines); without it they live in memory for\n"
          "                      this run only: the window's settings are never touched\n"
          "  --work-dir DIR      write \"Inter.img\" into DIR instead of the working folder\n"
          "  --timeout SECONDS   give up when the device stays silent that long\n\n"
          "Exit status: 0 download finished; 1 refused, failed, cancelled or stopped\n"
          "before sending (the reason on standard error); 2 usage error.\n",
          kUsage);
      return kExitSuccess;
    case OptionsParse::Usage:
      std::fprintf(stderr, "mervix-cli download: %s\nusage: mervix-cli %s\n", error.c_str(), kUsage);
      return kExitUsage;
    case OptionsParse::Ok:
      break;
  }
  SetActiveLanguage(LanguageFromEnvironment());

  MemorySettingsStore settings;
  if (!OpenCommandSettings(options, &settings, &error)) {
    std::fprintf(stderr, "mervix-cli download: %s\n", error.c_str());
    return kExitFailure;
  }
  // The port default of the window: 55550 in the Korvane mode.
  ControlValues controls;
  controls.host = options.host;
  controls.port = options.port.value_or(
      settings.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0 ? kCommandLineKorvanePort
                                                                              : kCommandLineDefaultPort);
  controls.compress = options.compress;

  TerminalOperator terminal(stdin, stdout, stderr, options.assumeYes);
  CommandLineOperator op(terminal, controls, options.file, options.address, stdin, stderr);
  LogPane log([&terminal](const std::string&, const std::string& appended) { terminal.PrintLog(appended); });
  PosixDeviceLink link;
  link.SetConnectTimeoutMs(options.timeoutMs);
  StandardErrorDiagnostics diagnostics;
  DownloadOperations ops(link, op, log, settings, &diagnostics);
  ops.SetWorkDirectory(options.workDirectory);

  const PreparationResult prepared = ops.OnDownload();
  const WaitAndDispatch wait = [&link](int timeoutMs) {
    switch (link.WaitAndDispatch(timeoutMs)) {
      case PosixDeviceLink::Dispatch::Notified:
        return LoopWait::Notified;
      case PosixDeviceLink::Dispatch::TimedOut:
        return LoopWait::TimedOut;
      case PosixDeviceLink::Dispatch::NoConnection:
        break;
    }
    return LoopWait::NoConnection;
  };
  return CompleteCommandRun(ops, prepared, wait, options.timeoutMs, op, "download", stderr);
}

CommandRegistration reg({"download", kUsage, "the firmware download of the Download button", &Run});

}  // namespace
}  // namespace mervix::cli
