// A forward-only byte stream over memory or an open file, read through a
// buffer so that the line readers can take one character at a time without
// a call per character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "resources/FileAccess.h"

namespace mervix {

class ByteSource {
 public:
  static constexpr int kEnd = -1;
  // Bytes asked of the file per read.
  static constexpr std::size_t kChunkSize = 64 * 1024;

  // Reads the bytes of `memory`, which must outlive the source.
  explicit ByteSource(std::string_view memory);
  // Reads an open file from its start in chunks of kChunkSize; the file is
  // not owned and must outlive the source.
  explicit ByteSource(const InputFile& file);
  // The same, reading into `size` bytes at `buffer` (at least one), which
  // the caller owns and keeps for the life of the source: the firmware
  // conversion reads into the spare end of its work area's memory.
  ByteSource(const InputFile& file, unsigned char* buffer, std::size_t size);

  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // The next byte (0..255), or kEnd at the end of the input or after a read
  // error (see status()).
  int Next() {
    if (pos_ == end_ && !Fill()) return kEnd;
    return *pos_++;
  }

  // Consumes the next byte when it equals `c`; reports whether it did.
  bool Skip(unsigned char c) {
    if (pos_ == end_ && !Fill()) return false;
    if (*pos_ != c) return false;
    ++pos_;
    return true;
  }

  // The bytes buffered and not yet consumed, refilling first when none are:
  // an empty view means the end of the input (or a read error). Lets a
  // reader scan a whole chunk and then Consume what it took.
  std::string_view Buffered() {
    if (pos_ == end_ && !Fill()) return {};
    return std::string_view(reinterpret_cast<const char*>(pos_), static_cast<std::size_t>(end_ - pos_));
  }
  // Consumes n bytes of what Buffered() returned.
  void Consume(std::size_t n) { pos_ += n; }

  // Appends bytes to `out` up to, not including, the next `delimiter`, which
  // is consumed. At most `limit` bytes of the stretch are kept; the rest is
  // read and dropped. Returns false when the input ended before a delimiter
  // (what was read is still in `out`).
  bool AppendUntil(unsigned char delimiter, std::string& out, std::size_t limit);

  // The failed read, naming the file; ok while reading has not failed.
  const FileStatus& status() const { return status_; }

 private:
  // Makes bytes available at pos_; false at the end or on an error.
  bool Fill();

  const unsigned char* pos_ = nullptr;
  const unsigned char* end_ = nullptr;
  const InputFile* file_ = nullptr;  // null: a memory source, which has nothing more to fill
  std::uint64_t offset_ = 0;         // where the next chunk of the file starts
  FileStatus status_;
  unsigned char* buffer_ = nullptr;  // where a file's chunks are read to
  std::size_t bufferSize_ = 0;
  std::vector<unsigned char> ownBuffer_;  // the buffer, when the source owns it
};

}  // namespace mervix
