#include "operations/StationEngine.h"

#include <algorithm>

namespace mervix {

// One slot: its address, its job (reused unit after unit), and the link
// that carries the job's actions to the runner the host made for it.
struct StationEngine::SlotRun : RunPort {
  SlotRun(StationEngine& station, std::size_t at, FleetDevice device)
      : engine(station),
        index(at),
        log([this](const std::string&, const std::string& appended) {
          if (!appended.empty()) engine.observer_.OnUnitLog(index, appended);
        }),
        job(log) {
    view.device = std::move(device);
  }

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
    engine.observer_.OnUnitProgress(index, progress);
  }
  void RunEnded(RunOutcome outcome, const Failure& failure) override {
    runner->RunEnded(outcome, failure);
    ranToEnd = true;
    // Taken up from the event loop: the job is still inside its report.
    StationEngine* station = &engine;
    SlotRun* self = this;
    engine.host_.Later([station, self] { station->UnitEnded(*self); });
  }

  StationEngine& engine;
  std::size_t index;
  LogPane log;
  DownloadJob job;
  RunPort* runner = nullptr;
  StationSlot view;
  bool probing = false;   // a probe is out or scheduled
  bool ranToEnd = false;  // the unit's run told its end
  // When the slot last heard the unit it wrote (or saw again) answer.
  std::chrono::steady_clock::time_point lastAnswer;
  std::string lastMac;  // that unit's MAC address; empty when not known
};

StationEngine::StationEngine(PreparedImage image, std::vector<FleetDevice> slots, StationSettings settings,
                             FleetHost& host, StationObserver& observer)
    : image_(std::move(image)), settings_(std::move(settings)), host_(host), observer_(observer) {
  for (std::size_t i = 0; i < slots.size(); ++i) slots_.push_back(std::make_unique<SlotRun>(*this, i, slots[i]));
}

StationEngine::~StationEngine() = default;

std::chrono::steady_clock::time_point StationEngine::Now() const {
  return settings_.now ? settings_.now() : std::chrono::steady_clock::now();
}

bool StationEngine::Start(std::string* error) {
  if (!image_.held) {
    FileStatus taken;
    image_.held = HeldImage::Take(image_.path, ImageAccess::Exclusive, &taken);
    if (!image_.held) {
      *error = taken.reason;
      return false;
    }
  }
  if (image_.sha256.empty()) image_.sha256 = image_.held->Sha256();
  started_ = true;
  for (auto& slot : slots_) ProbeNow(*slot);
  CheckEnded();
  return true;
}

void StationEngine::ProbeLater(SlotRun& slot) {
  if (stopping_ || slot.probing) return;
  slot.probing = true;
  SlotRun* s = &slot;
  host_.After(settings_.probeIntervalMs, [this, s] {
    s->probing = false;
    if (stopping_) {
      CheckEnded();
      return;
    }
    ProbeNow(*s);
  });
}

void StationEngine::ProbeNow(SlotRun& slot) {
  if (stopping_ || slot.probing || slot.view.state == SlotState::Writing) return;
  slot.probing = true;
  SlotRun* s = &slot;
  host_.Probe(slot.index, slot.view.device, [this, s](const ProbeAnswer& answer) {
    s->probing = false;
    Probed(*s, answer);
  });
}

void StationEngine::Probed(SlotRun& slot, const ProbeAnswer& answer) {
  if (stopping_) {
    CheckEnded();
    return;
  }
  const bool answers = answer.kind == ProbeKind::Normal || answer.kind == ProbeKind::Download;
  const std::string present = answers ? answer.mac : std::string();
  if (present != slot.view.present) {
    slot.view.present = present;
    Changed(slot);
  }
  switch (slot.view.state) {
    case SlotState::Waiting:
    case SlotState::Present:
      if (answers) {
        Answered(slot, answer.mac);
      } else if (slot.view.state == SlotState::Present) {
        slot.view.state = SlotState::Waiting;
        Changed(slot);
      }
      break;
    case SlotState::Passed:
    case SlotState::Failed:
    case SlotState::Again: {
      // Has the unit gone? Another MAC address answering says so at once;
      // else only the gone time without an answer does.
      const auto now = Now();
      if (answers && !answer.mac.empty() && !slot.lastMac.empty() && answer.mac != slot.lastMac) {
        Answered(slot, answer.mac);
        break;
      }
      if (answers) {
        slot.lastAnswer = now;
        if (slot.lastMac.empty()) slot.lastMac = answer.mac;
        break;
      }
      if (now - slot.lastAnswer >= std::chrono::milliseconds(settings_.goneMs)) {
        slot.lastMac.clear();
        slot.view.state = SlotState::Waiting;
        Changed(slot);
      }
      break;
    }
    case SlotState::Writing:
    case SlotState::Stopped:
      return;
  }
  if (slot.view.state != SlotState::Writing) ProbeLater(slot);
}

void StationEngine::Answered(SlotRun& slot, const std::string& mac) {
  if (!mac.empty() && passedMacs_.count(mac) != 0) {
    // A unit that took the image already: not again.
    slot.view.state = SlotState::Again;
    slot.lastMac = mac;
    slot.lastAnswer = Now();
    Changed(slot);
    return;
  }
  if (settings_.units > 0 && unitsStarted_ >= settings_.units) return;
  if (!settings_.automatic && !slot.view.armed) {
    if (slot.view.state != SlotState::Present) {
      slot.view.state = SlotState::Present;
      Changed(slot);
    }
    return;
  }
  StartUnit(slot, mac);
}

void StationEngine::StartUnit(SlotRun& slot, const std::string& mac) {
  StationUnit& unit = slot.view.unit;
  unit = StationUnit();
  unit.number = ++unitsStarted_;
  unit.slot = slot.index;
  unit.mac = mac;
  unit.record.started = true;
  unit.record.startWall = std::chrono::system_clock::now();
  unit.record.startSteady = std::chrono::steady_clock::now();
  slot.view.armed = false;
  slot.ranToEnd = false;
  slot.view.state = SlotState::Writing;
  slot.lastMac = mac;
  if (slot.runner == nullptr) slot.runner = &host_.RunnerFor(slot.index, slot.job);
  slot.job.Machine().SetModeSwitchPauseMs(settings_.modeSwitchPauseMs);
  slot.job.SetRetryPolicy(settings_.retry);
  slot.log.ClearLog();
  observer_.OnUnitStarted(slot.index, unit);
  Changed(slot);
  const FleetDevice& d = slot.view.device;
  if (!slot.job.Start(image_, d.host, d.port, slot)) {
    unit.record.outcome = RunOutcome::Failed;
    unit.record.failure.message = "the run could not be started";
    SlotRun* s = &slot;
    host_.Later([this, s] { UnitEnded(*s); });
  }
}

void StationEngine::UnitEnded(SlotRun& slot) {
  if (slot.view.state != SlotState::Writing) return;
  StationUnit& unit = slot.view.unit;
  DeviceRecord& r = unit.record;
  if (slot.ranToEnd) {
    r.outcome = slot.job.LastOutcome();
    r.failure = slot.job.LastFailure();
  } else if (r.outcome == RunOutcome::None) {
    // Cut off by a hard stop before its end was told.
    r.outcome = RunOutcome::Stopped;
  }
  r.ended = true;
  r.durationMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - r.startSteady).count();
  r.retriesUsed = slot.job.RetriesUsed();
  r.cause = CauseOf(r.outcome, r.failure);
  if (r.outcome == RunOutcome::Finished) {
    r.sentSha256 = slot.job.SentSha256();
    // What the unit holds is not the image: as a broken link.
    if (r.sentSha256 != image_.sha256) r.cause = RunCause::Link;
  }
  unit.passed = r.cause == RunCause::Finished;
  if (unit.passed) {
    ++slot.view.passed;
    if (!unit.mac.empty()) passedMacs_.insert(unit.mac);
  } else {
    ++slot.view.failed;
  }
  ++unitsEnded_;
  slot.view.state = unit.passed ? SlotState::Passed : SlotState::Failed;
  // The unit is there until the gone time has passed without an answer
  // from it (its restart included).
  slot.lastAnswer = Now();
  observer_.OnUnitEnded(slot.index, unit);
  Changed(slot);
  if (settings_.units > 0 && unitsEnded_ >= settings_.units) Stop();
  if (stopping_) {
    CheckEnded();
    return;
  }
  ProbeLater(slot);
}

void StationEngine::Arm(std::size_t index) {
  if (stopping_) return;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (index < slots_.size() && i != index) continue;
    SlotRun& slot = *slots_[i];
    if (slot.view.state == SlotState::Writing || slot.view.armed) continue;
    slot.view.armed = true;
    Changed(slot);
    // A unit already answering is written at once.
    if (slot.view.state == SlotState::Present) StartUnit(slot, slot.view.present);
  }
}

void StationEngine::Stop(bool cut) {
  stopping_ = true;
  for (auto& slot : slots_) {
    if (slot->view.state == SlotState::Writing) {
      if (cut) slot->job.Stop(false);
      continue;
    }
    slot->view.armed = false;
  }
  CheckEnded();
}

void StationEngine::Finish() {
  stopping_ = true;
  for (auto& slot : slots_) {
    if (slot->view.state == SlotState::Writing) UnitEnded(*slot);
    slot->probing = false;
  }
  CheckEnded();
}

void StationEngine::CheckEnded() {
  if (ended_ || !stopping_ || !started_) return;
  const bool writing = std::any_of(slots_.begin(), slots_.end(), [](const auto& s) {
    return s->view.state == SlotState::Writing;
  });
  const bool probing = std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->probing; });
  if (writing || probing) return;
  for (auto& slot : slots_) {
    slot->view.state = SlotState::Stopped;
    Changed(*slot);
  }
  ended_ = true;
  observer_.OnStationEnded();
}

void StationEngine::Changed(SlotRun& slot) { observer_.OnSlotChanged(slot.index); }

const StationSlot& StationEngine::Slot(std::size_t index) const { return slots_[index]->view; }
DownloadJob& StationEngine::Job(std::size_t index) { return slots_[index]->job; }

std::uint64_t StationEngine::Passed() const {
  std::uint64_t n = 0;
  for (const auto& s : slots_) n += s->view.passed;
  return n;
}

std::uint64_t StationEngine::Failed() const {
  std::uint64_t n = 0;
  for (const auto& s : slots_) n += s->view.failed;
  return n;
}

}  // namespace mervix
