#include "shell/QtProbe.h"

#include "protocol/Frames.h"
#include "resources/NeighbourTable.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace mervix {
namespace {

// One query; deletes itself once it has told its answer.
class QtProbe : public QObject {
 public:
  QtProbe(QObject* context, std::function<void(const ProbeAnswer&)> done)
      : context_(context), done_(std::move(done)), socket_(new QTcpSocket(this)), timer_(new QTimer(this)) {
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] { End(bound_, boundWhy_); });
    connect(socket_, &QTcpSocket::connected, this, [this] { Query(); });
    connect(socket_, &QTcpSocket::readyRead, this, [this] { Read(); });
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
      if (!connected_) return End(ProbeKind::NoConnection, socket_->errorString().toStdString());
      End(ProbeKind::Invalid, "the device closed the connection after " + std::to_string(got_) + " of 8 bytes");
    });
  }

  void Start(const std::string& host, std::uint16_t port, int connectMs, int replyMs) {
    replyMs_ = replyMs;
    Bound(connectMs, ProbeKind::NoConnection, "connection timed out");
    socket_->connectToHost(QString::fromStdString(host), port);
  }

 private:
  void Query() {
    connected_ = true;
    const ProtocolFrame query = BuildStatusQuery();
    Bound(replyMs_, ProbeKind::NoAnswer, "no response from the device in time");
    socket_->write(reinterpret_cast<const char*>(query.data()), static_cast<qint64>(query.size()));
  }

  void Read() {
    while (got_ < reply_.size() && socket_->bytesAvailable() > 0) {
      const qint64 n = socket_->read(reinterpret_cast<char*>(reply_.data()) + got_,
                                     static_cast<qint64>(reply_.size() - got_));
      if (n <= 0) break;
      got_ += static_cast<std::size_t>(n);
    }
    if (got_ < reply_.size()) return;
    ProbeAnswer answer = ProbeAnswerOf(reply_);
    // The connection has just been made: a device on this machine's own
    // link is in the neighbour table now.
    answer.mac = NeighbourMacAddress(socket_->peerAddress().toString().toStdString());
    Finish(answer);
  }

  void Bound(int ms, ProbeKind kind, const char* why) {
    timer_->stop();
    bound_ = kind;
    boundWhy_ = why;
    if (ms > 0) timer_->start(ms);
  }

  void End(ProbeKind kind, const std::string& why) {
    ProbeAnswer answer;
    answer.kind = kind;
    answer.detail = why;
    Finish(answer);
  }

  void Finish(const ProbeAnswer& answer) {
    if (finished_) return;
    finished_ = true;
    timer_->stop();
    socket_->abort();
    deleteLater();
    if (!context_.isNull() && done_) done_(answer);
  }

  QPointer<QObject> context_;
  std::function<void(const ProbeAnswer&)> done_;
  QTcpSocket* socket_;
  QTimer* timer_;
  int replyMs_ = 0;
  ProbeKind bound_ = ProbeKind::NoConnection;
  std::string boundWhy_;
  bool connected_ = false;
  bool finished_ = false;
  ProtocolFrame reply_{};
  std::size_t got_ = 0;
};

}  // namespace

void ProbeDeviceOnQt(QObject* context, const std::string& host, std::uint16_t port, int connectMs, int replyMs,
                     std::function<void(const ProbeAnswer&)> done) {
  auto* probe = new QtProbe(context, std::move(done));
  probe->Start(host, port, connectMs, replyMs);
}

}  // namespace mervix
