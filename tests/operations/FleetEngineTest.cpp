// The fleet engine over scripted devices: scheduling at most `jobs` at a
// time, one end per device with its cause, the shared held image, a stop
// that starts nothing more, a hard stop cut off by the front end, and the
// ranking of causes.
#include "operations/FleetEngine.h"
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

using ::testing::ElementsAre;
using namespace mervix::testing;

// One scripted device per index, and the event loop that drives them all.
class ScriptedFleet : public FleetHost, public FleetObserver {
 public:
  // How device |index| answers.
  std::function<void(std::size_t index, ScriptedRunner& link)> script;

  RunPort& RunnerFor(std::size_t index, DownloadJob& job) override {
    auto device = std::make_unique<Device>();
    device->op.answers = {Answer::Ok};
    device->link.Attach(job);
    if (script) script(index, device->link);
    devices_[index] = std::move(device);
    return devices_[index]->link;
  }
  // The job is gone: its link is kept for the test to read, but nothing
  // more is delivered through it.
  void Released(std::size_t index) override {
    released.push_back(index);
    EXPECT_EQ(ends.count(index), 1u) << "device " << index << " released before its end was told";
    gone_[index] = std::move(devices_.at(index));
    devices_.erase(index);
  }
  void Later(std::function<void()> task) override { later_.push_back(std::move(task)); }
  // Time passes only as the loop runs: a pause is the step after everything due.
  void After(int milliseconds, std::function<void()> task) override {
    pauses.push_back(milliseconds);
    later_.push_back(std::move(task));
  }

  void OnDeviceStarted(std::size_t index) override {
    events.push_back("start " + std::to_string(index));
    ++active;
    peak = std::max(peak, active);
  }
  void OnDeviceLog(std::size_t index, const std::string& appended) override { logs[index] += appended; }
  void OnDeviceEnded(std::size_t index, const DeviceRecord& record) override {
    events.push_back("end " + std::to_string(index));
    --active;
    ends[index] = record;
  }
  void OnFleetEnded() override { ++fleetEnds; }

  // Delivers what every device has due, and the engine's later steps, until
  // nothing is left, or only |steps| rounds.
  void Run(int steps = 1000000) {
    for (int i = 0; i < steps; ++i) {
      bool any = false;
      for (auto& [index, device] : devices_) any = device->link.DeliverOne() || any;
      if (!later_.empty()) {
        std::function<void()> task = std::move(later_.front());
        later_.pop_front();
        task();
        any = true;
      }
      if (!any) return;
    }
  }
  ScriptedRunner& Link(std::size_t index) {
    return (devices_.count(index) != 0 ? devices_ : gone_).at(index)->link;
  }

  std::vector<std::string> events;
  std::map<std::size_t, std::string> logs;
  std::map<std::size_t, DeviceRecord> ends;
  int active = 0;
  int peak = 0;
  int fleetEnds = 0;
  std::vector<int> pauses;
  std::vector<std::size_t> released;  // devices whose job the engine gave back, in order

 private:
  struct Device {
    FakeOperator op;
    ScriptedRunner link{op};
  };
  std::map<std::size_t, std::unique_ptr<Device>> devices_;
  std::map<std::size_t, std::unique_ptr<Device>> gone_;
  std::deque<std::function<void()>> later_;
};

class FleetEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { SetActiveLanguage(Language::English); }

  PreparedImage Image(std::size_t size) {
    bytes_ = MakeImage(size, 1, 5);
    const std::string path = dir_ / "fw.img";
    WriteBytes(path, bytes_);
    PreparedImage image;
    EXPECT_FALSE(PrepareImageAsItIs(path, &image).failed());
    return image;
  }
  static std::vector<FleetDevice> Devices(std::size_t n) {
    std::vector<FleetDevice> devices;
    for (std::size_t i = 0; i < n; ++i) {
      FleetDevice device;
      device.host = "10.0.0." + std::to_string(i + 1);
      device.port = 2222;
      device.label = device.host + ":2222";
      devices.push_back(device);
    }
    return devices;
  }

  TempFolder dir_;
  Bytes bytes_;
  ScriptedFleet fleet_;
};

TEST_F(FleetEngineTest, RunsEveryDeviceOnceAtMostJobsAtATimeInOrder) {
  const PreparedImage image = Image(70000);
  fleet_.script = [](std::size_t, ScriptedRunner& link) { ScriptWholeDownload(link, 70000, true, false); };
  FleetSettings settings;
  settings.jobs = 2;
  FleetEngine engine(image, Devices(5), settings, fleet_, fleet_);
  std::string error;
  ASSERT_TRUE(engine.Start(&error)) << error;
  EXPECT_THAT(fleet_.events, ElementsAre("start 0", "start 1"));
  fleet_.Run();
  EXPECT_EQ(fleet_.peak, 2);
  EXPECT_EQ(fleet_.ends.size(), 5u);
  // Every job is given back once its end was told, so thousands of ended
  // devices hold only their records.
  EXPECT_THAT(fleet_.released, ElementsAre(0, 1, 2, 3, 4));
  EXPECT_EQ(fleet_.fleetEnds, 1);
  EXPECT_TRUE(engine.Ended());
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fleet_.ends[i].outcome, RunOutcome::Finished);
    EXPECT_EQ(fleet_.ends[i].cause, RunCause::Finished);
    EXPECT_EQ(fleet_.ends[i].sentSha256, image.sha256);
    EXPECT_EQ(fleet_.Link(i).BlockBytes(), bytes_);
    EXPECT_EQ(fleet_.Link(i).connectTargets.front(), "10.0.0." + std::to_string(i + 1) + ":2222");
    EXPECT_NE(fleet_.logs[i].find("Download finished\r\n"), std::string::npos) << fleet_.logs[i];
  }
  EXPECT_EQ(MostSeriousCause(engine.Causes()), RunCause::Finished);
}

// More devices than jobs: the first jobs starts are spread over the ramp,
// one pause apart, and the rest follow ends; a stop during the ramp starts
// nothing more. As many devices as jobs start at once.
TEST_F(FleetEngineTest, TheFirstStartsOfALongRollOutAreSpreadOverTheRamp) {
  const PreparedImage image = Image(70000);
  fleet_.script = [](std::size_t, ScriptedRunner& link) { ScriptWholeDownload(link, 70000, true, false); };
  FleetSettings settings;
  settings.jobs = 4;
  settings.startRampMs = 400;
  std::string error;
  {
    FleetEngine engine(image, Devices(10), settings, fleet_, fleet_);
    ASSERT_TRUE(engine.Start(&error)) << error;
    EXPECT_THAT(fleet_.events, ElementsAre("start 0"));
    fleet_.Run();
    EXPECT_THAT(fleet_.pauses, ElementsAre(100, 100, 100));
    EXPECT_EQ(fleet_.peak, 4);
    EXPECT_EQ(fleet_.ends.size(), 10u);
    EXPECT_EQ(fleet_.fleetEnds, 1);
  }
  ScriptedFleet stopped;
  stopped.script = fleet_.script;
  {
    FleetEngine engine(image, Devices(10), settings, stopped, stopped);
    ASSERT_TRUE(engine.Start(&error)) << error;
    engine.Stop(false);
    stopped.Run();
    EXPECT_THAT(stopped.events, ElementsAre("start 0", "end 0"));
    EXPECT_EQ(stopped.fleetEnds, 1);
    EXPECT_TRUE(engine.Ended());
  }
  ScriptedFleet wave;
  wave.script = fleet_.script;
  FleetEngine engine(image, Devices(4), settings, wave, wave);
  ASSERT_TRUE(engine.Start(&error)) << error;
  EXPECT_EQ(wave.events.size(), 4u);
  wave.Run();
  EXPECT_TRUE(wave.pauses.empty());
  EXPECT_EQ(wave.ends.size(), 4u);
}

// Each device ends by its own cause; the fleet's is the most serious.
TEST_F(FleetEngineTest, EachDeviceEndsByItsOwnCause) {
  const PreparedImage image = Image(2 * 65536);
  fleet_.script = [](std::size_t index, ScriptedRunner& link) {
    switch (index) {
      case 0:  // finished
        ScriptWholeDownload(link, 2 * 65536, true, false);
        return;
      case 1:  // refused at the size
        link.ThenFrame(StatusFrame(2));
        link.ThenFrame(NakFrame(0x0020));
        return;
      case 2:  // unreachable
        link.connectResults = {false};
        return;
      default:  // gone after the last block went out
        link.ThenFrame(StatusFrame(2));
        link.ThenFrame(AckFrame());
        link.ThenFrame(AckFrame());
        link.Then(Reply::Close());
        return;
    }
  };
  FleetEngine engine(image, Devices(4), FleetSettings(), fleet_, fleet_);
  std::string error;
  ASSERT_TRUE(engine.Start(&error)) << error;
  fleet_.Run();
  ASSERT_EQ(fleet_.ends.size(), 4u);
  EXPECT_EQ(fleet_.ends[0].cause, RunCause::Finished);
  EXPECT_EQ(fleet_.ends[1].cause, RunCause::Refused);
  EXPECT_EQ(fleet_.ends[2].cause, RunCause::Connect);
  EXPECT_EQ(fleet_.ends[3].cause, RunCause::Unknown);
  EXPECT_EQ(MostSeriousCause(engine.Causes()), RunCause::Unknown);
}

TEST_F(FleetEngineTest, AStopStartsNothingMoreAndAHardStopIsEndedByFinish) {
  const PreparedImage image = Image(4 * 65536);
  fleet_.script = [](std::size_t, ScriptedRunner& link) { ScriptWholeDownload(link, 4 * 65536, true, false); };
  FleetSettings settings;
  settings.jobs = 2;
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard" : "after the block in flight");
    ScriptedFleet fleet;
    fleet.script = fleet_.script;
    FleetEngine engine(image, Devices(4), settings, fleet, fleet);
    std::string error;
    ASSERT_TRUE(engine.Start(&error)) << error;
    fleet.Run(6);  // both first devices are under way
    engine.Stop(hard);
    if (hard) {
      engine.Finish();  // the front end's loop ended before the engine heard the ends
    } else {
      fleet.Run();
    }
    EXPECT_THAT(fleet.events, ElementsAre("start 0", "start 1", ::testing::StartsWith("end "),
                                          ::testing::StartsWith("end ")));
    for (std::size_t i : {0u, 1u}) {
      EXPECT_EQ(fleet.ends[i].cause, RunCause::Stopped) << i;
      EXPECT_LT(fleet.Link(i).BlockBytes().size(), bytes_.size()) << i;
    }
    EXPECT_TRUE(engine.Ended());
    EXPECT_THAT(fleet.released, ::testing::UnorderedElementsAre(0, 1));
    EXPECT_FALSE(engine.Record(2).started);
    EXPECT_EQ(MostSeriousCause(engine.Causes()), RunCause::Stopped);
  }
}

// The rails of a roll-out: the canary alone first, groups one after the
// other in the order they first appear (a pause between them), and a
// failure budget or a failed canary that leaves the rest not started.
TEST_F(FleetEngineTest, CanaryGroupsAndFailureBudgetDecideWhatStartsAndWhen) {
  const PreparedImage image = Image(70000);
  struct Case {
    const char* name;
    const char* groups;   // the group of each device, one letter a device
    const char* refuses;  // '1' for a device that refuses its size
    std::size_t canary, maxFailures;
    const char* order;    // the devices in the order they start
    const char* notStarted;  // devices recorded as not started
    FleetHalt halt;
    int pauses;
  } cases[] = {
      {"groups in order of first appearance", "abab", "0000", 0, 0, "0213", "", FleetHalt::None, 1},
      {"a canary that finishes", "aabb", "0000", 1, 0, "0123", "", FleetHalt::None, 1},
      {"a canary that fails", "aabb", "1000", 1, 0, "0", "123", FleetHalt::Canary, 0},
      {"the budget reached in the second group", "aabbcc", "001100", 0, 2, "0123", "45", FleetHalt::Budget, 1},
      {"a budget not reached", "aabbcc", "001000", 0, 2, "012345", "", FleetHalt::None, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFleet fleet;
    const std::string refuses = c.refuses;
    fleet.script = [refuses](std::size_t index, ScriptedRunner& link) {
      if (refuses[index] == '1') {
        link.ThenFrame(StatusFrame(2));
        link.ThenFrame(NakFrame(0x0020));
      } else {
        ScriptWholeDownload(link, 70000, true, false);
      }
    };
    std::vector<FleetDevice> devices = Devices(std::string(c.groups).size());
    for (std::size_t i = 0; i < devices.size(); ++i) devices[i].group = std::string(1, c.groups[i]);
    FleetSettings settings;
    settings.jobs = 1;
    settings.canary = c.canary;
    settings.maxFailures = c.maxFailures;
    settings.wavePauseMs = 500;
    FleetEngine engine(image, devices, settings, fleet, fleet);
    std::string error;
    ASSERT_TRUE(engine.Start(&error)) << error;
    fleet.Run();
    std::string order, notStarted;
    for (const std::string& event : fleet.events) {
      if (event.rfind("start ", 0) == 0) order += event.substr(6);
    }
    for (const auto& [index, record] : fleet.ends) {
      if (record.started) continue;
      notStarted += std::to_string(index);
      EXPECT_EQ(record.cause, RunCause::Budget);
    }
    EXPECT_EQ(order, c.order);
    EXPECT_EQ(notStarted, c.notStarted);
    EXPECT_EQ(fleet.ends.size(), devices.size()) << "every device is recorded once";
    EXPECT_EQ(engine.Halt(), c.halt);
    EXPECT_EQ(static_cast<int>(fleet.pauses.size()), c.pauses);
    EXPECT_EQ(fleet.fleetEnds, 1);
    EXPECT_TRUE(engine.Ended());
    EXPECT_EQ(MostSeriousCause(engine.Causes()) == RunCause::Budget, c.halt != FleetHalt::None);
  }
}

// A stop during the pause between two groups starts nothing more.
TEST_F(FleetEngineTest, AStopDuringTheWavePauseEndsTheRollOut) {
  const PreparedImage image = Image(70000);
  fleet_.script = [](std::size_t, ScriptedRunner& link) { ScriptWholeDownload(link, 70000, true, false); };
  std::vector<FleetDevice> devices = Devices(2);
  devices[1].group = "later";
  FleetSettings settings;
  settings.wavePauseMs = 500;
  FleetEngine engine(image, devices, settings, fleet_, fleet_);
  std::string error;
  ASSERT_TRUE(engine.Start(&error)) << error;
  while (fleet_.pauses.empty()) fleet_.Run(1);
  engine.Stop(false);
  fleet_.Run();
  EXPECT_THAT(fleet_.events, ElementsAre("start 0", "end 0"));
  EXPECT_TRUE(engine.Ended());
  EXPECT_EQ(fleet_.fleetEnds, 1);
}

TEST(RunCauseTest, CausesAreRankedFromTheMostSeriousDown) {
  Failure lastBlock;
  lastBlock.origin = FailureOrigin::Link;
  lastBlock.phase = RunPhase::Block;
  lastBlock.block = lastBlock.blocks = 3;
  Failure silent;
  silent.origin = FailureOrigin::Link;
  silent.code = FailureCode::NoResponse;
  Failure refused;
  refused.origin = FailureOrigin::DeviceRefusal;
  EXPECT_EQ(CauseOf(RunOutcome::Failed, lastBlock), RunCause::Unknown);
  EXPECT_EQ(CauseOf(RunOutcome::Failed, silent), RunCause::Timeout);
  EXPECT_EQ(CauseOf(RunOutcome::Failed, refused), RunCause::Refused);
  EXPECT_EQ(CauseOf(RunOutcome::Closed, Failure()), RunCause::Stopped);
  EXPECT_EQ(MostSeriousCause({RunCause::Finished, RunCause::Stopped, RunCause::Refused, RunCause::Timeout}),
            RunCause::Timeout);
  EXPECT_EQ(MostSeriousCause({}), RunCause::Finished);
}

}  // namespace
}  // namespace mervix
