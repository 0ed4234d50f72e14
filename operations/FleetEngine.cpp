#include "operations/FleetEngine.h"

#include <algorithm>

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
  if (failure.code == FailureCode::NoResponse) return RunCause::Timeout;
  if (failure.code == FailureCode::NoConnection || failure.code == FailureCode::NoSocket) return RunCause::Connect;
  return RunCause::Link;
}

RunCause MostSeriousCause(const std::vector<RunCause>& causes) {
  if (causes.empty()) return RunCause::Finished;
  return *std::min_element(causes.begin(), causes.end());
}

// One device: its log, its job, and the link that carries the job's
// actions to the front end's runner and tells the engine what it must know.
struct FleetEngine::Run : RunPort {
  Run(FleetEngine& fleet, std::size_t at)
      : engine(fleet),
        index(at),
        log([this](const std::string&, const std::string& appended) {
          if (!appended.empty()) engine.observer_.OnDeviceLog(index, appended);
        }),
        job(log) {}

  // RunPort: everything goes to the runner; progress and the end are heard.
  void Connect(const std::string& host, std::uint16_t port) override { runner->Connect(host, port); }
  void Send(const std::uint8_t* data, std::size_t size) override { runner->Send(data, size); }
  void Close(bool drain) override { runner->Close(drain); }
  void Pause(int milliseconds) override { runner->Pause(milliseconds); }
  void Ask(Question question, const std::string& text, const std::string& detail, ButtonSet buttons) override {
    runner->Ask(question, text, detail, buttons);
  }
  bool ShowMessage(std::uint16_t messageId, const std::string& text, const std::string& detail) override {
    return runner->ShowMessage(messageId, text, detail);
  }
  void AwaitResponse(ResponseWait wait) override { runner->AwaitResponse(wait); }
  void ReportProgress(const Progress& progress) override {
    runner->ReportProgress(progress);
    engine.observer_.OnDeviceProgress(index, progress);
  }
  void RunEnded(RunOutcome outcome, const Failure& failure) override {
    runner->RunEnded(outcome, failure);
    ranToEnd = true;
    // Taken up from the event loop: the job is still inside its report.
    FleetEngine* fleet = &engine;
    const std::size_t at = index;
    engine.host_.Later([fleet, at] { fleet->RunEnded(at); });
  }

  FleetEngine& engine;
  std::size_t index;
  LogPane log;
  DownloadJob job;
  RunPort* runner = nullptr;
  DeviceRecord record;
  bool ranToEnd = false;  // the job told its end
};

FleetEngine::FleetEngine(PreparedImage image, std::vector<FleetDevice> devices, FleetSettings settings,
                         FleetHost& host, FleetObserver& observer)
    : image_(std::move(image)),
      devices_(std::move(devices)),
      settings_(settings),
      host_(host),
      observer_(observer) {
  for (std::size_t i = 0; i < devices_.size(); ++i) runs_.push_back(std::make_unique<Run>(*this, i));
}

FleetEngine::~FleetEngine() = default;

bool FleetEngine::Start(std::string* error) {
  // One open of the image for every run: each reads its blocks from it.
  if (!image_.held) {
    FileStatus taken;
    image_.held = HeldImage::Take(image_.path, ImageAccess::Exclusive, &taken);
    if (!image_.held) {
      *error = taken.reason;
      return false;
    }
  }
  if (image_.sha256.empty()) image_.sha256 = image_.held->Sha256();
  const std::size_t first = std::min<std::size_t>(runs_.size(), static_cast<std::size_t>(std::max(1, settings_.jobs)));
  for (std::size_t i = 0; i < first; ++i) StartNext();
  if (Ended() && !fleetEnded_) {
    fleetEnded_ = true;
    observer_.OnFleetEnded();
  }
  return true;
}

void FleetEngine::StartNext() {
  while (next_ < runs_.size() && !stopping_) {
    Run& r = *runs_[next_++];
    r.record.started = true;
    r.record.startWall = std::chrono::system_clock::now();
    r.record.startSteady = std::chrono::steady_clock::now();
    r.runner = &host_.RunnerFor(r.index, r.job);
    r.job.Machine().SetModeSwitchPauseMs(settings_.modeSwitchPauseMs);
    r.job.SetRetryPolicy(settings_.retry);
    ++active_;
    observer_.OnDeviceStarted(r.index);
    const FleetDevice& d = devices_[r.index];
    if (!r.job.Start(image_, d.host, d.port, r)) {
      r.record.outcome = RunOutcome::Failed;
      r.record.failure.message = "the run could not be started";
      Close(r, true);
    }
    return;
  }
}

void FleetEngine::RunEnded(std::size_t index) {
  Run& r = *runs_[index];
  r.record.outcome = r.job.LastOutcome();
  r.record.failure = r.job.LastFailure();
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
  r.record.retriesUsed = r.job.RetriesUsed();
  r.record.cause = CauseOf(r.record.outcome, r.record.failure);
  if (r.record.outcome == RunOutcome::Finished) {
    r.record.sentSha256 = r.job.SentSha256();
    // What the device holds is not the image: as a broken link.
    if (r.record.sentSha256 != image_.sha256) r.record.cause = RunCause::Link;
  }
  observer_.OnDeviceEnded(r.index, r.record);
  if (!fromRun) return;
  StartNext();
  if (Ended() && !fleetEnded_) {
    fleetEnded_ = true;
    observer_.OnFleetEnded();
  }
}

void FleetEngine::Stop(bool atOnce) {
  stopping_ = true;
  for (auto& r : runs_) {
    if (r->record.started && !r->record.ended) r->job.Stop(atOnce);
  }
  if (Ended() && !fleetEnded_) {
    fleetEnded_ = true;
    observer_.OnFleetEnded();
  }
}

void FleetEngine::Finish() {
  for (auto& r : runs_) {
    if (!r->record.started || r->record.ended) continue;
    if (r->ranToEnd) {
      r->record.outcome = r->job.LastOutcome();
      r->record.failure = r->job.LastFailure();
    }
    Close(*r, false);
  }
}

bool FleetEngine::Ended() const { return active_ == 0 && (next_ >= runs_.size() || stopping_); }

const FleetDevice& FleetEngine::Device(std::size_t index) const { return devices_[index]; }
const DeviceRecord& FleetEngine::Record(std::size_t index) const { return runs_[index]->record; }
DownloadJob& FleetEngine::Job(std::size_t index) { return runs_[index]->job; }

std::vector<RunCause> FleetEngine::Causes() const {
  std::vector<RunCause> causes;
  for (const auto& r : runs_) causes.push_back(r->record.ended ? r->record.cause : RunCause::Stopped);
  return causes;
}

}  // namespace mervix
