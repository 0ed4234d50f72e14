#include "cli/support/AsioRunner.h"

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

namespace mervix::cli {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// A connection that is being closed with a drain: the sending direction is
// shut down and whatever the device still sends is read and dropped until it
// closes too or kDrainMs have passed. It lives on its own, held by its
// handlers, so that the runner may connect again meanwhile.
class Drain : public std::enable_shared_from_this<Drain> {
 public:
  Drain(tcp::socket socket) : socket_(std::move(socket)), timer_(socket_.get_executor()) {}

  void Start() {
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    timer_.expires_after(std::chrono::milliseconds(kDrainMs));
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (!ec) self->Finish();
    });
    Read();
  }

 private:
  void Read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const asio::error_code& ec,
                                                                               std::size_t) {
      if (ec) {
        self->Finish();
        return;
      }
      self->Read();
    });
  }
  void Finish() {
    asio::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
  }

  tcp::socket socket_;
  asio::steady_timer timer_;
  std::array<std::uint8_t, 4096> buffer_{};
};

}  // namespace

// Everything the runner owns. Handlers hold it alive through a shared
// pointer; once the runner is gone (job == nullptr) they return at once.
struct AsioRunner::State : std::enable_shared_from_this<AsioRunner::State> {
  State(asio::io_context& context, RunDialogs& runDialogs, RunnerLimits runLimits)
      : io(context),
        dialogs(runDialogs),
        limits(runLimits),
        resolver(context),
        socket(context),
        connectTimer(context),
        responseTimer(context),
        pauseTimer(context) {}

  asio::io_context& io;
  RunDialogs& dialogs;
  RunnerLimits limits;
  DownloadJob* job = nullptr;
  RunObserver* observer = nullptr;
  // The silence allowed for what the run waits for now.
  int waitLimitMs = limits.responseTimeoutMs;

  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer connectTimer;
  asio::steady_timer responseTimer;
  asio::steady_timer pauseTimer;

  // Which connection the handlers belong to: changed by every Connect and
  // Close, so that the completion of an operation on an earlier connection
  // is dropped.
  unsigned link = 0;
  bool connecting = false;
  bool connected = false;

  // A device answers in 8-byte frames: a small buffer serves it, however
  // many runners there are.
  std::array<std::uint8_t, 512> readBuffer{};
  // The bytes being written: the caller's own while |writingCallers|
  // (they stay valid until the send has gone), else |writing|; and those
  // handed over meanwhile, copied.
  const std::uint8_t* writingData = nullptr;
  std::size_t writingSize = 0;
  std::vector<std::uint8_t> writing;
  std::vector<std::uint8_t> queued;
  bool writeInFlight = false;
  // Counts the ends of runs: a question or pause of one run whose answer
  // comes after that run has ended is dropped.
  unsigned run = 0;

  // The response deadline: |watching| while the run waits on the device.
  // One timer wait is kept pending and re-aimed at |deadline| when it fires
  // early, so that moving the deadline (every send and every arrival) costs
  // no cancellation.
  bool watching = false;
  bool responseWaitPending = false;
  Clock::time_point deadline;

  bool ended = false;
  RunOutcome outcome = RunOutcome::None;
  Failure failure;

  bool Current(unsigned id) const { return job != nullptr && id == link; }

  void Connect(const std::string& host, std::uint16_t port) {
    CloseSocket();
    const unsigned id = link;
    connecting = true;
    if (limits.connectTimeoutMs > 0) {
      connectTimer.expires_after(std::chrono::milliseconds(limits.connectTimeoutMs));
      connectTimer.async_wait([self = shared_from_this(), id](const asio::error_code& ec) {
        if (ec || !self->Current(id) || !self->connecting) return;
        self->resolver.cancel();
        self->ConnectFailed("connection timed out");
      });
    }
    // An IP address, IPv4 or IPv6 (with its zone, "fe80::1%eth0"), is taken
    // as it stands; anything else is a name.
    asio::error_code ec;
    const asio::ip::address literal = asio::ip::make_address(host, ec);
    if (!ec) {
      ConnectTo(tcp::endpoint(literal, port), id);
      return;
    }
    resolver.async_resolve(
        host, std::to_string(port), tcp::resolver::numeric_service,
        [self = shared_from_this(), id, host](const asio::error_code& error, const tcp::resolver::results_type& found) {
          if (!self->Current(id) || !self->connecting) return;
          if (error) {
            self->ConnectFailed("cannot resolve " + host + ": " + error.message());
            return;
          }
          // The first address, an IPv4 one when there is any.
          std::optional<tcp::endpoint> chosen;
          for (const auto& entry : found) {
            if (entry.endpoint().address().is_v4()) {
              chosen = entry.endpoint();
              break;
            }
          }
          if (!chosen && !found.empty()) chosen = found.begin()->endpoint();
          if (!chosen) {
            self->ConnectFailed("cannot resolve " + host + ": no address");
            return;
          }
          self->ConnectTo(*chosen, id);
        });
  }

  void ConnectTo(const tcp::endpoint& endpoint, unsigned id) {
    asio::error_code ec;
    socket.open(endpoint.protocol(), ec);
    if (ec) {
      ConnectFailed("cannot create a socket: " + ec.message(), true);
      return;
    }
    socket.async_connect(endpoint, [self = shared_from_this(), id](const asio::error_code& error) {
      if (!self->Current(id) || !self->connecting) return;
      if (error) {
        self->ConnectFailed(error.message());
        return;
      }
      self->connecting = false;
      self->connectTimer.cancel();
      self->connected = true;
      // Lock-step exchange: without it the last short piece of every block
      // would wait for the device's delayed acknowledgement.
      asio::error_code ignored;
      self->socket.set_option(tcp::no_delay(true), ignored);
      self->Read(id);
      self->job->OnConnected();
    });
  }

  void ConnectFailed(const std::string& reason, bool noSocket = false) {
    connecting = false;
    connectTimer.cancel();
    CloseSocket();
    job->OnConnectFailed(reason, noSocket);
  }

  void Read(unsigned id) {
    socket.async_read_some(asio::buffer(readBuffer), [self = shared_from_this(), id](const asio::error_code& ec,
                                                                                    std::size_t size) {
      if (!self->Current(id) || ec == asio::error::operation_aborted) return;
      if (ec) {
        // The end of the stream, or a connection reset: the device is gone.
        // Told at once; the run holds it while a send is out, and a send that
        // then fails is told by its own handler.
        self->job->OnPeerClosed();
        return;
      }
      if (self->watching) self->Touch();
      // Delivered as they come: the run holds what arrives while a send is
      // out until the send has gone.
      self->job->OnReceived(self->readBuffer.data(), size);
      if (self->Current(id)) self->Read(id);
    });
  }

  void Send(const std::uint8_t* data, std::size_t size) {
    if (!connected) {
      job->OnSendFailed("not connected");
      return;
    }
    Touch();
    if (!writeInFlight) {
      // Straight from the caller's bytes: a block of an image that every
      // device is sent is never copied per device.
      writingData = data;
      writingSize = size;
      Write(link);
      return;
    }
    queued.insert(queued.end(), data, data + size);
  }

  void TakeQueued() {
    writing.swap(queued);
    queued.clear();
    writingData = writing.data();
    writingSize = writing.size();
  }

  void Write(unsigned id) {
    writeInFlight = true;
    asio::async_write(socket, asio::buffer(writingData, writingSize),
                      [self = shared_from_this(), id](const asio::error_code& ec, std::size_t) {
                        if (!self->Current(id)) return;
                        self->writeInFlight = false;
                        if (ec) {
                          if (ec != asio::error::operation_aborted) self->job->OnSendFailed(ec.message());
                          return;
                        }
                        if (self->watching) self->Touch();
                        if (!self->queued.empty()) {
                          self->TakeQueued();
                          self->Write(id);
                          return;
                        }
                        self->job->OnSent();
                      });
  }

  // Moves the response deadline to a full time-out from now.
  void Touch() {
    if (waitLimitMs <= 0) return;
    watching = true;
    deadline = Clock::now() + std::chrono::milliseconds(waitLimitMs);
    if (!responseWaitPending) WaitForDeadline();
  }

  void WaitForDeadline() {
    responseWaitPending = true;
    responseTimer.expires_at(deadline);
    responseTimer.async_wait([self = shared_from_this()](const asio::error_code& ec) {
      self->responseWaitPending = false;
      if (self->job == nullptr || !self->watching) return;
      if (ec != asio::error::operation_aborted && Clock::now() >= self->deadline) {
        self->watching = false;
        char reason[96];
        std::snprintf(reason, sizeof reason, "no response from the device within %g seconds",
                      self->waitLimitMs / 1000.0);
        self->job->OnTimedOut(reason);
        return;
      }
      // Moved meanwhile, or stopped and started again: wait on.
      self->WaitForDeadline();
    });
  }

  void StopWatching() {
    watching = false;
    if (responseWaitPending) responseTimer.cancel();
  }

  void Close(bool drain) {
    StopWatching();
    connecting = false;
    connectTimer.cancel();
    resolver.cancel();
    if (drain && connected && socket.is_open()) {
      asio::error_code ignored;
      socket.cancel(ignored);
      std::make_shared<Drain>(std::move(socket))->Start();
    }
    CloseSocket();
  }

  void CloseSocket() {
    ++link;
    asio::error_code ignored;
    if (socket.is_open()) socket.close(ignored);
    connected = false;
    writeInFlight = false;
    writingData = nullptr;
    writingSize = 0;
    writing.clear();
    queued.clear();
  }

  void Stop() {
    StopWatching();
    connecting = false;
    connectTimer.cancel();
    resolver.cancel();
    pauseTimer.cancel();
    CloseSocket();
  }
};

AsioRunner::AsioRunner(asio::io_context& io, RunDialogs& dialogs, RunnerLimits limits)
    : state_(std::make_shared<State>(io, dialogs, limits)) {}

AsioRunner::~AsioRunner() {
  state_->Stop();
  state_->job = nullptr;
}

void AsioRunner::Attach(DownloadJob& job) { state_->job = &job; }

void AsioRunner::Connect(const std::string& host, std::uint16_t port) { state_->Connect(host, port); }

void AsioRunner::Send(const std::uint8_t* data, std::size_t size) { state_->Send(data, size); }

void AsioRunner::Close(bool drain) { state_->Close(drain); }

void AsioRunner::Pause(int milliseconds) {
  state_->StopWatching();
  state_->pauseTimer.expires_after(std::chrono::milliseconds(milliseconds));
  state_->pauseTimer.async_wait([self = state_, run = state_->run](const asio::error_code& ec) {
    if (!ec && self->job != nullptr && run == self->run) self->job->OnPauseElapsed();
  });
}

void AsioRunner::AwaitResponse(ResponseWait wait) {
  State& s = *state_;
  s.waitLimitMs = wait == ResponseWait::BlockAck && s.limits.blockAckTimeoutMs >= 0 ? s.limits.blockAckTimeoutMs
                                                                                   : s.limits.responseTimeoutMs;
  if (s.waitLimitMs > 0 && s.connected) {
    s.Touch();
  } else if (s.waitLimitMs <= 0) {
    s.StopWatching();
  }
}

void AsioRunner::ReportProgress(const Progress& progress) {
  if (state_->observer != nullptr) state_->observer->OnProgress(progress);
}

void AsioRunner::SetObserver(RunObserver* observer) { state_->observer = observer; }

void AsioRunner::Ask(Question question, const std::string& text, const std::string& detail, ButtonSet buttons) {
  // The operator's think time is not the device's silence.
  state_->StopWatching();
  // Asked from a handler of its own: the terminal blocks there and nowhere
  // else.
  asio::post(state_->io, [self = state_, run = state_->run, question, text, detail, buttons] {
    if (self->job == nullptr || run != self->run) return;
    const Answer answer = self->dialogs.AskWithDetail(question, text, detail, buttons);
    if (self->job != nullptr && run == self->run) self->job->OnAnswered(answer);
  });
}

bool AsioRunner::ShowMessage(std::uint16_t messageId, const std::string& text, const std::string& detail) {
  state_->dialogs.ShowWithDetail(messageId, text, detail);
  return true;
}

void AsioRunner::RunEnded(RunOutcome outcome, const Failure& failure) {
  State& s = *state_;
  s.ended = true;
  ++s.run;
  s.outcome = outcome;
  s.failure = failure;
  // Nothing of the run may keep the io_context busy: the connection was
  // closed by the run's end; the timers go too.
  s.Stop();
  if (s.observer != nullptr) s.observer->OnRunEnded(outcome, failure);
}

bool AsioRunner::Ended() const { return state_->ended; }
RunOutcome AsioRunner::Outcome() const { return state_->outcome; }
const Failure& AsioRunner::LastFailure() const { return state_->failure; }

}  // namespace mervix::cli
