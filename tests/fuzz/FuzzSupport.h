// Shared pieces of the fuzz targets: a check that stops the run with a
// message, and a cursor that takes structured values out of the fuzzer's
// bytes.
//
// A target is a plain LLVMFuzzerTestOneInput. Built with libFuzzer it is
// driven by the fuzzer; built normally it is linked with ReplayMain.cpp,
// which feeds it every file of its seed corpus once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// Stops the run when |cond| does not hold. abort() is what libFuzzer and the
// replay runner both report as a failure, with the input that caused it.
#define FUZZ_CHECK(cond)                                                                     \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace mervix::fuzz {

// Reads values off the front of the input; past its end every read gives 0,
// so a short input is still a valid (if dull) script.
class InputCursor {
 public:
  InputCursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t Word() {
    const std::uint16_t hi = Byte();
    return static_cast<std::uint16_t>((hi << 8) | Byte());
  }
  std::uint32_t Long() {
    const std::uint32_t hi = Word();
    return (hi << 16) | Word();
  }
  // Up to |n| bytes (fewer at the end of the input).
  std::string_view Take(std::size_t n) {
    if (n > size_ - pos_) n = size_ - pos_;
    std::string_view v(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return v;
  }
  // Everything not yet read.
  std::string_view Rest() { return Take(size_ - pos_); }
  bool AtEnd() const { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The value of a hex digit, or -1; written here independently of the image
// library so that the targets can check its parsers against it.
inline int ReferenceHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Checks that a data record (S1, S2, S3) the parser took has its data bytes
// in |area| at (address - base) mod 2^32, decoding the line on its own. Lines of
// other types and records without data are not examined.
inline void CheckPlacedData(std::string_view line, const std::uint8_t* area, std::size_t areaSize,
                            std::uint32_t base) {
  if (line.size() < 2 || line[0] != 'S' || line[1] < '1' || line[1] > '3') return;
  const std::size_t addressChars = static_cast<std::size_t>(line[1] - '0' + 1) * 2;
  auto hexAt = [&](std::size_t pos, std::size_t chars) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < chars; ++i) {
      const int d = ReferenceHexDigit(line[pos + i]);
      FUZZ_CHECK(d >= 0);  // the parser took the record, so every field is hex
      v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
  };
  FUZZ_CHECK(line.size() >= 4 + addressChars);
  const int count = static_cast<int>(hexAt(2, 2));
  const std::uint32_t address = hexAt(4, addressChars);
  const int dataCount = count - static_cast<int>(addressChars / 2) - 1;
  // The offset is taken modulo 2^32, as the parsers do: with a high base a
  // low address wraps round into the area.
  const std::uint32_t first = address - base;
  for (int i = 0; i < dataCount; ++i) {
    const std::uint64_t offset = std::uint64_t{first} + static_cast<std::uint64_t>(i);
    FUZZ_CHECK(offset < areaSize);
    const std::uint32_t byte = hexAt(4 + addressChars + 2 * static_cast<std::size_t>(i), 2);
    FUZZ_CHECK(area[offset] == byte);
  }
}

}  // namespace mervix::fuzz
