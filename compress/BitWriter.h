// Packs bit fields into bytes, most significant bit first, and hands each
// completed byte to an OutputStream.
//
// Contract: between calls 1..8 bits of the current byte are free (at most 7
// bits are pending); a call with n bits writes every byte it completes at
// once. Flush(7 zero bits) completes a pending byte with zero bits and writes
// nothing when no bit is pending.
#pragma once

#include <cstdint>

#include "compress/CoderInterfaces.h"

namespace mervix {

class BitWriter {
 public:
  // Starts an empty stream into output: no bit pending, no byte written.
  void Reset(OutputStream* output) {
    output_ = output;
    bitBuffer_ = 0;
    bitsFree_ = 8;
    bytesOut_ = 0;
  }

  // Appends the n low bits of x (n 0..16, x < 2^n), highest first.
  void PutBits(int n, unsigned x) {
    if (n < bitsFree_) {
      // Fits into the byte being assembled, which stays incomplete.
      bitsFree_ = static_cast<std::int16_t>(bitsFree_ - n);
      bitBuffer_ = static_cast<std::uint16_t>(bitBuffer_ | (x << bitsFree_));
      return;
    }
    // Complete the current byte with the top bits of x.
    n -= bitsFree_;
    Emit(static_cast<std::uint8_t>((bitBuffer_ | (x >> n)) & 0xFF));
    if (n < 8) {
      bitsFree_ = static_cast<std::int16_t>(8 - n);
    } else {
      // A second whole byte (only possible for n > 8 originally).
      Emit(static_cast<std::uint8_t>((x >> (n - 8)) & 0xFF));
      bitsFree_ = static_cast<std::int16_t>(16 - n);
    }
    // The remaining low bits of x start the next byte; bits above bit 7 of
    // the buffer are junk and never reach the output.
    bitBuffer_ = static_cast<std::uint16_t>(x << bitsFree_);
  }

  std::uint32_t BytesOut() const { return bytesOut_; }
  // Bits waiting in the incomplete byte (0..7).
  int PendingBits() const { return 8 - bitsFree_; }

 private:
  void Emit(std::uint8_t byte) {
    output_->WriteByte(byte);
    bytesOut_ += 1;
  }

  OutputStream* output_ = nullptr;
  std::uint16_t bitBuffer_ = 0;
  std::int16_t bitsFree_ = 8;
  std::uint32_t bytesOut_ = 0;
};

}  // namespace mervix
