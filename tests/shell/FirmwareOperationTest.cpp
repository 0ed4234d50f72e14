// The firmware download operation (the Download button) over the scripted
// device link: every step and refusal, the mode lines, the Base Address
// setting, the compressed run, the file errors, and the whole log of a
// successful run in both languages.
#include "compress/Lh5Decoder.h"
#include "operations/MemorySettingsStore.h"
#include "resources/MessageTable.h"
#include "tests/shell/FlowTestSupport.h"

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace mervix::testing;

class FirmwareOperationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ops_.SetRunner(link_);
    link_.Attach(ops_.Job());
    SetActiveLanguage(Language::English);
    ops_.SetWorkDirectory(dir_.path());
  }
  void TearDown() override { SetActiveLanguage(Language::English); }

  // A binary image in the folder, chosen in the file chooser.
  std::string ChooseImage(const Bytes& image, const std::string& name = "fw.img") {
    const std::string path = dir_ / name;
    WriteBytes(path, image);
    op_.files.push_back(path);
    return path;
  }
  // An S-record file of |image| at |address| in the folder, chosen, with the
  // Base Address dialog answering |typed|.
  std::string ChooseSRecords(const Bytes& image, std::uint32_t address, const std::string& typed,
                             const std::string& name = "fw.mot") {
    const std::string path = dir_ / name;
    WriteText(path, SRecords(address, image));
    op_.files.push_back(path);
    op_.addresses.push_back(typed);
    return path;
  }
  // The Download button, then the event loop until the run has ended.
  PreparationResult Download() {
    const PreparationResult r = ops_.OnDownload();
    link_.Run();
    return r;
  }
  std::vector<bool> Enables() const { return op_.boxes.enables; }
  std::vector<std::string> Boxes() const { return op_.boxes.BoxTexts(); }
  const std::vector<std::string>& Details() const { return op_.details; }

  TempFolder dir_;
  ScriptedOperator op_;
  ScriptedRunner link_{op_.boxes};
  LogPane log_{op_.boxes.LogRecorder()};
  MemorySettingsStore settings_;
  DownloadOperations ops_{op_, log_, settings_};
};

// ---------------------------------------------------------------------------
// The bytes sent are the bytes whose version was shown

// Another program rewrites the image in place, at the same length, while
// the version box is up (a lock does not stop it on Linux; on Windows the
// file held without sharing cannot be written at all). The run must send
// the bytes that were read, or nothing: never the new ones.
TEST_F(FirmwareOperationTest, AnImageRewrittenWhileTheVersionIsShownIsNeverSent) {
  const Bytes shown = MakeImage(3 * 65536 + 100, 1, 5);
  const Bytes rewritten = MakeImage(shown.size(), 2, 0);
  const std::string path = ChooseImage(shown);
  op_.boxes.answers = {Answer::Ok, Answer::Ok, Answer::Ok};  // the version, the confirmation, the end
  bool changed = false;
  op_.boxes.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.text.rfind("Firmware version", 0) == 0) changed = TryWriteBytes(path, rewritten);
  };
  ScriptWholeDownload(link_, shown.size(), true, false);
  EXPECT_TRUE(Download().started());
  // Rewritten or not (the system may refuse it), what goes out is the image
  // as it was hashed and its version shown: the prepared image keeps it.
  (void)changed;
  EXPECT_THAT(Boxes(), ElementsAre("Firmware version 1.05 .", "Permanent write! Continue?", "Download finished"));
  EXPECT_EQ(ops_.Job().LastOutcome(), RunOutcome::Finished);
  EXPECT_EQ(link_.BlockBytes(), shown) << "a block of the rewritten file went out";
  EXPECT_EQ(ops_.Job().SentSha256(), ops_.LastPrepared().sha256);
  EXPECT_FALSE(ops_.Job().ImageOpen());
}

// ---------------------------------------------------------------------------
// The first steps: controls, mode line, host and port

TEST_F(FirmwareOperationTest, ModeLineFollowsKorvaneAndCompressAndKorvaneIsReadEveryRun) {
  struct Case {
    const char* korvane;  // nullptr: the key is absent
    bool compress;
    const char* line;
  } cases[] = {
      {nullptr, false, "Normal mode - compression inactive\r\n"},
      {nullptr, true, "Normal mode - compression active\r\n"},
      {"0", true, "Normal mode - compression active\r\n"},
      {"7", true, "Korvane mode - no compression\r\n"},
      {"1", false, "Korvane mode - no compression\r\n"},
  };
  for (const Case& c : cases) {
    if (c.korvane) settings_.Preset(kSettingsSection, setting_key::kKorvane, c.korvane);
    op_.controls.compress = c.compress;
    const PreparationResult r = Download();  // no file scripted: the chooser cancels
    EXPECT_EQ(r.end, PreparationEnd::FileChoiceCancelled);
    EXPECT_EQ(log_.Text(), c.line) << (c.korvane ? c.korvane : "absent") << " " << c.compress;
    EXPECT_EQ(ops_.KorvaneMode(), c.korvane != nullptr && std::string(c.korvane) != "0");
  }
  // Read at the start of each run, never written.
  EXPECT_EQ(std::count(settings_.Reads().begin(), settings_.Reads().end(), "Korvane"), 5);
  EXPECT_TRUE(settings_.Writes().empty());
}

TEST_F(FirmwareOperationTest, OrderOfTheFirstStepsAndTheCancelledChooser) {
  log_.AppendLogLine("left from the last run");
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::FileChoiceCancelled);
  EXPECT_TRUE(r.silent);
  // Controls first, then the log is cleared and the mode written, then the
  // button disabled, the chooser shown, and the button enabled again.
  EXPECT_THAT(op_.boxes.trail, ElementsAre("log:left from the last run\r\n", "controls",
                                           "log:Normal mode - compression inactive\r\n", "disabled", "chooser",
                                           "enabled"));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(link_.connectionsCreated, 0);
}

TEST_F(FirmwareOperationTest, EmptyHostAndPortZeroAreRefusedBeforeTheChooser) {
  op_.controls.host = "";
  EXPECT_EQ(Download().end, PreparationEnd::HostEmpty);
  op_.controls = {"127.0.0.1", 0, false};
  EXPECT_EQ(Download().end, PreparationEnd::PortZero);
  EXPECT_THAT(Boxes(), ElementsAre("Host name error", "Bad port number"));
  EXPECT_THAT(Enables(), ElementsAre(false, true, false, true));
  EXPECT_EQ(op_.chooserCalls, 0);
  EXPECT_EQ(link_.connectionsCreated, 0);
}

TEST_F(FirmwareOperationTest, ControlsThatFailValidationStillRunWithTheValuesAsTheyStand) {
  op_.controlsValid = false;  // the window has shown its prompt
  op_.controls = {"", 2222, false};
  EXPECT_EQ(Download().end, PreparationEnd::HostEmpty);
  EXPECT_EQ(op_.readControlsCalls, 1);
}

// ---------------------------------------------------------------------------
// S-record files and the Base Address

TEST_F(FirmwareOperationTest, BaseAddressPresetFromTheSettingAndStoredAsTyped) {
  settings_.SetSettingText(kSettingsSection, setting_key::kBaseAddress, "8000");
  const Bytes image = MakeImage(3000, 1, 5);
  // A text that is not only hex is stored as typed and parsed up to the blank.
  ChooseSRecords(image, 0x10000, "10000 (flash)");
  link_.connectResults = {false};  // "Retry?" is answered No: the run ends after the preparation
  Download();
  EXPECT_THAT(op_.addressPresets, ElementsAre("8000"));
  EXPECT_EQ(settings_.GetSettingText(kSettingsSection, setting_key::kBaseAddress, ""), "10000 (flash)");
  EXPECT_EQ(ops_.BaseAddressValue(), 0x10000u);
  EXPECT_EQ(ReadBytes(dir_ / "fw.img"), image);
}

TEST_F(FirmwareOperationTest, BaseAddressCancelledWritesNothingAndConvertsNothing) {
  const std::string mot = dir_ / "fw.mot";
  WriteText(mot, SRecords(0x10000, MakeImage(100, 1, 0)));
  op_.files.push_back(mot);
  op_.addresses.push_back(std::nullopt);
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::BaseAddressCancelled);
  EXPECT_TRUE(r.silent);
  EXPECT_TRUE(settings_.Writes().empty());
  EXPECT_FALSE(FileExists(dir_ / "fw.img"));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Enables().back(), true);
}

TEST_F(FirmwareOperationTest, OnlyTheFirstFifteenCharactersOfTheBaseAddressCount) {
  // 15 characters give 0x10000; the digits after them would shift it away.
  const Bytes image = MakeImage(2048, 1, 0);
  ChooseSRecords(image, 0x10000, "000000000010000FF");
  link_.connectResults = {false};
  Download();
  EXPECT_EQ(ops_.BaseAddressValue(), 0x10000u);
  EXPECT_EQ(ops_.EndMark(), 0x10000u + 2048);
  EXPECT_EQ(ReadBytes(dir_ / "fw.img"), image);
  // Stored whole, as typed.
  EXPECT_EQ(settings_.GetSettingText(kSettingsSection, setting_key::kBaseAddress, ""), "000000000010000FF");
}

TEST_F(FirmwareOperationTest, UpperCaseExtensionIsSRecordAndTheImageNameIsLowered) {
  const Bytes image = MakeImage(1500, 2, 0);
  ChooseSRecords(image, 0x0, "0", "FW.MOT");
  link_.connectResults = {false};
  Download();
  EXPECT_EQ(ReadBytes(dir_ / "fw.img"), image);
  EXPECT_THAT(log_.Text(), HasSubstr("Downloading " + (dir_ / "fw.img") + " \r\n"));
  EXPECT_THAT(log_.Text(), HasSubstr("Firmware version 2.00 .\r\n"));
}

TEST_F(FirmwareOperationTest, ConversionFailureShowsTheFixedBoxAndRefusesToSend) {
  const std::string mot = dir_ / "bad.mot";
  WriteText(mot, SRecords(0x10000, MakeImage(100, 1, 0)) + "\r\nS5030001FB\r\n");  // blank line, then S5
  op_.files.push_back(mot);
  op_.addresses.push_back(std::string("10000"));
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::ConversionFailed);
  EXPECT_THAT(Boxes(), ElementsAre("Could not convert file"));
  EXPECT_THAT(r.reason, HasSubstr("line"));
  // The failing record under the box, and the same cause in the log.
  ASSERT_EQ(Details().size(), 1u);
  EXPECT_THAT(Details()[0], HasSubstr("bad.mot' line 7: result -1"));
  EXPECT_THAT(log_.Text(), HasSubstr("Could not convert file: " + Details()[0] + "\r\n"));
  EXPECT_EQ(Enables().back(), true);
  EXPECT_EQ(link_.connectionsCreated, 0);
}

// ---------------------------------------------------------------------------
// Files that cannot be used

TEST_F(FirmwareOperationTest, MissingFilesEndWithABoxNamingThemAndCreateNothing) {
  const std::string missingImage = dir_ / "gone.img";
  const std::string missingSRecords = dir_ / "gone.mot";
  op_.files = {missingImage, missingSRecords};
  op_.addresses.push_back(std::string("0"));

  PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::FileError);
  EXPECT_FALSE(r.silent);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_THAT(Boxes()[0], HasSubstr(missingImage));
  EXPECT_THAT(Boxes()[0], HasSubstr("No such file"));

  r = Download();
  EXPECT_EQ(r.end, PreparationEnd::ConversionFailed);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1], "Could not convert file");
  EXPECT_THAT(Details()[1], HasSubstr(missingSRecords));
  EXPECT_THAT(Details()[1], HasSubstr("No such file"));
  EXPECT_THAT(log_.Text(), HasSubstr("Could not convert file: " + Details()[1] + "\r\n"));

  EXPECT_THAT(Enables(), ElementsAre(false, true, false, true));
  EXPECT_FALSE(FileExists(missingImage));
  EXPECT_FALSE(FileExists(missingSRecords));
  EXPECT_FALSE(FileExists(dir_ / "gone.img"));
  EXPECT_EQ(link_.connectionsCreated, 0);
}

TEST_F(FirmwareOperationTest, ImageHeldByAnotherProgramOrAFolderIsReportedWithItsReason) {
  // Another opener holds the image exclusively.
  const std::string path = ChooseImage(MakeImage(2048, 1, 0));
  InputFile holder;
  ASSERT_TRUE(holder.Open(path, ImageAccess::Exclusive).ok());
  EXPECT_EQ(Download().end, PreparationEnd::FileError);
  holder.Close();
  // A folder chosen in place of a file.
  op_.files.push_back(dir_.path());
  EXPECT_EQ(Download().end, PreparationEnd::FileError);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_THAT(Boxes()[0], HasSubstr(path));
  EXPECT_THAT(Boxes()[0], HasSubstr("in use"));
  EXPECT_THAT(Boxes()[1], HasSubstr("folder"));
  EXPECT_THAT(Enables(), ElementsAre(false, true, false, true));
  EXPECT_EQ(link_.connectionsCreated, 0);
}

TEST_F(FirmwareOperationTest, EmptyImageIsRefusedBeforeConnecting) {
  const std::string path = ChooseImage({});
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::EmptyImage);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0], "The image file is empty: nothing to download");
  EXPECT_THAT(Details()[0], HasSubstr(path));
  EXPECT_THAT(log_.Text(), HasSubstr("The image file is empty: nothing to download: " + Details()[0] + "\r\n"));
  EXPECT_EQ(link_.connectionsCreated, 0);
  EXPECT_EQ(Enables().back(), true);
}

// ---------------------------------------------------------------------------
// The header and the version

TEST_F(FirmwareOperationTest, ImageWithoutTagGives107AndTheJapaneseLineInBothLanguages) {
  for (Language language : {Language::English, Language::Japanese}) {
    SetActiveLanguage(language);
    const std::string path = ChooseImage(MakeImage(4096, 1, 0, /*tagged=*/false));
    op_.boxes.trail.clear();
    const PreparationResult r = Download();
    EXPECT_EQ(r.end, PreparationEnd::MissingTag);
    const std::string box107 = language == Language::English ? "Error in file format" : "ﾌｧｲﾙﾌｫｰﾏｯﾄが不正です";
    const std::string line105 = language == Language::English ? "Downloading " + path + " \r\n"
                                                              : "ﾌｧｲﾙ " + path + " をﾀﾞｳﾝﾛｰﾄﾞします。\r\n";
    // The box, then the button, then the fixed Japanese line.
    EXPECT_THAT(op_.boxes.trail,
                ElementsAre("controls", "log:Normal mode - compression inactive\r\n", "disabled", "chooser",
                            "log:" + line105, "box:" + box107, "enabled", "log:ﾀﾞｳﾝﾛｰﾄできませんでした。\r\n"));
  }
  EXPECT_EQ(link_.connectionsCreated, 0);
}

TEST_F(FirmwareOperationTest, VersionShownInABoxThenLoggedThenConnected) {
  ChooseImage(MakeImage(1024, 10, 7));
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::RunStarted);
  EXPECT_THAT(Boxes(), ElementsAre("Firmware version 10.07 ."));
  const auto& trail = op_.boxes.trail;
  ASSERT_GE(trail.size(), 3u);
  EXPECT_EQ(trail[trail.size() - 3], "box:Firmware version 10.07 .");
  EXPECT_EQ(trail[trail.size() - 2], "log:Firmware version 10.07 .\r\n");
  EXPECT_EQ(trail.back(), "log:127.0.0.1 Connecting...\r\n");
  // The StatusQuery is out and the button stays disabled.
  EXPECT_THAT(FrameCodes(link_), ElementsAre(0x21));
  EXPECT_EQ(Enables().back(), false);
  EXPECT_TRUE(ops_.RunInProgress());
}

TEST_F(FirmwareOperationTest, ConnectionNotMadeAsksRetryThenShows109) {
  ChooseImage(MakeImage(2048, 1, 0));
  link_.connectResults = {false, false};
  op_.boxes.answers = {Answer::Yes, Answer::No};
  const PreparationResult r = Download();
  EXPECT_TRUE(r.started());
  EXPECT_EQ(ops_.Job().LastFailure().messageId, IDS_ERROR_CONNECT);
  EXPECT_EQ(ops_.Job().LastFailure().origin, FailureOrigin::Link);
  EXPECT_THAT(Boxes(), ElementsAre("Firmware version 1.00 .", "Retry?", "Retry?", "Connect error"));
  EXPECT_EQ(link_.connectAttempts, 2);
  EXPECT_EQ(Enables().back(), true);
  EXPECT_FALSE(ops_.RunInProgress());
}

// ---------------------------------------------------------------------------
// Whole runs

TEST_F(FirmwareOperationTest, BinaryImageRunLogIsExactInBothLanguages) {
  const Bytes image = MakeImage(150000, 1, 5);
  for (Language language : {Language::English, Language::Japanese}) {
    SetActiveLanguage(language);
    OperationsRig rig(settings_);
    ScriptedRunner& link = rig.link;
    ScriptedOperator& op = rig.op;
    LogPane& log = rig.log;
    DownloadOperations& ops = rig.ops;
    const std::string path = dir_ / "fw.img";
    WriteBytes(path, image);
    op.files.push_back(path);
    op.boxes.answers = {Answer::Ok};
    ScriptWholeDownload(link, image.size(), /*downloadMode=*/false, /*userModule=*/false);
    ASSERT_TRUE(ops.OnDownload().started());
    link.Run();
    EXPECT_EQ(link.BlockBytes(), image);
    EXPECT_EQ(ops.Job().LastOutcome(), RunOutcome::Finished);
    EXPECT_FALSE(ops.RunInProgress());
    const std::string expected =
        language == Language::English
            ? "Normal mode - compression inactive\r\n"
              "Downloading " + path + " \r\n"
              "Firmware version 1.05 .\r\n"
              "127.0.0.1 Connecting...\r\n"
              "Download mode...\r\n"
              "127.0.0.1 Connecting...\r\n"
              "Download start\r\n"
              "64K bytes sent\r\n"
              "64K bytes sent\r\n"
              "147KBytes downloaded\r\n"
              "Download finished\r\n"
            : "Normal mode - compression inactive\r\n"
              "ﾌｧｲﾙ " + path + " をﾀﾞｳﾝﾛｰﾄﾞします。\r\n"
              "ﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝは 1.05 です。\r\n"
              "127.0.0.1 に接続中...\r\n"
              "ﾀﾞｳﾝﾛｰﾄﾞﾓｰﾄﾞに切替中...\r\n"
              "127.0.0.1 に接続中...\r\n"
              "ﾀﾞｳﾝﾛｰﾄﾞ開始\r\n"
              "64Kﾊﾞｲﾄ送信\r\n"
              "64Kﾊﾞｲﾄ送信\r\n"
              "147Kﾊﾞｲﾄ送信\r\n"
              "ﾀﾞｳﾝﾛｰﾄﾞ完了\r\n";
    EXPECT_EQ(log.Text(), expected);
  }
}

TEST_F(FirmwareOperationTest, BinaryImageWithCompressTickedIsSentUnchanged) {
  const Bytes image = MakeImage(70000, 3, 1);
  ChooseImage(image);
  op_.controls.compress = true;
  op_.boxes.answers = {Answer::Ok};
  ScriptWholeDownload(link_, image.size(), true, false);
  ASSERT_TRUE(Download().started());
  link_.Run();
  EXPECT_EQ(link_.BlockBytes(), image);
  EXPECT_THAT(log_.Text(), StartsWith("Normal mode - compression active\r\n"));
  EXPECT_FALSE(FileExists(dir_ / "Inter.img"));
  EXPECT_TRUE(op_.addressPresets.empty());
}

TEST_F(FirmwareOperationTest, CompressedRunUsesTheConvertedHeaderAndSendsInterImgWithItsTrailer) {
  const Bytes image = MakeImage(140000, 4, 2);
  ChooseSRecords(image, 0x10000, "10000");
  op_.controls.compress = true;
  op_.boxes.answers = {Answer::Ok};
  const std::string inter = dir_ / "Inter.img";
  // The device's script needs the compressed size, known only afterwards:
  // answer generously and check what was asked.
  ScriptWholeDownload(link_, image.size(), true, false);
  const PreparationResult r = Download();
  ASSERT_TRUE(r.started()) << r.reason;
  link_.Run();

  const Bytes file = ReadBytes(inter);
  ASSERT_GT(file.size(), 4u);
  EXPECT_EQ(std::string(file.end() - 4, file.end()), "TOVA");
  EXPECT_LT(file.size(), image.size());
  // The device got "Inter.img" whole, trailer included, as announced.
  EXPECT_EQ(link_.BlockBytes(), file);
  ASSERT_GE(link_.Frames().size(), 2u);
  EXPECT_EQ(FrameValue(link_.Frames()[1]), file.size());
  // Its coded stream gives back the converted image.
  Bytes decoded;
  std::string error;
  ASSERT_TRUE(DecodeLh5(file.data(), file.size() - 4, std::nullopt, &decoded, &error)) << error;
  EXPECT_EQ(decoded, image);
  EXPECT_EQ(ReadBytes(dir_ / "fw.img"), image);
  // The version of the converted image, and the bare work path in the log.
  EXPECT_THAT(Boxes(), ElementsAre("Firmware version 4.02 .", "Permanent write! Continue?", "Download finished"));
  EXPECT_THAT(log_.Text(), HasSubstr("Downloading " + inter + " \r\n"));
  EXPECT_EQ(ops_.Job().LastOutcome(), RunOutcome::Finished);
}

TEST_F(FirmwareOperationTest, CompressedRunInTheWorkingDirectoryLogsTheBareName) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  ops_.SetWorkDirectory("");
  ChooseSRecords(MakeImage(5000, 1, 5), 0x0, "0");
  op_.controls.compress = true;
  link_.connectResults = {false};
  Download();
  const bool written = FileExists("Inter.img");
  std::filesystem::current_path(previous);
  EXPECT_TRUE(written);
  EXPECT_EQ(log_.Text(),
            "Normal mode - compression active\r\n"
            "Downloading Inter.img \r\n"
            "Firmware version 1.05 .\r\n"
            "Connect error: connection refused\r\n");
}

TEST_F(FirmwareOperationTest, CompressedRunOfAnUntaggedImageEndsSilentlyWithoutCoding) {
  ChooseSRecords(MakeImage(5000, 1, 5, /*tagged=*/false), 0x0, "0");
  op_.controls.compress = true;
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::NoTagBeforeCompress);
  EXPECT_TRUE(r.silent);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_FALSE(FileExists(dir_ / "Inter.img"));
  EXPECT_EQ(log_.Text(), "Normal mode - compression active\r\n");
  EXPECT_EQ(Enables().back(), true);
}

TEST_F(FirmwareOperationTest, KorvaneModeSendsTheConvertedImageUncompressed) {
  settings_.Preset(kSettingsSection, setting_key::kKorvane, "1");
  const Bytes image = MakeImage(66000, 1, 5);
  ChooseSRecords(image, 0x10000, "10000");
  op_.controls.compress = true;
  op_.boxes.answers = {Answer::Ok};
  ScriptWholeDownload(link_, image.size(), true, false);
  ASSERT_TRUE(Download().started());
  link_.Run();
  EXPECT_EQ(link_.BlockBytes(), image);
  EXPECT_FALSE(FileExists(dir_ / "Inter.img"));
  EXPECT_THAT(log_.Text(), StartsWith("Korvane mode - no compression\r\nDownloading " + (dir_ / "fw.img") + " \r\n"));
}

TEST_F(FirmwareOperationTest, InterImgThatCannotBeCreatedIsReportedAndNothingIsSent) {
  ops_.SetWorkDirectory(dir_ / "no-such-folder");
  ChooseSRecords(MakeImage(5000, 1, 5), 0x0, "0");
  op_.controls.compress = true;
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::FileError);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_THAT(Boxes()[0], HasSubstr("Inter.img"));
  EXPECT_EQ(link_.connectionsCreated, 0);
  EXPECT_EQ(Enables().back(), true);
}

TEST_F(FirmwareOperationTest, InterImgThatIsADeviceIsRefusedAndNeverSent) {
  // "Inter.img" naming a device (here one where every write fails): it is
  // refused before anything is written, and nothing goes to the device.
#ifdef _WIN32
  GTEST_SKIP() << "a file name cannot stand for a device on Windows";
#else
  ASSERT_EQ(::symlink("/dev/full", (dir_ / "Inter.img").c_str()), 0);
#endif
  ChooseSRecords(MakeImage(50000, 1, 5), 0x0, "0");
  op_.controls.compress = true;
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::FileError);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_THAT(Boxes()[0], HasSubstr("not a regular file"));
  EXPECT_EQ(link_.connectionsCreated, 0);
  EXPECT_EQ(Enables().back(), true);
}

// ---------------------------------------------------------------------------
// Runs in progress

TEST_F(FirmwareOperationTest, DownloadDuringARunIsRefusedAndTheRunGoesOn) {
  const Bytes image = MakeImage(3000, 1, 5);
  ChooseImage(image);
  op_.boxes.answers = {Answer::Ok};
  ScriptWholeDownload(link_, image.size(), true, false);
  ASSERT_TRUE(ops_.OnDownload().started());
  link_.DeliverOne();  // connected: the query is out
  const std::size_t trailBefore = op_.boxes.trail.size();
  const PreparationResult again = ops_.OnDownload();
  EXPECT_EQ(again.end, PreparationEnd::RunInProgress);
  EXPECT_EQ(op_.boxes.trail.size(), trailBefore);  // nothing read, logged or shown
  link_.Run();
  EXPECT_EQ(link_.BlockBytes(), image);
  EXPECT_EQ(ops_.Job().LastOutcome(), RunOutcome::Finished);
}

}  // namespace
}  // namespace mervix
