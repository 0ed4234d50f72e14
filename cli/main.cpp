// mervix-cli: the command-line front end of mervix.
#include "cli/Commands.h"
#include "cli/support/Console.h"
#include "MervixVersion.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace mervix::cli {
namespace {

std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: mervix-cli COMMAND [OPTIONS] ARGS   (mervix-cli COMMAND --help for its options)\n\ncommands:\n");
  std::vector<Command> sorted = Registry();
  std::sort(sorted.begin(), sorted.end(),
            [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  for (const Command& c : sorted) std::fprintf(out, "  %-11s %s\n", c.name, c.summary);
}

}  // namespace

CommandRegistration::CommandRegistration(const Command& command) { Registry().push_back(command); }

const std::vector<Command>& RegisteredCommands() { return Registry(); }

}  // namespace mervix::cli

int main(int argc, char** argv) {
  using namespace mervix;
  using namespace mervix::cli;
  PrepareConsole();
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return kExitSuccess;
  }
  if (name == "--version") {
    std::printf("mervix-cli %s\n", mervix::kVersion);
    return kExitSuccess;
  }
  for (const Command& c : RegisteredCommands()) {
    if (name != c.name) continue;
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (c.usageIsHelp && args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
      std::printf("usage: mervix-cli %s\n\n%s.\n", c.usage, c.summary);
      return kExitSuccess;
    }
    return c.run(args);
  }
  std::fprintf(stderr, "mervix-cli: unknown command '%s'\n\n", name.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}
