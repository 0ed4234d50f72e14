#include "cli/support/PosixDeviceLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mervix::cli {

class PosixConnection : public DeviceConnection {
 public:
  PosixConnection(PosixDeviceLink& link, ConnectionEvents& events, int fd) : link_(link), events_(events), fd_(fd) {
    link_.current_ = this;
  }
  ~PosixConnection() override {
    Close();
    if (link_.current_ == this) link_.current_ = nullptr;
  }

  bool Connect(const std::string& host, std::uint16_t port, std::string* error) override;
  bool Send(const std::uint8_t* data, std::size_t size) override;
  long Receive(std::uint8_t* buffer, std::size_t size) override;
  std::size_t Available() override;
  long ReceiveWithin(std::uint8_t* buffer, std::size_t size, int timeoutMs) override;
  void ShutdownSend() override;
  void Close() override;

  int Fd() const { return fd_; }
  ConnectionEvents& Events() { return events_; }

 private:
  bool ConnectOnce(const sockaddr_in& address, std::string* error);

  PosixDeviceLink& link_;
  ConnectionEvents& events_;
  int fd_;
  bool attempted_ = false;
};

namespace {

void SetReason(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// Waits for |events| on |fd| for up to |timeoutMs| (negative: forever),
// restarting after signals with the time that is left.
int PollFor(int fd, short events, int timeoutMs, short* revents) {
  pollfd p{fd, events, 0};
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs > 0) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long long elapsed = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
      wait = elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
    }
    const int n = poll(&p, 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (revents) *revents = p.revents;
    return n;
  }
}

}  // namespace

bool ResolveIpv4(const std::string& host, std::uint32_t* address, std::string* error) {
  in_addr dotted{};
  if (inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
    *address = dotted.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    SetReason(error, "cannot resolve " + host + ": " + (rc != 0 ? gai_strerror(rc) : "no address"));
    if (found) freeaddrinfo(found);
    return false;
  }
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

std::unique_ptr<DeviceConnection> PosixDeviceLink::CreateConnection(ConnectionEvents& events) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixConnection>(*this, events, fd);
}

void PosixDeviceLink::Wait(int milliseconds) {
  if (milliseconds <= 0) return;
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

PosixDeviceLink::Dispatch PosixDeviceLink::WaitAndDispatch(int timeoutMs) {
  PosixConnection* c = current_;
  if (!c || c->Fd() < 0) return Dispatch::NoConnection;
  short revents = 0;
  const int n = PollFor(c->Fd(), POLLIN, timeoutMs, &revents);
  if (n == 0) return Dispatch::TimedOut;
  // Readable, closed by the peer, or failed: the handler's read tells which.
  c->Events().OnSocketReceive();
  return Dispatch::Notified;
}

bool PosixConnection::Connect(const std::string& host, std::uint16_t port, std::string* error) {
  std::uint32_t ip = 0;
  if (!ResolveIpv4(host, &ip, error)) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ip;
  // A socket whose connect failed cannot be connected again: every further
  // attempt (the operator's "Retry?") starts from a fresh one.
  if (attempted_ || fd_ < 0) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      SetReason(error, std::string("cannot create a socket: ") + std::strerror(errno));
      return false;
    }
  }
  attempted_ = true;
  if (!ConnectOnce(address, error)) return false;
  // Lock-step exchange: without TCP_NODELAY the last short piece of every
  // block waits for the device's delayed acknowledgement (about 40 ms).
  const int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

bool PosixConnection::ConnectOnce(const sockaddr_in& address, std::string* error) {
  const int timeoutMs = link_.ConnectTimeoutMs();
  const int flags = fcntl(fd_, F_GETFL, 0);
  if (timeoutMs > 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  int rc;
  do {
    rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR && timeoutMs <= 0);
  if (rc != 0 && (errno == EINPROGRESS || errno == EINTR) && timeoutMs > 0) {
    short revents = 0;
    const int n = PollFor(fd_, POLLOUT, timeoutMs, &revents);
    if (n == 0) {
      fcntl(fd_, F_SETFL, flags);
      SetReason(error, "connection timed out");
      return false;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len);
    rc = soError == 0 ? 0 : -1;
    errno = soError;
  }
  const int connectErrno = errno;
  if (timeoutMs > 0) fcntl(fd_, F_SETFL, flags);
  if (rc != 0) {
    SetReason(error, std::strerror(connectErrno));
    return false;
  }
  return true;
}

bool PosixConnection::Send(const std::uint8_t* data, std::size_t size) {
  if (fd_ < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    // MSG_NOSIGNAL: a device that has gone away is a failed send, not SIGPIPE.
    const ssize_t n = ::send(fd_, data + done, size - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

long PosixConnection::Receive(std::uint8_t* buffer, std::size_t size) {
  if (fd_ < 0) return kReceiveFailed;
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) return kReceivePeerClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kReceiveNothingYet;
    return kReceiveFailed;
  }
}

std::size_t PosixConnection::Available() {
  if (fd_ < 0) return 0;
  int count = 0;
  if (ioctl(fd_, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<std::size_t>(count);
}

long PosixConnection::ReceiveWithin(std::uint8_t* buffer, std::size_t size, int timeoutMs) {
  if (fd_ < 0) return kReceiveFailed;
  short revents = 0;
  const int n = PollFor(fd_, POLLIN, timeoutMs < 0 ? 0 : timeoutMs, &revents);
  if (n < 0) return kReceiveFailed;
  if (n == 0) return kReceiveTimedOut;
  const long got = Receive(buffer, size);
  // Readable but nothing there: only a spurious wake-up; report as no data in time.
  return got == kReceiveNothingYet ? kReceiveTimedOut : got;
}

void PosixConnection::ShutdownSend() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void PosixConnection::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (link_.current_ == this) link_.current_ = nullptr;
}

}  // namespace mervix::cli
