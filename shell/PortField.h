// Reading the port field: the rules of the dialog's data exchange for an
// unsigned number.
#pragma once

#include <cstdint>
#include <string>

namespace mervix {

enum class PortReadResult {
  Ok,               // |value| holds the number, 0 to 65535
  NotPositiveInteger,  // prompt 61719
  OutOfRange,       // prompt 61714 with the bounds 0 and 65535
};

inline constexpr std::uint32_t kPortMaximum = 65535;

// Reads at most the first 31 characters of |text|: optional blanks and tabs,
// an optional plus sign, one or more decimal digits, optional blanks and
// tabs, nothing else. A number too large for 32 bits reads as 4294967295. A
// result of 0 counts only when the first character after the leading blanks
// is the digit 0 (so "+0" is refused). |value| receives the number read
// whenever the text has the right form, even when it is out of range.
PortReadResult ReadPortText(const std::string& text, std::uint32_t* value);

}  // namespace mervix
