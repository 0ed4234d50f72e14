// Whether this machine has the IPv6 loopback: a test of [::1] skips with the
// reason where it has not (a container without IPv6, a kernel with it off).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// <windows.h> names MessageBoxW so; the window's own MessageBox is meant.
#undef MessageBox
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <string>

namespace mervix::testing {

// "" when a TCP socket can be bound to [::1]; else why not.
inline std::string Ipv6LoopbackUnavailable() {
#ifdef _WIN32
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd == INVALID_SOCKET) return "no IPv6 socket: error " + std::to_string(::WSAGetLastError());
#else
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return std::string("no IPv6 socket: ") + std::strerror(errno);
#endif
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
#ifdef _WIN32
  const int why = ::WSAGetLastError();
  ::closesocket(fd);
  return bound ? std::string() : "cannot bind [::1]: error " + std::to_string(why);
#else
  const int why = errno;
  ::close(fd);
  return bound ? std::string() : std::string("cannot bind [::1]: ") + std::strerror(why);
#endif
}

}  // namespace mervix::testing
