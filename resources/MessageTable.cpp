#include "resources/MessageTable.h"

#include "resources/MessageEntry.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace mervix {
namespace {

// Identifiers 101 to 134 in order; entry i holds identifier 101 + i.
constexpr MessageEntry kMessages[] = {
    {101, "IDS_ABOUT_ITEM", "&About mervix...", "ﾊﾞｰｼﾞｮﾝ情報(&A)..."},
    {102, "IDS_ERROR_HOST", "Host name error", "ﾎｽﾄ名またはIPｱﾄﾞﾚｽを\n入力してください"},
    {103, "IDS_ERROR_SOCKET_INIT", "Windows sockets initialization failed.", "Windowsｿｹｯﾄ初期化ｴﾗｰ"},
    {104, "IDS_ERROR_PORT", "Bad port number", "ﾎﾟｰﾄ番号が不正です"},
    {105, "IDS_INFO_DOWNLOADING", "Downloading %1 ", "ﾌｧｲﾙ %1 をﾀﾞｳﾝﾛｰﾄﾞします。"},
    {106, "IDS_ERROR_FILE_SIZE", "Download file size error ", "ﾌｧｲﾙｻｲｽﾞが異常です"},
    {107, "IDS_ERROR_FILE_FORMAT", "Error in file format", "ﾌｧｲﾙﾌｫｰﾏｯﾄが不正です"},
    {108, "IDS_INFO_VERSION", "Firmware version", "ﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝは"},
    {109, "IDS_ERROR_CONNECT", "Connect error", "接続に失敗しました"},
    {110, "IDS_ASK_WRITE", "Permanent write! Continue?", "ﾌｧｰﾑｳｪｱを更新します。よろしいですか?"},
    {111, "IDS_INFO_KBYTES", "KBytes downloaded", "Kﾊﾞｲﾄ送信"},
    {112, "IDS_INFO_FINISHED", "Download finished", "ﾀﾞｳﾝﾛｰﾄﾞ完了"},
    {113, "IDS_INFO_FINISHED_LOG", "Download finished", "ﾀﾞｳﾝﾛｰﾄﾞ完了"},
    {114, "IDS_INFO_BLOCK_SENT", "64K bytes sent", "64Kﾊﾞｲﾄ送信"},
    {115, "IDS_WARN_RETCODE", "115:IDS_WARN_RETCODE", "115:IDS_WARN_RETCODE"},
    {116, "IDS_NAK_COMMAND", "NAK(Command error)", "NAK(Command error)"},
    {117, "IDS_NAK_SIZE", "NAK(Download size error)", "NAK(Download size error)"},
    {118, "IDS_NAK_DIAL", "NAK(Dial-in/Dial-out is used)", "NAK(Dial-in/Dial-out is used)"},
    {119, "IDS_NAK_TELNET", "NAK(Telnet is used)", "NAK(Telnet is used)"},
    {120, "IDS_INFO_VERSION_END", ".", "です。"},
    {121, "IDS_NAK_ERASE", "NAK(Flash ROM erase error)", "NAK(Flash ROM erase error)"},
    {122, "IDS_NAK_BUSY", "NAK(Download in progress)", "NAK(Download in progress)"},
    {123, "IDS_NAK_WRITE", "NAK(Flash ROM write error)", "NAK(Flash ROM write error)"},
    {124, "IDS_NAK_OTHER", "NAK(unknown code)", "NAK(unknown code)"},
    {125, "IDS_ERROR_DL_PROG4", "125:IDS_ERROR_DL_PROG4", "125:IDS_ERROR_DL_PROG4"},
    {126, "IDS_ERROR_CHECK_CODE", "126:IDS_ERROR_CHECK_CODE", "126:IDS_ERROR_CHECK_CODE"},
    {127, "IDS_ERROR_CMD_CODE", "127:IDS_ERROR_CMD_CODE", "127:IDS_ERROR_CMD_CODE"},
    {128, "IDS_ERROR_TOOMANY", "128:IDS_ERROR_TOOMANY", "128:IDS_ERROR_TOOMANY"},
    {129, "IDS_ERROR_SOCKET", "129:IDS_ERROR_SOCKET", "129:IDS_ERROR_SOCKET"},
    {130, "IDS_ASK_RETRY", "Retry?", "もう一度接続しますか?"},
    {131, "IDS_INFO_CONNECTING", "Connecting...", "に接続中..."},
    {132, "IDS_INFO_MODE_SWITCH", "Download mode...", "ﾀﾞｳﾝﾛｰﾄﾞﾓｰﾄﾞに切替中..."},
    {133, "IDS_INFO_START", "Download start", "ﾀﾞｳﾝﾛｰﾄﾞ開始"},
    {134, "IDS_INFO_CANCELLED", "Download cancelled", "ﾀﾞｳﾝﾛｰﾄﾞがｷｬﾝｾﾙされました"},
};

static_assert(sizeof(kMessages) / sizeof(kMessages[0]) == kLastMessageId - kFirstMessageId + 1,
              "the table holds every identifier from 101 to 134");

// Identifiers 201 on in order: mervix's own messages.
constexpr MessageEntry kOwnMessages[] = {
    {201, "IDS_ERROR_SEND", "Send error", "送信ｴﾗｰ"},
    {202, "IDS_ERROR_IMAGE_EMPTY", "The image file is empty: nothing to download",
     "ｲﾒｰｼﾞﾌｧｲﾙが空です。ﾀﾞｳﾝﾛｰﾄﾞするﾃﾞｰﾀがありません"},
    {203, "IDS_ERROR_IMAGE_TOO_LARGE", "The image file is too large to download",
     "ｲﾒｰｼﾞﾌｧｲﾙが大きすぎてﾀﾞｳﾝﾛｰﾄﾞできません"},
    {204, "IDS_ERROR_IMAGE_OPEN", "Cannot open the image file", "ｲﾒｰｼﾞﾌｧｲﾙを開けません"},
    {205, "IDS_ERROR_IMAGE_READ", "Cannot read the image file", "ｲﾒｰｼﾞﾌｧｲﾙを読み込めません"},
    {206, "IDS_ERROR_NO_RESPONSE", "No response from the device", "ﾃﾞﾊﾞｲｽから応答がありません"},
    {207, "IDS_INFO_STOPPED", "Download stopped: %1 of %2 bytes written", "ﾀﾞｳﾝﾛｰﾄﾞを中止しました: %2 ﾊﾞｲﾄ中 %1 ﾊﾞｲﾄ書込み済み"},
    {208, "IDS_PHASE_CONNECTING", "Connecting to %1", "%1 に接続中"},
    {209, "IDS_PHASE_QUERYING", "Asking the device for its status", "ﾃﾞﾊﾞｲｽの状態を問い合わせ中"},
    {210, "IDS_PHASE_MODE_SWITCH", "Switching the device to download mode", "ﾃﾞﾊﾞｲｽをﾀﾞｳﾝﾛｰﾄﾞﾓｰﾄﾞに切替中"},
    {211, "IDS_PHASE_RECONNECTING", "Reconnecting to %1", "%1 に再接続中"},
    {212, "IDS_PHASE_SECTOR", "Specifying the user module sector", "ﾕｰｻﾞｰﾓｼﾞｭｰﾙのｾｸﾀｰを指定中"},
    {213, "IDS_PHASE_CONFIRMING", "Waiting for the confirmation", "確認待ち"},
    {214, "IDS_PHASE_SIZE", "Announcing the image size", "ｲﾒｰｼﾞのｻｲｽﾞを通知中"},
    {215, "IDS_PHASE_SENDING", "Sending block %1 of %2", "ﾌﾞﾛｯｸ %1/%2 を送信中"},
    {216, "IDS_PHASE_FAILED", "Failed: %1", "失敗: %1"},
    {217, "IDS_PROGRESS_BYTES", "%1 of %2 KB", "%1/%2 KB"},
    {218, "IDS_PROGRESS_RATE", "%1 KB/s", "%1 KB/s"},
    {219, "IDS_PROGRESS_LEFT", "%1 left", "残り %1"},
    {220, "IDS_DETAIL_DEVICE", "Device: %1", "ﾃﾞﾊﾞｲｽ: %1"},
    {221, "IDS_DETAIL_FILE", "File: %1", "ﾌｧｲﾙ: %1"},
    {222, "IDS_DETAIL_VERSION", "Version: %1", "ﾊﾞｰｼﾞｮﾝ: %1"},
    {223, "IDS_DETAIL_SIZE", "Size: %1 bytes", "ｻｲｽﾞ: %1 ﾊﾞｲﾄ"},
};

static_assert(sizeof(kOwnMessages) / sizeof(kOwnMessages[0]) == kLastOwnMessageId - kFirstOwnMessageId + 1,
              "the table holds every identifier from 201 on");

// The entry of |id| in a part that lists its identifiers in order from its
// first, without gaps.
const MessageEntry* FindIn(MessageRange range, std::uint16_t id) {
  if (range.count == 0 || id < range.entries[0].id) return nullptr;
  const std::size_t index = id - range.entries[0].id;
  return index < range.count ? &range.entries[index] : nullptr;
}

const MessageEntry* FindMessage(std::uint16_t id) {
  if (id >= kFirstMessageId && id <= kLastMessageId) return &kMessages[id - kFirstMessageId];
  if (id >= kFirstOwnMessageId && id <= kLastOwnMessageId) return &kOwnMessages[id - kFirstOwnMessageId];
  if (const MessageEntry* e = FindIn(WindowMessageEntries(), id)) return e;
  return FindIn(CommandLineMessageEntries(), id);
}

std::atomic<Language> g_activeLanguage{Language::English};

// Length of the UTF-8 sequence that starts with |lead| (1 for ASCII and for
// stray continuation bytes, which are copied one at a time).
std::size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

Language ActiveLanguage() { return g_activeLanguage.load(); }

void SetActiveLanguage(Language language) { g_activeLanguage.store(language); }

Language LanguageForLocaleName(const std::string& localeName) {
  // "ja", "ja_JP", "ja_JP.UTF-8", "ja-JP", "ja_JP@x" all name Japanese.
  if (localeName.size() >= 2 && (localeName[0] == 'j' || localeName[0] == 'J') &&
      (localeName[1] == 'a' || localeName[1] == 'A') &&
      (localeName.size() == 2 || localeName[2] == '_' || localeName[2] == '-' || localeName[2] == '.' ||
       localeName[2] == '@')) {
    return Language::Japanese;
  }
  return Language::English;
}

Language LanguageFromEnvironment() {
  // LANGUAGE is a priority list for messages; it only counts when a locale is set at all.
  const char* lcAll = std::getenv("LC_ALL");
  const char* lcMessages = std::getenv("LC_MESSAGES");
  const char* lang = std::getenv("LANG");
  const char* chosen = nullptr;
  for (const char* candidate : {lcAll, lcMessages, lang}) {
    if (candidate && *candidate) {
      chosen = candidate;
      break;
    }
  }
  if (!chosen) return Language::English;
  const char* languageList = std::getenv("LANGUAGE");
  if (languageList && *languageList && std::string(chosen) != "C" && std::string(chosen) != "POSIX") {
    std::string first(languageList);
    first = first.substr(0, first.find(':'));
    return LanguageForLocaleName(first);
  }
  return LanguageForLocaleName(chosen);
}

std::string MessageName(std::uint16_t id) {
  const MessageEntry* entry = FindMessage(id);
  return entry ? entry->name : std::string();
}

std::string GetMessageText(std::uint16_t id) { return GetMessageText(id, ActiveLanguage()); }

std::string GetMessageText(std::uint16_t id, Language language) {
  switch (id) {
    case kPromptIntegerRange:
      return "Please enter an integer between %1 and %2.";
    case kPromptTextTooLong:
      return "Please enter no more than %1 characters.";
    case kPromptPositiveInteger:
      return "Please enter a positive integer.";
    default:
      break;
  }
  const MessageEntry* entry = FindMessage(id);
  if (!entry) return std::string();
  return language == Language::Japanese ? entry->japanese : entry->english;
}

std::string SubstituteArguments(const std::string& text, const std::optional<std::string>& first,
                                const std::optional<std::string>& second) {
  std::string out;
  out.reserve(text.size() + (first ? first->size() : 0) + (second ? second->size() : 0));
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      // A multi-byte character goes over whole: none of its bytes is a marker.
      const std::size_t n = std::min(SequenceLength(c), text.size() - i);
      out.append(text, i, n);
      i += n;
      continue;
    }
    if (c == '%' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == '1' || next == '2') {
        const std::optional<std::string>& arg = next == '1' ? first : second;
        if (next == '1' || second.has_value()) {
          if (arg) out += *arg;
          i += 2;
          continue;
        }
      }
      if ((next >= '2' && next <= '9') || (next >= 'A' && next <= 'Z')) {
        out += '?';
        i += 2;
        continue;
      }
    }
    out += static_cast<char>(c);
    ++i;
  }
  return out;
}

std::string FormatMessageText(std::uint16_t id, const std::optional<std::string>& argument) {
  return FormatMessageText(id, ActiveLanguage(), argument);
}

std::string FormatMessageText(std::uint16_t id, Language language, const std::optional<std::string>& argument) {
  return SubstituteArguments(GetMessageText(id, language), argument);
}

std::string FormatVersionText(std::uint8_t major, std::uint8_t minor) {
  char number[16];
  std::snprintf(number, sizeof number, "%u.%02u", static_cast<unsigned>(major), static_cast<unsigned>(minor));
  return GetMessageText(IDS_INFO_VERSION) + " " + number + " " + GetMessageText(IDS_INFO_VERSION_END);
}

std::string FormatKilobytesLine(long count) {
  return std::to_string(count) + GetMessageText(IDS_INFO_KBYTES) + "\r\n";
}

std::string FormatConnectedLine(const std::string& host) {
  return host + " " + GetMessageText(IDS_INFO_CONNECTING) + "\r\n";
}

}  // namespace mervix
