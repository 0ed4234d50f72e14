// The decoder on hand-made streams: a known-good stream, the two ways of
// ending (padding or an expected size), and malformed input of every kind
// that must be refused without reading out of bounds.
#include "compress/Lh5Decoder.h"

#include <gtest/gtest.h>

#include <random>

namespace mervix {
namespace {

// "abc" as three literals in one block (token count 3, code-length code,
// main lengths a=2 b=1 c=2, no distance class, codes 10 0 11).
const std::vector<std::uint8_t> kAbcStream = {0x00, 0x03, 0x28, 0x08, 0x44, 0xC9, 0x13, 0x58, 0x02, 0x60};

std::string AsText(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(Lh5Decoder, DecodesAKnownStreamEitherWayOfEnding) {
  std::vector<std::uint8_t> out;
  std::string error;
  ASSERT_TRUE(DecodeLh5(kAbcStream.data(), kAbcStream.size(), std::nullopt, &out, &error)) << error;
  EXPECT_EQ(AsText(out), "abc");

  ASSERT_TRUE(DecodeLh5(kAbcStream.data(), kAbcStream.size(), 3, &out, &error)) << error;
  EXPECT_EQ(AsText(out), "abc");

  // A shorter expected size stops inside the block.
  ASSERT_TRUE(DecodeLh5(kAbcStream.data(), kAbcStream.size(), 2, &out, &error)) << error;
  EXPECT_EQ(AsText(out), "ab");

  // With an expected size, a trailer after the stream is ignored.
  std::vector<std::uint8_t> withTrailer = kAbcStream;
  for (char c : std::string("TOVA")) withTrailer.push_back(static_cast<std::uint8_t>(c));
  ASSERT_TRUE(DecodeLh5(withTrailer.data(), withTrailer.size(), 3, &out, &error)) << error;
  EXPECT_EQ(AsText(out), "abc");
  // Without one, the trailer is read as a block and refused.
  EXPECT_FALSE(DecodeLh5(withTrailer.data(), withTrailer.size(), std::nullopt, &out, &error));
}

TEST(Lh5Decoder, EmptyInputIsAnEmptyStream) {
  std::vector<std::uint8_t> out = {1, 2, 3};
  std::string error;
  EXPECT_TRUE(DecodeLh5(nullptr, 0, std::nullopt, &out, &error));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(DecodeLh5(nullptr, 0, 0, &out, &error));
  EXPECT_FALSE(DecodeLh5(nullptr, 0, 1, &out, &error));
  EXPECT_FALSE(DecodeLh5(kAbcStream.data(), kAbcStream.size(), std::nullopt, nullptr, &error));
}

TEST(Lh5Decoder, RefusesMalformedStreams) {
  std::vector<std::uint8_t> out;
  std::string error;
  // Truncated at every length: never a success with the expected size.
  for (std::size_t n = 0; n < kAbcStream.size(); ++n) {
    EXPECT_FALSE(DecodeLh5(kAbcStream.data(), n, 3, &out, &error)) << n;
  }
  // The expected size is more than the stream holds.
  EXPECT_FALSE(DecodeLh5(kAbcStream.data(), kAbcStream.size(), 4, &out, &error));
  // Non-zero padding bits in the last byte.
  std::vector<std::uint8_t> padded = kAbcStream;
  padded.back() |= 0x01;
  EXPECT_FALSE(DecodeLh5(padded.data(), padded.size(), std::nullopt, &out, &error));
  // A block with zero tokens.
  const std::uint8_t empty[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_FALSE(DecodeLh5(empty, sizeof empty, std::nullopt, &out, &error));
  // A single main symbol out of range: N=1, 5+5 bits 0, 9 bits 0, 9 bits 511.
  // Bits: 0000000000000001 00000 00000 000000000 111111111 ...
  const std::uint8_t badSymbol[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x7F, 0xC0, 0x00};
  EXPECT_FALSE(DecodeLh5(badSymbol, sizeof badSymbol, std::nullopt, &out, &error));
  // A match as the very first token reaches before the data: single main
  // symbol 256 (a match of 3), single distance class 0.
  // 16: N=1 | 5:0 5:0 | 9:0 9:256 | 4:0 4:0
  const std::uint8_t earlyMatch[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00};
  EXPECT_FALSE(DecodeLh5(earlyMatch, sizeof earlyMatch, std::nullopt, &out, &error));
  EXPECT_FALSE(error.empty());
}

TEST(Lh5Decoder, SurvivesRandomAndMutatedInput) {
  // Decoding garbage must end, with or without success, and never overrun:
  // run under the sanitizers or valgrind to check the latter.
  std::mt19937 rng(12345);
  std::vector<std::uint8_t> out;
  std::string error;
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> data = kAbcStream;
    if (round % 2 == 0) {
      data.resize(1 + rng() % 64);
      for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    } else {
      data[rng() % data.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    const bool ok = DecodeLh5(data.data(), data.size(), std::nullopt, &out, &error);
    if (ok) {
      EXPECT_LE(out.size(), kMaxLh5DecodedSize);
    }
    DecodeLh5(data.data(), data.size(), 100, &out, &error);
    EXPECT_LE(out.size(), 100u);
  }
}

}  // namespace
}  // namespace mervix
