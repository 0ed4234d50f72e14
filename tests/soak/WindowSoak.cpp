// mervix-window-soak: many firmware downloads through one window of one
// process, against the device simulator on 127.0.0.1, offscreen and with the
// settings in a temporary folder. Every run must finish; the process must
// hold no more descriptors at the end than after the tenth run, and its peak
// memory must stay flat between the tenth run and the last.
//
//   mervix-window-soak --devsim PATH --image FILE [--runs N]
//
// FILE is a firmware image (tag "REV-" at offset 8). Prints one line per ten
// runs and a closing line of figures; exits 0 when every check held, 1 when
// one failed, 2 on a usage error.
#include "shell/DownloadDlg.h"
#include "shell/ModalSeam.h"
#include "shell/QtSettingsStore.h"
#include "tests/support/DevsimProcess.h"
#include "tests/soak/ProcessFigures.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace mervix {
namespace {

// Peak memory may rise by this much between the tenth run and the last
// without counting as growth: allocator slack, not a per-run leak (a leak
// of one block per run would be several megabytes over a hundred runs).
constexpr long kPeakSlackKb = 2048;

bool ServeUntil(const std::function<bool()>& done, int limitMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::usleep(500);
  }
  return true;
}

// The figures once the objects a run let go of have been deleted: the
// event loop deletes a closed socket later, so deferred deletions are served
// for a moment first.
soak::ProcessFigures SettledFigures() {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 200) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return soak::ReadProcessFigures();
}

int Usage() {
  std::fprintf(stderr, "usage: mervix-window-soak --devsim PATH --image FILE [--runs N]\n");
  return 2;
}

int Run(int argc, char** argv) {
  std::string devsim, image;
  int runs = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    if (a == "--devsim") devsim = argv[++i];
    else if (a == "--image") image = argv[++i];
    else if (a == "--runs") runs = std::atoi(argv[++i]);
    else return Usage();
  }
  if (devsim.empty() || image.empty() || runs < 10) return Usage();

  // English, offscreen, before Qt reads either.
  qputenv("LANG", "C.UTF-8");
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) qunsetenv(name);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("MERVIX_DEVSIM", devsim.c_str());
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Brevlund"));
  QCoreApplication::setApplicationName(QStringLiteral("mervix"));
  QTemporaryDir settingsDir;
  if (!settingsDir.isValid()) {
    std::fprintf(stderr, "mervix-window-soak: no temporary folder for the settings\n");
    return 1;
  }
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
  // Every box is answered from the queue; one without an answer never blocks.
  ModalSeam::setStrict(true);

  testing::DevsimProcess sim;
  std::string error;
  if (!sim.Start({"--download-mode", "--downloads", std::to_string(runs)}, &error)) {
    std::fprintf(stderr, "mervix-window-soak: %s\n", error.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> expected = testing::DevsimProcess::ReadBytes(image);

  QtSettingsStore store;
  CDownloadDlg window(store);
  window.show();
  ServeUntil([] { return false; }, 200);  // let the window settle
  window.findChild<QLineEdit*>(QStringLiteral("1000"))->setText(QStringLiteral("127.0.0.1"));
  window.findChild<QLineEdit*>(QStringLiteral("1004"))->setText(QString::number(sim.Port()));
  QPushButton* button = window.findChild<QPushButton*>(QStringLiteral("1001"));

  const soak::ProcessFigures start = soak::ReadProcessFigures();
  soak::ProcessFigures atTen;
  int failures = 0;
  QElapsedTimer clock;
  clock.start();
  for (int run = 1; run <= runs; ++run) {
    ModalSeam::reset();
    for (int i = 0; i < 3; ++i) ModalSeam::setNextAnswer(Answer::Ok);  // version, confirmation, finished
    ModalSeam::setNextFileName(QString::fromStdString(image));
    button->click();
    // The run goes on in the event loop after the click; its end enables
    // the button again.
    const bool ended = ServeUntil(
        [&] { return button->isEnabled() && !window.RunInProgress() && !window.Runner().HasConnection(); }, 60000);
    const auto& records = ModalSeam::records();
    const bool finished = ended && window.Job().LastOutcome() == RunOutcome::Finished &&
                          ModalSeam::unansweredCount() == 0 && !records.empty() &&
                          records.back().text == "Download finished";
    if (!finished) {
      ++failures;
      std::fprintf(stderr, "mervix-window-soak: run %d did not finish%s; log:\n%s\n", run,
                   ended ? "" : " in time", window.Log().Text().c_str());
      if (!ended) break;
    }
    if (run == 10) atTen = SettledFigures();
    if (run % 10 == 0) {
      const soak::ProcessFigures now = soak::ReadProcessFigures();
      std::printf("window run %d: fds %d, rss %ld kB, peak %ld kB, %.1f s\n", run, now.descriptors, now.rssKb,
                  now.peakRssKb, clock.elapsed() / 1000.0);
      std::fflush(stdout);
    }
  }
  const soak::ProcessFigures end = SettledFigures();

  const bool exited = sim.WaitForExit(10000);
  sim.Stop();
  const testing::DevsimRecord record = sim.Record();
  const long long completed = record.Number("downloads_completed", 0);
  const bool sameImage = sim.ReceivedImage() == expected;

  std::printf("window: runs %d, failures %d, device downloads %lld, last image %s\n", runs, failures, completed,
              sameImage ? "identical" : "DIFFERENT");
  std::printf("window: fds start %d, at 10 %d, end %d\n", start.descriptors, atTen.descriptors, end.descriptors);
  std::printf("window: peak rss kB start %ld, at 10 %ld, end %ld (rss at 10 %ld, end %ld)\n", start.peakRssKb,
              atTen.peakRssKb, end.peakRssKb, atTen.rssKb, end.rssKb);

  bool ok = failures == 0 && exited && completed == runs && sameImage;
  if (end.descriptors > atTen.descriptors || end.descriptors > start.descriptors) {
    std::printf("window: FAIL open descriptors grew\n");
    ok = false;
  }
  if (end.peakRssKb > atTen.peakRssKb + kPeakSlackKb) {
    std::printf("window: FAIL peak memory grew by %ld kB after the tenth run\n", end.peakRssKb - atTen.peakRssKb);
    ok = false;
  }
  if (!exited || completed != runs) std::printf("window: FAIL the device completed %lld of %d\n", completed, runs);
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace mervix

int main(int argc, char** argv) { return mervix::Run(argc, argv); }
