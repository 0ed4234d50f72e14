// The fleet engine driving the window's runners: two devices at once from
// the window's event loop, one that takes the image and one that refuses
// its size, each with its own log, boxes over the window, and the fleet's
// end once both are over.
#include "ShellTestSupport.h"

#include "operations/FleetEngine.h"
#include "operations/ImagePreparation.h"
#include "shell/QtFleetHost.h"
#include "tests/operations/OperationsTestSupport.h"
#include "tests/support/DevsimProcess.h"

namespace mervix {
namespace {

using testing::WaitUntil;

struct Recorder : FleetObserver {
  void OnDeviceLog(std::size_t index, const std::string& appended) override { logs[index] += appended; }
  void OnDeviceEnded(std::size_t index, const DeviceRecord& record) override { causes[index] = record.cause; }
  void OnFleetEnded() override { ended = true; }
  std::string logs[2];
  RunCause causes[2] = {RunCause::Unknown, RunCause::Unknown};
  bool ended = false;
};

class WindowFleetTest : public testing::WindowTest {};

TEST_F(WindowFleetTest, TwoDevicesRunAtOnceThroughTheWindowsRunners) {
  mervix::testing::DevsimProcess good, refusing;
  std::string error;
  ASSERT_TRUE(good.Start({}, &error)) << error;
  ASSERT_TRUE(refusing.Start({"--fault", "size=nak:0x0020"}, &error)) << error;
  mervix::testing::TempFolder dir;
  const mervix::testing::Bytes bytes = mervix::testing::MakeImage(150000, 2, 7);
  mervix::testing::WriteBytes(dir / "fleet.img", bytes);
  PreparedImage image;
  ASSERT_FALSE(PrepareImageAsItIs(dir / "fleet.img", &image).failed());
  for (int i = 0; i < 4; ++i) ModalSeam::setNextAnswer(Answer::Ok);  // each confirmation and end box

  QtFleetHost host(Window());
  Recorder recorder;
  FleetSettings settings;
  settings.jobs = 2;
  settings.modeSwitchPauseMs = testing::kShortModeSwitchPauseMs;
  auto device = [](std::uint16_t port) {
    FleetDevice d;
    d.host = "127.0.0.1";
    d.port = port;
    d.label = "127.0.0.1:" + std::to_string(port);
    return d;
  };
  FleetEngine fleet(image, {device(good.Port()), device(refusing.Port())}, settings, host, recorder);
  ASSERT_TRUE(fleet.Start(&error)) << error;
  EXPECT_NE(host.Runner(0), nullptr);
  EXPECT_NE(host.Runner(1), nullptr) << "both devices start at once";
  ASSERT_TRUE(WaitUntil([&] { return recorder.ended; }, 30000)) << recorder.logs[0] << recorder.logs[1];
  fleet.Finish();

  EXPECT_EQ(recorder.causes[0], RunCause::Finished) << recorder.logs[0];
  EXPECT_EQ(recorder.causes[1], RunCause::Refused) << recorder.logs[1];
  EXPECT_NE(recorder.logs[0].find("Download finished\r\n"), std::string::npos) << recorder.logs[0];
  EXPECT_NE(recorder.logs[1].find("NAK(Download size error)"), std::string::npos) << recorder.logs[1];
  EXPECT_EQ(ModalSeam::unansweredCount(), 0);
  EXPECT_TRUE(testing::DownloadButton(Window())->isEnabled()) << "a device's end leaves the window's button alone";
  good.Stop();
  EXPECT_EQ(good.ReceivedImage(), bytes);
}

}  // namespace
}  // namespace mervix
