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

#include <cstring>

#include "format.h"

namespace tarv {
namespace {

// The number of length digits a header character announces (1 to 16), or 0
// when it is not a header character: '0'-'9', 'a'-'f' and 'A'-'F' pass.
int header_digit_count(Py_UCS4 x) noexcept {
  if (x < '0') return 0;
  if (x <= '9') return static_cast<int>(x - '0') + 1;
  const Py_UCS4 upper = x & ~static_cast<Py_UCS4>(0x20);
  if (upper >= 'A' && upper <= 'F') return static_cast<int>(upper - 'A') + 11;
  return 0;
}

bool is_decimal_digit(Py_UCS4 c) noexcept { return c - '0' <= 9; }

// The bad-character message, filled with the offending code point and its
// UTF-16 position.
constexpr char kUnexpectedTokenFormat[] = "Unexpected token '%c' at position %zd";

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

// Owned objects in order: the values of the row being read, or the rows.
// Each row list, and the outer list, is then made at its exact size, where
// appending to lists would grow them again and again (measured, bench.py
// --ab: parse appending to the lists takes 1.41, 1.36 and 1.09 times the
// time on short-ascii at 1k, 100k and 1M values). The first kInline objects
// are held in place, so that a small table takes no memory beyond its lists
// and strings (measured, callgrind, a call and the release of its result:
// one row of one value, 1,839 instructions against 2,061 with both in
// interpreter memory; ten rows of ten, 28,837 against 29,925).
class ObjectBuf {
 public:
  ObjectBuf() noexcept = default;
  ObjectBuf(const ObjectBuf&) = delete;
  ObjectBuf& operator=(const ObjectBuf&) = delete;
  ~ObjectBuf() {
    for (Py_ssize_t k = 0; k < size_; ++k) Py_DECREF(data_[k]);
    if (data_ != inline_) PyMem_Free(data_);
  }

  // Takes over `obj`; on failure releases it and sets MemoryError.
  bool push(PyObject* obj) noexcept {
    if (size_ == capacity_ && !grow()) {
      Py_DECREF(obj);
      return false;
    }
    data_[size_++] = obj;
    return true;
  }

  // A new list of the objects, which it takes over.
  PyObject* take_list() noexcept {
    PyObject* list = PyList_New(size_);
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < size_; ++k) PyList_SET_ITEM(list, k, data_[k]);
    size_ = 0;
    return list;
  }

 private:
  static constexpr Py_ssize_t kInline = 64;

  bool grow() noexcept {
    if (capacity_ > PY_SSIZE_T_MAX / 2 / static_cast<Py_ssize_t>(sizeof(PyObject*))) {
      PyErr_NoMemory();
      return false;
    }
    const Py_ssize_t capacity = 2 * capacity_;
    const size_t bytes = static_cast<size_t>(capacity) * sizeof(PyObject*);
    PyObject** grown;
    if (data_ == inline_) {
      grown = static_cast<PyObject**>(PyMem_Malloc(bytes));
      if (grown) std::memcpy(grown, inline_, sizeof inline_);
    } else {
      grown = static_cast<PyObject**>(PyMem_Realloc(data_, bytes));
    }
    if (!grown) {
      PyErr_NoMemory();
      return false;
    }
    data_ = grown;
    capacity_ = capacity;
    return true;
  }

  PyObject** data_ = inline_;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = kInline;
  PyObject* inline_[kInline];
};

class TableBuilder {
 public:
  // Takes over `value`, which is null after a failed creation.
  bool add_value(PyObject* value) noexcept { return value && values_.push(value); }

  bool end_row() noexcept {
    PyObject* row = values_.take_list();
    return row && rows_.push(row);
  }

  PyObject* finish() noexcept { return rows_.take_list(); }

 private:
  ObjectBuf values_;
  ObjectBuf rows_;
};

// Holds the cyclic garbage collector off while the table is built. The
// objects made are lists of str, which cannot form cycles, and the repeated
// collections that their creation would trigger cost much of the time of a
// large parse (measured, callgrind at 100,000 values in a process holding
// little else: without the pause, short-ascii takes 17% more estimated
// cycles and tall, a list per value, 81% more). The previous state is
// restored on every path.
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

// Copies `n` (at least 2) characters: up to 16 as two fixed-size blocks that
// overlap in the middle, each within the characters, inline where memcpy is
// a call with branches of its own (measured, bench.py --ab, parse: 1 to 16%
// less time than with memcpy on short-ascii, tall, ragged and numeric at
// 1k, 100k and 1M values; under callgrind, 35% fewer mispredicted branches).
void copy_chars(Py_UCS1* out, const Py_UCS1* chars, Py_ssize_t n) noexcept {
  const auto copy_ends = [&](auto block) {
    std::memcpy(&block, chars, sizeof block);
    std::memcpy(out, &block, sizeof block);
    std::memcpy(&block, chars + n - sizeof block, sizeof block);
    std::memcpy(out + n - sizeof block, &block, sizeof block);
  };
  if (n > 16) {
    std::memcpy(out, chars, static_cast<size_t>(n));
  } else if (n >= 8) {
    copy_ends(uint64_t{});
  } else if (n >= 4) {
    copy_ends(uint32_t{});
  } else {
    copy_ends(uint16_t{});
  }
}

// The value of the `n` characters at `chars` of an ASCII text. Like the
// substring operation, it gives the shared empty and one-character strings;
// it skips that operation's checks of the range and of the text's width, and
// its call of memcpy (measured, callgrind at 100,000 values: 9% fewer
// estimated cycles than the substring operation on short-ascii, 10% on
// numeric; with memcpy, the two were at par).
PyObject* new_ascii_value(const Py_UCS1* chars, Py_ssize_t n) noexcept {
  if (n <= 1) return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(chars[0]);
  PyObject* value = PyUnicode_New(n, 0x7F);
  if (!value) return nullptr;
  copy_chars(PyUnicode_1BYTE_DATA(value), chars, n);
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
    if (x == format::kRowEnd) {
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
// substring operation, it gives the shared empty and one-character strings;
// that operation would scan the characters again for the widest (measured,
// callgrind at 100,000 values: it takes 14% more estimated cycles on
// emoji-dense, 22% on mixed-widths).
PyObject* new_value(const Py_UCS4* chars, Py_ssize_t n, Py_UCS4 any_bits) noexcept {
  if (n <= 1) return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(chars[0]);
  PyObject* value = PyUnicode_New(n, any_bits > 0x10FFFF ? 0x10FFFF : any_bits);
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
  Py_ssize_t u16_idx = 0;
  Py_ssize_t char_idx = 0;
  for (;;) {
    const Py_UCS4 x = buf[char_idx];
    if (x == format::kRowEnd) {
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
      PyUnicode_FromFormat(kUnexpectedTokenFormat, static_cast<int>(bad.ch), bad.u16_pos));
  if (message) raise_syntax_error(message.get());
  return nullptr;
}

}  // namespace

PyObject* parse(PyObject* text, NameLookup& end_of_input) noexcept {
  if (!ensure_ready(text)) return nullptr;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (length == 0) return raise_end_of_input(end_of_input);

  PyObject* table = nullptr;
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
      table = builder.finish();
      if (!table) outcome = Outcome::kRaised;
    }
  }
  switch (outcome) {
    case Outcome::kDone:
      return table;
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
