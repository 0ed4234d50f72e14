// The window's firmware run through a hostile network: a proxy between the
// window and the device simulator. A slow link that delivers a byte at a
// time still ends with the exact image; a connection reset in the middle of
// a block ends with a link failure in that block, nothing left open, and the
// next run in the same window goes through.
#include "ShellTestSupport.h"

#include "protocol/Frames.h"
#include "resources/Failure.h"
#include "tests/hostile/OpenFiles.h"
#include "tests/operations/OperationsTestSupport.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/FaultProxy.h"
#include "tests/support/TempFolder.h"

namespace mervix {
namespace {

using mervix::testing::DevsimProcess;
using mervix::testing::DevsimRecord;
using mervix::testing::FaultProxy;
using Leg = FaultProxy::Leg;
using Faults = FaultProxy::Faults;

const char kVersionBox[] = "Firmware version 1.05 .";
const char kConfirmBox[] = "Permanent write! Continue?";
const char kFinishedBox[] = "Download finished";

class WindowNetworkTest : public testing::WindowTest {
 protected:
  void StartDevice(const std::vector<std::string>& options) {
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error)) << error;
  }

  // Writes a firmware image of |size| bytes (version 1.05) for the run.
  void MakeImage(std::size_t size) {
    image_ = mervix::testing::MakeImage(size, 1, 5);
    file_ = dir_ / "firmware.img";
    mervix::testing::WriteBytes(file_, image_);
  }

  // A firmware run against 127.0.0.1:|port|, every box answered OK, to its
  // end.
  void RunThrough(std::uint16_t port) {
    ModalSeam::reset();
    for (int i = 0; i < 3; ++i) ModalSeam::setNextAnswer(Answer::Ok);
    testing::AimAt(Window(), port);
    testing::ClickDownload(Window(), file_);
    ASSERT_TRUE(testing::RunEnds(Window(), 30000)) << LogText();
  }

  // Whether the process is back to |count| open sockets and files, once the
  // sockets the run let go of have been deleted by the event loop.
  static bool DescriptorsBackTo(int count) {
    return testing::WaitUntil(
        [&] {
          QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
          return mervix::testing::OpenSocketsAndFiles() == count;
        },
        1000);
  }

  mervix::testing::TempFolder dir_;
  DevsimProcess sim_;
  mervix::testing::Bytes image_;
  std::string file_;
};

// 200 ms each way, every byte on its own (the replies with a pause between
// the bytes, so the window reads them one by one), through the mode switch
// and the reconnection.
TEST_F(WindowNetworkTest, SlowLinkInOneBytePiecesDeliversTheExactImage) {
  StartDevice({});
  Faults faults = Faults().Latency(200).Pieces(1);
  faults.toClient.pieceGapMs = 5;
  FaultProxy proxy(sim_.Port(), faults);
  ASSERT_NE(proxy.Port(), 0);
  MakeImage(2 * kBlockSize + 300);

  RunThrough(proxy.Port());
  EXPECT_EQ(Window().Job().LastOutcome(), RunOutcome::Finished) << LogText();
  EXPECT_EQ(testing::BoxTexts(), (std::vector<std::string>{kVersionBox, kConfirmBox, kFinishedBox}));
  EXPECT_EQ(proxy.Seen().connections, 2u) << "the switch and the download, both through the proxy";
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image_);
  const DevsimRecord r = sim_.Record();
  EXPECT_EQ(r.Number("downloads_completed"), 1) << sim_.Log();
  EXPECT_EQ(r.Number("lockstep_violations"), 0);
}

// The first connection is reset half way through block 5 of 6: the run
// fails in block 5 with a link failure, the socket and the image are
// closed, and a second run, on a clean connection, delivers the exact image.
TEST_F(WindowNetworkTest, ResetInTheMiddleOfBlockFiveFailsAndTheNextRunFinishes) {
  StartDevice({"--download-mode"});
  // The status query and the size request come before the blocks.
  const std::uint64_t halfBlockFive = 2 * kFrameSize + 4 * std::uint64_t{kBlockSize} + kBlockSize / 2;
  FaultProxy proxy(sim_.Port(), Faults().ToDevice(Leg().ResetAfter(halfBlockFive)).OnlyConnection(1));
  ASSERT_NE(proxy.Port(), 0);
  MakeImage(5 * kBlockSize + 999);
  const int idle = mervix::testing::OpenSocketsAndFiles();

  RunThrough(proxy.Port());
  EXPECT_EQ(proxy.Seen().resets, 1u);
  EXPECT_EQ(Window().Job().LastOutcome(), RunOutcome::Failed) << LogText();
  const Failure& failure = Window().Job().LastFailure();
  EXPECT_EQ(failure.origin, FailureOrigin::Link) << Describe(failure);
  EXPECT_EQ(failure.phase, RunPhase::Block) << Describe(failure);
  EXPECT_EQ(failure.block, 5u) << Describe(failure);
  EXPECT_EQ(failure.blocks, 6u);
  const std::vector<std::string> boxes = testing::BoxTexts();
  ASSERT_EQ(boxes.size(), 3u) << LogText();
  EXPECT_EQ(boxes[1], kConfirmBox);
  EXPECT_EQ(boxes[2], failure.message) << "the failure is told in a box";
  EXPECT_EQ(LogText().find(kFinishedBox), std::string::npos) << LogText();
  EXPECT_TRUE(DescriptorsBackTo(idle)) << mervix::testing::DescribeDescriptors();

  RunThrough(proxy.Port());
  EXPECT_EQ(Window().Job().LastOutcome(), RunOutcome::Finished) << LogText();
  EXPECT_EQ(testing::BoxTexts().back(), kFinishedBox);
  EXPECT_EQ(proxy.Seen().connections, 2u);
  sim_.Stop();
  EXPECT_EQ(sim_.ReceivedImage(), image_);
  EXPECT_EQ(sim_.Record().Number("downloads_completed"), 1) << sim_.Log();
}

}  // namespace
}  // namespace mervix
