// Runs of the window against the device simulator on 127.0.0.1: a whole
// download with the real pause of the mode switch, a user module run, and
// closing the window while a run waits for a device or while one of its
// boxes is up.
#include "ShellTestSupport.h"

#include "resources/WindowMessages.h"
#include "tests/support/DevsimProcess.h"
#include "tests/hostile/OpenFiles.h"

#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <fstream>
#include <random>

namespace mervix {
namespace {

using testing::AimAt;
using testing::BoxTexts;
using testing::DownloadButton;
using testing::RunEnds;
using testing::WaitUntil;

constexpr int kDrainLimitMs = CClntSocket::kDrainLimitMs;

class WindowRunTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    testing::WindowTest::SetUp();
    ASSERT_TRUE(files_.isValid());
  }

  std::string WriteImage(std::size_t size) {
    std::mt19937 random(static_cast<unsigned>(size));
    image_.resize(size);
    for (auto& b : image_) b = static_cast<std::uint8_t>(random());
    // An image header: the tag "REV-" at offset 8, version 1.05.
    if (size >= 14) {
      std::copy_n("REV-", 4, image_.begin() + 8);
      image_[12] = 1;
      image_[13] = 5;
    }
    const std::string path = files_.filePath(QStringLiteral("device.img")).toStdString();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image_.data()), static_cast<std::streamsize>(size));
    return path;
  }

  QTemporaryDir files_;
  std::vector<std::uint8_t> image_;
  mervix::testing::DevsimProcess sim_;
};

TEST_F(WindowRunTest, AWholeDownloadWithTheRealModeSwitchPauseDuringWhichTheWindowServesEvents) {
  window_->Runner().SetModeSwitchPauseMs(-1);  // the real 3,000 ms
  std::string error;
  ASSERT_TRUE(sim_.Start({}, &error)) << error;
  const std::string image = WriteImage(200 * 1024 + 17);
  ModalSeam::setNextAnswer(Answer::Ok);  // the version
  ModalSeam::setNextAnswer(Answer::Ok);  // "Permanent write! Continue?"
  ModalSeam::setNextAnswer(Answer::Ok);  // "Download finished"
  // A timer of the window's thread: the longest gap between its ticks shows
  // how long the thread served no events.
  QElapsedTimer clock;
  clock.start();
  qint64 lastTick = 0, longestGap = 0;
  QTimer ticker;
  qint64 pausedFrom = -1, pausedUntil = -1;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, clock.elapsed() - lastTick);
    lastTick = clock.elapsed();
    if (window_->Runner().Pausing()) {
      if (pausedFrom < 0) pausedFrom = lastTick;
      pausedUntil = lastTick;
    }
  });
  ticker.start(20);
  AimAt(Window(), sim_.Port());
  testing::ClickDownload(Window(), image);
  EXPECT_FALSE(DownloadButton(Window())->isEnabled()) << "the run holds the button";
  EXPECT_TRUE(Window().RunInProgress());
  ASSERT_TRUE(RunEnds(Window(), 30000)) << LogText();
  ticker.stop();

  EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << LogText();
  EXPECT_EQ(window_->Runner().LastOutcome(), RunOutcome::Finished);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Firmware version 1.05 .", "Permanent write! Continue?",
                                                   "Download finished"}));
  EXPECT_EQ(ModalSeam::unansweredCount(), 0);
  EXPECT_NE(LogText().find("127.0.0.1 Connecting...\r\nDownload mode...\r\n127.0.0.1 Connecting...\r\nDownload start\r\n"),
            std::string::npos)
      << LogText();
  EXPECT_NE(LogText().find("Download finished\r\n"), std::string::npos) << LogText();
  EXPECT_LT(longestGap, 1000) << "the window served no events for a while";
  EXPECT_GE(pausedUntil - pausedFrom, SessionMachine::kModeSwitchPauseMs - 200) << "the pause was cut short";
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image_);
  const auto record = sim_.Record();
  EXPECT_EQ(record.Number("connections"), 2);
  EXPECT_EQ(record.Number("downloads_completed"), 1) << sim_.Log();
  const std::vector<long long> gap = record.Numbers("reconnect_ms");
  ASSERT_EQ(gap.size(), 1u);
  EXPECT_GE(gap[0], SessionMachine::kModeSwitchPauseMs);
  EXPECT_LT(gap[0], SessionMachine::kModeSwitchPauseMs + 2000);
}

TEST_F(WindowRunTest, TheUserModuleCommandSendsTheChosenModuleToTheSpecialSectorAtTheStoredAddress) {
  std::string error;
  ASSERT_TRUE(sim_.Start({"--download-mode"}, &error)) << error;
  const std::string module = WriteImage(3000);
  AimAt(Window(), sim_.Port());
  ModalSeam::setNextAnswer(Answer::Ok);  // "Permanent write! Continue?"
  ModalSeam::setNextAnswer(Answer::Ok);  // "Download finished"
  testing::StartModuleRun(Window(), module, QStringLiteral("1F0000"));
  EXPECT_FALSE(DownloadButton(Window())->isEnabled());
  // While it runs, a second start from either command is refused and asks nothing.
  const std::size_t before = ModalSeam::records().size();
  window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE_DOWNLOAD);
  window_->OnDownload();
  EXPECT_EQ(ModalSeam::records().size(), before);
  ASSERT_TRUE(RunEnds(Window())) << LogText();

  EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << LogText();
  EXPECT_NE(LogText().find("Specifying special sector for user module\r\n"), std::string::npos);
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image_);
  const auto record = sim_.Record();
  EXPECT_EQ(record.Number("connections"), 1);
  EXPECT_EQ(record.Number("sector_requests"), 1);
  EXPECT_EQ(record.Number("sector_address"), 0x1F0000) << record.Text("sector_address");
}

// Where a run waits when the window is closed, and what the device does.
struct CloseCase {
  const char* name;
  const char* fault;              // the simulator's fault; null: a listener that never serves
  SessionMachine::Step step;      // the run waits here
  DownloadState state;            // with this acknowledgement awaited
  std::vector<std::string> boxes; // shown before the close
};

inline void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class WindowCloseTest : public WindowRunTest, public ::testing::WithParamInterface<CloseCase> {};

// The first close asks and, answered Yes, waits for the device to answer what
// is in flight; a second close ends the run at once.
TEST_P(WindowCloseTest, ASecondCloseDuringAStopEndsTheRunAndDrainsTheConnectionWithinTheBound) {
  const CloseCase& c = GetParam();
  // Without a fault: a device that takes the connection and then neither
  // answers nor closes, not even after the half-close. (A Qt socket would
  // close on the half-close by itself.)
  testing::LoopbackPort deaf;
  ASSERT_TRUE(deaf.Listen());
  std::uint16_t port = deaf.Port();
  if (c.fault) {
    std::string error;
    ASSERT_TRUE(sim_.Start({"--download-mode", "--fault", c.fault}, &error)) << error;
    port = sim_.Port();
  }
  ASSERT_NE(port, 0);
  const std::string image = WriteImage(4096);
  const int idle = mervix::testing::OpenSocketsAndFiles();
  for (std::size_t i = 0; i < c.boxes.size(); ++i) ModalSeam::setNextAnswer(Answer::Ok);  // the version, the confirmation
  AimAt(Window(), port);
  testing::ClickDownload(Window(), image);
  ASSERT_TRUE(testing::RunReaches(Window(), c.step)) << LogText();
  ASSERT_TRUE(WaitUntil([&] { return window_->Job().State() == c.state; }, 5000));
  QTest::qWait(200);  // the request is out; the device says nothing
  ASSERT_TRUE(window_->Runner().HasConnection());
  EXPECT_TRUE(mervix::testing::HoldsOpen(image)) << "the run holds its image";

  ModalSeam::setNextAnswer(Answer::Yes);  // "... Stop the download?"
  window_->close();
  EXPECT_TRUE(window_->isVisible()) << "the stop waits for the silent device";
  EXPECT_TRUE(window_->RunInProgress());
  QElapsedTimer timer;
  timer.start();
  window_->close();
  const qint64 elapsed = timer.elapsed();
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(window_->result(), QDialog::Rejected);
  EXPECT_FALSE(window_->Runner().HasConnection());
  EXPECT_FALSE(window_->RunInProgress());
  EXPECT_TRUE(DownloadButton(Window())->isEnabled());
  EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Closed);
  EXPECT_FALSE(mervix::testing::HoldsOpen(image));
  if (c.fault) {
    EXPECT_LT(elapsed, 1000) << "the device closes its side on the half-close: the drain ends there";
  } else {
    EXPECT_GE(elapsed, kDrainLimitMs - 100) << "a device that never closes is drained to the bound";
    EXPECT_LT(elapsed, kDrainLimitMs + 1500);
  }
  std::vector<std::string> boxes = c.boxes;
  boxes.push_back(GetMessageText(IDS_WINDOW_ASK_STOP));
  EXPECT_EQ(BoxTexts(), boxes) << "closing asks once and then shows nothing";
  EXPECT_TRUE(WaitUntil(
      [&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return mervix::testing::OpenSocketsAndFiles() == idle;
      },
      1000))
      << mervix::testing::DescribeDescriptors();
  if (c.fault) {
    // The device saw one connection, closed by the tool after its one request.
    sim_.Stop();
    const auto record = sim_.Record();
    EXPECT_EQ(record.Number("connections"), 1);
    EXPECT_EQ(record.Number("status_queries"), 1);
    EXPECT_EQ(record.Text("last_end"), "silent");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, WindowCloseTest,
    ::testing::Values(CloseCase{"SilentAtTheStatusQuery", "status=silent", SessionMachine::Step::AwaitReply,
                                DownloadState::Idle, {"Firmware version 1.05 ."}},
                      CloseCase{"SilentAtTheSizeRequest", "size=silent", SessionMachine::Step::AwaitReply,
                                DownloadState::SizeRequested,
                                {"Firmware version 1.05 .", "Permanent write! Continue?"}},
                      CloseCase{"NeverClosing", nullptr, SessionMachine::Step::AwaitReply, DownloadState::Idle,
                                {"Firmware version 1.05 ."}}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

// The window is closed while a box is up, answered through the seam (the
// close comes from inside the request) or as a real box on the screen. The
// box goes with the window, the run ends at once and nothing is sent after
// the box; the box's answer, when it comes, finds the run over. A box of
// the preparation (the version) lets the preparation finish, and the run it
// starts ends before it has sent anything.
TEST_F(WindowRunTest, ClosingWhileABoxIsUpEndsTheRunAndTheAnswerGoesNowhere) {
  struct Row {
    const char* box;
    bool realBox;
    long long statusQueries;
  };
  for (const Row& row : {Row{"Permanent write! Continue?", false, 1}, Row{"Permanent write! Continue?", true, 1},
                         Row{"Firmware version 1.05 .", true, 0}}) {
    SCOPED_TRACE(std::string(row.box) + (row.realBox ? ", real box" : ", seam"));
    OpenWindow();
    ModalSeam::reset();
    mervix::testing::DevsimProcess device;
    std::string error;
    ASSERT_TRUE(device.Start({"--download-mode"}, &error)) << error;
    const std::string image = WriteImage(4096);
    QTimer closer;
    std::function<void()> atBox = [&] {
      if (ModalSeam::records().back().text == row.box) window_->close();
      else ModalSeam::setNextRequestHook(atBox);
    };
    if (row.realBox) {
      // Boxes before this one are answered; this one is a real modal box.
      if (row.statusQueries > 0) ModalSeam::setNextAnswer(Answer::Ok);
      ModalSeam::setStrict(false);
      QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->text() == QString::fromUtf8(row.box)) {
          closer.stop();
          window_->close();
        }
      });
      closer.start(20);
    } else {
      for (int i = 0; i < 2; ++i) ModalSeam::setNextAnswer(Answer::Ok);
      ModalSeam::setNextRequestHook(atBox);
    }
    AimAt(Window(), device.Port());
    testing::ClickDownload(Window(), image);
    const bool closed = WaitUntil([&] { return !window_->isVisible(); }, 8000);
    ModalSeam::setStrict(true);
    ASSERT_TRUE(closed) << LogText();
    EXPECT_TRUE(WaitUntil([&] { return QApplication::activeModalWidget() == nullptr; }, 2000))
        << "the box went with the window";
    EXPECT_TRUE(RunEnds(Window(), 1000));
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Closed);
    EXPECT_FALSE(mervix::testing::HoldsOpen(image));
    QTest::qWait(100);  // a late answer would send the size request now
    device.Stop();
    const auto record = device.Record();
    EXPECT_EQ(record.Number("status_queries"), row.statusQueries);
    EXPECT_EQ(record.Number("size_requests"), 0);
    EXPECT_EQ(LogText().find("Download start"), std::string::npos) << LogText();
  }
}

}  // namespace
}  // namespace mervix
