#include "tools/devsim/SimulatorOptions.h"

#include "tools/devsim/DeviceFile.h"

#include <asio/ip/address.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace mervix::devsim {
namespace {

// Parses an unsigned decimal or 0x-prefixed hexadecimal number that fits in
// |limit|. The whole text must be the number.
bool ParseNumber(const std::string& text, std::uint64_t limit, std::uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > limit) return false;
  *out = v;
  return true;
}

bool ParseHexFrame(const std::string& text, std::array<std::uint8_t, 8>* out) {
  if (text.size() != 16) return false;
  for (std::size_t i = 0; i < 8; ++i) {
    std::uint8_t byte = 0;
    for (std::size_t j = 0; j < 2; ++j) {
      const char c = text[2 * i + j];
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return false;
      byte = static_cast<std::uint8_t>(byte * 16 + d);
    }
    (*out)[i] = byte;
  }
  return true;
}

struct KindName {
  const char* name;
  FaultKind kind;
};

constexpr KindName kKinds[] = {
    {"nak", FaultKind::Nak},         {"frame", FaultKind::Frame},
    {"bad-status", FaultKind::BadStatus}, {"bad-status-tail", FaultKind::BadStatusTail},
    {"bad-code", FaultKind::BadCode}, {"ack", FaultKind::Ack},
    {"status3", FaultKind::Status3}, {"short", FaultKind::Short},
    {"split", FaultKind::Split},     {"extra", FaultKind::Extra},
    {"delay", FaultKind::Delay},     {"close", FaultKind::Close},
    {"silent", FaultKind::Silent},   {"vanish", FaultKind::Vanish},
};

}  // namespace

bool ParseSeconds(const std::string& text, int* milliseconds) {
  const std::size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
  if (whole.empty() || whole.size() > 5 || fraction.size() > 3 || (dot != std::string::npos && fraction.empty()))
    return false;
  long long ms = 0;
  for (const char c : whole) {
    if (c < '0' || c > '9') return false;
    ms = ms * 10 + (c - '0');
  }
  ms *= 1000;
  long long scale = 100;
  for (const char c : fraction) {
    if (c < '0' || c > '9') return false;
    ms += (c - '0') * scale;
    scale /= 10;
  }
  if (ms > 86400LL * 1000) return false;
  *milliseconds = static_cast<int>(ms);
  return true;
}

bool ParseMacAddress(const std::string& text, MacAddress* out) {
  if (text.size() != 17) return false;
  MacAddress mac{};
  for (std::size_t i = 0; i < 6; ++i) {
    if (i > 0 && text[3 * i - 1] != ':') return false;
    std::uint64_t byte = 0;
    const std::string pair = text.substr(3 * i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos || !ParseNumber("0x" + pair, 0xFF, &byte))
      return false;
    mac[i] = static_cast<std::uint8_t>(byte);
  }
  // The group bit makes it a multicast address, which an interface refuses.
  if ((mac[0] & 0x01) != 0 || mac == MacAddress{}) return false;
  *out = mac;
  return true;
}

std::string FormatMacAddress(const MacAddress& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

bool ParseFaultText(const std::string& text, Fault* out, std::string* error) {
  Fault f;
  f.text = text;
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos) {
    *error = "fault '" + text + "': expected STEP[.N]=KIND[:ARGS]";
    return false;
  }
  // Step and its occurrence.
  std::string step = text.substr(0, eq);
  std::string index;
  const std::size_t dot = step.find('.');
  if (dot != std::string::npos) {
    index = step.substr(dot + 1);
    step = step.substr(0, dot);
  }
  if (step == "status") f.step = FaultStep::StatusQuery;
  else if (step == "switch") f.step = FaultStep::Switch;
  else if (step == "sector") f.step = FaultStep::Sector;
  else if (step == "size") f.step = FaultStep::Size;
  else if (step == "block") f.step = FaultStep::Block;
  else {
    *error = "fault '" + text + "': unknown step '" + step + "' (status, switch, sector, size, block.K)";
    return false;
  }
  if (f.step == FaultStep::Block) {
    std::uint64_t k = 0;
    if (!ParseNumber(index, 0xFFFFFFFFu, &k)) {
      *error = "fault '" + text + "': block needs a block number, e.g. block.0";
      return false;
    }
    f.index = static_cast<std::uint32_t>(k);
  } else if (!index.empty()) {
    std::uint64_t n = 0;
    if (!ParseNumber(index, 0xFFFFFFFFu, &n) || n == 0) {
      *error = "fault '" + text + "': occurrence must be a number from 1";
      return false;
    }
    f.index = static_cast<std::uint32_t>(n);
  }

  // Kind and its arguments.
  std::string kind = text.substr(eq + 1);
  std::string args;
  bool hasArgs = false;
  const std::size_t colon = kind.find(':');
  if (colon != std::string::npos) {
    args = kind.substr(colon + 1);
    kind = kind.substr(0, colon);
    hasArgs = true;
  }
  bool known = false;
  for (const KindName& k : kKinds) {
    if (kind == k.name) {
      f.kind = k.kind;
      known = true;
    }
  }
  if (!known) {
    *error = "fault '" + text + "': unknown kind '" + kind + "'";
    return false;
  }

  std::string first = args;
  std::string second;
  const std::size_t comma = args.find(',');
  if (comma != std::string::npos) {
    first = args.substr(0, comma);
    second = args.substr(comma + 1);
  }
  std::uint64_t v = 0;
  switch (f.kind) {
    case FaultKind::Nak:
      if (!hasArgs || !ParseNumber(args, 0xFFFF, &v)) {
        *error = "fault '" + text + "': nak needs a 16-bit flag word, e.g. nak:0x8000";
        return false;
      }
      f.value = static_cast<std::uint32_t>(v);
      f.hasValue = true;
      break;
    case FaultKind::Frame:
      if (!hasArgs || !ParseHexFrame(args, &f.frame)) {
        *error = "fault '" + text + "': frame needs 16 hex digits, e.g. frame:5205000300000000";
        return false;
      }
      break;
    case FaultKind::Delay:
      if (!hasArgs || !ParseNumber(args, 600000, &v)) {
        *error = "fault '" + text + "': delay needs milliseconds, e.g. delay:500";
        return false;
      }
      f.value = static_cast<std::uint32_t>(v);
      f.hasValue = true;
      break;
    case FaultKind::Short:
    case FaultKind::Extra:
    case FaultKind::Vanish:
      if (hasArgs) {
        // A short reply is shorter than a frame; extra bytes stay a modest burst.
        const std::uint64_t limit = f.kind == FaultKind::Short ? 7 : f.kind == FaultKind::Extra ? 65536 : 0xFFFFFFFFu;
        if (!ParseNumber(args, limit, &v) || (f.kind != FaultKind::Vanish && v == 0)) {
          *error = "fault '" + text + "': bad byte count";
          return false;
        }
        f.value = static_cast<std::uint32_t>(v);
        f.hasValue = true;
      } else {
        f.value = f.kind == FaultKind::Vanish ? 0 : 4;
      }
      break;
    case FaultKind::Split:
      f.value = 200;
      f.value2 = 3;
      if (hasArgs) {
        std::uint64_t at = 3;
        if (!ParseNumber(first, 600000, &v) || (!second.empty() && (!ParseNumber(second, 7, &at) || at == 0))) {
          *error = "fault '" + text + "': split takes MS[,AT] with AT from 1 to 7";
          return false;
        }
        f.value = static_cast<std::uint32_t>(v);
        f.value2 = static_cast<std::uint32_t>(at);
      }
      break;
    default:
      if (hasArgs) {
        *error = "fault '" + text + "': kind '" + kind + "' takes no arguments";
        return false;
      }
      break;
  }
  *out = f;
  return true;
}

ParseOutcome ParseSimulatorOptions(const std::vector<std::string>& args, SimulatorOptions* out,
                                   std::string* error) {
  SimulatorOptions o;
  bool devicesGiven = false;
  std::string unitOption;  // the first unit option given, which needs --units
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") return ParseOutcome::Help;
    // Flags without a value.
    if (a == "--download-mode") {
      o.switches = 0;
      continue;
    }
    if (a == "--swap-status") {
      o.swapStatusBytes = true;
      continue;
    }
    if (a == "--verbose" || a == "-v") {
      o.verbose = true;
      continue;
    }
    if (a == "--stop-on-eof") {
      o.stopOnEof = true;
      continue;
    }
    // Options with a value, as "--name VALUE" or "--name=VALUE".
    std::string name = a;
    std::string value;
    const std::size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
    } else {
      if (a.rfind("--", 0) != 0) {
        *error = "unexpected argument '" + a + "'";
        return ParseOutcome::Error;
      }
      if (i + 1 >= args.size()) {
        *error = "option " + a + " needs a value";
        return ParseOutcome::Error;
      }
      value = args[++i];
    }
    std::uint64_t n = 0;
    auto number = [&](std::uint64_t limit) {
      if (ParseNumber(value, limit, &n)) return true;
      *error = "option " + name + ": bad number '" + value + "'";
      return false;
    };
    if (name == "--listen") {
      asio::error_code ec;
      asio::ip::make_address(value, ec);
      if (ec) {
        *error = "option --listen: '" + value + "' is not an IP address (e.g. 127.0.0.1 or ::1)";
        return ParseOutcome::Error;
      }
      o.listenAddress = value;
    } else if (name == "--port") {
      if (!number(65535)) return ParseOutcome::Error;
      o.port = static_cast<int>(n);
    } else if (name == "--record") {
      o.recordPath = value;
    } else if (name == "--image") {
      o.imagePath = value;
    } else if (name == "--decoded") {
      o.decodedPath = value;
    } else if (name == "--switches") {
      if (!number(1000)) return ParseOutcome::Error;
      o.switches = static_cast<unsigned>(n);
    } else if (name == "--connections") {
      if (!number(1000000)) return ParseOutcome::Error;
      o.maxConnections = static_cast<unsigned>(n);
    } else if (name == "--downloads") {
      if (!number(1000000)) return ParseOutcome::Error;
      o.maxDownloads = static_cast<unsigned>(n);
    } else if (name == "--reply-delay") {
      if (!number(600000)) return ParseOutcome::Error;
      o.replyDelayMs = static_cast<int>(n);
    } else if (name == "--max-size") {
      if (!number(0xFFFFFFFFu)) return ParseOutcome::Error;
      o.maxImageSize = static_cast<std::uint32_t>(n);
    } else if (name == "--devices") {
      if (!number(16384) || n == 0) {
        *error = "option --devices: bad number '" + value + "' (1 to 16384)";
        return ParseOutcome::Error;
      }
      o.devices = static_cast<unsigned>(n);
      devicesGiven = true;
    } else if (name == "--device-file") {
      o.deviceFile = value;  // read once every option is known
    } else if (name == "--restart-after") {
      if (!ParseSeconds(value, &o.restartMs)) {
        *error = "option --restart-after: bad duration '" + value + "' (seconds from 0 to 86400, e.g. 30 or 0.5)";
        return ParseOutcome::Error;
      }
    } else if (name == "--fault-device") {
      // K:STEP[.N]=KIND[:ARGS]
      const std::size_t colon = value.find(':');
      std::uint64_t k = 0;
      if (colon == std::string::npos || !ParseNumber(value.substr(0, colon), 1023, &k)) {
        *error = "option --fault-device: expected K:STEP[.N]=KIND[:ARGS], got '" + value + "'";
        return ParseOutcome::Error;
      }
      Fault f;
      if (!ParseFaultText(value.substr(colon + 1), &f, error)) return ParseOutcome::Error;
      o.deviceFaults.emplace_back(static_cast<unsigned>(k), f);
    } else if (name == "--units") {
      if (!number(65535) || n == 0) {
        *error = "option --units: bad number '" + value + "' (1 to 65535)";
        return ParseOutcome::Error;
      }
      o.units = static_cast<unsigned>(n);
    } else if (name == "--leave-after" || name == "--absent") {
      if (!ParseSeconds(value, name == "--absent" ? &o.absentMs : &o.leaveAfterMs)) {
        *error = "option " + name + ": bad duration '" + value + "' (seconds from 0 to 86400, e.g. 3 or 0.5)";
        return ParseOutcome::Error;
      }
      if (unitOption.empty()) unitOption = name;
    } else if (name == "--unit-fault") {
      // K:STEP[.N]=KIND[:ARGS], K from 1
      const std::size_t colon = value.find(':');
      std::uint64_t k = 0;
      if (colon == std::string::npos || !ParseNumber(value.substr(0, colon), 65535, &k) || k == 0) {
        *error = "option --unit-fault: expected K:STEP[.N]=KIND[:ARGS] with K from 1, got '" + value + "'";
        return ParseOutcome::Error;
      }
      Fault f;
      if (!ParseFaultText(value.substr(colon + 1), &f, error)) return ParseOutcome::Error;
      o.unitFaults.emplace_back(static_cast<unsigned>(k), f);
      if (unitOption.empty()) unitOption = name;
    } else if (name == "--unit-macs") {
      o.unitMacs.clear();
      std::size_t at = 0;
      for (;;) {
        const std::size_t comma = value.find(',', at);
        const std::string one = value.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        MacAddress mac;
        if (!ParseMacAddress(one, &mac)) {
          *error = "option --unit-macs: '" + one +
                   "' is not a unicast MAC address (six hex pairs separated by ':', e.g. 02:00:00:00:00:01)";
          return ParseOutcome::Error;
        }
        o.unitMacs.push_back(mac);
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
      if (unitOption.empty()) unitOption = name;
    } else if (name == "--unit-link") {
#ifdef __linux__
      // An interface name fits IFNAMSIZ (16) with its terminating zero.
      if (value.empty() || value.size() > 15 || value.find_first_of("/: \t") != std::string::npos) {
        *error = "option --unit-link: '" + value + "' is not a network interface name";
        return ParseOutcome::Error;
      }
      o.unitLink = value;
      if (unitOption.empty()) unitOption = name;
#else
      *error = "option --unit-link: setting a network interface is supported on Linux only";
      return ParseOutcome::Error;
#endif
    } else if (name == "--fault") {
      Fault f;
      if (!ParseFaultText(value, &f, error)) return ParseOutcome::Error;
      o.faults.push_back(f);
    } else {
      *error = "unknown option " + name;
      return ParseOutcome::Error;
    }
  }
  if (!o.deviceFile.empty()) {
    // The file's rows are the fleet: one device each, with its faults.
    std::vector<DeviceRow> rows;
    std::string reason;
    if (!LoadDeviceFile(o.deviceFile, &rows, &reason)) {
      *error = "option --device-file: " + reason;
      return ParseOutcome::Error;
    }
    const unsigned count = static_cast<unsigned>(rows.size());
    if (devicesGiven && o.devices != count) {
      *error = "option --devices: " + std::to_string(o.devices) + " devices, but the device file '" + o.deviceFile +
               "' has " + std::to_string(count);
      return ParseOutcome::Error;
    }
    o.devices = count;
    for (unsigned k = 0; k < count; ++k) {
      for (const Fault& f : rows[k].faults) o.deviceFaults.emplace_back(k, f);
      o.deviceSettings.push_back(rows[k].settings);
    }
  }
  for (const auto& df : o.deviceFaults) {
    if (df.first >= o.devices) {
      *error = "option --fault-device: device " + std::to_string(df.first) + " is not in the fleet of " +
               std::to_string(o.devices) + " (counted from 0)";
      return ParseOutcome::Error;
    }
  }
  if (o.units == 0 && !unitOption.empty()) {
    *error = "option " + unitOption + " needs --units";
    return ParseOutcome::Error;
  }
  for (const auto& uf : o.unitFaults) {
    if (uf.first > o.units) {
      *error = "option --unit-fault: unit " + std::to_string(uf.first) + " is not among the " +
               std::to_string(o.units) + " units (counted from 1)";
      return ParseOutcome::Error;
    }
  }
  if (!o.unitMacs.empty() && o.unitMacs.size() != std::size_t{o.units} * o.devices) {
    *error = "option --unit-macs: " + std::to_string(o.unitMacs.size()) + " addresses for " +
             std::to_string(o.units) + " units" +
             (o.devices > 1 ? " of each of " + std::to_string(o.devices) + " devices" : std::string()) +
             " (one per unit)";
    return ParseOutcome::Error;
  }
  if (!o.unitLink.empty() && o.devices > 1) {
    *error = "option --unit-link: one interface cannot follow the units of " + std::to_string(o.devices) +
             " devices (a single device only)";
    return ParseOutcome::Error;
  }
  if (o.port != 0 && o.port + static_cast<int>(o.devices) - 1 > 65535) {
    *error = "option --devices: the ports from " + std::to_string(o.port) + " run past 65535";
    return ParseOutcome::Error;
  }
  *out = o;
  return ParseOutcome::Ok;
}

SimulatorOptions DeviceOptions(const SimulatorOptions& fleet, unsigned index) {
  SimulatorOptions o = fleet;
  o.devices = 1;
  o.deviceFaults.clear();
  o.deviceSettings.clear();
  if (index < fleet.deviceSettings.size()) {
    const DeviceSettings& own = fleet.deviceSettings[index];
    o.name = own.name;
    if (own.restartMs) o.restartMs = *own.restartMs;
  }
  if (fleet.units > 0) {
    // Device |index| has the |units| addresses from index * units on: the
    // given ones, or locally administered 02:00:NN:NN:NN:NN numbered from 1
    // over the whole fleet, so that no two units of the process share one.
    o.unitMacs.clear();
    for (unsigned u = 0; u < fleet.units; ++u) {
      const std::size_t k = std::size_t{index} * fleet.units + u;
      if (k < fleet.unitMacs.size()) {
        o.unitMacs.push_back(fleet.unitMacs[k]);
        continue;
      }
      const std::uint32_t n = static_cast<std::uint32_t>(k + 1);
      o.unitMacs.push_back({0x02, 0x00, static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                            static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    }
  }
  if (fleet.devices <= 1) {
    for (const auto& df : fleet.deviceFaults) o.faults.push_back(df.second);
    return o;
  }
  if (fleet.port != 0) o.port = fleet.port + static_cast<int>(index);
  const std::string suffix = "." + std::to_string(index);
  for (std::string* path : {&o.recordPath, &o.imagePath, &o.decodedPath}) {
    if (!path->empty()) *path += suffix;
  }
  for (const auto& df : fleet.deviceFaults) {
    if (df.first == index) o.faults.push_back(df.second);
  }
  return o;
}

const char* UsageText() {
  return R"(usage: mervix-devsim [OPTIONS]

A simulated network device that serves the device side of the download
protocol on 127.0.0.1 (or the address of --listen), so that mervix can be
tried, and tested, without a device. It answers status 1 until it has been switched (it acknowledges the
switch request; the next connection is answered with status 2), status 3 to a
sector request, acknowledges the size request and then every block of 65,536
bytes (the last one shorter). After a completed download it returns to the
mode it started in, like a device that restarts with its new firmware.

Once listening it prints one line "listening on ADDRESS:PORT" on standard
output ("listening on 127.0.0.1:2222"; an IPv6 address in brackets,
"listening on [::1]:2222"). It serves one connection at a time and runs until SIGTERM or SIGINT,
or until a limit below is reached; then it writes its record and exits 0.
A fleet (--devices) serves every device side by side, each one connection at
a time; limits count per device, and it exits once every device has ended.
The devices share a thread per core; an image's bytes are hashed as they
arrive and kept in memory only for --image and --decoded, so a thousand
devices take a few megabytes.

Options:
  --listen ADDRESS     the IP address to listen on (default 127.0.0.1; ::1 is
                       the IPv6 loopback)
  --port PORT          port to listen on (default 2222; 0 picks a free one)
  --record FILE        write a key=value record of everything received; it is
                       rewritten after every connection and at exit
  --image FILE         write the image bytes of the latest download
  --decoded FILE       decode a received image that ends in "TOVA" (an lh5
                       compressed image, trailer removed) into FILE
  --download-mode      start in download mode: answer status 2 at once
  --switches N         switch requests needed before status 2 (default 1)
  --swap-status        send status 1 and 2 as 52 05 00 0S instead of 52 05 0S 00
  --reply-delay MS     wait MS milliseconds before every reply (a slow ack)
  --max-size BYTES     refuse larger announced sizes, and 0, with NAK 0x0020
                       (default 16777216)
  --connections N      exit after N connections have ended
  --downloads N        exit after N completed downloads
  --fault STEP[.N]=KIND[:ARGS]
                       inject a fault; may be repeated; each fires once
  --devices N          serve a fleet of N independent devices (1 to 16384) on
                       N consecutive ports from --port (with --port 0, each on
                       a free port); each has its own mode, faults and
                       outputs: the --record, --image and --decoded paths get
                       ".K" appended for device K (from 0). One "listening"
                       line per device, in device order
  --fault-device K:STEP[.N]=KIND[:ARGS]
                       a fault of device K of the fleet only
  --device-file FILE   the fleet as a CSV table, one device per row in device
                       order (device K is data row K, from 0), in place of
                       --devices (both given must agree); see "Device file"
  --restart-after SECONDS
                       after a complete download (the last block
                       acknowledged) the device restarts: it closes the
                       connection, then for SECONDS (e.g. 30 or 0.5) closes
                       every new connection unread, and then answers again
                       in normal mode (status 1, also after
                       --download-mode). Default 0: no restart
  --units N            each device plays N units (1 to 65535) one after the
                       other at its address, as boards a station writes one
                       after another: see "Units". Default: one device for
                       the whole life
  --leave-after SECONDS
                       a unit leaves SECONDS after its download ended
                       (default 3)
  --absent SECONDS     no unit is there for SECONDS before the next one
                       arrives (default 2)
  --unit-fault K:STEP[.N]=KIND[:ARGS]
                       a fault of unit K (from 1) only, of every device
  --unit-macs MAC,MAC,...
                       the units' MAC addresses (e.g. 02:00:00:00:00:01),
                       one per unit, for a fleet N per device in device
                       order. Default: 02:00:00:00:00:01, ...:02, ... numbered
                       over the whole fleet
  --unit-link IFNAME   (Linux only, a single device) while no unit is there,
                       interface IFNAME is down and takes the next unit's MAC
                       address; it is set up when that unit arrives. Needs
                       CAP_NET_ADMIN: exit code 3 when the interface cannot
                       be set
  -v, --verbose        one line per event on standard error (with --units
                       also "unit K arrived", with its MAC, and "unit K left")
  --stop-on-eof        also stop, as on SIGTERM, when standard input ends: for
                       a parent that cannot send signals (on Windows)
  -h, --help           this text

Fault steps:
  status, switch, sector, size   the reply to that request; .N picks its N-th
                       occurrence, from 1 (status.2 is the query after the
                       first reconnect)
  block.K              block K of the image, counted from 0, and its reply

Fault kinds:
  nak:FLAGS            NAK 52 06 with the 16-bit flag word (e.g. nak:0x0010)
  frame:HEX16          send these 8 bytes instead (e.g. frame:5207000000000000)
  bad-status           52 05 00 03 00 00 00 00
  bad-status-tail      the right status frame with a non-zero byte 7
  bad-code             52 07 00 00 00 00 00 00
  ack                  an Ack in place of the reply (e.g. sector=ack)
  status3              status 3 in place of the reply (e.g. status=status3)
  short[:N]            the first N bytes of the reply (default 4), then close
  split[:MS[,AT]]      the reply in two writes, AT bytes (default 3) then the
                       rest after MS ms (default 200): a valid slow device
  extra[:N]            N more bytes (default 4) right after the reply
  delay:MS             wait MS ms before this reply
  close                close the connection without a reply
  silent               never reply; keep the connection open and read on
  vanish[:N]           at a block: close after N bytes of it (default: half)

Device file (--device-file): a header row, then one row per device; fields
may be quoted ("" for a quote); UTF-8 with or without a byte order mark, LF or
CR LF line ends, blank lines skipped. Columns, each optional, by name (other
columns are ignored):
  name                 the device's name in messages
  fault                faults of this device, STEP[.N]=KIND[:ARGS] separated
                       by ';' (as --fault-device K:...)
  restart              seconds, as --restart-after for this device only
                       (empty: the --restart-after value; 0: no restart)
A bad row stops the simulator at start with its line number.
Example:
  name,fault,restart
  bench-1,,30
  "bench-2, slot 7",status=close;block.1=vanish,

Units (--units N): unit 1 is there at the start; every unit arrives fresh:
in the mode the device starts in, with its own occurrence counts (status.2
is its second status query) and its faults (--unit-fault), nothing
received. A download begins with an acknowledged switch request, or with a
size request without one, and ends with the connection that carries the
size request, or else with the first connection in download mode after the
switch: complete when its last block was acknowledged. After a complete
download the unit restarts as --restart-after says; --leave-after after the
restart (after the end of a download that was not complete) the unit
leaves: the listening socket is closed, so a connect is refused, as by a
board that is not plugged in, and a connection still open is cut. A new
download before that puts the leaving off until it ends; status probes
neither count as downloads nor put it off, and a unit that never gets a
download stays. --absent later the next unit arrives on the same port;
after unit N has left nobody comes back, and the simulator runs until
SIGTERM or SIGINT.

Record (key=value lines): connections, status_queries, switch_acks,
reconnect_ms (milliseconds from each switch ack to the next connection),
sector_requests, sector_address, size_requests, announced_size, blocks,
block_sizes, bytes_received, image_sha256 (SHA-256 of the bytes received
after the latest acknowledged size, lower-case hex, once its blocks have
ended), image_complete, ends_with_tova,
downloads_completed, bad_frames, lockstep_violations, partial_frame_bytes,
trailing_bytes, faults_fired, decoded_size, decode_error, last_end,
restarts (restarts begun), restart_refused (connections closed unread while
restarting); with --units also unit (the unit there now, 0 while none is),
units_arrived, units_left, and for each unit K that arrived unit.K.mac,
unit.K.connections (connections it served), unit.K.downloads_started,
unit.K.downloads_completed, unit.K.sha256 (SHA-256 of the image of its latest
complete download, lower-case hex; empty without one) and unit.K.faults_fired;
and one "frame=CONN HEX" and "reply=CONN HEX" line per frame, in order.

Exit codes: 0; 1 when it cannot listen or write its record or image; 2 for a
bad option; 3 when a unit cannot come or go (the interface of --unit-link
cannot be set, or the port cannot be listened on again).

Example:
  mervix-devsim --port 2222 --record rec.txt --image got.img &
  mervix-cli send --host 127.0.0.1 --port 2222 firmware.img
  # three boards, one after another; board 2 refuses its image
  mervix-devsim --units 3 --restart-after 5 --unit-fault 2:size=nak:0x0020 \
    --record units.txt
)";
}

}  // namespace mervix::devsim
