// The entries of the message table, as its parts define them. The table is
// split by owner: the texts of the protocol and the operations
// (MessageTable.cpp, 101-134 and 201 on), of the window (WindowMessages.cpp,
// 301 on) and of the command line (CommandLineMessages.cpp, 401 on). Each
// part lists its identifiers in order, without gaps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mervix {

struct MessageEntry {
  std::uint16_t id;
  const char* name;
  const char* english;
  const char* japanese;
};

struct MessageRange {
  const MessageEntry* entries;
  std::size_t count;
};

MessageRange WindowMessageEntries();
MessageRange CommandLineMessageEntries();

}  // namespace mervix
