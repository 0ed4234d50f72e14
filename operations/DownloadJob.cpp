#include "operations/DownloadJob.h"

#include "resources/CommandLineMessages.h"
#include "resources/MessageTable.h"

#include <cerrno>
#include <cstdio>

namespace mervix {

bool IsRetryableFailure(const Failure& failure) {
  if (failure.origin != FailureOrigin::Link) return false;
  // No socket at all: another try cannot fare better.
  if (failure.messageId == IDS_ERROR_SOCKET) return false;
  // The last block went out: the device may have the whole image, and a
  // second run would write it again.
  if (failure.phase == RunPhase::Block && failure.blocks > 0 && failure.block >= failure.blocks) return false;
  if (failure.phase == RunPhase::Finished) return false;
  return true;
}

DownloadJob::DownloadJob(LogPane& log) : log_(log) {}

DownloadJob::~DownloadJob() { image_.Close(); }

bool DownloadJob::Start(const PreparedImage& image, const std::string& host, std::uint16_t port, RunPort& runner) {
  return StartWith(image, host, port, runner, nullptr);
}

bool DownloadJob::Start(const PreparedImage& image, const std::string& host, std::uint16_t port, RunPort& runner,
                        const InputFile& shared) {
  return StartWith(image, host, port, runner, &shared);
}

bool DownloadJob::StartWith(const PreparedImage& image, const std::string& host, std::uint16_t port,
                            RunPort& runner, const InputFile* shared) {
  if (inProgress_ || busy_) return false;
  port_ = &runner;
  inProgress_ = true;
  closing_ = false;
  boxOpen_ = false;
  actions_.clear();
  pendingEvents_.clear();
  progress_ = Progress();
  imagePath_ = image.path;
  prepared_ = image;
  device_ = host + ":" + std::to_string(port);
  sentHash_.Reset();
  sentSha256_.clear();
  retriesUsed_ = 0;
  retryWait_ = RetryWait::None;
  endedHere_ = false;

  // The image is held with exclusive access from here to the end of the
  // run: no other program can lock or take it while its bytes go out. A
  // shared file is held so by the caller, for every run that reads it.
  image_.Close();
  source_ = shared != nullptr ? shared : &image_;
  const FileStatus opened =
      shared != nullptr ? FileStatus() : image_.Open(image.path, ImageAccess::Exclusive, "image");
  std::string problem;
  if (!opened.ok()) {
    problem = opened.reason;
  } else if (!source_->IsOpen()) {
    problem = "'" + image.path + "' is not open";
  } else if (source_->Length() != image.length) {
    // The file changed since it was prepared: what would go out is not what
    // was checked and announced.
    problem = "'" + image.path + "' is " + std::to_string(source_->Length()) + " bytes now, not the " +
              std::to_string(image.length) + " bytes it had when it was prepared";
  }
  if (!problem.empty()) {
    image_.Close();
    source_ = nullptr;
    Failure failure;
    failure.origin = FailureOrigin::File;
    failure.phase = RunPhase::Prepare;
    failure.messageId = IDS_ERROR_IMAGE_OPEN;
    failure.message = FormatMessageText(IDS_ERROR_IMAGE_OPEN);
    failure.detail = problem;
    Action box;
    box.kind = ActionKind::ShowMessage;
    box.messageId = IDS_ERROR_IMAGE_OPEN;
    box.text = failure.message;
    box.detail = problem;
    Action end;
    end.kind = ActionKind::RunEnded;
    end.outcome = RunOutcome::Failed;
    end.failure = failure;
    failedAtStart_ = failure;
    actions_.push_back(box);
    actions_.push_back(end);
    busy_ = true;
    Pump();
    busy_ = false;
    return true;
  }
  failedAtStart_ = Failure();

  RunRequest run;
  run.host = host;
  run.port = port;
  run.imageLength = image.length;
  run.userModule = image.userModule;
  run.sectorAddress = image.sectorAddress;
  run_ = run;
  Feed(Event::Start(run));
  return true;
}

void DownloadJob::OnConnected() { Feed(Event::Connected()); }
void DownloadJob::OnConnectFailed(const std::string& reason, bool noSocket) {
  Feed(Event::ConnectFailed(reason, noSocket));
}
void DownloadJob::OnReceived(const std::uint8_t* data, std::size_t size) { Feed(Event::Received(data, size)); }
void DownloadJob::OnPeerClosed() { Feed(Event::PeerClosed()); }
void DownloadJob::OnSendFailed(const std::string& reason) { Feed(Event::SendFailed(reason)); }
void DownloadJob::OnAnswered(Answer answer) { Feed(Event::Answered(answer)); }
void DownloadJob::OnPauseElapsed() { Feed(Event::PauseElapsed()); }
void DownloadJob::OnTimedOut(const std::string& reason) { Feed(Event::TimedOut(reason)); }

void DownloadJob::Stop(bool closing) {
  if (closing) {
    // The window is going: boxes still waiting are not shown, and the
    // connection is drained and closed now rather than after a box.
    closing_ = true;
    boxOpen_ = false;
  }
  Feed(Event::Stop(closing));
}

void DownloadJob::BoxClosed() {
  if (!boxOpen_) return;
  boxOpen_ = false;
  if (busy_) return;  // the pump in progress goes on by itself
  busy_ = true;
  Pump();
  DrainPendingEvents();
  busy_ = false;
}

void DownloadJob::Feed(const Event& event) {
  if (busy_) {
    // Reported from inside one of our own calls to the runner: handled once
    // that call has returned and the actions before it are carried out.
    PendingEvent pending;
    pending.event = event;
    if (event.kind == EventKind::BytesReceived && event.size > 0) {
      pending.bytes.assign(event.data, event.data + event.size);
    }
    pendingEvents_.push_back(std::move(pending));
    return;
  }
  busy_ = true;
  Handle(event);
  DrainPendingEvents();
  busy_ = false;
}

void DownloadJob::Handle(const Event& event) {
  scratch_.clear();
  if (retryWait_ != RetryWait::None && event.kind == EventKind::PauseElapsed) {
    // The pause of a retry is over: connect again, or start the run again.
    const RetryWait wait = retryWait_;
    retryWait_ = RetryWait::None;
    machine_.Handle(wait == RetryWait::AnswerYes ? Event::Answered(Answer::Yes) : Event::Start(run_), scratch_);
  } else if (retryWait_ == RetryWait::Restart && event.kind == EventKind::StopRequested) {
    retryWait_ = RetryWait::None;
    EndWaitingRestart(event.closing, scratch_);
  } else if (retryWait_ == RetryWait::Restart) {
    // The machine is off until the restart: nothing else concerns it.
    return;
  } else {
    if (retryWait_ == RetryWait::AnswerYes && event.kind == EventKind::StopRequested) retryWait_ = RetryWait::None;
    machine_.Handle(event, scratch_);
  }
  ApplyRetryPolicy(scratch_);
  for (Action& action : scratch_) actions_.push_back(std::move(action));
  Pump();
}

void DownloadJob::ApplyRetryPolicy(std::vector<Action>& actions) {
  if (retry_.retries <= 0 || closing_) return;
  for (std::size_t i = 0; i < actions.size(); ++i) {
    Action& action = actions[i];
    if (action.kind == ActionKind::Ask && action.question == Question::Retry) {
      // The policy answers "Retry?": Yes after the pause while retries are
      // left, else No at once (the machine then ends the run).
      if (RetryLeft()) {
        const std::string cause = FormatMessageText(IDS_ERROR_CONNECT) + ": " + action.detail;
        Action pause;
        pause.kind = ActionKind::Pause;
        pause.milliseconds = retry_.pauseMs;
        action = RetryLine(cause);
        actions.insert(actions.begin() + static_cast<long>(i) + 1, pause);
        retryWait_ = RetryWait::AnswerYes;
      } else {
        actions.erase(actions.begin() + static_cast<long>(i));
        Feed(Event::Answered(Answer::No));
      }
      return;
    }
    if (action.kind == ActionKind::RunEnded && action.outcome == RunOutcome::Failed &&
        IsRetryableFailure(action.failure) && RetryLeft()) {
      // The failure's boxes are not shown and the run does not end: its
      // log line stays, the retry line follows, and the run starts again
      // after the pause. The connection was closed by the failure.
      const Failure failure = action.failure;
      std::vector<Action> kept;
      for (Action& a : actions) {
        if (a.kind == ActionKind::ShowMessage || a.kind == ActionKind::RunEnded) continue;
        if (a.kind == ActionKind::Progress && a.progress.phase == ProgressPhase::Done) continue;
        kept.push_back(std::move(a));
      }
      kept.push_back(RetryLine(failure.detail.empty() ? failure.message : failure.message + ": " + failure.detail));
      Action pause;
      pause.kind = ActionKind::Pause;
      pause.milliseconds = retry_.pauseMs;
      kept.push_back(pause);
      actions.swap(kept);
      retryWait_ = RetryWait::Restart;
      return;
    }
  }
}

Action DownloadJob::RetryLine(const std::string& cause) {
  ++retriesUsed_;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", retry_.pauseMs / 1000.0);
  Action line;
  line.kind = ActionKind::Log;
  line.text = FormatCommandLineText(IDS_CLI_RETRY, {std::to_string(retriesUsed_), std::to_string(retry_.retries),
                                                    seconds, cause}) +
              "\r\n";
  return line;
}

void DownloadJob::EndWaitingRestart(bool closing, std::vector<Action>& actions) {
  Action end;
  end.kind = ActionKind::RunEnded;
  end.failure.origin = FailureOrigin::Cancelled;
  end.failure.phase = RunPhase::Connect;
  if (closing) {
    end.outcome = RunOutcome::Closed;
    end.failure.detail = "the window was closed during the run";
  } else {
    // As a stop between two steps: the bytes the device acknowledged.
    const std::string line = SubstituteArguments(GetMessageText(IDS_INFO_STOPPED),
                                                 std::to_string(progress_.bytesAcknowledged),
                                                 std::to_string(run_.imageLength));
    Action log;
    log.kind = ActionKind::Log;
    log.text = line + "\r\n";
    actions.push_back(log);
    end.outcome = RunOutcome::Stopped;
    end.failure.messageId = IDS_INFO_STOPPED;
    end.failure.message = line;
    end.failure.detail = "stopped by the operator";
  }
  Action done;
  done.kind = ActionKind::Progress;
  done.progress = progress_;
  done.progress.phase = ProgressPhase::Done;
  actions.push_back(done);
  actions.push_back(end);
  endedHere_ = true;
  endedHereOutcome_ = end.outcome;
  endedHereFailure_ = end.failure;
}

void DownloadJob::DrainPendingEvents() {
  while (!pendingEvents_.empty()) {
    PendingEvent pending = std::move(pendingEvents_.front());
    pendingEvents_.pop_front();
    if (pending.event.kind == EventKind::BytesReceived) {
      pending.event.data = pending.bytes.data();
      pending.event.size = pending.bytes.size();
    }
    Handle(pending.event);
  }
}

void DownloadJob::Pump() {
  while (!boxOpen_ && !actions_.empty()) {
    const Action action = std::move(actions_.front());
    actions_.pop_front();
    Carry(action);
  }
}

void DownloadJob::Carry(const Action& action) {
  switch (action.kind) {
    case ActionKind::Connect:
      port_->Connect(action.host, action.port);
      return;
    case ActionKind::SendFrame:
      port_->Send(action.frame.data(), action.frame.size());
      port_->AwaitResponse(ResponseWait::Reply);
      return;
    case ActionKind::SendImage:
      SendImageRange(action.offset, action.size);
      return;
    case ActionKind::Close:
      port_->Close(action.drain);
      return;
    case ActionKind::Pause:
      port_->Pause(action.milliseconds);
      return;
    case ActionKind::Ask:
      if (closing_) return;
      port_->Ask(action.question, action.text,
                 action.question == Question::Confirm ? ConfirmationDetail() : action.detail, action.buttons);
      return;
    case ActionKind::ShowMessage:
      if (closing_) return;
      boxOpen_ = true;
      if (port_->ShowMessage(action.messageId, action.text, action.detail)) boxOpen_ = false;
      return;
    case ActionKind::Log:
      log_.AppendRaw(action.text);
      return;
    case ActionKind::Progress:
      progress_ = action.progress;
      port_->ReportProgress(action.progress);
      return;
    case ActionKind::RunEnded:
      // Every end of a run lets go of the image, so the next run (or
      // another program) can open it again.
      image_.Close();
      source_ = nullptr;
      inProgress_ = false;
      retryWait_ = RetryWait::None;
      if (action.outcome == RunOutcome::Finished) sentSha256_ = sentHash_.FinishHex();
      port_->RunEnded(action.outcome, action.failure);
      return;
  }
}

void DownloadJob::SendImageRange(std::uint64_t offset, std::uint32_t size) {
  blockBuffer_.resize(size);
  std::uint32_t got = 0;
  while (got < size) {
    std::size_t n = 0;
    const FileStatus read = source_->ReadAt(offset + got, blockBuffer_.data() + got, size - got, &n);
    if (!read.ok()) {
      Feed(Event::ImageReadFailed(FileErrorReason("cannot read", imagePath_, read.systemError)));
      return;
    }
    if (n == 0) {
      Feed(Event::ImageReadFailed("'" + imagePath_ + "' ends at byte " + std::to_string(offset + got) +
                                  ", before the announced length"));
      return;
    }
    got += static_cast<std::uint32_t>(n);
  }
  // A repeated size request starts the image again from its first byte.
  if (offset == 0) sentHash_.Reset();
  sentHash_.Update(blockBuffer_.data(), size);
  port_->Send(blockBuffer_.data(), size);
  port_->AwaitResponse(ResponseWait::BlockAck);
}

std::string DownloadJob::ConfirmationDetail() const {
  std::string detail = FormatMessageText(IDS_DETAIL_DEVICE, device_) + "\n" +
                       FormatMessageText(IDS_DETAIL_FILE, prepared_.path) + "\n";
  if (HasImageTag(prepared_.header)) {
    char version[16];
    std::snprintf(version, sizeof version, "%u.%02u", static_cast<unsigned>(MajorVersion(prepared_.header)),
                  static_cast<unsigned>(MinorVersion(prepared_.header)));
    detail += FormatMessageText(IDS_DETAIL_VERSION, std::string(version)) + "\n";
  }
  return detail + FormatMessageText(IDS_DETAIL_SIZE, std::to_string(prepared_.length));
}

const Failure& DownloadJob::LastFailure() const {
  if (failedAtStart_.failed()) return failedAtStart_;
  return endedHere_ ? endedHereFailure_ : machine_.LastFailure();
}

RunOutcome DownloadJob::LastOutcome() const {
  if (failedAtStart_.failed()) return RunOutcome::Failed;
  return endedHere_ ? endedHereOutcome_ : machine_.LastOutcome();
}

}  // namespace mervix
