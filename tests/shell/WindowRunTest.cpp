// Runs of the window against the device simulator on 127.0.0.1: a whole
// download through the window's socket adapter, and closing the window while
// a run waits for a silent device.
#include "ShellTestSupport.h"

#include "shell/DownloadDlg.h"
#include "shell/QtSettingsStore.h"
#include "tests/e2e/DevsimProcess.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>

namespace mervix {
namespace {

using testing::WaitUntil;

class WindowRunTest : public testing::ShellTest {
 protected:
  void SetUp() override {
    testing::ShellTest::SetUp();
    ASSERT_TRUE(files_.isValid());
    window_ = std::make_unique<CDownloadDlg>(store_);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  void TearDown() override {
    window_.reset();
    testing::ShellTest::TearDown();
  }

  QString WriteImage(std::size_t size) {
    std::mt19937 random(static_cast<unsigned>(size));
    image_.resize(size);
    for (auto& b : image_) b = static_cast<std::uint8_t>(random());
    // An image header: the tag "REV-" at offset 8, version 1.05.
    if (size >= 14) {
      std::copy_n("REV-", 4, image_.begin() + 8);
      image_[12] = 1;
      image_[13] = 5;
    }
    const QString path = files_.filePath(QStringLiteral("device.img"));
    std::ofstream(path.toStdString(), std::ios::binary)
        .write(reinterpret_cast<const char*>(image_.data()), static_cast<std::streamsize>(size));
    return path;
  }

  void StartRun(std::uint16_t port, const QString& image) {
    window_->findChild<QLineEdit*>(QStringLiteral("1000"))->setText(QStringLiteral("127.0.0.1"));
    window_->findChild<QLineEdit*>(QStringLiteral("1004"))->setText(QString::number(port));
    ModalSeam::setNextFileName(image);
    window_->findChild<QPushButton*>(QStringLiteral("1001"))->click();
  }

  bool ButtonEnabled() { return window_->findChild<QPushButton*>(QStringLiteral("1001"))->isEnabled(); }

  QtSettingsStore store_;
  QTemporaryDir files_;
  std::vector<std::uint8_t> image_;
  std::unique_ptr<CDownloadDlg> window_;
  mervix::testing::DevsimProcess sim_;
};

TEST_F(WindowRunTest, AWholeDownloadWithTheModeSwitchGoesThroughTheWindow) {
  std::string error;
  ASSERT_TRUE(sim_.Start({}, &error)) << error;
  const QString image = WriteImage(200 * 1024 + 17);
  ModalSeam::setNextAnswer(Answer::Ok);  // the version
  ModalSeam::setNextAnswer(Answer::Ok);  // "Permanent write! Continue?"
  ModalSeam::setNextAnswer(Answer::Ok);  // "Download finished"
  StartRun(sim_.Port(), image);
  EXPECT_FALSE(ButtonEnabled()) << "the run holds the button";
  ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }, 20000)) << window_->Log().Text();

  EXPECT_EQ(window_->Session().LastOutcome(), RunOutcome::Finished) << window_->Log().Text();
  EXPECT_EQ(testing::BoxTexts(), (std::vector<std::string>{"Firmware version 1.05 .", "Permanent write! Continue?",
                                                            "Download finished"}));
  EXPECT_EQ(ModalSeam::unansweredCount(), 0);
  const std::string& log = window_->Log().Text();
  EXPECT_NE(log.find("127.0.0.1 Connecting...\r\nDownload mode...\r\n127.0.0.1 Connecting...\r\nDownload start\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Download finished\r\n"), std::string::npos) << log;
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image_);
  const auto record = sim_.Record();
  EXPECT_EQ(record.Number("connections"), 2);
  EXPECT_EQ(record.Number("downloads_completed"), 1) << sim_.Log();
}

TEST_F(WindowRunTest, TheUserModuleCommandSendsTheChosenModuleToTheSpecialSectorAtTheStoredAddress) {
  std::string error;
  ASSERT_TRUE(sim_.Start({"--download-mode"}, &error)) << error;
  const QString module = WriteImage(3000);
  ModalSeam::setNextFileName(module);
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE);
  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("1F0000")));
  window_->OnUserModuleCommand(CDownloadDlg::ID_MODULE_ADDRESS);

  window_->findChild<QLineEdit*>(QStringLiteral("1000"))->setText(QStringLiteral("127.0.0.1"));
  window_->findChild<QLineEdit*>(QStringLiteral("1004"))->setText(QString::number(sim_.Port()));
  ModalSeam::setNextAnswer(Answer::Ok);  // "Permanent write! Continue?"
  ModalSeam::setNextAnswer(Answer::Ok);  // "Download finished"
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE_DOWNLOAD);
  EXPECT_FALSE(ButtonEnabled());
  // While it runs, a second start is refused and asks nothing.
  const std::size_t before = ModalSeam::records().size();
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE_DOWNLOAD);
  EXPECT_EQ(ModalSeam::records().size(), before);
  ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }, 20000)) << window_->Log().Text();

  EXPECT_EQ(window_->Session().LastOutcome(), RunOutcome::Finished) << window_->Log().Text();
  EXPECT_NE(window_->Log().Text().find("Specifying special sector for user module\r\n"), std::string::npos);
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image_);
  const auto record = sim_.Record();
  EXPECT_EQ(record.Number("sector_requests"), 1);
  EXPECT_EQ(record.Number("sector_address"), 0x1F0000) << record.Text("sector_address");
}

TEST_F(WindowRunTest, ClosingDuringARunDrainsAndClosesTheConnectionWithinTheBound) {
  std::string error;
  ASSERT_TRUE(sim_.Start({"--download-mode", "--fault", "status=silent"}, &error)) << error;
  ModalSeam::setNextAnswer(Answer::Ok);  // the version
  StartRun(sim_.Port(), WriteImage(4096));
  ASSERT_TRUE(window_->Session().HasConnection());
  QTest::qWait(200);  // the query is out; the device says nothing

  QElapsedTimer timer;
  timer.start();
  window_->close();
  const qint64 elapsed = timer.elapsed();
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(window_->result(), QDialog::Rejected);
  EXPECT_FALSE(window_->Session().HasConnection());
  EXPECT_EQ(window_->Session().LastOutcome(), RunOutcome::Closed);
  EXPECT_LT(elapsed, ProtocolSession::kShutdownDrainLimitMs + 1500);
  EXPECT_EQ(testing::BoxTexts(), std::vector<std::string>{"Firmware version 1.05 ."}) << "closing shows nothing";

  // The device saw one connection with one query, closed by the tool.
  sim_.Stop();
  const auto record = sim_.Record();
  EXPECT_EQ(record.Number("connections"), 1);
  EXPECT_EQ(record.Number("status_queries"), 1);
}

TEST_F(WindowRunTest, ACloseRequestedWhileAHandlerRunsWaitsForItToReturn) {
  std::string error;
  ASSERT_TRUE(sim_.Start({"--download-mode", "--fault", "size=silent"}, &error)) << error;
  // The close arrives while the confirmation is up inside the handler of
  // the status reply; carried out at once it would pull the connection
  // from under the handler that is about to send the size request.
  // The first request is the version box; the hook for the second one, the
  // confirmation, is set from there.
  ModalSeam::setNextRequestHook([&] { ModalSeam::setNextRequestHook([&] { window_->close(); }); });
  ModalSeam::setNextAnswer(Answer::Ok);
  ModalSeam::setNextAnswer(Answer::Ok);
  StartRun(sim_.Port(), WriteImage(4096));
  ASSERT_TRUE(WaitUntil([&] { return ModalSeam::records().size() >= 2; }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return !window_->isVisible(); }, 8000));
  EXPECT_FALSE(window_->Session().HasConnection());
  EXPECT_EQ(window_->Session().LastOutcome(), RunOutcome::Closed);
  sim_.Stop();
  // The handler finished its step first: the size request did go out.
  EXPECT_EQ(sim_.Record().Number("size_requests"), 1);
}

TEST_F(WindowRunTest, ClosingWhileTheDeviceAnswersTheHalfCloseEndsAtOnce) {
  std::string error;
  ASSERT_TRUE(sim_.Start({"--download-mode", "--fault", "size=silent"}, &error)) << error;
  ModalSeam::setNextAnswer(Answer::Ok);  // the version
  ModalSeam::setNextAnswer(Answer::Ok);  // confirm; the size request then goes unanswered
  StartRun(sim_.Port(), WriteImage(4096));
  ASSERT_TRUE(WaitUntil([&] { return window_->Session().State() == SizeRequested; }, 5000));
  QTest::qWait(100);
  window_->close();
  EXPECT_FALSE(window_->isVisible());
  EXPECT_FALSE(window_->Session().HasConnection());
  EXPECT_TRUE(ButtonEnabled());
}

TEST_F(WindowRunTest, ClosingAgainstADeviceThatNeverClosesStopsDrainingAtTheBound) {
  // A device that takes the connection and then neither answers nor closes,
  // not even after the tool's half-close: a listening socket on 127.0.0.1
  // whose connections the kernel completes and nobody ever serves. (A Qt
  // socket would close on the half-close by itself.)
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

  ModalSeam::setNextAnswer(Answer::Ok);  // the version
  StartRun(ntohs(address.sin_port), WriteImage(2048));
  ASSERT_TRUE(window_->Session().HasConnection());
  QElapsedTimer timer;
  timer.start();
  window_->close();
  const qint64 elapsed = timer.elapsed();
  ::close(listener);
  EXPECT_FALSE(window_->isVisible());
  EXPECT_FALSE(window_->Session().HasConnection());
  EXPECT_EQ(window_->Session().LastOutcome(), RunOutcome::Closed);
  EXPECT_GE(elapsed, ProtocolSession::kShutdownDrainLimitMs - 100);
  EXPECT_LT(elapsed, ProtocolSession::kShutdownDrainLimitMs + 1500);
  EXPECT_EQ(testing::BoxTexts(), std::vector<std::string>{"Firmware version 1.05 ."});
}

}  // namespace
}  // namespace mervix
