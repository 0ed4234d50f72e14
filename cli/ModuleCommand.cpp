// mervix-cli module: the user module download of the popup menu, run from
// the terminal: "User Module" answers FILE, "Module Address" answers
// --address, then "User Module Download" runs.
#include "cli/Commands.h"
#include "cli/support/CommandRun.h"

namespace mervix::cli {
namespace {

constexpr char kUsage[] =
    "module --host H [--host H...] [--hosts FILE] [--port P] --address HEX [--yes] [--jobs N] [--record FILE] FILE";

constexpr char kHelp[] =
    "Runs the user module download of the popup menu: FILE becomes the user\n"
    "module, HEX the User Base Address, and the module is written into the\n"
    "device's special sector. An S-record module (first byte 'S') is converted\n"
    "into \"inter.img\" first and must start at the User Base Address. The log goes\n"
    "to standard output, messages and questions to standard error.\n\n"
    "  --host H            the device, in a HOST form below\n"
    "  --port P            its port, 0 to 65535 (default 2222)\n"
    "  --address HEX       the User Base Address, hexadecimal without a prefix\n"
    "  --yes               answer OK to \"Permanent write! Continue?\"\n"
    "  --settings FILE     keep the settings in FILE; without it they live in\n"
    "                      memory for this run only\n"
    "  --work-dir DIR      write \"inter.img\" into DIR instead of the working folder\n"
    "  --switch-pause SECONDS\n"
    "                      the pause between the device's mode switch and the\n"
    "                      reconnect (default 3); for test benches and slow devices\n";

int Run(const std::vector<std::string>& args) {
  return RunOperationCommand(OperationCommand::Module, CommandText{"module", kUsage, kHelp}, args, nullptr);
}

CommandRegistration reg({"module", kUsage, "the user module download of the popup menu", &Run});

}  // namespace
}  // namespace mervix::cli
