// mervix-cli download and module against misbehaving devices on 127.0.0.1.
// Each run must end with the right message and exit code, the device must
// see its connection closed by the tool (the simulator writes its record
// when a connection has ended, so the record is read while it still runs),
// the chosen file must be left as it was, and a second run against the same
// device, now well behaved, must succeed.
#include "tests/support/Patterns.h"
#include "tests/support/Programs.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/hostile/HostileCases.h"
#include "tests/operations/OperationsTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix {
namespace {

using ::testing::HasSubstr;
using mervix::testing::Bytes;
using mervix::testing::DevsimProcess;
using mervix::testing::DevsimRecord;
using mervix::testing::HostileCase;
using mervix::testing::HostileRun;
using mervix::testing::MakeImage;
using mervix::testing::ProcessResult;
using mervix::testing::ReadBytes;
using mervix::testing::TempFolder;

const std::vector<std::string>& kEnglish = mervix::testing::kEnglishLocale;

std::string CliPath() {
  if (const char* env = std::getenv("MERVIX_CLI")) return env;
  return ::mervix::testing::CliPath();
}

// A port on 127.0.0.1 that refuses connections: bound, never listening.
// Closing it lets a device take the port.
class RefusingPort {
 public:
  RefusingPort() {
    // Close-on-exec: a child holding it would keep the port bound.
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    socklen_t len = sizeof a;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) port_ = ntohs(a.sin_port);
  }
  ~RefusingPort() { Release(); }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class CliHostileTest : public ::testing::Test {
 protected:
  void StartDevice(const std::vector<std::string>& options) {
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error)) << error;
  }

  // A binary image with its tag, of three blocks and a bit, in the folder.
  std::string WriteFile(const std::string& name, std::size_t size = 2 * 65536 + 4000) {
    image_ = MakeImage(size, 1, 5, true, static_cast<unsigned>(size));
    mervix::testing::WriteBytes(dir_ / name, image_);
    return dir_ / name;
  }

  std::vector<std::string> Arguments(HostileRun run, std::uint16_t port, const std::string& file) const {
    std::vector<std::string> args;
    if (run == HostileRun::Firmware) args = {"download"};
    else args = {"module", "--address", "20000"};
    // A short pause after the mode switch: the real one is the send suite's.
    const std::vector<std::string> rest = {"--host",     "127.0.0.1", "--port",    std::to_string(port),
                                           "--work-dir", dir_.path(), "--timeout", "5",
                                           "--switch-pause", "0.1"};
    args.insert(args.end(), rest.begin(), rest.end());
    args.push_back(file);
    return args;
  }

  ProcessResult Cli(std::vector<std::string> args, std::optional<std::string> input = std::nullopt) {
    args.insert(args.begin(), CliPath());
    return mervix::testing::RunProcess(args, std::move(input), kEnglish, 30000);
  }

  // The record once |connections| connections have ended; the simulator
  // keeps running.
  DevsimRecord RecordAfterConnections(long long connections) const {
    DevsimRecord r;
    for (int i = 0; i < 300; ++i) {
      r = sim_.Record();
      if (r.Number("connections", 0) >= connections && !r.Text("last_end").empty()) break;
      ::usleep(10000);
    }
    return r;
  }

  // A second, plain run against the same device after a failed one: the
  // file opens again, every byte arrives.
  void ExpectASecondRunSucceeds(HostileRun run, const std::string& file, long long connectionsBefore,
                                long long downloadsBefore) {
    const ProcessResult again = Cli(Arguments(run, sim_.Port(), file), std::string("ok\n"));
    EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_THAT(again.out, HasSubstr("Download finished"));
    const DevsimRecord r = RecordAfterConnections(connectionsBefore + 1);
    EXPECT_EQ(r.Number("downloads_completed"), downloadsBefore + 1) << sim_.Log();
    EXPECT_EQ(sim_.ReceivedImage(), image_);
  }

  TempFolder dir_;
  DevsimProcess sim_;
  Bytes image_;
};

class CliHostileFaultTest : public CliHostileTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(CliHostileFaultTest, EndsAsTheDeviceDeservesAndTheNextRunSucceeds) {
  const HostileCase& c = GetParam();
  StartDevice({"--download-mode", "--fault", c.fault});
  const std::string file = WriteFile(c.run == HostileRun::Firmware ? "fw.img" : "module.img");
  const ProcessResult p = Cli(Arguments(c.run, sim_.Port(), file), std::string("ok\n"));
  ASSERT_TRUE(p.started) << p.error;
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.signal, 0);

  const DevsimRecord r = RecordAfterConnections(1);
  EXPECT_EQ(r.Text("faults_fired"), c.fault) << sim_.Log();
  EXPECT_EQ(r.Number("connections"), 1);
  EXPECT_EQ(r.Number("lockstep_violations"), 0);
  if (c.message.empty()) {
    EXPECT_EQ(p.exitCode, 0) << p.out << p.err;
    EXPECT_EQ(r.Number("downloads_completed"), 1);
    EXPECT_EQ(r.Text("last_end"), "download complete");
    EXPECT_EQ(sim_.ReceivedImage(), image_);
  } else {
    // A refusal exits 1, a protocol or link failure 4.
    EXPECT_EQ(p.exitCode, c.message[0].find("NAK(") != std::string::npos ? 1 : 4) << p.out << p.err;
    // The boxes in order, then the closing line names the first of them:
    // the message of the failure.
    std::size_t at = 0;
    std::string first = c.message[0];
    for (std::size_t i = 0; i < c.message.size(); ++i) {
      std::size_t found = p.err.find(c.message[i], at);
      if (i == 0 && found == std::string::npos && c.alternative) {
        found = p.err.find(c.alternative);
        first = c.alternative;
      }
      ASSERT_NE(found, std::string::npos) << c.message[i] << " in:\n" << p.err;
      at = found + 1;
    }
    const std::vector<std::string> lines = mervix::testing::SplitLines(p.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("mervix-cli " + std::string(c.run == HostileRun::Firmware ? "download" : "module") +
                                     ": ",
                                 0),
              0u)
        << p.err;
    EXPECT_THAT(lines.back(), HasSubstr(": " + first)) << p.err;
    EXPECT_EQ((p.out + p.err).find("Download finished"), std::string::npos);
    EXPECT_EQ(r.Number("downloads_completed"), 0);
    // The connection ended: closed by the tool after a reply, or by the
    // device itself; never left open until the simulator was stopped.
    EXPECT_NE(r.Text("last_end"), "stopped");
    EXPECT_NE(r.Text("last_end"), "download complete");
  }
  EXPECT_EQ(ReadBytes(file), image_) << "the chosen file is never modified";
  ExpectASecondRunSucceeds(c.run, file, 1, c.message.empty() ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, CliHostileFaultTest, ::testing::ValuesIn(mervix::testing::HostileCases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           return mervix::testing::HostileCaseName(info.param);
                         });

// A device that must be switched into download mode first and fails at the
// switch request: the run ends before any wait or reconnect. The good run
// that follows switches it.
struct SwitchCase {
  const char* fault;
  const char* message;
};

class CliSwitchFaultTest : public CliHostileTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(CliSwitchFaultTest, FailsAtTheSwitchAndTheNextRunSwitchesAndSends) {
  const SwitchCase& c = GetParam();
  StartDevice({"--fault", c.fault});
  const std::string file = WriteFile("fw.img", 70000);
  const ProcessResult p = Cli(Arguments(HostileRun::Firmware, sim_.Port(), file), std::string("ok\n"));
  EXPECT_EQ(p.exitCode, std::string(c.message).find("NAK(") != std::string::npos ? 1 : 4) << p.out << p.err;
  EXPECT_THAT(p.out, HasSubstr("Download mode..."));
  EXPECT_THAT(p.err, HasSubstr(std::string("mervix-cli download: switch: ") + c.message));
  const DevsimRecord r = RecordAfterConnections(1);
  EXPECT_EQ(r.Number("connections"), 1) << "no reconnect after a failed switch";
  EXPECT_EQ(r.Number("switch_acks"), 0);
  EXPECT_NE(r.Text("last_end"), "stopped");

  const ProcessResult again = Cli(Arguments(HostileRun::Firmware, sim_.Port(), file), std::string("ok\n"));
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  const DevsimRecord after = RecordAfterConnections(3);
  EXPECT_EQ(after.Number("downloads_completed"), 1);
  EXPECT_EQ(sim_.ReceivedImage(), image_);
}

INSTANTIATE_TEST_SUITE_P(Switch, CliSwitchFaultTest,
                         ::testing::Values(SwitchCase{"switch=nak:0x8001", "NAK(Command error)"},
                                           SwitchCase{"switch=close", "128:IDS_ERROR_TOOMANY"},
                                           SwitchCase{"switch=bad-code", "127:IDS_ERROR_CMD_CODE"}),
                         [](const ::testing::TestParamInfo<SwitchCase>& info) {
                           std::string name;
                           for (const char* p = info.param.fault; *p; ++p) {
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return name;
                         });

// A device that stops answering in the middle of the blocks: the response
// time-out ends the run, the tool closes the connection (the device, reading
// on, sees it), and the next run is served.
TEST_F(CliHostileTest, SilentDeviceIsAbandonedAtTheTimeoutAndTheConnectionClosed) {
  for (const HostileRun run : {HostileRun::Firmware, HostileRun::Module}) {
    SCOPED_TRACE(run == HostileRun::Firmware ? "firmware" : "module");
    DevsimProcess fresh;
    std::string error;
    ASSERT_TRUE(fresh.Start({"--download-mode", "--fault", "block.1=silent"}, &error)) << error;
    const std::string file = WriteFile("silent.img");
    std::vector<std::string> args = Arguments(run, fresh.Port(), file);
    args.insert(args.end() - 1, {"--timeout", "1"});  // the later option wins
    const ProcessResult p = Cli(args, std::string("ok\n"));
    EXPECT_FALSE(p.timedOut);
    EXPECT_EQ(p.exitCode, 6) << p.out << p.err;
    EXPECT_THAT(p.err, HasSubstr("no response from the device within 1 seconds"));
    DevsimRecord r;
    for (int i = 0; i < 300 && fresh.Record().Text("last_end").empty(); ++i) ::usleep(10000);
    r = fresh.Record();
    EXPECT_EQ(r.Number("connections"), 1);
    EXPECT_EQ(r.Text("last_end"), "silent") << "written when the tool closed the connection";
    EXPECT_EQ(r.Numbers("block_sizes"), (std::vector<long long>{65536, 65536}));
    const ProcessResult again = Cli(Arguments(run, fresh.Port(), file), std::string("ok\n"));
    EXPECT_EQ(again.exitCode, 0) << again.err;
    fresh.Stop();
    EXPECT_EQ(fresh.ReceivedImage(), image_);
  }
}

// Nobody listens at first. "Retry?" is answered Yes once the device is up,
// and the run goes through; a second refusal answered Yes and then No ends
// with "Connect error" and no connection at all.
TEST_F(CliHostileTest, RefusedConnectionRetriedWithYesThenRefusedAndAnsweredNo) {
  for (const HostileRun run : {HostileRun::Firmware, HostileRun::Module}) {
    SCOPED_TRACE(run == HostileRun::Firmware ? "firmware" : "module");
    const std::string file = WriteFile("retry.img", 5000);
    RefusingPort refusing;
    ASSERT_NE(refusing.Port(), 0);
    const std::string errFile = dir_ / "err.txt";
    const std::string ready = dir_ / "asked", go = dir_ / "go";
    std::remove(errFile.c_str());
    std::remove(ready.c_str());
    std::remove(go.c_str());
    // The command line's standard error goes to a file; its standard input
    // gives "yes" (then "ok" for the confirmation) only after the test has
    // seen the question and started the device on the refused port.
    std::string command;
    for (const std::string& a : Arguments(run, refusing.Port(), file)) command += " '" + a + "'";
    const std::string script =
        "{ while ! grep -q 'Retry?' '" + errFile + "' 2>/dev/null; do sleep 0.02; done; : > '" + ready +
        "'; while [ ! -e '" + go + "' ]; do sleep 0.02; done; printf 'yes\\nok\\n'; } | '" + CliPath() + "'" +
        command + " 2>'" + errFile + "'";
    ProcessResult p;
    std::thread runner([&] { p = mervix::testing::RunProcess({"/bin/sh", "-c", script}, std::nullopt, kEnglish,
                                                             30000); });
    bool asked = false;
    for (int i = 0; i < 1000 && !asked; ++i) {
      asked = mervix::testing::FileExists(ready);
      if (!asked) ::usleep(10000);
    }
    DevsimProcess device;
    std::string error;
    refusing.Release();
    const bool started =
        asked && device.Start({"--download-mode", "--port", std::to_string(refusing.Port())}, &error);
    mervix::testing::WriteText(go, "");
    runner.join();
    ASSERT_TRUE(asked) << "the first attempt was not refused";
    ASSERT_TRUE(started) << error;
    const std::string err = DevsimProcess::ReadFile(errFile);
    EXPECT_EQ(p.exitCode, 0) << p.out << err;
    EXPECT_EQ(p.out.find("Connecting..."), p.out.rfind("Connecting...")) << "one connection logged: " << p.out;
    EXPECT_THAT(err, HasSubstr("Retry? [yes/no] yes"));
    device.Stop();
    EXPECT_EQ(device.Record().Number("downloads_completed"), 1);
    EXPECT_EQ(device.ReceivedImage(), image_);

    // Refused again: Yes retries (refused once more), No gives up.
    RefusingPort still;
    const ProcessResult no = Cli(Arguments(run, still.Port(), file), std::string("yes\nno\n"));
    EXPECT_EQ(no.exitCode, 3) << no.out << no.err;
    const std::size_t first = no.err.find("Retry?");
    ASSERT_NE(first, std::string::npos) << no.err;
    const std::size_t second = no.err.find("Retry?", first + 1);
    ASSERT_NE(second, std::string::npos) << no.err;
    EXPECT_NE(no.err.find("Connect error", second), std::string::npos) << no.err;
    EXPECT_EQ(no.out.find("Connecting..."), std::string::npos) << no.out;
  }
}

}  // namespace
}  // namespace mervix
