// One download run of one prepared image to one device.
//
// The job owns the session machine, the image file (held open with
// exclusive access from the start of the run to its end) and the run's
// "in progress" state. A runner owns the socket, the timers and the boxes:
// it carries out what the job asks through RunPort and reports back through
// the job's On... calls. Those calls may come from anywhere, even from inside
// a RunPort call: the job queues them and handles one at a time, so nothing
// nests. Every rule of the run (holds, retries, pauses, ends) is the session
// machine's; the job only carries its actions to the runner, in the words of
// the run (RunTexts), and reads the image's blocks.
//
// Boxes keep their place in the order of actions: when ShowMessage returns
// false the runner shows the box later (after its handler has returned) and
// calls BoxClosed() when the operator has closed it; actions that follow
// wait until then. The log is written by the job itself.
#pragma once

#include "resources/FileAccess.h"
#include "operations/PreparedImage.h"
#include "operations/RunTexts.h"
#include "operations/Sha256.h"
#include "protocol/SessionMachine.h"
#include "resources/LogPane.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace mervix {

// What a run waits for once something has been sent.
enum class ResponseWait {
  Reply,     // the reply to a request frame
  BlockAck,  // the acknowledgement of a data block
};

// What a runner does for a job.
class RunPort {
 public:
  virtual ~RunPort() = default;

  // Opens a connection; the result comes back as OnConnected or
  // OnConnectFailed (with noSocket when no socket could be made at all).
  virtual void Connect(const std::string& host, std::uint16_t port) = 0;
  // Hands the bytes to the connection; OnSent once they have all gone out,
  // or OnSendFailed. What arrives meanwhile is reported as it comes (the
  // machine holds it). The bytes stay valid and unchanged until then, or
  // until the connection is closed: a runner may send them without a copy.
  virtual void Send(const std::uint8_t* data, std::size_t size) = 0;
  // Closes the connection. With |drain| it first shuts down the sending
  // direction and discards what the device still sends, for at most 3 s.
  virtual void Close(bool drain) = 0;
  // The pause after the mode switch; OnPauseElapsed when it has passed.
  virtual void Pause(int milliseconds) = 0;
  // Asks the question; the answer comes back as OnAnswered. |detail| says
  // what the question is about (the reason a connect failed; the device,
  // file, version and size of a permanent write), to show under the text.
  virtual void Ask(Question question, const std::string& text, const std::string& detail, ButtonSet buttons) = 0;
  // Shows a box with OK and |detail| (the cause: the system's reason, the
  // refusal flags) under its text. True when it has been shown and closed
  // already; false when it will be, and the runner then calls BoxClosed().
  virtual bool ShowMessage(std::uint16_t messageId, const std::string& text, const std::string& detail) = 0;
  // What the run waits for after the bytes just sent: a reply to a request
  // frame, or the acknowledgement of a block (which takes the device a
  // flash write). A runner with response time-outs arms the right one; the
  // default ignores it.
  virtual void AwaitResponse(ResponseWait /*wait*/) {}
  // The run's progress; the default ignores it.
  virtual void ReportProgress(const Progress& /*progress*/) {}
  // The run is over: the run indicator may be enabled again.
  virtual void RunEnded(RunOutcome outcome, const Failure& failure) = 0;
};

// What a runner reports to the run it carries out (a DownloadJob).
class RunEvents {
 public:
  virtual ~RunEvents() = default;
  virtual void OnConnected() = 0;
  virtual void OnConnectFailed(const std::string& reason, bool noSocket = false) = 0;
  virtual void OnReceived(const std::uint8_t* data, std::size_t size) = 0;
  virtual void OnSent() = 0;
  virtual void OnPeerClosed() = 0;
  virtual void OnSendFailed(const std::string& reason) = 0;
  virtual void OnAnswered(Answer answer) = 0;
  virtual void OnPauseElapsed() = 0;
  virtual void OnTimedOut(const std::string& reason) = 0;
  virtual void BoxClosed() = 0;
};

class DownloadJob : public RunEvents {
 public:
  explicit DownloadJob(LogPane& log);
  ~DownloadJob() override;
  DownloadJob(const DownloadJob&) = delete;
  DownloadJob& operator=(const DownloadJob&) = delete;

  // Starts a run of |image| to host:port through |port|. The image file is
  // opened here with exclusive access and held to the end of the run; when
  // it cannot be, the run ends at once with a File failure (a box, then
  // RunEnded). Refused (false, nothing done) while a run is in progress.
  bool Start(const PreparedImage& image, const std::string& host, std::uint16_t port, RunPort& runner);

  // What the runner reports.
  void OnConnected() override;
  void OnConnectFailed(const std::string& reason, bool noSocket = false) override;
  void OnReceived(const std::uint8_t* data, std::size_t size) override;
  void OnSent() override;
  void OnPeerClosed() override;
  void OnSendFailed(const std::string& reason) override;
  void OnAnswered(Answer answer) override;
  void OnPauseElapsed() override;
  void OnTimedOut(const std::string& reason) override;
  void BoxClosed() override;
  // The operator's Stop: ends the run at once while nothing is in flight,
  // else when the device has answered what is. |closing|: the window is
  // closing, the run ends at once and the connection is drained.
  void Stop(bool closing = false);

  // From Start until RunEnded has been delivered.
  bool InProgress() const { return inProgress_; }
  // How the latest run ended, and why when it failed.
  RunOutcome LastOutcome() const;
  const Failure& LastFailure() const;
  DownloadState State() const { return machine_.State(); }
  const Progress& LastProgress() const { return progress_; }
  // The image file is held open (from Start to the end of the run).
  bool ImageOpen() const { return source_ != nullptr || held_ != nullptr; }
  const std::string& ImagePath() const { return imagePath_; }
  // SHA-256 (hex) of the image bytes the device acknowledged in a finished
  // run, from the first byte of the last size request on; empty otherwise.
  const std::string& SentSha256() const { return sentSha256_; }

  SessionMachine& Machine() { return machine_; }

  // The retries of the runs started from now on (none by default). Each
  // retry writes one log line with its cause.
  void SetRetryPolicy(const RetryPolicy& policy) { retry_ = policy; }
  const RetryPolicy& Retries() const { return retry_; }
  // Retries made in the latest run.
  int RetriesUsed() const { return machine_.RetriesUsed(); }
  // The image of the latest run as it was prepared, and its device
  // ("host:port", "[IPv6]:port").
  const PreparedImage& Image() const { return prepared_; }
  const std::string& Device() const { return device_; }

 private:
  void Feed(const Event& event);
  void Handle(const Event& event);
  void DrainPendingEvents();
  static bool OfTheConnection(EventKind kind);
  void Pump();
  void Carry(const Action& action, const BoxText* box);
  void SendImageRange(std::uint64_t offset, std::uint32_t size);
  // The device, file, version and size of the image, under the confirmation.
  std::string ConfirmationDetail() const;

  LogPane& log_;
  SessionMachine machine_;
  RunPort* port_ = nullptr;
  InputFile image_;
  std::shared_ptr<const HeldImage> held_;  // the prepared image's file, when it is held
  const InputFile* source_ = nullptr;  // image_ while it is open
  std::string imagePath_;
  PreparedImage prepared_;
  std::string host_;
  std::string device_;  // host:port
  bool inProgress_ = false;
  bool closing_ = false;  // the window is closing: no more boxes or questions
  Progress progress_;
  RunOutcome outcome_ = RunOutcome::None;
  Failure failure_;  // worded

  // Actions not yet carried out (a Tell as one entry per box), and whether
  // a box holds them back.
  struct Queued {
    Action action;
    bool isBox = false;
    BoxText box;
  };
  std::deque<Queued> actions_;
  int closesQueued_ = 0;  // Close actions queued and not yet carried out
  bool boxOpen_ = false;
  // Set while the job handles an event or carries out actions; events that
  // arrive meanwhile wait in |pendingEvents_|, their bytes copied.
  bool busy_ = false;
  struct PendingEvent {
    Event event;
    std::vector<std::uint8_t> bytes;
  };
  std::deque<PendingEvent> pendingEvents_;
  std::vector<Action> scratch_;
  std::vector<std::uint8_t> blockBuffer_;
  // The request frame being sent (the runner may send from it directly).
  std::array<std::uint8_t, 8> frameOut_{};
  Sha256 sentHash_;  // what went out of an image that is not held
  // A held image: the bytes sent from the first one on, and whether every
  // block followed the one before.
  std::uint64_t heldSent_ = 0;
  bool heldInOrder_ = false;
  std::string sentSha256_;
  RetryPolicy retry_;
};

}  // namespace mervix
