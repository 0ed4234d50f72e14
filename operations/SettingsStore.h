// The per-user settings store as the operations see it: one section,
// "Previous Settings", and four operations. The window implements it on
// QSettings (on Windows the registry path
// HKEY_CURRENT_USER\Software\Brevlund\<application>\Previous Settings); the
// command line and the tests use MemorySettingsStore.
#pragma once

#include <string>

namespace mervix {

inline constexpr const char kSettingsSection[] = "Previous Settings";

// The six keys of the section.
namespace setting_key {
inline constexpr const char kKorvane[] = "Korvane";                   // integer, read but never written
inline constexpr const char kCompress[] = "Compress";                 // integer 0 or 1
inline constexpr const char kUserBaseAddress[] = "User Base Address";  // text
inline constexpr const char kUserModuleName[] = "User Module Name";    // text
inline constexpr const char kUserModuleExtension[] = "User Module Extension";  // text
inline constexpr const char kBaseAddress[] = "Base Address";          // text
// The record of runs: where it is written, and whether the main window's
// own runs go into it (0, the default, or 1).
inline constexpr const char kRecordFile[] = "Record File";            // text
inline constexpr const char kRecordWindowRuns[] = "Record Window Runs";  // integer 0 or 1
}  // namespace setting_key

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  // The stored 32-bit value, or the default when it cannot be read.
  virtual int GetSettingInt(const std::string& section, const std::string& key, int defaultValue) = 0;
  // The stored text, or the default when it cannot be read.
  virtual std::string GetSettingText(const std::string& section, const std::string& key,
                                     const std::string& defaultValue) = 0;
  virtual bool SetSettingInt(const std::string& section, const std::string& key, int value) = 0;
  virtual bool SetSettingText(const std::string& section, const std::string& key, const std::string& value) = 0;
};

}  // namespace mervix
