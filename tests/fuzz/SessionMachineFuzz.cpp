// The session machine alone, fed any sequence of the events a runner that
// keeps its contract can deliver (connects that succeed or fail, sends that
// go or fail, device bytes cut anyhow and coming before or after their send
// has gone, closes, failed reads, answers, pauses, time-outs, stops, closing
// windows, new runs) for any image, firmware or user module, with or
// without retries. A model kept from the actions alone (connections, sends,
// questions, pauses, and the bytes the device sent on each connection cut
// into its 8-byte frames) checks each action and, after each event, that:
//  - no event breaks the contract; step, send, request and retries agree;
//    a run ends once, with Progress(Done) then RunEnded last, and nothing
//    comes between runs; connections and connects still out are gone by
//    the end and before a retry, and only a closing window drains one;
//  - one request and one send at a time, on an open connection with no
//    question open, after the last send has gone and its whole response was
//    handled, each the one that response calls for, with its note before
//    it; image bytes in contiguous 64 KB blocks from 0 after each
//    acknowledged size request, never past the end;
//  - what arrives while a send is out or the confirmation is open is held,
//    untouched, until the send has gone (and the answer came), then handled
//    in one piece; a close held with it is never lost; more than one frame
//    per request fails, no whole response is ignored, the last block's Ack
//    finishes; a stop waits for a response in flight, else ends at once;
//  - a failure is retried exactly when it is of the link (with a socket)
//    before the last block went out, retries are left and no stop waits:
//    cause noted, connection closed, retry noted with its count (never past
//    the policy) and pause, then a new connect or a new start; any other is
//    told, its cause noted with the same code and detail, the run Failed;
//  - pauses and questions come one at a time and in order; progress and
//    stops count the acknowledged bytes; failures name their event's cause,
//    the block in flight and a refusal's flag word.
//
// Input: byte 0 flags (bit 0 user module, bit 1 the image cannot be taken,
// bits 2-5 the image size), byte 1 the pause after the switch, byte 2 the
// retry policy, four bytes of sector address, then events (see NextEvent).
#include "protocol/Frames.h"
#include "protocol/SessionMachine.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace mervix;
using mervix::fuzz::InputCursor;

namespace {

constexpr std::uint64_t kBlock = 65536;
const char kImageProblem[] = "'image.img' is locked by another program";

// The requests, as the device reads them (None: no request).
enum class Request { None, StatusQuery, Switch, Sector, Size, Image };

ProtocolFrame Frame(std::uint8_t a, std::uint8_t b, std::uint8_t c = 0, std::uint8_t d = 0, std::uint8_t e = 0,
                    std::uint8_t f = 0, std::uint8_t g = 0, std::uint8_t h = 0) {
  return ProtocolFrame{a, b, c, d, e, f, g, h};
}

// Which request a frame is; None for anything else.
Request ReadRequest(const ProtocolFrame& f, std::uint32_t* value) {
  *value = (std::uint32_t{f[2]} << 24) | (std::uint32_t{f[3]} << 16) | (std::uint32_t{f[4]} << 8) | f[5];
  if (f == Frame(0x51, 0x21)) return Request::StatusQuery;
  if (f == Frame(0x51, 0x20, 'S', 'W', 'I', 'T', 'C', 'H')) return Request::Switch;
  if (f[0] != 0x51 || f[6] != 0 || f[7] != 0) return Request::None;
  return f[1] == 0x23 ? Request::Sector : f[1] == 0x22 ? Request::Size : Request::None;
}

// The status of a status reply, 0 when the frame is none.
int StatusOf(const ProtocolFrame& f) {
  const ResponseClass c = ClassifyResponse(f);
  return c.kind == ResponseKind::StatusReply ? c.status : 0;
}

bool IsAck(const ProtocolFrame& f) { return f[0] == 0x52 && f[1] == 0x03; }
bool IsNak(const ProtocolFrame& f) { return f[0] == 0x52 && f[1] == 0x06; }

std::uint32_t BlocksOf(std::uint32_t length) {
  return static_cast<std::uint32_t>((std::uint64_t{length} + kBlock - 1) / kBlock);
}

bool Same(const Failure& a, const Failure& b) {
  return a.code == b.code && a.origin == b.origin && a.phase == b.phase && a.block == b.block &&
         a.blocks == b.blocks && a.detail == b.detail && a.nakFlags == b.nakFlags;
}

// Whether |origin| is where a failure of |code| can come from.
bool OriginFits(FailureCode code, FailureOrigin origin) {
  using C = FailureCode;
  switch (code) {
    case C::ImageEmpty: case C::ImageUnavailable: case C::ImageUnreadable: return origin == FailureOrigin::File;
    case C::NoSocket: case C::NoConnection: case C::SendFailed: case C::NoResponse:
      return origin == FailureOrigin::Link;
    case C::FrameLength:  // too many bytes, or too few before a close
      return origin == FailureOrigin::Protocol || origin == FailureOrigin::Link;
    case C::UnexpectedAck: case C::BadStatus: case C::BadCode: return origin == FailureOrigin::Protocol;
    case C::Refused: return origin == FailureOrigin::DeviceRefusal;
    case C::Cancelled: case C::Stopped: case C::WindowClosed: return origin == FailureOrigin::Cancelled;
    case C::None: case C::Preparation: case C::NotReturned: return false;  // never from a session
  }
  return false;
}

std::string ConnectError(const Event& e) { return e.detail.empty() ? "connection failed" : e.detail; }

enum class Conn { None, Connecting, Open };
enum class Asked { None, Retry, Confirm };
enum class Paused { None, ModeSwitch, Retry };

// One request or block the run sent, and where its response comes from.
struct Sent {
  Request kind;
  std::size_t connection;  // which connection of the attempt (from 0)
  std::size_t index;       // its place among the sends of that connection
  std::uint64_t offset = 0, size = 0;
};

// What the machine's actions have done so far, and what the device sent.
class Model {
 public:
  Model(SessionMachine& machine, int pauseMs) : m_(machine), pauseMs_(pauseMs) {}

  int starts = 0;
  int ends = 0;

  // Whether a runner that keeps its contract can deliver an event of |kind|
  // now: only while what it answers is out.
  bool Deliverable(EventKind kind) const {
    switch (kind) {
      case EventKind::RunStarted: return !running_;
      case EventKind::Connected: case EventKind::ConnectFailed: return conn_ == Conn::Connecting;
      case EventKind::BytesReceived: case EventKind::PeerClosed: return conn_ == Conn::Open && !peerClosed_;
      case EventKind::SendDone: case EventKind::SendFailed: return sendOut_;
      case EventKind::ImageReadFailed: return sendOut_ && sends_.back().kind == Request::Image;
      case EventKind::Answered: return asked_ != Asked::None;
      case EventKind::PauseElapsed: return paused_ != Paused::None;
      // Connecting, awaiting a response, or at the confirmation (ignored).
      case EventKind::TimedOut: return conn_ != Conn::None;
      case EventKind::StopRequested: return true;
    }
    return false;
  }

  // Feeds |event| to the machine and checks what it does.
  void Step(const Event& event) {
    FUZZ_CHECK(Deliverable(event.kind));
    const bool wasRunning = running_;
    const Conn connBefore = conn_;
    const Asked askedBefore = asked_;
    const Paused pausedBefore = paused_;
    const bool stopPendingBefore = stopPending_;
    const bool closedByPeerBefore = peerClosed_;
    const int retriesBefore = retries_;
    const bool awaitingBefore = Awaiting();
    const std::size_t replyEnd = SendsOnConnection() * kFrameSize;
    // What the event brings before the machine sees it.
    bool held = false;  // the machine must keep it for later
    bool stopWaits = false;
    switch (event.kind) {
      case EventKind::RunStarted:
        running_ = true;
        ++starts;
        run_ = event.run;
        retries_ = 0;
        NewAttempt();
        break;
      case EventKind::Connected:
        conn_ = Conn::Open;
        streams_.emplace_back();
        handed_.emplace_back();
        break;
      case EventKind::ConnectFailed:
        conn_ = Conn::None;
        lastConnectError_ = ConnectError(event);
        break;
      case EventKind::BytesReceived:
        if (event.size == 0) break;
        Stream().insert(Stream().end(), event.data, event.data + event.size);
        held = sendOut_ || asked_ == Asked::Confirm;
        if (!held) Hand();
        break;
      case EventKind::PeerClosed:
        peerClosed_ = true;
        held = sendOut_ || asked_ == Asked::Confirm;
        break;
      case EventKind::SendDone:  // what arrived meanwhile is handed over now, in one piece
        sendOut_ = false;
        Hand();
        break;
      case EventKind::SendFailed: case EventKind::ImageReadFailed: sendOut_ = false; break;
      case EventKind::Answered: asked_ = Asked::None; break;
      case EventKind::PauseElapsed:  // the pause of a retry after a failure: the run starts again
        if (paused_ == Paused::Retry && restart_) NewAttempt();
        break;
      case EventKind::StopRequested:  // while a response is awaited, it waits for it
        if (!event.closing && awaitingBefore) stopWaits = stopPending_ = true;
        break;
      case EventKind::TimedOut: break;
    }
    // A whole response to what was out has reached the machine now.
    const bool replyComplete = awaitingBefore && Handed() >= replyEnd;

    std::vector<Action> actions;
    m_.Handle(event, actions);
    if (trace_) Trace(event, actions);
    if (!wasRunning) FUZZ_CHECK(actions.empty() == (event.kind != EventKind::RunStarted));

    const Action* end = nullptr;
    const Action* told = nullptr;
    const Action* cause = nullptr;
    const Action* retried = nullptr;
    bool closedNow = false, sentNow = false;
    bool noted[11] = {};
    for (std::size_t i = 0; i < actions.size(); ++i) {
      const Action& a = actions[i];
      FUZZ_CHECK(running_);  // nothing after the end, nothing without a run
      const Action* before = i > 0 ? &actions[i - 1] : nullptr;
      switch (a.kind) {
        case ActionKind::Connect:
          FUZZ_CHECK(conn_ == Conn::None && asked_ == Asked::None && !stopPending_ && !sendOut_);
          FUZZ_CHECK(a.host == run_.host && a.port == run_.port);
          // The first of a run or of its new start, a Yes to "Retry?", or a pause's end.
          FUZZ_CHECK((event.kind == EventKind::RunStarted && sends_.empty()) ||
                     (event.kind == EventKind::Answered && askedBefore == Asked::Retry &&
                      event.answer == Answer::Yes) ||
                     (event.kind == EventKind::PauseElapsed && pausedBefore != Paused::None));
          // Its progress tells a reconnect after the switch from the first.
          FUZZ_CHECK(before != nullptr && before->kind == ActionKind::Progress &&
                     before->progress.phase == (reconnect_ ? ProgressPhase::Reconnecting : ProgressPhase::Connecting));
          paused_ = Paused::None;
          conn_ = Conn::Connecting;
          break;
        case ActionKind::SendFrame:
        case ActionKind::SendImage:
          CheckSend(a, event, askedBefore);
          sentNow = true;
          break;
        case ActionKind::Close:
          FUZZ_CHECK(a.drain == (event.kind == EventKind::StopRequested && event.closing && connBefore == Conn::Open));
          conn_ = Conn::None;
          sendOut_ = peerClosed_ = false;
          closedNow = true;
          break;
        case ActionKind::Pause:
          FUZZ_CHECK(conn_ == Conn::None && asked_ == Asked::None && paused_ == Paused::None && !stopPending_);
          if (retried != nullptr) {  // the pause of a retry, right after its note
            FUZZ_CHECK(before == retried && a.milliseconds == run_.retry.pauseMs);
            paused_ = Paused::Retry;
            restart_ = event.kind != EventKind::ConnectFailed;
          } else {
            // After the device acknowledged the switch (or, after a
            // reconnect, the query), on a connection closed just now.
            FUZZ_CHECK(closedNow && a.milliseconds == pauseMs_);
            FUZZ_CHECK(before != nullptr && before->kind == ActionKind::Progress && before->progress.pausing &&
                       before->progress.phase == ProgressPhase::ModeSwitch);
            const Sent& last = sends_.back();
            FUZZ_CHECK(last.kind == Request::Switch || last.kind == Request::StatusQuery);
            FUZZ_CHECK(ResponseOf(last) != nullptr && IsAck(*ResponseOf(last)) && !Crowded(last));
            paused_ = Paused::ModeSwitch;
            reconnect_ = true;
          }
          break;
        case ActionKind::Ask:
          FUZZ_CHECK(asked_ == Asked::None && !stopPending_ && !sendOut_);
          if (a.question == Question::Retry) {
            // Only a run without retries asks; the question says why.
            FUZZ_CHECK(a.buttons == ButtonSet::YesNo && run_.retry.retries == 0);
            FUZZ_CHECK(event.kind == EventKind::ConnectFailed && !event.noSocket && connBefore == Conn::Connecting);
            FUZZ_CHECK(a.failure.code == FailureCode::NoConnection && a.failure.origin == FailureOrigin::Link);
            FUZZ_CHECK(a.failure.detail == lastConnectError_ && a.failure.phase == ConnectPhase());
            asked_ = Asked::Retry;
          } else {
            // Status 3, or status 2 of a firmware run: the permanent write.
            FUZZ_CHECK(a.buttons == ButtonSet::OkCancel && conn_ == Conn::Open && !sends_.empty());
            const ProtocolFrame* response = ResponseOf(sends_.back());
            const int status = response != nullptr ? StatusOf(*response) : 0;
            FUZZ_CHECK(status == 3 || (status == 2 && !run_.userModule));
            asked_ = Asked::Confirm;
          }
          break;
        case ActionKind::Tell:  // one box, at the end: the download finished or failed
          FUZZ_CHECK(told == nullptr);
          told = &a;
          break;
        case ActionKind::Log:
          FUZZ_CHECK(static_cast<int>(a.note) >= 0 && static_cast<int>(a.note) < 11);
          noted[static_cast<int>(a.note)] = true;
          CheckNote(a, event, askedBefore, stopPendingBefore, connBefore, cause, &retried);
          FUZZ_CHECK(a.note != Note::Cause || cause == nullptr);
          if (a.note == Note::Cause) cause = &a;
          break;
        case ActionKind::Progress:
          CheckProgress(a.progress);
          if (a.progress.phase == ProgressPhase::Done) {
            FUZZ_CHECK(i + 2 == actions.size() && actions[i + 1].kind == ActionKind::RunEnded);
          }
          // Only the pause after the switch is reported as one.
          FUZZ_CHECK(!a.progress.pausing ||
                     (i + 1 < actions.size() && actions[i + 1].kind == ActionKind::Pause && retried == nullptr));
          break;
        case ActionKind::RunEnded:
          FUZZ_CHECK(i + 1 == actions.size());
          FUZZ_CHECK(before != nullptr && before->kind == ActionKind::Progress &&
                     before->progress.phase == ProgressPhase::Done);
          end = &a;
          CheckEnd(a, event, askedBefore, stopPendingBefore, told, cause, noted);
          running_ = sendOut_ = stopPending_ = peerClosed_ = false;
          conn_ = Conn::None;
          asked_ = Asked::None;
          paused_ = Paused::None;
          ++ends;
          break;
      }
    }
    // Every note that names a request was followed by it; a box only at an
    // end; a retry never ends the run; a cause goes with a retry or a failed end.
    FUZZ_CHECK(expect_ == Request::None);
    if (told != nullptr) FUZZ_CHECK(end != nullptr);
    if (retried != nullptr) FUZZ_CHECK(end == nullptr && told == nullptr && paused_ == Paused::Retry);
    if (cause != nullptr) FUZZ_CHECK(retried != nullptr || (end != nullptr && end->outcome == RunOutcome::Failed));
    // The failure the event caused: the end's, or the retry's.
    const Failure* failure = end != nullptr && end->outcome == RunOutcome::Failed ? &end->failure
                             : retried != nullptr                                 ? &retried->failure
                                                                                  : nullptr;
    auto failedWith = [&](FailureCode code) { return failure != nullptr && failure->code == code; };
    auto closedEarly = [&]() { return failedWith(FailureCode::FrameLength) && failure->origin == FailureOrigin::Link; };

    // What the event must have done.
    if (wasRunning) {
      switch (event.kind) {
        case EventKind::StopRequested:
          FUZZ_CHECK(stopWaits ? actions.empty()
                               : end != nullptr &&
                                     end->outcome == (event.closing ? RunOutcome::Closed : RunOutcome::Stopped));
          break;
        case EventKind::TimedOut:  // the operator takes the time the question needs
          FUZZ_CHECK(askedBefore == Asked::Confirm ? actions.empty() : failedWith(FailureCode::NoResponse));
          break;
        case EventKind::Connected: FUZZ_CHECK(sentNow && SendsOnConnection() == 1 && end == nullptr); break;
        case EventKind::ConnectFailed:
          if (event.noSocket) {
            FUZZ_CHECK(end != nullptr && failedWith(FailureCode::NoSocket));
          } else if (run_.retry.retries == 0) {
            FUZZ_CHECK(asked_ == Asked::Retry && end == nullptr);
          } else if (retriesBefore < run_.retry.retries) {
            FUZZ_CHECK(retried != nullptr && cause == nullptr && failedWith(FailureCode::NoConnection));
          } else {
            FUZZ_CHECK(end != nullptr && failedWith(FailureCode::NoConnection));
          }
          break;
        case EventKind::Answered:
          if (askedBefore == Asked::Retry) {
            FUZZ_CHECK(event.answer == Answer::Yes ? conn_ == Conn::Connecting && end == nullptr
                                                   : end != nullptr && failedWith(FailureCode::NoConnection));
          } else if (event.answer == Answer::Ok) {
            // The size request goes out; what came meanwhile waits for it.
            FUZZ_CHECK(sentNow && sendOut_ && end == nullptr);
          } else {
            FUZZ_CHECK(end != nullptr && end->outcome == RunOutcome::Cancelled);
          }
          break;
        case EventKind::PauseElapsed: FUZZ_CHECK(conn_ == Conn::Connecting); break;
        case EventKind::PeerClosed: FUZZ_CHECK(held ? actions.empty() : closedEarly()); break;
        case EventKind::SendFailed: FUZZ_CHECK(failedWith(FailureCode::SendFailed)); break;
        case EventKind::ImageReadFailed:
          FUZZ_CHECK(end != nullptr && failedWith(FailureCode::ImageUnreadable));
          break;
        case EventKind::BytesReceived:
        case EventKind::SendDone:
          // Nothing is done with what arrives while a send is out or the
          // question is open. A whole response to what was out is never
          // ignored, and with a stop pending it is the last thing the run
          // handles; else a close held with what came before it is handled.
          if (replyComplete) {
            FUZZ_CHECK(!actions.empty() && (!stopPendingBefore || end != nullptr));
          } else {
            FUZZ_CHECK(event.kind == EventKind::SendDone && closedByPeerBefore ? closedEarly() : actions.empty());
          }
          break;
        case EventKind::RunStarted: break;
      }
    }

    // The machine's own view agrees with the model.
    FUZZ_CHECK(m_.ContractViolations() == 0);
    FUZZ_CHECK(m_.Running() == running_ && starts == ends + (running_ ? 1 : 0));
    FUZZ_CHECK(m_.CurrentStep() == ModelStep() && m_.SendOut() == sendOut_);
    FUZZ_CHECK(m_.RetriesUsed() == retries_ && retries_ <= run_.retry.retries);
    if (running_) {
      FUZZ_CHECK(m_.Outstanding() == Awaiting());
      if (conn_ == Conn::Open) {
        // While a request is out, no byte beyond its one response frame is
        // taken: more ends the run (unless the last block's Ack came first).
        FUZZ_CHECK(Handed() <= SendsOnConnection() * kFrameSize);
        // A close of the device is held as long as what came before it, never
        // lost: the machine does not wait on a connection that is gone.
        if (peerClosed_) FUZZ_CHECK(sendOut_ || asked_ == Asked::Confirm);
      }
    } else if (end != nullptr) {
      FUZZ_CHECK(m_.LastOutcome() == end->outcome && Same(m_.LastFailure(), end->failure));
    }
  }

  bool Running() const { return running_; }

  // What a well-behaved runner, device and operator do next; |choice| picks
  // the status a query is answered with, whether the response comes before
  // the send has gone (bit 3), and where it is cut.
  void Helpful(std::uint8_t choice, std::vector<std::uint8_t>& buffer) {
    const std::size_t have = ReplyBytes();
    const Sent* last = LastSent();
    if (!running_) {
      Step(Event::Start(run_));
    } else if (conn_ == Conn::Connecting) {
      Step(Event::Connected());
    } else if (asked_ != Asked::None) {
      Step(Event::Answered(asked_ == Asked::Retry ? Answer::Yes : Answer::Ok));
    } else if (paused_ != Paused::None) {
      Step(Event::PauseElapsed());
    } else if (sendOut_ && (have >= kFrameSize || (choice & 8) == 0 || peerClosed_)) {
      Step(Event::SendDone());
    } else if (!Awaiting() || last == nullptr || have >= kFrameSize || peerClosed_) {
      Step(Event::Stop(false));
    } else {
      ProtocolFrame f = Frame(0x52, 0x03);  // Ack for switch, size and blocks
      if (last->kind == Request::StatusQuery) {
        // Mostly status 1 on the first connection of a run, 2 or 3 after the
        // switch, so that a run gets to its blocks.
        static const std::uint8_t first[] = {1, 1, 2, 3};
        static const std::uint8_t later[] = {2, 2, 3, 1};
        const std::uint8_t status = (streams_.size() <= 1 ? first : later)[choice & 3];
        f = (choice & 4) && status != 3 ? Frame(0x52, 0x05, 0, status) : Frame(0x52, 0x05, status, 0);
      } else if (last->kind == Request::Sector) {
        f = Frame(0x52, 0x05, 3, 0);
      }
      // The part not yet sent, in one or two pieces.
      const std::size_t cut = have + (choice >> 4) % (kFrameSize - have + 1);
      for (const auto& piece : {std::make_pair(have, cut), std::make_pair(cut, kFrameSize)}) {
        if (piece.first == piece.second || !Deliverable(EventKind::BytesReceived)) continue;
        buffer = std::vector<std::uint8_t>(f.begin() + piece.first, f.begin() + piece.second);
        Step(Event::Received(buffer.data(), buffer.size()));
      }
    }
  }

 private:
  // The last request of the attempt, if any.
  const Sent* LastSent() const { return sends_.empty() ? nullptr : &sends_.back(); }
  // A request or block is out on the open connection and its response has
  // not all been handed to the machine.
  bool Awaiting() const {
    return running_ && conn_ == Conn::Open && asked_ == Asked::None && Handed() < SendsOnConnection() * kFrameSize;
  }
  // Bytes the device sent of the response to the last request (8 or more:
  // it has all come, maybe with more).
  std::size_t ReplyBytes() const {
    const std::size_t sent = SendsOnConnection();
    if (sent == 0) return kFrameSize;
    return Stream().size() - std::min(Stream().size(), (sent - 1) * kFrameSize);
  }
  std::vector<std::uint8_t>& Stream() { return streams_.back(); }
  const std::vector<std::uint8_t>& Stream() const { return streams_.back(); }

  // A new start of the run: nothing of the attempt before counts.
  void NewAttempt() {
    conn_ = Conn::None;
    asked_ = Asked::None;
    paused_ = Paused::None;
    sendOut_ = stopPending_ = peerClosed_ = reconnect_ = false;
    sends_.clear();
    streams_.clear();
    handed_.clear();
  }

  // Everything the device sent on this connection reaches the machine.
  void Hand() {
    if (handed_.back().empty() || handed_.back().back() < Stream().size()) handed_.back().push_back(Stream().size());
  }
  std::size_t Handed() const { return handed_.empty() || handed_.back().empty() ? 0 : handed_.back().back(); }

  std::size_t SendsOnConnection() const {
    if (conn_ != Conn::Open) return 0;
    std::size_t n = 0;
    for (auto it = sends_.rbegin(); it != sends_.rend() && it->connection + 1 == streams_.size(); ++it) ++n;
    return n;
  }

  // Whether a failure may be retried, as the model sees the run: one of the
  // link (a socket was made) before the last block, which the device may
  // have whole, went out.
  bool Retryable(const Failure& f) const {
    const Sent* last = LastSent();
    const bool lastBlockOut =
        last != nullptr && last->kind == Request::Image && last->offset + last->size == run_.imageLength;
    return f.origin == FailureOrigin::Link && f.code != FailureCode::NoSocket && !lastBlockOut;
  }

  RunPhase ConnectPhase() const { return reconnect_ ? RunPhase::Reconnect : RunPhase::Connect; }

  SessionMachine::Step ModelStep() const {
    using S = SessionMachine::Step;
    if (!running_) return S::Off;
    if (conn_ == Conn::Connecting) return S::Connecting;
    if (asked_ != Asked::None) return asked_ == Asked::Retry ? S::AskingRetry : S::AskingConfirm;
    if (paused_ != Paused::None) return paused_ == Paused::ModeSwitch ? S::Pausing : S::RetryPause;
    FUZZ_CHECK(conn_ == Conn::Open);  // a running machine is somewhere
    return S::AwaitReply;
  }

  // The device's whole response to |s| as handed to the machine, or null
  // while it has not all reached it.
  const ProtocolFrame* ResponseOf(const Sent& s) {
    const std::vector<std::size_t>& handed = handed_[s.connection];
    if (handed.empty() || handed.back() < (s.index + 1) * kFrameSize) return nullptr;
    std::memcpy(scratch_.data(), streams_[s.connection].data() + s.index * kFrameSize, kFrameSize);
    return &scratch_;
  }

  // Whether the response to |s| reached the machine with more bytes behind
  // it in the same piece (a protocol error: it is not taken), or has not
  // reached it at all.
  bool Crowded(const Sent& s) const {
    const std::size_t frameEnd = (s.index + 1) * kFrameSize;
    for (std::size_t boundary : handed_[s.connection]) {
      if (boundary >= frameEnd) return boundary > frameEnd;
    }
    return true;
  }

  // The image bytes the device has acknowledged: up to the last block it
  // acknowledged, 0 from an acknowledged size request on. An Ack with bytes
  // behind it counts only for the last block: it finishes the run.
  std::uint64_t Acknowledged() {
    for (auto it = sends_.rbegin(); it != sends_.rend(); ++it) {
      if (it->kind != Request::Image && it->kind != Request::Size) continue;
      const ProtocolFrame* response = ResponseOf(*it);
      if (response == nullptr || !IsAck(*response)) continue;
      const bool lastBlock = it->kind == Request::Image && it->offset + it->size == run_.imageLength;
      if (Crowded(*it) && !lastBlock) continue;
      return it->kind == Request::Image ? it->offset + it->size : 0;
    }
    return 0;
  }

  void CheckSend(const Action& a, const Event& event, Asked askedBefore) {
    FUZZ_CHECK(conn_ == Conn::Open && asked_ == Asked::None && !stopPending_ && !sendOut_);
    const std::size_t index = SendsOnConnection();
    // One at a time: the whole response to the previous one was handled.
    FUZZ_CHECK(Handed() >= index * kFrameSize);
    const ProtocolFrame* previous = index > 0 ? ResponseOf(sends_.back()) : nullptr;
    Sent s{Request::Image, streams_.size() - 1, index};
    if (a.kind == ActionKind::SendFrame) {
      std::uint32_t value = 0;
      s.kind = ReadRequest(a.frame, &value);
      FUZZ_CHECK(s.kind != Request::None && (index == 0) == (s.kind == Request::StatusQuery));
      if (s.kind == Request::Switch) FUZZ_CHECK(previous != nullptr && StatusOf(*previous) == 1);
      if (s.kind == Request::Sector) {
        FUZZ_CHECK(previous != nullptr && StatusOf(*previous) == 2 && run_.userModule);
        FUZZ_CHECK(value == run_.sectorAddress);
      }
      if (s.kind == Request::Size) {
        FUZZ_CHECK(event.kind == EventKind::Answered && askedBefore == Asked::Confirm && event.answer == Answer::Ok);
        FUZZ_CHECK(value == run_.imageLength);
      }
      FUZZ_CHECK(expect_ == s.kind);  // its note came just before it
    } else {
      // A block follows an Ack: the size request's (from offset 0) or the
      // previous block's (right after it, with its note).
      FUZZ_CHECK(previous != nullptr && IsAck(*previous));
      const Sent& last = sends_.back();
      FUZZ_CHECK(last.kind == Request::Size || last.kind == Request::Image);
      const std::uint64_t expected = last.kind == Request::Size ? 0 : last.offset + last.size;
      FUZZ_CHECK(a.offset == expected && expected < run_.imageLength);
      FUZZ_CHECK(a.size == std::min<std::uint64_t>(kBlock, run_.imageLength - expected));
      FUZZ_CHECK(expect_ == (expected > 0 ? Request::Image : Request::None));
      s.offset = a.offset;
      s.size = a.size;
    }
    expect_ = Request::None;
    sendOut_ = true;
    sends_.push_back(s);
  }

  void CheckNote(const Action& a, const Event& event, Asked askedBefore, bool stopPendingBefore, Conn connBefore,
                 const Action* cause, const Action** retried) {
    // A note that names a request comes just before it.
    auto announce = [&](Request kind) {
      FUZZ_CHECK(expect_ == Request::None);
      expect_ = kind;
    };
    switch (a.note) {
      case Note::Connected:
        FUZZ_CHECK(event.kind == EventKind::Connected);
        announce(Request::StatusQuery);
        break;
      case Note::ModeSwitch: announce(Request::Switch); break;
      case Note::SpecialSector: announce(Request::Sector); break;
      case Note::Start:
        FUZZ_CHECK(event.kind == EventKind::Answered && askedBefore == Asked::Confirm);
        announce(Request::Size);
        break;
      case Note::BlockSent: announce(Request::Image); break;
      case Note::Kilobytes:  // the whole image in kilobytes, rounded up
        FUZZ_CHECK(a.count == (std::uint64_t{run_.imageLength} + 1023) / 1024);
        break;
      case Note::Stopped:  // what the device has: the bytes it acknowledged
        FUZZ_CHECK(a.count == Acknowledged() && a.total == run_.imageLength);
        break;
      case Note::Finished: case Note::Cancelled: break;
      case Note::Cause: CheckFailure(a.failure, event, askedBefore, connBefore); break;
      case Note::Retry:
        // Only a retryable failure, with retries left and no stop waiting;
        // the connection (or the connect) is gone first.
        FUZZ_CHECK(*retried == nullptr && !stopPendingBefore && conn_ == Conn::None);
        *retried = &a;
        FUZZ_CHECK(Retryable(a.failure) && a.milliseconds == run_.retry.pauseMs);
        FUZZ_CHECK(a.retry == retries_ + 1 && a.retry <= run_.retry.retries && a.retries == run_.retry.retries);
        // A failed connect is tried again without a cause of its own.
        if (event.kind == EventKind::ConnectFailed) {
          CheckFailure(a.failure, event, askedBefore, connBefore);
        } else {
          FUZZ_CHECK(cause != nullptr && Same(cause->failure, a.failure));
        }
        ++retries_;
        break;
    }
  }

  // What a failure says about the event that caused it.
  void CheckFailure(const Failure& f, const Event& event, Asked askedBefore, Conn connBefore) {
    FUZZ_CHECK(f.failed() && OriginFits(f.code, f.origin));
    FUZZ_CHECK(f.nakFlags == 0 || f.code == FailureCode::Refused);
    FUZZ_CHECK(IsRetryableFailure(f) == Retryable(f));
    const Sent* last = LastSent();
    switch (event.kind) {
      case EventKind::TimedOut:
        FUZZ_CHECK(f.code == FailureCode::NoResponse && f.detail == event.detail);
        if (connBefore == Conn::Connecting) FUZZ_CHECK(f.phase == ConnectPhase());
        break;
      case EventKind::SendFailed: FUZZ_CHECK(f.code == FailureCode::SendFailed && f.detail == event.detail); break;
      case EventKind::ImageReadFailed:
        FUZZ_CHECK(f.code == FailureCode::ImageUnreadable && f.detail == event.detail);
        break;
      case EventKind::PeerClosed:
        FUZZ_CHECK(f.code == FailureCode::FrameLength && f.origin == FailureOrigin::Link);
        break;
      case EventKind::ConnectFailed:
        FUZZ_CHECK(f.code == (event.noSocket ? FailureCode::NoSocket : FailureCode::NoConnection));
        FUZZ_CHECK(f.detail == ConnectError(event) && f.phase == ConnectPhase());
        break;
      case EventKind::Answered:  // No to "Retry?"
        FUZZ_CHECK(f.code == FailureCode::NoConnection && f.detail == lastConnectError_ && f.phase == ConnectPhase());
        break;
      case EventKind::RunStarted:
        FUZZ_CHECK(run_.imageProblem.empty()
                       ? f.code == FailureCode::ImageEmpty && run_.imageLength == 0
                       : f.code == FailureCode::ImageUnavailable && f.detail == run_.imageProblem);
        break;
      case EventKind::BytesReceived:
      case EventKind::SendDone: {
        // From the device's bytes, or a close that came with them.
        FUZZ_CHECK(f.origin == FailureOrigin::Protocol || f.origin == FailureOrigin::DeviceRefusal ||
                   (event.kind == EventKind::SendDone && f.code == FailureCode::FrameLength));
        const ProtocolFrame* response = last != nullptr ? ResponseOf(*last) : nullptr;
        if (response != nullptr && IsNak(*response) && !Crowded(*last)) {
          // The device refused what was out: its flags go with the failure.
          FUZZ_CHECK(f.code == FailureCode::Refused && f.nakFlags == (((*response)[2] << 8) | (*response)[3]));
        }
        break;
      }
      case EventKind::Connected: case EventKind::PauseElapsed: case EventKind::StopRequested:
        FUZZ_CHECK(false);  // these never fail a run
        break;
    }
    // A failure while a block is out names it; so a failure after the last
    // block went out is told apart from one before (and never retried).
    if (askedBefore == Asked::None && connBefore == Conn::Open && last != nullptr && last->kind == Request::Image) {
      FUZZ_CHECK(f.phase == RunPhase::Block);
      FUZZ_CHECK(f.block == last->offset / kBlock + 1 && f.blocks == BlocksOf(run_.imageLength));
      FUZZ_CHECK((f.block >= f.blocks) == (last->offset + last->size == run_.imageLength));
    }
    if (f.phase == RunPhase::Block) FUZZ_CHECK(last != nullptr && last->kind == Request::Image);
  }

  void CheckProgress(const Progress& p) {
    FUZZ_CHECK(p.total == run_.imageLength && p.blocks == BlocksOf(run_.imageLength));
    FUZZ_CHECK(p.bytesSent <= p.total && p.bytesAcknowledged <= p.total);
    FUZZ_CHECK(p.bytesAcknowledged == Acknowledged());
    if (p.phase == ProgressPhase::Sending) {
      const Sent* last = LastSent();
      FUZZ_CHECK(last != nullptr && last->kind == Request::Image);
      FUZZ_CHECK(p.bytesSent == last->offset + last->size);
      FUZZ_CHECK(p.block == last->offset / kBlock + 1 && p.block <= p.blocks);
    }
  }

  void CheckEnd(const Action& a, const Event& event, Asked askedBefore, bool stopPendingBefore, const Action* told,
                const Action* cause, const bool* noted) {
    // Every connection is closed by now, and every connect abandoned.
    FUZZ_CHECK(conn_ == Conn::None);
    FUZZ_CHECK(a.count == Acknowledged() && a.total == run_.imageLength);
    const Failure& f = a.failure;
    const Sent* last = LastSent();
    const ProtocolFrame* response = last != nullptr ? ResponseOf(*last) : nullptr;
    const bool lastBlockAcked = last != nullptr && last->kind == Request::Image &&
                                last->offset + last->size == run_.imageLength && response != nullptr &&
                                IsAck(*response);
    FUZZ_CHECK((told != nullptr) == (a.outcome == RunOutcome::Finished || a.outcome == RunOutcome::Failed));
    FUZZ_CHECK(f.failed() == (a.outcome != RunOutcome::Finished) && (!f.failed() || OriginFits(f.code, f.origin)));
    auto noted_ = [&](Note note) { return noted[static_cast<int>(note)]; };
    switch (a.outcome) {
      case RunOutcome::None: FUZZ_CHECK(false); break;
      case RunOutcome::Finished:
        FUZZ_CHECK(lastBlockAcked && told->notice == Notice::Finished);
        FUZZ_CHECK(noted_(Note::Kilobytes) && noted_(Note::Finished));
        FUZZ_CHECK(event.kind == EventKind::BytesReceived || event.kind == EventKind::SendDone);
        break;
      case RunOutcome::Closed:
        FUZZ_CHECK(event.kind == EventKind::StopRequested && event.closing && f.code == FailureCode::WindowClosed);
        break;
      case RunOutcome::Cancelled:
        FUZZ_CHECK(event.kind == EventKind::Answered && askedBefore == Asked::Confirm && event.answer != Answer::Ok);
        FUZZ_CHECK(f.code == FailureCode::Cancelled && noted_(Note::Cancelled));
        break;
      case RunOutcome::Stopped:
        FUZZ_CHECK((event.kind == EventKind::StopRequested && !event.closing) || stopPendingBefore);
        FUZZ_CHECK(f.code == FailureCode::Stopped && noted_(Note::Stopped));
        break;
      case RunOutcome::Failed:
        // Told, then its cause noted with the same code and detail; not one
        // the policy would have retried.
        FUZZ_CHECK(told->notice == Notice::Failure && Same(told->failure, f));
        FUZZ_CHECK(cause != nullptr && cause > told && Same(cause->failure, f));
        FUZZ_CHECK(!Retryable(f) || retries_ >= run_.retry.retries || stopPendingBefore);
        break;
    }
    // The Ack of the last block finishes the run, whatever else is pending.
    if (lastBlockAcked && (event.kind == EventKind::BytesReceived || event.kind == EventKind::SendDone)) {
      FUZZ_CHECK(a.outcome == RunOutcome::Finished);
    }
  }

  // MERVIX_FUZZ_TRACE set: one line per event with its actions (notes by
  // number), to read what an input does.
  static void Trace(const Event& e, const std::vector<Action>& actions) {
    static const char* const events[] = {"start",       "connected",   "connect-failed", "bytes",
                                         "send-done",   "peer-closed", "send-failed",    "read-failed",
                                         "answered",    "pause-elapsed", "timed-out",    "stop"};
    static const char* const kinds[] = {"connect", "frame", "image", "close", "pause",
                                        "ask",     "tell",  "log",   "progress", "end"};
    std::fprintf(stderr, "%s", events[static_cast<int>(e.kind)]);
    for (std::size_t i = 0; e.kind == EventKind::BytesReceived && i < e.size; ++i) {
      std::fprintf(stderr, " %02X", e.data[i]);
    }
    if (e.kind == EventKind::Answered || e.kind == EventKind::StopRequested) {
      std::fprintf(stderr, " %d", e.kind == EventKind::Answered ? static_cast<int>(e.answer) : e.closing);
    }
    std::fprintf(stderr, " ->");
    for (const Action& a : actions) {
      std::fprintf(stderr, " %s", kinds[static_cast<int>(a.kind)]);
      if (a.kind == ActionKind::SendImage) std::fprintf(stderr, "[%llu+%u]", (unsigned long long)a.offset, a.size);
      if (a.kind == ActionKind::SendFrame) std::fprintf(stderr, "[%02X%02X]", a.frame[0], a.frame[1]);
      if (a.kind == ActionKind::Log) std::fprintf(stderr, "[%d]", static_cast<int>(a.note));
      if (a.kind == ActionKind::Pause) std::fprintf(stderr, "[%d]", a.milliseconds);
      if (a.kind == ActionKind::RunEnded) std::fprintf(stderr, "[outcome %d]", static_cast<int>(a.outcome));
    }
    std::fprintf(stderr, "\n");
  }

  SessionMachine& m_;
  const int pauseMs_;
  const bool trace_ = std::getenv("MERVIX_FUZZ_TRACE") != nullptr;
  bool running_ = false;
  RunRequest run_;
  Conn conn_ = Conn::None;
  Asked asked_ = Asked::None;
  Paused paused_ = Paused::None;
  bool sendOut_ = false;      // a send went out and has not gone or failed yet
  bool stopPending_ = false;
  bool peerClosed_ = false;   // the device closed the open connection
  bool reconnect_ = false;    // the next connection is the one after the switch
  bool restart_ = false;      // the retry pause ends in a new start
  int retries_ = 0;           // retries made in the run
  std::string lastConnectError_;
  Request expect_ = Request::None;  // the request a note announced
  std::vector<Sent> sends_;
  std::vector<std::vector<std::uint8_t>> streams_;  // the bytes of each connection of the attempt
  std::vector<std::vector<std::size_t>> handed_;    // where each piece handed to the machine ended
  ProtocolFrame scratch_{};
};

// Image lengths worth hitting: one byte, around the block size, several
// blocks; the others are read from the input.
std::uint32_t ImageLength(unsigned choice, InputCursor& in) {
  static const std::uint32_t table[] = {1, 2, 1500, 65535, 65536, 65537, 131072, 131073, 200000, 1048576, 0};
  if (choice < sizeof table / sizeof table[0]) return table[choice];
  if (choice < 14) return 1 + (in.Long() & 0x3FFFFF);  // up to 64 blocks
  return in.Long();                                    // any length, 0 included
}

// Retries 0 to 3, with a pause from the minimum up in quarter seconds.
RetryPolicy Retries(std::uint8_t bits) {
  RetryPolicy policy;
  policy.retries = bits & 3;
  policy.pauseMs = RetryPolicy::kMinimumPauseMs + (bits >> 2) * 250;
  return policy;
}

// Reads one event from the input and feeds it when a runner could deliver
// it now (else it is dropped).
void NextEvent(InputCursor& in, Model& model, RunRequest& request) {
  const std::uint8_t op = in.Byte();
  const std::uint8_t high = op >> 4;
  // Each event's bytes in a buffer of their size alone (a fresh copy), so
  // that a read past them is caught.
  std::vector<std::uint8_t> bytes;
  auto feed = [&](const Event& event) {
    if (model.Deliverable(event.kind)) model.Step(event);
  };
  auto receive = [&](const std::vector<std::uint8_t>& data) {
    bytes = data;
    feed(Event::Received(bytes.empty() ? nullptr : bytes.data(), bytes.size()));
  };
  auto text = [&]() { return std::string(in.Take(in.Byte() % 24)); };
  switch (op & 15) {
    case 0: model.Helpful(in.Byte(), bytes); break;
    case 1: {
      // Many steps of a good run at once, to get deep into large images.
      const int steps = 1 + in.Byte();
      const std::uint8_t choice = in.Byte();
      for (int i = 0; i < steps; ++i) model.Helpful(choice, bytes);
      break;
    }
    case 2: feed(Event::Connected()); break;
    case 3: feed(Event::ConnectFailed(text(), high == 15)); break;
    case 4: {
      const std::string_view raw = in.Take(in.Byte() % 33);
      receive(std::vector<std::uint8_t>(raw.begin(), raw.end()));
      break;
    }
    case 5: {
      // A response of some kind, whole or with bytes after it; its
      // operands are read first, in the order of the input.
      static const int operands[] = {2, 1, 1, 2, 4, 1, 0, 2};
      std::uint8_t v[4] = {};
      for (int i = 0; i < operands[high & 7]; ++i) v[i] = in.Byte();
      // An Ack, a status reply either way round, a Nak, a status of no
      // pattern, any code, a request, anything.
      const ProtocolFrame frames[] = {Frame(0x52, 0x03, v[0], v[1]),  Frame(0x52, 0x05, v[0] & 3),
                                      Frame(0x52, 0x05, 0, v[0] & 3), Frame(0x52, 0x06, v[0], v[1]),
                                      Frame(0x52, 0x05, v[0], v[1], v[2], 0, 0, v[3]), Frame(0x52, v[0]),
                                      Frame(0x51, 0x21),              Frame(v[0], v[1])};
      const ProtocolFrame& f = frames[high & 7];
      std::vector<std::uint8_t> data(f.begin(), f.end());
      if (high & 8) data.push_back(in.Byte());
      receive(data);
      break;
    }
    case 6: feed(Event::PeerClosed()); break;
    case 7: feed(Event::SendFailed(text())); break;
    case 8: feed(Event::ImageReadFailed(text())); break;
    case 9: {
      static const Answer answers[] = {Answer::Ok, Answer::Cancel, Answer::Yes, Answer::No};
      feed(Event::Answered(answers[high & 3]));
      break;
    }
    case 10: feed(Event::PauseElapsed()); break;
    case 11: feed(Event::TimedOut(text())); break;
    case 12: feed(Event::Stop((high & 1) != 0)); break;
    case 13: {
      // Another run, maybe of the other kind, another size, other retries,
      // or with an image that cannot be taken.
      RunRequest next = request;
      if (high & 1) next.userModule = !next.userModule;
      if (high & 2) next.imageLength = ImageLength(in.Byte() & 15, in);
      if (high & 4) next.retry = Retries(in.Byte());
      if (high & 8) next.imageProblem = next.imageProblem.empty() ? kImageProblem : "";
      if (!model.Running()) request = next;
      feed(Event::Start(next));
      break;
    }
    case 14:  // one byte of the response at a time
      for (char c : in.Take(high % 9)) receive({static_cast<std::uint8_t>(c)});
      break;
    case 15: feed(Event::SendDone()); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputCursor in(data, size);
  const std::uint8_t flags = in.Byte();
  const int pauseMs = in.Byte() * 20;
  RunRequest request;
  request.host = "127.0.0.1";
  request.port = 2222;
  request.retry = Retries(in.Byte());
  request.userModule = (flags & 1) != 0;
  if (flags & 2) request.imageProblem = kImageProblem;
  request.sectorAddress = in.Long();
  request.imageLength = ImageLength((flags >> 2) & 15, in);

  SessionMachine machine;
  machine.SetModeSwitchPauseMs(pauseMs);
  Model model(machine, pauseMs);
  model.Step(Event::Start(request));
  for (int events = 0; events < 4096 && !in.AtEnd(); ++events) NextEvent(in, model, request);

  // The window closes: whatever goes on ends now, and nothing follows; a
  // stop that crosses the end changes nothing.
  model.Step(Event::Stop(true));
  FUZZ_CHECK(!machine.Running() && model.starts == model.ends);
  model.Step(Event::Stop(false));
  FUZZ_CHECK(machine.ContractViolations() == 0);
  return 0;
}
