// Identifiers of the command line's own texts (401 on); their English and
// Japanese texts are in CommandLineMessages.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mervix {

enum CommandLineMessageId : std::uint16_t {
  IDS_CLI_STOPPING = 401,     // the first Ctrl-C
  IDS_CLI_RETRY = 402,        // a log line: retry %1 of %2 after a pause of %3 s, cause %4
  IDS_CLI_IMAGE = 403,        // the image of a run: path %1, %2 bytes, SHA-256 %3
  IDS_CLI_SENT_PROOF = 404,   // a finished run: SHA-256 %1 of the bytes sent
  IDS_CLI_SENT_DIFFERS = 405, // a finished run whose bytes sent differ from the file now: %1 sent, %2 file
  IDS_CLI_STOPPING_NOW = 406, // the second Ctrl-C
  IDS_CLI_PROBE_NORMAL = 407, // probe: status 1
  IDS_CLI_PROBE_DOWNLOAD = 408,  // probe: status 2 or 3 (%1)
  IDS_CLI_PROBE_REFUSED = 409,   // probe: a NAK, flags %1
  IDS_CLI_FLEET_CONFIRM = 410,   // the one confirmation of a fleet: %1 devices, image %2
  IDS_CLI_FLEET_SUMMARY = 411,   // the end of a fleet: %1 devices, %2 finished, %3 refused, %4 failed, %5 stopped
  IDS_CLI_FLEET_CAUSE = 412,     // a summary line: %1 devices ended with %2 (exit code %3)
  IDS_CLI_FLEET_TOTAL = 413,     // the board's total: %1 devices, %2 finished, %3 not, %4 running, %5 waiting
  IDS_CLI_FLEET_MORE = 414,      // the board's last line when devices do not fit: %1 more
  IDS_CLI_FLEET_WAITING = 415,   // a device not started yet
  IDS_CLI_HALTED_BUDGET = 416,   // a roll-out halted: %1 devices failed
  IDS_CLI_HALTED_CANARY = 417,   // a roll-out halted: the canary did not finish
  IDS_CLI_NOT_STARTED_BUDGET = 418,  // a device's record: not started, the budget was reached
  IDS_CLI_NOT_STARTED_CANARY = 419,  // a device's record: not started, the canary failed
  IDS_CLI_PINNED_MISMATCH = 420,  // image %1 has SHA-256 %2, expected %3
  IDS_CLI_LEDGER_SKIPPED = 421,   // --resume: %1 devices finished already
  IDS_CLI_LEDGER_NOT_FAILED = 422,  // --only-failed: %1 devices did not fail in %2
  IDS_CLI_LEDGER_CUT = 423,       // a record file %1, line %2 is no record
};

constexpr std::uint16_t kFirstCommandLineMessageId = 401;
constexpr std::uint16_t kLastCommandLineMessageId = 423;

// The text of |id| in the active language with "%1".."%9" replaced by
// |arguments| in order (a missing argument leaves nothing).
std::string FormatCommandLineText(std::uint16_t id, const std::vector<std::string>& arguments);

}  // namespace mervix
