#include "cli/support/OperationRunner.h"

#include "cli/Commands.h"
#include "cli/support/PosixDeviceLink.h"
#include "cli/support/TerminalOperator.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include <cstdio>

namespace mervix::cli {

int RunOperationCommand(OperationCommand command, const OperationCommandText& text,
                        const std::vector<std::string>& args, DiagnosticSink* diagnostics,
                        const StartOperation& start) {
  OperationCommandOptions options;
  std::string error;
  switch (ParseOperationArguments(command, args, &options, &error)) {
    case OptionsParse::Help:
      std::printf("usage: mervix-cli %s\n\n", text.usage);
      std::fputs(text.help, stdout);
      return kExitSuccess;
    case OptionsParse::Usage:
      std::fprintf(stderr, "mervix-cli %s: %s\nusage: mervix-cli %s\n", text.name, error.c_str(), text.usage);
      return kExitUsage;
    case OptionsParse::Ok:
      break;
  }
  SetActiveLanguage(LanguageFromEnvironment());

  MemorySettingsStore settings;
  if (!OpenCommandSettings(options, &settings, &error)) {
    std::fprintf(stderr, "mervix-cli %s: %s\n", text.name, error.c_str());
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
  DownloadOperations ops(link, op, log, settings, diagnostics);
  ops.SetWorkDirectory(options.workDirectory);

  const PreparationResult prepared = start(ops);
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
  return CompleteCommandRun(ops, prepared, wait, options.timeoutMs, op, text.name, stderr);
}

}  // namespace mervix::cli
