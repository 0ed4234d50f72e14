// Packs bit fields into bytes, most significant bit first, and hands the
// completed bytes to an OutputStream.
//
// Contract: a call with n bits completes every byte it can; completed bytes
// are counted by BytesOut at once but collected in a small buffer, and reach
// the stream when the buffer is full and at FlushToStream (the coder calls
// it when the stream is finished). Bits of an incomplete byte (PendingBits,
// 0..7) are never written: PutBits(7, 0) completes a pending byte with zero
// bits and completes nothing when no bit is pending.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compress/CoderInterfaces.h"

namespace mervix {

class BitWriter {
 public:
  // Starts an empty stream into output: no bit pending, no byte written.
  void Reset(OutputStream* output) {
    output_ = output;
    accumulator_ = 0;
    bitCount_ = 0;
    buffered_ = 0;
    bytesHanded_ = 0;
  }

  // Appends the n low bits of x (n 0..16, x < 2^n), highest first.
  void PutBits(int n, unsigned x) {
    // The accumulator holds bitCount_ (< 32) bits not yet stored, in its low
    // bits; bits above them are stale and cut off when a word is taken.
    accumulator_ = (accumulator_ << n) | x;
    bitCount_ += n;
    if (bitCount_ >= 32) {
      bitCount_ -= 32;
      StoreWord(static_cast<std::uint32_t>(accumulator_ >> bitCount_));
    }
  }

  // Hands every completed byte to the stream; the pending bits stay.
  void FlushToStream() {
    while (bitCount_ >= 8) {
      bitCount_ -= 8;
      buffer_[buffered_++] = static_cast<std::uint8_t>(accumulator_ >> bitCount_);
    }
    HandOver();
  }

  // Completed bytes, whether handed to the stream yet or not.
  std::uint32_t BytesOut() const { return bytesHanded_ + static_cast<std::uint32_t>(buffered_ + bitCount_ / 8); }
  // Bits waiting in the incomplete byte (0..7).
  int PendingBits() const { return bitCount_ % 8; }

 private:
  static constexpr int kBufferSize = 512;  // a multiple of 4

  void StoreWord(std::uint32_t word) {
    std::uint8_t* p = buffer_ + buffered_;
    p[0] = static_cast<std::uint8_t>(word >> 24);
    p[1] = static_cast<std::uint8_t>(word >> 16);
    p[2] = static_cast<std::uint8_t>(word >> 8);
    p[3] = static_cast<std::uint8_t>(word);
    buffered_ += 4;
    if (buffered_ > kBufferSize - 4) HandOver();  // no room for another word
  }

  void HandOver() {
    if (buffered_ == 0) return;
    output_->Write(buffer_, static_cast<std::size_t>(buffered_));
    bytesHanded_ += static_cast<std::uint32_t>(buffered_);
    buffered_ = 0;
  }

  OutputStream* output_ = nullptr;
  std::uint64_t accumulator_ = 0;
  int bitCount_ = 0;
  int buffered_ = 0;
  std::uint32_t bytesHanded_ = 0;
  std::uint8_t buffer_[kBufferSize] = {};
};

}  // namespace mervix
