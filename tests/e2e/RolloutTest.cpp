// Roll-outs from an inventory against simulated devices: groups one after
// the other behind a canary, a canary or a failure budget that halts the
// roll-out, a pinned hash that differs, and two commands sending one file.
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/Patterns.h"
#include "tests/support/Programs.h"

#include "operations/Sha256.h"
#include "tests/operations/OperationsTestSupport.h"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace mervix {
namespace {

using ::testing::HasSubstr;
using mervix::testing::Bytes;
using mervix::testing::DevsimFleet;
using mervix::testing::ProcessResult;

const std::vector<std::string>& kEnglish = mervix::testing::kEnglishLocale;

class RolloutTest : public ::testing::Test {
 protected:
  // |devices| simulated devices (|options| as for the simulator), an image
  // of 70,000 bytes, and an inventory with the groups given one letter a device.
  void SetUp(unsigned devices, const std::vector<std::string>& options, const std::string& groups) {
    std::string error;
    ASSERT_TRUE(fleet_->Start(devices, options, &error)) << error;
    image_ = mervix::testing::MakeImage(70000, 3, 1);
    imagePath_ = fleet_->FilePath("fw.img");
    mervix::testing::WriteBytes(imagePath_, image_);
    inventory_ = fleet_->FilePath("inventory.csv");
    record_ = fleet_->FilePath("record.jsonl");
    std::ofstream csv(inventory_, std::ios::binary);
    csv << "host,name,group,serial\r\n";
    for (unsigned k = 0; k < devices; ++k) {
      csv << "127.0.0.1:" << fleet_->Ports()[k] << ",dev-" << k << "," << groups[k] << ",S" << k << "\r\n";
    }
  }
  ProcessResult Send(std::vector<std::string> extra) {
    std::vector<std::string> args = {mervix::testing::CliPath(), "send", "--inventory", inventory_, "--record",
                                     record_, "--yes", "--jobs", "2", "--switch-pause", "0.05", "--progress", "never"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(imagePath_);
    return mervix::testing::RunProcess(args, std::nullopt, kEnglish, 60000);
  }
  // The record's lines, in the order they were written (a cut one left out).
  std::vector<nlohmann::json> Records() {
    std::vector<nlohmann::json> lines;
    std::ifstream in(record_);
    std::string line;
    while (std::getline(in, line)) {
      const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
      if (!j.is_discarded()) lines.push_back(j);
    }
    return lines;
  }

  std::unique_ptr<DevsimFleet> fleet_ = std::make_unique<DevsimFleet>();
  Bytes image_;
  std::string imagePath_, inventory_, record_;
};

TEST_F(RolloutTest, GroupsRunOneAfterTheOtherBehindTheCanary) {
  SetUp(6, {}, "aabbcc");
  const ProcessResult p = Send({"--canary", "1", "--wave-pause", "0.1"});
  EXPECT_EQ(p.exitCode, 0) << p.out << p.err;
  EXPECT_THAT(p.out, HasSubstr("dev-0: Download finished"));
  const std::vector<nlohmann::json> records = Records();
  ASSERT_EQ(records.size(), 6u);
  std::string groups;
  for (const nlohmann::json& r : records) {
    groups += r["group"].get<std::string>();
    EXPECT_EQ(r["cause"], "finished") << r.dump();
    EXPECT_EQ(r["fields"]["serial"], "S" + r["name"].get<std::string>().substr(4)) << r.dump();
  }
  EXPECT_EQ(records.front()["name"], "dev-0") << "the canary ends first";
  EXPECT_EQ(groups, "aabbcc") << "a group starts when the one before it has ended";
  fleet_->Stop();
  for (unsigned k = 0; k < 6; ++k) EXPECT_EQ(fleet_->ReceivedImage(k), image_) << k;
}

// A canary that fails, and a budget reached in the second group: the rest
// is recorded as not started and never contacted.
TEST_F(RolloutTest, AFailedCanaryOrAReachedBudgetHaltsTheRollOut) {
  const struct {
    const char* name;
    std::vector<std::string> faults, options;
    std::string halted;  // on standard error
    std::vector<unsigned> untouched;
  } cases[] = {
      {"canary", {"--fault-device", "0:size=nak:0x0020"}, {"--canary", "1", "--json"}, "The canary did not finish", {1, 2, 3, 4, 5}},
      {"budget",
       {"--fault-device", "2:size=nak:0x0020", "--fault-device", "3:size=nak:0x0020"},
       {"--max-failures", "30%"},
       "Failure budget reached: 2 devices failed",
       {4, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fleet_ = std::make_unique<DevsimFleet>();
    SetUp(6, c.faults, "aabbcc");
    const ProcessResult p = Send(c.options);
    EXPECT_EQ(p.exitCode, 9) << p.out << p.err;
    EXPECT_THAT(p.err, HasSubstr(c.halted));
    if (std::string(c.name) == "canary") {
      EXPECT_THAT(p.out, HasSubstr("\"name\":\"dev-5\",\"outcome\":\"not_started\",\"cause\":\"budget\",\"exit_code\":9"));
    }
    std::map<std::string, nlohmann::json> byName;
    for (const nlohmann::json& r : Records()) byName[r["name"].get<std::string>()] = r;
    ASSERT_EQ(byName.size(), 6u);
    fleet_->Stop();
    for (unsigned k : c.untouched) {
      const nlohmann::json& r = byName["dev-" + std::to_string(k)];
      EXPECT_EQ(r["outcome"], "not_started") << r.dump();
      EXPECT_EQ(r["cause"], "budget") << r.dump();
      EXPECT_EQ(fleet_->Record(k).Number("connections", 0), 0) << k;
    }
  }
}

TEST_F(RolloutTest, APinnedHashThatDiffersSendsNothing) {
  SetUp(2, {}, "aa");
  const ProcessResult p = Send({"--expect-sha256", std::string(64, '0')});
  EXPECT_EQ(p.exitCode, 7) << p.err;
  Sha256 hash;
  hash.Update(image_.data(), image_.size());
  EXPECT_THAT(p.err, HasSubstr("its SHA-256 is " + hash.FinishHex() + ", expected " + std::string(64, '0')));
  fleet_->Stop();
  for (unsigned k = 0; k < 2; ++k) EXPECT_EQ(fleet_->Record(k).Number("connections", 0), 0) << k;
}

// The ledger: a device that failed is written again with --resume, one
// that finished never.
TEST_F(RolloutTest, AResumedRollOutWritesOnlyWhatDidNotFinish) {
  SetUp(3, {"--fault-device", "1:size=nak:0x0020"}, "aaa");
  EXPECT_EQ(Send({"--resume", record_}).exitCode, 1);
  // What --only-failed would run: the device that refused, and no other.
  const ProcessResult plan = Send({"--plan", "--only-failed", record_});
  EXPECT_THAT(plan.out, ::testing::ContainsRegex("dev-1 \\|[^\n]*write it"));
  EXPECT_THAT(plan.out, ::testing::ContainsRegex("dev-0 \\|[^\n]*skip it"));
  const ProcessResult again = Send({"--resume", record_});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_THAT(again.err, HasSubstr("2 devices already finished with this image"));
  fleet_->Stop();
  for (unsigned k = 0; k < 3; ++k) {
    EXPECT_EQ(fleet_->Record(k).Number("downloads_completed", 0), 1) << k;
  }
  EXPECT_EQ(Records().size(), 4u);
}

// A roll-out of 100 devices killed (SIGKILL) in the middle, a record line
// cut as a crash leaves it, then the same command with --resume: every
// device ends with one finished record, and none that had finished before
// the kill is written again.
TEST_F(RolloutTest, AKilledRollOutIsFinishedByResumingIt) {
  constexpr unsigned kDevices = 100;
  SetUp(kDevices, {}, std::string(kDevices, 'a'));
  std::vector<std::string> args = {mervix::testing::CliPath(), "send", "--inventory", inventory_, "--resume", record_,
                                   "--yes", "--jobs", "4", "--switch-pause", "0.2", "--progress", "never",
                                   imagePath_};
  const std::string out = fleet_->FilePath("out.txt");
  const pid_t pid = mervix::testing::SpawnWithOutput(args, kEnglish, out, -1);
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Records().size() < 20 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  mervix::testing::WaitExit(pid);
  std::map<std::string, int> finishedBefore;
  for (const nlohmann::json& r : Records()) {
    if (r["outcome"] == "finished") ++finishedBefore[r["device"].get<std::string>()];
  }
  ASSERT_GE(finishedBefore.size(), 20u);
  ASSERT_LT(finishedBefore.size(), kDevices) << "the kill came too late to test anything";
  std::ofstream(record_, std::ios::app) << "{\"device\":\"127.0.0.1:1\",\"outc";

  const ProcessResult resumed = mervix::testing::RunProcess(args, std::nullopt, kEnglish, 120000);
  EXPECT_EQ(resumed.exitCode, 0) << resumed.err;
  EXPECT_THAT(resumed.err, HasSubstr("not a record (cut short?), ignored"));
  std::map<std::string, int> finished;
  for (const nlohmann::json& r : Records()) {
    if (r["outcome"] == "finished") ++finished[r["device"].get<std::string>()];
  }
  fleet_->Stop();
  EXPECT_EQ(finished.size(), kDevices);
  for (unsigned k = 0; k < kDevices; ++k) {
    const std::string device = "127.0.0.1:" + std::to_string(fleet_->Ports()[k]);
    EXPECT_EQ(finished[device], 1) << device;
    if (finishedBefore.count(device) != 0) {
      EXPECT_EQ(fleet_->Record(k).Number("downloads_completed", 0), 1) << device << " was written again";
    }
    EXPECT_EQ(fleet_->ReceivedImage(k), image_) << device;
  }
  // The report reads the same ledger: every device's latest run finished.
  const ProcessResult report = mervix::testing::RunProcess(
      {mervix::testing::CliPath(), "report", record_, "--html", fleet_->FilePath("report.html")}, std::nullopt,
      kEnglish, 30000);
  EXPECT_EQ(report.exitCode, 0) << report.out << report.err;
  EXPECT_THAT(report.out, HasSubstr("100 devices: 100 finished, 0 not finished"));
  std::ifstream html(fleet_->FilePath("report.html"));
  const std::string page((std::istreambuf_iterator<char>(html)), std::istreambuf_iterator<char>());
  std::size_t rows = 0;
  for (std::size_t at = page.find("<tr"); at != std::string::npos; at = page.find("<tr", at + 1)) ++rows;
  EXPECT_GE(rows, 100u) << "one table row per device";
}

// A plan asks each device for its status once and writes nothing; with the
// ledger it names what finished already.
TEST_F(RolloutTest, APlanAsksEveryDeviceOnceAndSendsNothingElse) {
  SetUp(3, {"--fault-device", "2:status=nak:0x0020"}, "aab");
  Sha256 hash;
  hash.Update(image_.data(), image_.size());
  const std::string sha256 = hash.FinishHex();
  std::ofstream(record_) << "{\"device\":\"127.0.0.1:" << fleet_->Ports()[1]
                         << "\",\"outcome\":\"finished\",\"cause\":\"finished\",\"sha256\":\"" << sha256
                         << "\",\"sha256_sent\":\"" << sha256 << "\"}\n";
  const ProcessResult p = Send({"--plan", "--resume", record_});
  EXPECT_EQ(p.exitCode, 1) << p.out << p.err;
  EXPECT_THAT(p.out, HasSubstr("normal mode (status 1) | dev-0 | a | " + imagePath_));
  EXPECT_THAT(p.out, ::testing::ContainsRegex("dev-0 \\| a \\| [^|]+ \\| [0-9a-f]{12} \\| 3\\.01 \\| write it"));
  EXPECT_THAT(p.out, HasSubstr("| dev-1 | a |"));
  EXPECT_THAT(p.out, HasSubstr("skip it: already finished"));
  EXPECT_THAT(p.out, HasSubstr("refused, flags 0x0020 | dev-2 | b |"));
  EXPECT_THAT(p.err, HasSubstr("3 devices: 1 would be written, 1 finished already, 1 would not be written"));
  EXPECT_EQ(Records().size(), 1u) << "a plan records nothing";
  fleet_->Stop();
  for (unsigned k = 0; k < 3; ++k) {
    const auto r = fleet_->Record(k);
    EXPECT_EQ(r.Number("status_queries"), 1) << k;
    EXPECT_EQ(r.Number("switch_acks"), 0) << k;
    EXPECT_EQ(r.Number("size_requests"), 0) << k;
    EXPECT_EQ(r.Number("bytes_received"), 0) << k;
  }
}

// One --host with a rail of a roll-out is a roll-out of one: the plan, the
// pinned hash and the ledger hold for it as for many, and it is recorded.
TEST_F(RolloutTest, OneHostKeepsEveryRail) {
  SetUp(1, {}, "a");
  Sha256 hash;
  hash.Update(image_.data(), image_.size());
  const std::string sha256 = hash.FinishHex();
  const std::string host = "127.0.0.1:" + std::to_string(fleet_->Ports()[0]);
  const std::string ledger = fleet_->FilePath("ledger.jsonl");
  std::ofstream(ledger) << "{\"device\":\"" << host << "\",\"outcome\":\"finished\",\"cause\":\"finished\",\"sha256\":\""
                        << sha256 << "\",\"sha256_sent\":\"" << sha256 << "\"}\n";
  struct Case {
    std::vector<std::string> rail;
    int exitCode;
    const char* says;     // on standard output or error
    std::size_t records;  // lines in --record afterwards
  };
  const Case cases[] = {
      {{"--plan"}, 0, "1 would be written", 0},
      {{"--expect-sha256", std::string(64, '0')}, 7, ", expected " , 0},
      {{"--resume", ledger}, 0, "already finished", 0},
      {{"--record", record_}, 0, "Download finished", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rail.front());
    std::vector<std::string> args = {mervix::testing::CliPath(), "send", "--host", host, "--yes", "--switch-pause",
                                     "0.05", "--progress", "never"};
    args.insert(args.end(), c.rail.begin(), c.rail.end());
    args.push_back(imagePath_);
    const ProcessResult p = mervix::testing::RunProcess(args, std::nullopt, kEnglish, 60000);
    EXPECT_EQ(p.exitCode, c.exitCode) << p.out << p.err;
    EXPECT_THAT(p.out + p.err, HasSubstr(c.says));
    EXPECT_EQ(Records().size(), c.records);
  }
  // Of the four, only the last wrote: the plan asked once, the write twice
  // (before its switch and after), the others never.
  fleet_->Stop();
  const auto r = fleet_->Record();  // of a fleet of one: no device suffix
  EXPECT_EQ(r.Number("status_queries", 0), 3);
  EXPECT_EQ(r.Number("downloads_completed", 0), 1);
  EXPECT_EQ(fleet_->ReceivedImage(), image_);
}

// After the write each device is asked until it answers in normal mode:
// one restarts and comes back, the other stays away past the wait.
TEST_F(RolloutTest, AwaitReturnTellsADeviceThatComesBackFromOneThatDoesNot) {
  mervix::testing::TempFolder folder;
  const std::string deviceFile = folder / "devices.csv";
  std::ofstream(deviceFile) << "name,restart\nback,0.5\naway,60\n";
  SetUp(2, {"--device-file", deviceFile}, "aa");
  const ProcessResult p = Send({"--await-return", "3"});
  EXPECT_EQ(p.exitCode, 10) << p.out << p.err;
  std::map<std::string, nlohmann::json> byName;
  for (const nlohmann::json& r : Records()) byName[r["name"].get<std::string>()] = r;
  ASSERT_EQ(byName.size(), 2u);
  EXPECT_EQ(byName["dev-0"]["cause"], "finished") << byName["dev-0"].dump();
  EXPECT_GE(byName["dev-0"]["return_ms"].get<int>(), 500);
  EXPECT_EQ(byName["dev-1"]["cause"], "not_returned") << byName["dev-1"].dump();
  EXPECT_TRUE(byName["dev-1"]["return_ms"].is_null());
  EXPECT_EQ(byName["dev-1"]["failure"]["text"], "The device did not come back in normal mode in time");
  fleet_->Stop();
  for (unsigned k = 0; k < 2; ++k) EXPECT_EQ(fleet_->ReceivedImage(k), image_) << k;
}

// Two commands at once send one file: each holds it for readers only.
TEST_F(RolloutTest, TwoCommandsSendOneFileAtOnce) {
  SetUp(2, {}, "aa");
  std::vector<std::string> first = {mervix::testing::CliPath(), "send", "--host",
                                    "127.0.0.1:" + std::to_string(fleet_->Ports()[0]), "--yes", "--switch-pause", "0.5",
                                    imagePath_};
  std::vector<std::string> second = first;
  second[3] = "127.0.0.1:" + std::to_string(fleet_->Ports()[1]);
  std::future<ProcessResult> one =
      std::async(std::launch::async, [&] { return mervix::testing::RunProcess(first, std::nullopt, kEnglish, 30000); });
  const ProcessResult two = mervix::testing::RunProcess(second, std::nullopt, kEnglish, 30000);
  EXPECT_EQ(two.exitCode, 0) << two.err;
  const ProcessResult done = one.get();
  EXPECT_EQ(done.exitCode, 0) << done.err;
  fleet_->Stop();
  for (unsigned k = 0; k < 2; ++k) EXPECT_EQ(fleet_->ReceivedImage(k), image_) << k;
}

}  // namespace
}  // namespace mervix
