// The image coder: turns an image, fed one byte at a time, into an lh5
// stream (13-bit dictionary, static Huffman blocks, no archive header, no
// end marker; the last byte completed with zero bits).
//
// Memory is taken at Start in four groups and given back at Finish:
//   1 code lengths and tree   mainLen, auxLen, leftChild, rightChild   4605
//   2 frequencies and codes   mainFreq, mainCode, distFreq, auxCode,
//                             lenFreq                                  3224
//   3 dictionary              window 16640, node links (parent, chain
//                             prev/next) 3 x 32768, hash slot heads
//                             25056, branch data (position, depth,
//                             child count) 4 x 8448, heap 1022       174814
//   4 block buffer            16384, shrunk by 10% steps while it cannot
//                             be had, down to 4131                    16384
// (bytes for 13 bits; 199027 together). Each array is one allocation, 15
// in all, the block buffer last. The dictionary keeps the fields of one
// node side by side, since the trie walks read them together.
//
// Diagnostic lines (to the DiagnosticSink, by default standard output):
// "huf_bufS=%d\n" for every shrink of the block buffer, and at verbosity
// not 0 the memory line "使用メモリ:%lu+%lu+%lu+%lu=%luバイト\n".
//
// One instance codes one stream at a time: Start, PutByte for every byte
// (or PutBytes for runs of them, or PutAll for the whole input), Finish; a
// new Start may follow. Not thread-safe. PutAll may parse a large input on
// this thread and a helper thread at once (SplitParse.h), with memory of
// its own beyond the four groups; the stream is the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compress/BitWriter.h"
#include "compress/BlockEncoder.h"
#include "compress/CoderInterfaces.h"
#include "compress/MatchFinder.h"
#include "compress/SplitParse.h"

namespace mervix {

// The dictionary size the system uses (8192 bytes), the only one lh5 names.
constexpr int kLh5DictionaryBits = 13;

class ImageCompressor {
 public:
  // allocator and diagnostics default to the C heap and standard output;
  // both must outlive the compressor.
  explicit ImageCompressor(Allocator* allocator = nullptr, DiagnosticSink* diagnostics = nullptr);
  ~ImageCompressor();
  ImageCompressor(const ImageCompressor&) = delete;
  ImageCompressor& operator=(const ImageCompressor&) = delete;

  // Takes the memory and gets ready to code into output. dictionaryBits is
  // 13 for lh5 (9..13 are accepted; others, or a null output, return 0 and
  // write nothing). verbosity: 0 silent, 1 the memory line, 2 also a "." to
  // the error sink per 8 KB window fill. Returns 1 when ready, 0 when the
  // memory cannot be had (everything then released). A Start while a
  // stream is open abandons that stream (its last bytes, up to 512 still
  // buffered, are then never written).
  int Start(OutputStream* output, std::uint16_t dictionaryBits, std::uint16_t verbosity);

  // Takes the next input byte. Ignored unless Start returned 1.
  void PutByte(std::uint8_t b) {
    if (ready_) finder_.PutByte(b);
  }

  // Takes n input bytes, as n PutByte calls would.
  void PutBytes(const std::uint8_t* bytes, std::size_t n) {
    if (ready_) finder_.PutBytes(bytes, n);
  }

  // Takes the whole input at once, right after Start (no byte put before it,
  // none after): the same stream as PutByte for every byte. An input of
  // kSplitMinimumInput bytes or more is parsed in two pieces at the same
  // time (SplitParse.h), except at verbosity 2, whose progress marks follow
  // the input in order. The helper's memory comes from the allocator.
  void PutAll(const std::uint8_t* data, std::size_t size);

  // How the last PutAll parsed its input (NotSplit when it did not split),
  // and at how many sync points it compared the two parsers.
  SplitOutcome LastSplit() const { return lastSplit_; }
  int LastSplitComparisons() const { return splitComparisons_; }

  // Ends the input, writes the rest of the stream (the output receives its
  // bytes in runs; the last ones only here), stores the number of
  // input bytes in *inputSize when it is not null, frees the memory and
  // returns the number of bytes written. Nothing is written for an empty
  // input. Without a successful Start: stores 0 and returns 0.
  std::uint32_t Finish(std::uint32_t* inputSize);

  // Test hook: sees every token (null = none). Kept across streams.
  void SetTokenObserver(TokenObserver* observer);

  bool IsStarted() const { return ready_; }
  // Size of the block buffer obtained by the last Start.
  std::uint16_t BlockBufferSize() const { return blockBufferSize_; }
  // Totals requested by the last Start for groups 1..3 (index 0..2).
  unsigned long GroupBytes(int group) const { return groupBytes_[group]; }

 private:
  void* Take(std::size_t bytes, unsigned long* groupTotal, bool* failed);
  void ReleaseAll();
  void WriteLine(const char* text);

  Allocator* allocator_;
  DiagnosticSink* diagnostics_;
  TokenObserver* observer_ = nullptr;
  bool ready_ = false;

  // Every array taken at Start, for release.
  static constexpr int kMaxBlocks = 16;
  void* blocks_[kMaxBlocks] = {};
  int blockCount_ = 0;

  unsigned long groupBytes_[3] = {0, 0, 0};
  std::uint16_t blockBufferSize_ = 0;
  std::uint16_t dictionaryBits_ = 0;
  std::uint16_t verbosity_ = 0;
  SplitOutcome lastSplit_ = SplitOutcome::NotSplit;
  int splitComparisons_ = 0;

  BitWriter bits_;
  BlockEncoder encoder_;
  MatchFinder finder_;
};

}  // namespace mervix
