// Renders the main window and a message box offscreen into PNG files, for
// the documentation. Not a test: scripts/screenshots runs it.
//
//   mervix-shell-screenshots OUTPUT_DIR
//
// The language follows the locale (LANG), as in the program; the file names
// carry it: main-window-<lang>.png, message-box-<lang>.png,
// base-address-<lang>.png and about-<lang>.png.
#include "operations/SettingsStore.h"
#include "resources/MessageTable.h"
#include "shell/DownloadDlg.h"
#include "shell/QtSettingsStore.h"
#include "shell/SmallDialogs.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  // Never read or write the user's own settings.
  QTemporaryDir settingsDir;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
  QCoreApplication::setApplicationName(QStringLiteral("mervix"));
  QCoreApplication::setOrganizationName(QStringLiteral("Brevlund"));
  mervix::SetActiveLanguage(mervix::LanguageForLocaleName(QLocale::system().name().toStdString()));
  const bool japanese = mervix::ActiveLanguage() == mervix::Language::Japanese;
  const QString suffix = japanese ? QStringLiteral("ja") : QStringLiteral("en");

  mervix::QtSettingsStore settings;
  mervix::CDownloadDlg window(settings);
  window.findChild<QLineEdit*>(QStringLiteral("1000"))->setText(QStringLiteral("192.168.0.10"));
  window.ReadControls();
  window.Log().AppendLogLine(mervix::FormatMessageText(mervix::IDS_INFO_DOWNLOADING, std::string("/home/op/fw/device.img")));
  window.Log().AppendRaw(mervix::FormatConnectedLine("192.168.0.10"));
  window.Log().AppendLogLine(mervix::FormatMessageText(mervix::IDS_INFO_MODE_SWITCH));
  window.Log().AppendRaw(mervix::FormatConnectedLine("192.168.0.10"));
  window.Log().AppendLogLine(mervix::FormatMessageText(mervix::IDS_INFO_START));
  window.Log().AppendLogLine(mervix::FormatMessageText(mervix::IDS_INFO_BLOCK_SENT));
  window.show();
  QApplication::processEvents();
  bool ok = window.grab().save(out.filePath(QStringLiteral("main-window-%1.png").arg(suffix)));

  QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                  QString::fromStdString(mervix::FormatMessageText(mervix::IDS_ASK_WRITE)),
                  QMessageBox::Ok | QMessageBox::Cancel, &window);
  box.show();
  QApplication::processEvents();
  ok = box.grab().save(out.filePath(QStringLiteral("message-box-%1.png").arg(suffix))) && ok;
  box.hide();

  mervix::CBaseAddressDlg address(&window);
  address.SetAddressText(QStringLiteral("1F0000"));
  address.show();
  QApplication::processEvents();
  ok = address.grab().save(out.filePath(QStringLiteral("base-address-%1.png").arg(suffix))) && ok;
  address.hide();

  mervix::CAboutDlg about(&window);
  about.show();
  QApplication::processEvents();
  ok = about.grab().save(out.filePath(QStringLiteral("about-%1.png").arg(suffix))) && ok;
  return ok ? 0 : 1;
}
