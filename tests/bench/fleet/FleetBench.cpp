// A fleet on loopback: "mervix-cli send" of a 2,031,616-byte image to 1, 10,
// 50 and 200 simulated devices (one simulator process serving them all, each
// starting in normal mode, so every run has its 3 s mode switch), with
// --jobs equal to the device count. For each size: the wall time of the
// command, its ratio to one device, the command's peak memory (the
// kernel's maximum resident set) and the most descriptors it held open.
// Targets: 50 devices within 1.5 times one device, 200 within 3 times, and
// under 64 MB for 200 (the image is read from one file, never copied per
// device).
//
//   bench_fleet [DEVICES...]     default: 1 10 50 200
#include "tests/support/DevsimProcess.h"
#include "tests/support/Programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kImageSize = 2031616;

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
  bool ok = false;
  double seconds = 0;
  long peakKb = 0;
  int peakDescriptors = 0;
  int exitCode = -1;
};

// Runs |argv| with standard output and error to /dev/null, polling its
// descriptors until it exits.
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
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  f.peakKb = usage.ru_maxrss;
  f.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  f.ok = f.exitCode == 0;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<unsigned> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<unsigned>(std::atoi(argv[i])));
  if (sizes.empty()) sizes = {1, 10, 50, 200};

  std::printf("%8s %10s %8s %12s %12s\n", "devices", "wall s", "ratio", "peak MB", "descriptors");
  double one = 0;
  bool allOk = true;
  for (unsigned n : sizes) {
    mervix::testing::DevsimProcess sim;
    sim.SetDevices(n);
    sim.SetWriteImage(false);
    std::string error;
    if (!sim.Start({}, &error)) {
      std::fprintf(stderr, "bench_fleet: the simulator did not start: %s\n", error.c_str());
      return 1;
    }
    const std::string imagePath = sim.FilePath("bench.img");
    {
      std::vector<char> image(kImageSize);
      for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 131 + (i >> 9));
      std::ofstream(imagePath, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
    }
    const std::string hostsPath = sim.FilePath("hosts.txt");
    {
      std::ofstream hosts(hostsPath);
      for (std::uint16_t port : sim.Ports()) hosts << "127.0.0.1:" << port << "\n";
    }
    const Figures f = Measure({mervix::testing::CliPath(), "send", "--hosts", hostsPath, "--jobs",
                               std::to_string(n), "--yes", "--progress", "never", imagePath});
    sim.Stop();
    if (!f.ok) {
      std::fprintf(stderr, "bench_fleet: %u devices: mervix-cli exited %d\n", n, f.exitCode);
      allOk = false;
      continue;
    }
    if (n == 1) one = f.seconds;
    char ratio[16] = "-";
    if (one > 0) std::snprintf(ratio, sizeof ratio, "%.2f", f.seconds / one);
    std::printf("%8u %10.2f %8s %12.1f %12d\n", n, f.seconds, ratio, f.peakKb / 1024.0, f.peakDescriptors);
    std::fflush(stdout);
  }
  std::printf("targets: 50 devices <= 1.5 x one, 200 <= 3 x one, peak < 64 MB for 200\n");
  return allOk ? 0 : 1;
}
