#include "shell/DownloadApp.h"

#include "resources/MessageTable.h"
#include "shell/ClntSocket.h"
#include "shell/DownloadDlg.h"
#include "shell/ModalSeam.h"
#include "shell/QtSettingsStore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace mervix {

bool InstallQtTranslation(Language language) {
  if (language != Language::Japanese || QCoreApplication::instance() == nullptr) return false;
  static QTranslator* installed = nullptr;
  if (installed) return true;
  auto* translator = new QTranslator(QCoreApplication::instance());
  if (!translator->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  installed = translator;
  QObject::connect(translator, &QObject::destroyed, [] { installed = nullptr; });
  return true;
}

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
  InstallQtTranslation(ActiveLanguage());
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
