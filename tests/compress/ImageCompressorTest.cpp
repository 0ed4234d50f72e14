// The coder as its caller sees it: the exact streams of the known inputs,
// the token decisions, block boundaries, window slides, memory and its
// fallback, and the calling contract.
#include <gtest/gtest.h>

#include <algorithm>

#include "compress/ImageCompressor.h"
#include "compress/Lh5Decoder.h"
#include "tests/compress/FirmwareLikeImage.h"
#include "tests/compress/Lh5TestSupport.h"

namespace mervix {
namespace {

using testing::Compress;
using testing::CompressResult;
using testing::RecordingSink;
using testing::ScriptedAllocator;
using testing::kBlockBufferRequest;
using testing::TokenRecorder;
using Token = TokenRecorder::Token;

const char kMemoryLine[] = "使用メモリ:4605+3224+174814+16384=199027バイト\n";

std::vector<std::uint8_t> Bytes(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

std::vector<std::uint8_t> Decode(const std::vector<std::uint8_t>& stream, testing::CompressResult* = nullptr,
                                 Lh5StreamInfo* info = nullptr) {
  std::vector<std::uint8_t> out;
  std::string error;
  EXPECT_TRUE(DecodeLh5(stream.data(), stream.size(), std::nullopt, &out, &error, info)) << error;
  return out;
}

TEST(ImageCompressor, KnownStreams) {
  // "abc": three literals, one block.
  CompressResult abc = Compress(Bytes("abc"));
  ASSERT_EQ(abc.started, 1);
  const std::vector<std::uint8_t> expected = {0x00, 0x03, 0x28, 0x08, 0x44, 0xC9, 0x13, 0x58, 0x02, 0x60};
  EXPECT_EQ(abc.stream, expected);
  EXPECT_EQ(abc.returned, 10u);
  EXPECT_EQ(abc.inputSize, 3u);
  EXPECT_EQ(abc.diagnostics, kMemoryLine);

  // One byte: a block of a single literal, 52 bits of description, no bits
  // for the token: 7 bytes.
  CompressResult one = Compress(Bytes("Z"));
  EXPECT_EQ(one.returned, 7u);
  EXPECT_EQ(one.stream.size(), 7u);
  EXPECT_EQ(one.stream, (std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x00, 0x05, 0xA0, 0x00}));
  EXPECT_EQ(Decode(one.stream), Bytes("Z"));

  // Two bytes: only literals.
  CompressResult two = Compress(Bytes("zz"), nullptr, true);
  EXPECT_EQ(two.tokens, (std::vector<Token>{{'z', 0}, {'z', 0}}));
  EXPECT_EQ(Decode(two.stream), Bytes("zz"));
}

TEST(ImageCompressor, ThousandEqualBytesAreOneLiteralAndFourMatches) {
  const std::vector<std::uint8_t> input(1000, 'A');
  CompressResult r = Compress(input, nullptr, true);
  const std::vector<Token> expected = {{'A', 0}, {256 + 253, 0}, {256 + 253, 0}, {256 + 253, 0}, {231 + 253, 0}};
  EXPECT_EQ(r.tokens, expected);
  EXPECT_EQ(r.returned, 13u);
  EXPECT_EQ(r.stream.size(), 13u);
  Lh5StreamInfo info;
  EXPECT_EQ(Decode(r.stream, nullptr, &info), input);
  EXPECT_EQ(info.blockTokens, std::vector<unsigned>{5});
}

TEST(ImageCompressor, EmptyInputWritesNothing) {
  CompressResult r = Compress({});
  EXPECT_EQ(r.started, 1);
  EXPECT_EQ(r.returned, 0u);
  EXPECT_EQ(r.inputSize, 0u);
  EXPECT_TRUE(r.stream.empty());
}

TEST(ImageCompressor, FinishWithoutSizePointerStillCounts) {
  MemoryOutputStream out;
  ImageCompressor coder(nullptr, &SilentDiagnostics());
  ASSERT_EQ(coder.Start(&out, 13, 1), 1);
  for (char c : std::string("abc")) coder.PutByte(static_cast<std::uint8_t>(c));
  EXPECT_EQ(coder.Finish(nullptr), 10u);
  EXPECT_FALSE(coder.IsStarted());
  // A new Start after Finish codes a new, independent stream.
  MemoryOutputStream again;
  ASSERT_EQ(coder.Start(&again, 13, 0), 1);
  for (char c : std::string("abc")) coder.PutByte(static_cast<std::uint8_t>(c));
  std::uint32_t size = 0;
  EXPECT_EQ(coder.Finish(&size), 10u);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(again.Bytes(), out.Bytes());
  // Without a successful Start, PutByte and Finish do nothing.
  coder.PutByte(1);
  size = 77;
  EXPECT_EQ(coder.Finish(&size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(coder.Start(nullptr, 13, 1), 0);
  EXPECT_EQ(coder.Start(&again, 14, 1), 0);
}

// Window sizes: the first fill is 8448 bytes, each refill 8192.
TEST(ImageCompressor, InputsAroundTheWindowSlidesRoundTrip) {
  for (std::size_t size : {8191u, 8192u, 8193u, 8447u, 8448u, 8449u, 16639u, 16640u, 16641u, 24832u, 50000u}) {
    const std::vector<std::uint8_t> input = testing::MachineCodeLike(size, static_cast<std::uint32_t>(size));
    CompressResult r = Compress(input);
    EXPECT_EQ(r.inputSize, size);
    EXPECT_EQ(r.returned, r.stream.size());
    EXPECT_EQ(Decode(r.stream), input) << size;
  }
}

TEST(ImageCompressor, ParsingStartsWhenTheFirstWindowIsFull) {
  // 8448 bytes fill the window: the last PutByte parses D positions at once
  // and suspends at the slide; Finish resumes it with an empty refill.
  const std::vector<std::uint8_t> input = testing::TextLike(8448, 12);
  TokenRecorder recorder;
  MemoryOutputStream out;
  ImageCompressor coder(nullptr, &SilentDiagnostics());
  coder.SetTokenObserver(&recorder);
  ASSERT_EQ(coder.Start(&out, 13, 0), 1);
  for (std::size_t i = 0; i + 1 < input.size(); ++i) coder.PutByte(input[i]);
  EXPECT_TRUE(recorder.tokens.empty());
  coder.PutByte(input.back());
  const std::size_t early = recorder.tokens.size();
  EXPECT_GT(early, 0u);
  EXPECT_TRUE(out.Bytes().empty());  // the first block is still being collected
  std::uint32_t size = 0;
  const std::uint32_t written = coder.Finish(&size);
  EXPECT_EQ(written, out.Bytes().size());
  EXPECT_EQ(size, 8448u);
  EXPECT_GT(recorder.tokens.size(), early);
  EXPECT_EQ(Decode(out.Bytes()), input);
  // The tokens parsed before the drain cover exactly D = 8192 positions
  // (the last may be a match that runs on).
  std::size_t covered = 0;
  for (std::size_t i = 0; i < early; ++i) {
    covered += recorder.tokens[i].code < 256 ? 1 : recorder.tokens[i].code - 253;
  }
  EXPECT_GE(covered, 8192u - 256u);
  EXPECT_LE(covered, 8192u + 256u);
}

TEST(ImageCompressor, MatchesAcrossSlidesKeepTheirDistances) {
  // A 3000-byte random pattern repeated: every match reaches back 3000
  // bytes, across each slide, so one wrong distance breaks the round trip.
  const std::vector<std::uint8_t> pattern = testing::RandomBytes(3000, 42);
  std::vector<std::uint8_t> input;
  while (input.size() < 60000) input.insert(input.end(), pattern.begin(), pattern.end());
  CompressResult r = Compress(input, nullptr, true);
  EXPECT_EQ(Decode(r.stream), input);
  std::size_t matches = 0;
  for (const Token& t : r.tokens) {
    if (t.code >= 256) {
      ++matches;
      EXPECT_EQ(t.distanceValue, 2999);
    }
  }
  EXPECT_GT(matches, 200u);
  EXPECT_LT(r.stream.size(), 4000u);
}

TEST(ImageCompressor, BlocksCloseOnlyAtGroupsOfEightTokens) {
  const std::vector<std::uint8_t> input = testing::FirmwareLikeImage(300000, 3);
  CompressResult r = Compress(input, nullptr, true);
  Lh5StreamInfo info;
  ASSERT_EQ(Decode(r.stream, nullptr, &info), input);
  ASSERT_GT(info.blockTokens.size(), 3u);
  unsigned total = 0;
  for (std::size_t i = 0; i < info.blockTokens.size(); ++i) {
    total += info.blockTokens[i];
    if (i + 1 < info.blockTokens.size()) {
      EXPECT_EQ(info.blockTokens[i] % 8, 0u) << "block " << i;
      // A 16 KB buffer holds 5240..14544 tokens.
      EXPECT_GE(info.blockTokens[i], 5240u);
      EXPECT_LE(info.blockTokens[i], 14544u);
    }
  }
  EXPECT_EQ(total, r.tokens.size());
}

TEST(ImageCompressor, LazyParsingPrefersTheLongerOrEarlierMatch) {
  // "abcd" then "bcdefgh" then "abcdefgh": at the second "a" the match
  // "abcd" (4) is followed at "b" by "bcdefgh" (7), so "a" goes out as a
  // literal and the longer match wins.
  CompressResult r = Compress(Bytes("abcdXbcdefghYabcdefgh"), nullptr, true);
  ASSERT_EQ(Decode(r.stream), Bytes("abcdXbcdefghYabcdefgh"));
  ASSERT_GE(r.tokens.size(), 3u);
  const std::vector<Token> tail(r.tokens.end() - 3, r.tokens.end());
  EXPECT_EQ(tail[0], (Token{'Y', 0}));
  EXPECT_EQ(tail[1], (Token{'a', 0}));
  EXPECT_EQ(tail[2], (Token{7 + 253, 9 - 1}));  // "bcdefgh" 9 bytes back
  // Matches never reach beyond the input.
  for (const Token& t : r.tokens) EXPECT_LE(t.code, 509);
}

TEST(ImageCompressor, UsesExactlyTheMemoryPlanAndReleasesIt) {
  ScriptedAllocator heap;
  CompressResult r = Compress(testing::FirmwareLikeImage(100000, 9), &heap);
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(heap.peakBytes, 199027u);
  EXPECT_EQ(heap.requests, kBlockBufferRequest + 1);
  EXPECT_EQ(heap.liveBlocks, 0);
  EXPECT_EQ(heap.liveBytes, 0u);
  EXPECT_EQ(r.diagnostics, kMemoryLine);
}

TEST(ImageCompressor, ShrinksTheBlockBufferWhenMemoryIsShort) {
  // Refuse the block buffer of 16384 bytes and its sizes down to 4590.
  ScriptedAllocator heap;
  heap.FailRequests(kBlockBufferRequest, kBlockBufferRequest + 12);
  const std::vector<std::uint8_t> input = testing::FirmwareLikeImage(200000, 4);
  CompressResult r = Compress(input, &heap);
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.diagnostics,
            "huf_bufS=14742\nhuf_bufS=13266\nhuf_bufS=11934\nhuf_bufS=10737\nhuf_bufS=9657\n"
            "huf_bufS=8685\nhuf_bufS=7812\nhuf_bufS=7029\nhuf_bufS=6318\nhuf_bufS=5679\n"
            "huf_bufS=5103\nhuf_bufS=4590\nhuf_bufS=4131\n"
            "使用メモリ:4605+3224+174814+4131=186774バイト\n");
  EXPECT_EQ(heap.peakBytes, 182643u + 4131u);
  Lh5StreamInfo info;
  EXPECT_EQ(Decode(r.stream, nullptr, &info), input);
  // Smaller blocks: a 4131-byte buffer holds at most 457 groups of literals.
  ASSERT_GT(info.blockTokens.size(), 20u);
  for (unsigned n : info.blockTokens) EXPECT_LE(n, 457u * 8);
  EXPECT_EQ(heap.liveBlocks, 0);
}

TEST(ImageCompressor, FailsToStartWhenTheBlockBufferNeverFits) {
  ScriptedAllocator heap;
  heap.FailRequests(kBlockBufferRequest, 1000);
  CompressResult r = Compress(Bytes("abc"), &heap);
  EXPECT_EQ(r.started, 0);
  EXPECT_EQ(r.diagnostics,
            "huf_bufS=14742\nhuf_bufS=13266\nhuf_bufS=11934\nhuf_bufS=10737\nhuf_bufS=9657\n"
            "huf_bufS=8685\nhuf_bufS=7812\nhuf_bufS=7029\nhuf_bufS=6318\nhuf_bufS=5679\n"
            "huf_bufS=5103\nhuf_bufS=4590\nhuf_bufS=4131\nhuf_bufS=3717\n"
            "使用メモリ:4605+3224+174814+3717=186360バイト\n");
  // 14 sizes tried: 16384 down to 4131; 3717 is printed, not tried.
  EXPECT_EQ(heap.requests, kBlockBufferRequest + 14);
  EXPECT_EQ(heap.requestedSizes.back(), 4131u);
  EXPECT_EQ(heap.liveBlocks, 0);
  EXPECT_TRUE(r.stream.empty());
}

TEST(ImageCompressor, AnyFailedArrayFailsTheStartAndFreesEverything) {
  for (int failing = 0; failing < kBlockBufferRequest; ++failing) {
    ScriptedAllocator heap;
    heap.FailRequests(failing, failing);
    CompressResult r = Compress(Bytes("abc"), &heap);
    EXPECT_EQ(r.started, 0) << failing;
    EXPECT_EQ(heap.liveBlocks, 0) << failing;
    // Every array is still requested, and the line reports the whole plan.
    EXPECT_EQ(heap.requests, kBlockBufferRequest + 1) << failing;
    EXPECT_EQ(r.diagnostics, kMemoryLine) << failing;
  }
  // At verbosity 0 a failure writes nothing at all.
  ScriptedAllocator heap;
  heap.FailRequests(3, 3);
  RecordingSink sink;
  MemoryOutputStream out;
  ImageCompressor coder(&heap, &sink);
  EXPECT_EQ(coder.Start(&out, 13, 0), 0);
  EXPECT_TRUE(sink.output.empty());
}

TEST(ImageCompressor, VerbosityTwoMarksEveryWindowFill) {
  RecordingSink sink;
  MemoryOutputStream out;
  ImageCompressor coder(nullptr, &sink);
  ASSERT_EQ(coder.Start(&out, 13, 2), 1);
  for (int i = 0; i < 8448 + 8192 + 100; ++i) coder.PutByte(static_cast<std::uint8_t>(i * 7));
  coder.Finish(nullptr);
  // The start of parsing, the full refill and the partial one at the end.
  EXPECT_EQ(sink.errors, "...");
  EXPECT_EQ(sink.output, kMemoryLine);
}

TEST(ImageCompressor, SameInputSameStream) {
  const std::vector<std::uint8_t> input = testing::FirmwareLikeImage(120000, 11);
  CompressResult first = Compress(input);
  CompressResult second = Compress(input);
  EXPECT_EQ(first.stream, second.stream);
  // Also when the previous stream of the same coder left other bytes in its
  // window: a coder reused after a different input.
  MemoryOutputStream a;
  MemoryOutputStream b;
  ImageCompressor coder(nullptr, &SilentDiagnostics());
  coder.Start(&a, 13, 0);
  for (std::uint8_t x : testing::RandomBytes(30000, 1)) coder.PutByte(x);
  coder.Finish(nullptr);
  coder.Start(&b, 13, 0);
  for (std::uint8_t x : input) coder.PutByte(x);
  coder.Finish(nullptr);
  EXPECT_EQ(b.Bytes(), first.stream);
}

// The tokens of input coded with a dictionary of 2^bits bytes.
std::vector<Token> TokensOf(const std::vector<std::uint8_t>& input, std::uint16_t bits) {
  MemoryOutputStream out;
  TokenRecorder recorder;
  ImageCompressor coder(nullptr, &SilentDiagnostics());
  coder.SetTokenObserver(&recorder);
  EXPECT_EQ(coder.Start(&out, bits, 0), 1);
  for (std::uint8_t x : input) coder.PutByte(x);
  coder.Finish(nullptr);
  return recorder.tokens;
}

// The longest match at p among the strings 1..maxDistance back, at most 256
// bytes and not beyond the input: the search of the match finder, by brute
// force.
int LongestMatch(const std::vector<std::uint8_t>& data, std::size_t p, std::size_t maxDistance) {
  const std::size_t cap = std::min<std::size_t>(256, data.size() - p);
  std::size_t best = 0;
  for (std::size_t dist = 1; dist <= maxDistance && dist <= p; ++dist) {
    std::size_t n = 0;
    while (n < cap && data[p + n] == data[p - dist + n]) ++n;
    best = std::max(best, n);
  }
  return static_cast<int>(best);
}

TEST(ImageCompressor, EveryMatchIsTheLongestInTheWindow) {
  // Whatever the trie's chains look like, the search is exhaustive: each
  // match the parser emits is as long as any within the last D - 1
  // positions, and what it copies is really there.
  std::vector<std::uint8_t> periodic;
  const std::vector<std::uint8_t> motif = testing::RandomBytes(300, 21);
  std::uint32_t noise = 1;
  for (int i = 0; i < 40000; ++i) {
    noise = noise * 1103515245u + 12345u;
    periodic.push_back((noise >> 16) % 211 == 0 ? static_cast<std::uint8_t>(noise >> 8) : motif[i % 300]);
  }
  const std::vector<std::vector<std::uint8_t>> inputs = {testing::MachineCodeLike(30000, 11),
                                                         testing::TextLike(30000, 12), periodic};
  for (std::uint16_t bits : {13, 9}) {
    const std::size_t maxDistance = (std::size_t{1} << bits) - 1;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      const std::vector<std::uint8_t>& data = inputs[k];
      std::size_t p = 0;
      int matches = 0;
      for (const Token& t : TokensOf(data, bits)) {
        if (t.code < 256) {
          ASSERT_EQ(t.code, data[p]) << "input " << k << " bits " << bits << " at " << p;
          p += 1;
          continue;
        }
        const std::size_t len = t.code - 253u;
        const std::size_t dist = t.distanceValue + 1u;
        ASSERT_LE(dist, std::min(maxDistance, p)) << "input " << k << " bits " << bits << " at " << p;
        for (std::size_t i = 0; i < len; ++i) {
          ASSERT_EQ(data[p + i], data[p - dist + i]) << "input " << k << " bits " << bits << " at " << p;
        }
        ASSERT_EQ(static_cast<int>(len), LongestMatch(data, p, maxDistance))
            << "input " << k << " bits " << bits << " at " << p;
        matches += 1;
        p += len;
      }
      EXPECT_EQ(p, data.size());
      EXPECT_GT(matches, 100) << "input " << k << " bits " << bits;
    }
  }
}

TEST(ImageCompressor, SmallerDictionariesRoundTrip) {
  const std::vector<std::uint8_t> input = testing::FirmwareLikeImage(60000, 8);
  for (std::uint16_t bits : {9, 10, 12}) {
    MemoryOutputStream out;
    ImageCompressor coder(nullptr, &SilentDiagnostics());
    ASSERT_EQ(coder.Start(&out, bits, 1), 1);
    for (std::uint8_t x : input) coder.PutByte(x);
    coder.Finish(nullptr);
    EXPECT_EQ(Decode(out.Bytes()), input) << bits;
  }
}

}  // namespace
}  // namespace mervix
