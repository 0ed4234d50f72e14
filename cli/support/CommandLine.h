// The options of mervix-cli's "send", "download" and "module" commands, and
// the operator that answers the window's questions from those options (and
// the terminal) while a download is prepared.
#pragma once

#include "operations/DeviceAddress.h"
#include "operations/MemorySettingsStore.h"
#include "protocol/SessionMachine.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace mervix::cli {

constexpr std::uint16_t kDefaultPort = 2222;
constexpr std::uint16_t kKorvanePort = 55550;

enum class OptionsParse { Ok, Help, Usage };

// What every command that runs a download takes besides its own options.
// When the progress line is drawn on standard error.
enum class ProgressMode { Auto, Always, Never };

struct RunOptions {
  bool assumeYes = false;  // --yes: OK to "Permanent write! Continue?"
  // --timeout: the longest silence of the device while a request or block
  // is out, and the bound of each connect attempt; 0: replies and blocks
  // are waited for without limit. Absent (-1): connect 20 s, each reply
  // 30 s, each block's Ack 120 s.
  int timeoutMs = -1;
  int retries = 0;  // --retries: transport failures retried per run
  bool json = false;  // --json: standard output is one JSON event per line
  ProgressMode progress = ProgressMode::Auto;  // --progress
  // --switch-pause: the pause between the device's mode switch and the
  // reconnect (for test benches and slow devices).
  int switchPauseMs = SessionMachine::kModeSwitchPauseMs;
  std::string file;
  // Several devices (a fleet): every non-empty --host in order, and
  // --hosts FILE. Each --host is a device address (DeviceAddress.h); a port
  // in it overrides --port for that device.
  std::vector<DeviceAddress> hosts;
  std::string hostsFile;
  int jobs = 16;           // --jobs: devices run at the same time
  std::string recordFile;  // --record: one JSON object per device run appended
  // A roll-out: the devices of an inventory (Inventory.h), and its rails.
  std::string inventoryFile;     // --inventory
  std::size_t canary = 0;        // --canary N: the first N devices alone first
  int wavePauseMs = 0;           // --wave-pause: between two groups
  std::size_t maxFailures = 0;   // --max-failures N: 0 none
  double maxFailuresPercent = 0; // --max-failures P%: of the roll-out's devices; 0 none
  std::string expectSha256;      // --expect-sha256: lower case; empty: not pinned
  std::string resumeFile;        // --resume: skip what finished, append the records there
  std::string onlyFailedFile;    // --only-failed: only the devices that did not finish there
  bool plan = false;             // --plan: probe and tell, write nothing
  int awaitReturnMs = 0;         // --await-return: wait for the device to come back after the write
  // More than one device, a hosts file or an inventory: the fleet run. So
  // is one device with a rail of a roll-out (a record, a plan, a resume, a
  // pinned image, a budget, the wait for its return): the fleet run alone
  // has them, and one --host must not pass them over.
  bool Fleet() const { return hosts.size() > 1 || !hostsFile.empty() || !inventoryFile.empty() || Rails(); }
  bool Rails() const {
    return !recordFile.empty() || plan || !resumeFile.empty() || !onlyFailedFile.empty() || !expectSha256.empty() ||
           awaitReturnMs > 0 || canary > 0 || maxFailures > 0 || maxFailuresPercent > 0;
  }
};

struct SendOptions : RunOptions {
  DeviceAddress device;  // the last --host
  std::uint16_t port = kDefaultPort;  // --port: the device's unless its --host names one
};

// Station: the firmware download of Download, written to unit after unit
// at each --host (a slot).
enum class OperationCommand { Download, Module, Station };

struct OperationCommandOptions : RunOptions {
  // The last --host; its host empty: message 102 (download only; module
  // requires one). A port in it overrides --port.
  DeviceAddress device;
  std::optional<std::uint32_t> port;   // --port, 0..65535; absent: 2222, or 55550 in the Korvane mode
  std::optional<std::string> address;  // --base-address / --address, as typed
  bool compress = false;               // download only
  bool korvane = false;                // the "Korvane" setting for this run
  std::string settingsFile;            // empty: settings in memory only
  std::string workDirectory;           // empty: the working directory
  // The station: --gone, the silence after which a written unit has gone;
  // --units, the units after which the station ends (0: until stopped).
  int goneMs = 20000;
  std::uint64_t units = 0;
};

// Parses the arguments after "send":
//   --host HOST [--port PORT] [--yes] [--timeout SECONDS] [--switch-pause SECONDS]
//   [--retries N] [--json] [--progress auto|always|never] FILE
// HOST is a device address (host, host:port, [IPv6]:port, [IPv6], IPv6);
// PORT is 1..65535. On Usage |error| says what is wrong.
OptionsParse ParseSendArguments(const std::vector<std::string>& args, SendOptions* options, std::string* error);

// Parses the arguments after the command name:
//   download [--host H] [--port P] [--base-address HEX] [--compress] [--yes]
//            [--korvane] [--settings FILE] [--work-dir DIR] [--timeout S] [--switch-pause S] FILE
//   module --host H [--port P] --address HEX [--yes]
//            [--settings FILE] [--work-dir DIR] [--timeout S] [--switch-pause S] FILE
// H is a device address as for send, or empty for download (passed on, for
// message 102); P is 0..65535 (0 is passed on, for message 104), a port in
// H 1..65535. All take --retries N, --json and --progress MODE as send
// does, and for several devices --host repeated, [--hosts FILE] [--jobs N]
// [--record FILE] (--host may then be left out when --hosts is given).
//
// For all three: values follow as "--name value" or "--name=value" (an empty
// value included); the last of a repeated option counts; "--" ends the
// options; "-h"/"--help" asks for the help text; exactly one FILE.
OptionsParse ParseOperationArguments(OperationCommand command, const std::vector<std::string>& args,
                                     OperationCommandOptions* options, std::string* error);

// Seconds: digits with at most one decimal point (no sign, exponent or
// blank), rounded to milliseconds; more than 0 unless |zeroAllowed|. Beyond
// about 24 days it is taken as that.
bool ParseSeconds(const std::string& text, bool zeroAllowed, int* milliseconds);

// The Base Address dialog of the command line: asks on |err| with |preset|
// shown, reads the answer from |in| (an empty answer keeps the preset, the
// end of input cancels: nullopt).
std::optional<std::string> AskBaseAddressOnTerminal(const std::string& preset, std::FILE* in, std::FILE* err);

// Opens the settings of a command: the file named by the options, or an
// empty store in memory; "Korvane" preset for --korvane. False with a reason
// when the file cannot be read.
bool OpenCommandSettings(const OperationCommandOptions& options, MemorySettingsStore* store, std::string* error);

}  // namespace mervix::cli
