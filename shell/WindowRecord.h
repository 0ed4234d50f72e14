// The window's record of runs: the file the "Several devices" window writes
// (and the main window's own runs, when the operator switched that on), in
// the command line's record format, one line a run.
#pragma once

#include "operations/DownloadJob.h"
#include "operations/FleetEngine.h"
#include "operations/SettingsStore.h"

#include <chrono>
#include <string>

namespace mervix {

// records.jsonl in the user's data folder.
std::string DefaultRecordPath();
// The stored record file, else the default.
std::string RecordPathSetting(SettingsStore& settings);

// What the record says of a run that |job| ended: its outcome and cause
// (a finished run whose acknowledged bytes are not the image's counts as a
// link failure), the SHA-256 of what the device acknowledged, the retries.
DeviceRecord RecordOfJob(const DownloadJob& job, std::chrono::system_clock::time_point startWall,
                         std::int64_t durationMs);

// Appends the main window's run of |job| to the record file, when the
// setting says so; false with |error| when the file cannot be written.
bool RecordWindowRun(SettingsStore& settings, const DownloadJob& job, const std::string& source,
                     std::chrono::system_clock::time_point startWall, std::int64_t durationMs, std::string* error);

// Opens |path| for appending, making its folder first.
class RecordFile;
bool OpenRecordFile(const std::string& path, RecordFile* file, std::string* error);

}  // namespace mervix
