#include "cli/support/AsioProbe.h"

#include "protocol/Frames.h"
#include "resources/NeighbourTable.h"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <cstdio>
#include <memory>

namespace mervix::cli {
namespace {

using asio::ip::tcp;

struct Probe : std::enable_shared_from_this<Probe> {
  Probe(asio::io_context& io, std::function<void(const ProbeAnswer&)> tell)
      : resolver(io), socket(io), timer(io), done(std::move(tell)) {}

  void Start(const std::string& host, std::uint16_t port, int connectMs, int replyMs) {
    auto self = shared_from_this();
    Bound(connectMs, ProbeKind::NoConnection, "connection timed out");
    resolver.async_resolve(host, std::to_string(port), tcp::resolver::numeric_service,
                           [self, replyMs](const asio::error_code& ec, const tcp::resolver::results_type& found) {
                             if (ec) return self->End(ProbeKind::NoConnection, "cannot resolve: " + ec.message());
                             asio::async_connect(self->socket, found,
                                                 [self, replyMs](const asio::error_code& error, const tcp::endpoint& to) {
                                                   if (error) return self->End(ProbeKind::NoConnection, error.message());
                                                   self->peer = to.address().to_string();
                                                   self->Query(replyMs);
                                                 });
                           });
  }

  void Query(int replyMs) {
    auto self = shared_from_this();
    query = BuildStatusQuery();
    Bound(replyMs, ProbeKind::NoAnswer, "no response from the device in time");
    asio::async_write(socket, asio::buffer(query), [self](const asio::error_code& ec, std::size_t) {
      if (ec) return self->End(ProbeKind::Invalid, "send failed: " + ec.message());
      asio::async_read(self->socket, asio::buffer(self->reply), [self](const asio::error_code& error, std::size_t got) {
        if (error) {
          return self->End(ProbeKind::Invalid,
                           "the device closed the connection after " + std::to_string(got) + " of 8 bytes");
        }
        self->Answered();
      });
    });
  }

  void Answered() {
    ProbeAnswer answer = ProbeAnswerOf(reply);
    // The connection has just been made: a device on this machine's own
    // link is in the neighbour table now.
    answer.mac = NeighbourMacAddress(peer);
    Finish(answer);
  }

  // A deadline for the step under way; 0 or less: none.
  void Bound(int ms, ProbeKind kind, const char* why) {
    timer.cancel();
    if (ms <= 0) return;
    auto self = shared_from_this();
    timer.expires_after(std::chrono::milliseconds(ms));
    timer.async_wait([self, kind, why](const asio::error_code& ec) {
      if (!ec) self->End(kind, why);
    });
  }

  void End(ProbeKind kind, const std::string& why) {
    ProbeAnswer answer;
    answer.kind = kind;
    answer.detail = why;
    Finish(answer);
  }

  void Finish(const ProbeAnswer& answer) {
    if (!done) return;
    asio::error_code ignored;
    timer.cancel();
    resolver.cancel();
    socket.close(ignored);
    auto tell = std::move(done);
    done = nullptr;
    tell(answer);
  }

  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer timer;
  std::string peer;  // the address connected to
  ProtocolFrame query{};
  ProtocolFrame reply{};
  std::function<void(const ProbeAnswer&)> done;
};

}  // namespace

void ProbeDeviceAsync(asio::io_context& io, const std::string& host, std::uint16_t port, int connectMs, int replyMs,
                      std::function<void(const ProbeAnswer&)> done) {
  auto probe = std::make_shared<Probe>(io, std::move(done));
  probe->Start(host, port, connectMs, replyMs);
}

}  // namespace mervix::cli
