// A scripted device behind a fake runner, and a scripted operator, for
// testing the session machine, the download job and the operations without
// sockets, threads or real time.
//
// The runner carries out what the run asks (connect, send, close, pause,
// ask, boxes) and reports back as a real runner would: never from inside
// the call, always later from Run(), the stand-in for the event loop. The
// fake device reads what is sent the way a real device does: 8-byte request
// frames, and after an acknowledged SizeRequest the image in blocks of up to
// 65,536 bytes. Each complete request (frame or block) takes the next
// scripted Reply, whose arrivals are delivered one event each. Everything
// sent is recorded.
#pragma once

#include "operations/DownloadJob.h"
#include "operations/Operator.h"
#include "operations/RunTexts.h"
#include "protocol/Frames.h"
#include "resources/LogPane.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace mervix::testing {

inline ProtocolFrame AckFrame() { return ProtocolFrame{0x52, 0x03, 0, 0, 0, 0, 0, 0}; }
inline ProtocolFrame StatusFrame(std::uint8_t status) { return ProtocolFrame{0x52, 0x05, status, 0, 0, 0, 0, 0}; }
inline ProtocolFrame NakFrame(std::uint16_t flags) {
  return ProtocolFrame{0x52, 0x06, static_cast<std::uint8_t>(flags >> 8), static_cast<std::uint8_t>(flags), 0, 0, 0, 0};
}

// One event on the device's side of the connection.
struct Arrival {
  enum class Kind { Bytes, PeerClose, ReadFailure };
  Kind kind = Kind::Bytes;
  std::vector<std::uint8_t> bytes;
};

// What the device does in answer to one request.
struct Reply {
  std::vector<Arrival> arrivals;

  // The frame in one piece.
  static Reply Frame(const ProtocolFrame& frame) { return Bytes(std::vector<std::uint8_t>(frame.begin(), frame.end())); }
  // The frame cut at the given offsets, each piece its own arrival.
  static Reply Split(const ProtocolFrame& frame, std::vector<std::size_t> cuts) {
    Reply r;
    std::size_t from = 0;
    cuts.push_back(frame.size());
    for (std::size_t to : cuts) {
      r.arrivals.push_back({Arrival::Kind::Bytes, std::vector<std::uint8_t>(frame.begin() + from, frame.begin() + to)});
      from = to;
    }
    return r;
  }
  // The frame one byte per arrival.
  static Reply ByteByByte(const ProtocolFrame& frame) { return Split(frame, {1, 2, 3, 4, 5, 6, 7}); }
  // Any bytes in one arrival (a frame with trailing bytes, a short frame).
  static Reply Bytes(std::vector<std::uint8_t> bytes) {
    Reply r;
    r.arrivals.push_back({Arrival::Kind::Bytes, std::move(bytes)});
    return r;
  }
  static Reply Close() { return Reply().ThenClose(); }
  static Reply ReadFailure() {
    Reply r;
    r.arrivals.push_back({Arrival::Kind::ReadFailure, {}});
    return r;
  }
  // The device never answers.
  static Reply Silence() { return Reply(); }

  Reply& ThenClose() {
    arrivals.push_back({Arrival::Kind::PeerClose, {}});
    return *this;
  }
  Reply& ThenBytes(std::vector<std::uint8_t> bytes) {
    arrivals.push_back({Arrival::Kind::Bytes, std::move(bytes)});
    return *this;
  }
};

// One complete request the device received.
struct SentRequest {
  enum class Kind { Frame, Block };
  Kind kind;
  int connection;                   // 0 for the first connection of the test, 1 for the next...
  ProtocolFrame frame{};            // Kind::Frame
  std::vector<std::uint8_t> bytes;  // Kind::Block
};

// The operator: scripted answers to questions, a record of every box, log
// line and run-indicator change in the order they happened.
class FakeOperator : public Operator {
 public:
  struct Box {
    std::string text;
    ButtonSet buttons;
  };

  // Answers to OK/Cancel and Yes/No boxes, in order. A question with no
  // scripted answer is counted in |unscripted| and answered Cancel / No.
  std::deque<Answer> answers;
  // Runs while a box is open (after it is recorded), as a nested event loop
  // of a modal box would.
  std::function<void(const Box&)> whileBoxOpen;

  std::vector<Box> boxes;
  std::vector<bool> enables;
  // "box:TEXT", "log:LINE" (with its CR LF), "enabled" / "disabled".
  std::vector<std::string> trail;
  int unscripted = 0;

  Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override {
    boxes.push_back({text, buttons});
    trail.push_back("box:" + text);
    if (whileBoxOpen) whileBoxOpen(boxes.back());
    if (buttons == ButtonSet::Ok) return Answer::Ok;
    if (answers.empty()) {
      ++unscripted;
      return buttons == ButtonSet::OkCancel ? Answer::Cancel : Answer::No;
    }
    const Answer a = answers.front();
    answers.pop_front();
    return a;
  }

  void SetDownloadEnabled(bool enabled) override {
    enables.push_back(enabled);
    trail.push_back(enabled ? "enabled" : "disabled");
  }

  // A refresh callback for a LogPane that writes appended lines to the trail.
  LogPane::RefreshCallback LogRecorder() {
    return [this](const std::string&, const std::string& appended) {
      if (!appended.empty()) trail.push_back("log:" + appended);
    };
  }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const Box& b : boxes) texts.push_back(b.text);
    return texts;
  }
  // The log lines of the trail, each without its "log:" mark.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (const std::string& t : trail)
      if (t.rfind("log:", 0) == 0) lines.push_back(t.substr(4));
    return lines;
  }
};

class ScriptedRunner : public RunPort {
 public:
  explicit ScriptedRunner(FakeOperator& op) : op_(op) {}

  // The run this runner reports to (a DownloadJob, or a test's harness).
  void Attach(RunEvents& events) { events_ = &events; }

  // --- script ---
  // The next reply of the device, in order of the requests it answers.
  void Then(Reply reply) { steps_.push_back({false, {}, 0, std::move(reply)}); }
  void ThenFrame(const ProtocolFrame& frame) { Then(Reply::Frame(frame)); }
  // The same, for a request that must be exactly |request|; any other
  // request in its place is recorded in |misuse| (and still answered).
  void Expect(const ProtocolFrame& request, Reply reply) { steps_.push_back({true, request, 0, std::move(reply)}); }
  // The same, for a data block that must be |size| bytes long.
  void ExpectBlock(std::size_t size, Reply reply) { steps_.push_back({true, {}, size, std::move(reply)}); }
  // Outcome of the coming connect attempts (true = connected); attempts
  // beyond the list succeed.
  std::deque<bool> connectResults;
  // This many connect attempts first find no socket at all.
  int createFailures = 0;
  // The connect attempt with this 1-based number (over the whole test) finds
  // no socket at all.
  int noSocketOnAttempt = 0;
  // The Send call with this 1-based number (counted over the whole test) fails.
  int failSendOnCall = 0;
  // Boxes are shown later from Run(), as the window does, instead of at once.
  bool deferBoxes = false;
  // The device's reply arrives before the runner tells that the send has
  // gone (a device answering early); the run must hold it until then.
  bool repliesBeforeSent = false;

  // --- records ---
  std::vector<SentRequest> requests;
  std::vector<std::size_t> sendSizes;  // size of every Send call that succeeded
  std::vector<int> waits;              // every pause, in milliseconds
  std::vector<std::string> connectTargets;
  std::vector<std::string> misuse;     // sends on closed connections, runaway loops, stray calls
  std::vector<Progress> progress;
  std::vector<std::string> details;    // the detail under every box and question, in order
  std::vector<ResponseWait> waitsFor;  // what each send waits for
  int connectionsCreated = 0;          // connections made
  int connectAttempts = 0;
  int closes = 0;
  int drains = 0;                      // closes with a drain
  int unanswered = 0;                  // requests completed with no reply left in the script
  int ends = 0;                        // RunEnded calls
  RunOutcome lastOutcome = RunOutcome::None;
  Failure lastFailure;

  // --- RunPort ---
  void Connect(const std::string& host, std::uint16_t port) override {
    ++connectAttempts;
    connectTargets.push_back(host + ":" + std::to_string(port));
    if (open_) misuse.push_back("Connect while a connection is open");
    if (createFailures > 0 || connectAttempts == noSocketOnAttempt) {
      if (createFailures > 0) --createFailures;
      Post([this] { events_->OnConnectFailed("cannot create a socket", true); });
      return;
    }
    bool ok = true;
    if (!connectResults.empty()) {
      ok = connectResults.front();
      connectResults.pop_front();
    }
    if (!ok) {
      Post([this] { events_->OnConnectFailed("connection refused"); });
      return;
    }
    current_ = connectionsCreated++;
    open_ = true;
    partial_.clear();
    blockBytesLeft_ = 0;
    Post([this] { events_->OnConnected(); });
  }

  void Send(const std::uint8_t* data, std::size_t size) override {
    if (!open_) {
      misuse.push_back("Send without a connection");
      return;
    }
    if (++sendCalls_ == failSendOnCall) {
      Post([this] { events_->OnSendFailed("send failed"); });
      return;
    }
    sendSizes.push_back(size);
    if (!repliesBeforeSent) PostSent();
    partial_.insert(partial_.end(), data, data + size);
    // Cut complete requests off the received stream and answer each.
    for (;;) {
      if (blockBytesLeft_ > 0) {
        const std::size_t blockSize = static_cast<std::size_t>(std::min<std::uint64_t>(blockBytesLeft_, 65536));
        if (partial_.size() < blockSize) return;
        SentRequest r{SentRequest::Kind::Block, current_, {},
                      std::vector<std::uint8_t>(partial_.begin(), partial_.begin() + blockSize)};
        partial_.erase(partial_.begin(), partial_.begin() + blockSize);
        blockBytesLeft_ -= blockSize;
        const Reply reply = NextReply(r);
        requests.push_back(std::move(r));
        // A block answered with anything but an Ack ends the image: what
        // follows are frames again.
        if (!StartsWithAck(reply)) blockBytesLeft_ = 0;
        Queue(reply);
        if (repliesBeforeSent) PostSent();
        continue;
      }
      if (partial_.size() < 8) return;
      SentRequest r{SentRequest::Kind::Frame, current_, {}, {}};
      std::copy(partial_.begin(), partial_.begin() + 8, r.frame.begin());
      partial_.erase(partial_.begin(), partial_.begin() + 8);
      const Reply reply = NextReply(r);
      // An acknowledged SizeRequest turns the stream into image blocks.
      if (r.frame[0] == 0x51 && r.frame[1] == 0x22 && StartsWithAck(reply)) {
        blockBytesLeft_ = (std::uint64_t{r.frame[2]} << 24) | (std::uint64_t{r.frame[3]} << 16) |
                          (std::uint64_t{r.frame[4]} << 8) | r.frame[5];
      }
      requests.push_back(r);
      Queue(reply);
      if (repliesBeforeSent) PostSent();
    }
  }

  void Close(bool drain) override {
    ++closes;
    if (drain) ++drains;
    // Arrivals still queued for this connection are never read.
    open_ = false;
    ++closedGeneration_;
  }

  void Pause(int milliseconds) override {
    waits.push_back(milliseconds);
    Post([this] { events_->OnPauseElapsed(); });
  }

  void Ask(Question, const std::string& text, const std::string& detail, ButtonSet buttons) override {
    Post([this, text, detail, buttons, run = ends] {
      details.push_back(detail);
      const Answer answer = op_.ShowMessageBox(text, buttons);
      if (run == ends) events_->OnAnswered(answer);
    });
  }

  bool ShowMessage(std::uint16_t, const std::string& text, const std::string& detail) override {
    if (!deferBoxes) {
      details.push_back(detail);
      op_.ShowMessageBox(text, ButtonSet::Ok);
      return true;
    }
    Post([this, text, detail] {
      details.push_back(detail);
      op_.ShowMessageBox(text, ButtonSet::Ok);
      events_->BoxClosed();
    });
    return false;
  }

  void AwaitResponse(ResponseWait wait) override { waitsFor.push_back(wait); }

  void ReportProgress(const Progress& p) override { progress.push_back(p); }

  void RunEnded(RunOutcome outcome, const Failure& failure) override {
    ++ends;
    lastOutcome = outcome;
    lastFailure = failure;
    op_.SetDownloadEnabled(true);
  }

  // --- the event loop ---
  // Delivers what is due, one event at a time, until nothing is left.
  void Run(std::size_t maxEvents = 100000) {
    std::size_t delivered = 0;
    while (!due_.empty()) {
      if (++delivered > maxEvents) {
        misuse.push_back("runaway events");
        return;
      }
      std::function<void()> next = std::move(due_.front());
      due_.pop_front();
      next();
    }
  }

  // Delivers the next due event only; false when none is due.
  bool DeliverOne() {
    if (due_.empty()) return false;
    std::function<void()> next = std::move(due_.front());
    due_.pop_front();
    next();
    return true;
  }

  bool Open() const { return open_; }
  // All image bytes received in blocks, in order.
  std::vector<std::uint8_t> BlockBytes() const {
    std::vector<std::uint8_t> all;
    for (const SentRequest& r : requests)
      if (r.kind == SentRequest::Kind::Block) all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    return all;
  }
  std::vector<std::size_t> BlockSizes() const {
    std::vector<std::size_t> sizes;
    for (const SentRequest& r : requests)
      if (r.kind == SentRequest::Kind::Block) sizes.push_back(r.bytes.size());
    return sizes;
  }
  std::vector<ProtocolFrame> Frames() const {
    std::vector<ProtocolFrame> frames;
    for (const SentRequest& r : requests)
      if (r.kind == SentRequest::Kind::Frame) frames.push_back(r.frame);
    return frames;
  }
  // The frames' command bytes (byte 1), in order: 0x21 status, 0x20 switch,
  // 0x23 sector, 0x22 size.
  std::vector<int> FrameCodes() const {
    std::vector<int> codes;
    for (const ProtocolFrame& f : Frames()) codes.push_back(f[1]);
    return codes;
  }

 private:
  struct Step {
    bool checked;
    ProtocolFrame frame;    // expected request frame, when checked and blockSize is 0
    std::size_t blockSize;  // expected block size, when checked and not 0
    Reply reply;
  };

  static bool StartsWithAck(const Reply& reply) {
    std::vector<std::uint8_t> head;
    for (const Arrival& a : reply.arrivals) {
      if (a.kind != Arrival::Kind::Bytes) break;
      head.insert(head.end(), a.bytes.begin(), a.bytes.end());
      if (head.size() >= 2) break;
    }
    return head.size() >= 2 && head[0] == 0x52 && head[1] == 0x03;
  }

  // What a run is told later; dropped when that run has ended by then, as a
  // real runner drops the news of a connection or question of an earlier run.
  void Post(std::function<void()> event) {
    due_.push_back([this, run = ends, event = std::move(event)] {
      if (run == ends) event();
    });
  }

  // The send has gone, unless the connection was closed by then.
  void PostSent() {
    const int generation = closedGeneration_;
    Post([this, generation] {
      if (generation == closedGeneration_ && open_) events_->OnSent();
    });
  }

  // The arrivals of a reply, each its own event, dropped when the connection
  // has been closed by then.
  void Queue(const Reply& reply) {
    const int generation = closedGeneration_;
    for (const Arrival& a : reply.arrivals) {
      Post([this, a, generation] {
        if (generation != closedGeneration_ || !open_) return;
        if (a.kind == Arrival::Kind::Bytes) {
          events_->OnReceived(a.bytes.data(), a.bytes.size());
        } else {
          events_->OnPeerClosed();
        }
      });
    }
  }

  // The reply to |request|, checked against the step's expectation.
  Reply NextReply(const SentRequest& request) {
    if (steps_.empty()) {
      ++unanswered;
      return Reply::Silence();
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (step.checked) {
      const bool isBlock = request.kind == SentRequest::Kind::Block;
      const bool ok = step.blockSize > 0 ? isBlock && request.bytes.size() == step.blockSize
                                         : !isBlock && request.frame == step.frame;
      if (!ok) misuse.push_back("request " + std::to_string(requests.size()) + " is not the one expected");
    }
    return std::move(step.reply);
  }

  FakeOperator& op_;
  RunEvents* events_ = nullptr;
  std::deque<std::function<void()>> due_;
  std::deque<Step> steps_;
  bool open_ = false;
  int current_ = -1;
  int closedGeneration_ = 0;
  int sendCalls_ = 0;
  std::vector<std::uint8_t> partial_;
  std::uint64_t blockBytesLeft_ = 0;
};

// Drives a SessionMachine directly, without a job: what the runner reports
// goes into the machine as events, and the machine's actions are carried out
// on the runner (the image from memory, log lines into |log|). Every action
// is recorded in order. The runner must show its boxes at once.
class MachineHarness : public RunEvents {
 public:
  MachineHarness(ScriptedRunner& runner, LogPane& log) : runner_(runner), log_(log) { runner.Attach(*this); }

  SessionMachine machine;
  std::vector<std::uint8_t> image;
  std::vector<Action> actions;

  void Start(RunRequest run) {
    host_ = run.host;
    Feed(Event::Start(std::move(run)));
  }
  void Feed(const Event& event) {
    std::vector<Action> out;
    machine.Handle(event, out);
    for (const Action& a : out) {
      actions.push_back(a);
      Carry(a);
    }
  }

  void OnConnected() override { Feed(Event::Connected()); }
  void OnConnectFailed(const std::string& reason, bool noSocket) override {
    Feed(Event::ConnectFailed(reason, noSocket));
  }
  void OnReceived(const std::uint8_t* data, std::size_t size) override { Feed(Event::Received(data, size)); }
  void OnSent() override { Feed(Event::SendDone()); }
  void OnPeerClosed() override { Feed(Event::PeerClosed()); }
  void OnSendFailed(const std::string& reason) override { Feed(Event::SendFailed(reason)); }
  void OnAnswered(Answer answer) override { Feed(Event::Answered(answer)); }
  void OnPauseElapsed() override { Feed(Event::PauseElapsed()); }
  void OnTimedOut(const std::string& reason) override { Feed(Event::TimedOut(reason)); }
  void BoxClosed() override {}

 private:
  void Carry(const Action& a) {
    switch (a.kind) {
      case ActionKind::Connect:
        runner_.Connect(a.host, a.port);
        return;
      case ActionKind::SendFrame:
        runner_.Send(a.frame.data(), a.frame.size());
        return;
      case ActionKind::SendImage:
        if (a.offset + a.size > image.size()) {
          Feed(Event::ImageReadFailed("the image ends before the announced length"));
          return;
        }
        runner_.Send(image.data() + a.offset, a.size);
        return;
      case ActionKind::Close:
        runner_.Close(a.drain);
        return;
      case ActionKind::Pause:
        runner_.Pause(a.milliseconds);
        return;
      case ActionKind::Ask:
        runner_.Ask(a.question, QuestionText(a.question), a.failure.detail, a.buttons);
        return;
      case ActionKind::Tell:
        for (const BoxText& box : NoticeBoxes(a)) runner_.ShowMessage(box.messageId, box.text, box.detail);
        return;
      case ActionKind::Log:
        log_.AppendRaw(NoteText(a, host_));
        return;
      case ActionKind::Progress:
        runner_.ReportProgress(a.progress);
        return;
      case ActionKind::RunEnded: {
        Failure failure = a.failure;
        WordFailure(failure, a.count, a.total);
        runner_.RunEnded(a.outcome, failure);
        return;
      }
    }
  }

  ScriptedRunner& runner_;
  LogPane& log_;
  std::string host_;
};

}  // namespace mervix::testing
