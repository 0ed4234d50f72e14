// CDownloadDlg: the main window (resource 102). It carries the host and port
// fields, the Download button, the Compress check box and the log pane, and
// owns everything a run needs: the download operations with their job,
// conversion work areas and user module texts, the runner that carries the
// runs out on the window's event loop, and the log text. It is the
// operations' operator: boxes, the file chooser and the Base Address dialog
// go through the modal seam, the fields through ReadControls.
//
// A run goes on after the Download button's handler has returned: the
// connection, the device's answers and the run's boxes come from the event
// loop, and the end of the run enables the button again.
//
// Between the Download button's row and the log pane sits the run strip: a
// progress bar with the Stop button beside it and a status line under them,
// fed by the run's progress reports. The window is taller by the strip; the
// controls above it keep their places and the log pane its size.
//
// Object names: each control with an id carries it ("1000" host field,
// "1004" port field, "1001" Download button, "1009" Compress check box,
// "1005" log pane); the two labels are "static_host" and "static_port";
// the strip's controls are "progress", "stop" and "status".
#pragma once

#include "shell/DownloadOperations.h"
#include "resources/LogPane.h"
#include "shell/QtRunner.h"

#include <QDialog>
#include <QPointer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace mervix {

class CFleetDlg;
class SettingsStore;

class CDownloadDlg : public QDialog, public OperationsOperator, private RunView {
 public:
  // Popup menu 130 and the About item.
  enum Command : int {
    ID_USER_MODULE = 32771,
    ID_MODULE_ADDRESS = 32772,
    ID_USER_MODULE_DOWNLOAD = 32773,
    ID_SEVERAL_DEVICES = 32774,  // opens the "Several devices" window
    IDM_ABOUTBOX = 0x0010,
  };
  static constexpr int kHostLimit = 48;
  // How long a stop waits for the device to answer what is in flight
  // before the run ends at once (the connection drained and closed).
  static constexpr int kStopLimitMs = 15000;

  // Builds the window in the active language and initialises it: download
  // state Idle, work areas obtained, port 2222 (55550 when "Korvane" is
  // non-zero), Compress and the three user module texts from |settings|,
  // the controls written and the focus in the host field.
  explicit CDownloadDlg(SettingsStore& settings, QWidget* parent = nullptr);
  ~CDownloadDlg() override;

  // Operator: message boxes over this window and the run indicator.
  Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override;
  Answer ShowDetailedMessageBox(const std::string& text, const std::string& detail, ButtonSet buttons) override;
  void SetDownloadEnabled(bool enabled) override;

  // Copies the controls into the fields in the order host, log, port,
  // compress. The first field that fails is reported with its prompt, gets
  // the focus with its text selected, and stops the exchange (false).
  bool ReadControls();
  // The same for the operations: the fields as they stand afterwards.
  bool ReadControls(ControlValues& values) override;
  // The open-file chooser, in the folder of the file chosen last, with the
  // S-record, image and all-files filters; nullopt when cancelled.
  std::optional<std::string> ChooseFileToOpen() override;
  // CBaseAddressDlg preset with |preset|; nullopt when cancelled.
  std::optional<std::string> AskBaseAddress(const std::string& preset) override;
  // Copies every field into its control; the log pane only when its text
  // differs. The pane follows its end as lines are added, unless the
  // operator has scrolled away from the end: then it stays where it is.
  void WriteControls();

  // Event handlers. The Download button and command 32773 prepare a run and
  // start it; both are refused while a run is in progress.
  void OnDownload();
  void OnCompressClicked();
  // |screenPoint| in screen coordinates; (-1, -1) for a keyboard request.
  void OnContextMenu(const QPoint& screenPoint);
  void OnUserModuleCommand(int commandId);
  void OnSysCommand(int commandId);
  // Command 32774: shows the "Several devices" window (one, made the first
  // time and kept with its list and results).
  void OnSeveralDevices();
  // That window; null before it was first shown.
  CFleetDlg* FleetWindow() const;
  // The Stop button: asks first (Yes/No, No the default); Yes stops the run
  // once the device has answered what is in flight, or at once while
  // nothing is. Does nothing between runs.
  void OnStop();
  // A file dropped on the window: the firmware download with |path| as the
  // chosen file. Refused (false) while a run is in progress.
  bool OnFileDropped(const std::string& path);

  // Tests: a shorter wait of a stop (see kStopLimitMs).
  void SetStopLimitMs(int milliseconds) { stopLimitMs_ = milliseconds; }

  // A run is in progress from the start of its preparation to its end (the
  // button is disabled meanwhile).
  bool RunInProgress() const { return ops_.RunInProgress(); }

  DownloadOperations& Operations() { return ops_; }
  DownloadJob& Job() { return ops_.Job(); }
  QtRunner& Runner() { return runner_; }
  LogPane& Log() { return log_; }
  const std::string& HostName() const { return hostName_; }
  std::uint32_t PortNumber() const { return portNumber_; }
  bool CompressFlag() const { return compress_; }
  const std::string& UserBaseAddress() const { return ops_.UserBaseAddress(); }
  const std::string& UserModuleName() const { return ops_.UserModuleName(); }
  const std::string& UserModuleExtension() const { return ops_.UserModuleExtension(); }
  // The conversion work areas, held by the operations.
  const std::uint8_t* FirmwareImageArea() const { return ops_.FirmwareImageArea(); }
  const std::uint8_t* UserModuleArea() const { return ops_.UserModuleArea(); }

 protected:
  // Closing (Escape, the close box). Between runs the window closes at
  // once. During a run it asks the Stop question first: No keeps the run
  // going; Yes stops it as Stop does and closes the window once it has
  // ended. A second close request while that stop waits, or a close while a
  // box is up over the window, ends the run at once (its connection drained
  // and closed within a bound), dismisses the boxes and closes.
  void reject() override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
#ifdef Q_OS_WIN
  // The About item of the window's system menu (WM_SYSCOMMAND 16).
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

 private:
  void BuildControls();
  void OnInitDialog();
  void FailField(QLineEdit* field, const std::string& prompt);
  // RunView: the strip follows the run.
  void ShowRunProgress(const ProgressMeter& meter, const std::string& device) override;
  void ShowRunOutcome(RunOutcome outcome, const Failure& failure) override;
  // Asks the Stop question; true for Yes.
  bool ConfirmStop();
  // Asks the job to stop; when the device has not answered within the
  // stop's limit the run ends at once.
  void StopRun();
  // Ends the run at once and closes the window.
  void CloseNow();
  void SetStatus(const std::string& text);
  // Remembers the folder of a chosen or dropped file for the next chooser.
  void RememberFolderOf(const std::string& path);
  // After a preparation: when the window was closed during it (a box of the
  // preparation was up), the run it started ends at once.
  void EndRunIfClosedSince(int closesBefore);

  SettingsStore& settings_;
  LogPane log_;
  DownloadOperations ops_;
  QtRunner runner_;

  // Fields, set by the exchange and the initialisation.
  std::string hostName_;
  std::string shownLog_;
  std::uint32_t portNumber_ = 0;
  bool compress_ = false;

  // Close requests so far.
  int closes_ = 0;
  // A stop was asked for in the current run, and the window closes when
  // the run has ended.
  bool stopRequested_ = false;
  bool closeAfterRun_ = false;
  int stopLimitMs_ = kStopLimitMs;
  // The folder the file chooser opens in.
  QString lastFolder_;

  QLabel* hostLabel_ = nullptr;
  QLineEdit* hostField_ = nullptr;
  QLabel* portLabel_ = nullptr;
  QLineEdit* portField_ = nullptr;
  QPushButton* downloadButton_ = nullptr;
  QCheckBox* compressBox_ = nullptr;
  QPlainTextEdit* logPane_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QPointer<CFleetDlg> fleet_;
};

}  // namespace mervix
