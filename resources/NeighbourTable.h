// The system's neighbour table (ARP for IPv4, neighbour discovery for IPv6):
// the link-layer address of a host on one of this machine's own links. A
// host reached through a router has no entry of its own (the router has),
// so an answer here means the host is on the same link.
#pragma once

#include <string>

namespace mervix {

// The MAC address of |address| (an IPv4 or IPv6 address as text, an IPv6
// scope "%eth0" allowed) as "02:00:5e:10:00:01" (lower case), from a
// complete entry of the neighbour table; empty when there is none, the
// address is not an IP address, or the table cannot be read.
std::string NeighbourMacAddress(const std::string& address);

}  // namespace mervix
