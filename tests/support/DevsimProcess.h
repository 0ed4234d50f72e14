// The device simulator as a child process of a test, and its record.
//
//   mervix::testing::DevsimProcess sim;
//   std::string error;
//   if (!sim.Start({"--download-mode", "--fault", "size=nak:0x0020"}, &error)) ...
//   ... connect to 127.0.0.1:sim.Port() ...
//   sim.Stop();                                 // SIGTERM; the record is final
//   DevsimRecord r = sim.Record();
//   r.Number("announced_size"); r.Numbers("block_sizes"); r.All("frame");
//
// Start runs mervix-devsim on an ephemeral port with a record file and an
// image file in a fresh temporary folder, and waits for its "listening" line.
// It listens on 127.0.0.1, or on the address given to SetListenAddress
// before Start ("::1": connect to [::1]:sim.Port()).
// The program is found through the MERVIX_DEVSIM environment variable, else
// it is the build's own (Programs.h). Header-only and free of any
// test framework, so every suite can reuse it.
#pragma once

#include "tests/support/Programs.h"

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
// <windows.h> names MessageBoxW so; the window's own MessageBox is meant.
#undef MessageBox
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
extern char** environ;
#endif

namespace mervix::testing {

// The simulator's key=value record. Keys that occur once (counts, sizes) are
// read with Text and Number; repeated keys ("frame", "reply") with All.
class DevsimRecord {
 public:
  // Parses key=value lines; false when a non-empty line has no '='.
  static bool Parse(const std::string& text, DevsimRecord* out) {
    DevsimRecord r;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty()) continue;
      const std::size_t eq = line.find('=');
      if (eq == std::string::npos) return false;
      r.values_.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    *out = std::move(r);
    return true;
  }

  bool Has(const std::string& key) const { return values_.count(key) != 0; }
  bool Empty() const { return values_.empty(); }

  // The first value of the key, or "" when absent.
  std::string Text(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
  }

  // The value as a number (decimal, or hex with 0x); |fallback| when absent,
  // empty or not a number.
  long long Number(const std::string& key, long long fallback = -1) const {
    const std::string v = Text(key);
    if (v.empty()) return fallback;
    char* end = nullptr;
    const long long n = std::strtoll(v.c_str(), &end, 0);
    return *end == '\0' ? n : fallback;
  }

  // A comma-separated list of numbers ("65536,65536,1024"); empty when absent.
  std::vector<long long> Numbers(const std::string& key) const {
    std::vector<long long> list;
    std::istringstream in(Text(key));
    std::string item;
    while (std::getline(in, item, ',')) {
      if (!item.empty()) list.push_back(std::strtoll(item.c_str(), nullptr, 0));
    }
    return list;
  }

  // Every value of a repeated key, in record order.
  std::vector<std::string> All(const std::string& key) const {
    std::vector<std::string> list;
    auto range = values_.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) list.push_back(it->second);
    return list;
  }

 private:
  std::multimap<std::string, std::string> values_;
};

// The simulator's process: its standard output on a pipe, its standard
// error into a file; asked to end (SIGTERM, or on Windows, which has no
// signals to send, the end of its standard input with --stop-on-eof),
// waited for, killed.
class SimulatorChild {
 public:
  SimulatorChild() = default;
  ~SimulatorChild() { Close(); }
  SimulatorChild(const SimulatorChild&) = delete;
  SimulatorChild& operator=(const SimulatorChild&) = delete;

  // The options the platform needs to be able to end the child.
  static std::vector<std::string> StopOptions() {
#ifdef _WIN32
    return {"--stop-on-eof"};
#else
    return {};
#endif
  }

  bool Running() const { return running_; }

#ifdef _WIN32
  bool Spawn(const std::vector<std::string>& argv, const std::string& errPath, std::string* error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outWrite = nullptr;
    HANDLE inRead = nullptr;
    if (!::CreatePipe(&out_, &outWrite, &inherit, 0) || !::CreatePipe(&inRead, &in_, &inherit, 0)) {
      *error = "CreatePipe failed: " + std::to_string(::GetLastError());
      return false;
    }
    ::SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
    HANDLE err = ::CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string command;
    for (const std::string& a : argv) {
      if (!command.empty()) command += ' ';
      command += '"' + a + '"';
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    const BOOL made = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                       nullptr, &startup, &info);
    const DWORD why = ::GetLastError();
    ::CloseHandle(outWrite);
    ::CloseHandle(inRead);
    if (err != INVALID_HANDLE_VALUE) ::CloseHandle(err);
    if (!made) {
      Close();
      *error = "cannot start " + argv.front() + ": error " + std::to_string(why);
      return false;
    }
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    running_ = true;
    killed_ = false;
    return true;
  }

  // What the child printed until |lines| lines came, it closed its output,
  // or |deadline| passed; its output is closed then.
  std::string ReadLines(unsigned lines, std::chrono::steady_clock::time_point deadline) {
    std::string text;
    while (static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')) < lines &&
           std::chrono::steady_clock::now() < deadline) {
      DWORD available = 0;
      if (!::PeekNamedPipe(out_, nullptr, 0, nullptr, &available, nullptr)) break;
      if (available == 0) {
        ::Sleep(5);
        continue;
      }
      char c[256];
      DWORD n = 0;
      if (!::ReadFile(out_, c, std::min<DWORD>(available, sizeof c), &n, nullptr) || n == 0) break;
      text.append(c, n);
    }
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    if (out_ != nullptr) ::CloseHandle(out_);
    out_ = nullptr;
    return text;
  }

  void AskToEnd() {
    if (in_ != nullptr) ::CloseHandle(in_);
    in_ = nullptr;
  }
  void Kill() {
    killed_ = true;
    if (process_ != nullptr) ::TerminateProcess(process_, 1);
  }
  // Collects the child's exit code (-1 when it was killed); |block| waits.
  bool Reap(bool block, int* exitCode) {
    if (!running_) return true;
    if (::WaitForSingleObject(process_, block ? INFINITE : 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    *exitCode = (::GetExitCodeProcess(process_, &code) && !killed_) ? static_cast<int>(code) : -1;
    running_ = false;
    Close();
    return true;
  }

 private:
  void Close() {
    for (HANDLE* h : {&out_, &in_, &process_}) {
      if (*h != nullptr) ::CloseHandle(*h);
      *h = nullptr;
    }
  }
  HANDLE process_ = nullptr;
  HANDLE out_ = nullptr;
  HANDLE in_ = nullptr;
  bool killed_ = false;
#else
  bool Spawn(const std::vector<std::string>& argv, const std::string& errPath, std::string* error) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      *error = std::strerror(errno);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv.front().c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      pid_ = -1;
      *error = "cannot start " + argv.front() + ": " + std::strerror(rc);
      return false;
    }
    out_ = out[0];
    running_ = true;
    return true;
  }

  // What the child printed until |lines| lines came, it closed its output,
  // or |deadline| passed; its output is closed then.
  std::string ReadLines(unsigned lines, std::chrono::steady_clock::time_point deadline) {
    std::string text;
    while (static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')) < lines) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{out_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char c[256];
      const ssize_t n = ::read(out_, c, sizeof c);
      if (n <= 0) break;
      text.append(c, static_cast<std::size_t>(n));
    }
    Close();
    return text;
  }

  void AskToEnd() { ::kill(pid_, SIGTERM); }
  void Kill() { ::kill(pid_, SIGKILL); }
  // Collects the child's exit code (-1 when a signal ended it); |block| waits.
  bool Reap(bool block, int* exitCode) {
    if (!running_) return true;
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    *exitCode = (r > 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    running_ = false;
    return true;
  }

 private:
  void Close() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }
  pid_t pid_ = -1;
  int out_ = -1;
#endif
  bool running_ = false;
};

class DevsimProcess {
 public:
  DevsimProcess() = default;
  ~DevsimProcess() {
    Stop();
    if (!dir_.empty() && !std::getenv("MERVIX_KEEP_TEST_FILES")) {
      std::vector<std::string> files = {RecordPath(), ImagePath(), DecodedPath()};
      for (std::size_t k = 0; k < ports_.size() && devices_ > 1; ++k) {
        files.push_back(RecordPath(k));
        files.push_back(ImagePath(k));
      }
      for (const std::string& f : files) {
        std::remove(f.c_str());
        std::remove((f + ".tmp").c_str());
      }
      for (const std::string& f : extraFiles_) std::remove(f.c_str());
      std::remove(LogPath().c_str());
#ifdef _WIN32
      ::_rmdir(dir_.c_str());
#else
      ::rmdir(dir_.c_str());
#endif
    }
  }
  DevsimProcess(const DevsimProcess&) = delete;
  DevsimProcess& operator=(const DevsimProcess&) = delete;

  // Path of the simulator program; empty when neither the environment nor
  // the build names it.
  static std::string ProgramPath() {
    if (const char* env = std::getenv("MERVIX_DEVSIM")) return env;
    return DevsimPath();
  }

  // Starts the simulator with |options| added after the fixture's own
  // (--port 0 --record --image, and --decoded when |decode| is set). Returns
  // false with a reason when it could not be started or did not report
  // listening within |timeoutMs|.
  bool Start(const std::vector<std::string>& options, std::string* error, bool decode = false,
             int timeoutMs = 10000) {
    if (child_.Running()) {
      *error = "already running";
      return false;
    }
    const std::string program = ProgramPath();
    if (program.empty()) {
      *error = "mervix-devsim not found: set MERVIX_DEVSIM";
      return false;
    }
    if (dir_.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mervix-devsim-XXXXXX";
      std::vector<char> buf(pattern.begin(), pattern.end());
      buf.push_back('\0');
      if (!::mkdtemp(buf.data())) {
        *error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
      }
      dir_ = buf.data();
    }
    std::vector<std::string> argv = {program, "--port", "0", "--record", RecordPath()};
    if (listen_ != "127.0.0.1") {
      argv.push_back("--listen");
      argv.push_back(listen_);
    }
    if (devices_ > 1) {
      argv.push_back("--devices");
      argv.push_back(std::to_string(devices_));
    }
    if (writeImage_) {
      argv.push_back("--image");
      argv.push_back(ImagePath());
    }
    if (decode) {
      argv.push_back("--decoded");
      argv.push_back(DecodedPath());
    }
    argv.insert(argv.end(), options.begin(), options.end());

    const std::vector<std::string> stop = SimulatorChild::StopOptions();
    argv.insert(argv.end(), stop.begin(), stop.end());
    if (!child_.Spawn(argv, LogPath(), error)) return false;

    // Wait for "listening on ADDRESS:PORT", one line per device.
    const std::string line =
        child_.ReadLines(devices_, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
    const std::string prefix =
        "listening on " + (listen_.find(':') != std::string::npos ? "[" + listen_ + "]" : listen_) + ":";
    ports_.clear();
    for (std::size_t at = 0; at < line.size();) {
      const std::size_t end = line.find('\n', at);
      if (end == std::string::npos || line.compare(at, prefix.size(), prefix) != 0) break;
      ports_.push_back(static_cast<std::uint16_t>(std::atoi(line.c_str() + at + prefix.size())));
      at = end + 1;
    }
    if (ports_.size() != devices_) {
      Stop();
      *error = "mervix-devsim did not start listening on " + std::to_string(devices_) +
               " port(s); its output: " + line + ReadFile(LogPath());
      return false;
    }
    port_ = ports_.front();
    return port_ != 0;
  }

  // Asks the simulator to end (SIGTERM) and waits for it; kills it after
  // |timeoutMs|. Returns its exit code, or -1 when it had to be killed or was
  // not running.
  int Stop(int timeoutMs = 5000) {
    if (!child_.Running()) return exitCode_;
    child_.AskToEnd();
    if (!WaitForExit(timeoutMs)) {
      child_.Kill();
      child_.Reap(true, &exitCode_);
    }
    return exitCode_;
  }

  // Waits until the simulator has ended by itself (--connections, --downloads).
  bool WaitForExit(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (child_.Running()) {
      if (child_.Reap(false, &exitCode_)) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // Whether the simulator writes the received image to ImagePath() (the
  // default). A benchmark turns it off; set before Start.
  void SetWriteImage(bool write) { writeImage_ = write; }
  // How many devices the simulator serves (--devices); set before Start.
  void SetDevices(unsigned devices) { devices_ = devices < 1 ? 1 : devices; }
  // The IP address it listens on (--listen, 127.0.0.1 by default); set
  // before Start.
  void SetListenAddress(const std::string& address) { listen_ = address; }

  bool Running() const { return child_.Running(); }
  std::uint16_t Port() const { return port_; }
  const std::string& Folder() const { return dir_; }
  std::string RecordPath() const { return dir_ + "/record.txt"; }
  std::string ImagePath() const { return dir_ + "/image.bin"; }
  std::string DecodedPath() const { return dir_ + "/decoded.bin"; }
  std::string LogPath() const { return dir_ + "/devsim.log"; }
  // Device |k| of a fleet: its port, record and received image.
  const std::vector<std::uint16_t>& Ports() const { return ports_; }
  std::string RecordPath(std::size_t k) const { return RecordPath() + "." + std::to_string(k); }
  std::string ImagePath(std::size_t k) const { return ImagePath() + "." + std::to_string(k); }
  DevsimRecord Record(std::size_t k) const {
    DevsimRecord r;
    DevsimRecord::Parse(ReadFile(RecordPath(k)), &r);
    return r;
  }
  std::vector<std::uint8_t> ReceivedImage(std::size_t k) const { return ReadBytes(ImagePath(k)); }
  // A file of the test in the simulator's folder, removed with it.
  std::string FilePath(const std::string& name) {
    extraFiles_.push_back(dir_ + "/" + name);
    return extraFiles_.back();
  }

  // The record as last written (after every connection, and at exit).
  DevsimRecord Record() const {
    DevsimRecord r;
    DevsimRecord::Parse(ReadFile(RecordPath()), &r);
    return r;
  }

  // The image of the latest download, as the simulator received it.
  std::vector<std::uint8_t> ReceivedImage() const { return ReadBytes(ImagePath()); }
  std::vector<std::uint8_t> DecodedImage() const { return ReadBytes(DecodedPath()); }

  // The simulator's standard error (its --verbose lines and complaints).
  std::string Log() const { return ReadFile(LogPath()); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    const std::string s = ReadFile(path);
    return std::vector<std::uint8_t>(s.begin(), s.end());
  }

 private:
  SimulatorChild child_;
  bool writeImage_ = true;
  int exitCode_ = -1;
  std::uint16_t port_ = 0;
  std::vector<std::uint16_t> ports_;
  unsigned devices_ = 1;
  std::string listen_ = "127.0.0.1";
  std::vector<std::string> extraFiles_;
  std::string dir_;
};

// A fleet of simulated devices (mervix-devsim --devices N) as one child
// process: every device's port, record and received image.
//
//   DevsimFleet fleet;
//   if (!fleet.Start(5, {"--fault-device", "2:size=nak:0x0020"}, &error)) ...
//   fleet.Ports()[k] ... fleet.Stop(); fleet.Record(k); fleet.ReceivedImage(k);
class DevsimFleet : public DevsimProcess {
 public:
  bool Start(unsigned devices, const std::vector<std::string>& options, std::string* error, int timeoutMs = 10000) {
    SetDevices(devices);
    return DevsimProcess::Start(options, error, false, timeoutMs);
  }
};

}  // namespace mervix::testing
