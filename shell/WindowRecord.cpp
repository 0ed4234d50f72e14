#include "shell/WindowRecord.h"

#include "operations/RunRecord.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace mervix {

std::string DefaultRecordPath() {
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  return QDir::toNativeSeparators(QDir(folder).filePath(QStringLiteral("records.jsonl"))).toStdString();
}

std::string RecordPathSetting(SettingsStore& settings) {
  const std::string stored = settings.GetSettingText(kSettingsSection, setting_key::kRecordFile, "");
  return stored.empty() ? DefaultRecordPath() : stored;
}

DeviceRecord RecordOfJob(const DownloadJob& job, std::chrono::system_clock::time_point startWall,
                         std::int64_t durationMs) {
  DeviceRecord r;
  r.started = true;
  r.ended = true;
  r.startWall = startWall;
  r.durationMs = durationMs;
  r.outcome = job.LastOutcome();
  r.failure = job.LastFailure();
  r.sentSha256 = job.SentSha256();
  r.retriesUsed = job.RetriesUsed();
  r.cause = CauseOf(r.outcome, r.failure);
  if (r.cause == RunCause::Finished && !job.Image().sha256.empty() && r.sentSha256 != job.Image().sha256) {
    r.cause = RunCause::Link;
  }
  return r;
}

bool OpenRecordFile(const std::string& path, RecordFile* file, std::string* error) {
  const QString folder = QFileInfo(QString::fromStdString(path)).absolutePath();
  if (!QDir().mkpath(folder)) {
    *error = "cannot make the folder " + QDir::toNativeSeparators(folder).toStdString();
    return false;
  }
  return file->Open(path, error);
}

bool RecordWindowRun(SettingsStore& settings, const DownloadJob& job, const std::string& source,
                     std::chrono::system_clock::time_point startWall, std::int64_t durationMs, std::string* error) {
  if (settings.GetSettingInt(kSettingsSection, setting_key::kRecordWindowRuns, 0) == 0) return true;
  const DeviceRecord record = RecordOfJob(job, startWall, durationMs);
  RecordedRun run;
  run.command = "window";
  run.device = job.Device();
  run.source = source;
  run.image = &job.Image();
  run.record = &record;
  run.failure = record.failure;
  run.exitCode = ExitCodeOfCause(record.cause);
  RecordFile file;
  if (!OpenRecordFile(RecordPathSetting(settings), &file, error)) return false;
  if (!file.Append(RecordLine(run))) {
    *error = "the record could not be written";
    return false;
  }
  return true;
}

}  // namespace mervix
