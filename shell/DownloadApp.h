// CDownloadApp: start-up and shutdown of the window program.
//
// Run() fixes the application name (the program file's name without
// directory and extension) and the settings root "Brevlund", chooses the
// active language from the system locale once (with Qt's own texts in that
// language), checks that the socket layer
// can be used (message 103 in an ownerless box and the end of the program
// when it cannot), and runs CDownloadDlg modally; the program ends when the
// window closes. The help command routes to nothing: there is no help file.
#pragma once

#include "resources/MessageTable.h"

#include <QString>

#include <functional>

namespace mervix {

// Qt's own texts (standard buttons, the file chooser) in |language|: for
// Japanese, Qt's translation "qtbase_ja" from Qt's translations folder is
// installed in the application once. False when there is nothing to load
// (English) or the translation is not installed.
bool InstallQtTranslation(Language language);

class SettingsStore;

class CDownloadApp {
 public:
  using SocketLayerCheck = std::function<bool()>;
  static constexpr const char kOrganisation[] = "Brevlund";

  CDownloadApp();

  // Replaces the socket-layer check (tests inject a failure).
  void SetSocketLayerCheck(SocketLayerCheck check) { socketCheck_ = std::move(check); }

  // Steps 1 and 2 of the start-up without the window: names, settings root,
  // language, socket layer. False after message 103 has been shown.
  bool InitInstance();
  // The whole start-up, then the main window until it closes. Returns the
  // process exit code: 0 after the window closed, 1 when the socket layer
  // failed.
  int Run();
  // The help command (57670): no help file exists, so nothing happens.
  void OnHelp() {}

  // The application name for a program path: "/usr/bin/mervix" -> "mervix".
  static QString ApplicationNameFor(const QString& programPath);

 private:
  SocketLayerCheck socketCheck_;
};

}  // namespace mervix
