// The back half of the coder: collects tokens in a block buffer and, when the
// buffer is full or the input has ended, writes one static-Huffman block.
//
// Block buffer layout: tokens in groups of up to 8, each group led by a flag
// byte whose bit 0x80 belongs to the group's first token, 0x40 to the second
// and so on; a set bit marks a match. A literal takes 1 byte (the byte), a
// match 3 bytes (length - 3, distance value high byte, low byte). A block is
// closed only when a token would open a new group and fewer than 25 bytes
// (one whole group of matches) are left, so every block but the last holds a
// multiple of 8 tokens.
//
// Block format (most significant bit first):
//   16 bits token count N
//   main code: either "5 bits 0, 5 bits 0, 9 bits 0, 9 bits s" for a block
//     of the single main symbol s, or the code-length code (count width 5,
//     2-bit zero skip after the third length) followed by the main lengths
//     (9-bit count, then lengths and zero runs coded with the code-length
//     code)
//   distance code: 4-bit count and lengths, or "4 bits 0, 4 bits class"
//   the N tokens: main code; for a match its distance class code and, for
//     class b >= 2, the b - 1 low bits of the distance value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compress/BitScan.h"
#include "compress/BitWriter.h"
#include "compress/CoderInterfaces.h"
#include "compress/HuffmanCode.h"

namespace mervix {

constexpr int kMainSymbolCount = 510;   // 256 literals + lengths 3..256
constexpr int kLengthSymbolCount = 19;  // alphabet of the code-length code

// The encoder's arrays, allocated and owned by ImageCompressor. Counts are
// for the 510 main symbols and distanceClassCount classes.
struct BlockArrays {
  std::uint8_t* mainLen = nullptr;        // 510
  std::uint8_t* auxLen = nullptr;         // max(19, distanceClassCount)
  std::int16_t* leftChild = nullptr;      // 2*510-1
  std::int16_t* rightChild = nullptr;     // 2*510-1
  std::uint16_t* mainFreq = nullptr;      // 2*510-1
  std::uint16_t* mainCode = nullptr;      // 510
  std::uint16_t* distFreq = nullptr;      // 2*distanceClassCount-1
  std::uint16_t* auxCode = nullptr;       // max(19, distanceClassCount)
  std::uint16_t* lenFreq = nullptr;       // 2*19-1
  std::int16_t* heap = nullptr;           // 510+1
  std::uint8_t* blockBuffer = nullptr;    // blockBufferSize
  std::uint16_t blockBufferSize = 0;      // at least 25
  int distanceClassCount = 14;            // dictionaryBits + 1
};

// Where a BlockEncoder in log mode (AttachLog) puts the tokens it is given
// instead of coding them, in order, in 16-bit units: a literal is its code
// (0..255), a match its code (256..509) and then its distance value. A
// token never takes more units than the bytes it covers. Tokens are kept
// only while `recording`, and only while they fit in `capacity` units.
struct TokenLog {
  std::uint16_t* units = nullptr;
  std::size_t capacity = 0;
  std::size_t count = 0;
  bool recording = false;
};

// Number of significant bits of v: 0 for 0, else 1 + floor(log2 v). This is
// the distance class of the distance value v.
inline int SignificantBits(std::uint32_t v) { return v == 0 ? 0 : 32 - LeadingZeros32(v); }

class BlockEncoder {
 public:
  // Binds the arrays and the bit writer; call before StartBlocks.
  void Attach(const BlockArrays& arrays, BitWriter* bits);

  // Log mode: EmitToken only appends to log and EndBlocks does nothing; no
  // arrays and no bit writer are needed. Replaces any Attach.
  void AttachLog(TokenLog* log) {
    *this = BlockEncoder{};
    log_ = log;
  }

  // Optional: sees every token as EmitToken receives it (null = none).
  void SetTokenObserver(TokenObserver* observer) { observer_ = observer; }

  // Empties the block buffer and the counts for a new stream.
  void StartBlocks();

  // Takes one token: code < 256 a literal, 256..509 a match with distance
  // value 0..(dictionary size - 1). May write a whole block first.
  void EmitToken(std::uint16_t code, std::uint16_t distanceValue) {
    if (log_ != nullptr) {
      if (log_->recording && log_->count + 2 <= log_->capacity) {
        log_->units[log_->count++] = code;
        if (code >= 256) log_->units[log_->count++] = distanceValue;
      }
      return;
    }
    if (observer_ != nullptr) observer_->OnToken(code, distanceValue);
    flagMask_ >>= 1;
    if (flagMask_ == 0) {
      // A new group: make sure a whole group (1 + 8*3 bytes) fits.
      flagMask_ = 0x80;
      if (blockPos_ >= a_.blockBufferSize - 24) {
        FlushBlock();
        blockPos_ = 0;
      }
      flagPos_ = blockPos_;
      a_.blockBuffer[blockPos_++] = 0;
    }
    a_.blockBuffer[blockPos_++] = static_cast<std::uint8_t>(code & 0xFF);
    a_.mainFreq[code] += 1;
    if (code >= 256) {
      a_.blockBuffer[flagPos_] = static_cast<std::uint8_t>(a_.blockBuffer[flagPos_] | flagMask_);
      a_.blockBuffer[blockPos_++] = static_cast<std::uint8_t>(distanceValue >> 8);
      a_.blockBuffer[blockPos_++] = static_cast<std::uint8_t>(distanceValue & 0xFF);
      a_.distFreq[SignificantBits(distanceValue)] += 1;
    }
  }

  // EmitToken for each token in units[0..n) of a TokenLog.
  void EmitLogged(const std::uint16_t* units, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
      const std::uint16_t code = units[i++];
      if (code < 256) {
        EmitToken(code, 0);
      } else {
        EmitToken(code, units[i++]);
      }
    }
  }

  // Writes the last block and completes the last byte with zero bits.
  void EndBlocks();

  // Writes the block held in the buffer and clears the counts. The buffer
  // must hold at least one token.
  void FlushBlock();

  // Counts the code-length symbols that WriteMainLengths will write into
  // lenFreq[0..18], from mainLen.
  void CountLengthRuns();

  // Writes auxLen[0..n) with trailing zeros dropped: the count in countBits
  // bits, then each length (3 bits for 0..6, else k-4 one bits and a zero),
  // and after the length with index special-1 a 2-bit count of the zero
  // lengths that follow, up to index 6 (special < 0: no skip field).
  void WriteAuxLengths(int n, int countBits, int special);

  // Writes the main code lengths with the code-length code in auxLen/auxCode.
  void WriteMainLengths();

  void PutMainSymbol(int c) { bits_->PutBits(a_.mainLen[c], a_.mainCode[c]); }

  // Writes the distance class of v with the distance code, then its low bits.
  void PutDistance(unsigned v) {
    const int b = SignificantBits(v & 0xFFFF);
    bits_->PutBits(a_.auxLen[b], a_.auxCode[b]);
    if (b > 1) bits_->PutBits(b - 1, v & (0xFFFFu >> (17 - b)));
  }

  // Tokens in the block being collected; for tests.
  unsigned PendingTokens() const;

 private:
  void PutLengthSymbol(int s) { bits_->PutBits(a_.auxLen[s], a_.auxCode[s]); }
  int MainLengthCount() const;

  BlockArrays a_;
  BitWriter* bits_ = nullptr;
  TokenObserver* observer_ = nullptr;
  TokenLog* log_ = nullptr;
  HuffmanWorkspace huffman_;
  std::uint16_t blockPos_ = 0;
  std::uint16_t flagMask_ = 0;
  std::uint16_t flagPos_ = 0;
};

}  // namespace mervix
