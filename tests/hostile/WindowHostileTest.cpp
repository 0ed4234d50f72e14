// The window against misbehaving devices on 127.0.0.1: the firmware run of
// the Download button and the user module run of command 32773, each device
// of the shared table, then a good run in the same window. Every run must
// end with the right boxes, the run indicator enabled, the connection
// closed as the device saw it, and the image file no longer open.
#include "tests/shell/ShellTestSupport.h"

#include "tests/support/DevsimProcess.h"
#include "tests/hostile/HostileCases.h"
#include "tests/hostile/OpenFiles.h"
#include "tests/operations/OperationsTestSupport.h"

#include <QElapsedTimer>

namespace mervix {
namespace {

using mervix::testing::Bytes;
using mervix::testing::DevsimProcess;
using mervix::testing::DevsimRecord;
using mervix::testing::HostileCase;
using mervix::testing::HostileRun;
using mervix::testing::HoldsOpen;
using mervix::testing::LoopbackPort;
using mervix::testing::MakeImage;
using mervix::testing::WaitUntil;

const char kVersionBox[] = "Firmware version 1.05 .";
const char kConfirmBox[] = "Permanent write! Continue?";
const char kFinishedBox[] = "Download finished";

class WindowHostileTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    image_ = MakeImage(2 * 65536 + 4000, 1, 5);
    file_ = dir_ / "device.img";
    mervix::testing::WriteBytes(file_, image_);
    workDirectory_ = dir_.path();
    testing::WindowTest::SetUp();
  }

  void StartDevice(const std::vector<std::string>& options) {
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error)) << error;
  }

  QPushButton* Button() { return testing::DownloadButton(Window()); }

  // Starts a run of |run| against 127.0.0.1:|port|, the boxes answered by
  // |answers| (by default OK to the version, the confirmation and whatever
  // the run ends with). The module run chooses the file and the address
  // first unless |moduleChosen|.
  void StartRun(HostileRun run, std::uint16_t port, bool moduleChosen = false,
                const std::vector<Answer>& answers = std::vector<Answer>(4, Answer::Ok)) {
    testing::AimAt(Window(), port);
    for (const Answer answer : answers) ModalSeam::setNextAnswer(answer);
    if (run == HostileRun::Firmware) {
      testing::ClickDownload(Window(), file_);
    } else if (moduleChosen) {
      window_->OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE_DOWNLOAD);
    } else {
      testing::StartModuleRun(Window(), file_, QStringLiteral("20000"));
    }
  }

  // Waits for the run to end: the indicator back on and no connection.
  bool RunEnds() { return testing::RunEnds(Window()); }

  // The record once |connections| connections have ended; the simulator
  // runs on.
  DevsimRecord RecordAfterConnections(long long connections) {
    DevsimRecord r;
    WaitUntil(
        [&] {
          r = sim_.Record();
          return r.Number("connections", 0) >= connections && !r.Text("last_end").empty();
        },
        3000);
    return r;
  }

  // Whether the process is back to |count| open sockets and files. A socket the
  // run has let go of is deleted later by the event loop, so the events are
  // served (deferred deletions included) for up to a second first; a socket
  // or file that stays open fails the check.
  static bool DescriptorsBackTo(int count) {
    return WaitUntil(
        [&] {
          QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
          return mervix::testing::OpenSocketsAndFiles() == count;
        },
        1000);
  }

  // The good run that follows a bad one in the same window.
  void ExpectASecondRunSucceeds(HostileRun run, long long connectionsBefore, long long downloadsBefore) {
    ModalSeam::reset();
    StartRun(run, sim_.Port(), /*moduleChosen=*/true);
    ASSERT_TRUE(RunEnds()) << window_->Log().Text();
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << window_->Log().Text();
    ASSERT_FALSE(testing::BoxTexts().empty());
    EXPECT_EQ(testing::BoxTexts().back(), kFinishedBox);
    const DevsimRecord r = RecordAfterConnections(connectionsBefore + 1);
    EXPECT_EQ(r.Number("downloads_completed"), downloadsBefore + 1) << sim_.Log();
    EXPECT_EQ(sim_.ReceivedImage(), image_);
    EXPECT_FALSE(HoldsOpen(file_));
  }

  mervix::testing::TempFolder dir_;
  DevsimProcess sim_;
  Bytes image_;
  std::string file_;
};

class WindowHostileFaultTest : public WindowHostileTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(WindowHostileFaultTest, EndsWithTheRightBoxesAndTheNextRunSucceeds) {
  const HostileCase& c = GetParam();
  StartDevice({"--download-mode", "--fault", c.fault});
  const int descriptorsBefore = mervix::testing::OpenSocketsAndFiles();
  StartRun(c.run, sim_.Port());
  ASSERT_TRUE(RunEnds()) << window_->Log().Text();
  EXPECT_TRUE(DescriptorsBackTo(descriptorsBefore))
      << "the socket and the file are closed:\n" << mervix::testing::DescribeDescriptors();
  EXPECT_EQ(ModalSeam::unansweredCount(), 0);
  EXPECT_FALSE(HoldsOpen(file_)) << "the image file is closed at the end of the run";
  if (!window_->Job().ImagePath().empty()) {
    EXPECT_FALSE(HoldsOpen(window_->Job().ImagePath()));
  }

  std::vector<std::string> boxes = testing::BoxTexts();
  // What comes before the end: the version of a firmware image, then the
  // confirmation unless the device refused before it was asked.
  if (c.run == HostileRun::Firmware) {
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.front(), kVersionBox);
    boxes.erase(boxes.begin());
  }
  if (!boxes.empty() && boxes.front() == kConfirmBox) boxes.erase(boxes.begin());

  const DevsimRecord r = RecordAfterConnections(1);
  EXPECT_EQ(r.Text("faults_fired"), c.fault);
  EXPECT_EQ(r.Number("lockstep_violations"), 0);
  if (c.message.empty()) {
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << window_->Log().Text();
    EXPECT_EQ(boxes, std::vector<std::string>{kFinishedBox});
    EXPECT_EQ(r.Text("last_end"), "download complete");
    EXPECT_EQ(sim_.ReceivedImage(), image_);
  } else {
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Failed) << window_->Log().Text();
    std::vector<std::string> expected = c.message;
    if (c.alternative && !boxes.empty() && boxes.front() == c.alternative) expected[0] = c.alternative;
    EXPECT_EQ(boxes, expected);
    EXPECT_EQ(window_->Log().Text().find("Download finished"), std::string::npos) << window_->Log().Text();
    EXPECT_EQ(r.Number("downloads_completed"), 0);
    EXPECT_NE(r.Text("last_end"), "stopped");
    EXPECT_NE(r.Text("last_end"), "download complete");
  }
  EXPECT_EQ(mervix::testing::ReadBytes(file_), image_);
  ExpectASecondRunSucceeds(c.run, 1, c.message.empty() ? 1 : 0);
  EXPECT_TRUE(DescriptorsBackTo(descriptorsBefore)) << mervix::testing::DescribeDescriptors();
}

INSTANTIATE_TEST_SUITE_P(Faults, WindowHostileFaultTest, ::testing::ValuesIn(mervix::testing::HostileCases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           return mervix::testing::HostileCaseName(info.param);
                         });

// A device that falls silent in the middle of the blocks, and the operator
// closes the window and confirms the stop: the block in flight is waited for
// up to the stop's limit, then the connection is drained within its bound
// and closed (the device, reading on, sees the close), the image file is
// closed, and a new window of the same process downloads to the same device.
TEST_F(WindowHostileTest, SilentDeviceAndTheWindowClosedDrainsWithinTheBound) {
  for (const HostileRun run : {HostileRun::Firmware, HostileRun::Module}) {
    SCOPED_TRACE(run == HostileRun::Firmware ? "firmware" : "module");
    ModalSeam::reset();
    DevsimProcess device;
    std::string error;
    ASSERT_TRUE(device.Start({"--download-mode", "--fault", "block.1=silent"}, &error)) << error;
    const int idle = mervix::testing::OpenSocketsAndFiles();
    // The version (firmware only) and the confirmation; the next answer is the stop's.
    StartRun(run, device.Port(), false, std::vector<Answer>(run == HostileRun::Firmware ? 2 : 1, Answer::Ok));
    ASSERT_TRUE(WaitUntil([&] { return window_->Job().State() == DownloadState::SendingBlocks; }, 5000));
    QTest::qWait(300);  // the second block is out; no reply comes
    ASSERT_TRUE(window_->Runner().HasConnection());
    EXPECT_FALSE(Button()->isEnabled());
    EXPECT_TRUE(HoldsOpen(window_->Job().ImagePath())) << "the blocks are read from the open image";
    EXPECT_GE(mervix::testing::OpenSocketsAndFiles(), idle + 2) << "the socket and the image are counted";

    constexpr int kStopLimitMs = 300;
    window_->SetStopLimitMs(kStopLimitMs);
    ModalSeam::setNextAnswer(Answer::Yes);  // "... Stop the download?"
    QElapsedTimer timer;
    timer.start();
    window_->close();
    ASSERT_TRUE(WaitUntil([&] { return !window_->isVisible(); }, kStopLimitMs + CClntSocket::kDrainLimitMs + 3000));
    EXPECT_GE(timer.elapsed(), kStopLimitMs);
    EXPECT_LT(timer.elapsed(), kStopLimitMs + CClntSocket::kDrainLimitMs + 1500);
    EXPECT_EQ(ModalSeam::unansweredCount(), 0);
    EXPECT_FALSE(window_->Runner().HasConnection());
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Closed);
    EXPECT_TRUE(Button()->isEnabled());
    EXPECT_FALSE(HoldsOpen(file_));
    EXPECT_TRUE(DescriptorsBackTo(idle)) << mervix::testing::DescribeDescriptors();
    DevsimRecord r;
    WaitUntil(
        [&] {
          r = device.Record();
          return !r.Text("last_end").empty();
        },
        3000);
    EXPECT_EQ(r.Text("last_end"), "silent") << "written once the tool had closed the connection";
    EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{65536, 65536}));

    // A new window in the same process.
    window_.reset();
    OpenWindow();
    ModalSeam::reset();
    StartRun(run, device.Port());
    ASSERT_TRUE(RunEnds()) << window_->Log().Text();
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << window_->Log().Text();
    device.Stop();
    EXPECT_EQ(device.ReceivedImage(), image_);
    EXPECT_FALSE(HoldsOpen(file_));
  }
}

// Nobody listens at first: "Retry?" is answered Yes after the device has
// come up on that port, and the run goes through. Refused again, Yes and
// then No: "Connect error", nothing held open, the indicator back on.
TEST_F(WindowHostileTest, RefusedConnectionRetriedWithYesThenAnsweredNo) {
  for (const HostileRun run : {HostileRun::Firmware, HostileRun::Module}) {
    SCOPED_TRACE(run == HostileRun::Firmware ? "firmware" : "module");
    const bool firmware = run == HostileRun::Firmware;
    // The boxes of a run: the version of a firmware image, then |rest|.
    auto answers = [&](std::vector<Answer> rest) {
      if (firmware) rest.insert(rest.begin(), Answer::Ok);
      return rest;
    };
    ModalSeam::reset();
    LoopbackPort refusing;
    const std::uint16_t port = refusing.Port();
    DevsimProcess device;
    std::string startError;
    bool started = false;
    // The hook runs as each request is recorded (the file chooser, the
    // Base Address dialog, the version box...) and waits for "Retry?".
    std::function<void()> atRetry = [&] {
      if (ModalSeam::records().back().text != "Retry?") {
        ModalSeam::setNextRequestHook(atRetry);
        return;
      }
      refusing.Release();
      started = device.Start({"--download-mode", "--port", std::to_string(port)}, &startError);
    };
    ModalSeam::setNextRequestHook(atRetry);
    StartRun(run, port, false, answers({Answer::Yes, Answer::Ok, Answer::Ok}));
    ASSERT_TRUE(RunEnds()) << window_->Log().Text();
    ASSERT_TRUE(started) << startError;
    std::vector<std::string> boxes = testing::BoxTexts();
    if (firmware && !boxes.empty()) boxes.erase(boxes.begin());
    EXPECT_EQ(boxes, (std::vector<std::string>{"Retry?", kConfirmBox, kFinishedBox}));
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Finished) << window_->Log().Text();
    device.Stop();
    EXPECT_EQ(device.Record().Number("connections"), 1);
    EXPECT_EQ(device.ReceivedImage(), image_);

    // Refused for good: Yes, then No.
    ModalSeam::reset();
    LoopbackPort still;
    StartRun(run, still.Port(), true, answers({Answer::Yes, Answer::No, Answer::Ok}));
    ASSERT_TRUE(RunEnds()) << window_->Log().Text();
    boxes = testing::BoxTexts();
    if (firmware && !boxes.empty()) boxes.erase(boxes.begin());
    EXPECT_EQ(boxes, (std::vector<std::string>{"Retry?", "Retry?", "Connect error"}));
    EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Failed);
    EXPECT_EQ(window_->Job().LastFailure().origin, FailureOrigin::Link);
    EXPECT_EQ(ModalSeam::unansweredCount(), 0);
    EXPECT_TRUE(Button()->isEnabled());
    EXPECT_FALSE(HoldsOpen(file_));
  }
}

// The device goes away while "Permanent write! Continue?" is up (the box
// keeps the event loop running, so the close is noticed under it and held
// until the answer). OK then
// must end the run with a message, not wait for a device that is gone, and
// leave nothing open; Cancel ends it quietly as always.
TEST_F(WindowHostileTest, DeviceGoneWhileTheConfirmationIsUp) {
  for (const Answer answer : {Answer::Ok, Answer::Cancel}) {
    SCOPED_TRACE(answer == Answer::Ok ? "ok" : "cancel");
    ModalSeam::reset();
    DevsimProcess device;
    std::string error;
    ASSERT_TRUE(device.Start({"--download-mode"}, &error)) << error;
    const int descriptorsBefore = mervix::testing::OpenSocketsAndFiles();
    std::function<void()> atConfirm = [&] {
      if (ModalSeam::records().back().text != kConfirmBox) {
        ModalSeam::setNextRequestHook(atConfirm);
        return;
      }
      device.Stop();  // the device closes its side and is gone
      QElapsedTimer t;
      t.start();
      while (t.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    };
    ModalSeam::setNextRequestHook(atConfirm);
    StartRun(HostileRun::Firmware, device.Port(), false, {Answer::Ok, answer, Answer::Ok, Answer::Ok});
    ASSERT_TRUE(RunEnds()) << window_->Log().Text();
    QCoreApplication::processEvents();
    std::vector<std::string> boxes = testing::BoxTexts();
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], kConfirmBox);
    if (answer == Answer::Ok) {
      EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Failed) << window_->Log().Text();
      ASSERT_EQ(boxes.size(), 3u) << window_->Log().Text();
      EXPECT_TRUE(boxes[2] == "128:IDS_ERROR_TOOMANY" || boxes[2] == "Send error") << boxes[2];
    } else {
      EXPECT_EQ(window_->Job().LastOutcome(), RunOutcome::Cancelled);
      EXPECT_EQ(boxes.size(), 2u);
    }
    EXPECT_TRUE(Button()->isEnabled());
    EXPECT_FALSE(HoldsOpen(file_));
    EXPECT_TRUE(DescriptorsBackTo(descriptorsBefore)) << mervix::testing::DescribeDescriptors();
    EXPECT_EQ(device.Record().Number("size_requests"), 0);
  }
}

}  // namespace
}  // namespace mervix
