// mervix-cli send to a fleet of simulated devices in one simulator: every
// healthy device receives the exact image while others refuse, reset or
// fall silent; the record holds one object per device; the exit code names
// the worst cause.
#include "tests/support/Patterns.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Programs.h"
#include "tests/support/DevsimProcess.h"

#include "operations/Sha256.h"
#include "tests/operations/OperationsTestSupport.h"

#include <fstream>
#include <iterator>
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
using mervix::testing::Bytes;
using mervix::testing::MakeImage;
using mervix::testing::SRecords;

const std::vector<std::string>& kEnglish = mervix::testing::kEnglishLocale;

// The records of a --record file by device; a device twice fails.
std::map<std::string, nlohmann::json> ReadRecords(const std::string& path) {
  std::map<std::string, nlohmann::json> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const nlohmann::json j = nlohmann::json::parse(line);
    EXPECT_EQ(records.count(j["device"].get<std::string>()), 0u) << line;
    records[j["device"].get<std::string>()] = j;
  }
  return records;
}

std::string Sha256Of(const Bytes& bytes) {
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.FinishHex();
}

// 20 devices from one S-record file, converted and compressed once: the
// healthy ones receive exactly "Inter.img" while one refuses the size, one
// resets its first connection (finished on the retry) and one falls silent
// through its retry.
TEST(FleetTest, TwentyDevicesFromOneCompressedImageWhileOthersRefuseResetOrFallSilent) {
  constexpr unsigned kDevices = 20;
  constexpr unsigned kRefuses = 2, kResets = 9, kSilent = 17;
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
  const std::string motPath = fleet.FilePath("fw.mot");
  std::ofstream(motPath, std::ios::binary) << SRecords(0x20000, MakeImage(200000, 4, 2));
  const std::string workDir = fleet.FilePath("");

  // All but the last device from a hosts file; the last by --host and --port.
  const std::string hostsPath = fleet.FilePath("hosts.txt");
  {
    std::ofstream hosts(hostsPath);
    hosts << "# the bench\n\n";
    for (unsigned k = 0; k + 1 < kDevices; ++k) hosts << "127.0.0.1:" << ports[k] << "   # slot " << k << "\n";
  }
  const std::string recordPath = fleet.FilePath("record.jsonl");
  const ProcessResult p = mervix::testing::RunProcess(
      {::mervix::testing::CliPath(), "download", "--hosts", hostsPath, "--host", "127.0.0.1", "--port",
       std::to_string(ports[kDevices - 1]), "--base-address", "20000", "--compress", "--work-dir", workDir, "--yes",
       "--jobs", "20", "--retries", "1", "--timeout", "1", "--switch-pause", "0.1", "--record", recordPath, motPath},
      std::nullopt, kEnglish, 90000);
  ASSERT_TRUE(p.started) << p.error;
  ASSERT_FALSE(p.timedOut) << p.out << p.err;

  // The worst cause is the silent device's time-out.
  EXPECT_EQ(p.exitCode, 6) << p.out << p.err;
  const std::string interPath = fleet.FilePath("Inter.img");
  EXPECT_THAT(p.err, HasSubstr("Permanent write to 20 devices with " + interPath + "! Continue? [ok/cancel] ok (--yes)"));
  EXPECT_THAT(p.err, HasSubstr("20 devices: 18 finished, 1 refused, 1 failed, 0 stopped"));
  // The preparation ran once (one version line), then every log line names its device.
  const std::vector<std::string> lines = SplitLines(p.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Normal mode - compression active");
  EXPECT_EQ(lines[2], "Firmware version 4.02 .");
  for (std::size_t i = 3; i < lines.size(); ++i) EXPECT_THAT(lines[i], ::testing::StartsWith("127.0.0.1:")) << lines[i];

  std::ifstream interFile(interPath, std::ios::binary);
  const Bytes inter((std::istreambuf_iterator<char>(interFile)), std::istreambuf_iterator<char>());
  ASSERT_GT(inter.size(), 4u);
  const std::string sha = Sha256Of(inter);
  std::map<std::string, nlohmann::json> records = ReadRecords(recordPath);
  ASSERT_EQ(records.size(), kDevices) << p.err;
  fleet.Stop();
  for (unsigned k = 0; k < kDevices; ++k) {
    SCOPED_TRACE("device " + std::to_string(k));
    const nlohmann::json& r = records["127.0.0.1:" + std::to_string(ports[k])];
    EXPECT_EQ(r["command"], "download");
    EXPECT_EQ(r["source"], motPath);
    EXPECT_EQ(r["image"], interPath);
    EXPECT_EQ(r["sha256"], sha);
    EXPECT_EQ(r["size"], inter.size());
    EXPECT_EQ(r["version"], "4.02");
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
      EXPECT_EQ(fleet.ReceivedImage(k), inter);
      EXPECT_EQ(fleet.Record(k).Number("downloads_completed"), 1);
    }
  }
}

// A user module to a fleet, with the board drawn (--progress always): the
// module is converted once, written into each device's sector, and the
// board's last drawing counts every device finished.
TEST(FleetTest, UserModuleToSeveralDevicesWithTheBoard) {
  DevsimFleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(3, {}, &error)) << error;
  const Bytes module = MakeImage(70000, 1, 0);
  const std::string motPath = fleet.FilePath("app.mot");
  std::ofstream(motPath, std::ios::binary) << SRecords(0x30000, module);
  const std::string hostsPath = fleet.FilePath("hosts.txt");
  {
    std::ofstream hosts(hostsPath);
    for (std::uint16_t port : fleet.Ports()) hosts << "127.0.0.1:" << port << "\n";
  }
  // Every line has its port: --port 0 stands for no device, and nothing is
  // refused; a line left without one would be.
  const std::vector<std::string> args = {
      ::mervix::testing::CliPath(), "module", "--hosts", hostsPath, "--port", "0", "--address", "30000", "--yes",
      "--work-dir", fleet.FilePath(""), "--switch-pause", "0.1", "--progress", "always", motPath};
  std::vector<std::string> portless = args;
  portless.insert(portless.begin() + 2, {"--host", "127.0.0.1"});
  const ProcessResult refused = mervix::testing::RunProcess(portless, std::nullopt, kEnglish, 30000);
  EXPECT_EQ(refused.exitCode, 2) << refused.out << refused.err;
  EXPECT_THAT(refused.err, HasSubstr("bad port number 0"));
  const ProcessResult p = mervix::testing::RunProcess(args, std::nullopt, kEnglish, 30000);
  EXPECT_EQ(p.exitCode, 0) << p.out << p.err;
  EXPECT_THAT(p.err, HasSubstr("3 devices: 3 finished, 0 not finished, 0 running, 0 waiting"));
  EXPECT_THAT(p.err, HasSubstr("\033[4A"));  // three devices and the total drawn over themselves
  fleet.Stop();
  for (unsigned k = 0; k < 3; ++k) {
    EXPECT_EQ(fleet.ReceivedImage(k), module) << "device " << k;
    EXPECT_EQ(fleet.Record(k).Text("sector_address"), "0x00030000") << "device " << k;
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
