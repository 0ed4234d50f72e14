// The run strip and the safe stop, against the device simulator on
// 127.0.0.1: progress and outcome of a whole download, the log following its
// end, Stop and close requests answered either way, the causes under the
// boxes of a failed connect, and a file dropped on the window.
#include "ShellTestSupport.h"

#include "resources/WindowMessages.h"
#include "tests/operations/OperationsTestSupport.h"
#include "tests/support/DevsimProcess.h"

#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QScrollBar>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>

#include <set>

namespace mervix {
namespace {

using mervix::testing::Bytes;
using mervix::testing::MakeImage;
using testing::BoxTexts;
using testing::DownloadButton;
using testing::LogView;
using testing::RunEnds;
using testing::WaitUntil;

constexpr std::uint32_t kBlock = 65536;

QProgressBar* Bar(QWidget& w) { return w.findChild<QProgressBar*>(QStringLiteral("progress")); }
QPushButton* StopButton(QWidget& w) { return w.findChild<QPushButton*>(QStringLiteral("stop")); }
QLabel* Status(QWidget& w) { return w.findChild<QLabel*>(QStringLiteral("status")); }
// The status as written: the label keeps its parts together with no-break spaces.
std::string StatusText(QWidget& w) {
  return Status(w)->text().replace(QChar(0x00A0), QLatin1Char(' ')).toStdString();
}

std::string AskStopText() { return GetMessageText(IDS_WINDOW_ASK_STOP); }

class WindowProgressTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    workDirectory_ = dir_.path();
    testing::WindowTest::SetUp();
  }

  std::string WriteImage(std::size_t size) {
    image_ = MakeImage(size, 1, 5);
    const std::string path = dir_ / "device.img";
    mervix::testing::WriteBytes(path, image_);
    return path;
  }
  void StartDevice(std::vector<std::string> options) {
    options.insert(options.begin(), "--download-mode");
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error)) << error;
    testing::AimAt(Window(), sim_.Port());
  }
  // Serves events until the run is sending block |block| or a later one.
  bool SendingBlock(std::uint32_t block) {
    return WaitUntil(
        [&] {
          const Progress& p = window_->Runner().Meter().Last();
          return p.phase == ProgressPhase::Sending && p.block >= block;
        },
        10000);
  }
  const std::string& LogText() { return window_->Log().Text(); }
  // The run is over: the button back, nothing preparing or running, no connection.
  bool RunInProgressEnded() {
    return DownloadButton(Window())->isEnabled() && !window_->RunInProgress() && !window_->Runner().HasConnection();
  }

  mervix::testing::TempFolder dir_;
  mervix::testing::DevsimProcess sim_;
  Bytes image_;
};

TEST_F(WindowProgressTest, A2MBDownloadFillsTheBarNamesEachPhaseAndEndsWithTheLogsLastLineInView) {
  const std::string image = WriteImage(31 * kBlock - 1000);
  StartDevice({});
  for (int i = 0; i < 3; ++i) ModalSeam::setNextAnswer(Answer::Ok);  // version, confirmation, finished
  EXPECT_FALSE(StopButton(Window())->isEnabled()) << "no run: nothing to stop";
  testing::ClickDownload(Window(), image);
  // What the strip says while the run goes on.
  std::set<std::string> seen;
  bool stopEnabledWhileSending = false;
  ASSERT_TRUE(WaitUntil(
      [&] {
        seen.insert(StatusText(Window()));
        if (window_->Runner().Meter().Last().phase == ProgressPhase::Sending && !RunInProgressEnded()) {
          stopEnabledWhileSending = stopEnabledWhileSending || StopButton(Window())->isEnabled();
        }
        return RunInProgressEnded();
      },
      30000))
      << LogText();
  EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << LogText();
  EXPECT_TRUE(stopEnabledWhileSending);
  EXPECT_FALSE(StopButton(Window())->isEnabled());
  EXPECT_EQ(Bar(Window())->value(), 100);
  EXPECT_EQ(StatusText(Window()), "Download finished");
  bool sawBlock = false;
  for (const std::string& s : seen) {
    sawBlock = sawBlock || (s.rfind("Sending block ", 0) == 0 && s.find(" of 31 \xC2\xB7 ") != std::string::npos &&
                            s.find(" of 1984 KB (") != std::string::npos);
  }
  EXPECT_TRUE(sawBlock) << "the status names the block and the bytes";

  // The confirmation names the device, the file, the version and the size.
  const auto boxes = ModalSeam::recordsOf(ModalRecord::Kind::MessageBox);
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[1].text, "Permanent write! Continue?");
  for (const std::string& fact : {"127.0.0.1:" + std::to_string(sim_.Port()), testing::Shown(image), std::string("1.05"),
                                  std::to_string(image_.size())}) {
    EXPECT_NE(boxes[1].detail.find(fact), std::string::npos) << fact << " in " << boxes[1].detail;
  }

  // The log's last line is in view: the pane followed its end.
  QScrollBar* bar = LogView(Window())->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0) << "the log is longer than the pane";
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(LogView(Window())->toPlainText().toStdString().substr(LogView(Window())->toPlainText().size() - 18),
            "Download finished\n");
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image_);
}

TEST_F(WindowProgressTest, TheLogFollowsItsEndUnlessTheOperatorScrolledAway) {
  QPlainTextEdit* pane = LogView(Window());
  QScrollBar* bar = pane->verticalScrollBar();
  for (int i = 0; i < 100; ++i) window_->Log().AppendLogLine("line " + std::to_string(i));
  QCoreApplication::processEvents();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum()) << "followed";
  bar->setValue(3);  // the operator scrolls up
  for (int i = 0; i < 20; ++i) window_->Log().AppendLogLine("more " + std::to_string(i));
  EXPECT_EQ(bar->value(), 3) << "stays where the operator put it";
  EXPECT_TRUE(pane->toPlainText().endsWith(QStringLiteral("more 19\n")));
  bar->setValue(bar->maximum());  // back at the end: followed again
  window_->Log().AppendLogLine("last");
  EXPECT_EQ(bar->value(), bar->maximum());
  // A new log (a new run clears it) starts followed and shows what it holds.
  window_->Log().ClearLog();
  window_->Log().AppendLogLine("fresh");
  EXPECT_EQ(pane->toPlainText(), QStringLiteral("fresh\n"));
}

// Stop and close requests during a run, answered Yes or No.
struct StopCase {
  const char* name;
  bool escape;      // Escape on the window; else the Stop button
  Answer answer;    // to the question
  RunOutcome outcome;
  bool windowOpen;  // after the run
};

inline void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class WindowStopTest : public WindowProgressTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(WindowStopTest, TheQuestionComesFirstAndYesStopsAfterTheBlockInFlight) {
  const StopCase& c = GetParam();
  const std::string image = WriteImage(8 * kBlock);
  StartDevice({"--reply-delay", "60"});
  ModalSeam::setNextAnswer(Answer::Ok);  // the version
  ModalSeam::setNextAnswer(Answer::Ok);  // "Permanent write! Continue?"
  testing::ClickDownload(Window(), image);
  ASSERT_TRUE(SendingBlock(3)) << LogText();
  ASSERT_TRUE(StopButton(Window())->isEnabled());
  ModalSeam::setNextAnswer(c.answer);
  if (c.answer == Answer::No) ModalSeam::setNextAnswer(Answer::Ok);  // "Download finished"
  if (c.escape) {
    QTest::keyClick(window_.get(), Qt::Key_Escape);
  } else {
    StopButton(Window())->click();
  }
  ASSERT_TRUE(WaitUntil([&] { return !window_->RunInProgress() && !window_->Runner().HasConnection(); }, 20000))
      << LogText();
  QTest::qWait(50);  // a close after the run comes from the event loop
  EXPECT_EQ(window_->Job().LastOutcome(), c.outcome) << LogText();
  EXPECT_EQ(window_->isVisible(), c.windowOpen);
  EXPECT_EQ(ModalSeam::unansweredCount(), 0);
  const std::vector<std::string> boxes = BoxTexts();
  ASSERT_GE(boxes.size(), 3u);
  EXPECT_EQ(boxes[2], AskStopText());
  sim_.Stop();
  const auto record = sim_.Record();
  if (c.outcome == RunOutcome::Finished) {
    EXPECT_EQ(boxes.back(), "Download finished");
    EXPECT_EQ(sim_.ReceivedImage(), image_);
    EXPECT_EQ(StatusText(Window()), "Download finished");
    return;
  }
  // Stopped once the block in flight was acknowledged: the device holds
  // whole blocks, and the log and the status say how much of the total.
  EXPECT_EQ(boxes.size(), 3u) << "no box after the stop";
  const long long written = record.Number("bytes_received");
  EXPECT_GE(written, 3 * kBlock);
  EXPECT_LT(written, static_cast<long long>(image_.size()));
  EXPECT_EQ(written % kBlock, 0);
  EXPECT_EQ(record.Text("image_complete"), "0");
  EXPECT_EQ(record.Number("lockstep_violations"), 0);
  const std::string line =
      "Download stopped: " + std::to_string(written) + " of " + std::to_string(image_.size()) + " bytes written";
  EXPECT_NE(LogText().find(line + "\r\n"), std::string::npos) << LogText();
  EXPECT_EQ(StatusText(Window()), line);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, WindowStopTest,
    ::testing::Values(StopCase{"StopYes", false, Answer::Yes, RunOutcome::Stopped, true},
                      StopCase{"StopNo", false, Answer::No, RunOutcome::Finished, true},
                      StopCase{"EscapeYes", true, Answer::Yes, RunOutcome::Stopped, false},
                      StopCase{"EscapeNo", true, Answer::No, RunOutcome::Finished, true}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

// The pause after the mode switch is a timer: the status says the window
// reconnects, and Stop asks its question at once and ends the run there,
// before the device is connected again.
TEST_F(WindowProgressTest, StopDuringTheModeSwitchPauseAsksAtOnceAndEndsThere) {
  window_->Runner().SetModeSwitchPauseMs(60000);
  const std::string image = WriteImage(3 * kBlock);
  std::string error;
  ASSERT_TRUE(sim_.Start({}, &error)) << error;
  testing::AimAt(Window(), sim_.Port());
  ModalSeam::setNextAnswer(Answer::Ok);  // the version
  testing::ClickDownload(Window(), image);
  ASSERT_TRUE(WaitUntil([&] { return window_->Runner().Pausing(); }, 10000)) << LogText();
  EXPECT_EQ(StatusText(Window()).rfind("Reconnecting to 127.0.0.1:", 0), 0u) << StatusText(Window());
  ASSERT_TRUE(StopButton(Window())->isEnabled());
  QElapsedTimer clock;
  clock.start();
  ModalSeam::setNextAnswer(Answer::Yes);
  StopButton(Window())->click();
  ASSERT_TRUE(WaitUntil([&] { return RunInProgressEnded(); }, 5000)) << LogText();
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Stopped) << LogText();
  const std::vector<std::string> boxes = BoxTexts();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1], AskStopText());
  EXPECT_FALSE(window_->Runner().Pausing());
  EXPECT_NE(LogText().find("Download mode...\r\nDownload stopped: 0 of " + std::to_string(3 * kBlock)),
            std::string::npos)
      << LogText();
  sim_.Stop();
  EXPECT_EQ(sim_.Record().Number("connections"), 1) << "the run reconnected after the stop";
}

// A device that falls silent ends the run by the window's time-out, with
// the box and its cause under it, in both languages.
TEST_F(WindowProgressTest, ASilentDeviceEndsTheRunByTheTimeOutWithItsBox) {
  for (const Language language : {Language::English, Language::Japanese}) {
    SCOPED_TRACE(language == Language::English ? "English" : "Japanese");
    SetActiveLanguage(language);
    ModalSeam::reset();
    window_->Runner().SetResponseLimits(300, 300);
    const std::string image = WriteImage(2 * kBlock);
    StartDevice({"--fault", "block.1=silent"});
    ModalSeam::setNextAnswer(Answer::Ok);  // the version
    ModalSeam::setNextAnswer(Answer::Ok);  // "Permanent write! Continue?"
    ModalSeam::setNextAnswer(Answer::Ok);  // "No response from the device"
    testing::ClickDownload(Window(), image);
    ASSERT_TRUE(WaitUntil([&] { return RunInProgressEnded(); }, 10000)) << LogText();
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Failed);
    const auto boxes = ModalSeam::recordsOf(ModalRecord::Kind::MessageBox);
    ASSERT_EQ(boxes.size(), 3u) << LogText();
    EXPECT_EQ(boxes[2].text, GetMessageText(IDS_ERROR_NO_RESPONSE));
    EXPECT_EQ(boxes[2].detail, "no response from the device within 0.3 seconds");
    EXPECT_EQ(window_->Job().LastFailure().phase, RunPhase::Block);
    EXPECT_NE(LogText().find(GetMessageText(IDS_ERROR_NO_RESPONSE) + ": no response"), std::string::npos)
        << LogText();
    sim_.Stop();
  }
  SetActiveLanguage(Language::English);
}

TEST_F(WindowProgressTest, EscapeBetweenRunsClosesAtOnceWithoutAQuestion) {
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  EXPECT_FALSE(window_->isVisible());
  EXPECT_TRUE(ModalSeam::records().empty());
}

TEST_F(WindowProgressTest, ARefusedPortAndAnUnknownHostGiveDifferentCausesUnderRetry) {
  testing::LoopbackPort refusing;  // bound, not listening: connections are refused
  ASSERT_NE(refusing.Port(), 0);
  const std::string image = WriteImage(4096);
  std::vector<std::string> details;
  for (const QString& host : {QStringLiteral("127.0.0.1"), QStringLiteral("no-such-device.invalid")}) {
    SCOPED_TRACE(host.toStdString());
    ModalSeam::reset();
    ModalSeam::setNextAnswer(Answer::Ok);  // the version
    ModalSeam::setNextAnswer(Answer::No);  // "Retry?"
    testing::AimAt(Window(), refusing.Port(), host);
    testing::ClickDownload(Window(), image);
    ASSERT_TRUE(RunEnds(Window())) << LogText();
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Failed);
    const auto boxes = ModalSeam::recordsOf(ModalRecord::Kind::MessageBox);
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "Retry?");
    EXPECT_FALSE(boxes[1].detail.empty());
    details.push_back(boxes[1].detail);
    // The log keeps the cause once the box is gone; the status names it.
    EXPECT_NE(LogText().find(boxes[1].detail), std::string::npos) << LogText();
    EXPECT_EQ(StatusText(Window()).rfind("Failed: ", 0), 0u) << StatusText(Window());
  }
  EXPECT_NE(details[0], details[1]);
  EXPECT_NE(details[0].find("refused"), std::string::npos) << details[0];
}

TEST_F(WindowProgressTest, ADroppedSRecordFileConvertsAndSendsAndADropDuringARunIsRefused) {
  image_ = MakeImage(100000, 1, 5);
  const std::string mot = dir_ / "dropped.mot";
  mervix::testing::WriteText(mot, mervix::testing::SRecords(0x10000, image_));
  StartDevice({"--reply-delay", "20"});
  ModalSeam::setNextAddress(std::optional<QString>(QStringLiteral("10000")));
  for (int i = 0; i < 3; ++i) ModalSeam::setNextAnswer(Answer::Ok);  // version, confirmation, finished

  auto drop = [&](const std::string& path) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    const QPoint at = LogView(Window())->geometry().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_.get(), &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent dropped(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_.get(), &dropped);
    return dropped.isAccepted();
  };
  ASSERT_TRUE(drop(mot));
  ASSERT_TRUE(WaitUntil([&] { return window_->RunInProgress(); }, 2000));
  EXPECT_FALSE(drop(mot)) << "refused during a run";
  ASSERT_TRUE(RunEnds(Window())) << LogText();
  EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << LogText();
  EXPECT_TRUE(ModalSeam::recordsOf(ModalRecord::Kind::FileChooser).empty()) << "the drop is the choice";
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Firmware version 1.05 .", "Permanent write! Continue?",
                                                   "Download finished"}));
  // The image beside the dropped file, named from the path as the drop gave
  // it (absolute, on Windows with its drive).
  std::string dropped =
      QFileInfo(QUrl::fromLocalFile(QString::fromStdString(mot)).toLocalFile()).absoluteFilePath().toStdString();
  dropped = dropped.substr(0, dropped.size() - 3) + "img";
  std::string log = LogText(), line = "Downloading " + testing::Shown(dropped) + " \r\n";
#ifdef _WIN32
  // Windows' names are the same in any case (Wine gives the drive as "z:").
  for (std::string* text : {&log, &line}) std::transform(text->begin(), text->end(), text->begin(), ::tolower);
#endif
  EXPECT_NE(log.find(line), std::string::npos) << line << " in " << log;
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image_);
}

TEST_F(WindowProgressTest, TheChooserOpensInTheLastFolderWithTheThreeFilters) {
  const std::string image = WriteImage(4096);
  testing::LoopbackPort refusing;
  testing::AimAt(Window(), refusing.Port());
  ModalSeam::setNextFileName(QString::fromStdString(image));
  ModalSeam::setNextAnswer(Answer::Ok);  // the version
  ModalSeam::setNextAnswer(Answer::No);  // "Retry?"
  DownloadButton(Window())->click();
  ASSERT_TRUE(RunEnds(Window())) << LogText();
  ModalSeam::setNextFileName(QString());
  DownloadButton(Window())->click();
  const auto choosers = ModalSeam::recordsOf(ModalRecord::Kind::FileChooser);
  ASSERT_EQ(choosers.size(), 2u);
  EXPECT_EQ(choosers[0].filters, (QStringList{QStringLiteral("S-record files (*.mot)"),
                                              QStringLiteral("Images (*.img *.bin)"), QStringLiteral("All files (*)")}));
  EXPECT_TRUE(QDir(choosers[1].folder) == QDir(QString::fromStdString(dir_.path())))
      << choosers[1].folder.toStdString() << " is not " << dir_.path();
}

}  // namespace
}  // namespace mervix
