// A fleet of simulated devices (mervix-devsim --devices N) as a child process
// of a test: every device's port, record and received image.
//
//   mervix::testing::DevsimFleet fleet;
//   if (!fleet.Start(5, {"--fault-device", "2:size=nak:0x0020"}, &error)) ...
//   fleet.Ports()[k] ... fleet.Stop(); fleet.Record(k); fleet.ReceivedImage(k);
//
// Header-only and free of any test framework.
#pragma once

#include "tests/support/DevsimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace mervix::testing {

class DevsimFleet {
 public:
  DevsimFleet() = default;
  ~DevsimFleet() {
    Stop();
    if (dir_.empty() || std::getenv("MERVIX_KEEP_TEST_FILES")) return;
    for (std::size_t k = 0; k < ports_.size(); ++k) {
      for (const std::string& f : {RecordPath(k), ImagePath(k)}) {
        std::remove(f.c_str());
        std::remove((f + ".tmp").c_str());
      }
    }
    for (const std::string& f : extraFiles_) std::remove(f.c_str());
    std::remove(LogPath().c_str());
    ::rmdir(dir_.c_str());
  }
  DevsimFleet(const DevsimFleet&) = delete;
  DevsimFleet& operator=(const DevsimFleet&) = delete;

  // Starts |devices| devices on ephemeral ports with records and images in a
  // fresh folder, |options| added; waits for one "listening" line each.
  bool Start(unsigned devices, const std::vector<std::string>& options, std::string* error, int timeoutMs = 10000) {
    const std::string program = DevsimProcess::ProgramPath();
    if (program.empty()) {
      *error = "mervix-devsim not found: set MERVIX_DEVSIM";
      return false;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mervix-fleet-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) {
      *error = std::string("mkdtemp: ") + std::strerror(errno);
      return false;
    }
    dir_ = buf.data();
    std::vector<std::string> argv = {program,           "--devices", std::to_string(devices), "--port", "0",
                                     "--record",        dir_ + "/record.txt", "--image", dir_ + "/image.bin"};
    argv.insert(argv.end(), options.begin(), options.end());

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      *error = std::strerror(errno);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, LogPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      pid_ = -1;
      *error = "cannot start " + program + ": " + std::strerror(rc);
      return false;
    }
    // One "listening on 127.0.0.1:PORT" line per device.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto lines = [&text] { return static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')); };
    while (lines() < devices) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{out[0], POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char c[4096];
      const ssize_t n = ::read(out[0], c, sizeof c);
      if (n <= 0) break;
      text.append(c, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find('\n', at);
      if (end == std::string::npos) break;
      const std::string line = text.substr(at, end - at);
      at = end + 1;
      if (line.rfind(prefix, 0) != 0) break;
      ports_.push_back(static_cast<std::uint16_t>(std::atoi(line.c_str() + prefix.size())));
    }
    if (ports_.size() != devices) {
      Stop();
      *error = "mervix-devsim did not report " + std::to_string(devices) + " ports; its output: " + text +
               DevsimProcess::ReadFile(LogPath());
      return false;
    }
    return true;
  }

  // SIGTERM and wait (SIGKILL after |timeoutMs|); the exit code, -1 if killed.
  int Stop(int timeoutMs = 5000) {
    if (pid_ <= 0) return exitCode_;
    ::kill(pid_, SIGTERM);
    if (!WaitForExit(timeoutMs)) {
      ::kill(pid_, SIGKILL);
      Reap(true);
    }
    return exitCode_;
  }

  bool WaitForExit(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0) {
      if (Reap(false)) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      ::usleep(5000);
    }
    return true;
  }

  // A file of the test in the fleet's folder, removed with it.
  std::string FilePath(const std::string& name) {
    extraFiles_.push_back(dir_ + "/" + name);
    return extraFiles_.back();
  }

  const std::vector<std::uint16_t>& Ports() const { return ports_; }
  const std::string& Folder() const { return dir_; }
  std::string RecordPath(std::size_t k) const { return dir_ + "/record.txt." + std::to_string(k); }
  std::string ImagePath(std::size_t k) const { return dir_ + "/image.bin." + std::to_string(k); }
  std::string LogPath() const { return dir_ + "/devsim.log"; }
  DevsimRecord Record(std::size_t k) const {
    DevsimRecord r;
    DevsimRecord::Parse(DevsimProcess::ReadFile(RecordPath(k)), &r);
    return r;
  }
  std::vector<std::uint8_t> ReceivedImage(std::size_t k) const { return DevsimProcess::ReadBytes(ImagePath(k)); }
  std::string Log() const { return DevsimProcess::ReadFile(LogPath()); }

 private:
  bool Reap(bool block) {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    exitCode_ = (r > 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return true;
  }

  pid_t pid_ = -1;
  int exitCode_ = -1;
  std::string dir_;
  std::vector<std::uint16_t> ports_;
  std::vector<std::string> extraFiles_;
};

}  // namespace mervix::testing
