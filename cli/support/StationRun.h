// mervix-cli station: the production station on the terminal. Every --host
// (hosts file, inventory row) is a slot; one image, prepared once, is
// written to every new unit that answers at a slot (StationEngine), one
// line a unit on standard output (number, time, slot, PASS or FAIL, MAC
// address, seconds, why), the slots' board on a terminal, JSON events with
// --json, one record a unit with --record. Ctrl-C: no new unit starts and
// the units being written finish; again: they stop after their block in
// flight; a third time: at once.
#pragma once

#include "cli/support/CommandLine.h"
#include "cli/support/CommandRun.h"
#include "cli/support/Rollout.h"

#include <cstdint>

namespace mervix::cli {

// Reads the slots, prepares the image with |prepare|, asks once, and runs
// the station until it is stopped or --units units have ended. Returns the
// exit code: 0 when every unit passed, else that of the most serious cause.
int RunStation(const char* name, const OperationCommandOptions& options, std::uint16_t defaultPort,
               const ImagePreparer& prepare, const CommandStreams& streams);

}  // namespace mervix::cli
