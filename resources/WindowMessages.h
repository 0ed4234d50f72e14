// Identifiers of the window's own texts (301 on); their English and Japanese
// texts are in WindowMessages.cpp.
#pragma once

#include <cstdint>

namespace mervix {

enum WindowMessageId : std::uint16_t {
  IDS_WINDOW_STOP = 301,            // the Stop button
  IDS_WINDOW_ASK_STOP = 302,        // Stop pressed or the window closed during a run: Yes/No
  IDS_WINDOW_FILTER_SREC = 303,     // file chooser: S-record files
  IDS_WINDOW_FILTER_IMAGES = 304,   // file chooser: ready images
  IDS_WINDOW_FILTER_ALL = 305,      // file chooser: every file
  IDS_WINDOW_STOPPING = 306,        // status while the block in flight finishes after a stop
};

constexpr std::uint16_t kFirstWindowMessageId = 301;
constexpr std::uint16_t kLastWindowMessageId = 306;

}  // namespace mervix
