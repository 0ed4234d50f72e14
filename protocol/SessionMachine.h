// The protocol session as a state machine without input or output.
//
// Events go in (the run started, the connection is made or failed, bytes
// arrived, a send has gone out or failed, the peer closed, the operator
// answered, a pause is over, a stop was asked for), actions come out
// (connect, send a frame, send a range of the image, close, pause, ask,
// tell the operator, note a step for the log, report progress, end the run).
// The machine never touches a socket, a file, a clock or the operator, and
// it has no texts: a runner owns the I/O and feeds what happens back in as
// events; the operations word the notes, questions and failures for each
// front end. Every rule of a run lives here: the lock-step exchange, the
// bytes held while a send is out or a question is open, the retries and
// their pauses, stops, and the one end of every run.
//
// A run:   RunStarted -> Connect -> (Connected) -> SendFrame StatusQuery
//          -> (SendDone) -> bytes of the reply ... -> RunEnded
// Exactly one RunEnded closes every run, after which the machine takes
// nothing but the next RunStarted (and a harmless stop). At most one request
// (a frame or a block) is ever outstanding: the next goes out only after the
// device's one response frame to the last has been handled. An event that
// the transition table does not name for the step the machine is in is a
// broken contract of the runner: counted, and fatal in debug builds.
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

// Automatic retries of transport failures. A failure of the link (a
// refused or reset connection, a reply time-out, a peer that closes, a
// failed send) starts the run again from the connection and the status
// query after |pauseMs|, at most |retries| times per run, so that the device
// can drop its half-open connection first. A refusal by the device, a
// protocol error, a file error and a run whose last block went out are
// never retried. With retries a failed connect is not asked about: it is
// tried again after the pause while retries are left, then the run fails.
struct RetryPolicy {
  static constexpr int kMinimumPauseMs = 5000;
  int retries = 0;
  int pauseMs = kMinimumPauseMs;
};

// Whether |failure| may be retried: a transport failure before the last
// block went out.
bool IsRetryableFailure(const Failure& failure);

// What a run needs to know before it starts.
struct RunRequest {
  std::string host;
  std::uint16_t port = 0;
  std::uint32_t imageLength = 0;
  bool userModule = false;          // send the SectorRequest before the size
  std::uint32_t sectorAddress = 0;  // its address (a user module run only)
  RetryPolicy retry;
  // Why the image cannot be sent at all (it could not be taken for the
  // run); the run then ends at once with ImageUnavailable. Empty: it can.
  std::string imageProblem;
};

// The questions the session asks.
enum class Question {
  Retry,    // whether to connect again, Yes/No, after a failed connect
  Confirm,  // the permanent write, OK/Cancel
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
  // The connection is closed and the run waits to reconnect (the pause
  // after the mode switch).
  bool pausing = false;
};

enum class EventKind {
  RunStarted,       // run
  Connected,        //
  ConnectFailed,    // detail; noSocket when no socket could be created at all
  BytesReceived,    // data, size: delivered as they come, even while a send is out
  SendDone,         // the bytes of the last SendFrame or SendImage have gone out
  PeerClosed,       //
  SendFailed,       // detail
  ImageReadFailed,  // detail: the image could not be read for a block
  Answered,         // answer
  PauseElapsed,     //
  TimedOut,         // detail: the runner's deadline for a response passed
  StopRequested,    // the operator stops the run: at once while nothing is in
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
  static Event SendDone();
  static Event PeerClosed();
  static Event SendFailed(std::string reason);
  static Event ImageReadFailed(std::string reason);
  static Event Answered(Answer answer);
  static Event PauseElapsed();
  static Event TimedOut(std::string reason);
  static Event Stop(bool closing = false);
};

// A step of the run worth a line in the log; the operations word it.
enum class Note {
  Connected,      // the connection to the run's host is made
  ModeSwitch,     // the switch request goes out
  SpecialSector,  // the sector request goes out (user module)
  Start,          // the write was confirmed: the size request goes out
  BlockSent,      // a block that was not the last was acknowledged
  Kilobytes,      // the last block was acknowledged: count kilobytes in all
  Finished,       // the run finished
  Cancelled,      // the operator did not confirm the write
  Stopped,        // the operator stopped: count of total bytes acknowledged
  Cause,          // failure: why the run failed (or is retried)
  Retry,          // retry of retries after milliseconds, because of failure
};

// What the operator is shown in a box with OK.
enum class Notice {
  Finished,  // the download finished
  Failure,   // failure: the run failed
};

enum class ActionKind {
  Connect,      // host, port: open a connection; answer Connected or ConnectFailed
  SendFrame,    // frame: send 8 bytes; answer SendDone or SendFailed
  SendImage,    // offset, size: send those bytes of the image; the same answers
  Close,        // close the connection; drain: shut down sending and discard
                // what still arrives (bounded) first, as when the window closes
  Pause,        // milliseconds: answer PauseElapsed when they have passed
  Ask,          // question (buttons; Retry: failure says why): answer Answered
  Tell,         // notice (failure): a box with OK; nothing comes back
  Log,          // note (count, total, retry, retries, milliseconds, failure)
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
  Notice notice = Notice::Finished;
  Note note = Note::Connected;
  std::uint64_t count = 0;
  std::uint64_t total = 0;
  int retry = 0;
  int retries = 0;
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
  bool Running() const { return step_ != Step::Off; }
  // A request or block is out and its response has not been handled.
  bool Outstanding() const { return outstanding_; }
  // The bytes of the last send have not all gone out yet.
  bool SendOut() const { return sendOut_; }
  DownloadState State() const { return state_; }
  RunOutcome LastOutcome() const { return outcome_; }
  const Failure& LastFailure() const { return failure_; }
  // Retries made in the current or latest run.
  int RetriesUsed() const { return retriesUsed_; }
  // Overrides the pause after the mode switch (tests use a short one).
  void SetModeSwitchPauseMs(int milliseconds) { pauseMs_ = milliseconds; }
  // Events the table does not name for the step they came in (a runner that
  // breaks its contract); each is fatal in a debug build.
  int ContractViolations() const { return violations_; }

  // Where the machine is. Each step has one function that names what every
  // event does in it (SessionMachine.cpp).
  enum class Step {
    Off,            // no run
    Connecting,     // Connect is out
    AskingRetry,    // the retry question is open
    AwaitReply,     // a request or block is out; its response is awaited
    Pausing,        // the pause before the reconnect after the mode switch
    AskingConfirm,  // the write confirmation is open
    RetryPause,     // the pause before a retry (a reconnect or a new start)
  };
  Step CurrentStep() const { return step_; }

 private:
  struct Out;
  using StepFunction = void (SessionMachine::*)(const Event&, Out&);
  static const StepFunction kSteps[];

  // The transition table: one function per step.
  void InOff(const Event& event, Out& out);
  void InConnecting(const Event& event, Out& out);
  void InAskingRetry(const Event& event, Out& out);
  void InAwaitReply(const Event& event, Out& out);
  void InPausing(const Event& event, Out& out);
  void InAskingConfirm(const Event& event, Out& out);
  void InRetryPause(const Event& event, Out& out);
  void Violation(const Event& event);

  void StartRun(Out& out);
  void Connect(Out& out);
  void OnConnected(Out& out);
  void OnConnectFailed(const Event& event, Out& out);
  void OnConfirmAnswer(Answer answer, Out& out);
  void Receive(const std::uint8_t* data, std::size_t size, Out& out);
  void OnBytes(const std::uint8_t* data, std::size_t size, Out& out);
  void OnPeerClosed(Out& out);
  void OnSendDone(Out& out);
  void DeliverHeld(Out& out);
  void OnFrame(const ProtocolFrame& frame, bool moreBytesFollow, Out& out);
  void OnAck(Out& out);
  void OnStop(bool closing, Out& out);
  void SendRequest(const ProtocolFrame& frame, RunPhase phase, ProgressPhase progress, Out& out);
  void AskConfirmation(Out& out);
  void SendBlock(Out& out);
  void Finish(Out& out);
  // A failure of the run: retried when the policy allows, else boxed,
  // logged and the run ended.
  void Fail(FailureCode code, FailureOrigin origin, const std::string& detail, Out& out,
            std::uint16_t nakFlags = 0);
  void EndStopped(Out& out);
  // The one end of every run.
  void End(RunOutcome outcome, Failure failure, Out& out);
  bool RetryLeft() const { return retriesUsed_ < run_.retry.retries; }
  void BeginRetry(const Failure& cause, bool restart, Out& out);
  Failure MakeFailure(FailureCode code, FailureOrigin origin, const std::string& detail) const;
  std::uint32_t Blocks() const;
  Progress CurrentProgress(ProgressPhase phase) const;

  Step step_ = Step::Off;
  DownloadState state_ = DownloadState::Idle;
  RunOutcome outcome_ = RunOutcome::None;
  Failure failure_;
  RunRequest run_;
  int pauseMs_ = kModeSwitchPauseMs;
  int violations_ = 0;
  RunPhase phase_ = RunPhase::Connect;  // what the run is doing, for failures
  bool reconnecting_ = false;  // the connection being made follows a mode switch
  bool connected_ = false;
  std::string lastConnectError_;
  // The response being assembled across reads.
  std::uint8_t frame_[kFrameSize] = {};
  std::size_t frameFill_ = 0;
  // What arrived while a send was out or a question was open, handled once
  // the send has gone or the question is answered.
  std::vector<std::uint8_t> held_;
  bool heldClose_ = false;
  // The block transfer.
  std::uint64_t nextOffset_ = 0;     // first image byte of the next block
  std::uint64_t acknowledged_ = 0;   // image bytes acknowledged
  std::uint32_t blockIndex_ = 0;     // the block in flight, from 0
  bool endOfImage_ = false;
  // A request or block is out and its response has not come yet.
  bool outstanding_ = false;
  // Its bytes have not all gone out yet (no SendDone).
  bool sendOut_ = false;
  // The operator asked to stop while a response was awaited: the run ends
  // when it comes, and nothing more is sent.
  bool stopPending_ = false;
  // Retries made in this run, and whether the pause of one leads to a new
  // start (after a failure) or to a reconnect (after a failed connect).
  int retriesUsed_ = 0;
  bool restartAfterPause_ = false;
};

}  // namespace mervix
