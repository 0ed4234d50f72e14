// Command-line options of mervix-devsim and the fault injections they select.
//
// A fault names a step of the device's exchange and what the simulated device
// does wrong at that step, written STEP[.N]=KIND[:ARGS]:
//
//   steps  status    the reply to a status query (51 21)
//          switch    the reply to the switch request (51 20 "SWITCH")
//          sector    the reply to a sector request (51 23)
//          size      the reply to a size request (51 22)
//          block.K   block K of the image (K counted from 0), and its reply
//   .N     for status/switch/sector/size: the N-th time that step occurs in the
//          simulator's life (with --units: in the unit's), counted from 1
//          (default 1), so status.2 is the query after the first reconnect.
//          Every fault fires once.
//
//   kinds  nak:FLAGS     a NAK frame 52 06 with the 16-bit flag word FLAGS
//          frame:HEX16   these 8 bytes (16 hex digits) instead of the reply
//          bad-status    52 05 00 03 00 00 00 00 (status 3 in the wrong byte)
//          bad-status-tail  the right status with byte 7 set to 01
//          bad-code      52 07 00 00 00 00 00 00
//          ack           an Ack (52 03) instead of the reply
//          status3       a status 3 reply (52 05 03 00 ...) instead of the reply
//          short[:N]     only the first N bytes of the reply (default 4), then close
//          split[:MS[,AT]]  the reply in two writes: AT bytes (default 3), a
//                        pause of MS ms (default 200), the rest
//          extra[:N]     the reply followed by N more bytes (default 4) in one write
//          delay:MS      wait MS ms before the reply
//          close         close the connection without a reply
//          silent        never reply; keep the connection open and read on
//          vanish[:N]    block steps: close after N bytes of the block (default
//                        half of it); other steps: close without a reply
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mervix::devsim {

enum class FaultStep { StatusQuery, Switch, Sector, Size, Block };

enum class FaultKind {
  Nak,
  Frame,
  BadStatus,
  BadStatusTail,
  BadCode,
  Ack,
  Status3,
  Short,
  Split,
  Extra,
  Delay,
  Close,
  Silent,
  Vanish,
};

struct Fault {
  FaultStep step = FaultStep::StatusQuery;
  // Block number (from 0) for FaultStep::Block, else the occurrence (from 1).
  std::uint32_t index = 1;
  FaultKind kind = FaultKind::Close;
  // Kind parameters; which of them count depends on the kind (see above).
  std::uint32_t value = 0;
  std::uint32_t value2 = 0;
  bool hasValue = false;
  std::array<std::uint8_t, 8> frame{};
  // The text as given, for the record.
  std::string text;
  bool fired = false;
};

// A MAC address, as the units of --units report and --unit-link sets it.
using MacAddress = std::array<std::uint8_t, 6>;

// What a device file (--device-file) sets for one device of the fleet.
struct DeviceSettings {
  std::string name;                 // for messages; may be empty
  std::optional<int> restartMs;     // overrides --restart-after
};

struct SimulatorOptions {
  // The IP address listened on, IPv4 or IPv6 ("::1" for the IPv6 loopback).
  std::string listenAddress = "127.0.0.1";
  int port = 2222;             // 0: an ephemeral port
  std::string recordPath;      // key=value record, rewritten after every connection
  std::string imagePath;       // the received image of the latest download
  std::string decodedPath;     // the lh5-decoded image of a compressed download
  unsigned switches = 1;       // switch requests needed before status 2; 0 = start in download mode
  bool swapStatusBytes = false;  // status 1/2 as 52 05 00 0S instead of 52 05 0S 00
  unsigned maxConnections = 0;   // exit after this many connections have ended (0: no limit)
  unsigned maxDownloads = 0;     // exit after this many completed downloads (0: no limit)
  int replyDelayMs = 0;          // wait before every reply (a slow device)
  std::uint32_t maxImageSize = 16u * 1024u * 1024u;  // larger announced sizes get NAK 0x0020
  bool verbose = false;          // one line per event on standard error
  bool stopOnEof = false;        // the end of standard input stops it too
  std::vector<Fault> faults;    // applied to every device
  // A fleet: this many independent devices in one process, on consecutive
  // ports from |port| (0: each on an ephemeral port). Each has its own mode,
  // counters and outputs; the paths above get ".K" appended (K from 0).
  unsigned devices = 1;
  // Faults of one device of the fleet: (device index from 0, fault).
  std::vector<std::pair<unsigned, Fault>> deviceFaults;
  // After a complete download the device restarts: for this many
  // milliseconds it closes every new connection unread, then answers again
  // in normal mode (status 1). 0: no restart, the device answers at once.
  int restartMs = 0;
  // The device's name in its messages (from the device file); may be empty.
  std::string name;
  // The fleet as a device file describes it (--device-file): its path, and
  // one entry per device, in device order; empty without a file. The file's
  // faults are in |deviceFaults|.
  std::string deviceFile;
  std::vector<DeviceSettings> deviceSettings;
  // Units (--units): each device plays this many units one after the other
  // at its address, as boards plugged in and out of a station's socket.
  // 0: one device for the whole life, without any of the unit behaviour.
  unsigned units = 0;
  // How long after its download ended a unit leaves (after the restart for
  // a complete download), and how long no unit is there before the next
  // one arrives, in milliseconds.
  int leaveAfterMs = 3000;
  int absentMs = 2000;
  // Faults of one unit: (unit number from 1, fault), for every device.
  std::vector<std::pair<unsigned, Fault>> unitFaults;
  // The units' MAC addresses, in unit order. As parsed: those of
  // --unit-macs, |units| per device in device order, or empty for generated
  // ones; DeviceOptions leaves each device exactly its own |units|.
  std::vector<MacAddress> unitMacs;
  // The network interface that is set down while no unit is there and gets
  // each unit's MAC address (--unit-link, Linux only); empty: none.
  std::string unitLink;
};

// The options of device |index| of the fleet that |fleet| describes: its
// port, its suffixed output paths, the common faults and its own.
SimulatorOptions DeviceOptions(const SimulatorOptions& fleet, unsigned index);

enum class ParseOutcome { Ok, Help, Error };

// Parses the arguments after the program name. On Error |error| holds a
// one-line reason; on Help the caller prints UsageText().
ParseOutcome ParseSimulatorOptions(const std::vector<std::string>& args, SimulatorOptions* out,
                                   std::string* error);

// Parses one STEP[.N]=KIND[:ARGS] text; false with a reason when malformed.
bool ParseFaultText(const std::string& text, Fault* out, std::string* error);

// Parses a duration in seconds, "30" or "0.25" (up to 3 decimals, at most
// 86400), into milliseconds; false when malformed.
bool ParseSeconds(const std::string& text, int* milliseconds);

// Parses "02:00:00:00:00:01" (two hex digits per byte, ':' between); false
// when malformed, or a multicast or all-zero address (no board has one).
bool ParseMacAddress(const std::string& text, MacAddress* out);
std::string FormatMacAddress(const MacAddress& mac);

// The --help text.
const char* UsageText();

}  // namespace mervix::devsim
