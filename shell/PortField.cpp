#include "shell/PortField.h"

namespace mervix {

PortReadResult ReadPortText(const std::string& text, std::uint32_t* value) {
  // The exchange copies the field into a buffer of 32 characters.
  const std::string s = text.substr(0, 31);
  std::size_t i = 0;
  auto blank = [&](std::size_t at) { return at < s.size() && (s[at] == ' ' || s[at] == '\t'); };
  auto digit = [&](std::size_t at) { return at < s.size() && s[at] >= '0' && s[at] <= '9'; };

  while (blank(i)) ++i;
  const std::size_t first = i;
  if (i < s.size() && s[i] == '+') ++i;
  if (!digit(i)) return PortReadResult::NotPositiveInteger;

  // Saturate instead of wrapping: an overlong number must fail the range
  // test, never come out as a small valid port.
  std::uint64_t number = 0;
  while (digit(i)) {
    number = number * 10 + static_cast<unsigned>(s[i] - '0');
    if (number > 0xFFFFFFFFull) number = 0xFFFFFFFFull + 1;
    ++i;
  }
  while (blank(i)) ++i;
  if (i != s.size()) return PortReadResult::NotPositiveInteger;

  const std::uint32_t result = number > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(number);
  if (result == 0 && s[first] != '0') return PortReadResult::NotPositiveInteger;
  if (value) *value = result;
  return result <= kPortMaximum ? PortReadResult::Ok : PortReadResult::OutOfRange;
}

}  // namespace mervix
