#include "shell/DownloadDlg.h"
#include "shell/FleetDlg.h"
#include "shell/WindowRecord.h"

#include "operations/SettingsStore.h"
#include "resources/MessageTable.h"
#include "resources/WindowMessages.h"
#include "shell/Artwork.h"
#include "shell/DialogLayout.h"
#include "shell/ModalSeam.h"
#include "shell/PortField.h"
#include "shell/SmallDialogs.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>

#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace mervix {
namespace {

constexpr std::uint16_t kPortKorvane = 55550;
constexpr std::uint16_t kPortDefault = 2222;

// The log text keeps CR LF line ends; the pane wants plain line feeds.
QString ForPane(const std::string& text) {
  QString shown = QString::fromStdString(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

// The run strip between the button row and the log pane, in dialog units:
// the log pane moves down by its height and the window grows by as much.
constexpr int kStripTop = 79;
constexpr int kStripHeight = 31;
constexpr int kLogTop = 85;

// The status line wraps only between its parts (" · "), never inside one.
QString StatusForLabel(const std::string& text) {
  const QString separator = QStringLiteral(" \u00B7 ");
  QStringList parts = QString::fromStdString(text).split(separator);
  for (QString& part : parts) part.replace(QLatin1Char(' '), QChar(0x00A0));
  return parts.join(separator);
}

// The one local file of a drag, empty when it carries anything else.
QString DroppedFile(const QMimeData* mime) {
  if (!mime || !mime->hasUrls() || mime->urls().size() != 1) return QString();
  const QUrl url = mime->urls().front();
  if (!url.isLocalFile()) return QString();
  const QFileInfo info(url.toLocalFile());
  return info.isFile() ? info.absoluteFilePath() : QString();
}

}  // namespace

CDownloadDlg::CDownloadDlg(SettingsStore& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      settings_(settings),
      ops_(*this, log_, settings_),
      runner_(*this, *this, ops_.Job()) {
  ops_.SetRunner(runner_);
  runner_.SetView(this);
  log_.SetRefreshCallback([this](const std::string&, const std::string&) { WriteControls(); });
  setWindowIcon(ProgramIcon(ActiveLanguage()));
  BuildControls();
  OnInitDialog();
}

CDownloadDlg::~CDownloadDlg() {
  // A run still going ends here, while the runner that holds its connection
  // is alive; the work areas go with the operations, once.
  if (ops_.Job().InProgress()) ops_.Stop(true);
  runner_.SetView(nullptr);
  log_.SetRefreshCallback(nullptr);
}

void CDownloadDlg::BuildControls() {
  const Language language = ActiveLanguage();
  const bool japanese = language == Language::Japanese;
  setObjectName(QStringLiteral("102"));
  setFont(DialogFont(language, japanese ? 9 : 8));
  const DialogUnits du = DialogUnitsFor(font());
  setWindowTitle(japanese ? QStringLiteral("Ulvo Pelwin") : QStringLiteral("Quorrin Pelwin"));
  setFixedSize(du.X(228), du.Y(221 + kStripHeight));
  setAcceptDrops(true);

  hostLabel_ = new QLabel(japanese ? QStringLiteral("ﾎｽﾄ名またはIPｱﾄﾞﾚｽ") : QStringLiteral("Host name or IP address"), this);
  hostLabel_->setObjectName(QStringLiteral("static_host"));
  hostField_ = new QLineEdit(this);
  hostField_->setObjectName(QStringLiteral("1000"));
  portLabel_ = new QLabel(japanese ? QStringLiteral("ﾎﾟｰﾄ番号") : QStringLiteral("Port number"), this);
  portLabel_->setObjectName(QStringLiteral("static_port"));
  portField_ = new QLineEdit(this);
  portField_->setObjectName(QStringLiteral("1004"));
  downloadButton_ = new QPushButton(japanese ? QStringLiteral("ﾀﾞｳﾝﾛｰﾄﾞ開始") : QStringLiteral("Download"), this);
  downloadButton_->setObjectName(QStringLiteral("1001"));
  downloadButton_->setDefault(true);
  compressBox_ = new QCheckBox(QStringLiteral("Compress"), this);
  compressBox_->setObjectName(QStringLiteral("1009"));
  logPane_ = new QPlainTextEdit(this);
  logPane_->setObjectName(QStringLiteral("1005"));
  logPane_->setReadOnly(true);
  logPane_->setFocusPolicy(Qt::StrongFocus);
  logPane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  logPane_->setLineWrapMode(QPlainTextEdit::NoWrap);
  // The pane takes Return itself, so Return there never starts a run.
  logPane_->installEventFilter(this);

  progressBar_ = new QProgressBar(this);
  progressBar_->setObjectName(QStringLiteral("progress"));
  progressBar_->setRange(0, 100);
  progressBar_->setValue(0);
  progressBar_->setTextVisible(true);
  stopButton_ = new QPushButton(QString::fromStdString(GetMessageText(IDS_WINDOW_STOP)), this);
  stopButton_->setObjectName(QStringLiteral("stop"));
  stopButton_->setEnabled(false);
  stopButton_->setAutoDefault(false);
  statusLabel_ = new QLabel(this);
  statusLabel_->setObjectName(QStringLiteral("status"));
  statusLabel_->setWordWrap(true);
  statusLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  statusLabel_->setTextFormat(Qt::PlainText);

  if (japanese) {
    PlaceInDialogUnits(hostLabel_, du, 10, 10, 63, 8);
    PlaceInDialogUnits(hostField_, du, 78, 7, 80, 14);
    PlaceInDialogUnits(portLabel_, du, 10, 30, 29, 8);
    PlaceInDialogUnits(portField_, du, 79, 25, 35, 14);
    PlaceInDialogUnits(downloadButton_, du, 21, 49, 80, 20);
    PlaceInDialogUnits(compressBox_, du, 145, 57, 45, 10);
    // Present, so its value still travels through the exchange, but never
    // shown: the Japanese version offers no compression choice.
    compressBox_->setVisible(false);
  } else {
    PlaceInDialogUnits(hostLabel_, du, 10, 10, 83, 10);
    PlaceInDialogUnits(hostField_, du, 100, 10, 80, 14);
    PlaceInDialogUnits(portLabel_, du, 10, 30, 45, 8);
    PlaceInDialogUnits(portField_, du, 100, 30, 35, 14);
    PlaceInDialogUnits(downloadButton_, du, 10, 55, 80, 20);
    PlaceInDialogUnits(compressBox_, du, 139, 60, 53, 11);
  }
  PlaceInDialogUnits(progressBar_, du, 10, kStripTop + 1, 150, 11);
  PlaceInDialogUnits(stopButton_, du, 165, kStripTop, 50, 13);
  PlaceInDialogUnits(statusLabel_, du, 10, kStripTop + 15, 205, 16);
  PlaceInDialogUnits(logPane_, du, 10, kLogTop + kStripHeight, 205, 125);
  FitTextControls(this, du, 10);
  // Two lines of status at most; a label wider than the pane never widens the window.
  statusLabel_->setFixedWidth(logPane_->width());

  setTabOrder(hostField_, downloadButton_);
  setTabOrder(downloadButton_, portField_);
  setTabOrder(portField_, logPane_);
  setTabOrder(logPane_, compressBox_);
  setTabOrder(compressBox_, stopButton_);

  connect(downloadButton_, &QPushButton::clicked, this, [this] { OnDownload(); });
  connect(compressBox_, &QCheckBox::clicked, this, [this] { OnCompressClicked(); });
  connect(stopButton_, &QPushButton::clicked, this, [this] { OnStop(); });
}

void CDownloadDlg::OnInitDialog() {
  // Download state starts at Idle inside the job's session machine. The
  // About item goes into the system menu on Windows; elsewhere the window
  // manager owns that menu and the item sits at the end of the popup menu
  // instead.
#ifdef Q_OS_WIN
  const std::wstring about = QString::fromStdString(GetMessageText(IDS_ABOUT_ITEM)).toStdWString();
  if (!about.empty()) {
    HMENU systemMenu = ::GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    if (systemMenu) {
      ::AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
#endif
  // The work areas came with the operations' converters.
  portNumber_ = settings_.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0 ? kPortKorvane : kPortDefault;
  compress_ = settings_.GetSettingInt(kSettingsSection, setting_key::kCompress, 0) != 0;
  ops_.LoadUserModuleSettings();
  WriteControls();
  hostField_->setFocus(Qt::OtherFocusReason);
}

Answer CDownloadDlg::ShowMessageBox(const std::string& text, ButtonSet buttons) {
  return ShowMessageBoxOver(this, text, buttons);
}

Answer CDownloadDlg::ShowDetailedMessageBox(const std::string& text, const std::string& detail, ButtonSet buttons) {
  return ShowMessageBoxOver(this, text, detail, buttons);
}

void CDownloadDlg::SetDownloadEnabled(bool enabled) {
  downloadButton_->setEnabled(enabled);
  // Stop belongs to a run on its way: its first progress report enables it.
  if (enabled) stopButton_->setEnabled(false);
}

void CDownloadDlg::SetStatus(const std::string& text) { statusLabel_->setText(StatusForLabel(text)); }

void CDownloadDlg::ShowRunProgress(const ProgressMeter& meter, const std::string& device) {
  if (meter.Last().phase == ProgressPhase::Done) return;  // the outcome follows
  if (!stopButton_->isEnabled() && !stopRequested_) stopButton_->setEnabled(true);
  if (meter.Last().phase == ProgressPhase::Connecting && meter.Last().bytesAcknowledged == 0) {
    progressBar_->setValue(0);
  }
  progressBar_->setValue(meter.Percent());
  if (stopRequested_) return;  // the status says the run is stopping
  SetStatus(FormatProgressStatus(meter, device));
}

void CDownloadDlg::ShowRunOutcome(RunOutcome outcome, const Failure& failure) {
  stopButton_->setEnabled(false);
  stopRequested_ = false;
  if (outcome == RunOutcome::Finished) progressBar_->setValue(100);
  if (outcome != RunOutcome::None) {
    std::string status = FormatOutcomeStatus(outcome, failure, runner_.Meter().Last());
    // The run goes into the record of runs when the operator switched that on.
    const auto elapsed = std::chrono::steady_clock::now() - ops_.RunStartSteady();
    std::string error;
    if (!RecordWindowRun(settings_, ops_.Job(), ops_.LastSource(), ops_.RunStartWall(),
                         std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), &error)) {
      status += "\n" + GetMessageText(IDS_WINDOW_FLEET_RECORD_ERROR) + " " + error;
    }
    SetStatus(status);
  }
  if (closeAfterRun_) {
    // The stop asked for by a close request is done: the window goes now,
    // after the runner has finished ending the run.
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (closeAfterRun_) CloseNow();
        },
        Qt::QueuedConnection);
  }
}

bool CDownloadDlg::ConfirmStop() {
  return ShowMessageBoxOver(this, GetMessageText(IDS_WINDOW_ASK_STOP), std::string(), ButtonSet::YesNo,
                            DefaultButton::Negative) == Answer::Yes;
}

void CDownloadDlg::StopRun() {
  if (!ops_.Job().InProgress()) return;
  stopRequested_ = true;
  stopButton_->setEnabled(false);
  SetStatus(GetMessageText(IDS_WINDOW_STOPPING));
  const int ended = runner_.RunsEnded();
  ops_.Stop();
  if (runner_.RunsEnded() != ended) return;
  // A device that never answers what is in flight must not hold the stop
  // (or the window's close) for ever.
  QPointer<CDownloadDlg> self(this);
  QTimer::singleShot(stopLimitMs_, this, [this, self, ended] {
    if (self.isNull() || runner_.RunsEnded() != ended || !ops_.Job().InProgress()) return;
    const Progress& last = ops_.Job().LastProgress();
    ops_.Stop(true);
    log_.AppendLogLine(SubstituteArguments(GetMessageText(IDS_INFO_STOPPED), std::to_string(last.bytesAcknowledged),
                                           std::to_string(last.total)));
  });
}

void CDownloadDlg::OnStop() {
  if (!ops_.Job().InProgress() || stopRequested_) return;
  if (!ConfirmStop()) return;
  StopRun();
}

bool CDownloadDlg::OnFileDropped(const std::string& path) {
  if (RunInProgress()) return false;
  RememberFolderOf(path);
  const int closes = closes_;
  ops_.OnDownloadFile(path);
  EndRunIfClosedSince(closes);
  return true;
}

void CDownloadDlg::RememberFolderOf(const std::string& path) {
  const QString folder = QFileInfo(QString::fromStdString(path)).absolutePath();
  if (!folder.isEmpty()) lastFolder_ = folder;
}

void CDownloadDlg::dragEnterEvent(QDragEnterEvent* event) {
  if (!RunInProgress() && !DroppedFile(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void CDownloadDlg::dropEvent(QDropEvent* event) {
  const QString path = DroppedFile(event->mimeData());
  if (path.isEmpty() || RunInProgress()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // The run starts from the event loop, after the drag source has been told.
  const std::string file = QDir::toNativeSeparators(path).toStdString();
  QMetaObject::invokeMethod(this, [this, file] { OnFileDropped(file); }, Qt::QueuedConnection);
}

void CDownloadDlg::FailField(QLineEdit* field, const std::string& prompt) {
  ShowMessageBox(prompt, ButtonSet::Ok);
  field->setFocus(Qt::OtherFocusReason);
  field->selectAll();
}

bool CDownloadDlg::ReadControls() {
  // 1. Host name, at most 48 characters.
  const QString host = hostField_->text();
  if (host.size() > kHostLimit) {
    FailField(hostField_, SubstituteArguments(GetMessageText(kPromptTextTooLong), std::to_string(kHostLimit)));
    return false;
  }
  hostName_ = host.toStdString();
  hostField_->setMaxLength(kHostLimit);

  // 2. The log pane is read-only: what it shows is the log text already.

  // 3. Port number.
  std::uint32_t port = 0;
  switch (ReadPortText(portField_->text().toStdString(), &port)) {
    case PortReadResult::Ok:
      portNumber_ = port;
      break;
    case PortReadResult::NotPositiveInteger:
      FailField(portField_, GetMessageText(kPromptPositiveInteger));
      return false;
    case PortReadResult::OutOfRange:
      FailField(portField_,
                SubstituteArguments(GetMessageText(kPromptIntegerRange), std::string("0"), std::to_string(kPortMaximum)));
      return false;
  }

  // 4. Compress.
  compress_ = compressBox_->isChecked();
  return true;
}

bool CDownloadDlg::ReadControls(ControlValues& values) {
  const bool ok = ReadControls();
  values.host = hostName_;
  values.port = portNumber_;
  values.compress = compress_;
  return ok;
}

std::optional<std::string> CDownloadDlg::ChooseFileToOpen() {
  const QStringList filters = {QString::fromStdString(GetMessageText(IDS_WINDOW_FILTER_SREC)),
                               QString::fromStdString(GetMessageText(IDS_WINDOW_FILTER_IMAGES)),
                               QString::fromStdString(GetMessageText(IDS_WINDOW_FILTER_ALL))};
  const QString path = ::mervix::ChooseFileToOpen(this, lastFolder_, filters);
  if (path.isEmpty()) return std::nullopt;
  const std::string chosen = QDir::toNativeSeparators(path).toStdString();
  RememberFolderOf(chosen);
  return chosen;
}

std::optional<std::string> CDownloadDlg::AskBaseAddress(const std::string& preset) {
  CBaseAddressDlg dialog(this);
  dialog.SetAddressText(QString::fromStdString(preset));
  if (!dialog.DoModal()) return std::nullopt;
  return dialog.AddressText().toStdString();
}

void CDownloadDlg::WriteControls() {
  const QString host = QString::fromStdString(hostName_);
  if (hostField_->text() != host) hostField_->setText(host);
  hostField_->setMaxLength(kHostLimit);

  const std::string& logText = log_.Text();
  if (logText != shownLog_) {
    QScrollBar* bar = logPane_->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    const int kept = bar->value();
    const int keptX = logPane_->horizontalScrollBar()->value();
    const bool appended = !shownLog_.empty() && logText.size() > shownLog_.size() &&
                          logText.compare(0, shownLog_.size(), shownLog_) == 0;
    if (appended) {
      // Only the new text goes in; the lines above keep their layout.
      QTextCursor end(logPane_->document());
      end.movePosition(QTextCursor::End);
      end.insertText(ForPane(logText.substr(shownLog_.size())));
    } else {
      logPane_->setPlainText(ForPane(logText));
    }
    shownLog_ = logText;
    // The pane follows its end, unless the operator scrolled away from it
    // within the same log (a new log starts followed).
    bar->setValue(atEnd || !appended ? bar->maximum() : kept);
    logPane_->horizontalScrollBar()->setValue(appended ? keptX : 0);
  }

  const QString port = QString::number(portNumber_);
  if (portField_->text() != port) portField_->setText(port);
  compressBox_->setChecked(compress_);
}

void CDownloadDlg::OnDownload() {
  if (RunInProgress()) return;
  const int closes = closes_;
  ops_.OnDownload();
  EndRunIfClosedSince(closes);
}

void CDownloadDlg::EndRunIfClosedSince(int closesBefore) {
  if (closes_ != closesBefore && ops_.Job().InProgress()) ops_.Stop(true);
}

void CDownloadDlg::OnCompressClicked() {
  if (!ReadControls()) {
    // The click did not get through the exchange: show the state that is
    // stored and used again, rather than a tick that means nothing.
    compressBox_->setChecked(compress_);
  }
  settings_.SetSettingInt(kSettingsSection, setting_key::kCompress, compress_ ? 1 : 0);
}

void CDownloadDlg::contextMenuEvent(QContextMenuEvent* event) {
  // Requests that reach the window come from the background, the labels,
  // the button and the check box; the edit fields and the log pane keep
  // their own edit menus. A keyboard request carries no mouse position.
  OnContextMenu(event->reason() == QContextMenuEvent::Keyboard ? QPoint(-1, -1) : event->globalPos());
  event->accept();
}

void CDownloadDlg::OnContextMenu(const QPoint& screenPoint) {
  // The client rectangle in screen coordinates; QRect::contains counts the
  // left and top edges in and the right and bottom edges out.
  const QRect client(mapToGlobal(QPoint(0, 0)), size());
  if (!client.contains(screenPoint)) return;

  QMenu menu(this);
  menu.setObjectName(QStringLiteral("130"));
  menu.addAction(QStringLiteral("User Module"))->setData(int(ID_USER_MODULE));
  menu.addAction(QStringLiteral("Module Address"))->setData(int(ID_MODULE_ADDRESS));
  menu.addAction(QStringLiteral("User Module Download"))->setData(int(ID_USER_MODULE_DOWNLOAD));
  menu.addAction(QString::fromStdString(GetMessageText(IDS_WINDOW_SEVERAL_DEVICES)))->setData(int(ID_SEVERAL_DEVICES));
#ifndef Q_OS_WIN
  const QString about = QString::fromStdString(GetMessageText(IDS_ABOUT_ITEM));
  if (!about.isEmpty()) {
    menu.addSeparator();
    menu.addAction(about)->setData(int(IDM_ABOUTBOX));
  }
#endif
  const int command = TrackPopupMenu(menu, screenPoint);
  if (command >= ID_USER_MODULE && command <= ID_USER_MODULE_DOWNLOAD) {
    OnUserModuleCommand(command);
  } else if (command == ID_SEVERAL_DEVICES) {
    OnSeveralDevices();
  } else if (command != 0) {
    OnSysCommand(command);
  }
}

void CDownloadDlg::OnUserModuleCommand(int commandId) {
  // "User Module" and "Module Address" only record choices and stay
  // available during a run; the download is refused then.
  if (commandId == ID_USER_MODULE_DOWNLOAD && RunInProgress()) return;
  const int closes = closes_;
  ops_.OnUserModuleCommand(commandId);
  EndRunIfClosedSince(closes);
}

CFleetDlg* CDownloadDlg::FleetWindow() const { return fleet_.data(); }

void CDownloadDlg::OnSeveralDevices() {
  if (!fleet_) fleet_ = new CFleetDlg(settings_, this);
  fleet_->show();
  fleet_->raise();
  fleet_->activateWindow();
}

void CDownloadDlg::OnSysCommand(int commandId) {
  if ((commandId & 0xFFF0) != IDM_ABOUTBOX) return;
  CAboutDlg about(this);
  about.DoModal();
}

void CDownloadDlg::reject() {
  ++closes_;
  // A run on its way, with no box of it up: the same question as Stop.
  // Between runs, and while a box is up over the window, it closes at once.
  if (ops_.Job().InProgress() && !runner_.BoxOpen() && !closeAfterRun_) {
    if (!ConfirmStop()) return;
    if (ops_.Job().InProgress()) {
      closeAfterRun_ = true;
      StopRun();
      if (ops_.Job().InProgress()) return;  // closes when the run has ended
    }
  }
  CloseNow();
}

void CDownloadDlg::CloseNow() {
  closeAfterRun_ = false;
  // The run ends now with nothing more shown; the runner drains the
  // connection (bounded) and closes it. A box of the run that is still up
  // finds its run over when it returns.
  if (ops_.Job().InProgress()) ops_.Stop(true);
  // Boxes and dialogs still open over the window are dismissed with it: a
  // preparation that was asking ends (or starts a run that the handler ends
  // at once, see EndRunIfClosedSince).
  std::vector<QPointer<QDialog>> open;
  for (QDialog* dialog : findChildren<QDialog*>()) open.emplace_back(dialog);
  for (const QPointer<QDialog>& dialog : open) {
    if (dialog && dialog->isVisible()) dialog->done(QDialog::Rejected);
  }
  QDialog::reject();
}

bool CDownloadDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == logPane_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
  }
  return QDialog::eventFilter(watched, event);
}

#ifdef Q_OS_WIN
bool CDownloadDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
  const MSG* msg = static_cast<const MSG*>(message);
  if (msg->message == WM_SYSCOMMAND && (msg->wParam & 0xFFF0) == IDM_ABOUTBOX) {
    OnSysCommand(static_cast<int>(msg->wParam));
    *result = 0;
    return true;
  }
  return QDialog::nativeEvent(eventType, message, result);
}
#endif

}  // namespace mervix
