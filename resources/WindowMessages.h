// Identifiers of the window's own texts (301 on); their English and Japanese
// texts are in WindowMessages.cpp.
#pragma once

#include <cstdint>

namespace mervix {

enum WindowMessageId : std::uint16_t {
  IDS_WINDOW_STOP = 301,  // the Stop button
};

constexpr std::uint16_t kFirstWindowMessageId = 301;
constexpr std::uint16_t kLastWindowMessageId = 301;

}  // namespace mervix
