// CClntSocket against a QTcpServer on 127.0.0.1: notifications, holding them
// back while a handler runs, destruction inside a handler, bounded waits,
// half-close and the peer's close.
#include "ShellTestSupport.h"

#include "shell/ClntSocket.h"

#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace mervix {
namespace {

using testing::WaitUntil;

// A peer on 127.0.0.1 that accepts one connection.
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

// Counts notifications and how deeply they nest; a hook runs inside each.
class Recorder : public ConnectionEvents {
 public:
  void OnSocketReceive() override {
    ++calls;
    ++depth;
    maxDepth = std::max(maxDepth, depth);
    if (hook) hook();
    --depth;
  }
  int calls = 0;
  int depth = 0;
  int maxDepth = 0;
  std::function<void()> hook;
};

class ClntSocketTest : public testing::ShellTest {
 protected:
  QtDeviceLink link_;
  Peer peer_;
  Recorder events_;
};

TEST_F(ClntSocketTest, SendsArriveAndReadableDataBecomesOneNotification) {
  ASSERT_TRUE(peer_.Listening());
  auto connection = link_.CreateConnection(events_);
  std::string error;
  ASSERT_TRUE(connection->Connect("127.0.0.1", peer_.Port(), &error)) << error;
  const std::uint8_t request[8] = {0x51, 0x21, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(connection->Send(request, sizeof request));
  EXPECT_EQ(peer_.ReadAll(8), QByteArray(reinterpret_cast<const char*>(request), 8));

  std::uint8_t buffer[16] = {};
  EXPECT_EQ(connection->Receive(buffer, sizeof buffer), kReceiveNothingYet);
  long got = 0;
  events_.hook = [&] { got = connection->Receive(buffer, sizeof buffer); };
  peer_.Accepted()->write(QByteArray("\x52\x05\x02\x00\x00\x00\x00\x00", 8));
  ASSERT_TRUE(WaitUntil([&] { return events_.calls == 1; }, 5000));
  EXPECT_EQ(got, 8);
  EXPECT_EQ(buffer[0], 0x52);
  EXPECT_EQ(buffer[2], 0x02);
}

TEST_F(ClntSocketTest, ANotificationArrivingDuringAHandlerIsDeliveredAfterItReturns) {
  ASSERT_TRUE(peer_.Listening());
  auto connection = link_.CreateConnection(events_);
  ASSERT_TRUE(connection->Connect("127.0.0.1", peer_.Port(), nullptr));
  std::uint8_t buffer[8];
  events_.hook = [&] {
    connection->Receive(buffer, sizeof buffer);
    if (events_.calls == 1) {
      // Like a modal box inside the handler: more data arrives and the event
      // loop runs, but the handler must not be entered again.
      peer_.Accepted()->write(QByteArray(8, '\x52'));
      peer_.Accepted()->flush();
      QEventLoop nested;
      QTimer::singleShot(300, &nested, &QEventLoop::quit);
      nested.exec();
      EXPECT_EQ(events_.calls, 1);
    }
  };
  peer_.Accepted()->write(QByteArray(8, '\x52'));
  ASSERT_TRUE(WaitUntil([&] { return events_.calls == 2; }, 5000));
  EXPECT_EQ(events_.maxDepth, 1);
}

TEST_F(ClntSocketTest, TheOwnerMayDestroyTheConnectionInsideItsOwnNotification) {
  ASSERT_TRUE(peer_.Listening());
  std::unique_ptr<DeviceConnection> connection = link_.CreateConnection(events_);
  ASSERT_TRUE(connection->Connect("127.0.0.1", peer_.Port(), nullptr));
  events_.hook = [&] { connection.reset(); };
  peer_.Accepted()->write(QByteArray(8, '\x52'));
  ASSERT_TRUE(WaitUntil([&] { return connection == nullptr; }, 5000));
  // The peer sees the close, and no further notification comes.
  ASSERT_TRUE(WaitUntil([&] { return peer_.Accepted()->state() != QAbstractSocket::ConnectedState; }, 5000));
  QCoreApplication::processEvents();
  EXPECT_EQ(events_.calls, 1);
}

TEST_F(ClntSocketTest, ThePeersCloseIsToldOnceAndReadsAsZeroAfterTheLastData) {
  ASSERT_TRUE(peer_.Listening());
  auto connection = link_.CreateConnection(events_);
  ASSERT_TRUE(connection->Connect("127.0.0.1", peer_.Port(), nullptr));
  peer_.Accepted()->write(QByteArray("tail", 4));
  peer_.Accepted()->flush();
  peer_.Accepted()->disconnectFromHost();
  ASSERT_TRUE(WaitUntil([&] { return events_.calls >= 1; }, 5000));
  std::uint8_t buffer[8];
  EXPECT_EQ(connection->ReceiveWithin(buffer, sizeof buffer, 2000), 4);
  EXPECT_EQ(connection->ReceiveWithin(buffer, sizeof buffer, 2000), kReceivePeerClosed);
  EXPECT_EQ(connection->Receive(buffer, sizeof buffer), kReceivePeerClosed);
  QCoreApplication::processEvents();
  EXPECT_LE(events_.calls, 2);
}

TEST_F(ClntSocketTest, ReceiveWithinIsBoundedAndHalfCloseLetsThePeerStillAnswer) {
  ASSERT_TRUE(peer_.Listening());
  auto connection = link_.CreateConnection(events_);
  ASSERT_TRUE(connection->Connect("127.0.0.1", peer_.Port(), nullptr));
  QTcpSocket* peer = peer_.Accepted();
  ASSERT_NE(peer, nullptr);

  std::uint8_t buffer[50];
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(connection->ReceiveWithin(buffer, sizeof buffer, 300), kReceiveTimedOut);
  EXPECT_GE(timer.elapsed(), 250);
  EXPECT_LT(timer.elapsed(), 3000);

  connection->ShutdownSend();
  // The peer reads end of stream but its own direction stays open.
  ASSERT_TRUE(WaitUntil([&] {
    peer->readAll();
    return peer->state() != QAbstractSocket::ConnectedState || peer->atEnd();
  }, 5000));
  peer->write(QByteArray("late", 4));
  peer->flush();
  EXPECT_EQ(connection->ReceiveWithin(buffer, sizeof buffer, 3000), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "late");
}

TEST_F(ClntSocketTest, ConnectByNameAndRefusedConnections) {
  ASSERT_TRUE(peer_.Listening());
  auto byName = link_.CreateConnection(events_);
  std::string error;
  EXPECT_TRUE(byName->Connect("localhost", peer_.Port(), &error)) << error;
  ASSERT_NE(peer_.Accepted(), nullptr);
  EXPECT_EQ(peer_.Accepted()->peerAddress().toIPv4Address(), QHostAddress(QHostAddress::LocalHost).toIPv4Address());

  // A port nobody listens on: a failure with a reason, and no data path.
  QTcpServer probe;
  ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
  const std::uint16_t closedPort = probe.serverPort();
  probe.close();
  auto refused = link_.CreateConnection(events_);
  error.clear();
  EXPECT_FALSE(refused->Connect("127.0.0.1", closedPort, &error));
  EXPECT_FALSE(error.empty());
  const std::uint8_t byte = 0;
  EXPECT_FALSE(refused->Send(&byte, 1));
  std::uint8_t buffer[8];
  EXPECT_LT(refused->Receive(buffer, sizeof buffer), 0);
}

TEST(QtDeviceLinkTest, WaitBlocksWithoutServingEvents) {
  QtDeviceLink link;
  bool fired = false;
  QTimer::singleShot(0, [&] { fired = true; });
  QElapsedTimer timer;
  timer.start();
  link.Wait(200);
  EXPECT_GE(timer.elapsed(), 190);
  EXPECT_FALSE(fired);
  QCoreApplication::processEvents();
  EXPECT_TRUE(fired);
  EXPECT_TRUE(QtDeviceLink::SocketLayerAvailable());
}

}  // namespace
}  // namespace mervix
