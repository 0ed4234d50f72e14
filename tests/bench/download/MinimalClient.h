// The least a client can do to download an image: the lock-step exchange
// with plain blocking sockets, nothing else. The benchmark measures the
// command line's download path against it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

namespace mervix::bench {

// Reads exactly one 8-byte frame; false on close or error.
inline bool ReadFrame(int fd, std::uint8_t frame[8]) {
  std::size_t got = 0;
  while (got < 8) {
    const ssize_t n = ::recv(fd, frame + got, 8 - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

inline bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// One download to a device already in download mode: status query, size
// request, then the image in blocks of 64 KB written as pieces of |piece|
// bytes (1,024 as the device's service reads them, or 65,536: one send()
// per block), an 8-byte acknowledgement awaited after each block. |noDelay|
// switches Nagle's algorithm off. Returns true when every reply was the
// expected one.
inline bool MinimalDownload(std::uint16_t port, const std::vector<std::uint8_t>& image, bool noDelay,
                            std::size_t piece = 1024) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  if (noDelay) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;

  std::uint8_t reply[8];
  const std::uint8_t query[8] = {0x51, 0x21, 0, 0, 0, 0, 0, 0};
  ok = ok && SendAll(fd, query, 8) && ReadFrame(fd, reply) && reply[0] == 0x52 && reply[1] == 0x05;
  const std::uint32_t n = static_cast<std::uint32_t>(image.size());
  const std::uint8_t size[8] = {0x51, 0x22, std::uint8_t(n >> 24), std::uint8_t(n >> 16),
                                std::uint8_t(n >> 8), std::uint8_t(n), 0, 0};
  ok = ok && SendAll(fd, size, 8) && ReadFrame(fd, reply) && reply[0] == 0x52 && reply[1] == 0x03;
  for (std::size_t block = 0; ok && block < image.size(); block += 65536) {
    const std::size_t end = std::min(image.size(), block + 65536);
    for (std::size_t at = block; ok && at < end; at += piece) {
      ok = SendAll(fd, image.data() + at, std::min<std::size_t>(piece, end - at));
    }
    ok = ok && ReadFrame(fd, reply) && reply[0] == 0x52 && reply[1] == 0x03;
  }
  ::close(fd);
  return ok;
}

}  // namespace mervix::bench
