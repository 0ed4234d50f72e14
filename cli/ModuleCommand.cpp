// mervix-cli module: the user module download of the popup menu, run from
// the terminal: "User Module" answers FILE, "Module Address" answers
// --address, then "User Module Download" runs.
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

constexpr char kUsage[] = "module --host H [--port P] --address HEX [--yes] FILE";

int Run(const std::vector<std::string>& args) {
  OperationCommandOptions options;
  std::string error;
  switch (ParseOperationArguments(OperationCommand::Module, args, &options, &error)) {
    case OptionsParse::Help:
      std::printf(
          "usage: mervix-cli %s\n\n"
          "Runs the user module download of the popup menu: FILE becomes the user\n"
          "module, HEX the User Base Address, and the module is written into the\n"
          "device's special sector. An S-record module (first byte 'S') is converted\n"
          "into \"inter.img\" first and must start at the User Base Address. The log goes\n"
          "to standard output, messages and questions to standard error.\n\n"
          "  --host H            the device\n"
          "  --port P            its port, 0 to 65535 (default 2222)\n"
          "  --address HEX       the User Base Address, hexadecimal without a prefix\n"
          "  --yes               answer OK to \"Permanent write! Continue?\"\n"
          "  --settings FILE     keep the settings in FILE; without it they live in\n"
          "                      memory for this run only\n"
          "  --work-dir DIR      write \"inter.img\" into DIR instead of the working folder\n"
          "  --timeout SECONDS   give up when the device stays silent that long\n\n"
          "Exit status: 0 download finished; 1 refused, failed, cancelled or stopped\n"
          "before sending, silent ends of the window included (the reason on standard\n"
          "error); 2 usage error.\n",
          kUsage);
      return kExitSuccess;
    case OptionsParse::Usage:
      std::fprintf(stderr, "mervix-cli module: %s\nusage: mervix-cli %s\n", error.c_str(), kUsage);
      return kExitUsage;
    case OptionsParse::Ok:
      break;
  }
  SetActiveLanguage(LanguageFromEnvironment());

  MemorySettingsStore settings;
  if (!OpenCommandSettings(options, &settings, &error)) {
    std::fprintf(stderr, "mervix-cli module: %s\n", error.c_str());
    return kExitFailure;
  }
  ControlValues controls;
  controls.host = options.host;
  controls.port = options.port.value_or(
      settings.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0 ? kCommandLineKorvanePort
                                                                              : kCommandLineDefaultPort);

  TerminalOperator terminal(stdin, stdout, stderr, options.assumeYes);
  CommandLineOperator op(terminal, controls, options.file, options.address, stdin, stderr);
  LogPane log([&terminal](const std::string&, const std::string& appended) { terminal.PrintLog(appended); });
  PosixDeviceLink link;
  link.SetConnectTimeoutMs(options.timeoutMs);
  DownloadOperations ops(link, op, log, settings);
  ops.SetWorkDirectory(options.workDirectory);
  ops.LoadUserModuleSettings();

  // The two choices as the menu records them, then the download.
  ops.OnUserModuleCommand(kCommandUserModule);
  ops.OnUserModuleCommand(kCommandModuleAddress);
  const PreparationResult prepared = ops.OnUserModuleCommand(kCommandUserModuleDownload);
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
  return CompleteCommandRun(ops, prepared, wait, options.timeoutMs, op, "module", stderr);
}

CommandRegistration reg({"module", kUsage, "the user module download of the popup menu", &Run});

}  // namespace
}  // namespace mervix::cli
