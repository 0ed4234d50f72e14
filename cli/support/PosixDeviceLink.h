// The device link of the command line: TCP over POSIX sockets.
//
// Connect and Send block; Receive and Available never wait. Notifications
// are not pushed: the command line's loop calls WaitAndDispatch, which waits
// until the current connection is readable (data or the peer's close) and
// then calls that connection's OnSocketReceive. One thread, no nesting.
#pragma once

#include "protocol/DeviceLink.h"

#include <cstdint>
#include <memory>
#include <string>

namespace mervix::cli {

class PosixConnection;

class PosixDeviceLink : public DeviceLink {
 public:
  // Each connect attempt gives up after this long (0: the system's own
  // limit, which can be minutes for an address that does not answer).
  void SetConnectTimeoutMs(int milliseconds) { connectTimeoutMs_ = milliseconds; }
  int ConnectTimeoutMs() const { return connectTimeoutMs_; }

  std::unique_ptr<DeviceConnection> CreateConnection(ConnectionEvents& events) override;
  void Wait(int milliseconds) override;

  enum class Dispatch {
    Notified,      // the current connection was readable and its events were told
    TimedOut,      // nothing arrived within the time given
    NoConnection,  // there is no open connection to wait on
  };
  // Waits up to |timeoutMs| (negative: without limit) for the current
  // connection, the one most recently created and not yet closed, to become
  // readable, then calls its OnSocketReceive. The connection is not touched
  // after the call, since the handler may have destroyed it.
  Dispatch WaitAndDispatch(int timeoutMs);

  bool HasConnection() const { return current_ != nullptr; }

 private:
  friend class PosixConnection;
  PosixConnection* current_ = nullptr;
  int connectTimeoutMs_ = 0;
};

// Resolves a host given as a dotted IPv4 address or a name to its first IPv4
// address, in network byte order. False with a reason when it cannot.
bool ResolveIpv4(const std::string& host, std::uint32_t* address, std::string* error);

}  // namespace mervix::cli
