#include "cli/support/CommandRun.h"

#include "cli/Commands.h"
#include "cli/support/Console.h"
#include "cli/support/TerminalOperator.h"
#include "operations/DownloadJob.h"
#include "image/HexText.h"
#include "operations/ImagePreparation.h"
#include "resources/PathText.h"
#include "operations/FleetEngine.h"
#include "operations/MemorySettingsStore.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include "cli/support/FleetRun.h"
#include "cli/support/StationRun.h"
#include "cli/support/Interrupts.h"
#include "cli/support/RunReport.h"
#include "resources/CommandLineMessages.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <functional>

namespace mervix::cli {
namespace {

// Everything one run command needs around its job: the terminal, the
// report, the runner and Ctrl-C.
struct RunSetup {
  RunSetup(const char* name, const RunOptions& options, const CommandStreams& streams)
      : terminal(streams.in, streams.out, streams.err, options.assumeYes),
        report(name, streams.out, streams.err, options.json, ShowsProgress(options.progress, streams.err)),
        log([this](const std::string&, const std::string& appended) { report.Log(appended); }),
        runner(io, terminal, LimitsOf(options)),
        streams_(streams),
        name_(name) {
    terminal.SetBoxHook([this](const std::string& text, const std::string& detail, ButtonSet buttons, Answer answer,
                               bool automatic) { report.Box(text, detail, buttons, answer, automatic); });
    terminal.SetBeforeOutput([this] { report.ClearProgress(); });
    runner.SetObserver(&report);
  }

  // Runs |image| on one device through the fleet engine, a fleet of one
  // whose runner is this terminal's: the first Ctrl-C stops the run after
  // the block in flight, the second ends it at once. Returns the exit code.
  int RunOnDevice(const PreparedImage& image, const FleetDevice& device, const RunOptions& options) {
    struct One : FleetHost, FleetObserver {
      explicit One(RunSetup& s) : setup(s), interrupts(s.io, [&s](bool atOnce) { s.report.Stopping(atOnce); }) {}
      RunPort& RunnerFor(std::size_t, DownloadJob& job) override {
        setup.runner.Attach(job);
        setup.report.Follow(job);
        return setup.runner;
      }
      void Released(std::size_t) override { setup.report.Unfollow(); }
      void Later(std::function<void()> task) override { asio::post(setup.io, std::move(task)); }
      void After(int milliseconds, std::function<void()> task) override {
        AfterOn(setup.io, milliseconds, std::move(task));
      }
      void OnDeviceLog(std::size_t, const std::string& appended) override { setup.report.Log(appended); }
      void OnFleetEnded() override { interrupts.Cancel(); }
      RunSetup& setup;
      FleetInterrupts interrupts;
    } one(*this);
    FleetSettings settings;
    settings.jobs = 1;
    settings.retry.retries = options.retries;
    settings.modeSwitchPauseMs = options.switchPauseMs;
    FleetEngine engine(image, {device}, settings, one, one);
    one.interrupts.Arm(engine);
    std::string error;
    if (!engine.Start(&error)) {
      std::fprintf(streams_.err, "mervix-cli %s: %s\n", name_, error.c_str());
      return kExitInput;
    }
    io.run();
    engine.Finish();
    return report.Finish(&engine.Record(0), runner.Ended(), runner.Outcome(), runner.LastFailure());
  }

  asio::io_context io;
  TerminalOperator terminal;
  RunReport report;
  LogPane log;
  AsioRunner runner;
  CommandStreams streams_;
  const char* name_;
};

// The exit code of a preparation that started no run.
int PreparationExitCode(const PreparationResult& prepared) {
  if (prepared.failure.failed()) return ExitCodeOf(RunOutcome::Failed, prepared.failure);
  switch (prepared.end) {
    case PreparationEnd::BaseAddressCancelled:
    case PreparationEnd::ChoiceCancelled:
      return kExitStopped;
    case PreparationEnd::FileChoiceCancelled:
    case PreparationEnd::HostEmpty:
    case PreparationEnd::PortZero:
      return kExitUsage;
    default:
      return kExitFailure;
  }
}


// The firmware download as the command line makes it: the window's fields
// from the options, the chosen file from FILE, the Base Address from
// --base-address (or asked on the terminal), the version box on it.
// |checkDestination| false: a roll-out, whose devices were checked already.
PreparationResult PrepareDownload(const OperationCommandOptions& options, const ControlValues& controls,
                                  SettingsStore& settings, RunSetup& run, DiagnosticSink* diagnostics,
                                  const CommandStreams& streams, bool checkDestination) {
  run.log.ClearLog();
  // The mode, as the window reads it at every run.
  const bool korvane = settings.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0;
  run.log.AppendRaw(ModeLine(korvane, controls.compress));
  run.terminal.SetDownloadEnabled(false);
  auto shown = [&run](const PreparationResult& end) {
    ShowPreparationEnd(end, run.terminal, run.log);
    return end;
  };
  if (std::optional<PreparationResult> refused = RefuseDestination(controls.host, controls.port);
      refused && checkDestination) {
    return shown(*refused);
  }
  if (options.file.empty()) return shown(SilentEnd(PreparationEnd::FileChoiceCancelled, "no file was chosen"));

  FirmwareRequest request;
  request.file = options.file;
  request.compress = controls.compress;
  request.korvane = korvane;
  request.workFolder = options.workDirectory;
  // Held so that nobody writes it while it is sent; another command may
  // read it and send it too.
  request.access = ImageAccess::ReadersOnly;
  if (NeedsBaseAddress(options.file)) {
    // Stored as typed, as the dialog does; only the first 15 characters count.
    const std::string preset = settings.GetSettingText(kSettingsSection, setting_key::kBaseAddress, "");
    const std::optional<std::string> typed =
        options.address ? options.address : AskBaseAddressOnTerminal(preset, streams.in, streams.err);
    if (!typed) {
      return shown(SilentEnd(PreparationEnd::BaseAddressCancelled, "the Base Address dialog was cancelled"));
    }
    request.baseAddress = ParseAddressText(*typed);
    settings.SetSettingText(kSettingsSection, setting_key::kBaseAddress, *typed);
  }
  FirmwareConverter converter;
  const PreparationResult prepared = PrepareFirmwareImage(request, converter, diagnostics);
  ShowFirmwarePreparation(prepared, run.terminal, run.log);
  return prepared;
}

// The user module download as the command line makes it: FILE is the
// module the menu's "User Module" records, --address the User Base Address
// "Module Address" records (both stored in the settings), then the download.
PreparationResult PrepareModule(const OperationCommandOptions& options, const ControlValues& controls,
                                SettingsStore& settings, RunSetup& run, bool checkDestination) {
  std::string module = settings.GetSettingText(kSettingsSection, setting_key::kUserModuleName, "");
  if (!options.file.empty()) {
    module = options.file;
    settings.SetSettingText(kSettingsSection, setting_key::kUserModuleName, module);
    settings.SetSettingText(kSettingsSection, setting_key::kUserModuleExtension, std::string(ExtensionOf(module)));
  }
  const std::string address = options.address.value_or("");
  settings.SetSettingText(kSettingsSection, setting_key::kUserBaseAddress, address);
  if (module.empty() || address.empty()) {
    return SilentEnd(PreparationEnd::NothingToDo,
                     module.empty() ? "no user module has been chosen" : "no user base address has been set");
  }
  run.log.ClearLog();
  run.terminal.SetDownloadEnabled(false);
  if (std::optional<PreparationResult> refused = RefuseDestination(controls.host, controls.port);
      refused && checkDestination) {
    ShowPreparationEnd(*refused, run.terminal, run.log);
    return *refused;
  }
  UserModuleRequest request;
  request.file = module;
  request.address = ParseAddressText(address);
  request.workFolder = options.workDirectory;
  request.access = ImageAccess::ReadersOnly;
  UserModuleConverter converter;
  const PreparationResult prepared = PrepareUserModuleImage(request, converter);
  if (!prepared.prepared()) ShowPreparationEnd(prepared, run.terminal, run.log);
  return prepared;
}

}  // namespace

int AnswerParse(OptionsParse parse, const CommandText& text, const std::string& error, const CommandStreams& streams) {
  switch (parse) {
    case OptionsParse::Help:
      std::fprintf(streams.out, "usage: mervix-cli %s\n\n%s%s%s\n%s", text.usage, text.help, kRunOptionsHelp,
                   kHostFormsHelp, kExitCodesHelp);
      return kExitSuccess;
    case OptionsParse::Usage:
      std::fprintf(streams.err, "mervix-cli %s: %s\nusage: mervix-cli %s\n", text.name, error.c_str(), text.usage);
      return kExitUsage;
    case OptionsParse::Ok:
      break;
  }
  return -1;
}

bool ShowsProgress(ProgressMode mode, std::FILE* err) {
  if (mode == ProgressMode::Never) return false;
  return mode == ProgressMode::Always || IsTerminal(err);
}

RunnerLimits LimitsOf(const RunOptions& options) {
  RunnerLimits limits;
  if (options.timeoutMs < 0) {
    limits.connectTimeoutMs = kDefaultConnectTimeoutMs;
    limits.responseTimeoutMs = kDefaultReplyTimeoutMs;
    limits.blockAckTimeoutMs = kDefaultBlockAckTimeoutMs;
  } else {
    // --timeout bounds every wait; 0 leaves replies and Acks unbounded, and
    // connects at their default.
    limits.connectTimeoutMs = options.timeoutMs > 0 ? options.timeoutMs : kDefaultConnectTimeoutMs;
    limits.responseTimeoutMs = options.timeoutMs;
    limits.blockAckTimeoutMs = options.timeoutMs;
  }
  return limits;
}

int RunSend(const SendOptions& options, const CommandStreams& streams) {
  if (options.Fleet()) return RunSendFleet(options, streams);
  RunSetup run("send", options, streams);
  // The image: sent as it is, path and length as given.
  PreparedImage image;
  const Failure refused = PrepareImageAsItIs(options.file, &image, ImageAccess::ReadersOnly);
  if (refused.failed()) return run.report.Finish(nullptr, true, RunOutcome::Failed, refused);

  // A fleet of one: the same engine as for many devices.
  return run.RunOnDevice(image, MakeFleetDevice(options.device.host, options.device.PortOr(options.port)), options);
}

int RunOperationCommand(OperationCommand command, const CommandText& text, const std::vector<std::string>& args,
                        DiagnosticSink* diagnostics, const CommandStreams& streams) {
  OperationCommandOptions options;
  std::string error;
  const int answered = AnswerParse(ParseOperationArguments(command, args, &options, &error), text, error, streams);
  if (answered >= 0) return answered;
  SetActiveLanguage(LanguageFromEnvironment());

  MemorySettingsStore settings;
  if (!OpenCommandSettings(options, &settings, &error)) {
    std::fprintf(streams.err, "mervix-cli %s: %s\n", text.name, error.c_str());
    return kExitInput;
  }
  // The port default of the window: 55550 in the Korvane mode. A port in
  // the --host text is that device's.
  const std::uint32_t defaultPort = options.port.value_or(
      settings.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0 ? kKorvanePort : kDefaultPort);
  ControlValues controls;
  controls.host = options.device.host;
  controls.port = options.device.port ? *options.device.port : defaultPort;
  controls.compress = options.compress;

  RunSetup run(text.name, options, streams);
  const bool download = command != OperationCommand::Module;
  // What a preparation that started no run says, and its exit code.
  auto refused = [&](const PreparationResult& result) {
    // The preparation's own words: the silent ends of the window say why
    // here, and the others name the file or the input behind the box.
    std::fprintf(streams.err, "mervix-cli %s: %s\n", text.name, result.reason.c_str());
    std::fflush(streams.err);
    if (options.json) run.report.Finish(nullptr, true, RunOutcome::Failed, result.failure, false);
    return PreparationExitCode(result);
  };

  // A roll-out or a station: each image prepared once (a device's own file
  // and address, or the command's), then run on every device that gets it.
  const ImagePreparer prepare = [&](const std::string& file, const std::string& addressText, PreparedImage* image,
                                    int* exitCode) {
    OperationCommandOptions one = options;
    one.file = file;
    if (!addressText.empty()) one.address = addressText;
    const PreparationResult result = download
                                         ? PrepareDownload(one, controls, settings, run, diagnostics, streams, false)
                                         : PrepareModule(one, controls, settings, run, false);
    if (!result.prepared()) {
      *exitCode = refused(result);
      return false;
    }
    *image = result.image;
    return true;
  };
  if (command == OperationCommand::Station) {
    return RunStation(text.name, options, static_cast<std::uint16_t>(defaultPort), prepare, streams);
  }
  if (options.Fleet()) {
    return RunRollout(text.name, options, static_cast<std::uint16_t>(defaultPort), prepare, streams);
  }

  const PreparationResult result = download ? PrepareDownload(options, controls, settings, run, diagnostics, streams, true)
                                            : PrepareModule(options, controls, settings, run, true);
  if (!result.prepared()) return refused(result);
  // A fleet of one: the same engine as for many devices.
  return run.RunOnDevice(result.image, MakeFleetDevice(controls.host, static_cast<std::uint16_t>(controls.port)),
                         options);
}

}  // namespace mervix::cli
