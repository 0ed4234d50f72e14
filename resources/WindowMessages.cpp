#include "resources/MessageEntry.h"
#include "resources/WindowMessages.h"

namespace mervix {
namespace {

// Identifiers 301 on, in order.
constexpr MessageEntry kWindowMessages[] = {
    {301, "IDS_WINDOW_STOP", "Stop", "中止"},
};

static_assert(sizeof(kWindowMessages) / sizeof(kWindowMessages[0]) ==
                  kLastWindowMessageId - kFirstWindowMessageId + 1,
              "the window's table holds every identifier from 301 on");

}  // namespace

MessageRange WindowMessageEntries() { return {kWindowMessages, sizeof(kWindowMessages) / sizeof(kWindowMessages[0])}; }

}  // namespace mervix
