// The device link of the window: CClntSocket, one TCP connection on
// QTcpSocket, and QtDeviceLink, which creates them.
//
// Notifications. QTcpSocket's readyRead and disconnected arrive on the
// window's thread and become the owner's OnSocketReceive. Two rules keep the
// session's handler from ever running nested inside itself:
//  - while a Connect, Send or ReceiveWithin of any connection of the link is
//    waiting in its local event loop, notifications are held back;
//  - while the owner's handler runs (and with it any message box it opens),
//    notifications are held back too.
// A held-back notification is delivered from the event loop once the wait
// or the handler has returned. Several readable-data signals that pile up
// meanwhile collapse into one notification; the session reads what is there.
// When a handler has read and data is still waiting afterwards, the owner is
// told again, as a stream socket's readable-data notification would.
//
// Lifetime. The session may destroy its connection from inside its own
// OnSocketReceive. The QTcpSocket and the signal receiver therefore live in
// a separate QObject that the CClntSocket detaches and hands to deleteLater;
// nothing is ever deleted inside one of its own signals.
//
// Waiting. Connect, Send and ReceiveWithin run a local event loop that
// excludes user input, so the window keeps repainting while the operator
// cannot start anything new. Each wait is bounded (connect 20 s, a send
// 30 s) so that an unreachable or stalled device never strands the
// operator; the bound turns into a failure the session reports. A request to
// close the window during a wait is remembered by the window and carried out
// when the wait has returned (see IsWaiting).
#pragma once

#include "protocol/DeviceLink.h"

#include <QPointer>

#include <memory>
#include <vector>

namespace mervix {

class SocketCore;

// Shared by all connections of one link: who is waiting, who is handling,
// and which connections have a notification held back.
class NotificationGate {
 public:
  bool Blocked() const { return waitDepth_ > 0 || handlerDepth_ > 0; }
  bool IsWaiting() const { return waitDepth_ > 0; }
  bool InHandler() const { return handlerDepth_ > 0; }

  void BeginWait() { ++waitDepth_; }
  void EndWait();
  void BeginHandler() { ++handlerDepth_; }
  void EndHandler();

  // Remembers that |core| has a notification to deliver later.
  void Hold(SocketCore* core);

 private:
  // Posts the held notifications to the event loop, once nothing blocks.
  void Release();

  int waitDepth_ = 0;
  int handlerDepth_ = 0;
  std::vector<QPointer<SocketCore>> held_;
};

class CClntSocket : public DeviceConnection {
 public:
  static constexpr int kConnectLimitMs = 20000;
  static constexpr int kSendLimitMs = 30000;

  CClntSocket(ConnectionEvents& owner, std::shared_ptr<NotificationGate> gate);
  // Closes the socket if still open; the Qt objects go through deleteLater.
  ~CClntSocket() override;

  CClntSocket(const CClntSocket&) = delete;
  CClntSocket& operator=(const CClntSocket&) = delete;

  bool Connect(const std::string& host, std::uint16_t port, std::string* error) override;
  bool Send(const std::uint8_t* data, std::size_t size) override;
  long Receive(std::uint8_t* buffer, std::size_t size) override;
  std::size_t Available() override;
  long ReceiveWithin(std::uint8_t* buffer, std::size_t size, int timeoutMs) override;
  void ShutdownSend() override;
  void Close() override;

 private:
  SocketCore* core_;  // owned; released with deleteLater
  std::shared_ptr<NotificationGate> gate_;
};

class QtDeviceLink : public DeviceLink {
 public:
  QtDeviceLink();

  std::unique_ptr<DeviceConnection> CreateConnection(ConnectionEvents& events) override;
  // Sleeps without serving any events: the window does not react meanwhile.
  void Wait(int milliseconds) override;

  // True while a connection of this link waits in its local event loop.
  bool IsWaiting() const { return gate_->IsWaiting(); }
  // True while a wait or a notification handler of this link is running.
  bool IsBusy() const { return gate_->Blocked(); }
  // Lets tests check that the socket layer can be used: false when the
  // platform cannot create a TCP socket at all.
  static bool SocketLayerAvailable();

 private:
  std::shared_ptr<NotificationGate> gate_;
};

}  // namespace mervix
