#include "tests/support/FaultProxy.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include <asio.hpp>

namespace mervix::testing {
namespace {

using Clock = std::chrono::steady_clock;
using tcp = asio::ip::tcp;
using std::chrono::milliseconds;

struct SharedCounts {
  std::atomic<unsigned> connections{0};
  std::atomic<unsigned> stalls{0};
  std::atomic<unsigned> resets{0};
  std::atomic<unsigned> halfCloses{0};
  std::atomic<std::uint64_t> bytesToDevice{0};
  std::atomic<std::uint64_t> bytesToClient{0};
};

// One direction of a connection: what was read from |from| and is still to
// be written to |to|, and how far it has got.
struct Pipe {
  struct Chunk {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    std::size_t offset = 0;
  };

  Pipe(asio::io_context& io, tcp::socket& source, tcp::socket& destination, const FaultProxy::Leg& faults,
       std::atomic<std::uint64_t>& total)
      : from(source), to(destination), leg(faults), delivered(total), timer(io), buffer(65536) {}

  tcp::socket& from;
  tcp::socket& to;
  FaultProxy::Leg leg;
  std::atomic<std::uint64_t>& delivered;
  asio::steady_timer timer;
  std::vector<std::uint8_t> buffer;
  std::deque<Chunk> queue;
  std::uint64_t forwarded = 0;
  bool busy = false;         // a write or a wait is under way
  bool stalled = false;      // the stall has been served
  bool sourceEnded = false;  // |from| has reached its end
  bool shut = false;         // |to| has been told the stream ends
  bool cut = false;          // half-closed by the fault: what comes is dropped
};

// A socket of 127.0.0.1 that no child process inherits: a descriptor
// passed on to a program started meanwhile would keep the connection open
// after the proxy has closed or reset it.
int CloseOnExecSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

// One accepted connection and its way to the target.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(asio::io_context& io, tcp::socket client, const FaultProxy::Faults& faults, SharedCounts& counts)
      : client_(std::move(client)),
        device_(io),
        counts_(counts),
        up_(io, client_, device_, faults.toDevice, counts.bytesToDevice),
        down_(io, device_, client_, faults.toClient, counts.bytesToClient) {}

  void Start(std::uint16_t targetPort) {
    asio::error_code ec;
    const int fd = CloseOnExecSocket();
    if (fd >= 0) device_.assign(tcp::v4(), fd, ec);
    if (fd < 0 || ec) {
      if (fd >= 0) ::close(fd);
      Close(true);
      return;
    }
    auto self = shared_from_this();
    device_.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), targetPort), [self](asio::error_code ec) {
      if (self->closed_) return;
      if (ec) {
        // Nobody at the target: the client's connection is refused late.
        self->Close(true);
        return;
      }
      // Small pieces go out as they are written, not gathered.
      asio::error_code ignored;
      self->client_.set_option(tcp::no_delay(true), ignored);
      self->device_.set_option(tcp::no_delay(true), ignored);
      for (Pipe* p : {&self->up_, &self->down_}) {
        self->Read(*p);
        self->Pump(*p);  // a fault after 0 bytes fires at once
      }
    });
  }

 private:
  void Read(Pipe& p) {
    auto self = shared_from_this();
    p.from.async_read_some(asio::buffer(p.buffer), [self, &p](asio::error_code ec, std::size_t n) {
      if (self->closed_) return;
      if (ec == asio::error::eof) {
        p.sourceEnded = true;
        self->Pump(p);
        self->CloseWhenBothEnded();
        return;
      }
      if (ec) {
        // Reset (or broken) on one side: the other side is reset too.
        self->Close(true);
        return;
      }
      if (!p.cut) {
        p.queue.push_back({Clock::now() + milliseconds(p.leg.latencyMs),
                           std::vector<std::uint8_t>(p.buffer.begin(), p.buffer.begin() + static_cast<long>(n))});
      }
      self->Pump(p);
      self->Read(p);
    });
  }

  // Moves the queue on: waits for the latency and the stall, writes the
  // next piece, fires the faults whose byte count has been reached.
  void Pump(Pipe& p) {
    if (closed_ || p.busy || p.shut) return;
    const FaultProxy::Leg& leg = p.leg;
    if (p.forwarded == leg.resetAfter) {
      ++counts_.resets;
      Close(true);
      return;
    }
    if (p.forwarded == leg.halfCloseAfter) {
      ++counts_.halfCloses;
      p.cut = true;
      p.queue.clear();
      Shut(p);
      return;
    }
    if (p.queue.empty()) {
      if (p.sourceEnded) Shut(p);
      return;
    }
    Pipe::Chunk& chunk = p.queue.front();
    if (chunk.due > Clock::now()) {
      Wait(p, chunk.due);
      return;
    }
    if (p.forwarded == leg.stallAfter && !p.stalled) {
      p.stalled = true;
      ++counts_.stalls;
      Wait(p, Clock::now() + milliseconds(leg.stallMs));
      return;
    }
    std::uint64_t n = chunk.bytes.size() - chunk.offset;
    if (leg.pieceBytes > 0) n = std::min<std::uint64_t>(n, leg.pieceBytes);
    // Stop exactly at the next fault's byte count.
    for (std::uint64_t at : {leg.resetAfter, leg.halfCloseAfter, p.stalled ? FaultProxy::kNever : leg.stallAfter}) {
      if (at > p.forwarded) n = std::min(n, at - p.forwarded);
    }
    p.busy = true;
    auto self = shared_from_this();
    asio::async_write(p.to, asio::buffer(chunk.bytes.data() + chunk.offset, static_cast<std::size_t>(n)),
                      [self, &p](asio::error_code ec, std::size_t written) {
                        p.busy = false;
                        if (self->closed_) return;
                        if (ec) {
                          self->Close(true);
                          return;
                        }
                        p.forwarded += written;
                        p.delivered += written;
                        Pipe::Chunk& front = p.queue.front();
                        front.offset += written;
                        if (front.offset == front.bytes.size()) p.queue.pop_front();
                        if (p.leg.pieceGapMs > 0) {
                          self->Wait(p, Clock::now() + milliseconds(p.leg.pieceGapMs));
                        } else {
                          self->Pump(p);
                        }
                      });
  }

  void Wait(Pipe& p, Clock::time_point until) {
    p.busy = true;
    p.timer.expires_at(until);
    auto self = shared_from_this();
    p.timer.async_wait([self, &p](asio::error_code ec) {
      p.busy = false;
      if (ec || self->closed_) return;
      self->Pump(p);
    });
  }

  // The receiving side of |p| sees the end of the stream.
  void Shut(Pipe& p) {
    asio::error_code ignored;
    p.to.shutdown(tcp::socket::shutdown_send, ignored);
    p.shut = true;
    CloseWhenBothEnded();
  }

  void CloseWhenBothEnded() {
    if (up_.shut && down_.shut && up_.sourceEnded && down_.sourceEnded) Close(false);
  }

  // Closes both sides; with |reset|, abortively (SO_LINGER 0: RST, not FIN).
  void Close(bool reset) {
    if (closed_) return;
    closed_ = true;
    for (Pipe* p : {&up_, &down_}) p->timer.cancel();
    for (tcp::socket* s : {&client_, &device_}) {
      asio::error_code ignored;
      if (reset && s->is_open()) s->set_option(asio::socket_base::linger(true, 0), ignored);
      s->close(ignored);
    }
  }

  tcp::socket client_;
  tcp::socket device_;
  SharedCounts& counts_;
  Pipe up_;    // client to device
  Pipe down_;  // device to client
  bool closed_ = false;
};

}  // namespace

class FaultProxy::Loop {
 public:
  Loop(std::uint16_t targetPort, const Faults& faults) : acceptor_(io_), target_(targetPort), faults_(faults) {
    asio::error_code ec;
    const tcp::endpoint here(asio::ip::address_v4::loopback(), 0);
    const int fd = CloseOnExecSocket();
    if (fd < 0) return;
    acceptor_.assign(tcp::v4(), fd, ec);
    if (ec) {
      ::close(fd);
      return;
    }
    if (!ec) acceptor_.bind(here, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    const std::uint16_t port = ec ? 0 : acceptor_.local_endpoint(ec).port();
    if (ec || port == 0) return;
    port_ = port;
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }

  ~Loop() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  std::uint16_t Port() const { return port_; }
  const SharedCounts& Counts() const { return counts_; }

 private:
  // Accepts with accept4, so that the connection's descriptor is
  // close-on-exec from the start.
  void Accept() {
    acceptor_.async_wait(tcp::acceptor::wait_read, [this](asio::error_code ec) {
      if (ec == asio::error::operation_aborted) return;
      const int fd = ec ? -1 : ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        tcp::socket client(io_);
        asio::error_code assigned;
        client.assign(tcp::v4(), fd, assigned);
        if (assigned) {
          ::close(fd);
        } else {
          const unsigned k = ++counts_.connections;
          const bool faulty = faults_.connection == 0 || faults_.connection == k;
          auto session = std::make_shared<Session>(io_, std::move(client), faulty ? faults_ : Faults(), counts_);
          session->Start(target_);
        }
      }
      Accept();
    });
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::uint16_t target_;
  Faults faults_;
  std::uint16_t port_ = 0;
  SharedCounts counts_;
  std::thread thread_;
};

FaultProxy::FaultProxy(std::uint16_t targetPort) : FaultProxy(targetPort, Faults()) {}

FaultProxy::FaultProxy(std::uint16_t targetPort, const Faults& faults)
    : loop_(std::make_unique<Loop>(targetPort, faults)) {}

FaultProxy::~FaultProxy() = default;

std::uint16_t FaultProxy::Port() const { return loop_->Port(); }

FaultProxy::Counts FaultProxy::Seen() const {
  const SharedCounts& c = loop_->Counts();
  Counts seen;
  seen.connections = c.connections;
  seen.stalls = c.stalls;
  seen.resets = c.resets;
  seen.halfCloses = c.halfCloses;
  seen.bytesToDevice = c.bytesToDevice;
  seen.bytesToClient = c.bytesToClient;
  return seen;
}

}  // namespace mervix::testing
