// mervix-cli download and module against the device simulator over
// loopback: what the operator sees (the log on standard output, boxes and
// reasons on standard error, the exit code) and what the device received
// (the simulator's record, image and decoded image). Every run works in a
// fresh temporary folder.
#include "tests/support/Programs.h"
#include "compress/Lh5Decoder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/operations/OperationsTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using mervix::testing::Bytes;
using mervix::testing::DevsimProcess;
using mervix::testing::DevsimRecord;
using mervix::testing::MakeImage;
using mervix::testing::ProcessResult;
using mervix::testing::ReadBytes;
using mervix::testing::SRecords;
using mervix::testing::TempFolder;

const std::vector<std::string> kEnglish = {"LANG=C", "LC_ALL=C", "-LC_MESSAGES", "-LANGUAGE"};
const std::vector<std::string> kJapanese = {"LANG=ja_JP.UTF-8", "LC_ALL=ja_JP.UTF-8", "-LC_MESSAGES",
                                            "-LANGUAGE"};

std::string CliPath() {
  if (const char* env = std::getenv("MERVIX_CLI")) return env;
  return ::mervix::testing::CliPath();
}

class OperationsEndToEndTest : public ::testing::Test {
 protected:
  void StartDevice(const std::vector<std::string>& options, bool decode = false) {
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error, decode)) << error;
  }
  std::string Port() const { return std::to_string(sim_.Port()); }

  // Runs mervix-cli with its working directory in the test's folder.
  ProcessResult Cli(const std::vector<std::string>& args, std::optional<std::string> input = std::nullopt,
                    const std::vector<std::string>& environment = kEnglish) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", dir_.path(), CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return mervix::testing::RunProcess(argv, std::move(input), environment, 30000);
  }

  // The simulator rewrites its record when a connection has ended, which
  // may be just after the command line exits: waits for |downloads|.
  DevsimRecord RecordAfter(long long downloads) const {
    DevsimRecord r;
    for (int i = 0; i < 500; ++i) {
      r = sim_.Record();
      if (r.Number("downloads_completed", 0) >= downloads) break;
      ::usleep(10000);
    }
    return r;
  }

  // "<connection> <hex>" request frames of the record, as their command bytes.
  std::vector<std::string> FrameCodes(const DevsimRecord& r) const {
    std::vector<std::string> codes;
    for (const std::string& f : r.All("frame")) codes.push_back(f.substr(f.find(' ') + 1, 4));
    return codes;
  }

  TempFolder dir_;
  DevsimProcess sim_;
};

// ---------------------------------------------------------------------------
// Firmware

TEST_F(OperationsEndToEndTest, SRecordFirmwareIsConvertedAndSentWithTheModeSwitch) {
  const Bytes image = MakeImage(150000, 1, 5);
  mervix::testing::WriteText(dir_ / "FW.MOT", SRecords(0x10000, image));
  StartDevice({});  // status 1 first: the switch and the reconnect
  const ProcessResult p = Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--base-address", "10000",
                               "--yes", dir_ / "FW.MOT"});
  ASSERT_EQ(p.exitCode, 0) << p.err;
  sim_.Stop();
  EXPECT_EQ(ReadBytes(dir_ / "fw.img"), image);
  EXPECT_EQ(sim_.ReceivedImage(), image);
  const DevsimRecord r = sim_.Record();
  EXPECT_EQ(r.Number("switch_acks"), 1);
  EXPECT_EQ(r.Number("announced_size"), 150000);
  EXPECT_EQ(p.out,
            "Normal mode - compression inactive\n"
            "Downloading " + (dir_ / "fw.img") + " \n"
            "Firmware version 1.05 .\n"
            "127.0.0.1 Connecting...\n"
            "Download mode...\n"
            "127.0.0.1 Connecting...\n"
            "Download start\n"
            "64K bytes sent\n"
            "64K bytes sent\n"
            "147KBytes downloaded\n"
            "Download finished\n");
  EXPECT_THAT(p.err, HasSubstr("Firmware version 1.05 .\n"));
  EXPECT_THAT(p.err, HasSubstr("Download finished\n"));
}

TEST_F(OperationsEndToEndTest, JapaneseFirmwareRunLog) {
  const Bytes image = MakeImage(70000, 2, 0);
  mervix::testing::WriteBytes(dir_ / "fw.bin", image);
  StartDevice({"--download-mode"});
  const ProcessResult p =
      Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--yes", dir_ / "fw.bin"}, std::nullopt, kJapanese);
  ASSERT_EQ(p.exitCode, 0) << p.err;
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image);
  EXPECT_EQ(p.out,
            "Normal mode - compression inactive\n"
            "ﾌｧｲﾙ " + (dir_ / "fw.bin") + " をﾀﾞｳﾝﾛｰﾄﾞします。\n"
            "ﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝは 2.00 です。\n"
            "127.0.0.1 に接続中...\n"
            "ﾀﾞｳﾝﾛｰﾄﾞ開始\n"
            "64Kﾊﾞｲﾄ送信\n"
            "69Kﾊﾞｲﾄ送信\n"
            "ﾀﾞｳﾝﾛｰﾄﾞ完了\n");
}

TEST_F(OperationsEndToEndTest, CompressedRunInBothLanguagesDecodesToTheConvertedImage) {
  const Bytes image = MakeImage(140000, 3, 7);
  mervix::testing::WriteText(dir_ / "fw.mot", SRecords(0x20000, image));
  StartDevice({"--download-mode"}, /*decode=*/true);
  for (const auto& environment : {kEnglish, kJapanese}) {
    const ProcessResult p = Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--base-address", "20000",
                                 "--compress", "--yes", "fw.mot"},
                                std::nullopt, environment);
    ASSERT_EQ(p.exitCode, 0) << p.err;
    const Bytes inter = ReadBytes(dir_ / "Inter.img");
    ASSERT_GT(inter.size(), 4u);
    const std::string kb = std::to_string((inter.size() + 1023) / 1024);
    const bool english = environment[0] == "LANG=C";
    EXPECT_EQ(p.out, english ? "Normal mode - compression active\n"
                               "Downloading Inter.img \n"
                               "Firmware version 3.07 .\n"
                               "127.0.0.1 Connecting...\n"
                               "Download start\n"
                               "64K bytes sent\n" +
                                   kb + "KBytes downloaded\nDownload finished\n"
                             : "Normal mode - compression active\n"
                               "ﾌｧｲﾙ Inter.img をﾀﾞｳﾝﾛｰﾄﾞします。\n"
                               "ﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝは 3.07 です。\n"
                               "127.0.0.1 に接続中...\n"
                               "ﾀﾞｳﾝﾛｰﾄﾞ開始\n"
                               "64Kﾊﾞｲﾄ送信\n" +
                                   kb + "Kﾊﾞｲﾄ送信\nﾀﾞｳﾝﾛｰﾄﾞ完了\n");
    // The coder's memory line goes to standard error, never into the log.
    EXPECT_THAT(p.err, HasSubstr("使用メモリ:"));
    const DevsimRecord r = RecordAfter(english ? 1 : 2);
    EXPECT_EQ(r.Number("announced_size"), static_cast<long long>(inter.size()));  // trailer included
    EXPECT_EQ(r.Text("ends_with_tova"), "1");
    EXPECT_EQ(sim_.ReceivedImage(), inter);
    EXPECT_EQ(sim_.DecodedImage(), image);
    EXPECT_EQ(r.Text("decode_error"), "");
  }
}

TEST_F(OperationsEndToEndTest, KorvaneModeSendsTheConvertedImageUncompressed) {
  const Bytes image = MakeImage(20000, 1, 5);
  mervix::testing::WriteText(dir_ / "fw.mot", SRecords(0x0, image));
  mervix::testing::WriteText(dir_ / "settings.ini", "[Previous Settings]\nKorvane=3\nBase Address=0\n");
  StartDevice({"--download-mode"});
  // The Base Address comes from the settings file: Return keeps it.
  const ProcessResult p = Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--settings", "settings.ini",
                               "--compress", "--yes", "fw.mot"},
                              std::string("\n"));
  ASSERT_EQ(p.exitCode, 0) << p.err;
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image);
  EXPECT_FALSE(mervix::testing::FileExists(dir_ / "Inter.img"));
  EXPECT_THAT(p.out, ::testing::StartsWith("Korvane mode - no compression\n"));
  EXPECT_THAT(p.err, HasSubstr("Please enter the base address in hexadecimal [0]: "));
}

TEST_F(OperationsEndToEndTest, BinaryImageWithCompressIsSentUnchanged) {
  const Bytes image = MakeImage(3000, 1, 1);
  mervix::testing::WriteBytes(dir_ / "fw.img", image);
  StartDevice({"--download-mode"});
  const ProcessResult p =
      Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--compress", "--yes", "fw.img"});
  ASSERT_EQ(p.exitCode, 0) << p.err;
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image);
  EXPECT_THAT(p.out, ::testing::StartsWith("Normal mode - compression active\nDownloading fw.img \n"));
  EXPECT_FALSE(mervix::testing::FileExists(dir_ / "Inter.img"));
}

TEST_F(OperationsEndToEndTest, FileWithoutTagGives107AndTheJapaneseLine) {
  mervix::testing::WriteBytes(dir_ / "plain.bin", MakeImage(3000, 1, 1, /*tagged=*/false));
  StartDevice({"--download-mode"});
  const ProcessResult p = Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--yes", "plain.bin"});
  EXPECT_EQ(p.exitCode, 7);
  EXPECT_EQ(p.out,
            "Normal mode - compression inactive\n"
            "Downloading plain.bin \n"
            "ﾀﾞｳﾝﾛｰﾄできませんでした。\n");
  EXPECT_THAT(p.err, HasSubstr("Error in file format\n"));
  EXPECT_THAT(p.err, HasSubstr("mervix-cli download: 'plain.bin' has no \"REV-\" tag"));
  sim_.Stop();
  EXPECT_EQ(sim_.Record().Number("connections", 0), 0);
}

TEST_F(OperationsEndToEndTest, NakAtTheSizeRequestEndsTheRun) {
  mervix::testing::WriteBytes(dir_ / "fw.img", MakeImage(3000, 1, 1));
  StartDevice({"--download-mode", "--fault", "size=nak:0x0020"});
  const ProcessResult p = Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--yes", "fw.img"});
  EXPECT_EQ(p.exitCode, 1);
  EXPECT_THAT(p.err, HasSubstr("NAK(Download size error)\n"));
  EXPECT_THAT(p.err, HasSubstr("mervix-cli download: size: NAK(Download size error) (refusal flags 0x0020)"));
  EXPECT_THAT(p.out, HasSubstr("Download start\n"));
  EXPECT_THAT(p.out, Not(HasSubstr("Download finished")));
  sim_.Stop();
  EXPECT_EQ(sim_.Record().Number("blocks", 0), 0);
}

TEST_F(OperationsEndToEndTest, MissingFilesAreReportedAndNothingIsCreated) {
  StartDevice({"--download-mode"});
  for (const char* name : {"absent.img", "absent.mot"}) {
    const ProcessResult p = Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--base-address", "0",
                                 "--yes", name});
    EXPECT_EQ(p.exitCode, 7) << name;
    EXPECT_THAT(p.err, HasSubstr(std::string("'") + name + "'"));
    EXPECT_THAT(p.err, HasSubstr("No such file or directory"));
    EXPECT_FALSE(mervix::testing::FileExists(dir_ / name));
  }
  EXPECT_FALSE(mervix::testing::FileExists(dir_ / "absent.img"));
  const ProcessResult m =
      Cli({"module", "--host", "127.0.0.1", "--port", Port(), "--address", "20000", "--yes", "absent.bin"});
  EXPECT_EQ(m.exitCode, 7);
  EXPECT_THAT(m.err, HasSubstr("'absent.bin'"));
  EXPECT_FALSE(mervix::testing::FileExists(dir_ / "absent.bin"));
  sim_.Stop();
  EXPECT_EQ(sim_.Record().Number("connections", 0), 0);
}

TEST_F(OperationsEndToEndTest, HostAndPortRefusals) {
  mervix::testing::WriteBytes(dir_ / "fw.img", MakeImage(3000, 1, 1));
  ProcessResult p = Cli({"download", "fw.img"});
  EXPECT_EQ(p.exitCode, 2);
  EXPECT_THAT(p.err, HasSubstr("Host name error\n"));
  p = Cli({"download", "--host", "127.0.0.1", "--port", "0", "fw.img"});
  EXPECT_EQ(p.exitCode, 2);
  EXPECT_THAT(p.err, HasSubstr("Bad port number\n"));
  p = Cli({"module", "--host", "127.0.0.1", "fw.img"});
  EXPECT_EQ(p.exitCode, 2);
  // A --host that is no device address is the command line's own refusal.
  p = Cli({"download", "--host", "127.0.0.1:0", "fw.img"});
  EXPECT_EQ(p.exitCode, 2);
  EXPECT_THAT(p.err, HasSubstr("bad host '127.0.0.1:0': bad port '0' (1 to 65535)"));
}

// The port in --host is the device's: it stands for --port 0, which alone
// is refused with "Bad port number".
TEST_F(OperationsEndToEndTest, PortInTheHostOverridesThePortOption) {
  const Bytes image = MakeImage(3000, 1, 2);
  mervix::testing::WriteBytes(dir_ / "fw.img", image);
  StartDevice({"--download-mode"});
  const ProcessResult p = Cli({"download", "--host", "127.0.0.1:" + Port(), "--port", "0", "--yes", "fw.img"});
  ASSERT_EQ(p.exitCode, 0) << p.err;
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

// ---------------------------------------------------------------------------
// User modules

TEST_F(OperationsEndToEndTest, UserModuleAt20000InBothLanguages) {
  const Bytes image = MakeImage(70000, 1, 0);
  mervix::testing::WriteText(dir_ / "app.mot", SRecords(0x20000, image));
  StartDevice({"--download-mode"});
  for (const auto& environment : {kEnglish, kJapanese}) {
    const ProcessResult p = Cli({"module", "--host", "127.0.0.1", "--port", Port(), "--address", "20000", "--yes",
                                 "app.mot"},
                                std::nullopt, environment);
    ASSERT_EQ(p.exitCode, 0) << p.err;
    const bool english = environment[0] == "LANG=C";
    EXPECT_EQ(p.out, english ? "127.0.0.1 Connecting...\n"
                               "Specifying special sector for user module\n"
                               "Download start\n"
                               "64K bytes sent\n"
                               "69KBytes downloaded\n"
                               "Download finished\n"
                             : "127.0.0.1 に接続中...\n"
                               "Specifying special sector for user module\n"
                               "ﾀﾞｳﾝﾛｰﾄﾞ開始\n"
                               "64Kﾊﾞｲﾄ送信\n"
                               "69Kﾊﾞｲﾄ送信\n"
                               "ﾀﾞｳﾝﾛｰﾄﾞ完了\n");
    const DevsimRecord r = RecordAfter(english ? 1 : 2);
    EXPECT_EQ(r.Number("sector_address"), 0x20000);
    EXPECT_EQ(sim_.ReceivedImage(), image);
    EXPECT_EQ(ReadBytes(dir_ / "inter.img"), image);
  }
}

TEST_F(OperationsEndToEndTest, UserModuleWithPrefixedAddressEndsSilentlyButTheCommandLineSaysWhy) {
  mervix::testing::WriteText(dir_ / "app.mot", SRecords(0x20000, MakeImage(3000, 1, 0)));
  StartDevice({"--download-mode"});
  const ProcessResult p =
      Cli({"module", "--host", "127.0.0.1", "--port", Port(), "--address", "0x20000", "--yes", "app.mot"});
  EXPECT_EQ(p.exitCode, 7);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.err, "mervix-cli module: the module starts at 20000 hex, not at the user base address 0 hex\n");
  sim_.Stop();
  EXPECT_EQ(sim_.Record().Number("connections", 0), 0);
}

TEST_F(OperationsEndToEndTest, CancelledModuleRunThenFirmwareRunAsksForTheSizeDirectly) {
  const Bytes image = MakeImage(3000, 1, 0);
  mervix::testing::WriteText(dir_ / "app.mot", SRecords(0x20000, image));
  mervix::testing::WriteBytes(dir_ / "fw.img", image);
  StartDevice({"--download-mode"});
  const ProcessResult m =
      Cli({"module", "--host", "127.0.0.1", "--port", Port(), "--address", "20000", "app.mot"}, std::string("cancel\n"));
  EXPECT_EQ(m.exitCode, 5);
  EXPECT_EQ(m.out,
            "127.0.0.1 Connecting...\n"
            "Specifying special sector for user module\n"
            "Download cancelled\n");
  EXPECT_THAT(m.err, HasSubstr("mervix-cli module: size: Download cancelled (the permanent write was not confirmed)"));
  const ProcessResult f = Cli({"download", "--host", "127.0.0.1", "--port", Port(), "--yes", "fw.img"});
  ASSERT_EQ(f.exitCode, 0) << f.err;
  sim_.Stop();
  const DevsimRecord r = sim_.Record();
  // Module run: status, sector; firmware run: status, then the size at once.
  EXPECT_EQ(FrameCodes(r), (std::vector<std::string>{"5121", "5123", "5121", "5122"}));
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

}  // namespace
}  // namespace mervix
