#include "operations/RunRecord.h"

#include "image/ImageHeader.h"
#include "resources/FileAccess.h"

#include <nlohmann/json.hpp>

#include <ctime>

namespace mervix {

using Json = nlohmann::ordered_json;

int ExitCodeOfCause(RunCause cause) {
  switch (cause) {
    case RunCause::Unknown:
      return kExitUnknown;
    case RunCause::NotReturned:
      return kExitNotReturned;
    case RunCause::Budget:
      return kExitHalted;
    case RunCause::Link:
      return kExitLink;
    case RunCause::Timeout:
      return kExitTimeout;
    case RunCause::Connect:
      return kExitConnect;
    case RunCause::Input:
      return kExitInput;
    case RunCause::Refused:
      return kExitRefused;
    case RunCause::Stopped:
      return kExitStopped;
    case RunCause::Usage:
      return kExitUsage;
    case RunCause::Failure:
      return kExitFailure;
    case RunCause::Finished:
      return kExitSuccess;
  }
  return kExitFailure;
}

const char* OutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::None:
      return "none";
    case RunOutcome::Finished:
      return "finished";
    case RunOutcome::Cancelled:
      return "cancelled";
    case RunOutcome::Failed:
      return "failed";
    case RunOutcome::Stopped:
      return "stopped";
    case RunOutcome::Closed:
      return "closed";
  }
  return "none";
}

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(time);
  const std::tm tm = UtcCalendarTime(secs);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}

std::string RecordLine(const RecordedRun& run) {
  static const DeviceRecord kNone;
  static const PreparedImage kNoImage;
  const DeviceRecord& r = run.record != nullptr ? *run.record : kNone;
  const PreparedImage& image = run.image != nullptr ? *run.image : kNoImage;
  const auto textOrNull = [](const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); };
  Json j;
  j["device"] = run.device;
  if (run.unit > 0) {
    j["slot"] = run.slot;
    j["unit"] = run.unit;
    j["mac"] = textOrNull(run.mac);
  }
  j["name"] = textOrNull(run.name);
  j["group"] = textOrNull(run.group);
  j["command"] = run.command;
  j["source"] = run.source;
  j["image"] = image.path;
  j["sha256"] = image.sha256;
  j["version"] = HasImageTag(image.header) ? Json(ImageVersionNumber(image.header)) : Json(nullptr);
  j["size"] = image.length;
  j["start"] = UtcTimeText(r.startWall);
  j["duration_ms"] = r.durationMs;
  j["outcome"] = r.started ? OutcomeName(r.outcome) : "not_started";
  j["cause"] = CauseName(r.cause);
  j["exit_code"] = run.exitCode;
  if (run.failure.failed()) {
    Json f;
    f["origin"] = OriginName(run.failure.origin);
    f["phase"] = PhaseName(run.failure);
    f["text"] = run.failure.message;
    f["detail"] = run.failure.detail;
    j["failure"] = f;
  } else {
    j["failure"] = nullptr;
  }
  j["sha256_sent"] = textOrNull(r.sentSha256);
  j["retries_used"] = r.retriesUsed;
  j["return_ms"] = r.returnMs >= 0 ? Json(r.returnMs) : Json(nullptr);
  if (!run.fields.empty()) {
    Json fields = Json::object();
    for (const auto& [column, value] : run.fields) fields[column] = value;
    j["fields"] = fields;
  }
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

RecordFile::~RecordFile() { Close(); }

bool RecordFile::Open(const std::string& path, std::string* error) {
  Close();
  file_ = OpenForAppending(path);
  if (file_ == nullptr) {
    *error = "cannot open the record file '" + path + "'";
    return false;
  }
  if (std::fseek(file_, -1, SEEK_END) == 0 && std::fgetc(file_) != '\n') {
    std::fseek(file_, 0, SEEK_END);
    std::fputc('\n', file_);
  }
  std::fseek(file_, 0, SEEK_END);
  return true;
}

bool RecordFile::Append(const std::string& line) { return AppendUnsynced(line) && Sync(); }

bool RecordFile::AppendUnsynced(const std::string& line) {
  if (file_ == nullptr) return false;
  if (std::fputs(line.c_str(), file_) < 0 || std::fflush(file_) != 0) return false;
  unsynced_ = true;
  return true;
}

bool RecordFile::Sync() {
  if (file_ == nullptr) return false;
  if (!unsynced_) return true;
  unsynced_ = false;
  return FlushToDisk(file_);
}

void RecordFile::Close() {
  if (file_ != nullptr) {
    Sync();
    std::fclose(file_);
  }
  file_ = nullptr;
}

}  // namespace mervix
