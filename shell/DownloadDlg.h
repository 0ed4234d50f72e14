// CDownloadDlg: the main window (resource 102). It carries the host and port
// fields, the Download button, the Compress check box and the log pane, and
// owns everything a run needs: the protocol session with its connection, the
// log text, the conversion work areas and the texts loaded from the settings.
//
// Object names: each control with an id carries it ("1000" host field,
// "1004" port field, "1001" Download button, "1009" Compress check box,
// "1005" log pane); the two labels are "static_host" and "static_port".
#pragma once

#include "protocol/Operator.h"
#include "protocol/Session.h"
#include "resources/LogPane.h"
#include "shell/ClntSocket.h"

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace mervix {

class SettingsStore;

class CDownloadDlg : public QDialog, public Operator {
 public:
  // Popup menu 130 and the About item.
  enum Command : int {
    ID_USER_MODULE = 32771,
    ID_MODULE_ADDRESS = 32772,
    ID_USER_MODULE_DOWNLOAD = 32773,
    IDM_ABOUTBOX = 0x0010,
  };
  static constexpr int kHostLimit = 48;
  static constexpr std::size_t kFirmwareImageAreaSize = 2031616;
  static constexpr std::size_t kUserModuleAreaSize = 1048576;

  // Builds the window in the active language and initialises it: download
  // state Idle, work areas obtained, port 2222 (55550 when "Korvane" is
  // non-zero), Compress and the three user module texts from |settings|,
  // the controls written and the focus in the host field.
  explicit CDownloadDlg(SettingsStore& settings, QWidget* parent = nullptr);
  ~CDownloadDlg() override;

  // Operator: message boxes over this window and the run indicator.
  Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override;
  void SetDownloadEnabled(bool enabled) override;

  // Copies the controls into the fields in the order host, log, port,
  // compress. The first field that fails is reported with its prompt, gets
  // the focus with its text selected, and stops the exchange (false).
  bool ReadControls();
  // Copies every field into its control; the log pane only when its text
  // differs, and without scrolling it.
  void WriteControls();

  // Event handlers.
  void OnDownload();
  void OnCompressClicked();
  // |screenPoint| in screen coordinates; (-1, -1) for a keyboard request.
  void OnContextMenu(const QPoint& screenPoint);
  void OnUserModuleCommand(int commandId);
  void OnSysCommand(int commandId);

  // The operations behind the Download button and command 32773. Until the
  // full operations are wired in, they send a chosen file as it is.
  void RunPlainImageDownload();
  void RunUserModuleOperation();
  // A run is in progress from its start to its end (the button is disabled).
  bool RunInProgress() const;

  // Closing: drains and closes an open connection (bounded in time).
  void ShutdownConnection();

  ProtocolSession& Session() { return session_; }
  LogPane& Log() { return log_; }
  const std::string& HostName() const { return hostName_; }
  std::uint32_t PortNumber() const { return portNumber_; }
  bool CompressFlag() const { return compress_; }
  const std::string& UserBaseAddress() const { return userBaseAddress_; }
  const std::string& UserModuleName() const { return userModuleName_; }
  const std::string& UserModuleExtension() const { return userModuleExtension_; }
  // The conversion work areas; null only when memory could not be obtained.
  std::uint8_t* FirmwareImageArea() { return firmwareArea_.get(); }
  std::uint8_t* UserModuleArea() { return userModuleArea_.get(); }

 protected:
  void reject() override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
#ifdef Q_OS_WIN
  // The About item of the window's system menu (WM_SYSCOMMAND 16).
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

 private:
  void BuildControls();
  void OnInitDialog();
  void FailField(QLineEdit* field, const std::string& prompt);
  // Common start of the interim runs: controls read, log cleared, button
  // disabled, host and port checked. False (button enabled again) on refusal.
  bool BeginRun();
  void StartSession(const QString& path, bool userModule);
  // Carries out a close that arrived while the window was busy.
  void RetryPendingClose();
  bool Busy() const;

  SettingsStore& settings_;
  QtDeviceLink link_;
  LogPane log_;
  ProtocolSession session_;

  // Fields, set by the exchange and the initialisation.
  std::string userBaseAddress_;
  std::string userModuleName_;
  std::string userModuleExtension_;
  bool userModuleMark_ = false;
  std::unique_ptr<std::uint8_t[]> firmwareArea_;
  std::unique_ptr<std::uint8_t[]> userModuleArea_;
  std::string hostName_;
  std::string shownLog_;
  std::uint32_t portNumber_ = 0;
  bool compress_ = false;

  // Depth of handlers that may open modal boxes or wait; a close waits for 0.
  int handlerDepth_ = 0;
  QTimer* pendingClose_ = nullptr;

  QLabel* hostLabel_ = nullptr;
  QLineEdit* hostField_ = nullptr;
  QLabel* portLabel_ = nullptr;
  QLineEdit* portField_ = nullptr;
  QPushButton* downloadButton_ = nullptr;
  QCheckBox* compressBox_ = nullptr;
  QPlainTextEdit* logPane_ = nullptr;
};

}  // namespace mervix
