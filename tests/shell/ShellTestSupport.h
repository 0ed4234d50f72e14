// Shared set-up of the window tests: one QApplication for the process, the
// settings in a temporary directory of this process, the modal seam in
// strict mode, the window's controls, and waiting for a run that goes on in
// the event loop after the button's handler has returned.
#pragma once

#include "operations/SettingsStore.h"
#include "resources/MessageTable.h"
#include "shell/DownloadDlg.h"
#include "shell/ModalSeam.h"
#include "shell/QtSettingsStore.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QWidget>

#ifdef _WIN32
#include <winsock2.h>
// <windows.h> names MessageBoxW so; the seam's record kind is meant here.
#undef MessageBox
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mervix::testing {

class QtEnvironment : public ::testing::Environment {
 public:
  // |locale| becomes LANG of the process before Qt reads the system locale,
  // so each test program runs in a known language whatever the caller's.
  explicit QtEnvironment(const char* locale) : locale_(locale) {}

  void SetUp() override {
    qputenv("LANG", locale_);
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) qunsetenv(name);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "mervix";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brevlund"));
    QCoreApplication::setApplicationName(QStringLiteral("mervix"));
    settingsDir_ = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(settingsDir_->isValid());
    // Every QSettings of this process now lives below the temporary folder.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_->path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir_->path());
    ModalSeam::setStrict(true);
  }
  void TearDown() override {
    settingsDir_.reset();
    app_.reset();
  }

 private:
  const char* locale_;
  std::unique_ptr<QApplication> app_;
  std::unique_ptr<QTemporaryDir> settingsDir_;
};

// The raw settings of the program, for checking what was written.
inline std::unique_ptr<QSettings> RawSettings() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brevlund"),
                                     QStringLiteral("mervix"));
}

inline void ClearSettings() {
  auto s = RawSettings();
  s->clear();
  s->sync();
}

// Serves events until |done| holds or |limitMs| has passed.
inline bool WaitUntil(const std::function<bool()>& done, int limitMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

// The next widget after |w| that Tab moves to (focus chain order, skipping
// widgets that take no tab focus).
inline QWidget* NextTabStop(QWidget* w) {
  for (QWidget* next = w->nextInFocusChain(); next && next != w; next = next->nextInFocusChain()) {
    if ((next->focusPolicy() & Qt::TabFocus) && !next->isHidden()) return next;
  }
  return nullptr;
}

// Message box texts recorded by the seam, in order.
inline std::vector<std::string> BoxTexts() {
  std::vector<std::string> texts;
  for (const ModalRecord& r : ModalSeam::recordsOf(ModalRecord::Kind::MessageBox)) texts.push_back(r.text);
  return texts;
}

// Base fixture: fresh settings, English, empty seam.
class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearSettings();
    SetActiveLanguage(Language::English);
    ModalSeam::reset();
  }
  void TearDown() override {
    SetActiveLanguage(Language::English);
    ModalSeam::reset();
  }
};

// A port on 127.0.0.1 held by this process. Bound only, it refuses
// connections; after Listen, the kernel completes them and nobody ever
// serves them: a device that neither answers nor closes. Release frees the
// port for another program.
class LoopbackPort {
 public:
#ifdef _WIN32
  using Socket = SOCKET;
  static constexpr Socket kNone = INVALID_SOCKET;
#else
  using Socket = int;
  static constexpr Socket kNone = -1;
#endif

  LoopbackPort() {
#ifdef _WIN32
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int length = sizeof(sockaddr_in);
#else
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t length = sizeof(sockaddr_in);
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ != kNone && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~LoopbackPort() { Release(); }
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  std::uint16_t Port() const { return port_; }
  bool Listen(int backlog = 4) { return fd_ != kNone && ::listen(fd_, backlog) == 0; }
  Socket Descriptor() const { return fd_; }
  void Release() {
#ifdef _WIN32
    if (fd_ != kNone) ::closesocket(fd_);
#else
    if (fd_ != kNone) ::close(fd_);
#endif
    fd_ = kNone;
  }

 private:
  Socket fd_ = kNone;
  std::uint16_t port_ = 0;
};

// A path as the window shows and stores it: with the system's separators
// (backslashes on Windows).
inline std::string Shown(const std::string& path) {
  return QDir::toNativeSeparators(QString::fromStdString(path)).toStdString();
}
inline QString ShownQ(const std::string& path) { return QString::fromStdString(Shown(path)); }

// The popup menu's items: |items|, then the About item, which on Windows
// goes into the system menu instead.
inline QStringList WithAboutItem(QStringList items, const QString& about) {
#ifndef _WIN32
  items << QStringLiteral("-") << about;
#else
  (void)about;
#endif
  return items;
}

// The main window's controls, by their ids.
inline QLineEdit* HostField(QWidget& w) { return w.findChild<QLineEdit*>(QStringLiteral("1000")); }
inline QLineEdit* PortField(QWidget& w) { return w.findChild<QLineEdit*>(QStringLiteral("1004")); }
inline QPushButton* DownloadButton(QWidget& w) { return w.findChild<QPushButton*>(QStringLiteral("1001")); }
inline QCheckBox* CompressBox(QWidget& w) { return w.findChild<QCheckBox*>(QStringLiteral("1009")); }
inline QPlainTextEdit* LogView(QWidget& w) { return w.findChild<QPlainTextEdit*>(QStringLiteral("1005")); }

// Types the device's address into the host and port fields.
inline void AimAt(QWidget& w, std::uint16_t port, const QString& host = QStringLiteral("127.0.0.1")) {
  HostField(w)->setText(host);
  PortField(w)->setText(QString::number(port));
}

// Presses "Download" with |image| queued for the file chooser.
inline void ClickDownload(CDownloadDlg& w, const std::string& image) {
  ModalSeam::setNextFileName(QString::fromStdString(image));
  DownloadButton(w)->click();
}

// Chooses |module| (32771) at |address| (32772), then starts its run (32773).
inline void StartModuleRun(CDownloadDlg& w, const std::string& module, const QString& address) {
  ModalSeam::setNextFileName(QString::fromStdString(module));
  w.OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE);
  ModalSeam::setNextAddress(std::optional<QString>(address));
  w.OnUserModuleCommand(CDownloadDlg::ID_MODULE_ADDRESS);
  w.OnUserModuleCommand(CDownloadDlg::ID_USER_MODULE_DOWNLOAD);
}

// Serves events until the window's run has ended: the button enabled again,
// nothing preparing or running, no connection left. False after |limitMs|.
inline bool RunEnds(CDownloadDlg& w, int limitMs = 20000) {
  return WaitUntil([&] { return DownloadButton(w)->isEnabled() && !w.RunInProgress() && !w.Runner().HasConnection(); },
                   limitMs);
}

// Serves events until the run's session machine is at |step|.
inline bool RunReaches(CDownloadDlg& w, SessionMachine::Step step, int limitMs = 5000) {
  return WaitUntil([&] { return w.Job().Machine().CurrentStep() == step; }, limitMs);
}

// The pause after the mode switch in window tests; one test keeps the real one.
inline constexpr int kShortModeSwitchPauseMs = 50;

// A fixture with one window, shown, whose mode switch pauses briefly.
class WindowTest : public ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    OpenWindow();
  }
  void TearDown() override {
    window_.reset();
    ShellTest::TearDown();
  }

  // A new window in place of the old one.
  void OpenWindow() {
    window_.reset();
    window_ = std::make_unique<CDownloadDlg>(store_);
    window_->Runner().SetModeSwitchPauseMs(kShortModeSwitchPauseMs);
    if (!workDirectory_.empty()) window_->Operations().SetWorkDirectory(workDirectory_);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }

  CDownloadDlg& Window() { return *window_; }
  const std::string& LogText() { return window_->Log().Text(); }

  QtSettingsStore store_;
  std::string workDirectory_;  // where the windows write work files; empty: the current folder
  std::unique_ptr<CDownloadDlg> window_;
};

}  // namespace mervix::testing
