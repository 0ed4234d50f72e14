// CClntSocket against peers on 127.0.0.1: what it tells its owner and in
// which order, letting go of it inside its own notification, the bounds of
// a connect, a stalled send and the drain; and the runner's pause.
#include "ShellTestSupport.h"

#include "shell/ClntSocket.h"
#include "shell/QtRunner.h"
#include "tests/support/Loopback.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifndef _WIN32
#include <poll.h>
#endif

#include <atomic>
#include <thread>

namespace mervix {
namespace {

using testing::LoopbackPort;
using testing::WaitUntil;

// Everything the socket tells, in order; a hook runs inside each receive.
class Recorder : public SocketEvents {
 public:
  void OnSocketConnected() override { events.push_back("connected"); }
  void OnSocketConnectFailed(const std::string& reason, bool noSocket) override {
    events.push_back(noSocket ? "no socket" : "connect failed");
    why = reason;
  }
  void OnSocketReceive(const std::uint8_t* data, std::size_t size) override {
    events.push_back("data");
    received.append(reinterpret_cast<const char*>(data), static_cast<int>(size));
    if (hook) hook();
  }
  void OnSocketSent() override { ++sent; }
  void OnSocketClosed() override { events.push_back("closed"); }
  void OnSocketSendFailed(const std::string& reason) override {
    events.push_back("send failed");
    why = reason;
  }

  bool Has(const std::string& event) const { return std::count(events.begin(), events.end(), event) > 0; }
  // The events after the first, with repeated "data" folded into one.
  std::vector<std::string> Folded() const {
    std::vector<std::string> out;
    for (const std::string& e : events) {
      if (out.empty() || e != "data" || out.back() != "data") out.push_back(e);
    }
    return out;
  }

  std::vector<std::string> events;
  QByteArray received;
  std::string why;
  std::function<void()> hook;
  int sent = 0;  // sends that have gone out whole
};

// A peer on 127.0.0.1 that accepts one connection, served by Qt.
class Peer {
 public:
  Peer() { listening_ = server_.listen(QHostAddress::LocalHost, 0); }
  bool Listening() const { return listening_; }
  std::uint16_t Port() const { return server_.serverPort(); }
  QTcpSocket* Accepted() {
    if (!accepted_ && WaitUntil([&] { return server_.hasPendingConnections(); }, 5000)) {
      accepted_ = server_.nextPendingConnection();
    }
    return accepted_;
  }
  QByteArray ReadAll(int expected) {
    QByteArray got;
    QTcpSocket* s = Accepted();
    if (!s) return got;
    WaitUntil([&] {
      got += s->readAll();
      return got.size() >= expected;
    }, 5000);
    return got;
  }

 private:
  QTcpServer server_;
  QTcpSocket* accepted_ = nullptr;
  bool listening_ = false;
};

class ClntSocketTest : public testing::ShellTest {
 protected:
  // A connection to 127.0.0.1:|port|, once it is made.
  std::unique_ptr<CClntSocket> Connected(std::uint16_t port) {
    auto socket = std::make_unique<CClntSocket>(events_);
    socket->Connect("127.0.0.1", port);
    EXPECT_TRUE(WaitUntil([&] { return !events_.events.empty(); }, 5000));
    EXPECT_EQ(events_.events, std::vector<std::string>{"connected"}) << events_.why;
    EXPECT_TRUE(socket->Connected());
    return socket;
  }

  Peer peer_;
  Recorder events_;
};

TEST_F(ClntSocketTest, SendsArriveAndEveryByteThatArrivesIsTold) {
  ASSERT_TRUE(peer_.Listening());
  auto connection = Connected(peer_.Port());
  const std::uint8_t request[8] = {0x51, 0x21, 0, 0, 0, 0, 0, 0};
  connection->Send(request, sizeof request);
  EXPECT_EQ(peer_.ReadAll(8), QByteArray(reinterpret_cast<const char*>(request), 8));
  EXPECT_TRUE(WaitUntil([&] { return events_.sent == 1; }, 5000)) << "the send was not told as gone";

  // A frame in two segments arrives whole, in order.
  peer_.Accepted()->write(QByteArray("\x52\x05\x02", 3));
  peer_.Accepted()->flush();
  ASSERT_TRUE(WaitUntil([&] { return events_.received.size() >= 3; }, 5000));
  peer_.Accepted()->write(QByteArray("\x00\x00\x00\x00\x00", 5));
  ASSERT_TRUE(WaitUntil([&] { return events_.received.size() >= 8; }, 5000));
  EXPECT_EQ(events_.received, QByteArray("\x52\x05\x02\x00\x00\x00\x00\x00", 8));
  EXPECT_EQ(events_.Folded(), (std::vector<std::string>{"connected", "data"}));
}

TEST_F(ClntSocketTest, TheOwnerMayLetGoInsideItsOwnNotification) {
  ASSERT_TRUE(peer_.Listening());
  std::unique_ptr<CClntSocket> connection = Connected(peer_.Port());
  QPointer<CClntSocket> watch(connection.get());
  events_.hook = [&] {
    connection->Close();
    connection.release()->deleteLater();
  };
  peer_.Accepted()->write(QByteArray(8, '\x52'));
  ASSERT_TRUE(WaitUntil([&] { return connection == nullptr; }, 5000));
  // The peer sees the close; more data and its own close are told to nobody.
  ASSERT_TRUE(WaitUntil([&] { return peer_.Accepted()->state() != QAbstractSocket::ConnectedState; }, 5000));
  ASSERT_TRUE(WaitUntil([&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return watch.isNull();
  }, 1000)) << "deleted later by the event loop";
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected", "data"}));
}

TEST_F(ClntSocketTest, WhatArrivesBeforeThePeersCloseIsToldFirstAndTheCloseOnce) {
  ASSERT_TRUE(peer_.Listening());
  auto connection = Connected(peer_.Port());
  peer_.Accepted()->write(QByteArray("tail", 4));
  peer_.Accepted()->flush();
  peer_.Accepted()->disconnectFromHost();
  ASSERT_TRUE(WaitUntil([&] { return events_.Has("closed"); }, 5000));
  QTest::qWait(50);
  EXPECT_EQ(events_.received, QByteArray("tail"));
  EXPECT_EQ(events_.Folded(), (std::vector<std::string>{"connected", "data", "closed"}));
  EXPECT_FALSE(connection->Connected());
  // A send after the close cannot go out, and says so.
  const std::uint8_t byte = 0;
  connection->Send(&byte, 1);
  EXPECT_EQ(events_.Folded().back(), "send failed");
  EXPECT_EQ(events_.sent, 0);
}

TEST_F(ClntSocketTest, ConnectsByNameAndTellsARefusedOrMissingConnection) {
  ASSERT_TRUE(peer_.Listening());
  auto byName = std::make_unique<CClntSocket>(events_);
  byName->Connect("localhost", peer_.Port());
  ASSERT_TRUE(WaitUntil([&] { return !events_.events.empty(); }, 5000));
  EXPECT_EQ(events_.events, std::vector<std::string>{"connected"}) << events_.why;
  ASSERT_NE(peer_.Accepted(), nullptr);
  EXPECT_EQ(peer_.Accepted()->peerAddress().toIPv4Address(), QHostAddress(QHostAddress::LocalHost).toIPv4Address())
      << "IPv4 is preferred";

  // A port nobody listens on: one failure with a reason.
  LoopbackPort refusing;
  Recorder refusedEvents;
  CClntSocket refused(refusedEvents);
  refused.Connect("127.0.0.1", refusing.Port());
  ASSERT_TRUE(WaitUntil([&] { return !refusedEvents.events.empty(); }, 5000));
  QTest::qWait(50);
  EXPECT_EQ(refusedEvents.events, std::vector<std::string>{"connect failed"});
  EXPECT_FALSE(refusedEvents.why.empty());
  EXPECT_FALSE(refused.Connected());

  // Sending on a connection that was never made is a failed send.
  Recorder idleEvents;
  CClntSocket idle(idleEvents);
  const std::uint8_t byte = 0;
  idle.Send(&byte, 1);
  EXPECT_EQ(idleEvents.events, std::vector<std::string>{"send failed"});
}

// An IPv6 address typed in the host field ("::1", no brackets) is taken as
// it stands and reached over IPv6.
TEST_F(ClntSocketTest, ConnectsToAnIpv6Address) {
  const std::string why = testing::Ipv6LoopbackUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHostIPv6, 0)) << server.errorString().toStdString();
  CClntSocket socket(events_);
  socket.Connect("::1", server.serverPort());
  ASSERT_TRUE(WaitUntil([&] { return !events_.events.empty(); }, 5000));
  EXPECT_EQ(events_.events, std::vector<std::string>{"connected"}) << events_.why;
  ASSERT_TRUE(WaitUntil([&] { return server.hasPendingConnections(); }, 5000));
  EXPECT_EQ(server.nextPendingConnection()->peerAddress(), QHostAddress(QHostAddress::LocalHostIPv6));
}

// The two below make their peers with POSIX sockets: a full accept queue
// that drops connection requests (Windows refuses them instead), and a
// peer on a thread of its own.
#ifndef _WIN32
TEST_F(ClntSocketTest, AConnectAttemptThatHangsEndsAtTheBound) {
  // A listener whose accept queue is full: the kernel drops further
  // connection requests, so an attempt neither succeeds nor fails.
  LoopbackPort full;
  ASSERT_TRUE(full.Listen(0));
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(full.Port());
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers.push_back(fd);
  }
  QTest::qWait(100);
  CClntSocket attempt(events_);
  attempt.SetLimits(400, 0);
  QElapsedTimer timer;
  timer.start();
  attempt.Connect("127.0.0.1", full.Port());
  ASSERT_TRUE(WaitUntil([&] { return !events_.events.empty(); }, 5000));
  for (int fd : fillers) ::close(fd);
  EXPECT_EQ(events_.events, std::vector<std::string>{"connect failed"});
  EXPECT_EQ(events_.why, "connection attempt timed out");
  EXPECT_GE(timer.elapsed(), 350);
}
#endif

TEST_F(ClntSocketTest, ASendTheDeviceDoesNotTakeFailsOnceItStalls) {
  // The kernel accepts the connection; nobody reads, so the buffers fill.
  LoopbackPort deaf;
  ASSERT_TRUE(deaf.Listen());
  auto connection = Connected(deaf.Port());
  connection->SetLimits(0, 300);
  const std::vector<std::uint8_t> block(32 * 1024 * 1024, 0x5A);  // more than the loopback buffers hold
  connection->Send(block.data(), block.size());
  ASSERT_TRUE(WaitUntil([&] { return events_.events.size() > 1; }, 10000));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected", "send failed"}));
  EXPECT_NE(events_.why.find("took no data"), std::string::npos) << events_.why;
}

#ifndef _WIN32
// How a peer answers the half-close of the drain.
struct DrainCase {
  const char* name;
  bool peerCloses;  // the peer sends a last word and closes on end of stream
  int minMs, maxMs;
};

inline void PrintTo(const DrainCase& c, std::ostream* os) { *os << c.name; }

class DrainTest : public ClntSocketTest, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(DrainTest, HalfClosesDiscardsAndEndsWhenThePeerClosesOrAtTheBound) {
  const DrainCase& c = GetParam();
  LoopbackPort port;
  ASSERT_TRUE(port.Listen());
  // The peer runs on its own thread: the drain blocks this one.
  std::atomic<bool> sawEnd{false};
  std::thread peer([&] {
    pollfd waiting{port.Descriptor(), POLLIN, 0};
    if (::poll(&waiting, 1, 5000) != 1) return;
    const int fd = ::accept(port.Descriptor(), nullptr, nullptr);
    if (fd < 0) return;
    char buffer[256];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    sawEnd = true;  // the tool's half-close
    if (c.peerCloses) {
      ::send(fd, "late", 4, 0);
    } else {
      ::usleep(1500 * 1000);  // longer than the bound: nothing more comes
    }
    ::close(fd);
  });
  auto connection = Connected(port.Port());
  const std::uint8_t last[8] = {0x51, 0x23};
  connection->Send(last, sizeof last);
  QElapsedTimer timer;
  timer.start();
  connection->Drain(800);
  const qint64 elapsed = timer.elapsed();
  peer.join();
  EXPECT_TRUE(sawEnd) << "the sending direction was shut down";
  EXPECT_GE(elapsed, c.minMs);
  EXPECT_LT(elapsed, c.maxMs);
  QTest::qWait(50);
  EXPECT_EQ(events_.events, std::vector<std::string>{"connected"}) << "nothing is told during or after the drain";
  EXPECT_FALSE(connection->Connected());
}

INSTANTIATE_TEST_SUITE_P(Peers, DrainTest,
                         ::testing::Values(DrainCase{"PeerCloses", true, 0, 500},
                                           DrainCase{"PeerStaysOpen", false, 750, 1400}),
                         [](const ::testing::TestParamInfo<DrainCase>& info) { return std::string(info.param.name); });
#endif

class NoOperator : public Operator {
 public:
  Answer ShowMessageBox(const std::string&, ButtonSet) override { return Answer::Ok; }
  void SetDownloadEnabled(bool enabled) override { this->enabled = enabled; }
  bool enabled = true;
};

TEST_F(ClntSocketTest, TheWindowServesEventsDuringTheRunnersPause) {
  QWidget window;
  NoOperator op;
  LogPane log;
  DownloadJob job(log);
  QtRunner runner(window, op, job);
  runner.Pause(2000);
  bool fired = false;
  QElapsedTimer timer;
  timer.start();
  QTimer::singleShot(10, [&] { fired = true; });
  ASSERT_TRUE(WaitUntil([&] { return fired; }, 3000));
  EXPECT_LT(timer.elapsed(), 1500) << "a 10 ms timer waited for the pause";
  EXPECT_TRUE(runner.Pausing());
  // The end of a run ends its pause: nothing reaches the job afterwards.
  runner.RunEnded(RunOutcome::Stopped, Failure());
  EXPECT_FALSE(runner.Pausing());
  EXPECT_EQ(job.Machine().ContractViolations(), 0);
  EXPECT_TRUE(CClntSocket::SocketLayerAvailable());
}

}  // namespace
}  // namespace mervix
