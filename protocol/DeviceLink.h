// The device link: what the protocol session needs of the platform's TCP
// sockets. The window adapts it to QTcpSocket, the command line to POSIX
// sockets, and the tests to a scripted fake.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace mervix {

// Told by a connection that it has something to read: data, or the peer's
// close. The owner of a connection (the session) implements it. A front end
// never delivers a notification while a handler of the same owner is still
// running; it holds it back until the handler has returned.
class ConnectionEvents {
 public:
  virtual ~ConnectionEvents() = default;
  virtual void OnSocketReceive() = 0;
};

// Results of DeviceConnection::Receive and ReceiveWithin besides a positive
// byte count.
enum ReceiveStatus : long {
  kReceivePeerClosed = 0,   // the peer closed its side and everything it sent has been read
  kReceiveFailed = -1,      // the connection failed
  kReceiveNothingYet = -2,  // nothing to read at the moment (Receive only)
  kReceiveTimedOut = -3,    // nothing arrived within the time given (ReceiveWithin only)
};

// One TCP stream connection to the device's download service.
class DeviceConnection {
 public:
  virtual ~DeviceConnection() = default;  // closes the connection if still open

  // Connects to the host, given as a dotted IPv4 address or as a name resolved
  // to its first address, and port. Waits until the connection is made or has
  // failed (a window keeps repainting meanwhile). On failure |error| (when not
  // null) receives a short reason.
  virtual bool Connect(const std::string& host, std::uint16_t port, std::string* error) = 0;

  // Waits until every byte has been handed to the connection; false when the
  // send failed.
  virtual bool Send(const std::uint8_t* data, std::size_t size) = 0;

  // Reads at most |size| bytes of what has arrived, without waiting. Returns
  // the byte count (> 0) or one of the ReceiveStatus values.
  virtual long Receive(std::uint8_t* buffer, std::size_t size) = 0;

  // Bytes that have arrived and can be read now without waiting.
  virtual std::size_t Available() = 0;

  // Waits at most |timeoutMs| for data or the peer's close, then reads as
  // Receive does; kReceiveTimedOut when nothing came in time.
  virtual long ReceiveWithin(std::uint8_t* buffer, std::size_t size, int timeoutMs) = 0;

  // Shuts down the sending direction.
  virtual void ShutdownSend() = 0;

  // Closes the connection; no notification follows.
  virtual void Close() = 0;
};

// The platform: makes connections and waits.
class DeviceLink {
 public:
  virtual ~DeviceLink() = default;

  // Creates a stream socket whose readable-data notifications go to |events|.
  // Returns null when the socket cannot be created.
  virtual std::unique_ptr<DeviceConnection> CreateConnection(ConnectionEvents& events) = 0;

  // Blocks the thread for the given time without serving any events.
  virtual void Wait(int milliseconds) = 0;

  // A monotonic clock in milliseconds, used to bound waits that span several
  // calls (the drain of ShutdownConnection). A scripted link may override it
  // with a simulated clock.
  virtual std::int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace mervix
