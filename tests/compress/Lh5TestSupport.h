// Helpers shared by the coder's tests: compress a byte vector with a chosen
// allocator, wrap a stream into a one-file LHA archive for an independent
// decoder, and temporary directories.
#pragma once

#include "tests/support/TempFolder.h"

#include <cstdint>
#include <string>
#include <vector>

#include "compress/ImageCompressor.h"

namespace mervix::testing {

// Collects the diagnostic texts.
class RecordingSink : public DiagnosticSink {
 public:
  void WriteOutput(const char* text) override { output += text; }
  void WriteError(const char* text) override { errors += text; }
  std::string output;
  std::string errors;
};

// Records every token.
class TokenRecorder : public TokenObserver {
 public:
  struct Token {
    std::uint16_t code;
    std::uint16_t distanceValue;
    bool operator==(const Token& o) const { return code == o.code && distanceValue == o.distanceValue; }
  };
  void OnToken(std::uint16_t code, std::uint16_t distanceValue) override { tokens.push_back({code, distanceValue}); }
  std::vector<Token> tokens;
};

// An allocator over the C heap that can refuse chosen requests (by the
// order of the request, counted from 0 at each Start) and keeps account of
// what is live.
class ScriptedAllocator : public Allocator {
 public:
  void* Allocate(std::size_t bytes) override;
  void Release(void* block) override;
  // Refuse requests number first..last (inclusive).
  void FailRequests(int first, int last) {
    failFirst = first;
    failLast = last;
  }
  int failFirst = -1;
  int failLast = -1;
  int requests = 0;
  std::size_t liveBytes = 0;
  std::size_t peakBytes = 0;
  int liveBlocks = 0;
  std::vector<std::size_t> requestedSizes;

 private:
  std::vector<std::pair<void*, std::size_t>> live_;
};

// The coder takes its arrays one by one, the block buffer last: 14 arrays
// of groups 1 to 3 first (requests 0..13), then the block buffer (14, and
// one more request per smaller size tried).
constexpr int kBlockBufferRequest = 14;

struct CompressResult {
  int started = 0;
  std::uint32_t returned = 0;
  std::uint32_t inputSize = 0;
  std::vector<std::uint8_t> stream;
  std::string diagnostics;
  std::vector<TokenRecorder::Token> tokens;
};

// Compresses input through Start(13 bits, verbosity 1)/PutByte/Finish.
CompressResult Compress(const std::vector<std::uint8_t>& input, Allocator* allocator = nullptr,
                        bool recordTokens = false);

// CRC-16 of LHA archives (polynomial 0x8005 reflected, initial value 0).
std::uint16_t Crc16(const std::vector<std::uint8_t>& data);

// A level-0 LHA archive holding one "-lh5-" member named name.
std::vector<std::uint8_t> MakeLh5Archive(const std::vector<std::uint8_t>& stream,
                                         const std::vector<std::uint8_t>& original, const std::string& name);

using TempDir = TempFolder;

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& data);
bool ReadFile(const std::string& path, std::vector<std::uint8_t>* data);

// Runs a shell command, capturing its standard output; returns the exit
// status (-1 when it could not run).
int RunCommand(const std::string& command, std::string* output);

}  // namespace mervix::testing
