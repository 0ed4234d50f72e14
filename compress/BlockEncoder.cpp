#include "compress/BlockEncoder.h"

namespace mervix {

void BlockEncoder::Attach(const BlockArrays& arrays, BitWriter* bits) {
  log_ = nullptr;
  a_ = arrays;
  bits_ = bits;
  huffman_ = HuffmanWorkspace{};
  huffman_.heap = arrays.heap;
  huffman_.leftChild = arrays.leftChild;
  huffman_.rightChild = arrays.rightChild;
}

void BlockEncoder::StartBlocks() {
  a_.blockBuffer[0] = 0;
  for (int i = 0; i < kMainSymbolCount; ++i) a_.mainFreq[i] = 0;
  for (int i = 0; i < a_.distanceClassCount; ++i) a_.distFreq[i] = 0;
  flagMask_ = 0;
  blockPos_ = 0;
  flagPos_ = 0;
}

unsigned BlockEncoder::PendingTokens() const {
  unsigned n = 0;
  for (int i = 0; i < kMainSymbolCount; ++i) n += a_.mainFreq[i];
  return n;
}

void BlockEncoder::EndBlocks() {
  if (log_ != nullptr) return;
  FlushBlock();
  bits_->PutBits(7, 0);
}

int BlockEncoder::MainLengthCount() const {
  int n = kMainSymbolCount;
  while (n > 0 && a_.mainLen[n - 1] == 0) --n;
  return n;
}

void BlockEncoder::CountLengthRuns() {
  std::uint16_t* f = a_.lenFreq;
  for (int i = 0; i < kLengthSymbolCount; ++i) f[i] = 0;
  const int n = MainLengthCount();
  int i = 0;
  while (i < n) {
    const int k = a_.mainLen[i++];
    if (k != 0) {
      f[k + 2] += 1;
      continue;
    }
    int count = 1;
    while (i < n && a_.mainLen[i] == 0) {
      ++i;
      ++count;
    }
    if (count <= 2) {
      f[0] = static_cast<std::uint16_t>(f[0] + count);
    } else if (count <= 18) {
      f[1] += 1;
    } else if (count == 19) {
      // 19 does not fit the 4-bit run of symbol 1: one single zero + 18.
      f[0] += 1;
      f[1] += 1;
    } else {
      f[2] += 1;
    }
  }
}

void BlockEncoder::WriteAuxLengths(int n, int countBits, int special) {
  while (n > 0 && a_.auxLen[n - 1] == 0) --n;
  bits_->PutBits(countBits, static_cast<unsigned>(n));
  int i = 0;
  while (i < n) {
    const int k = a_.auxLen[i++];
    if (k <= 6) {
      bits_->PutBits(3, static_cast<unsigned>(k));
    } else {
      // k - 4 one bits and a closing zero bit.
      bits_->PutBits(k - 3, (1u << (k - 3)) - 2);
    }
    if (i == special) {
      while (i < 6 && a_.auxLen[i] == 0) ++i;
      bits_->PutBits(2, static_cast<unsigned>(i - 3) & 3);
    }
  }
}

void BlockEncoder::WriteMainLengths() {
  const int n = MainLengthCount();
  bits_->PutBits(9, static_cast<unsigned>(n));
  int i = 0;
  while (i < n) {
    const int k = a_.mainLen[i++];
    if (k != 0) {
      PutLengthSymbol(k + 2);
      continue;
    }
    int count = 1;
    while (i < n && a_.mainLen[i] == 0) {
      ++i;
      ++count;
    }
    if (count <= 2) {
      for (int c = 0; c < count; ++c) PutLengthSymbol(0);
    } else if (count <= 18) {
      PutLengthSymbol(1);
      bits_->PutBits(4, static_cast<unsigned>(count - 3));
    } else if (count == 19) {
      PutLengthSymbol(0);
      PutLengthSymbol(1);
      bits_->PutBits(4, 15);
    } else {
      PutLengthSymbol(2);
      bits_->PutBits(9, static_cast<unsigned>(count - 20));
    }
  }
}

void BlockEncoder::FlushBlock() {
  HuffmanWorkspace* ws = &huffman_;
  const int root = BuildHuffmanCode(ws, kMainSymbolCount, a_.mainFreq, a_.mainLen, a_.mainCode);
  const unsigned tokens = a_.mainFreq[root];
  bits_->PutBits(16, tokens);

  if (root >= kMainSymbolCount) {
    CountLengthRuns();
    const int r = BuildHuffmanCode(ws, kLengthSymbolCount, a_.lenFreq, a_.auxLen, a_.auxCode);
    if (r >= kLengthSymbolCount) {
      WriteAuxLengths(kLengthSymbolCount, 5, 3);
    } else {
      bits_->PutBits(5, 0);
      bits_->PutBits(5, static_cast<unsigned>(r));
    }
    WriteMainLengths();
  } else {
    // One main symbol: an empty code-length code and the symbol itself.
    bits_->PutBits(5, 0);
    bits_->PutBits(5, 0);
    bits_->PutBits(9, 0);
    bits_->PutBits(9, static_cast<unsigned>(root));
  }

  const int classes = a_.distanceClassCount;
  const int r = BuildHuffmanCode(ws, classes, a_.distFreq, a_.auxLen, a_.auxCode);
  if (r >= classes) {
    WriteAuxLengths(classes, 4, -1);
  } else {
    bits_->PutBits(4, 0);
    bits_->PutBits(4, static_cast<unsigned>(r));
  }

  // Replay the tokens with the new codes.
  const std::uint8_t* buf = a_.blockBuffer;
  unsigned pos = 0;
  unsigned flags = 0;
  for (unsigned i = 0; i < tokens; ++i) {
    if (i % 8 == 0) {
      flags = buf[pos++];
    } else {
      flags <<= 1;
    }
    if (flags & 0x80) {
      PutMainSymbol(buf[pos] + 256);
      const unsigned v = (static_cast<unsigned>(buf[pos + 1]) << 8) | buf[pos + 2];
      pos += 3;
      PutDistance(v);
    } else {
      PutMainSymbol(buf[pos]);
      pos += 1;
    }
  }

  for (int i = 0; i < kMainSymbolCount; ++i) a_.mainFreq[i] = 0;
  for (int i = 0; i < classes; ++i) a_.distFreq[i] = 0;
}

}  // namespace mervix
