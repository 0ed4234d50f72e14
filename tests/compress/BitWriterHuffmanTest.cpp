// The two small units under the block encoder: the bit packer and the
// Huffman code builder, whose tie-breaking and length limit fix the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "compress/BitWriter.h"
#include "compress/HuffmanCode.h"

namespace mervix {
namespace {

// Bits written one by one, for comparing with the packed output.
std::vector<std::uint8_t> PackBitsSlowly(const std::vector<std::pair<int, unsigned>>& fields) {
  std::vector<int> bits;
  for (auto [n, x] : fields) {
    for (int k = n - 1; k >= 0; --k) bits.push_back((x >> k) & 1);
  }
  while (bits.size() % 8 != 0) bits.push_back(0);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < bits.size(); i += 8) {
    int v = 0;
    for (int k = 0; k < 8; ++k) v = v * 2 + bits[i + k];
    bytes.push_back(static_cast<std::uint8_t>(v));
  }
  return bytes;
}

TEST(BitWriter, PacksFieldsMostSignificantBitFirst) {
  MemoryOutputStream out;
  BitWriter w;
  w.Reset(&out);
  w.PutBits(3, 0b101);
  EXPECT_EQ(w.BytesOut(), 0u);
  EXPECT_EQ(w.PendingBits(), 3);
  w.PutBits(0, 0);  // changes nothing
  EXPECT_EQ(w.PendingBits(), 3);
  w.PutBits(5, 0b10011);
  EXPECT_EQ(w.BytesOut(), 1u);
  EXPECT_EQ(w.PendingBits(), 0);
  // Completed bytes are counted at once and reach the stream on a flush,
  // which keeps the pending bits.
  w.PutBits(2, 0b01);
  w.FlushToStream();
  ASSERT_EQ(out.Bytes().size(), 1u);
  EXPECT_EQ(out.Bytes()[0], 0xB3);
  EXPECT_EQ(w.PendingBits(), 2);
  w.PutBits(6, 0b111111);
  // 16 bits from a byte boundary and from every other offset.
  w.PutBits(16, 0xBEEF);
  EXPECT_EQ(w.BytesOut(), 4u);
  w.PutBits(1, 1);
  w.PutBits(16, 0x8001);
  w.PutBits(7, 0);  // completes the byte with zeros
  EXPECT_EQ(w.PendingBits(), 0);
  w.FlushToStream();
  const std::vector<std::uint8_t> expected = {0xB3, 0x7F, 0xBE, 0xEF, 0xC0, 0x00, 0x80};
  EXPECT_EQ(out.Bytes(), expected);
  EXPECT_EQ(w.BytesOut(), 7u);
  // Flushing with nothing pending writes nothing.
  w.PutBits(7, 0);
  w.FlushToStream();
  EXPECT_EQ(w.BytesOut(), 7u);
  EXPECT_EQ(out.Bytes().size(), 7u);
}

TEST(BitWriter, LongStreamsPassThroughTheBufferIntact) {
  // Far more bytes than the writer buffers, in fields that straddle every
  // word boundary; the stream receives them in order before the flush.
  std::mt19937 rng(7);
  std::vector<std::pair<int, unsigned>> fields;
  for (int i = 0; i < 5000; ++i) {
    const int n = 1 + static_cast<int>(rng() % 16);
    fields.push_back({n, static_cast<unsigned>(rng() & ((1u << n) - 1))});
  }
  MemoryOutputStream out;
  BitWriter w;
  w.Reset(&out);
  for (auto [n, x] : fields) w.PutBits(n, x);
  std::vector<std::uint8_t> expected = PackBitsSlowly(fields);
  const std::size_t whole = w.BytesOut();
  EXPECT_EQ(whole, expected.size() - (w.PendingBits() != 0 ? 1 : 0));
  EXPECT_GT(out.Bytes().size(), 1000u);  // handed over while packing
  EXPECT_LT(out.Bytes().size(), whole);  // the last run waits for the flush
  EXPECT_TRUE(std::equal(out.Bytes().begin(), out.Bytes().end(), expected.begin()));
  w.PutBits(7, 0);
  w.FlushToStream();
  EXPECT_EQ(out.Bytes(), expected);
}

TEST(BitWriter, AgreesWithABitByBitPackerOnRandomFields) {
  std::mt19937 rng(99);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::pair<int, unsigned>> fields;
    for (int i = 0; i < 200; ++i) {
      const int n = static_cast<int>(rng() % 17);
      fields.push_back({n, n == 0 ? 0u : static_cast<unsigned>(rng() & ((1u << n) - 1))});
    }
    MemoryOutputStream out;
    BitWriter w;
    w.Reset(&out);
    for (auto [n, x] : fields) w.PutBits(n, x);
    w.PutBits(7, 0);
    w.FlushToStream();
    EXPECT_EQ(out.Bytes(), PackBitsSlowly(fields)) << "round " << round;
  }
}

// Storage for one build of up to 510 symbols.
struct Builder {
  std::vector<std::int16_t> heap = std::vector<std::int16_t>(511);
  std::vector<std::int16_t> left = std::vector<std::int16_t>(1019);
  std::vector<std::int16_t> right = std::vector<std::int16_t>(1019);
  HuffmanWorkspace ws;
  std::vector<std::uint16_t> freq;
  std::vector<std::uint8_t> len;
  std::vector<std::uint16_t> code;
  Builder() {
    ws.heap = heap.data();
    ws.leftChild = left.data();
    ws.rightChild = right.data();
  }
  int Build(const std::vector<std::uint16_t>& counts) {
    const int n = static_cast<int>(counts.size());
    freq.assign(2 * n - 1, 0);
    std::copy(counts.begin(), counts.end(), freq.begin());
    len.assign(n, 0xEE);
    code.assign(n, 0xEEEE);
    return BuildHuffmanCode(&ws, n, freq.data(), len.data(), code.data());
  }
};

// Checks that the lengths form a complete prefix code and the codes are the
// canonical ones: by length, then by symbol.
void ExpectCanonicalComplete(const std::vector<std::uint8_t>& len, const std::vector<std::uint16_t>& code) {
  std::uint64_t kraft = 0;
  std::vector<int> order;
  for (std::size_t i = 0; i < len.size(); ++i) {
    ASSERT_LE(len[i], 16);
    if (len[i] != 0) {
      kraft += std::uint64_t{1} << (16 - len[i]);
      order.push_back(static_cast<int>(i));
    }
  }
  EXPECT_EQ(kraft, 65536u);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return len[a] < len[b]; });
  std::uint32_t next = 0;
  int prevLen = len[order[0]];
  for (int s : order) {
    next <<= (len[s] - prevLen);
    prevLen = len[s];
    EXPECT_EQ(code[s], next) << "symbol " << s;
    ++next;
  }
}

TEST(HuffmanCode, BuildsTheCanonicalCodeWithTheFixedTieBreaking) {
  Builder b;
  // Three equal counts: the middle symbol leaves the heap last and gets the
  // short code; "b" = 0, "a" = 10, "c" = 11.
  std::vector<std::uint16_t> counts(510, 0);
  counts['a'] = counts['b'] = counts['c'] = 1;
  const int root = b.Build(counts);
  EXPECT_EQ(root, 511);
  EXPECT_EQ(b.freq[root], 3);
  EXPECT_EQ(b.len['a'], 2);
  EXPECT_EQ(b.len['b'], 1);
  EXPECT_EQ(b.len['c'], 2);
  EXPECT_EQ(b.code['b'], 0b0);
  EXPECT_EQ(b.code['a'], 0b10);
  EXPECT_EQ(b.code['c'], 0b11);
  EXPECT_EQ(b.len['d'], 0);

  // Four equal counts give four 2-bit codes in symbol order.
  const int r4 = b.Build({5, 5, 5, 5});
  EXPECT_EQ(r4, 6);
  EXPECT_EQ(b.len, (std::vector<std::uint8_t>{2, 2, 2, 2}));
  EXPECT_EQ(b.code, (std::vector<std::uint16_t>{0, 1, 2, 3}));

  // Counts 1,2,1,2 (the code-length code of a run of one byte value): the
  // lightest leaves leave first and take the longest codes.
  b.Build({0, 1, 2, 1, 2});
  EXPECT_EQ(b.len, (std::vector<std::uint8_t>{0, 3, 1, 3, 2}));
  EXPECT_EQ(b.code[2], 0b0);
  EXPECT_EQ(b.code[4], 0b10);
  EXPECT_EQ(b.code[1], 0b110);
  EXPECT_EQ(b.code[3], 0b111);
}

TEST(HuffmanCode, OneOrNoSymbolHasNoCode) {
  Builder b;
  EXPECT_EQ(b.Build({0, 0, 7, 0}), 2);
  EXPECT_EQ(b.len, (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(b.code[2], 0);
  EXPECT_EQ(b.Build(std::vector<std::uint16_t>(14, 0)), 0);
  EXPECT_EQ(b.len, std::vector<std::uint8_t>(14, 0));
}

TEST(HuffmanCode, LimitsLengthsTo16Bits) {
  Builder b;
  // Fibonacci counts make a maximally skewed tree: 22 symbols would need
  // lengths up to 21 (the total, 46367, still fits 16-bit weights).
  std::vector<std::uint16_t> counts(22);
  counts[0] = counts[1] = 1;
  for (int i = 2; i < 22; ++i) counts[i] = static_cast<std::uint16_t>(counts[i - 1] + counts[i - 2]);
  b.Build(counts);
  EXPECT_EQ(*std::max_element(b.len.begin(), b.len.end()), 16);
  ExpectCanonicalComplete(b.len, b.code);
  // Lengths never grow as the count rises.
  for (int i = 1; i < 22; ++i) EXPECT_LE(b.len[i], b.len[i - 1]) << i;
}

TEST(HuffmanCode, RandomCountsGiveCompleteCanonicalCodes) {
  Builder b;
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    const int n = (round % 3 == 0) ? 19 : (round % 3 == 1) ? 14 : 510;
    std::vector<std::uint16_t> counts(n);
    int used = 0;
    for (auto& c : counts) {
      c = (rng() % 3 == 0) ? static_cast<std::uint16_t>(rng() % (round % 2 ? 40 : 300)) : 0;
      used += c != 0;
    }
    if (used < 2) counts[0] = counts[1] = 1;
    std::uint32_t total = std::accumulate(counts.begin(), counts.end(), 0u);
    const int root = b.Build(counts);
    EXPECT_GE(root, n);
    EXPECT_EQ(b.freq[root], total);
    for (int i = 0; i < n; ++i) EXPECT_EQ(b.len[i] != 0, counts[i] != 0) << i;
    ExpectCanonicalComplete(b.len, b.code);
  }
}

}  // namespace
}  // namespace mervix
