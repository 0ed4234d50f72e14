#include "shell/DownloadDlg.h"

#include "operations/SettingsStore.h"
#include "resources/MessageTable.h"
#include "shell/Artwork.h"
#include "shell/DialogLayout.h"
#include "shell/ModalSeam.h"
#include "shell/PortField.h"
#include "shell/SmallDialogs.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

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

}  // namespace

CDownloadDlg::CDownloadDlg(SettingsStore& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      settings_(settings),
      ops_(*this, log_, settings_),
      runner_(*this, *this, ops_.Job()) {
  ops_.SetRunner(runner_);
  log_.SetRefreshCallback([this](const std::string&, const std::string&) { WriteControls(); });
  setWindowIcon(ProgramIcon(ActiveLanguage()));
  BuildControls();
  OnInitDialog();
}

CDownloadDlg::~CDownloadDlg() {
  // A run still going ends here, while the runner that holds its connection
  // is alive; the work areas go with the operations, once.
  if (ops_.Job().InProgress()) ops_.Stop(true);
  log_.SetRefreshCallback(nullptr);
}

void CDownloadDlg::BuildControls() {
  const Language language = ActiveLanguage();
  const bool japanese = language == Language::Japanese;
  setObjectName(QStringLiteral("102"));
  setFont(DialogFont(language, japanese ? 9 : 8));
  const DialogUnits du = DialogUnitsFor(font());
  setWindowTitle(japanese ? QStringLiteral("Ulvo Pelwin") : QStringLiteral("Quorrin Pelwin"));
  setFixedSize(du.X(228), du.Y(221));

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
  PlaceInDialogUnits(logPane_, du, 10, 85, 205, 125);
  FitTextControls(this, du, 10);

  setTabOrder(hostField_, downloadButton_);
  setTabOrder(downloadButton_, portField_);
  setTabOrder(portField_, logPane_);
  setTabOrder(logPane_, compressBox_);

  connect(downloadButton_, &QPushButton::clicked, this, [this] { OnDownload(); });
  connect(compressBox_, &QCheckBox::clicked, this, [this] { OnCompressClicked(); });
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

void CDownloadDlg::SetDownloadEnabled(bool enabled) { downloadButton_->setEnabled(enabled); }

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
  const QString path = ::mervix::ChooseFileToOpen(this);
  if (path.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(path).toStdString();
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
    // Replace the whole content; setPlainText leaves the view at the top,
    // so a long log shows its first lines and the operator scrolls on.
    shownLog_ = logText;
    logPane_->setPlainText(ForPane(logText));
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

void CDownloadDlg::OnSysCommand(int commandId) {
  if ((commandId & 0xFFF0) != IDM_ABOUTBOX) return;
  CAboutDlg about(this);
  about.DoModal();
}

void CDownloadDlg::reject() {
  ++closes_;
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
