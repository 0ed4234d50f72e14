#include "cli/support/RunReport.h"

#include "cli/Commands.h"
#include "cli/support/TerminalOperator.h"
#include "image/ImageHeader.h"
#include "operations/DownloadJob.h"
#include "operations/Sha256.h"
#include "resources/CommandLineMessages.h"
#include "resources/MessageTable.h"

#include <nlohmann/json.hpp>

namespace mervix::cli {
namespace {

using Json = nlohmann::ordered_json;

const char* ButtonsName(ButtonSet buttons) {
  switch (buttons) {
    case ButtonSet::Ok:
      return "ok";
    case ButtonSet::OkCancel:
      return "ok_cancel";
    case ButtonSet::YesNo:
      return "yes_no";
  }
  return "ok";
}

const char* AnswerName(Answer answer) {
  switch (answer) {
    case Answer::Ok:
      return "ok";
    case Answer::Cancel:
      return "cancel";
    case Answer::Yes:
      return "yes";
    case Answer::No:
      return "no";
  }
  return "ok";
}

const char* ProgressPhaseName(ProgressPhase phase) {
  switch (phase) {
    case ProgressPhase::Connecting:
      return "connecting";
    case ProgressPhase::Querying:
      return "querying";
    case ProgressPhase::ModeSwitch:
      return "mode_switch";
    case ProgressPhase::Reconnecting:
      return "reconnecting";
    case ProgressPhase::Sector:
      return "sector";
    case ProgressPhase::Confirming:
      return "confirming";
    case ProgressPhase::Size:
      return "size";
    case ProgressPhase::Sending:
      return "sending";
    case ProgressPhase::Done:
      return "done";
  }
  return "done";
}

Json Event(const char* name, std::int64_t ms, const std::string& device, const std::string& deviceName = "") {
  Json j;
  j["schema"] = kJsonSchemaVersion;
  j["event"] = name;
  j["t_ms"] = ms;
  // One of several devices: every event names it (and its name, if any).
  if (!device.empty()) j["device"] = device;
  if (!deviceName.empty()) j["name"] = deviceName;
  return j;
}

// JSON text of bytes that may not be valid UTF-8 (a file name, a device's
// text): invalid sequences are replaced rather than refused.
std::string Dump(const Json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

}  // namespace

int ExitCodeOf(RunOutcome outcome, const Failure& failure) {
  switch (outcome) {
    case RunOutcome::Finished:
      return kExitSuccess;
    case RunOutcome::Cancelled:
    case RunOutcome::Stopped:
    case RunOutcome::Closed:
      return kExitStopped;
    case RunOutcome::None:
    case RunOutcome::Failed:
      break;
  }
  switch (failure.origin) {
    case FailureOrigin::None:
      return kExitFailure;
    case FailureOrigin::OperatorInput:
      return kExitUsage;
    case FailureOrigin::File:
    case FailureOrigin::Conversion:
      return kExitInput;
    case FailureOrigin::DeviceRefusal:
      return kExitRefused;
    case FailureOrigin::Cancelled:
      return kExitStopped;
    case FailureOrigin::Protocol:
      return kExitLink;
    case FailureOrigin::Link:
      break;
  }
  // The last block went out and no Ack came: the device may or may not
  // have written the image.
  if (failure.phase == RunPhase::Block && failure.blocks > 0 && failure.block >= failure.blocks) return kExitUnknown;
  if (failure.messageId == IDS_ERROR_NO_RESPONSE) return kExitTimeout;
  if (failure.messageId == IDS_ERROR_CONNECT || failure.messageId == IDS_ERROR_SOCKET) return kExitConnect;
  return kExitLink;
}

RunReport::RunReport(const char* command, std::FILE* out, std::FILE* err, bool json, bool progress)
    : command_(command), out_(out), err_(err), json_(json), progress_(progress) {}

std::int64_t RunReport::ElapsedMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin_).count();
}

void RunReport::Emit(const std::string& jsonLine) {
  ClearProgress();
  std::fputs(jsonLine.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void RunReport::ClearProgress() {
  if (!lineDrawn_) return;
  std::fputs("\r\033[K", err_);
  std::fflush(err_);
  lineDrawn_ = false;
}

void RunReport::Log(const std::string& appended) {
  if (appended.empty()) return;
  if (!json_) {
    ClearProgress();
    const std::string text = TerminalLineEndings(appended);
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
    return;
  }
  // One event per line, without its line end.
  pendingLog_ += TerminalLineEndings(appended);
  std::size_t end;
  while ((end = pendingLog_.find('\n')) != std::string::npos) {
    Json j = Event("log", ElapsedMs(), deviceTag_, deviceName_);
    j["text"] = pendingLog_.substr(0, end);
    Emit(Dump(j));
    pendingLog_.erase(0, end + 1);
  }
}

void RunReport::Box(const std::string& text, const std::string& detail, ButtonSet buttons, Answer answer,
                    bool automatic) {
  if (!json_) return;
  Json j = Event("box", ElapsedMs(), deviceTag_, deviceName_);
  j["text"] = text;
  j["detail"] = detail;
  j["buttons"] = ButtonsName(buttons);
  j["answer"] = AnswerName(answer);
  j["automatic"] = automatic;
  Emit(Dump(j));
}

void RunReport::Started(const DownloadJob& job) {
  if (started_) return;
  started_ = true;
  runBegin_ = std::chrono::steady_clock::now();
  const PreparedImage& image = job.Image();
  device_ = job.Device();
  // Taken when the image was prepared; the job holds the file exclusively
  // now, so it cannot change before it is sent.
  fileSha256_ = image.sha256;
  const std::string sha = fileSha256_.empty() ? std::string("?") : fileSha256_;
  // The fingerprint of what is about to go out, on the terminal's side
  // channel: the log stays as the log pane shows it.
  if (!json_) {
    ClearProgress();
    std::fprintf(err_, "%s\n",
                 FormatCommandLineText(IDS_CLI_IMAGE, {image.path, std::to_string(image.length), sha}).c_str());
    std::fflush(err_);
    return;
  }
  Json j = Event("run_started", ElapsedMs(), deviceTag_, deviceName_);
  j["command"] = command_;
  j["device"] = device_;
  j["image"] = image.path;
  j["size"] = image.length;
  j["sha256"] = fileSha256_;
  j["version"] = HasImageTag(image.header) ? Json(ImageVersionNumber(image.header)) : Json(nullptr);
  j["mode"] = image.userModule ? "user_module" : "firmware";
  j["retries"] = job.Retries().retries;
  Emit(Dump(j));
}

void RunReport::Stopping(bool atOnce) {
  const std::string text = GetMessageText(atOnce ? IDS_CLI_STOPPING_NOW : IDS_CLI_STOPPING);
  ClearProgress();
  std::fprintf(err_, "%s\n", text.c_str());
  std::fflush(err_);
  if (json_) {
    Json j = Event("stopping", ElapsedMs(), deviceTag_, deviceName_);
    j["at_once"] = atOnce;
    j["text"] = text;
    Emit(Dump(j));
  }
}

void RunReport::OnProgress(const Progress& p) {
  if (!started_ && job_ != nullptr) Started(*job_);
  const std::int64_t now = ElapsedMs();
  if (json_) {
    // A restarted run acknowledges from its first byte again.
    const std::uint64_t before =
        anyProgress_ && p.bytesAcknowledged >= last_.bytesAcknowledged ? last_.bytesAcknowledged : 0;
    if (p.bytesAcknowledged > before) {
      Json j = Event("block_acknowledged", now, deviceTag_, deviceName_);
      j["block"] = p.phase == ProgressPhase::Sending && p.block > 1 ? p.block - 1 : p.blocks;
      j["blocks"] = p.blocks;
      j["bytes"] = p.bytesAcknowledged - before;
      j["acknowledged"] = p.bytesAcknowledged;
      j["total"] = p.total;
      j["elapsed_ms"] =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - runBegin_).count();
      Emit(Dump(j));
    }
    if (!anyProgress_ || p.phase != last_.phase) {
      Json j = Event("phase", now, deviceTag_, deviceName_);
      j["phase"] = ProgressPhaseName(p.phase);
      j["text"] = FormatPhase(p, device_);
      Emit(Dump(j));
    }
  }
  anyProgress_ = true;
  last_ = p;
  meter_.Update(p, now);
  if (!progress_) return;
  if (p.phase == ProgressPhase::Done) {
    ClearProgress();
    return;
  }
  std::fprintf(err_, "\r%s\033[K", FormatProgressStatus(meter_, device_).c_str());
  std::fflush(err_);
  lineDrawn_ = true;
}

void RunReport::OnRunEnded(RunOutcome, const Failure&) { ClearProgress(); }

int RunReport::Finish(const DeviceRecord* record, bool ended, RunOutcome outcome, const Failure& failure,
                      bool closingLine) {
  ClearProgress();
  const int code = ended ? ExitCodeOf(outcome, failure) : kExitFailure;
  const std::string sent = record != nullptr && ended && outcome == RunOutcome::Finished ? record->sentSha256 : "";
  std::string proof;
  if (!sent.empty()) {
    proof = sent == fileSha256_ ? FormatCommandLineText(IDS_CLI_SENT_PROOF, {sent})
                                : FormatCommandLineText(IDS_CLI_SENT_DIFFERS, {sent, fileSha256_});
  }
  if (code != kExitSuccess && closingLine) {
    const std::string why = ended ? Describe(failure) : "the run ended without an outcome";
    std::fprintf(err_, "mervix-cli %s: %s\n", command_, why.c_str());
  } else if (!proof.empty()) {
    const std::string& shown = deviceName_.empty() ? deviceTag_ : deviceName_;
    std::fprintf(err_, "%s%s%s\n", shown.c_str(), shown.empty() ? "" : ": ", proof.c_str());
  }
  std::fflush(err_);
  if (json_) {
    Json j = Event("run_ended", ElapsedMs(), deviceTag_, deviceName_);
    j["outcome"] = !verdictOutcome_.empty() ? verdictOutcome_ : ended ? OutcomeName(outcome) : "none";
    if (!verdictCause_.empty()) j["cause"] = verdictCause_;
    j["exit_code"] = verdictCode_ >= 0 ? verdictCode_ : code;
    j["started"] = started_;
    if (failure.failed()) {
      Json f;
      f["origin"] = OriginName(failure.origin);
      f["phase"] = PhaseName(failure);
      f["block"] = failure.block;
      f["blocks"] = failure.blocks;
      f["message_id"] = failure.messageId;
      f["message_name"] = MessageName(failure.messageId);
      f["text"] = failure.message;
      f["detail"] = failure.detail;
      f["nak_flags"] = failure.nakFlags;
      j["failure"] = f;
    } else {
      j["failure"] = nullptr;
    }
    j["duration_ms"] = started_ ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - runBegin_)
                                      .count()
                                : 0;
    j["sha256_sent"] = sent.empty() ? Json(nullptr) : Json(sent);
    j["sent_equals_file"] = !sent.empty() && sent == fileSha256_;
    j["retries_used"] = record != nullptr ? record->retriesUsed : 0;
    Emit(Dump(j));
  }
  return code;
}

}  // namespace mervix::cli
