// The fleet engine: one prepared image run on any number of devices, at most
// `jobs` of them at a time, each device with its own download job, log and
// retries, through runners the front end makes (Asio runners on one
// io_context for the command line, Qt runners for the window). The engine
// does no I/O of its own: the front end's host makes the runners and runs
// the engine's next steps from its event loop; observers hear each device
// start, log, progress and end, and the fleet end.
//
//   FleetEngine fleet(image, devices, settings, host, observer);
//   fleet.Start(&error);      // the first `jobs` devices start
//   ... the event loop runs until observer.OnFleetEnded ...
//   fleet.Stop(false);        // the operator's stop (no new device starts)
//   fleet.Finish();           // after the loop: ends what a hard stop cut off
//   MostSeriousCause(fleet.Causes())
#pragma once

#include "operations/DownloadJob.h"
#include "operations/PreparedImage.h"
#include "protocol/Frames.h"
#include "protocol/SessionMachine.h"
#include "resources/Failure.h"
#include "resources/LogPane.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mervix {

struct FleetDevice {
  std::string host;
  std::uint16_t port = 0;
  std::string label;  // how the device is named in logs, boards and summaries: its name, else host:port
  std::string name;   // the operator's name of the device; empty when it has none
  std::string group;  // the group it is rolled out with; groups run one after the other
  std::size_t image = 0;  // which of the roll-out's images it gets
};

// Why a device's run ended, from the most serious down (the order
// MostSeriousCause keeps).
enum class RunCause {
  Unknown,      // the last block went out and no Ack came: the device may hold the image or not
  NotReturned,  // the device took the image but did not come back in normal mode in time
  Budget,       // not started: the roll-out's failure budget was reached, or its canary failed
  Link,         // a broken link, a protocol error, or bytes sent that are not the image
  Timeout,   // the device fell silent
  Connect,   // no connection
  Input,     // the image or another input could not be used
  Refused,   // the device refused
  Stopped,   // stopped or cancelled by the operator
  Usage,     // the operator's input
  Failure,   // any other failure
  Finished,  // the image went out whole
};

// The cause of a run that ended with |outcome| and |failure|.
RunCause CauseOf(RunOutcome outcome, const Failure& failure);
// The most serious of |causes|; Finished for none.
RunCause MostSeriousCause(const std::vector<RunCause>& causes);

// The cause's name in records and events: "unknown", "not_returned",
// "budget", "link", "timeout", "connect", "input", "refused", "stopped",
// "usage", "failure", "finished".
const char* CauseName(RunCause cause);

// The start ramp both front ends use: one mode switch pause. Each slot's
// switches then fall at their own time, and few data phases overlap (of a
// sixth, a third, a half and the whole pause, the whole gave the 10,000-
// device bench its shortest time and the fewest connections at once).
inline int StartRampFor(int modeSwitchPauseMs) { return modeSwitchPauseMs; }

struct FleetSettings {
  int jobs = 16;  // devices run at the same time (within a group)
  RetryPolicy retry;
  int modeSwitchPauseMs = SessionMachine::kModeSwitchPauseMs;
  // The first |canary| devices of the roll-out run alone; the others only
  // when every one of them finished.
  std::size_t canary = 0;
  // The pause between one group's end and the next group's start.
  int wavePauseMs = 0;
  // Once this many devices have failed, no further device starts; 0: no
  // budget. (A stop by the operator is no failure.)
  std::size_t maxFailures = 0;
  // After a finished write, the device is asked for its status every
  // |probeIntervalMs| until it answers in normal mode (it restarted with
  // the new image) or |awaitReturnMs| have passed (NotReturned); 0: no wait.
  int awaitReturnMs = 0;
  int probeIntervalMs = 1000;
  // When a stage has more devices than |jobs|, its first |jobs| starts are
  // spread over |startRampMs| instead of made at once: otherwise their mode
  // switches and data phases fall together, and so do the next wave's, one
  // wave after another. Later starts follow ends. 0: all at once.
  int startRampMs = 0;
  // A plan: every device is asked for its status once, nothing is written;
  // the canary, the groups' order and the budget do not apply.
  bool planOnly = false;
};

// What a device answered one status query (connect, query, close).
enum class ProbeKind {
  Normal,        // status 1
  Download,      // status 2 or 3: in download mode
  Refused,       // a NAK; nakFlags holds its word
  NoConnection,  // no connection could be made
  NoAnswer,      // connected, but no reply in time
  Invalid,       // the device closed, or answered out of protocol
};
struct ProbeAnswer {
  ProbeKind kind = ProbeKind::NoConnection;
  int status = 0;
  std::uint16_t nakFlags = 0;
  std::string detail;  // why there is no answer, or the frame that made no sense
  // The device's MAC address ("02:00:5e:10:00:01"), from the system's
  // neighbour table after the connection: known only for a device on the
  // station's own link; empty otherwise.
  std::string mac;
};

// What the 8-byte reply to a status query says (the MAC address is the
// prober's to fill in).
ProbeAnswer ProbeAnswerOf(const ProtocolFrame& reply);

// What the engine keeps of one device's run.
struct DeviceRecord {
  bool started = false;
  bool ended = false;
  std::chrono::system_clock::time_point startWall;
  std::chrono::steady_clock::time_point startSteady;
  std::int64_t durationMs = 0;
  RunOutcome outcome = RunOutcome::None;
  Failure failure;
  // SHA-256 of the bytes the device acknowledged in a finished run; empty
  // otherwise. A finished run whose bytes are not the image counts as Link.
  std::string sentSha256;
  int retriesUsed = 0;
  RunCause cause = RunCause::Stopped;
  // The wait for the device's return: how long after the last Ack it
  // answered in normal mode; -1 when it was not waited for or never did.
  std::int64_t returnMs = -1;
  // A plan: what the device answered.
  ProbeAnswer probe;
};

// Why the roll-out stops starting devices before the operator says so.
enum class FleetHalt {
  None,
  Budget,  // the failure budget was reached
  Canary,  // a canary device did not finish
};

// What the front end gives the engine.
class FleetHost {
 public:
  virtual ~FleetHost() = default;
  // The runner that carries out the runs of |job|, the job of device
  // |index|, and reports to it; it must outlive the engine's use of it.
  virtual RunPort& RunnerFor(std::size_t index, DownloadJob& job) = 0;
  // Runs |task| later from the front end's event loop, outside any handler.
  virtual void Later(std::function<void()> task) = 0;
  // Runs |task| from the event loop once |milliseconds| have passed.
  virtual void After(int milliseconds, std::function<void()> task) = 0;
  // Asks device |index| for its status once, nothing else; |done| is told
  // the answer from the event loop. A host that cannot probe answers
  // NoConnection, saying so.
  virtual void Probe(std::size_t index, const FleetDevice& device, std::function<void(const ProbeAnswer&)> done);
  // Device |index|'s end has been told and its job is about to go: the
  // runner made for it must not reach the job any more, and may go too.
  // Called from the event loop, never from inside the runner.
  virtual void Released(std::size_t /*index*/) {}
};

class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  virtual void OnDeviceStarted(std::size_t /*index*/) {}
  // Text appended to the device's log (whole lines with CR LF).
  virtual void OnDeviceLog(std::size_t /*index*/, const std::string& /*appended*/) {}
  virtual void OnDeviceProgress(std::size_t /*index*/, const Progress& /*progress*/) {}
  // A device's run ended, or (record.started false) the device will not
  // start because the roll-out halted (cause Budget).
  virtual void OnDeviceEnded(std::size_t /*index*/, const DeviceRecord& /*record*/) {}
  // The roll-out halted: no device starts any more (the running ones end).
  virtual void OnFleetHalted(FleetHalt /*why*/) {}
  // Every device that will run has ended.
  virtual void OnFleetEnded() {}
};

class FleetEngine {
 public:
  // Every device gets |images|[device.image].
  FleetEngine(std::vector<PreparedImage> images, std::vector<FleetDevice> devices, FleetSettings settings,
              FleetHost& host, FleetObserver& observer);
  // One image for every device.
  FleetEngine(PreparedImage image, std::vector<FleetDevice> devices, FleetSettings settings, FleetHost& host,
              FleetObserver& observer);
  ~FleetEngine();
  FleetEngine(const FleetEngine&) = delete;
  FleetEngine& operator=(const FleetEngine&) = delete;

  // Holds the images (those not held already) and starts the first
  // devices. False with |error| when an image cannot be held: no device
  // starts.
  bool Start(std::string* error);
  // The operator's stop: no device starts any more; those running stop
  // after their block in flight, or (|atOnce|) at once.
  void Stop(bool atOnce);
  // After the event loop has returned: a device whose run a hard stop cut
  // off before its end was told ends here, as stopped.
  void Finish();

  bool Stopping() const { return stopping_; }
  // No device runs, and none will start.
  bool Ended() const;
  std::size_t Size() const { return devices_.size(); }
  const FleetDevice& Device(std::size_t index) const;
  const DeviceRecord& Record(std::size_t index) const;
  std::vector<RunCause> Causes() const;
  const PreparedImage& Image(std::size_t index = 0) const { return images_[index]; }
  // The image device |index| gets.
  const PreparedImage& ImageOf(std::size_t index) const { return images_[devices_[index].image]; }
  FleetHalt Halt() const { return halt_; }
  std::size_t Failures() const { return failures_; }

 private:
  struct Run;
  // The order of the roll-out: the canary, then every group in the order
  // its first device appears, each in file order.
  void PlanStages();
  bool StartNext();
  void StartStage();
  // One step of a stage's start ramp: the next few starts, then the next
  // step after a while.
  void RampStep();
  void RunEnded(std::size_t index);
  // A run's end: its record made, and then (after the wait for the
  // device's return, if any) concluded: counted, told, the next started.
  void Close(Run& run, bool fromRun);
  void Conclude(Run& run, bool fromRun);
  // Gives back a concluded device's job and log.
  void Release(Run& run);
  void HaltWith(FleetHalt why);
  // Probes device |run| (a plan, or the wait for its return).
  void ProbeNow(Run& run);
  void Probed(std::size_t index, const ProbeAnswer& answer);
  void AfterEnd();
  void CheckFleetEnded();

  std::vector<PreparedImage> images_;
  std::vector<FleetDevice> devices_;
  FleetSettings settings_;
  FleetHost& host_;
  FleetObserver& observer_;
  std::vector<std::unique_ptr<Run>> runs_;
  std::vector<std::vector<std::size_t>> stages_;  // device indices, stage by stage
  std::size_t stage_ = 0;
  std::size_t next_ = 0;  // the next device of the stage to start
  int active_ = 0;
  bool pausing_ = false;  // between two groups
  bool ramping_ = false;  // a stage's first starts are being spread out
  bool stopping_ = false;
  bool fleetEnded_ = false;
  FleetHalt halt_ = FleetHalt::None;
  std::size_t failures_ = 0;
};

}  // namespace mervix
