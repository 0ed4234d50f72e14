// The session machine on its own, with no job, file or socket: any sequence
// of events (starts, connects and failed connects, device bytes cut anyhow,
// closes, failed sends and image reads, answers of any kind, pauses that
// end, time-outs, stops and closing windows) for an image of any size, as a
// firmware or a user module run.
//
// A model kept here from the actions alone (what was connected, sent,
// asked, paused and closed, and the bytes the device sent on each
// connection, cut into its 8-byte response frames) checks every action as it
// comes and the machine after every event:
//  - a run starts only from no run, ends exactly once with Progress(Done)
//    then RunEnded as the last action of its event, with nothing at all
//    between runs; a window that closes ends any run; the outcome and
//    failure the machine keeps are those of the RunEnded;
//  - every connection is closed by the end of the run, and a drained close
//    comes only from a closing window;
//  - at most one request is out: a frame or block goes out only on an open
//    connection, with no question open, once the device's whole response to
//    the previous one is there, and that response is the one it follows
//    (status query first on every connection; switch request after status
//    1; sector request after status 2 of a user module run, with the run's
//    address; size request with the image length after the confirmation
//    was answered OK; a block after an Ack);
//  - image bytes go out as contiguous blocks of 65,536 bytes (the last
//    shorter) from offset 0 after each acknowledged size request, within
//    the image, never past its end;
//  - bytes beyond one response frame while a request is out end the run;
//    a whole response is never ignored; the Ack of the last block finishes
//    the run; a stop while a response is awaited sends nothing more and
//    ends the run when the response comes, a stop otherwise ends it at once;
//  - the pause comes after the connection was closed on an Ack, lasts what
//    was set, and only its end reconnects; a question is only ever one at a
//    time, only its answer moves the run on, and "Retry?" follows only a
//    failed connect;
//  - progress counts the acknowledged bytes as the model does, and a stop
//    logs them; a failure logs "<message>: <detail>", names the block in
//    flight (so the last block going out is recognisable), and a refusal
//    carries the device's flag word.
//
// Input: byte 0 flags (bit 0 user module, bit 1 Japanese texts, bits 2-5 the
// image size: a table, or read from the input), byte 1 the pause, four bytes
// of sector address, then events (see NextEvent).
#include "protocol/Frames.h"
#include "protocol/SessionMachine.h"
#include "resources/MessageTable.h"
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

// The requests, as the device reads them.
enum class Request { StatusQuery, Switch, Sector, Size, Image };

ProtocolFrame Frame(std::uint8_t a, std::uint8_t b, std::uint8_t c = 0, std::uint8_t d = 0, std::uint8_t e = 0,
                    std::uint8_t f = 0, std::uint8_t g = 0, std::uint8_t h = 0) {
  return ProtocolFrame{a, b, c, d, e, f, g, h};
}

// Which request a frame is; false for anything else.
bool ReadRequest(const ProtocolFrame& f, Request* kind, std::uint32_t* value) {
  const std::uint32_t word =
      (std::uint32_t{f[2]} << 24) | (std::uint32_t{f[3]} << 16) | (std::uint32_t{f[4]} << 8) | f[5];
  *value = word;
  if (f == Frame(0x51, 0x21)) {
    *kind = Request::StatusQuery;
    return true;
  }
  if (f == Frame(0x51, 0x20, 'S', 'W', 'I', 'T', 'C', 'H')) {
    *kind = Request::Switch;
    return true;
  }
  if (f[0] == 0x51 && f[1] == 0x23 && f[6] == 0 && f[7] == 0) {
    *kind = Request::Sector;
    return true;
  }
  if (f[0] == 0x51 && f[1] == 0x22 && f[6] == 0 && f[7] == 0) {
    *kind = Request::Size;
    return true;
  }
  return false;
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

enum class Conn { None, Connecting, Open };
enum class Asked { None, Retry, Confirm };

// One request or block the run sent, and where its response comes from.
struct Sent {
  Request kind;
  std::size_t connection;  // which connection of the run (from 0)
  std::size_t index;       // its place among the sends of that connection
  std::uint64_t offset = 0, size = 0;
};

// What the machine's actions have done so far, and what the device sent.
class Model {
 public:
  Model(SessionMachine& machine, int pauseMs) : m_(machine), pauseMs_(pauseMs) {}

  int starts = 0;
  int ends = 0;

  // Feeds |event| to the machine and checks what it does.
  void Step(const Event& event) {
    const bool wasRunning = running_;
    const Conn connBefore = conn_;
    const Asked askedBefore = asked_;
    const bool pausingBefore = pausing_;
    const bool stopPendingBefore = stopPending_;
    const bool heldCloseBefore = heldClose_;
    const std::size_t sendsBefore = SendsOnConnection();
    const std::size_t framesBefore = conn_ == Conn::Open ? Stream().size() / kFrameSize : 0;
    // What the event brings before the machine sees it.
    bool bytesTaken = false;
    bool stopWaits = false;
    switch (event.kind) {
      case EventKind::RunStarted:
        if (!running_) {
          running_ = true;
          ++starts;
          run_ = event.run;
          conn_ = Conn::None;
          asked_ = Asked::None;
          pausing_ = stopPending_ = heldClose_ = false;
          sends_.clear();
          streams_.clear();
          handed_.clear();
        }
        break;
      case EventKind::Connected:
        if (running_ && conn_ == Conn::Connecting) {
          conn_ = Conn::Open;
          streams_.emplace_back();
          handed_.emplace_back();
        }
        break;
      case EventKind::BytesReceived:
        if (running_ && conn_ == Conn::Open && event.size > 0) {
          Stream().insert(Stream().end(), event.data, event.data + event.size);
          bytesTaken = true;
          // Held while a question is open, handed over at once otherwise.
          if (asked_ == Asked::None) handed_.back().push_back(Stream().size());
        }
        break;
      case EventKind::ConnectFailed:
        if (running_ && conn_ == Conn::Connecting) conn_ = Conn::None;
        break;
      case EventKind::Answered:
        // Any answer closes the open question; after an OK, what arrived
        // meanwhile is handed over in one piece.
        if (asked_ == Asked::Confirm && event.answer == Answer::Ok && conn_ == Conn::Open &&
            (handed_.back().empty() || handed_.back().back() < Stream().size())) {
          handed_.back().push_back(Stream().size());
        }
        asked_ = Asked::None;
        break;
      case EventKind::PeerClosed:
        if (running_ && conn_ == Conn::Open && asked_ == Asked::Confirm) heldClose_ = true;
        break;
      case EventKind::StopRequested:
        // A stop while the response to what is out is awaited waits for it.
        if (running_ && !event.closing && Awaiting()) stopWaits = stopPending_ = true;
        break;
      default:
        break;
    }

    std::vector<Action> actions;
    m_.Handle(event, actions);
    if (trace_) Trace(event, actions);

    if (!wasRunning && event.kind != EventKind::RunStarted) FUZZ_CHECK(actions.empty());
    if (wasRunning && event.kind == EventKind::RunStarted) FUZZ_CHECK(actions.empty());
    if (!wasRunning && event.kind == EventKind::RunStarted) FUZZ_CHECK(!actions.empty());

    const Action* end = nullptr;
    bool closedNow = false;
    bool sentNow = false;
    for (std::size_t i = 0; i < actions.size(); ++i) {
      const Action& a = actions[i];
      FUZZ_CHECK(running_);  // nothing after the end, nothing without a run
      switch (a.kind) {
        case ActionKind::Connect:
          FUZZ_CHECK(conn_ == Conn::None && asked_ == Asked::None && !stopPending_);
          FUZZ_CHECK(a.host == run_.host && a.port == run_.port);
          // The first connect of a run, a Yes to "Retry?", or the pause's end.
          FUZZ_CHECK((event.kind == EventKind::RunStarted && sends_.empty() && streams_.empty()) ||
                     (event.kind == EventKind::Answered && askedBefore == Asked::Retry &&
                      event.answer == Answer::Yes) ||
                     (event.kind == EventKind::PauseElapsed && pausingBefore));
          pausing_ = false;
          conn_ = Conn::Connecting;
          break;
        case ActionKind::SendFrame:
        case ActionKind::SendImage:
          CheckSend(a, event, askedBefore);
          sentNow = true;
          break;
        case ActionKind::Close:
          FUZZ_CHECK(!a.drain || (event.kind == EventKind::StopRequested && event.closing));
          conn_ = Conn::None;
          closedNow = true;
          break;
        case ActionKind::Pause: {
          // After the device acknowledged the switch (or, after a reconnect,
          // the query), on a connection already closed.
          FUZZ_CHECK(closedNow && conn_ == Conn::None && asked_ == Asked::None && !pausing_);
          FUZZ_CHECK(a.milliseconds == pauseMs_);
          const Sent& last = sends_.back();
          FUZZ_CHECK(last.kind == Request::Switch || last.kind == Request::StatusQuery);
          FUZZ_CHECK(ResponseOf(last) != nullptr && IsAck(*ResponseOf(last)));
          pausing_ = true;
          break;
        }
        case ActionKind::Ask:
          FUZZ_CHECK(asked_ == Asked::None && !stopPending_);
          if (a.question == Question::Retry) {
            FUZZ_CHECK(a.buttons == ButtonSet::YesNo);
            FUZZ_CHECK(event.kind == EventKind::ConnectFailed && !event.noSocket && connBefore == Conn::Connecting);
            asked_ = Asked::Retry;
          } else {
            // Status 3, or status 2 of a firmware run: the permanent write.
            FUZZ_CHECK(a.buttons == ButtonSet::OkCancel && conn_ == Conn::Open && !sends_.empty());
            const ProtocolFrame* response = ResponseOf(sends_.back());
            FUZZ_CHECK(response != nullptr);
            const int status = StatusOf(*response);
            FUZZ_CHECK(status == 3 || (status == 2 && !run_.userModule));
            asked_ = Asked::Confirm;
          }
          break;
        case ActionKind::Progress:
          CheckProgress(a.progress);
          if (a.progress.phase == ProgressPhase::Done) {
            FUZZ_CHECK(i + 2 == actions.size() && actions[i + 1].kind == ActionKind::RunEnded);
          }
          break;
        case ActionKind::RunEnded:
          FUZZ_CHECK(i + 1 == actions.size());
          FUZZ_CHECK(i > 0 && actions[i - 1].kind == ActionKind::Progress &&
                     actions[i - 1].progress.phase == ProgressPhase::Done);
          end = &a;
          CheckEnd(a, event, actions, askedBefore, stopPendingBefore);
          running_ = false;
          conn_ = Conn::None;
          asked_ = Asked::None;
          pausing_ = stopPending_ = heldClose_ = false;
          ++ends;
          break;
        case ActionKind::ShowMessage:
        case ActionKind::Log:
          break;
      }
    }

    // What the event must have done.
    if (wasRunning) {
      switch (event.kind) {
        case EventKind::StopRequested:
          if (event.closing) {
            FUZZ_CHECK(end != nullptr && end->outcome == RunOutcome::Closed);
          } else if (stopWaits) {
            FUZZ_CHECK(actions.empty());
          } else {
            FUZZ_CHECK(end != nullptr && end->outcome == RunOutcome::Stopped);
          }
          break;
        case EventKind::TimedOut:
          if (connBefore == Conn::Connecting || (connBefore == Conn::Open && askedBefore == Asked::None)) {
            FUZZ_CHECK(end != nullptr && end->outcome == RunOutcome::Failed);
            FUZZ_CHECK(end->failure.messageId == IDS_ERROR_NO_RESPONSE &&
                       end->failure.origin == FailureOrigin::Link);
          } else {
            FUZZ_CHECK(actions.empty());
          }
          break;
        case EventKind::Connected:
          if (connBefore == Conn::Connecting) {
            FUZZ_CHECK(sentNow && SendsOnConnection() == 1);
          } else {
            FUZZ_CHECK(actions.empty());
          }
          break;
        case EventKind::ConnectFailed:
          if (connBefore == Conn::Connecting) {
            FUZZ_CHECK(event.noSocket ? end != nullptr && end->outcome == RunOutcome::Failed
                                      : asked_ == Asked::Retry && end == nullptr);
          } else {
            FUZZ_CHECK(actions.empty());
          }
          break;
        case EventKind::Answered:
          if (askedBefore == Asked::Retry) {
            if (event.answer == Answer::Yes) {
              FUZZ_CHECK(conn_ == Conn::Connecting && end == nullptr);
            } else {
              FUZZ_CHECK(end != nullptr && end->outcome == RunOutcome::Failed);
            }
          } else if (askedBefore == Asked::Confirm) {
            if (event.answer == Answer::Ok) {
              FUZZ_CHECK(sentNow);
              // A close that came while the question was open ends the run
              // now, unless what came before it asks the question again.
              if (heldCloseBefore) FUZZ_CHECK(end != nullptr || asked_ == Asked::Confirm);
            } else {
              FUZZ_CHECK(end != nullptr && end->outcome == RunOutcome::Cancelled);
            }
          } else {
            FUZZ_CHECK(actions.empty());
          }
          break;
        case EventKind::PauseElapsed:
          if (pausingBefore) {
            FUZZ_CHECK(conn_ == Conn::Connecting);
          } else {
            FUZZ_CHECK(actions.empty());
          }
          break;
        case EventKind::PeerClosed:
          if (connBefore == Conn::Open && askedBefore == Asked::None) {
            FUZZ_CHECK(end != nullptr && end->outcome == RunOutcome::Failed &&
                       end->failure.origin == FailureOrigin::Link);
          } else {
            FUZZ_CHECK(actions.empty());
          }
          break;
        case EventKind::SendFailed:
        case EventKind::ImageReadFailed:
          if (connBefore == Conn::Open) {
            FUZZ_CHECK(end != nullptr && end->outcome == RunOutcome::Failed);
            FUZZ_CHECK(end->failure.origin == (event.kind == EventKind::SendFailed ? FailureOrigin::Link
                                                                                   : FailureOrigin::File));
          } else {
            FUZZ_CHECK(actions.empty());
          }
          break;
        case EventKind::BytesReceived:
          if (!bytesTaken || askedBefore != Asked::None) {
            FUZZ_CHECK(actions.empty());
          } else if (Stream().size() / kFrameSize > framesBefore && framesBefore < sendsBefore) {
            // The response to what was out is complete: never ignored, and
            // with a stop pending it is the last thing the run handles.
            FUZZ_CHECK(!actions.empty());
            if (stopPendingBefore) FUZZ_CHECK(end != nullptr);
          } else {
            FUZZ_CHECK(actions.empty());
          }
          break;
        case EventKind::RunStarted:
          break;
      }
    }

    // The machine's own view agrees with the model.
    FUZZ_CHECK(m_.Running() == running_);
    if (running_) {
      FUZZ_CHECK(m_.Outstanding() == Awaiting());
      // While a request is out, no byte beyond its one response frame is
      // taken: more ends the run (unless the last block's Ack came first).
      if (conn_ == Conn::Open && asked_ == Asked::None) {
        FUZZ_CHECK(Stream().size() <= SendsOnConnection() * kFrameSize);
      }
    } else if (end != nullptr) {
      FUZZ_CHECK(m_.LastOutcome() == end->outcome);
      FUZZ_CHECK(m_.LastFailure().messageId == end->failure.messageId &&
                 m_.LastFailure().origin == end->failure.origin && m_.LastFailure().detail == end->failure.detail);
    }
  }

  bool Running() const { return running_; }
  Conn Connection() const { return conn_; }
  Asked Question() const { return asked_; }
  bool Pausing() const { return pausing_; }
  std::size_t Connections() const { return streams_.size(); }
  const RunRequest& Run() const { return run_; }
  // The last request of the run, if any.
  const Sent* LastSent() const { return sends_.empty() ? nullptr : &sends_.back(); }
  // A request or block is out on the open connection and its response has
  // not all come.
  bool Awaiting() const {
    return running_ && conn_ == Conn::Open && asked_ == Asked::None &&
           Stream().size() < SendsOnConnection() * kFrameSize;
  }
  // Bytes of the response being assembled.
  std::size_t PartialBytes() const { return conn_ == Conn::Open ? Stream().size() % kFrameSize : 0; }

 private:
  std::vector<std::uint8_t>& Stream() { return streams_.back(); }
  const std::vector<std::uint8_t>& Stream() const { return streams_.back(); }

  std::size_t SendsOnConnection() const {
    if (conn_ != Conn::Open) return 0;
    std::size_t n = 0;
    for (auto it = sends_.rbegin(); it != sends_.rend() && it->connection + 1 == streams_.size(); ++it) ++n;
    return n;
  }

  // The device's whole response to |s|, or null while it is incomplete.
  const ProtocolFrame* ResponseOf(const Sent& s) {
    const std::vector<std::uint8_t>& stream = streams_[s.connection];
    if (stream.size() < (s.index + 1) * kFrameSize) return nullptr;
    std::memcpy(scratch_.data(), stream.data() + s.index * kFrameSize, kFrameSize);
    return &scratch_;
  }

  // Whether the response to |s| reached the machine with more bytes behind
  // it in the same piece (a protocol error: it is not taken), or has not
  // reached it at all (held while a question is open).
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
    FUZZ_CHECK(conn_ == Conn::Open && asked_ == Asked::None && !stopPending_);
    const std::size_t index = SendsOnConnection();
    // One at a time: the whole response to the previous one is there.
    FUZZ_CHECK(Stream().size() >= index * kFrameSize);
    const ProtocolFrame* previous = index > 0 ? ResponseOf(sends_.back()) : nullptr;
    Sent s{Request::Image, streams_.size() - 1, index};
    if (a.kind == ActionKind::SendFrame) {
      std::uint32_t value = 0;
      FUZZ_CHECK(ReadRequest(a.frame, &s.kind, &value));
      switch (s.kind) {
        case Request::StatusQuery:
          FUZZ_CHECK(index == 0);
          break;
        case Request::Switch:
          FUZZ_CHECK(previous != nullptr && StatusOf(*previous) == 1);
          break;
        case Request::Sector:
          FUZZ_CHECK(previous != nullptr && StatusOf(*previous) == 2 && run_.userModule);
          FUZZ_CHECK(value == run_.sectorAddress);
          break;
        case Request::Size:
          FUZZ_CHECK(event.kind == EventKind::Answered && askedBefore == Asked::Confirm && event.answer == Answer::Ok);
          FUZZ_CHECK(value == run_.imageLength);
          break;
        case Request::Image:
          break;
      }
      FUZZ_CHECK(index == 0 || s.kind != Request::StatusQuery);
      FUZZ_CHECK(index > 0 || s.kind == Request::StatusQuery);
    } else {
      // A block follows an Ack: the size request's (from offset 0) or the
      // previous block's (right after it).
      FUZZ_CHECK(previous != nullptr && IsAck(*previous));
      const Sent& last = sends_.back();
      FUZZ_CHECK(last.kind == Request::Size || last.kind == Request::Image);
      const std::uint64_t expected = last.kind == Request::Size ? 0 : last.offset + last.size;
      FUZZ_CHECK(a.offset == expected && expected < run_.imageLength);
      FUZZ_CHECK(a.size == std::min<std::uint64_t>(kBlock, run_.imageLength - expected));
      s.offset = a.offset;
      s.size = a.size;
    }
    sends_.push_back(s);
  }

  void CheckProgress(const Progress& p) {
    FUZZ_CHECK(p.total == run_.imageLength);
    FUZZ_CHECK(p.blocks == BlocksOf(run_.imageLength));
    FUZZ_CHECK(p.bytesSent <= p.total && p.bytesAcknowledged <= p.total);
    FUZZ_CHECK(p.bytesAcknowledged == Acknowledged());
    if (p.phase == ProgressPhase::Sending) {
      const Sent* last = LastSent();
      FUZZ_CHECK(last != nullptr && last->kind == Request::Image);
      FUZZ_CHECK(p.bytesSent == last->offset + last->size);
      FUZZ_CHECK(p.block == last->offset / kBlock + 1 && p.block <= p.blocks);
    }
  }

  void CheckEnd(const Action& a, const Event& event, const std::vector<Action>& actions, Asked askedBefore,
                bool stopPendingBefore) {
    // Every connection is closed by now.
    FUZZ_CHECK(conn_ == Conn::None);
    const Failure& f = a.failure;
    const Sent* last = LastSent();
    const ProtocolFrame* response = last != nullptr ? ResponseOf(*last) : nullptr;
    const bool lastBlockAcked = last != nullptr && last->kind == Request::Image &&
                                last->offset + last->size == run_.imageLength && response != nullptr &&
                                IsAck(*response);
    auto logged = [&](const std::string& line) {
      for (const Action& x : actions) {
        if (x.kind == ActionKind::Log && x.text == line) return true;
      }
      return false;
    };
    switch (a.outcome) {
      case RunOutcome::None:
        FUZZ_CHECK(false);
        break;
      case RunOutcome::Finished:
        FUZZ_CHECK(lastBlockAcked && !f.failed());
        FUZZ_CHECK(event.kind == EventKind::BytesReceived || event.kind == EventKind::Answered);
        break;
      case RunOutcome::Closed:
        FUZZ_CHECK(event.kind == EventKind::StopRequested && event.closing);
        break;
      case RunOutcome::Cancelled:
        FUZZ_CHECK(event.kind == EventKind::Answered && askedBefore == Asked::Confirm && event.answer != Answer::Ok);
        break;
      case RunOutcome::Stopped: {
        FUZZ_CHECK((event.kind == EventKind::StopRequested && !event.closing) || stopPendingBefore);
        // What the device has: the bytes it acknowledged.
        const std::string line = SubstituteArguments(GetMessageText(IDS_INFO_STOPPED), std::to_string(Acknowledged()),
                                                     std::to_string(run_.imageLength));
        FUZZ_CHECK(logged(line + "\r\n"));
        break;
      }
      case RunOutcome::Failed: {
        FUZZ_CHECK(f.failed() && f.messageId != 0 && !f.message.empty());
        // The cause is logged with the failure's message, or with that of a
        // box shown for it (no socket: the connect error closes the pair).
        auto causeLine = [&](const std::string& message) {
          return f.detail.empty() ? message + "\r\n" : message + ": " + f.detail + "\r\n";
        };
        bool causeLogged = logged(causeLine(f.message));
        for (const Action& x : actions) {
          if (x.kind == ActionKind::ShowMessage && logged(causeLine(x.text))) causeLogged = true;
        }
        FUZZ_CHECK(causeLogged);
        if (event.kind == EventKind::BytesReceived && response != nullptr && IsNak(*response) &&
            Stream().size() == (last->index + 1) * kFrameSize) {
          // The device refused what was out: its flags go with the failure.
          FUZZ_CHECK(f.origin == FailureOrigin::DeviceRefusal);
          FUZZ_CHECK(f.nakFlags == (((*response)[2] << 8) | (*response)[3]));
          FUZZ_CHECK(f.messageId == NakMessageId(f.nakFlags));
        }
        // A failure while a block is out names it; so a failure after the
        // last block went out is told apart from one before.
        if (askedBefore == Asked::None && last != nullptr && last->kind == Request::Image) {
          FUZZ_CHECK(f.phase == RunPhase::Block);
          FUZZ_CHECK(f.block == last->offset / kBlock + 1 && f.blocks == BlocksOf(run_.imageLength));
          FUZZ_CHECK((f.block >= f.blocks) == (last->offset + last->size == run_.imageLength));
        }
        if (f.phase == RunPhase::Block) FUZZ_CHECK(last != nullptr && last->kind == Request::Image);
        break;
      }
    }
    // The Ack of the last block finishes the run, whatever else is pending.
    if (lastBlockAcked && event.kind == EventKind::BytesReceived) FUZZ_CHECK(a.outcome == RunOutcome::Finished);
  }

  // MERVIX_FUZZ_TRACE set: one line per event with its actions, to read
  // what an input does.
  static void Trace(const Event& e, const std::vector<Action>& actions) {
    static const char* const events[] = {"start",       "connected", "connect-failed", "bytes",
                                         "peer-closed", "send-failed", "read-failed",  "answered",
                                         "pause-elapsed", "timed-out", "stop"};
    static const char* const kinds[] = {"connect", "frame", "image", "close",    "pause",
                                        "ask",     "box",   "log",   "progress", "end"};
    std::fprintf(stderr, "%s", events[static_cast<int>(e.kind)]);
    if (e.kind == EventKind::BytesReceived) {
      for (std::size_t i = 0; i < e.size; ++i) std::fprintf(stderr, " %02X", e.data[i]);
    }
    if (e.kind == EventKind::Answered) std::fprintf(stderr, " %d", static_cast<int>(e.answer));
    if (e.kind == EventKind::StopRequested && e.closing) std::fprintf(stderr, " closing");
    std::fprintf(stderr, " ->");
    for (const Action& a : actions) {
      std::fprintf(stderr, " %s", kinds[static_cast<int>(a.kind)]);
      if (a.kind == ActionKind::SendImage) {
        std::fprintf(stderr, "[%llu+%u]", static_cast<unsigned long long>(a.offset), a.size);
      }
      if (a.kind == ActionKind::SendFrame) std::fprintf(stderr, "[%02X%02X]", a.frame[0], a.frame[1]);
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
  bool pausing_ = false;
  bool stopPending_ = false;
  bool heldClose_ = false;
  std::vector<Sent> sends_;
  std::vector<std::vector<std::uint8_t>> streams_;  // the bytes of each connection of the run
  // Where each piece handed to the machine ended, in each stream.
  std::vector<std::vector<std::size_t>> handed_;
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

// What a well-behaved device and operator do next; |choice| picks the
// status a query is answered with and where the response is cut.
void Helpful(Model& model, std::uint8_t choice, std::vector<std::uint8_t>& buffer) {
  if (!model.Running()) {
    model.Step(Event::Start(model.Run()));
    return;
  }
  if (model.Connection() == Conn::Connecting) {
    model.Step(Event::Connected());
    return;
  }
  if (model.Question() != Asked::None) {
    model.Step(Event::Answered(model.Question() == Asked::Retry ? Answer::Yes : Answer::Ok));
    return;
  }
  if (model.Pausing()) {
    model.Step(Event::PauseElapsed());
    return;
  }
  const Sent* last = model.LastSent();
  if (!model.Awaiting() || last == nullptr) {
    model.Step(Event::Stop(false));
    return;
  }
  ProtocolFrame f = Frame(0x52, 0x03);  // Ack for switch, size and blocks
  if (last->kind == Request::StatusQuery) {
    // Mostly status 1 on the first connection of a run, 2 or 3 after the
    // switch, so that a run gets to its blocks.
    static const std::uint8_t first[] = {1, 1, 2, 3};
    static const std::uint8_t later[] = {2, 2, 3, 1};
    const std::uint8_t status = (model.Connections() <= 1 ? first : later)[choice & 3];
    f = (choice & 4) && status != 3 ? Frame(0x52, 0x05, 0, status) : Frame(0x52, 0x05, status, 0);
  } else if (last->kind == Request::Sector) {
    f = Frame(0x52, 0x05, 3, 0);
  }
  // The part not yet sent, in one or two pieces.
  const std::size_t have = model.PartialBytes();
  const std::size_t cut = have + (choice >> 4) % (kFrameSize - have + 1);
  for (const auto& piece : {std::make_pair(have, cut), std::make_pair(cut, kFrameSize)}) {
    if (piece.first == piece.second || !model.Running()) continue;
    buffer = std::vector<std::uint8_t>(f.begin() + piece.first, f.begin() + piece.second);
    model.Step(Event::Received(buffer.data(), buffer.size()));
  }
}

// Reads one event from the input and feeds it.
void NextEvent(InputCursor& in, Model& model, RunRequest& request) {
  const std::uint8_t op = in.Byte();
  const std::uint8_t high = op >> 4;
  // Each event's bytes in a buffer of their size alone (a fresh copy), so
  // that a read past them is caught.
  std::vector<std::uint8_t> bytes;
  auto receive = [&](const std::vector<std::uint8_t>& data) {
    bytes = std::vector<std::uint8_t>(data);
    model.Step(Event::Received(bytes.empty() ? nullptr : bytes.data(), bytes.size()));
  };
  auto text = [&]() {
    const std::string_view t = in.Take(in.Byte() % 24);
    return std::string(t);
  };
  switch (op & 15) {
    case 0:
    case 15:
      Helpful(model, in.Byte(), bytes);
      break;
    case 1: {
      // Many steps of a good run at once, to get deep into large images.
      const int steps = 1 + in.Byte();
      const std::uint8_t choice = in.Byte();
      for (int i = 0; i < steps; ++i) Helpful(model, choice, bytes);
      break;
    }
    case 2:
      model.Step(Event::Connected());
      break;
    case 3:
      model.Step(Event::ConnectFailed(text(), high == 15));
      break;
    case 4: {
      const std::string_view raw = in.Take(in.Byte() % 33);
      receive(std::vector<std::uint8_t>(raw.begin(), raw.end()));
      break;
    }
    case 5: {
      // A response of some kind, whole or with bytes after it.
      ProtocolFrame f;
      switch (high & 7) {
        case 0: f = Frame(0x52, 0x03, in.Byte(), in.Byte()); break;
        case 1: f = Frame(0x52, 0x05, in.Byte() & 3, 0); break;
        case 2: f = Frame(0x52, 0x05, 0, in.Byte() & 3); break;
        case 3: f = Frame(0x52, 0x06, in.Byte(), in.Byte()); break;
        case 4: f = Frame(0x52, 0x05, in.Byte(), in.Byte(), in.Byte(), 0, 0, in.Byte()); break;
        case 5: f = Frame(0x52, in.Byte()); break;
        case 6: f = Frame(0x51, 0x21); break;
        default: f = Frame(in.Byte(), in.Byte(), 0, 0, 0, 0, 0, 0); break;
      }
      std::vector<std::uint8_t> data(f.begin(), f.end());
      if (high & 8) data.push_back(in.Byte());
      receive(data);
      break;
    }
    case 6:
      model.Step(Event::PeerClosed());
      break;
    case 7:
      model.Step(Event::SendFailed(text()));
      break;
    case 8:
      model.Step(Event::ImageReadFailed(text()));
      break;
    case 9: {
      static const Answer answers[] = {Answer::Ok, Answer::Cancel, Answer::Yes, Answer::No};
      model.Step(Event::Answered(answers[high & 3]));
      break;
    }
    case 10:
      model.Step(Event::PauseElapsed());
      break;
    case 11:
      model.Step(Event::TimedOut(text()));
      break;
    case 12:
      model.Step(Event::Stop((high & 1) != 0));
      break;
    case 13: {
      // Another run, maybe of the other kind or another size.
      RunRequest next = request;
      if (high & 1) next.userModule = !next.userModule;
      if (high & 2) next.imageLength = ImageLength(in.Byte() & 15, in);
      if (!model.Running()) request = next;
      model.Step(Event::Start(next));
      break;
    }
    case 14: {
      // One byte of the response at a time.
      const std::string_view raw = in.Take(high % 9);
      for (char c : raw) {
        receive({static_cast<std::uint8_t>(c)});
      }
      break;
    }
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
  request.userModule = (flags & 1) != 0;
  request.sectorAddress = in.Long();
  request.imageLength = ImageLength((flags >> 2) & 15, in);
  SetActiveLanguage((flags & 2) ? Language::Japanese : Language::English);

  SessionMachine machine;
  machine.SetModeSwitchPauseMs(pauseMs);
  Model model(machine, pauseMs);
  model.Step(Event::Start(request));
  for (int events = 0; events < 4096 && !in.AtEnd(); ++events) NextEvent(in, model, request);

  // The window closes: whatever goes on ends now, and nothing follows.
  model.Step(Event::Stop(true));
  FUZZ_CHECK(!machine.Running());
  FUZZ_CHECK(model.starts == model.ends);
  model.Step(Event::PeerClosed());
  model.Step(Event::Answered(Answer::Ok));
  SetActiveLanguage(Language::English);
  return 0;
}
