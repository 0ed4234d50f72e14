// A fleet on loopback: "mervix-cli send" of a 2,031,616-byte image to 1,
// 200, 1,000 and 10,000 simulated devices, each starting in normal mode, so
// that every run has its 3 s mode switch. Up to 1,000 devices one simulator
// process serves them all and --jobs equals the devices; beyond that one
// simulator process serves each thousand and --jobs is 1,000, so that the
// runs come in waves.
//
// For each size: the command's wall time and its ratio to one device, its
// peak memory (the kernel's maximum resident set), the most descriptors it
// held open, its CPU time (user and system) and that per GB sent, and how
// many devices received the exact image: each simulator states the SHA-256
// of the bytes it received, which is compared with the file's here (not
// with what mervix-cli says it sent). The targets are printed beside the
// figures; the load average of the machine before and after the run says
// how far the figures can be trusted.
//
//   bench_fleet [DEVICES...]     default: 1 200 1000 10000
#include "resources/Sha256Digest.h"
#include "tests/bench/BenchSupport.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/Programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using mervix::bench::kImageSize;
using mervix::bench::LoadAverage;
constexpr unsigned kDevicesPerSimulator = 1000;
constexpr unsigned kMostJobs = 1000;

int OpenDescriptors(pid_t pid) {
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

struct Figures {
  bool ran = false;
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKb = 0;
  int peakDescriptors = 0;
  int exitCode = -1;
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs |argv| with standard output and error to /dev/null, counting its
// descriptors now and then until it exits.
Figures Measure(const std::vector<std::string>& argv) {
  Figures f;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto begin = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return f;
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    const int open = OpenDescriptors(pid);
    if (open > f.peakDescriptors) f.peakDescriptors = open;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  f.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  f.peakKb = usage.ru_maxrss;
  f.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  f.ran = true;
  return f;
}

struct Row {
  unsigned devices = 0;
  Figures figures;
  unsigned exact = 0;  // devices whose simulator received the file's bytes, once
};

// One size: its simulators, the hosts file, the command, the check of
// every device's record.
bool RunSize(unsigned devices, const std::vector<std::uint8_t>& image, const std::string& sha256, Row* row) {
  row->devices = devices;
  const unsigned processes = (devices + kDevicesPerSimulator - 1) / kDevicesPerSimulator;
  std::vector<std::unique_ptr<mervix::testing::DevsimProcess>> sims;
  for (unsigned p = 0; p < processes; ++p) {
    auto sim = std::make_unique<mervix::testing::DevsimProcess>();
    sim->SetDevices(std::min(kDevicesPerSimulator, devices - p * kDevicesPerSimulator));
    sim->SetWriteImage(false);
    std::string error;
    if (!sim->Start({}, &error, false, 60000)) {
      std::fprintf(stderr, "bench_fleet: a simulator did not start: %s\n", error.c_str());
      return false;
    }
    sims.push_back(std::move(sim));
  }
  const std::string imagePath = sims.front()->FilePath("bench.img");
  std::ofstream(imagePath, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  const std::string hostsPath = sims.front()->FilePath("hosts.txt");
  {
    std::ofstream hosts(hostsPath);
    for (const auto& sim : sims) {
      for (std::uint16_t port : sim->Ports()) hosts << "127.0.0.1:" << port << "\n";
    }
  }
  const unsigned jobs = std::min(devices, kMostJobs);
  row->figures = Measure({mervix::testing::CliPath(), "send", "--hosts", hostsPath, "--jobs", std::to_string(jobs),
                          "--yes", "--progress", "never", imagePath});
  for (auto& sim : sims) {
    // A thousand records to write at exit take a while on a busy machine; a
    // simulator killed before it wrote them all would count as deliveries
    // missed.
    if (sim->Stop(60000) < 0) std::fprintf(stderr, "bench_fleet: a simulator had to be killed\n");
    const std::size_t count = sim->Ports().size();
    for (std::size_t k = 0; k < count; ++k) {
      const mervix::testing::DevsimRecord r = count > 1 ? sim->Record(k) : sim->Record();
      if (r.Text("image_sha256") == sha256 && r.Number("downloads_completed") == 1 &&
          r.Number("bytes_received") == static_cast<long long>(kImageSize)) {
        ++row->exact;
      }
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<unsigned> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<unsigned>(std::atoi(argv[i])));
  if (sizes.empty()) sizes = {1, 200, 1000, 10000};

  const std::vector<std::uint8_t> image = mervix::bench::BenchImage();
  mervix::Sha256Digest digest;
  digest.Update(image.data(), image.size());
  const std::string sha256 = mervix::Sha256Hex(digest.Finish());

  std::printf("load average before: %s (%u cores)\n", LoadAverage().c_str(), std::thread::hardware_concurrency());
  std::printf("%8s %6s %8s %7s %9s %7s %7s %8s %8s\n", "devices", "jobs", "wall s", "ratio", "peak MB", "fds",
              "cpu s", "cpu s/GB", "exact");
  std::vector<Row> rows;
  double oneSeconds = 0;
  bool allOk = true;
  for (unsigned n : sizes) {
    if (n == 0) continue;
    Row row;
    if (!RunSize(n, image, sha256, &row)) return 1;
    const Figures& f = row.figures;
    const double gigabytes = static_cast<double>(n) * kImageSize / 1e9;
    if (n == 1) oneSeconds = f.seconds;
    char ratio[16] = "-";
    if (oneSeconds > 0) std::snprintf(ratio, sizeof ratio, "%.2f", f.seconds / oneSeconds);
    std::printf("%8u %6u %8.2f %7s %9.1f %7d %7.2f %8.2f %8u\n", n, std::min(n, kMostJobs), f.seconds, ratio,
                f.peakKb / 1024.0, f.peakDescriptors, f.cpuSeconds, f.cpuSeconds / gigabytes, row.exact);
    std::fflush(stdout);
    if (f.exitCode != 0) {
      std::fprintf(stderr, "bench_fleet: %u devices: mervix-cli exited %d\n", n, f.exitCode);
      allOk = false;
    }
    if (row.exact != n) {
      std::fprintf(stderr, "bench_fleet: %u devices: %u received the exact image\n", n, row.exact);
      allOk = false;
    }
    rows.push_back(row);
  }
  std::printf("load average after: %s\n", LoadAverage().c_str());

  // The targets, each beside its figure.
  auto find = [&rows](unsigned n) -> const Row* {
    for (const Row& r : rows) {
      if (r.devices == n) return &r;
    }
    return nullptr;
  };
  const Row* one = find(1);
  const Row* thousand = find(1000);
  const Row* tenThousand = find(10000);
  auto verdict = [](bool met) { return met ? "met" : "NOT MET"; };
  if (one && thousand) {
    const double ratio = thousand->figures.seconds / one->figures.seconds;
    std::printf("1,000 devices: %.2fx one device's time (target: at most 2x) %s\n", ratio, verdict(ratio <= 2.0));
    const double mb = thousand->figures.peakKb / 1024.0;
    std::printf("1,000 devices: peak %.1f MB (target: at most 64 MB) %s\n", mb, verdict(mb <= 64.0));
    const int fds = thousand->figures.peakDescriptors;
    std::printf("1,000 devices: %d descriptors (target: at most 1,032) %s\n", fds, verdict(fds <= 1032));
  }
  if (one && tenThousand) {
    const double ratio = tenThousand->figures.seconds / one->figures.seconds;
    std::printf("10,000 devices, --jobs 1000: %.2fx one device's time (target: at most 11x) %s\n", ratio,
                verdict(ratio <= 11.0));
  }
  if (thousand && tenThousand) {
    const double extra = (tenThousand->figures.peakKb - thousand->figures.peakKb) / 1024.0;
    std::printf("10,000 devices: peak %.1f MB, %+.1f MB over 1,000 devices (target: at most +16 MB) %s\n",
                tenThousand->figures.peakKb / 1024.0, extra, verdict(extra <= 16.0));
  }
  for (const Row& r : rows) {
    std::printf("%u devices: %u of %u received the exact image (by the simulators' SHA-256)\n", r.devices, r.exact,
                r.devices);
  }
  return allOk ? 0 : 1;
}
