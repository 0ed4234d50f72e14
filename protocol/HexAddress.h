// Hexadecimal text as the user base address is typed, turned into the 32-bit
// target address of a user module.
#pragma once

#include <cstdint>
#include <string_view>

namespace mervix {

// Reads hex digits from the first character on and stops at the end of the
// text or at the first character that is not 0-9, a-f or A-F. Each digit
// multiplies the value by 16 and adds itself, modulo 2^32, so only the last
// eight digits of a longer run count. No prefix, sign or leading blank is
// accepted: "0x100" and " 100" both give 0, as does a text without a leading
// digit. (The image library has the same rule; protocol keeps its own copy so
// that it depends on nothing but the message table.)
std::uint32_t ParseHexAddressText(std::string_view text);

// The address a user base address text names: the rule above applied to at
// most its first kMaxUserBaseAddressChars characters.
constexpr std::size_t kMaxUserBaseAddressChars = 15;
std::uint32_t UserBaseAddressFromText(std::string_view text);

}  // namespace mervix
