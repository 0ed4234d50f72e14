// The settings store on QSettings: organisation "Brevlund", application =
// the application name, group "Previous Settings". On Windows that is the
// registry key HKEY_CURRENT_USER\Software\Brevlund\<application>; on Linux
// the per-user file QSettings chooses (~/.config/Brevlund/<application>.conf).
//
// Every write is flushed at once: nothing is deferred or batched, and a
// value written survives a crash of the program right after it.
#pragma once

#include "operations/SettingsStore.h"

#include <QString>

namespace mervix {

class QtSettingsStore : public SettingsStore {
 public:
  // Uses the organisation and application names set on the application
  // object (CDownloadApp sets them before anything reads a key).
  QtSettingsStore();
  // Explicit root, for callers without an application object.
  QtSettingsStore(const QString& organisation, const QString& application);

  // An integer key: the stored value when it is a 32-bit integer, otherwise
  // (absent, unreadable, not a number) the default.
  int GetSettingInt(const std::string& section, const std::string& key, int defaultValue) override;
  // A text key: the stored text (UTF-8), or the default when absent.
  std::string GetSettingText(const std::string& section, const std::string& key,
                             const std::string& defaultValue) override;
  // Store and flush; false when the store could not be written.
  bool SetSettingInt(const std::string& section, const std::string& key, int value) override;
  bool SetSettingText(const std::string& section, const std::string& key, const std::string& value) override;

 private:
  QString organisation_;
  QString application_;
};

}  // namespace mervix
