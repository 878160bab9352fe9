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
#include <type_traits>

namespace tarv::format {

inline constexpr Py_UCS4 kRowEnd = ';';

// The header characters the writer uses (the module attribute HEX starts
// out as this): the one at header_index(digits) announces `digits` length
// digits, 1 to 16.
inline constexpr char kHexDigits[] = "0123456789abcdef";
inline constexpr int kMaxHeaderDigits = 16;
inline constexpr int header_index(int digits) noexcept { return digits - 1; }

// The end-of-input message (the module attribute ErrUnexpectedEndOfInput
// starts out as this).
inline constexpr char kUnexpectedEndOfInput[] = "Unexpected end of input";

// Largest code point that is one UTF-16 unit.
inline constexpr Py_UCS4 kMaxBmp = 0xFFFF;

// ---------------------------------------------------------------------------
// Records, as the writer puts them.

// The range of a character: the largest code point of the narrowest str
// width that holds it (ASCII, Latin-1, 2 or 4 bytes). A text is as wide as
// the largest range among its characters.
inline constexpr Py_UCS4 char_range(Py_UCS4 c) noexcept {
  return c <= 0x7F ? 0x7F : c <= 0xFF ? 0xFF : c <= kMaxBmp ? kMaxBmp : 0x10FFFF;
}

// The number of code points above U+FFFF among the `n` at `chars`: what a
// 4-byte str's UTF-16 length exceeds its code-point count by. (The compiler
// vectorizes the loop.)
inline Py_ssize_t count_astral(const Py_UCS4* chars, Py_ssize_t n) noexcept {
  Py_ssize_t astral = 0;
  for (Py_ssize_t i = 0; i < n; ++i) astral += chars[i] > kMaxBmp;
  return astral;
}

// The decimal digits of a length, 1 to 19 (a length is below 2^63). Below
// 100 without a branch: on short-ascii (lengths 1 to 12) a branch costs 0.30
// more mispredicted branches a value, for 1.5 fewer instructions (callgrind's
// branch simulation).
inline int decimal_digits(uint64_t n) noexcept {
  if (n < 100) [[likely]] return 1 + static_cast<int>((9 - n) >> 63);  // (n >= 10, not made a branch)
  int digits = 3;
  for (uint64_t bound = 1000; n >= bound && digits < 19; bound *= 10) ++digits;
  return digits;
}

// Calls f with a pointer of the character type of a str's `kind`, `chars`
// (the str's characters, or any other buffer of that type).
template <typename F>
[[gnu::always_inline]] inline auto with_kind(int kind, void* chars, F&& f) noexcept
    -> decltype(f(static_cast<Py_UCS1*>(chars))) {
  switch (kind) {
    [[likely]] case PyUnicode_1BYTE_KIND:
      return f(static_cast<Py_UCS1*>(chars));
    case PyUnicode_2BYTE_KIND:
      return f(static_cast<Py_UCS2*>(chars));
    default:
      return f(static_cast<Py_UCS4*>(chars));
  }
}

// A value's figures, worked out once by measure() and used for the room
// check, the choice of header and the writing alike.
struct Record {
  Py_ssize_t v_len;    // code points
  Py_ssize_t u16_len;  // UTF-16 units: the length written
  int digits;          // decimal digits of u16_len
  Py_UCS4 range;       // of the widest character

  // Characters of the record with a header of `header_chars`: the header,
  // the length's digits, the value.
  Py_ssize_t chars(Py_ssize_t header_chars = 1) const noexcept {
    return header_chars + digits + v_len;
  }
};

// The figures of a ready str of In characters. Every str is canonical, so
// its width (and for 1-byte strs the ASCII flag) gives its range; only a
// 4-byte str's UTF-16 length needs counting.
template <typename In>
inline Record measure_as(PyObject* v) noexcept {
  const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
  Py_ssize_t u16_len = v_len;
  Py_UCS4 range = 0x10FFFF;
  if constexpr (sizeof(In) == 1) {
    range = PyUnicode_IS_ASCII(v) ? 0x7F : 0xFF;
  } else if constexpr (sizeof(In) == 2) {
    range = kMaxBmp;
  } else {
    u16_len += count_astral(static_cast<const Py_UCS4*>(PyUnicode_DATA(v)), v_len);
  }
  return {v_len, u16_len, decimal_digits(static_cast<uint64_t>(u16_len)), range};
}

inline Record measure(PyObject* v) noexcept {
  return with_kind(PyUnicode_KIND(v), nullptr,
                   [&](auto* c) { return measure_as<std::remove_pointer_t<decltype(c)>>(v); });
}

// "00" to "99", two characters per number.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the `digits` decimal digits of `n` at `out` and returns their end.
// A number below 100 is written as one pair of characters whatever its digit
// count: for one digit the second character is scratch, which what follows
// overwrites (a length is always followed by its content or the row's ';',
// and the writer keeps a character of room beyond a record). Short values
// thus take no branch on their length's digit count.
template <typename Char>
inline Char* write_short_decimal(Char* out, uint64_t n, int digits) noexcept {
  const char* pair = kDigitPairs + 2 * n + (n < 10);
  out[0] = static_cast<Char>(pair[0]);
  out[1] = static_cast<Char>(pair[1]);
  return out + digits;
}

template <typename Char>
inline Char* write_decimal(Char* out, uint64_t n, int digits) noexcept {
  if (n < 100) [[likely]] return write_short_decimal(out, n, digits);
  for (Char* p = out + digits; p != out; n /= 10) *--p = static_cast<Char>('0' + n % 10);
  return out + digits;
}

}  // namespace tarv::format
