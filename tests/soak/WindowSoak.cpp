// mervix-window-soak: many firmware downloads through one window of one
// process, against the device simulator on 127.0.0.1, offscreen and with the
// settings in a temporary folder, through the device's mode switch with a
// short pause. One run in ten is stopped with the Stop button (answered Yes)
// while its blocks go out to a slow device, one in ten goes to a device with
// a fault (a refused block, a connection that closes in the middle of a
// block); the others must finish. Every run must end as it should: finished
// with the box, stopped with the bytes written in the log, failed with the
// device's fault seen. The process must hold no more descriptors at the
// middle and the end than after the tenth run (nor than before the first),
// and its peak memory must stay flat from the tenth run to the last.
//
//   mervix-window-soak --devsim PATH --image FILE [--runs N]
//
// FILE is a firmware image (tag "REV-" at offset 8) of at least 8 blocks.
// Prints one line per ten runs and closing lines of figures; exits 0 when
// every check held, 1 when one failed, 2 on a usage error.
#include "shell/DownloadDlg.h"
#include "shell/ModalSeam.h"
#include "shell/QtSettingsStore.h"
#include "tests/support/DevsimProcess.h"
#include "tests/soak/ProcessFigures.h"
#include "resources/MessageTable.h"
#include "resources/WindowMessages.h"

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

// The pause between the device's mode switch and the reconnect.
constexpr int kSwitchPauseMs = 100;

enum class RunKind { Good, Stop, Fault };

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

  // The device of the good runs; a slow one (every reply after a moment)
  // for the stopped runs, so that a stop meets a block in flight.
  testing::DevsimProcess sim, slow;
  std::string error;
  if (!sim.Start({}, &error) || !slow.Start({"--reply-delay", "15"}, &error)) {
    std::fprintf(stderr, "mervix-window-soak: %s\n", error.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> expected = testing::DevsimProcess::ReadBytes(image);
  if (expected.size() < 8 * 65536) return Usage();

  QtSettingsStore store;
  CDownloadDlg window(store);
  window.show();
  window.Runner().SetModeSwitchPauseMs(kSwitchPauseMs);
  ServeUntil([] { return false; }, 200);  // let the window settle
  window.findChild<QLineEdit*>(QStringLiteral("1000"))->setText(QStringLiteral("127.0.0.1"));
  QLineEdit* portField = window.findChild<QLineEdit*>(QStringLiteral("1004"));
  QPushButton* button = window.findChild<QPushButton*>(QStringLiteral("1001"));
  QPushButton* stopButton = window.findChild<QPushButton*>(QStringLiteral("stop"));

  const soak::ProcessFigures start = SettledFigures();
  soak::ProcessFigures atTen, middle;
  int failures = 0, good = 0, stopped = 0, faulty = 0;
  QElapsedTimer clock;
  clock.start();
  for (int run = 1; run <= runs; ++run) {
    const RunKind kind = run % 10 == 3 ? RunKind::Stop : run % 10 == 7 ? RunKind::Fault : RunKind::Good;
    const char* fault = faulty % 2 == 0 ? "block.2=nak:0x0010" : "block.5=vanish";
    testing::DevsimProcess faultyDevice;
    std::uint16_t port = sim.Port();
    if (kind == RunKind::Stop) port = slow.Port();
    if (kind == RunKind::Fault) {
      if (!faultyDevice.Start({"--fault", fault}, &error)) {
        std::fprintf(stderr, "mervix-window-soak: %s\n", error.c_str());
        return 1;
      }
      port = faultyDevice.Port();
    }
    portField->setText(QString::number(port));
    ModalSeam::reset();
    // The version and the confirmation, then the Stop question (Yes), or
    // the end's box (and a second one that a refusal may bring).
    ModalSeam::setNextAnswer(Answer::Ok);
    ModalSeam::setNextAnswer(Answer::Ok);
    ModalSeam::setNextAnswer(kind == RunKind::Stop ? Answer::Yes : Answer::Ok);
    if (kind == RunKind::Fault) ModalSeam::setNextAnswer(Answer::Ok);
    ModalSeam::setNextFileName(QString::fromStdString(image));
    button->click();
    bool stopClicked = false;
    if (kind == RunKind::Stop) {
      stopClicked = ServeUntil(
          [&] {
            const Progress& p = window.Runner().Meter().Last();
            return p.phase == ProgressPhase::Sending && p.block >= 3;
          },
          60000);
      if (stopClicked) stopButton->click();
    }
    // The run goes on in the event loop after the click; its end enables
    // the button again.
    const bool ended = ServeUntil(
        [&] { return button->isEnabled() && !window.RunInProgress() && !window.Runner().HasConnection(); }, 60000);
    const std::vector<ModalRecord> records = ModalSeam::recordsOf(ModalRecord::Kind::MessageBox);
    const RunOutcome outcome = window.Job().LastOutcome();
    const std::string& log = window.Log().Text();
    std::string problem;
    if (!ended) {
      problem = "did not end in time";
    } else if (kind == RunKind::Good) {
      ++good;
      if (outcome != RunOutcome::Finished || ModalSeam::unansweredCount() != 0 || records.empty() ||
          records.back().text != "Download finished") {
        problem = "did not finish";
      }
    } else if (kind == RunKind::Stop) {
      ++stopped;
      if (!stopClicked || outcome != RunOutcome::Stopped || records.size() != 3 ||
          records[2].text != GetMessageText(IDS_WINDOW_ASK_STOP) ||
          log.find("Download stopped: ") == std::string::npos) {
        problem = "was not stopped";
      }
    } else {
      ++faulty;
      faultyDevice.Stop();
      if (outcome != RunOutcome::Failed || window.Job().LastFailure().phase != RunPhase::Block) {
        problem = "did not fail in a block";
      } else if (faultyDevice.Record().Text("faults_fired") != fault) {
        problem = "the device's fault did not fire";
      }
    }
    if (!problem.empty()) {
      ++failures;
      std::fprintf(stderr, "mervix-window-soak: run %d %s; log:\n%s\n", run, problem.c_str(), log.c_str());
      if (!ended) break;
    }
    if (run == 10) atTen = SettledFigures();
    if (run == runs / 2) middle = SettledFigures();
    if (run % 10 == 0) {
      const soak::ProcessFigures now = soak::ReadProcessFigures();
      std::printf("window run %d: fds %d, rss %ld kB, peak %ld kB, %.1f s\n", run, now.descriptors, now.rssKb,
                  now.peakRssKb, clock.elapsed() / 1000.0);
      std::fflush(stdout);
    }
  }
  const soak::ProcessFigures end = SettledFigures();

  sim.Stop();
  slow.Stop();
  const testing::DevsimRecord record = sim.Record();
  const long long completed = record.Number("downloads_completed", 0);
  const bool sameImage = sim.ReceivedImage() == expected;

  std::printf("window: runs %d (%d good, %d stopped, %d with a fault), failures %d, device downloads %lld of %d, "
              "last image %s\n",
              runs, good, stopped, faulty, failures, completed, good, sameImage ? "identical" : "DIFFERENT");
  std::printf("window: fds before %d, at 10 %d, middle %d, end %d\n", start.descriptors, atTen.descriptors,
              middle.descriptors, end.descriptors);
  std::printf("window: peak rss kB before %ld, at 10 %ld, middle %ld, end %ld (rss at 10 %ld, middle %ld, end %ld)\n",
              start.peakRssKb, atTen.peakRssKb, middle.peakRssKb, end.peakRssKb, atTen.rssKb, middle.rssKb,
              end.rssKb);

  bool ok = failures == 0 && completed == good && sameImage;
  for (const soak::ProcessFigures* later : {static_cast<const soak::ProcessFigures*>(&middle), &end}) {
    if (later->descriptors > atTen.descriptors || later->descriptors > start.descriptors) {
      std::printf("window: FAIL open descriptors grew to %d\n", later->descriptors);
      ok = false;
    }
    if (later->peakRssKb > atTen.peakRssKb + kPeakSlackKb) {
      std::printf("window: FAIL peak memory grew by %ld kB after the tenth run\n", later->peakRssKb - atTen.peakRssKb);
      ok = false;
    }
  }
  if (completed != good || !sameImage) std::printf("window: FAIL the device completed %lld of %d\n", completed, good);
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace mervix

int main(int argc, char** argv) { return mervix::Run(argc, argv); }
