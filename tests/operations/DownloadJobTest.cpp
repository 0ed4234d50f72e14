// The download job: the image file it holds for the run (opened with
// exclusive access, let go at every end, never created, read failures
// reported), boxes that keep their place when a runner shows them later,
// the window closing while one is pending, and runners that report from
// inside their own calls.
#include "operations/DownloadJob.h"

#include "resources/MessageTable.h"
#include "tests/operations/OperationsTestSupport.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>
#include <system_error>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

namespace mervix {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace mervix::testing;

// True when another opener could hold the file now, even only shared for
// reading: exclusive access lets no other opener hold it at all.
bool OthersCanLock(const std::string& path) {
  InputFile other;
  return other.Open(path, ImageAccess::Shared).ok();
}

class DownloadJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetActiveLanguage(Language::English);
    runner_.Attach(job_);
  }

  PreparedImage Image(std::size_t size, const std::string& name = "image.img") {
    PreparedImage image;
    image.path = dir_ / name;
    bytes_ = MakeImage(size, 1, 0);
    WriteBytes(image.path, bytes_);
    image.length = static_cast<std::uint32_t>(size);
    std::copy_n(bytes_.begin(), std::min<std::size_t>(size, kImageHeaderSize), image.header.bytes.begin());
    return image;
  }

  void Start(const PreparedImage& image) {
    op_.SetDownloadEnabled(false);
    ASSERT_TRUE(job_.Start(image, "127.0.0.1", 2222, runner_));
  }

  TempFolder dir_;
  FakeOperator op_;
  LogPane log_{op_.LogRecorder()};
  ScriptedRunner runner_{op_};
  DownloadJob job_{log_};
  Bytes bytes_;
};

TEST_F(DownloadJobTest, ImageIsHeldExclusivelyFromStartToEveryEnd) {
  // Finished; refused by the device; cancelled at the first confirmation;
  // cancelled at a repeated confirmation (a status reply in place of a block
  // Ack); stopped; the window closed.
  struct Case {
    const char* name;
    std::function<void(ScriptedRunner&, FakeOperator&)> script;
    RunOutcome outcome;
  };
  const std::vector<Case> cases = {
      {"finished",
       [](ScriptedRunner& r, FakeOperator& o) {
         ScriptWholeDownload(r, 70000, true, false);
         o.answers = {Answer::Ok};
       },
       RunOutcome::Finished},
      {"refused", [](ScriptedRunner& r, FakeOperator&) { r.ThenFrame(NakFrame(0x0002)); }, RunOutcome::Failed},
      {"cancelled",
       [](ScriptedRunner& r, FakeOperator& o) {
         r.ThenFrame(StatusFrame(2));
         o.answers = {Answer::Cancel};
       },
       RunOutcome::Cancelled},
      {"cancelled again",
       [](ScriptedRunner& r, FakeOperator& o) {
         r.ThenFrame(StatusFrame(2));
         r.ThenFrame(AckFrame());
         r.ThenFrame(StatusFrame(2));
         o.answers = {Answer::Ok, Answer::Cancel};
       },
       RunOutcome::Cancelled},
  };
  for (const Case& c : cases) {
    const PreparedImage image = Image(70000);
    c.script(runner_, op_);
    Start(image);
    EXPECT_TRUE(job_.ImageOpen()) << c.name;
    EXPECT_FALSE(OthersCanLock(image.path)) << c.name << ": another program could lock the image mid-run";
    runner_.Run();
    EXPECT_EQ(job_.LastOutcome(), c.outcome) << c.name;
    if (c.outcome == RunOutcome::Finished) {
      // The confirmation names what is about to be written where.
      EXPECT_EQ(runner_.details.front(), "Device: 127.0.0.1:2222\nFile: " + image.path +
                                             "\nVersion: 1.00\nSize: 70000 bytes");
    }
    // A finished run can say which bytes went out: exactly the file's.
    FileStatus hashed;
    EXPECT_EQ(job_.SentSha256(), c.outcome == RunOutcome::Finished ? FileSha256(image.path, &hashed) : "") << c.name;
    EXPECT_FALSE(job_.InProgress()) << c.name;
    EXPECT_FALSE(job_.ImageOpen()) << c.name;
    EXPECT_TRUE(OthersCanLock(image.path)) << c.name << ": the image stays held after the run";
  }
  for (bool closing : {false, true}) {
    const PreparedImage image = Image(100);
    runner_.connectResults = {false};  // "Retry?" is open
    op_.answers = {Answer::Yes};
    Start(image);
    job_.Stop(closing);
    EXPECT_EQ(job_.LastOutcome(), closing ? RunOutcome::Closed : RunOutcome::Stopped);
    EXPECT_TRUE(OthersCanLock(image.path));
    runner_.Run();  // the answer to the question that was open changes nothing
    EXPECT_FALSE(job_.InProgress());
  }
}

TEST_F(DownloadJobTest, ImageThatCannotBeTakenEndsTheRunBeforeConnecting) {
  struct Case {
    const char* name;
    std::string path;
    std::uint32_t length;
    const char* reason;
  };
  const PreparedImage good = Image(500);
  const std::vector<Case> cases = {
      {"missing", dir_ / "missing.img", 100, "No such file or directory"},
      {"folder", dir_.path(), 100, "folder"},
      {"changed since it was prepared", good.path, 400, "500 bytes now, not the 400 bytes"},
  };
  for (const Case& c : cases) {
    op_.boxes.clear();
    PreparedImage image;
    image.path = c.path;
    image.length = c.length;
    Start(image);
    runner_.Run();
    ASSERT_EQ(op_.boxes.size(), 1u) << c.name;
    EXPECT_EQ(op_.boxes[0].text, "Cannot open the image file") << c.name;
    EXPECT_THAT(runner_.details.back(), HasSubstr(c.reason)) << c.name;
    EXPECT_EQ(job_.LastOutcome(), RunOutcome::Failed);
    EXPECT_EQ(job_.LastFailure().origin, FailureOrigin::File);
    EXPECT_EQ(job_.LastFailure().messageId, IDS_ERROR_IMAGE_OPEN);
    EXPECT_EQ(runner_.connectAttempts, 0) << c.name;
    EXPECT_FALSE(job_.InProgress());
    EXPECT_EQ(op_.enables.back(), true);
  }
  EXPECT_FALSE(FileExists(dir_ / "missing.img")) << "the image file was created";
}

TEST_F(DownloadJobTest, ImageCutShortDuringTheRunIsReportedAndNothingOfItSent) {
#ifdef _WIN32
  GTEST_SKIP() << "held exclusively, the image cannot be cut on Windows (windows_file_test)";
#endif
  const PreparedImage image = Image(200000);
  ScriptWholeDownload(runner_, 200000, true, false);
  op_.answers = {Answer::Ok};
  Start(image);
  // Another program cuts the file while the confirmation is open.
  op_.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.buttons == ButtonSet::OkCancel) {
      std::error_code error;
      std::filesystem::resize_file(image.path, 100000, error);
      ASSERT_FALSE(error) << error.message();
    }
  };
  runner_.Run();
  EXPECT_EQ(job_.LastOutcome(), RunOutcome::Failed);
  EXPECT_EQ(job_.LastFailure().origin, FailureOrigin::File);
  EXPECT_EQ(job_.LastFailure().phase, RunPhase::Block);
  EXPECT_EQ(job_.LastFailure().block, 2u);
  EXPECT_EQ(op_.BoxTexts().back(), "Cannot read the image file");
  EXPECT_THAT(runner_.details.back(), HasSubstr("ends at byte 100000"));
  EXPECT_THAT(op_.LogLines().back(), HasSubstr("Cannot read the image file: '"));
  // The first block went out; nothing of the second.
  EXPECT_EQ(runner_.BlockSizes(), (std::vector<std::size_t>{65536}));
  EXPECT_FALSE(runner_.Open());
}

TEST_F(DownloadJobTest, BoxShownLaterStillComesBeforeTheCloseAndTheEnd) {
  runner_.deferBoxes = true;
  runner_.ThenFrame(NakFrame(0x0010));
  std::vector<std::string> order;
  op_.whileBoxOpen = [&](const FakeOperator::Box& box) {
    order.push_back(box.text + (runner_.Open() ? " (open)" : " (closed)"));
  };
  Start(Image(100));
  // The device closes while the first box is still to be shown: no second
  // report, and the run is not over until the boxes are.
  while (runner_.DeliverOne() && op_.boxes.empty()) {
  }
  EXPECT_TRUE(job_.InProgress());
  runner_.Run();
  EXPECT_THAT(order, ElementsAre("NAK(Dial-in/Dial-out is used) (open)", "Dial-in/dial-out error (open)"));
  EXPECT_EQ(runner_.closes, 1);
  EXPECT_EQ(runner_.ends, 1);
  EXPECT_EQ(op_.trail.back(), "enabled");
  EXPECT_FALSE(job_.ImageOpen());
}

TEST_F(DownloadJobTest, WindowClosingWhileABoxIsPendingEndsAtOnceWithoutIt) {
  runner_.deferBoxes = true;
  ScriptWholeDownload(runner_, 100, true, false);
  op_.answers = {Answer::Ok};
  Start(Image(100));
  // Run until the run's last box ("Download finished") is due but not shown.
  while (job_.InProgress() && runner_.DeliverOne()) {
    if (runner_.BlockSizes().size() == 1 && runner_.closes == 1) break;
  }
  ASSERT_TRUE(job_.InProgress());
  job_.Stop(true);
  EXPECT_FALSE(job_.InProgress());
  EXPECT_FALSE(job_.ImageOpen());
  EXPECT_EQ(runner_.ends, 1);
  // The run had finished: the closing does not change its verdict.
  EXPECT_EQ(job_.LastOutcome(), RunOutcome::Finished);
  runner_.Run();
  EXPECT_EQ(runner_.ends, 1);
}

TEST_F(DownloadJobTest, JobsSideBySideReadOneSharedImage) {
  // A fleet holds the image once; runs interleaved on one loop each send the
  // exact bytes from it, and none of them closes it.
  PreparedImage image = Image(200000);
  FileStatus taken;
  image.held = HeldImage::Take(image.path, ImageAccess::Exclusive, &taken);
  ASSERT_NE(image.held, nullptr) << taken.reason;
  FakeOperator ops[2];
  std::vector<std::unique_ptr<ScriptedRunner>> runners;
  std::vector<std::unique_ptr<DownloadJob>> jobs;
  for (FakeOperator& op : ops) {
    op.answers = {Answer::Ok};
    runners.push_back(std::make_unique<ScriptedRunner>(op));
    jobs.push_back(std::make_unique<DownloadJob>(log_));
    runners.back()->Attach(*jobs.back());
    ScriptWholeDownload(*runners.back(), 200000, true, false);
    ASSERT_TRUE(jobs.back()->Start(image, "127.0.0.1", 2222, *runners.back()));
  }
  // One event of each in turn.
  while (runners[0]->DeliverOne() | runners[1]->DeliverOne()) {
  }
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(jobs[i]->LastOutcome(), RunOutcome::Finished) << i;
    EXPECT_EQ(runners[i]->BlockBytes(), bytes_) << i;
    EXPECT_FALSE(jobs[i]->ImageOpen()) << i;
  }
  EXPECT_FALSE(OthersCanLock(image.path)) << "the shared image stays held for its owner";
  image.held.reset();
  EXPECT_TRUE(OthersCanLock(image.path));
}

// A runner that reports from inside its own calls, as a synchronous platform
// might; and checks that the job never calls it while one of its calls is
// still running.
class ImpatientRunner : public ScriptedRunner {
 public:
  using ScriptedRunner::ScriptedRunner;
  int depth = 0;
  int deepest = 0;

  void Connect(const std::string& host, std::uint16_t port) override {
    Enter();
    ScriptedRunner::Connect(host, port);
    Run();
    Leave();
  }
  void Send(const std::uint8_t* data, std::size_t size) override {
    Enter();
    ScriptedRunner::Send(data, size);
    Run();
    Leave();
  }
  void Ask(Question q, const std::string& text, const std::string& detail, ButtonSet buttons) override {
    Enter();
    ScriptedRunner::Ask(q, text, detail, buttons);
    Run();
    Leave();
  }
  void Pause(int ms) override {
    Enter();
    ScriptedRunner::Pause(ms);
    Run();
    Leave();
  }

 private:
  void Enter() { deepest = std::max(deepest, ++depth); }
  void Leave() { --depth; }
};

TEST_F(DownloadJobTest, ReportsFromInsideTheRunnersCallsAreQueuedNotNested) {
  ImpatientRunner runner(op_);
  runner.Attach(job_);
  ScriptWholeDownload(runner, 200000, false, false);
  op_.answers = {Answer::Ok};
  const PreparedImage image = Image(200000);
  op_.SetDownloadEnabled(false);
  ASSERT_TRUE(job_.Start(image, "127.0.0.1", 2222, runner));
  EXPECT_FALSE(job_.InProgress()) << "the whole run happened inside Start";
  EXPECT_EQ(job_.LastOutcome(), RunOutcome::Finished);
  EXPECT_EQ(runner.BlockBytes(), bytes_);
  EXPECT_EQ(runner.deepest, 1);
  EXPECT_EQ(op_.LogLines(),
            (std::vector<std::string>{"127.0.0.1 Connecting...\r\n", "Download mode...\r\n",
                                      "127.0.0.1 Connecting...\r\n", "Download start\r\n", "64K bytes sent\r\n",
                                      "64K bytes sent\r\n", "64K bytes sent\r\n", "196KBytes downloaded\r\n",
                                      "Download finished\r\n"}));
}

// Retries of transport failures: which failures start the run again (after
// the pause, from the connection and the status query), which never do, and
// how the run ends when the retries are spent.
struct RetryCase {
  const char* name;
  int retries;
  std::deque<bool> connects;              // outcomes of the first connect attempts
  std::function<void(ScriptedRunner&)> script;
  RunOutcome outcome;
  int retriesUsed;
  std::uint16_t failureId;                // 0 when the run finished
  std::vector<int> frameCodes;            // the frames the device received
};

class DownloadJobRetryTest : public DownloadJobTest, public ::testing::WithParamInterface<RetryCase> {};

constexpr std::size_t kRetryImage = 70000;  // two blocks

TEST_P(DownloadJobRetryTest, RetriesOnlyTransportFailuresBeforeTheLastBlock) {
  const RetryCase& c = GetParam();
  job_.SetRetryPolicy({c.retries, 5000});
  runner_.connectResults = c.connects;
  c.script(runner_);
  op_.answers = {Answer::Ok, Answer::Ok, Answer::Ok};
  Start(Image(kRetryImage));
  runner_.Run();
  EXPECT_EQ(runner_.lastOutcome, c.outcome);
  EXPECT_EQ(runner_.lastFailure.messageId, c.failureId);
  EXPECT_EQ(job_.RetriesUsed(), c.retriesUsed);
  EXPECT_EQ(runner_.FrameCodes(), c.frameCodes);
  EXPECT_EQ(runner_.ends, 1);
  EXPECT_TRUE(runner_.misuse.empty()) << runner_.misuse.front();
  // The policy answers "Retry?": the operator is never asked.
  for (const FakeOperator::Box& box : op_.boxes) EXPECT_NE(box.buttons, ButtonSet::YesNo) << box.text;
  // Each retry: one log line with its cause, after a pause of 5 s.
  int retryLines = 0;
  for (const std::string& line : op_.LogLines()) {
    if (line.rfind("Retry ", 0) == 0) {
      ++retryLines;
      EXPECT_THAT(line, HasSubstr(" of " + std::to_string(c.retries) + " in 5 s after: ")) << line;
    }
  }
  EXPECT_EQ(retryLines, c.retriesUsed);
  EXPECT_EQ(std::count(runner_.waits.begin(), runner_.waits.end(), 5000), c.retriesUsed);
  if (c.outcome == RunOutcome::Finished) {
    const Bytes all = runner_.BlockBytes();
    ASSERT_GE(all.size(), kRetryImage);
    EXPECT_EQ(Bytes(all.end() - kRetryImage, all.end()), bytes_) << "the whole image after the last restart";
    FileStatus status;
    EXPECT_EQ(job_.SentSha256(), FileSha256(job_.ImagePath(), &status));
    // A retried failure shows no box: only confirmations and the finish.
    for (const std::string& text : op_.BoxTexts()) {
      EXPECT_TRUE(text == "Permanent write! Continue?" || text == "Download finished") << text;
    }
  }
}

void ScriptDownloadModeRun(ScriptedRunner& r) {
  r.ThenFrame(StatusFrame(2));
  r.ThenFrame(AckFrame());
  r.ThenFrame(AckFrame());
  r.ThenFrame(AckFrame());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadJobRetryTest,
    ::testing::Values(
        RetryCase{"PeerClosesFirstStatusQuery", 2, {},
                  [](ScriptedRunner& r) {
                    r.Then(Reply::Close());
                    ScriptDownloadModeRun(r);
                  },
                  RunOutcome::Finished, 1, 0, {0x21, 0x21, 0x22}},
        RetryCase{"PeerClosesDuringTheFirstBlock", 1, {},
                  [](ScriptedRunner& r) {
                    r.ThenFrame(StatusFrame(2));
                    r.ThenFrame(AckFrame());
                    r.Then(Reply::Close());
                    ScriptDownloadModeRun(r);
                  },
                  RunOutcome::Finished, 1, 0, {0x21, 0x22, 0x21, 0x22}},
        RetryCase{"RefusedConnectionsThenConnects", 2, {false, false},
                  ScriptDownloadModeRun, RunOutcome::Finished, 2, 0, {0x21, 0x22}},
        RetryCase{"RefusedConnectionsOutlastTheRetries", 2, {false, false, false}, [](ScriptedRunner&) {},
                  RunOutcome::Failed, 2, IDS_ERROR_CONNECT, {}},
        RetryCase{"ClosesEveryTimeUntilTheRetriesAreSpent", 1, {},
                  [](ScriptedRunner& r) {
                    r.Then(Reply::Close());
                    r.Then(Reply::Close());
                  },
                  RunOutcome::Failed, 1, IDS_ERROR_TOOMANY, {0x21, 0x21}},
        RetryCase{"NakIsNeverRetried", 2, {},
                  [](ScriptedRunner& r) {
                    r.ThenFrame(StatusFrame(2));
                    r.ThenFrame(NakFrame(0x0020));
                  },
                  RunOutcome::Failed, 0, NakMessageId(0x0020), {0x21, 0x22}},
        RetryCase{"ProtocolErrorIsNeverRetried", 2, {},
                  [](ScriptedRunner& r) { r.Then(Reply::Bytes({0x52, 0x07, 0, 0, 0, 0, 0, 0})); },
                  RunOutcome::Failed, 0, ClassifyResponse({0x52, 0x07, 0, 0, 0, 0, 0, 0}).messageId, {0x21}},
        RetryCase{"LastBlockWithoutAckIsNeverRetried", 2, {},
                  [](ScriptedRunner& r) {
                    r.ThenFrame(StatusFrame(2));
                    r.ThenFrame(AckFrame());
                    r.ThenFrame(AckFrame());
                    r.Then(Reply::Close());
                  },
                  RunOutcome::Failed, 0, IDS_ERROR_TOOMANY, {0x21, 0x22}}),
    [](const ::testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.name); });

TEST_F(DownloadJobTest, StopWhileARetryWaitsEndsTheRunStopped) {
  job_.SetRetryPolicy({2, 5000});
  runner_.Then(Reply::Close());
  Start(Image(kRetryImage));
  // Deliver until the pause of the retry has been asked for, then stop.
  while (runner_.waits.empty() && runner_.DeliverOne()) {
  }
  ASSERT_EQ(runner_.waits, std::vector<int>{5000});
  job_.Stop();
  runner_.Run();
  EXPECT_EQ(runner_.ends, 1);
  EXPECT_EQ(runner_.lastOutcome, RunOutcome::Stopped);
  EXPECT_EQ(job_.LastOutcome(), RunOutcome::Stopped);
  EXPECT_EQ(runner_.FrameCodes(), std::vector<int>{0x21}) << "no restart after the stop";
  EXPECT_EQ(op_.LogLines().back(), "Download stopped: 0 of 70000 bytes written\r\n");
  EXPECT_FALSE(job_.ImageOpen());
}

}  // namespace
}  // namespace mervix
