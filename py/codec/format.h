// The TARV text format, shared by the serializer and the parser.
//
// A text is one or more rows. A row is zero or more value records followed
// by ';'. A value record is a header character h (a hexadecimal digit), then
// exactly h + 1 decimal digits giving the value's length, then the value
// verbatim. Lengths and positions count UTF-16 code units: a code point above
// U+FFFF counts 2, any other (a lone surrogate included) counts 1. There is
// no quoting or escaping: content is never interpreted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarv::format {

inline constexpr Py_UCS4 kRowEnd = ';';

// The header characters the writer uses (the module attribute HEX starts
// out as this), indexed by the number of length digits minus one.
inline constexpr char kHexDigits[] = "0123456789abcdef";

// A length has at most this many decimal digits (header 'f').
inline constexpr int kMaxLengthDigits = 16;

// The end-of-input message (the module attribute ErrUnexpectedEndOfInput
// starts out as this); the bad-character message is built from the offending
// code point and its UTF-16 position.
inline constexpr char kUnexpectedEndOfInput[] = "Unexpected end of input";
inline constexpr char kUnexpectedTokenFormat[] = "Unexpected token '%c' at position %zd";

// Largest code point that is one UTF-16 unit.
inline constexpr Py_UCS4 kMaxBmp = 0xFFFF;

// The number of length digits a header character announces (1 to 16), or 0
// when it is not a header character. '0'-'9', 'a'-'f' and 'A'-'F' pass.
inline int header_digit_count(Py_UCS4 x) noexcept {
  if (x < '0') return 0;
  if (x <= '9') return static_cast<int>(x - '0') + 1;
  const Py_UCS4 upper = x & ~static_cast<Py_UCS4>(0x20);
  if (upper >= 'A' && upper <= 'F') return static_cast<int>(upper - 'A') + 11;
  return 0;
}

inline bool is_decimal_digit(Py_UCS4 c) noexcept { return c - '0' <= 9; }

// The number of decimal digits of `n`, written without leading zeros.
// Lengths below 1000 are counted without branches.
inline int decimal_digit_count(uint64_t n) noexcept {
  int digits = 1 + (n >= 10) + (n >= 100);
  for (uint64_t limit = 1000; n >= limit && digits < 20; limit *= 10) ++digits;
  return digits;
}

// "00" to "99", two characters per number.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the `digits` decimal digits of `n` so that they end at `out_end`
// and returns where they start. `room` is the number of characters that may
// be written in front of `out_end`: with two, a number below 100 is written
// as one pair, its leading zero (if any) left for the caller to overwrite.
template <typename Char>
inline Char* write_decimal_back(Char* out_end, uint64_t n, int digits, Py_ssize_t room) noexcept {
  Char* p = out_end;
  if (n < 100 && room >= 2) {
    p[-2] = static_cast<Char>(kDigitPairs[2 * n]);
    p[-1] = static_cast<Char>(kDigitPairs[2 * n + 1]);
    return out_end - digits;
  }
  while (n >= 100) {
    const char* pair = kDigitPairs + 2 * (n % 100);
    n /= 100;
    *--p = static_cast<Char>(pair[1]);
    *--p = static_cast<Char>(pair[0]);
  }
  if (n >= 10) {
    *--p = static_cast<Char>(kDigitPairs[2 * n + 1]);
    *--p = static_cast<Char>(kDigitPairs[2 * n]);
  } else {
    *--p = static_cast<Char>('0' + n);
  }
  return p;
}

// The number of code points above U+FFFF among the `n` at `buf`: what a
// 4-byte string's UTF-16 length exceeds its code-point count by. With
// `may_read_before`, up to 3 code points in front of `buf` may be read (and
// ignored): true of a compact str, whose characters follow its header.
inline Py_ssize_t count_astral(const Py_UCS4* buf, Py_ssize_t n,
                               [[maybe_unused]] bool may_read_before) noexcept {
  Py_ssize_t astral = 0;
  Py_ssize_t i = 0;
#if defined(__SSE2__)
  // Four code points per step. Code points are at most 0x10FFFF, so the
  // signed comparison is exact; it gives -1 in each lane holding an astral
  // one. A lane's count is summed out every 2^24 steps, long before it could
  // overflow.
  const __m128i bmp_max = _mm_set1_epi32(static_cast<int>(kMaxBmp));
  __m128i lanes = _mm_setzero_si128();
  Py_ssize_t steps_left = Py_ssize_t{1} << 24;
  auto sum_lanes = [&] {
    lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2)));
    lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(2, 3, 0, 1)));
    astral += static_cast<uint32_t>(_mm_cvtsi128_si32(lanes));
    lanes = _mm_setzero_si128();
  };
  for (; n - i >= 4; i += 4) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i));
    lanes = _mm_sub_epi32(lanes, _mm_cmpgt_epi32(x, bmp_max));
    if (--steps_left == 0) {
      sum_lanes();
      steps_left = Py_ssize_t{1} << 24;
    }
  }
  if (i < n && may_read_before) {
    // The last 1 to 3 code points: one block ending at the last one, its
    // lanes in front of them masked off.
    alignas(16) static constexpr int32_t kTailMasks[4][4] = {
        {0, 0, 0, 0}, {0, 0, 0, -1}, {0, 0, -1, -1}, {0, -1, -1, -1}};
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + n - 4));
    const __m128i keep = _mm_load_si128(reinterpret_cast<const __m128i*>(kTailMasks[n - i]));
    lanes = _mm_sub_epi32(lanes, _mm_and_si128(_mm_cmpgt_epi32(x, bmp_max), keep));
    i = n;
  }
  sum_lanes();
#endif
  for (; i < n; ++i) astral += buf[i] > kMaxBmp;
  return astral;
}

// The UTF-16 length of a ready str (compact or not).
inline Py_ssize_t u16_length(PyObject* str) noexcept {
  const Py_ssize_t v_len = PyUnicode_GET_LENGTH(str);
  if (PyUnicode_KIND(str) != PyUnicode_4BYTE_KIND) return v_len;
  return v_len + count_astral(PyUnicode_4BYTE_DATA(str), v_len, PyUnicode_IS_COMPACT(str));
}

}  // namespace tarv::format
