// The commands of mervix-cli that download: "send" runs an image as it is;
// "download" and "module" prepare one from their options as the window's
// operations do from its fields and dialogs. All three run it through the
// fleet engine on AsioRunners until it ends and close
// with the same report (RunReport): exit 0 when the download finished, else
// the exit code of its cause and one line "mervix-cli NAME: WHY" on
// standard error.
#pragma once

#include "cli/support/AsioRunner.h"
#include "cli/support/CommandLine.h"
#include "compress/CoderInterfaces.h"

#include <cstdio>
#include <string>
#include <vector>

namespace mervix::cli {

// Where a command reads its answers and writes its log (out) and its boxes,
// prompts and reasons (err).
struct CommandStreams {
  std::FILE* in = stdin;
  std::FILE* out = stdout;
  std::FILE* err = stderr;
};

struct CommandText {
  const char* name;   // the command, as in "mervix-cli NAME: REASON"
  const char* usage;  // the usage line after "mervix-cli "
  const char* help;   // printed after the usage line and a blank line for --help
};

// The help text (exit 0) or the usage error (exit 2) a parse asked for;
// -1 when the parse succeeded and the command goes on.
int AnswerParse(OptionsParse parse, const CommandText& text, const std::string& error, const CommandStreams& streams);

// The runner's limits from the options: without --timeout connect 20 s,
// each reply 30 s, each block's Ack 120 s; --timeout S bounds each of them
// by S (0: replies and Acks without limit).
RunnerLimits LimitsOf(const RunOptions& options);

// Whether progress is drawn on |err|: --progress always, or auto on a
// terminal.
bool ShowsProgress(ProgressMode mode, std::FILE* err);

// "send": checks the file (opened, regular, 1 to 4294967295 bytes), then
// runs it to host:port as the firmware download would. Returns the exit code.
int RunSend(const SendOptions& options, const CommandStreams& streams = {});

// "download" and "module": parses |args|, then prepares and runs. 0 for help
// or a finished download; else the exit code of the cause (7 when the
// settings cannot be read; a preparation that ends without a run by its
// failure, its reason on err); 2 for a usage error. |diagnostics| (may be
// null) receives the coder's lines.
int RunOperationCommand(OperationCommand command, const CommandText& text, const std::vector<std::string>& args,
                        DiagnosticSink* diagnostics, const CommandStreams& streams = {});

}  // namespace mervix::cli
