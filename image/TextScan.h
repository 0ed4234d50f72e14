// The two inner loops of the S-record readers, over a block of characters
// at a time where the processor offers one (SSE2 on x86), else a character
// at a time: finding where a firmware line ends, and decoding the hex
// pairs of a record's data. Both give the same answers either way; the
// one-character versions are kept callable so that the tests compare them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mervix {

// Index of the first LF, CR or TAB among the `size` characters at `text`
// (the characters that end a firmware S-record line), or `size` when none
// of them is there. Every other byte, NUL and the other control characters
// included, is part of the line.
std::size_t FindLineEnd(const char* text, std::size_t size);

// Decodes `count` bytes from the 2 * count hex digits at `text` (either
// case, high digit first) into `out`, in order. Returns the number of bytes
// decoded before the first pair that holds a character other than 0-9, a-f,
// A-F; that is `count` when all are hex. The bytes before that pair are
// stored, nothing from it on.
std::size_t DecodeHexPairs(const unsigned char* text, std::size_t count, std::uint8_t* out);

namespace detail {
// The same, a character at a time.
std::size_t FindLineEndByCharacter(const char* text, std::size_t size);
std::size_t DecodeHexPairsByCharacter(const unsigned char* text, std::size_t count, std::uint8_t* out);
}  // namespace detail

}  // namespace mervix
