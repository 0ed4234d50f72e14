// The protocol session as a state machine without input or output.
//
// Events go in (the run started, the connection is made or failed, bytes
// arrived, the peer closed, a send failed, the operator answered, the pause
// is over, a stop was asked for), actions come out (connect, send a frame,
// send a range of the image, close, pause, ask, show a message, write a log
// line, report progress, end the run). The machine never touches a socket,
// a file, a clock or the operator: a runner owns those, carries out the
// actions in order and feeds what happens back in as events. Every state
// and transition is in SessionMachine.cpp.
//
// A run:   RunStarted -> Connect -> (Connected) -> SendFrame StatusQuery
//          -> bytes of the reply ... -> RunEnded
// Exactly one RunEnded closes every run, after which the machine ignores
// everything but the next RunStarted. At most one request (a frame or a
// block) is ever outstanding: the next goes out only after the device's
// one response frame to the last has been handled.
#pragma once

#include "protocol/Frames.h"
#include "resources/Failure.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mervix {

// Which acknowledgement the session awaits.
enum class DownloadState : std::int32_t {
  Idle = 1,
  SwitchRequested = 2,
  SectorRequested = 3,
  SizeRequested = 4,
  SendingBlocks = 5,
};

enum class ButtonSet { Ok, OkCancel, YesNo };
enum class Answer { Ok, Cancel, Yes, No };

// How a run ended.
enum class RunOutcome {
  None,       // no run has ended yet
  Finished,   // the last block was acknowledged
  Cancelled,  // the operator did not confirm the permanent write
  Failed,     // refused by the device, a protocol or link error, or no connection
  Stopped,    // the operator stopped the run
  Closed,     // ended because the window closed
};

// What a run needs to know before it starts.
struct RunRequest {
  std::string host;
  std::uint16_t port = 0;
  std::uint32_t imageLength = 0;
  bool userModule = false;          // send the SectorRequest before the size
  std::uint32_t sectorAddress = 0;  // its address (a user module run only)
};

// The questions the session asks.
enum class Question {
  Retry,    // message 130 "Retry?", Yes/No, after a failed connect
  Confirm,  // message 110 "Permanent write! Continue?", OK/Cancel
};

// The step a run is at, for progress displays.
enum class ProgressPhase {
  Connecting,    // the first connection is being made
  Querying,      // the status query is out
  ModeSwitch,    // the switch request is out, or the pause before the reconnect
  Reconnecting,  // the connection after the mode switch
  Sector,        // the sector request is out
  Confirming,    // the operator is asked to confirm the write
  Size,          // the size request is out
  Sending,       // a block is out
  Done,          // the run has ended
};

struct Progress {
  ProgressPhase phase = ProgressPhase::Connecting;
  std::uint64_t bytesSent = 0;          // image bytes handed to the connection
  std::uint64_t bytesAcknowledged = 0;  // image bytes the device acknowledged
  std::uint64_t total = 0;              // the image length
  std::uint32_t block = 0;              // the block in flight, from 1 (Sending)
  std::uint32_t blocks = 0;             // blocks of the image
};

enum class EventKind {
  RunStarted,      // run
  Connected,       //
  ConnectFailed,   // detail; noSocket when no socket could be created at all
  BytesReceived,   // data, size
  PeerClosed,      //
  SendFailed,      // detail
  ImageReadFailed, // detail: the image could not be read for a block
  Answered,        // answer
  PauseElapsed,    //
  TimedOut,        // detail: the runner's deadline for a response passed
  StopRequested,   // the operator stops the run: at once while nothing is in
                   // flight, else once the response to what is in flight has
                   // come; closing: the window closes (at once, with a drain)
};

struct Event {
  EventKind kind = EventKind::PeerClosed;
  RunRequest run;
  std::string detail;
  bool noSocket = false;
  const std::uint8_t* data = nullptr;  // valid during the call only
  std::size_t size = 0;
  Answer answer = Answer::Ok;
  bool closing = false;

  static Event Start(RunRequest run);
  static Event Connected();
  static Event ConnectFailed(std::string reason, bool noSocket = false);
  static Event Received(const std::uint8_t* data, std::size_t size);
  static Event PeerClosed();
  static Event SendFailed(std::string reason);
  static Event ImageReadFailed(std::string reason);
  static Event Answered(Answer answer);
  static Event PauseElapsed();
  static Event TimedOut(std::string reason);
  static Event Stop(bool closing = false);
};

enum class ActionKind {
  Connect,      // host, port: open a connection; answer Connected or ConnectFailed
  SendFrame,    // frame: send 8 bytes; a failure comes back as SendFailed
  SendImage,    // offset, size: send those bytes of the image
  Close,        // close the connection; drain: shut down sending and discard
                // what still arrives (bounded) first, as when the window closes
  Pause,        // milliseconds: answer PauseElapsed when they have passed
  Ask,          // question, text, detail, buttons: answer Answered
  ShowMessage,  // messageId, text, detail: a box with OK; nothing comes back
  Log,          // text: append to the log as it is (it carries its CR LF)
  Progress,     // progress
  RunEnded,     // outcome, failure: the run is over; the run indicator is enabled
};

struct Action {
  ActionKind kind = ActionKind::Log;
  std::string host;
  std::uint16_t port = 0;
  ProtocolFrame frame{};
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  bool drain = false;
  int milliseconds = 0;
  Question question = Question::Confirm;
  ButtonSet buttons = ButtonSet::Ok;
  std::uint16_t messageId = 0;
  std::string text;
  // ShowMessage and Ask: the cause or the facts behind the text, shown
  // under it (the system's reason, the refusal flags); may be empty.
  std::string detail;
  Progress progress;
  RunOutcome outcome = RunOutcome::None;
  Failure failure;
};

class SessionMachine {
 public:
  // Pause between the acknowledged switch request and the reconnect.
  static constexpr int kModeSwitchPauseMs = 3000;

  // Feeds one event; the actions it causes are appended to |out| in the
  // order a runner must carry them out.
  void Handle(const Event& event, std::vector<Action>& out);

  // Convenience for tests: the actions of one event.
  std::vector<Action> Handle(const Event& event) {
    std::vector<Action> out;
    Handle(event, out);
    return out;
  }

  // A run has started and not yet ended.
  bool Running() const { return running_; }
  // A request or block is out and its response has not been handled.
  bool Outstanding() const { return outstanding_; }
  DownloadState State() const { return state_; }
  RunOutcome LastOutcome() const { return outcome_; }
  const Failure& LastFailure() const { return failure_; }
  // Overrides the pause after the mode switch (tests use a short one).
  void SetModeSwitchPauseMs(int milliseconds) { pauseMs_ = milliseconds; }

  // Where the machine is while a run is in progress (exposed for tests and
  // for the random-event checks).
  enum class Step {
    Off,            // no run
    Connecting,     // Connect is out
    AskingRetry,    // "Retry?" is open
    AwaitReply,     // a request or block is out; its response is awaited
    Pausing,        // the pause before the reconnect
    AskingConfirm,  // "Permanent write! Continue?" is open
  };
  Step CurrentStep() const { return step_; }

 private:
  struct Out;
  void StartRun(const RunRequest& run, Out& out);
  void Connect(Out& out);
  void OnConnected(Out& out);
  void OnConnectFailed(const Event& event, Out& out);
  void OnPauseElapsed(Out& out);
  void OnAnswer(Answer answer, Out& out);
  void OnBytes(const std::uint8_t* data, std::size_t size, Out& out);
  void OnPeerClosed(Out& out);
  void OnFrame(const ProtocolFrame& frame, bool moreBytesFollow, Out& out);
  void OnAck(Out& out);
  void OnStop(bool closing, Out& out);
  void SendRequest(const ProtocolFrame& frame, RunPhase phase, ProgressPhase progress, Out& out);
  void AskConfirmation(Out& out);
  void SendBlock(Out& out);
  void Finish(Out& out);
  void Fail(FailureOrigin origin, std::uint16_t messageId, const std::string& detail, Out& out,
            std::uint16_t nakFlags = 0);
  void FailWithText(FailureOrigin origin, std::uint16_t messageId, const std::string& detail, Out& out);
  void LogCause(const std::string& message, const std::string& detail, Out& out);
  void EndStopped(Out& out);
  void End(RunOutcome outcome, Failure failure, Out& out);
  Failure MakeFailure(FailureOrigin origin, std::uint16_t messageId, const std::string& message,
                      const std::string& detail) const;
  std::uint32_t Blocks() const;
  Progress CurrentProgress(ProgressPhase phase) const;

  bool running_ = false;
  Step step_ = Step::Off;
  DownloadState state_ = DownloadState::Idle;
  RunOutcome outcome_ = RunOutcome::None;
  Failure failure_;
  RunRequest run_;
  int pauseMs_ = kModeSwitchPauseMs;
  RunPhase phase_ = RunPhase::Connect;  // what the run is doing, for failures
  bool reconnecting_ = false;  // the connection being made follows a mode switch
  bool connected_ = false;
  std::string lastConnectError_;
  // The response being assembled across reads.
  std::uint8_t frame_[kFrameSize] = {};
  std::size_t frameFill_ = 0;
  // What arrived while a question was open, handled once it is answered.
  std::vector<std::uint8_t> held_;
  bool heldClose_ = false;
  // The block transfer.
  std::uint64_t nextOffset_ = 0;     // first image byte of the next block
  std::uint64_t acknowledged_ = 0;   // image bytes acknowledged
  std::uint32_t blockIndex_ = 0;     // the block in flight, from 0
  bool endOfImage_ = false;
  // A request or block is out and its response has not come yet.
  bool outstanding_ = false;
  // The operator asked to stop while a response was awaited: the run ends
  // when it comes, and nothing more is sent.
  bool stopPending_ = false;
};

}  // namespace mervix
