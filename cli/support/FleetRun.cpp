#include "cli/support/FleetRun.h"

#include "cli/Commands.h"
#include "cli/support/AsioProbe.h"
#include "cli/support/AsioRunner.h"
#include "cli/support/Console.h"
#include "cli/support/FleetBoard.h"
#include "cli/support/Interrupts.h"
#include "cli/support/RunReport.h"
#include "cli/support/TerminalOperator.h"
#include "image/ImageHeader.h"
#include "operations/DownloadJob.h"
#include "operations/FleetEngine.h"
#include "operations/ImagePreparation.h"
#include "operations/RunRecord.h"
#include "resources/CommandLineMessages.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

namespace mervix::cli {
namespace {

// The bound of each connection and reply of a status query in a roll-out.
constexpr int kProbeLimitMs = 5000;

using Json = nlohmann::ordered_json;


// The dialogs of one device of a fleet: the write was confirmed once for
// the whole fleet, so no device asks again; a connect failure is not asked
// about (--retries decides); boxes become lines prefixed with the device.
class FleetDialogs : public RunDialogs {
 public:
  // |err| null: boxes are not written (the board shows the run's outcome).
  FleetDialogs(std::string label, std::FILE* err) : label_(std::move(label)), err_(err) {}
  Answer Ask(Question question, const std::string&, ButtonSet buttons) override {
    if (question == Question::Confirm) return Answer::Ok;
    return buttons == ButtonSet::YesNo ? Answer::No : Answer::Cancel;
  }
  void Show(std::uint16_t, const std::string& text) override {
    if (err_ == nullptr) return;
    std::fprintf(err_, "%s: %s\n", label_.c_str(), text.c_str());
    std::fflush(err_);
  }

 private:
  std::string label_;
  std::FILE* err_;
};

// How a fleet's runs are shown.
struct FleetOutput {
  const char* command;   // the command's name in the JSON events
  std::FILE* out;        // log lines, or JSON events
  std::FILE* err;        // boxes, the board, the summary
  bool json = false;     // --json: events on out
  bool logLines = true;  // log lines on out, prefixed with the device
  FleetBoard* board = nullptr;  // a terminal: the board on err
};

// What the command line has of one device while it runs: the runner, its
// dialogs and the JSON events, and the log text not yet a whole line. Made
// when the device starts and dropped once its end has been told.
struct DeviceOutput {
  DeviceOutput(asio::io_context& io, const RolloutDevice& device, const RunnerLimits& limits,
               const FleetOutput& output)
      : label(device.device.label),
        report(output.command, output.out, output.err, true, false),
        dialogs(label, output.board != nullptr ? nullptr : output.err),
        runner(io, dialogs, limits) {
    report.SetDeviceTag(device.address, device.device.name);
  }

  std::string label;
  RunReport report;  // the JSON events of this device (--json)
  FleetDialogs dialogs;
  AsioRunner runner;
  std::string pending;
};

// The command line's side of a fleet: Asio runners on one io_context for
// the engine, the prefixed log lines, the board, the JSON events, the record
// and Ctrl-C (the first stops every device after its block in flight, the
// second at once).
class Fleet : public FleetHost, public FleetObserver {
 public:
  Fleet(const RunOptions& options, const FleetOutput& output, const std::vector<PreparedImage>& images,
        const std::vector<RolloutDevice>& devices, RecordFile* record)
      : options_(options),
        output_(output),
        devices_(devices),
        record_(record),
        interrupts_(io_,
                    [this](bool atOnce) {
                      if (output_.board != nullptr) output_.board->Clear(output_.err);
                      std::fprintf(output_.err, "%s\n",
                                   GetMessageText(atOnce ? IDS_CLI_STOPPING_NOW : IDS_CLI_STOPPING).c_str());
                      std::fflush(output_.err);
                    }),
        redraw_(io_),
        limits_(LimitsOf(options)),
        outputs_(devices.size()),
        codes_(devices.size(), kExitStopped),
        engine_(images, FleetDevicesOf(devices), SettingsOf(options, devices.size()), *this, *this) {}

  bool Run(std::string* error) {
    interrupts_.Arm(engine_);
    if (!engine_.Start(error)) return false;
    Redraw();
    io_.run();
    engine_.Finish();
    if (output_.board != nullptr) output_.board->Draw(output_.err);
    return true;
  }

  const FleetEngine& Engine() const { return engine_; }
  int Code(std::size_t index) const { return codes_[index]; }

  // FleetHost.
  RunPort& RunnerFor(std::size_t index, DownloadJob& job) override {
    DeviceOutput& d = Output(index);
    d.runner.Attach(job);
    d.report.Follow(job);
    return d.runner;
  }
  void Released(std::size_t index) override { outputs_[index].reset(); }
  void Later(std::function<void()> task) override { asio::post(io_, std::move(task)); }
  void After(int milliseconds, std::function<void()> task) override { AfterOn(io_, milliseconds, std::move(task)); }
  // A status query only, bounded shorter than a run's waits: a device that
  // restarts may take a connection long before it answers.
  void Probe(std::size_t, const FleetDevice& device, std::function<void(const ProbeAnswer&)> done) override {
    const RunnerLimits limits = LimitsOf(options_);
    const int connectMs = std::min(limits.connectTimeoutMs > 0 ? limits.connectTimeoutMs : kProbeLimitMs, kProbeLimitMs);
    const int replyMs = std::min(limits.responseTimeoutMs > 0 ? limits.responseTimeoutMs : kProbeLimitMs, kProbeLimitMs);
    ProbeDeviceAsync(io_, device.host, device.port, connectMs, replyMs, std::move(done));
  }

  // FleetObserver.
  void OnDeviceStarted(std::size_t index) override {
    if (output_.board != nullptr) output_.board->Started(index);
  }
  // Complete log lines go out prefixed with the device (with --json: as
  // events that carry it).
  void OnDeviceLog(std::size_t index, const std::string& appended) override {
    DeviceOutput& d = Output(index);
    if (output_.json) {
      d.report.Log(appended);
      return;
    }
    if (!output_.logLines) return;
    d.pending += TerminalLineEndings(appended);
    std::size_t end;
    while ((end = d.pending.find('\n')) != std::string::npos) {
      std::fprintf(output_.out, "%s: %s\n", d.label.c_str(), d.pending.substr(0, end).c_str());
      d.pending.erase(0, end + 1);
    }
    std::fflush(output_.out);
  }
  void OnDeviceProgress(std::size_t index, const Progress& progress) override {
    if (output_.json) Output(index).report.OnProgress(progress);
    if (output_.board != nullptr) {
      const auto now = std::chrono::steady_clock::now().time_since_epoch();
      output_.board->Progressed(index, progress, std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
  }
  void OnDeviceEnded(std::size_t index, const DeviceRecord& record) override {
    codes_[index] = ExitCodeOfCause(record.cause);
    // A plan writes nothing and records nothing: its table comes at the end.
    if (options_.plan) return;
    const Failure failure = record.started ? record.failure : NotStartedFailure();
    if (output_.board != nullptr) output_.board->Ended(index, record.outcome, failure);
    WriteRecord(index, record, failure);
    if (options_.json) {
      // A device never started gets its report only now, for this event.
      DeviceOutput& d = Output(index);
      d.report.SetVerdict(record.started ? OutcomeName(record.outcome) : "not_started", CauseName(record.cause),
                          codes_[index]);
      d.report.Finish(record.started ? &record : nullptr, true, record.outcome, failure, false);
      if (!record.started) outputs_[index].reset();
    }
  }
  void OnFleetHalted(FleetHalt why) override {
    if (output_.board != nullptr) output_.board->Clear(output_.err);
    const std::string text = why == FleetHalt::Canary
                                 ? GetMessageText(IDS_CLI_HALTED_CANARY)
                                 : FormatCommandLineText(IDS_CLI_HALTED_BUDGET, {std::to_string(engine_.Failures())});
    std::fprintf(output_.err, "%s\n", text.c_str());
    std::fflush(output_.err);
  }
  void OnFleetEnded() override {
    interrupts_.Cancel();
    redraw_.cancel();
  }

 private:
  static std::vector<FleetDevice> FleetDevicesOf(const std::vector<RolloutDevice>& devices) {
    std::vector<FleetDevice> fleet;
    for (const RolloutDevice& d : devices) fleet.push_back(d.device);
    return fleet;
  }
  static FleetSettings SettingsOf(const RunOptions& options, std::size_t devices) {
    FleetSettings settings;
    settings.jobs = options.jobs;
    settings.retry.retries = options.retries;
    settings.modeSwitchPauseMs = options.switchPauseMs;
    settings.startRampMs = StartRampFor(options.switchPauseMs);
    settings.canary = options.canary;
    settings.awaitReturnMs = options.awaitReturnMs;
    settings.planOnly = options.plan;
    settings.wavePauseMs = options.wavePauseMs;
    settings.maxFailures = options.maxFailures;
    if (options.maxFailuresPercent > 0) {
      // A share of the devices, rounded up: at least one failure.
      const double count = options.maxFailuresPercent * static_cast<double>(devices) / 100.0;
      settings.maxFailures = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(count - 1e-9)));
    }
    return settings;
  }

  DeviceOutput& Output(std::size_t index) {
    if (!outputs_[index]) outputs_[index] = std::make_unique<DeviceOutput>(io_, devices_[index], limits_, output_);
    return *outputs_[index];
  }

  // What a device the roll-out did not reach is recorded with.
  Failure NotStartedFailure() const {
    Failure failure;
    failure.origin = FailureOrigin::Cancelled;
    failure.messageId = engine_.Halt() == FleetHalt::Canary ? IDS_CLI_NOT_STARTED_CANARY : IDS_CLI_NOT_STARTED_BUDGET;
    failure.message = GetMessageText(failure.messageId);
    return failure;
  }

  // The board is drawn five times a second while devices run.
  void Redraw() {
    if (output_.board == nullptr) return;
    output_.board->Draw(output_.err);
    if (engine_.Ended()) return;
    redraw_.expires_after(std::chrono::milliseconds(200));
    redraw_.async_wait([this](const asio::error_code& ec) {
      if (!ec) Redraw();
    });
  }

  void WriteRecord(std::size_t index, const DeviceRecord& r, const Failure& failure) {
    if (record_ == nullptr) return;
    const RolloutDevice& device = devices_[index];
    RecordedRun run;
    run.command = output_.command;
    run.device = device.address;
    run.name = device.device.name;
    run.group = device.device.group;
    run.source = options_.file;
    run.image = &engine_.ImageOf(index);
    run.record = &r;
    run.failure = failure;
    run.exitCode = codes_[index];
    run.fields = device.fields;
    record_->Append(RecordLine(run));
  }

  const RunOptions& options_;
  const FleetOutput& output_;
  const std::vector<RolloutDevice>& devices_;
  RecordFile* record_;
  asio::io_context io_;
  FleetInterrupts interrupts_;
  asio::steady_timer redraw_;
  RunnerLimits limits_;
  // Of the devices running; they go after the engine, whose jobs they serve.
  std::vector<std::unique_ptr<DeviceOutput>> outputs_;
  std::vector<int> codes_;  // each device's exit code, once it ended
  FleetEngine engine_;
};

}  // namespace

int RunFleet(const char* name, const RunOptions& options, const std::vector<PreparedImage>& images,
             const std::vector<RolloutDevice>& devices, const CommandStreams& streams) {
  std::string paths;
  for (const PreparedImage& image : images) {
    std::fprintf(streams.err, "%s\n",
                 FormatCommandLineText(IDS_CLI_IMAGE, {image.path, std::to_string(image.length), image.sha256})
                     .c_str());
    paths += (paths.empty() ? "" : ", ") + image.path;
  }
  // Every device finished before (--resume): nothing to write.
  if (devices.empty()) return kExitSuccess;

  // One confirmation for the whole fleet.
  TerminalOperator terminal(streams.in, streams.out, streams.err, options.assumeYes);
  const std::string question = FormatCommandLineText(IDS_CLI_FLEET_CONFIRM, {std::to_string(devices.size()), paths});
  if (terminal.Ask(Question::Confirm, question, ButtonSet::OkCancel) != Answer::Ok) return kExitStopped;

  // The record is the roll-out's ledger: --resume appends to the one it read.
  const std::string& recordFile = options.resumeFile.empty() ? options.recordFile : options.resumeFile;
  RecordFile ledger;
  RecordFile* record = nullptr;
  if (!recordFile.empty()) {
    std::string error;
    if (!ledger.Open(recordFile, &error)) {
      std::fprintf(streams.err, "mervix-cli %s: %s\n", name, error.c_str());
      return kExitInput;
    }
    record = &ledger;
  }

  // On a terminal the board shows every device; the log lines then go to
  // standard output only when it is not that terminal.
  FleetOutput output{name, streams.out, streams.err};
  output.json = options.json;
  // Made only when it is shown: a row per device adds up over thousands.
  std::optional<FleetBoard> board;
  if (!options.json && ShowsProgress(options.progress, streams.err)) {
    std::vector<std::string> labels;
    for (const RolloutDevice& d : devices) labels.push_back(d.device.label);
    board.emplace(labels);
    output.board = &*board;
    output.logLines = !IsTerminal(streams.out);
  }

  Fleet fleet(options, output, images, devices, record);
  std::string error;
  const bool ran = fleet.Run(&error);
  ledger.Close();
  if (!ran) {
    std::fprintf(streams.err, "mervix-cli %s: %s\n", name, error.c_str());
    return kExitFailure;
  }

  // The summary: counts by outcome, then one line per cause.
  int finished = 0, refusedCount = 0, failed = 0, stopped = 0;
  std::vector<int> codes;
  std::map<std::pair<int, std::string>, int> causes;
  for (std::size_t i = 0; i < fleet.Engine().Size(); ++i) {
    const DeviceRecord& r = fleet.Engine().Record(i);
    const int code = fleet.Code(i);
    codes.push_back(code);
    if (code == kExitSuccess) {
      ++finished;
      continue;
    }
    if (code == kExitStopped) {
      ++stopped;
    } else if (r.failure.origin == FailureOrigin::DeviceRefusal) {
      ++refusedCount;
    } else {
      ++failed;
    }
    const std::string cause = !r.started                ? GetMessageText(fleet.Engine().Halt() == FleetHalt::Canary
                                                                               ? IDS_CLI_NOT_STARTED_CANARY
                                                                               : IDS_CLI_NOT_STARTED_BUDGET)
                              : r.failure.failed() ? r.failure.message
                                                   : std::string(OutcomeName(r.outcome));
    ++causes[{code, cause}];
  }
  std::fprintf(streams.err, "%s\n",
               FormatCommandLineText(IDS_CLI_FLEET_SUMMARY,
                                     {std::to_string(devices.size()), std::to_string(finished),
                                      std::to_string(refusedCount), std::to_string(failed), std::to_string(stopped)})
                   .c_str());
  for (const auto& [key, count] : causes) {
    std::fprintf(streams.err, "%s\n",
                 FormatCommandLineText(IDS_CLI_FLEET_CAUSE, {std::to_string(count), key.second,
                                                             std::to_string(key.first)})
                     .c_str());
  }
  std::fflush(streams.err);
  return ExitCodeOfCause(MostSeriousCause(fleet.Engine().Causes()));
}

namespace {

const char* ProbeKindName(ProbeKind kind) {
  switch (kind) {
    case ProbeKind::Normal:
      return "normal";
    case ProbeKind::Download:
      return "download";
    case ProbeKind::Refused:
      return "refused";
    case ProbeKind::NoConnection:
      return "no_connection";
    case ProbeKind::NoAnswer:
      return "no_answer";
    case ProbeKind::Invalid:
      return "invalid";
  }
  return "invalid";
}

// What the device answered, in the words of the probe command.
std::string ProbeText(const std::string& device, const ProbeAnswer& answer) {
  char flags[16];
  switch (answer.kind) {
    case ProbeKind::Normal:
      return FormatCommandLineText(IDS_CLI_PROBE_NORMAL, {device});
    case ProbeKind::Download:
      return FormatCommandLineText(IDS_CLI_PROBE_DOWNLOAD, {device, std::to_string(answer.status)});
    case ProbeKind::Refused:
      std::snprintf(flags, sizeof flags, "0x%04X", static_cast<unsigned>(answer.nakFlags));
      return FormatCommandLineText(IDS_CLI_PROBE_REFUSED, {device, flags});
    default:
      return device + ": " + answer.detail;
  }
}

// A plan: every device asked for its status once (--jobs at a time), then
// one line a device saying what a real run would do. Nothing is written and
// nothing recorded.
int RunPlan(const char* name, const RunOptions& options, const std::vector<PreparedImage>& images,
            const std::vector<RolloutDevice>& devices, const std::vector<bool>& finishedBefore,
            const CommandStreams& streams) {
  FleetOutput output{name, streams.out, streams.err};
  output.logLines = false;
  Fleet fleet(options, output, images, devices, nullptr);
  std::string error;
  if (!fleet.Run(&error)) {
    std::fprintf(streams.err, "mervix-cli %s: %s\n", name, error.c_str());
    return kExitFailure;
  }
  if (!options.json) std::fprintf(streams.out, "%s\n", GetMessageText(IDS_CLI_PLAN_HEADER).c_str());
  std::vector<RunCause> causes;
  std::size_t write = 0, done = 0, not_ = 0;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const DeviceRecord& r = fleet.Engine().Record(i);
    const PreparedImage& image = fleet.Engine().ImageOf(i);
    const bool reachable = r.cause == RunCause::Finished;
    const std::uint16_t action = finishedBefore[i] ? IDS_CLI_PLAN_DONE : reachable ? IDS_CLI_PLAN_WRITE : IDS_CLI_PLAN_NOT;
    (finishedBefore[i] ? done : reachable ? write : not_) += 1;
    if (!finishedBefore[i]) causes.push_back(r.ended ? r.cause : RunCause::Stopped);
    const std::string version = HasImageTag(image.header) ? ImageVersionNumber(image.header) : "-";
    if (options.json) {
      Json j;
      j["schema"] = kJsonSchemaVersion;
      j["event"] = "plan";
      j["device"] = devices[i].address;
      j["name"] = devices[i].device.name.empty() ? Json(nullptr) : Json(devices[i].device.name);
      j["group"] = devices[i].device.group.empty() ? Json(nullptr) : Json(devices[i].device.group);
      j["image"] = image.path;
      j["sha256"] = image.sha256;
      j["version"] = HasImageTag(image.header) ? Json(version) : Json(nullptr);
      j["answer"] = ProbeKindName(r.probe.kind);
      j["status"] = r.probe.status;
      j["nak_flags"] = r.probe.nakFlags;
      j["detail"] = r.probe.detail;
      j["action"] = finishedBefore[i] ? "skip" : reachable ? "write" : "none";
      std::fprintf(streams.out, "%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
      continue;
    }
    std::fprintf(streams.out, "%s | %s | %s | %s | %s | %s | %s\n", ProbeText(devices[i].address, r.probe).c_str(),
                 devices[i].device.name.empty() ? "-" : devices[i].device.name.c_str(),
                 devices[i].device.group.empty() ? "-" : devices[i].device.group.c_str(), image.path.c_str(),
                 image.sha256.substr(0, 12).c_str(), version.c_str(), GetMessageText(action).c_str());
  }
  std::fprintf(streams.err, "%s\n",
               FormatCommandLineText(IDS_CLI_PLAN_SUMMARY, {std::to_string(devices.size()), std::to_string(write),
                                                            std::to_string(done), std::to_string(not_)})
                   .c_str());
  std::fflush(streams.out);
  std::fflush(streams.err);
  return ExitCodeOfCause(MostSeriousCause(causes));
}

}  // namespace

int RunRollout(const char* name, const RunOptions& options, std::uint16_t defaultPort, const ImagePreparer& prepare,
               const CommandStreams& streams) {
  std::vector<RolloutDevice> devices;
  int code = ReadRolloutDevices(name, options, defaultPort, &devices, streams);
  if (code >= 0) return code;
  std::vector<PreparedImage> images;
  code = PrepareRolloutImages(name, options, options.file, prepare, &devices, &images, streams);
  if (code >= 0) return code;
  if (options.plan) {
    // A plan shows the devices a resumed roll-out would leave out, as such.
    std::vector<bool> finishedBefore;
    code = SelectFromLedger(name, options, images, &devices, streams, &finishedBefore);
    if (code >= 0) return code;
    return RunPlan(name, options, images, devices, finishedBefore, streams);
  }
  code = SelectFromLedger(name, options, images, &devices, streams);
  if (code >= 0) return code;
  return RunFleet(name, options, images, devices, streams);
}

int RunSendFleet(const SendOptions& options, const CommandStreams& streams) {
  // Each image, prepared once for every device that gets it; other readers
  // may read it meanwhile (another command sending it), nobody may write it.
  const ImagePreparer prepare = [&streams](const std::string& file, const std::string&, PreparedImage* image,
                                           int* exitCode) {
    const Failure refused = PrepareImageAsItIs(file, image, ImageAccess::ReadersOnly);
    if (!refused.failed()) return true;
    std::fprintf(streams.err, "mervix-cli send: %s\n", Describe(refused).c_str());
    *exitCode = ExitCodeOf(RunOutcome::Failed, refused);
    return false;
  };
  return RunRollout("send", options, options.port, prepare, streams);
}

}  // namespace mervix::cli
