// mervix-cli for scripts against the device simulator: exit codes by cause,
// the JSON events parsed back, retries of transport failures only, Ctrl-C,
// the progress line on a pseudo-terminal, and probe.
#include "tests/support/Patterns.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DevsimProcess.h"
#include "tests/support/Programs.h"

#include "operations/Sha256.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace mervix {
namespace {

using mervix::testing::PatternBytes;

using mervix::testing::DevsimProcess;
using mervix::testing::DevsimRecord;
using mervix::testing::ProcessResult;
using mervix::testing::SplitLines;
using Bytes = std::vector<std::uint8_t>;

const std::vector<std::string>& kEnglish = mervix::testing::kEnglishLocale;

class ScriptingTest : public ::testing::Test {
 protected:
  void StartDevice(const std::vector<std::string>& options) {
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error)) << error;
  }

  std::string WriteImage(const Bytes& image) {
    const std::string path = sim_.Folder() + "/firmware.img";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    created_.push_back(path);
    return path;
  }

  std::vector<std::string> Argv(const std::string& command, const std::vector<std::string>& extra,
                                const std::string& file) {
    std::vector<std::string> argv = {::mervix::testing::CliPath(), command, "--host", "127.0.0.1", "--port",
                                     std::to_string(sim_.Port())};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!file.empty()) argv.push_back(file);
    return argv;
  }

  ProcessResult Run(const std::vector<std::string>& argv, int timeoutMs = 60000) {
    return mervix::testing::RunProcess(argv, std::nullopt, kEnglish, timeoutMs);
  }

  void TearDown() override {
    for (const std::string& f : created_) std::remove(f.c_str());
  }

  DevsimProcess sim_;
  std::vector<std::string> created_;
};

// Each exit code from a real cause.
struct ExitCase {
  const char* name;
  std::vector<std::string> device;  // the simulator's options
  std::vector<std::string> options;  // mervix-cli send's, besides host, port and file
  int exitCode;
  const char* says;  // on standard error
};

class ExitCodeTest : public ScriptingTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitCodeTest, TellsTheCause) {
  const ExitCase& c = GetParam();
  StartDevice(c.device);
  std::string file = WriteImage(PatternBytes(3 * 65536 - 100, 3));
  if (c.exitCode == 7) file += ".missing";
  std::vector<std::string> argv = Argv("send", c.options, file);
  if (c.exitCode == 3) {
    // A port nobody listens on: the simulator's own, once it has gone.
    sim_.Stop();
  }
  const ProcessResult p = Run(argv);
  ASSERT_TRUE(p.started) << p.error;
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, c.exitCode) << p.out << p.err;
  EXPECT_NE(p.err.find(c.says), std::string::npos) << p.err;
}

INSTANTIATE_TEST_SUITE_P(
    Causes, ExitCodeTest,
    ::testing::Values(
        ExitCase{"Finished", {"--download-mode"}, {"--yes"}, 0, "The bytes sent equal the file (SHA-256 "},
        ExitCase{"Refused", {"--download-mode", "--fault", "size=nak:0x0020"}, {"--yes"}, 1, "NAK("},
        ExitCase{"Usage", {}, {"--retries", "x"}, 2, "bad retry count"},
        ExitCase{"CannotConnect", {}, {"--yes", "--retries", "0"}, 3, "connect: Connect error"},
        ExitCase{"ProtocolError", {"--download-mode", "--fault", "size=bad-code"}, {"--yes"}, 4, "size: "},
        ExitCase{"Cancelled", {"--download-mode"}, {}, 5, "Download cancelled"},
        ExitCase{"NoAnswerInTime", {"--download-mode", "--fault", "block.1=silent"}, {"--yes", "--timeout", "1"}, 6,
                 "block 2 of 3: No response from the device"},
        ExitCase{"InputFile", {}, {"--yes"}, 7, "Cannot open the image file"},
        ExitCase{"OutcomeUnknown", {"--download-mode", "--fault", "block.2=silent"}, {"--yes", "--timeout", "1"}, 8,
                 "block 3 of 3: No response from the device"}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

// A silent device ends the run by the default reply time-out (30 s).
TEST_F(ScriptingTest, SilentDeviceEndsByTheDefaultTimeOut) {
  StartDevice({"--download-mode", "--fault", "status=silent"});
  const ProcessResult p = Run(Argv("send", {"--yes"}, WriteImage(PatternBytes(1000, 4))), 50000);
  EXPECT_FALSE(p.timedOut);
  EXPECT_EQ(p.exitCode, 6) << p.out << p.err;
  EXPECT_NE(p.err.find("within 30 seconds"), std::string::npos) << p.err;
}

// --json: every line is an object of the schema; one run_started, one
// run_ended; the acknowledged blocks add up to the size; the SHA-256 is the
// file's, and the bytes sent equal it.
TEST_F(ScriptingTest, JsonEventsParseBackAndAddUp) {
  StartDevice({"--download-mode"});
  const Bytes image = PatternBytes(4 * 65536 + 777, 5);
  const std::string file = WriteImage(image);
  const ProcessResult p = Run(Argv("send", {"--yes", "--json"}, file));
  ASSERT_EQ(p.exitCode, 0) << p.out << p.err;
  FileStatus status;
  const std::string sha = FileSha256(file, &status);
  ASSERT_EQ(sha.size(), 64u);
  int started = 0, ended = 0, boxes = 0, logs = 0;
  std::uint64_t blockBytes = 0;
  for (const std::string& line : SplitLines(p.out)) {
    nlohmann::json j;
    ASSERT_NO_THROW(j = nlohmann::json::parse(line)) << line;
    ASSERT_TRUE(j.is_object()) << line;
    EXPECT_EQ(j.at("schema"), 1) << line;
    const std::string event = j.at("event");
    if (event == "run_started") {
      ++started;
      EXPECT_EQ(j.at("size"), image.size());
      EXPECT_EQ(j.at("sha256"), sha);
      EXPECT_EQ(j.at("image"), file);
      EXPECT_EQ(j.at("mode"), "firmware");
      EXPECT_EQ(j.at("device"), "127.0.0.1:" + std::to_string(sim_.Port()));
      EXPECT_EQ(ended + boxes + logs, 0) << "run_started comes first";
    } else if (event == "run_ended") {
      ++ended;
      EXPECT_EQ(j.at("outcome"), "finished");
      EXPECT_EQ(j.at("exit_code"), 0);
      EXPECT_TRUE(j.at("failure").is_null());
      EXPECT_EQ(j.at("sha256_sent"), sha);
      EXPECT_EQ(j.at("sent_equals_file"), true);
    } else if (event == "block_acknowledged") {
      blockBytes += j.at("bytes").get<std::uint64_t>();
      EXPECT_GE(j.at("elapsed_ms").get<long long>(), 0);
    } else if (event == "box") {
      ++boxes;
      EXPECT_TRUE(j.contains("text") && j.contains("answer")) << line;
    } else if (event == "log") {
      ++logs;
    }
  }
  EXPECT_EQ(started, 1);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(blockBytes, image.size());
  EXPECT_EQ(boxes, 2) << "the confirmation (answered by --yes) and the finish";
  EXPECT_GE(logs, 4);
}

// A failing run in JSON: the run_ended event carries the failure.
TEST_F(ScriptingTest, JsonRunEndedCarriesTheFailure) {
  StartDevice({"--download-mode", "--fault", "size=nak:0x0020"});
  const ProcessResult p = Run(Argv("send", {"--yes", "--json"}, WriteImage(PatternBytes(5000, 6))));
  ASSERT_EQ(p.exitCode, 1) << p.out << p.err;
  const nlohmann::json last = nlohmann::json::parse(SplitLines(p.out).back());
  EXPECT_EQ(last.at("event"), "run_ended");
  EXPECT_EQ(last.at("outcome"), "failed");
  EXPECT_EQ(last.at("exit_code"), 1);
  EXPECT_EQ(last.at("failure").at("origin"), "device refusal");
  EXPECT_EQ(last.at("failure").at("phase"), "size");
  EXPECT_EQ(last.at("failure").at("nak_flags"), 0x20);
}

// A device that resets the first connection: --retries 2 starts again and
// finishes, and the log says why.
TEST_F(ScriptingTest, RetriesAfterAResetConnectionAndFinishes) {
  StartDevice({"--download-mode", "--fault", "status=close"});
  const Bytes image = PatternBytes(2 * 65536 + 5, 7);
  const ProcessResult p = Run(Argv("send", {"--yes", "--retries", "2"}, WriteImage(image)));
  EXPECT_EQ(p.exitCode, 0) << p.out << p.err;
  EXPECT_NE(p.out.find("Retry 1 of 2 in 5 s after: 128:IDS_ERROR_TOOMANY: the device closed the connection"),
            std::string::npos)
      << p.out;
  sim_.Stop();  // the record and the image are final once it has stopped
  EXPECT_EQ(sim_.ReceivedImage(), image);
  const DevsimRecord r = sim_.Record();
  EXPECT_EQ(r.Number("connections"), 2);
  EXPECT_EQ(r.Number("downloads_completed"), 1);
}

// A refusal is never retried, whatever --retries says.
TEST_F(ScriptingTest, RefusalIsNotRetried) {
  StartDevice({"--download-mode", "--fault", "size=nak:0x0020"});
  const ProcessResult p = Run(Argv("send", {"--yes", "--retries", "2"}, WriteImage(PatternBytes(5000, 8))));
  EXPECT_EQ(p.exitCode, 1) << p.out << p.err;
  EXPECT_EQ(p.out.find("Retry"), std::string::npos) << p.out;
  sim_.Stop();
  const DevsimRecord r = sim_.Record();
  EXPECT_EQ(r.Number("connections"), 1);
  EXPECT_EQ(r.Number("size_requests"), 1);
}

// A child whose standard output goes to a file and standard error to |errFd|.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outPath, int errFd) {
  return mervix::testing::SpawnWithOutput(argv, kEnglish, outPath, errFd);
}

using mervix::testing::WaitExit;

// Ctrl-C in the middle of the transfer: the block in flight is finished,
// the connection closed, the bytes written reported, exit 5; the device
// holds part of the image.
TEST_F(ScriptingTest, InterruptMidTransferStopsWithFive) {
  StartDevice({"--download-mode", "--reply-delay", "150"});
  const Bytes image = PatternBytes(30 * 65536, 9);
  const std::string out = sim_.Folder() + "/out.txt";
  created_.push_back(out);
  const pid_t pid = Spawn(Argv("send", {"--yes"}, WriteImage(image)), out, -1);
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (DevsimProcess::ReadFile(out).find("64K bytes sent\n64K bytes sent") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 5);
  const std::string log = DevsimProcess::ReadFile(out);
  EXPECT_NE(log.find("Download stopped: "), std::string::npos) << log;
  EXPECT_NE(log.find(" of " + std::to_string(image.size()) + " bytes written"), std::string::npos) << log;
  EXPECT_EQ(log.find("Download finished"), std::string::npos) << log;
  sim_.Stop();
  const DevsimRecord r = sim_.Record();
  EXPECT_EQ(r.Number("downloads_completed"), 0);
  const std::vector<long long> blocks = r.Numbers("block_sizes");
  EXPECT_GE(blocks.size(), 2u);
  EXPECT_LT(blocks.size(), 30u);
  for (long long size : blocks) EXPECT_EQ(size, 65536) << "only whole blocks: the one in flight was finished";
}

// The progress line on a terminal: redrawn in place on standard error with
// the phase, the bytes, the percent.
TEST_F(ScriptingTest, ProgressIsDrawnOnATerminal) {
  StartDevice({"--download-mode", "--reply-delay", "20"});
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string out = sim_.Folder() + "/out.txt";
  created_.push_back(out);
  const pid_t pid = Spawn(Argv("send", {"--yes"}, WriteImage(PatternBytes(8 * 65536, 10))), out, slave);
  ASSERT_GT(pid, 0);
  ::close(slave);
  std::string screen;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has gone
    screen.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(master);
  EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_NE(screen.find("\rSending block "), std::string::npos) << screen;
  EXPECT_NE(screen.find("%)"), std::string::npos) << screen;
  EXPECT_EQ(DevsimProcess::ReadFile(out).find('\r'), std::string::npos) << "the log on standard output is untouched";
}

// probe: one frame, the answer printed, exit 0; a refusal is an answer too.
TEST_F(ScriptingTest, ProbeSendsExactlyOneFrame) {
  const struct {
    std::vector<std::string> device;
    const char* says;
  } cases[] = {
      {{}, "normal mode (status 1)"},
      {{"--download-mode"}, "download mode (status 2)"},
      {{"--fault", "status=nak:0x0002"}, "refused, flags 0x0002: NAK(Download in progress)"},
  };
  for (const auto& c : cases) {
    DevsimProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start(c.device, &error)) << error;
    const ProcessResult p = Run({::mervix::testing::CliPath(), "probe", "--host", "127.0.0.1", "--port",
                                 std::to_string(sim.Port())});
    EXPECT_EQ(p.exitCode, 0) << p.out << p.err;
    EXPECT_NE(p.out.find(c.says), std::string::npos) << p.out;
    sim.Stop();
    const DevsimRecord r = sim.Record();
    EXPECT_EQ(r.All("frame").size(), 1u) << c.says;
    EXPECT_EQ(r.Number("switch_acks", 0), 0);
    EXPECT_EQ(r.Number("size_requests", 0), 0);
  }
}

}  // namespace
}  // namespace mervix
