// A device that costs next to nothing: the download service in plain
// blocking sockets on a thread of its own, so that a benchmark can time a
// client's data phase without the simulator's own costs in the figure.
//
// It is in download mode from the start: the status query is answered at
// once with status 2, the size request (of exactly the expected length)
// with an Ack, and every block with an Ack as soon as all its bytes have
// arrived. Blocks are read with large recv() calls into one buffer and
// compared with the expected image; replies go out with TCP_NODELAY. A
// client that sends a wrong frame or byte, sends before its reply came, or
// sends anything after the last Ack fails the connection.
//
// The data phase is timed here, on the peer's clock, from the send of the
// size request's Ack to the send of the last block's Ack: the same clock
// and the same work for every client.
//
//   bench::FastPeer peer(image);
//   if (!peer.Start(&error)) ...
//   ... a client downloads to 127.0.0.1:peer.Port() ...
//   bench::PeerResult r = peer.NextResult();   // waits for that connection
//   r.ok, r.error, r.dataPhaseNs
#pragma once

#include "tests/bench/download/MinimalClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mervix::bench {

struct PeerResult {
  bool ok = false;
  std::string error;          // why the connection failed
  std::int64_t dataPhaseNs = 0;  // size Ack sent to last block Ack sent
};

class FastPeer {
 public:
  explicit FastPeer(const std::vector<std::uint8_t>& image) : image_(image) {}
  ~FastPeer() { Stop(); }
  FastPeer(const FastPeer&) = delete;
  FastPeer& operator=(const FastPeer&) = delete;

  // Listens on 127.0.0.1, an ephemeral port, and serves connections one
  // after another on its own thread.
  bool Start(std::string* error) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return Fail(error, "socket");
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return Fail(error, "bind");
    if (::listen(listener_, 16) != 0) return Fail(error, "listen");
    socklen_t length = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
    return true;
  }

  // Ends the thread: the listener is shut down, which wakes its accept().
  void Stop() {
    if (listener_ < 0) return;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
    listener_ = -1;
  }

  std::uint16_t Port() const { return port_; }

  // The result of the next connection served, once it has ended.
  PeerResult NextResult() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !results_.empty(); });
    PeerResult r = std::move(results_.front());
    results_.pop_front();
    return r;
  }

 private:
  static bool Fail(std::string* error, const char* what) {
    *error = std::string(what) + ": " + std::strerror(errno);
    return false;
  }

  void Serve() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;  // shut down
      }
      PeerResult r = Download(fd);
      ::close(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      results_.push_back(std::move(r));
      ready_.notify_one();
    }
  }

  static bool SendFrame(int fd, const std::uint8_t frame[8]) {
    return ::send(fd, frame, 8, MSG_NOSIGNAL) == 8;
  }

  PeerResult Download(int fd) {
    PeerResult r;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    static const std::uint8_t kQuery[8] = {0x51, 0x21, 0, 0, 0, 0, 0, 0};
    static const std::uint8_t kStatus[8] = {0x52, 0x05, 0x02, 0, 0, 0, 0, 0};
    static const std::uint8_t kAck[8] = {0x52, 0x03, 0, 0, 0, 0, 0, 0};
    const std::uint32_t n = static_cast<std::uint32_t>(image_.size());
    const std::uint8_t size[8] = {0x51, 0x22, std::uint8_t(n >> 24), std::uint8_t(n >> 16),
                                  std::uint8_t(n >> 8), std::uint8_t(n), 0, 0};
    std::uint8_t frame[8];
    if (!ReadFrame(fd, frame) || std::memcmp(frame, kQuery, 8) != 0) {
      r.error = "no status query";
      return r;
    }
    if (!SendFrame(fd, kStatus)) {
      r.error = "cannot send the status reply";
      return r;
    }
    if (!ReadFrame(fd, frame) || std::memcmp(frame, size, 8) != 0) {
      r.error = "no size request for " + std::to_string(n) + " bytes";
      return r;
    }
    if (!SendFrame(fd, kAck)) {
      r.error = "cannot send the size Ack";
      return r;
    }
    const auto begin = std::chrono::steady_clock::now();
    for (std::size_t offset = 0; offset < image_.size(); offset += kBlock) {
      const std::size_t block = std::min<std::size_t>(kBlock, image_.size() - offset);
      // Asks for more than the block: bytes beyond it were sent before its
      // Ack, which a lock-step client never does.
      std::size_t got = 0;
      while (got < block) {
        const ssize_t k = ::recv(fd, buffer_.data() + got, buffer_.size() - got, 0);
        if (k <= 0) {
          r.error = "the connection ended in the block at " + std::to_string(offset);
          return r;
        }
        got += static_cast<std::size_t>(k);
      }
      if (got > block) {
        r.error = "bytes sent before the Ack of the block at " + std::to_string(offset);
        return r;
      }
      if (std::memcmp(buffer_.data(), image_.data() + offset, block) != 0) {
        r.error = "wrong bytes in the block at " + std::to_string(offset);
        return r;
      }
      if (!SendFrame(fd, kAck)) {
        r.error = "cannot send the Ack of the block at " + std::to_string(offset);
        return r;
      }
    }
    r.dataPhaseNs = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin)
                        .count();
    // The client closes; anything else it sends is a fault.
    const ssize_t extra = ::recv(fd, buffer_.data(), buffer_.size(), 0);
    if (extra != 0) {
      r.error = extra > 0 ? "bytes after the last Ack" : "no orderly close after the last Ack";
      return r;
    }
    r.ok = true;
    return r;
  }

  static constexpr std::size_t kBlock = 65536;

  const std::vector<std::uint8_t>& image_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kBlock + 4096);
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<PeerResult> results_;
};

}  // namespace mervix::bench
