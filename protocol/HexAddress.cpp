#include "protocol/HexAddress.h"

namespace mervix {

std::uint32_t ParseHexAddressText(std::string_view text) {
  std::uint32_t value = 0;
  for (const char c : text) {
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      break;
    }
    // Unsigned arithmetic wraps modulo 2^32: older digits shift out the top.
    value = value * 16u + digit;
  }
  return value;
}

std::uint32_t UserBaseAddressFromText(std::string_view text) {
  return ParseHexAddressText(text.substr(0, kMaxUserBaseAddressChars));
}

}  // namespace mervix
