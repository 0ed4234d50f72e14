// Hexadecimal text as the S-record files and the address fields use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mervix {

// Hexadecimal text to an unsigned 32-bit number.
//
// Reads from the first character on and stops at the end of the text or at
// the first character that is not 0-9, a-f or A-F. Each digit multiplies the
// value so far by 16 and adds its own value, modulo 2^32, so only the last
// eight digits of a longer run count. No prefix, sign or leading blank is
// accepted: "0x100" and " 100" both yield 0, as does any text that does not
// start with a hex digit.
std::uint32_t ParseHexText(std::string_view text);

constexpr std::uint8_t kNotHexDigit = 0xFF;

namespace detail {
// 256 entries: the digit value of each byte, or kNotHexDigit. A table lookup
// keeps the record parsers' inner loops free of branches on character ranges.
struct HexDigitTable {
  std::uint8_t values[256];
  constexpr HexDigitTable() : values() {
    for (int c = 0; c < 256; ++c) values[c] = kNotHexDigit;
    for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<std::uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  }
};
inline constexpr HexDigitTable kHexDigits{};
}  // namespace detail

// The value of one hex digit character, or kNotHexDigit for any other byte.
inline std::uint8_t HexDigitValue(unsigned char c) { return detail::kHexDigits.values[c]; }

// The address texts typed by the operator (Base Address, User Base Address)
// are taken into a working copy of kAddressTextLimit characters before they
// are parsed; characters past that never count.
constexpr std::size_t kAddressTextLimit = 15;

// The part of an address text that counts: its first kAddressTextLimit bytes.
std::string_view AddressTextWorkingCopy(std::string_view text);

// ParseHexText of the working copy: the value an address text stands for.
std::uint32_t ParseAddressText(std::string_view text);

// True when the text is one to kAddressTextLimit hex digits and its value
// fits in 32 bits (leading zeros aside, at most eight significant digits):
// a text that ParseAddressText takes at face value, with nothing dropped.
bool IsPlainAddressText(std::string_view text);

}  // namespace mervix
