#include "image/TextScan.h"

#include "image/HexText.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define MERVIX_TEXT_SCAN_SSE2 1
#include <emmintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#endif

namespace mervix {
namespace detail {

std::size_t FindLineEndByCharacter(const char* text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r' || c == '\t') return i;
  }
  return size;
}

std::size_t DecodeHexPairsByCharacter(const unsigned char* text, std::size_t count, std::uint8_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t high = HexDigitValue(text[2 * i]);
    const std::uint8_t low = HexDigitValue(text[2 * i + 1]);
    // kNotHexDigit has its top bit set and no digit has: one test for both.
    if ((high | low) & 0x80) return i;
    out[i] = static_cast<std::uint8_t>((high << 4) | low);
  }
  return count;
}

}  // namespace detail

#ifdef MERVIX_TEXT_SCAN_SSE2

namespace {

// Index of the lowest set bit of a non-zero mask.
unsigned LowestSetBit(unsigned mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long index = 0;
  _BitScanForward(&index, mask);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctz(mask));
#endif
}

}  // namespace

std::size_t FindLineEnd(const char* text, std::size_t size) {
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i tab = _mm_set1_epi8('\t');
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)), _mm_cmpeq_epi8(v, tab));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return i + LowestSetBit(mask);
  }
  return i + detail::FindLineEndByCharacter(text + i, size - i);
}

std::size_t DecodeHexPairs(const unsigned char* text, std::size_t count, std::uint8_t* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i digitZero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i caseBit = _mm_set1_epi8(0x20);
  const __m128i letterA = _mm_set1_epi8('a');
  const __m128i five = _mm_set1_epi8(5);
  const __m128i ten = _mm_set1_epi8(10);
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  std::size_t done = 0;
  // 16 characters, 8 bytes, per step.
  for (; done + 8 <= count; done += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 2 * done));
    // A digit is c - '0' in 0..9, a letter (c | 0x20) - 'a' in 0..5, both
    // compared unsigned: the saturating subtraction leaves 0 only there.
    // Only 'A'-'F' and 'a'-'f' themselves turn into 'a'-'f' when the case
    // bit is set, so nothing else passes as a letter.
    const __m128i digit = _mm_sub_epi8(v, digitZero);
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_subs_epu8(digit, nine), zero);
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(v, caseBit), letterA);
    const __m128i isLetter = _mm_cmpeq_epi8(_mm_subs_epu8(letter, five), zero);
    if (_mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) != 0xFFFF) break;
    const __m128i nibbles =
        _mm_or_si128(_mm_and_si128(isDigit, digit), _mm_and_si128(isLetter, _mm_add_epi8(letter, ten)));
    // Each 16-bit lane holds a pair: its high digit in the low byte.
    const __m128i high = _mm_slli_epi16(nibbles, 4);
    const __m128i low = _mm_srli_epi16(nibbles, 8);
    const __m128i bytes = _mm_and_si128(_mm_or_si128(high, low), lowBytes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + done), _mm_packus_epi16(bytes, bytes));
  }
  // The last few pairs, or the step with a fault in it: a pair at a time
  // from there, which stores the pairs before the fault and stops at it.
  return done + detail::DecodeHexPairsByCharacter(text + 2 * done, count - done, out + done);
}

#else

std::size_t FindLineEnd(const char* text, std::size_t size) { return detail::FindLineEndByCharacter(text, size); }

std::size_t DecodeHexPairs(const unsigned char* text, std::size_t count, std::uint8_t* out) {
  return detail::DecodeHexPairsByCharacter(text, count, out);
}

#endif

}  // namespace mervix
