#include "operations/MemorySettingsStore.h"

#include "resources/FileAccess.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace mervix {
namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[++i];
      out.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next);
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

bool MemorySettingsStore::Open(const std::string& path, std::string* error) {
  path_ = path;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return true;  // created at the first write
    *error = "cannot read settings file '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::string section;
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos || section.empty()) {
      *error = "settings file '" + path + "' line " + std::to_string(number) + " is not an entry";
      return false;
    }
    values_[{section, line.substr(0, eq)}] = Unescape(line.substr(eq + 1));
  }
  return true;
}

bool MemorySettingsStore::Save() {
  if (path_.empty()) return true;
  std::ostringstream text;
  std::string section;
  for (const auto& [key, value] : values_) {
    if (key.first != section) {
      section = key.first;
      text << '[' << section << "]\n";
    }
    text << key.second << '=' << Escape(value) << '\n';
  }
  // Written beside the file and renamed over it: a reader never sees half.
  const std::string bytes = text.str();
  return ReplaceFileContents(path_, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()).ok();
}

bool MemorySettingsStore::Has(const std::string& section, const std::string& key) const {
  return presets_.count({section, key}) != 0 || values_.count({section, key}) != 0;
}

int MemorySettingsStore::GetSettingInt(const std::string& section, const std::string& key, int defaultValue) {
  const std::string text = GetSettingText(section, key, "");  // records the read
  if (text.empty()) return defaultValue;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || value < INT_MIN || value > INT_MAX) return defaultValue;
  return static_cast<int>(value);
}

std::string MemorySettingsStore::GetSettingText(const std::string& section, const std::string& key,
                                                const std::string& defaultValue) {
  reads_.push_back(key);
  if (auto it = presets_.find({section, key}); it != presets_.end()) return it->second;
  if (auto it = values_.find({section, key}); it != values_.end()) return it->second;
  return defaultValue;
}

bool MemorySettingsStore::SetSettingInt(const std::string& section, const std::string& key, int value) {
  return SetSettingText(section, key, std::to_string(value));
}

bool MemorySettingsStore::SetSettingText(const std::string& section, const std::string& key,
                                         const std::string& value) {
  writes_.push_back(key + "=" + value);
  values_[{section, key}] = value;
  presets_.erase({section, key});
  return Save();
}

void MemorySettingsStore::Preset(const std::string& section, const std::string& key, const std::string& value) {
  presets_[{section, key}] = value;
}

}  // namespace mervix
