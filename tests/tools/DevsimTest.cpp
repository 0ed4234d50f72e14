// The device simulator on its own, driven by a raw-socket client, so that the
// end-to-end tests can trust what it answers and records.
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/TempFolder.h"
#include "tools/devsim/SimulatorOptions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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

}  // namespace
}  // namespace mervix
