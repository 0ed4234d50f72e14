#include "shell/QtSettingsStore.h"

#include <QCoreApplication>
#include <QSettings>

#include <limits>

namespace mervix {
namespace {

QString KeyPath(const std::string& section, const std::string& key) {
  return QString::fromStdString(section) + QLatin1Char('/') + QString::fromStdString(key);
}

}  // namespace

QtSettingsStore::QtSettingsStore()
    : organisation_(QCoreApplication::organizationName()), application_(QCoreApplication::applicationName()) {}

QtSettingsStore::QtSettingsStore(const QString& organisation, const QString& application)
    : organisation_(organisation), application_(application) {}

int QtSettingsStore::GetSettingInt(const std::string& section, const std::string& key, int defaultValue) {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, organisation_, application_);
  const QVariant value = settings.value(KeyPath(section, key));
  if (!value.isValid()) return defaultValue;
  // A value that does not fit 32 bits is unreadable, like a registry value
  // too large for its 4-byte buffer.
  bool ok = false;
  const qlonglong number = value.toLongLong(&ok);
  if (!ok || number < std::numeric_limits<int>::min() || number > std::numeric_limits<unsigned>::max()) {
    return defaultValue;
  }
  return static_cast<int>(static_cast<unsigned>(number & 0xFFFFFFFFu));
}

std::string QtSettingsStore::GetSettingText(const std::string& section, const std::string& key,
                                            const std::string& defaultValue) {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, organisation_, application_);
  const QVariant value = settings.value(KeyPath(section, key));
  if (!value.isValid() || !value.canConvert<QString>()) return defaultValue;
  return value.toString().toStdString();
}

bool QtSettingsStore::SetSettingInt(const std::string& section, const std::string& key, int value) {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, organisation_, application_);
  settings.setValue(KeyPath(section, key), value);
  settings.sync();
  return settings.status() == QSettings::NoError;
}

bool QtSettingsStore::SetSettingText(const std::string& section, const std::string& key, const std::string& value) {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, organisation_, application_);
  settings.setValue(KeyPath(section, key), QString::fromStdString(value));
  settings.sync();
  return settings.status() == QSettings::NoError;
}

}  // namespace mervix
