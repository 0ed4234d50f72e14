// Takes the documentation's pictures from a real run of the window against
// the device simulator on 127.0.0.1. Not a test: scripts/screenshots runs it
// (under Xvfb).
//
//   mervix-shell-screenshots OUTPUT_DIR
//
// The language follows the locale (LANG), as in the program; the file names
// carry it (<lang> is "en" or "ja"):
//   running-<lang>.png       the window while the blocks go out
//   main-window-<lang>.png   the window after the download finished
//   confirm-<lang>.png       "Permanent write! Continue?" with its detail
//   stop-<lang>.png          the question Stop asks
//   reconnecting-<lang>.png  the window in the pause after the mode switch
//   no-response-<lang>.png   the box of a device that fell silent
//   base-address-<lang>.png  the Base Address dialog
//   about-<lang>.png         the About dialog
//
// MERVIX_SCREENSHOT_PORTS=PORT,PORT takes two devices already running (see
// Device below) instead of starting simulators, and MERVIX_SCREENSHOT_IMAGE_COPY
// names a file that gets a copy of the image sent to the first.
#include "operations/SettingsStore.h"
#include "resources/MessageTable.h"
#include "resources/WindowMessages.h"
#include "shell/DownloadApp.h"
#include "shell/DownloadDlg.h"
#include "shell/ModalSeam.h"
#include "shell/QtSettingsStore.h"
#include "shell/SmallDialogs.h"
#include "tests/support/DevsimProcess.h"
#include "tests/shell/ScreenshotSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <vector>

namespace {

using mervix::screenshots::ServeUntil;
using mervix::screenshots::Save;

// A device of the pictures: the simulator started here with |options|, or,
// when MERVIX_SCREENSHOT_PORTS names ports ("PORT,PORT"), the one at the
// |index|-th port, started beforehand with those options by the caller (the
// Linux simulator behind the Windows window under Wine).
struct Device {
  mervix::testing::DevsimProcess own;
  std::uint16_t port = 0;
  bool Start(std::size_t index, const std::vector<std::string>& options, std::string* error) {
    if (const char* given = std::getenv("MERVIX_SCREENSHOT_PORTS")) {
      const QStringList ports = QString::fromLatin1(given).split(QLatin1Char(','));
      port = index < static_cast<std::size_t>(ports.size()) ? ports[static_cast<int>(index)].toUShort() : 0;
      if (port == 0) *error = "MERVIX_SCREENSHOT_PORTS names no port " + std::to_string(index + 1);
      return port != 0;
    }
    if (!own.Start(options, error)) return false;
    port = own.Port();
    return true;
  }
};

// A box as the window shows it, saved while the run goes on behind it.
bool SaveBox(QWidget* owner, const std::string& text, const std::string& detail, mervix::ButtonSet buttons,
             mervix::DefaultButton defaultButton, const QDir& out, const QString& name) {
  std::unique_ptr<QMessageBox> box = mervix::CreateMessageBox(owner, text, buttons, detail, defaultButton);
  box->show();
  const bool ok = Save(*box, out, name);
  box->hide();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  // Never read or write the user's own settings.
  QTemporaryDir settingsDir;
  QTemporaryDir files;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
  mervix::CDownloadApp start;
  if (!start.InitInstance()) return 1;
  QCoreApplication::setApplicationName(QStringLiteral("mervix"));
  const bool japanese = mervix::ActiveLanguage() == mervix::Language::Japanese;
  const QString suffix = japanese ? QStringLiteral("ja") : QStringLiteral("en");

  // A device already in download mode that takes a moment over each block,
  // and a 2 MB image (31 blocks), version 1.05.
  Device device;
  std::string error;
  if (!device.Start(0, {"--download-mode", "--reply-delay", "120"}, &error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }
  std::vector<char> image(31 * 65536 - 1000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 7919u) >> 5);
  std::copy_n("REV-", 4, image.begin() + 8);
  image[12] = 1;
  image[13] = 5;
  const std::string imagePath = QDir(files.path()).filePath(QStringLiteral("router-1.05.img")).toStdString();
  std::ofstream(imagePath, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  // The caller may check what its device received against the image.
  if (const char* copy = std::getenv("MERVIX_SCREENSHOT_IMAGE_COPY")) {
    std::ofstream(copy, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  }

  mervix::QtSettingsStore settings;
  mervix::CDownloadDlg window(settings);
  window.findChild<QLineEdit*>(QStringLiteral("1000"))->setText(QStringLiteral("127.0.0.1"));
  window.findChild<QLineEdit*>(QStringLiteral("1004"))->setText(QString::number(device.port));
  window.show();
  ServeUntil([&] { return window.isVisible(); }, 2000);

  // The run's boxes are answered through the seam; the confirmation is
  // pictured as it would stand over the window, with its detail.
  bool ok = true;
  mervix::ModalSeam::setNextFileName(QString::fromStdString(imagePath));
  mervix::ModalSeam::setNextAnswer(mervix::Answer::Ok);  // the version
  mervix::ModalSeam::setNextAnswer(mervix::Answer::Ok);  // the confirmation
  mervix::ModalSeam::setNextAnswer(mervix::Answer::Ok);  // "Download finished"
  std::function<void()> atBox = [&] {
    const mervix::ModalRecord& box = mervix::ModalSeam::records().back();
    if (box.kind == mervix::ModalRecord::Kind::MessageBox && box.buttons == mervix::ButtonSet::OkCancel) {
      ok = SaveBox(&window, box.text, box.detail, box.buttons, mervix::DefaultButton::Affirmative, out,
                   QStringLiteral("confirm-%1.png").arg(suffix)) && ok;
    } else {
      mervix::ModalSeam::setNextRequestHook(atBox);
    }
  };
  mervix::ModalSeam::setNextRequestHook(atBox);
  window.findChild<QPushButton*>(QStringLiteral("1001"))->click();

  const bool halfway = ServeUntil(
      [&] {
        const mervix::Progress& p = window.Runner().Meter().Last();
        return p.phase == mervix::ProgressPhase::Sending && p.block >= 14;
      },
      60000);
  if (!halfway) {
    std::fprintf(stderr, "the run did not get to block 14:\n%s\n", window.Log().Text().c_str());
    return 1;
  }
  ok = Save(window, out, QStringLiteral("running-%1.png").arg(suffix)) && ok;
  ok = SaveBox(&window, mervix::GetMessageText(mervix::IDS_WINDOW_ASK_STOP), std::string(), mervix::ButtonSet::YesNo,
               mervix::DefaultButton::Negative, out, QStringLiteral("stop-%1.png").arg(suffix)) &&
       ok;
  if (!ServeUntil([&] { return !window.RunInProgress() && window.Runner().RunsEnded() > 0; }, 60000) ||
      window.Job().LastOutcome() != mervix::RunOutcome::Finished) {
    std::fprintf(stderr, "the run did not finish:\n%s\n", window.Log().Text().c_str());
    return 1;
  }
  ok = Save(window, out, QStringLiteral("main-window-%1.png").arg(suffix)) && ok;
  ok = SaveBox(&window, mervix::GetMessageText(mervix::IDS_ERROR_NO_RESPONSE),
               "no response from the device within 120 seconds", mervix::ButtonSet::Ok,
               mervix::DefaultButton::Affirmative, out, QStringLiteral("no-response-%1.png").arg(suffix)) &&
       ok;

  // A device that switches into download mode first: the window in the
  // pause before the reconnect, then stopped there.
  Device switching;
  if (!switching.Start(1, {}, &error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }
  window.findChild<QLineEdit*>(QStringLiteral("1004"))->setText(QString::number(switching.port));
  window.Runner().SetModeSwitchPauseMs(60000);
  mervix::ModalSeam::setNextFileName(QString::fromStdString(imagePath));
  mervix::ModalSeam::setNextAnswer(mervix::Answer::Ok);  // the version
  window.findChild<QPushButton*>(QStringLiteral("1001"))->click();
  if (!ServeUntil([&] { return window.Runner().Pausing(); }, 20000)) {
    std::fprintf(stderr, "the run did not get to the pause:\n%s\n", window.Log().Text().c_str());
    return 1;
  }
  ServeUntil([] { return false; }, 300);
  ok = Save(window, out, QStringLiteral("reconnecting-%1.png").arg(suffix)) && ok;
  mervix::ModalSeam::setNextAnswer(mervix::Answer::Yes);  // stop
  window.findChild<QPushButton*>(QStringLiteral("stop"))->click();
  ServeUntil([&] { return !window.RunInProgress(); }, 10000);

  mervix::CBaseAddressDlg address(&window);
  address.SetAddressText(QStringLiteral("1F0000"));
  address.show();
  ok = Save(address, out, QStringLiteral("base-address-%1.png").arg(suffix)) && ok;
  address.hide();

  mervix::CAboutDlg about(&window);
  about.show();
  ok = Save(about, out, QStringLiteral("about-%1.png").arg(suffix)) && ok;
  about.hide();
  window.hide();
  device.own.Stop();
  return ok ? 0 : 1;
}
