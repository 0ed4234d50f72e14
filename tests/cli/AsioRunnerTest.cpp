// The command line's runs in this process: "send" and "download" over the
// Asio runner against devices on 127.0.0.1 scripted byte by byte, for what
// the device simulator cannot do (a reply dribbled out within the time-out,
// a connect that hangs, a drain on closing), and the closing report of each
// end. Whole runs against the simulator are the end-to-end suite's.
#include "cli/Commands.h"
#include "cli/support/AsioRunner.h"
#include "cli/support/CommandRun.h"
#include "operations/DownloadJob.h"
#include "resources/MessageTable.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/ScriptedRunner.h"

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix::cli {
namespace {

using ::testing::HasSubstr;
using mervix::testing::Bytes;
using mervix::testing::LoopbackDevice;
using mervix::testing::ReadExact;
using mervix::testing::TempPath;
using mervix::testing::TextStream;
using mervix::testing::WaitForEndOfStream;
using mervix::testing::WriteAll;
using Clock = std::chrono::steady_clock;

Bytes FrameBytes(const ProtocolFrame& frame) { return Bytes(frame.begin(), frame.end()); }

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  return b;
}

// The device's side of a run in download mode up to the size request:
// takes the status query, answers status 2 (its bytes |gapMs| apart), takes
// the size request and returns the length it announces (0 on a failure).
std::uint32_t ServeUpToTheSize(int fd, int gapMs = 0) {
  if (ReadExact(fd, 8).size() != 8) return 0;
  for (std::uint8_t b : FrameBytes(mervix::testing::StatusFrame(2))) {
    if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    if (!WriteAll(fd, {b})) return 0;
  }
  const Bytes size = ReadExact(fd, 8);
  if (size.size() != 8 || size[1] != 0x22) return 0;
  return (std::uint32_t(size[2]) << 24) | (std::uint32_t(size[3]) << 16) | (std::uint32_t(size[4]) << 8) | size[5];
}

// A whole run in download mode: ServeUpToTheSize, then every block
// acknowledged; returns the image received once the tool has closed the
// connection (empty when anything went wrong).
Bytes ServeImage(int fd, int gapMs = 0) {
  std::uint32_t left = ServeUpToTheSize(fd, gapMs);
  if (left == 0 || !WriteAll(fd, FrameBytes(mervix::testing::AckFrame()))) return {};
  Bytes received;
  while (left > 0) {
    const Bytes block = ReadExact(fd, std::min<std::uint32_t>(left, 65536));
    received.insert(received.end(), block.begin(), block.end());
    left -= static_cast<std::uint32_t>(block.size());
    if (block.empty() || !WriteAll(fd, FrameBytes(mervix::testing::AckFrame()))) return {};
  }
  return WaitForEndOfStream(fd) ? received : Bytes();
}

// A command's terminal: scripted input, captured log and messages.
struct Terminal {
  explicit Terminal(const std::string& input = "") : in(input) {}
  CommandStreams Streams() const { return CommandStreams{in.file(), out.file(), err.file()}; }
  TextStream in;
  TextStream out;
  TextStream err;
};

class RunSendTest : public ::testing::Test {
 protected:
  void SetUp() override { SetActiveLanguage(Language::English); }
  void TearDown() override {
    for (const std::string& p : files_) std::remove(p.c_str());
  }
  std::string WriteImage(const Bytes& image, const std::string& name = "image.img") {
    const std::string path = TempPath(name);
    mervix::testing::WriteFile(path, std::string(image.begin(), image.end()));
    files_.push_back(path);
    return path;
  }
  int Send(Terminal& terminal, const std::string& host, std::uint16_t port, const std::string& file,
           int timeoutMs, bool yes = true) {
    SendOptions o;
    o.device.host = host;
    o.port = port;
    o.assumeYes = yes;
    o.timeoutMs = timeoutMs;
    o.file = file;
    return RunSend(o, terminal.Streams());
  }

  std::vector<std::string> files_;
};

// Standard error of a run without the image line at its start and the
// proof of the bytes sent at its end, which name the image's SHA-256.
std::string Boxes(const std::string& err) {
  std::string kept;
  std::size_t from = 0;
  while (from < err.size()) {
    std::size_t end = err.find('\n', from);
    end = end == std::string::npos ? err.size() : end + 1;
    const std::string line = err.substr(from, end - from);
    if (line.rfind("Image ", 0) != 0 && line.rfind("The bytes sent equal the file (SHA-256 ", 0) != 0) kept += line;
    from = end;
  }
  return kept;
}

// A whole run. The status reply is dribbled out a byte at a time over more
// than the time-out: every arrival moves the deadline on, so the run goes
// through. With a long time-out the run still ends at once: nothing of it
// is left waiting in the io_context. A name is resolved (to IPv4 first).
TEST_F(RunSendTest, WholeRunWithinTheResponseTimeout) {
  const struct {
    const char* host;
    int timeoutMs;
    int gapMs;
  } cases[] = {{"127.0.0.1", 500, 120}, {"localhost", 60000, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    const Bytes image = Pattern(70000);
    Bytes received;
    auto device = std::make_unique<LoopbackDevice>([&](int fd, int) { received = ServeImage(fd, c.gapMs); });
    Terminal terminal;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Send(terminal, c.host, device->Port(), WriteImage(image), c.timeoutMs), kExitSuccess)
        << terminal.err.Text();
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_EQ(terminal.out.Text(), std::string(c.host) +
                                       " Connecting...\nDownload start\n64K bytes sent\n69KBytes downloaded\n"
                                       "Download finished\n");
    EXPECT_EQ(Boxes(terminal.err.Text()), "Permanent write! Continue? [ok/cancel] ok (--yes)\nDownload finished\n");
    EXPECT_THAT(terminal.err.Text(), HasSubstr("The bytes sent equal the file (SHA-256 "));
    device.reset();  // its thread is done once it has seen the close
    EXPECT_EQ(received, image);
  }
}

// What the device does after the size request decides the end; the tool
// closes the connection in each, and the last line says why.
TEST_F(RunSendTest, EachEndIsReportedFromItsFailure) {
  const struct {
    const char* name;
    Bytes reply;        // sent after the size request
    bool closeAtOnce;   // then the device closes, else it waits for the tool
    const char* boxes;  // standard error before the closing line
    const char* cause;  // the log's last line
    const char* report;
  } cases[] = {
      {"silent", {}, false, "No response from the device\n", "No response from the device: no response from the device within 0.3 seconds\n",
       "size: No response from the device (no response from the device within 0.3 seconds)"},
      {"refused", FrameBytes(mervix::testing::NakFrame(0x0020)), false, "NAK(Download size error)\n",
       "NAK(Download size error): refusal flags 0x0020\n", "size: NAK(Download size error) (refusal flags 0x0020)"},
      {"closed", {}, true, "128:IDS_ERROR_TOOMANY\n", "128:IDS_ERROR_TOOMANY: the device closed the connection\n",
       "size: 128:IDS_ERROR_TOOMANY (the device closed the connection)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool closedByTool = false;
    auto device = std::make_unique<LoopbackDevice>([&](int fd, int) {
      if (ServeUpToTheSize(fd) == 0) return;
      if (!WriteAll(fd, c.reply) || c.closeAtOnce) return;
      closedByTool = WaitForEndOfStream(fd);
    });
    Terminal terminal;
    const Clock::time_point start = Clock::now();
    const std::string report = c.report;
    const int code = report.find("NAK(") != std::string::npos          ? kExitRefused
                     : report.find("No response") != std::string::npos ? kExitTimeout
                                                                        : kExitLink;
    EXPECT_EQ(Send(terminal, "127.0.0.1", device->Port(), WriteImage(Pattern(5000)), 300), code);
    EXPECT_GE(SecondsSince(start), c.reply.empty() && !c.closeAtOnce ? 0.3 : 0.0);
    EXPECT_EQ(terminal.out.Text(), std::string("127.0.0.1 Connecting...\nDownload start\n") + c.cause);
    EXPECT_EQ(Boxes(terminal.err.Text()), std::string("Permanent write! Continue? [ok/cancel] ok (--yes)\n") + c.boxes +
                                       "mervix-cli send: " + c.report + "\n");
    device.reset();
    EXPECT_TRUE(closedByTool || c.closeAtOnce);
  }
}

// A port that refuses, and one whose connect hangs (its listener's queue is
// full) until the time-out bounds the attempt: "Retry?" each time, Yes then
// No, and "Connect error" with the reason of the last attempt.
TEST_F(RunSendTest, FailedConnectsAskRetryAndEndWithConnectError) {
  const int refusing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in b = a;
  ASSERT_EQ(::bind(refusing, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr*>(&b), sizeof b), 0);
  socklen_t len = sizeof a;
  ::getsockname(refusing, reinterpret_cast<sockaddr*>(&a), &len);
  len = sizeof b;
  ::getsockname(full, reinterpret_cast<sockaddr*>(&b), &len);
  // A queue of one, taken by a connection never accepted: the next connect
  // gets no answer at all.
  ASSERT_EQ(::listen(full, 0), 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&b), sizeof b), 0);

  const std::string file = WriteImage(Pattern(100));
  const struct {
    const char* name;
    std::uint16_t port;
    const char* reason;
  } cases[] = {{"refused", ntohs(a.sin_port), "Connection refused"},
               {"no answer", ntohs(b.sin_port), "connection timed out"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Terminal terminal("yes\nno\n");
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Send(terminal, "127.0.0.1", c.port, file, 400), kExitConnect);
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_EQ(Boxes(terminal.err.Text()), std::string("Retry? [yes/no] yes\nRetry? [yes/no] no\nConnect error\n") +
                                       "mervix-cli send: connect: Connect error (" + c.reason + ")\n");
    EXPECT_EQ(terminal.out.Text(), std::string("Connect error: ") + c.reason + "\n");
  }
  ::close(filler);
  ::close(full);
  ::close(refusing);
}

// The image is checked before anything is connected.
TEST_F(RunSendTest, FileThatCannotBeSentIsRefusedBeforeConnecting) {
  const std::string missing = TempPath("missing.img");
  const std::string empty = WriteImage({}, "empty.img");
  const std::string huge = WriteImage({}, "huge.img");
  const bool sparse = ::truncate(huge.c_str(), 0x100000000LL) == 0;  // one byte more than the size request holds
  const struct {
    std::string file;
    std::string says;
  } cases[] = {
      {missing, "cannot open image '" + missing + "': No such file or directory"},
      {::testing::TempDir(), "it is a folder, not a file"},
      {empty, "is empty (0 bytes): nothing to download"},
      {huge, "is 4294967296 bytes; at most 4294967295 can be sent"},
  };
  LoopbackDevice device([](int, int) {});
  for (const auto& c : cases) {
    if (c.file == huge && !sparse) continue;
    Terminal terminal;
    EXPECT_EQ(Send(terminal, "127.0.0.1", device.Port(), c.file, 0), kExitInput) << c.file;
    EXPECT_THAT(terminal.err.Text(), HasSubstr(c.says));
  }
  EXPECT_EQ(device.Connections(), 0);
  struct stat st {};
  EXPECT_NE(::stat(missing.c_str(), &st), 0) << "the image file was created";
}

// The operations' ends before a run, the usage and help answers, and a run
// refused by the device, as the download command reports them.
TEST_F(RunSendTest, DownloadCommandReportsEveryEnd) {
  ::setenv("LC_ALL", "C", 1);  // the command takes its language from the environment
  Bytes image = Pattern(3000);
  std::copy_n("REV-", 4, image.begin() + 8);
  image[12] = 1;
  image[13] = 2;
  const std::string file = WriteImage(image, "fw.img");
  const std::string broken = WriteImage({'n', 'o', '\n'}, "broken.ini");
  LoopbackDevice device([](int fd, int) {
    if (ServeUpToTheSize(fd) == 0) return;
    WriteAll(fd, FrameBytes(mervix::testing::NakFrame(0x0020)));
    WaitForEndOfStream(fd);
  });
  const std::string port = std::to_string(device.Port());
  const struct {
    std::vector<std::string> args;
    int exit;
    const char* out;  // what standard output starts with
    const char* err;  // what standard error ends with
  } cases[] = {
      {{"--host", "127.0.0.1", "--port", port, ""}, kExitStopped, "", "mervix-cli download: no file was chosen\n"},
      {{"--settings", broken, file}, kExitInput, "", "line 1 is not an entry\n"},
      {{"--bogus", file}, kExitUsage, "",
       "mervix-cli download: unknown option '--bogus'\nusage: mervix-cli download FILE\n"},
      {{"--help"}, kExitSuccess, "usage: mervix-cli download FILE\n\nHELP", ""},
      {{"--host", "127.0.0.1", "--port", port, "--yes", file}, kExitRefused, "Normal mode - compression inactive\n",
       "NAK(Download size error)\nmervix-cli download: size: NAK(Download size error) (refusal flags 0x0020)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(mervix::testing::Joined(c.args));
    Terminal terminal;
    EXPECT_EQ(RunOperationCommand(
                  OperationCommand::Download, CommandText{"download", "download FILE", "HELP"}, c.args, nullptr,
                  terminal.Streams()),
              c.exit);
    EXPECT_THAT(terminal.out.Text(), ::testing::StartsWith(c.out));
    EXPECT_THAT(terminal.err.Text(), ::testing::EndsWith(c.err));
  }
  EXPECT_EQ(device.Connections(), 1);
}

// The run's questions answered by a script; a question may act on the job.
class ScriptedDialogs : public RunDialogs {
 public:
  std::function<Answer(Question)> answer = [](Question) { return Answer::Cancel; };
  Answer Ask(Question question, const std::string&, ButtonSet) override { return answer(question); }
  void Show(std::uint16_t, const std::string& text) override { boxes.push_back(text); }
  std::vector<std::string> boxes;
};

// Two runs side by side on one io_context, one runner each: both finish,
// and the loop returns once both have ended.
TEST(AsioRunnerTest, RunnersShareOneLoop) {
  SetActiveLanguage(Language::English);
  const Bytes images[2] = {Pattern(200000), Pattern(70001)};
  Bytes received[2];
  auto first = std::make_unique<LoopbackDevice>([&](int fd, int) { received[0] = ServeImage(fd, 20); });
  auto second = std::make_unique<LoopbackDevice>([&](int fd, int) { received[1] = ServeImage(fd); });
  const std::uint16_t ports[2] = {first->Port(), second->Port()};

  asio::io_context io;
  ScriptedDialogs dialogs;
  dialogs.answer = [](Question) { return Answer::Ok; };
  LogPane logs[2];
  std::vector<std::unique_ptr<DownloadJob>> jobs;
  std::vector<std::unique_ptr<AsioRunner>> runners;
  for (int i = 0; i < 2; ++i) {
    const std::string path = TempPath("side" + std::to_string(i) + ".img");
    mervix::testing::WriteFile(path, std::string(images[i].begin(), images[i].end()));
    PreparedImage image;
    image.path = path;
    image.length = static_cast<std::uint32_t>(images[i].size());
    jobs.push_back(std::make_unique<DownloadJob>(logs[i]));
    runners.push_back(std::make_unique<AsioRunner>(io, dialogs, RunnerLimits{5000, 5000}));
    runners[i]->Attach(*jobs[i]);
    ASSERT_TRUE(jobs[i]->Start(image, "127.0.0.1", ports[i], *runners[i]));
  }
  io.run();
  first.reset();
  second.reset();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(runners[i]->Outcome(), RunOutcome::Finished) << Describe(runners[i]->LastFailure());
    EXPECT_EQ(received[i], images[i]);
    EXPECT_THAT(logs[i].Text(), ::testing::EndsWith("Download finished\r\n"));
    std::remove(TempPath("side" + std::to_string(i) + ".img").c_str());
  }
  EXPECT_EQ(dialogs.boxes, (std::vector<std::string>{"Download finished", "Download finished"}));
}

// The window closing in the middle of a run: the sending side is shut down
// at once, what the device still sends is read and dropped (its writes all
// go through), and the connection is closed after 3 s when the device does
// not close it first.
TEST(AsioRunnerTest, ClosingDrainsTheConnectionForAtMostThreeSeconds) {
  SetActiveLanguage(Language::English);
  bool shutDownByTool = false;
  bool writesAccepted = false;
  auto device = std::make_unique<LoopbackDevice>([&](int fd, int) {
    if (ReadExact(fd, 8).size() != 8 || !WriteAll(fd, FrameBytes(mervix::testing::StatusFrame(2)))) return;
    shutDownByTool = WaitForEndOfStream(fd);
    writesAccepted = true;
    const Bytes chunk(1024, 0x5A);
    for (int i = 0; i < 40 && writesAccepted; ++i) {
      writesAccepted = WriteAll(fd, chunk);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Stays open until the tool has closed its end (a write then fails).
    for (int i = 0; i < 160 && WriteAll(fd, {0}); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  const std::string path = TempPath("closing.img");
  mervix::testing::WriteFile(path, std::string(5000, 'x'));
  PreparedImage image;
  image.path = path;
  image.length = 5000;

  LogPane log;
  DownloadJob job(log);
  asio::io_context io;
  ScriptedDialogs dialogs;
  // The confirmation is open when the window closes.
  dialogs.answer = [&job](Question) {
    job.Stop(true);
    return Answer::Cancel;
  };
  AsioRunner runner(io, dialogs, RunnerLimits{2000, 2000});
  runner.Attach(job);
  ASSERT_TRUE(job.Start(image, "127.0.0.1", device->Port(), runner));
  const Clock::time_point start = Clock::now();
  io.run();
  const double drained = SecondsSince(start);
  EXPECT_TRUE(runner.Ended());
  EXPECT_EQ(runner.Outcome(), RunOutcome::Closed);
  EXPECT_TRUE(dialogs.boxes.empty());
  EXPECT_GE(drained, 2.8);
  EXPECT_LT(drained, 6.0);
  EXPECT_FALSE(job.ImageOpen());
  std::remove(path.c_str());
  device.reset();  // its thread ends once its writes fail
  EXPECT_TRUE(shutDownByTool);
  EXPECT_TRUE(writesAccepted);
}

}  // namespace
}  // namespace mervix::cli
