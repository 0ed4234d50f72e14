// mervix-cli station against simulated units that come and go: a slot
// writes three units one after the other, never one twice, the refusing
// one FAIL and the next PASS again; and, across a veth pair between two
// network namespaces of the test's own, each unit's MAC address is in the
// record and a new MAC address starts the next unit long before the gone
// time.
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/Patterns.h"
#include "tests/support/Programs.h"
#include "tests/support/StationLink.h"

#include "operations/Sha256.h"
#include "tests/operations/OperationsTestSupport.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace mervix {
namespace {

using ::testing::ContainsRegex;
using mervix::testing::DevsimProcess;
using mervix::testing::ProcessResult;

const std::vector<std::string>& kEnglish = mervix::testing::kEnglishLocale;

std::vector<nlohmann::json> ReadRecords(const std::string& path) {
  std::vector<nlohmann::json> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_discarded()) lines.push_back(j);
  }
  return lines;
}

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = mervix::testing::MakeImage(150000, 2, 7);
    imagePath_ = dir_ / "fw.img";
    recordPath_ = dir_ / "units.jsonl";
    mervix::testing::WriteBytes(imagePath_, image_);
    Sha256 hash;
    hash.Update(image_.data(), image_.size());
    sha256_ = hash.FinishHex();
  }
  std::vector<std::string> Station(const std::string& host, const std::string& gone) {
    return {mervix::testing::CliPath(), "station", "--host", host, "--yes", "--gone", gone, "--units", "3",
            "--switch-pause", "0.1", "--progress", "never", "--record", recordPath_, imagePath_};
  }

  mervix::testing::TempFolder dir_;
  mervix::testing::Bytes image_;
  std::string imagePath_, recordPath_, sha256_;
};

// Without MAC addresses (loopback) only the gone time tells a unit has
// gone: the simulator's absence between units is longer than it, the
// restart after a write shorter.
TEST_F(StationTest, ASlotWritesEachUnitOnceTheRefusingOneFails) {
  DevsimProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start({"--units", "3", "--restart-after", "0.5", "--leave-after", "1", "--absent", "4",
                         "--unit-fault", "2:size=nak:0x0020"},
                        &error))
      << error;
  const ProcessResult run =
      mervix::testing::RunProcess(Station("127.0.0.1:" + std::to_string(sim.Port()), "2.5"), std::nullopt, kEnglish,
                                  90000);
  ASSERT_FALSE(run.timedOut) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 1) << run.err;  // the refusal is the most serious cause
  const std::vector<std::string> lines = mervix::testing::SplitLines(run.out);
  std::vector<std::string> units;
  for (const std::string& line : lines) {
    if (!line.empty() && line[0] == '#') units.push_back(line);
  }
  ASSERT_EQ(units.size(), 3u) << run.out;
  EXPECT_THAT(units[0], ContainsRegex("^#1 [0-9:]{8} 127\\.0\\.0\\.1:[0-9]+ PASS MAC - [0-9.]+ s$"));
  EXPECT_THAT(units[1], ContainsRegex("^#2 .* FAIL MAC - [0-9.]+ s: .*NAK"));
  EXPECT_THAT(units[2], ContainsRegex("^#3 .* PASS "));
  EXPECT_THAT(run.err, ::testing::HasSubstr("3 units: 2 passed, 1 failed"));
  mervix::testing::ExpectPassFailPass(ReadRecords(recordPath_), "station", sha256_, false);
  // The simulator writes its record when a connection ends, which may come
  // after the command's exit; at its own exit it writes it whole.
  sim.Stop();
  mervix::testing::ExpectEachUnitWrittenOnce(sim.Record(), sha256_);
}

// Two namespaces joined by a veth pair: the station on one end, the units
// on the other. Each unit comes with its own MAC address (the simulator
// gives the link the next one while no unit is there); the gone time is a
// minute, so only the new address can start the next unit in time.
TEST_F(StationTest, OnTheStationsLinkEachUnitIsKnownByItsMacAddress) {
  mervix::testing::StationLink link("mvxc", "10.77.0");
  std::string whyNot;
  if (!link.Make(&whyNot)) GTEST_SKIP() << whyNot;
  const std::string simOut = dir_ / "sim.out", simRecord = dir_ / "sim.txt";
  const pid_t sim = mervix::testing::SpawnWithOutput(
      link.InBoard({mervix::testing::DevsimPath(), "--listen", link.BoardAddress(), "--port", "2222", "--record",
                    simRecord, "--units", "3", "--unit-link", link.BoardLink(), "--restart-after", "0.5",
                    "--leave-after", "1", "--absent", "1", "--unit-fault", "2:size=nak:0x0020"}),
      {}, simOut, -1);
  ASSERT_GT(sim, 0);
  const ProcessResult run = mervix::testing::RunProcess(
      link.InStation(Station(link.BoardAddress() + ":2222", "60")), std::nullopt, kEnglish, 90000);
  ::kill(sim, SIGTERM);
  mervix::testing::WaitExit(sim);
  ASSERT_FALSE(run.timedOut) << run.out << run.err;
  const std::vector<nlohmann::json> records = ReadRecords(recordPath_);
  mervix::testing::ExpectPassFailPass(records, "station", sha256_, true);
  EXPECT_THAT(run.out, ContainsRegex("#2 .* FAIL MAC 02:00:00:00:00:02 "));
  // The next unit started on its new address, not after a minute of silence.
  auto startOf = [](const nlohmann::json& r) {
    std::tm tm{};
    std::istringstream in(r["start"].get<std::string>());
    in >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%S");
    return timegm(&tm);
  };
  EXPECT_LT(startOf(records[2]) - startOf(records[0]), 45);
  mervix::testing::ExpectEachUnitWrittenOnce(mervix::testing::ReadDevsimRecord(simRecord), sha256_);
}

}  // namespace
}  // namespace mervix
