// Decoder of the lh5 method: LZ77 over an 8192-byte dictionary with static
// Huffman blocks, the format written by ImageCompressor. Used by the device
// simulator to check what it receives and by the tests as a round-trip check.
//
// The decoder works on a byte array in memory and is written to be safe on
// hostile input: every read is bounds-checked, every code table is validated
// before use, and the output is capped, so malformed input yields false with a
// reason, never an out-of-bounds access or an unbounded allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mervix {

// The largest output DecodeLh5 will produce (64 MiB). A block can expand a
// few input bits into 16 MiB of output, so an unbounded decoder would let a
// small malformed stream exhaust memory; images of this system are at most
// 2 MiB.
constexpr std::size_t kMaxLh5DecodedSize = 64u * 1024u * 1024u;

// Decodes the lh5 stream data[0..size) into *out (replacing its contents).
//
// Without expectedSize: decodes blocks one after another until fewer than 8
// bits of input remain; the padding bits of the last byte must be zero. Any
// byte left after the last whole block therefore makes the decode fail (a
// trailing "TOVA" included: strip it first, or pass the expected size).
//
// With expectedSize: decodes until exactly *expectedSize bytes are produced
// and ignores whatever follows (a trailer, padding); fails when the stream
// ends before that many bytes were produced.
//
// Returns true on success. On failure returns false, leaves in *out the bytes
// decoded so far and, when error is not null, a short reason in *error.
// out must not be null.
bool DecodeLh5(const std::uint8_t* data, std::size_t size, std::optional<std::size_t> expectedSize,
               std::vector<std::uint8_t>* out, std::string* error);

// What a decode saw of the stream's structure, for checks and diagnostics.
struct Lh5StreamInfo {
  std::vector<unsigned> blockTokens;  // token count of every block begun
  std::size_t bitsRead = 0;           // bits consumed, final padding included
};

// As above, and fills *info (when not null) as far as the decode went.
bool DecodeLh5(const std::uint8_t* data, std::size_t size, std::optional<std::size_t> expectedSize,
               std::vector<std::uint8_t>* out, std::string* error, Lh5StreamInfo* info);

}  // namespace mervix
