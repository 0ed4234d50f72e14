#include "operations/DeviceAddress.h"

#include <sstream>


namespace mervix {
namespace {

bool Refuse(std::string* error, std::string reason) {
  *error = std::move(reason);
  return false;
}

// The port after a host's colon: 1 to 65535.
bool ReadPort(const std::string& text, DeviceAddress* out, std::string* error) {
  std::uint32_t port = 0;
  if (!ParsePortNumber(text, &port) || port == 0) return Refuse(error, "bad port '" + text + "' (1 to 65535)");
  out->port = static_cast<std::uint16_t>(port);
  return true;
}

// |s| without the blanks around it.
std::string Trim(const std::string& s) {
  const std::size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const std::size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

}  // namespace

bool ParseDeviceAddress(const std::string& text, DeviceAddress* out, std::string* error) {
  DeviceAddress address;
  if (text.find_first_of(" \t\r\n") != std::string::npos) return Refuse(error, "a blank inside the address");
  if (!text.empty() && text.front() == '[') {
    // "[IPv6]" or "[IPv6]:port": the brackets keep the address's colons
    // apart from the port's.
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return Refuse(error, "no ']' closes the '['");
    address.host = text.substr(1, close - 1);
    if (address.host.find('[') != std::string::npos) return Refuse(error, "a '[' inside the brackets");
    const std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return Refuse(error, "after ']' only ':PORT' may follow, not '" + rest + "'");
      if (!ReadPort(rest.substr(1), &address, error)) return false;
    }
  } else {
    if (text.find_first_of("[]") != std::string::npos) {
      return Refuse(error, "a bracket that does not enclose the host ([IPv6] or [IPv6]:PORT)");
    }
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
      // One colon: host and port.
      address.host = text.substr(0, colon);
      if (!ReadPort(text.substr(colon + 1), &address, error)) return false;
    } else {
      // No colon: a name or IPv4 address; more than one: a bare IPv6
      // address, whose last group cannot be told from a port.
      address.host = text;
    }
  }
  if (address.host.empty()) return Refuse(error, "the host is empty");
  *out = std::move(address);
  return true;
}

std::string FormatDeviceAddress(const std::string& host, std::uint16_t port) {
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return shown + ":" + std::to_string(port);
}

bool ParsePortNumber(const std::string& text, std::uint32_t* port) {
  if (text.empty() || text.size() > 5) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > 65535) return false;
  *port = value;
  return true;
}

FleetDevice MakeFleetDevice(const std::string& host, std::uint16_t port) {
  FleetDevice device;
  device.host = host;
  device.port = port;
  device.label = FormatDeviceAddress(host, port);
  return device;
}

bool ParseHostsText(const std::string& text, std::uint16_t defaultPort, std::vector<FleetDevice>* out,
                    std::string* error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    DeviceAddress address;
    std::string why;
    if (!ParseDeviceAddress(line, &address, &why)) {
      *error = "line " + std::to_string(number) + ": bad device '" + line + "': " + why;
      return false;
    }
    const FleetDevice d = MakeFleetDevice(address.host, address.PortOr(defaultPort));
    out->push_back(d);
  }
  return true;
}

}  // namespace mervix
