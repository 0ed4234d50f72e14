// Many devices at once from "send", "download" and "module": one image, prepared and confirmed once,
// sent to every device of a list, at most --jobs of them at the same time on
// one io_context (one AsioRunner and DownloadJob per device, no threads).
// Every log line is prefixed with its device; each run's end appends one
// JSON object to the --record file; a summary by cause closes the command.
#pragma once

#include "cli/support/CommandLine.h"
#include "cli/support/CommandRun.h"
#include "cli/support/DeviceAddress.h"
#include "cli/support/Rollout.h"
#include "operations/FleetEngine.h"
#include "operations/PreparedImage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mervix::cli {

// A device of a fleet: host, port and its label (host:port, an IPv6 host in
// brackets), as the fleet engine runs it.
using mervix::FleetDevice;
FleetDevice MakeFleetDevice(const std::string& host, std::uint16_t port);

// Reads a hosts list: one device address a line, in any form that
// ParseDeviceAddress takes (a port there overrides |defaultPort|); "#"
// starts a comment, blanks around the address and blank lines are ignored.
// False with "line N: bad device 'TEXT': why" in |error| for a malformed line.
bool ParseHostsText(const std::string& text, std::uint16_t defaultPort, std::vector<FleetDevice>* out,
                    std::string* error);

// Runs the prepared |images| on every device of a roll-out after one
// confirmation for all of them (or --yes). Returns the exit code.
int RunFleet(const char* name, const RunOptions& options, const std::vector<PreparedImage>& images,
             const std::vector<RolloutDevice>& devices, const CommandStreams& streams);

// A whole roll-out: its devices, their images prepared once each by
// |prepare| (and checked against their pinned SHA-256), those a ledger
// leaves out, then the run. Returns the exit code.
int RunRollout(const char* name, const RunOptions& options, std::uint16_t defaultPort, const ImagePreparer& prepare,
               const CommandStreams& streams);

// "send" to several devices (options.Fleet()). Returns the exit code.
int RunSendFleet(const SendOptions& options, const CommandStreams& streams);

}  // namespace mervix::cli
