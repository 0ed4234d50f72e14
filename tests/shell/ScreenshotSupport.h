// What the screenshot tools share: serving the event loop while a run goes
// on, and saving a window as it is on the screen.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QWidget>

#include <cstdio>
#include <functional>

namespace mervix::screenshots {

// Serves the event loop until |done| or |limitMs| have passed; false then.
inline bool ServeUntil(const std::function<bool()>& done, int limitMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

// Lets the window system draw for |settleMs|, then saves |widget| as it is
// on the screen.
inline bool Save(QWidget& widget, const QDir& out, const QString& name, int settleMs = 150) {
  ServeUntil([] { return false; }, settleMs);
  const bool ok = widget.grab().save(out.filePath(name));
  if (!ok) std::fprintf(stderr, "could not write %s\n", qPrintable(out.filePath(name)));
  return ok;
}

}  // namespace mervix::screenshots
