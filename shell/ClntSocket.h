// CClntSocket: one TCP connection of the window to a device, on QTcpSocket.
//
// Everything is asynchronous and reported to a SocketEvents owner from the
// window's event loop: the connection made or failed, the bytes that
// arrived, the peer's close, a failed send. Nothing here waits, except
// Drain, which the window uses when it closes.
//
// Connect takes an IP address, IPv4 or IPv6 ("::1", without brackets), as it
// stands; any other text is a host name, resolved to its first address (an
// IPv4 one when there is any). Each
// attempt, lookup included, is bounded (20 s); the bound is a failed attempt.
// Once connected, frames go out at once (no Nagle delay). A send that makes
// no progress for 30 s, because the device stopped reading, is a failed send.
//
// Lifetime. An owner may let go of its connection from inside one of the
// connection's own notifications: Close detaches the owner, so no further
// notification comes, and the object is then handed to deleteLater (never
// deleted inside its own signal).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

class QTcpSocket;
class QTimer;

namespace mervix {

// What a CClntSocket tells its owner. At most one of ConnectFailed,
// PeerClosed and SendFailed ends a connection; nothing follows it.
class SocketEvents {
 public:
  virtual ~SocketEvents() = default;
  virtual void OnSocketConnected() = 0;
  // |noSocket|: no socket could be created at all.
  virtual void OnSocketConnectFailed(const std::string& reason, bool noSocket) = 0;
  // Bytes that arrived, valid during the call only; told as they come, even
  // while a send is out.
  virtual void OnSocketReceive(const std::uint8_t* data, std::size_t size) = 0;
  // Everything queued by Send has been handed to the system.
  virtual void OnSocketSent() = 0;
  // The device closed the connection, or it broke while nothing was being
  // sent; whatever arrived before has been told already.
  virtual void OnSocketClosed() = 0;
  virtual void OnSocketSendFailed(const std::string& reason) = 0;
};

class CClntSocket : public QObject {
 public:
  static constexpr int kConnectLimitMs = 20000;
  static constexpr int kSendStallLimitMs = 30000;
  static constexpr int kDrainLimitMs = 3000;

  explicit CClntSocket(SocketEvents& owner, QObject* parent = nullptr);
  ~CClntSocket() override;

  CClntSocket(const CClntSocket&) = delete;
  CClntSocket& operator=(const CClntSocket&) = delete;

  // Tests shorten the bounds; 0 or less keeps the default.
  void SetLimits(int connectMs, int sendStallMs);

  // Starts an attempt; OnSocketConnected or OnSocketConnectFailed follows
  // from the event loop.
  void Connect(const std::string& host, std::uint16_t port);
  // Queues the bytes (copied) for sending. A failure is told through
  // OnSocketSendFailed, at once when the connection is not open.
  void Send(const std::uint8_t* data, std::size_t size);
  // Detaches the owner and closes now; what is still queued is dropped.
  void Close();
  // Detaches the owner, sends what is still queued, shuts down the sending
  // direction and discards what arrives until the device closes its side or
  // |limitMs| has passed in all, then closes. Blocks the thread meanwhile.
  void Drain(int limitMs = kDrainLimitMs);

  bool Connected() const;

  // False when the platform cannot create a TCP socket at all.
  static bool SocketLayerAvailable();

 private:
  enum class Phase { Idle, Resolving, Connecting, Connected, Ended };

  void ConnectTo(const QString& address, std::uint16_t port);
  void OnConnected();
  void OnReadyRead();
  void OnDisconnected();
  void OnError(int error);
  void OnBytesWritten();
  void FailConnect(const std::string& reason, bool noSocket);
  // Ends the connection with one report: peer closed or send failed.
  void EndWith(bool sendFailed, const std::string& reason);
  // Forwards what is readable; false when the owner let go meanwhile.
  bool ForwardReadable();
  void Detach();

  SocketEvents* owner_;
  QTcpSocket* socket_;
  QTimer* connectTimer_;
  QTimer* stallTimer_;
  Phase phase_ = Phase::Idle;
  int lookupId_ = -1;
  int connectLimitMs_ = kConnectLimitMs;
  int sendStallLimitMs_ = kSendStallLimitMs;
};

}  // namespace mervix
