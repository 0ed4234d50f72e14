// The seams between the lh5 coder and its surroundings: where its bytes go,
// where its memory comes from, where its diagnostic lines go, and a hook that
// lets tests see the tokens. The coder itself knows no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace mervix {

// A writable byte stream. The coder hands over its output in runs of bytes
// (Write) and does not examine the result (a short write is the stream's
// concern: the compressed image file keeps the first failure).
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  virtual void WriteByte(std::uint8_t byte) = 0;
  // Writes bytes[0..n) in order; by default one WriteByte per byte.
  virtual void Write(const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) WriteByte(bytes[i]);
  }
};

// Appends to a byte vector in memory.
class MemoryOutputStream final : public OutputStream {
 public:
  void WriteByte(std::uint8_t byte) override { bytes_.push_back(byte); }
  void Write(const std::uint8_t* bytes, std::size_t n) override { bytes_.insert(bytes_.end(), bytes, bytes + n); }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  void Clear() { bytes_.clear(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Where the coder's working memory comes from. Allocate returns null when
// the memory cannot be had; Release takes only what Allocate returned (or
// null, which it ignores).
class Allocator {
 public:
  virtual ~Allocator() = default;
  virtual void* Allocate(std::size_t bytes) = 0;
  virtual void Release(void* block) = 0;
};

// The C heap (malloc/free); shared, stateless.
Allocator& HeapAllocator();

// Receives the coder's diagnostic texts, each a complete line ending in
// "\n" or a single progress mark. Output lines are those the coder writes to
// standard output (memory line, "huf_bufS=" lines); error texts are the
// "." progress marks of verbosity 2, meant for standard error.
class DiagnosticSink {
 public:
  virtual ~DiagnosticSink() = default;
  virtual void WriteOutput(const char* text) = 0;
  virtual void WriteError(const char* text) = 0;
};

// Writes output texts to stdout and error texts to stderr.
DiagnosticSink& StandardDiagnostics();

// Drops every text (for a window process, where the streams are not seen).
DiagnosticSink& SilentDiagnostics();

// Sees every token the match finder hands to the block encoder, in order:
// code 0..255 a literal (distanceValue 0), 256..509 a match of length
// code - 253 with distanceValue = distance - 1.
class TokenObserver {
 public:
  virtual ~TokenObserver() = default;
  virtual void OnToken(std::uint16_t code, std::uint16_t distanceValue) = 0;
};

}  // namespace mervix
