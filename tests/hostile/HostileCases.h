// The misbehaving devices both front ends are run against: one row per
// simulator fault, with what the operator must be told. Shared by the
// command-line and the window suites so that both face the same devices.
#pragma once

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

namespace mervix::testing {

// Which operation a row drives.
enum class HostileRun { Firmware, Module };

struct HostileCase {
  HostileRun run;
  const char* fault;                 // the simulator's --fault
  std::vector<std::string> message;  // boxes expected in this order; empty: the run succeeds
  // Some ends race between two honest reports: a device that drops the
  // connection in the middle of a block is seen either when the next piece
  // cannot be written or when the reply cannot be read. |alternative|, when
  // set, is accepted in place of message[0].
  const char* alternative = nullptr;
};

inline void PrintTo(const HostileCase& c, std::ostream* os) {
  *os << (c.run == HostileRun::Firmware ? "firmware " : "module ") << c.fault;
}

// A test name from the row: "Firmware_block_0_nak_0x0004".
inline std::string HostileCaseName(const HostileCase& c) {
  std::string name = c.run == HostileRun::Firmware ? "Firmware_" : "Module_";
  for (const char* p = c.fault; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

// Every refusal flag, each fault of the reply frames, a device that closes,
// vanishes or answers oddly, for both operations. The firmware rows hit the
// status query, the size request and the blocks; the module rows the sector
// request the firmware run never sends.
inline std::vector<HostileCase> HostileCases() {
  using R = HostileRun;
  const char* kClosed = "128:IDS_ERROR_TOOMANY";
  return {
      // Each flag of the refusal word, the mixed words first bit deciding.
      {R::Firmware, "status=nak:0x8001", {"NAK(Command error)"}},
      {R::Firmware, "size=nak:0x0021", {"NAK(Download size error)"}},
      {R::Firmware, "size=nak:0x0010", {"NAK(Dial-in/Dial-out is used)", "Dial-in/dial-out error"}},
      {R::Firmware, "block.0=nak:0x0008", {"NAK(Telnet is used)"}},
      {R::Firmware, "block.1=nak:0x0004", {"NAK(Flash ROM erase error)"}},
      {R::Firmware, "status=nak:0x0002", {"NAK(Download in progress)"}},
      {R::Firmware, "block.2=nak:0x0001", {"NAK(Flash ROM write error)"}},
      {R::Firmware, "size=nak:0x0040", {"NAK(unknown code)"}},
      {R::Module, "sector=nak:0x8001", {"NAK(Command error)"}},
      {R::Module, "sector=nak:0x0021", {"NAK(Download size error)"}},
      {R::Module, "sector=nak:0x0010", {"NAK(Dial-in/Dial-out is used)", "Dial-in/dial-out error"}},
      {R::Module, "block.0=nak:0x0004", {"NAK(Flash ROM erase error)"}},
      {R::Module, "block.1=nak:0x0001", {"NAK(Flash ROM write error)"}},
      // Broken replies.
      {R::Firmware, "status=bad-status", {"126:IDS_ERROR_CHECK_CODE"}},
      {R::Firmware, "status=bad-status-tail", {"126:IDS_ERROR_CHECK_CODE"}},
      {R::Module, "sector=bad-status", {"126:IDS_ERROR_CHECK_CODE"}},
      {R::Firmware, "size=bad-code", {"127:IDS_ERROR_CMD_CODE"}},
      {R::Module, "sector=bad-code", {"127:IDS_ERROR_CMD_CODE"}},
      {R::Firmware, "block.0=bad-code", {"127:IDS_ERROR_CMD_CODE"}},
      {R::Firmware, "status=short:5", {kClosed}},
      {R::Module, "sector=short:3", {kClosed}},
      {R::Firmware, "block.1=short:7", {kClosed}},
      {R::Firmware, "status=extra:4", {kClosed}},
      {R::Module, "sector=extra:2", {kClosed}},
      {R::Firmware, "size=close", {kClosed}},
      {R::Module, "sector=close", {kClosed}},
      {R::Firmware, "block.1=close", {kClosed}},
      // An acknowledgement where the sector request wants status 3.
      {R::Module, "sector=ack", {"115:IDS_WARN_RETCODE"}},
      // The device gone in the middle of a block.
      {R::Firmware, "block.1=vanish:3000", {"Send error"}, kClosed},
      {R::Module, "block.0=vanish:100", {"Send error"}, kClosed},
      // Valid but unusual devices: the runs succeed.
      {R::Firmware, "status=status3", {}},
      {R::Module, "status=status3", {}},
      {R::Firmware, "size=split:150,1", {}},
      {R::Module, "sector=split:100,5", {}},
      {R::Firmware, "block.1=split:100,7", {}},
      {R::Firmware, "block.0=delay:300", {}},
  };
}

}  // namespace mervix::testing
