// SHA-256 (FIPS 180-4) over bytes given in pieces: the fingerprint of the
// bytes an image run sends, so an operator can tell exactly which image went
// to a device. The digest itself is the platform's well-kept one
// (resources/Sha256Digest.h).
#pragma once

#include "resources/FileAccess.h"
#include "resources/Sha256Digest.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace mervix {

class Sha256 {
 public:
  void Reset() { digest_.Reset(); }
  void Update(const std::uint8_t* data, std::size_t size) { digest_.Update(data, size); }
  // The digest of everything given since the last Reset; the object must be
  // Reset before it is used again.
  std::array<std::uint8_t, 32> Finish() { return digest_.Finish(); }
  // The digest as 64 lower-case hex digits.
  std::string FinishHex() { return Sha256Hex(digest_.Finish()); }

 private:
  Sha256Digest digest_;
};

// The SHA-256 of a whole file, read with shared access; empty with
// |status| saying why when the file cannot be opened or read.
std::string FileSha256(const std::string& path, FileStatus* status);

}  // namespace mervix
