// mervix-cli-soak: many runs of "mervix-cli send" against the simulator on
// 127.0.0.1, through the device's mode switch (with a short pause), one run
// in ten against a device with a fault: a refusal (of the size or of a
// block), a connection that closes in the middle of a block (once with a
// retry that then finishes), a device that stops answering (a block's Ack,
// the query after the reconnect).
//
//   mervix-cli-soak --cli PATH --devsim PATH --image FILE [--runs N]
//
// Every run must end with the exit code of its cause and the faulty device
// must have seen its fault; the device of the good runs must have completed
// every one of them and hold the image. Each run's peak memory (as
// /usr/bin/time reports it) and the most descriptors it held (sampled while
// it runs) are compared between the start, the middle and the end of the
// soak, for the good runs and for the faulty ones (a cycle of each kind), as
// are the descriptors of the long-lived simulator: none may grow, and a run
// with a fault may hold no more than a good one. Prints one line per hundred runs and the figures; exits 0
// when every check held, 1 when one failed, 2 on a usage error.
#include "tests/soak/ProcessFigures.h"
#include "tests/support/DevsimProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace mervix {
namespace {

// Peak memory may differ by this much between runs of the same kind without
// counting as growth: allocator and page-cache noise, not a leak.
constexpr long kPeakSlackKb = 1024;
// A run that takes longer than this has hung.
constexpr int kRunLimitMs = 60000;

// One kind of run: the device's fault (none for a good run), options added
// to the command, and the exit code the run must end with.
struct RunKind {
  const char* name;
  const char* fault;  // a --fault of the simulator, or null
  std::vector<std::string> options;
  int exitCode;
  bool imageArrives;  // the device ends up with the whole image
};

const RunKind kGood{"good", nullptr, {}, 0, true};
// The faulty kinds, in turn: refused, reset, time-out, each twice over.
const RunKind kFaults[] = {
    {"size refused", "size=nak:0x0020", {}, 1, false},
    {"reset in block 5", "block.5=vanish", {}, 4, false},
    {"no Ack for block 7", "block.7=silent", {"--timeout", "1"}, 6, false},
    {"block 2 refused", "block.2=nak:0x0010", {}, 1, false},
    {"reset in block 5, retried", "block.5=vanish", {"--retries", "1"}, 0, true},
    {"no reply after the reconnect", "status.2=silent", {"--timeout", "1"}, 6, false},
};
constexpr int kFaultKinds = sizeof kFaults / sizeof kFaults[0];

struct RunFigures {
  int exitCode = -1;
  long peakRssKb = -1;       // the finished process's peak, from time
  int peakDescriptors = -1;  // the most seen while it ran
};

// Runs the command under /usr/bin/time, with standard output and error
// into |outPath|, and samples its descriptors every millisecond until it
// has exited. Its peak memory comes from time, which forks it from a small
// process: a child spawned from this one would be charged this process's
// peak as well.
RunFigures RunCommand(const std::vector<std::string>& command, const std::string& outPath,
                      const std::string& peakPath) {
  RunFigures figures;
  std::vector<std::string> argv = {"/usr/bin/time", "-f", "%M", "-o", peakPath};
  argv.insert(argv.end(), command.begin(), command.end());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return figures;
  const auto begin = std::chrono::steady_clock::now();
  const std::string childrenPath = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
  pid_t commandPid = -1;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      figures.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (commandPid <= 0) {
      std::FILE* f = std::fopen(childrenPath.c_str(), "r");
      if (f != nullptr) {
        int child = 0;
        if (std::fscanf(f, "%d", &child) == 1) commandPid = child;
        std::fclose(f);
      }
    }
    // A process that has exited meanwhile shows no descriptors (-1).
    if (commandPid > 0) {
      figures.peakDescriptors = std::max(figures.peakDescriptors, soak::ReadProcessFigures(commandPid).descriptors);
    }
    if (std::chrono::steady_clock::now() - begin > std::chrono::milliseconds(kRunLimitMs)) {
      if (commandPid > 0) ::kill(commandPid, SIGKILL);
      ::kill(pid, SIGKILL);
    }
    ::usleep(1000);
  }
  // time's last line is the peak in kB (after a note when the command was
  // killed).
  const std::string peak = testing::DevsimProcess::ReadFile(peakPath);
  const std::size_t line = peak.find_last_not_of("\n");
  if (line != std::string::npos) {
    const std::size_t from = peak.rfind('\n', line);
    figures.peakRssKb = std::atol(peak.c_str() + (from == std::string::npos ? 0 : from + 1));
  }
  return figures;
}

// The largest figures of runs [from, to) of a list.
struct Window {
  long peakRssKb = -1;
  int peakDescriptors = -1;
};

Window Largest(const std::vector<RunFigures>& runs, std::size_t from, std::size_t to) {
  Window w;
  for (std::size_t i = from; i < to && i < runs.size(); ++i) {
    w.peakRssKb = std::max(w.peakRssKb, runs[i].peakRssKb);
    w.peakDescriptors = std::max(w.peakDescriptors, runs[i].peakDescriptors);
  }
  return w;
}

std::string Tail(const std::string& text, std::size_t lines) {
  std::size_t at = text.size();
  for (std::size_t n = 0; n <= lines && at > 0; ++n) {
    at = text.rfind('\n', at - 1);
    if (at == std::string::npos) return text;
  }
  return text.substr(at + 1);
}

// The one child process this program has between runs: the long-lived
// simulator.
pid_t OnlyChild() {
  pid_t found = -1;
  if (DIR* d = ::opendir("/proc")) {
    while (const dirent* e = ::readdir(d)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid <= 0) continue;
      std::FILE* f = std::fopen(("/proc/" + std::string(e->d_name) + "/stat").c_str(), "r");
      if (f == nullptr) continue;
      // "pid (name) state ppid ...": the name may hold spaces, so read past
      // its closing parenthesis.
      char buf[512];
      const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
      std::fclose(f);
      buf[n] = '\0';
      const char* close = std::strrchr(buf, ')');
      int ppid = 0;
      if (close != nullptr && std::sscanf(close + 1, " %*c %d", &ppid) == 1 && ppid == ::getpid()) found = pid;
    }
    ::closedir(d);
  }
  return found;
}

int Usage() {
  std::fprintf(stderr, "usage: mervix-cli-soak --cli PATH --devsim PATH --image FILE [--runs N]\n");
  return 2;
}

int Run(int argc, char** argv) {
  std::string cli, devsim, image;
  int runs = 500;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    if (a == "--cli") cli = argv[++i];
    else if (a == "--devsim") devsim = argv[++i];
    else if (a == "--image") image = argv[++i];
    else if (a == "--runs") runs = std::atoi(argv[++i]);
    else return Usage();
  }
  // Every fault kind must come round at the start, the middle and the end.
  if (cli.empty() || devsim.empty() || image.empty() || runs < 30 * kFaultKinds) return Usage();
  ::setenv("MERVIX_DEVSIM", devsim.c_str(), 1);
  ::setenv("LANG", "C.UTF-8", 1);
  ::unsetenv("LC_ALL");
  ::unsetenv("LANGUAGE");

  const std::vector<std::uint8_t> expected = testing::DevsimProcess::ReadBytes(image);
  testing::DevsimProcess device;  // the good runs' device, from start to end
  std::string error;
  if (!device.Start({}, &error)) {
    std::fprintf(stderr, "mervix-cli-soak: %s\n", error.c_str());
    return 1;
  }
  const std::string outPath = device.FilePath("cli-output.txt");
  const std::string peakPath = device.FilePath("cli-peak.txt");
  auto command = [&](std::uint16_t port, const RunKind& kind) {
    std::vector<std::string> args = {cli,    "send",           "--host", "127.0.0.1",  "--port", std::to_string(port),
                                     "--yes", "--switch-pause", "0.1",    "--progress", "never",  "--timeout",
                                     "10"};
    // A repeated option counts as given last.
    args.insert(args.end(), kind.options.begin(), kind.options.end());
    args.push_back(image);
    return args;
  };

  // The long-lived device's figures at the start, the middle and the end.
  const pid_t devicePid = OnlyChild();
  std::vector<soak::ProcessFigures> deviceFigures = {soak::ReadProcessFigures(devicePid)};
  std::vector<RunFigures> good, faulty;
  int failures = 0, goodRuns = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (int run = 1; run <= runs; ++run) {
    const bool faultRun = run % 10 == 0;
    const RunKind& kind = faultRun ? kFaults[(run / 10 - 1) % kFaultKinds] : kGood;
    RunFigures figures;
    std::string problem;
    if (!faultRun) {
      ++goodRuns;
      figures = RunCommand(command(device.Port(), kind), outPath, peakPath);
    } else {
      testing::DevsimProcess faultyDevice;
      if (!faultyDevice.Start({"--fault", kind.fault}, &error)) {
        problem = error;
      } else {
        figures = RunCommand(command(faultyDevice.Port(), kind), outPath, peakPath);
        faultyDevice.Stop();
        const testing::DevsimRecord record = faultyDevice.Record();
        if (record.Text("faults_fired").find(kind.fault) == std::string::npos) {
          problem = "the fault did not fire";
        } else if (kind.imageArrives && faultyDevice.ReceivedImage() != expected) {
          problem = "the device did not get the image";
        }
      }
    }
    (faultRun ? faulty : good).push_back(figures);
    if (problem.empty() && figures.exitCode != kind.exitCode) {
      problem = "exit code " + std::to_string(figures.exitCode) + ", not " + std::to_string(kind.exitCode);
    }
    if (!problem.empty()) {
      ++failures;
      std::fprintf(stderr, "mervix-cli-soak: run %d (%s): %s; its output ends:\n%s\n", run, kind.name,
                   problem.c_str(), Tail(testing::DevsimProcess::ReadFile(outPath), 4).c_str());
    }
    if (run == runs / 2 || run == runs) deviceFigures.push_back(soak::ReadProcessFigures(devicePid));
    if (run % 100 == 0) {
      std::printf("cli run %d: %d failed so far, %.1f s\n", run, failures,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
      std::fflush(stdout);
    }
  }
  device.Stop();
  const testing::DevsimRecord record = device.Record();
  const long long completed = record.Number("downloads_completed", 0);
  const bool sameImage = device.ReceivedImage() == expected;

  // Good runs: the first ten, ten about the middle, the last ten. Faulty
  // runs: a cycle of every kind at each place.
  const std::size_t g = good.size(), f = faulty.size(), k = kFaultKinds;
  const Window goodAt[] = {Largest(good, 0, 10), Largest(good, g / 2 - 5, g / 2 + 5), Largest(good, g - 10, g)};
  const std::size_t middleCycle = (f / 2) / k * k;
  const Window faultyAt[] = {Largest(faulty, 0, k), Largest(faulty, middleCycle, middleCycle + k),
                             Largest(faulty, (f - k) / k * k, (f - k) / k * k + k)};
  std::printf("cli: runs %d (%d good, %zu with a fault), failures %d, device downloads %lld of %d, last image %s, "
              "%.1f s\n",
              runs, goodRuns, f, failures, completed, goodRuns, sameImage ? "identical" : "DIFFERENT",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
  std::printf("cli: good runs   peak rss kB start %ld, middle %ld, end %ld; peak fds start %d, middle %d, end %d\n",
              goodAt[0].peakRssKb, goodAt[1].peakRssKb, goodAt[2].peakRssKb, goodAt[0].peakDescriptors,
              goodAt[1].peakDescriptors, goodAt[2].peakDescriptors);
  std::printf("cli: faulty runs peak rss kB start %ld, middle %ld, end %ld; peak fds start %d, middle %d, end %d\n",
              faultyAt[0].peakRssKb, faultyAt[1].peakRssKb, faultyAt[2].peakRssKb, faultyAt[0].peakDescriptors,
              faultyAt[1].peakDescriptors, faultyAt[2].peakDescriptors);
  std::printf("cli: simulator fds start %d, middle %d, end %d; rss kB start %ld, middle %ld, end %ld\n",
              deviceFigures[0].descriptors, deviceFigures[1].descriptors, deviceFigures[2].descriptors,
              deviceFigures[0].rssKb, deviceFigures[1].rssKb, deviceFigures[2].rssKb);

  bool ok = failures == 0 && completed == goodRuns && sameImage;
  if (completed != goodRuns || !sameImage) {
    std::printf("cli: FAIL the device completed %lld of %d, last image %s\n", completed, goodRuns,
                sameImage ? "identical" : "different");
  }
  for (const Window* at : {goodAt, faultyAt}) {
    const char* which = at == goodAt ? "good" : "faulty";
    if (at[0].peakRssKb < 0 || at[0].peakDescriptors < 0) {
      std::printf("cli: FAIL no figures of the %s runs\n", which);
      ok = false;
      continue;
    }
    for (int i = 1; i < 3; ++i) {
      if (at[i].peakRssKb > at[0].peakRssKb + kPeakSlackKb) {
        std::printf("cli: FAIL peak memory of the %s runs grew by %ld kB\n", which, at[i].peakRssKb - at[0].peakRssKb);
        ok = false;
      }
      if (at[i].peakDescriptors > at[0].peakDescriptors) {
        std::printf("cli: FAIL descriptors of the %s runs grew from %d to %d\n", which, at[0].peakDescriptors,
                    at[i].peakDescriptors);
        ok = false;
      }
    }
  }
  // A run with a fault holds no more than a good one: nothing of a failed
  // attempt is left open while the run goes on or retries.
  for (int i = 0; i < 3; ++i) {
    if (faultyAt[i].peakDescriptors > goodAt[i].peakDescriptors) {
      std::printf("cli: FAIL runs with a fault held %d descriptors, good runs %d\n", faultyAt[i].peakDescriptors,
                  goodAt[i].peakDescriptors);
      ok = false;
    }
  }
  if (deviceFigures[0].descriptors < 0 || deviceFigures[2].descriptors > deviceFigures[0].descriptors ||
      deviceFigures[1].descriptors > deviceFigures[0].descriptors) {
    std::printf("cli: FAIL the simulator's descriptors grew\n");
    ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace mervix

int main(int argc, char** argv) { return mervix::Run(argc, argv); }
