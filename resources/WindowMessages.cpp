#include "resources/MessageEntry.h"
#include "resources/WindowMessages.h"

namespace mervix {
namespace {

// Identifiers 301 on, in order.
constexpr MessageEntry kWindowMessages[] = {
    {301, "IDS_WINDOW_STOP", "Stop", "中止"},
    {302, "IDS_WINDOW_ASK_STOP",
     "The device's flash will be left partly written and stays in download mode. Stop the download?",
     "ﾃﾞﾊﾞｲｽのﾌﾗｯｼｭは一部だけ書き込まれ、ﾀﾞｳﾝﾛｰﾄﾞﾓｰﾄﾞのままになります。ﾀﾞｳﾝﾛｰﾄﾞを中止しますか?"},
    {303, "IDS_WINDOW_FILTER_SREC", "S-record files (*.mot)", "Sﾚｺｰﾄﾞﾌｧｲﾙ (*.mot)"},
    {304, "IDS_WINDOW_FILTER_IMAGES", "Images (*.img *.bin)", "ｲﾒｰｼﾞ (*.img *.bin)"},
    {305, "IDS_WINDOW_FILTER_ALL", "All files (*)", "すべてのﾌｧｲﾙ (*)"},
    {306, "IDS_WINDOW_STOPPING", "Stopping once the device has acknowledged the block in flight",
     "送信中のﾌﾞﾛｯｸの応答を待って中止します"},
};

static_assert(sizeof(kWindowMessages) / sizeof(kWindowMessages[0]) ==
                  kLastWindowMessageId - kFirstWindowMessageId + 1,
              "the window's table holds every identifier from 301 on");

}  // namespace

MessageRange WindowMessageEntries() { return {kWindowMessages, sizeof(kWindowMessages) / sizeof(kWindowMessages[0])}; }

}  // namespace mervix
