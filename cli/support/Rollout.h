// What the command line gathers for a roll-out before anything is sent: the
// devices (every --host, the hosts file's, the inventory's), the images
// they get, prepared once each and checked against their pinned SHA-256,
// and the ledger of an earlier roll-out (--resume, --only-failed).
#pragma once

#include "cli/support/CommandLine.h"
#include "cli/support/CommandRun.h"
#include "operations/FleetEngine.h"
#include "operations/PreparedImage.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mervix::cli {

struct RolloutDevice {
  FleetDevice device;          // its label is the name when there is one
  std::string address;         // host:port: the device in records and ledgers
  std::string imageFile;       // the file it gets; empty: the command's FILE
  std::string addressText;     // its base or module address as typed; empty: the command's
  std::string expectedSha256;  // what it must get; empty: --expect-sha256, or not pinned
  std::vector<std::pair<std::string, std::string>> fields;  // the inventory's other columns
};

// The devices of a roll-out, in order: every --host (at the port its text
// names, else |defaultPort|), the hosts file's, then the inventory's. -1
// when there is at least one and none is given twice; else the exit code,
// with the reason on standard error.
int ReadRolloutDevices(const char* name, const RunOptions& options, std::uint16_t defaultPort,
                       std::vector<RolloutDevice>* devices, const CommandStreams& streams);

// Prepares the image of |file| (the device's own address text, or empty):
// true with |image| filled in; false with the exit code, the reason shown.
using ImagePreparer =
    std::function<bool(const std::string& file, const std::string& addressText, PreparedImage* image, int* exitCode)>;

// Prepares every distinct image of the devices once (file and address), in
// the order the devices first name them, sets each device's image index,
// and checks each image against the devices' pinned SHA-256 (the option's
// when a device pins none). -1 when all are ready; else the exit code (7
// for an image that is not the one expected, both hashes shown): nothing is
// sent to any device.
int PrepareRolloutImages(const char* name, const RunOptions& options, const std::string& commandFile,
                         const ImagePreparer& prepare, std::vector<RolloutDevice>* devices,
                         std::vector<PreparedImage>* images, const CommandStreams& streams);

// The last record of each device in a record file (a roll-out's ledger).
struct LedgerEntry {
  bool finished = false;  // the run finished and the bytes sent were the image
  std::string sha256;     // the image's
};
// Reads |path|: false with |error| when it cannot be read (a missing file
// is an empty ledger when |missingIsEmpty|). A line that is not a record
// (cut short by a crash) is skipped with a warning on |err|.
bool ReadLedger(const std::string& path, bool missingIsEmpty, std::map<std::string, LedgerEntry>* ledger,
                std::FILE* err, std::string* error);

// Keeps the devices a --resume or --only-failed roll-out runs, saying on
// |err| how many it leaves out: with --resume those whose last record
// finished with the image they get now, with --only-failed those whose
// last record finished or that have none. With |marked| every device is
// kept and marked true there when it would be left out. -1, or the exit
// code when the ledger cannot be read.
int SelectFromLedger(const char* name, const RunOptions& options, const std::vector<PreparedImage>& images,
                     std::vector<RolloutDevice>* devices, const CommandStreams& streams,
                     std::vector<bool>* marked = nullptr);

}  // namespace mervix::cli
