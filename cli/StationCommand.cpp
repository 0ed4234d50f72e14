// mervix-cli station: the production station. Every --host is a slot; the
// firmware of FILE, prepared once as the download command prepares it, is
// written to every new unit that answers at a slot.
#include "cli/Commands.h"
#include "cli/support/CommandRun.h"

#include <cstdio>

namespace mervix::cli {
namespace {

constexpr char kUsage[] =
    "station --host H... [--hosts FILE] [--inventory FILE] [--base-address HEX] [--compress] [--yes] "
    "[--gone SECONDS] [--units N] [--record FILE] [--json] FILE";

constexpr char kHelp[] =
    "The production station: each --host is a slot, the address where a unit is\n"
    "plugged in. FILE is prepared once as the download command prepares it (an\n"
    "S-record file converted from --base-address, --compress), then every slot\n"
    "asks its address for its status about once a second and writes each unit\n"
    "that answers. A unit is never written twice: after its write the slot waits\n"
    "until it has gone, told by another unit answering with another MAC address\n"
    "(a unit on this machine's own link, from the neighbour table), or by no\n"
    "answer for the gone time. A unit whose MAC address passed is not written\n"
    "again when it comes back. Standard output has one line a unit: its number,\n"
    "the time, the slot, PASS or FAIL, its MAC address, the seconds it took and,\n"
    "for a failed unit, why. Ctrl-C: no new unit starts and the units being\n"
    "written finish; again: they stop after their block in flight; a third time:\n"
    "at once. The exit code is 0 when every unit passed, else that of the most\n"
    "serious cause.\n\n"
    "  --host H            a slot (repeat it for each)\n"
    "  --port P            the slots' port unless a HOST names one (default 2222)\n"
    "  --base-address HEX  the Base Address of an S-record file\n"
    "  --compress          tick \"Compress\"\n"
    "  --yes               answer OK to the one confirmation\n"
    "  --gone SECONDS      how long a slot hears nothing from a unit it wrote before\n"
    "                      the unit counts as gone (default 20); longer than the\n"
    "                      unit's restart after a write, or a restarted unit would\n"
    "                      be written again\n"
    "  --units N           end once N units have been written (default: until\n"
    "                      Ctrl-C)\n"
    "  --record FILE       one JSON object a unit appended (with slot, unit, mac)\n"
    "  --settings FILE, --work-dir DIR, --korvane, --switch-pause SECONDS\n"
    "                      as for download\n";

class StandardErrorDiagnostics : public DiagnosticSink {
 public:
  void WriteOutput(const char* text) override { std::fputs(text, stderr); }
  void WriteError(const char* text) override { std::fputs(text, stderr); }
};

int Run(const std::vector<std::string>& args) {
  StandardErrorDiagnostics diagnostics;
  return RunOperationCommand(OperationCommand::Station, CommandText{"station", kUsage, kHelp}, args, &diagnostics);
}

CommandRegistration reg({"station", kUsage, "the production station: every new unit at each slot written once", &Run});

}  // namespace
}  // namespace mervix::cli
