// The file of a prepared image, held open from the read of its header to
// the end of the last run that sends it.
//
// Taking it opens the file once, with the access the runs use, and reads it
// whole: its length, its header (the version the operator is shown), its
// SHA-256 (what a record says went out) and one digest per 64 KB block. Every
// run reads its blocks from this one open, and each block is proven against
// its digest before it goes out: on Linux a lock does not stop another
// program from rewriting the file in place, and a block that differs from
// the bytes that were hashed and whose version was shown is never sent.
//
// An image of up to kKeepLimit bytes (every firmware image) is kept in
// memory as it was read and hashed: its blocks come from there, for every
// run that sends it, with nothing to read or prove again.
#pragma once

#include "image/ImageHeader.h"
#include "resources/FileAccess.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mervix {

class HeldImage {
 public:
  static constexpr std::uint64_t kKeepLimit = 64ull << 20;
  // Opens |path| with |access| and reads it, keeping its bytes when it has
  // at most |keepLimit|; null with |status| saying why when it cannot be
  // opened or read.
  static std::shared_ptr<const HeldImage> Take(const std::string& path, ImageAccess access, FileStatus* status,
                                               std::uint64_t keepLimit = kKeepLimit);

  const std::string& Path() const { return file_.path(); }
  std::uint64_t Length() const { return length_; }
  // The first 1,024 bytes (fewer for a shorter file, the rest zero).
  const ImageHeader& Header() const { return header_; }
  // Lower-case hex of the whole file as it was read.
  const std::string& Sha256() const { return sha256_; }

  // Reads the block of |size| bytes at |offset| (a multiple of 64 KB; the
  // block's whole length, shorter only at the end) into |data|: from the
  // kept bytes, or from the file, proven unchanged since it was taken. A
  // failure names the file and why.
  FileStatus ReadBlock(std::uint64_t offset, std::uint8_t* data, std::uint32_t size) const;
  // The kept bytes of the block of |size| bytes at |offset|, valid as long
  // as this object; null when the image is not kept or there is no such
  // block (ReadBlock then says why).
  const std::uint8_t* KeptBlock(std::uint64_t offset, std::uint32_t size) const;

  HeldImage(const HeldImage&) = delete;
  HeldImage& operator=(const HeldImage&) = delete;

 private:
  HeldImage() = default;

  InputFile file_;
  std::uint64_t length_ = 0;
  ImageHeader header_;
  std::string sha256_;
  std::vector<std::array<std::uint8_t, 32>> blockDigests_;
  std::vector<std::uint8_t> kept_;  // the whole file as it was hashed; empty when not kept
};

}  // namespace mervix
