#include "shell/ClntSocket.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace mervix {

// The Qt side of one connection: the socket and the receiver of its signals.
// It outlives its CClntSocket until the event loop deletes it, so a signal
// handler that runs while the session destroys the connection still has a
// valid object under it.
class SocketCore : public QObject {
 public:
  SocketCore(ConnectionEvents* owner, std::shared_ptr<NotificationGate> gate)
      : owner_(owner), gate_(std::move(gate)) {
    QObject::connect(&socket_, &QTcpSocket::readyRead, this, [this] { Notify(); });
    QObject::connect(&socket_, &QTcpSocket::disconnected, this, [this] {
      peerClosed_ = true;
      Notify();
    });
    QObject::connect(&socket_, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
      if (e == QAbstractSocket::RemoteHostClosedError) {
        peerClosed_ = true;
      } else if (socket_.state() == QAbstractSocket::ConnectedState || connected_) {
        failed_ = true;
      }
    });
  }

  QTcpSocket& Socket() { return socket_; }
  bool PeerClosed() const { return peerClosed_; }
  bool Failed() const { return failed_; }
  void SetConnected() { connected_ = true; }
  bool Connected() const { return connected_; }
  void CountRead() { ++reads_; }

  // No notification follows; the socket is closed.
  void Detach() {
    owner_ = nullptr;
    QObject::disconnect(&socket_, nullptr, this, nullptr);
    socket_.close();
  }

  // A notification held back by the gate comes here from the event loop.
  void DeliverHeld() {
    if (owner_ == nullptr || !HasNews()) return;
    Deliver();
  }

 private:
  // Something to tell: unread data, or a close the owner has not heard of.
  bool HasNews() const { return socket_.bytesAvailable() > 0 || (peerClosed_ && !closeTold_); }

  void Notify() {
    if (owner_ == nullptr) return;
    if (gate_->Blocked()) {
      gate_->Hold(this);
      return;
    }
    Deliver();
  }

  void Deliver() {
    // Keep the gate and this object observable across the handler: the
    // handler may destroy the CClntSocket (which only detaches us).
    std::shared_ptr<NotificationGate> gate = gate_;
    QPointer<SocketCore> self(this);
    const std::uint64_t readsBefore = reads_;
    if (peerClosed_) closeTold_ = true;
    gate->BeginHandler();
    owner_->OnSocketReceive();
    gate->EndHandler();
    if (self.isNull() || owner_ == nullptr) return;
    // QTcpSocket does not emit readyRead again while a readyRead is still
    // being handled, so data that came in during the handler (while a box
    // was open, or a send waited) would go untold. Like a stream socket's
    // readable-data notification, tell again when something is left, as
    // long as the handler reads at all (a handler that reads nothing must
    // not be called in a loop).
    if (HasNews() && (reads_ != readsBefore || (peerClosed_ && !closeTold_))) {
      QMetaObject::invokeMethod(this, [this] { DeliverHeld(); }, Qt::QueuedConnection);
    }
  }

  QTcpSocket socket_;
  ConnectionEvents* owner_;
  std::shared_ptr<NotificationGate> gate_;
  bool peerClosed_ = false;
  bool closeTold_ = false;
  bool failed_ = false;
  bool connected_ = false;
  std::uint64_t reads_ = 0;  // successful reads, to tell whether a handler read
};

void NotificationGate::EndWait() {
  --waitDepth_;
  Release();
}

void NotificationGate::EndHandler() {
  --handlerDepth_;
  Release();
}

void NotificationGate::Hold(SocketCore* core) {
  for (const QPointer<SocketCore>& held : held_) {
    if (held.data() == core) return;
  }
  held_.emplace_back(core);
}

void NotificationGate::Release() {
  if (Blocked() || held_.empty()) return;
  std::vector<QPointer<SocketCore>> held;
  held.swap(held_);
  for (const QPointer<SocketCore>& core : held) {
    if (core.isNull()) continue;
    SocketCore* target = core.data();
    QMetaObject::invokeMethod(target, [target] { target->DeliverHeld(); }, Qt::QueuedConnection);
  }
}

namespace {

// Runs a local event loop until |done| holds or |limitMs| has passed (a
// negative limit waits without bound). User input is not served, painting
// and socket events are. Returns |done|'s final value.
template <typename Done>
bool WaitFor(NotificationGate& gate, QTcpSocket& socket, int limitMs, Done done) {
  if (done()) return true;
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  // A coarse timer may fire up to 5% early, which would cut a bounded wait
  // (the drain when the window closes) short of its limit.
  timer.setTimerType(Qt::PreciseTimer);
  auto check = [&] {
    if (done()) loop.quit();
  };
  QObject::connect(&socket, &QTcpSocket::connected, &loop, check);
  QObject::connect(&socket, &QTcpSocket::readyRead, &loop, check);
  QObject::connect(&socket, &QTcpSocket::bytesWritten, &loop, check);
  QObject::connect(&socket, &QTcpSocket::disconnected, &loop, [&] { loop.quit(); });
  QObject::connect(&socket, &QAbstractSocket::errorOccurred, &loop, [&] { loop.quit(); });
  QObject::connect(&timer, &QTimer::timeout, &loop, [&] { loop.quit(); });
  if (limitMs >= 0) timer.start(limitMs);
  gate.BeginWait();
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  gate.EndWait();
  return done();
}

}  // namespace

CClntSocket::CClntSocket(ConnectionEvents& owner, std::shared_ptr<NotificationGate> gate)
    : core_(new SocketCore(&owner, gate)), gate_(std::move(gate)) {}

CClntSocket::~CClntSocket() {
  core_->Detach();
  core_->deleteLater();
}

bool CClntSocket::Connect(const std::string& host, std::uint16_t port, std::string* error) {
  QTcpSocket& socket = core_->Socket();
  const QString name = QString::fromStdString(host);

  // A dotted IPv4 address is used as it stands; anything else is a host
  // name, resolved to its first address (an IPv4 one when there is any).
  QHostAddress address;
  if (!address.setAddress(name) || address.protocol() != QAbstractSocket::IPv4Protocol) {
    QHostInfo info;
    bool resolved = false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] { loop.quit(); });
    const int id = QHostInfo::lookupHost(name, &loop, [&](const QHostInfo& result) {
      info = result;
      resolved = true;
      loop.quit();
    });
    timer.start(kConnectLimitMs);
    gate_->BeginWait();
    if (!resolved) loop.exec(QEventLoop::ExcludeUserInputEvents);
    gate_->EndWait();
    if (!resolved) QHostInfo::abortHostLookup(id);
    const QList<QHostAddress> found = resolved ? info.addresses() : QList<QHostAddress>();
    if (found.isEmpty()) {
      if (error) *error = resolved ? info.errorString().toStdString() : "host name lookup timed out";
      return false;
    }
    address = found.front();
    for (const QHostAddress& a : found) {
      if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        address = a;
        break;
      }
    }
  }

  socket.connectToHost(address, port);
  const bool connected = WaitFor(*gate_, socket, kConnectLimitMs,
                                 [&] { return socket.state() == QAbstractSocket::ConnectedState; });
  if (!connected) {
    if (error) {
      *error = socket.state() == QAbstractSocket::ConnectingState || socket.state() == QAbstractSocket::HostLookupState
                   ? "connection attempt timed out"
                   : socket.errorString().toStdString();
    }
    socket.abort();
    return false;
  }
  // Frames are 8 bytes each; do not let Nagle hold them back.
  socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
  core_->SetConnected();
  return true;
}

bool CClntSocket::Send(const std::uint8_t* data, std::size_t size) {
  QTcpSocket& socket = core_->Socket();
  if (socket.state() != QAbstractSocket::ConnectedState) return false;
  if (size == 0) return true;
  if (socket.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size)) {
    return false;
  }
  // Most sends fit into the kernel's buffer at once; only a peer that stops
  // reading makes us wait.
  socket.flush();
  return WaitFor(*gate_, socket, kSendLimitMs, [&] {
           return socket.bytesToWrite() == 0 || socket.state() != QAbstractSocket::ConnectedState;
         }) &&
         socket.bytesToWrite() == 0 && !core_->Failed();
}

long CClntSocket::Receive(std::uint8_t* buffer, std::size_t size) {
  QTcpSocket& socket = core_->Socket();
  const qint64 available = socket.bytesAvailable();
  if (available > 0 && size > 0) {
    const qint64 n = socket.read(reinterpret_cast<char*>(buffer),
                                 std::min<qint64>(available, static_cast<qint64>(size)));
    if (n <= 0) return kReceiveFailed;
    core_->CountRead();
    return static_cast<long>(n);
  }
  if (core_->Failed()) return kReceiveFailed;
  if (core_->PeerClosed() || (core_->Connected() && socket.state() != QAbstractSocket::ConnectedState)) {
    return kReceivePeerClosed;
  }
  if (!core_->Connected()) return kReceiveFailed;
  return kReceiveNothingYet;
}

std::size_t CClntSocket::Available() { return static_cast<std::size_t>(core_->Socket().bytesAvailable()); }

long CClntSocket::ReceiveWithin(std::uint8_t* buffer, std::size_t size, int timeoutMs) {
  QTcpSocket& socket = core_->Socket();
  WaitFor(*gate_, socket, std::max(timeoutMs, 0), [&] {
    return socket.bytesAvailable() > 0 || core_->PeerClosed() || core_->Failed() ||
           socket.state() != QAbstractSocket::ConnectedState;
  });
  const long n = Receive(buffer, size);
  return n == kReceiveNothingYet ? kReceiveTimedOut : n;
}

void CClntSocket::ShutdownSend() {
  QTcpSocket& socket = core_->Socket();
  if (socket.state() != QAbstractSocket::ConnectedState) return;
  // Whatever is still queued goes out before the FIN.
  socket.flush();
  WaitFor(*gate_, socket, kSendLimitMs, [&] {
    return socket.bytesToWrite() == 0 || socket.state() != QAbstractSocket::ConnectedState;
  });
  const qintptr fd = socket.socketDescriptor();
  if (fd < 0) return;
#ifdef _WIN32
  ::shutdown(static_cast<SOCKET>(fd), SD_SEND);
#else
  ::shutdown(static_cast<int>(fd), SHUT_WR);
#endif
}

void CClntSocket::Close() { core_->Detach(); }

QtDeviceLink::QtDeviceLink() : gate_(std::make_shared<NotificationGate>()) {}

std::unique_ptr<DeviceConnection> QtDeviceLink::CreateConnection(ConnectionEvents& events) {
  return std::make_unique<CClntSocket>(events, gate_);
}

void QtDeviceLink::Wait(int milliseconds) {
  if (milliseconds > 0) QThread::msleep(static_cast<unsigned long>(milliseconds));
}

bool QtDeviceLink::SocketLayerAvailable() {
#ifdef _WIN32
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  WSACleanup();
  return true;
#else
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
#endif
}

}  // namespace mervix
