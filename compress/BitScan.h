// Bit scans for the coder's inner loops, through the compiler's intrinsics
// (GCC and Clang builtins, MSVC's _BitScan*), with a plain loop for any
// other compiler. Every argument must be non-zero.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace mervix {

// Zero bits above the highest one bit of v (v != 0).
inline int LeadingZeros32(std::uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_clz(v);
#elif defined(_MSC_VER)
  unsigned long index;
  _BitScanReverse(&index, v);
  return 31 - static_cast<int>(index);
#else
  int n = 0;
  for (std::uint32_t bit = 0x80000000u; (v & bit) == 0; bit >>= 1) ++n;
  return n;
#endif
}

// Zero bits above the highest one bit of v (v != 0).
inline int LeadingZeros64(std::uint64_t v) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_clzll(v);
#elif defined(_MSC_VER) && defined(_M_X64)
  unsigned long index;
  _BitScanReverse64(&index, v);
  return 63 - static_cast<int>(index);
#else
  const std::uint32_t high = static_cast<std::uint32_t>(v >> 32);
  return high != 0 ? LeadingZeros32(high) : 32 + LeadingZeros32(static_cast<std::uint32_t>(v));
#endif
}

// Zero bits below the lowest one bit of v (v != 0).
inline int TrailingZeros64(std::uint64_t v) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctzll(v);
#elif defined(_MSC_VER) && defined(_M_X64)
  unsigned long index;
  _BitScanForward64(&index, v);
  return static_cast<int>(index);
#else
  int n = 0;
  for (; (v & 1u) == 0; v >>= 1) ++n;
  return n;
#endif
}

}  // namespace mervix
