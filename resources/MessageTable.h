// The numbered texts of mervix in English and Japanese, the fixed texts that
// are the same in both languages, and the data-exchange prompts.
//
// Every text an operator reads in a message box or in the log comes from
// here. Texts are UTF-8; the Japanese ones keep their half-width katakana
// exactly as written. No Qt: the command-line front end uses this too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mervix {

enum class Language { English, Japanese };

// Message identifiers 101 to 134, without gaps.
enum MessageId : std::uint16_t {
  IDS_ABOUT_ITEM = 101,
  IDS_ERROR_HOST = 102,
  IDS_ERROR_SOCKET_INIT = 103,
  IDS_ERROR_PORT = 104,
  IDS_INFO_DOWNLOADING = 105,
  IDS_ERROR_FILE_SIZE = 106,
  IDS_ERROR_FILE_FORMAT = 107,
  IDS_INFO_VERSION = 108,
  IDS_ERROR_CONNECT = 109,
  IDS_ASK_WRITE = 110,
  IDS_INFO_KBYTES = 111,
  IDS_INFO_FINISHED = 112,
  IDS_INFO_FINISHED_LOG = 113,
  IDS_INFO_BLOCK_SENT = 114,
  IDS_WARN_RETCODE = 115,
  IDS_NAK_COMMAND = 116,
  IDS_NAK_SIZE = 117,
  IDS_NAK_DIAL = 118,
  IDS_NAK_TELNET = 119,
  IDS_INFO_VERSION_END = 120,
  IDS_NAK_ERASE = 121,
  IDS_NAK_BUSY = 122,
  IDS_NAK_WRITE = 123,
  IDS_NAK_OTHER = 124,
  IDS_ERROR_DL_PROG4 = 125,
  IDS_ERROR_CHECK_CODE = 126,
  IDS_ERROR_CMD_CODE = 127,
  IDS_ERROR_TOOMANY = 128,
  IDS_ERROR_SOCKET = 129,
  IDS_ASK_RETRY = 130,
  IDS_INFO_CONNECTING = 131,
  IDS_INFO_MODE_SWITCH = 132,
  IDS_INFO_START = 133,
  IDS_INFO_CANCELLED = 134,
};

constexpr std::uint16_t kFirstMessageId = 101;
constexpr std::uint16_t kLastMessageId = 134;

// Messages mervix adds to the table above, from 201 on without gaps. Each
// has an English and a Japanese text like the others.
enum OwnMessageId : std::uint16_t {
  IDS_ERROR_SEND = 201,             // a frame or block could not be handed to the connection
  IDS_ERROR_IMAGE_EMPTY = 202,      // the image has no bytes
  IDS_ERROR_IMAGE_TOO_LARGE = 203,  // the image does not fit the 32-bit size request
  IDS_ERROR_IMAGE_OPEN = 204,       // the image cannot be opened for sending
  IDS_ERROR_IMAGE_READ = 205,       // the image cannot be read while sending, or ends early
  IDS_ERROR_NO_RESPONSE = 206,      // the device stayed silent past the time-out
  IDS_INFO_STOPPED = 207,           // the operator stopped the run: bytes written (%1) of the total (%2)
  // The phases of a run, for progress displays.
  IDS_PHASE_CONNECTING = 208,    // %1: the device
  IDS_PHASE_QUERYING = 209,
  IDS_PHASE_MODE_SWITCH = 210,
  IDS_PHASE_RECONNECTING = 211,  // %1: the device
  IDS_PHASE_SECTOR = 212,
  IDS_PHASE_CONFIRMING = 213,
  IDS_PHASE_SIZE = 214,
  IDS_PHASE_SENDING = 215,       // %1 of %2 blocks
  IDS_PHASE_FAILED = 216,        // %1: the failure's message
  // Pieces of a progress line.
  IDS_PROGRESS_BYTES = 217,      // %1 of %2 (sizes in KB)
  IDS_PROGRESS_RATE = 218,       // %1: KB per second
  IDS_PROGRESS_LEFT = 219,       // %1: time left
  // The details under the confirmation.
  IDS_DETAIL_DEVICE = 220,       // %1: host:port
  IDS_DETAIL_FILE = 221,         // %1: the image's path
  IDS_DETAIL_VERSION = 222,      // %1: the firmware version
  IDS_DETAIL_SIZE = 223,         // %1: the image's length in bytes
};

constexpr std::uint16_t kFirstOwnMessageId = 201;
constexpr std::uint16_t kLastOwnMessageId = 223;

// Data-exchange prompts of the main window; English in both languages.
enum PromptId : std::uint16_t {
  kPromptIntegerRange = 61714,  // "Please enter an integer between %1 and %2."
  kPromptTextTooLong = 61716,  // "Please enter no more than %1 characters."
  kPromptPositiveInteger = 61719,  // "Please enter a positive integer."
};

// Texts fixed in the program, the same whatever the active language.
namespace fixed_text {
inline constexpr const char kCouldNotConvert[] = "Could not convert file";
inline constexpr const char kDialError[] = "Dial-in/dial-out error";
inline constexpr const char kDownloadFailed[] = "ﾀﾞｳﾝﾛｰﾄできませんでした。";
inline constexpr const char kKorvaneMode[] = "Korvane mode - no compression\r\n";
inline constexpr const char kNormalModeInactive[] = "Normal mode - compression inactive\r\n";
inline constexpr const char kNormalModeActive[] = "Normal mode - compression active\r\n";
inline constexpr const char kSpecialSector[] = "Specifying special sector for user module\r\n";
}  // namespace fixed_text

// The active language is chosen once per process. Until SetActiveLanguage is
// called it is English.
Language ActiveLanguage();
void SetActiveLanguage(Language language);

// The language rule applied to a locale name such as "ja_JP.UTF-8", "ja" or
// "en_US": Japanese when the language part is "ja", English otherwise.
Language LanguageForLocaleName(const std::string& localeName);

// The user's interface language from the environment, as POSIX resolves it
// (LC_ALL, then LC_MESSAGES, then LANG; LANGUAGE's first entry when set).
Language LanguageFromEnvironment();

// The symbolic name of an identifier ("IDS_ERROR_TOOMANY"), empty if unknown.
std::string MessageName(std::uint16_t id);

// The text of an identifier in the active language (or the given one); an
// identifier without a text yields an empty string. Prompt identifiers
// (61714, 61716, 61719) yield their English text in both languages.
std::string GetMessageText(std::uint16_t id);
std::string GetMessageText(std::uint16_t id, Language language);

// The text of the message with every "%1" replaced by the argument, or
// removed when there is none. "%" followed by 2..9 or a capital letter names
// an argument that does not exist and becomes "?"; any other "%" is copied.
// A multi-byte character is copied whole and never taken for a "%".
std::string FormatMessageText(std::uint16_t id, const std::optional<std::string>& argument = std::nullopt);
std::string FormatMessageText(std::uint16_t id, Language language, const std::optional<std::string>& argument);

// The same substitution over any text, with up to two arguments (%1, %2);
// used for the data-exchange prompts.
std::string SubstituteArguments(const std::string& text, const std::optional<std::string>& first,
                                const std::optional<std::string>& second = std::nullopt);

// The composite texts, in the active language.
// "%s %d.%02d %s": message 108, major, minor (two digits at least), message 120.
std::string FormatVersionText(std::uint8_t major, std::uint8_t minor);
// "%d%s\r\n": the kilobyte count directly followed by message 111.
std::string FormatKilobytesLine(long count);
// "%s %s\r\n": the host as typed, a blank and message 131.
std::string FormatConnectedLine(const std::string& host);

}  // namespace mervix
