// The device simulator on its own, driven by a raw-socket client, so that the
// end-to-end tests can trust what it answers and records.
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/TempFolder.h"
#include "operations/Sha256.h"
#include "tools/devsim/SimulatorOptions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace mervix {
namespace {

using testing::DevsimProcess;
using testing::DevsimRecord;
using Bytes = std::vector<std::uint8_t>;

const Bytes kStatusQuery = {0x51, 0x21, 0, 0, 0, 0, 0, 0};
const Bytes kSwitch = {0x51, 0x20, 'S', 'W', 'I', 'T', 'C', 'H'};
const Bytes kAck = {0x52, 0x03, 0, 0, 0, 0, 0, 0};
const Bytes kStatus1 = {0x52, 0x05, 0x01, 0, 0, 0, 0, 0};
const Bytes kStatus2 = {0x52, 0x05, 0x02, 0, 0, 0, 0, 0};
const Bytes kStatus3 = {0x52, 0x05, 0x03, 0, 0, 0, 0, 0};

Bytes SizeRequest(std::uint32_t n) {
  return {0x51, 0x22, std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n), 0, 0};
}

// A plain blocking TCP client with time limits on reads.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RawClient() { Close(); }
  bool Connected() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Send(const Bytes& b) { return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size()); }

  // Sends the bytes in pieces of 1,024, as the tool does.
  bool SendInPieces(const std::uint8_t* data, std::size_t size) {
    for (std::size_t off = 0; off < size; off += 1024) {
      const std::size_t n = std::min<std::size_t>(1024, size - off);
      if (::send(fd_, data + off, n, MSG_NOSIGNAL) != ssize_t(n)) return false;
    }
    return true;
  }

  // One read of at most |max| bytes within |timeoutMs|; empty on time-out,
  // end of file or error (see closed()).
  Bytes ReadSome(std::size_t max, int timeoutMs) {
    closed_ = false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return {};
    Bytes b(max);
    const ssize_t n = ::recv(fd_, b.data(), max, 0);
    if (n <= 0) {
      closed_ = true;
      return {};
    }
    b.resize(std::size_t(n));
    return b;
  }

  // Reads until |size| bytes came, the peer closed or |timeoutMs| passed.
  Bytes Read(std::size_t size, int timeoutMs = 5000) {
    Bytes all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (all.size() < size) {
      const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count());
      if (left <= 0) break;
      Bytes b = ReadSome(size - all.size(), left);
      if (b.empty()) break;
      all.insert(all.end(), b.begin(), b.end());
    }
    return all;
  }

  // True when the peer closed: a read returns end of file within the time.
  bool PeerClosed(int timeoutMs = 3000) {
    ReadSome(64, timeoutMs);
    return closed_;
  }

  Bytes Exchange(const Bytes& request) {
    Send(request);
    return Read(8);
  }

 private:
  int fd_ = -1;
  bool closed_ = false;
};

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t((i * 7 + i / 251) & 0xFF);
  return b;
}

std::string Sha256Of(const Bytes& bytes) {
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.FinishHex();
}

class DevsimTest : public ::testing::Test {
 protected:
  void StartSim(const std::vector<std::string>& options, bool decode = false) {
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error, decode)) << error;
  }
  DevsimRecord StopAndRecord() {
    EXPECT_EQ(sim_.Stop(), 0) << sim_.Log();
    return sim_.Record();
  }
  DevsimProcess sim_;
};

// The whole firmware exchange: status 1, switch, reconnect, status 2, size,
// two blocks, and what the record makes of it.
TEST_F(DevsimTest, FirmwareExchangeWithSwitchIsAnsweredAndRecorded) {
  StartSim({});
  {
    RawClient c(sim_.Port());
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus1);
    EXPECT_EQ(c.Exchange(kSwitch), kAck);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const Bytes image = Pattern(65536 + 4464);
  {
    RawClient c(sim_.Port());
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus2);
    EXPECT_EQ(c.Exchange(SizeRequest(std::uint32_t(image.size()))), kAck);
    ASSERT_TRUE(c.SendInPieces(image.data(), 65536));
    EXPECT_EQ(c.Read(8), kAck);
    ASSERT_TRUE(c.SendInPieces(image.data() + 65536, 4464));
    EXPECT_EQ(c.Read(8), kAck);
  }
  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Number("connections"), 2);
  EXPECT_EQ(r.Number("status_queries"), 2);
  EXPECT_EQ(r.Number("switch_acks"), 1);
  ASSERT_EQ(r.Numbers("reconnect_ms").size(), 1u);
  EXPECT_GE(r.Numbers("reconnect_ms")[0], 150);
  EXPECT_LT(r.Numbers("reconnect_ms")[0], 3000);
  EXPECT_EQ(r.Number("announced_size"), 70000);
  EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{65536, 4464}));
  EXPECT_EQ(r.Number("bytes_received"), 70000);
  EXPECT_EQ(r.Text("image_sha256"), Sha256Of(image));
  EXPECT_EQ(r.Number("image_complete"), 1);
  EXPECT_EQ(r.Number("downloads_completed"), 1);
  EXPECT_EQ(r.Number("ends_with_tova"), 0);
  EXPECT_EQ(r.Number("lockstep_violations"), 0);
  EXPECT_EQ(r.Number("bad_frames"), 0);
  EXPECT_EQ(r.Text("sector_address"), "");
  EXPECT_EQ(r.All("frame"), (std::vector<std::string>{"1 5121000000000000", "1 5120535749544348",
                                                      "2 5121000000000000", "2 5122000111700000"}));
  EXPECT_EQ(r.All("reply").size(), 6u);
  EXPECT_EQ(sim_.ReceivedImage(), image);
}

// A user module run: the sector request is answered with status 3 and its
// address recorded; a "TOVA" trailer is noticed; after the completed download
// the device is back in the mode it started in.
TEST_F(DevsimTest, SectorRequestTrailerAndRestartAfterDownload) {
  StartSim({"--download-mode", "--swap-status"});
  {
    RawClient c(sim_.Port());
    EXPECT_EQ(c.Exchange(kStatusQuery), (Bytes{0x52, 0x05, 0x00, 0x02, 0, 0, 0, 0}));
    EXPECT_EQ(c.Exchange({0x51, 0x23, 0x00, 0x40, 0x12, 0x34, 0, 0}), kStatus3);
    const std::string data = "abcdefTOVA";
    EXPECT_EQ(c.Exchange(SizeRequest(std::uint32_t(data.size()))), kAck);
    EXPECT_EQ(c.Exchange(Bytes(data.begin(), data.end())), kAck);
  }
  {
    RawClient c(sim_.Port());
    EXPECT_EQ(c.Exchange(kStatusQuery), (Bytes{0x52, 0x05, 0x00, 0x02, 0, 0, 0, 0}));
  }
  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Text("sector_address"), "0x00401234");
  EXPECT_EQ(r.Number("sector_requests"), 1);
  EXPECT_EQ(r.Number("ends_with_tova"), 1);
  EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{10}));
}

// Requests that are not the four known frames get NAK command error, empty or
// oversized images NAK size error, and a client that sends before the reply
// is counted as breaking lock-step.
TEST_F(DevsimTest, RejectsMalformedRequestsAndCountsLockstepViolations) {
  StartSim({"--download-mode", "--max-size", "1000", "--reply-delay", "100"});
  RawClient c(sim_.Port());
  EXPECT_EQ(c.Exchange({0x51, 0x21, 0, 0, 0, 0, 0, 1}), (Bytes{0x52, 0x06, 0x80, 0x00, 0, 0, 0, 0}));
  EXPECT_EQ(c.Exchange({0x52, 0x22, 0, 0, 0, 8, 0, 0}), (Bytes{0x52, 0x06, 0x80, 0x00, 0, 0, 0, 0}));
  EXPECT_EQ(c.Exchange(SizeRequest(0)), (Bytes{0x52, 0x06, 0x00, 0x20, 0, 0, 0, 0}));
  EXPECT_EQ(c.Exchange(SizeRequest(1001)), (Bytes{0x52, 0x06, 0x00, 0x20, 0, 0, 0, 0}));
  // Two queries back to back: the second is there before the first reply.
  Bytes two = kStatusQuery;
  two.insert(two.end(), kStatusQuery.begin(), kStatusQuery.end());
  c.Send(two);
  EXPECT_EQ(c.Read(16), (Bytes{0x52, 0x05, 0x02, 0, 0, 0, 0, 0, 0x52, 0x05, 0x02, 0, 0, 0, 0, 0}));
  c.Close();
  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Number("bad_frames"), 2);
  EXPECT_EQ(r.Number("size_requests"), 2);
  EXPECT_EQ(r.Number("lockstep_violations"), 1);
  EXPECT_EQ(r.Number("downloads_completed"), 0);
}

// Faults that change the reply's bytes, at the step and occurrence chosen.
TEST_F(DevsimTest, ReplyFaultsHitTheirStep) {
  StartSim({"--fault", "status.2=nak:0x0010", "--fault", "status.3=bad-status", "--fault",
            "status.4=bad-status-tail", "--fault", "status.5=frame:0102030405060708", "--fault",
            "status.6=bad-code", "--fault", "status.7=status3", "--fault", "switch=extra:4", "--fault",
            "status.8=ack"});
  RawClient c(sim_.Port());
  EXPECT_EQ(c.Exchange(kStatusQuery), kStatus1);  // occurrence 1 untouched
  EXPECT_EQ(c.Exchange(kStatusQuery), (Bytes{0x52, 0x06, 0x00, 0x10, 0, 0, 0, 0}));
  EXPECT_EQ(c.Exchange(kStatusQuery), (Bytes{0x52, 0x05, 0x00, 0x03, 0, 0, 0, 0}));
  EXPECT_EQ(c.Exchange(kStatusQuery), (Bytes{0x52, 0x05, 0x01, 0x00, 0, 0, 0, 1}));
  EXPECT_EQ(c.Exchange(kStatusQuery), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(c.Exchange(kStatusQuery), (Bytes{0x52, 0x07, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(c.Exchange(kStatusQuery), kStatus3);
  c.Send(kSwitch);
  EXPECT_EQ(c.Read(12), (Bytes{0x52, 0x03, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(c.Exchange(kStatusQuery), kAck);
  EXPECT_EQ(c.Exchange(kStatusQuery), kStatus1);  // every fault fires once
  c.Close();
  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Text("faults_fired"),
            "status.2=nak:0x0010,status.3=bad-status,status.4=bad-status-tail,status.5=frame:0102030405060708,"
            "status.6=bad-code,status.7=status3,switch=extra:4,status.8=ack");
}

// Faults in the timing and shape of the stream: a reply split over two
// writes, a slow reply, a short reply, closing, staying silent, vanishing
// inside a block.
TEST_F(DevsimTest, StreamFaultsSplitDelayCloseAndVanish) {
  StartSim({"--download-mode", "--fault", "status=split:300,2", "--fault", "status.2=delay:200", "--fault",
            "status.3=short:5", "--fault", "status.4=close", "--fault", "status.5=silent", "--fault",
            "block.1=vanish:1000"});
  {
    RawClient c(sim_.Port());
    c.Send(kStatusQuery);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.ReadSome(8, 2000), (Bytes{0x52, 0x05}));
    EXPECT_EQ(c.Read(6), (Bytes{0x02, 0, 0, 0, 0, 0}));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));

    c.Send(kStatusQuery);
    EXPECT_TRUE(c.ReadSome(8, 100).empty());  // still waiting
    EXPECT_EQ(c.Read(8), kStatus2);

    c.Send(kStatusQuery);
    EXPECT_EQ(c.Read(8), (Bytes{0x52, 0x05, 0x02, 0, 0}));
    EXPECT_TRUE(c.PeerClosed());
  }
  {
    RawClient c(sim_.Port());
    c.Send(kStatusQuery);
    EXPECT_TRUE(c.PeerClosed());
  }
  {
    RawClient c(sim_.Port());
    c.Send(kStatusQuery);
    EXPECT_TRUE(c.ReadSome(8, 300).empty());
    EXPECT_FALSE(c.PeerClosed(10));  // open and silent
  }
  {
    RawClient c(sim_.Port());
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus2);
    EXPECT_EQ(c.Exchange(SizeRequest(200000)), kAck);
    const Bytes image = Pattern(200000);
    c.SendInPieces(image.data(), 65536);
    EXPECT_EQ(c.Read(8), kAck);
    c.SendInPieces(image.data() + 65536, 1024);
    EXPECT_TRUE(c.PeerClosed());
  }
  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Number("connections"), 4);
  EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{65536, 1000}));
  EXPECT_EQ(r.Number("bytes_received"), 66536);
  EXPECT_EQ(r.Number("image_complete"), 0);
  EXPECT_EQ(r.Text("last_end"), "vanished inside block 1");
}

// A compressed image (lh5 stream of "abc" plus the trailer) is decoded.
TEST_F(DevsimTest, DecodesCompressedImage) {
  StartSim({"--download-mode"}, /*decode=*/true);
  const Bytes stream = {0x00, 0x03, 0x28, 0x08, 0x44, 0xC9, 0x13, 0x58, 0x02, 0x60, 'T', 'O', 'V', 'A'};
  {
    RawClient c(sim_.Port());
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus2);
    EXPECT_EQ(c.Exchange(SizeRequest(std::uint32_t(stream.size()))), kAck);
    EXPECT_EQ(c.Exchange(stream), kAck);
  }
  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Number("ends_with_tova"), 1);
  EXPECT_EQ(r.Number("decoded_size"), 3) << r.Text("decode_error");
  EXPECT_EQ(sim_.DecodedImage(), (Bytes{'a', 'b', 'c'}));
}

// A device that needs two switches answers status 1 on the second connection
// too; a download limit ends the simulator after the completed download.
TEST_F(DevsimTest, SwitchCountAndDownloadLimit) {
  StartSim({"--switches", "2", "--downloads", "1"});
  for (int i = 0; i < 2; ++i) {
    RawClient c(sim_.Port());
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus1) << "connection " << i + 1;
    EXPECT_EQ(c.Exchange(kSwitch), kAck);
  }
  {
    RawClient c(sim_.Port());
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus2);
    EXPECT_EQ(c.Exchange(SizeRequest(3)), kAck);
    EXPECT_EQ(c.Exchange({1, 2, 3}), kAck);
  }
  EXPECT_TRUE(sim_.WaitForExit(5000));
  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Number("switch_acks"), 2);
  EXPECT_EQ(r.Numbers("reconnect_ms").size(), 2u);
  EXPECT_EQ(r.Number("downloads_completed"), 1);
  EXPECT_EQ(sim_.ReceivedImage(), (Bytes{1, 2, 3}));
}

// The process: a connection limit ends it by itself; bad options are usage
// errors that name the problem.
TEST_F(DevsimTest, ConnectionLimitAndOptionErrors) {
  StartSim({"--connections", "1"});
  { RawClient c(sim_.Port()); }
  EXPECT_TRUE(sim_.WaitForExit(5000));
  EXPECT_EQ(sim_.Stop(), 0);

  // --stop-on-eof: the end of standard input ends a fleet as SIGTERM does,
  // every record written; a parent on Windows stops it so.
  const std::string record = sim_.FilePath("eof-record.txt");
  const testing::ProcessResult eof = testing::RunProcess(
      {DevsimProcess::ProgramPath(), "--port", "0", "--devices", "2", "--stop-on-eof", "--record", record},
      std::string(), {}, 10000);
  EXPECT_FALSE(eof.timedOut);
  EXPECT_EQ(eof.exitCode, 0) << eof.err;
  for (const char* k : {".0", ".1"}) {
    DevsimRecord r;
    EXPECT_TRUE(DevsimRecord::Parse(DevsimProcess::ReadFile(record + k), &r));
    EXPECT_EQ(r.Number("connections"), 0) << k;
  }

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--port", "70000"}, {"--fault", "status"}, {"--fault", "block=close"},
        {"--fault", "size=nak"}, {"--fault", "size=nak:0x10000"}, {"--fault", "status=frame:52"},
        {"--fault", "status=short:8"}, {"--fault", "status=extra:65537"}, {"--fault", "status.0=close"},
        {"--devices", "0"}, {"--devices", "2", "--fault-device", "2:status=close"},
        {"--devices", "2", "--fault-device", "status=close"}, {"--port", "65535", "--devices", "2"},
        {"--listen", "localhost"}, {"--listen", "[::1]"}, {"--listen", ""}, {"--bogus"}}) {
    std::vector<std::string> argv = {DevsimProcess::ProgramPath()};
    argv.insert(argv.end(), bad.begin(), bad.end());
    const testing::ProcessResult p = testing::RunProcess(argv, std::nullopt, {}, 5000);
    EXPECT_EQ(p.exitCode, 2) << bad.back();
    EXPECT_NE(p.err.find("mervix-devsim:"), std::string::npos) << bad.back();
  }
}

// A fleet in one process: every device listens at once, keeps its own mode
// and outputs, and only its own faults hit it; a connection held open on one
// device does not delay another; a per-device limit ends only that device.
TEST(DevsimFleetTest, DevicesAreIndependent) {
  testing::DevsimFleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(3, {"--fault-device", "1:status=nak:0x8000", "--downloads", "1"}, &error)) << error;
  const std::vector<std::uint16_t> ports = fleet.Ports();
  ASSERT_EQ(ports.size(), 3u);

  RawClient held(ports[0]);  // device 0 busy with a connection that says nothing
  ASSERT_TRUE(held.Connected());
  {
    RawClient c(ports[1]);
    EXPECT_EQ(c.Exchange(kStatusQuery), (Bytes{0x52, 0x06, 0x80, 0x00, 0, 0, 0, 0}));
  }
  // Device 2 is switched, reconnected and loaded while device 0 is held;
  // device 0 is still in its first mode.
  {
    RawClient c(ports[2]);
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus1);
    EXPECT_EQ(c.Exchange(kSwitch), kAck);
  }
  {
    RawClient c(ports[2]);
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus2);
    EXPECT_EQ(c.Exchange(SizeRequest(3)), kAck);
    EXPECT_EQ(c.Exchange({7, 8, 9}), kAck);
  }
  EXPECT_EQ(held.Exchange(kStatusQuery), kStatus1);
  held.Close();

  EXPECT_EQ(fleet.Stop(), 0) << fleet.Log();
  EXPECT_EQ(fleet.Record(0).Number("connections"), 1);
  EXPECT_EQ(fleet.Record(0).Number("switch_acks"), 0);
  EXPECT_EQ(fleet.Record(1).Text("faults_fired"), "status=nak:0x8000");
  EXPECT_EQ(fleet.Record(2).Text("faults_fired"), "");
  EXPECT_EQ(fleet.Record(2).Number("downloads_completed"), 1);
  EXPECT_EQ(fleet.ReceivedImage(2), (Bytes{7, 8, 9}));
  EXPECT_TRUE(fleet.ReceivedImage(0).empty());
}

// Many devices of one process receive at the same time, their bytes
// interleaved piece by piece, none of them kept (no --image): each states
// the digest and the count of exactly what it received, and its trailer
// however the last bytes were split into segments.
TEST(DevsimFleetTest, DevicesReceivingAtOnceEachHashTheirOwnBytes) {
  constexpr unsigned kDevices = 48;
  testing::DevsimFleet fleet;
  fleet.SetWriteImage(false);
  std::string error;
  ASSERT_TRUE(fleet.Start(kDevices, {"--download-mode"}, &error)) << error;
  const std::vector<std::uint16_t> ports = fleet.Ports();
  ASSERT_EQ(ports.size(), kDevices);

  // Device k's image: its own bytes, two blocks and a tail; every third
  // ends in the trailer, sent last in pieces of 1 to 3 bytes.
  std::vector<Bytes> images;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (unsigned k = 0; k < kDevices; ++k) {
    Bytes image = Pattern(65536 + 1000 + k * 37);
    for (std::size_t i = 0; i < image.size(); i += 97) image[i] = std::uint8_t(k);
    if (k % 3 == 0) std::memcpy(image.data() + image.size() - 4, "TOVA", 4);
    images.push_back(image);
    clients.push_back(std::make_unique<RawClient>(ports[k]));
    ASSERT_TRUE(clients.back()->Connected());
    EXPECT_EQ(clients.back()->Exchange(kStatusQuery), kStatus2);
    EXPECT_EQ(clients.back()->Exchange(SizeRequest(std::uint32_t(image.size()))), kAck);
  }
  // The first block, 4 KB at a time to every device in turn.
  for (std::size_t off = 0; off < 65536; off += 4096) {
    for (unsigned k = 0; k < kDevices; ++k) ASSERT_TRUE(clients[k]->Send(Bytes(images[k].begin() + off,
                                                                                 images[k].begin() + off + 4096)));
  }
  for (unsigned k = 0; k < kDevices; ++k) EXPECT_EQ(clients[k]->Read(8), kAck) << "device " << k;
  // The rest, with the trailer's bytes apart from what comes before them.
  for (unsigned k = 0; k < kDevices; ++k) {
    const Bytes& image = images[k];
    const std::size_t split = 1 + k % 3;
    ASSERT_TRUE(clients[k]->Send(Bytes(image.begin() + 65536, image.end() - std::ptrdiff_t(split))));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (unsigned k = 0; k < kDevices; ++k) {
    const std::size_t split = 1 + k % 3;
    ASSERT_TRUE(clients[k]->Send(Bytes(images[k].end() - std::ptrdiff_t(split), images[k].end())));
  }
  for (unsigned k = 0; k < kDevices; ++k) EXPECT_EQ(clients[k]->Read(8), kAck) << "device " << k;
  clients.clear();

  EXPECT_EQ(fleet.Stop(), 0) << fleet.Log();
  for (unsigned k = 0; k < kDevices; ++k) {
    const DevsimRecord r = fleet.Record(k);
    EXPECT_EQ(r.Text("image_sha256"), Sha256Of(images[k])) << "device " << k;
    EXPECT_EQ(r.Number("bytes_received"), static_cast<long long>(images[k].size())) << "device " << k;
    EXPECT_EQ(r.Number("downloads_completed"), 1) << "device " << k;
    EXPECT_EQ(r.Number("ends_with_tova"), k % 3 == 0 ? 1 : 0) << "device " << k;
    EXPECT_TRUE(fleet.ReceivedImage(k).empty()) << "device " << k;
  }
}

// One download on an open connection: the query answered with |status|,
// the size and the one block acknowledged.
void Download(RawClient& c, const Bytes& status, const Bytes& image) {
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Exchange(kStatusQuery), status);
  EXPECT_EQ(c.Exchange(SizeRequest(std::uint32_t(image.size()))), kAck);
  EXPECT_EQ(c.Exchange(image), kAck);
}

// A fleet from a device file: one device per row, each hit by its own
// faults only, its name in the messages; a bad row or a count that
// contradicts --devices stops the simulator at start.
TEST(DevsimFleetTest, DeviceFileGivesEachRowItsFaults) {
  testing::TempFolder dir;
  testing::WriteText(dir / "fleet.csv",
                     "name,fault,notes\r\none,,\r\n\"two, odd\",status=nak:0x8000;status.2=close,\"a \"\"b\"\"\"\r\nthree,,\r\n");
  testing::DevsimFleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(3, {"--device-file", dir / "fleet.csv", "--verbose"}, &error)) << error;
  const std::vector<std::uint16_t> ports = fleet.Ports();
  for (std::uint16_t port : {ports[0], ports[2]}) EXPECT_EQ(RawClient(port).Exchange(kStatusQuery), kStatus1);
  EXPECT_EQ(RawClient(ports[1]).Exchange(kStatusQuery), (Bytes{0x52, 0x06, 0x80, 0x00, 0, 0, 0, 0}));
  {
    RawClient c(ports[1]);
    c.Send(kStatusQuery);
    EXPECT_TRUE(c.PeerClosed());
  }
  EXPECT_EQ(fleet.Stop(), 0) << fleet.Log();
  EXPECT_EQ(fleet.Record(0).Text("faults_fired"), "");
  EXPECT_EQ(fleet.Record(1).Text("faults_fired"), "status=nak:0x8000,status.2=close");
  EXPECT_EQ(fleet.Record(2).Text("faults_fired"), "");
  EXPECT_NE(fleet.Log().find("devsim[two, odd 1]"), std::string::npos) << fleet.Log();

  testing::WriteText(dir / "bad.csv", "name,restart\na,1\nb,soon\n");
  const std::string fleetFile = dir / "fleet.csv";
  for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--device-file", dir / "bad.csv"}, "line 3 (b): restart 'soon'"},
           {{"--device-file", dir / "missing.csv"}, "missing.csv"},
           {{"--device-file", fleetFile, "--devices", "2"}, "has 3"},
           {{"--device-file", fleetFile, "--fault-device", "3:status=close"}, "not in the fleet of 3"}}) {
    std::vector<std::string> argv = {DevsimProcess::ProgramPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    const testing::ProcessResult p = testing::RunProcess(argv, std::nullopt, {}, 5000);
    EXPECT_EQ(p.exitCode, 2) << p.err;
    EXPECT_EQ(p.err.rfind("mervix-devsim: option --", 0), 0u) << p.err;
    EXPECT_NE(p.err.find(says), std::string::npos) << p.err;
  }
}

// After a complete download a device with a restart (the option, or its row)
// drops the connection, closes the connections that come while it is away
// and then answers in normal mode; a row with restart 0 keeps the plain
// behaviour: the connection stays, the next one is answered at once in the
// mode it began in.
TEST(DevsimFleetTest, RestartAfterDownloadFromOptionOrRow) {
  testing::TempFolder dir;
  testing::WriteText(dir / "fleet.csv", "name,restart\naway,\nstays,0\n");
  testing::DevsimFleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(2, {"--device-file", dir / "fleet.csv", "--download-mode", "--restart-after", "1.5"},
                          &error))
      << error;
  const std::vector<std::uint16_t> ports = fleet.Ports();
  {
    RawClient c(ports[0]);
    Download(c, kStatus2, {1, 2, 3});
    EXPECT_TRUE(c.PeerClosed());
  }
  {
    RawClient c(ports[0]);  // at once: still away
    ASSERT_TRUE(c.Connected());
    c.Send(kStatusQuery);
    EXPECT_TRUE(c.PeerClosed());
  }
  Bytes answer;
  for (int i = 0; i < 100 && answer.empty(); ++i) {  // poll as a roll-out does, up to 10 s
    RawClient c(ports[0]);
    answer = c.Exchange(kStatusQuery);
    if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(answer, kStatus1);
  {
    RawClient c(ports[1]);
    Download(c, kStatus2, {4, 5});
    EXPECT_FALSE(c.PeerClosed(200));
  }
  EXPECT_EQ(RawClient(ports[1]).Exchange(kStatusQuery), kStatus2);

  EXPECT_EQ(fleet.Stop(), 0) << fleet.Log();
  const DevsimRecord away = fleet.Record(0), stays = fleet.Record(1);
  EXPECT_EQ(away.Number("restarts"), 1);
  EXPECT_GE(away.Number("restart_refused"), 2);  // the one above and the first poll
  EXPECT_EQ(away.Number("connections"), 2);
  EXPECT_EQ(away.Number("downloads_completed"), 1);
  EXPECT_EQ(stays.Number("restarts"), 0);
  EXPECT_EQ(stays.Number("restart_refused"), 0);
  EXPECT_EQ(stays.Number("connections"), 2);
}

// downloads_completed counts every complete image over the simulator's life;
// one cut off inside a block does not count, and the image fields describe
// the latest download.
TEST_F(DevsimTest, DownloadsCountedOverTheLife) {
  StartSim({"--download-mode", "--fault", "block.0=vanish:1"});
  {
    RawClient c(sim_.Port());
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus2);
    EXPECT_EQ(c.Exchange(SizeRequest(4)), kAck);
    c.Send({9, 9, 9, 9});
    EXPECT_TRUE(c.PeerClosed());
  }
  for (const Bytes& image : {Bytes{1, 2, 3}, Bytes{4, 5, 6, 7}}) {
    RawClient c(sim_.Port());
    Download(c, kStatus2, image);
  }
  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Number("downloads_completed"), 2);
  EXPECT_EQ(r.Number("restarts"), 0);
  EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{4}));
  EXPECT_EQ(sim_.ReceivedImage(), (Bytes{4, 5, 6, 7}));
}

// Units (--units): boards that a station writes one after another at one
// address.

// Writes |image| into the unit at |port| as the tool does: status 1 and the
// switch, then a new connection with status 2, the size and the blocks.
// Returns the reply to the size request (empty when the connection failed).
Bytes WriteUnit(std::uint16_t port, const Bytes& image) {
  {
    RawClient c(port);
    EXPECT_TRUE(c.Connected());
    EXPECT_EQ(c.Exchange(kStatusQuery), kStatus1);
    EXPECT_EQ(c.Exchange(kSwitch), kAck);
  }
  RawClient c(port);
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(c.Exchange(kStatusQuery), kStatus2);
  const Bytes sizeReply = c.Exchange(SizeRequest(std::uint32_t(image.size())));
  if (sizeReply != kAck) return sizeReply;
  for (std::size_t at = 0; at < image.size(); at += 65536) {
    const std::size_t n = std::min<std::size_t>(65536, image.size() - at);
    EXPECT_TRUE(c.SendInPieces(image.data() + at, n));
    EXPECT_EQ(c.Read(8), kAck) << "block at " << at;
  }
  return sizeReply;
}

// A status probe: connect, query, close. nullopt when the connect was
// refused; an empty reply when the connection was closed unread.
std::optional<Bytes> Probe(std::uint16_t port) {
  RawClient c(port);
  if (!c.Connected()) return std::nullopt;
  return c.Exchange(kStatusQuery);
}

// Polls |condition| until it holds, for at most |timeoutMs|.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 15000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Three units at one port: unit 1 takes its image, refuses while it
// restarts, answers again and leaves (connect refused); unit 2 arrives
// fresh, and its own fault (its first size request, the device's second)
// makes its download fail; probes of unit 2 do not keep it from leaving,
// probes of unit 3 neither make it leave nor count; unit 3 takes its image;
// after it nobody comes back. The record holds each unit's counts and the
// digest of what it received.
TEST_F(DevsimTest, UnitsComeAndGoEachWrittenOnce) {
  StartSim({"--units", "3", "--restart-after", "1", "--leave-after", "0.5", "--absent", "0.8", "--unit-fault",
            "2:size=nak:0x0020", "--verbose"});
  const std::uint16_t port = sim_.Port();
  const Bytes image1 = Pattern(70000);
  Bytes image3 = Pattern(3000);
  std::reverse(image3.begin(), image3.end());
  auto record = [this] { return sim_.Record(); };

  EXPECT_EQ(Probe(port), kStatus1);
  EXPECT_EQ(WriteUnit(port, image1), kAck);
  EXPECT_EQ(Probe(port), Bytes{});  // restarting: closed unread
  ASSERT_TRUE(WaitFor([&] { return Probe(port) == kStatus1; })) << sim_.Log();
  ASSERT_TRUE(WaitFor([&] { return !Probe(port); })) << "unit 1 did not leave\n" << sim_.Log();
  EXPECT_TRUE(WaitFor([&] { return record().Number("units_left") == 1; }));

  ASSERT_TRUE(WaitFor([&] { return Probe(port) == kStatus1; })) << "unit 2 did not arrive\n" << sim_.Log();
  EXPECT_EQ(record().Number("unit"), 2);
  EXPECT_EQ(WriteUnit(port, Pattern(100)), (Bytes{0x52, 0x06, 0x00, 0x20, 0, 0, 0, 0}));
  // Probed without a pause, as a station polls: it leaves all the same,
  // still in download mode until then (the last probe may be cut as it
  // leaves).
  std::vector<Bytes> answers;
  ASSERT_TRUE(WaitFor([&] {
    const std::optional<Bytes> a = Probe(port);
    if (a) answers.push_back(*a);
    return !a;
  })) << "probes kept unit 2 from leaving";
  if (!answers.empty() && answers.back().empty()) answers.pop_back();
  EXPECT_TRUE(std::all_of(answers.begin(), answers.end(), [](const Bytes& a) { return a == kStatus2; }));

  ASSERT_TRUE(WaitFor([&] { return Probe(port) == kStatus1; })) << "unit 3 did not arrive fresh\n" << sim_.Log();
  for (int i = 0; i < 30; ++i) {  // three times --leave-after of probes: it stays
    EXPECT_EQ(Probe(port), kStatus1) << "probe " << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(record().Number("unit.3.downloads_started"), 0);
  EXPECT_EQ(WriteUnit(port, image3), kAck);
  ASSERT_TRUE(WaitFor([&] { return record().Number("units_left") == 3; })) << sim_.Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));  // twice --absent
  EXPECT_FALSE(Probe(port));

  const DevsimRecord r = StopAndRecord();
  EXPECT_EQ(r.Number("unit"), 0);
  EXPECT_EQ(r.Number("units_arrived"), 3);
  EXPECT_EQ(r.Number("downloads_completed"), 2);
  EXPECT_EQ(r.Number("restarts"), 2);
  EXPECT_GE(r.Number("restart_refused"), 1);
  const struct {
    const char* mac;
    long long completed;
    std::string sha256;
    const char* faults;
  } units[] = {{"02:00:00:00:00:01", 1, Sha256Of(image1), ""},
               {"02:00:00:00:00:02", 0, "", "size=nak:0x0020"},
               {"02:00:00:00:00:03", 1, Sha256Of(image3), ""}};
  for (int k = 1; k <= 3; ++k) {
    const std::string key = "unit." + std::to_string(k) + ".";
    const auto& want = units[k - 1];
    EXPECT_EQ(r.Text(key + "mac"), want.mac) << key;
    EXPECT_EQ(r.Number(key + "downloads_started"), 1) << key;
    EXPECT_EQ(r.Number(key + "downloads_completed"), want.completed) << key;
    EXPECT_EQ(r.Text(key + "sha256"), want.sha256) << key;
    EXPECT_EQ(r.Text(key + "faults_fired"), want.faults) << key;
  }
  EXPECT_FALSE(r.Has("unit.4.mac"));
  const std::string log = sim_.Log();
  std::size_t at = 0;
  for (const char* line : {"unit 1 arrived", "unit 1 left", "unit 2 arrived", "unit 2 left", "unit 3 arrived",
                           "unit 3 left"}) {
    at = log.find(line, at);
    EXPECT_NE(at, std::string::npos) << line << " missing or out of order in:\n" << log;
  }
}

// The unit options as parsed: bad ones refused with the option named, each
// device of a fleet given its own units' addresses; an interface that is
// not there stops the simulator at start with exit code 3.
TEST(DevsimUnitsTest, UnitOptionsAreCheckedAndAddressesShared) {
  for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--units", "0"}, "option --units: bad number '0'"},
           {{"--units", "2", "--unit-macs", "02:00:00:00:00:01,02:00:00:00:00:0g"}, "'02:00:00:00:00:0g' is not"},
           {{"--units", "2", "--unit-macs", "01:00:5e:00:00:01,02:00:00:00:00:02"}, "'01:00:5e:00:00:01' is not"},
           {{"--units", "2", "--unit-macs", "02-00-00-00-00-01,02:00:00:00:00:02"}, "'02-00-00-00-00-01' is not"},
           {{"--units", "2", "--unit-macs", "02:00:00:00:00:01"}, "1 addresses for 2 units"},
           {{"--units", "2", "--unit-fault", "3:size=nak:0x0020"}, "unit 3 is not among the 2 units"},
           {{"--units", "2", "--unit-fault", "0:size=close"}, "option --unit-fault: expected K:"},
           {{"--units", "2", "--unit-fault", "1:size=nak"}, "nak needs a 16-bit flag word"},
           {{"--units", "2", "--leave-after", "soon"}, "option --leave-after: bad duration"},
           {{"--units", "2", "--unit-link", ""}, "option --unit-link: '' is not"},
           {{"--units", "2", "--devices", "2", "--unit-link", "eth0"}, "a single device only"},
           {{"--unit-link", "eth0"}, "option --unit-link needs --units"},
           {{"--unit-fault", "1:status=close"}, "option --unit-fault needs --units"}}) {
    devsim::SimulatorOptions o;
    std::string error;
    EXPECT_EQ(devsim::ParseSimulatorOptions(args, &o, &error), devsim::ParseOutcome::Error) << says;
    EXPECT_NE(error.find(says), std::string::npos) << "got: " << error;
  }

  auto macsOf = [](const std::vector<std::string>& args, unsigned device) {
    devsim::SimulatorOptions o;
    std::string error;
    EXPECT_EQ(devsim::ParseSimulatorOptions(args, &o, &error), devsim::ParseOutcome::Ok) << error;
    std::vector<std::string> macs;
    for (const devsim::MacAddress& mac : devsim::DeviceOptions(o, device).unitMacs)
      macs.push_back(devsim::FormatMacAddress(mac));
    return macs;
  };
  EXPECT_EQ(macsOf({"--units", "2", "--devices", "2"}, 1),
            (std::vector<std::string>{"02:00:00:00:00:03", "02:00:00:00:00:04"}));
  EXPECT_EQ(macsOf({"--units", "2", "--devices", "2", "--unit-macs",
                    "02:00:00:00:00:0a,02:00:00:00:00:0b,0A:1B:2C:3D:4E:5F,02:00:00:00:01:00"},
                   1),
            (std::vector<std::string>{"0a:1b:2c:3d:4e:5f", "02:00:00:00:01:00"}));

  const testing::ProcessResult p = testing::RunProcess(
      {DevsimProcess::ProgramPath(), "--port", "0", "--units", "2", "--unit-link", "mervixnone0"}, std::nullopt, {},
      5000);
  EXPECT_EQ(p.exitCode, 3) << p.err;
  EXPECT_NE(p.err.find("interface mervixnone0: cannot"), std::string::npos) << p.err;
  EXPECT_EQ(p.out, "");  // never said it was listening
}

// The program's path of "ip", or "" where there is none.
std::string IpProgram() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

// What "ip -o link show DEV" says of |dev|: its MAC address and whether it
// is up (the flag UP inside <...>).
struct LinkState {
  std::string mac;
  bool up = false;
};

LinkState ReadLink(const std::string& ip, const std::string& dev) {
  const testing::ProcessResult p = testing::RunProcess({ip, "-o", "link", "show", "dev", dev}, std::nullopt, {}, 5000);
  LinkState state;
  const std::size_t open = p.out.find('<'), close = p.out.find('>');
  if (open != std::string::npos && close != std::string::npos && open < close) {
    std::istringstream flags(p.out.substr(open + 1, close - open - 1));
    for (std::string flag; std::getline(flags, flag, ',');) state.up = state.up || flag == "UP";
  }
  const std::size_t ether = p.out.find("link/ether ");
  if (ether != std::string::npos) state.mac = p.out.substr(ether + 11, 17);
  return state;
}

// --unit-link in a network namespace of the test's own, with a veth pair
// there: the far end carries the unit's MAC address while it is there, is
// down with the next unit's address while none is, and comes up with it.
// The namespace belongs to one thread, and to the programs it starts; it
// and the pair vanish when they end.
TEST(DevsimUnitsTest, UnitLinkGivesTheInterfaceEachUnitsAddress) {
  if (::geteuid() != 0) GTEST_SKIP() << "a network namespace of the test's own needs root";
  const std::string ip = IpProgram();
  if (ip.empty()) GTEST_SKIP() << "no ip program to make a veth pair";
  std::string skip;
  std::thread inside([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      skip = std::string("cannot make a network namespace: unshare: ") + std::strerror(errno);
      return;
    }
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{ip, "link", "set", "lo", "up"},
          {ip, "link", "add", "mvxboard0", "type", "veth", "peer", "name", "mvxstation0"}}) {
      const testing::ProcessResult p = testing::RunProcess(command, std::nullopt, {}, 10000);
      if (p.exitCode != 0) {
        skip = "cannot set up the namespace's links: " + command[2] + " " + command[3] + ": " + p.err + p.error;
        return;
      }
    }
    DevsimProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--download-mode", "--units", "2", "--unit-macs", "02:aa:00:00:00:01,02:aa:00:00:00:02",
                           "--unit-link", "mvxboard0", "--leave-after", "0.2", "--absent", "2"},
                          &error))
        << error;
    const LinkState first = ReadLink(ip, "mvxboard0");
    EXPECT_EQ(first.mac, "02:aa:00:00:00:01");
    EXPECT_TRUE(first.up);
    {
      RawClient c(sim.Port());
      Download(c, kStatus2, {1, 2, 3});
    }
    ASSERT_TRUE(WaitFor([&] { return sim.Record().Number("units_left") == 1; })) << sim.Log();
    const LinkState away = ReadLink(ip, "mvxboard0");
    EXPECT_EQ(away.mac, "02:aa:00:00:00:02");
    EXPECT_FALSE(away.up);
    ASSERT_TRUE(WaitFor([&] { return sim.Record().Number("unit") == 2; })) << sim.Log();
    const LinkState second = ReadLink(ip, "mvxboard0");
    EXPECT_EQ(second.mac, "02:aa:00:00:00:02");
    EXPECT_TRUE(second.up);
    EXPECT_EQ(sim.Stop(), 0) << sim.Log();
    EXPECT_EQ(sim.Record().Text("unit.2.mac"), "02:aa:00:00:00:02");
  });
  inside.join();
  if (!skip.empty()) GTEST_SKIP() << skip;
}

}  // namespace
}  // namespace mervix
