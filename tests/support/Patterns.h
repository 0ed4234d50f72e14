// Test data the suites share: image bytes and the environment of English
// texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mervix::testing {

// |n| pseudo-random bytes, a different sequence for every |seed|: every
// block of an image made of them differs from the others, so a block sent
// twice or out of order shows.
inline std::vector<std::uint8_t> PatternBytes(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> b(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

// Environment overrides (see EnvironmentWith) that give a program's English
// texts whatever the machine's locale.
inline const std::vector<std::string> kEnglishLocale = {"LANG=C", "LC_ALL=C", "-LC_MESSAGES", "-LANGUAGE"};

}  // namespace mervix::testing
