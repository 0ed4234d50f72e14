// Hex text of any bytes: ParseHexText and the address-text helpers, against
// a reference written here.
//
// Checks: the value equals the reference (leading run of hex digits, modulo
// 2^32); the working copy is the first 15 bytes; a text IsPlainAddressText
// accepts prints back to itself (apart from case and leading zeros).
#include "image/HexText.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

using mervix::fuzz::ReferenceHexDigit;

namespace {

std::uint32_t ReferenceValue(std::string_view text) {
  std::uint32_t v = 0;
  for (char c : text) {
    const int d = ReferenceHexDigit(c);
    if (d < 0) break;
    v = v * 16u + static_cast<std::uint32_t>(d);
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::uint32_t value = mervix::ParseHexText(text);
  FUZZ_CHECK(value == ReferenceValue(text));

  const std::string_view working = mervix::AddressTextWorkingCopy(text);
  FUZZ_CHECK(working == text.substr(0, mervix::kAddressTextLimit));
  FUZZ_CHECK(mervix::ParseAddressText(text) == ReferenceValue(working));

  if (mervix::IsPlainAddressText(text)) {
    FUZZ_CHECK(!text.empty() && text.size() <= mervix::kAddressTextLimit);
    std::string digits;
    for (char c : text) {
      FUZZ_CHECK(ReferenceHexDigit(c) >= 0);
      digits += static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    }
    const std::size_t firstSignificant = digits.find_first_not_of('0');
    digits = firstSignificant == std::string::npos ? "0" : digits.substr(firstSignificant);
    char printed[16];
    std::snprintf(printed, sizeof printed, "%X", static_cast<unsigned>(mervix::ParseAddressText(text)));
    FUZZ_CHECK(digits == printed);
  }
  return 0;
}
