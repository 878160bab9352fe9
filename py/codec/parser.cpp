// The parser reads the text's own buffer in place, in one pass, at the
// buffer's width. Texts whose code points are all at most U+FFFF (1- and
// 2-byte buffers) take the narrow path, where a code-point index is also a
// UTF-16 position; 4-byte texts take the wide path, which counts code points
// and UTF-16 units separately.
//
// The reading loops run no Python code: they only create str and list
// objects. They report a malformed text as an Outcome, and the exception is
// raised after the loop, once the collector is back to its previous state.
#include "parser.h"

#include <algorithm>
#include <cstring>

#include "format.h"

namespace tarv {
namespace {

using format::header_digit_count;
using format::is_decimal_digit;
using format::kRowEnd;

enum class Outcome {
  kDone,        // the table is complete
  kEndOfInput,  // the text ends too early
  kBadChar,     // see BadChar
  kRaised,      // an exception (MemoryError) is set
};

// The offending code point of a kBadChar outcome and its UTF-16 position.
struct BadChar {
  Py_UCS4 ch = 0;
  Py_ssize_t u16_pos = 0;

  Outcome at(Py_UCS4 code_point, Py_ssize_t position) noexcept {
    ch = code_point;
    u16_pos = position;
    return Outcome::kBadChar;
  }
};

// Collects the values of the current row natively and makes each row list,
// and the outer list, at its exact size.
class TableBuilder {
 public:
  TableBuilder() noexcept = default;
  TableBuilder(const TableBuilder&) = delete;
  TableBuilder& operator=(const TableBuilder&) = delete;
  ~TableBuilder() {
    for (Py_ssize_t i = 0; i < values_.size(); ++i) Py_DECREF(values_[i]);
    for (Py_ssize_t i = 0; i < rows_.size(); ++i) Py_DECREF(rows_[i]);
  }

  // Takes ownership of `value` (which may be null after a failed creation).
  bool add_value(PyObject* value) noexcept {
    if (!value) return false;
    if (!values_.push(value)) {
      Py_DECREF(value);
      return false;
    }
    return true;
  }

  bool end_row() noexcept {
    PyObject* row = take_list(values_);
    if (!row) return false;
    if (!rows_.push(row)) {
      Py_DECREF(row);
      return false;
    }
    return true;
  }

  PyObject* finish() noexcept { return take_list(rows_); }

 private:
  // A new list of exactly the buffer's objects, which it takes over.
  static PyObject* take_list(GrowBuf<PyObject*>& items) noexcept {
    const Py_ssize_t n = items.size();
    PyObject* list = PyList_New(n);
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) PyList_SET_ITEM(list, k, items[k]);
    items.clear();
    return list;
  }

  GrowBuf<PyObject*> values_;  // owned: the values of the row being read
  GrowBuf<PyObject*> rows_;    // owned: the rows read so far
};

// Holds the cyclic garbage collector off while the table is built. The
// objects made are lists of str, which cannot form cycles, and the repeated
// collections that their creation would trigger cost most of the time of a
// large parse. The previous state is restored on every path.
//
// The switch is the interpreter's, not the thread's: without the GIL, two
// threads parsing at once would each restore what the other set, and leave
// the collector off (or a user's gc.disable() undone). There the collector
// is left as it is: the lists being built are seen by no other thread, and
// the free-threaded collector spaces its collections by the number of
// objects alive, so they stay a bounded share of the work.
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(kFreeThreaded ? 0 : PyGC_Disable()) {}
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  int was_enabled_;
};

// The value of the `n` characters at `chars` of an ASCII text. Like the
// substring operation, it gives the shared empty and one-character strings;
// it skips that operation's checks of the range and of the text's width.
PyObject* new_ascii_value(const Py_UCS1* chars, Py_ssize_t n) noexcept {
  if (n <= 1) return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(chars[0]);
  PyObject* value = PyUnicode_New(n, 0x7F);
  if (value) std::memcpy(PyUnicode_1BYTE_DATA(value), chars, static_cast<size_t>(n));
  return value;
}

// The narrow path, for 1- and 2-byte buffers. At the top of the loop `i` is
// below `length`: every way round the loop checks that first.
template <typename Char>
Outcome read_narrow(PyObject* text, const Char* data, Py_ssize_t length, TableBuilder& table,
                    BadChar& bad) noexcept {
  [[maybe_unused]] const bool ascii = PyUnicode_IS_ASCII(text);
  Py_ssize_t i = 0;
  for (;;) {
    const Py_UCS4 x = data[i];
    if (x == kRowEnd) {
      if (!table.end_row()) return Outcome::kRaised;
      if (++i == length) return Outcome::kDone;
      continue;
    }
    const int h_digits = header_digit_count(x);
    if (h_digits == 0) return bad.at(x, i);
    const Py_ssize_t char_start = i + 1 + h_digits;
    // Strict: content starting at the very end leaves no room for the ';'.
    if (char_start >= length) return Outcome::kEndOfInput;
    int64_t n = 0;  // 16 digits at most: always fits
    for (Py_ssize_t j = i + 1; j < char_start; ++j) {
      const Py_UCS4 c = data[j];
      if (!is_decimal_digit(c)) return bad.at(c, j);
      n = n * 10 + static_cast<int64_t>(c - '0');
    }
    // The content end must be before the last character; compared this way
    // round, a huge declared length cannot overflow.
    if (n >= length - char_start) return Outcome::kEndOfInput;
    i = char_start + static_cast<Py_ssize_t>(n);
    PyObject* value;
    if constexpr (sizeof(Char) == 1) {
      value = ascii ? new_ascii_value(data + char_start, static_cast<Py_ssize_t>(n))
                    : PyUnicode_Substring(text, char_start, i);
    } else {
      value = PyUnicode_Substring(text, char_start, i);
    }
    if (!table.add_value(value)) return Outcome::kRaised;
  }
}

// A new str of the `n` code points at `chars` (from a 4-byte buffer), at the
// narrowest width that holds `any_bits`, the bitwise or of them all: its
// highest bit is that of the widest code point, and the width thresholds
// (U+007F, U+00FF, U+FFFF) are all ones below a power of two. Like the
// substring operation, it gives the shared empty and one-character strings.
PyObject* new_value(const Py_UCS4* chars, Py_ssize_t n, Py_UCS4 any_bits) noexcept {
  if (n <= 1) return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(chars[0]);
  PyObject* value = PyUnicode_New(n, std::min<Py_UCS4>(any_bits, 0x10FFFF));
  if (!value) return nullptr;
  switch (PyUnicode_KIND(value)) {
    case PyUnicode_1BYTE_KIND: {
      Py_UCS1* out = PyUnicode_1BYTE_DATA(value);
      for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<Py_UCS1>(chars[i]);
      break;
    }
    case PyUnicode_2BYTE_KIND: {
      Py_UCS2* out = PyUnicode_2BYTE_DATA(value);
      for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<Py_UCS2>(chars[i]);
      break;
    }
    default:
      std::memcpy(PyUnicode_4BYTE_DATA(value), chars, static_cast<size_t>(n) * 4);
      break;
  }
  return value;
}

// The wide path, for 4-byte buffers: char_idx indexes code points, u16_idx is
// the UTF-16 position of the record being read.
Outcome read_wide(const Py_UCS4* buf, Py_ssize_t length, TableBuilder& table,
                  BadChar& bad) noexcept {
  using I32x4 = int32_t __attribute__((vector_size(16)));
  Py_ssize_t u16_idx = 0;
  Py_ssize_t char_idx = 0;
  for (;;) {
    const Py_UCS4 x = buf[char_idx];
    if (x == kRowEnd) {
      if (!table.end_row()) return Outcome::kRaised;
      ++u16_idx;
      if (++char_idx == length) return Outcome::kDone;
      continue;
    }
    const int h_digits = header_digit_count(x);
    if (h_digits == 0) return bad.at(x, u16_idx);
    // Not strict: digits reaching exactly to the end are still read, so a bad
    // digit there is reported as such.
    if (length - char_idx - 1 < h_digits) return Outcome::kEndOfInput;
    int64_t target_u16_len = 0;
    for (int d = 0; d < h_digits; ++d) {
      const Py_UCS4 ch = buf[char_idx + 1 + d];
      if (!is_decimal_digit(ch)) return bad.at(ch, u16_idx + 1 + d);
      target_u16_len = target_u16_len * 10 + static_cast<int64_t>(ch - '0');
    }
    const Py_ssize_t char_start = char_idx + 1 + h_digits;
    const Py_ssize_t content_u16_pos = u16_idx + 1 + h_digits;
    char_idx = char_start;
    int64_t u16_accum = 0;
    Py_UCS4 any_bits = 0;
    // Sixteen code points at a time while the declared length has room for
    // sixteen units and they are all BMP (sixteen units, then); else four at
    // a time while they fit in it (they may reach past it into the text:
    // only those taken are used). Long runs without astral code points go at
    // nearly the speed of a narrow text. The last ones, fewer than four, one
    // by one.
    for (;;) {
      const int64_t units_left = target_u16_len - u16_accum;
      if (units_left >= 16 && length - char_idx >= 16) {
        I32x4 blocks[4];
        std::memcpy(blocks, buf + char_idx, sizeof blocks);
        const I32x4 ored = blocks[0] | blocks[1] | blocks[2] | blocks[3];
        const Py_UCS4 bits = static_cast<Py_UCS4>(ored[0] | ored[1] | ored[2] | ored[3]);
        if (bits <= format::kMaxBmp) {
          any_bits |= bits;
          u16_accum += 16;
          char_idx += 16;
          continue;
        }
      }
      if (units_left < 4 || length - char_idx < 4) break;
      I32x4 block;  // code points are at most 0x10FFFF: signed comparisons are exact
      std::memcpy(&block, buf + char_idx, 16);
      const Py_UCS4 block_bits = static_cast<Py_UCS4>(block[0] | block[1] | block[2] | block[3]);
      int64_t units = 4;
      if (block_bits > format::kMaxBmp) {
        const I32x4 astral = block > static_cast<int32_t>(format::kMaxBmp);  // -1 per astral lane
        units -= astral[0] + astral[1] + astral[2] + astral[3];
        if (units > units_left) break;
      }
      any_bits |= block_bits;
      u16_accum += units;
      char_idx += 4;
    }
    while (u16_accum < target_u16_len) {
      if (char_idx >= length) return Outcome::kEndOfInput;
      const Py_UCS4 ch = buf[char_idx];
      any_bits |= ch;
      u16_accum += ch > format::kMaxBmp ? 2 : 1;
      ++char_idx;
    }
    if (u16_accum > target_u16_len) {
      // The declared length ends between the two halves of the last code
      // point taken: report its low surrogate, at that surrogate's position.
      const Py_UCS4 low_surrogate_code = 0xDC00 + (buf[char_idx - 1] & 0x3FF);
      return bad.at(low_surrogate_code, content_u16_pos + static_cast<Py_ssize_t>(target_u16_len));
    }
    if (char_idx >= length) return Outcome::kEndOfInput;
    if (!table.add_value(new_value(buf + char_start, char_idx - char_start, any_bits))) {
      return Outcome::kRaised;
    }
    u16_idx = content_u16_pos + static_cast<Py_ssize_t>(target_u16_len);
  }
}

// Raises the built-in SyntaxError (never looked up by name) with `message`.
void raise_syntax_error(PyObject* message) noexcept {
  Ref error = Ref::steal(PyObject_CallOneArg(PyExc_SyntaxError, message));
  if (!error) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

PyObject* raise_end_of_input(NameLookup& end_of_input) noexcept {
  Ref message = end_of_input.get();
  if (message) raise_syntax_error(message.get());
  return nullptr;
}

PyObject* raise_bad_char(const BadChar& bad) noexcept {
  Ref message = Ref::steal(
      PyUnicode_FromFormat(format::kUnexpectedTokenFormat, static_cast<int>(bad.ch), bad.u16_pos));
  if (message) raise_syntax_error(message.get());
  return nullptr;
}

}  // namespace

PyObject* parse(PyObject* text, NameLookup& end_of_input) noexcept {
  if (!ensure_ready(text)) return nullptr;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (length == 0) return raise_end_of_input(end_of_input);

  Ref table;
  Outcome outcome;
  BadChar bad;
  {
    CollectorPause pause;
    TableBuilder builder;
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        outcome = read_narrow(text, PyUnicode_1BYTE_DATA(text), length, builder, bad);
        break;
      case PyUnicode_2BYTE_KIND:
        outcome = read_narrow(text, PyUnicode_2BYTE_DATA(text), length, builder, bad);
        break;
      default:
        outcome = read_wide(PyUnicode_4BYTE_DATA(text), length, builder, bad);
        break;
    }
    if (outcome == Outcome::kDone) {
      table = Ref::steal(builder.finish());
      if (!table) outcome = Outcome::kRaised;
    }
  }
  switch (outcome) {
    case Outcome::kDone:
      return table.release();
    case Outcome::kEndOfInput:
      return raise_end_of_input(end_of_input);
    case Outcome::kBadChar:
      return raise_bad_char(bad);
    case Outcome::kRaised:
      break;
  }
  return nullptr;
}

}  // namespace tarv
