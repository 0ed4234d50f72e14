// The production station: one image written to unit after unit, each
// address a slot. A slot asks its address for its status about once a
// second; when a unit answers it writes it (at once, or in the manual mode
// once the operator has armed the slot), tells PASS or FAIL, and then waits
// until that unit has gone before it writes again: a unit is never written
// twice.
//
// A unit has gone when another unit answers (its MAC address differs: the
// device is on the station's own link and the neighbour table named it), or
// when the slot has had no answer for the gone time. A unit whose MAC
// address passed before in this station is not written again when it comes
// back.
//
// Like the fleet engine, the station does no I/O: the front end's FleetHost
// makes the runners, probes and runs the next steps from its event loop.
//
//   StationEngine station(image, slots, settings, host, observer);
//   station.Start(&error);
//   ... the event loop runs until observer.OnStationEnded ...
//   station.Stop();            // no new unit; the units in flight end
#pragma once

#include "operations/DownloadJob.h"
#include "operations/FleetEngine.h"
#include "operations/PreparedImage.h"
#include "resources/LogPane.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace mervix {

struct StationSettings {
  // False: the manual mode: a slot writes its next unit only once the
  // operator armed it (Arm), once for each unit.
  bool automatic = true;
  int probeIntervalMs = 1000;
  // How long a slot must have had no answer before the unit it wrote counts
  // as gone. Longer than the longest silence of a unit's restart after a
  // write, or the restarted unit would be written again.
  static constexpr int kDefaultGoneMs = 20000;
  int goneMs = kDefaultGoneMs;
  // The station ends once this many units have ended; 0: it runs until
  // stopped.
  std::uint64_t units = 0;
  RetryPolicy retry;
  int modeSwitchPauseMs = SessionMachine::kModeSwitchPauseMs;
  // The clock of the gone time; the steady clock when empty (tests set it).
  std::function<std::chrono::steady_clock::time_point()> now;
};

enum class SlotState {
  Waiting,   // no unit answers
  Present,   // manual mode: a unit answers and the slot is not armed
  Writing,   // a unit is being written
  Passed,    // the unit took the image; waiting for it to go
  Failed,    // the unit's write failed; waiting for it to go
  Again,     // a unit that passed before came back; not written, waiting for it to go
  Stopped,   // the station stopped; no unit will start here
};

// One unit's write.
struct StationUnit {
  std::uint64_t number = 0;  // counted over the whole station, from 1
  std::size_t slot = 0;
  std::string mac;           // empty when not known
  DeviceRecord record;
  bool passed = false;       // the image went out whole and is what the unit acknowledged
};

struct StationSlot {
  FleetDevice device;
  SlotState state = SlotState::Waiting;
  bool armed = false;          // manual mode: Start was pressed for the next unit
  std::uint64_t passed = 0;    // units this slot passed and failed
  std::uint64_t failed = 0;
  StationUnit unit;            // the unit being written, or the last one (number 0: none yet)
  std::string present;         // the MAC address of the unit answering now (empty: none or not known)
};

class StationObserver {
 public:
  virtual ~StationObserver() = default;
  // A slot's state, counts or unit changed.
  virtual void OnSlotChanged(std::size_t /*slot*/) {}
  virtual void OnUnitStarted(std::size_t /*slot*/, const StationUnit& /*unit*/) {}
  // The unit's log (whole lines with CR LF) and progress.
  virtual void OnUnitLog(std::size_t /*slot*/, const std::string& /*appended*/) {}
  virtual void OnUnitProgress(std::size_t /*slot*/, const Progress& /*progress*/) {}
  virtual void OnUnitEnded(std::size_t /*slot*/, const StationUnit& /*unit*/) {}
  // The station stopped and its last unit has ended.
  virtual void OnStationEnded() {}
};

class StationEngine {
 public:
  StationEngine(PreparedImage image, std::vector<FleetDevice> slots, StationSettings settings, FleetHost& host,
                StationObserver& observer);
  ~StationEngine();
  StationEngine(const StationEngine&) = delete;
  StationEngine& operator=(const StationEngine&) = delete;

  // Holds the image and starts every slot's probing. False with |error|
  // when the image cannot be held.
  bool Start(std::string* error);
  // Manual mode: slot |index| (every slot: Arm(Size())) writes the next
  // unit that answers and is not the one it wrote last.
  void Arm(std::size_t index);
  // No unit starts any more; the units in flight run to their end, or
  // (|cut|) stop after their block in flight.
  void Stop(bool cut = false);
  // After the event loop has returned: a unit a hard stop cut off ends here.
  void Finish();

  bool Stopping() const { return stopping_; }
  bool Ended() const { return ended_; }
  std::size_t Size() const { return slots_.size(); }
  const StationSlot& Slot(std::size_t index) const;
  const PreparedImage& Image() const { return image_; }
  DownloadJob& Job(std::size_t index);
  std::uint64_t UnitsEnded() const { return unitsEnded_; }
  std::uint64_t Passed() const;
  std::uint64_t Failed() const;

 private:
  struct SlotRun;
  void ProbeLater(SlotRun& slot);
  void ProbeNow(SlotRun& slot);
  void Probed(SlotRun& slot, const ProbeAnswer& answer);
  // A unit answers a slot with nothing to wait for: written, or shown.
  void Answered(SlotRun& slot, const std::string& mac);
  void StartUnit(SlotRun& slot, const std::string& mac);
  void UnitEnded(SlotRun& slot);
  void Changed(SlotRun& slot);
  void CheckEnded();
  std::chrono::steady_clock::time_point Now() const;

  PreparedImage image_;
  StationSettings settings_;
  FleetHost& host_;
  StationObserver& observer_;
  std::vector<std::unique_ptr<SlotRun>> slots_;
  std::set<std::string> passedMacs_;  // the units that took the image, by MAC address
  std::uint64_t unitsStarted_ = 0;
  std::uint64_t unitsEnded_ = 0;
  bool started_ = false;
  bool stopping_ = false;
  bool ended_ = false;
};

}  // namespace mervix
