// The command line's send: argument parsing, the terminal operator, the
// checks of the image file, and the POSIX link against a small device on
// 127.0.0.1. Whole runs against the device simulator are the end-to-end
// suite's.
#include "cli/support/PosixDeviceLink.h"
#include "cli/support/SendRunner.h"
#include "cli/support/TerminalOperator.h"
#include "resources/MessageTable.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace mervix::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Reads exactly |n| bytes within |timeoutMs|; fewer when the peer closes or
// the time is spent.
Bytes ReadExact(int fd, std::size_t n, int timeoutMs = 5000) {
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint8_t buffer[65536];
  while (got.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t r = recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
    if (r <= 0) break;
    got.insert(got.end(), buffer, buffer + r);
  }
  return got;
}

void WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// A device on 127.0.0.1: accepts connections one at a time and runs the
// handler on each, on its own thread.
class LoopbackDevice {
 public:
  using Handler = std::function<void(int fd, int index)>;

  explicit LoopbackDevice(Handler handler) : handler_(std::move(handler)) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    const int on = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 4);
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackDevice() {
    stop_ = true;
    thread_.join();
    close(listen_);
  }
  std::uint16_t Port() const { return port_; }
  int Connections() const { return connections_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int fd = accept(listen_, nullptr, nullptr);
      if (fd < 0) continue;
      handler_(fd, connections_++);
      close(fd);
    }
  }

  Handler handler_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// Text written to a temporary stream.
std::string Contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  return text;
}

class SendRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetActiveLanguage(Language::English);
    in_ = std::tmpfile();
    out_ = std::tmpfile();
    err_ = std::tmpfile();
  }
  void TearDown() override {
    std::fclose(in_);
    std::fclose(out_);
    std::fclose(err_);
    for (const std::string& p : files_) std::remove(p.c_str());
  }
  int Run(std::uint16_t port, const std::string& file, bool yes, int timeoutMs = 5000) {
    SendOptions o;
    o.host = "127.0.0.1";
    o.port = port;
    o.assumeYes = yes;
    o.timeoutMs = timeoutMs;
    o.file = file;
    return RunSend(o, in_, out_, err_);
  }

  std::FILE* in_ = nullptr;
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
  std::vector<std::string> files_;
};

TEST_F(SendRunTest, FileThatCannotBeSentIsRefusedBeforeConnecting) {
  const std::string missing = ::testing::TempDir() + "missing_" + std::to_string(getpid()) + ".img";
  EXPECT_EQ(Run(1, missing, true), 1);
  EXPECT_NE(Contents(err_).find("cannot open " + missing + ": No such file or directory"), std::string::npos);
  std::FILE* probe = std::fopen(missing.c_str(), "rb");
  EXPECT_EQ(probe, nullptr) << "the image file was created";
  if (probe) std::fclose(probe);

  EXPECT_EQ(Run(1, ::testing::TempDir(), true), 1);
  EXPECT_NE(Contents(err_).find("is not a regular file"), std::string::npos);

  // One byte more than the size request can announce (a sparse file).
  const std::string huge = ::testing::TempDir() + "huge_" + std::to_string(getpid()) + ".img";
  files_.push_back(huge);
  std::FILE* f = std::fopen(huge.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const bool sized = ftruncate(fileno(f), 0x100000000LL) == 0;
  std::fclose(f);
  if (!sized) GTEST_SKIP() << "no sparse 4 GiB file here";
  EXPECT_EQ(Run(1, huge, true), 1);
  EXPECT_NE(Contents(err_).find("is too large (4294967296 bytes"), std::string::npos) << Contents(err_);
}

TEST_F(SendRunTest, RefusedConnectionNamesTheReasonAfterConnectError) {
  // A port that was just free: nothing listens there.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  const std::string path = ::testing::TempDir() + "refused_" + std::to_string(getpid()) + ".img";
  files_.push_back(path);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fputs("image", f);
  std::fclose(f);
  const int port = ntohs(a.sin_port);
  EXPECT_EQ(Run(static_cast<std::uint16_t>(port), path, true), 1);
  // Standard input is empty: "Retry?" is answered No.
  EXPECT_EQ(Contents(err_), "Retry? [yes/no] \nConnect error\nmervix-cli send: cannot connect to 127.0.0.1 port " +
                                std::to_string(port) + ": Connection refused\n");
  EXPECT_EQ(Contents(out_), "");
}

// ---------------------------------------------------------------------------
// The POSIX link on its own

class NullEvents : public ConnectionEvents {
 public:
  void OnSocketReceive() override { ++calls; }
  int calls = 0;
};

TEST(PosixDeviceLink, ReadsWithoutWaitingAndDispatchesOnArrivalAndClose) {
  std::atomic<bool> go{false};
  LoopbackDevice device([&](int fd, int) {
    while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    WriteAll(fd, {1, 2, 3, 4, 5});
    ReadExact(fd, 1);  // the client's "done" byte, then close
  });
  PosixDeviceLink link;
  NullEvents events;
  EXPECT_EQ(link.WaitAndDispatch(0), PosixDeviceLink::Dispatch::NoConnection);
  auto c = link.CreateConnection(events);
  ASSERT_NE(c, nullptr);
  std::string reason;
  ASSERT_TRUE(c->Connect("127.0.0.1", device.Port(), &reason)) << reason;
  std::uint8_t buffer[8];
  EXPECT_EQ(c->Receive(buffer, sizeof buffer), kReceiveNothingYet);
  EXPECT_EQ(c->Available(), 0u);
  EXPECT_EQ(link.WaitAndDispatch(50), PosixDeviceLink::Dispatch::TimedOut);
  EXPECT_EQ(c->ReceiveWithin(buffer, sizeof buffer, 20), kReceiveTimedOut);
  go = true;
  EXPECT_EQ(link.WaitAndDispatch(5000), PosixDeviceLink::Dispatch::Notified);
  EXPECT_EQ(events.calls, 1);
  // Wait for all five bytes to be there.
  for (int i = 0; i < 500 && c->Available() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(c->Available(), 5u);
  EXPECT_EQ(c->Receive(buffer, 3), 3);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(c->Receive(buffer, 8), 2);
  EXPECT_EQ(buffer[1], 5);
  const std::uint8_t done = 0;
  EXPECT_TRUE(c->Send(&done, 1));
  // The device closes: readable, and the read says so.
  EXPECT_EQ(link.WaitAndDispatch(5000), PosixDeviceLink::Dispatch::Notified);
  EXPECT_EQ(c->ReceiveWithin(buffer, sizeof buffer, 5000), kReceivePeerClosed);
  c->Close();
  EXPECT_FALSE(link.HasConnection());
  EXPECT_FALSE(c->Send(&done, 1));
}

TEST(PosixDeviceLink, ResolvesDottedAddressesAndLocalNames) {
  std::uint32_t address = 0;
  std::string reason;
  ASSERT_TRUE(ResolveIpv4("127.0.0.1", &address, &reason));
  EXPECT_EQ(ntohl(address), 0x7F000001u);
  ASSERT_TRUE(ResolveIpv4("localhost", &address, &reason)) << reason;
  EXPECT_EQ(ntohl(address) >> 24, 127u);
}

// ---------------------------------------------------------------------------
// Arguments and the terminal

TEST(SendArguments, AcceptedForms) {
  SendOptions o;
  std::string error;
  ASSERT_EQ(ParseSendArguments({"--host", "dev1", "image.img"}, &o, &error), ParseResult::Ok) << error;
  EXPECT_EQ(o.host, "dev1");
  EXPECT_EQ(o.port, 2222);
  EXPECT_FALSE(o.assumeYes);
  EXPECT_EQ(o.timeoutMs, 0);
  EXPECT_EQ(o.file, "image.img");

  ASSERT_EQ(ParseSendArguments({"a.img", "--port=65535", "--yes", "--host=10.0.0.1", "--timeout", "2.5"}, &o, &error),
            ParseResult::Ok)
      << error;
  EXPECT_EQ(o.port, 65535);
  EXPECT_TRUE(o.assumeYes);
  EXPECT_EQ(o.timeoutMs, 2500);
  EXPECT_EQ(o.host, "10.0.0.1");

  ASSERT_EQ(ParseSendArguments({"--host", "h", "--", "--odd-name.img"}, &o, &error), ParseResult::Ok);
  EXPECT_EQ(o.file, "--odd-name.img");
  EXPECT_EQ(ParseSendArguments({"--help"}, &o, &error), ParseResult::Help);
}

TEST(SendArguments, UsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"image.img"},                                       // no host
      {"--host", "h"},                                     // no file
      {"--host"},                                          // no value
      {"--host=", "f"},                                    // empty host
      {"--host", "h", "--port", "0", "f"},                 // port out of range
      {"--host", "h", "--port", "65536", "f"},
      {"--host", "h", "--port", "22x", "f"},
      {"--host", "h", "--port", "-1", "f"},
      {"--host", "h", "--port", "", "f"},
      {"--host", "h", "--timeout", "0", "f"},
      {"--host", "h", "--timeout", "-3", "f"},
      {"--host", "h", "--timeout", "abc", "f"},
      {"--host", "h", "--verbose", "f"},                   // unknown option
      {"--host", "h", "a.img", "b.img"},                   // two files
  };
  for (const std::vector<std::string>& args : bad) {
    SendOptions o;
    std::string error;
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    EXPECT_EQ(ParseSendArguments(args, &o, &error), ParseResult::Usage) << joined;
    EXPECT_FALSE(error.empty()) << joined;
  }
}

TEST(TerminalOperator, AnswersFromInputAndEndOfInput) {
  SetActiveLanguage(Language::English);
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::fputs("  YES \nwhat\nn\nOk\nx\n", in);
  std::rewind(in);
  TerminalOperator op(in, out, err, false);
  EXPECT_EQ(op.ShowMessageBox("Retry?", ButtonSet::YesNo), Answer::Yes);
  EXPECT_EQ(op.ShowMessageBox("Retry?", ButtonSet::YesNo), Answer::No);  // "what" asks again
  EXPECT_EQ(op.ShowMessageBox("Go?", ButtonSet::OkCancel), Answer::Ok);
  EXPECT_EQ(op.ShowMessageBox("Go?", ButtonSet::OkCancel), Answer::Cancel);  // "x", then end of input
  EXPECT_EQ(op.ShowMessageBox("Retry?", ButtonSet::YesNo), Answer::No);
  EXPECT_EQ(op.ShowMessageBox("Plain", ButtonSet::Ok), Answer::Ok);
  EXPECT_EQ(Contents(err),
            "Retry? [yes/no]   YES \nRetry? [yes/no] what\nRetry? [yes/no] n\nGo? [ok/cancel] Ok\n"
            "Go? [ok/cancel] x\nGo? [ok/cancel] \nRetry? [yes/no] \nPlain\n");
  op.PrintLog("127.0.0.1 Connecting...\r\n");
  op.PrintLog("");
  op.PrintLog("ﾀﾞｳﾝﾛｰﾄﾞ開始\r\n");
  EXPECT_EQ(Contents(out), "127.0.0.1 Connecting...\nﾀﾞｳﾝﾛｰﾄﾞ開始\n");
  std::fclose(in);
  std::fclose(out);
  std::fclose(err);
}

TEST(TerminalOperator, YesAnswersOnlyThePermanentWriteQuestion) {
  for (const Language language : {Language::English, Language::Japanese}) {
    SetActiveLanguage(language);
    std::FILE* err = std::tmpfile();
    TerminalOperator op(nullptr, stdout, err, true);
    EXPECT_EQ(op.ShowMessageBox(GetMessageText(IDS_ASK_WRITE), ButtonSet::OkCancel), Answer::Ok);
    // Any other question is still asked; with no input it is No.
    EXPECT_EQ(op.ShowMessageBox(GetMessageText(IDS_ASK_RETRY), ButtonSet::YesNo), Answer::No);
    EXPECT_EQ(op.ShowMessageBox("Other?", ButtonSet::OkCancel), Answer::Cancel);
    std::fclose(err);
  }
  SetActiveLanguage(Language::English);
}

TEST(TerminalOperator, LineEndingsBecomeNewlines) {
  EXPECT_EQ(TerminalLineEndings("a\r\nb\r\n"), "a\nb\n");
  EXPECT_EQ(TerminalLineEndings("a\rb\n"), "a\nb\n");
  EXPECT_EQ(TerminalLineEndings("ﾎｽﾄ名\n"), "ﾎｽﾄ名\n");
}

}  // namespace
}  // namespace mervix::cli
