// QtRunner: how the window carries out a download run. It implements the
// job's RunPort on the window's event loop: one CClntSocket per connection,
// the boxes of the run over the window, the pause after the mode switch,
// the response time-outs, and the run indicator at the end of the run.
//
// Nothing nests. Every box of the run is shown from a queued call, after the
// handler that asked for it has returned; its answer goes back to the job
// from there (OnAnswered, BoxClosed). The pause is a timer: the window
// repaints and Stop works while it runs. Socket notifications reach the job
// from the event loop as they come; the job queues what arrives while it is
// busy.
//
// A device that falls silent ends the run: while the run waits for the
// reply to a request (30 s) or the acknowledgement of a block, which takes
// the device a flash write (120 s), with nothing arriving or going out, the
// runner reports a time-out. Connection attempts are bounded by the socket.
//
// Every queued call belongs to one run: when the run has ended before the
// call comes (the window was closed while a box was up), the call does
// nothing, and a call for a destroyed runner is dropped by Qt.
#pragma once

#include "operations/DownloadJob.h"
#include "operations/Operator.h"
#include "operations/ProgressMeter.h"
#include "shell/ClntSocket.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

class QTimer;
class QWidget;

namespace mervix {

// What the window shows of a run: its progress as it goes, its outcome at
// the end.
class RunView {
 public:
  virtual ~RunView() = default;
  // |meter| holds the latest progress with the rate and time left;
  // |device| names the device ("host:port").
  virtual void ShowRunProgress(const ProgressMeter& meter, const std::string& device) = 0;
  // The run is over (called before the run indicator is enabled).
  virtual void ShowRunOutcome(RunOutcome outcome, const Failure& failure) = 0;
};

class QtRunner : public QObject, public RunPort, private SocketEvents {
 public:
  // Boxes are modal over |window|; |op| gets the run indicator enabled at
  // the end of every run; |job| hears what happens. All must outlive this.
  QtRunner(QWidget& window, Operator& op, DownloadJob& job);
  ~QtRunner() override;

  QtRunner(const QtRunner&) = delete;
  QtRunner& operator=(const QtRunner&) = delete;

  // Tests: a pause after the mode switch of |milliseconds| instead of the
  // one the run asks for (3,000 ms); a negative value restores that.
  void SetModeSwitchPauseMs(int milliseconds) { pauseOverrideMs_ = milliseconds; }
  // Tests: shorter bounds for a connection attempt and a stalled send.
  void SetSocketLimits(int connectMs, int sendStallMs);
  // The silence allowed for a reply and for a block's acknowledgement; 0 or
  // less: without limit.
  static constexpr int kReplyLimitMs = 30000;
  static constexpr int kBlockAckLimitMs = 120000;
  void SetResponseLimits(int replyMs, int blockAckMs);
  // The pause after the mode switch (or before a retry) is running.
  bool Pausing() const;

  // Where progress and outcomes go; null (the default) drops them.
  void SetView(RunView* view) { view_ = view; }
  // A run among several, confirmed once for all of them: it shows no box.
  // The confirmation is answered OK, every other question with its negative
  // answer (the retries decide), and the boxes' texts stay in the log.
  void SetUnattended(bool unattended) { unattended_ = unattended; }
  const ProgressMeter& Meter() const { return meter_; }

  // A connection is open or being made.
  bool HasConnection() const { return socket_ != nullptr; }
  // A box of the run is up (its answer has not come back yet).
  bool BoxOpen() const { return boxesOpen_ > 0; }
  // Runs ended so far, and how the latest one ended.
  int RunsEnded() const { return runsEnded_; }
  RunOutcome LastOutcome() const { return lastOutcome_; }

  // RunPort.
  void Connect(const std::string& host, std::uint16_t port) override;
  void Send(const std::uint8_t* data, std::size_t size) override;
  void Close(bool drain) override;
  void Pause(int milliseconds) override;
  void Ask(Question question, const std::string& text, const std::string& detail, ButtonSet buttons) override;
  bool ShowMessage(std::uint16_t messageId, const std::string& text, const std::string& detail) override;
  void AwaitResponse(ResponseWait wait) override;
  void ReportProgress(const Progress& progress) override;
  void RunEnded(RunOutcome outcome, const Failure& failure) override;

 private:
  // SocketEvents: the current connection's news, passed to the job.
  void OnSocketConnected() override;
  void OnSocketConnectFailed(const std::string& reason, bool noSocket) override;
  void OnSocketReceive(const std::uint8_t* data, std::size_t size) override;
  void OnSocketSent() override;
  void OnSocketClosed() override;
  void OnSocketSendFailed(const std::string& reason) override;

  // Runs |step| from the event loop, unless the run has ended by then.
  void Later(std::function<void()> step);
  // Closes the connection (draining it first with |drain|) and lets go of it.
  void DropSocket(bool drain);
  // Restarts the response deadline after a sign of life; stops it.
  void Touch();
  void StopWatching();
  // Shows a box of the run over the window, counted in |boxesOpen_|.
  Answer ShowRunBox(const std::string& text, const std::string& detail, ButtonSet buttons);

  QWidget& window_;
  Operator& op_;
  DownloadJob& job_;
  CClntSocket* socket_ = nullptr;  // a child; released with deleteLater
  // Counts the ends of runs: a queued call made in one run sees it changed
  // once that run is over.
  std::uint64_t run_ = 0;
  int runsEnded_ = 0;
  RunOutcome lastOutcome_ = RunOutcome::None;
  int pauseOverrideMs_ = -1;
  int boxesOpen_ = 0;
  bool unattended_ = false;
  RunView* view_ = nullptr;
  // The progress of the current run, timed by a monotonic clock.
  ProgressMeter meter_;
  QElapsedTimer clock_;
  std::string device_;
  int connectLimitMs_ = 0;
  int sendStallLimitMs_ = 0;
  QTimer* pauseTimer_;
  QTimer* responseTimer_;
  int replyLimitMs_ = kReplyLimitMs;
  int blockAckLimitMs_ = kBlockAckLimitMs;
  int waitLimitMs_ = 0;  // the limit of what the run waits for now
};

}  // namespace mervix
