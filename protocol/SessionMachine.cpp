// Every state and transition of the protocol session.
//
// Where the machine is (Step) and which acknowledgement it awaits
// (DownloadState) together decide what an event does:
//
//   Step           event              -> actions, next step
//   ------------   ----------------   ---------------------------------------------------------
//   Off            RunStarted         Connect                                    -> Connecting
//                  (anything else)    nothing
//   Connecting     Connected          Log "<host> Connecting...", StatusQuery     -> AwaitReply
//                  ConnectFailed      Ask "Retry?"                               -> AskingRetry
//                  ConnectFailed (no socket)  boxes 129, 109, end Failed
//   AskingRetry    Yes                Connect                                    -> Connecting
//                  No                 box 109, end Failed
//   AwaitReply     a whole frame:
//                    Ack, SwitchRequested   Close, Pause                          -> Pausing
//                    Ack, SizeRequested     state SendingBlocks, first block      -> AwaitReply
//                    Ack, SendingBlocks     last block: log, Close, box 112, log, end Finished
//                                           else log "64K bytes sent", next block -> AwaitReply
//                    Ack, Idle/SectorRequested   box 115, Close, end Failed
//                    status 1               state SwitchRequested, log, SwitchRequest
//                    status 2, user module  state SectorRequested, log, SectorRequest
//                    status 2 or 3          Ask "Permanent write! Continue?"     -> AskingConfirm
//                    bad status, bad code, Nak   box (Nak 118: a second box), Close, end Failed
//                  bytes behind a whole frame    box 128, Close, end Failed (but after the
//                                                last block's Ack: ignored, the run finishes)
//                  PeerClosed         box 128, Close, end Failed
//                  SendFailed         box "Send error", Close, end Failed
//                  ImageReadFailed    box "Cannot read the image file", Close, end Failed
//                  TimedOut           Close, end Failed (no box)
//   Pausing        PauseElapsed       Connect (a reconnect)                      -> Connecting
//   AskingConfirm  OK                 state SizeRequested, log, SizeRequest      -> AwaitReply,
//                                     then what arrived meanwhile is handled
//                  Cancel             Close, log "Download cancelled", end Cancelled
//                  bytes, PeerClosed  held until the answer
//   any running    Stop               AwaitReply: ends when the response comes (Stopped);
//                                     else at once: Close, log "Download stopped", end Stopped
//                  Stop (closing)     Close with drain, end Closed (no box)
//
// Every end emits Progress(Done) and then RunEnded, always as the last
// action of the event; the machine is Off afterwards.
#include "protocol/SessionMachine.h"

#include "resources/MessageTable.h"

#include <cstring>

namespace mervix {

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

// The actions of one event, appended in order.
struct SessionMachine::Out {
  std::vector<Action>& actions;

  Action& Add(ActionKind kind) {
    actions.emplace_back();
    actions.back().kind = kind;
    return actions.back();
  }
  void Log(std::string text) { Add(ActionKind::Log).text = std::move(text); }
  void Box(std::uint16_t messageId, std::string text, std::string detail = std::string()) {
    Action& a = Add(ActionKind::ShowMessage);
    a.messageId = messageId;
    a.text = std::move(text);
    a.detail = std::move(detail);
  }
  void Frame(const ProtocolFrame& frame) { Add(ActionKind::SendFrame).frame = frame; }
  void Close(bool drain) { Add(ActionKind::Close).drain = drain; }
};

void SessionMachine::Handle(const Event& event, std::vector<Action>& actions) {
  Out out{actions};
  if (event.kind == EventKind::RunStarted) {
    if (!running_) StartRun(event.run, out);
    return;
  }
  if (!running_) return;
  switch (event.kind) {
    case EventKind::RunStarted:
      return;
    case EventKind::Connected:
      if (step_ == Step::Connecting) OnConnected(out);
      return;
    case EventKind::ConnectFailed:
      if (step_ == Step::Connecting) OnConnectFailed(event, out);
      return;
    case EventKind::BytesReceived:
      OnBytes(event.data, event.size, out);
      return;
    case EventKind::PeerClosed:
      OnPeerClosed(out);
      return;
    case EventKind::SendFailed:
      // Only a connection that is open can fail a send of ours.
      if (connected_) FailWithText(FailureOrigin::Link, IDS_ERROR_SEND, event.detail, out);
      return;
    case EventKind::ImageReadFailed:
      if (connected_) FailWithText(FailureOrigin::File, IDS_ERROR_IMAGE_READ, event.detail, out);
      return;
    case EventKind::Answered:
      if (step_ == Step::AskingRetry || step_ == Step::AskingConfirm) OnAnswer(event.answer, out);
      return;
    case EventKind::PauseElapsed:
      if (step_ == Step::Pausing) OnPauseElapsed(out);
      return;
    case EventKind::TimedOut:
      if (step_ == Step::AwaitReply || step_ == Step::Connecting) {
        LogCause(FormatMessageText(IDS_ERROR_NO_RESPONSE), event.detail, out);
        out.Close(false);
        End(RunOutcome::Failed,
            MakeFailure(FailureOrigin::Link, IDS_ERROR_NO_RESPONSE, FormatMessageText(IDS_ERROR_NO_RESPONSE),
                        event.detail),
            out);
      }
      return;
    case EventKind::StopRequested:
      OnStop(event.closing, out);
      return;
  }
}

// ---------------------------------------------------------------------------
// Starting and connecting

void SessionMachine::StartRun(const RunRequest& run, Out& out) {
  run_ = run;
  running_ = true;
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
  stopPending_ = false;
  phase_ = RunPhase::Connect;
  // An empty image has no block whose acknowledgement could end the run:
  // refused before the device is touched.
  if (run_.imageLength == 0) {
    out.Box(IDS_ERROR_IMAGE_EMPTY, FormatMessageText(IDS_ERROR_IMAGE_EMPTY));
    LogCause(FormatMessageText(IDS_ERROR_IMAGE_EMPTY), "", out);
    End(RunOutcome::Failed,
        MakeFailure(FailureOrigin::File, IDS_ERROR_IMAGE_EMPTY, FormatMessageText(IDS_ERROR_IMAGE_EMPTY), ""), out);
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
  out.Log(FormatConnectedLine(run_.host));
  // DownloadState is not changed by the query: after a reconnect it stays
  // SwitchRequested until the next request sets it.
  SendRequest(BuildStatusQuery(), RunPhase::Status, ProgressPhase::Querying, out);
}

void SessionMachine::OnConnectFailed(const Event& event, Out& out) {
  lastConnectError_ = event.detail.empty() ? "connection failed" : event.detail;
  if (event.noSocket) {
    out.Box(IDS_ERROR_SOCKET, FormatMessageText(IDS_ERROR_SOCKET), lastConnectError_);
    out.Box(IDS_ERROR_CONNECT, FormatMessageText(IDS_ERROR_CONNECT), lastConnectError_);
    LogCause(FormatMessageText(IDS_ERROR_CONNECT), lastConnectError_, out);
    End(RunOutcome::Failed,
        MakeFailure(FailureOrigin::Link, IDS_ERROR_SOCKET, FormatMessageText(IDS_ERROR_SOCKET), lastConnectError_),
        out);
    return;
  }
  step_ = Step::AskingRetry;
  Action& a = out.Add(ActionKind::Ask);
  a.question = Question::Retry;
  a.buttons = ButtonSet::YesNo;
  a.messageId = IDS_ASK_RETRY;
  a.text = FormatMessageText(IDS_ASK_RETRY);
  a.detail = lastConnectError_;
}

void SessionMachine::OnPauseElapsed(Out& out) {
  reconnecting_ = true;
  Connect(out);
}

// ---------------------------------------------------------------------------
// The operator's answers

void SessionMachine::OnAnswer(Answer answer, Out& out) {
  if (step_ == Step::AskingRetry) {
    if (answer == Answer::Yes) {
      Connect(out);
      return;
    }
    out.Box(IDS_ERROR_CONNECT, FormatMessageText(IDS_ERROR_CONNECT), lastConnectError_);
    LogCause(FormatMessageText(IDS_ERROR_CONNECT), lastConnectError_, out);
    End(RunOutcome::Failed,
        MakeFailure(FailureOrigin::Link, IDS_ERROR_CONNECT, FormatMessageText(IDS_ERROR_CONNECT), lastConnectError_),
        out);
    return;
  }
  // The confirmation of the permanent write.
  if (answer != Answer::Ok) {
    // Nothing is sent; the device sees the connection close.
    out.Close(false);
    out.Log(FormatMessageText(IDS_INFO_CANCELLED) + "\r\n");
    End(RunOutcome::Cancelled,
        MakeFailure(FailureOrigin::Cancelled, IDS_INFO_CANCELLED, FormatMessageText(IDS_INFO_CANCELLED),
                    "the permanent write was not confirmed"),
        out);
    return;
  }
  state_ = DownloadState::SizeRequested;
  out.Log(FormatMessageText(IDS_INFO_START) + "\r\n");
  endOfImage_ = false;
  SendRequest(BuildSizeRequest(run_.imageLength), RunPhase::Size, ProgressPhase::Size, out);
  // What the device sent while the question was open is handled now, as the
  // reply to what has just gone out.
  if (held_.empty() && !heldClose_) return;
  std::vector<std::uint8_t> held;
  held.swap(held_);
  const bool closed = heldClose_;
  heldClose_ = false;
  if (!held.empty()) OnBytes(held.data(), held.size(), out);
  if (closed && running_) OnPeerClosed(out);
}

// ---------------------------------------------------------------------------
// Receiving

void SessionMachine::OnBytes(const std::uint8_t* data, std::size_t size, Out& out) {
  if (size == 0) return;
  if (step_ == Step::AskingConfirm) {
    held_.insert(held_.end(), data, data + size);
    return;
  }
  if (step_ != Step::AwaitReply) return;  // no connection is open: nothing can arrive
  // TCP is a byte stream: a frame may come in several pieces, so the bytes
  // are gathered across deliveries until eight are there.
  std::size_t used = 0;
  while (used < size && running_ && step_ == Step::AwaitReply) {
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
  if (used < size && running_ && step_ == Step::AskingConfirm) {
    held_.insert(held_.end(), data + used, data + size);
  }
}

void SessionMachine::OnPeerClosed(Out& out) {
  if (step_ == Step::AskingConfirm) {
    heldClose_ = true;
    return;
  }
  if (step_ != Step::AwaitReply) return;
  // The device closed before its whole response had come.
  Fail(FailureOrigin::Link, IDS_ERROR_TOOMANY,
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
    Fail(FailureOrigin::Protocol, IDS_ERROR_TOOMANY, "more than 8 bytes arrived in reply to one request", out);
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
        out.Log(FormatMessageText(IDS_INFO_MODE_SWITCH) + "\r\n");
        SendRequest(BuildSwitchRequest(), RunPhase::Switch, ProgressPhase::ModeSwitch, out);
      } else if (response.status == 2 && run_.userModule) {
        state_ = DownloadState::SectorRequested;
        out.Log(fixed_text::kSpecialSector);
        SendRequest(BuildSectorRequest(run_.sectorAddress), RunPhase::Sector, ProgressPhase::Sector, out);
      } else {
        AskConfirmation(out);
      }
      return;
    case ResponseKind::Nak: {
      char flags[16];
      std::snprintf(flags, sizeof flags, "0x%04X", static_cast<unsigned>(response.nakFlags));
      Fail(FailureOrigin::DeviceRefusal, response.messageId, std::string("refusal flags ") + flags, out,
           response.nakFlags);
      return;
    }
    case ResponseKind::BadStatus:
    case ResponseKind::BadCode: {
      char bytes[32];
      std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X %02X %02X %02X %02X", frame[0], frame[1], frame[2],
                    frame[3], frame[4], frame[5], frame[6], frame[7]);
      Fail(FailureOrigin::Protocol, response.messageId, std::string("response ") + bytes, out);
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
      out.Log(FormatMessageText(IDS_INFO_BLOCK_SENT) + "\r\n");
      SendBlock(out);
      return;
    case DownloadState::Idle:
    case DownloadState::SectorRequested:
      // No acknowledgement is awaited in these steps.
      Fail(FailureOrigin::Protocol, IDS_WARN_RETCODE, "an acknowledgement came when none was awaited", out);
      return;
  }
}

// ---------------------------------------------------------------------------
// Requests

void SessionMachine::SendRequest(const ProtocolFrame& frame, RunPhase phase, ProgressPhase progress, Out& out) {
  phase_ = phase;
  step_ = Step::AwaitReply;
  outstanding_ = true;
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
  a.messageId = IDS_ASK_WRITE;
  a.text = FormatMessageText(IDS_ASK_WRITE);
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
  const long kilobytes = static_cast<long>((static_cast<std::uint64_t>(run_.imageLength) + 1023) / 1024);
  out.Log(FormatKilobytesLine(kilobytes));
  out.Close(false);
  out.Box(IDS_INFO_FINISHED, FormatMessageText(IDS_INFO_FINISHED));
  out.Log(FormatMessageText(IDS_INFO_FINISHED_LOG) + "\r\n");
  End(RunOutcome::Finished, Failure(), out);
}

void SessionMachine::Fail(FailureOrigin origin, std::uint16_t messageId, const std::string& detail, Out& out,
                          std::uint16_t nakFlags) {
  // The box comes first, while the connection is still open; the log keeps
  // the cause once the box is gone.
  const std::string text = FormatMessageText(messageId);
  out.Box(messageId, text, detail);
  if (messageId == IDS_NAK_DIAL) out.Box(0, fixed_text::kDialError, detail);
  LogCause(text, detail, out);
  out.Close(false);
  Failure failure = MakeFailure(origin, messageId, text, detail);
  failure.nakFlags = nakFlags;
  End(RunOutcome::Failed, failure, out);
}

void SessionMachine::FailWithText(FailureOrigin origin, std::uint16_t messageId, const std::string& detail, Out& out) {
  const std::string message = FormatMessageText(messageId);
  out.Box(messageId, message, detail);
  LogCause(message, detail, out);
  out.Close(false);
  End(RunOutcome::Failed, MakeFailure(origin, messageId, message, detail), out);
}

void SessionMachine::OnStop(bool closing, Out& out) {
  if (closing) {
    // The window is closing: no box, the connection drained and closed.
    out.Close(connected_);
    End(RunOutcome::Closed,
        MakeFailure(FailureOrigin::Cancelled, 0, "", "the window was closed during the run"), out);
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
  const std::string line = SubstituteArguments(GetMessageText(IDS_INFO_STOPPED), std::to_string(acknowledged_),
                                               std::to_string(run_.imageLength));
  out.Log(line + "\r\n");
  End(RunOutcome::Stopped, MakeFailure(FailureOrigin::Cancelled, IDS_INFO_STOPPED, line, "stopped by the operator"),
      out);
}

void SessionMachine::LogCause(const std::string& message, const std::string& detail, Out& out) {
  out.Log(detail.empty() ? message + "\r\n" : message + ": " + detail + "\r\n");
}

void SessionMachine::End(RunOutcome outcome, Failure failure, Out& out) {
  running_ = false;
  step_ = Step::Off;
  connected_ = false;
  outstanding_ = false;
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
}

Failure SessionMachine::MakeFailure(FailureOrigin origin, std::uint16_t messageId, const std::string& message,
                                    const std::string& detail) const {
  Failure failure;
  failure.origin = origin;
  failure.phase = phase_;
  if (phase_ == RunPhase::Block) {
    failure.block = blockIndex_ + 1;
    failure.blocks = Blocks();
  }
  failure.messageId = messageId;
  failure.message = message;
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
