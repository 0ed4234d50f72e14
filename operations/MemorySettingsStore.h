// A settings store in memory, optionally kept in a small text file of its
// own. The command line uses it so that it never touches the window's real
// settings; the tests use it as the map they read and write.
//
// File format (UTF-8 text, one entry a line):
//   [Previous Settings]
//   Base Address=10000
//   Korvane=1
// A backslash in a value is written "\\", a line feed "\n", a carriage
// return "\r". Lines that are empty or start with '#' or ';' are skipped.
// Integers are stored as decimal text; a text that is not a decimal number
// reads as the default.
#pragma once

#include "operations/SettingsStore.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mervix {

class MemorySettingsStore : public SettingsStore {
 public:
  MemorySettingsStore() = default;

  // Loads |path| (a missing file is an empty store) and writes the whole
  // store back to it after every successful Set. False with a reason when
  // the file exists but cannot be read or holds a line that is not an entry.
  bool Open(const std::string& path, std::string* error);

  int GetSettingInt(const std::string& section, const std::string& key, int defaultValue) override;
  std::string GetSettingText(const std::string& section, const std::string& key,
                             const std::string& defaultValue) override;
  bool SetSettingInt(const std::string& section, const std::string& key, int value) override;
  bool SetSettingText(const std::string& section, const std::string& key, const std::string& value) override;

  // Sets a value in memory only, never written to the file (a value the
  // command line was given for this run, such as "Korvane").
  void Preset(const std::string& section, const std::string& key, const std::string& value);

  bool Has(const std::string& section, const std::string& key) const;
  // Every Set, in order: "key=value".
  const std::vector<std::string>& Writes() const { return writes_; }
  // Every Get, in order: the key.
  const std::vector<std::string>& Reads() const { return reads_; }

 private:
  using Key = std::pair<std::string, std::string>;
  bool Save();

  std::map<Key, std::string> values_;
  std::map<Key, std::string> presets_;
  std::string path_;
  std::vector<std::string> writes_;
  std::vector<std::string> reads_;
};

}  // namespace mervix
