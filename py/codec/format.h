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

#include <cstdint>

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

// ---------------------------------------------------------------------------
// Records, as the writer puts them: every rule about their shape is here.

// The index in HEX of the header character for a length of `digits` decimal
// digits (HEX[0] announces one digit).
inline constexpr int header_index(int digits) noexcept { return digits - 1; }

// Whether a HEX of `hex_chars` characters holds the header character for a
// length of `digits` digits (else indexing it fails).
inline constexpr bool hex_covers(Py_ssize_t hex_chars, int digits) noexcept {
  return header_index(digits) < hex_chars;
}

// The characters of a record: its header (one character, unless HEX
// supplies longer pieces), the `digits` of its length, and the value's
// `v_len` code points.
inline constexpr Py_ssize_t record_length(int digits, Py_ssize_t v_len,
                                          Py_ssize_t header_chars = 1) noexcept {
  return header_chars + digits + v_len;
}

// A UTF-16 length is below 2^63: it has at most this many decimal digits.
inline constexpr int kMaxDecimalDigits = 19;

// The most characters a record with a one-character header takes beyond
// its value's code points.
inline constexpr Py_ssize_t kRecordOverhead = record_length(kMaxDecimalDigits, 0);

// "00" to "99", two characters per number.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the `digits` decimal digits of `n` at `out` and returns their end.
// A number below 100 is written as one pair of characters whatever its
// digit count, without a branch: when it has one digit, the second character
// is scratch, overwritten by what follows. The writer may do this because a
// length is always followed by at least one more character of the text (its
// content, or the ';' of its row).
template <typename Char>
inline Char* write_decimal(Char* out, uint64_t n, int digits) noexcept {
  if (n < 100) {
    const char* pair = kDigitPairs + 2 * n + (n < 10);
    out[0] = static_cast<Char>(pair[0]);
    out[1] = static_cast<Char>(pair[1]);
    return out + digits;
  }
  Char* const end = out + digits;
  Char* p = end;
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
  return end;
}

// Writes the header character for a length of `digits` digits (taken from
// `headers`, indexed by header_index(); none when `headers` is null, the
// header having been written already) and then the length `u16_len`.
template <typename Char>
inline Char* write_prefix(Char* out, const Py_UCS4* headers, uint64_t u16_len,
                          int digits) noexcept {
  if (headers) *out++ = static_cast<Char>(headers[header_index(digits)]);
  return write_decimal(out, u16_len, digits);
}

// write_prefix() for a length below 100, without counting its digits.
// (Measured: tables of short ASCII values take 8% less time.)
template <typename Char>
inline Char* write_short_prefix(Char* out, const Py_UCS4* headers, uint64_t u16_len) noexcept {
  const bool two_digits = u16_len >= 10;
  if (headers) *out++ = static_cast<Char>(headers[header_index(1 + two_digits)]);
  // As write_decimal() does below 100: the second character of a one-digit
  // length is scratch, overwritten by what follows.
  const char* pair = kDigitPairs + 2 * u16_len + !two_digits;
  out[0] = static_cast<Char>(pair[0]);
  out[1] = static_cast<Char>(pair[1]);
  return out + 1 + two_digits;
}

// Ends a row.
template <typename Char>
inline Char* write_row_end(Char* out) noexcept {
  *out = static_cast<Char>(kRowEnd);
  return out + 1;
}

// The number of code points above U+FFFF among the `n` at `buf`: what a
// 4-byte string's UTF-16 length exceeds its code-point count by. A plain
// loop, which the compiler vectorizes.
inline Py_ssize_t count_astral(const Py_UCS4* buf, Py_ssize_t n) noexcept {
  Py_ssize_t astral = 0;
  for (Py_ssize_t i = 0; i < n; ++i) astral += buf[i] > kMaxBmp;
  return astral;
}

}  // namespace tarv::format
