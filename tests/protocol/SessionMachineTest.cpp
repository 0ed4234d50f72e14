// The session machine against a scripted device and operator: the flows of
// a firmware and a user module run, every refusal and protocol error, frames
// however they arrive, the faults of the link, the operator's answers and
// stops. The machine is driven with events only; its actions are carried
// out by the scripted runner and checked there.
#include "protocol/SessionMachine.h"

#include "protocol/Frames.h"
#include "resources/MessageTable.h"
#include "tests/support/ScriptedRunner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace mervix {
namespace {

using testing::AckFrame;
using testing::FakeOperator;
using testing::MachineHarness;
using testing::NakFrame;
using testing::Reply;
using testing::ScriptedRunner;
using testing::SentRequest;
using testing::StatusFrame;

constexpr std::uint16_t kPort = 2222;

// Image bytes that differ from block to block, so a reordered, repeated or
// dropped range shows up.
std::vector<std::uint8_t> ImageBytes(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t x = 0x12345678u;
  for (std::size_t i = 0; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

// A firmware run of |length| bytes to the test's device.
RunRequest FirmwareRun(std::uint32_t length) {
  RunRequest run;
  run.host = "127.0.0.1";
  run.port = kPort;
  run.imageLength = length;
  return run;
}

class SessionMachineTest : public ::testing::Test {
 protected:
  SessionMachineTest() : log_(op_.LogRecorder()), runner_(op_), harness_(runner_, log_) {
    harness_.machine.SetModeSwitchPauseMs(3000);
  }

  void SetUp() override { SetActiveLanguage(Language::English); }
  void TearDown() override {
    SetActiveLanguage(Language::English);
    for (const std::string& m : runner_.misuse) ADD_FAILURE() << "runner misuse: " << m;
  }

  // What the operation does before the run: the button, the log. Then the
  // event loop runs until nothing is left.
  void StartRun(std::size_t length, bool userModule = false, std::uint32_t sector = 0) {
    log_.ClearLog();
    op_.SetDownloadEnabled(false);
    harness_.image = ImageBytes(length);
    RunRequest run;
    run.host = "127.0.0.1";
    run.port = kPort;
    run.imageLength = static_cast<std::uint32_t>(length);
    run.userModule = userModule;
    run.sectorAddress = sector;
    harness_.Start(run);
    runner_.Run();
  }

  // The device acknowledges the size and every block of an image.
  void ScriptAcksFor(std::size_t length) {
    runner_.ThenFrame(AckFrame());  // the SizeRequest
    for (std::size_t sent = 0; sent < length; sent += 65536) runner_.ThenFrame(AckFrame());
  }

  void ExpectEndedWith(RunOutcome outcome) {
    EXPECT_EQ(harness_.machine.LastOutcome(), outcome);
    EXPECT_FALSE(harness_.machine.Running());
    EXPECT_FALSE(runner_.Open()) << "the connection stays open";
    EXPECT_EQ(runner_.ends, ends_ + 1) << "a run must end exactly once";
    ends_ = runner_.ends;
    ASSERT_FALSE(op_.enables.empty());
    EXPECT_TRUE(op_.enables.back()) << "the Download button stays disabled";
  }

  std::vector<std::string> LogLines() const { return op_.LogLines(); }

  FakeOperator op_;
  LogPane log_;
  ScriptedRunner runner_;
  MachineHarness harness_;
  int ends_ = 0;
};

// ---------------------------------------------------------------------------
// Successful runs

TEST_F(SessionMachineTest, FirmwareRunSwitchesAgainWhileTheDeviceAnswersStatus1) {
  runner_.ThenFrame(StatusFrame(1));
  runner_.ThenFrame(AckFrame());
  runner_.Then(Reply::Frame({0x52, 0x05, 0x00, 0x01, 0, 0, 0, 0}));  // status 1, other byte order
  runner_.ThenFrame(AckFrame());
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(1024);
  StartRun(1024);

  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(runner_.waits, (std::vector<int>{3000, 3000}));
  EXPECT_EQ(runner_.connectionsCreated, 3);
  EXPECT_EQ(runner_.connectTargets, (std::vector<std::string>(3, "127.0.0.1:2222")));
  ASSERT_EQ(runner_.requests.size(), 7u);
  const std::vector<std::pair<int, ProtocolFrame>> expected = {
      {0, BuildStatusQuery()}, {0, BuildSwitchRequest()}, {1, BuildStatusQuery()}, {1, BuildSwitchRequest()},
      {2, BuildStatusQuery()}, {2, BuildSizeRequest(1024)},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(runner_.requests[i].kind, SentRequest::Kind::Frame) << i;
    EXPECT_EQ(runner_.requests[i].connection, expected[i].first) << i;
    EXPECT_EQ(runner_.requests[i].frame, expected[i].second) << i;
  }
  EXPECT_EQ(runner_.requests[6].bytes, harness_.image);
  EXPECT_EQ(harness_.machine.State(), DownloadState::SendingBlocks);
  EXPECT_EQ(static_cast<int>(harness_.machine.State()), 5);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"127.0.0.1 Connecting...\r\n", "Download mode...\r\n",
                                                  "127.0.0.1 Connecting...\r\n", "Download mode...\r\n",
                                                  "127.0.0.1 Connecting...\r\n", "Download start\r\n",
                                                  "1KBytes downloaded\r\n", "Download finished\r\n"}));
  EXPECT_EQ(runner_.unanswered, 0);
}

// The whole log and every box of a run, in the order the operator sees them.
struct LanguageCase {
  Language language;
  std::vector<std::string> trail;
};

void PrintTo(const LanguageCase& c, std::ostream* os) {
  *os << (c.language == Language::Japanese ? "Japanese" : "English");
}

class SessionLanguageTest : public SessionMachineTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(SessionLanguageTest, WholeLogAndBoxesOfASuccessfulRun) {
  SetActiveLanguage(GetParam().language);
  runner_.ThenFrame(StatusFrame(1));
  runner_.ThenFrame(AckFrame());
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(200 * 1024);
  StartRun(200 * 1024);
  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(op_.trail, GetParam().trail);
  std::string whole;
  for (const std::string& line : LogLines()) whole += line;
  EXPECT_EQ(log_.Text(), whole);
}

INSTANTIATE_TEST_SUITE_P(
    BothLanguages, SessionLanguageTest,
    ::testing::Values(
        LanguageCase{Language::English,
                     {"disabled", "log:127.0.0.1 Connecting...\r\n", "log:Download mode...\r\n",
                      "log:127.0.0.1 Connecting...\r\n", "box:Permanent write! Continue?", "log:Download start\r\n",
                      "log:64K bytes sent\r\n", "log:64K bytes sent\r\n", "log:64K bytes sent\r\n",
                      "log:200KBytes downloaded\r\n", "box:Download finished", "log:Download finished\r\n",
                      "enabled"}},
        LanguageCase{Language::Japanese,
                     {"disabled", "log:127.0.0.1 に接続中...\r\n", "log:ﾀﾞｳﾝﾛｰﾄﾞﾓｰﾄﾞに切替中...\r\n",
                      "log:127.0.0.1 に接続中...\r\n", "box:ﾌｧｰﾑｳｪｱを更新します。よろしいですか?",
                      "log:ﾀﾞｳﾝﾛｰﾄﾞ開始\r\n", "log:64Kﾊﾞｲﾄ送信\r\n", "log:64Kﾊﾞｲﾄ送信\r\n",
                      "log:64Kﾊﾞｲﾄ送信\r\n", "log:200Kﾊﾞｲﾄ送信\r\n", "box:ﾀﾞｳﾝﾛｰﾄﾞ完了",
                      "log:ﾀﾞｳﾝﾛｰﾄﾞ完了\r\n", "enabled"}}));

// Image lengths at and around the block boundaries.
struct ImageCase {
  std::size_t length;
  std::vector<std::size_t> blocks;  // block sizes the device sees
  std::size_t blockSentLines;       // "64K bytes sent" lines
  long kilobytes;                   // count of the final line (whole image, rounded up)
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.length << " bytes"; }

class SessionImageTest : public SessionMachineTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(SessionImageTest, SendsTheImageInBlocksOf64K) {
  const ImageCase& c = GetParam();
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(c.length);
  StartRun(c.length);

  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(runner_.BlockSizes(), c.blocks);
  EXPECT_EQ(runner_.BlockBytes(), harness_.image);
  std::size_t blockLines = 0;
  for (const std::string& line : LogLines()) blockLines += line == "64K bytes sent\r\n";
  EXPECT_EQ(blockLines, c.blockSentLines);
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], std::to_string(c.kilobytes) + "KBytes downloaded\r\n");
  EXPECT_EQ(runner_.unanswered, 0);
  // Progress counts what the device acknowledged, up to the whole image.
  std::uint64_t acknowledged = 0;
  for (const Progress& p : runner_.progress) {
    EXPECT_GE(p.bytesAcknowledged, acknowledged);
    EXPECT_LE(p.bytesAcknowledged, p.bytesSent > 0 ? p.bytesSent : p.total);
    acknowledged = p.bytesAcknowledged;
  }
  ASSERT_FALSE(runner_.progress.empty());
  EXPECT_EQ(runner_.progress.back().phase, ProgressPhase::Done);
  EXPECT_EQ(runner_.progress.back().bytesAcknowledged, c.length);
  EXPECT_EQ(runner_.progress.back().blocks, c.blocks.size());
}

INSTANTIATE_TEST_SUITE_P(Lengths, SessionImageTest,
                         ::testing::Values(ImageCase{1024, {1024}, 0, 1}, ImageCase{1500, {1500}, 0, 2},
                                           ImageCase{65536, {65536}, 0, 64},
                                           ImageCase{65537, {65536, 1}, 1, 65},
                                           ImageCase{200 * 1024, {65536, 65536, 65536, 8192}, 3, 200},
                                           ImageCase{131072, {65536, 65536}, 1, 128}));

TEST_F(SessionMachineTest, UserModuleRunNamesTheSectorBeforeTheSize) {
  runner_.Expect(BuildStatusQuery(), Reply::Frame(StatusFrame(2)));
  runner_.Expect(ProtocolFrame{0x51, 0x23, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00}, Reply::Frame(StatusFrame(3)));
  runner_.Expect(ProtocolFrame{0x51, 0x22, 0x00, 0x00, 0x0B, 0xB8, 0x00, 0x00}, Reply::Frame(AckFrame()));
  runner_.ExpectBlock(3000, Reply::Frame(AckFrame()));
  op_.answers = {Answer::Ok};
  StartRun(3000, true, 0x00400000);

  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(runner_.requests.size(), 4u);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"127.0.0.1 Connecting...\r\n",
                                                  "Specifying special sector for user module\r\n",
                                                  "Download start\r\n", "3KBytes downloaded\r\n",
                                                  "Download finished\r\n"}));
  EXPECT_EQ(runner_.BlockBytes(), harness_.image);
}

TEST_F(SessionMachineTest, BytesBehindTheLastAckDoNotUndoAFinishedRun) {
  // The device has the whole image; what it sends afterwards, and when, must
  // not turn the verdict into a failure.
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  runner_.ThenFrame(AckFrame());
  std::vector<std::uint8_t> ackAndMore = {0x52, 0x03, 0, 0, 0, 0, 0, 0, 0x52, 0x05, 0x02};
  runner_.Then(Reply::Bytes(ackAndMore).ThenBytes({0, 0, 0, 0, 0}).ThenClose());
  StartRun(100);
  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Permanent write! Continue?", "Download finished"}));
}

// ---------------------------------------------------------------------------
// Refusals and protocol errors

struct RefusalCase {
  std::uint16_t flags;
  std::vector<std::string> boxes;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << "flags 0x" << std::hex << c.flags; }

class SessionNakTest : public SessionMachineTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SessionNakTest, NakEndsTheRunWithItsMessage) {
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  runner_.ThenFrame(NakFrame(GetParam().flags));  // in place of the size acknowledgement
  StartRun(100);
  ExpectEndedWith(RunOutcome::Failed);
  std::vector<std::string> expected = {"Permanent write! Continue?"};
  expected.insert(expected.end(), GetParam().boxes.begin(), GetParam().boxes.end());
  EXPECT_EQ(op_.BoxTexts(), expected);
  // After "Download start" only the cause, as received; nothing sent after
  // the size request.
  char flags[8];
  std::snprintf(flags, sizeof flags, "0x%04X", GetParam().flags);
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Download start\r\n");
  EXPECT_EQ(lines.back(), GetParam().boxes.front() + ": refusal flags " + flags + "\r\n");
  EXPECT_EQ(runner_.details.back(), std::string("refusal flags ") + flags);
  EXPECT_TRUE(runner_.BlockSizes().empty());
  const Failure& failure = runner_.lastFailure;
  EXPECT_EQ(failure.origin, FailureOrigin::DeviceRefusal);
  EXPECT_EQ(failure.phase, RunPhase::Size);
  EXPECT_EQ(failure.nakFlags, GetParam().flags);
  EXPECT_EQ(failure.message, GetParam().boxes.front());
}

INSTANTIATE_TEST_SUITE_P(
    EveryFlag, SessionNakTest,
    ::testing::Values(RefusalCase{0x8000, {"NAK(Command error)"}}, RefusalCase{0x8001, {"NAK(Command error)"}},
                      RefusalCase{0x0020, {"NAK(Download size error)"}},
                      RefusalCase{0x0021, {"NAK(Download size error)"}},
                      RefusalCase{0x0010, {"NAK(Dial-in/Dial-out is used)", "Dial-in/dial-out error"}},
                      RefusalCase{0x0008, {"NAK(Telnet is used)"}},
                      RefusalCase{0x0004, {"NAK(Flash ROM erase error)"}},
                      RefusalCase{0x0002, {"NAK(Download in progress)"}},
                      RefusalCase{0x0001, {"NAK(Flash ROM write error)"}},
                      RefusalCase{0x0000, {"NAK(unknown code)"}}, RefusalCase{0x0040, {"NAK(unknown code)"}}));

TEST_F(SessionMachineTest, BoxesOfARefusalComeBeforeTheConnectionCloses) {
  runner_.ThenFrame(NakFrame(0x0010));
  int closesDuringBoxes = -1;
  op_.whileBoxOpen = [&](const FakeOperator::Box&) { closesDuringBoxes = runner_.closes; };
  StartRun(1);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"NAK(Dial-in/Dial-out is used)", "Dial-in/dial-out error"}));
  EXPECT_EQ(closesDuringBoxes, 0);
  EXPECT_EQ(runner_.closes, 1);
  ExpectEndedWith(RunOutcome::Failed);
}

TEST_F(SessionMachineTest, NakAfterABlockStopsSendingAndNamesTheBlock) {
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  runner_.ThenFrame(AckFrame());
  runner_.ThenFrame(AckFrame());
  runner_.ThenFrame(NakFrame(0x0001));
  StartRun(200 * 1024);
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_EQ(runner_.BlockSizes(), (std::vector<std::size_t>{65536, 65536}));
  EXPECT_EQ(op_.BoxTexts().back(), "NAK(Flash ROM write error)");
  const Failure& failure = runner_.lastFailure;
  EXPECT_EQ(failure.phase, RunPhase::Block);
  EXPECT_EQ(failure.block, 2u);
  EXPECT_EQ(failure.blocks, 4u);
  EXPECT_EQ(PhaseName(failure), "block 2 of 4");
  EXPECT_EQ(failure.messageId, IDS_NAK_WRITE);
}

struct ErrorCase {
  const char* name;
  std::vector<ProtocolFrame> replies;  // the last one is the faulty reply
  bool userModule;
  const char* box;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class SessionErrorTest : public SessionMachineTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(SessionErrorTest, UnexpectedReplyEndsTheRun) {
  for (const ProtocolFrame& f : GetParam().replies) runner_.ThenFrame(f);
  const std::size_t before = GetParam().replies.size();
  StartRun(1, GetParam().userModule, 0x100000);
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{GetParam().box}));
  EXPECT_EQ(runner_.requests.size(), before) << "something was sent after the faulty reply";
  EXPECT_EQ(runner_.lastFailure.origin, FailureOrigin::Protocol);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SessionErrorTest,
    ::testing::Values(
        ErrorCase{"BadStatus", {ProtocolFrame{0x52, 0x05, 0x00, 0x03, 0, 0, 0, 0}}, false, "126:IDS_ERROR_CHECK_CODE"},
        ErrorCase{"BadStatusTail", {ProtocolFrame{0x52, 0x05, 0x02, 0x00, 0, 0, 0, 1}}, false,
                  "126:IDS_ERROR_CHECK_CODE"},
        ErrorCase{"BadCode", {ProtocolFrame{0x52, 0x04, 0, 0, 0, 0, 0, 0}}, false, "127:IDS_ERROR_CMD_CODE"},
        ErrorCase{"RequestEchoed", {BuildStatusQuery()}, false, "127:IDS_ERROR_CMD_CODE"},
        ErrorCase{"AckInState1", {AckFrame()}, false, "115:IDS_WARN_RETCODE"},
        ErrorCase{"AckInState3", {StatusFrame(2), AckFrame()}, true, "115:IDS_WARN_RETCODE"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST_F(SessionMachineTest, AckToTheFirstQueryOfALaterRunIsNotTakenForTheEndOfTheLastImage) {
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(1024);
  StartRun(1024);
  ExpectEndedWith(RunOutcome::Finished);
  op_.boxes.clear();
  runner_.ThenFrame(AckFrame());
  StartRun(1024);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"115:IDS_WARN_RETCODE"}));
  ExpectEndedWith(RunOutcome::Failed);
}

// ---------------------------------------------------------------------------
// The operator's answers

TEST_F(SessionMachineTest, CancelAtTheConfirmationSendsNothing) {
  runner_.ThenFrame(StatusFrame(2));
  runner_.ThenFrame(StatusFrame(3));
  op_.answers = {Answer::Cancel};
  StartRun(5000, true, 0x400000);

  ExpectEndedWith(RunOutcome::Cancelled);
  ASSERT_EQ(runner_.requests.size(), 2u);  // query and sector request only
  EXPECT_EQ(op_.trail, (std::vector<std::string>{"disabled", "log:127.0.0.1 Connecting...\r\n",
                                                 "log:Specifying special sector for user module\r\n",
                                                 "box:Permanent write! Continue?", "log:Download cancelled\r\n",
                                                 "enabled"}));
  EXPECT_EQ(op_.boxes[0].buttons, ButtonSet::OkCancel);
  EXPECT_EQ(runner_.lastFailure.origin, FailureOrigin::Cancelled);
}

TEST_F(SessionMachineTest, StatusInPlaceOfABlockAckAsksAgainAndRestartsFromTheFirstByte) {
  runner_.ThenFrame(StatusFrame(2));
  runner_.ThenFrame(AckFrame());
  runner_.ThenFrame(StatusFrame(2));  // in place of the first block's Ack
  runner_.ThenFrame(AckFrame());
  runner_.ThenFrame(AckFrame());
  runner_.ThenFrame(AckFrame());
  op_.answers = {Answer::Ok, Answer::Ok};
  StartRun(70000);
  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(runner_.BlockSizes(), (std::vector<std::size_t>{65536, 65536, 4464}));
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Permanent write! Continue?", "Permanent write! Continue?",
                                                      "Download finished"}));
}

TEST_F(SessionMachineTest, RetryIsAskedAfterEveryFailedConnectUntilYesSucceeds) {
  runner_.connectResults = {false, false, true};
  op_.answers = {Answer::Yes, Answer::Yes};
  runner_.Then(Reply::Silence());
  StartRun(1);
  EXPECT_EQ(runner_.connectAttempts, 3);
  ASSERT_EQ(op_.boxes.size(), 2u);
  EXPECT_EQ(op_.boxes[0].text, "Retry?");
  EXPECT_EQ(op_.boxes[0].buttons, ButtonSet::YesNo);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"127.0.0.1 Connecting...\r\n"}));
  EXPECT_TRUE(harness_.machine.Running());
  EXPECT_EQ(runner_.Frames(), (std::vector<ProtocolFrame>{BuildStatusQuery()}));
}

struct NoRetryCase {
  const char* name;
  bool afterSwitch;
  std::vector<int> waits;
  RunPhase phase;
};

class SessionNoRetryTest : public SessionMachineTest, public ::testing::WithParamInterface<NoRetryCase> {};

TEST_P(SessionNoRetryTest, NoToRetryEndsTheRunWithConnectError) {
  if (GetParam().afterSwitch) {
    runner_.ThenFrame(StatusFrame(1));
    runner_.ThenFrame(AckFrame());
    runner_.connectResults = {true, false};
  } else {
    runner_.connectResults = {false};
  }
  op_.answers = {Answer::No};
  StartRun(1);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Retry?", "Connect error"}));
  // Both boxes say why, and so does the log once they are gone.
  EXPECT_EQ(runner_.details, (std::vector<std::string>{"connection refused", "connection refused"}));
  EXPECT_EQ(LogLines().back(), "Connect error: connection refused\r\n");
  EXPECT_EQ(runner_.waits, GetParam().waits);
  ExpectEndedWith(RunOutcome::Failed);
  const Failure& failure = runner_.lastFailure;
  EXPECT_EQ(failure.origin, FailureOrigin::Link);
  EXPECT_EQ(failure.phase, GetParam().phase);
  EXPECT_EQ(failure.messageId, IDS_ERROR_CONNECT);
  EXPECT_EQ(failure.detail, "connection refused");
}

INSTANTIATE_TEST_SUITE_P(Connections, SessionNoRetryTest,
                         ::testing::Values(NoRetryCase{"First", false, {}, RunPhase::Connect},
                                           NoRetryCase{"AfterTheSwitch", true, {3000}, RunPhase::Reconnect}),
                         [](const ::testing::TestParamInfo<NoRetryCase>& info) { return std::string(info.param.name); });

TEST_F(SessionMachineTest, SocketThatCannotBeCreatedIsReportedWithConnectError) {
  for (int attempt : {1, 2}) {
    op_.boxes.clear();
    if (attempt == 2) {
      // The first connection is made; the one after the switch finds no socket.
      runner_.ThenFrame(StatusFrame(1));
      runner_.ThenFrame(AckFrame());
    }
    runner_.noSocketOnAttempt = runner_.connectAttempts + attempt;
    StartRun(1);
    EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"129:IDS_ERROR_SOCKET", "Connect error"})) << attempt;
    ExpectEndedWith(RunOutcome::Failed);
  }
}

TEST_F(SessionMachineTest, BytesThatArriveWhileTheConfirmationIsOpenAreHandledAfterTheAnswer) {
  // The device answers the size request before the operator has answered
  // (it saw nothing yet, but a front end cannot tell): the bytes are held,
  // not lost, and taken as the reply once the request has gone out.
  runner_.ThenFrame(StatusFrame(2));
  runner_.Then(Reply::Silence());  // the size request: its Ack came early
  runner_.ThenFrame(AckFrame());   // the block
  op_.answers = {Answer::Ok};
  const ProtocolFrame ack = AckFrame();
  op_.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.buttons == ButtonSet::OkCancel) {
      harness_.OnReceived(ack.data(), 3);
      harness_.OnReceived(ack.data() + 3, 5);
    }
  };
  StartRun(10);
  ExpectEndedWith(RunOutcome::Finished);
  // The query, the size request, then the whole image.
  EXPECT_EQ(runner_.sendSizes, (std::vector<std::size_t>{8, 8, 10}));
}

// ---------------------------------------------------------------------------
// Frames across reads, and faults of the link

enum class Delivery { Whole, ByteByByte, ThreeThenFive };

class SessionDeliveryTest : public SessionMachineTest, public ::testing::WithParamInterface<Delivery> {
 protected:
  Reply Deliver(const ProtocolFrame& f) {
    switch (GetParam()) {
      case Delivery::Whole:
        return Reply::Frame(f);
      case Delivery::ByteByByte:
        return Reply::ByteByByte(f);
      case Delivery::ThreeThenFive:
        return Reply::Split(f, {3});
    }
    return Reply::Frame(f);
  }
};

TEST_P(SessionDeliveryTest, FramesAreAssembledHoweverTheyArrive) {
  runner_.Then(Deliver(StatusFrame(1)));
  runner_.Then(Deliver(AckFrame()));
  runner_.Then(Deliver(StatusFrame(2)));
  runner_.Then(Deliver(AckFrame()));
  runner_.Then(Deliver(AckFrame()));
  runner_.Then(Deliver(AckFrame()));
  op_.answers = {Answer::Ok};
  StartRun(70000);
  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(runner_.BlockBytes(), harness_.image);
}

TEST_P(SessionDeliveryTest, ARefusalIsRecognisedHoweverItArrives) {
  runner_.Then(Deliver(StatusFrame(2)));
  runner_.Then(Deliver(NakFrame(0x0020)));
  op_.answers = {Answer::Ok};
  StartRun(70000);
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_EQ(op_.BoxTexts().back(), "NAK(Download size error)");
}

INSTANTIATE_TEST_SUITE_P(Splits, SessionDeliveryTest,
                         ::testing::Values(Delivery::Whole, Delivery::ByteByByte, Delivery::ThreeThenFive));

TEST_F(SessionMachineTest, PartialFrameWaitsForTheRestWithoutReportingAnything) {
  runner_.Then(Reply::Bytes({0x52, 0x05, 0x02}));
  StartRun(1);
  EXPECT_TRUE(harness_.machine.Running());
  EXPECT_TRUE(runner_.Open());
  EXPECT_TRUE(op_.boxes.empty());
  EXPECT_EQ(runner_.ends, 0);
}

struct LinkFaultCase {
  const char* name;
  Reply reply;
  FailureOrigin origin;
};

void PrintTo(const LinkFaultCase& c, std::ostream* os) { *os << c.name; }

class SessionLinkFaultTest : public SessionMachineTest, public ::testing::WithParamInterface<LinkFaultCase> {};

TEST_P(SessionLinkFaultTest, EndsTheRunWithMessage128) {
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  runner_.Then(GetParam().reply);  // in answer to the size request
  StartRun(2048);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Permanent write! Continue?", "128:IDS_ERROR_TOOMANY"}));
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_TRUE(runner_.BlockSizes().empty());
  EXPECT_EQ(runner_.lastFailure.origin, GetParam().origin);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionLinkFaultTest,
    ::testing::Values(
        LinkFaultCase{"ClosedWhileAwaited", Reply::Close(), FailureOrigin::Link},
        LinkFaultCase{"ClosedAfterThreeBytes", Reply::Bytes({0x52, 0x03, 0x00}).ThenClose(), FailureOrigin::Link},
        LinkFaultCase{"ReadFailure", Reply::ReadFailure(), FailureOrigin::Link},
        LinkFaultCase{"TrailingByte", Reply::Bytes({0x52, 0x03, 0, 0, 0, 0, 0, 0, 0x52}), FailureOrigin::Protocol},
        LinkFaultCase{"TwoFramesAtOnce",
                      Reply::Bytes({0x52, 0x03, 0, 0, 0, 0, 0, 0, 0x52, 0x03, 0, 0, 0, 0, 0, 0}),
                      FailureOrigin::Protocol}),
    [](const ::testing::TestParamInfo<LinkFaultCase>& info) { return std::string(info.param.name); });

TEST_F(SessionMachineTest, FailedSendEndsTheRunAndNothingMoreGoesOut) {
  // 1: query, 2: size request, 3: the first block.
  for (int failAt : {1, 2, 3}) {
    ScriptedRunner runner(op_);
    MachineHarness harness(runner, log_);
    op_.boxes.clear();
    runner.ThenFrame(StatusFrame(2));
    op_.answers = {Answer::Ok};
    runner.ThenFrame(AckFrame());
    runner.ThenFrame(AckFrame());
    runner.failSendOnCall = failAt;
    harness.image = ImageBytes(70000);
    harness.Start(FirmwareRun(70000));
    runner.Run();
    std::vector<std::string> boxes = {"Send error"};
    if (failAt > 1) boxes.insert(boxes.begin(), "Permanent write! Continue?");
    EXPECT_EQ(op_.BoxTexts(), boxes) << failAt;
    EXPECT_EQ(harness.machine.LastOutcome(), RunOutcome::Failed);
    EXPECT_EQ(harness.machine.LastFailure().origin, FailureOrigin::Link);
    EXPECT_EQ(runner.sendSizes.size(), static_cast<std::size_t>(failAt - 1)) << failAt;
    EXPECT_FALSE(runner.Open());
    EXPECT_EQ(runner.ends, 1);
  }
}

TEST_F(SessionMachineTest, EmptyImageIsRefusedBeforeTheDeviceIsTouched) {
  // A device would acknowledge the size and then wait for a block that never
  // comes, and so would the run.
  StartRun(0);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"The image file is empty: nothing to download"}));
  EXPECT_EQ(runner_.connectAttempts, 0);
  ExpectEndedWith(RunOutcome::Failed);
}

TEST_F(SessionMachineTest, SilentDeviceEndsTheRunWhenTheRunnerTimesOut) {
  runner_.Then(Reply::Silence());
  StartRun(10);
  ASSERT_TRUE(harness_.machine.Running());
  harness_.OnTimedOut("no response within 5 seconds");
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"No response from the device"}));
  EXPECT_EQ(runner_.details.back(), "no response within 5 seconds");
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_EQ(runner_.lastFailure.messageId, IDS_ERROR_NO_RESPONSE);
  EXPECT_EQ(runner_.lastFailure.phase, RunPhase::Status);
  EXPECT_EQ(runner_.lastFailure.detail, "no response within 5 seconds");
}

// ---------------------------------------------------------------------------
// Stopping, and closing the window

TEST_F(SessionMachineTest, StopWaitsForTheBlockInFlightThenEnds) {
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(200 * 1024);
  log_.ClearLog();
  harness_.image = ImageBytes(200 * 1024);
  harness_.Start(FirmwareRun(200 * 1024));
  // Run until the first block is out, then stop.
  while (runner_.BlockSizes().empty() && runner_.DeliverOne()) {
  }
  harness_.Feed(Event::Stop());
  EXPECT_TRUE(harness_.machine.Running()) << "the block in flight is answered first";
  runner_.Run();
  ExpectEndedWith(RunOutcome::Stopped);
  EXPECT_EQ(runner_.BlockSizes(), (std::vector<std::size_t>{65536}));
  EXPECT_EQ(LogLines().back(), "Download stopped: 65536 of 204800 bytes written\r\n");
  EXPECT_EQ(runner_.lastFailure.origin, FailureOrigin::Cancelled);
  EXPECT_EQ(runner_.progress.back().bytesAcknowledged, 65536u);
}

TEST_F(SessionMachineTest, StopWhileNothingIsInFlightEndsAtOnce) {
  // At the confirmation, during the pause after the switch, at "Retry?".
  struct Case {
    const char* name;
    std::function<void()> script;
    SessionMachine::Step stopAt;
  };
  const std::vector<Case> cases = {
      {"confirmation", [&] { runner_.ThenFrame(StatusFrame(2)); }, SessionMachine::Step::AskingConfirm},
      {"pause",
       [&] {
         runner_.ThenFrame(StatusFrame(1));
         runner_.ThenFrame(AckFrame());
       },
       SessionMachine::Step::Pausing},
      {"retry", [&] { runner_.connectResults = {false}; }, SessionMachine::Step::AskingRetry},
  };
  for (const Case& c : cases) {
    op_.boxes.clear();
    c.script();
    harness_.image = ImageBytes(10);
    harness_.Start(FirmwareRun(10));
    while (harness_.machine.CurrentStep() != c.stopAt && runner_.DeliverOne()) {
    }
    ASSERT_EQ(harness_.machine.CurrentStep(), c.stopAt) << c.name;
    harness_.Feed(Event::Stop());
    EXPECT_FALSE(harness_.machine.Running()) << c.name;
    runner_.Run();  // the open question's answer or the pause's end change nothing now
    ExpectEndedWith(RunOutcome::Stopped);
    EXPECT_EQ(LogLines().back(), "Download stopped: 0 of 10 bytes written\r\n") << c.name;
  }
}

TEST_F(SessionMachineTest, WindowClosedWhileTheConfirmationIsOpen) {
  runner_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  op_.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.buttons == ButtonSet::OkCancel) harness_.Feed(Event::Stop(true));
  };
  StartRun(100);
  ExpectEndedWith(RunOutcome::Closed);
  EXPECT_EQ(runner_.sendSizes.size(), 1u);  // the size request never went out
  EXPECT_EQ(runner_.drains, 1) << "the connection is drained as the window closes";
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Permanent write! Continue?"}));
}

TEST_F(SessionMachineTest, WindowClosedWhileRetryIsOpenAfterTheModeSwitch) {
  runner_.ThenFrame(StatusFrame(1));
  runner_.ThenFrame(AckFrame());
  runner_.connectResults = {true, false};
  op_.answers = {Answer::Yes};
  op_.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.buttons == ButtonSet::YesNo) harness_.Feed(Event::Stop(true));
  };
  StartRun(1);
  // No "Connect error" after the window has gone, and no further attempt.
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Retry?"}));
  EXPECT_EQ(runner_.connectAttempts, 2);
  ExpectEndedWith(RunOutcome::Closed);
}

}  // namespace
}  // namespace mervix
