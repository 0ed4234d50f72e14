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
  std::string label;  // how the device is named in logs and records (host:port)
};

// Why a device's run ended, from the most serious down (the order
// MostSeriousCause keeps).
enum class RunCause {
  Unknown,   // the last block went out and no Ack came: the device may hold the image or not
  Link,      // a broken link, a protocol error, or bytes sent that are not the image
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

struct FleetSettings {
  int jobs = 16;
  RetryPolicy retry;
  int modeSwitchPauseMs = SessionMachine::kModeSwitchPauseMs;
};

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
};

class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  virtual void OnDeviceStarted(std::size_t /*index*/) {}
  // Text appended to the device's log (whole lines with CR LF).
  virtual void OnDeviceLog(std::size_t /*index*/, const std::string& /*appended*/) {}
  virtual void OnDeviceProgress(std::size_t /*index*/, const Progress& /*progress*/) {}
  virtual void OnDeviceEnded(std::size_t /*index*/, const DeviceRecord& /*record*/) {}
  // Every device that will run has ended.
  virtual void OnFleetEnded() {}
};

class FleetEngine {
 public:
  FleetEngine(PreparedImage image, std::vector<FleetDevice> devices, FleetSettings settings, FleetHost& host,
              FleetObserver& observer);
  ~FleetEngine();
  FleetEngine(const FleetEngine&) = delete;
  FleetEngine& operator=(const FleetEngine&) = delete;

  // Holds the image (when it is not held already) and starts the first
  // devices. False with |error| when the image cannot be held: no device
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
  DownloadJob& Job(std::size_t index);
  std::vector<RunCause> Causes() const;
  const PreparedImage& Image() const { return image_; }

 private:
  struct Run;
  void StartNext();
  void RunEnded(std::size_t index);
  void Close(Run& run, bool fromRun);

  PreparedImage image_;
  std::vector<FleetDevice> devices_;
  FleetSettings settings_;
  FleetHost& host_;
  FleetObserver& observer_;
  std::vector<std::unique_ptr<Run>> runs_;
  std::size_t next_ = 0;
  int active_ = 0;
  bool stopping_ = false;
  bool fleetEnded_ = false;
};

}  // namespace mervix
