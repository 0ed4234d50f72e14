// mervix-cli send to a fleet of simulated devices in one simulator: every
// healthy device receives the exact image while others refuse, reset or
// fall silent; the record holds one object per device; the exit code names
// the worst cause.
#include "tests/support/ChildProcess.h"
#include "tests/support/Programs.h"
#include "tests/support/DevsimProcess.h"

#include "operations/Sha256.h"

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace mervix {
namespace {

using ::testing::HasSubstr;
using mervix::testing::DevsimFleet;
using mervix::testing::ProcessResult;
using mervix::testing::SplitLines;
using Bytes = std::vector<std::uint8_t>;

const std::vector<std::string> kEnglish = {"LANG=C", "LC_ALL=C", "-LC_MESSAGES", "-LANGUAGE"};

TEST(FleetTest, HealthyDevicesFinishWhileOthersRefuseResetOrFallSilent) {
  constexpr unsigned kDevices = 8;
  constexpr unsigned kRefuses = 2, kResets = 4, kSilent = 6;
  DevsimFleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(kDevices,
                          {"--fault-device", std::to_string(kRefuses) + ":size=nak:0x0020",  //
                           "--fault-device", std::to_string(kResets) + ":status=close",      //
                           "--fault-device", std::to_string(kSilent) + ":status=silent",     //
                           "--fault-device", std::to_string(kSilent) + ":status.2=silent"},
                          &error))
      << error;
  const std::vector<std::uint16_t> ports = fleet.Ports();

  // Three full blocks and a short one, different in every block.
  Bytes image(3 * 65536 + 1000);
  std::uint32_t x = 12345;
  for (auto& b : image) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  const std::string imagePath = fleet.FilePath("firmware.img");
  std::ofstream(imagePath, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());

  // All but the last device from a hosts file; the last by --host and --port.
  const std::string hostsPath = fleet.FilePath("hosts.txt");
  {
    std::ofstream hosts(hostsPath);
    hosts << "# the bench\n\n";
    for (unsigned k = 0; k + 1 < kDevices; ++k) hosts << "127.0.0.1:" << ports[k] << "   # slot " << k << "\n";
  }
  const std::string recordPath = fleet.FilePath("record.jsonl");
  const ProcessResult p = mervix::testing::RunProcess(
      {::mervix::testing::CliPath(), "send", "--hosts", hostsPath, "--host", "127.0.0.1", "--port",
       std::to_string(ports[kDevices - 1]), "--yes", "--jobs", "3", "--retries", "1", "--timeout", "1",
       "--switch-pause", "0.1", "--record", recordPath, imagePath},
      std::nullopt, kEnglish, 60000);
  ASSERT_TRUE(p.started) << p.error;
  ASSERT_FALSE(p.timedOut) << p.out << p.err;

  // The worst cause is the silent device's time-out.
  EXPECT_EQ(p.exitCode, 6) << p.out << p.err;
  EXPECT_THAT(p.err, HasSubstr("Permanent write to 8 devices with " + imagePath + "! Continue? [ok/cancel] ok (--yes)"));
  EXPECT_THAT(p.err, HasSubstr("8 devices: 6 finished, 1 refused, 1 failed, 0 stopped"));
  // Every log line names its device.
  for (const std::string& line : SplitLines(p.out)) EXPECT_THAT(line, ::testing::StartsWith("127.0.0.1:")) << line;
  EXPECT_THAT(p.out, HasSubstr("127.0.0.1:" + std::to_string(ports[0]) + ": Download start"));

  std::map<std::string, nlohmann::json> records;
  std::ifstream in(recordPath);
  std::string line;
  while (std::getline(in, line)) {
    const nlohmann::json j = nlohmann::json::parse(line);
    EXPECT_EQ(records.count(j["device"].get<std::string>()), 0u) << line;
    records[j["device"].get<std::string>()] = j;
  }
  ASSERT_EQ(records.size(), kDevices) << p.err;

  Sha256 hash;
  hash.Update(image.data(), image.size());
  const std::string sha = hash.FinishHex();
  fleet.Stop();
  for (unsigned k = 0; k < kDevices; ++k) {
    SCOPED_TRACE("device " + std::to_string(k));
    const nlohmann::json& r = records["127.0.0.1:" + std::to_string(ports[k])];
    EXPECT_EQ(r["image"], imagePath);
    EXPECT_EQ(r["sha256"], sha);
    EXPECT_EQ(r["size"], image.size());
    EXPECT_TRUE(r["start"].is_string());
    if (k == kRefuses) {
      EXPECT_EQ(r["outcome"], "failed");
      EXPECT_EQ(r["exit_code"], 1);
      EXPECT_EQ(r["failure"]["origin"], "device refusal");
      EXPECT_EQ(r["failure"]["phase"], "size");
    } else if (k == kSilent) {
      EXPECT_EQ(r["outcome"], "failed");
      EXPECT_EQ(r["exit_code"], 6);
      EXPECT_EQ(r["failure"]["phase"], "status");
      EXPECT_EQ(r["retries_used"], 1);
    } else {
      EXPECT_EQ(r["outcome"], "finished");
      EXPECT_EQ(r["failure"], nullptr);
      EXPECT_EQ(r["sha256_sent"], sha);
      EXPECT_EQ(r["retries_used"], k == kResets ? 1 : 0);
      EXPECT_EQ(fleet.ReceivedImage(k), image);
      EXPECT_EQ(fleet.Record(k).Number("downloads_completed"), 1);
    }
  }
}

// With --json every event names its device, and each device's run ends
// with its own run_ended event.
TEST(FleetTest, JsonEventsCarryTheDevice) {
  DevsimFleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(2, {"--download-mode", "--fault-device", "1:size=nak:0x0020"}, &error)) << error;
  const std::string imagePath = fleet.FilePath("small.img");
  std::ofstream(imagePath, std::ios::binary) << std::string(70000, 'x');
  const std::string hostsPath = fleet.FilePath("hosts.txt");
  std::ofstream(hostsPath) << "127.0.0.1:" << fleet.Ports()[0] << "\n127.0.0.1:" << fleet.Ports()[1] << "\n";
  const ProcessResult p = mervix::testing::RunProcess(
      {::mervix::testing::CliPath(), "send", "--yes", "--json", "--hosts", hostsPath, imagePath}, std::nullopt,
      kEnglish, 30000);
  EXPECT_EQ(p.exitCode, 1) << p.err;
  std::map<std::string, std::string> endedBy;
  for (const std::string& line : SplitLines(p.out)) {
    const nlohmann::json j = nlohmann::json::parse(line);
    ASSERT_TRUE(j.contains("device")) << line;
    if (j["event"] == "run_ended") endedBy[j["device"].get<std::string>()] = j["outcome"].get<std::string>();
  }
  EXPECT_EQ(endedBy, (std::map<std::string, std::string>{{"127.0.0.1:" + std::to_string(fleet.Ports()[0]), "finished"},
                                                         {"127.0.0.1:" + std::to_string(fleet.Ports()[1]), "failed"}}));
}

}  // namespace
}  // namespace mervix
