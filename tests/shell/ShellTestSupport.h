// Shared set-up of the window tests: one QApplication for the process, the
// settings in a temporary directory of this process, the modal seam in
// strict mode, and small helpers.
#pragma once

#include "operations/SettingsStore.h"
#include "resources/MessageTable.h"
#include "shell/ModalSeam.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <functional>
#include <memory>

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

}  // namespace mervix::testing
