// A device's address as an operator types it, in a --host option or on a
// line of a hosts file or an inventory, or in the window: "host", "host:port", "[IPv6]:port", "[IPv6]", or a
// bare IPv6 address (more than one colon and no brackets: all of it is the
// host, there is no port). One parser for every place a device is given, so
// the same text means the same device everywhere.
#pragma once

#include "operations/FleetEngine.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mervix {

struct DeviceAddress {
  std::string host;                    // without brackets
  std::optional<std::uint16_t> port;   // 1..65535 when the text named one

  // The port of the text, else |fallback| (the --port of the command).
  std::uint16_t PortOr(std::uint16_t fallback) const { return port.value_or(fallback); }

  bool operator==(const DeviceAddress& other) const { return host == other.host && port == other.port; }
};

// Parses |text| as it stands (no blanks are trimmed). False with the reason
// in |error|: an empty host, a port that is not 1 to 65535, an unclosed
// bracket, anything after the closing bracket but ":PORT", a bracket
// elsewhere, a blank anywhere.
bool ParseDeviceAddress(const std::string& text, DeviceAddress* out, std::string* error);

// "host:port", with the host in brackets when it is an IPv6 address, so
// that the text reads back as the same device.
std::string FormatDeviceAddress(const std::string& host, std::uint16_t port);

// A port number of 1 to 5 decimal digits, at most 65535 (0 included).
bool ParsePortNumber(const std::string& text, std::uint32_t* port);

// A device of a fleet at host:port, labelled with FormatDeviceAddress.
FleetDevice MakeFleetDevice(const std::string& host, std::uint16_t port);

// Reads a hosts list: one device address a line, in any form that
// ParseDeviceAddress takes (a port there overrides |defaultPort|); "#"
// starts a comment, blanks around the address and blank lines are ignored.
// False with "line N: bad device 'TEXT': why" in |error| for a malformed line.
bool ParseHostsText(const std::string& text, std::uint16_t defaultPort, std::vector<FleetDevice>* out,
                    std::string* error);

}  // namespace mervix
