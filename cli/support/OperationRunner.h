// What mervix-cli's "download" and "module" commands share: the options,
// their help and usage answers, the language, the settings, the controls
// with the window's port default, the operators, the device link, and the
// loop that serves the run to its end.
#pragma once

#include "operations/CommandLine.h"
#include "operations/DownloadOperations.h"

#include <functional>
#include <string>
#include <vector>

namespace mervix::cli {

struct OperationCommandText {
  const char* name;   // the command, as in "mervix-cli NAME: REASON"
  const char* usage;  // the usage line after "mervix-cli "
  const char* help;   // printed after the usage line and a blank line for --help
};

// Starts the run on the prepared operations (the button or the menu choices).
using StartOperation = std::function<PreparationResult(DownloadOperations& ops)>;

// Parses |args| for |command| and runs it: 0 for help or a finished
// download, 1 when the settings cannot be read or the run does not finish
// (the reason on stderr), 2 for a usage error. The log goes to stdout,
// boxes and questions to stderr, answers come from stdin; |diagnostics|
// (may be null) receives the coder's lines.
int RunOperationCommand(OperationCommand command, const OperationCommandText& text,
                        const std::vector<std::string>& args, DiagnosticSink* diagnostics,
                        const StartOperation& start);

}  // namespace mervix::cli
