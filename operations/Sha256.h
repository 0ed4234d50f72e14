// SHA-256 (FIPS 180-4) over bytes given in pieces: the fingerprint of the
// bytes an image run sends, so an operator can tell exactly which image went
// to a device. Small and self-contained so that it builds wherever the
// operations do, without a crypto library.
#pragma once

#include "resources/FileAccess.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace mervix {

class Sha256 {
 public:
  Sha256() { Reset(); }

  void Reset();
  void Update(const std::uint8_t* data, std::size_t size);
  // The digest of everything given since the last Reset; the object must be
  // Reset before it is used again.
  std::array<std::uint8_t, 32> Finish();
  // The digest as 64 lower-case hex digits.
  std::string FinishHex();

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes given so far
};

// The SHA-256 of a whole file, read with shared access; empty with
// |status| saying why when the file cannot be opened or read.
std::string FileSha256(const std::string& path, FileStatus* status);

}  // namespace mervix
