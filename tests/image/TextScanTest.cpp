// The block-at-a-time scans of S-record text against their one-character
// versions and values worked out here, at every position a block step can
// put a line end or a fault; the work area's memory; a byte source reading
// through a caller's buffer.
#include "image/TextScan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "image/AreaMemory.h"
#include "image/ByteSource.h"

namespace mervix {
namespace {

TEST(TextScan, FindLineEndStopsAtTheFirstLfCrOrTabAndLooksNoFurtherThanItsSize) {
  // Bytes that end no line: digits, letters, NUL, VT, FF, SO, and LF, TAB
  // and CR with the top bit set.
  const std::string filler("S09AFaf z\0\x0B\x0C\x0E\x8A\x89\x8D", 16);
  std::string before;
  for (std::size_t at = 0; at < 70; before += filler[at % filler.size()], ++at) {
    for (const char end : {'\n', '\r', '\t'}) {
      const std::string text = before + end + "S1\n";
      EXPECT_EQ(FindLineEnd(text.data(), text.size()), at) << int(end);
      EXPECT_EQ(detail::FindLineEndByCharacter(text.data(), text.size()), at) << int(end);
      EXPECT_EQ(FindLineEnd(text.data(), at), at);
    }
  }
}

std::string HexOf(const std::vector<std::uint8_t>& bytes, const char* digits) {
  std::string text;
  for (std::uint8_t b : bytes) text += std::string{digits[b >> 4], digits[b & 15]};
  return text;
}

const unsigned char* Chars(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

TEST(TextScan, DecodeHexPairsDecodesBothCasesAndStopsAtThePairOfTheFirstNonHexCharacter) {
  using Decoder = std::size_t (*)(const unsigned char*, std::size_t, std::uint8_t*);
  std::vector<std::uint8_t> all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i * 97 + 13);
  // Neighbours of the digit and letter ranges, line ends, and bytes whose
  // low seven bits or case-folded value would be a hex digit.
  const std::string bad("/:@G`gx \0\r\t\xB0\xB9\xC1\xC6\xE1\xE6\x81\x86\xFF", 20);
  for (const Decoder decode : {Decoder{&DecodeHexPairs}, Decoder{&detail::DecodeHexPairsByCharacter}}) {
    for (const char* digits : {"0123456789ABCDEF", "0123456789abcdef"}) {
      const std::string text = HexOf(all, digits);
      for (std::size_t count = 0; count <= all.size(); ++count) {
        std::vector<std::uint8_t> out(count + 1, 0x5A), want(all.begin(), all.begin() + count);
        want.push_back(0x5A);  // nothing past the count is written
        ASSERT_EQ(decode(Chars(text), count, out.data()), count);
        ASSERT_EQ(out, want) << "count " << count << ", digits " << digits;
      }
    }
    const std::string good = HexOf(all, "0123456789ABCDEF");
    for (std::size_t count = 1; count <= 40; ++count) {
      for (std::size_t at = 0; at < 2 * count; ++at) {
        for (const char c : bad) {
          std::string text = good;
          text[at] = c;
          std::vector<std::uint8_t> out(count, 0x5A), want(all.begin(), all.begin() + at / 2);
          want.resize(count, 0x5A);  // the bytes before the faulty pair, nothing from it on
          ASSERT_EQ(decode(Chars(text), count, out.data()), at / 2) << "count " << count << " at " << at << " " << int(c);
          ASSERT_EQ(out, want) << "count " << count << " at " << at << " " << int(c);
        }
      }
    }
  }
}

TEST(AreaMemory, GivesWritableMemoryOfTheSizeAskedForAlignedForAHugePage) {
  for (const std::size_t size : {std::size_t{1}, std::size_t{3000000}, std::size_t{2} << 20}) {
    AreaMemory memory(size);
    ASSERT_EQ(memory.size(), size);
#ifdef __linux__
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory.data()) % AreaMemory::kHugePageSize, 0u) << size;
#endif
    for (std::size_t i = 0; i < size; ++i) memory.data()[i] = static_cast<std::uint8_t>(i * 7 + size);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < size; ++i) wrong += memory.data()[i] != static_cast<std::uint8_t>(i * 7 + size);
    EXPECT_EQ(wrong, 0u) << size;
  }
}

TEST(ByteSource, ReadsAFileIntoTheCallersBufferAChunkAtATime) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>(i * 13);
  test::WriteFile(dir / "bytes", text);
  InputFile file;
  ASSERT_TRUE(file.Open(dir / "bytes", ImageAccess::Shared, "input").ok());
  for (const std::size_t size : {1, 7, 299, 300, 4096}) {
    std::vector<unsigned char> buffer(size);
    ByteSource source(file, buffer.data(), buffer.size());
    std::string read;
    for (std::string_view chunk; !(chunk = source.Buffered()).empty(); source.Consume(chunk.size())) {
      EXPECT_EQ(static_cast<const void*>(chunk.data()), buffer.data());
      EXPECT_LE(chunk.size(), size);
      read.append(chunk);
    }
    EXPECT_EQ(read, text) << size;
  }
}

}  // namespace
}  // namespace mervix
