// The download operations through the window, against the device simulator
// on 127.0.0.1: the seam answers the file chooser, the Base Address dialog
// and the boxes; the simulator tells what the device received.
#include "ShellTestSupport.h"

#include "tests/support/DevsimProcess.h"
#include "tests/operations/OperationsTestSupport.h"

namespace mervix {
namespace {

using mervix::testing::Bytes;
using mervix::testing::MakeImage;
using mervix::testing::ReadBytes;
using mervix::testing::SRecords;

class WindowOperationsTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    workDirectory_ = dir_.path();
    testing::WindowTest::SetUp();
  }

  void StartDevice(const std::vector<std::string>& options) {
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error, /*decode=*/true)) << error;
    testing::AimAt(Window(), sim_.Port());
  }
  QPushButton* Button() { return testing::DownloadButton(Window()); }
  // Waits for the run to end; false when it did not within the limit.
  bool RunEnds() { return testing::RunEnds(Window()); }

  mervix::testing::TempFolder dir_;
  mervix::testing::DevsimProcess sim_;
};

TEST_F(WindowOperationsTest, SRecordFirmwareIsConvertedAndSentWithTheBaseAddressStored) {
  const Bytes image = MakeImage(100000, 1, 5);
  const std::string mot = dir_ / "Router.MOT";
  mervix::testing::WriteText(mot, SRecords(0x10000, image));
  StartDevice({"--download-mode"});
  ModalSeam::setNextFileName(QString::fromStdString(mot));
  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("10000")));
  for (int i = 0; i < 3; ++i) ModalSeam::setNextAnswer(Answer::Ok);  // version, confirmation, finished
  Button()->click();
  ASSERT_TRUE(RunEnds()) << window_->Log().Text();

  EXPECT_EQ(ModalSeam::unansweredCount(), 0);
  EXPECT_EQ(testing::BoxTexts(), (std::vector<std::string>{"Firmware version 1.05 .", "Permanent write! Continue?",
                                                            "Download finished"}));
  EXPECT_EQ(window_->Log().Text(),
            "Normal mode - compression inactive\r\n"
            "Downloading " + testing::Shown(dir_ / "router.img") + " \r\n"
            "Firmware version 1.05 .\r\n"
            "127.0.0.1 Connecting...\r\n"
            "Download start\r\n"
            "64K bytes sent\r\n"
            "98KBytes downloaded\r\n"
            "Download finished\r\n");
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image);
  EXPECT_EQ(ReadBytes(dir_ / "router.img"), image);
  // The dialog opened empty the first time; the text typed is stored.
  const auto dialogs = ModalSeam::recordsOf(ModalRecord::Kind::BaseAddress);
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0].text, "");
  EXPECT_EQ(store_.GetSettingText(kSettingsSection, setting_key::kBaseAddress, ""), "10000");
}

TEST_F(WindowOperationsTest, CompressedRunSendsInterImgThatDecodesToTheConvertedImage) {
  const Bytes image = MakeImage(150000, 2, 10);
  const std::string mot = dir_ / "fw.mot";
  mervix::testing::WriteText(mot, SRecords(0x0, image));
  StartDevice({});  // with the mode switch and the reconnect
  testing::CompressBox(Window())->click();  // "Compress" ticked and stored
  ModalSeam::setNextFileName(QString::fromStdString(mot));
  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("0")));
  for (int i = 0; i < 3; ++i) ModalSeam::setNextAnswer(Answer::Ok);
  Button()->click();
  ASSERT_TRUE(RunEnds()) << window_->Log().Text();
  EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << window_->Log().Text();

  const Bytes inter = ReadBytes(dir_ / "Inter.img");
  ASSERT_GT(inter.size(), 4u);
  EXPECT_EQ(std::string(inter.end() - 4, inter.end()), "TOVA");
  EXPECT_EQ(window_->Log().Text(),
            "Normal mode - compression active\r\n"
            "Downloading " + (dir_ / "Inter.img") + " \r\n"
            "Firmware version 2.10 .\r\n"
            "127.0.0.1 Connecting...\r\n"
            "Download mode...\r\n"
            "127.0.0.1 Connecting...\r\n"
            "Download start\r\n"
            "64K bytes sent\r\n" +
                std::to_string((inter.size() + 1023) / 1024) + "KBytes downloaded\r\n"
            "Download finished\r\n");
  sim_.Stop();
  const auto record = sim_.Record();
  EXPECT_EQ(record.Number("announced_size"), static_cast<long long>(inter.size()));
  EXPECT_EQ(sim_.ReceivedImage(), inter);
  EXPECT_EQ(sim_.DecodedImage(), image) << record.Text("decode_error");
  EXPECT_EQ(store_.GetSettingInt(kSettingsSection, setting_key::kCompress, 0), 1);
}

TEST_F(WindowOperationsTest, SRecordUserModuleAt20000ThenInterImgSentAgainDirectly) {
  const Bytes image = MakeImage(70000, 1, 0);
  const std::string mot = dir_ / "app.mot";
  mervix::testing::WriteText(mot, SRecords(0x20000, image));
  StartDevice({"--download-mode"});
  ModalSeam::setNextFileName(QString::fromStdString(mot));
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE);
  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("20000")));
  window_->OnUserModuleCommand(CDownloadDlg::ID_MODULE_ADDRESS);

  for (int run = 1; run <= 2; ++run) {
    ModalSeam::reset();
    ModalSeam::setNextAnswer(Answer::Ok);  // confirmation
    ModalSeam::setNextAnswer(Answer::Ok);  // finished
    window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE_DOWNLOAD);
    EXPECT_FALSE(Button()->isEnabled());
    ASSERT_TRUE(RunEnds()) << window_->Log().Text();
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << run;
    EXPECT_EQ(testing::BoxTexts(), (std::vector<std::string>{"Permanent write! Continue?", "Download finished"}));
    EXPECT_EQ(window_->Log().Text(),
              "127.0.0.1 Connecting...\r\n"
              "Specifying special sector for user module\r\n"
              "Download start\r\n"
              "64K bytes sent\r\n"
              "69KBytes downloaded\r\n"
              "Download finished\r\n");
    EXPECT_EQ(window_->UserModuleName(), dir_ / "inter.img");
    // The second run needs no S-record file: "inter.img" goes as it is.
    std::remove(mot.c_str());
  }
  // The stored name is still the chosen file.
  EXPECT_EQ(store_.GetSettingText(kSettingsSection, setting_key::kUserModuleName, ""), testing::Shown(mot));
  sim_.Stop();
  const auto record = sim_.Record();
  EXPECT_EQ(record.Number("downloads_completed"), 2);
  EXPECT_EQ(record.Number("sector_requests"), 2);
  EXPECT_EQ(record.Number("sector_address"), 0x20000);
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

TEST_F(WindowOperationsTest, UserModuleAtAPrefixedAddressEndsSilentlyWithTheButtonEnabled) {
  const std::string mot = dir_ / "app.mot";
  mervix::testing::WriteText(mot, SRecords(0x20000, MakeImage(3000, 1, 0)));
  StartDevice({"--download-mode"});
  ModalSeam::setNextFileName(QString::fromStdString(mot));
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE);
  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("0x20000")));
  window_->OnUserModuleCommand(CDownloadDlg::ID_MODULE_ADDRESS);
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE_DOWNLOAD);
  EXPECT_TRUE(testing::BoxTexts().empty());
  EXPECT_TRUE(Button()->isEnabled());
  EXPECT_EQ(window_->Log().Text(), "");
  sim_.Stop();
  EXPECT_EQ(sim_.Record().Number("connections", 0), 0);
}

}  // namespace
}  // namespace mervix
