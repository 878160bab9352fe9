// The serializer walks the input once and writes the text front to back into
// one TextBuilder. The result is what joining the literal piece list
//   [HEX[len(l_str) - 1], l_str, v] per value, ';' per row
// would give, errors included, without creating those pieces.
//
// The walk (Serializer) follows the literal algorithm item by item: exact
// lists and tuples by index, anything else through the iterator protocol,
// str() for items that are not str, HEX looked up for every value. Where
// no Python code can run, it takes a shortcut that is observably the same:
// a row that is an exact list or tuple of str, with HEX remembered as an
// exact str, is written by the builder's tight loop, straight from the
// row's item array, with the header characters read from HEX once.
#include "serializer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "format.h"

namespace tarv {
namespace {

using format::kMaxBmp;

// ---------------------------------------------------------------------------
// Strings as the writer reads them.

// Whether an item is a str whose characters can be read as they are (a str
// subclass instance included: none of its methods is called).
inline bool readable_str(PyObject* v) noexcept {
  return (Py_IS_TYPE(v, &PyUnicode_Type) || PyUnicode_Check(v)) && is_ready(v);
}

// The item array and size of an exact list or tuple; false for anything
// else. No code may run while they are used.
inline bool exact_items(PyObject* seq, PyObject* const*& items, Py_ssize_t& size) noexcept {
  if (PyList_CheckExact(seq)) {
    items = reinterpret_cast<PyListObject*>(seq)->ob_item;
    size = PyList_GET_SIZE(seq);
    return true;
  }
  if (PyTuple_CheckExact(seq)) {
    items = reinterpret_cast<PyTupleObject*>(seq)->ob_item;
    size = PyTuple_GET_SIZE(seq);
    return true;
  }
  return false;
}

// The current size of an exact list or tuple.
inline Py_ssize_t exact_size(PyObject* seq) noexcept {
  return PyList_CheckExact(seq) ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
}

// A new reference to item `k` of an exact list or tuple, or null past its
// end. (Without the GIL another thread may remove a list's item meanwhile:
// the reference is taken under the list's lock.)
inline Ref exact_item(PyObject* seq, Py_ssize_t k) noexcept {
#ifdef Py_GIL_DISABLED
  if (PyList_CheckExact(seq)) {
    PyObject* item = PyList_GetItemRef(seq, k);
    if (!item) PyErr_Clear();  // past the end
    return Ref::steal(item);
  }
#endif
  if (k >= exact_size(seq)) return Ref();
  return Ref::borrow(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, k) : PyTuple_GET_ITEM(seq, k));
}

// The range of a character: the largest code point of the narrowest width
// that holds it, 0x7F (ASCII), 0xFF, 0xFFFF or 0x10FFFF. A text's width is
// that of the largest range among its characters.
inline Py_UCS4 char_range(Py_UCS4 c) noexcept {
  return c <= 0x7F ? 0x7F : c <= 0xFF ? 0xFF : c <= 0xFFFF ? 0xFFFF : 0x10FFFF;
}

// The range of a str's characters. Every str is canonical, so its width (and
// for 1-byte strings the ASCII flag) gives the range of its widest character.
// (As PyUnicode_MAX_CHAR_VALUE, but testing the width first: in the tight
// loop that takes 5 fewer instructions per value.)
inline Py_UCS4 str_range(PyObject* v) noexcept {
  switch (PyUnicode_KIND(v)) {
    case PyUnicode_1BYTE_KIND:
      return PyUnicode_IS_ASCII(v) ? 0x7F : 0xFF;
    case PyUnicode_2BYTE_KIND:
      return 0xFFFF;
    default:
      return 0x10FFFF;
  }
}

// The UTF-16 length of a str.
inline Py_ssize_t u16_length(PyObject* v) noexcept {
  const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
  if (PyUnicode_KIND(v) != PyUnicode_4BYTE_KIND) return v_len;
  return v_len + format::count_astral(PyUnicode_4BYTE_DATA(v), v_len);
}

// The number of decimal digits of v's UTF-16 length. A 4-byte string's lies
// between v_len and 2 * v_len units: it is only counted when those bounds
// have different digit counts.
inline int length_digits(PyObject* v, Py_ssize_t v_len) noexcept {
  const int digits = format::decimal_digit_count(static_cast<uint64_t>(v_len));
  if (PyUnicode_KIND(v) != PyUnicode_4BYTE_KIND ||
      format::decimal_digit_count(2 * static_cast<uint64_t>(v_len)) == digits) {
    return digits;
  }
  return format::decimal_digit_count(static_cast<uint64_t>(u16_length(v)));
}

// Calls f(static_cast<Char*>(nullptr)) with Char the character type of
// `kind`: the one place that turns a width into a type.
template <typename F>
[[gnu::always_inline]] inline void with_char_type(int kind, F&& f) {
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      f(static_cast<Py_UCS1*>(nullptr));
      break;
    case PyUnicode_2BYTE_KIND:
      f(static_cast<Py_UCS2*>(nullptr));
      break;
    default:
      f(static_cast<Py_UCS4*>(nullptr));
      break;
  }
}

// The header characters HEX supplies without running code: the first
// characters (16 at most) of an exact str, or the leading elements of an
// exact list or tuple that are one-character exact strs.
struct HexTable {
  Py_ssize_t chars = 0;
  Py_UCS4 header[format::kMaxLengthDigits] = {};
  // A header for every length of up to 16 digits, all ASCII (so they fit
  // any text): then only a value's own characters decide the text's width.
  bool simple = false;

  void load(PyObject* hex) noexcept {
    chars = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(hex), format::kMaxLengthDigits);
    bool ascii = PyUnicode_IS_ASCII(hex);
    with_char_type(PyUnicode_KIND(hex), [&](auto* type) {
      const auto* data = static_cast<decltype(type)>(PyUnicode_DATA(hex));
      for (Py_ssize_t k = 0; k < chars; ++k) header[k] = data[k];
    });
    // (A str that is not ASCII may still begin with 16 ASCII characters.)
    if (!ascii) {
      ascii = true;
      for (Py_ssize_t k = 0; k < chars; ++k) ascii &= header[k] <= 0x7F;
    }
    simple = ascii && chars == format::kMaxLengthDigits;
  }

  // An element that is not a one-character exact str ends the table: the
  // general step indexes HEX for those lengths, and gets that element.
  void load_items(PyObject* hex) noexcept {
    PyObject* const* pieces = nullptr;
    Py_ssize_t n = 0;
    exact_items(hex, pieces, n);
    n = std::min<Py_ssize_t>(n, format::kMaxLengthDigits);
    bool ascii = true;
    for (chars = 0; chars < n; ++chars) {
      PyObject* piece = pieces[chars];
      if (!PyUnicode_CheckExact(piece) || !is_ready(piece) || PyUnicode_GET_LENGTH(piece) != 1) break;
      header[chars] = PyUnicode_READ_CHAR(piece, 0);
      ascii &= header[chars] <= 0x7F;
    }
    simple = ascii && chars == format::kMaxLengthDigits;
  }

  bool covers(int digits) const noexcept { return format::hex_covers(chars, digits); }
  Py_UCS4 at(int digits) const noexcept { return header[format::header_index(digits)]; }
};

// ---------------------------------------------------------------------------
// Copying characters.

// A short value (at most 16 bytes of characters) is copied as one 16-byte
// block (ShortBlock), without branching on its length: random short lengths
// would mispredict a branchy copy (memcpy's) most of the time. The block is
// read so that it ends with the value's last byte. What it holds in front of
// the first character is the string object's own header, which precedes the
// characters of every compact str and is at least 16 bytes long on every
// supported layout. Those bytes are shifted out (for an empty value, masked
// to zeros) before the block is counted or stored, so they never reach the
// text. The store writes the characters and then zeros, up to 16 bytes of
// source characters, which what follows overwrites: the builder always
// keeps that much room beyond a record. This needs a 128-bit integer and
// little-endian byte order (the first character must be the lowest byte);
// elsewhere short values are copied exactly. (Measured on this design, ns
// per value at a million values against exact copies: short ASCII 7.1
// against 11.0, ragged 7.5 against 10.4, tall 14.7 against 16.3, mixed
// widths 13.6 against 19.8.)
//
// Longer values are copied by memcpy, or by a widening loop the compiler
// vectorizes.
static_assert(sizeof(PyASCIIObject) >= 16 && sizeof(PyCompactUnicodeObject) >= 16);

// A build with TARV_EXACT_COPIES defined copies every short value exactly,
// as machines without those do: the tests use it to run that path here. So
// does a free-threaded build, where other threads write to a str's header
// (its reference count) while it is read.
#if defined(__SIZEOF_INT128__) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && !defined(TARV_EXACT_COPIES) && \
    !defined(Py_GIL_DISABLED)
constexpr bool kShortBlocks = true;

class ShortBlock {
 public:
  // The `char_bytes` (0 to 16) bytes of characters that end at `chars_end`,
  // in front of which lies the header of their compact str. An empty value
  // (16 bytes of header, shifted by nothing) is masked to zeros, in 64-bit
  // halves, without a branch: one would mispredict on tables with many
  // empty values.
  ShortBlock(const void* chars_end, size_t char_bytes) noexcept {
    const auto* end = static_cast<const unsigned char*>(chars_end);
    uint64_t low, high;
    std::memcpy(&low, end - 16, 8);
    std::memcpy(&high, end - 8, 8);
    const unsigned __int128 all = (static_cast<unsigned __int128>(high) << 64) | low;
    const unsigned __int128 bytes = all >> ((8 * (16 - char_bytes)) & 127);
    const uint64_t keep = -static_cast<uint64_t>(char_bytes != 0);
    low_ = static_cast<uint64_t>(bytes) & keep;
    high_ = static_cast<uint64_t>(bytes >> 64) & keep;
  }

  // For 4-byte characters; the zeros after them count as none. Code points
  // are at most 0x10FFFF, so a signed comparison is exact.
  Py_ssize_t count_astral() const noexcept {
    using I32x4 = int32_t __attribute__((vector_size(16)));
    I32x4 code_points;
    as_vector(code_points);
    const I32x4 astral = code_points > static_cast<int32_t>(kMaxBmp);  // -1 per lane
    return -(static_cast<Py_ssize_t>(astral[0]) + astral[1] + astral[2] + astral[3]);
  }

  // Writes the 16 bytes, characters of width In, at `out`, widened to Out.
  template <typename Out, typename In>
  void store(Out* out) const noexcept {
    if constexpr (sizeof(Out) == sizeof(In)) {
      std::memcpy(out, &low_, 8);
      std::memcpy(out + 8 / sizeof(Out), &high_, 8);
    } else {
      In chars[16 / sizeof(In)];
      as_vector(chars);
      for (size_t k = 0; k < 16 / sizeof(In); ++k) out[k] = chars[k];
    }
  }

 private:
  // The block as a vector or array. (Kept as two integers in between: an
  // array member would make the compiler keep the block in memory, stored
  // in halves and loaded whole, which the store buffer cannot forward. Nor
  // is a vector passed or returned by value, which would depend on the
  // target's vector registers.)
  template <typename Vector>
  void as_vector(Vector& v) const noexcept {
    static_assert(sizeof(Vector) == 16);
    std::memcpy(&v, &low_, 8);
    std::memcpy(reinterpret_cast<unsigned char*>(&v) + 8, &high_, 8);
  }

  uint64_t low_, high_;
};
#else
constexpr bool kShortBlocks = false;

// Never made: short values are copied exactly.
class ShortBlock {
 public:
  ShortBlock(const void*, size_t) noexcept {}
  Py_ssize_t count_astral() const noexcept { return 0; }
  template <typename Out, typename In>
  void store(Out*) const noexcept {}
};
#endif

// Copies `n` characters exactly, widening them where Out is wider. From 16
// to 64 bytes, as two blocks of 16 or 32 bytes that overlap in the middle
// (each read within the value's characters): inline, where memcpy is a call.
template <typename Out, typename In>
inline void copy_chars(Out* out, const In* in, Py_ssize_t n) noexcept {
  static_assert(sizeof(In) <= sizeof(Out));
  if constexpr (sizeof(In) == sizeof(Out)) {
    const size_t bytes = static_cast<size_t>(n) * sizeof(Out);
    auto* to = reinterpret_cast<unsigned char*>(out);
    const auto* from = reinterpret_cast<const unsigned char*>(in);
    if (bytes - 16 <= 16) {
      unsigned char head[16], tail[16];
      std::memcpy(head, from, 16);
      std::memcpy(tail, from + bytes - 16, 16);
      std::memcpy(to, head, 16);
      std::memcpy(to + bytes - 16, tail, 16);
    } else if (bytes - 33 <= 31) {
      unsigned char head[32], tail[32];
      std::memcpy(head, from, 32);
      std::memcpy(tail, from + bytes - 32, 32);
      std::memcpy(to, head, 32);
      std::memcpy(to + bytes - 32, tail, 32);
    } else {
      std::memcpy(to, from, bytes);
    }
  } else {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = in[i];
  }
}

// Writes records into a text of Out characters, as wide as the widest str
// written into it. With kSlack characters of room beyond a record's value
// (its prefix, and the rest of a short block), a short value is stored as a
// block; otherwise (kRoomChecked false) only where the text's `end` leaves
// room for one.
template <typename Out>
struct RecordWriter {
  static constexpr Py_ssize_t kSlack = format::kRecordOverhead + 16;

  // A value's prefix (the header character from `headers`, or none when
  // `headers` is null, and the decimal UTF-16 length) and its characters.
  // The most common values, short compact 1-byte strs (empty ones
  // included), are written inline; the rest by a call. (Measured: small
  // tables of 25 to 400 short values take 8 to 15% less time per call.)
  template <bool kRoomChecked>
  [[gnu::always_inline]] static Out* value(Out* out, Out* end, PyObject* v,
                                           const Py_UCS4* headers) noexcept {
    const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
    if (PyUnicode_KIND(v) == PyUnicode_1BYTE_KIND && PyUnicode_IS_COMPACT(v)) {
      const auto* chars = static_cast<const Py_UCS1*>(PyUnicode_DATA(v));
      if (kShortBlocks && v_len <= 16) {
        const ShortBlock block(chars + v_len, static_cast<size_t>(v_len));
        out = format::write_short_prefix(out, headers, static_cast<uint64_t>(v_len));
        if (kRoomChecked || end - out >= 16) {
          block.template store<Out, Py_UCS1>(out);
        } else {
          copy_chars(out, chars, v_len);
        }
        return out + v_len;
      }
      if (v_len <= 64) {
        out = format::write_short_prefix(out, headers, static_cast<uint64_t>(v_len));
        copy_chars(out, chars, v_len);
        return out + v_len;
      }
    }
    return other_value(out, end, v, v_len, headers);
  }

  // The characters of a str, verbatim (a header piece).
  static Out* chars(Out* out, PyObject* s) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    with_char_type(PyUnicode_KIND(s), [&](auto* in) {
      using In = std::remove_pointer_t<decltype(in)>;
      if constexpr (sizeof(In) <= sizeof(Out)) copy_chars(out, static_cast<const In*>(PyUnicode_DATA(s)), n);
    });
    return out + n;
  }

 private:
  // Static, taking and giving the position: were a writer's address to
  // escape into a call, the compiler would keep its position in memory and
  // store and reload it around every value.
  [[gnu::noinline]] static Out* other_value(Out* out, Out* end, PyObject* v, Py_ssize_t v_len,
                                            const Py_UCS4* headers) noexcept {
    const bool compact = PyUnicode_IS_COMPACT(v);
    with_char_type(PyUnicode_KIND(v), [&](auto* in) {
      using In = std::remove_pointer_t<decltype(in)>;
      if constexpr (sizeof(In) <= sizeof(Out)) {
        out = record(out, end, static_cast<const In*>(PyUnicode_DATA(v)), v_len, compact, headers);
      }
    });
    return out;
  }

  // (Short compact 1-byte values never come here: value() writes them.)
  template <typename In>
  static Out* record(Out* out, Out* end, const In* chars, Py_ssize_t v_len, bool compact,
                     const Py_UCS4* headers) noexcept {
    constexpr Py_ssize_t kBlockChars = 16 / sizeof(In);
    if (kShortBlocks && sizeof(In) > 1 && compact && v_len <= kBlockChars) {
      const ShortBlock block(chars + v_len, static_cast<size_t>(v_len) * sizeof(In));
      Py_ssize_t u16_len = v_len;
      if constexpr (sizeof(In) == 4) u16_len += block.count_astral();
      const int digits = format::decimal_digit_count(static_cast<uint64_t>(u16_len));
      out = format::write_prefix(out, headers, static_cast<uint64_t>(u16_len), digits);
      if (end - out >= kBlockChars) {
        block.template store<Out, In>(out);
      } else {
        copy_chars(out, chars, v_len);
      }
    } else {
      Py_ssize_t u16_len = v_len;
      if constexpr (sizeof(In) == 4) u16_len += format::count_astral(chars, v_len);
      const int digits = format::decimal_digit_count(static_cast<uint64_t>(u16_len));
      out = format::write_prefix(out, headers, static_cast<uint64_t>(u16_len), digits);
      copy_chars(out, chars, v_len);
    }
    return out + v_len;
  }
};

constexpr Py_ssize_t kSlack = RecordWriter<Py_UCS1>::kSlack;

// ---------------------------------------------------------------------------
// The text builder.

// What the walk expects of the rest of the table, asked for when the text
// must grow: the characters still to come (beyond those of the record that
// asked), exactly or by estimate, and the widest range among them.
struct RestOfText {
  Py_ssize_t chars = 0;
  Py_UCS4 range = 0x7F;
  bool known = false;    // false: nothing is known (an iterator's rows)
  bool exact = false;
  bool trusted = false;  // estimated by figures that agree
};

// Where the tight loop is in what it writes: item k of row r, the row's
// items being items[0..n) (of rows[r], when it walks rows).
struct PlainPosition {
  PyObject* const* rows = nullptr;
  Py_ssize_t n_rows = 0;
  Py_ssize_t r = 0;
  PyObject* const* items = nullptr;
  Py_ssize_t n = 0;
  Py_ssize_t k = 0;
};

// Where the tight loop stopped.
enum class Stop {
  kDone,      // every item (or row) given was written
  kNotPlain,  // at an item (or row) that needs the general step
  kRoom,      // at an item (or row end) that needs more room or width
};

// Owns the text being written: a buffer on the stack for small tables (most
// never leave it), then a str that grows, is made anew one width wider when
// a character needs it (at most three times: ASCII, 1, 2, 4 bytes), and is
// cut to its length at the end. Records go in through append_record() and
// the tight loop, rows end through end_row().
//
// The join's errors are kept until the walk is over, as joining a piece
// list would report them only then: the first header piece that is not a
// str (TypeError) or with which the text would be too long (OverflowError);
// after either, nothing more is written. Running out of memory for the
// text is kept the same way: the lengths are still counted, so that a text
// too long is reported as such.
class TextBuilder {
 public:
  TextBuilder() noexcept = default;
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;

  Py_ssize_t length() const noexcept { return length_; }

  // Appends the record of `v`, whose UTF-16 length has `digits` digits: the
  // header is `header_piece`'s characters, or else the character `header`.
  template <typename Rest>
  void append_record(Py_UCS4 header, PyObject* header_piece, PyObject* v, int digits,
                     Rest&& rest) noexcept {
    const Py_ssize_t header_chars = header_piece ? PyUnicode_GET_LENGTH(header_piece) : 1;
    const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
    if (mode_ >= Mode::kCounting) {
      count_pieces({header_chars, digits, v_len});
      return;
    }
    const Py_UCS4 range =
        std::max(str_range(v), header_piece ? str_range(header_piece) : char_range(header));
    make_room(format::record_length(digits, v_len, header_chars), range, rest);
    if (mode_ >= Mode::kCounting) {
      count_pieces({header_chars, digits, v_len});
      return;
    }
    Py_UCS4 headers[format::kMaxLengthDigits];
    headers[format::header_index(digits)] = header;
    with_text([&](auto* base) {
      using Out = std::remove_pointer_t<decltype(base)>;
      Out* out = base + length_;
      if (header_piece) out = RecordWriter<Out>::chars(out, header_piece);
      out = RecordWriter<Out>::template value<false>(out, base + capacity_, v,
                                                     header_piece ? nullptr : headers);
      length_ = out - base;
    });
    pieces_ += 3;
  }

  template <typename Rest>
  void end_row(Rest&& rest) noexcept {
    if (mode_ < Mode::kCounting) make_room(1, 0x7F, rest);
    if (mode_ >= Mode::kCounting) {
      count_pieces({1});
      return;
    }
    with_text([&](auto* base) { format::write_row_end(base + length_); });
    ++length_;
    ++pieces_;
  }

  // HEX gave a header piece that is not a str: joining the pieces would
  // fail there.
  void defer_bad_piece(Ref piece) noexcept {
    if (mode_ == Mode::kFailed) return;
    fail(pieces_);
    bad_piece_ = std::move(piece);
  }

  // The tight loop: writes the values items[k], items[k + 1]... of a row
  // while they are str whose header `hex` has, and then the row's end,
  // growing and widening the text as needed (rest(r, k) tells what is
  // left). Returns true once the row has ended; else false, with `k` at the
  // first item not written. Runs no Python code.
  template <typename Rest>
  bool append_plain_row(PyObject* const* items, Py_ssize_t n, Py_ssize_t& k, const HexTable& hex,
                        Rest&& rest) noexcept {
    PlainPosition at{nullptr, 1, 0, items, n, k};
    run_plain<false>(at, hex, rest);
    k = at.k;
    return at.r == 1;
  }

  // The tight loop over rows: writes rows[r], rows[r + 1]... while they are
  // exact lists or tuples of str whose header `hex` has, each with its ';',
  // and stops at the first item (r, k) that is not. Runs no Python code.
  template <typename Rest>
  void append_plain_rows(PyObject* const* rows, Py_ssize_t n_rows, Py_ssize_t& r, Py_ssize_t& k,
                         const HexTable& hex, Rest&& rest) noexcept {
    PlainPosition at{rows, n_rows, r, nullptr, 0, k};
    run_plain<true>(at, hex, rest);
    r = at.r;
    k = at.k;
  }

  // The text, or null with the join's error (or MemoryError) set.
  PyObject* finish() noexcept {
    if (mode_ == Mode::kFailed) {
      if (bad_piece_) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                     failed_piece_, Py_TYPE(bad_piece_.get())->tp_name);
      } else {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
      }
      return nullptr;
    }
    if (mode_ == Mode::kCounting) return PyErr_NoMemory();
    if (mode_ == Mode::kStack) {
      PyObject* text = PyUnicode_New(length_, written_range_);
      if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), stack_, static_cast<size_t>(length_));
      return text;
    }
    // A text made wider than what was written (the rows that were expected
    // to need it changed meanwhile) is copied into a canonical one.
    if (written_range_ < range_) {
      Ref narrow = Ref::steal(PyUnicode_New(length_, written_range_));
      if (!narrow || PyUnicode_CopyCharacters(narrow.get(), 0, text_.get(), 0, length_) < 0) {
        return nullptr;
      }
      return narrow.release();
    }
    if (capacity_ != length_ && !resize(length_)) return nullptr;
    return text_.release();
  }

 private:
  enum class Mode { kStack, kHeap, kCounting, kFailed };

  // Characters of the buffer on the stack: tables whose text fits are
  // written there, then copied into a str of their size. (Measured: tables
  // of 25 to 400 short ASCII values take 10 to 25% less time than written
  // into a str sized first.)
  static constexpr Py_ssize_t kStackChars = 4096;
  // See capacity_for().
  static constexpr Py_ssize_t kFirstStep = Py_ssize_t{1} << 22;
  template <typename F>
  [[gnu::always_inline]] void with_text(F&& f) noexcept {
    with_char_type(kind_, [&](auto* type) { f(static_cast<decltype(type)>(base_)); });
  }

  template <bool kRows, typename Rest>
  void run_plain(PlainPosition& at, const HexTable& hex, Rest& rest) noexcept {
    for (;;) {
      if (!kRows && at.r == 1) return;
      if (mode_ >= Mode::kCounting) return count_plain<kRows>(at, hex);
      Stop stop = Stop::kDone;
      with_text([&](auto* base) {
        stop = hex.simple ? plain_loop<kRows, true>(base, at, hex)
                          : plain_loop<kRows, false>(base, at, hex);
      });
      if (stop == Stop::kDone || stop == Stop::kNotPlain) return;
      // Item k (or the row's end) needs more room or width than the text
      // has to spare: it is appended as any record is.
      if constexpr (kRows) exact_items(at.rows[at.r], at.items, at.n);
      if (at.k < at.n) {
        PyObject* v = at.items[at.k];
        const int digits = length_digits(v, PyUnicode_GET_LENGTH(v));
        append_record(hex.at(digits), nullptr, v, digits, [&] { return rest(at.r, at.k + 1); });
        ++at.k;
      } else {
        end_row([&] { return rest(at.r + 1, 0); });
        ++at.r;
        at.k = 0;
      }
    }
  }

  // The loop itself, at the text's width, resuming at (r, k); kSimple for
  // a HEX whose headers are all there and ASCII. Locals hold the position
  // and counters, stored back when it stops: stores into a 1-byte text
  // could alias the members, which would then be reloaded after every
  // value. A function of its own, so that its registers are its own:
  // inlined into the walk, it kept the block in memory (measured: 8 more
  // instructions per value).
  template <bool kRows, bool kSimple, typename Out>
  [[gnu::noinline]] Stop plain_loop(Out* const base, PlainPosition& at,
                                    const HexTable& hex) noexcept {
    PyObject* const* const rows = at.rows;
    const Py_ssize_t n_rows = at.n_rows;
    PyObject* const* items = at.items;
    Py_ssize_t n = at.n;
    Out* out = base + length_;
    Out* const end = base + capacity_;
    // A record is stored while its value ends before `limit`: beyond lies
    // the room a record needs past its value. (No text is shorter than
    // that room: the buffer on the stack is not, and a str is made from it.)
    Out* const limit = end - kSlack;
    const Py_UCS4* const headers = hex.header;
    const Py_ssize_t r_start = at.r;
    Py_ssize_t r = at.r, k = at.k;
    Py_ssize_t values = -k;  // counted as indexes, at each row's end and where it stops
    Stop stop = Stop::kDone;
    for (;;) {
      if constexpr (kRows) {
        if (r >= n_rows) break;
        if (!exact_items(rows[r], items, n)) {
          stop = Stop::kNotPlain;
          break;
        }
      }
      // Only the first row may resume past its start. (A row shrunk by code
      // run since it was last read may end before k.)
      PyObject* const* item = items;
      if (k) item += std::min(k, n);
      PyObject* const* const items_end = items + n;
      for (; item != items_end; ++item) {
        PyObject* v = *item;
        if (!readable_str(v)) {
          stop = Stop::kNotPlain;
          break;
        }
        const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
        // An ASCII value with an ASCII header fits any text.
        if (!kSimple || !PyUnicode_IS_ASCII(v)) {
          stop = note_range<kSimple>(v, v_len, hex);
          if (stop != Stop::kDone) break;
        }
        if (limit - out < v_len) {
          stop = Stop::kRoom;
          break;
        }
        out = RecordWriter<Out>::template value<true>(out, end, v, headers);
      }
      if (stop != Stop::kDone) {
        k = item - items;
        break;
      }
      if (out == end) {
        stop = Stop::kRoom;
        k = n;
        break;
      }
      out = format::write_row_end(out);
      values += n;
      ++r;
      k = 0;
      if constexpr (!kRows) break;
    }
    values += k;
    length_ = out - base;
    pieces_ += 3 * values + (r - r_start);
    at.r = r;
    at.k = k;
    at.items = items;
    at.n = n;
    return stop;
  }

  // For the tight loop: notes the range a value and its header character
  // need, if the text holds it (kDone); kNotPlain when HEX has no header
  // for it, kRoom when the text must be made wider.
  template <bool kSimple>
  Stop note_range(PyObject* v, Py_ssize_t v_len, const HexTable& hex) noexcept {
    Py_UCS4 range = str_range(v);
    if constexpr (!kSimple) {
      const int digits = length_digits(v, v_len);
      if (!hex.covers(digits)) return Stop::kNotPlain;
      range = std::max(range, char_range(hex.at(digits)));
    }
    if (range <= written_range_) return Stop::kDone;
    if (range > range_) return Stop::kRoom;
    written_range_ = range;
    return Stop::kDone;
  }

  // The tight loop once nothing is written any more: only the lengths are
  // counted (after running out of memory), or nothing at all (once the
  // join is known to fail).
  template <bool kRows>
  void count_plain(PlainPosition& at, const HexTable& hex) noexcept {
    for (;; ++at.r, at.k = 0) {
      if constexpr (kRows) {
        if (at.r >= at.n_rows || !exact_items(at.rows[at.r], at.items, at.n)) return;
      } else if (at.r == 1) {
        return;
      }
      for (; at.k < at.n; ++at.k) {
        PyObject* v = at.items[at.k];
        if (!readable_str(v)) return;
        const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
        const int digits = length_digits(v, v_len);
        if (!hex.covers(digits)) return;
        count_pieces({1, digits, v_len});
      }
      count_pieces({1});
    }
  }

  // Counts the pieces of a record or row end that is not written, noting
  // the first with which the text would be too long.
  void count_pieces(std::initializer_list<Py_ssize_t> piece_lengths) noexcept {
    if (mode_ == Mode::kFailed) return;
    for (const Py_ssize_t piece_len : piece_lengths) {
      if (piece_len > PY_SSIZE_T_MAX - length_) {
        fail(pieces_);
        return;
      }
      length_ += piece_len;
      ++pieces_;
    }
  }

  void fail(Py_ssize_t piece) noexcept {
    mode_ = Mode::kFailed;
    failed_piece_ = piece;
    drop_text();
  }

  // Nothing more is written: the lengths are counted from here on.
  void drop_text() noexcept {
    text_.reset();
    base_ = nullptr;
    capacity_ = 0;
  }

  // Makes room for `chars` characters (and kSlack beyond) of range `range`.
  // On failure the builder goes on counting (and the call ends in
  // MemoryError), unless the text is too long (then OverflowError).
  template <typename Rest>
  void make_room(Py_ssize_t chars, Py_UCS4 range, Rest&& rest) noexcept {
    if (range > written_range_ && mode_ < Mode::kCounting) {
      if (range > range_ && !widen(chars, range, rest)) return to_counting();
      written_range_ = range;
    }
    const Py_ssize_t room = capacity_ - length_;
    if (room - kSlack >= chars || (exact_ && room >= chars)) return;
    if (chars > PY_SSIZE_T_MAX - kSlack - length_) return to_counting();
    if (!grow(chars, rest())) to_counting();
  }

  void to_counting() noexcept {
    PyErr_Clear();
    mode_ = Mode::kCounting;
    drop_text();
  }

  // The capacity to grow to, for `needed` more characters now and `rest`
  // after them. An exact rest is taken as it is. An estimate that the
  // figures behind it do not agree on grows the text by at most 16 times
  // what it holds, so that rows unlike the rest cannot make it run away. A
  // trusted one is taken whole once the text holds kFirstStep characters,
  // and up to that before: glibc maps a block that large afresh at every
  // call, while a block grown to that size by reallocation stays in its
  // heap (measured: a million short values of which a quarter of the
  // characters are emoji, 36 MB, 8,800 page faults per call against none).
  // The text grows by a 16th at least, so that growing stays geometric.
  // Without an estimate it doubles.
  Py_ssize_t capacity_for(Py_ssize_t needed, const RestOfText& rest) const noexcept {
    Py_ssize_t more;
    if (!rest.known) {
      more = std::max(length_, needed);
    } else if (rest.exact) {
      return length_ + needed + rest.chars;
    } else {
      const Py_ssize_t limit = rest.trusted && length_ >= kFirstStep
                                   ? PY_SSIZE_T_MAX / 4
                                   : std::min(std::max(length_, kStackChars) * 16,
                                              rest.trusted ? kFirstStep : PY_SSIZE_T_MAX / 4);
      more = needed + std::max(std::min(rest.chars, limit), length_ / 16);
    }
    const Py_ssize_t most = PY_SSIZE_T_MAX - kSlack - length_;
    return length_ + std::min(more, most) + kSlack;
  }

  // Grows the text; made as wide as the rest is expected to need, when it
  // leaves the stack or is measured to need it.
  bool grow(Py_ssize_t needed, const RestOfText& rest) noexcept {
    const Py_ssize_t capacity = capacity_for(needed, rest);
    exact_ = rest.exact;
    if (mode_ == Mode::kStack) return leave_stack(capacity, std::max(written_range_, rest.range));
    if (rest.exact && rest.range > range_) return rewrite(capacity, rest.range);
    return resize(capacity);
  }

  // Resizes the text to `capacity` characters; on failure it stays as it
  // was, still owned here.
  bool resize(Py_ssize_t capacity) noexcept {
    PyObject* text = text_.release();
    const bool resized = PyUnicode_Resize(&text, capacity) == 0;
    text_ = Ref::steal(text);
    if (!resized) return false;
    capacity_ = capacity;
    base_ = PyUnicode_DATA(text);
    return true;
  }

  // Moves the text into a str of `capacity` characters, as wide as `range`.
  bool leave_stack(Py_ssize_t capacity, Py_UCS4 range) noexcept {
    if (!make_text(capacity, range)) return false;
    with_text([&](auto* base) { copy_chars(base, stack_, length_); });
    mode_ = Mode::kHeap;
    return true;
  }

  bool make_text(Py_ssize_t capacity, Py_UCS4 range) noexcept {
    text_ = Ref::steal(PyUnicode_New(capacity, range));
    if (!text_) return false;
    capacity_ = capacity;
    range_ = char_range(range);
    kind_ = PyUnicode_KIND(text_.get());
    base_ = PyUnicode_DATA(text_.get());
    return true;
  }

  // Makes the text as wide as `range` needs (the buffer on the stack holds
  // Latin-1): a str is made anew and the text so far copied into it.
  template <typename Rest>
  bool widen(Py_ssize_t chars, Py_UCS4 range, Rest&& rest) noexcept {
    if (mode_ == Mode::kStack) {
      const RestOfText expected = rest();
      exact_ = expected.exact;
      return leave_stack(capacity_for(chars, expected), std::max(range, expected.range));
    }
    if (exact_ && capacity_ - length_ >= chars) return rewrite(capacity_, range);
    // An estimated rest is estimated again once the wider text is made: the
    // narrower one, cut to its length first, and the wider one take about
    // as much as the result while both are held.
    exact_ = false;
    if (!resize(length_)) return false;
    return rewrite(length_ + chars + kSlack, range);
  }

  // Copies the text so far into a new str of `capacity` characters, as wide
  // as `range`.
  bool rewrite(Py_ssize_t capacity, Py_UCS4 range) noexcept {
    Ref narrow = std::move(text_);
    if (!make_text(capacity, range)) return false;
    return PyUnicode_CopyCharacters(text_.get(), 0, narrow.get(), 0, length_) >= 0;
  }

  Mode mode_ = Mode::kStack;
  void* base_ = stack_;           // the characters: stack_ or text_'s
  int kind_ = PyUnicode_1BYTE_KIND;
  Py_ssize_t capacity_ = kStackChars;
  bool exact_ = false;            // capacity_ is the text's length, as measured
  Py_ssize_t length_ = 0;         // characters written (or counted)
  Py_UCS4 range_ = 0xFF;          // the range the buffer holds
  Py_UCS4 written_range_ = 0x7F;  // the largest range written
  Ref text_;
  Py_ssize_t pieces_ = 0;         // pieces a literal piece list would hold so far
  Py_ssize_t failed_piece_ = 0;   // where the join fails
  Ref bad_piece_;                 // the header piece that is not a str
  Py_UCS1 stack_[kStackChars];
};

// ---------------------------------------------------------------------------
// The walk.

class Serializer {
 public:
  explicit Serializer(NameLookup& hex_lookup) noexcept : hex_lookup_(hex_lookup) {}

  PyObject* run(PyObject* lists) noexcept {
    if (PyList_CheckExact(lists) || PyTuple_CheckExact(lists)) {
      if (!walk_rows(lists)) return nullptr;
    } else if (!walk_iterable(lists, [this](Ref row) { return walk_row(row.get()); })) {
      return nullptr;
    }
    return text_.finish();
  }

 private:
  // The rows of an exact list or tuple, by index, the size read again at
  // every step (a list may grow or shrink while its items are converted).
  // Runs of plain rows go to the tight loop in one.
  bool walk_rows(PyObject* lists) noexcept {
    outer_ = lists;
    for (row_ = 0;; ++row_) {
      Py_ssize_t k = 0;
      // Without the GIL the rows are read one at a time, each under its
      // own lock (in walk_row).
      if (const HexTable* hex = kFreeThreaded ? nullptr : plain_hex()) {
        PyObject* const* rows = nullptr;
        Py_ssize_t n_rows = 0;
        exact_items(lists, rows, n_rows);
        text_.append_plain_rows(rows, n_rows, row_, k, *hex,
                                [this](Py_ssize_t r, Py_ssize_t k) { return rest_of_table(r, k); });
      }
      Ref row = exact_item(lists, row_);
      if (!row) break;
      if (!walk_row(row.get(), k)) return false;
    }
    outer_ = nullptr;
    return true;
  }

  // One row from item `k` on.
  bool walk_row(PyObject* row, Py_ssize_t k = 0) noexcept {
    auto rest = [this](Py_ssize_t r, Py_ssize_t k) { return rest_of_table(row_ + r, k); };
    if (PyList_CheckExact(row) || PyTuple_CheckExact(row)) {
      for (;; ++k) {
        if (const HexTable* hex = plain_hex()) {
          bool ended = false;
          with_object_locked(row, [&] {
            PyObject* const* items = nullptr;
            Py_ssize_t n = 0;
            exact_items(row, items, n);
            ended = text_.append_plain_row(items, n, k, *hex, rest);
          });
          if (ended) return true;
        }
        Ref item = exact_item(row, k);
        if (!item) break;
        if (!add_item(std::move(item), k)) return false;
      }
    } else {
      Py_ssize_t item_idx = 0;
      if (!walk_iterable(row, [&](Ref item) { return add_item(std::move(item), item_idx++); })) {
        return false;
      }
    }
    text_.end_row([&] { return rest_of_table(row_ + 1, 0); });
    return true;
  }

  // Any other iterable, through the iterator protocol: StopIteration (or a
  // subclass) ends the walk like exhaustion does.
  template <typename Visit>
  bool walk_iterable(PyObject* iterable, Visit&& visit) noexcept {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return false;
    for (;;) {
      code_may_run();
      // The type is read at every step: __class__ may be reassigned meanwhile.
      Ref element = Ref::steal(Py_TYPE(iterator.get())->tp_iternext(iterator.get()));
      if (!element) {
        if (PyErr_Occurred()) {
          if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
          PyErr_Clear();
        }
        return true;
      }
      if (!visit(std::move(element))) return false;
    }
  }

  // The general step, for one item (item `k` of the current row): str() of
  // anything that is not a str, HEX looked up afresh after it and indexed
  // with the general item access unless it is an exact str that has the
  // header.
  bool add_item(Ref item, Py_ssize_t k) noexcept {
    code_may_run();
    Ref v;
    if (PyUnicode_Check(item.get())) {
      // A str subclass instance is used as it is: none of its methods run.
      v = std::move(item);
    } else {
      v = Ref::steal(PyObject_Str(item.get()));
      if (!v) return false;
    }
    if (!ensure_ready(v.get())) return false;
    const int digits = length_digits(v.get(), PyUnicode_GET_LENGTH(v.get()));
    auto rest = [this, k] { return rest_of_table(row_, k + 1); };

    Ref hex = hex_lookup_.get();
    if (!hex) return false;
    if (PyUnicode_CheckExact(hex.get()) && !ensure_ready(hex.get())) return false;
    if (take_up(hex.get()) && hex_table_.covers(digits)) {
      text_.append_record(hex_table_.at(digits), nullptr, v.get(), digits, rest);
      return true;
    }
    Ref index = Ref::steal(PyLong_FromLong(format::header_index(digits)));
    if (!index) return false;
    Ref header = Ref::steal(PyObject_GetItem(hex.get(), index.get()));
    if (!header) return false;
    if (!PyUnicode_Check(header.get())) {
      text_.defer_bad_piece(std::move(header));
      return true;
    }
    if (!ensure_ready(header.get())) return false;
    text_.append_record(0, header.get(), v.get(), digits, rest);
    return true;
  }

  // The header characters of HEX for the tight loop, while its lookup is
  // remembered (and then runs no code); else null, and the general step
  // looks it up.
  const HexTable* plain_hex() noexcept {
#ifdef Py_GIL_DISABLED
    // Without the GIL, checking the lookup takes locks and a reference
    // that every thread shares (the dictionaries', HEX's): that is done
    // once, and again when either dictionary changed or this thread ran
    // code; in between, the lookup's generation is compared. (Measured,
    // 100,000 one-value rows in each of 2 threads: the check per row made
    // the two threads together 4 times slower than one thread alone.)
    const uint64_t generation = hex_lookup_.generation();
    if (hex_known_ && generation == hex_generation_) return &hex_table_;
    hex_known_ = false;
    Ref hex = hex_lookup_.cached();
    if (!hex || !take_up(hex.get())) return nullptr;
    hex_known_ = true;
    hex_generation_ = generation;
#else
    PyObject* hex = hex_lookup_.peek();
    if (!hex || !take_up(hex)) return nullptr;
#endif
    return &hex_table_;
  }

  // Loads the header characters of HEX, when it supplies them without
  // running code (see HexTable); false when it does not. An exact str is
  // loaded once: the reference keeps it from being freed, and its address
  // from being reused by another object while it is compared against, and
  // releasing the one before (an exact str) runs no code. The elements of a
  // list may have changed since any code ran: they are read every time.
  // (Measured: a HEX bound to the list of the same characters makes
  // stringify 4 to 7 times slower when indexed for every value.)
  bool take_up(PyObject* hex) noexcept {
    if (hex == hex_.get()) return true;
    if (PyUnicode_CheckExact(hex)) {
      if (!is_ready(hex)) return false;
      hex_ = Ref::borrow(hex);
      hex_table_.load(hex);
      have_table_ = true;
      return true;
    }
    // (Without the GIL, another thread may change a list while it is read.)
    if (!PyTuple_CheckExact(hex) && !(PyList_CheckExact(hex) && !kFreeThreaded)) return false;
    hex_.reset();
    hex_table_.load_items(hex);
    have_table_ = hex_table_.chars > 0;
    return have_table_;
  }

  // ---- what the rest of the table needs, for the text's size -------------

  // Measured for a row: its characters and widest range, if it is plain.
  struct RowMeasure {
    Py_ssize_t chars = 0;
    Py_UCS4 range = 0x7F;
    bool plain = false;
  };

  // Row `r` of the outer list from item `k` on (without its ';').
  RowMeasure measure_row(Py_ssize_t r, Py_ssize_t k) const noexcept {
    RowMeasure m;
    PyObject* const* rows = nullptr;
    Py_ssize_t n_rows = 0;
    PyObject* const* items = nullptr;
    Py_ssize_t n = 0;
    exact_items(outer_, rows, n_rows);
    if (r >= n_rows || !exact_items(rows[r], items, n) || !have_table_) return m;
    for (; k < n; ++k) {
      PyObject* v = items[k];
      if (!readable_str(v)) return m;
      const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
      const int digits = length_digits(v, v_len);
      if (!hex_table_.covers(digits)) return m;
      if (v_len > PY_SSIZE_T_MAX / 64 - m.chars) return m;
      m.chars += format::record_length(digits, v_len);
      m.range = std::max({m.range, str_range(v), char_range(hex_table_.at(digits))});
    }
    m.plain = true;
    return m;
  }

  // What is left of the table from item `k` of row `r` on: for the outer
  // list, the rows left times the characters per row. Once many rows are
  // written, their figure counts; before, that of the rows written and that
  // of a sample of those to come, the smaller, trusted when the two are
  // within a factor of two.
  //
  // The rest is estimated short of what it seems to need (by an eighth, or
  // a 64th once many rows are written), so that the text mostly runs out
  // just before its end, where the last rows are measured and the text
  // grown to its exact length: a text that needs no cut at the end leaves
  // the C library a block that the same call made again takes up as it is,
  // while a block cut short is a few bytes too small for it next time, and
  // the text is then copied into fresh pages at every call (measured: a
  // million short values, 450 page faults per call against none).
  //
  // Without the GIL, other rows are not read while one is written under its
  // lock (locking another might suspend that one): the text doubles.
  RestOfText rest_of_table(Py_ssize_t r, Py_ssize_t k) noexcept {
    RestOfText rest;
    if (!outer_ || kFreeThreaded) return rest;
    const Py_ssize_t n_rows = exact_size(outer_);
    // As few rows as a sample reads are measured instead: the text is then
    // made at its size, with no cut at the end (measured: three rows of ten
    // short values with emoji, 640 ns a call sampled, 507 measured; two
    // rows of five values of 1,000 characters, 365 and 313).
    if (!measured_ && n_rows - r <= kSampleRows) {
      measured_ = true;
      const RestOfText exact = measure_rest(r, k, n_rows);
      if (exact.exact) return exact;
    }
    if (!sampled_) take_sample(r);
    if (r == 0 && sample_rows_ == 0) return rest;
    const Py_ssize_t length = text_.length();
    const bool many_written = r >= kManyRows;
    double per_row = sample_per_row_;
    if (r > 0) {
      const double written_per_row = static_cast<double>(length) / static_cast<double>(r);
      per_row = sample_rows_ && !many_written ? std::min(per_row, written_per_row)
                                               : written_per_row;
      rest.trusted = many_written ||
                     (sample_rows_ && std::max(sample_per_row_, written_per_row) <= 2 * per_row);
    }
    const double estimate = per_row * static_cast<double>(std::max<Py_ssize_t>(n_rows - r, 0));
    if (!measured_ && estimate <= static_cast<double>(length) / 16) {
      // Once: a table that is not plain to its end is not measured again.
      measured_ = true;
      const RestOfText exact = measure_rest(r, k, n_rows);
      if (exact.exact) return exact;
    }
    const double short_of_it = estimate - estimate / (many_written ? 64 : 8);
    rest.known = true;
    rest.chars = static_cast<Py_ssize_t>(std::min(short_of_it, static_cast<double>(PY_SSIZE_T_MAX / 4)));
    rest.range = sample_range_;
    return rest;
  }

  // The rows from (r, k) on, measured exactly, if they are all plain.
  RestOfText measure_rest(Py_ssize_t r, Py_ssize_t k, Py_ssize_t n_rows) const noexcept {
    RestOfText rest;
    for (; r < n_rows; ++r, k = 0) {
      const RowMeasure m = measure_row(r, k);
      if (!m.plain) return rest;
      if (m.chars >= PY_SSIZE_T_MAX / 4 - rest.chars) return rest;
      rest.chars += m.chars + 1;
      rest.range = std::max(rest.range, m.range);
    }
    rest.exact = rest.known = true;
    return rest;
  }

  // A sample of the rows after row r: a sixteenth of them, 4 to
  // kSampleRows, spread over the rest of the table. Its median counts,
  // which a few rows unlike the rest do not move.
  void take_sample(Py_ssize_t r) noexcept {
    sampled_ = true;
    const Py_ssize_t span = exact_size(outer_) - r;
    if (span <= 0) return;
    const Py_ssize_t count = std::min(span, std::clamp<Py_ssize_t>(span / 16, 4, kSampleRows));
    Py_ssize_t chars[kSampleRows];
    for (Py_ssize_t s = 0; s < count; ++s) {
      // The middle of each count-th of the span, in 64 bits: on 32-bit
      // machines s * span could overflow.
      const auto row = r + static_cast<Py_ssize_t>((2 * static_cast<uint64_t>(s) + 1) *
                                                   static_cast<uint64_t>(span) /
                                                   (2 * static_cast<uint64_t>(count)));
      const RowMeasure m = measure_row(row, 0);
      if (!m.plain) continue;
      chars[sample_rows_++] = m.chars + 1;
      sample_range_ = std::max(sample_range_, m.range);
    }
    if (sample_rows_ == 0) return;
    std::nth_element(chars, chars + sample_rows_ / 2, chars + sample_rows_);
    sample_per_row_ = static_cast<double>(chars[sample_rows_ / 2]);
  }

  static constexpr Py_ssize_t kSampleRows = 32;
  // Rows written that give a figure of the rows left on their own.
  static constexpr Py_ssize_t kManyRows = 1024;

  // What this thread runs may rebind HEX, or stop the dictionaries' watch.
  void code_may_run() noexcept {
#ifdef Py_GIL_DISABLED
    hex_known_ = false;
#endif
  }

  NameLookup& hex_lookup_;
#ifdef Py_GIL_DISABLED
  bool hex_known_ = false;  // hex_table_ is HEX's while the generation is hex_generation_
  uint64_t hex_generation_ = 0;
#endif
  TextBuilder text_;
  Ref hex_;             // the last exact-str HEX taken up
  HexTable hex_table_;  // the header characters of the last HEX taken up
  bool have_table_ = false;
  PyObject* outer_ = nullptr;  // the outer list or tuple, while its rows are walked
  Py_ssize_t row_ = 0;         // the index of its row being walked
  bool sampled_ = false;
  bool measured_ = false;
  Py_ssize_t sample_rows_ = 0;
  double sample_per_row_ = 0;
  Py_UCS4 sample_range_ = 0x7F;
};

}  // namespace

PyObject* stringify(PyObject* lists, NameLookup& hex) noexcept {
  Serializer serializer(hex);
  return serializer.run(lists);
}

}  // namespace tarv
