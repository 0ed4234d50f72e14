// The "send" command of mervix-cli: its options and one download run of an
// image through the protocol session over POSIX sockets.
#pragma once

#include "operations/OptionScanner.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mervix::cli {

constexpr std::uint16_t kDefaultPort = 2222;

struct SendOptions {
  std::string host;
  std::uint16_t port = kDefaultPort;
  bool assumeYes = false;
  // The longest silence of the device before the run is given up; 0: none.
  int timeoutMs = 0;
  std::string file;
};

using ParseResult = OptionsParse;

// Parses the arguments after "send":
//   --host HOST [--port PORT] [--yes] [--timeout SECONDS] FILE
// Options may also be written --name=value; "--" ends the options. PORT is
// 1..65535 in decimal, SECONDS a positive decimal number (fractions
// allowed). On Usage |error| says what is wrong.
ParseResult ParseSendArguments(const std::vector<std::string>& args, SendOptions* options, std::string* error);

// Runs one download: checks the file (opened, regular, below 4 GiB), then
// connects, queries and serves the device's responses until the run ends.
// Log lines go to |out|, boxes, prompts and reasons to |err|, answers come
// from |in|. Returns the exit code: 0 when the download finished, 1 when it
// was refused, failed, cancelled or timed out.
int RunSend(const SendOptions& options, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace mervix::cli
