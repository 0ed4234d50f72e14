#include "image/ByteSource.h"

#include <cstring>

namespace mervix {

ByteSource::ByteSource(std::string_view memory)
    : pos_(reinterpret_cast<const unsigned char*>(memory.data())), end_(pos_ + memory.size()) {}

ByteSource::ByteSource(const InputFile& file) : file_(&file), ownBuffer_(kChunkSize) {
  buffer_ = ownBuffer_.data();
  bufferSize_ = ownBuffer_.size();
  pos_ = end_ = buffer_;
}

ByteSource::ByteSource(const InputFile& file, unsigned char* buffer, std::size_t size)
    : file_(&file), buffer_(buffer), bufferSize_(size) {
  pos_ = end_ = buffer_;
}

bool ByteSource::Fill() {
  if (file_ == nullptr || !status_.ok()) return false;
  std::size_t n = 0;
  status_ = file_->ReadAt(offset_, buffer_, bufferSize_, &n);
  if (!status_.ok() || n == 0) return false;
  offset_ += static_cast<std::uint64_t>(n);
  pos_ = buffer_;
  end_ = pos_ + n;
  return true;
}

bool ByteSource::AppendUntil(unsigned char delimiter, std::string& out, std::size_t limit) {
  for (;;) {
    if (pos_ == end_ && !Fill()) return false;
    const std::size_t available = static_cast<std::size_t>(end_ - pos_);
    const void* hit = std::memchr(pos_, delimiter, available);
    const std::size_t take = hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - pos_) : available;
    if (out.size() < limit) {
      const std::size_t room = limit - out.size();
      out.append(reinterpret_cast<const char*>(pos_), take < room ? take : room);
    }
    pos_ += take;
    if (hit) {
      ++pos_;  // the delimiter itself
      return true;
    }
  }
}

}  // namespace mervix
