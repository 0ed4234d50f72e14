#include "resources/CommandLineMessages.h"
#include "resources/MessageEntry.h"

namespace mervix {
namespace {

// Identifiers 401 on, in order.
constexpr MessageEntry kCommandLineMessages[] = {
    {401, "IDS_CLI_STOPPING", "Stopping after the block in flight (Ctrl-C again ends at once)",
     "送信中のﾌﾞﾛｯｸの後で中止します (もう一度 Ctrl-C を押すとすぐに終了)"},
};

static_assert(sizeof(kCommandLineMessages) / sizeof(kCommandLineMessages[0]) ==
                  kLastCommandLineMessageId - kFirstCommandLineMessageId + 1,
              "the command line's table holds every identifier from 401 on");

}  // namespace

MessageRange CommandLineMessageEntries() {
  return {kCommandLineMessages, sizeof(kCommandLineMessages) / sizeof(kCommandLineMessages[0])};
}

}  // namespace mervix
