// Rate and time left of a run, from the session's progress reports, and the
// one-line status that the window and the command line show.
//
// The rate is measured on acknowledged bytes (what the device has taken,
// not what sits in a socket buffer) over the last few seconds, so it follows
// a device whose flash slows down and does not jump with each block.
#pragma once

#include "protocol/SessionMachine.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace mervix {

class ProgressMeter {
 public:
  // How far back the rate looks.
  static constexpr std::int64_t kWindowMs = 5000;

  // A progress report seen at |nowMs| of a monotonic clock. A report of a
  // new run (nothing acknowledged, connecting) starts the measure afresh.
  void Update(const Progress& progress, std::int64_t nowMs);
  void Reset();

  const Progress& Last() const { return last_; }
  // Acknowledged bytes of the whole image, 0 to 100.
  int Percent() const;
  // Acknowledged bytes per second over the window; nothing until two
  // acknowledgements apart in time have been seen.
  std::optional<double> BytesPerSecond() const;
  // Milliseconds until the image is acknowledged at the current rate.
  std::optional<std::int64_t> MillisecondsLeft() const;

 private:
  struct Sample {
    std::int64_t ms;
    std::uint64_t acknowledged;
  };
  Progress last_;
  std::deque<Sample> samples_;
};

// "1:05:09", "4:07", "0:09": hours only when there are any.
std::string FormatDuration(std::int64_t milliseconds);

// The phase in words, in the active language: "Connecting to 10.0.0.5",
// "Sending block 3 of 31", ... |device| names the device.
std::string FormatPhase(const Progress& progress, const std::string& device);

// The status line: the phase, then while blocks go out the kilobytes
// acknowledged of the total, the percent, the rate and the time left as far
// as they are known: "Sending block 3 of 31 · 128 of 1984 KB (6%) · 412 KB/s
// · 0:04 left".
std::string FormatProgressStatus(const ProgressMeter& meter, const std::string& device);

// The status line of an ended run: "Download finished", "Download
// cancelled", "Download stopped: A of T bytes written" (from |last|, the
// run's last progress) or "Failed: <message>: <cause>".
std::string FormatOutcomeStatus(RunOutcome outcome, const Failure& failure, const Progress& last);

}  // namespace mervix
