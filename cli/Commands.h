// The commands of mervix-cli. Each command lives in its own file and
// registers itself with a static CommandRegistration, so adding a command
// touches no other file.
#pragma once

#include "operations/RunRecord.h"

#include <string>
#include <vector>

namespace mervix::cli {

// The exit codes shared by every command are those of operations/RunRecord.h
// (kExitSuccess ...); a command that is not a run (convert, compress) uses
// kExitFailure for every failure.

// What --host takes, in the --help of every command that has one.
inline constexpr char kHostFormsHelp[] =
    "HOST is a name or an IP address, with or without its port: host, host:port,\n"
    "[IPv6]:port, [IPv6], or an IPv6 address without brackets (all of it the\n"
    "address, no port). A port there (1 to 65535) overrides --port.\n";

// The options every run command takes, in its --help.
inline constexpr char kRunOptionsHelp[] =
    "  --timeout SECONDS   the longest silence of the device (default: each\n"
    "                      connect 20 s, each reply 30 s, each block's Ack\n"
    "                      120 s); with SECONDS every wait is bounded by it,\n"
    "                      0: replies and Acks are waited for without limit\n"
    "  --retries N         after a transport failure (a refused or reset\n"
    "                      connection, no reply in time, the device closing)\n"
    "                      start again from the connection and status query,\n"
    "                      5 s later, at most N times (default 0); a refusal by\n"
    "                      the device, a protocol error and a run whose last\n"
    "                      block went out are never retried\n"
    "  --json              standard output: one JSON event per line (see\n"
    "                      docs/json-events.md) instead of the log\n"
    "  --progress WHEN     the progress line on standard error: auto (only on a\n"
    "                      terminal, the default), always or never\n\n"
    "Several devices: --host repeated, or --hosts FILE with one HOST a line, in\n"
    "any of its forms (a port there overrides --port; \"#\" starts a comment).\n"
    "The image is prepared once and the write confirmed once for all of them. On\n"
    "a terminal one line per device is redrawn in place; otherwise each log line\n"
    "starts with its device. A summary by cause ends the run; the exit status is\n"
    "0 when every device finished, else that of the most serious cause.\n"
    "  --jobs N            at most N devices at the same time (default 16)\n"
    "  --record FILE       append one JSON object per device run, written when\n"
    "                      that run ends\n\n"
    "A roll-out: --inventory FILE, a CSV file with a header row (host, and\n"
    "optional name, port, image, base_address, module_address, sha256, group;\n"
    "other columns are copied into the record); FILE may then be left out when\n"
    "every row names its image. Groups run one after the other.\n"
    "  --plan              ask every device for its status once and print what a\n"
    "                      run would do; nothing else is sent or recorded\n"
    "  --canary N          the first N devices alone first; the rest only when all\n"
    "                      N finished\n"
    "  --wave-pause SECONDS  the pause between two groups\n"
    "  --max-failures N|P%   once N devices (or P% of them) failed, start no more\n"
    "                      (exit 9; the rest recorded as not started)\n"
    "  --expect-sha256 HEX send nothing unless the image has this SHA-256\n"
    "  --resume FILE       skip the devices FILE records as finished with this\n"
    "                      image, and append the new records to FILE\n"
    "  --only-failed FILE  run only the devices whose last record in FILE did not\n"
    "                      finish\n"
    "  --await-return SECONDS  after the write, wait for the device to answer in\n"
    "                      normal mode again (exit 10 when it does not)\n\n"
    "Ctrl-C stops after the block in flight (exit 5); a second Ctrl-C ends at once.\n"
    "A finished run prints the SHA-256 of the bytes sent: they equal the file and\n"
    "the device acknowledged every block (the device cannot be read back).\n\n";

// The exit status text every run command's --help ends with.
inline constexpr char kExitCodesHelp[] =
    "Exit status: 0 finished; 1 refused by the device (a NAK); 2 usage error;\n"
    "3 cannot connect; 4 protocol or link failure during the run; 5 stopped or\n"
    "cancelled; 6 no answer in time; 7 input file or conversion error; 8 outcome\n"
    "unknown (the last block was sent but its Ack never came); 9 a roll-out halted\n"
    "at its failure budget or failed canary (devices left not started); 10 a\n"
    "device took the image but did not come back in normal mode in time.\n";

// Runs a command with the arguments after its name; returns the exit code.
using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Command {
  const char* name;
  const char* usage;    // one line: "send --host HOST [--port PORT] [--yes] FILE"
  const char* summary;  // what it does, one line
  CommandFunction run;
  // The command has no options of its own to explain: "COMMAND --help"
  // prints its usage line and summary. Commands with options answer
  // --help themselves.
  bool usageIsHelp = false;
};

class CommandRegistration {
 public:
  explicit CommandRegistration(const Command& command);
};

const std::vector<Command>& RegisteredCommands();

}  // namespace mervix::cli
