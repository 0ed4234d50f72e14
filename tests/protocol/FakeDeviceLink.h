// A scripted device behind a fake DeviceLink, and a scripted operator, for
// testing the protocol session and the operations that drive it without
// sockets, threads or real time.
//
// The fake device reads what the session sends the way a real device does:
// 8-byte request frames, and after an acknowledged SizeRequest the image in
// blocks of up to 65,536 bytes. Each complete request (frame or block) takes
// the next scripted Reply, whose arrivals are queued on that connection and
// delivered one notification each by Run(), the stand-in for the event loop.
// Everything sent is recorded; waits advance a simulated clock instead of
// sleeping. Like a window's socket, the fake does not notify again for bytes
// the session left unread.
#pragma once

#include "protocol/DeviceLink.h"
#include "protocol/Frames.h"
#include "protocol/Operator.h"
#include "resources/LogPane.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mervix::testing {

inline ProtocolFrame AckFrame() { return ProtocolFrame{0x52, 0x03, 0, 0, 0, 0, 0, 0}; }
inline ProtocolFrame StatusFrame(std::uint8_t status) { return ProtocolFrame{0x52, 0x05, status, 0, 0, 0, 0, 0}; }
inline ProtocolFrame NakFrame(std::uint16_t flags) {
  return ProtocolFrame{0x52, 0x06, static_cast<std::uint8_t>(flags >> 8), static_cast<std::uint8_t>(flags), 0, 0, 0, 0};
}

// One event on the device's side of the connection as the session sees it.
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
  Reply& ThenFail() {
    arrivals.push_back({Arrival::Kind::ReadFailure, {}});
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

// What the device does while the session drains in ShutdownConnection.
enum class DrainBehaviour {
  PeerCloses,  // closes its side as soon as it sees the session's
  Silent,      // keeps the connection open and sends nothing
  Chatter,     // keeps sending 50 bytes every 10 ms
};

class FakeDeviceLink;

class FakeConnection : public DeviceConnection {
 public:
  FakeConnection(FakeDeviceLink& link, ConnectionEvents& events, int index) : link_(link), events_(events), index_(index) {}
  ~FakeConnection() override;

  bool Connect(const std::string& host, std::uint16_t port, std::string* error) override;
  bool Send(const std::uint8_t* data, std::size_t size) override;
  long Receive(std::uint8_t* buffer, std::size_t size) override;
  std::size_t Available() override;
  long ReceiveWithin(std::uint8_t* buffer, std::size_t size, int timeoutMs) override;
  void ShutdownSend() override;
  void Close() override;

  int Index() const { return index_; }
  ConnectionEvents& Events() { return events_; }
  bool HasPending() const { return !pending_.empty(); }
  void DeliverNext();
  void Queue(const Reply& reply) {
    for (const Arrival& a : reply.arrivals) pending_.push_back(a);
  }

 private:
  void CheckOpen(const char* call);
  long TakeInbox(std::uint8_t* buffer, std::size_t size);

  FakeDeviceLink& link_;
  ConnectionEvents& events_;
  int index_;
  bool closed_ = false;
  bool peerClosed_ = false;
  bool failed_ = false;
  bool sendShutdown_ = false;
  std::deque<std::uint8_t> inbox_;
  std::deque<Arrival> pending_;
  // What the device has received of the request in progress.
  std::vector<std::uint8_t> partial_;
  // Bytes still to come in block mode (after an acknowledged SizeRequest).
  std::uint64_t blockBytesLeft_ = 0;
};

class FakeDeviceLink : public DeviceLink {
 public:
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
  // CreateConnection returns null for this many calls first.
  int createFailures = 0;
  // The Send call with this 1-based number (counted over the whole test) fails.
  int failSendOnCall = 0;
  DrainBehaviour drain = DrainBehaviour::PeerCloses;

  // --- records ---
  std::vector<SentRequest> requests;
  std::vector<std::size_t> sendSizes;  // size of every Send call that succeeded
  std::vector<std::size_t> readSizes;  // size asked by every Receive call
  std::vector<int> waits;              // every Wait, in milliseconds
  std::vector<int> drainTimeouts;      // the time given to every ReceiveWithin
  std::vector<std::string> connectTargets;
  std::vector<std::string> misuse;     // calls on closed connections, runaway loops
  int connectionsCreated = 0;
  int connectAttempts = 0;
  int closes = 0;
  int shutdownSends = 0;
  int unanswered = 0;                  // requests completed with no reply left in the script
  std::int64_t nowMs = 0;

  std::unique_ptr<DeviceConnection> CreateConnection(ConnectionEvents& events) override {
    if (createFailures > 0) {
      --createFailures;
      return nullptr;
    }
    auto c = std::make_unique<FakeConnection>(*this, events, connectionsCreated++);
    current_ = c.get();
    return c;
  }
  void Wait(int milliseconds) override {
    waits.push_back(milliseconds);
    nowMs += milliseconds;
  }
  std::int64_t MonotonicMs() override { return nowMs; }

  // The event loop: delivers queued arrivals of the current connection, one
  // notification each, until nothing is left to deliver.
  void Run(std::size_t maxNotifications = 100000) {
    std::size_t delivered = 0;
    while (current_ && current_->HasPending()) {
      if (++delivered > maxNotifications) {
        misuse.push_back("runaway notifications");
        return;
      }
      FakeConnection* c = current_;
      c->DeliverNext();
      // The session may destroy |c| inside; it is not touched afterwards.
      c->Events().OnSocketReceive();
    }
  }

  FakeConnection* Current() { return current_; }
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

 private:
  friend class FakeConnection;
  struct Step {
    bool checked;
    ProtocolFrame frame;    // expected request frame, when checked and blockSize is 0
    std::size_t blockSize;  // expected block size, when checked and not 0
    Reply reply;
  };
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
  int sendCalls_ = 0;
  std::deque<Step> steps_;
  FakeConnection* current_ = nullptr;
};

inline bool StartsWithAck(const Reply& reply) {
  std::vector<std::uint8_t> head;
  for (const Arrival& a : reply.arrivals) {
    if (a.kind != Arrival::Kind::Bytes) break;
    head.insert(head.end(), a.bytes.begin(), a.bytes.end());
    if (head.size() >= 2) break;
  }
  return head.size() >= 2 && head[0] == 0x52 && head[1] == 0x03;
}

inline FakeConnection::~FakeConnection() {
  if (link_.current_ == this) link_.current_ = nullptr;
}

inline void FakeConnection::CheckOpen(const char* call) {
  if (closed_) link_.misuse.push_back(std::string(call) + " after Close");
}

inline bool FakeConnection::Connect(const std::string& host, std::uint16_t port, std::string* error) {
  CheckOpen("Connect");
  ++link_.connectAttempts;
  link_.connectTargets.push_back(host + ":" + std::to_string(port));
  bool ok = true;
  if (!link_.connectResults.empty()) {
    ok = link_.connectResults.front();
    link_.connectResults.pop_front();
  }
  if (!ok && error) *error = "connection refused";
  return ok;
}

inline bool FakeConnection::Send(const std::uint8_t* data, std::size_t size) {
  CheckOpen("Send");
  if (++link_.sendCalls_ == link_.failSendOnCall) return false;
  link_.sendSizes.push_back(size);
  partial_.insert(partial_.end(), data, data + size);
  // Cut complete requests off the received stream and answer each.
  for (;;) {
    if (blockBytesLeft_ > 0) {
      const std::size_t blockSize = static_cast<std::size_t>(std::min<std::uint64_t>(blockBytesLeft_, 65536));
      if (partial_.size() < blockSize) return true;
      SentRequest r{SentRequest::Kind::Block, index_, {}, std::vector<std::uint8_t>(partial_.begin(), partial_.begin() + blockSize)};
      partial_.erase(partial_.begin(), partial_.begin() + blockSize);
      blockBytesLeft_ -= blockSize;
      const Reply reply = link_.NextReply(r);
      link_.requests.push_back(std::move(r));
      Queue(reply);
      continue;
    }
    if (partial_.size() < 8) return true;
    SentRequest r{SentRequest::Kind::Frame, index_, {}, {}};
    std::copy(partial_.begin(), partial_.begin() + 8, r.frame.begin());
    partial_.erase(partial_.begin(), partial_.begin() + 8);
    const Reply reply = link_.NextReply(r);
    // An acknowledged SizeRequest turns the stream into image blocks.
    if (r.frame[0] == 0x51 && r.frame[1] == 0x22 && StartsWithAck(reply)) {
      blockBytesLeft_ = (std::uint64_t{r.frame[2]} << 24) | (std::uint64_t{r.frame[3]} << 16) |
                        (std::uint64_t{r.frame[4]} << 8) | r.frame[5];
    }
    link_.requests.push_back(r);
    Queue(reply);
  }
}

inline long FakeConnection::TakeInbox(std::uint8_t* buffer, std::size_t size) {
  const std::size_t n = std::min(size, inbox_.size());
  for (std::size_t i = 0; i < n; ++i) {
    buffer[i] = inbox_.front();
    inbox_.pop_front();
  }
  return static_cast<long>(n);
}

inline long FakeConnection::Receive(std::uint8_t* buffer, std::size_t size) {
  CheckOpen("Receive");
  link_.readSizes.push_back(size);
  if (!inbox_.empty() && size > 0) return TakeInbox(buffer, size);
  if (failed_) return kReceiveFailed;
  if (peerClosed_) return kReceivePeerClosed;
  return kReceiveNothingYet;
}

inline std::size_t FakeConnection::Available() {
  CheckOpen("Available");
  return inbox_.size();
}

inline long FakeConnection::ReceiveWithin(std::uint8_t* buffer, std::size_t size, int timeoutMs) {
  CheckOpen("ReceiveWithin");
  link_.drainTimeouts.push_back(timeoutMs);
  if (inbox_.empty() && !pending_.empty()) DeliverNext();
  if (!inbox_.empty()) return TakeInbox(buffer, size);
  if (failed_) return kReceiveFailed;
  if (peerClosed_) return kReceivePeerClosed;
  switch (link_.drain) {
    case DrainBehaviour::PeerCloses:
      if (sendShutdown_) {
        peerClosed_ = true;
        return kReceivePeerClosed;
      }
      break;
    case DrainBehaviour::Chatter:
      if (timeoutMs >= 10) {
        link_.nowMs += 10;
        const std::size_t n = std::min<std::size_t>(size, 50);
        std::memset(buffer, 0x5A, n);
        return static_cast<long>(n);
      }
      break;
    case DrainBehaviour::Silent:
      break;
  }
  link_.nowMs += timeoutMs;
  return kReceiveTimedOut;
}

inline void FakeConnection::ShutdownSend() {
  CheckOpen("ShutdownSend");
  sendShutdown_ = true;
  ++link_.shutdownSends;
}

inline void FakeConnection::Close() {
  CheckOpen("Close");
  closed_ = true;
  ++link_.closes;
  pending_.clear();
  if (link_.current_ == this) link_.current_ = nullptr;
}

inline void FakeConnection::DeliverNext() {
  Arrival a = std::move(pending_.front());
  pending_.pop_front();
  switch (a.kind) {
    case Arrival::Kind::Bytes:
      inbox_.insert(inbox_.end(), a.bytes.begin(), a.bytes.end());
      break;
    case Arrival::Kind::PeerClose:
      peerClosed_ = true;
      break;
    case Arrival::Kind::ReadFailure:
      failed_ = true;
      break;
  }
}

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
  // Runs while a box is open (after it is recorded), like a nested event loop.
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
};

}  // namespace mervix::testing
