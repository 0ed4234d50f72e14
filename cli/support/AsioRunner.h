// The command line's runner: carries out a DownloadJob's actions on an Asio
// io_context (TCP connection, timers, the terminal's questions) and reports
// what happens back to the job.
//
//   asio::io_context io;
//   AsioRunner runner(io, terminal, {timeoutMs, timeoutMs});
//   runner.Attach(job);                // the job it reports to
//   job.Start(image, host, port, runner);
//   io.run();                          // returns once the run has ended
//   runner.Outcome(), runner.LastFailure()
//
// One runner serves one job (one device); any number of runners may share
// one io_context, which then runs them all side by side on one thread. All
// socket work is asynchronous and every report to the job comes from a
// handler of the io_context, so nothing nests: the only call that blocks is
// a question to the operator, asked from a handler of its own.
#pragma once

#include "operations/DownloadJob.h"
#include "protocol/SessionMachine.h"
#include "resources/Failure.h"

#include <cstdint>
#include <memory>
#include <string>

namespace asio {
class io_context;
}  // namespace asio

namespace mervix::cli {

// What a run needs of the operator: its questions answered, its boxes shown.
class RunDialogs {
 public:
  virtual ~RunDialogs() = default;
  // Asks and waits for the answer (one of |buttons|).
  virtual Answer Ask(Question question, const std::string& text, ButtonSet buttons) = 0;
  // Shows a box with OK and returns once it has been seen.
  virtual void Show(std::uint16_t messageId, const std::string& text) = 0;
  // The same with the cause under the text; dialogs without a place for it
  // show the text alone.
  virtual Answer AskWithDetail(Question question, const std::string& text, const std::string& /*detail*/,
                               ButtonSet buttons) {
    return Ask(question, text, buttons);
  }
  virtual void ShowWithDetail(std::uint16_t messageId, const std::string& text, const std::string& /*detail*/) {
    Show(messageId, text);
  }
};

// What a front end follows of a run besides its boxes: its progress and
// its end. Called from the runner's handlers.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void OnProgress(const Progress& /*progress*/) {}
  virtual void OnRunEnded(RunOutcome /*outcome*/, const Failure& /*failure*/) {}
};

struct RunnerLimits {
  // Each connect attempt (name resolution included) gives up after this
  // long; 0: the system's own limit, which can be minutes.
  int connectTimeoutMs = 0;
  // While the run waits for the reply to a request frame (and nothing has
  // arrived or been sent since), it gives up after this long with a
  // time-out; 0: it waits without limit.
  int responseTimeoutMs = 0;
  // The same for the acknowledgement of a data block, which takes the
  // device a flash write; -1: as responseTimeoutMs.
  int blockAckTimeoutMs = -1;
};

// The limits of the command line when no --timeout is given.
constexpr int kDefaultConnectTimeoutMs = 20000;
constexpr int kDefaultReplyTimeoutMs = 30000;
constexpr int kDefaultBlockAckTimeoutMs = 120000;

// How long a closing connection is drained at most.
constexpr int kDrainMs = 3000;

class AsioRunner : public RunPort {
 public:
  AsioRunner(asio::io_context& io, RunDialogs& dialogs, RunnerLimits limits = {});
  ~AsioRunner() override;
  AsioRunner(const AsioRunner&) = delete;
  AsioRunner& operator=(const AsioRunner&) = delete;

  // The job whose runs this runner carries out; set before the job starts.
  void Attach(DownloadJob& job);

  void Connect(const std::string& host, std::uint16_t port) override;
  void Send(const std::uint8_t* data, std::size_t size) override;
  void Close(bool drain) override;
  void Pause(int milliseconds) override;
  void Ask(Question question, const std::string& text, const std::string& detail, ButtonSet buttons) override;
  bool ShowMessage(std::uint16_t messageId, const std::string& text, const std::string& detail) override;
  void AwaitResponse(ResponseWait wait) override;
  void ReportProgress(const Progress& progress) override;
  void RunEnded(RunOutcome outcome, const Failure& failure) override;

  // Follows the runs' progress and ends (may be null).
  void SetObserver(RunObserver* observer);

  // A run has ended since the runner was made (RunEnded came).
  bool Ended() const;
  RunOutcome Outcome() const;
  const Failure& LastFailure() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace mervix::cli
