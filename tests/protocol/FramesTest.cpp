// The frame builders, the response classification and the block layout,
// checked against the byte values of the wire protocol.
#include "protocol/Frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace mervix {
namespace {

ProtocolFrame F(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2 = 0, std::uint8_t b3 = 0, std::uint8_t b4 = 0,
                std::uint8_t b5 = 0, std::uint8_t b6 = 0, std::uint8_t b7 = 0) {
  return ProtocolFrame{b0, b1, b2, b3, b4, b5, b6, b7};
}

TEST(FrameBuilders, RequestsHaveTheirExactBytes) {
  EXPECT_EQ(BuildStatusQuery(), F(0x51, 0x21));
  // "Q SWITCH" in ASCII.
  EXPECT_EQ(BuildSwitchRequest(), F(0x51, 0x20, 0x53, 0x57, 0x49, 0x54, 0x43, 0x48));
  EXPECT_EQ(BuildSizeRequest(1500), F(0x51, 0x22, 0x00, 0x00, 0x05, 0xDC));
  EXPECT_EQ(BuildSectorRequest(0x00400000), F(0x51, 0x23, 0x00, 0x40, 0x00, 0x00));
}

TEST(FrameBuilders, WordsAreBigEndianOverTheFullRange) {
  EXPECT_EQ(BuildSizeRequest(0x12345678), F(0x51, 0x22, 0x12, 0x34, 0x56, 0x78));
  EXPECT_EQ(BuildSizeRequest(0xFFFFFFFFu), F(0x51, 0x22, 0xFF, 0xFF, 0xFF, 0xFF));
  EXPECT_EQ(BuildSizeRequest(0), F(0x51, 0x22));
  EXPECT_EQ(BuildSectorRequest(0xA3A2A1A0u), F(0x51, 0x23, 0xA3, 0xA2, 0xA1, 0xA0));
}

TEST(ClassifyResponse, AckIgnoresItsParameterBytes) {
  for (const ProtocolFrame& frame : {F(0x52, 0x03), F(0x52, 0x03, 0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA),
                                     F(0x52, 0x03, 0x52, 0x06, 0x80, 0x00)}) {
    const ResponseClass r = ClassifyResponse(frame);
    EXPECT_EQ(r.kind, ResponseKind::Ack);
    EXPECT_EQ(r.messageId, 0);
  }
}

TEST(ClassifyResponse, TheFiveStatusPatternsAndNothingElse) {
  struct Case {
    ProtocolFrame frame;
    ResponseKind kind;
    int status;
  };
  const std::vector<Case> cases = {
      {F(0x52, 0x05, 0x01, 0x00), ResponseKind::StatusReply, 1},
      {F(0x52, 0x05, 0x00, 0x01), ResponseKind::StatusReply, 1},
      {F(0x52, 0x05, 0x02, 0x00), ResponseKind::StatusReply, 2},
      {F(0x52, 0x05, 0x00, 0x02), ResponseKind::StatusReply, 2},
      {F(0x52, 0x05, 0x03, 0x00), ResponseKind::StatusReply, 3},
      // Status 3 only in the first byte.
      {F(0x52, 0x05, 0x00, 0x03), ResponseKind::BadStatus, 0},
      // A non-zero byte anywhere in 4..7.
      {F(0x52, 0x05, 0x01, 0x00, 0x01), ResponseKind::BadStatus, 0},
      {F(0x52, 0x05, 0x02, 0x00, 0, 0, 0, 0x01), ResponseKind::BadStatus, 0},
      {F(0x52, 0x05, 0x03, 0x00, 0, 0, 0x80), ResponseKind::BadStatus, 0},
      {F(0x52, 0x05, 0x01, 0x01), ResponseKind::BadStatus, 0},
      {F(0x52, 0x05), ResponseKind::BadStatus, 0},
      {F(0x52, 0x05, 0x04, 0x00), ResponseKind::BadStatus, 0},
  };
  for (const Case& c : cases) {
    const ResponseClass r = ClassifyResponse(c.frame);
    EXPECT_EQ(r.kind, c.kind) << "bytes 2..4: " << int(c.frame[2]) << " " << int(c.frame[3]) << " "
                              << int(c.frame[4]);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.messageId, c.kind == ResponseKind::BadStatus ? 126 : 0);
  }
}

TEST(ClassifyResponse, NakReasonIsTheFirstSetFlagInTableOrder) {
  struct Case {
    std::uint16_t flags;
    std::uint16_t id;
  };
  const std::vector<Case> cases = {
      {0x8000, 116}, {0x0020, 117}, {0x0010, 118}, {0x0008, 119}, {0x0004, 121}, {0x0002, 122},
      {0x0001, 123}, {0x0000, 124}, {0x0040, 124}, {0x7FC0, 124},  // bits 6..14 only
      {0x8001, 116}, {0x0021, 117}, {0x0011, 118}, {0x000C, 119}, {0x0006, 121}, {0x0003, 122},
      {0xFFFF, 116}, {0x0041, 123},
  };
  for (const Case& c : cases) {
    // Bytes 4..7 are not examined.
    const ResponseClass r = ClassifyResponse(
        F(0x52, 0x06, static_cast<std::uint8_t>(c.flags >> 8), static_cast<std::uint8_t>(c.flags), 0xAA, 0xBB));
    EXPECT_EQ(r.kind, ResponseKind::Nak) << std::hex << c.flags;
    EXPECT_EQ(r.nakFlags, c.flags);
    EXPECT_EQ(r.messageId, c.id) << std::hex << c.flags;
  }
}

TEST(ClassifyResponse, EveryOtherCodeIsBad) {
  for (const ProtocolFrame& frame :
       {F(0x52, 0x04), F(0x52, 0x00), F(0x52, 0x07), F(0x51, 0x03), F(0x51, 0x21), F(0x03, 0x52), F(0, 0),
        F(0xFF, 0xFF)}) {
    const ResponseClass r = ClassifyResponse(frame);
    EXPECT_EQ(r.kind, ResponseKind::BadCode) << int(frame[0]) << " " << int(frame[1]);
    EXPECT_EQ(r.messageId, 127);
  }
}

TEST(BlockRanges, BlocksOf64KWithAShortLastOne) {
  EXPECT_TRUE(BlockRanges(0).empty());
  EXPECT_EQ(BlockRanges(1), (std::vector<BlockRange>{{0, 1}}));
  EXPECT_EQ(BlockRanges(1500), (std::vector<BlockRange>{{0, 1500}}));
  EXPECT_EQ(BlockRanges(65535), (std::vector<BlockRange>{{0, 65535}}));
  EXPECT_EQ(BlockRanges(65536), (std::vector<BlockRange>{{0, 65536}}));
  EXPECT_EQ(BlockRanges(65537), (std::vector<BlockRange>{{0, 65536}, {65536, 1}}));
  EXPECT_EQ(BlockRanges(200 * 1024),
            (std::vector<BlockRange>{{0, 65536}, {65536, 65536}, {131072, 65536}, {196608, 8192}}));
}

TEST(BlockRanges, CoverTheImageContiguouslyUpToFourGigabytes) {
  for (const std::uint32_t length : {2031616u, 131072u, 0xFFFFFFFFu, 0xFFFF0000u, 0xFFFF0001u}) {
    const std::vector<BlockRange> blocks = BlockRanges(length);
    std::uint64_t next = 0;
    for (const BlockRange& b : blocks) {
      ASSERT_EQ(b.offset, next);
      ASSERT_GT(b.size, 0u);
      ASSERT_LE(b.size, 65536u);
      next += b.size;
    }
    EXPECT_EQ(next, length);
    EXPECT_EQ(blocks.size(), (static_cast<std::uint64_t>(length) + 65535) / 65536);
  }
}

}  // namespace
}  // namespace mervix
