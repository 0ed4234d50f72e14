// What a run command reports while a run goes on and when it ends: the log
// lines as the log pane shows them (or, with --json, one JSON event per line
// on standard output, see docs/json-events.md), the progress line redrawn in
// place on standard error, the image's SHA-256, and the exit code by cause.
#pragma once

#include "cli/support/AsioRunner.h"
#include "operations/FleetEngine.h"
#include "operations/ProgressMeter.h"
#include "operations/RunRecord.h"
#include "resources/Failure.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace mervix {
class DownloadJob;
}  // namespace mervix

namespace mervix::cli {

// The version of the JSON event schema; raised when a field changes meaning
// or goes away (new fields may come without it).
constexpr int kJsonSchemaVersion = 1;

// The exit code of a run that ended so (see kExitCodesHelp): 0 finished,
// else by the failure's origin, phase and message.
int ExitCodeOf(RunOutcome outcome, const Failure& failure);

class RunReport : public RunObserver {
 public:
  // |command| names the command in the closing line; |progress| draws the
  // progress line on |err|.
  RunReport(const char* command, std::FILE* out, std::FILE* err, bool json, bool progress);

  // Log text appended to the pane (CR LF line ends).
  void Log(const std::string& appended);
  // A box or question and its answer.
  void Box(const std::string& text, const std::string& detail, ButtonSet buttons, Answer answer, bool automatic);
  // The job whose run is reported: its start is reported with the run's
  // first progress (the image is prepared and open by then).
  void Follow(const DownloadJob& job) { job_ = &job; }
  // The job is gone: nothing more of it is reported.
  void Unfollow() { job_ = nullptr; }
  // One device of several: every JSON event carries |device|.
  // A roll-out's word on the device's run, which its run_ended event
  // carries: the outcome ("not_started" for a device never started), the
  // cause (FleetEngine's CauseName) and the exit code of that cause.
  void SetVerdict(std::string outcome, std::string cause, int exitCode) {
    verdictOutcome_ = std::move(outcome);
    verdictCause_ = std::move(cause);
    verdictCode_ = exitCode;
  }
  // Its |name| goes with it when it has one.
  void SetDeviceTag(const std::string& device, const std::string& name = std::string()) {
    deviceTag_ = device;
    deviceName_ = name;
  }
  // Ctrl-C: the first stops after the block in flight, the second at once.
  void Stopping(bool atOnce);
  // Clears the progress line, if one is drawn, before other output.
  void ClearProgress();

  void OnProgress(const Progress& progress) override;
  void OnRunEnded(RunOutcome outcome, const Failure& failure) override;

  // The end of the command: the closing line on |err| when the run did not
  // finish, the proof of the bytes sent when it did, the run_ended event.
  // Returns the exit code.
  // |record|: what the engine kept of the run (the bytes the device
  // acknowledged, the retries); null for a run that never started.
  // |closingLine| false: the caller has said why already.
  int Finish(const DeviceRecord* record, bool ended, RunOutcome outcome, const Failure& failure,
             bool closingLine = true);

 private:
  void Started(const DownloadJob& job);
  void Emit(const std::string& jsonLine);
  std::int64_t ElapsedMs() const;

  const char* command_;
  std::FILE* out_;
  std::FILE* err_;
  bool json_;
  bool progress_;
  const DownloadJob* job_ = nullptr;
  bool started_ = false;
  bool lineDrawn_ = false;
  std::string device_;
  std::string deviceTag_;
  std::string deviceName_;
  std::string verdictOutcome_;
  std::string verdictCause_;
  int verdictCode_ = -1;
  std::string fileSha256_;
  std::string pendingLog_;  // a log line not yet ended
  ProgressMeter meter_;
  Progress last_;
  bool anyProgress_ = false;
  std::chrono::steady_clock::time_point begin_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point runBegin_ = begin_;
};

}  // namespace mervix::cli
