// Helpers of the command line's unit tests: streams that stand in for the
// terminal, temporary paths, and a device on 127.0.0.1 scripted per
// connection on a thread of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace mervix::testing {

using Bytes = std::vector<std::uint8_t>;

// A temporary stream: what is written to it is read back with Text(); one
// made with a text reads it from the start (a terminal's input).
class TextStream {
 public:
  TextStream() : file_(std::tmpfile()) {}
  explicit TextStream(const std::string& input) : TextStream() {
    std::fputs(input.c_str(), file_);
    std::rewind(file_);
  }
  ~TextStream() { std::fclose(file_); }
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;

  std::FILE* file() const { return file_; }
  std::string Text() const {
    std::fflush(file_);
    const long at = std::ftell(file_);
    std::rewind(file_);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
    std::fseek(file_, at, SEEK_SET);
    return text;
  }

 private:
  std::FILE* file_;
};

// A path in the test's temporary folder, unique to this process.
inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "mervix_cli_" + std::to_string(::getpid()) + "_" + name;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += "'" + a + "' ";
  return text;
}

// Reads exactly |n| bytes within |timeoutMs|; fewer when the peer closes or
// the time is spent.
inline Bytes ReadExact(int fd, std::size_t n, int timeoutMs = 5000) {
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint8_t buffer[65536];
  while (got.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
    if (r <= 0) break;
    got.insert(got.end(), buffer, buffer + r);
  }
  return got;
}

// True once the peer has closed its sending side (a read gives the end of
// the stream) within |timeoutMs|; what arrives before is dropped.
inline bool WaitForEndOfStream(int fd, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint8_t buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t r = ::recv(fd, buffer, sizeof buffer, 0);
    if (r == 0) return true;
    if (r < 0) return false;
  }
}

inline bool WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A device on 127.0.0.1: accepts connections one at a time and runs the
// handler on each (index from 0) on its own thread, then closes it.
class LoopbackDevice {
 public:
  using Handler = std::function<void(int fd, int index)>;

  explicit LoopbackDevice(Handler handler) : handler_(std::move(handler)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 4);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackDevice() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  LoopbackDevice(const LoopbackDevice&) = delete;
  LoopbackDevice& operator=(const LoopbackDevice&) = delete;

  std::uint16_t Port() const { return port_; }
  int Connections() const { return connections_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      handler_(fd, connections_++);
      ::close(fd);
    }
  }

  Handler handler_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace mervix::testing
