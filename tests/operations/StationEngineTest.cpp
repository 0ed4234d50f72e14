// The station over scripted units and a clock of its own: every unit that
// answers is written once, a unit is not written again until it has gone
// (another MAC address, or the gone time without an answer), a unit that
// passed is not written again when it comes back, the manual mode writes
// only armed slots, and a stop lets the units in flight end.
#include "operations/StationEngine.h"
#include "operations/ImagePreparation.h"
#include "resources/MessageTable.h"
#include "tests/operations/OperationsTestSupport.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix {
namespace {

using namespace mervix::testing;
using Clock = std::chrono::steady_clock;

// The units at each slot's address, scripted runners for their writes, and
// an event loop whose clock jumps to the next timer when nothing else is due.
class ScriptedStation : public FleetHost, public StationObserver {
 public:
  struct Unit {
    std::string mac;    // empty: its MAC address is not known
    bool refuses = false;  // its write is refused at the size request
  };
  // What slot |index| has at its address now; absent: nothing answers.
  std::map<std::size_t, Unit> present;
  std::size_t imageSize = 70000;

  Clock::time_point Now() const { return now_; }

  // At |ms| on the clock, |task| runs (a unit is plugged in or taken away).
  void At(int ms, std::function<void()> task) { timers_.emplace(start_ + std::chrono::milliseconds(ms), task); }

  RunPort& RunnerFor(std::size_t index, DownloadJob& job) override {
    auto slot = std::make_unique<SlotLink>();
    slot->link.Attach(job);
    slots_[index] = std::move(slot);
    return slots_[index]->link;
  }
  void Later(std::function<void()> task) override { later_.push_back(std::move(task)); }
  void After(int milliseconds, std::function<void()> task) override {
    timers_.emplace(now_ + std::chrono::milliseconds(milliseconds), std::move(task));
  }
  void Probe(std::size_t index, const FleetDevice&, std::function<void(const ProbeAnswer&)> done) override {
    ++probes;
    ProbeAnswer answer;
    const auto unit = present.find(index);
    if (unit != present.end()) {
      answer.kind = ProbeKind::Normal;
      answer.status = 1;
      answer.mac = unit->second.mac;
    }
    later_.push_back([done, answer] { done(answer); });
  }

  // Each unit's write is scripted as it starts, from the unit there now.
  void OnUnitStarted(std::size_t slot, const StationUnit& unit) override {
    SlotLink& s = *slots_.at(slot);
    s.op.answers = {Answer::Ok};
    const Unit& there = present.at(slot);
    if (there.refuses) {
      s.link.ThenFrame(StatusFrame(2));
      s.link.ThenFrame(NakFrame(0x0020));
    } else {
      ScriptWholeDownload(s.link, imageSize, false, false);
    }
    events.push_back("start " + std::to_string(unit.number) + " slot " + std::to_string(slot) +
                     (unit.mac.empty() ? "" : " " + unit.mac));
  }
  void OnUnitEnded(std::size_t, const StationUnit& unit) override {
    events.push_back(std::string(unit.passed ? "PASS " : "FAIL ") + std::to_string(unit.number));
    ended.push_back(unit);
  }
  void OnStationEnded() override { ++stationEnds; }

  // Runs until nothing is due, the clock passes |untilMs|, or |steps| steps.
  void Run(int untilMs, int steps = 1000000) {
    const Clock::time_point until = start_ + std::chrono::milliseconds(untilMs);
    for (int step = 0; step < steps; ++step) {
      bool any = false;
      for (auto& [index, slot] : slots_) any = slot->link.DeliverOne() || any;
      if (!later_.empty()) {
        std::function<void()> task = std::move(later_.front());
        later_.pop_front();
        task();
        any = true;
      }
      if (any) continue;
      if (timers_.empty() || timers_.begin()->first > until) return;
      auto next = timers_.begin();
      now_ = std::max(now_, next->first);
      std::function<void()> task = std::move(next->second);
      timers_.erase(next);
      task();
    }
  }

  std::vector<std::string> events;
  std::vector<StationUnit> ended;
  int stationEnds = 0;
  int probes = 0;

 private:
  struct SlotLink {
    FakeOperator op;
    ScriptedRunner link{op};
  };
  Clock::time_point start_ = Clock::now();
  Clock::time_point now_ = start_;
  std::map<std::size_t, std::unique_ptr<SlotLink>> slots_;
  std::deque<std::function<void()>> later_;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
};

class StationEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetActiveLanguage(Language::English);
    bytes_ = MakeImage(station_.imageSize, 1, 5);
    const std::string path = dir_ / "fw.img";
    WriteBytes(path, bytes_);
    ASSERT_FALSE(PrepareImageAsItIs(path, &image_).failed());
    settings_.modeSwitchPauseMs = 0;
    settings_.now = [this] { return station_.Now(); };
  }
  std::vector<FleetDevice> Slots(std::size_t n) {
    std::vector<FleetDevice> slots;
    for (std::size_t i = 0; i < n; ++i) {
      FleetDevice d;
      d.host = "10.0.0." + std::to_string(i + 1);
      d.port = 2222;
      d.label = d.host + ":2222";
      slots.push_back(d);
    }
    return slots;
  }
  void Plug(int ms, std::size_t slot, ScriptedStation::Unit unit) {
    station_.At(ms, [this, slot, unit] { station_.present[slot] = unit; });
  }
  void Unplug(int ms, std::size_t slot) {
    station_.At(ms, [this, slot] { station_.present.erase(slot); });
  }

  TempFolder dir_;
  Bytes bytes_;
  PreparedImage image_;
  StationSettings settings_;
  ScriptedStation station_;
};

// Without MAC addresses only silence tells a unit has gone: a restart
// shorter than the gone time is the same unit; each new unit is written
// once, a refusing one is FAIL, the next PASS again.
TEST_F(StationEngineTest, EachUnitIsWrittenOnceAndOnlySilenceEndsAUnitWithoutMac) {
  settings_.goneMs = 10000;
  StationEngine engine(image_, Slots(1), settings_, station_, station_);
  Plug(0, 0, {});
  Unplug(2000, 0);  // the restart after the write: 5 s without an answer
  Plug(7000, 0, {});
  Unplug(30000, 0);  // taken away for good; the next one comes 15 s later
  Plug(45000, 0, {"", true});
  Unplug(60000, 0);
  Plug(80000, 0, {});
  std::string error;
  ASSERT_TRUE(engine.Start(&error)) << error;
  station_.Run(120000);
  EXPECT_THAT(station_.events,
              ::testing::ElementsAre("start 1 slot 0", "PASS 1", "start 2 slot 0", "FAIL 2", "start 3 slot 0", "PASS 3"));
  ASSERT_EQ(station_.ended.size(), 3u);
  EXPECT_EQ(station_.ended[0].record.sentSha256, image_.sha256);
  EXPECT_EQ(station_.ended[1].record.cause, RunCause::Refused);
  EXPECT_EQ(station_.ended[2].record.cause, RunCause::Finished);
  EXPECT_EQ(engine.Slot(0).passed, 2u);
  EXPECT_EQ(engine.Slot(0).failed, 1u);
  EXPECT_EQ(engine.Slot(0).state, SlotState::Passed);
  EXPECT_GT(station_.probes, 60);  // about one a second throughout
}

// With MAC addresses a swap is seen at once, and a unit that passed is not
// written again when it comes back; two slots go their own ways.
TEST_F(StationEngineTest, AnotherMacStartsTheNextUnitAndAPassedMacIsNotWrittenAgain) {
  StationEngine engine(image_, Slots(2), settings_, station_, station_);
  station_.present[0] = {"02:00:00:00:00:01"};
  Plug(500, 0, {"02:00:00:00:00:02"});  // swapped without a pause
  Plug(60000, 0, {"02:00:00:00:00:01"});  // the first one again
  Plug(3000, 1, {"02:00:00:00:00:03"});
  std::string error;
  ASSERT_TRUE(engine.Start(&error)) << error;
  station_.Run(90000);
  EXPECT_THAT(station_.events,
              ::testing::ElementsAre("start 1 slot 0 02:00:00:00:00:01", "PASS 1", "start 2 slot 0 02:00:00:00:00:02",
                                     "PASS 2", "start 3 slot 1 02:00:00:00:00:03", "PASS 3"));
  EXPECT_EQ(engine.Slot(0).state, SlotState::Again);
  EXPECT_EQ(engine.Slot(0).present, "02:00:00:00:00:01");
  EXPECT_EQ(engine.Passed(), 3u);
}

// The manual mode writes a unit only once its slot was armed, once a unit;
// an arm while the last unit is still there waits for the next one.
TEST_F(StationEngineTest, TheManualModeWritesOnlyArmedSlotsOnceAUnit) {
  settings_.automatic = false;
  settings_.goneMs = 5000;
  StationEngine engine(image_, Slots(1), settings_, station_, station_);
  Plug(0, 0, {});
  std::string error;
  ASSERT_TRUE(engine.Start(&error)) << error;
  station_.Run(10000);
  EXPECT_TRUE(station_.events.empty());
  EXPECT_EQ(engine.Slot(0).state, SlotState::Present);
  engine.Arm(engine.Size());
  station_.Run(20000);
  engine.Arm(0);  // the same unit is still there
  station_.Run(40000);
  EXPECT_THAT(station_.events, ::testing::ElementsAre("start 1 slot 0", "PASS 1"));
  EXPECT_TRUE(engine.Slot(0).armed);
  Unplug(41000, 0);
  Plug(50000, 0, {});
  station_.Run(60000);
  EXPECT_THAT(station_.events, ::testing::ElementsAre("start 1 slot 0", "PASS 1", "start 2 slot 0", "PASS 2"));
  EXPECT_FALSE(engine.Slot(0).armed);
}

// A stop starts no unit and lets the one in flight end, or cuts it after
// its block in flight; a count of units ends the station by itself.
TEST_F(StationEngineTest, AStopLetsTheUnitsInFlightEndAndACountEndsTheStation) {
  station_.imageSize = 4 * 65536;
  SetUp();
  for (int cut = 0; cut < 2; ++cut) {
    SCOPED_TRACE(cut ? "cut" : "to the end");
    ScriptedStation station;
    station.imageSize = station_.imageSize;
    settings_.now = [&station] { return station.Now(); };
    StationEngine engine(image_, Slots(2), settings_, station, station);
    station.present[0] = {};
    std::string error;
    ASSERT_TRUE(engine.Start(&error)) << error;
    station.Run(0, 12);
    ASSERT_EQ(engine.Slot(0).state, SlotState::Writing);
    station.present[1] = {};  // comes after the stop: never written
    engine.Stop(cut == 1);
    station.Run(10000);
    ASSERT_EQ(station.ended.size(), 1u);
    EXPECT_EQ(station.ended[0].record.cause, cut ? RunCause::Stopped : RunCause::Finished);
    EXPECT_EQ(station.stationEnds, 1);
    EXPECT_TRUE(engine.Ended());
    EXPECT_EQ(engine.Slot(1).state, SlotState::Stopped);
  }
  ScriptedStation station;
  station.imageSize = station_.imageSize;
  settings_.now = [&station] { return station.Now(); };
  settings_.units = 2;
  settings_.goneMs = 1000;
  StationEngine engine(image_, Slots(1), settings_, station, station);
  station.present[0] = {};
  station.At(5000, [&station] { station.present.erase(0); });
  station.At(9000, [&station] { station.present[0] = {}; });
  station.At(20000, [&station] { station.present.erase(0); });
  station.At(25000, [&station] { station.present[0] = {}; });
  std::string error;
  ASSERT_TRUE(engine.Start(&error)) << error;
  station.Run(60000);
  EXPECT_EQ(station.ended.size(), 2u);
  EXPECT_EQ(station.stationEnds, 1);
}

}  // namespace
}  // namespace mervix
