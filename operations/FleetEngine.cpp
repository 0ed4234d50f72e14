#include "operations/FleetEngine.h"

#include "operations/RunTexts.h"

#include <algorithm>
#include <cstdio>

namespace mervix {

RunCause CauseOf(RunOutcome outcome, const Failure& failure) {
  switch (outcome) {
    case RunOutcome::Finished:
      return RunCause::Finished;
    case RunOutcome::Cancelled:
    case RunOutcome::Stopped:
    case RunOutcome::Closed:
      return RunCause::Stopped;
    case RunOutcome::None:
    case RunOutcome::Failed:
      break;
  }
  switch (failure.origin) {
    case FailureOrigin::None:
      return RunCause::Failure;
    case FailureOrigin::OperatorInput:
      return RunCause::Usage;
    case FailureOrigin::File:
    case FailureOrigin::Conversion:
      return RunCause::Input;
    case FailureOrigin::DeviceRefusal:
      return RunCause::Refused;
    case FailureOrigin::Cancelled:
      return RunCause::Stopped;
    case FailureOrigin::Protocol:
      return RunCause::Link;
    case FailureOrigin::Link:
      break;
  }
  // The last block went out and no Ack came: the device may or may not
  // have written the image.
  if (failure.phase == RunPhase::Block && failure.blocks > 0 && failure.block >= failure.blocks) {
    return RunCause::Unknown;
  }
  if (failure.code == FailureCode::NotReturned) return RunCause::NotReturned;
  if (failure.code == FailureCode::NoResponse) return RunCause::Timeout;
  if (failure.code == FailureCode::NoConnection || failure.code == FailureCode::NoSocket) return RunCause::Connect;
  return RunCause::Link;
}

const char* CauseName(RunCause cause) {
  switch (cause) {
    case RunCause::Unknown:
      return "unknown";
    case RunCause::NotReturned:
      return "not_returned";
    case RunCause::Budget:
      return "budget";
    case RunCause::Link:
      return "link";
    case RunCause::Timeout:
      return "timeout";
    case RunCause::Connect:
      return "connect";
    case RunCause::Input:
      return "input";
    case RunCause::Refused:
      return "refused";
    case RunCause::Stopped:
      return "stopped";
    case RunCause::Usage:
      return "usage";
    case RunCause::Failure:
      return "failure";
    case RunCause::Finished:
      return "finished";
  }
  return "failure";
}

ProbeAnswer ProbeAnswerOf(const ProtocolFrame& reply) {
  const ResponseClass response = ClassifyResponse(reply);
  ProbeAnswer answer;
  if (response.kind == ResponseKind::StatusReply) {
    answer.kind = response.status == 1 ? ProbeKind::Normal : ProbeKind::Download;
    answer.status = response.status;
  } else if (response.kind == ResponseKind::Nak) {
    answer.kind = ProbeKind::Refused;
    answer.nakFlags = response.nakFlags;
  } else {
    char bytes[40];
    std::snprintf(bytes, sizeof bytes, "response %02X %02X %02X %02X %02X %02X %02X %02X", reply[0], reply[1],
                  reply[2], reply[3], reply[4], reply[5], reply[6], reply[7]);
    answer.kind = ProbeKind::Invalid;
    answer.detail = bytes;
  }
  return answer;
}

void FleetHost::Probe(std::size_t, const FleetDevice&, std::function<void(const ProbeAnswer&)> done) {
  ProbeAnswer answer;
  answer.detail = "this front end cannot ask a device for its status";
  Later([done = std::move(done), answer] { done(answer); });
}

RunCause MostSeriousCause(const std::vector<RunCause>& causes) {
  if (causes.empty()) return RunCause::Finished;
  return *std::min_element(causes.begin(), causes.end());
}

// One device: its record, and while it runs its log, its job and the link
// that carries the job's actions to the front end's runner and tells the
// engine what it must know. The log and the job are made when the device
// starts and given back once its end has been told: a fleet of thousands
// keeps only the records of those that ended.
struct FleetEngine::Run : RunPort {
  Run(FleetEngine& fleet, std::size_t at) : engine(fleet), index(at) {}

  struct Live {
    explicit Live(Run& run)
        : log([&run](const std::string&, const std::string& appended) {
            if (!appended.empty()) run.engine.observer_.OnDeviceLog(run.index, appended);
          }),
          job(log) {}
    LogPane log;
    DownloadJob job;
    RunPort* runner = nullptr;
  };

  RunPort& Runner() { return *live->runner; }

  // RunPort: everything goes to the runner; progress and the end are heard.
  void Connect(const std::string& host, std::uint16_t port) override { Runner().Connect(host, port); }
  void Send(const std::uint8_t* data, std::size_t size) override { Runner().Send(data, size); }
  void Close(bool drain) override { Runner().Close(drain); }
  void Pause(int milliseconds) override { Runner().Pause(milliseconds); }
  void Ask(Question question, const std::string& text, const std::string& detail, ButtonSet buttons) override {
    Runner().Ask(question, text, detail, buttons);
  }
  bool ShowMessage(std::uint16_t messageId, const std::string& text, const std::string& detail) override {
    return Runner().ShowMessage(messageId, text, detail);
  }
  void AwaitResponse(ResponseWait wait) override { Runner().AwaitResponse(wait); }
  void ReportProgress(const Progress& progress) override {
    Runner().ReportProgress(progress);
    engine.observer_.OnDeviceProgress(index, progress);
  }
  void RunEnded(RunOutcome outcome, const Failure& failure) override {
    Runner().RunEnded(outcome, failure);
    ranToEnd = true;
    // Taken up from the event loop: the job is still inside its report.
    FleetEngine* fleet = &engine;
    const std::size_t at = index;
    engine.host_.Later([fleet, at] { fleet->RunEnded(at); });
  }

  FleetEngine& engine;
  std::size_t index;
  std::unique_ptr<Live> live;  // while the device runs
  DeviceRecord record;
  bool ranToEnd = false;  // the job told its end
  bool awaiting = false;  // its write finished; waiting for it to come back
  std::chrono::steady_clock::time_point awaitStart;
};

FleetEngine::FleetEngine(std::vector<PreparedImage> images, std::vector<FleetDevice> devices, FleetSettings settings,
                         FleetHost& host, FleetObserver& observer)
    : images_(std::move(images)),
      devices_(std::move(devices)),
      settings_(settings),
      host_(host),
      observer_(observer) {
  for (std::size_t i = 0; i < devices_.size(); ++i) runs_.push_back(std::make_unique<Run>(*this, i));
  PlanStages();
}

FleetEngine::FleetEngine(PreparedImage image, std::vector<FleetDevice> devices, FleetSettings settings,
                         FleetHost& host, FleetObserver& observer)
    : FleetEngine(std::vector<PreparedImage>{std::move(image)}, std::move(devices), settings, host, observer) {}

FleetEngine::~FleetEngine() = default;

void FleetEngine::PlanStages() {
  if (settings_.planOnly) {
    stages_.emplace_back();
    for (std::size_t i = 0; i < devices_.size(); ++i) stages_.back().push_back(i);
    return;
  }
  std::vector<std::string> groups;
  std::vector<std::vector<std::size_t>> members;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const auto at = std::find(groups.begin(), groups.end(), devices_[i].group);
    if (at == groups.end()) {
      groups.push_back(devices_[i].group);
      members.push_back({i});
    } else {
      members[static_cast<std::size_t>(at - groups.begin())].push_back(i);
    }
  }
  std::vector<std::size_t> order;
  for (const auto& group : members) order.insert(order.end(), group.begin(), group.end());
  const std::size_t canary = std::min(settings_.canary, order.size());
  if (canary > 0) stages_.emplace_back(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(canary));
  std::size_t placed = 0;
  for (const auto& group : members) {
    std::vector<std::size_t> rest;
    for (std::size_t index : group) {
      if (placed++ >= canary) rest.push_back(index);
    }
    if (!rest.empty()) stages_.push_back(std::move(rest));
  }
}

bool FleetEngine::Start(std::string* error) {
  // One open of each image for every run: each reads its blocks from it.
  for (PreparedImage& image : images_) {
    if (!image.held) {
      FileStatus taken;
      image.held = HeldImage::Take(image.path, ImageAccess::Exclusive, &taken);
      if (!image.held) {
        *error = taken.reason;
        return false;
      }
    }
    if (image.sha256.empty()) image.sha256 = image.held->Sha256();
  }
  StartStage();
  CheckFleetEnded();
  return true;
}

void FleetEngine::StartStage() {
  if (ramping_) return;  // the ramp's own steps fill the slots
  const auto jobs = static_cast<std::size_t>(std::max(1, settings_.jobs));
  if (settings_.startRampMs > 0 && !settings_.planOnly && next_ == 0 && stage_ < stages_.size() &&
      stages_[stage_].size() > jobs) {
    ramping_ = true;
    RampStep();
    return;
  }
  while (active_ < static_cast<int>(jobs) && StartNext()) {
  }
}

void FleetEngine::RampStep() {
  if (!ramping_) return;
  const int jobs = std::max(1, settings_.jobs);
  const int tick = std::max(1, settings_.startRampMs / jobs);
  const int perTick = std::max(1, jobs * tick / settings_.startRampMs);
  bool more = true;
  for (int k = 0; k < perTick && more; ++k) {
    more = next_ < static_cast<std::size_t>(jobs) && active_ < jobs && StartNext();
  }
  if (more && next_ < static_cast<std::size_t>(jobs)) {
    host_.After(tick, [this] { RampStep(); });
    return;
  }
  // The slots are filled (or nothing more may start): from here on, starts
  // follow ends.
  ramping_ = false;
  AfterEnd();
}

bool FleetEngine::StartNext() {
  if (stopping_ || halt_ != FleetHalt::None || pausing_ || stage_ >= stages_.size()) return false;
  if (next_ >= stages_[stage_].size()) return false;
  Run& r = *runs_[stages_[stage_][next_++]];
  r.record.started = true;
  r.record.startWall = std::chrono::system_clock::now();
  r.record.startSteady = std::chrono::steady_clock::now();
  if (settings_.planOnly) {
    ++active_;
    observer_.OnDeviceStarted(r.index);
    ProbeNow(r);
    return true;
  }
  r.live = std::make_unique<Run::Live>(r);
  DownloadJob& job = r.live->job;
  r.live->runner = &host_.RunnerFor(r.index, job);
  job.Machine().SetModeSwitchPauseMs(settings_.modeSwitchPauseMs);
  job.SetRetryPolicy(settings_.retry);
  ++active_;
  observer_.OnDeviceStarted(r.index);
  const FleetDevice& d = devices_[r.index];
  if (!job.Start(ImageOf(r.index), d.host, d.port, r)) {
    r.record.outcome = RunOutcome::Failed;
    r.record.failure.message = "the run could not be started";
    Close(r, true);
  }
  return true;
}

void FleetEngine::RunEnded(std::size_t index) {
  Run& r = *runs_[index];
  // A run a hard stop concluded already.
  if (r.record.ended || !r.live) return;
  r.record.outcome = r.live->job.LastOutcome();
  r.record.failure = r.live->job.LastFailure();
  Close(r, true);
}

void FleetEngine::Close(Run& r, bool fromRun) {
  if (r.record.ended) return;
  r.record.ended = true;
  --active_;
  r.record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                              r.record.startSteady)
                            .count();
  if (!fromRun && !r.ranToEnd) r.record.outcome = RunOutcome::Stopped;
  if (r.live) r.record.retriesUsed = r.live->job.RetriesUsed();
  r.record.cause = CauseOf(r.record.outcome, r.record.failure);
  if (r.record.outcome == RunOutcome::Finished) {
    if (r.live) r.record.sentSha256 = r.live->job.SentSha256();
    // What the device holds is not the image: as a broken link.
    if (r.record.sentSha256 != ImageOf(r.index).sha256) r.record.cause = RunCause::Link;
  }
  // A device that took the image is waited for until it comes back.
  if (r.record.cause == RunCause::Finished && settings_.awaitReturnMs > 0 && fromRun && !stopping_) {
    r.record.ended = false;
    ++active_;
    r.awaiting = true;
    r.awaitStart = std::chrono::steady_clock::now();
    const std::size_t index = r.index;
    host_.After(settings_.probeIntervalMs, [this, index] { ProbeNow(*runs_[index]); });
    return;
  }
  Conclude(r, fromRun);
}

void FleetEngine::ProbeNow(Run& r) {
  if (r.record.ended) return;
  const std::size_t index = r.index;
  host_.Probe(index, devices_[index], [this, index](const ProbeAnswer& answer) { Probed(index, answer); });
}

void FleetEngine::Probed(std::size_t index, const ProbeAnswer& answer) {
  Run& r = *runs_[index];
  if (r.record.ended) return;
  if (settings_.planOnly) {
    r.record.probe = answer;
    const bool reachable = answer.kind == ProbeKind::Normal || answer.kind == ProbeKind::Download;
    r.record.outcome = reachable ? RunOutcome::Finished : RunOutcome::Failed;
    switch (answer.kind) {
      case ProbeKind::Normal:
      case ProbeKind::Download:
        r.record.cause = RunCause::Finished;
        break;
      case ProbeKind::Refused:
        r.record.cause = RunCause::Refused;
        break;
      case ProbeKind::NoConnection:
        r.record.cause = RunCause::Connect;
        break;
      case ProbeKind::NoAnswer:
        r.record.cause = RunCause::Timeout;
        break;
      case ProbeKind::Invalid:
        r.record.cause = RunCause::Link;
        break;
    }
    r.record.ended = true;
    --active_;
    r.record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                r.record.startSteady)
                              .count();
    Conclude(r, true);
    return;
  }
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - r.awaitStart).count();
  if (answer.kind == ProbeKind::Normal) {
    r.record.returnMs = waited;
  } else if (waited >= settings_.awaitReturnMs) {
    r.record.cause = RunCause::NotReturned;
    r.record.failure = Failure();
    r.record.failure.origin = FailureOrigin::Link;
    r.record.failure.phase = RunPhase::Finished;
    r.record.failure.code = FailureCode::NotReturned;
    r.record.failure.detail = answer.detail.empty() ? "last answer: status " + std::to_string(answer.status)
                                                     : "last answer: " + answer.detail;
    WordFailure(r.record.failure, 0, 0);
  } else {
    host_.After(settings_.probeIntervalMs, [this, index] { ProbeNow(*runs_[index]); });
    return;
  }
  r.awaiting = false;
  r.record.ended = true;
  --active_;
  Conclude(r, true);
}

void FleetEngine::Conclude(Run& r, bool fromRun) {
  r.awaiting = false;
  // The rails: a canary that did not finish, or one failure too many, and
  // no further device starts.
  if (r.record.cause != RunCause::Finished && r.record.cause != RunCause::Stopped) ++failures_;
  if (settings_.canary > 0 && stage_ == 0 && r.record.cause != RunCause::Finished && !stopping_ &&
      !settings_.planOnly) {
    HaltWith(FleetHalt::Canary);
  }
  if (settings_.maxFailures > 0 && failures_ >= settings_.maxFailures && !settings_.planOnly) {
    HaltWith(FleetHalt::Budget);
  }
  observer_.OnDeviceEnded(r.index, r.record);
  Release(r);
  if (!fromRun) return;
  AfterEnd();
}

void FleetEngine::Release(Run& r) {
  if (!r.live) return;
  host_.Released(r.index);
  r.live.reset();
}

void FleetEngine::HaltWith(FleetHalt why) {
  if (halt_ != FleetHalt::None) return;
  halt_ = why;
  observer_.OnFleetHalted(why);
}

void FleetEngine::AfterEnd() {
  StartStage();
  if (active_ > 0) return;
  if (halt_ != FleetHalt::None) {
    // The devices the roll-out will not reach are recorded as such.
    for (auto& r : runs_) {
      if (r->record.started || r->record.ended) continue;
      r->record.ended = true;
      r->record.cause = RunCause::Budget;
      observer_.OnDeviceEnded(r->index, r->record);
    }
  } else if (!stopping_ && stage_ < stages_.size() && next_ >= stages_[stage_].size() &&
             stage_ + 1 < stages_.size()) {
    const std::string& before = devices_[stages_[stage_].front()].group;
    ++stage_;
    next_ = 0;
    if (settings_.wavePauseMs > 0 && devices_[stages_[stage_].front()].group != before) {
      pausing_ = true;
      host_.After(settings_.wavePauseMs, [this] {
        if (!pausing_) return;
        pausing_ = false;
        StartStage();
        CheckFleetEnded();
      });
      return;
    }
    StartStage();
    if (active_ == 0) AfterEnd();
    return;
  }
  CheckFleetEnded();
}

void FleetEngine::CheckFleetEnded() {
  if (Ended() && !fleetEnded_) {
    fleetEnded_ = true;
    observer_.OnFleetEnded();
  }
}

void FleetEngine::Stop(bool atOnce) {
  stopping_ = true;
  pausing_ = false;
  ramping_ = false;
  for (auto& r : runs_) {
    if (!r->record.started || r->record.ended) continue;
    if (r->awaiting) {
      // The image went out whole: the operator only stops waiting for it.
      r->record.ended = true;
      --active_;
      Conclude(*r, false);
    } else if (r->live) {
      r->live->job.Stop(atOnce);
    }
  }
  CheckFleetEnded();
}

void FleetEngine::Finish() {
  for (auto& r : runs_) {
    if (!r->record.started || r->record.ended) continue;
    if (r->awaiting || settings_.planOnly) {
      r->record.ended = true;
      --active_;
      if (settings_.planOnly) r->record.cause = RunCause::Stopped;
      Conclude(*r, false);
      continue;
    }
    if (r->ranToEnd && r->live) {
      r->record.outcome = r->live->job.LastOutcome();
      r->record.failure = r->live->job.LastFailure();
    }
    Close(*r, false);
  }
}

bool FleetEngine::Ended() const {
  if (active_ > 0 || pausing_ || ramping_) return false;
  if (stopping_) return true;
  if (halt_ != FleetHalt::None) {
    return std::all_of(runs_.begin(), runs_.end(), [](const auto& r) { return r->record.ended; });
  }
  return stage_ >= stages_.size() || (stage_ + 1 == stages_.size() && next_ >= stages_[stage_].size());
}


const FleetDevice& FleetEngine::Device(std::size_t index) const { return devices_[index]; }
const DeviceRecord& FleetEngine::Record(std::size_t index) const { return runs_[index]->record; }

std::vector<RunCause> FleetEngine::Causes() const {
  std::vector<RunCause> causes;
  for (const auto& r : runs_) causes.push_back(r->record.ended ? r->record.cause : RunCause::Stopped);
  return causes;
}

}  // namespace mervix
