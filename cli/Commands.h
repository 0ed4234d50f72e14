// The commands of mervix-cli. Each command lives in its own file and
// registers itself with a static CommandRegistration, so adding a command
// touches no other file.
#pragma once

#include <string>
#include <vector>

namespace mervix::cli {

// Exit codes shared by every command.
constexpr int kExitSuccess = 0;  // the command did what was asked
constexpr int kExitFailure = 1;  // refused, failed or cancelled; the reason is on standard error
constexpr int kExitUsage = 2;    // the command line itself was wrong

// Runs a command with the arguments after its name; returns the exit code.
using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Command {
  const char* name;
  const char* usage;    // one line: "send --host HOST [--port PORT] [--yes] FILE"
  const char* summary;  // what it does, one line
  CommandFunction run;
};

class CommandRegistration {
 public:
  explicit CommandRegistration(const Command& command);
};

const std::vector<Command>& RegisteredCommands();

}  // namespace mervix::cli
