// The simulated device: a TCP server on 127.0.0.1 (or the address it is
// given) that answers the download protocol as a device does, injects the
// faults it was asked for, and records everything it received.
//
// Its frame handling is written here on purpose, apart from the tool's own
// protocol library, so that it checks that library instead of echoing it.
// A device serves one connection at a time, in the order a device does
// things: read a request, answer it. It is a coroutine on its own strand of
// a context that many devices share, so that a thousand devices need
// neither a thread each nor a buffer each: every wait is an Asio operation
// the coroutine awaits, and Stop (from any thread, e.g. on SIGTERM/SIGINT)
// cancels whatever the device waits for and ends it promptly. Standalone
// Asio: POSIX sockets or Winsock.
//
// The bytes of an image are hashed as they arrive; they are kept only when
// an output needs them (--image, --decoded).
//
// With --units it plays boards that come and go at its address, one after
// another (see "Units" in the --help text): a unit's leaving is one more
// timer on the same context, which closes the listener while no unit is
// there.
#pragma once

#include "resources/Sha256Digest.h"
#include "tools/devsim/SimulatorOptions.h"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mervix::devsim {

// One unit of --units, from its arrival on.
struct UnitRecord {
  unsigned number = 0;  // from 1
  std::string mac;
  unsigned connections = 0;         // connections served while it was there
  unsigned downloadsStarted = 0;    // switch requests acknowledged, or size requests, that began a download
  unsigned downloadsCompleted = 0;  // last block acknowledged
  std::string sha256;               // of the image of its latest completed download
  std::vector<std::string> faultsFired;
};

// What the simulator saw. Counts run over its whole life; the image fields
// describe the latest size request and the blocks that followed it.
struct SimulatorRecord {
  unsigned connections = 0;
  unsigned statusQueries = 0;
  unsigned switchAcks = 0;
  std::vector<long long> reconnectMs;  // switch ack sent -> next connection accepted
  unsigned sectorRequests = 0;
  std::optional<std::uint32_t> sectorAddress;
  unsigned sizeRequests = 0;
  std::optional<std::uint32_t> announcedSize;
  std::vector<std::uint32_t> blockSizes;  // bytes received per block, the last may be partial
  std::uint64_t bytesReceived = 0;        // after the latest acknowledged size
  std::string imageSha256;                // of those bytes, once the blocks have ended
  std::vector<std::uint8_t> image;        // those bytes, kept only for --image and --decoded
  bool imageComplete = false;             // all announced bytes arrived
  bool endsWithTova = false;
  unsigned downloadsCompleted = 0;        // last block acknowledged
  unsigned restarts = 0;                  // restarts begun after a download
  unsigned restartRefused = 0;            // connections closed unread while restarting
  unsigned badFrames = 0;                 // requests that are none of the four
  unsigned lockstepViolations = 0;        // bytes that came before the reply was sent
  unsigned long long partialFrameBytes = 0;  // bytes of requests cut off by a close
  unsigned long long trailingBytes = 0;  // bytes after the last block, or after a fault
  std::vector<std::string> faultsFired;
  std::optional<std::size_t> decodedSize;
  std::string decodeError;
  std::string lastEnd;  // how the latest connection ended
  // With --units: the unit there now (0 while none is), how many have
  // arrived and left, and one entry per unit that arrived.
  bool unitsEnabled = false;
  unsigned unit = 0;
  unsigned unitsArrived = 0;
  unsigned unitsLeft = 0;
  std::vector<UnitRecord> units;
  std::vector<std::string> frames;   // "CONN HEX" per request frame
  std::vector<std::string> replies;  // "CONN HEX" per reply sent (as far as it was sent)
};

// Renders the record as key=value lines (see the --help text).
std::string FormatRecord(const SimulatorRecord& record);

class DeviceSimulator {
 public:
  // The device's handlers run on a strand of |io|, which may be shared with
  // other devices and run by any number of threads.
  DeviceSimulator(asio::io_context& io, SimulatorOptions options);
  ~DeviceSimulator();

  DeviceSimulator(const DeviceSimulator&) = delete;
  DeviceSimulator& operator=(const DeviceSimulator&) = delete;

  // Binds and listens on the configured address (127.0.0.1 unless set) and
  // port; false with a reason when that fails.
  bool Listen(std::string* error);

  // The port actually listened on (after Listen).
  std::uint16_t Port() const { return port_; }
  // "ADDRESS:PORT" of the listener, an IPv6 address in brackets (after
  // Listen: "[::1]:40123").
  std::string Listening() const { return Endpoint(port_); }

  // With --unit-link: the interface takes the first unit's MAC address and
  // is set up, before the first unit is served; false with a reason (e.g.
  // without CAP_NET_ADMIN). Without it, or without --units, true.
  bool PrepareUnitLink(std::string* error);

  // Serves connections until Stop or a limit of the options. Writes the
  // record after every connection and before returning. Returns 0, 1 when
  // the record or image could not be written, or 3 when a unit could not
  // come or go (the interface of --unit-link could not be set, or the
  // address not listened on again); that reason is on standard error.
  // Spawn it on GetExecutor().
  asio::awaitable<int> Serve();

  using Executor = asio::strand<asio::io_context::executor_type>;
  const Executor& GetExecutor() const { return strand_; }

  // Ends Serve promptly: the wait in progress is cancelled and the record
  // written. Safe from any thread, also before Serve starts or after it
  // returned.
  void Stop();

  const SimulatorRecord& Record() const { return record_; }

 private:
  enum class Io { Ok, PeerClosed, Failed, Stopped };
  enum class After { Continue, Close, Silent };

  template <typename T>
  using Task = asio::awaitable<T>;

  Task<void> HandleConnection();
  bool OpenAcceptor(std::uint16_t port, std::string* error);
  Task<void> WaitForStop();
  bool Units() const { return options_.units > 0; }
  UnitRecord& CurrentUnit() { return record_.units.back(); }
  bool ArriveUnit();
  bool LeaveUnit();
  void StartDownload();
  void EndDownload(bool complete);
  void ArmLeave(std::chrono::steady_clock::time_point at);
  void DisarmLeave();
  void Fail(const std::string& reason);
  void StopNow();
  Task<Io> ReadExact(std::uint8_t* buffer, std::size_t size, std::size_t* got);
  Task<Io> ReceiveImageBytes(std::uint32_t size, std::size_t* got);
  void TakeImageBytes(const std::uint8_t* data, std::size_t size);
  Task<Io> WriteAll(const std::uint8_t* data, std::size_t size);
  Task<bool> Pause(int milliseconds);  // false when stopped meanwhile
  Task<void> Discard(bool countTrailing);
  Fault* TakeFault(FaultStep step, std::uint32_t index);
  Task<After> Reply(const std::uint8_t normal[8], Fault* fault, bool* sentAck);
  Task<void> ReceiveBlocks(std::uint32_t size);
  void FinishImage();
  bool KeepsImage() const { return !options_.imagePath.empty() || !options_.decodedPath.empty(); }
  bool WriteOutputs();
  void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
  std::string Endpoint(int port) const;

  SimulatorOptions options_;
  SimulatorRecord record_;
  Executor strand_;
  asio::ip::tcp::acceptor acceptor_{strand_};
  std::optional<asio::ip::tcp::socket> peer_;  // the connection being served
  asio::steady_timer timer_{strand_};
  bool stopped_ = false;  // touched only on the strand
  // The image being received: its digest and its last four bytes (the
  // trailer), kept whether or not the bytes are.
  Sha256Digest imageDigest_;
  std::uint8_t imageTail_[4] = {};
  std::vector<std::uint8_t> receiveBuffer_;  // while blocks come, unless they are kept
  std::uint16_t port_ = 0;
  unsigned switchesLeft_ = 0;   // status 1 until this reaches 0
  bool switchPending_ = false;  // switch acknowledged on this connection
  std::optional<std::chrono::steady_clock::time_point> switchAckAt_;
  unsigned connection_ = 0;  // number of the connection being served
  std::uint32_t statusCount_ = 0, switchCount_ = 0, sectorCount_ = 0, sizeCount_ = 0;
  bool outputError_ = false;
  // While restarting (--restart-after), the time it answers again.
  std::optional<std::chrono::steady_clock::time_point> restartEnds_;
  // Units (--units): the number of the latest to arrive (from 1), whether
  // one is there, the faults of that one, whether a download of it is under
  // way, and its leaving: a timer that, when its time comes, sets
  // |leaveDue_| and drops the listener's wait and the connection in
  // progress. |leaveArm_| tells a timer that was disarmed meanwhile.
  unsigned unit_ = 0;
  bool unitPresent_ = false;
  std::vector<Fault> unitFaults_;
  bool downloadOpen_ = false;
  bool leaveDue_ = false;
  unsigned leaveArm_ = 0;
  asio::steady_timer leaveTimer_{strand_};
  bool unitFailed_ = false;  // a unit could not come or go: Serve ends with 3
};

}  // namespace mervix::devsim
