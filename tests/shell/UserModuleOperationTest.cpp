// The popup menu's user module commands over the scripted device link: the
// choice of file and address with their settings, the download with its
// silent ends, the sector request, the second download of "inter.img", the
// refusal during a run, and the whole log in both languages.
#include "operations/MemorySettingsStore.h"
#include "resources/MessageTable.h"
#include "tests/shell/FlowTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace mervix::testing;

class UserModuleOperationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ops_.SetRunner(link_);
    link_.Attach(ops_.Job());
    SetActiveLanguage(Language::English);
    ops_.SetWorkDirectory(dir_.path());
  }
  void TearDown() override { SetActiveLanguage(Language::English); }

  // Records the module file and the address through commands 32771, 32772.
  void Choose(const std::string& path, const std::string& address) {
    op_.files.push_back(path);
    ASSERT_EQ(ops_.OnUserModuleCommand(kCommandUserModule).end, PreparationEnd::Recorded);
    op_.addresses.push_back(address);
    ASSERT_EQ(ops_.OnUserModuleCommand(kCommandModuleAddress).end, PreparationEnd::Recorded);
  }
  // An S-record module of |image| at |address|.
  std::string WriteModule(const Bytes& image, std::uint32_t address, const std::string& name = "app.mot") {
    const std::string path = dir_ / name;
    WriteText(path, SRecords(address, image));
    return path;
  }
  std::vector<std::string> Boxes() const { return op_.boxes.BoxTexts(); }
  // Command 32773, then the event loop until the run has ended.
  PreparationResult Download() {
    const PreparationResult r = ops_.OnUserModuleCommand(kCommandUserModuleDownload);
    link_.Run();
    return r;
  }

  TempFolder dir_;
  ScriptedOperator op_;
  ScriptedRunner link_{op_.boxes};
  LogPane log_{op_.boxes.LogRecorder()};
  MemorySettingsStore settings_;
  DownloadOperations ops_{op_, log_, settings_};
};

// ---------------------------------------------------------------------------
// 32771 and 32772

TEST_F(UserModuleOperationTest, ChoosingTheFileRecordsNameAndExtensionAndCancelChangesNothing) {
  op_.files = {std::string("/mod.d/app.mot"), std::nullopt, std::string("/mod.d/noext")};
  ops_.OnUserModuleCommand(kCommandUserModule);
  EXPECT_EQ(ops_.UserModuleName(), "/mod.d/app.mot");
  EXPECT_EQ(ops_.UserModuleExtension(), "mot");
  EXPECT_EQ(ops_.OnUserModuleCommand(kCommandUserModule).end, PreparationEnd::ChoiceCancelled);
  EXPECT_EQ(ops_.UserModuleName(), "/mod.d/app.mot");
  ops_.OnUserModuleCommand(kCommandUserModule);
  EXPECT_EQ(ops_.UserModuleExtension(), "");  // the dot of the folder does not count
  EXPECT_THAT(settings_.Writes(), ElementsAre("User Module Name=/mod.d/app.mot", "User Module Extension=mot",
                                              "User Module Name=/mod.d/noext", "User Module Extension="));
  // Neither touches the log or the button.
  EXPECT_TRUE(log_.Text().empty());
  EXPECT_TRUE(op_.boxes.enables.empty());
}

TEST_F(UserModuleOperationTest, ModuleAddressIsPresetStoredAsTypedAndCancelWritesNothing) {
  settings_.SetSettingText(kSettingsSection, setting_key::kUserBaseAddress, "1F000");
  ops_.LoadUserModuleSettings();
  op_.addresses = {std::nullopt, std::string("not hex")};
  EXPECT_EQ(ops_.OnUserModuleCommand(kCommandModuleAddress).end, PreparationEnd::ChoiceCancelled);
  EXPECT_EQ(settings_.Writes().size(), 1u);
  ops_.OnUserModuleCommand(kCommandModuleAddress);
  EXPECT_THAT(op_.addressPresets, ElementsAre("1F000", "1F000"));
  EXPECT_EQ(ops_.UserBaseAddress(), "not hex");
  EXPECT_EQ(settings_.GetSettingText(kSettingsSection, setting_key::kUserBaseAddress, ""), "not hex");
}

TEST_F(UserModuleOperationTest, LoadedSettingsAreUsedAndUnknownCommandsDoNothing) {
  settings_.SetSettingText(kSettingsSection, setting_key::kUserModuleName, "/m/x.bin");
  settings_.SetSettingText(kSettingsSection, setting_key::kUserModuleExtension, "bin");
  settings_.SetSettingText(kSettingsSection, setting_key::kUserBaseAddress, "20000");
  ops_.LoadUserModuleSettings();
  EXPECT_EQ(ops_.UserModuleName(), "/m/x.bin");
  EXPECT_EQ(ops_.UserModuleExtension(), "bin");
  EXPECT_EQ(ops_.UserBaseAddress(), "20000");
  EXPECT_EQ(ops_.OnUserModuleCommand(32774).end, PreparationEnd::UnknownCommand);
  EXPECT_TRUE(op_.boxes.trail.empty());
}

// ---------------------------------------------------------------------------
// 32773: the checks before the file

TEST_F(UserModuleOperationTest, WithoutModuleOrAddressNothingHappensAtAll) {
  log_.AppendLogLine("kept");
  op_.boxes.trail.clear();
  EXPECT_EQ(Download().end, PreparationEnd::NothingToDo);
  op_.files.push_back(WriteModule(MakeImage(2048, 1, 0), 0x20000));
  ops_.OnUserModuleCommand(kCommandUserModule);
  op_.boxes.trail.clear();
  EXPECT_EQ(Download().end, PreparationEnd::NothingToDo);  // still no address
  EXPECT_TRUE(op_.boxes.trail.empty());
  EXPECT_EQ(op_.readControlsCalls, 0);
  EXPECT_EQ(log_.Text(), "kept\r\n");
}

TEST_F(UserModuleOperationTest, EmptyHostAndPortZeroLeaveTheLogEmpty) {
  Choose(WriteModule(MakeImage(2048, 1, 0), 0x20000), "20000");
  log_.AppendLogLine("old");
  op_.controls.host = "";
  EXPECT_EQ(Download().end, PreparationEnd::HostEmpty);
  EXPECT_EQ(log_.Text(), "");
  op_.controls = {"127.0.0.1", 0, false};
  EXPECT_EQ(Download().end, PreparationEnd::PortZero);
  EXPECT_THAT(Boxes(), ElementsAre("Host name error", "Bad port number"));
  EXPECT_THAT(op_.boxes.enables, ElementsAre(false, true, false, true));
  EXPECT_EQ(link_.connectionsCreated, 0);
}

// ---------------------------------------------------------------------------
// 32773: S-record modules

TEST_F(UserModuleOperationTest, SRecordModuleAt20000IsConvertedAndTheSectorRequestCarriesTheAddress) {
  const Bytes image = MakeImage(70000, 1, 0);
  const std::string chosen = WriteModule(image, 0x20000);
  Choose(chosen, "20000");
  op_.boxes.answers = {Answer::Ok};
  ScriptWholeDownload(link_, image.size(), true, true);
  const PreparationResult r = Download();
  ASSERT_TRUE(r.started()) << r.reason;
  link_.Run();
  EXPECT_EQ(ReadBytes(dir_ / "inter.img"), image);
  EXPECT_EQ(link_.BlockBytes(), image);
  EXPECT_THAT(FrameCodes(link_), ElementsAre(0x21, 0x23, 0x22));
  EXPECT_EQ(FrameValue(link_.Frames()[1]), 0x20000u);
  EXPECT_EQ(FrameValue(link_.Frames()[2]), image.size());
  EXPECT_EQ(ops_.LowestAddress(), 0x20000u);
  // The field holds the converted image; the setting keeps the chosen path.
  EXPECT_EQ(ops_.UserModuleName(), dir_ / "inter.img");
  EXPECT_EQ(settings_.GetSettingText(kSettingsSection, setting_key::kUserModuleName, ""), chosen);
  // No version box: only the confirmation and the end.
  EXPECT_THAT(Boxes(), ElementsAre("Permanent write! Continue?", "Download finished"));
  EXPECT_EQ(ops_.Job().LastOutcome(), RunOutcome::Finished);
}

TEST_F(UserModuleOperationTest, WholeLogOfAModuleRunInBothLanguages) {
  const Bytes image = MakeImage(140000, 1, 0);
  const std::string chosen = WriteModule(image, 0x20000);
  for (Language language : {Language::English, Language::Japanese}) {
    SetActiveLanguage(language);
    OperationsRig rig(settings_);
    ScriptedRunner& link = rig.link;
    ScriptedOperator& op = rig.op;
    LogPane& log = rig.log;
    DownloadOperations& ops = rig.ops;
    ops.SetWorkDirectory(dir_.path());
    op.files.push_back(chosen);
    op.addresses.push_back(std::string("20000"));
    ops.OnUserModuleCommand(kCommandUserModule);
    ops.OnUserModuleCommand(kCommandModuleAddress);
    op.boxes.answers = {Answer::Ok};
    ScriptWholeDownload(link, image.size(), false, true);
    ASSERT_TRUE(ops.OnUserModuleCommand(kCommandUserModuleDownload).started());
    link.Run();
    const std::string expected = language == Language::English
                                     ? "127.0.0.1 Connecting...\r\n"
                                       "Download mode...\r\n"
                                       "127.0.0.1 Connecting...\r\n"
                                       "Specifying special sector for user module\r\n"
                                       "Download start\r\n"
                                       "64K bytes sent\r\n"
                                       "64K bytes sent\r\n"
                                       "137KBytes downloaded\r\n"
                                       "Download finished\r\n"
                                     : "127.0.0.1 に接続中...\r\n"
                                       "ﾀﾞｳﾝﾛｰﾄﾞﾓｰﾄﾞに切替中...\r\n"
                                       "127.0.0.1 に接続中...\r\n"
                                       "Specifying special sector for user module\r\n"
                                       "ﾀﾞｳﾝﾛｰﾄﾞ開始\r\n"
                                       "64Kﾊﾞｲﾄ送信\r\n"
                                       "64Kﾊﾞｲﾄ送信\r\n"
                                       "137Kﾊﾞｲﾄ送信\r\n"
                                       "ﾀﾞｳﾝﾛｰﾄﾞ完了\r\n";
    EXPECT_EQ(log.Text(), expected);
    EXPECT_EQ(link.BlockBytes(), image);
  }
}

TEST_F(UserModuleOperationTest, AddressTextsAreParsedWithoutPrefixAndOnlyFifteenCharactersCount) {
  const Bytes image = MakeImage(2048, 1, 0);
  const std::string chosen = WriteModule(image, 0x20000);
  struct Case {
    const char* address;
    bool proceeds;
  } cases[] = {
      {"0x20000", false},          // parses as 0: silent end
      {"020000", true},            // a leading zero is fine
      {"0000000000200009", true},  // 16 characters: the last one does not count
      {"20000 ", true},            // stops at the blank
  };
  for (const Case& c : cases) {
    OperationsRig rig(settings_);
    ScriptedRunner& link = rig.link;
    ScriptedOperator& op = rig.op;
    DownloadOperations& ops = rig.ops;
    ops.SetWorkDirectory(dir_.path());
    op.files.push_back(chosen);
    op.addresses.push_back(std::string(c.address));
    ops.OnUserModuleCommand(kCommandUserModule);
    ops.OnUserModuleCommand(kCommandModuleAddress);
    op.boxes.answers = {Answer::Ok};
    ScriptWholeDownload(link, image.size(), true, true);
    const PreparationResult r = ops.OnUserModuleCommand(kCommandUserModuleDownload);
    link.Run();
    if (c.proceeds) {
      EXPECT_TRUE(r.started()) << c.address << ": " << r.reason;
      ASSERT_GE(link.Frames().size(), 2u) << c.address;
      EXPECT_EQ(FrameValue(link.Frames()[1]), 0x20000u) << c.address;
      EXPECT_EQ(link.BlockBytes(), image) << c.address;
    } else {
      EXPECT_EQ(r.end, PreparationEnd::AddressMismatch) << c.address;
      EXPECT_TRUE(r.silent);
      EXPECT_TRUE(op.boxes.boxes.empty());
      EXPECT_EQ(link.connectionsCreated, 0);
      EXPECT_EQ(ops.UserModuleName(), dir_ / "inter.img");
      EXPECT_EQ(op.boxes.enables.back(), true);
    }
  }
}

TEST_F(UserModuleOperationTest, SecondDownloadSendsInterImgDirectly) {
  const Bytes image = MakeImage(3000, 1, 0);
  const std::string chosen = WriteModule(image, 0x20000);
  Choose(chosen, "20000");
  op_.boxes.answers = {Answer::Ok, Answer::Ok};
  ScriptWholeDownload(link_, image.size(), true, true);
  ASSERT_TRUE(Download().started());
  link_.Run();
  // The S-record file is gone and the address no longer matches: neither
  // matters, since "inter.img" is sent as it is.
  std::remove(chosen.c_str());
  op_.addresses.push_back(std::string("30000"));
  ops_.OnUserModuleCommand(kCommandModuleAddress);
  ScriptWholeDownload(link_, image.size(), true, true);
  const PreparationResult r = Download();
  ASSERT_TRUE(r.started()) << r.reason;
  link_.Run();
  Bytes twice = image;
  twice.insert(twice.end(), image.begin(), image.end());
  EXPECT_EQ(link_.BlockBytes(), twice);
  EXPECT_EQ(FrameValue(link_.Frames()[4]), 0x30000u);  // the sector request of the second run
  EXPECT_EQ(ops_.Job().LastOutcome(), RunOutcome::Finished);
}

TEST_F(UserModuleOperationTest, ConversionFailuresEndSilentlyAndEmptyTheName) {
  // A blank line after the last record, and a binary whose first byte is 'S'.
  const std::string blank = dir_ / "blank.mot";
  WriteText(blank, SRecords(0x20000, MakeImage(100, 1, 0)) + "\r\n");
  Bytes binary = MakeImage(4096, 1, 0);
  binary[0] = 'S';
  const std::string sbin = dir_ / "s.bin";
  WriteBytes(sbin, binary);
  for (const std::string& path : {blank, sbin}) {
    Choose(path, "20000");
    const PreparationResult r = Download();
    EXPECT_EQ(r.end, PreparationEnd::ConversionFailed) << path;
    EXPECT_TRUE(r.silent);
    EXPECT_EQ(ops_.UserModuleName(), "") << path;
    EXPECT_EQ(settings_.GetSettingText(kSettingsSection, setting_key::kUserModuleName, ""), path);
    // Without a name the next 32773 does nothing.
    EXPECT_EQ(Download().end, PreparationEnd::NothingToDo);
  }
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(link_.connectionsCreated, 0);
  EXPECT_EQ(op_.boxes.enables.back(), true);
}

// ---------------------------------------------------------------------------
// 32773: binary modules and files

TEST_F(UserModuleOperationTest, BinaryModuleWithoutTagEndsSilently) {
  const std::string path = dir_ / "untagged.bin";
  WriteBytes(path, MakeImage(4096, 1, 0, /*tagged=*/false));
  Choose(path, "20000");
  const PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::MissingTag);
  EXPECT_TRUE(r.silent);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(op_.boxes.enables.back(), true);
  EXPECT_EQ(ops_.UserModuleName(), path);
}

TEST_F(UserModuleOperationTest, BinaryModuleIsSentUnconvertedWithTheSectorRequest) {
  const Bytes image = MakeImage(5000, 1, 0);
  const std::string path = dir_ / "mod.bin";
  WriteBytes(path, image);
  Choose(path, "1F000");
  op_.boxes.answers = {Answer::Ok};
  ScriptWholeDownload(link_, image.size(), true, true);
  ASSERT_TRUE(Download().started());
  link_.Run();
  EXPECT_EQ(link_.BlockBytes(), image);
  EXPECT_EQ(FrameValue(link_.Frames()[1]), 0x1F000u);
  EXPECT_FALSE(FileExists(dir_ / "inter.img"));
}

TEST_F(UserModuleOperationTest, MissingOrEmptyModuleIsReportedAndNothingIsCreated) {
  const std::string missing = dir_ / "missing.mot";
  Choose(missing, "20000");
  PreparationResult r = Download();
  EXPECT_EQ(r.end, PreparationEnd::FileError);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_THAT(Boxes()[0], HasSubstr(missing));
  EXPECT_FALSE(FileExists(missing));
  EXPECT_EQ(ops_.UserModuleName(), missing);  // kept for another try

  const std::string empty = dir_ / "empty.bin";
  WriteBytes(empty, {});
  Choose(empty, "20000");
  r = Download();
  EXPECT_EQ(r.end, PreparationEnd::EmptyImage);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1], "The image file is empty: nothing to download");
  EXPECT_THAT(op_.details[1], HasSubstr(empty)) << "the file under the box";
  EXPECT_EQ(link_.connectionsCreated, 0);
  EXPECT_THAT(op_.boxes.enables, ElementsAre(false, true, false, true));
}

// ---------------------------------------------------------------------------
// Runs in progress, and the flag

TEST_F(UserModuleOperationTest, DownloadCommandDuringARunIsRefusedAndTheRunGoesOn) {
  const Bytes image = MakeImage(70000, 1, 0);
  Choose(WriteModule(image, 0x20000), "20000");
  op_.boxes.answers = {Answer::Ok};
  ScriptWholeDownload(link_, image.size(), true, true);
  // While the confirmation is open, the menu's commands come in (a nested
  // event loop); while the run waits for a response, too.
  std::vector<PreparationEnd> during;
  op_.boxes.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.buttons != ButtonSet::OkCancel) return;
    during.push_back(ops_.OnUserModuleCommand(kCommandUserModuleDownload).end);
    op_.addresses.push_back(std::string("40000"));
    during.push_back(ops_.OnUserModuleCommand(kCommandModuleAddress).end);
    op_.files.push_back(std::string("/elsewhere/other.bin"));
    during.push_back(ops_.OnUserModuleCommand(kCommandUserModule).end);
  };
  ASSERT_TRUE(ops_.OnUserModuleCommand(kCommandUserModuleDownload).started());
  EXPECT_EQ(ops_.OnUserModuleCommand(kCommandUserModuleDownload).end, PreparationEnd::RunInProgress);
  EXPECT_EQ(ops_.OnDownload().end, PreparationEnd::RunInProgress);
  link_.Run();
  EXPECT_THAT(during, ElementsAre(PreparationEnd::RunInProgress, PreparationEnd::Recorded, PreparationEnd::Recorded));
  // The run kept its own image and address.
  EXPECT_EQ(link_.BlockBytes(), image);
  EXPECT_EQ(FrameValue(link_.Frames()[1]), 0x20000u);
  EXPECT_EQ(ops_.Job().LastOutcome(), RunOutcome::Finished);
  EXPECT_EQ(link_.connectionsCreated, 1);
  EXPECT_EQ(ops_.UserBaseAddress(), "40000");
}

TEST_F(UserModuleOperationTest, CancelledModuleRunThenFirmwareRunAsksForTheSizeDirectly) {
  const Bytes image = MakeImage(3000, 1, 0);
  Choose(WriteModule(image, 0x20000), "20000");
  link_.ThenFrame(StatusFrame(2));
  link_.ThenFrame(StatusFrame(3));
  op_.boxes.answers = {Answer::Cancel, Answer::Ok};
  ASSERT_TRUE(Download().started());
  link_.Run();
  EXPECT_EQ(ops_.Job().LastOutcome(), RunOutcome::Cancelled);
  EXPECT_THAT(log_.Text(), HasSubstr("Download cancelled\r\n"));
  EXPECT_FALSE(ops_.RunInProgress());

  const std::string fw = dir_ / "fw.img";
  WriteBytes(fw, image);
  op_.files.push_back(fw);
  ScriptWholeDownload(link_, image.size(), true, false);
  ASSERT_TRUE(ops_.OnDownload().started());
  link_.Run();
  // First run: status, sector. Second run: status, then the size at once.
  EXPECT_THAT(FrameCodes(link_), ElementsAre(0x21, 0x23, 0x21, 0x22));
  EXPECT_EQ(link_.BlockBytes(), image);
  EXPECT_FALSE(ops_.LastPrepared().userModule);
}

}  // namespace
}  // namespace mervix
