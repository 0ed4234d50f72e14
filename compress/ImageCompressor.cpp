#include "compress/ImageCompressor.h"

#include <cstdio>
#include <cstring>

namespace mervix {

namespace {
constexpr std::uint16_t kBlockBufferSize = 16384;
constexpr std::uint16_t kSmallestBlockBuffer = 4096;  // below this, give up
}  // namespace

ImageCompressor::ImageCompressor(Allocator* allocator, DiagnosticSink* diagnostics)
    : allocator_(allocator != nullptr ? allocator : &HeapAllocator()),
      diagnostics_(diagnostics != nullptr ? diagnostics : &StandardDiagnostics()) {}

ImageCompressor::~ImageCompressor() { ReleaseAll(); }

void ImageCompressor::SetTokenObserver(TokenObserver* observer) {
  observer_ = observer;
  encoder_.SetTokenObserver(observer);
}

void ImageCompressor::WriteLine(const char* text) { diagnostics_->WriteOutput(text); }

void* ImageCompressor::Take(std::size_t bytes, unsigned long* groupTotal, bool* failed) {
  if (groupTotal != nullptr) *groupTotal += static_cast<unsigned long>(bytes);
  void* p = allocator_->Allocate(bytes);
  if (p == nullptr) {
    *failed = true;
  } else {
    blocks_[blockCount_++] = p;
  }
  return p;
}

void ImageCompressor::ReleaseAll() {
  for (int i = 0; i < blockCount_; ++i) allocator_->Release(blocks_[i]);
  blockCount_ = 0;
  ready_ = false;
}

int ImageCompressor::Start(OutputStream* output, std::uint16_t dictionaryBits, std::uint16_t verbosity) {
  ReleaseAll();
  if (output == nullptr || dictionaryBits < 9 || dictionaryBits > 13) return 0;

  const int mainCount = kMainSymbolCount;
  const int classes = dictionaryBits + 1;
  const int auxTableSize = classes >= kLengthSymbolCount ? classes : kLengthSymbolCount;
  const DictionaryLayout layout(dictionaryBits);
  groupBytes_[0] = groupBytes_[1] = groupBytes_[2] = 0;
  bool failed = false;

  // Every allocation is attempted, even after a failure, so the memory line
  // reports the whole plan; a failure is acted on afterwards.
  BlockArrays b;
  b.distanceClassCount = classes;
  b.mainLen = static_cast<std::uint8_t*>(Take(mainCount, &groupBytes_[0], &failed));
  b.auxLen = static_cast<std::uint8_t*>(Take(auxTableSize, &groupBytes_[0], &failed));
  b.leftChild = static_cast<std::int16_t*>(Take((2 * mainCount - 1) * 2, &groupBytes_[0], &failed));
  b.rightChild = static_cast<std::int16_t*>(Take((2 * mainCount - 1) * 2, &groupBytes_[0], &failed));

  b.mainFreq = static_cast<std::uint16_t*>(Take((2 * mainCount - 1) * 2, &groupBytes_[1], &failed));
  b.mainCode = static_cast<std::uint16_t*>(Take(mainCount * 2, &groupBytes_[1], &failed));
  b.distFreq = static_cast<std::uint16_t*>(Take((2 * classes - 1) * 2, &groupBytes_[1], &failed));
  b.auxCode = static_cast<std::uint16_t*>(Take(auxTableSize * 2, &groupBytes_[1], &failed));
  b.lenFreq = static_cast<std::uint16_t*>(Take((2 * kLengthSymbolCount - 1) * 2, &groupBytes_[1], &failed));

  DictionaryArrays dict;
  dict.window = static_cast<std::uint8_t*>(Take(layout.windowBytes, &groupBytes_[2], &failed));
  dict.links = static_cast<NodeLinks*>(Take(layout.linkEntries * sizeof(NodeLinks), &groupBytes_[2], &failed));
  dict.slotHeads = static_cast<std::int16_t*>(Take(layout.slotEntries * 2, &groupBytes_[2], &failed));
  dict.branches =
      static_cast<BranchInfo*>(Take(layout.branchEntries * sizeof(BranchInfo), &groupBytes_[2], &failed));
  b.heap = static_cast<std::int16_t*>(Take((mainCount + 1) * 2, &groupBytes_[2], &failed));

  // The block buffer may shrink: only blocks get shorter.
  blockBufferSize_ = kBlockBufferSize;
  b.blockBuffer = static_cast<std::uint8_t*>(allocator_->Allocate(blockBufferSize_));
  while (b.blockBuffer == nullptr) {
    blockBufferSize_ = static_cast<std::uint16_t>((blockBufferSize_ / 10) * 9);
    char line[32];
    std::snprintf(line, sizeof line, "huf_bufS=%d\n", static_cast<int>(blockBufferSize_));
    WriteLine(line);
    if (blockBufferSize_ < kSmallestBlockBuffer) break;
    b.blockBuffer = static_cast<std::uint8_t*>(allocator_->Allocate(blockBufferSize_));
  }
  if (b.blockBuffer != nullptr) blocks_[blockCount_++] = b.blockBuffer;

  const bool ready = !failed && b.blockBuffer != nullptr;
  if (!ready) ReleaseAll();

  if (verbosity != 0) {
    char line[128];
    const unsigned long total = groupBytes_[0] + groupBytes_[1] + groupBytes_[2] + blockBufferSize_;
    std::snprintf(line, sizeof line, "使用メモリ:%lu+%lu+%lu+%lu=%luバイト\n", groupBytes_[0], groupBytes_[1],
                  groupBytes_[2], static_cast<unsigned long>(blockBufferSize_), total);
    WriteLine(line);
  }
  if (!ready) return 0;

  b.blockBufferSize = blockBufferSize_;
  // Window bytes that no input reaches are cleared, so that the matches found
  // near the end of the input (and so the stream) depend on the input alone.
  std::memset(dict.window, 0, static_cast<std::size_t>(layout.windowBytes));
  bits_.Reset(output);
  encoder_.Attach(b, &bits_);
  encoder_.SetTokenObserver(observer_);
  finder_.Attach(dict, dictionaryBits, verbosity, &encoder_, diagnostics_);
  finder_.InitDictionary();
  encoder_.StartBlocks();
  dictionaryBits_ = dictionaryBits;
  verbosity_ = verbosity;
  lastSplit_ = SplitOutcome::NotSplit;
  splitComparisons_ = 0;
  ready_ = true;
  return 1;
}

void ImageCompressor::PutAll(const std::uint8_t* data, std::size_t size) {
  if (!ready_) return;
  lastSplit_ = SplitOutcome::NotSplit;
  splitComparisons_ = 0;
  const bool fresh = finder_.State() == ParserState::Filling && finder_.Lookahead() == 0;
  if (fresh && verbosity_ != 2) {
    lastSplit_ = ParseInTwoPieces(finder_, encoder_, dictionaryBits_, data, size, *allocator_, &splitComparisons_);
    if (lastSplit_ != SplitOutcome::NotSplit) return;
  }
  finder_.PutBytes(data, size);
}

std::uint32_t ImageCompressor::Finish(std::uint32_t* inputSize) {
  if (!ready_) {
    if (inputSize != nullptr) *inputSize = 0;
    return 0;
  }
  // No drain for an empty input: an empty stream has no block at all.
  if (finder_.BytesIn() != 0 || finder_.Lookahead() != 0) finder_.Drain();
  if (inputSize != nullptr) *inputSize = finder_.BytesIn();
  bits_.FlushToStream();
  const std::uint32_t written = bits_.BytesOut();
  ReleaseAll();
  return written;
}

}  // namespace mervix
