// Many devices at once from "send", "download" and "module": one image, prepared and confirmed once,
// sent to every device of a list, at most --jobs of them at the same time on
// one io_context (one AsioRunner and DownloadJob per device, no threads).
// Every log line is prefixed with its device; each run's end appends one
// JSON object to the --record file; a summary by cause closes the command.
#pragma once

#include "cli/support/CommandLine.h"
#include "cli/support/CommandRun.h"
#include "operations/DeviceAddress.h"
#include "cli/support/Rollout.h"
#include "operations/FleetEngine.h"
#include "operations/PreparedImage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mervix::cli {

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
