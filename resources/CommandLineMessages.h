// Identifiers of the command line's own texts (401 on); their English and
// Japanese texts are in CommandLineMessages.cpp.
#pragma once

#include <cstdint>

namespace mervix {

enum CommandLineMessageId : std::uint16_t {
  IDS_CLI_STOPPING = 401,  // the first Ctrl-C
};

constexpr std::uint16_t kFirstCommandLineMessageId = 401;
constexpr std::uint16_t kLastCommandLineMessageId = 401;

}  // namespace mervix
