// mervix-cli send through a hostile network: a proxy between the program and
// the device simulator that delays, fragments, holds up, resets or
// half-closes the connection. A slow or chopped link must still deliver the
// exact image; a broken one must end with the exit code of its cause, and a
// retry must get through; a fleet must not let a few bad links touch the
// other devices.
#include "tests/support/Patterns.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/FaultProxy.h"
#include "tests/support/Programs.h"

#include "protocol/Frames.h"

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace mervix {
namespace {

using mervix::testing::PatternBytes;

using ::testing::HasSubstr;
using mervix::testing::DevsimFleet;
using mervix::testing::DevsimProcess;
using mervix::testing::DevsimRecord;
using mervix::testing::FaultProxy;
using mervix::testing::ProcessResult;
using Bytes = std::vector<std::uint8_t>;
using Leg = FaultProxy::Leg;
using Faults = FaultProxy::Faults;

const std::vector<std::string>& kEnglish = mervix::testing::kEnglishLocale;

// On the connection that carries the image the status query and the size
// request come first, then the blocks back to back, each request answered
// by one frame. Block k and its reply counted from 1.
constexpr std::uint64_t BytesBeforeBlock(unsigned k) { return 2 * kFrameSize + (k - 1) * std::uint64_t{kBlockSize}; }
constexpr std::uint64_t RepliesBeforeBlockAck(unsigned k) { return (2 + k - 1) * kFrameSize; }

std::string WriteFile(DevsimProcess& sim, const std::string& name, const Bytes& bytes) {
  const std::string path = sim.FilePath(name);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

// send --yes to 127.0.0.1:|port| with a short mode switch pause.
ProcessResult Send(std::uint16_t port, const std::vector<std::string>& options, const std::string& file) {
  std::vector<std::string> argv = {::mervix::testing::CliPath(), "send", "--host", "127.0.0.1", "--port",
                                   std::to_string(port), "--yes", "--switch-pause", "0.1"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(file);
  return mervix::testing::RunProcess(argv, std::nullopt, kEnglish, 60000);
}

// 200 ms each way and every byte on its own, through the mode switch and
// the reconnection: the replies arrive a byte at a time and the run still
// finishes with the exact image, in lockstep, without a byte too many.
TEST(NetworkTest, SlowLinkInOneBytePiecesDeliversTheExactImage) {
  DevsimProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start({}, &error)) << error;
  Faults faults = Faults().Latency(200).Pieces(1);
  faults.toClient.pieceGapMs = 5;  // each byte of a reply read on its own, not gathered
  FaultProxy proxy(sim.Port(), faults);
  ASSERT_NE(proxy.Port(), 0);
  const Bytes image = PatternBytes(2 * kBlockSize + 500, 1);

  const ProcessResult p = Send(proxy.Port(), {}, WriteFile(sim, "firmware.img", image));
  ASSERT_TRUE(p.started) << p.error;
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, 0) << p.out << p.err;

  sim.Stop();
  EXPECT_EQ(sim.ReceivedImage(), image);
  const DevsimRecord r = sim.Record();
  EXPECT_EQ(r.Number("downloads_completed"), 1) << sim.Log();
  EXPECT_EQ(r.Number("lockstep_violations"), 0);
  const FaultProxy::Counts seen = proxy.Seen();
  EXPECT_EQ(seen.connections, 2u) << "the switch and the download, both through the proxy";
  // Status query and switch request; status query, size request, image.
  EXPECT_EQ(seen.bytesToDevice, 4 * kFrameSize + image.size());
  // Their replies and one acknowledgement per block.
  EXPECT_EQ(seen.bytesToClient, (4 + 3) * kFrameSize);
}

// The link holds the bytes of one direction for a while, in the middle of a
// block or of its acknowledgement: shorter than the time-out the run
// finishes; longer, it ends with the time-out's exit code in that block.
struct StallCase {
  const char* name;
  bool toDevice;  // which direction stalls
  int stallMs;
  const char* timeout;  // --timeout, seconds
  int exitCode;
};

inline void PrintTo(const StallCase& c, std::ostream* os) { *os << c.name; }

class NetworkStallTest : public ::testing::TestWithParam<StallCase> {};

TEST_P(NetworkStallTest, EndsByTheTimeOutOnlyWhenTheStallOutlastsIt) {
  const StallCase& c = GetParam();
  DevsimProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start({"--download-mode"}, &error)) << error;
  Faults faults;
  if (c.toDevice) {
    faults.ToDevice(Leg().Stall(BytesBeforeBlock(2) + 1000, c.stallMs));
  } else {
    faults.ToClient(Leg().Stall(RepliesBeforeBlockAck(2) + 3, c.stallMs));
  }
  FaultProxy proxy(sim.Port(), faults);
  ASSERT_NE(proxy.Port(), 0);
  const Bytes image = PatternBytes(3 * kBlockSize + 700, 2);

  const ProcessResult p = Send(proxy.Port(), {"--timeout", c.timeout}, WriteFile(sim, "firmware.img", image));
  ASSERT_TRUE(p.started) << p.error;
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, c.exitCode) << p.out << p.err;
  EXPECT_EQ(proxy.Seen().stalls, 1u);
  if (c.exitCode == 0) {
    sim.Stop();
    EXPECT_EQ(sim.ReceivedImage(), image);
  } else {
    EXPECT_THAT(p.err, HasSubstr("block 2 of 4: No response from the device"));
    sim.Stop();
    EXPECT_EQ(sim.Record().Number("downloads_completed"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Stalls, NetworkStallTest,
                         ::testing::Values(StallCase{"ShortInABlock", true, 300, "2", 0},
                                           StallCase{"ShortInAnAcknowledgement", false, 300, "2", 0},
                                           StallCase{"LongInABlock", true, 3000, "1", 6},
                                           StallCase{"LongInAnAcknowledgement", false, 3000, "1", 6}),
                         [](const ::testing::TestParamInfo<StallCase>& info) { return std::string(info.param.name); });

// The first connection is reset in the middle of block 5 of 6: without a
// retry the run ends with the link failure's exit code and the device holds
// four whole blocks; with --retries 1 the second run, on a clean connection,
// delivers the exact image.
TEST(NetworkTest, ResetInTheMiddleOfBlockFiveFailsAndARetryFinishes) {
  for (const int retries : {0, 1}) {
    SCOPED_TRACE("--retries " + std::to_string(retries));
    DevsimProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--download-mode"}, &error)) << error;
    FaultProxy proxy(sim.Port(),
                     Faults().ToDevice(Leg().ResetAfter(BytesBeforeBlock(5) + kBlockSize / 2)).OnlyConnection(1));
    ASSERT_NE(proxy.Port(), 0);
    const Bytes image = PatternBytes(5 * kBlockSize + 1234, 3);

    const ProcessResult p =
        Send(proxy.Port(), {"--retries", std::to_string(retries)}, WriteFile(sim, "firmware.img", image));
    ASSERT_TRUE(p.started) << p.error;
    EXPECT_FALSE(p.timedOut);
    EXPECT_EQ(proxy.Seen().resets, 1u);
    sim.Stop();
    const DevsimRecord r = sim.Record();
    if (retries == 0) {
      EXPECT_EQ(p.exitCode, 4) << p.out << p.err;
      EXPECT_THAT(p.err, HasSubstr("block 5 of 6: ")) << p.err;
      EXPECT_EQ(r.Number("downloads_completed"), 0);
      // Four whole blocks, and of the fifth at most what went through.
      const std::vector<long long> blocks = r.Numbers("block_sizes");
      ASSERT_GE(blocks.size(), 4u);
      ASSERT_LE(blocks.size(), 5u);
      EXPECT_EQ(std::vector<long long>(blocks.begin(), blocks.begin() + 4), std::vector<long long>(4, kBlockSize));
      if (blocks.size() == 5) {
        EXPECT_LE(blocks[4], kBlockSize / 2);
      }
    } else {
      EXPECT_EQ(p.exitCode, 0) << p.out << p.err;
      EXPECT_THAT(p.out, HasSubstr("Retry 1 of 1 in 5 s after: "));
      EXPECT_EQ(proxy.Seen().connections, 2u);
      EXPECT_EQ(r.Number("downloads_completed"), 1) << sim.Log();
      EXPECT_EQ(sim.ReceivedImage(), image);
    }
  }
}

// A fleet of 20 where 3 devices sit behind a broken link: one stalls longer
// than the time-out, one is reset in the middle of a block, one loses the
// way back just before the last acknowledgement. The other 17 receive the
// exact image; each of the 3 fails with its own cause, and the exit code is
// the worst of them (the outcome of the last block is unknown).
TEST(NetworkTest, FleetWithThreeBrokenLinksLeavesTheOthersUntouched) {
  constexpr unsigned kDevices = 20;
  DevsimFleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(kDevices, {}, &error)) << error;
  const std::vector<std::uint16_t> ports = fleet.Ports();
  const Bytes image = PatternBytes(3 * kBlockSize + 1000, 4);
  const std::string imagePath = WriteFile(fleet, "firmware.img", image);

  // The device behind each broken link, and the exit code of its run. The
  // faults hit every connection; the first one, of the mode switch, is too
  // short to reach them.
  struct Broken {
    unsigned device;
    Faults faults;
    int exitCode;
    const char* phase;
  };
  const std::vector<Broken> broken = {
      {3, Faults().ToDevice(Leg().Stall(BytesBeforeBlock(2) + 1000, 6000)), 6, "block 2 of 4"},
      {9, Faults().ToDevice(Leg().ResetAfter(BytesBeforeBlock(2) + kBlockSize / 2)), 4, "block 2 of 4"},
      {15, Faults().ToClient(Leg().HalfCloseAfter(RepliesBeforeBlockAck(4))), 8, "block 4 of 4"},
  };
  std::vector<std::unique_ptr<FaultProxy>> proxies;
  std::map<std::string, const Broken*> brokenBy;  // by the address the tool was given
  std::vector<std::string> addresses;
  for (unsigned k = 0; k < kDevices; ++k) addresses.push_back("127.0.0.1:" + std::to_string(ports[k]));
  for (const Broken& b : broken) {
    proxies.push_back(std::make_unique<FaultProxy>(ports[b.device], b.faults));
    ASSERT_NE(proxies.back()->Port(), 0);
    addresses[b.device] = "127.0.0.1:" + std::to_string(proxies.back()->Port());
    brokenBy[addresses[b.device]] = &b;
  }
  const std::string hostsPath = fleet.FilePath("hosts.txt");
  {
    std::ofstream hosts(hostsPath);
    for (const std::string& a : addresses) hosts << a << "\n";
  }
  const std::string recordPath = fleet.FilePath("record.jsonl");
  const ProcessResult p = mervix::testing::RunProcess(
      {::mervix::testing::CliPath(), "send", "--hosts", hostsPath, "--yes", "--jobs", "20", "--timeout", "2",
       "--switch-pause", "0.1", "--record", recordPath, imagePath},
      std::nullopt, kEnglish, 60000);
  ASSERT_TRUE(p.started) << p.error;
  ASSERT_FALSE(p.timedOut) << p.out << p.err;
  EXPECT_EQ(p.exitCode, 8) << p.out << p.err;
  EXPECT_THAT(p.err, HasSubstr("20 devices: 17 finished, 0 refused, 3 failed, 0 stopped"));

  std::map<std::string, nlohmann::json> records;
  std::ifstream in(recordPath);
  for (std::string line; std::getline(in, line);) {
    const nlohmann::json j = nlohmann::json::parse(line);
    records[j.at("device").get<std::string>()] = j;
  }
  ASSERT_EQ(records.size(), kDevices) << p.err;
  fleet.Stop();
  for (unsigned k = 0; k < kDevices; ++k) {
    SCOPED_TRACE("device " + std::to_string(k) + " at " + addresses[k]);
    const nlohmann::json& r = records[addresses[k]];
    const auto b = brokenBy.find(addresses[k]);
    if (b == brokenBy.end()) {
      EXPECT_EQ(r["outcome"], "finished");
      EXPECT_EQ(r["exit_code"], 0);
      EXPECT_EQ(fleet.ReceivedImage(k), image);
      EXPECT_EQ(fleet.Record(k).Number("downloads_completed"), 1);
      continue;
    }
    EXPECT_EQ(r["outcome"], "failed");
    EXPECT_EQ(r["exit_code"], b->second->exitCode);
    EXPECT_EQ(r["failure"]["origin"], "link");
    EXPECT_EQ(r["failure"]["phase"], b->second->phase);
  }
  for (std::size_t i = 0; i < broken.size(); ++i) {
    const FaultProxy::Counts seen = proxies[i]->Seen();
    EXPECT_EQ(seen.stalls + seen.resets + seen.halfCloses, 1u) << "device " << broken[i].device;
  }
}

}  // namespace
}  // namespace mervix
