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
  IDS_CLI_REPORT_SKIPPED = 424,  // a record line that is no device run: file %1, line %2
  IDS_CLI_REPORT_SUMMARY = 425,  // report: %1 devices, %2 finished, %3 not finished
  IDS_CLI_REPORT_BY_CAUSE = 426,  // report: the heading of the counts by cause
  IDS_CLI_REPORT_CAUSE_LINE = 427,  // report: %1 devices ended with cause text %2 (key %3)
  IDS_CLI_REPORT_BY_GROUP = 428,  // report: the heading of the counts by group
  IDS_CLI_REPORT_GROUP_LINE = 429,  // report: group %1 with %2 devices, %3 finished, %4 not
  IDS_CLI_REPORT_NO_GROUP = 430,  // report: the group of a device that names none
  IDS_CLI_REPORT_DURATION = 431,  // report: run durations, median %1, slowest %2 by device %3
  IDS_CLI_REPORT_RETURN = 432,  // report: return after the write, median %1, slowest %2 by device %3
  IDS_CLI_REPORT_NOT_FINISHED = 433,  // report: the heading of the devices not finished
  IDS_CLI_REPORT_NO_DEVICE = 434,  // report: the record %1 holds no device run
  IDS_CLI_REPORT_UNREADABLE = 435,  // report: the record cannot be read, reason %1
  IDS_CLI_REPORT_UNWRITABLE = 436,  // report: an output cannot be written, reason %1
  IDS_CLI_REPORT_WRITTEN = 437,  // report: output file %1 written
  IDS_CLI_REPORT_SECONDS = 438,  // report: %1 seconds
  IDS_CLI_REPORT_TITLE = 439,  // report page: its title
  IDS_CLI_REPORT_SOURCE = 440,  // report page: record %1, %2 runs of %3 devices, starts from %4 to %5
  IDS_CLI_REPORT_DEVICES = 441,  // report page: the count of devices
  IDS_CLI_REPORT_FINISHED = 442,  // report page: the count finished, and the finished share of a bar
  IDS_CLI_REPORT_UNFINISHED = 443,  // report page: the count not finished, and the rest of a bar
  IDS_CLI_REPORT_MEDIAN = 444,  // report page: the median duration
  IDS_CLI_REPORT_SLOWEST = 445,  // report page: the slowest duration
  IDS_CLI_REPORT_CAUSE_CHART = 446,  // report page: the chart by cause
  IDS_CLI_REPORT_GROUP_CHART = 447,  // report page: the chart by group
  IDS_CLI_REPORT_TABLE = 448,  // report page: the heading of the device table
  IDS_CLI_REPORT_ONLY_UNFINISHED = 449,  // report page: the filter for devices not finished
  IDS_CLI_REPORT_COL_DEVICE = 450,  // report page: column
  IDS_CLI_REPORT_COL_NAME = 451,  // report page: column
  IDS_CLI_REPORT_COL_GROUP = 452,  // report page: column
  IDS_CLI_REPORT_COL_CAUSE = 453,  // report page: column
  IDS_CLI_REPORT_COL_EXIT = 454,  // report page: column
  IDS_CLI_REPORT_COL_START = 455,  // report page: column
  IDS_CLI_REPORT_COL_DURATION = 456,  // report page: column
  IDS_CLI_REPORT_COL_RETURN = 457,  // report page: column
  IDS_CLI_REPORT_COL_RETRIES = 458,  // report page: column
  IDS_CLI_REPORT_COL_FAILURE = 459,  // report page: column
  IDS_CLI_CAUSE_FINISHED = 460,  // a cause: finished
  IDS_CLI_CAUSE_UNKNOWN = 461,  // a cause: outcome unknown (exit 8)
  IDS_CLI_CAUSE_LINK = 462,  // a cause: protocol or link (exit 4)
  IDS_CLI_CAUSE_TIMEOUT = 463,  // a cause: no answer in time (exit 6)
  IDS_CLI_CAUSE_CONNECT = 464,  // a cause: no connection (exit 3)
  IDS_CLI_CAUSE_INPUT = 465,  // a cause: input file (exit 7)
  IDS_CLI_CAUSE_REFUSED = 466,  // a cause: refused by the device (exit 1)
  IDS_CLI_CAUSE_STOPPED = 467,  // a cause: stopped or cancelled (exit 5)
  IDS_CLI_CAUSE_USAGE = 468,  // a cause: usage error (exit 2)
  IDS_CLI_CAUSE_FAILURE = 469,  // a cause: any other failure
  IDS_CLI_CAUSE_BUDGET = 470,  // a cause: not started, the roll-out halted (budget or canary)
  IDS_CLI_CAUSE_NOT_RETURNED = 471,  // a cause: the device did not come back after the write
  IDS_CLI_NOT_RETURNED = 472,     // a device that did not come back in normal mode after the write
  IDS_CLI_PLAN_HEADER = 473,      // the plan table's header line
  IDS_CLI_PLAN_WRITE = 474,       // plan: a real run would write the device
  IDS_CLI_PLAN_DONE = 475,        // plan: the record says the device finished with this image
  IDS_CLI_PLAN_NOT = 476,         // plan: a real run would not reach or not write it
  IDS_CLI_PLAN_SUMMARY = 477,     // plan: %1 devices, %2 would be written, %3 finished already, %4 not
  IDS_CLI_STATION_CONFIRM = 478,  // the station's one confirmation: image %1, %2 slots
  IDS_CLI_STATION_STOPPING = 479, // the station's first Ctrl-C
  IDS_CLI_STATION_CUTTING = 480,  // the station's second Ctrl-C
  // One line a unit: %1 number, %2 time, %3 slot, %4 PASS/FAIL, %5 MAC
  // address, %6 seconds, %7 ": why" for a failed unit.
  IDS_CLI_STATION_UNIT = 481,
  IDS_CLI_PASS = 482,             // a unit that took the image
  IDS_CLI_FAIL = 483,             // a unit whose write failed
  IDS_CLI_STATION_SUMMARY = 484,  // %1 units, %2 passed, %3 failed
  IDS_CLI_STATION_SLOT = 485,     // a slot's counts: %1 slot, %2 passed, %3 failed
  IDS_CLI_SLOT_WAITING = 486,     // a slot's state: no unit answers
  IDS_CLI_SLOT_PRESENT = 487,     // manual mode: a unit answers, the slot is not armed
  IDS_CLI_SLOT_WRITING = 488,     // %1 the unit's number
  IDS_CLI_SLOT_PASSED = 489,      // %1 the unit's number
  IDS_CLI_SLOT_FAILED = 490,      // %1 the unit's number
  IDS_CLI_SLOT_AGAIN = 491,       // a unit that passed before came back
  IDS_CLI_SLOT_STOPPED = 492,
  IDS_CLI_STATION_ONE_IMAGE = 493,  // %1 the images the inventory names
};

constexpr std::uint16_t kFirstCommandLineMessageId = 401;
constexpr std::uint16_t kLastCommandLineMessageId = 493;

// The text of |id| in the active language with "%1".."%9" replaced by
// |arguments| in order (a missing argument leaves nothing).
std::string FormatCommandLineText(std::uint16_t id, const std::vector<std::string>& arguments);

}  // namespace mervix
