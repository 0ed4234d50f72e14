// The network interface that follows the units (--unit-link): while no unit
// is there it is down, and it takes the next unit's MAC address, as a board
// pulled out of a station's socket and the next one plugged in look to the
// station's side of the cable.
//
// Linux only: ioctl SIOCSIFFLAGS and SIOCSIFHWADDR on an AF_INET datagram
// socket, which needs CAP_NET_ADMIN. Elsewhere every call fails with a
// reason (the options refuse --unit-link there before it comes to that).
#pragma once

#include "tools/devsim/SimulatorOptions.h"

#include <string>

#ifdef __linux__
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace mervix::devsim {

#ifdef __linux__
namespace link_detail {

inline std::string Reason(const std::string& name, const char* what, int error) {
  std::string text = "interface " + name + ": cannot " + what + ": " + std::strerror(error);
  if (error == EPERM || error == EACCES) text += " (this needs CAP_NET_ADMIN, e.g. running as root)";
  if (error == ENODEV) text += " (no such interface)";
  return text;
}

// Runs |request| on |ifr| for interface |name|; false with a reason.
inline bool Control(const std::string& name, unsigned long request, ifreq* ifr, const char* what,
                    std::string* error) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = Reason(name, "open a socket", errno);
    return false;
  }
  std::strncpy(ifr->ifr_name, name.c_str(), IFNAMSIZ - 1);
  ifr->ifr_name[IFNAMSIZ - 1] = '\0';
  const int rc = ::ioctl(fd, request, ifr);
  const int saved = errno;
  ::close(fd);
  if (rc != 0) *error = Reason(name, what, saved);
  return rc == 0;
}

}  // namespace link_detail
#endif

// Sets interface |name| up or down, its other flags kept.
inline bool SetInterfaceUp(const std::string& name, bool up, std::string* error) {
#ifdef __linux__
  ifreq ifr{};
  if (!link_detail::Control(name, SIOCGIFFLAGS, &ifr, "read its flags", error)) return false;
  if (up) ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  else ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
  return link_detail::Control(name, SIOCSIFFLAGS, &ifr, up ? "set it up" : "set it down", error);
#else
  (void)up;
  *error = "interface " + name + ": setting a network interface is supported on Linux only";
  return false;
#endif
}

// Gives interface |name| the Ethernet address |mac|.
inline bool SetInterfaceMac(const std::string& name, const MacAddress& mac, std::string* error) {
#ifdef __linux__
  ifreq ifr{};
  ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  std::memcpy(ifr.ifr_hwaddr.sa_data, mac.data(), mac.size());
  return link_detail::Control(name, SIOCSIFHWADDR, &ifr, ("set its MAC address to " + FormatMacAddress(mac)).c_str(),
                              error);
#else
  (void)mac;
  *error = "interface " + name + ": setting a network interface is supported on Linux only";
  return false;
#endif
}

}  // namespace mervix::devsim
