#include "operations/DownloadJob.h"

#include "resources/MessageTable.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace mervix {

DownloadJob::DownloadJob(LogPane& log) : log_(log) {}

DownloadJob::~DownloadJob() { image_.Close(); }

bool DownloadJob::Start(const PreparedImage& image, const std::string& host, std::uint16_t port, RunPort& runner) {
  if (inProgress_ || busy_) return false;
  port_ = &runner;
  inProgress_ = true;
  closing_ = false;
  boxOpen_ = false;
  actions_.clear();
  closesQueued_ = 0;
  pendingEvents_.clear();
  progress_ = Progress();
  outcome_ = RunOutcome::None;
  failure_ = Failure();
  imagePath_ = image.path;
  prepared_ = image;
  host_ = host;
  // An IPv6 address in brackets, so that its colons stay apart from the port's.
  device_ = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  sentHash_.Reset();
  sentSha256_.clear();
  heldSent_ = 0;
  heldInOrder_ = false;

  // The image is held with exclusive access from here to the end of the
  // run: no other program can lock or take it while its bytes go out. A
  // held image is open already (for every run that sends it) and proves
  // every block it gives out.
  image_.Close();
  held_ = image.held;
  source_ = &image_;
  const FileStatus opened = held_ ? FileStatus() : image_.Open(image.path, ImageAccess::Exclusive, "image");
  RunRequest run;
  if (held_) {
    if (held_->Length() != image.length) {
      run.imageProblem = "'" + image.path + "' was prepared with " + std::to_string(held_->Length()) +
                         " bytes, not the " + std::to_string(image.length) + " announced";
    }
  } else if (!opened.ok()) {
    run.imageProblem = opened.reason;
  } else if (!source_->IsOpen()) {
    run.imageProblem = "'" + image.path + "' is not open";
  } else if (source_->Length() != image.length) {
    // The file changed since it was prepared: what would go out is not what
    // was checked and announced.
    run.imageProblem = "'" + image.path + "' is " + std::to_string(source_->Length()) + " bytes now, not the " +
                       std::to_string(image.length) + " bytes it had when it was prepared";
  }
  if (!run.imageProblem.empty()) {
    image_.Close();
    source_ = nullptr;
    held_.reset();
  }
  run.host = host;
  run.port = port;
  run.imageLength = image.length;
  run.userModule = image.userModule;
  run.sectorAddress = image.sectorAddress;
  run.retry = retry_;
  Feed(Event::Start(run));
  return true;
}

void DownloadJob::OnConnected() { Feed(Event::Connected()); }
void DownloadJob::OnConnectFailed(const std::string& reason, bool noSocket) {
  Feed(Event::ConnectFailed(reason, noSocket));
}
void DownloadJob::OnReceived(const std::uint8_t* data, std::size_t size) { Feed(Event::Received(data, size)); }
void DownloadJob::OnSent() { Feed(Event::SendDone()); }
void DownloadJob::OnPeerClosed() { Feed(Event::PeerClosed()); }
void DownloadJob::OnSendFailed(const std::string& reason) { Feed(Event::SendFailed(reason)); }
void DownloadJob::OnAnswered(Answer answer) { Feed(Event::Answered(answer)); }
void DownloadJob::OnPauseElapsed() { Feed(Event::PauseElapsed()); }
void DownloadJob::OnTimedOut(const std::string& reason) { Feed(Event::TimedOut(reason)); }

void DownloadJob::Stop(bool closing) {
  if (!inProgress_) return;  // nothing to stop: the run has ended
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
  // An ended run gives back the room its actions took: a fleet keeps every
  // device's job to its end, and thousands of them add up.
  if (!InProgress() && scratch_.capacity() > 0) std::vector<Action>().swap(scratch_);
}

void DownloadJob::Handle(const Event& event) {
  // The machine has closed the connection, but the close waits behind a box
  // still to be shown: what the runner reports of that connection meanwhile
  // is news of a connection the run is done with.
  if (closesQueued_ > 0 && OfTheConnection(event.kind)) return;
  scratch_.clear();
  machine_.Handle(event, scratch_);
  for (Action& action : scratch_) {
    if (action.kind == ActionKind::Close) ++closesQueued_;
    if (action.kind != ActionKind::Tell) {
      actions_.push_back({std::move(action), false, {}});
      continue;
    }
    for (BoxText& box : NoticeBoxes(action)) actions_.push_back({action, true, std::move(box)});
  }
  Pump();
}

bool DownloadJob::OfTheConnection(EventKind kind) {
  switch (kind) {
    case EventKind::BytesReceived:
    case EventKind::SendDone:
    case EventKind::PeerClosed:
    case EventKind::SendFailed:
    case EventKind::TimedOut:
      return true;
    case EventKind::RunStarted:
    case EventKind::Connected:
    case EventKind::ConnectFailed:
    case EventKind::ImageReadFailed:
    case EventKind::Answered:
    case EventKind::PauseElapsed:
    case EventKind::StopRequested:
      return false;
  }
  return false;
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
    const Queued next = std::move(actions_.front());
    actions_.pop_front();
    Carry(next.action, next.isBox ? &next.box : nullptr);
  }
}

void DownloadJob::Carry(const Action& action, const BoxText* box) {
  switch (action.kind) {
    case ActionKind::Connect:
      port_->Connect(action.host, action.port);
      return;
    case ActionKind::SendFrame:
      std::copy(action.frame.begin(), action.frame.end(), frameOut_.begin());
      port_->Send(frameOut_.data(), frameOut_.size());
      port_->AwaitResponse(ResponseWait::Reply);
      return;
    case ActionKind::SendImage:
      SendImageRange(action.offset, action.size);
      return;
    case ActionKind::Close:
      --closesQueued_;
      port_->Close(action.drain);
      return;
    case ActionKind::Pause:
      port_->Pause(action.milliseconds);
      return;
    case ActionKind::Ask:
      if (closing_) return;
      port_->Ask(action.question, QuestionText(action.question),
                 action.question == Question::Confirm ? ConfirmationDetail() : action.failure.detail, action.buttons);
      return;
    case ActionKind::Tell:
      if (closing_ || box == nullptr) return;
      boxOpen_ = true;
      if (port_->ShowMessage(box->messageId, box->text, box->detail)) boxOpen_ = false;
      return;
    case ActionKind::Log:
      log_.AppendRaw(NoteText(action, host_));
      return;
    case ActionKind::Progress:
      progress_ = action.progress;
      port_->ReportProgress(action.progress);
      return;
    case ActionKind::RunEnded:
      // Every end of a run lets go of the image, so the next run (or
      // another program) can open it again.
      if (action.outcome == RunOutcome::Finished) {
        // Blocks of a held image are the bytes it hashed, each proven: sent
        // one after the other from the first byte to the last, they are the
        // image, by construction; anything else is not.
        if (!held_) {
          sentSha256_ = sentHash_.FinishHex();
        } else if (heldInOrder_ && heldSent_ == held_->Length()) {
          sentSha256_ = held_->Sha256();
        }
      }
      image_.Close();
      source_ = nullptr;
      held_.reset();
      prepared_.held.reset();
      inProgress_ = false;
      outcome_ = action.outcome;
      failure_ = action.failure;
      WordFailure(failure_, action.count, action.total);
      port_->RunEnded(outcome_, failure_);
      return;
  }
}

void DownloadJob::SendImageRange(std::uint64_t offset, std::uint32_t size) {
  // A kept image's block goes out from the bytes every run shares: no copy
  // of it per device.
  const std::uint8_t* block = held_ ? held_->KeptBlock(offset, size) : nullptr;
  if (block == nullptr) {
    blockBuffer_.resize(size);
    if (held_) {
      const FileStatus read = held_->ReadBlock(offset, blockBuffer_.data(), size);
      if (!read.ok()) {
        Feed(Event::ImageReadFailed(read.reason));
        return;
      }
    }
    std::uint32_t got = held_ ? size : 0;
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
    block = blockBuffer_.data();
  }
  // A repeated size request starts the image again from its first byte.
  if (held_) {
    if (offset == 0) heldInOrder_ = true;
    if (offset != (offset == 0 ? 0 : heldSent_)) heldInOrder_ = false;
    heldSent_ = offset + size;
  } else {
    if (offset == 0) sentHash_.Reset();
    sentHash_.Update(block, size);
  }
  port_->Send(block, size);
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

const Failure& DownloadJob::LastFailure() const { return failure_; }

RunOutcome DownloadJob::LastOutcome() const { return outcome_; }

}  // namespace mervix
