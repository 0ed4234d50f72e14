// Takes the pictures of the "Several devices" window from real runs against
// the device simulator on 127.0.0.1. Not a test: scripts/screenshots runs it
// (under Xvfb) after the main window's tool.
//
//   mervix-fleet-screenshots OUTPUT_DIR
//
// The language follows the locale (LANG); <lang> is "en" or "ja":
//   several-devices-<lang>.png  8 devices on their way, one refused
//   station-<lang>.png          the station: a slot passed, one failed, one
//                               writing, one waiting for its unit
#include "operations/StationEngine.h"
#include "resources/MessageTable.h"
#include "shell/DownloadApp.h"
#include "shell/FleetDlg.h"
#include "shell/ModalSeam.h"
#include "shell/QtSettingsStore.h"
#include "tests/support/DevsimProcess.h"
#include "tests/shell/ScreenshotSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

namespace {

using mervix::screenshots::ServeUntil;

bool Save(QWidget& widget, const QDir& out, const QString& name) {
  return mervix::screenshots::Save(widget, out, name, 400);
}

// An image of |blocks| blocks, version 1.05.
std::string WriteImage(const QTemporaryDir& files, const char* name, std::size_t blocks) {
  std::vector<char> image(blocks * 65536 - 1000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 7919u) >> 5);
  std::copy_n("REV-", 4, image.begin() + 8);
  image[12] = 1;
  image[13] = 5;
  const std::string path = QDir(files.path()).filePath(QString::fromLatin1(name)).toStdString();
  std::ofstream(path, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  return path;
}

// Start: the chooser takes |image|; the version box and the confirmation OK.
void Start(mervix::CFleetDlg& window, const std::string& image) {
  mervix::ModalSeam::setNextFileName(QString::fromStdString(image));
  mervix::ModalSeam::setNextAnswer(mervix::Answer::Ok);
  mervix::ModalSeam::setNextAnswer(mervix::Answer::Ok);
  window.findChild<QPushButton*>(QStringLiteral("fleet_start"))->click();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QTemporaryDir settingsDir;
  QTemporaryDir files;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
  mervix::CDownloadApp start;
  if (!start.InitInstance()) return 1;
  QCoreApplication::setApplicationName(QStringLiteral("mervix"));
  const QString suffix = mervix::ActiveLanguage() == mervix::Language::Japanese ? QStringLiteral("ja")
                                                                                 : QStringLiteral("en");
  const QString record = QDir(files.path()).filePath(QStringLiteral("records.jsonl"));
  bool ok = true;
  std::string error;

  // Eight devices that take a moment over each block; the fourth refuses
  // the image's size.
  {
    mervix::testing::DevsimProcess devices;
    devices.SetDevices(8);
    devices.SetWriteImage(false);
    if (!devices.Start({"--reply-delay", "150", "--fault-device", "3:size=nak:0x0020"}, &error)) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      return 1;
    }
    mervix::QtSettingsStore settings;
    mervix::CFleetDlg window(settings);
    window.SetModeSwitchPauseMs(300);
    window.findChild<QLineEdit*>(QStringLiteral("fleet_record"))->setText(record);
    const char* names[] = {"rack-a1", "rack-a2", "rack-a3", "rack-a4", "", "", "", ""};
    const std::string hosts = QDir(files.path()).filePath(QStringLiteral("bench.csv")).toStdString();
    {
      std::ofstream list(hosts);
      list << "host,name\n";
      for (std::size_t k = 0; k < 8; ++k) list << "127.0.0.1:" << devices.Ports()[k] << "," << names[k] << "\n";
    }
    window.AddDevicesFromFile(hosts);
    window.show();
    ServeUntil([&] { return window.isVisible(); }, 2000);
    Start(window, WriteImage(files, "router-1.05.img", 31));
    const bool halfway = ServeUntil([&] { return window.Table().Row(0).percent >= 35; }, 60000);
    ok = halfway && Save(window, out, QStringLiteral("several-devices-%1.png").arg(suffix)) && ok;
    mervix::ModalSeam::setNextAnswer(mervix::Answer::Yes);
    window.OnStop();
    ServeUntil([&] { return !window.Running(); }, 60000);
  }

  // The station: four slots. The first slot's unit takes the image, the
  // second's refuses it, the third's is slow and being written, and the
  // fourth has no unit yet.
  {
    mervix::testing::DevsimProcess passing, failing, slow;
    const std::vector<std::string> unit = {"--units", "1", "--restart-after", "0.3", "--leave-after", "600"};
    std::vector<std::string> refusing = unit;
    refusing.insert(refusing.end(), {"--unit-fault", "1:size=nak:0x0020"});
    std::vector<std::string> slowly = unit;
    slowly.insert(slowly.end(), {"--reply-delay", "400"});
    if (!passing.Start(unit, &error) || !failing.Start(refusing, &error) || !slow.Start(slowly, &error)) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      return 1;
    }
    mervix::QtSettingsStore settings;
    mervix::CFleetDlg window(settings);
    window.SetModeSwitchPauseMs(300);
    window.SetProbeIntervalMs(300);
    window.findChild<QLineEdit*>(QStringLiteral("fleet_record"))->setText(record);
    window.findChild<QCheckBox*>(QStringLiteral("fleet_repeat"))->setChecked(true);
    window.findChild<QCheckBox*>(QStringLiteral("fleet_automatic"))->setChecked(true);
    for (std::uint16_t port : {passing.Port(), failing.Port(), slow.Port(), std::uint16_t(1)}) {
      window.AddTypedDevice("127.0.0.1:" + std::to_string(port));
    }
    window.show();
    ServeUntil([&] { return window.isVisible(); }, 2000);
    Start(window, WriteImage(files, "router-1.05.img", 12));
    const bool shown = ServeUntil(
        [&] {
          const mervix::StationEngine* station = window.Station();
          return station != nullptr && station->Slot(0).state == mervix::SlotState::Passed &&
                 station->Slot(1).state == mervix::SlotState::Failed &&
                 station->Slot(2).state == mervix::SlotState::Writing && window.Table().Row(2).percent >= 30;
        },
        60000);
    ok = shown && Save(window, out, QStringLiteral("station-%1.png").arg(suffix)) && ok;
    mervix::ModalSeam::setNextAnswer(mervix::Answer::Yes);
    window.OnStop();
    ServeUntil([&] { return !window.Running(); }, 60000);
  }
  return ok ? 0 : 1;
}
