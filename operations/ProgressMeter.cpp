#include "operations/ProgressMeter.h"

#include "resources/Failure.h"
#include "resources/MessageTable.h"

#include <cmath>
#include <cstdio>

namespace mervix {

void ProgressMeter::Reset() {
  last_ = Progress();
  samples_.clear();
}

void ProgressMeter::Update(const Progress& progress, std::int64_t nowMs) {
  const bool firstBlock = progress.phase == ProgressPhase::Sending && last_.phase != ProgressPhase::Sending &&
                          progress.bytesAcknowledged == 0;
  if (firstBlock || progress.bytesAcknowledged < last_.bytesAcknowledged || progress.total != last_.total) {
    // The transfer starts (the time spent connecting and confirming is not
    // the device's pace), a new run, or the image started again.
    samples_.clear();
  }
  last_ = progress;
  if (samples_.empty() || samples_.back().acknowledged != progress.bytesAcknowledged) {
    samples_.push_back({nowMs, progress.bytesAcknowledged});
  }
  // Keep one sample at or before the window's start, so the rate spans it.
  while (samples_.size() > 2 && samples_[1].ms <= nowMs - kWindowMs) samples_.pop_front();
}

int ProgressMeter::Percent() const {
  if (last_.total == 0) return 0;
  return static_cast<int>(last_.bytesAcknowledged * 100 / last_.total);
}

std::optional<double> ProgressMeter::BytesPerSecond() const {
  if (samples_.size() < 2) return std::nullopt;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  if (last.ms <= first.ms) return std::nullopt;
  return static_cast<double>(last.acknowledged - first.acknowledged) * 1000.0 / static_cast<double>(last.ms - first.ms);
}

std::optional<std::int64_t> ProgressMeter::MillisecondsLeft() const {
  const std::optional<double> rate = BytesPerSecond();
  if (!rate || *rate <= 0.0) return std::nullopt;
  const double left = static_cast<double>(last_.total - last_.bytesAcknowledged);
  return static_cast<std::int64_t>(std::ceil(left * 1000.0 / *rate));
}

std::string FormatDuration(std::int64_t milliseconds) {
  const std::int64_t seconds = milliseconds <= 0 ? 0 : (milliseconds + 999) / 1000;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

std::string FormatPhase(const Progress& progress, const std::string& device) {
  switch (progress.phase) {
    case ProgressPhase::Connecting:
      return FormatMessageText(IDS_PHASE_CONNECTING, device);
    case ProgressPhase::Querying:
      return FormatMessageText(IDS_PHASE_QUERYING);
    case ProgressPhase::ModeSwitch:
      // Acknowledged: the connection is closed and the run waits to reconnect.
      if (progress.pausing) return FormatMessageText(IDS_PHASE_RECONNECTING, device);
      return FormatMessageText(IDS_PHASE_MODE_SWITCH);
    case ProgressPhase::Reconnecting:
      return FormatMessageText(IDS_PHASE_RECONNECTING, device);
    case ProgressPhase::Sector:
      return FormatMessageText(IDS_PHASE_SECTOR);
    case ProgressPhase::Confirming:
      return FormatMessageText(IDS_PHASE_CONFIRMING);
    case ProgressPhase::Size:
      return FormatMessageText(IDS_PHASE_SIZE);
    case ProgressPhase::Sending:
      return SubstituteArguments(GetMessageText(IDS_PHASE_SENDING), std::to_string(progress.block),
                                 std::to_string(progress.blocks));
    case ProgressPhase::Done:
      break;
  }
  return std::string();
}

std::string FormatProgressStatus(const ProgressMeter& meter, const std::string& device) {
  const Progress& p = meter.Last();
  std::string line = FormatPhase(p, device);
  if (p.phase != ProgressPhase::Sending && p.bytesAcknowledged == 0) return line;
  const std::string separator = " \xC2\xB7 ";  // a middle dot
  line += separator +
          SubstituteArguments(GetMessageText(IDS_PROGRESS_BYTES), std::to_string(p.bytesAcknowledged / 1024),
                              std::to_string((p.total + 1023) / 1024)) +
          " (" + std::to_string(meter.Percent()) + "%)";
  if (const std::optional<double> rate = meter.BytesPerSecond()) {
    char kb[32];
    std::snprintf(kb, sizeof kb, "%.0f", *rate / 1024.0);
    line += separator + FormatMessageText(IDS_PROGRESS_RATE, std::string(kb));
  }
  if (const std::optional<std::int64_t> left = meter.MillisecondsLeft()) {
    line += separator + FormatMessageText(IDS_PROGRESS_LEFT, FormatDuration(*left));
  }
  return line;
}

std::string FormatOutcomeStatus(RunOutcome outcome, const Failure& failure, const Progress& last) {
  switch (outcome) {
    case RunOutcome::Finished:
      return FormatMessageText(IDS_INFO_FINISHED);
    case RunOutcome::Cancelled:
      return FormatMessageText(IDS_INFO_CANCELLED);
    case RunOutcome::Stopped:
    case RunOutcome::Closed:
      return SubstituteArguments(GetMessageText(IDS_INFO_STOPPED), std::to_string(last.bytesAcknowledged),
                                 std::to_string(last.total));
    case RunOutcome::Failed: {
      const std::string message = failure.message.empty() ? Describe(failure) : failure.message;
      return FormatMessageText(IDS_PHASE_FAILED, failure.detail.empty() ? message : message + ": " + failure.detail);
    }
    case RunOutcome::None:
      break;
  }
  return std::string();
}

}  // namespace mervix
