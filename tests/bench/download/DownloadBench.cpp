// The command line's download path beside the least a client can do, on
// loopback, in two figures.
//
// 1. One device's data phase (the size request's Ack to the last block's
//    Ack) of a 2,031,616-byte image, for the job's path (a DownloadJob
//    carried out by the Asio runner on an io_context, its image prepared as
//    "mervix-cli send" prepares it) and for the minimal blocking-socket
//    client (MinimalClient.h), both against the same fast peer
//    (FastPeer.h), which times the phase on its own clock and checks every
//    byte. The runs alternate between the clients so that the load of the
//    machine falls on both alike; the median and the best of each are
//    printed, and the ratio of the medians beside its target.
//
// 2. CPU per GB sent: the user and system time of a "mervix-cli send" to a
//    fleet of simulated devices (mervix-devsim --devices N --download-mode,
//    --jobs N), beside that of a child process of this program in which the
//    minimal client makes as many downloads to a fleet of the same
//    simulator. The minimal client makes them one after another, mervix-cli
//    all at once: each is measured as it is built to work. Both CPU times
//    include the process's start and end (mervix-cli's reading and hashing
//    of the image; the child's fork). Every simulated device must have
//    received the exact image once (its SHA-256, by the simulator's record).
//
// A transfer that delivers a wrong byte or an unexpected reply makes the
// program exit 1; a missed target does not.
//
//   bench_download [--runs N] [--devices N] [--rounds N] [--only job|block|pieces]
//       --runs     data phase runs per client (default 60)
//       --devices  devices of the fleet (default 200)
//       --rounds   fleet runs per client; the median is used (default 3);
//                  0 leaves the fleet out
//       --only     times that one client alone (for a profiler), no ratio
#include "cli/support/AsioRunner.h"
#include "operations/DownloadJob.h"
#include "operations/ImagePreparation.h"
#include "resources/LogPane.h"
#include "resources/Sha256Digest.h"
#include "tests/bench/BenchSupport.h"
#include "tests/bench/download/FastPeer.h"
#include "tests/bench/download/MinimalClient.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/Programs.h"
#include "tests/support/TempFolder.h"

#include <asio/io_context.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace mervix {
namespace {

using bench::kImageSize;


// Answers OK to the confirmation and No to "Retry?"; the boxes go nowhere
// (the run's failure says what went wrong).
class QuietDialogs : public cli::RunDialogs {
 public:
  Answer Ask(Question question, const std::string&, ButtonSet) override {
    return question == Question::Confirm ? Answer::Ok : Answer::No;
  }
  void Show(std::uint16_t, const std::string&) override {}
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double Best(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

// One run of the job's path to 127.0.0.1:port, as "mervix-cli send" runs
// one device: false with |error| when it did not finish.
bool JobDownload(const PreparedImage& image, std::uint16_t port, std::string* error) {
  asio::io_context io;
  QuietDialogs dialogs;
  LogPane log;
  DownloadJob job(log);
  cli::AsioRunner runner(io, dialogs,
                         cli::RunnerLimits{cli::kDefaultConnectTimeoutMs, cli::kDefaultReplyTimeoutMs,
                                           cli::kDefaultBlockAckTimeoutMs});
  runner.Attach(job);
  if (!job.Start(image, "127.0.0.1", port, runner)) {
    *error = "the job did not start";
    return false;
  }
  io.run();
  if (runner.Outcome() != RunOutcome::Finished) {
    *error = "the run did not finish: " + Describe(runner.LastFailure());
    return false;
  }
  return true;
}

struct Client {
  const char* name;
  std::vector<double> ms;  // data phase of each run, by the peer's clock
};

// Figure 1. False when a transfer went wrong.
bool DataPhase(const std::vector<std::uint8_t>& image, int runs, int only) {
  testing::TempFolder folder;
  const std::string path = folder / "bench.img";
  testing::WriteBytes(path, image);
  PreparedImage prepared;
  const Failure refused = PrepareImageAsItIs(path, &prepared, ImageAccess::ReadersOnly);
  if (refused.failed()) {
    std::fprintf(stderr, "bench_download: cannot prepare the image: %s\n", Describe(refused).c_str());
    return false;
  }
  bench::FastPeer peer(image);
  std::string error;
  if (!peer.Start(&error)) {
    std::fprintf(stderr, "bench_download: the fast peer did not start: %s\n", error.c_str());
    return false;
  }

  enum { kJob, kMinimalBlock, kMinimalPieces, kClients };
  Client clients[kClients] = {{"job (DownloadJob + AsioRunner)", {}},
                              {"minimal client, one send() per block", {}},
                              {"minimal client, 1,024-byte send()s", {}}};
  // One untimed round first: connections, page faults, caches.
  for (int run = -1; run < runs; ++run) {
    for (int c = 0; c < kClients; ++c) {
      if (only >= 0 && c != only) continue;
      bool sent = false;
      if (c == kJob) {
        sent = JobDownload(prepared, peer.Port(), &error);
      } else {
        sent = bench::MinimalDownload(peer.Port(), image, true, c == kMinimalBlock ? 65536 : 1024);
        if (!sent) error = "unexpected reply";
      }
      const bench::PeerResult r = peer.NextResult();
      if (!sent || !r.ok) {
        std::fprintf(stderr, "bench_download: %s: %s\n", clients[c].name, !r.ok ? r.error.c_str() : error.c_str());
        return false;
      }
      if (run >= 0) clients[c].ms.push_back(static_cast<double>(r.dataPhaseNs) / 1e6);
    }
  }

  std::printf("data phase of a %zu-byte image (size Ack to last block Ack, by the fast peer's clock), %d runs each:\n",
              image.size(), runs);
  for (const Client& c : clients) {
    if (c.ms.empty()) continue;
    const double median = Median(c.ms);
    std::printf("  %-40s median %7.3f ms  best %7.3f ms  (%6.0f MB/s at the median)\n", c.name, median, Best(c.ms),
                static_cast<double>(image.size()) / 1e3 / median);
  }
  if (only >= 0) return true;
  const double job = Median(clients[kJob].ms);
  const double minimal = Median(clients[kMinimalBlock].ms);
  std::printf("  job vs minimal client, best of each: %.2fx; vs the 1,024-byte sends: %.2fx (medians)\n",
              Best(clients[kJob].ms) / Best(clients[kMinimalBlock].ms), job / Median(clients[kMinimalPieces].ms));
  std::printf("data phase, job vs minimal client (same fast peer): %.2fx  (target: at most 1.25x)  [medians, "
              "minimal client with one send() per block]\n",
              job / minimal);
  std::fflush(stdout);
  return true;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

struct Usage {
  bool ok = false;
  double cpu = 0, user = 0, system = 0, wall = 0;
  int exitCode = -1;
};

// Waits for |pid| and takes its own resource usage.
Usage Reap(pid_t pid, const std::chrono::steady_clock::time_point& begin) {
  Usage u;
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  u.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  u.user = Seconds(usage.ru_utime);
  u.system = Seconds(usage.ru_stime);
  u.cpu = u.user + u.system;
  u.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  u.ok = u.exitCode == 0;
  return u;
}

// How many devices of |sim| received exactly |sha256|, once.
unsigned ExactDevices(testing::DevsimProcess& sim, const std::string& sha256) {
  sim.Stop();
  unsigned exact = 0;
  const std::size_t count = sim.Ports().size();
  for (std::size_t k = 0; k < count; ++k) {
    const testing::DevsimRecord r = count > 1 ? sim.Record(k) : sim.Record();
    if (r.Text("image_sha256") == sha256 && r.Number("downloads_completed") == 1 &&
        r.Number("bytes_received") == static_cast<long long>(kImageSize)) {
      ++exact;
    }
  }
  return exact;
}

bool StartFleet(testing::DevsimProcess& sim, unsigned devices) {
  sim.SetDevices(devices);
  sim.SetWriteImage(false);
  std::string error;
  if (!sim.Start({"--download-mode"}, &error, false, 60000)) {
    std::fprintf(stderr, "bench_download: the simulator did not start: %s\n", error.c_str());
    return false;
  }
  return true;
}

// "mervix-cli send" to a fresh fleet of |devices|, --jobs |devices|.
Usage CliFleet(const std::vector<std::uint8_t>& image, const std::string& sha256, unsigned devices,
               unsigned* exact) {
  testing::DevsimProcess sim;
  if (!StartFleet(sim, devices)) return {};
  const std::string imagePath = sim.FilePath("bench.img");
  testing::WriteBytes(imagePath, image);
  const std::string hostsPath = sim.FilePath("hosts.txt");
  {
    std::ofstream hosts(hostsPath);
    for (std::uint16_t port : sim.Ports()) hosts << "127.0.0.1:" << port << "\n";
  }
  const std::vector<std::string> argv = {testing::CliPath(), "send", "--hosts", hostsPath, "--jobs",
                                         std::to_string(devices), "--yes", "--progress", "never", imagePath};
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto begin = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return {};
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  Usage u = Reap(pid, begin);
  *exact = ExactDevices(sim, sha256);
  return u;
}

// The minimal client in a child process: one download to each device of a
// fresh fleet, one after another.
Usage MinimalFleet(const std::vector<std::uint8_t>& image, const std::string& sha256, unsigned devices,
                   unsigned* exact) {
  testing::DevsimProcess sim;
  if (!StartFleet(sim, devices)) return {};
  const std::vector<std::uint16_t> ports = sim.Ports();
  const auto begin = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return {};
  if (pid == 0) {
    bool ok = true;
    for (std::uint16_t port : ports) ok = bench::MinimalDownload(port, image, true, 65536) && ok;
    ::_exit(ok ? 0 : 1);
  }
  Usage u = Reap(pid, begin);
  *exact = ExactDevices(sim, sha256);
  return u;
}

// Figure 2. False when a transfer went wrong.
bool CpuPerGigabyte(const std::vector<std::uint8_t>& image, unsigned devices, int rounds) {
  Sha256Digest digest;
  digest.Update(image.data(), image.size());
  const std::string sha256 = Sha256Hex(digest.Finish());
  const double gigabytes = static_cast<double>(devices) * static_cast<double>(image.size()) / 1e9;
  std::vector<double> cliPerGb, minimalPerGb;
  bool ok = true;
  std::printf("CPU of %u downloads of the image to mervix-devsim --devices %u --download-mode (%.3f GB), user+system:\n",
              devices, devices, gigabytes);
  for (int round = 0; round < rounds; ++round) {
    // Alternating, so that the load of the machine falls on both alike.
    unsigned exact = 0;
    const Usage c = CliFleet(image, sha256, devices, &exact);
    std::printf("  mervix-cli send --jobs %u:          cpu %6.3f s (user %.3f, sys %.3f), wall %6.2f s, %u/%u exact "
                "-> %6.3f s/GB\n",
                devices, c.cpu, c.user, c.system, c.wall, exact, devices, c.cpu / gigabytes);
    if (!c.ok || exact != devices) {
      std::fprintf(stderr, "bench_download: mervix-cli exited %d; %u of %u devices received the exact image\n",
                   c.exitCode, exact, devices);
      ok = false;
    }
    cliPerGb.push_back(c.cpu / gigabytes);
    const Usage m = MinimalFleet(image, sha256, devices, &exact);
    std::printf("  minimal client, one after another: cpu %6.3f s (user %.3f, sys %.3f), wall %6.2f s, %u/%u exact "
                "-> %6.3f s/GB\n",
                m.cpu, m.user, m.system, m.wall, exact, devices, m.cpu / gigabytes);
    if (!m.ok || exact != devices) {
      std::fprintf(stderr, "bench_download: the minimal client exited %d; %u of %u devices received the exact image\n",
                   m.exitCode, exact, devices);
      ok = false;
    }
    minimalPerGb.push_back(m.cpu / gigabytes);
    std::fflush(stdout);
  }
  const double cli = Median(cliPerGb), minimal = Median(minimalPerGb);
  std::printf("CPU per GB sent: mervix-cli %.3f s/GB, minimal client %.3f s/GB (medians of %d rounds)\n", cli, minimal,
              rounds);
  std::printf("CPU per GB sent, mervix-cli vs minimal client: %.2fx  (target: at most 1.5x)\n", cli / minimal);
  return ok;
}

}  // namespace
}  // namespace mervix

int main(int argc, char** argv) {
  int runs = 60, rounds = 3, only = -1;
  unsigned devices = 200;
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: bench_download [--runs N] [--devices N] [--rounds N] [--only job|block|pieces]\n");
    return 2;
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    const std::string text = argv[i + 1];
    if (name == "--only" && (text == "job" || text == "block" || text == "pieces")) {
      only = text == "job" ? 0 : text == "block" ? 1 : 2;
    } else if (name == "--runs") {
      runs = std::max(1, value);
    } else if (name == "--devices") {
      devices = static_cast<unsigned>(std::max(1, value));
    } else if (name == "--rounds") {
      rounds = std::max(0, value);
    } else {
      std::fprintf(stderr, "usage: bench_download [--runs N] [--devices N] [--rounds N] [--only job|block|pieces]\n");
      return 2;
    }
  }
  const std::vector<std::uint8_t> image = mervix::bench::BenchImage();
  std::printf("load average before: %s (%u cores)\n", mervix::bench::LoadAverage().c_str(),
              std::thread::hardware_concurrency());
  bool ok = mervix::DataPhase(image, runs, only);
  if (rounds > 0) ok = mervix::CpuPerGigabyte(image, devices, rounds) && ok;
  std::printf("load average after: %s\n", mervix::bench::LoadAverage().c_str());
  return ok ? 0 : 1;
}
