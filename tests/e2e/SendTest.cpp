// mervix-cli send against the device simulator over loopback: what the
// operator sees (standard output, standard error, exit code) and what the
// device received (the simulator's record and image).
#include "tests/support/Patterns.h"
#include "tests/support/Programs.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/Loopback.h"
#include "tools/devsim/SimulatorOptions.h"

#include "compress/CoderInterfaces.h"
#include "compress/ImageCompressor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mervix {
namespace {

using mervix::testing::PatternBytes;

using mervix::testing::DevsimProcess;
using mervix::testing::DevsimRecord;
using mervix::testing::ProcessResult;
using mervix::testing::SplitLines;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

std::string CliPath() {
  if (const char* env = std::getenv("MERVIX_CLI")) return env;
  return ::mervix::testing::CliPath();
}

const std::vector<std::string>& kEnglish = mervix::testing::kEnglishLocale;

std::string Frame(unsigned connection, const char* hex) { return std::to_string(connection) + " " + hex; }

std::string SizeFrame(unsigned connection, std::uint32_t n) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "5122%08x0000", static_cast<unsigned>(n));
  return Frame(connection, hex);
}

class SendTest : public ::testing::Test {
 protected:
  // Starts the simulator; the image to send goes into its folder.
  void StartDevice(const std::vector<std::string>& options) {
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error)) << error;
  }

  std::string WriteImage(const Bytes& image) {
    const std::string path = sim_.Folder() + "/firmware.img";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    created_.push_back(path);
    return path;
  }

  ProcessResult Send(const std::vector<std::string>& args, std::optional<std::string> input = std::nullopt,
                     const std::vector<std::string>& environment = kEnglish) {
    std::vector<std::string> argv = {CliPath(), "send"};
    argv.insert(argv.end(), args.begin(), args.end());
    return mervix::testing::RunProcess(argv, std::move(input), environment, 20000);
  }

  // The usual invocation against the running simulator.
  ProcessResult SendTo(const std::string& file, std::vector<std::string> extra = {"--yes"},
                       std::optional<std::string> input = std::nullopt) {
    std::vector<std::string> args = {"--host", "127.0.0.1", "--port", std::to_string(sim_.Port())};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(file);
    return Send(args, std::move(input));
  }

  DevsimRecord StopDevice() {
    EXPECT_EQ(sim_.Stop(), 0) << sim_.Log();
    return sim_.Record();
  }

  void TearDown() override {
    for (const std::string& f : created_) std::remove(f.c_str());
  }

  DevsimProcess sim_;
  std::vector<std::string> created_;
};

// The firmware run of a device that must be switched first: the session
// switches it, waits the real 3 s, reconnects, confirms (--yes) and sends
// every byte in blocks of 65,536; the log on standard output is the pane's,
// line for line.
TEST_F(SendTest, FirmwareRunSwitchesReconnectsAndSendsEveryByte) {
  StartDevice({});
  const Bytes image = PatternBytes(3 * 65536 + 1500, 1);
  const ProcessResult p = SendTo(WriteImage(image));
  ASSERT_TRUE(p.started) << p.error;
  EXPECT_EQ(p.exitCode, 0) << p.err;

  const Lines expected = {"127.0.0.1 Connecting...", "Download mode...", "127.0.0.1 Connecting...",
                          "Download start",          "64K bytes sent",   "64K bytes sent",
                          "64K bytes sent",          "194KBytes downloaded", "Download finished"};
  EXPECT_EQ(SplitLines(p.out), expected);
  // Nothing else on standard output: the pane's CR LF become the terminal's
  // line ends, one per log line.
  std::string whole;
  for (const std::string& l : expected) whole += l + "\n";
  EXPECT_EQ(p.out, whole);
  EXPECT_NE(p.err.find("Download finished"), std::string::npos) << p.err;

  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Number("connections"), 2);
  EXPECT_EQ(r.Number("switch_acks"), 1);
  ASSERT_EQ(r.Numbers("reconnect_ms").size(), 1u);
  EXPECT_GE(r.Numbers("reconnect_ms")[0], 3000);
  EXPECT_LT(r.Numbers("reconnect_ms")[0], 5000) << "one pause, not two";
  EXPECT_EQ(r.All("frame"),
            (Lines{Frame(1, "5121000000000000"), Frame(1, "5120535749544348"), Frame(2, "5121000000000000"),
                   SizeFrame(2, std::uint32_t(image.size()))}));
  EXPECT_EQ(r.Number("announced_size"), long(image.size()));
  EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{65536, 65536, 65536, 1500}));
  EXPECT_EQ(r.Number("downloads_completed"), 1);
  EXPECT_EQ(r.Number("lockstep_violations"), 0);
  EXPECT_EQ(r.Number("trailing_bytes"), 0);
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

// A --host that names its port reaches the device on that port whatever
// --port says, on IPv4 and on the IPv6 loopback: both connections of the
// switch go there, the image arrives as it is, and probe reaches the same
// device and names it as it was typed.
class SendHostFormTest : public SendTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SendHostFormTest, HostWithItsPortReachesTheDevice) {
  const std::string listen = GetParam();
  const bool v6 = listen.find(':') != std::string::npos;
  if (v6) {
    const std::string why = mervix::testing::Ipv6LoopbackUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }
  sim_.SetListenAddress(listen);
  StartDevice({});
  const std::string host = (v6 ? "[" + listen + "]" : listen) + ":" + std::to_string(sim_.Port());
  const Bytes image = PatternBytes(65536 + 777, 5);
  const ProcessResult p =
      Send({"--host", host, "--port", "1", "--yes", "--switch-pause", "0.2", WriteImage(image)});
  ASSERT_TRUE(p.started) << p.error;
  EXPECT_EQ(p.exitCode, 0) << p.err;
  EXPECT_EQ(SplitLines(p.out), (Lines{listen + " Connecting...", "Download mode...", listen + " Connecting...",
                                      "Download start", "64K bytes sent", "65KBytes downloaded",
                                      "Download finished"}));

  const ProcessResult probe = mervix::testing::RunProcess({CliPath(), "probe", "--host", host}, std::nullopt,
                                                          kEnglish, 20000);
  EXPECT_EQ(probe.exitCode, 0) << probe.err;
  EXPECT_EQ(probe.out, host + ": normal mode (status 1)\n");

  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Number("connections"), 3);
  EXPECT_EQ(r.Number("downloads_completed"), 1);
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

INSTANTIATE_TEST_SUITE_P(Loopbacks, SendHostFormTest, ::testing::Values("127.0.0.1", "::1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.index == 0 ? "IPv4" : "IPv6");
                         });

// --switch-pause sets the pause between the acknowledged switch and the
// reconnect (the other runs that switch use a short one too).
TEST_F(SendTest, SwitchPauseOptionSetsTheGapBeforeTheReconnect) {
  StartDevice({});
  const Bytes image = PatternBytes(3000, 12);
  const ProcessResult p = SendTo(WriteImage(image), {"--yes", "--switch-pause", "0.2"});
  EXPECT_EQ(p.exitCode, 0) << p.err;
  const DevsimRecord r = StopDevice();
  ASSERT_EQ(r.Numbers("reconnect_ms").size(), 1u);
  EXPECT_GE(r.Numbers("reconnect_ms")[0], 200);
  EXPECT_LT(r.Numbers("reconnect_ms")[0], 3000);
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

// A device already in download mode, answering in ways a valid but slow or
// unusual device may: status in the other byte, every reply split across two
// writes with a pause, slow acknowledgements. An image of exactly one block
// logs no "64K bytes sent".
TEST_F(SendTest, DeviceInDownloadModeOnASlowLinkIsServed) {
  StartDevice({"--download-mode", "--swap-status", "--reply-delay", "30", "--fault", "status=split:150,3",
               "--fault", "size=split:150,1", "--fault", "block.0=split:150,7"});
  const Bytes image = PatternBytes(65536, 2);
  const ProcessResult p = SendTo(WriteImage(image));
  EXPECT_EQ(p.exitCode, 0) << p.err;
  EXPECT_EQ(SplitLines(p.out),
            (Lines{"127.0.0.1 Connecting...", "Download start", "64KBytes downloaded", "Download finished"}));
  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Number("connections"), 1);
  EXPECT_EQ(r.Text("faults_fired"), "status=split:150,3,size=split:150,1,block.0=split:150,7");
  EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{65536}));
  EXPECT_EQ(r.Number("lockstep_violations"), 0);
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

// Status 3 in answer to the status query leads straight to the size request;
// the last block of one byte follows a full one.
TEST_F(SendTest, StatusThreeToTheQueryLeadsToTheSize) {
  StartDevice({"--download-mode", "--fault", "status=status3"});
  const Bytes image = PatternBytes(65537, 3);
  const ProcessResult p = SendTo(WriteImage(image));
  EXPECT_EQ(p.exitCode, 0) << p.err;
  EXPECT_EQ(SplitLines(p.out), (Lines{"127.0.0.1 Connecting...", "Download start", "64K bytes sent",
                                      "65KBytes downloaded", "Download finished"}));
  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Number("sector_requests"), 0);
  EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{65536, 1}));
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

// A compressed image (here the lh5 stream of "abc") with its "TOVA" trailer
// reaches the device intact and decodes there to the original bytes.
TEST_F(SendTest, CompressedImageArrivesIntactAndDecodes) {
  std::string error;
  ASSERT_TRUE(sim_.Start({"--download-mode"}, &error, /*decode=*/true)) << error;
  const Bytes file = {0x00, 0x03, 0x28, 0x08, 0x44, 0xC9, 0x13, 0x58, 0x02, 0x60, 'T', 'O', 'V', 'A'};
  const ProcessResult p = SendTo(WriteImage(file));
  EXPECT_EQ(p.exitCode, 0) << p.err;
  EXPECT_EQ(SplitLines(p.out),
            (Lines{"127.0.0.1 Connecting...", "Download start", "1KBytes downloaded", "Download finished"}));
  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Number("announced_size"), 14);
  EXPECT_EQ(r.Number("ends_with_tova"), 1);
  EXPECT_EQ(r.Number("decoded_size"), 3) << r.Text("decode_error");
  EXPECT_EQ(sim_.ReceivedImage(), file);
  EXPECT_EQ(sim_.DecodedImage(), (Bytes{'a', 'b', 'c'}));
}

// An image compressed by the tool's own coder, trailer appended as the
// firmware operation does, is sent in blocks and decodes on the device to the
// original image.
TEST_F(SendTest, ImageCompressedByTheCoderDecodesOnTheDevice) {
  // Half text-like and repetitive, half noise: matches, literals, several blocks.
  Bytes original;
  const std::string phrase = "REV-firmware block table entry ";
  for (std::size_t i = 0; original.size() < 300000; ++i) {
    const std::string s = phrase + std::to_string(i % 977) + "\n";
    original.insert(original.end(), s.begin(), s.end());
  }
  const Bytes noise = PatternBytes(120000, 9);
  original.insert(original.end(), noise.begin(), noise.end());

  MemoryOutputStream stream;
  ImageCompressor coder(nullptr, &SilentDiagnostics());
  ASSERT_EQ(coder.Start(&stream, kLh5DictionaryBits, 1), 1);
  for (std::uint8_t b : original) coder.PutByte(b);
  coder.Finish(nullptr);
  Bytes file = stream.Bytes();
  file.insert(file.end(), {'T', 'O', 'V', 'A'});
  ASSERT_GT(file.size(), 65536u);  // more than one block on the wire

  std::string error;
  ASSERT_TRUE(sim_.Start({"--download-mode"}, &error, /*decode=*/true)) << error;
  const ProcessResult p = SendTo(WriteImage(file));
  EXPECT_EQ(p.exitCode, 0) << p.err;
  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Number("ends_with_tova"), 1);
  EXPECT_EQ(r.Number("bytes_received"), long(file.size()));
  EXPECT_EQ(r.Number("decoded_size"), long(original.size())) << r.Text("decode_error");
  EXPECT_EQ(sim_.ReceivedImage(), file);
  EXPECT_TRUE(sim_.DecodedImage() == original);
}

// A refusal or a broken reply at some step: the run ends with exit 1 for a
// refusal (a NAK) and 4 for a protocol or link failure, the message on
// standard error, nothing more sent, and the connection closed.
// The closing line names the step (the block of an image of three) and the
// message.
struct FailureCase {
  const char* fault;        // the simulator's --fault
  const char* message;      // expected on standard error
  const char* alsoMessage;  // a second expected box, or null
  unsigned framesSeen;      // request frames the device received in all
  const char* phase;        // as the closing line names it
};

// Names the case by its fault in test listings.
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.fault; }

class SendFailureTest : public SendTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SendFailureTest, EndsTheRunWithTheMessage) {
  const FailureCase& c = GetParam();
  StartDevice({"--download-mode", "--fault", c.fault});
  const Bytes image = PatternBytes(2 * 65536 + 10, 4);
  const ProcessResult p = SendTo(WriteImage(image));
  ASSERT_TRUE(p.started) << p.error;
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, std::strstr(c.fault, "=nak:") != nullptr ? 1 : 4) << p.out << p.err;
  EXPECT_NE(p.err.find(c.message), std::string::npos) << p.err;
  if (c.alsoMessage) {
    const std::size_t first = p.err.find(c.message);
    EXPECT_NE(p.err.find(c.alsoMessage, first + 1), std::string::npos) << p.err;
  }
  EXPECT_EQ(p.out.find("Download finished"), std::string::npos) << p.out;
  EXPECT_EQ(p.err.find("Download finished"), std::string::npos) << p.err;
  const Lines err = SplitLines(p.err);
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.back().rfind(std::string("mervix-cli send: ") + c.phase + ": " + c.message, 0), 0u) << p.err;

  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.All("frame").size(), c.framesSeen) << c.fault;
  EXPECT_EQ(r.Number("downloads_completed"), 0);
  EXPECT_EQ(r.Number("lockstep_violations"), 0);
  EXPECT_EQ(r.Number("connections"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    RefusalsAndFaults, SendFailureTest,
    ::testing::Values(
        FailureCase{"status=nak:0x8001", "NAK(Command error)", nullptr, 1, "status"},
        FailureCase{"size=nak:0x0021", "NAK(Download size error)", nullptr, 2, "size"},
        FailureCase{"status=nak:0x0010", "NAK(Dial-in/Dial-out is used)", "Dial-in/dial-out error", 1, "status"},
        FailureCase{"size=nak:0x0008", "NAK(Telnet is used)", nullptr, 2, "size"},
        FailureCase{"block.0=nak:0x0004", "NAK(Flash ROM erase error)", nullptr, 2, "block 1 of 3"},
        FailureCase{"status=nak:0x0002", "NAK(Download in progress)", nullptr, 1, "status"},
        FailureCase{"block.2=nak:0x0001", "NAK(Flash ROM write error)", nullptr, 2, "block 3 of 3"},
        FailureCase{"size=nak:0x0040", "NAK(unknown code)", nullptr, 2, "size"},
        FailureCase{"status=short:5", "128:IDS_ERROR_TOOMANY", nullptr, 1, "status"},
        FailureCase{"size=close", "128:IDS_ERROR_TOOMANY", nullptr, 2, "size"},
        FailureCase{"block.1=close", "128:IDS_ERROR_TOOMANY", nullptr, 2, "block 2 of 3"},
        FailureCase{"status=extra:4", "128:IDS_ERROR_TOOMANY", nullptr, 1, "status"},
        FailureCase{"status=bad-status", "126:IDS_ERROR_CHECK_CODE", nullptr, 1, "status"},
        FailureCase{"status=bad-status-tail", "126:IDS_ERROR_CHECK_CODE", nullptr, 1, "status"},
        FailureCase{"size=bad-code", "127:IDS_ERROR_CMD_CODE", nullptr, 2, "size"},
        FailureCase{"status=ack", "115:IDS_WARN_RETCODE", nullptr, 1, "status"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) {
      std::string name;
      for (const char* c = info.param.fault; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

// The device vanishes in the middle of a block: the run fails (exit 4), the
// image is incomplete on the device, and nothing claims success.
TEST_F(SendTest, DeviceVanishingMidBlockFailsTheRun) {
  StartDevice({"--download-mode", "--fault", "block.1=vanish:3000"});
  const ProcessResult p = SendTo(WriteImage(PatternBytes(4 * 65536, 5)));
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, 4) << p.out << p.err;
  EXPECT_EQ((p.out + p.err).find("Download finished"), std::string::npos);
  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{65536, 3000}));
  EXPECT_EQ(r.Number("image_complete"), 0);
}

// A device that never answers: --timeout ends the wait with a failure (exit 6).
TEST_F(SendTest, SilentDeviceEndsWithTheTimeout) {
  StartDevice({"--download-mode", "--fault", "size=silent"});
  const ProcessResult p = SendTo(WriteImage(PatternBytes(1000, 6)), {"--yes", "--timeout", "1"});
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, 6) << p.out << p.err;
  EXPECT_NE(p.err.find("no response from the device"), std::string::npos) << p.err;
  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Number("size_requests"), 1);
  EXPECT_EQ(r.Number("bytes_received"), 0);
}

// Cancel at "Permanent write! Continue?": nothing is sent after the status
// query, the log says "Download cancelled", the exit code is 5.
TEST_F(SendTest, CancelledConfirmationSendsNothing) {
  StartDevice({"--download-mode"});
  const ProcessResult p = SendTo(WriteImage(PatternBytes(5000, 7)), {}, std::string("c\n"));
  EXPECT_EQ(p.exitCode, 5) << p.out << p.err;
  EXPECT_EQ(SplitLines(p.out), (Lines{"127.0.0.1 Connecting...", "Download cancelled"})) << p.out;
  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.All("frame"), (Lines{Frame(1, "5121000000000000")}));
  EXPECT_EQ(r.Number("size_requests"), 0);
}

// Nobody listens: "Retry?" is asked, a closed standard input answers No, and
// the run ends with "Connect error".
TEST_F(SendTest, RefusedConnectionWithClosedInputEndsWithConnectError) {
  // A bound socket that does not listen: connecting to its port is refused.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  StartDevice({});  // only for its folder
  const std::string file = WriteImage(PatternBytes(100, 8));

  const ProcessResult p =
      Send({"--host", "127.0.0.1", "--port", std::to_string(ntohs(a.sin_port)), "--yes", file});
  ::close(fd);
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, 3) << p.out << p.err;
  const std::size_t retry = p.err.find("Retry?");
  ASSERT_NE(retry, std::string::npos) << p.err;
  EXPECT_NE(p.err.find("Connect error", retry), std::string::npos) << p.err;
  EXPECT_EQ(SplitLines(p.err).back(), "mervix-cli send: connect: Connect error (Connection refused)");
  EXPECT_EQ(p.out.find("Connecting..."), std::string::npos) << p.out;
  EXPECT_EQ(StopDevice().Number("connections"), 0);
}

// The device goes away during the mode switch: the reconnect is refused,
// "Retry?" answered No by the closed standard input, "Connect error" ends it.
TEST_F(SendTest, RefusedReconnectAfterTheSwitchEndsWithConnectError) {
  StartDevice({"--connections", "1"});  // gone after the switch connection
  const ProcessResult p = SendTo(WriteImage(PatternBytes(2000, 10)), {"--yes", "--switch-pause", "0.1"});
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, 3) << p.out << p.err;
  EXPECT_EQ(SplitLines(p.out), (Lines{"127.0.0.1 Connecting...", "Download mode...", "Connect error: Connection refused"}));
  const std::size_t retry = p.err.find("Retry?");
  ASSERT_NE(retry, std::string::npos) << p.err;
  EXPECT_NE(p.err.find("Connect error", retry), std::string::npos) << p.err;
  EXPECT_EQ(SplitLines(p.err).back(), "mervix-cli send: reconnect: Connect error (Connection refused)");
  EXPECT_TRUE(sim_.WaitForExit(5000));
  const DevsimRecord r = StopDevice();
  EXPECT_EQ(r.Number("switch_acks"), 1);
  EXPECT_EQ(r.Number("connections"), 1);
}

// A Japanese user interface language gives the Japanese log, half-width
// katakana as written.
TEST_F(SendTest, JapaneseLocaleLogsInJapanese) {
  StartDevice({"--download-mode"});
  const std::string file = WriteImage(PatternBytes(65537, 11));
  const ProcessResult p =
      Send({"--host", "127.0.0.1", "--port", std::to_string(sim_.Port()), "--yes", file}, std::nullopt,
           {"LANG=ja_JP.UTF-8", "-LC_ALL", "-LC_MESSAGES", "-LANGUAGE"});
  EXPECT_EQ(p.exitCode, 0) << p.err;
  EXPECT_EQ(SplitLines(p.out), (Lines{"127.0.0.1 に接続中...", "ﾀﾞｳﾝﾛｰﾄﾞ開始", "64Kﾊﾞｲﾄ送信", "65Kﾊﾞｲﾄ送信",
                                      "ﾀﾞｳﾝﾛｰﾄﾞ完了"}));
  EXPECT_EQ(StopDevice().Number("downloads_completed"), 1);
}

}  // namespace
}  // namespace mervix
