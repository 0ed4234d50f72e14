// Every state and transition of the protocol session.
//
// Where the machine is (Step) decides what an event does; each step has one
// function below, and each of them names every event: what it does in that
// step, that it is held or ignored there (and why), or that it cannot come
// from a runner that keeps its contract. Which acknowledgement is awaited
// (DownloadState) then decides what a whole response frame does:
//
//   Step           event               -> actions, next step
//   ------------   -----------------   --------------------------------------------------------
//   Off            RunStarted          Connect                                   -> Connecting
//                                      (empty or unavailable image: box, log, end Failed)
//   Connecting     Connected           note Connected, StatusQuery               -> AwaitReply
//                  ConnectFailed       Ask the retry question                    -> AskingRetry
//                                      (with retries: note Retry, Pause         -> RetryPause)
//                  ConnectFailed (no socket)  box, log, end Failed
//   AskingRetry    Yes                 Connect                                   -> Connecting
//                  No                  box, log, end Failed
//   AwaitReply     SendDone            what arrived meanwhile is handled now
//                  bytes, PeerClosed   held while the send is out, else:
//                  a whole frame:
//                    Ack, SwitchRequested   Close, Pause                         -> Pausing
//                    Ack, SizeRequested     state SendingBlocks, first block     -> AwaitReply
//                    Ack, SendingBlocks     last block: note, Close, box, note, end Finished
//                                           else note BlockSent, next block      -> AwaitReply
//                    Ack, Idle/SectorRequested   failure UnexpectedAck
//                    status 1               state SwitchRequested, note, SwitchRequest
//                    status 2, user module  state SectorRequested, note, SectorRequest
//                    status 2 or 3          Ask the write confirmation           -> AskingConfirm
//                    bad status, bad code, Nak   failure
//                  bytes behind a whole frame    failure FrameLength (but after the last
//                                                block's Ack: ignored, the run finishes)
//                  PeerClosed          failure FrameLength
//                  SendFailed          failure SendFailed
//                  ImageReadFailed     failure ImageUnreadable
//                  TimedOut            failure NoResponse
//   Pausing        PauseElapsed        Connect (a reconnect)                     -> Connecting
//   AskingConfirm  OK                  state SizeRequested, note, SizeRequest    -> AwaitReply
//                  Cancel              Close, note Cancelled, end Cancelled
//                  bytes, PeerClosed   held until the answer (and the size request has gone)
//   RetryPause     PauseElapsed        start again (after a failure) or Connect  -> Connecting
//   any running    Stop                AwaitReply: ends when the response comes (Stopped);
//                                      else at once: Close, note Stopped, end Stopped
//                  Stop (closing)      Close with drain, end Closed (no box)
//
// A failure: a transport failure with retries left (and no stop pending) is
// noted with its cause, the connection closed, and the run starts again
// after the retry pause; any other is a box, a note with its cause, the
// connection closed and the end Failed. Every end emits Progress(Done) and
// then RunEnded, always as the last action of the event, from End() only;
// the machine is Off afterwards.
#include "protocol/SessionMachine.h"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace mervix {

bool IsRetryableFailure(const Failure& failure) {
  if (failure.origin != FailureOrigin::Link) return false;
  // No socket at all: another try cannot fare better.
  if (failure.code == FailureCode::NoSocket) return false;
  // The last block went out: the device may have the whole image, and a
  // second run would write it again.
  if (failure.phase == RunPhase::Block && failure.blocks > 0 && failure.block >= failure.blocks) return false;
  if (failure.phase == RunPhase::Finished) return false;
  return true;
}

Event Event::Start(RunRequest run) {
  Event e;
  e.kind = EventKind::RunStarted;
  e.run = std::move(run);
  return e;
}

Event Event::Connected() {
  Event e;
  e.kind = EventKind::Connected;
  return e;
}

Event Event::ConnectFailed(std::string reason, bool noSocket) {
  Event e;
  e.kind = EventKind::ConnectFailed;
  e.detail = std::move(reason);
  e.noSocket = noSocket;
  return e;
}

Event Event::Received(const std::uint8_t* data, std::size_t size) {
  Event e;
  e.kind = EventKind::BytesReceived;
  e.data = data;
  e.size = size;
  return e;
}

Event Event::PeerClosed() {
  Event e;
  e.kind = EventKind::PeerClosed;
  return e;
}

Event Event::SendFailed(std::string reason) {
  Event e;
  e.kind = EventKind::SendFailed;
  e.detail = std::move(reason);
  return e;
}

Event Event::ImageReadFailed(std::string reason) {
  Event e;
  e.kind = EventKind::ImageReadFailed;
  e.detail = std::move(reason);
  return e;
}

Event Event::Answered(Answer answer) {
  Event e;
  e.kind = EventKind::Answered;
  e.answer = answer;
  return e;
}

Event Event::PauseElapsed() {
  Event e;
  e.kind = EventKind::PauseElapsed;
  return e;
}

Event Event::TimedOut(std::string reason) {
  Event e;
  e.kind = EventKind::TimedOut;
  e.detail = std::move(reason);
  return e;
}

Event Event::Stop(bool closing) {
  Event e;
  e.kind = EventKind::StopRequested;
  e.closing = closing;
  return e;
}

Event Event::SendDone() {
  Event e;
  e.kind = EventKind::SendDone;
  return e;
}

// The actions of one event, appended in order.
struct SessionMachine::Out {
  std::vector<Action>& actions;

  Action& Add(ActionKind kind) {
    actions.emplace_back();
    actions.back().kind = kind;
    return actions.back();
  }
  Action& Log(mervix::Note note) {
    Action& a = Add(ActionKind::Log);
    a.note = note;
    return a;
  }
  void Cause(const Failure& failure) { Log(mervix::Note::Cause).failure = failure; }
  void Tell(mervix::Notice notice, const Failure& failure = Failure()) {
    Action& a = Add(ActionKind::Tell);
    a.notice = notice;
    a.failure = failure;
  }
  void Frame(const ProtocolFrame& frame) { Add(ActionKind::SendFrame).frame = frame; }
  void Close(bool drain) { Add(ActionKind::Close).drain = drain; }
};

const SessionMachine::StepFunction SessionMachine::kSteps[] = {
    &SessionMachine::InOff,          // Step::Off
    &SessionMachine::InConnecting,   // Step::Connecting
    &SessionMachine::InAskingRetry,  // Step::AskingRetry
    &SessionMachine::InAwaitReply,   // Step::AwaitReply
    &SessionMachine::InPausing,      // Step::Pausing
    &SessionMachine::InAskingConfirm,  // Step::AskingConfirm
    &SessionMachine::InRetryPause,   // Step::RetryPause
};

void SessionMachine::Handle(const Event& event, std::vector<Action>& actions) {
  Out out{actions};
  (this->*kSteps[static_cast<int>(step_)])(event, out);
}

void SessionMachine::Violation(const Event& event) {
  ++violations_;
  (void)event;
  assert(!"an event the session's transition table does not name for its step");
}

// ---------------------------------------------------------------------------
// The transition table

void SessionMachine::InOff(const Event& event, Out& out) {
  switch (event.kind) {
    case EventKind::RunStarted:
      run_ = event.run;
      retriesUsed_ = 0;
      StartRun(out);
      return;
    case EventKind::StopRequested:
      return;  // a stop that crossed the end of the run: nothing to stop
    case EventKind::Connected:
    case EventKind::ConnectFailed:
    case EventKind::BytesReceived:
    case EventKind::SendDone:
    case EventKind::PeerClosed:
    case EventKind::SendFailed:
    case EventKind::ImageReadFailed:
    case EventKind::Answered:
    case EventKind::PauseElapsed:
    case EventKind::TimedOut:
      break;  // every connection, question and pause ended with the run
  }
  Violation(event);
}

void SessionMachine::InConnecting(const Event& event, Out& out) {
  switch (event.kind) {
    case EventKind::Connected:
      OnConnected(out);
      return;
    case EventKind::ConnectFailed:
      OnConnectFailed(event, out);
      return;
    case EventKind::TimedOut:
      Fail(FailureCode::NoResponse, FailureOrigin::Link, event.detail, out);
      return;
    case EventKind::StopRequested:
      OnStop(event.closing, out);
      return;
    case EventKind::RunStarted:
    case EventKind::BytesReceived:
    case EventKind::SendDone:
    case EventKind::PeerClosed:
    case EventKind::SendFailed:
    case EventKind::ImageReadFailed:
    case EventKind::Answered:
    case EventKind::PauseElapsed:
      break;  // nothing is open, sent, asked or paused while connecting
  }
  Violation(event);
}

void SessionMachine::InAskingRetry(const Event& event, Out& out) {
  switch (event.kind) {
    case EventKind::Answered:
      if (event.answer == Answer::Yes) {
        Connect(out);
      } else {
        Fail(FailureCode::NoConnection, FailureOrigin::Link, lastConnectError_, out);
      }
      return;
    case EventKind::StopRequested:
      OnStop(event.closing, out);
      return;
    case EventKind::RunStarted:
    case EventKind::Connected:
    case EventKind::ConnectFailed:
    case EventKind::BytesReceived:
    case EventKind::SendDone:
    case EventKind::PeerClosed:
    case EventKind::SendFailed:
    case EventKind::ImageReadFailed:
    case EventKind::PauseElapsed:
    case EventKind::TimedOut:
      break;  // no connection exists while the retry question is open
  }
  Violation(event);
}

void SessionMachine::InAwaitReply(const Event& event, Out& out) {
  switch (event.kind) {
    case EventKind::BytesReceived:
      Receive(event.data, event.size, out);
      return;
    case EventKind::SendDone:
      if (!sendOut_) break;
      sendOut_ = false;
      DeliverHeld(out);
      return;
    case EventKind::PeerClosed:
      if (sendOut_) {
        heldClose_ = true;  // told once the send has gone, or dropped if it fails
        return;
      }
      OnPeerClosed(out);
      return;
    case EventKind::SendFailed:
      // What the device sent meanwhile cannot be a reply to a request it
      // never had whole.
      held_.clear();
      heldClose_ = false;
      Fail(FailureCode::SendFailed, FailureOrigin::Link, event.detail, out);
      return;
    case EventKind::ImageReadFailed:
      Fail(FailureCode::ImageUnreadable, FailureOrigin::File, event.detail, out);
      return;
    case EventKind::TimedOut:
      Fail(FailureCode::NoResponse, FailureOrigin::Link, event.detail, out);
      return;
    case EventKind::StopRequested:
      OnStop(event.closing, out);
      return;
    case EventKind::RunStarted:
    case EventKind::Connected:
    case EventKind::ConnectFailed:
    case EventKind::Answered:
    case EventKind::PauseElapsed:
      break;  // the connection is made, no question is open, no pause runs
  }
  Violation(event);
}

void SessionMachine::InPausing(const Event& event, Out& out) {
  switch (event.kind) {
    case EventKind::PauseElapsed:
      reconnecting_ = true;
      Connect(out);
      return;
    case EventKind::StopRequested:
      OnStop(event.closing, out);
      return;
    case EventKind::RunStarted:
    case EventKind::Connected:
    case EventKind::ConnectFailed:
    case EventKind::BytesReceived:
    case EventKind::SendDone:
    case EventKind::PeerClosed:
    case EventKind::SendFailed:
    case EventKind::ImageReadFailed:
    case EventKind::Answered:
    case EventKind::TimedOut:
      break;  // the connection was closed before the pause
  }
  Violation(event);
}

void SessionMachine::InAskingConfirm(const Event& event, Out& out) {
  switch (event.kind) {
    case EventKind::Answered:
      OnConfirmAnswer(event.answer, out);
      return;
    case EventKind::BytesReceived:
      Receive(event.data, event.size, out);
      return;
    case EventKind::PeerClosed:
      heldClose_ = true;
      return;
    case EventKind::TimedOut:
      // The operator takes the time the question needs; a deadline the
      // runner still had running is not the device falling silent.
      return;
    case EventKind::StopRequested:
      OnStop(event.closing, out);
      return;
    case EventKind::RunStarted:
    case EventKind::Connected:
    case EventKind::ConnectFailed:
    case EventKind::SendDone:
    case EventKind::SendFailed:
    case EventKind::ImageReadFailed:
    case EventKind::PauseElapsed:
      break;  // nothing is sent or paused while the question is open
  }
  Violation(event);
}

void SessionMachine::InRetryPause(const Event& event, Out& out) {
  switch (event.kind) {
    case EventKind::PauseElapsed:
      if (restartAfterPause_) {
        StartRun(out);
      } else {
        Connect(out);
      }
      return;
    case EventKind::StopRequested:
      OnStop(event.closing, out);
      return;
    case EventKind::RunStarted:
    case EventKind::Connected:
    case EventKind::ConnectFailed:
    case EventKind::BytesReceived:
    case EventKind::SendDone:
    case EventKind::PeerClosed:
    case EventKind::SendFailed:
    case EventKind::ImageReadFailed:
    case EventKind::Answered:
    case EventKind::TimedOut:
      break;  // the connection was closed before the pause
  }
  Violation(event);
}

// ---------------------------------------------------------------------------
// Starting and connecting

void SessionMachine::StartRun(Out& out) {
  // A run starts with no acknowledgement awaited: an Ack to its first query
  // must never be taken for the end of an earlier run's image.
  state_ = DownloadState::Idle;
  outcome_ = RunOutcome::None;
  failure_ = Failure();
  reconnecting_ = false;
  connected_ = false;
  frameFill_ = 0;
  held_.clear();
  heldClose_ = false;
  nextOffset_ = 0;
  acknowledged_ = 0;
  blockIndex_ = 0;
  endOfImage_ = false;
  outstanding_ = false;
  sendOut_ = false;
  stopPending_ = false;
  restartAfterPause_ = false;
  phase_ = RunPhase::Connect;
  step_ = Step::Connecting;
  if (!run_.imageProblem.empty()) {
    phase_ = RunPhase::Prepare;
    Fail(FailureCode::ImageUnavailable, FailureOrigin::File, run_.imageProblem, out);
    return;
  }
  // An empty image has no block whose acknowledgement could end the run:
  // refused before the device is touched.
  if (run_.imageLength == 0) {
    Fail(FailureCode::ImageEmpty, FailureOrigin::File, "", out);
    return;
  }
  Connect(out);
}

void SessionMachine::Connect(Out& out) {
  step_ = Step::Connecting;
  phase_ = reconnecting_ ? RunPhase::Reconnect : RunPhase::Connect;
  out.Add(ActionKind::Progress).progress =
      CurrentProgress(reconnecting_ ? ProgressPhase::Reconnecting : ProgressPhase::Connecting);
  Action& a = out.Add(ActionKind::Connect);
  a.host = run_.host;
  a.port = run_.port;
}

void SessionMachine::OnConnected(Out& out) {
  connected_ = true;
  lastConnectError_.clear();
  out.Log(Note::Connected);
  // DownloadState is not changed by the query: after a reconnect it stays
  // SwitchRequested until the next request sets it.
  SendRequest(BuildStatusQuery(), RunPhase::Status, ProgressPhase::Querying, out);
}

void SessionMachine::OnConnectFailed(const Event& event, Out& out) {
  lastConnectError_ = event.detail.empty() ? "connection failed" : event.detail;
  if (event.noSocket) {
    Fail(FailureCode::NoSocket, FailureOrigin::Link, lastConnectError_, out);
    return;
  }
  if (run_.retry.retries > 0) {
    // The policy answers the retry question: again after the pause while retries are
    // left, else the run fails as after No.
    if (RetryLeft()) {
      BeginRetry(MakeFailure(FailureCode::NoConnection, FailureOrigin::Link, lastConnectError_), false, out);
    } else {
      Fail(FailureCode::NoConnection, FailureOrigin::Link, lastConnectError_, out);
    }
    return;
  }
  step_ = Step::AskingRetry;
  Action& a = out.Add(ActionKind::Ask);
  a.question = Question::Retry;
  a.buttons = ButtonSet::YesNo;
  a.failure = MakeFailure(FailureCode::NoConnection, FailureOrigin::Link, lastConnectError_);
}

// ---------------------------------------------------------------------------
// The operator's answer to the confirmation

void SessionMachine::OnConfirmAnswer(Answer answer, Out& out) {
  if (answer != Answer::Ok) {
    // Nothing is sent; the device sees the connection close.
    out.Close(false);
    out.Log(Note::Cancelled);
    End(RunOutcome::Cancelled,
        MakeFailure(FailureCode::Cancelled, FailureOrigin::Cancelled, "the permanent write was not confirmed"), out);
    return;
  }
  state_ = DownloadState::SizeRequested;
  out.Log(Note::Start);
  endOfImage_ = false;
  // What the device sent while the question was open stays held until the
  // size request has gone, and is then handled as the reply to it.
  SendRequest(BuildSizeRequest(run_.imageLength), RunPhase::Size, ProgressPhase::Size, out);
}

// ---------------------------------------------------------------------------
// Receiving

void SessionMachine::Receive(const std::uint8_t* data, std::size_t size, Out& out) {
  if (size == 0) return;
  // A reply can only follow a request the device has whole, and the
  // operator's answer comes before what the device said meanwhile.
  if (sendOut_ || step_ == Step::AskingConfirm) {
    held_.insert(held_.end(), data, data + size);
    return;
  }
  OnBytes(data, size, out);
}

void SessionMachine::DeliverHeld(Out& out) {
  if (held_.empty() && !heldClose_) return;
  std::vector<std::uint8_t> held;
  held.swap(held_);
  const bool closed = heldClose_;
  heldClose_ = false;
  if (!held.empty()) Receive(held.data(), held.size(), out);
  if (!closed) return;
  // The reply led to a question or another send: the close stays held
  // behind it, as it would have been had it come then.
  if (step_ == Step::AskingConfirm || (step_ == Step::AwaitReply && sendOut_)) {
    heldClose_ = true;
    return;
  }
  if (step_ == Step::AwaitReply) OnPeerClosed(out);
}

void SessionMachine::OnBytes(const std::uint8_t* data, std::size_t size, Out& out) {
  // TCP is a byte stream: a frame may come in several pieces, so the bytes
  // are gathered across deliveries until eight are there.
  std::size_t used = 0;
  while (used < size && step_ == Step::AwaitReply) {
    const std::size_t take = std::min(kFrameSize - frameFill_, size - used);
    std::memcpy(frame_ + frameFill_, data + used, take);
    frameFill_ += take;
    used += take;
    if (frameFill_ < kFrameSize) return;
    ProtocolFrame frame;
    std::memcpy(frame.data(), frame_, kFrameSize);
    frameFill_ = 0;
    outstanding_ = false;
    OnFrame(frame, used < size, out);
  }
}

void SessionMachine::OnPeerClosed(Out& out) {
  // The device closed before its whole response had come.
  Fail(FailureCode::FrameLength, FailureOrigin::Link,
       frameFill_ > 0 ? "the device closed the connection after " + std::to_string(frameFill_) + " of 8 bytes"
                      : "the device closed the connection",
       out);
}

void SessionMachine::OnFrame(const ProtocolFrame& frame, bool moreBytesFollow, Out& out) {
  const ResponseClass response = ClassifyResponse(frame);
  const bool lastAck =
      response.kind == ResponseKind::Ack && state_ == DownloadState::SendingBlocks && endOfImage_;
  if (lastAck) {
    // The device has the whole image: whatever it sends after this Ack does
    // not change the verdict.
    Finish(out);
    return;
  }
  if (moreBytesFollow) {
    // Lock-step allows exactly one frame per request: bytes already behind
    // it are a protocol error.
    Fail(FailureCode::FrameLength, FailureOrigin::Protocol, "more than 8 bytes arrived in reply to one request",
         out);
    return;
  }
  switch (response.kind) {
    case ResponseKind::Ack:
      OnAck(out);
      return;
    case ResponseKind::StatusReply:
      if (stopPending_) {
        EndStopped(out);
        return;
      }
      if (response.status == 1) {
        state_ = DownloadState::SwitchRequested;
        out.Log(Note::ModeSwitch);
        SendRequest(BuildSwitchRequest(), RunPhase::Switch, ProgressPhase::ModeSwitch, out);
      } else if (response.status == 2 && run_.userModule) {
        state_ = DownloadState::SectorRequested;
        out.Log(Note::SpecialSector);
        SendRequest(BuildSectorRequest(run_.sectorAddress), RunPhase::Sector, ProgressPhase::Sector, out);
      } else {
        AskConfirmation(out);
      }
      return;
    case ResponseKind::Nak: {
      char flags[16];
      std::snprintf(flags, sizeof flags, "0x%04X", static_cast<unsigned>(response.nakFlags));
      Fail(FailureCode::Refused, FailureOrigin::DeviceRefusal, std::string("refusal flags ") + flags, out,
           response.nakFlags);
      return;
    }
    case ResponseKind::BadStatus:
    case ResponseKind::BadCode: {
      char bytes[32];
      std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X %02X %02X %02X %02X", frame[0], frame[1], frame[2],
                    frame[3], frame[4], frame[5], frame[6], frame[7]);
      Fail(response.kind == ResponseKind::BadStatus ? FailureCode::BadStatus : FailureCode::BadCode,
           FailureOrigin::Protocol, std::string("response ") + bytes, out);
      return;
    }
  }
}

void SessionMachine::OnAck(Out& out) {
  switch (state_) {
    case DownloadState::SwitchRequested:
      // The device switches into download mode after acknowledging; it
      // takes a new connection after a pause.
      if (stopPending_) {
        EndStopped(out);
        return;
      }
      out.Close(false);
      connected_ = false;
      step_ = Step::Pausing;
      out.Add(ActionKind::Progress).progress = CurrentProgress(ProgressPhase::ModeSwitch);
      out.actions.back().progress.pausing = true;
      out.Add(ActionKind::Pause).milliseconds = pauseMs_;
      return;
    case DownloadState::SizeRequested:
      state_ = DownloadState::SendingBlocks;
      // A repeated confirmation starts the image again from its first byte.
      nextOffset_ = 0;
      acknowledged_ = 0;
      if (stopPending_) {
        EndStopped(out);
        return;
      }
      SendBlock(out);
      return;
    case DownloadState::SendingBlocks:
      acknowledged_ = nextOffset_;
      if (stopPending_) {
        EndStopped(out);
        return;
      }
      out.Log(Note::BlockSent);
      SendBlock(out);
      return;
    case DownloadState::Idle:
    case DownloadState::SectorRequested:
      // No acknowledgement is awaited in these steps.
      Fail(FailureCode::UnexpectedAck, FailureOrigin::Protocol, "an acknowledgement came when none was awaited",
           out);
      return;
  }
}

// ---------------------------------------------------------------------------
// Requests

void SessionMachine::SendRequest(const ProtocolFrame& frame, RunPhase phase, ProgressPhase progress, Out& out) {
  phase_ = phase;
  step_ = Step::AwaitReply;
  outstanding_ = true;
  sendOut_ = true;
  out.Add(ActionKind::Progress).progress = CurrentProgress(progress);
  out.Frame(frame);
}

void SessionMachine::AskConfirmation(Out& out) {
  phase_ = RunPhase::Size;
  step_ = Step::AskingConfirm;
  out.Add(ActionKind::Progress).progress = CurrentProgress(ProgressPhase::Confirming);
  Action& a = out.Add(ActionKind::Ask);
  a.question = Question::Confirm;
  a.buttons = ButtonSet::OkCancel;
}

void SessionMachine::SendBlock(Out& out) {
  // Block k carries the image from k x 64 KB to the next 64 KB or the end;
  // exactly the announced length goes out, the last block maybe shorter.
  const std::uint64_t left = run_.imageLength - nextOffset_;
  const std::uint32_t size = left < kBlockSize ? static_cast<std::uint32_t>(left) : kBlockSize;
  blockIndex_ = static_cast<std::uint32_t>(nextOffset_ / kBlockSize);
  phase_ = RunPhase::Block;
  step_ = Step::AwaitReply;
  outstanding_ = true;
  sendOut_ = true;
  Action& send = out.Add(ActionKind::SendImage);
  send.offset = nextOffset_;
  send.size = size;
  nextOffset_ += size;
  if (nextOffset_ >= run_.imageLength) endOfImage_ = true;
  out.Add(ActionKind::Progress).progress = CurrentProgress(ProgressPhase::Sending);
}

// ---------------------------------------------------------------------------
// Ends of a run

void SessionMachine::Finish(Out& out) {
  acknowledged_ = run_.imageLength;
  phase_ = RunPhase::Finished;
  // The count is the whole image in kilobytes, rounded up (1,500 bytes give
  // 2), which is what an operator reads the line as.
  out.Log(Note::Kilobytes).count = (static_cast<std::uint64_t>(run_.imageLength) + 1023) / 1024;
  out.Close(false);
  out.Tell(Notice::Finished);
  out.Log(Note::Finished);
  End(RunOutcome::Finished, Failure(), out);
}

void SessionMachine::Fail(FailureCode code, FailureOrigin origin, const std::string& detail, Out& out,
                          std::uint16_t nakFlags) {
  Failure failure = MakeFailure(code, origin, detail);
  failure.nakFlags = nakFlags;
  // Connect failures have no connection to close; a time-out while
  // connecting abandons the attempt still out.
  const bool open = step_ == Step::AwaitReply || step_ == Step::AskingConfirm ||
                    (step_ == Step::Connecting && code == FailureCode::NoResponse);
  if (run_.retry.retries > 0 && IsRetryableFailure(failure) && RetryLeft() && !stopPending_) {
    // No box: the log keeps the cause, the retry line follows, and the run
    // starts again after the pause.
    out.Cause(failure);
    if (open) out.Close(false);
    BeginRetry(failure, true, out);
    return;
  }
  // The box comes first, while the connection is still open; the log keeps
  // the cause once the box is gone.
  out.Tell(Notice::Failure, failure);
  out.Cause(failure);
  if (open) out.Close(false);
  End(RunOutcome::Failed, failure, out);
}

void SessionMachine::BeginRetry(const Failure& cause, bool restart, Out& out) {
  ++retriesUsed_;
  Action& line = out.Log(Note::Retry);
  line.retry = retriesUsed_;
  line.retries = run_.retry.retries;
  line.milliseconds = run_.retry.pauseMs;
  line.failure = cause;
  step_ = Step::RetryPause;
  restartAfterPause_ = restart;
  connected_ = false;
  outstanding_ = false;
  sendOut_ = false;
  frameFill_ = 0;
  held_.clear();
  heldClose_ = false;
  // A stop while the pause runs is a stop before the connection.
  if (restart) phase_ = RunPhase::Connect;
  out.Add(ActionKind::Pause).milliseconds = run_.retry.pauseMs;
}

void SessionMachine::OnStop(bool closing, Out& out) {
  if (closing) {
    // The window is closing: no box, the connection drained and closed.
    out.Close(connected_);
    End(RunOutcome::Closed,
        MakeFailure(FailureCode::WindowClosed, FailureOrigin::Cancelled, "the window was closed during the run"), out);
    return;
  }
  if (step_ == Step::AwaitReply) {
    // The request or block in flight is answered first, so the device is
    // never left in the middle of one.
    stopPending_ = true;
    return;
  }
  EndStopped(out);
}

void SessionMachine::EndStopped(Out& out) {
  out.Close(false);
  // What the device has of the image: the bytes it acknowledged.
  Action& line = out.Log(Note::Stopped);
  line.count = acknowledged_;
  line.total = run_.imageLength;
  End(RunOutcome::Stopped, MakeFailure(FailureCode::Stopped, FailureOrigin::Cancelled, "stopped by the operator"),
      out);
}

void SessionMachine::End(RunOutcome outcome, Failure failure, Out& out) {
  step_ = Step::Off;
  connected_ = false;
  outstanding_ = false;
  sendOut_ = false;
  stopPending_ = false;
  frameFill_ = 0;
  held_.clear();
  heldClose_ = false;
  outcome_ = outcome;
  failure_ = std::move(failure);
  out.Add(ActionKind::Progress).progress = CurrentProgress(ProgressPhase::Done);
  Action& end = out.Add(ActionKind::RunEnded);
  end.outcome = outcome_;
  end.failure = failure_;
  end.count = acknowledged_;
  end.total = run_.imageLength;
}

Failure SessionMachine::MakeFailure(FailureCode code, FailureOrigin origin, const std::string& detail) const {
  Failure failure;
  failure.origin = origin;
  failure.code = code;
  failure.phase = phase_;
  if (phase_ == RunPhase::Block) {
    failure.block = blockIndex_ + 1;
    failure.blocks = Blocks();
  }
  failure.detail = detail;
  return failure;
}

std::uint32_t SessionMachine::Blocks() const {
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(run_.imageLength) + kBlockSize - 1) / kBlockSize);
}

Progress SessionMachine::CurrentProgress(ProgressPhase phase) const {
  Progress p;
  p.phase = phase;
  p.bytesSent = state_ == DownloadState::SendingBlocks ? nextOffset_ : 0;
  p.bytesAcknowledged = acknowledged_;
  p.total = run_.imageLength;
  p.blocks = Blocks();
  p.block = phase_ == RunPhase::Block || phase == ProgressPhase::Sending ? blockIndex_ + 1 : 0;
  return p;
}

}  // namespace mervix
