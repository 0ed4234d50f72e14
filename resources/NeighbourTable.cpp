#include "resources/NeighbourTable.h"

#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
#elif defined(__linux__)
#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace mervix {
namespace {

// An IP address as its family and bytes (4 or 16).
struct IpAddress {
  int family = 0;
  unsigned char bytes[16] = {};
  std::size_t size = 0;
};

bool ParseIp(std::string text, IpAddress* out) {
  const std::size_t scope = text.find('%');
  if (scope != std::string::npos) text.erase(scope);
  if (inet_pton(AF_INET, text.c_str(), out->bytes) == 1) {
    out->family = AF_INET;
    out->size = 4;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), out->bytes) == 1) {
    out->family = AF_INET6;
    out->size = 16;
    return true;
  }
  return false;
}

std::string MacText(const unsigned char* bytes, std::size_t size) {
  if (size != 6) return std::string();
  bool zero = true;
  for (std::size_t i = 0; i < size; ++i) zero = zero && bytes[i] == 0;
  if (zero) return std::string();
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                bytes[5]);
  return text;
}

#ifdef _WIN32

std::string Lookup(const IpAddress& ip) {
  MIB_IPNET_TABLE2* table = nullptr;
  if (GetIpNetTable2(static_cast<ADDRESS_FAMILY>(ip.family), &table) != NO_ERROR) return std::string();
  std::string mac;
  for (ULONG i = 0; i < table->NumEntries && mac.empty(); ++i) {
    const MIB_IPNET_ROW2& row = table->Table[i];
    if (row.State == NlnsUnreachable || row.State == NlnsIncomplete) continue;
    const bool same = ip.family == AF_INET
                          ? std::memcmp(&row.Address.Ipv4.sin_addr, ip.bytes, 4) == 0
                          : std::memcmp(&row.Address.Ipv6.sin6_addr, ip.bytes, 16) == 0;
    if (same) mac = MacText(row.PhysicalAddress, row.PhysicalAddressLength);
  }
  FreeMibTable(table);
  return mac;
}

#elif defined(__linux__)

// One dump of the kernel's neighbour table of |ip|'s family over netlink.
std::string Lookup(const IpAddress& ip) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return std::string();
  struct {
    nlmsghdr header;
    ndmsg message;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
  request.header.nlmsg_type = RTM_GETNEIGH;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.message.ndm_family = static_cast<unsigned char>(ip.family);
  std::string mac;
  if (::send(fd, &request, request.header.nlmsg_len, 0) < 0) {
    ::close(fd);
    return mac;
  }
  std::vector<char> buffer(65536);
  bool done = false;
  while (!done) {
    const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (got <= 0) break;
    int left = static_cast<int>(got);
    for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
        done = true;
        break;
      }
      if (h->nlmsg_type != RTM_NEWNEIGH || !mac.empty()) continue;
      const ndmsg* entry = static_cast<const ndmsg*>(NLMSG_DATA(h));
      if (entry->ndm_family != ip.family || (entry->ndm_state & (NUD_INCOMPLETE | NUD_FAILED | NUD_NOARP)) != 0) {
        continue;
      }
      const unsigned char* destination = nullptr;
      const unsigned char* link = nullptr;
      std::size_t linkSize = 0;
      int attributesLeft = static_cast<int>(RTM_PAYLOAD(h));
      for (const rtattr* a = RTM_RTA(entry); RTA_OK(a, attributesLeft); a = RTA_NEXT(a, attributesLeft)) {
        if (a->rta_type == NDA_DST && RTA_PAYLOAD(a) == ip.size) {
          destination = static_cast<const unsigned char*>(RTA_DATA(a));
        } else if (a->rta_type == NDA_LLADDR) {
          link = static_cast<const unsigned char*>(RTA_DATA(a));
          linkSize = RTA_PAYLOAD(a);
        }
      }
      if (destination != nullptr && link != nullptr && std::memcmp(destination, ip.bytes, ip.size) == 0) {
        mac = MacText(link, linkSize);
      }
    }
  }
  ::close(fd);
  return mac;
}

#else

std::string Lookup(const IpAddress&) { return std::string(); }

#endif

}  // namespace

std::string NeighbourMacAddress(const std::string& address) {
  IpAddress ip;
  if (!ParseIp(address, &ip)) return std::string();
  return Lookup(ip);
}

}  // namespace mervix
