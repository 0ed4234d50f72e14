// The protocol session against a scripted device and operator: the flows of
// a firmware and a user module run, every refusal and protocol error, and
// the faults of the link (split frames, closes, failed reads and sends).
#include "protocol/Session.h"

#include "protocol/Frames.h"
#include "resources/MessageTable.h"
#include "tests/protocol/FakeDeviceLink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mervix {
namespace {

using testing::AckFrame;
using testing::FakeDeviceLink;
using testing::FakeOperator;
using testing::NakFrame;
using testing::Reply;
using testing::SentRequest;
using testing::StatusFrame;

const char kHost[] = "127.0.0.1";
constexpr std::uint16_t kPort = 2222;

// Image bytes that differ from block to block and piece to piece, so a
// reordered, repeated or dropped piece shows up.
std::vector<std::uint8_t> ImageBytes(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t x = 0x12345678u;
  for (std::size_t i = 0; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : log_(op_.LogRecorder()), session_(link_, op_, log_) {}

  void SetUp() override { SetActiveLanguage(Language::English); }

  void TearDown() override {
    SetActiveLanguage(Language::English);
    for (const std::string& m : link_.misuse) ADD_FAILURE() << "link misuse: " << m;
    for (const std::string& p : files_) std::remove(p.c_str());
  }

  std::string WriteImage(std::size_t length) {
    const std::string path = ::testing::TempDir() + "session_image_" + std::to_string(getpid()) + "_" +
                             std::to_string(files_.size()) + ".img";
    image_ = ImageBytes(length);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
      ADD_FAILURE() << "cannot write " << path;
      return path;
    }
    if (length > 0) std::fwrite(image_.data(), 1, length, f);
    std::fclose(f);
    files_.push_back(path);
    return path;
  }

  // What the operation does before the session takes over: image, button,
  // connect, first query. Then the event loop runs until nothing is left.
  void StartRun(const std::string& path, std::uint32_t length) {
    log_.ClearLog();
    op_.SetDownloadEnabled(false);
    session_.SetImage(path, length);
    ASSERT_TRUE(session_.ConnectDevice(kHost, kPort));
    session_.SendStatusQuery();
    link_.Run();
  }

  // The device acknowledges the size and every block of an image.
  void ScriptAcksFor(std::size_t length) {
    link_.ThenFrame(AckFrame());  // the SizeRequest
    for (std::size_t sent = 0; sent < length; sent += 65536) link_.ThenFrame(AckFrame());
  }

  // Lines the log received after ClearLog, as they were appended.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (const std::string& t : op_.trail)
      if (t.rfind("log:", 0) == 0) lines.push_back(t.substr(4));
    return lines;
  }

  void ExpectEndedWith(RunOutcome outcome) {
    EXPECT_EQ(session_.LastOutcome(), outcome);
    EXPECT_FALSE(session_.HasConnection());
    EXPECT_EQ(link_.Current(), nullptr);
    ASSERT_FALSE(op_.enables.empty());
    EXPECT_TRUE(op_.enables.back()) << "the Download button stays disabled";
  }

  FakeDeviceLink link_;
  FakeOperator op_;
  LogPane log_;
  ProtocolSession session_;
  std::vector<std::uint8_t> image_;
  std::vector<std::string> files_;
};

// ---------------------------------------------------------------------------
// Successful runs

TEST_F(SessionTest, FirmwareRunSwitchesAgainWhileTheDeviceAnswersStatus1) {
  const std::string path = WriteImage(1024);
  link_.ThenFrame(StatusFrame(1));
  link_.ThenFrame(AckFrame());
  link_.Then(Reply::Frame({0x52, 0x05, 0x00, 0x01, 0, 0, 0, 0}));  // status 1, other byte order
  link_.ThenFrame(AckFrame());
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(1024);
  StartRun(path, 1024);

  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(link_.waits, (std::vector<int>{3000, 3000}));
  EXPECT_EQ(link_.connectionsCreated, 3);
  EXPECT_EQ(link_.connectTargets, (std::vector<std::string>(3, "127.0.0.1:2222")));
  ASSERT_EQ(link_.requests.size(), 7u);
  const std::vector<std::pair<int, ProtocolFrame>> expected = {
      {0, BuildStatusQuery()}, {0, BuildSwitchRequest()}, {1, BuildStatusQuery()}, {1, BuildSwitchRequest()},
      {2, BuildStatusQuery()}, {2, BuildSizeRequest(1024)},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(link_.requests[i].kind, SentRequest::Kind::Frame) << i;
    EXPECT_EQ(link_.requests[i].connection, expected[i].first) << i;
    EXPECT_EQ(link_.requests[i].frame, expected[i].second) << i;
  }
  EXPECT_EQ(link_.requests[6].bytes, image_);
  EXPECT_EQ(session_.State(), SendingBlocks);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"127.0.0.1 Connecting...\r\n", "Download mode...\r\n",
                                                  "127.0.0.1 Connecting...\r\n", "Download mode...\r\n",
                                                  "127.0.0.1 Connecting...\r\n", "Download start\r\n",
                                                  "1KBytes downloaded\r\n", "Download finished\r\n"}));
  EXPECT_EQ(link_.unanswered, 0);
}

// The whole log and every box of a run, in the order the operator sees them.
struct LanguageCase {
  Language language;
  std::vector<std::string> trail;
};

void PrintTo(const LanguageCase& c, std::ostream* os) {
  *os << (c.language == Language::Japanese ? "Japanese" : "English");
}

class SessionLanguageTest : public SessionTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(SessionLanguageTest, WholeLogAndBoxesOfASuccessfulRun) {
  SetActiveLanguage(GetParam().language);
  const std::string path = WriteImage(200 * 1024);
  link_.ThenFrame(StatusFrame(1));
  link_.ThenFrame(AckFrame());
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(200 * 1024);
  StartRun(path, 200 * 1024);
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

// Image lengths at and around the block and piece boundaries.
struct ImageCase {
  std::size_t length;
  std::vector<std::size_t> blocks;  // block sizes the device sees
  std::size_t blockSentLines;       // "64K bytes sent" lines
  long kilobytes;                   // count of the final line (whole image, rounded up)
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.length << " bytes"; }

class SessionImageTest : public SessionTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(SessionImageTest, SendsTheFileInBlocksOf64KAndPiecesOf1K) {
  const ImageCase& c = GetParam();
  const std::string path = WriteImage(c.length);
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(c.length);
  StartRun(path, static_cast<std::uint32_t>(c.length));

  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(link_.BlockSizes(), c.blocks);
  EXPECT_EQ(link_.BlockBytes(), image_);
  // Two frames (query, size), then the image as 1,024-byte pieces with a
  // shorter last one.
  ASSERT_EQ(link_.sendSizes.size(), 2 + (c.length + 1023) / 1024);
  for (std::size_t i = 2; i + 1 < link_.sendSizes.size(); ++i) EXPECT_EQ(link_.sendSizes[i], 1024u) << i;
  EXPECT_EQ(link_.sendSizes.back(), c.length % 1024 == 0 ? 1024 : c.length % 1024);
  std::size_t blockLines = 0;
  for (const std::string& line : LogLines()) blockLines += line == "64K bytes sent\r\n";
  EXPECT_EQ(blockLines, c.blockSentLines);
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], std::to_string(c.kilobytes) + "KBytes downloaded\r\n");
  EXPECT_EQ(link_.unanswered, 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SessionImageTest,
                         ::testing::Values(ImageCase{1024, {1024}, 0, 1}, ImageCase{1500, {1500}, 0, 2},
                                           ImageCase{65536, {65536}, 0, 64},
                                           ImageCase{65537, {65536, 1}, 1, 65},
                                           ImageCase{200 * 1024, {65536, 65536, 65536, 8192}, 3, 200},
                                           ImageCase{131072, {65536, 65536}, 1, 128}));

TEST_F(SessionTest, UserModuleRunNamesTheSectorBeforeTheSize) {
  const std::string path = WriteImage(3000);
  session_.SetUserModuleFlag(true);
  session_.SetUserBaseAddress("00400000");
  link_.Expect(BuildStatusQuery(), Reply::Frame(StatusFrame(2)));
  link_.Expect(ProtocolFrame{0x51, 0x23, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00}, Reply::Frame(StatusFrame(3)));
  link_.Expect(ProtocolFrame{0x51, 0x22, 0x00, 0x00, 0x0B, 0xB8, 0x00, 0x00}, Reply::Frame(AckFrame()));
  link_.ExpectBlock(3000, Reply::Frame(AckFrame()));
  op_.answers = {Answer::Ok};
  StartRun(path, 3000);

  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(link_.requests.size(), 4u);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"127.0.0.1 Connecting...\r\n",
                                                  "Specifying special sector for user module\r\n",
                                                  "Download start\r\n", "3KBytes downloaded\r\n",
                                                  "Download finished\r\n"}));
  EXPECT_EQ(link_.BlockBytes(), image_);
}

TEST_F(SessionTest, SectorAddressFollowsTheHexRuleOnAtMost15Characters) {
  struct Case {
    const char* text;
    std::uint32_t address;
  };
  for (const Case& c : {Case{"ABCDEF12", 0xABCDEF12u}, Case{"0x400000", 0u}, Case{" 400000", 0u},
                        Case{"4000zz", 0x4000u}, Case{"", 0u}, Case{"123456789", 0x23456789u},
                        // 16 digits: the last is beyond the 15 converted.
                        Case{"0000000FEDCBA987", 0xFEDCBA98u}}) {
    session_.SetUserModuleFlag(true);
    session_.SetUserBaseAddress(c.text);
    link_.ThenFrame(StatusFrame(2));
    link_.ThenFrame(NakFrame(0x8000));  // end the run right after the sector request
    link_.requests.clear();
    StartRun("unused.img", 1);
    const std::vector<ProtocolFrame> frames = link_.Frames();
    ASSERT_EQ(frames.size(), 2u) << c.text;
    EXPECT_EQ(frames[1], BuildSectorRequest(c.address)) << c.text;
  }
}

// ---------------------------------------------------------------------------
// Refusals and protocol errors

struct RefusalCase {
  std::uint16_t flags;
  std::vector<std::string> boxes;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << "flags 0x" << std::hex << c.flags; }

class SessionNakTest : public SessionTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SessionNakTest, NakEndsTheRunWithItsMessage) {
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  link_.ThenFrame(NakFrame(GetParam().flags));  // in place of the size acknowledgement
  StartRun(WriteImage(100), 100);
  ExpectEndedWith(RunOutcome::Failed);
  std::vector<std::string> expected = {"Permanent write! Continue?"};
  expected.insert(expected.end(), GetParam().boxes.begin(), GetParam().boxes.end());
  EXPECT_EQ(op_.BoxTexts(), expected);
  // No log line after "Download start"; nothing sent after the size request.
  EXPECT_EQ(LogLines().back(), "Download start\r\n");
  EXPECT_TRUE(link_.BlockSizes().empty());
  // The boxes come while the connection is still open.
  EXPECT_EQ(op_.trail.back(), "enabled");
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

TEST_F(SessionTest, DialRefusalShowsBothBoxesBeforeTheConnectionCloses) {
  link_.ThenFrame(NakFrame(0x0010));
  int closesDuringBoxes = -1;
  op_.whileBoxOpen = [&](const FakeOperator::Box&) { closesDuringBoxes = link_.closes; };
  StartRun("unused.img", 1);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"NAK(Dial-in/Dial-out is used)", "Dial-in/dial-out error"}));
  EXPECT_EQ(closesDuringBoxes, 0);
  EXPECT_EQ(link_.closes, 1);
  ExpectEndedWith(RunOutcome::Failed);
}

TEST_F(SessionTest, NakAfterABlockStopsSending) {
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  link_.ThenFrame(AckFrame());
  link_.ThenFrame(NakFrame(0x0001));
  StartRun(WriteImage(200 * 1024), 200 * 1024);
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_EQ(link_.BlockSizes(), (std::vector<std::size_t>{65536}));
  EXPECT_EQ(op_.BoxTexts().back(), "NAK(Flash ROM write error)");
}

struct ErrorCase {
  const char* name;
  std::vector<ProtocolFrame> replies;  // the last one is the faulty reply
  bool userModule;
  const char* box;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class SessionErrorTest : public SessionTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(SessionErrorTest, UnexpectedReplyEndsTheRun) {
  session_.SetUserModuleFlag(GetParam().userModule);
  session_.SetUserBaseAddress("100000");
  for (const ProtocolFrame& f : GetParam().replies) link_.ThenFrame(f);
  const std::size_t before = GetParam().replies.size();
  StartRun("unused.img", 1);
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{GetParam().box}));
  EXPECT_EQ(link_.requests.size(), before) << "something was sent after the faulty reply";
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

TEST_F(SessionTest, AckToTheFirstQueryOfALaterRunIsNotTakenForTheEndOfTheLastImage) {
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(1024);
  StartRun(WriteImage(1024), 1024);
  ASSERT_EQ(session_.LastOutcome(), RunOutcome::Finished);
  op_.boxes.clear();
  link_.ThenFrame(AckFrame());
  StartRun(files_.back(), 1024);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"115:IDS_WARN_RETCODE"}));
  ExpectEndedWith(RunOutcome::Failed);
}

// ---------------------------------------------------------------------------
// Operator's answers

TEST_F(SessionTest, CancelAtTheConfirmationSendsNothingAndClearsTheUserModuleFlag) {
  session_.SetUserModuleFlag(true);
  session_.SetUserBaseAddress("400000");
  link_.ThenFrame(StatusFrame(2));
  link_.ThenFrame(StatusFrame(3));
  op_.answers = {Answer::Cancel};
  StartRun(WriteImage(5000), 5000);

  ExpectEndedWith(RunOutcome::Cancelled);
  EXPECT_FALSE(session_.UserModuleFlag());
  ASSERT_EQ(link_.requests.size(), 2u);  // query and sector request only
  EXPECT_EQ(link_.sendSizes.size(), 2u);
  EXPECT_EQ(op_.trail, (std::vector<std::string>{"disabled", "log:127.0.0.1 Connecting...\r\n",
                                                 "log:Specifying special sector for user module\r\n",
                                                 "box:Permanent write! Continue?", "enabled",
                                                 "log:Download cancelled\r\n"}));
  EXPECT_EQ(op_.boxes[0].buttons, ButtonSet::OkCancel);

  // The next run, a firmware run, asks for the size directly on status 2.
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  ScriptAcksFor(5000);
  link_.requests.clear();
  StartRun(files_.back(), 5000);
  ExpectEndedWith(RunOutcome::Finished);
  const std::vector<ProtocolFrame> frames = link_.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1], BuildSizeRequest(5000));
}

TEST_F(SessionTest, RetryIsAskedAfterEveryFailedConnectUntilYesSucceeds) {
  link_.connectResults = {false, false, true};
  op_.answers = {Answer::Yes, Answer::Yes};
  EXPECT_TRUE(session_.ConnectDevice(kHost, kPort));
  EXPECT_EQ(link_.connectAttempts, 3);
  ASSERT_EQ(op_.boxes.size(), 2u);
  EXPECT_EQ(op_.boxes[0].text, "Retry?");
  EXPECT_EQ(op_.boxes[0].buttons, ButtonSet::YesNo);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"127.0.0.1 Connecting...\r\n"}));
  EXPECT_TRUE(session_.HasConnection());
}

TEST_F(SessionTest, NoToRetryAtTheFirstConnectGivesUpWithoutAnotherBox) {
  link_.connectResults = {false};
  op_.answers = {Answer::No};
  EXPECT_FALSE(session_.ConnectDevice(kHost, kPort));
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Retry?"}));
  EXPECT_FALSE(session_.HasConnection());
  EXPECT_EQ(session_.LastOutcome(), RunOutcome::Failed);
  EXPECT_EQ(session_.LastConnectError(), "connection refused");
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(SessionTest, NoToRetryAfterTheModeSwitchEndsTheRunWithConnectError) {
  link_.ThenFrame(StatusFrame(1));
  link_.ThenFrame(AckFrame());
  link_.connectResults = {true, false};
  op_.answers = {Answer::No};
  StartRun("unused.img", 1);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Retry?", "Connect error"}));
  EXPECT_EQ(link_.waits, (std::vector<int>{3000}));
  ExpectEndedWith(RunOutcome::Failed);
}

TEST_F(SessionTest, SocketThatCannotBeCreatedIsReported) {
  link_.createFailures = 1;
  EXPECT_FALSE(session_.ConnectDevice(kHost, kPort));
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"129:IDS_ERROR_SOCKET"}));

  // At the reconnect the session adds message 109 itself.
  op_.boxes.clear();
  link_.ThenFrame(StatusFrame(1));
  link_.ThenFrame(AckFrame());
  op_.whileBoxOpen = nullptr;
  log_.ClearLog();
  ASSERT_TRUE(session_.ConnectDevice(kHost, kPort));
  link_.createFailures = 1;
  session_.SendStatusQuery();
  link_.Run();
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"129:IDS_ERROR_SOCKET", "Connect error"}));
  ExpectEndedWith(RunOutcome::Failed);
}

// ---------------------------------------------------------------------------
// Frames across reads, and faults of the link

enum class Delivery { Whole, ByteByByte, ThreeThenFive };

class SessionDeliveryTest : public SessionTest, public ::testing::WithParamInterface<Delivery> {
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
  const std::string path = WriteImage(70000);
  link_.Then(Deliver(StatusFrame(1)));
  link_.Then(Deliver(AckFrame()));
  link_.Then(Deliver(StatusFrame(2)));
  link_.Then(Deliver(AckFrame()));
  link_.Then(Deliver(AckFrame()));
  link_.Then(Deliver(AckFrame()));
  op_.answers = {Answer::Ok};
  StartRun(path, 70000);
  ExpectEndedWith(RunOutcome::Finished);
  EXPECT_EQ(link_.BlockBytes(), image_);
  // A read never asks for more than the frame still lacks.
  for (std::size_t size : link_.readSizes) EXPECT_LE(size, 8u);
}

INSTANTIATE_TEST_SUITE_P(Splits, SessionDeliveryTest,
                         ::testing::Values(Delivery::Whole, Delivery::ByteByByte, Delivery::ThreeThenFive));

TEST_F(SessionTest, PartialFrameWaitsForTheRestWithoutReportingAnything) {
  link_.Then(Reply::Bytes({0x52, 0x05, 0x02}));
  StartRun("unused.img", 1);
  EXPECT_TRUE(session_.HasConnection());
  EXPECT_TRUE(op_.boxes.empty());
  EXPECT_EQ(link_.readSizes, (std::vector<std::size_t>{8, 5}));
}

struct LinkFaultCase {
  const char* name;
  Reply reply;
};

void PrintTo(const LinkFaultCase& c, std::ostream* os) { *os << c.name; }

class SessionLinkFaultTest : public SessionTest, public ::testing::WithParamInterface<LinkFaultCase> {};

TEST_P(SessionLinkFaultTest, EndsTheRunWithMessage128) {
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  link_.Then(GetParam().reply);  // in answer to the size request
  StartRun(WriteImage(2048), 2048);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Permanent write! Continue?", "128:IDS_ERROR_TOOMANY"}));
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_TRUE(link_.BlockSizes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionLinkFaultTest,
    ::testing::Values(LinkFaultCase{"ClosedWhileAwaited", Reply::Close()},
                      LinkFaultCase{"ClosedAfterThreeBytes", Reply::Bytes({0x52, 0x03, 0x00}).ThenClose()},
                      LinkFaultCase{"ReadFailure", Reply::ReadFailure()},
                      LinkFaultCase{"ReadFailureMidFrame", Reply::Bytes({0x52, 0x03, 0x00, 0x00}).ThenFail()},
                      LinkFaultCase{"TrailingByte", Reply::Bytes({0x52, 0x03, 0, 0, 0, 0, 0, 0, 0x52})},
                      LinkFaultCase{"TwoFramesAtOnce", Reply::Bytes({0x52, 0x03, 0, 0, 0, 0, 0, 0, 0x52, 0x03,
                                                                     0, 0, 0, 0, 0, 0})},
                      // The last piece of a split frame brings a byte too many.
                      LinkFaultCase{"SplitWithTrailing", Reply::Bytes({0x52, 0x03, 0, 0, 0}).ThenBytes({0, 0, 0, 1})}),
    [](const ::testing::TestParamInfo<LinkFaultCase>& info) { return std::string(info.param.name); });

TEST_F(SessionTest, FailedSendEndsTheRun) {
  // 1: query, 2: size request, 3..: pieces. Fail the 10th piece.
  for (int failAt : {1, 2, 12}) {
    op_.boxes.clear();
    link_.ThenFrame(StatusFrame(2));
    op_.answers = {Answer::Ok};
    ScriptAcksFor(20000);
    link_.failSendOnCall = failAt;
    const std::size_t sendsBefore = link_.sendSizes.size();
    StartRun(files_.empty() ? WriteImage(20000) : files_.back(), 20000);
    if (failAt == 1) {
      // The failure comes from SendStatusQuery itself, before the loop ran.
      EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Send error"})) << failAt;
    } else {
      EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Permanent write! Continue?", "Send error"})) << failAt;
    }
    ExpectEndedWith(RunOutcome::Failed);
    // Nothing more is sent after the failing call.
    EXPECT_EQ(link_.sendSizes.size() - sendsBefore, static_cast<std::size_t>(failAt - 1)) << failAt;
    link_ = FakeDeviceLink();
  }
}

TEST_F(SessionTest, MissingImageFileIsReportedAndNotCreated) {
  const std::string path = ::testing::TempDir() + "no_such_image_" + std::to_string(getpid()) + ".img";
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  link_.ThenFrame(AckFrame());
  StartRun(path, 4096);
  ExpectEndedWith(RunOutcome::Failed);
  ASSERT_EQ(op_.boxes.size(), 2u);
  EXPECT_EQ(op_.boxes[1].text, "Cannot open image file " + path + ": No such file or directory");
  struct stat st;
  EXPECT_NE(stat(path.c_str(), &st), 0) << "the image file was created";
  EXPECT_EQ(link_.sendSizes.size(), 2u);
}

TEST_F(SessionTest, EmptyImageIsRefusedBeforeTheConfirmation) {
  // A device would acknowledge the size and then wait for a block that never
  // comes, and so would the run: nothing is announced at all.
  link_.ThenFrame(StatusFrame(2));
  StartRun(WriteImage(0), 0);
  ExpectEndedWith(RunOutcome::Failed);
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"The image file is empty: nothing to download"}));
  EXPECT_EQ(link_.sendSizes.size(), 1u);  // only the status query went out
}

TEST_F(SessionTest, ImageShorterThanAnnouncedIsReportedInsteadOfSendingGarbage) {
  const std::string path = WriteImage(1000);
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  link_.ThenFrame(AckFrame());
  StartRun(path, 70000);
  ExpectEndedWith(RunOutcome::Failed);
  ASSERT_EQ(op_.boxes.size(), 2u);
  EXPECT_EQ(op_.boxes[1].text, "Image file " + path + " ends before the announced 70000 bytes");
  EXPECT_EQ(link_.sendSizes.size(), 2u);  // no piece of the short file went out
}

TEST_F(SessionTest, DirectoryAsImageIsAReadError) {
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  link_.ThenFrame(AckFrame());
  const std::string dir = ::testing::TempDir();
  StartRun(dir, 100);
  ExpectEndedWith(RunOutcome::Failed);
  ASSERT_EQ(op_.boxes.size(), 2u);
  EXPECT_EQ(op_.boxes[1].text.rfind("Cannot", 0), 0u) << op_.boxes[1].text;
  EXPECT_NE(op_.boxes[1].text.find(dir), std::string::npos);
}

// ---------------------------------------------------------------------------
// Closing the window

class SessionShutdownTest : public SessionTest, public ::testing::WithParamInterface<testing::DrainBehaviour> {};

TEST_P(SessionShutdownTest, DrainIsBoundedWhateverTheDeviceDoes) {
  link_.drain = GetParam();
  link_.Then(Reply::Silence());
  StartRun("unused.img", 1);
  ASSERT_TRUE(session_.HasConnection());
  const std::int64_t start = link_.nowMs;
  session_.ShutdownConnection();
  EXPECT_EQ(link_.shutdownSends, 1);
  EXPECT_LE(link_.nowMs - start, ProtocolSession::kShutdownDrainLimitMs + 10);
  ASSERT_FALSE(link_.drainTimeouts.empty());
  for (int t : link_.drainTimeouts) {
    EXPECT_GT(t, 0);
    EXPECT_LE(t, ProtocolSession::kShutdownDrainLimitMs);
  }
  ExpectEndedWith(RunOutcome::Closed);
  // Without a connection it does nothing.
  session_.ShutdownConnection();
  EXPECT_EQ(link_.shutdownSends, 1);
}

INSTANTIATE_TEST_SUITE_P(Devices, SessionShutdownTest,
                         ::testing::Values(testing::DrainBehaviour::PeerCloses, testing::DrainBehaviour::Silent,
                                           testing::DrainBehaviour::Chatter));

TEST_F(SessionTest, WindowClosedWhileTheConfirmationIsOpen) {
  link_.ThenFrame(StatusFrame(2));
  op_.answers = {Answer::Ok};
  op_.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.buttons == ButtonSet::OkCancel) session_.ShutdownConnection();
  };
  StartRun(WriteImage(100), 100);
  ExpectEndedWith(RunOutcome::Closed);
  EXPECT_EQ(link_.sendSizes.size(), 1u);  // the size request never went out
}

TEST_F(SessionTest, WindowClosedWhileRetryIsOpenAfterTheModeSwitch) {
  link_.ThenFrame(StatusFrame(1));
  link_.ThenFrame(AckFrame());
  link_.connectResults = {true, false};
  op_.answers = {Answer::Yes};
  op_.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.buttons == ButtonSet::YesNo) session_.ShutdownConnection();
  };
  StartRun("unused.img", 1);
  // No "Connect error" after the window has gone, and no further attempt.
  EXPECT_EQ(op_.BoxTexts(), (std::vector<std::string>{"Retry?"}));
  EXPECT_EQ(link_.connectAttempts, 2);
  ExpectEndedWith(RunOutcome::Closed);
}

TEST_F(SessionTest, NotificationDuringABoxIsServedAfterTheHandlerReturns) {
  // The device sends its reply to the block while the handler is still busy
  // with the confirmation box, and a front end delivers the notification
  // from the box's event loop. It must not be lost.
  const std::string path = WriteImage(10);
  link_.ThenFrame(StatusFrame(2));
  link_.ThenFrame(AckFrame());
  link_.ThenFrame(AckFrame());
  op_.answers = {Answer::Ok};
  op_.whileBoxOpen = [&](const FakeOperator::Box& box) {
    if (box.buttons == ButtonSet::OkCancel) session_.OnSocketReceive();  // nothing to read yet
  };
  StartRun(path, 10);
  ExpectEndedWith(RunOutcome::Finished);
}

}  // namespace
}  // namespace mervix
