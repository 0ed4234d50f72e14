#include "operations/HeldImage.h"

#include "operations/Sha256.h"
#include "protocol/Frames.h"

#include <algorithm>
#include <cstring>

namespace mervix {
namespace {

FileStatus ReadFailure(const std::string& path, int error) {
  return FileStatus::Of(FileProblem::ReadFailed, error, FileErrorReason("cannot read image", path, error));
}

// Reads exactly |size| bytes at |offset|; false with |status| set when the
// file fails or ends first.
bool ReadExactly(const InputFile& file, std::uint64_t offset, std::uint8_t* data, std::size_t size,
                 FileStatus* status) {
  std::size_t got = 0;
  while (got < size) {
    std::size_t n = 0;
    const FileStatus read = file.ReadAt(offset + got, data + got, size - got, &n);
    if (!read.ok()) {
      *status = ReadFailure(file.path(), read.systemError);
      return false;
    }
    if (n == 0) {
      *status = FileStatus::Of(FileProblem::ReadFailed, 0,
                               "'" + file.path() + "' ends at byte " + std::to_string(offset + got) +
                                   ", before the length it had when it was prepared");
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::shared_ptr<const HeldImage> HeldImage::Take(const std::string& path, ImageAccess access, FileStatus* status,
                                                 std::uint64_t keepLimit) {
  std::shared_ptr<HeldImage> held(new HeldImage());
  *status = held->file_.Open(path, access, "image");
  if (!status->ok()) return nullptr;
  held->length_ = held->file_.Length();
  held->header_.Clear();
  const bool keep = held->length_ <= keepLimit;
  if (keep) held->kept_.reserve(static_cast<std::size_t>(held->length_));
  mervix::Sha256 whole;
  std::vector<std::uint8_t> block(kBlockSize);
  for (std::uint64_t offset = 0; offset < held->length_; offset += kBlockSize) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, held->length_ - offset));
    if (!ReadExactly(held->file_, offset, block.data(), size, status)) return nullptr;
    if (offset == 0) {
      const std::size_t headerBytes = std::min(size, held->header_.bytes.size());
      std::memcpy(held->header_.bytes.data(), block.data(), headerBytes);
      held->header_.filled = headerBytes;
    }
    whole.Update(block.data(), size);
    if (keep) held->kept_.insert(held->kept_.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(size));
    mervix::Sha256 digest;
    digest.Update(block.data(), size);
    held->blockDigests_.push_back(digest.Finish());
  }
  held->sha256_ = whole.FinishHex();
  *status = FileStatus();
  return held;
}

const std::uint8_t* HeldImage::KeptBlock(std::uint64_t offset, std::uint32_t size) const {
  if (kept_.empty() || offset % kBlockSize != 0 || offset >= length_ ||
      size != std::min<std::uint64_t>(kBlockSize, length_ - offset)) {
    return nullptr;
  }
  return kept_.data() + offset;
}

FileStatus HeldImage::ReadBlock(std::uint64_t offset, std::uint8_t* data, std::uint32_t size) const {
  const std::uint64_t index = offset / kBlockSize;
  if (offset % kBlockSize != 0 || index >= blockDigests_.size() ||
      size != std::min<std::uint64_t>(kBlockSize, length_ - offset)) {
    return FileStatus::Of(FileProblem::ReadFailed, 0,
                          "'" + Path() + "' has no block of " + std::to_string(size) + " bytes at byte " +
                              std::to_string(offset));
  }
  FileStatus status;
  if (!kept_.empty()) {
    std::memcpy(data, kept_.data() + offset, size);
    return status;
  }
  if (!ReadExactly(file_, offset, data, size, &status)) return status;
  mervix::Sha256 digest;
  digest.Update(data, size);
  if (digest.Finish() != blockDigests_[index]) {
    return FileStatus::Of(FileProblem::ReadFailed, 0,
                          "'" + Path() + "' changed since it was prepared: block " + std::to_string(index + 1) +
                              " of " + std::to_string(blockDigests_.size()) +
                              " is not the one that was checked, so it is not sent");
  }
  return status;
}

}  // namespace mervix
