#include "resources/Sha256Digest.h"

namespace mervix {

std::string Sha256Hex(const std::array<std::uint8_t, 32>& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (const std::uint8_t b : digest) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

}  // namespace mervix
