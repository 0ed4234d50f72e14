#include "shell/DownloadApp.h"

#include "resources/MessageTable.h"
#include "shell/ClntSocket.h"
#include "shell/DownloadDlg.h"
#include "shell/ModalSeam.h"
#include "shell/QtSettingsStore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>

namespace mervix {

CDownloadApp::CDownloadApp() : socketCheck_(&CClntSocket::SocketLayerAvailable) {}

QString CDownloadApp::ApplicationNameFor(const QString& programPath) {
  const QString name = QFileInfo(programPath).completeBaseName();
  return name.isEmpty() ? QStringLiteral("mervix") : name;
}

bool CDownloadApp::InitInstance() {
  QCoreApplication::setApplicationName(ApplicationNameFor(QCoreApplication::applicationFilePath()));
  QCoreApplication::setOrganizationName(QString::fromLatin1(kOrganisation));
  // Fixed for the life of the process, before any window exists.
  SetActiveLanguage(LanguageForLocaleName(QLocale::system().name().toStdString()));
  if (!socketCheck_ || !socketCheck_()) {
    ShowMessageBoxOver(nullptr, FormatMessageText(IDS_ERROR_SOCKET_INIT), ButtonSet::Ok);
    return false;
  }
  return true;
}

int CDownloadApp::Run() {
  if (!InitInstance()) return 1;
  QtSettingsStore settings;
  CDownloadDlg window(settings);
  window.exec();
  return 0;
}

}  // namespace mervix
