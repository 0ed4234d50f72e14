#include "shell/ClntSocket.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace mervix {

CClntSocket::CClntSocket(SocketEvents& owner, QObject* parent)
    : QObject(parent),
      owner_(&owner),
      socket_(new QTcpSocket(this)),
      connectTimer_(new QTimer(this)),
      stallTimer_(new QTimer(this)) {
  connectTimer_->setSingleShot(true);
  stallTimer_->setSingleShot(true);
  QObject::connect(connectTimer_, &QTimer::timeout, this,
                   [this] { FailConnect("connection attempt timed out", false); });
  QObject::connect(stallTimer_, &QTimer::timeout, this, [this] {
    EndWith(true, "the device took no data for " + std::to_string(sendStallLimitMs_ / 1000) + " s");
  });
  QObject::connect(socket_, &QTcpSocket::connected, this, [this] { OnConnected(); });
  QObject::connect(socket_, &QTcpSocket::readyRead, this, [this] { OnReadyRead(); });
  QObject::connect(socket_, &QTcpSocket::disconnected, this, [this] { OnDisconnected(); });
  QObject::connect(socket_, &QTcpSocket::bytesWritten, this, [this] { OnBytesWritten(); });
  QObject::connect(socket_, &QAbstractSocket::errorOccurred, this,
                   [this](QAbstractSocket::SocketError error) { OnError(error); });
}

CClntSocket::~CClntSocket() {
  Detach();
  socket_->abort();
}

void CClntSocket::SetLimits(int connectMs, int sendStallMs) {
  connectLimitMs_ = connectMs > 0 ? connectMs : kConnectLimitMs;
  sendStallLimitMs_ = sendStallMs > 0 ? sendStallMs : kSendStallLimitMs;
}

void CClntSocket::Connect(const std::string& host, std::uint16_t port) {
  const QString name = QString::fromStdString(host);
  connectTimer_->start(connectLimitMs_);
  // An IP address, IPv4 or IPv6, is used as it stands; anything else is a
  // host name, resolved to its first address (an IPv4 one when there is any).
  QHostAddress address;
  if (address.setAddress(name)) {
    ConnectTo(address.toString(), port);
    return;
  }
  phase_ = Phase::Resolving;
  lookupId_ = QHostInfo::lookupHost(name, this, [this, port](const QHostInfo& info) {
    lookupId_ = -1;
    if (phase_ != Phase::Resolving) return;
    const QList<QHostAddress> found = info.addresses();
    if (found.isEmpty()) {
      const QString why = info.errorString();
      FailConnect(why.isEmpty() ? "the host name has no address" : why.toStdString(), false);
      return;
    }
    QHostAddress chosen = found.front();
    for (const QHostAddress& a : found) {
      if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        chosen = a;
        break;
      }
    }
    ConnectTo(chosen.toString(), port);
  });
}

void CClntSocket::ConnectTo(const QString& address, std::uint16_t port) {
  phase_ = Phase::Connecting;
  socket_->connectToHost(QHostAddress(address), port);
}

void CClntSocket::OnConnected() {
  if (phase_ != Phase::Connecting) return;
  connectTimer_->stop();
  phase_ = Phase::Connected;
  // Frames are 8 bytes each; do not let Nagle hold them back.
  socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  if (owner_) owner_->OnSocketConnected();
}

void CClntSocket::FailConnect(const std::string& reason, bool noSocket) {
  if (phase_ != Phase::Resolving && phase_ != Phase::Connecting) return;
  phase_ = Phase::Ended;
  connectTimer_->stop();
  if (lookupId_ >= 0) {
    QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
  }
  socket_->abort();
  if (owner_) owner_->OnSocketConnectFailed(reason, noSocket);
}

void CClntSocket::Send(const std::uint8_t* data, std::size_t size) {
  if (phase_ == Phase::Ended) {
    // The device closed (told already) and the run, holding that close while
    // it asked a question, sends on: nothing can go out any more.
    if (owner_) owner_->OnSocketSendFailed("the connection is closed");
    return;
  }
  if (phase_ != Phase::Connected) {
    if (owner_) owner_->OnSocketSendFailed("the connection is not open");
    return;
  }
  if (socket_->state() != QAbstractSocket::ConnectedState) {
    EndWith(true, "the connection is closing");
    return;
  }
  if (size == 0) return;
  const qint64 queued = socket_->write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
  if (queued != static_cast<qint64>(size)) {
    EndWith(true, socket_->errorString().toStdString());
    return;
  }
  // Most sends fit into the kernel's buffer at once; a device that stops
  // reading leaves bytes queued, and the stall bound runs while it does.
  if (socket_->bytesToWrite() > 0 && !stallTimer_->isActive()) stallTimer_->start(sendStallLimitMs_);
}

void CClntSocket::OnBytesWritten() {
  if (socket_->bytesToWrite() == 0) {
    stallTimer_->stop();
    if (phase_ == Phase::Connected && owner_) owner_->OnSocketSent();
  } else if (phase_ == Phase::Connected) {
    stallTimer_->start(sendStallLimitMs_);  // progress: the bound starts again
  }
}

bool CClntSocket::ForwardReadable() {
  while (owner_ && socket_->bytesAvailable() > 0) {
    const QByteArray bytes = socket_->readAll();
    if (bytes.isEmpty()) break;
    owner_->OnSocketReceive(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                            static_cast<std::size_t>(bytes.size()));
  }
  return owner_ != nullptr;
}

void CClntSocket::OnReadyRead() {
  if (phase_ != Phase::Connected) return;
  // Delivered as they come: the run holds what arrives while a send is out.
  ForwardReadable();
}

void CClntSocket::OnDisconnected() {
  if (phase_ != Phase::Connected) return;
  // Bytes still to go cannot: the send failed, whatever the device said.
  if (socket_->bytesToWrite() > 0) {
    EndWith(true, "the device closed the connection");
    return;
  }
  // What arrived before the close is told first.
  if (!ForwardReadable()) return;
  EndWith(false, "the device closed the connection");
}

void CClntSocket::OnError(int error) {
  const auto e = static_cast<QAbstractSocket::SocketError>(error);
  if (phase_ == Phase::Connecting || phase_ == Phase::Resolving) {
    FailConnect(socket_->errorString().toStdString(), e == QAbstractSocket::SocketResourceError ||
                                                          e == QAbstractSocket::UnsupportedSocketOperationError);
    return;
  }
  if (phase_ != Phase::Connected) return;
  if (e == QAbstractSocket::RemoteHostClosedError) return;  // told by OnDisconnected
  // A connection that breaks while bytes wait to go out is a failed send
  // (told before anything the device sent meanwhile); otherwise the device
  // is gone as if it had closed.
  const bool sendOut = socket_->bytesToWrite() > 0;
  if (!sendOut && !ForwardReadable()) return;
  EndWith(sendOut, socket_->errorString().toStdString());
}

void CClntSocket::EndWith(bool sendFailed, const std::string& reason) {
  if (phase_ != Phase::Connected) return;
  phase_ = Phase::Ended;
  stallTimer_->stop();
  SocketEvents* owner = owner_;
  if (!owner) return;
  if (sendFailed) {
    owner->OnSocketSendFailed(reason);
  } else {
    owner->OnSocketClosed();
  }
}

void CClntSocket::Detach() {
  owner_ = nullptr;
  connectTimer_->stop();
  stallTimer_->stop();
  if (lookupId_ >= 0) {
    QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
  }
  phase_ = Phase::Ended;
}

void CClntSocket::Close() {
  Detach();
  socket_->abort();
}

void CClntSocket::Drain(int limitMs) {
  const bool connected = phase_ == Phase::Connected && socket_->state() == QAbstractSocket::ConnectedState;
  Detach();
  QObject::disconnect(socket_, nullptr, this, nullptr);
  if (!connected) {
    socket_->abort();
    return;
  }
  QDeadlineTimer deadline(limitMs, Qt::PreciseTimer);
  // Whatever is still queued goes out before the FIN.
  while (socket_->bytesToWrite() > 0 && socket_->state() == QAbstractSocket::ConnectedState &&
         !deadline.hasExpired()) {
    socket_->waitForBytesWritten(static_cast<int>(deadline.remainingTime()));
  }
  const qintptr fd = socket_->socketDescriptor();
  if (fd >= 0) {
#ifdef _WIN32
    ::shutdown(static_cast<SOCKET>(fd), SD_SEND);
#else
    ::shutdown(static_cast<int>(fd), SHUT_WR);
#endif
  }
  // Discard what the device still sends until it closes its side.
  while (socket_->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
    socket_->readAll();
    if (!socket_->waitForReadyRead(static_cast<int>(deadline.remainingTime()))) break;
  }
  socket_->readAll();
  socket_->abort();
}

bool CClntSocket::Connected() const { return phase_ == Phase::Connected; }

bool CClntSocket::SocketLayerAvailable() {
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
