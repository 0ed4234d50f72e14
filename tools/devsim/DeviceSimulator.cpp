#include "tools/devsim/DeviceSimulator.h"

#include <asio/ip/address.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "compress/Lh5Decoder.h"
#include "resources/FileAccess.h"
#include "resources/Sha256Digest.h"
#include "tools/devsim/UnitLink.h"

namespace mervix::devsim {

namespace {

constexpr std::uint32_t kBlockSize = 65536;

// Image bytes that are not kept go through a buffer of this size, held by
// a connection only while it receives blocks.
constexpr std::size_t kReceiveBufferSize = 32 * 1024;

// Completion for an awaited operation: its error goes to |ec|, not into an
// exception.
auto Await(asio::error_code& ec) { return asio::redirect_error(asio::use_awaitable, ec); }

// The request frames the device knows, byte for byte where they are fixed.
constexpr std::uint8_t kStatusQuery[8] = {0x51, 0x21, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t kSwitchRequest[8] = {0x51, 0x20, 'S', 'W', 'I', 'T', 'C', 'H'};
constexpr std::uint8_t kCodeSector = 0x23;
constexpr std::uint8_t kCodeSize = 0x22;

// Response codes.
constexpr std::uint8_t kResponse = 0x52;
constexpr std::uint8_t kAck = 0x03;
constexpr std::uint8_t kStatus = 0x05;
constexpr std::uint8_t kNak = 0x06;

// NAK flags the device itself uses.
constexpr std::uint16_t kNakCommandError = 0x8000;
constexpr std::uint16_t kNakSizeError = 0x0020;

// Filler for the "extra" fault: no valid response code starts with it.
constexpr std::uint8_t kExtraByte = 0xEE;

void SetFrame(std::uint8_t out[8], std::uint8_t code, std::uint8_t b2 = 0, std::uint8_t b3 = 0) {
  std::memset(out, 0, 8);
  out[0] = kResponse;
  out[1] = code;
  out[2] = b2;
  out[3] = b3;
}

void SetNak(std::uint8_t out[8], std::uint16_t flags) {
  SetFrame(out, kNak, static_cast<std::uint8_t>(flags >> 8), static_cast<std::uint8_t>(flags & 0xFF));
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < size; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 0x0F];
  }
  return s;
}

template <typename T>
std::string JoinNumbers(const std::vector<T>& values) {
  std::string s;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) s += ',';
    s += std::to_string(values[i]);
  }
  return s;
}

// The outputs are replaced whole (a reader never sees half a record), on
// POSIX and on Windows alike.
bool WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size) {
  return ReplaceFileContents(path, data, size).ok();
}

const char* StepName(FaultStep step) {
  switch (step) {
    case FaultStep::StatusQuery: return "status";
    case FaultStep::Switch: return "switch";
    case FaultStep::Sector: return "sector";
    case FaultStep::Size: return "size";
    case FaultStep::Block: return "block";
  }
  return "?";
}

}  // namespace

std::string FormatRecord(const SimulatorRecord& r) {
  std::string s;
  auto line = [&s](const char* key, const std::string& value) {
    s += key;
    s += '=';
    s += value;
    s += '\n';
  };
  char address[16] = "";
  if (r.sectorAddress) std::snprintf(address, sizeof address, "0x%08x", static_cast<unsigned>(*r.sectorAddress));
  std::string faults;
  for (std::size_t i = 0; i < r.faultsFired.size(); ++i) faults += (i ? "," : "") + r.faultsFired[i];

  line("connections", std::to_string(r.connections));
  line("status_queries", std::to_string(r.statusQueries));
  line("switch_acks", std::to_string(r.switchAcks));
  line("reconnect_ms", JoinNumbers(r.reconnectMs));
  line("sector_requests", std::to_string(r.sectorRequests));
  line("sector_address", address);
  line("size_requests", std::to_string(r.sizeRequests));
  line("announced_size", r.announcedSize ? std::to_string(*r.announcedSize) : "");
  line("blocks", std::to_string(r.blockSizes.size()));
  line("block_sizes", JoinNumbers(r.blockSizes));
  line("bytes_received", std::to_string(r.bytesReceived));
  line("image_sha256", r.imageSha256);
  line("image_complete", r.imageComplete ? "1" : "0");
  line("ends_with_tova", r.endsWithTova ? "1" : "0");
  line("downloads_completed", std::to_string(r.downloadsCompleted));
  line("bad_frames", std::to_string(r.badFrames));
  line("lockstep_violations", std::to_string(r.lockstepViolations));
  line("partial_frame_bytes", std::to_string(r.partialFrameBytes));
  line("trailing_bytes", std::to_string(r.trailingBytes));
  line("faults_fired", faults);
  line("decoded_size", r.decodedSize ? std::to_string(*r.decodedSize) : "");
  line("decode_error", r.decodeError);
  line("last_end", r.lastEnd);
  line("restarts", std::to_string(r.restarts));
  line("restart_refused", std::to_string(r.restartRefused));
  if (r.unitsEnabled) {
    line("unit", std::to_string(r.unit));
    line("units_arrived", std::to_string(r.unitsArrived));
    line("units_left", std::to_string(r.unitsLeft));
    for (const UnitRecord& u : r.units) {
      const std::string key = "unit." + std::to_string(u.number) + ".";
      std::string fired;
      for (std::size_t i = 0; i < u.faultsFired.size(); ++i) fired += (i ? "," : "") + u.faultsFired[i];
      line((key + "mac").c_str(), u.mac);
      line((key + "connections").c_str(), std::to_string(u.connections));
      line((key + "downloads_started").c_str(), std::to_string(u.downloadsStarted));
      line((key + "downloads_completed").c_str(), std::to_string(u.downloadsCompleted));
      line((key + "sha256").c_str(), u.sha256);
      line((key + "faults_fired").c_str(), fired);
    }
  }
  for (const std::string& f : r.frames) line("frame", f);
  for (const std::string& f : r.replies) line("reply", f);
  return s;
}

DeviceSimulator::DeviceSimulator(asio::io_context& io, SimulatorOptions options)
    : options_(std::move(options)), strand_(asio::make_strand(io)) {}

DeviceSimulator::~DeviceSimulator() = default;

bool DeviceSimulator::Listen(std::string* error) {
  if (!OpenAcceptor(static_cast<std::uint16_t>(options_.port), error)) return false;
  asio::error_code ec;
  port_ = acceptor_.local_endpoint(ec).port();
  return true;
}

// Opens the listener on |port| of the configured address; a unit that
// arrives opens it again on the port it had.
bool DeviceSimulator::OpenAcceptor(std::uint16_t port, std::string* error) {
  using asio::ip::tcp;
  asio::error_code ec;
  const asio::ip::address address = asio::ip::make_address(options_.listenAddress, ec);
  if (ec) {
    *error = "cannot listen on '" + options_.listenAddress + "': not an IP address";
    return false;
  }
  const tcp::endpoint endpoint(address, port);
  acceptor_.open(endpoint.protocol(), ec);
  if (ec) {
    *error = "socket: " + ec.message();
    return false;
  }
#ifndef _WIN32
  // A restarted simulator gets its port back at once. (On Windows this
  // option would let two listeners share the port, so it is left off.)
  acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
  // An IPv6 address is served on IPv6 alone ("::" takes no IPv4 peers).
  if (address.is_v6()) acceptor_.set_option(asio::ip::v6_only(true), ec);
  acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(4, ec);
  if (ec) {
    *error = "cannot listen on " + Endpoint(port) + ": " + ec.message();
    asio::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  return true;
}

std::string DeviceSimulator::Endpoint(int port) const {
  const std::string& a = options_.listenAddress;
  return (a.find(':') != std::string::npos ? "[" + a + "]" : a) + ":" + std::to_string(port);
}

void DeviceSimulator::Stop() {
  asio::post(strand_, [this] { StopNow(); });
}

// On the strand: whatever the device waits for ends with
// operation_aborted, and no new wait starts.
void DeviceSimulator::StopNow() {
  stopped_ = true;
  asio::error_code ignored;
  acceptor_.cancel(ignored);
  if (peer_) peer_->cancel(ignored);
  timer_.cancel();
  leaveTimer_.cancel();
}

// Waits until Stop: the timer's wait for ever ends only when StopNow
// cancels it.
DeviceSimulator::Task<void> DeviceSimulator::WaitForStop() {
  while (!stopped_) {
    asio::error_code ec;
    timer_.expires_at(asio::steady_timer::time_point::max());
    co_await timer_.async_wait(Await(ec));
  }
}

void DeviceSimulator::Note(const char* format, ...) {
  if (!options_.verbose) return;
  if (options_.name.empty()) std::fprintf(stderr, "devsim[%u]: ", connection_);
  else std::fprintf(stderr, "devsim[%s %u]: ", options_.name.c_str(), connection_);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

DeviceSimulator::Task<bool> DeviceSimulator::Pause(int milliseconds) {
  if (stopped_) co_return false;
  asio::error_code ec;
  timer_.expires_after(std::chrono::milliseconds(milliseconds));
  co_await timer_.async_wait(Await(ec));
  co_return !stopped_;
}

// Reads exactly |size| bytes, however the peer's segments fall, unless the
// peer closes, the connection fails or the simulator is told to stop.
DeviceSimulator::Task<DeviceSimulator::Io> DeviceSimulator::ReadExact(std::uint8_t* buffer, std::size_t size,
                                                                      std::size_t* got) {
  *got = 0;
  if (stopped_) co_return Io::Stopped;
  asio::error_code ec;
  *got = co_await asio::async_read(*peer_, asio::buffer(buffer, size), Await(ec));
  if (!ec) co_return Io::Ok;
  if (stopped_) co_return Io::Stopped;
  co_return ec == asio::error::eof ? Io::PeerClosed : Io::Failed;
}

// Receives |size| bytes of the image, however the peer's segments fall,
// unless the peer closes, the connection fails or the simulator is told to
// stop. Kept bytes go straight to the record's image; the others through
// the connection's small receive buffer, hashed as they come.
DeviceSimulator::Task<DeviceSimulator::Io> DeviceSimulator::ReceiveImageBytes(std::uint32_t size, std::size_t* got) {
  *got = 0;
  const bool keep = KeepsImage();
  const std::size_t before = record_.image.size();
  if (keep) record_.image.resize(before + size);
  else receiveBuffer_.resize(kReceiveBufferSize);
  Io result = Io::Ok;
  while (*got < size) {
    if (stopped_) {
      result = Io::Stopped;
      break;
    }
    std::uint8_t* into = keep ? record_.image.data() + before + *got : receiveBuffer_.data();
    const std::size_t room = keep ? size - *got : std::min<std::size_t>(size - *got, receiveBuffer_.size());
    asio::error_code ec;
    const std::size_t n = co_await peer_->async_read_some(asio::buffer(into, room), Await(ec));
    if (ec) {
      result = stopped_ ? Io::Stopped : ec == asio::error::eof ? Io::PeerClosed : Io::Failed;
      break;
    }
    TakeImageBytes(into, n);
    *got += n;
  }
  if (keep) record_.image.resize(before + *got);
  co_return result;
}

// Counts and hashes bytes of the image, and keeps its last four.
void DeviceSimulator::TakeImageBytes(const std::uint8_t* data, std::size_t size) {
  imageDigest_.Update(data, size);
  record_.bytesReceived += size;
  if (size >= 4) {
    std::memcpy(imageTail_, data + size - 4, 4);
  } else {
    std::memmove(imageTail_, imageTail_ + size, 4 - size);
    std::memcpy(imageTail_ + 4 - size, data, size);
  }
}

DeviceSimulator::Task<DeviceSimulator::Io> DeviceSimulator::WriteAll(const std::uint8_t* data, std::size_t size) {
  asio::error_code ec;
  co_await asio::async_write(*peer_, asio::buffer(data, size), Await(ec));
  co_return ec ? Io::Failed : Io::Ok;
}

// Reads and drops whatever the peer still sends until it closes.
DeviceSimulator::Task<void> DeviceSimulator::Discard(bool countTrailing) {
  std::uint8_t sink[4096];
  for (;;) {
    std::size_t got = 0;
    const Io io = co_await ReadExact(sink, 1, &got);
    if (io != Io::Ok) co_return;
    // What else is there already, without waiting for more.
    asio::error_code ec;
    std::size_t n = 1;
    const std::size_t ready = std::min(peer_->available(ec), sizeof sink - 1);
    if (!ec && ready > 0) n += peer_->read_some(asio::buffer(sink + 1, ready), ec);
    if (countTrailing) record_.trailingBytes += n;
  }
}

Fault* DeviceSimulator::TakeFault(FaultStep step, std::uint32_t index) {
  for (std::vector<Fault>* faults : {&options_.faults, &unitFaults_}) {
    for (Fault& f : *faults) {
      if (!f.fired && f.step == step && f.index == index) {
        f.fired = true;
        record_.faultsFired.push_back(f.text);
        if (unitPresent_) CurrentUnit().faultsFired.push_back(f.text);
        Note("fault %s (%s %u)", f.text.c_str(), StepName(step), index);
        return &f;
      }
    }
  }
  return nullptr;
}

// Sends the reply to one request, or what the fault makes of it.
DeviceSimulator::Task<DeviceSimulator::After> DeviceSimulator::Reply(const std::uint8_t normal[8], Fault* fault,
                                                                      bool* sentAck) {
  *sentAck = false;
  std::uint8_t frame[8];
  std::memcpy(frame, normal, 8);

  int delayMs = options_.replyDelayMs;
  if (fault) {
    switch (fault->kind) {
      case FaultKind::Close:
      case FaultKind::Vanish:
        record_.lastEnd = "closed without reply";
        co_return After::Close;
      case FaultKind::Silent:
        record_.lastEnd = "silent";
        co_return After::Silent;
      case FaultKind::Nak: SetNak(frame, static_cast<std::uint16_t>(fault->value)); break;
      case FaultKind::Frame: std::memcpy(frame, fault->frame.data(), 8); break;
      case FaultKind::BadStatus: SetFrame(frame, kStatus, 0x00, 0x03); break;
      case FaultKind::BadStatusTail: frame[7] = 0x01; break;
      case FaultKind::BadCode: SetFrame(frame, 0x07); break;
      case FaultKind::Ack: SetFrame(frame, kAck); break;
      case FaultKind::Status3: SetFrame(frame, kStatus, 0x03); break;
      case FaultKind::Delay: delayMs += static_cast<int>(fault->value); break;
      case FaultKind::Short:
      case FaultKind::Split:
      case FaultKind::Extra: break;  // shape the write below
    }
  }
  if (delayMs > 0 && !co_await Pause(delayMs)) co_return After::Close;

  // Lock-step: the tool must wait for this reply before it sends anything.
  asio::error_code ec;
  if (peer_->available(ec) > 0 && !ec) {
    ++record_.lockstepViolations;
    Note("lock-step violation: data arrived before the reply");
  }

  std::size_t sent = 8;
  Io io = Io::Ok;
  if (fault && fault->kind == FaultKind::Short) {
    sent = fault->value;
    io = co_await WriteAll(frame, sent);
  } else if (fault && fault->kind == FaultKind::Split) {
    const std::size_t at = fault->value2;
    io = co_await WriteAll(frame, at);
    if (io == Io::Ok && !co_await Pause(static_cast<int>(fault->value))) co_return After::Close;
    if (io == Io::Ok) io = co_await WriteAll(frame + at, 8 - at);
  } else if (fault && fault->kind == FaultKind::Extra) {
    std::vector<std::uint8_t> bytes(frame, frame + 8);
    bytes.resize(8 + fault->value, kExtraByte);
    io = co_await WriteAll(bytes.data(), bytes.size());
  } else {
    io = co_await WriteAll(frame, 8);
  }
  record_.replies.push_back(std::to_string(connection_) + " " + Hex(frame, sent));
  Note("reply %s", Hex(frame, sent).c_str());
  if (io != Io::Ok) {
    record_.lastEnd = "reply failed";
    co_return After::Close;
  }
  if (fault && fault->kind == FaultKind::Short) {
    record_.lastEnd = "short reply";
    co_return After::Close;
  }
  *sentAck = sent == 8 && frame[0] == kResponse && frame[1] == kAck;
  co_return After::Continue;
}

DeviceSimulator::Task<void> DeviceSimulator::HandleConnection() {
  ++connection_;
  ++record_.connections;
  record_.lastEnd = "peer closed";
  if (switchAckAt_) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                          *switchAckAt_)
                        .count();
    record_.reconnectMs.push_back(ms);
    switchAckAt_.reset();
    Note("reconnect %lld ms after the switch ack", static_cast<long long>(ms));
  }
  switchPending_ = false;
  bool downloadDone = false;
  // A unit's download ends with the connection that carries its size
  // request, or with the first connection in download mode after its switch.
  const bool downloadMode = switchesLeft_ == 0;
  bool sizeSeen = false;
  if (unitPresent_) ++CurrentUnit().connections;

  for (;;) {
    std::uint8_t req[8];
    std::size_t got = 0;
    const Io io = co_await ReadExact(req, 8, &got);
    if (io != Io::Ok) {
      record_.partialFrameBytes += got;
      if (got > 0) record_.lastEnd = "closed inside a frame";
      else if (io == Io::Failed) record_.lastEnd = "read failed";
      else if (io == Io::Stopped) record_.lastEnd = "stopped";
      break;
    }
    record_.frames.push_back(std::to_string(connection_) + " " + Hex(req, 8));
    Note("frame %s", Hex(req, 8).c_str());

    std::uint8_t normal[8];
    Fault* fault = nullptr;
    enum { Other, Status, Switch, Sector, Size } kind = Other;
    bool sizeAccepted = false;
    std::uint32_t size = 0;

    if (std::memcmp(req, kStatusQuery, 8) == 0) {
      kind = Status;
      ++record_.statusQueries;
      const std::uint8_t status = switchesLeft_ > 0 ? 1 : 2;
      if (options_.swapStatusBytes) SetFrame(normal, kStatus, 0x00, status);
      else SetFrame(normal, kStatus, status, 0x00);
      fault = TakeFault(FaultStep::StatusQuery, ++statusCount_);
    } else if (std::memcmp(req, kSwitchRequest, 8) == 0) {
      kind = Switch;
      SetFrame(normal, kAck);
      fault = TakeFault(FaultStep::Switch, ++switchCount_);
    } else if (req[0] == 0x51 && req[1] == kCodeSector && req[6] == 0 && req[7] == 0) {
      kind = Sector;
      ++record_.sectorRequests;
      record_.sectorAddress = BigEndian32(req + 2);
      SetFrame(normal, kStatus, 0x03);
      fault = TakeFault(FaultStep::Sector, ++sectorCount_);
    } else if (req[0] == 0x51 && req[1] == kCodeSize && req[6] == 0 && req[7] == 0) {
      kind = Size;
      ++record_.sizeRequests;
      sizeSeen = true;
      if (Units()) StartDownload();
      size = BigEndian32(req + 2);
      record_.announcedSize = size;
      // A device refuses what its flash cannot hold, and an empty image.
      sizeAccepted = size > 0 && size <= options_.maxImageSize;
      if (sizeAccepted) SetFrame(normal, kAck);
      else SetNak(normal, kNakSizeError);
      fault = TakeFault(FaultStep::Size, ++sizeCount_);
    } else {
      // Unknown code, wrong class byte or non-zero padding: a command error.
      ++record_.badFrames;
      SetNak(normal, kNakCommandError);
    }

    bool sentAck = false;
    const After after = co_await Reply(normal, fault, &sentAck);
    if (after == After::Close) break;
    if (after == After::Silent) {
      co_await Discard(true);
      break;
    }
    if (kind == Switch && sentAck) {
      // The switch takes effect when this connection ends; the time runs from now.
      ++record_.switchAcks;
      switchPending_ = true;
      switchAckAt_ = std::chrono::steady_clock::now();
      if (Units()) StartDownload();
    }
    if (kind == Size && sizeAccepted && sentAck) {
      co_await ReceiveBlocks(size);
      downloadDone = record_.lastEnd == "download complete";
      // A restarting device drops the connection once the last Ack is out.
      if (downloadDone && options_.restartMs == 0) co_await Discard(true);
      break;
    }
  }
  asio::error_code ignored;
  peer_->close(ignored);

  if (switchPending_ && switchesLeft_ > 0) --switchesLeft_;
  // A device that has taken new firmware restarts in the mode it began in,
  // or, when it restarts for a while, comes back in normal mode.
  if (downloadDone) switchesLeft_ = options_.switches;
  if (downloadDone && options_.restartMs > 0) {
    ++record_.restarts;
    switchesLeft_ = std::max(options_.switches, 1u);
    restartEnds_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.restartMs);
    Note("restarting for %d ms", options_.restartMs);
  }
  if (leaveDue_) record_.lastEnd = "unit left";
  if (downloadOpen_ && (downloadMode || sizeSeen || downloadDone)) EndDownload(downloadDone);
}

// Receives the image announced by an acknowledged size request: blocks of
// 65,536 bytes, the last one shorter, each answered with one reply.
DeviceSimulator::Task<void> DeviceSimulator::ReceiveBlocks(std::uint32_t size) {
  record_.image.clear();
  record_.bytesReceived = 0;
  record_.imageSha256.clear();
  imageDigest_.Reset();
  std::memset(imageTail_, 0, sizeof imageTail_);
  record_.blockSizes.clear();
  record_.imageComplete = false;
  record_.endsWithTova = false;
  record_.decodedSize.reset();
  record_.decodeError.clear();

  std::uint32_t remaining = size;
  bool lastAck = false;
  for (std::uint32_t k = 0; remaining > 0; ++k) {
    const std::uint32_t blockSize = std::min(kBlockSize, remaining);
    Fault* fault = TakeFault(FaultStep::Block, k);
    std::uint32_t want = blockSize;
    const bool vanish = fault && fault->kind == FaultKind::Vanish;
    if (vanish) want = fault->hasValue ? std::min(fault->value, blockSize) : blockSize / 2;

    std::size_t got = 0;
    const Io io = want > 0 ? co_await ReceiveImageBytes(want, &got) : Io::Ok;
    if (io != Io::Ok) {
      if (got > 0) record_.blockSizes.push_back(static_cast<std::uint32_t>(got));
      record_.lastEnd = io == Io::Stopped ? "stopped" : "closed inside block " + std::to_string(k);
      FinishImage();
      co_return;
    }
    if (vanish) {
      if (want > 0) record_.blockSizes.push_back(want);
      record_.lastEnd = "vanished inside block " + std::to_string(k);
      FinishImage();
      co_return;
    }
    record_.blockSizes.push_back(blockSize);
    Note("block %u: %u bytes", static_cast<unsigned>(k), static_cast<unsigned>(blockSize));
    remaining -= blockSize;
    if (remaining == 0) record_.imageComplete = true;

    std::uint8_t ack[8];
    SetFrame(ack, kAck);
    const After after = co_await Reply(ack, fault, &lastAck);
    if (after != After::Continue) {
      FinishImage();
      if (after == After::Silent) co_await Discard(true);
      co_return;
    }
  }
  FinishImage();
  if (lastAck) {
    ++record_.downloadsCompleted;
    record_.lastEnd = "download complete";
  } else {
    record_.lastEnd = "last block not acknowledged";
  }
}

// States the digest of the latest image, checks its trailer and decodes a
// compressed one.
void DeviceSimulator::FinishImage() {
  record_.imageSha256 = Sha256Hex(imageDigest_.Finish());
  imageDigest_.Reset();
  record_.endsWithTova = record_.bytesReceived >= 4 && std::memcmp(imageTail_, "TOVA", 4) == 0;
  const std::vector<std::uint8_t>& img = record_.image;
  if (options_.decodedPath.empty() || !record_.endsWithTova || !record_.imageComplete) return;
  std::vector<std::uint8_t> decoded;
  std::string error;
  if (DecodeLh5(img.data(), img.size() - 4, std::nullopt, &decoded, &error)) {
    record_.decodedSize = decoded.size();
    if (!WriteFileAtomically(options_.decodedPath, decoded.data(), decoded.size())) outputError_ = true;
  } else {
    record_.decodeError = error.empty() ? "undecodable" : error;
  }
}

bool DeviceSimulator::WriteOutputs() {
  bool ok = true;
  if (!options_.imagePath.empty() && record_.announcedSize) {
    ok = WriteFileAtomically(options_.imagePath, record_.image.data(), record_.image.size()) && ok;
  }
  if (!options_.recordPath.empty()) {
    const std::string text = FormatRecord(record_);
    ok = WriteFileAtomically(options_.recordPath, reinterpret_cast<const std::uint8_t*>(text.data()),
                             text.size()) &&
         ok;
  }
  if (!ok) outputError_ = true;
  return ok;
}

// A download of the unit there now begins (a switch acknowledged, or a size
// request without one): it is counted once, and a leaving that was due
// after an earlier download waits for this one to end.
void DeviceSimulator::StartDownload() {
  if (!downloadOpen_) {
    downloadOpen_ = true;
    ++CurrentUnit().downloadsStarted;
  }
  DisarmLeave();
}

// The unit's download has ended: the unit leaves --leave-after later,
// counted from the end of its restart when it took the whole image.
void DeviceSimulator::EndDownload(bool complete) {
  downloadOpen_ = false;
  UnitRecord& unit = CurrentUnit();
  auto from = std::chrono::steady_clock::now();
  if (complete) {
    ++unit.downloadsCompleted;
    unit.sha256 = record_.imageSha256;
    if (restartEnds_) from = *restartEnds_;
  }
  ArmLeave(from + std::chrono::milliseconds(options_.leaveAfterMs));
  Note("unit %u: download %s; it leaves %d ms after %s", unit_, complete ? "complete" : "not complete",
       options_.leaveAfterMs, complete && restartEnds_ ? "its restart" : "this");
}

void DeviceSimulator::ArmLeave(std::chrono::steady_clock::time_point at) {
  const unsigned arm = ++leaveArm_;
  leaveTimer_.expires_at(at);
  leaveTimer_.async_wait([this, arm](const asio::error_code& ec) {
    if (ec || arm != leaveArm_ || stopped_) return;
    // Pulled out: the listener stops waiting and a connection in progress
    // is cut; Serve does the rest once that connection has ended.
    leaveDue_ = true;
    asio::error_code ignored;
    acceptor_.cancel(ignored);
    if (peer_) peer_->close(ignored);
  });
}

void DeviceSimulator::DisarmLeave() {
  ++leaveArm_;
  leaveTimer_.cancel();
}

void DeviceSimulator::Fail(const std::string& reason) {
  unitFailed_ = true;
  if (options_.name.empty()) std::fprintf(stderr, "mervix-devsim: unit %u: %s\n", unit_, reason.c_str());
  else std::fprintf(stderr, "mervix-devsim: device %s: unit %u: %s\n", options_.name.c_str(), unit_, reason.c_str());
}

bool DeviceSimulator::PrepareUnitLink(std::string* error) {
  if (!Units() || options_.unitLink.empty()) return true;
  return SetInterfaceUp(options_.unitLink, false, error) &&
         SetInterfaceMac(options_.unitLink, options_.unitMacs.front(), error) &&
         SetInterfaceUp(options_.unitLink, true, error);
}

// The next unit arrives fresh: in the mode the device starts in, with its
// own occurrence counts and faults, nothing received. The first one is
// there from the start; a later one opens the listener again (and sets the
// interface up, which took its address when the previous one left).
bool DeviceSimulator::ArriveUnit() {
  const bool first = unit_ == 0;
  ++unit_;
  if (!first) {
    std::string error;
    if (!OpenAcceptor(port_, &error) ||
        (!options_.unitLink.empty() && !SetInterfaceUp(options_.unitLink, true, &error))) {
      Fail("cannot arrive: " + error);
      return false;
    }
  }
  unitPresent_ = true;
  switchesLeft_ = options_.switches;
  switchPending_ = false;
  switchAckAt_.reset();
  restartEnds_.reset();
  statusCount_ = switchCount_ = sectorCount_ = sizeCount_ = 0;
  downloadOpen_ = false;
  leaveDue_ = false;
  unitFaults_.clear();
  for (const auto& uf : options_.unitFaults) {
    if (uf.first == unit_) unitFaults_.push_back(uf.second);
  }
  UnitRecord unit;
  unit.number = unit_;
  unit.mac = FormatMacAddress(options_.unitMacs[unit_ - 1]);
  record_.units.push_back(unit);
  record_.unit = unit_;
  ++record_.unitsArrived;
  Note("unit %u arrived (MAC %s)", unit_, unit.mac.c_str());
  return true;
}

// The unit there now leaves: the listener is closed, so that a connect is
// refused as by a board that is not plugged in, and the interface goes
// down and takes the next unit's address.
bool DeviceSimulator::LeaveUnit() {
  DisarmLeave();
  leaveDue_ = false;
  unitPresent_ = false;
  downloadOpen_ = false;
  restartEnds_.reset();
  asio::error_code ignored;
  acceptor_.close(ignored);
  record_.unit = 0;
  ++record_.unitsLeft;
  Note("unit %u left", unit_);
  if (options_.unitLink.empty()) return true;
  std::string error;
  if (!SetInterfaceUp(options_.unitLink, false, &error) ||
      (unit_ < options_.units && !SetInterfaceMac(options_.unitLink, options_.unitMacs[unit_], &error))) {
    Fail("cannot leave: " + error);
    return false;
  }
  return true;
}

DeviceSimulator::Task<int> DeviceSimulator::Serve() {
  switchesLeft_ = options_.switches;
  record_.unitsEnabled = Units();
  if (Units()) ArriveUnit();
  WriteOutputs();
  while (!stopped_ && !unitFailed_) {
    if (options_.maxConnections && record_.connections >= options_.maxConnections) break;
    if (options_.maxDownloads && record_.downloadsCompleted >= options_.maxDownloads) break;
    if (Units() && leaveDue_) {
      LeaveUnit();
      WriteOutputs();
      continue;
    }
    if (Units() && !unitPresent_) {
      // No unit there: the next arrives after --absent; after the last one
      // nobody comes back, and the device waits to be stopped.
      if (unit_ >= options_.units) {
        co_await WaitForStop();
        break;
      }
      if (!co_await Pause(options_.absentMs) || !ArriveUnit()) break;
      WriteOutputs();
      continue;
    }
    asio::ip::tcp::socket socket(strand_);
    asio::error_code ec;
    co_await acceptor_.async_accept(socket, Await(ec));
    if (stopped_) break;
    if (ec) {
      // Out of descriptors, say: wait a little instead of spinning.
      if (ec != asio::error::operation_aborted && !leaveDue_) co_await Pause(10);
      continue;
    }
    if (leaveDue_) {
      socket.close(ec);  // came as the unit was pulled out
      continue;
    }
    if (restartEnds_ && std::chrono::steady_clock::now() < *restartEnds_) {
      // Away: the connection is closed before anything is read.
      socket.close(ec);
      ++record_.restartRefused;
      Note("restarting: connection closed");
      WriteOutputs();
      continue;
    }
    restartEnds_.reset();
    // Replies go out at once; the split fault's two writes stay two
    // segments.
    socket.set_option(asio::ip::tcp::no_delay(true), ec);
    peer_.emplace(std::move(socket));
    co_await HandleConnection();
    peer_.reset();
    std::vector<std::uint8_t>().swap(receiveBuffer_);
    WriteOutputs();
  }
  WriteOutputs();
  if (unitFailed_) co_return 3;
  co_return outputError_ ? 1 : 0;
}

}  // namespace mervix::devsim
