#include "cli/support/StationRun.h"

#include "cli/Commands.h"
#include "cli/support/AsioProbe.h"
#include "cli/support/AsioRunner.h"
#include "cli/support/Console.h"
#include "cli/support/FleetBoard.h"
#include "cli/support/Interrupts.h"
#include "cli/support/RunReport.h"
#include "cli/support/TerminalOperator.h"
#include "operations/RunRecord.h"
#include "operations/StationEngine.h"
#include "resources/CommandLineMessages.h"
#include "resources/FileAccess.h"
#include "resources/MessageTable.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <map>
#include <memory>

namespace mervix::cli {
namespace {

using Json = nlohmann::ordered_json;

// The bound of each connection and reply of a slot's status query.
constexpr int kProbeLimitMs = 2000;

// A unit's run asks nothing: the write was confirmed once for the station,
// and a failure is told by the unit's line.
class UnitDialogs : public RunDialogs {
 public:
  Answer Ask(Question question, const std::string&, ButtonSet buttons) override {
    if (question == Question::Confirm) return Answer::Ok;
    return buttons == ButtonSet::YesNo ? Answer::No : Answer::Cancel;
  }
  void Show(std::uint16_t, const std::string&) override {}
};

const char* SlotStateName(SlotState state) {
  switch (state) {
    case SlotState::Waiting:
      return "waiting";
    case SlotState::Present:
      return "present";
    case SlotState::Writing:
      return "writing";
    case SlotState::Passed:
      return "passed";
    case SlotState::Failed:
      return "failed";
    case SlotState::Again:
      return "again";
    case SlotState::Stopped:
      return "stopped";
  }
  return "stopped";
}

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

// The station on the terminal: Asio runners and probes on one io_context,
// the unit lines, the board, the events, the record and Ctrl-C.
class Station : public FleetHost, public StationObserver {
 public:
  Station(const char* name, const OperationCommandOptions& options, const PreparedImage& image,
          const std::vector<RolloutDevice>& slots, RecordFile* record, const CommandStreams& streams)
      : name_(name),
        options_(options),
        slots_(slots),
        record_(record),
        streams_(streams),
        signals_(io_, SIGINT, SIGTERM),
        redraw_(io_),
        engine_(image, DevicesOf(slots), SettingsOf(options), *this, *this) {
    const RunnerLimits limits = LimitsOf(options);
    for (std::size_t i = 0; i < slots.size(); ++i) {
      runners_.push_back(std::make_unique<AsioRunner>(io_, dialogs_, limits));
    }
    std::vector<std::string> labels;
    for (const RolloutDevice& d : slots) labels.push_back(d.device.label);
    if (!options.json && ShowsProgress(options.progress, streams.err)) board_ = std::make_unique<FleetBoard>(labels);
  }

  bool Run(std::string* error) {
    WaitForSignal();
    if (!engine_.Start(error)) return false;
    Redraw();
    io_.run();
    engine_.Finish();
    DrawBoard();
    return true;
  }

  const StationEngine& Engine() const { return engine_; }
  const std::vector<RunCause>& Causes() const { return causes_; }

  // FleetHost.
  RunPort& RunnerFor(std::size_t index, DownloadJob& job) override {
    runners_[index]->Attach(job);
    return *runners_[index];
  }
  void Later(std::function<void()> task) override { asio::post(io_, std::move(task)); }
  void After(int milliseconds, std::function<void()> task) override { AfterOn(io_, milliseconds, std::move(task)); }
  void Probe(std::size_t, const FleetDevice& device, std::function<void(const ProbeAnswer&)> done) override {
    const RunnerLimits limits = LimitsOf(options_);
    const int connectMs = std::min(limits.connectTimeoutMs > 0 ? limits.connectTimeoutMs : kProbeLimitMs, kProbeLimitMs);
    ProbeDeviceAsync(io_, device.host, device.port, connectMs, kProbeLimitMs, std::move(done));
  }

  // StationObserver.
  void OnSlotChanged(std::size_t index) override {
    const StationSlot& slot = engine_.Slot(index);
    if (options_.json && slot.state != lastState_[index]) {
      Json j = Event("slot", index);
      j["state"] = SlotStateName(slot.state);
      j["unit"] = slot.unit.number;
      j["mac"] = slot.present.empty() ? Json(nullptr) : Json(slot.present);
      j["passed"] = slot.passed;
      j["failed"] = slot.failed;
      Emit(j);
    }
    lastState_[index] = slot.state;
  }
  void OnUnitStarted(std::size_t index, const StationUnit& unit) override {
    if (board_) board_->Started(index);
    if (!options_.json) return;
    Json j = Event("unit_started", index);
    j["unit"] = unit.number;
    j["mac"] = unit.mac.empty() ? Json(nullptr) : Json(unit.mac);
    Emit(j);
  }
  void OnUnitLog(std::size_t index, const std::string& appended) override {
    if (!options_.json) return;
    std::string& pending = pending_[index];
    pending += appended;
    std::size_t end;
    while ((end = pending.find("\r\n")) != std::string::npos) {
      Json j = Event("log", index);
      j["unit"] = engine_.Slot(index).unit.number;
      j["line"] = pending.substr(0, end);
      Emit(j);
      pending.erase(0, end + 2);
    }
  }
  void OnUnitProgress(std::size_t index, const Progress& progress) override {
    if (!board_) return;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    board_->Progressed(index, progress, std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }
  void OnUnitEnded(std::size_t index, const StationUnit& unit) override {
    const DeviceRecord& r = unit.record;
    causes_.push_back(r.cause);
    const int code = ExitCodeOfCause(r.cause);
    pending_[index].clear();
    if (board_) board_->Ended(index, r.outcome, r.failure);
    WriteRecord(index, unit, code);
    if (options_.json) {
      Json j = Event("unit_ended", index);
      j["unit"] = unit.number;
      j["mac"] = unit.mac.empty() ? Json(nullptr) : Json(unit.mac);
      j["result"] = unit.passed ? "pass" : "fail";
      j["outcome"] = OutcomeName(r.outcome);
      j["cause"] = CauseName(r.cause);
      j["exit_code"] = code;
      j["duration_ms"] = r.durationMs;
      j["sha256_sent"] = r.sentSha256.empty() ? Json(nullptr) : Json(r.sentSha256);
      j["failure"] = r.failure.failed() ? Json(r.failure.message) : Json(nullptr);
      Emit(j);
      return;
    }
    // The unit's line: what the worker matches with the unit's label.
    const std::time_t wall = std::chrono::system_clock::to_time_t(r.startWall);
    const std::tm tm = LocalCalendarTime(wall);
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(r.durationMs) / 1000.0);
    const std::string why = unit.passed ? std::string() : ": " + (r.failure.failed() ? r.failure.message
                                                                                        : std::string(CauseName(r.cause)));
    if (board_) board_->Clear(streams_.err);
    std::fprintf(streams_.out, "%s\n",
                 FormatCommandLineText(IDS_CLI_STATION_UNIT,
                                       {std::to_string(unit.number), clock, slots_[index].device.label,
                                        GetMessageText(unit.passed ? IDS_CLI_PASS : IDS_CLI_FAIL),
                                        unit.mac.empty() ? "-" : unit.mac, seconds, why})
                     .c_str());
    std::fflush(streams_.out);
    DrawBoard();
  }
  void OnStationEnded() override {
    asio::error_code ignored;
    signals_.cancel(ignored);
    redraw_.cancel();
  }

 private:
  static std::vector<FleetDevice> DevicesOf(const std::vector<RolloutDevice>& slots) {
    std::vector<FleetDevice> devices;
    for (const RolloutDevice& d : slots) devices.push_back(d.device);
    return devices;
  }
  static StationSettings SettingsOf(const OperationCommandOptions& options) {
    StationSettings settings;
    settings.goneMs = options.goneMs;
    settings.units = options.units;
    settings.retry.retries = options.retries;
    settings.modeSwitchPauseMs = options.switchPauseMs;
    return settings;
  }

  Json Event(const char* event, std::size_t index) const {
    Json j;
    j["schema"] = kJsonSchemaVersion;
    j["event"] = event;
    j["command"] = name_;
    j["device"] = slots_[index].address;
    j["name"] = slots_[index].device.name.empty() ? Json(nullptr) : Json(slots_[index].device.name);
    return j;
  }
  void Emit(const Json& j) {
    std::fprintf(streams_.out, "%s\n", Dump(j).c_str());
    std::fflush(streams_.out);
  }

  void WriteRecord(std::size_t index, const StationUnit& unit, int code) {
    if (record_ == nullptr) return;
    const RolloutDevice& slot = slots_[index];
    RecordedRun run;
    run.command = name_;
    run.device = slot.address;
    run.name = slot.device.name;
    run.group = slot.device.group;
    run.source = options_.file;
    run.image = &engine_.Image();
    run.record = &unit.record;
    run.failure = unit.record.failure;
    run.exitCode = code;
    run.fields = slot.fields;
    run.unit = unit.number;
    run.slot = slot.address;
    run.mac = unit.mac;
    record_->Append(RecordLine(run));
  }

  // Ctrl-C: the first lets the units in flight finish, the second stops
  // them after their block in flight, the third ends at once.
  void WaitForSignal() {
    signals_.async_wait([this](const asio::error_code& ec, int) {
      if (ec || engine_.Ended()) return;
      ++interrupts_;
      if (board_) board_->Clear(streams_.err);
      const std::uint16_t text = interrupts_ == 1   ? IDS_CLI_STATION_STOPPING
                                 : interrupts_ == 2 ? IDS_CLI_STATION_CUTTING
                                                    : IDS_CLI_STOPPING_NOW;
      std::fprintf(streams_.err, "%s\n", GetMessageText(text).c_str());
      std::fflush(streams_.err);
      if (interrupts_ >= 3) {
        io_.stop();
        return;
      }
      engine_.Stop(interrupts_ == 2);
      if (!engine_.Ended()) WaitForSignal();
    });
  }

  void DrawBoard() {
    if (!board_) return;
    board_->Draw(streams_.err);
  }
  // The board is drawn five times a second while the station runs; each
  // slot's line under it says what the slot waits for.
  void Redraw() {
    DrawBoard();
    if (engine_.Ended()) return;
    redraw_.expires_after(std::chrono::milliseconds(200));
    redraw_.async_wait([this](const asio::error_code& ec) {
      if (!ec) Redraw();
    });
  }

  const char* name_;
  const OperationCommandOptions& options_;
  const std::vector<RolloutDevice>& slots_;
  RecordFile* record_;
  const CommandStreams& streams_;
  asio::io_context io_;
  asio::signal_set signals_;
  asio::steady_timer redraw_;
  UnitDialogs dialogs_;
  std::vector<std::unique_ptr<AsioRunner>> runners_;
  std::unique_ptr<FleetBoard> board_;
  std::map<std::size_t, SlotState> lastState_;
  std::map<std::size_t, std::string> pending_;
  std::vector<RunCause> causes_;
  int interrupts_ = 0;
  StationEngine engine_;
};

}  // namespace

int RunStation(const char* name, const OperationCommandOptions& options, std::uint16_t defaultPort,
               const ImagePreparer& prepare, const CommandStreams& streams) {
  std::vector<RolloutDevice> slots;
  int code = ReadRolloutDevices(name, options, defaultPort, &slots, streams);
  if (code >= 0) return code;
  std::vector<PreparedImage> images;
  code = PrepareRolloutImages(name, options, options.file, prepare, &slots, &images, streams);
  if (code >= 0) return code;
  if (images.size() != 1) {
    std::string paths;
    for (const PreparedImage& image : images) paths += (paths.empty() ? "" : ", ") + image.path;
    std::fprintf(streams.err, "mervix-cli %s: %s\n", name,
                 FormatCommandLineText(IDS_CLI_STATION_ONE_IMAGE, {paths}).c_str());
    return kExitUsage;
  }
  const PreparedImage& image = images.front();
  std::fprintf(streams.err, "%s\n",
               FormatCommandLineText(IDS_CLI_IMAGE, {image.path, std::to_string(image.length), image.sha256}).c_str());

  TerminalOperator terminal(streams.in, streams.out, streams.err, options.assumeYes);
  const std::string question =
      FormatCommandLineText(IDS_CLI_STATION_CONFIRM, {image.path, std::to_string(slots.size())});
  if (terminal.Ask(Question::Confirm, question, ButtonSet::OkCancel) != Answer::Ok) return kExitStopped;

  RecordFile ledger;
  RecordFile* record = nullptr;
  if (!options.recordFile.empty()) {
    std::string error;
    if (!ledger.Open(options.recordFile, &error)) {
      std::fprintf(streams.err, "mervix-cli %s: %s\n", name, error.c_str());
      return kExitInput;
    }
    record = &ledger;
  }

  Station station(name, options, image, slots, record, streams);
  std::string error;
  if (!station.Run(&error)) {
    std::fprintf(streams.err, "mervix-cli %s: %s\n", name, error.c_str());
    return kExitFailure;
  }
  const StationEngine& engine = station.Engine();
  std::fprintf(streams.err, "%s\n",
               FormatCommandLineText(IDS_CLI_STATION_SUMMARY, {std::to_string(engine.UnitsEnded()),
                                                               std::to_string(engine.Passed()),
                                                               std::to_string(engine.Failed())})
                   .c_str());
  for (std::size_t i = 0; i < engine.Size(); ++i) {
    const StationSlot& slot = engine.Slot(i);
    std::fprintf(streams.err, "%s\n",
                 FormatCommandLineText(IDS_CLI_STATION_SLOT, {slot.device.label, std::to_string(slot.passed),
                                                              std::to_string(slot.failed)})
                     .c_str());
  }
  std::fflush(streams.err);
  return ExitCodeOfCause(MostSeriousCause(station.Causes()));
}

}  // namespace mervix::cli
