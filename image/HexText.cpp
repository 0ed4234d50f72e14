#include "image/HexText.h"

namespace mervix {

std::uint32_t ParseHexText(std::string_view text) {
  std::uint32_t value = 0;
  for (char ch : text) {
    const std::uint8_t digit = HexDigitValue(static_cast<unsigned char>(ch));
    if (digit == kNotHexDigit) break;
    // Unsigned arithmetic wraps modulo 2^32: the top digit falls out.
    value = value * 16u + digit;
  }
  return value;
}

std::string_view AddressTextWorkingCopy(std::string_view text) { return text.substr(0, kAddressTextLimit); }

std::uint32_t ParseAddressText(std::string_view text) { return ParseHexText(AddressTextWorkingCopy(text)); }

bool IsPlainAddressText(std::string_view text) {
  if (text.empty() || text.size() > kAddressTextLimit) return false;
  std::size_t significant = 0;
  for (char ch : text) {
    const std::uint8_t digit = HexDigitValue(static_cast<unsigned char>(ch));
    if (digit == kNotHexDigit) return false;
    if (significant > 0 || digit != 0) ++significant;
  }
  return significant <= 8;
}

}  // namespace mervix
