#include "cli/support/CommandRun.h"

#include "cli/Commands.h"
#include "cli/support/TerminalOperator.h"
#include "operations/DownloadJob.h"
#include "operations/DownloadOperations.h"
#include "operations/MemorySettingsStore.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include <asio/io_context.hpp>

namespace mervix::cli {
namespace {

// The log pane of a command: its lines go to the terminal as they come.
LogPane TerminalLog(TerminalOperator& terminal) {
  return LogPane([&terminal](const std::string&, const std::string& appended) { terminal.PrintLog(appended); });
}

// Runs the io_context until nothing of the run is left, then reports.
int RunToEnd(asio::io_context& io, const AsioRunner& runner, const char* name, std::FILE* err) {
  io.run();
  return ReportRun(name, runner, err);
}

}  // namespace

int AnswerParse(OptionsParse parse, const CommandText& text, const std::string& error, const CommandStreams& streams) {
  switch (parse) {
    case OptionsParse::Help:
      std::fprintf(streams.out, "usage: mervix-cli %s\n\n%s", text.usage, text.help);
      return kExitSuccess;
    case OptionsParse::Usage:
      std::fprintf(streams.err, "mervix-cli %s: %s\nusage: mervix-cli %s\n", text.name, error.c_str(), text.usage);
      return kExitUsage;
    case OptionsParse::Ok:
      break;
  }
  return -1;
}

RunnerLimits LimitsOf(const RunOptions& options) {
  RunnerLimits limits;
  limits.connectTimeoutMs = options.timeoutMs;
  limits.responseTimeoutMs = options.timeoutMs;
  return limits;
}

int ReportRun(const char* name, const AsioRunner& runner, std::FILE* err) {
  if (runner.Ended() && runner.Outcome() == RunOutcome::Finished) return kExitSuccess;
  const std::string why = runner.Ended() ? Describe(runner.LastFailure()) : "the run ended without an outcome";
  std::fprintf(err, "mervix-cli %s: %s\n", name, why.c_str());
  std::fflush(err);
  return kExitFailure;
}

int RunSend(const SendOptions& options, const CommandStreams& streams) {
  std::FILE* err = streams.err;
  // The image: sent as it is, path and length as given.
  PreparedImage image;
  const Failure refused = PrepareImageAsItIs(options.file, &image);
  if (refused.failed()) {
    std::fprintf(err, "mervix-cli send: %s\n", Describe(refused).c_str());
    return kExitFailure;
  }

  TerminalOperator terminal(streams.in, streams.out, err, options.assumeYes);
  LogPane log = TerminalLog(terminal);
  asio::io_context io;
  AsioRunner runner(io, terminal, LimitsOf(options));
  DownloadJob job(log);
  job.Machine().SetModeSwitchPauseMs(options.switchPauseMs);
  runner.Attach(job);
  if (!job.Start(image, options.host, options.port, runner)) {
    std::fprintf(err, "mervix-cli send: the run could not be started\n");
    return kExitFailure;
  }
  return RunToEnd(io, runner, "send", err);
}

int RunOperationCommand(OperationCommand command, const CommandText& text, const std::vector<std::string>& args,
                        DiagnosticSink* diagnostics, const StartOperation& start, const CommandStreams& streams) {
  OperationCommandOptions options;
  std::string error;
  const int answered = AnswerParse(ParseOperationArguments(command, args, &options, &error), text, error, streams);
  if (answered >= 0) return answered;
  SetActiveLanguage(LanguageFromEnvironment());

  MemorySettingsStore settings;
  if (!OpenCommandSettings(options, &settings, &error)) {
    std::fprintf(streams.err, "mervix-cli %s: %s\n", text.name, error.c_str());
    return kExitFailure;
  }
  // The port default of the window: 55550 in the Korvane mode.
  ControlValues controls;
  controls.host = options.host;
  controls.port = options.port.value_or(
      settings.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0 ? kKorvanePort : kDefaultPort);
  controls.compress = options.compress;

  TerminalOperator terminal(streams.in, streams.out, streams.err, options.assumeYes);
  CommandLineOperator op(terminal, controls, options.file, options.address, streams.in, streams.err);
  LogPane log = TerminalLog(terminal);
  asio::io_context io;
  AsioRunner runner(io, terminal, LimitsOf(options));
  DownloadOperations ops(op, log, settings, diagnostics);
  ops.SetWorkDirectory(options.workDirectory);
  ops.SetRunner(runner);
  ops.Job().Machine().SetModeSwitchPauseMs(options.switchPauseMs);
  runner.Attach(ops.Job());

  const PreparationResult prepared = start(ops);
  if (!prepared.started()) {
    // The preparation's own words: the silent ends of the window say why
    // here, and the others name the file or the input behind the box.
    std::fprintf(streams.err, "mervix-cli %s: %s\n", text.name, prepared.reason.c_str());
    return kExitFailure;
  }
  return RunToEnd(io, runner, text.name, streams.err);
}

}  // namespace mervix::cli
