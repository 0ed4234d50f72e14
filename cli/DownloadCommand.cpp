// mervix-cli download: the firmware download operation of the Download
// button, run from the terminal against a device.
#include "cli/Commands.h"
#include "cli/support/CommandRun.h"

#include <cstdio>

namespace mervix::cli {
namespace {

constexpr char kUsage[] =
    "download [--host H...] [--hosts FILE] [--port P] [--base-address HEX] [--compress] [--yes] "
    "[--jobs N] [--record FILE] FILE";

constexpr char kHelp[] =
    "Runs the firmware download of the Download button: FILE is sent as it is, or,\n"
    "when its extension is \"mot\", converted from S-records into the image beside it\n"
    "(lower case, \".img\") from the base address, and with --compress coded into\n"
    "\"Inter.img\" first. The version is shown, the device switched into download\n"
    "mode, and the image sent. The log goes to standard output, messages and\n"
    "questions to standard error.\n\n"
    "  --host H            the device, in a HOST form below (an empty host gives\n"
    "                      \"Host name error\")\n"
    "  --port P            its port, 0 to 65535 (default 2222, 55550 in Korvane mode)\n"
    "  --base-address HEX  the Base Address of an S-record file; asked on the\n"
    "                      terminal when missing (Return keeps the stored text)\n"
    "  --compress          tick \"Compress\"\n"
    "  --yes               answer OK to \"Permanent write! Continue?\"\n"
    "  --korvane           run with the setting \"Korvane\" set (no compression)\n"
    "  --settings FILE     keep the settings in FILE (\"[Previous Settings]\" with\n"
    "                      Key=value lines); without it they live in memory for\n"
    "                      this run only: the window's settings are never touched\n"
    "  --work-dir DIR      write \"Inter.img\" into DIR instead of the working folder\n"
    "  --switch-pause SECONDS\n"
    "                      the pause between the device's mode switch and the\n"
    "                      reconnect (default 3); for test benches and slow devices\n";

// The coder's diagnostic lines go to standard error: standard output is the log.
class StandardErrorDiagnostics : public DiagnosticSink {
 public:
  void WriteOutput(const char* text) override { std::fputs(text, stderr); }
  void WriteError(const char* text) override { std::fputs(text, stderr); }
};

int Run(const std::vector<std::string>& args) {
  StandardErrorDiagnostics diagnostics;
  return RunOperationCommand(OperationCommand::Download, CommandText{"download", kUsage, kHelp}, args, &diagnostics);
}

CommandRegistration reg({"download", kUsage, "the firmware download of the Download button", &Run});

}  // namespace
}  // namespace mervix::cli
