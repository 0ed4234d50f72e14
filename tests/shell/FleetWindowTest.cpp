// The "Several devices" window against simulated devices: 20 devices from
// a hosts file with two faulted, every other one holding the exact image,
// one record each and no box of any device; Stop during the run, every
// device ending after its block in flight; 200 devices with the event loop
// answering throughout; the station writing three units one after the
// other at a slot, never one twice, FAIL shown and then PASS again; the
// manual station writing only once Space is pressed; the main window's own
// runs in the record when the operator switched that on; and, across a
// veth pair between namespaces of the test's own, each unit's MAC address.
#include "ShellTestSupport.h"

#include "operations/Sha256.h"
#include "shell/FleetDlg.h"
#include "tests/hostile/OpenFiles.h"
#include "tests/operations/OperationsTestSupport.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/Programs.h"
#include "tests/support/StationLink.h"
#ifndef _WIN32
#include "tests/support/ChildProcess.h"
#endif

#include <QLabel>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <map>

namespace mervix {
namespace {

using mervix::testing::Bytes;
using mervix::testing::DevsimProcess;
using testing::WaitUntil;

std::vector<nlohmann::json> ReadRecords(const std::string& path) {
  std::vector<nlohmann::json> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

std::string Sha256Of(const Bytes& bytes) {
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.FinishHex();
}

class FleetWindowTest : public testing::ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    window_ = std::make_unique<CFleetDlg>(store_);
    window_->SetModeSwitchPauseMs(testing::kShortModeSwitchPauseMs);
    window_->show();
    recordPath_ = dir_ / "records.jsonl";
    Field<QLineEdit>("fleet_record")->setText(QString::fromStdString(recordPath_));
  }
  void TearDown() override {
    window_.reset();
    ShellTest::TearDown();
  }
  template <typename T>
  T* Field(const char* name) {
    return window_->findChild<T*>(QString::fromLatin1(name));
  }
  std::string WriteImage(std::size_t size) {
    image_ = mervix::testing::MakeImage(size, 2, 7);
    const std::string path = dir_ / "fleet.img";
    mervix::testing::WriteBytes(path, image_);
    return path;
  }
  // Start: the chooser takes |image|, the version box and the one
  // confirmation are answered OK.
  void Start(const std::string& image) {
    ModalSeam::setNextFileName(QString::fromStdString(image));
    ModalSeam::setNextAnswer(Answer::Ok);  // the version box
    ModalSeam::setNextAnswer(Answer::Ok);  // "Permanent write to N devices ..."
    Field<QPushButton>("fleet_start")->click();
  }
  std::string Hosts(const std::vector<std::uint16_t>& ports) {
    const std::string path = dir_ / "devices.hosts";
    std::ofstream out(path);
    out << "# the bench\n";
    for (std::uint16_t port : ports) out << "127.0.0.1:" << port << "\n";
    return path;
  }

  QtSettingsStore store_;
  mervix::testing::TempFolder dir_;
  std::unique_ptr<CFleetDlg> window_;
  std::string recordPath_;
  Bytes image_;
};

TEST_F(FleetWindowTest, TwentyDevicesFromAHostsFileTwoFaultedTheOthersHoldTheImage) {
  constexpr unsigned kDevices = 20, kRefuses = 4, kSilent = 13;
  DevsimProcess sim;
  sim.SetDevices(kDevices);
  std::string error;
  ASSERT_TRUE(sim.Start({"--fault-device", std::to_string(kRefuses) + ":size=nak:0x0020", "--fault-device",
                         std::to_string(kSilent) + ":block.2=silent"},
                        &error))
      << error;
  ASSERT_TRUE(window_->AddDevicesFromFile(Hosts(sim.Ports())));
  ASSERT_EQ(window_->Devices(), kDevices);
  window_->SetResponseLimits(2000, 2000);
  Field<QSpinBox>("fleet_jobs")->setValue(8);
  Start(WriteImage(200000));
  ASSERT_TRUE(window_->Running());
  EXPECT_FALSE(Field<QPushButton>("fleet_start")->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return !window_->Running(); }, 120000)) << window_->TotalText();

  EXPECT_EQ(ModalSeam::unansweredCount(), 0) << "no device shows a box of its own";
  EXPECT_EQ(testing::BoxTexts().size(), 2u);
  const std::string total = Field<QLabel>("fleet_total")->text().toStdString();
  EXPECT_NE(total.find("20 devices: 18 finished, 1 refused, 1 failed, 0 stopped"), std::string::npos) << total;
  EXPECT_NE(total.find("refused by the device (exit code 1)"), std::string::npos) << total;
  EXPECT_NE(total.find("no answer in time (exit code 6)"), std::string::npos) << total;
  std::map<std::string, nlohmann::json> byDevice;
  for (const nlohmann::json& r : ReadRecords(recordPath_)) byDevice[r["device"].get<std::string>()] = r;
  ASSERT_EQ(byDevice.size(), kDevices) << "one record a device";
  const std::string sha256 = Sha256Of(image_);
  for (unsigned k = 0; k < kDevices; ++k) {
    SCOPED_TRACE(k);
    const nlohmann::json& r = byDevice["127.0.0.1:" + std::to_string(sim.Ports()[k])];
    EXPECT_EQ(r["command"], "window");
    EXPECT_EQ(r["sha256"], sha256);
    const FleetRow& row = window_->Table().Row(k);
    if (k == kRefuses || k == kSilent) {
      EXPECT_EQ(r["cause"], k == kRefuses ? "refused" : "timeout");
      EXPECT_EQ(row.tone, FleetRow::Tone::Bad);
      EXPECT_NE(sim.ReceivedImage(k), image_);
    } else {
      EXPECT_EQ(r["cause"], "finished");
      EXPECT_EQ(row.percent, 100);
      EXPECT_EQ(sim.ReceivedImage(k), image_);
    }
  }
  EXPECT_NE(window_->DeviceLog(kRefuses).find("NAK(Download size error)"), std::string::npos);
  window_->ShowDeviceLog(kRefuses);
  auto* log = window_->findChild<QPlainTextEdit*>(QStringLiteral("fleet_log_text"));
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->toPlainText().contains(QStringLiteral("NAK(Download size error)")));
  // The image stays held for the next Start until the window is closed.
  EXPECT_TRUE(mervix::testing::HoldsOpen(dir_ / "fleet.img"));
  Field<QPushButton>("fleet_close")->click();
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(window_->Image(), nullptr);
  EXPECT_FALSE(mervix::testing::HoldsOpen(dir_ / "fleet.img"));
}

TEST_F(FleetWindowTest, StopAsksOnceAndEveryDeviceEndsAfterItsBlockInFlight) {
  constexpr unsigned kDevices = 6;
  DevsimProcess sim;
  sim.SetDevices(kDevices);
  std::string error;
  ASSERT_TRUE(sim.Start({"--reply-delay", "60"}, &error)) << error;
  ASSERT_TRUE(window_->AddDevicesFromFile(Hosts(sim.Ports())));
  Field<QSpinBox>("fleet_jobs")->setValue(4);  // two wait, and never start
  Start(WriteImage(40 * 65536));
  ASSERT_TRUE(WaitUntil([&] { return window_->Table().Row(0).percent >= 5; }, 30000)) << window_->TotalText();
  ModalSeam::setNextAnswer(Answer::Yes);
  Field<QPushButton>("fleet_stop")->click();
  EXPECT_FALSE(Field<QPushButton>("fleet_stop")->isEnabled()) << "asked once";
  ASSERT_TRUE(WaitUntil([&] { return !window_->Running(); }, 60000)) << window_->TotalText();
  EXPECT_EQ(ModalSeam::unansweredCount(), 0);
  const std::vector<nlohmann::json> records = ReadRecords(recordPath_);
  ASSERT_EQ(records.size(), 4u) << "the devices that started";
  for (unsigned k = 0; k < kDevices; ++k) {
    SCOPED_TRACE(k);
    const mervix::testing::DevsimRecord r = sim.Record(k);
    EXPECT_EQ(r.Number("downloads_completed", 0), 0);
    // Whole blocks only: no block was cut off in flight.
    EXPECT_EQ(r.Number("bytes_received", 0) % 65536, 0);
    EXPECT_EQ(r.Number("partial_frame_bytes", 0), 0);
  }
  for (const nlohmann::json& r : records) EXPECT_EQ(r["cause"], "stopped") << r.dump();
  EXPECT_NE(Field<QLabel>("fleet_total")->text().toStdString().find("6 devices: 0 finished, 0 refused, 0 failed, 6 stopped"),
            std::string::npos)
      << Field<QLabel>("fleet_total")->text().toStdString();
}

// The event loop's largest gap between two ticks of a 10 ms timer while 200
// devices run: the window keeps answering the operator.
TEST_F(FleetWindowTest, TwoHundredDevicesLeaveTheWindowAnswering) {
  constexpr unsigned kDevices = 200;
  DevsimProcess sim;
  sim.SetDevices(kDevices);
  sim.SetWriteImage(false);
  // The simulator rewrites each device's record after every connection: in
  // memory (tmpfs) that costs the machine nothing the window would feel.
  const char* tmp = std::getenv("TMPDIR");
  const std::string kept = tmp != nullptr ? tmp : "";
  if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
  std::string error;
  const bool started = sim.Start({}, &error, false, 30000);
  if (tmp != nullptr) {
    ::setenv("TMPDIR", kept.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  ASSERT_TRUE(started) << error;
  ASSERT_TRUE(window_->AddDevicesFromFile(Hosts(sim.Ports())));
  Field<QSpinBox>("fleet_jobs")->setValue(kDevices);
  QElapsedTimer clock;
  qint64 last = -1, largest = 0;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    if (last >= 0) largest = std::max(largest, now - last);
    last = now;
  });
  Start(WriteImage(3 * 65536));
  clock.start();
  tick.start(10);
  ASSERT_TRUE(WaitUntil([&] { return !window_->Running(); }, 120000)) << window_->TotalText();
  tick.stop();
  EXPECT_NE(Field<QLabel>("fleet_total")->text().toStdString().find("200 devices: 200 finished"), std::string::npos)
      << Field<QLabel>("fleet_total")->text().toStdString();
  // Sanitizers make every step several times slower; the bound grows with them.
  int bound = 100;
#if defined(__SANITIZE_ADDRESS__)
  bound *= 5;
#endif
  RecordProperty("largest_delay_ms", static_cast<int>(largest));
  std::printf("largest delay of the event loop with %u devices: %lld ms\n", kDevices, static_cast<long long>(largest));
#ifndef _WIN32
  // (Under Wine the loop's delays are Wine's own: the figure is only shown.)
  EXPECT_LT(largest, bound) << "the largest delay of the event loop, in ms";
#endif
}

TEST_F(FleetWindowTest, TheMainWindowsRunsGoIntoTheRecordOnceSwitchedOn) {
  DevsimProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start({}, &error)) << error;
  const std::string image = WriteImage(100000);
  Field<QCheckBox>("fleet_record_window")->setChecked(true);
  for (bool on : {true, false}) {
    SCOPED_TRACE(on);
    Field<QCheckBox>("fleet_record_window")->setChecked(on);
    CDownloadDlg main(store_);
    main.Runner().SetModeSwitchPauseMs(testing::kShortModeSwitchPauseMs);
    testing::AimAt(main, sim.Port());
    for (int i = 0; i < 3; ++i) ModalSeam::setNextAnswer(Answer::Ok);  // version, confirmation, finished
    testing::ClickDownload(main, image);
    ASSERT_TRUE(WaitUntil([&] { return !main.RunInProgress(); }, 30000));
  }
  const std::vector<nlohmann::json> records = ReadRecords(recordPath_);
  ASSERT_EQ(records.size(), 1u) << "only the run made while the switch was on";
  EXPECT_EQ(records[0]["command"], "window");
  EXPECT_EQ(records[0]["device"], "127.0.0.1:" + std::to_string(sim.Port()));
  EXPECT_EQ(records[0]["cause"], "finished");
  EXPECT_EQ(records[0]["source"], testing::Shown(image));
  EXPECT_EQ(records[0]["sha256"], Sha256Of(image_));
}

TEST_F(FleetWindowTest, TheListRefusesBadLinesAndDevicesGivenTwice) {
  const std::string bad = dir_ / "bad.hosts";
  std::ofstream(bad) << "10.0.0.5\n10.0.0.6:99999\n";
  ModalSeam::setNextAnswer(Answer::Ok);
  EXPECT_FALSE(window_->AddDevicesFromFile(bad));
  EXPECT_EQ(window_->Devices(), 0u) << "nothing of a bad list";
  EXPECT_TRUE(window_->AddTypedDevice("10.0.0.5"));
  EXPECT_EQ(window_->Device(0).port, 2222);
  ModalSeam::setNextAnswer(Answer::Ok);
  EXPECT_FALSE(window_->AddTypedDevice("10.0.0.5:2222"));
  ModalSeam::setNextAnswer(Answer::Ok);
  EXPECT_FALSE(window_->AddTypedDevice("[fd00::1"));
  const std::string inventory = dir_ / "rack.csv";
  std::ofstream(inventory) << "host,name,site\n10.0.0.7:2300,leaf-7,north\n";
  EXPECT_TRUE(window_->AddDevicesFromFile(inventory));
  ASSERT_EQ(window_->Devices(), 2u);
  EXPECT_EQ(window_->Table().Row(1).name, "leaf-7");
  EXPECT_EQ(window_->Table().Row(1).device, "10.0.0.7:2300");
  const std::vector<std::string> boxes = testing::BoxTexts();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_NE(boxes[1].find("10.0.0.5:2222 is in the list already"), std::string::npos) << boxes[1];
  ModalSeam::reset();
  ModalSeam::setNextAnswer(Answer::Ok);
  window_->OnClear();
  Field<QPushButton>("fleet_start")->click();
  ASSERT_EQ(testing::BoxTexts().size(), 1u);
  EXPECT_NE(testing::BoxTexts()[0].find("Add the devices first"), std::string::npos);
}

// --- The station ------------------------------------------------------------

class StationWindowTest : public FleetWindowTest {
 protected:
  void Station(bool automatic, int goneSeconds) {
    Field<QCheckBox>("fleet_repeat")->setChecked(true);
    Field<QCheckBox>("fleet_automatic")->setChecked(automatic);
    Field<QSpinBox>("fleet_gone")->setValue(goneSeconds);
    window_->SetProbeIntervalMs(250);
  }
  void ExpectPassFailPass(const std::string& sha256, bool macs) {
    mervix::testing::ExpectPassFailPass(ReadRecords(recordPath_), "window", sha256, macs);
  }
};

// Run inside the station's namespace by the test below, with the slot and
// the record named by the environment; skipped otherwise.
TEST_F(StationWindowTest, InTheStationsNamespace) {
  const char* slot = std::getenv("MERVIX_TEST_STATION_SLOT");
  if (slot == nullptr) GTEST_SKIP() << "run by OnTheStationsLinkEachUnitIsKnownByItsMacAddress";
  Field<QLineEdit>("fleet_record")->setText(QString::fromLatin1(std::getenv("MERVIX_TEST_STATION_RECORD")));
  Station(true, 60);
  ASSERT_TRUE(window_->AddTypedDevice(slot));
  Start(WriteImage(150000));
  ASSERT_TRUE(WaitUntil([&] { return window_->Station() && window_->Station()->UnitsEnded() == 3; }, 45000))
      << window_->TotalText();
  EXPECT_NE(window_->Table().Row(0).outcome.find("MAC 02:00:00:00:00:03"), std::string::npos)
      << window_->Table().Row(0).outcome;
}

TEST_F(StationWindowTest, ASlotWritesThreeUnitsOnceEachTheFailedOneShownAsFail) {
  DevsimProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start({"--units", "3", "--restart-after", "0.5", "--leave-after", "1", "--absent", "4",
                         "--unit-fault", "2:size=nak:0x0020"},
                        &error))
      << error;
  Station(true, 2);
  ASSERT_TRUE(window_->AddTypedDevice("127.0.0.1:" + std::to_string(sim.Port())));
  ASSERT_NE(window_->Tile(0), nullptr);
  Start(WriteImage(150000));
  // Unit 2 refuses: its tile says FAIL until it has gone.
  ASSERT_TRUE(WaitUntil([&] { return window_->Tile(0)->Word() == QStringLiteral("FAIL"); }, 60000))
      << window_->TotalText();
  EXPECT_EQ(window_->Station()->Slot(0).unit.number, 2u);
  ASSERT_TRUE(WaitUntil([&] { return window_->Station()->UnitsEnded() == 3; }, 60000)) << window_->TotalText();
  EXPECT_EQ(window_->Tile(0)->Word(), QStringLiteral("PASS"));
  ModalSeam::setNextAnswer(Answer::Yes);
  Field<QPushButton>("fleet_stop")->click();
  ASSERT_TRUE(WaitUntil([&] { return !window_->Running(); }, 30000));
  const std::string total = Field<QLabel>("fleet_total")->text().toStdString();
  EXPECT_NE(total.find("3 units: 2 passed, 1 failed"), std::string::npos) << total;
  const std::string sha256 = Sha256Of(image_);
  ExpectPassFailPass(sha256, false);
  sim.Stop();
  mervix::testing::ExpectEachUnitWrittenOnce(sim.Record(), sha256);
}

TEST_F(StationWindowTest, TheManualStationWritesAUnitOnlyOnceSpaceIsPressed) {
  DevsimProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start({"--units", "2", "--restart-after", "0.3", "--leave-after", "1", "--absent", "3"}, &error))
      << error;
  Station(false, 2);
  ASSERT_TRUE(window_->AddTypedDevice("127.0.0.1:" + std::to_string(sim.Port())));
  Start(WriteImage(100000));  // Start arms the slot for the first unit
  ASSERT_TRUE(WaitUntil([&] { return window_->Station()->UnitsEnded() == 1; }, 30000)) << window_->TotalText();
  // The next unit answers and waits for the operator.
  ASSERT_TRUE(WaitUntil([&] { return window_->Station()->Slot(0).state == SlotState::Present; }, 30000))
      << window_->TotalText();
  QTest::qWait(1500);
  EXPECT_EQ(window_->Station()->UnitsEnded(), 1u);
  EXPECT_EQ(window_->Station()->Slot(0).state, SlotState::Present);
  QTest::keyClick(window_.get(), Qt::Key_Space);
  ASSERT_TRUE(WaitUntil([&] { return window_->Station()->UnitsEnded() == 2; }, 30000)) << window_->TotalText();
  EXPECT_EQ(window_->Station()->Passed(), 2u);
  ModalSeam::setNextAnswer(Answer::Yes);
  window_->OnStop();
  ASSERT_TRUE(WaitUntil([&] { return !window_->Running(); }, 30000));
}

#ifndef _WIN32
// (Network namespaces are Linux's own: on Windows there is no such test.)
// Two namespaces joined by a veth pair: the window's station in one (this
// test program run again there), the units on the other end, each with its
// own MAC address; the gone time is a minute, so only a new address can
// start the next unit in time.
TEST_F(StationWindowTest, OnTheStationsLinkEachUnitIsKnownByItsMacAddress) {
  if (std::getenv("MERVIX_TEST_STATION_SLOT") != nullptr) GTEST_SKIP() << "the inner run";
  mervix::testing::StationLink link("mvxw", "10.78.0");
  std::string whyNot;
  if (!link.Make(&whyNot)) GTEST_SKIP() << whyNot;
  const std::string simOut = dir_ / "sim.out", simRecord = dir_ / "sim.txt";
  const pid_t sim = mervix::testing::SpawnWithOutput(
      link.InBoard({mervix::testing::DevsimPath(), "--listen", link.BoardAddress(), "--port", "2222", "--record",
                    simRecord, "--units", "3", "--unit-link", link.BoardLink(), "--restart-after", "0.5",
                    "--leave-after", "1", "--absent", "1", "--unit-fault", "2:size=nak:0x0020"}),
      {}, simOut, -1);
  ASSERT_GT(sim, 0);
  char self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const mervix::testing::ProcessResult inner = mervix::testing::RunProcess(
      link.InStation({self, "--gtest_filter=StationWindowTest.InTheStationsNamespace"}), std::nullopt,
      {"MERVIX_TEST_STATION_SLOT=" + link.BoardAddress() + ":2222", "MERVIX_TEST_STATION_RECORD=" + recordPath_,
       "QT_QPA_PLATFORM=offscreen"},
      90000);
  ::kill(sim, SIGTERM);
  mervix::testing::WaitExit(sim);
  ASSERT_FALSE(inner.timedOut) << inner.out << inner.err;
  EXPECT_EQ(inner.exitCode, 0) << inner.out << inner.err;
  EXPECT_NE(inner.out.find("[  PASSED  ] 1 test"), std::string::npos) << inner.out;
  const std::string sha256 = Sha256Of(mervix::testing::MakeImage(150000, 2, 7));
  ExpectPassFailPass(sha256, true);
  mervix::testing::ExpectEachUnitWrittenOnce(mervix::testing::ReadDevsimRecord(simRecord), sha256);
}
#endif

}  // namespace
}  // namespace mervix
