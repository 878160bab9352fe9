// The serializer writes the text front to back into one str of the right
// width. The result is what joining the literal piece list
//   [HEX[len(l_str) - 1], l_str, v] per value, ';' per row
// would give, errors included, without creating those pieces.
//
// A plain table (an exact list or tuple of exact lists or tuples of str,
// with HEX an exact str whose lookup is remembered) runs no Python code from
// start to end, so nothing can change while it is read: it is written with
// borrowed references only, by PlainWriter, mostly in one pass into a text
// that grows. Anything else goes through the Serializer below, which walks
// the input once, in the order and with the effects of the literal
// algorithm (iterators, string conversions, a HEX lookup per value), keeping
// a reference to every piece, and then writes the text from those.
#include "serializer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "format.h"

namespace tarv {
namespace {

// ---------------------------------------------------------------------------
// Writing the text.

// A short value (at most 16 bytes of characters) is copied as one 16-byte
// block (ShortBlock), without branching on its length: random short lengths
// would mispredict a branchy copy (memcpy's) most of the time. The block is
// read so that it ends with the value's last byte. What it holds in front of
// the first character is the string object's own header, which precedes the
// characters of every compact str and is at least 16 bytes long on every
// supported layout (an empty value reads a constant block of zeros instead).
// Those bytes are shifted out before the block is counted or stored, so they
// never reach the text. The store writes the characters and then zeros, up
// to 16 bytes of source characters, which what follows overwrites; where the
// text has no room left for that, the value is copied exactly. This needs a
// 128-bit integer and little-endian byte order (the first character must be
// the lowest byte); elsewhere short values are copied exactly. On short
// values it makes stringify 1.3 to 1.7 times as
// fast (short ASCII, tall and mixed-width tables of the benchmark).
//
// Longer values are copied by memcpy, or by a widening loop the compiler
// vectorizes.
static_assert(sizeof(PyASCIIObject) >= 16 && sizeof(PyCompactUnicodeObject) >= 16);

// A build with TARV_EXACT_COPIES defined copies every short value exactly,
// as machines without those do: the tests use it to run that path here. So
// does a free-threaded build: should its interpreter run without the GIL
// (forced by the user: the module does not declare it can), other threads
// may write to a str's header while it is read.
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
  // empty values. (A constant block of zeros read instead, the compiler
  // turns into a branch.)
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
    const I32x4 astral = code_points > static_cast<int32_t>(format::kMaxBmp);  // -1 per lane
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

// Copies `n` characters exactly, widening them where Out is wider.
template <typename Out, typename In>
inline void copy_chars(Out* out, const In* in, Py_ssize_t n) noexcept {
  static_assert(sizeof(In) <= sizeof(Out));
  if constexpr (sizeof(In) == sizeof(Out)) {
    std::memcpy(out, in, static_cast<size_t>(n) * sizeof(Out));
  } else {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = in[i];
  }
}

// Writes the text, front to back, into a buffer of Out characters (a str's,
// or the one small tables are first written into). Every str written must
// fit Out: the buffer's width is that of the widest.
template <typename Out>
class TextWriter {
 public:
  // Writes from `out` on; `end` is the end of the buffer.
  TextWriter(Out* out, Out* end) noexcept : out_(out), end_(end) {}

  Out* position() const noexcept { return out_; }

  void row_end() noexcept { *out_++ = static_cast<Out>(format::kRowEnd); }

  // A value record: the header character (`headers`, indexed by the number
  // of length digits minus one; none when `headers` is null, the header
  // having been written already), the decimal UTF-16 length, the value.
  //
  // The most common values, short compact 1-byte strs (empty ones
  // included), are written inline; the rest by a call. (Measured: small
  // tables of 25 to 400 short values take 8 to 15% less time per call.)
  //
  // kRoomChecked: the caller has made sure of kRoomBeyond characters of
  // room beyond the value's.
  template <bool kRoomChecked = false>
  [[gnu::always_inline]] void value(PyObject* v, const Py_UCS4* headers) noexcept {
    const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
    if (kShortBlocks && PyUnicode_KIND(v) == PyUnicode_1BYTE_KIND && PyUnicode_IS_COMPACT(v) &&
        v_len <= 16) {
      const auto* chars = static_cast<const Py_UCS1*>(PyUnicode_DATA(v));
      const ShortBlock block(chars + v_len, static_cast<size_t>(v_len));
      Out* out = short_length_prefix(out_, v_len, headers);
      if (kRoomChecked || end_ - out >= 16) {
        block.template store<Out, Py_UCS1>(out);
      } else {
        copy_chars(out, chars, v_len);
      }
      out_ = out + v_len;
      return;
    }
    out_ = other_value(out_, end_, v, v_len, headers);
  }

  // The characters of a str, verbatim (a header piece).
  void chars(PyObject* s) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
      case PyUnicode_1BYTE_KIND:
        copy_chars(out_, PyUnicode_1BYTE_DATA(s), n);
        break;
      case PyUnicode_2BYTE_KIND:
        if constexpr (sizeof(Out) >= 2) {
          copy_chars(out_, PyUnicode_2BYTE_DATA(s), n);
          break;
        }
        __builtin_unreachable();
      default:
        if constexpr (sizeof(Out) == 4) {
          copy_chars(out_, PyUnicode_4BYTE_DATA(s), n);
          break;
        }
        __builtin_unreachable();
    }
    out_ += n;
  }

 private:
  // Static, taking and giving the position: were the writer's address to
  // escape into a call, the compiler would keep the writer in memory and
  // store and reload its position around every value.
  [[gnu::noinline]] static Out* other_value(Out* out, Out* end, PyObject* v, Py_ssize_t v_len,
                                            const Py_UCS4* headers) noexcept {
    const void* data = PyUnicode_DATA(v);
    const bool compact = PyUnicode_IS_COMPACT(v);
    switch (PyUnicode_KIND(v)) {
      case PyUnicode_1BYTE_KIND:
        return record(out, end, static_cast<const Py_UCS1*>(data), v_len, compact, headers);
      case PyUnicode_2BYTE_KIND:
        if constexpr (sizeof(Out) >= 2) {
          return record(out, end, static_cast<const Py_UCS2*>(data), v_len, compact, headers);
        }
        break;
      default:
        if constexpr (sizeof(Out) == 4) {
          return record(out, end, static_cast<const Py_UCS4*>(data), v_len, compact, headers);
        }
        break;
    }
    __builtin_unreachable();
  }

  template <typename In>
  static Out* record(Out* out, Out* end, const In* chars, Py_ssize_t v_len, bool compact,
                     const Py_UCS4* headers) noexcept {
    constexpr Py_ssize_t kBlockChars = 16 / sizeof(In);
    if (kShortBlocks && compact && v_len <= kBlockChars) {
      const ShortBlock block(chars + v_len, static_cast<size_t>(v_len) * sizeof(In));
      out = length_prefix(out, v_len + (sizeof(In) == 4 ? block.count_astral() : 0), headers);
      if (end - out >= kBlockChars) {
        block.template store<Out, In>(out);
      } else {
        copy_chars(out, chars, v_len);
      }
    } else {
      Py_ssize_t u16_len = v_len;
      if constexpr (sizeof(In) == 4) u16_len += format::count_astral(chars, v_len);
      out = length_prefix(out, u16_len, headers);
      copy_chars(out, chars, v_len);
    }
    return out + v_len;
  }

  // length_prefix() for a length of at most 99, without counting digits.
  // (Measured: tables of short ASCII values take 8% less time.)
  static Out* short_length_prefix(Out* out, Py_ssize_t u16_len, const Py_UCS4* headers) noexcept {
    const bool two_digits = u16_len >= 10;
    if (headers) *out++ = static_cast<Out>(headers[two_digits]);
    // As write_decimal() does below 100: the second character of a one-digit
    // length is scratch, overwritten by what follows.
    const char* pair = format::kDigitPairs + 2 * u16_len + !two_digits;
    out[0] = static_cast<Out>(pair[0]);
    out[1] = static_cast<Out>(pair[1]);
    return out + 1 + two_digits;
  }

  // Writes the header character (unless `headers` is null) and the decimal
  // length at `out`; returns their end.
  static Out* length_prefix(Out* out, Py_ssize_t u16_len, const Py_UCS4* headers) noexcept {
    const int digits = format::decimal_digit_count(static_cast<uint64_t>(u16_len));
    if (headers) *out++ = static_cast<Out>(headers[digits - 1]);
    return format::write_decimal(out, static_cast<uint64_t>(u16_len), digits);
  }

  Out* out_;
  Out* const end_;
};

// The number of decimal digits of v's UTF-16 length. A 4-byte string's lies
// between v_len and 2 * v_len units: it is only counted when those bounds
// have different digit counts.
inline int length_digits(PyObject* v, Py_ssize_t v_len, int kind) noexcept {
  const int digits = format::decimal_digit_count(static_cast<uint64_t>(v_len));
  if (kind != PyUnicode_4BYTE_KIND ||
      format::decimal_digit_count(2 * static_cast<uint64_t>(v_len)) == digits) {
    return digits;
  }
  return format::decimal_digit_count(
      static_cast<uint64_t>(v_len + format::count_astral(PyUnicode_4BYTE_DATA(v), v_len)));
}

// A new str of `length` code points whose widest is `max_char`, filled by
// write(Out* text) at the width that makes it canonical.
template <typename Write>
PyObject* new_text(Py_ssize_t length, Py_UCS4 max_char, Write&& write) noexcept {
  PyObject* text = PyUnicode_New(length, max_char);
  if (!text) return nullptr;
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      write(PyUnicode_1BYTE_DATA(text));
      break;
    case PyUnicode_2BYTE_KIND:
      write(PyUnicode_2BYTE_DATA(text));
      break;
    default:
      write(PyUnicode_4BYTE_DATA(text));
      break;
  }
  return text;
}

// The header characters an exact-str HEX supplies directly: its first
// characters, indexed by the number of length digits minus one.
struct HexTable {
  Py_ssize_t chars = 0;
  Py_UCS4 header[format::kMaxLengthDigits] = {};
  bool ascii = true;  // every header character is ASCII

  void load(PyObject* hex) noexcept {
    chars = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(hex), format::kMaxLengthDigits);
    if (PyUnicode_KIND(hex) == PyUnicode_1BYTE_KIND) {
      const Py_UCS1* data = PyUnicode_1BYTE_DATA(hex);
      for (Py_ssize_t k = 0; k < chars; ++k) header[k] = data[k];
    } else {
      for (Py_ssize_t k = 0; k < chars; ++k) header[k] = PyUnicode_READ_CHAR(hex, k);
    }
    ascii = true;
    for (Py_ssize_t k = 0; k < chars; ++k) ascii &= header[k] <= 0x7F;
  }
};

// ---------------------------------------------------------------------------
// Plain tables.

// Whether an item is a str whose characters can be read as they are.
inline bool readable_str(PyObject* v) noexcept {
  return (Py_IS_TYPE(v, &PyUnicode_Type) || PyUnicode_Check(v)) && is_ready(v);
}

// The items of an exact list or tuple, or false for anything else.
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

// The range of a character: the largest code point of the narrowest width
// that holds it, 0x7F (ASCII), 0xFF, 0xFFFF or 0x10FFFF. A text's width is
// that of the largest range among its characters.
inline Py_UCS4 char_range(Py_UCS4 c) noexcept {
  return c <= 0x7F ? 0x7F : c <= 0xFF ? 0xFF : c <= 0xFFFF ? 0xFFFF : 0x10FFFF;
}

// The range of a str's characters. Every str is canonical, so its width (and
// for 1-byte strings the ASCII flag) gives the range of its widest character.
// (As PyUnicode_MAX_CHAR_VALUE, but testing the width first: in the plain
// writer's loop that takes 5 fewer instructions per value.)
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

// Measures a plain table: the length and widest character of its text.
// Returns false, having changed nothing, when the table is not plain (or its
// text would be too long), for the Serializer to take it from the start.
bool measure_plain(PyObject* lists, const HexTable& hex, Py_ssize_t& text_len,
                   Py_UCS4& max_char) noexcept {
  PyObject* const* rows;
  Py_ssize_t n_rows;
  if (!exact_items(lists, rows, n_rows)) return false;
  Py_ssize_t total = n_rows;  // the ';' of each row
  // Every str is canonical, so the range of its width is the range of its
  // widest character, and the text, as wide as the widest range of its
  // characters, is canonical too.
  max_char = 0x7F;
  for (Py_ssize_t r = 0; r < n_rows; ++r) {
    PyObject* const* items;
    Py_ssize_t n_items;
    if (!exact_items(rows[r], items, n_items)) return false;
    for (Py_ssize_t k = 0; k < n_items; ++k) {
      PyObject* v = items[k];
      if (!readable_str(v)) return false;
      const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
      const int digits = length_digits(v, v_len, PyUnicode_KIND(v));
      if (digits > hex.chars) return false;
      if (__builtin_add_overflow(total, 1 + digits + v_len, &total)) return false;
      max_char = std::max({max_char, str_range(v), hex.header[digits - 1]});
    }
  }
  text_len = total;
  return true;
}

template <typename Out>
void write_plain(PyObject* lists, const HexTable& hex, Out* text, Py_ssize_t text_len) noexcept {
  // measure_plain() has found every sequence to be an exact list or tuple.
  TextWriter<Out> writer(text, text + text_len);
  PyObject* const* rows = nullptr;
  Py_ssize_t n_rows = 0;
  exact_items(lists, rows, n_rows);
  for (Py_ssize_t r = 0; r < n_rows; ++r) {
    PyObject* const* items = nullptr;
    Py_ssize_t n_items = 0;
    exact_items(rows[r], items, n_items);
    for (Py_ssize_t k = 0; k < n_items; ++k) writer.value(items[k], hex.header);
    writer.row_end();
  }
}

// Writes a plain table in one pass, so that each value is read once, while
// the table is walked. The text goes into a str that grows as needed (a
// reallocation, which the C library does without copying for large blocks),
// and that is made anew, one width wider, when a value or a header character
// needs more than its width holds (at most three times: from ASCII to 1, 2
// and 4 bytes). At the end it is cut to its length.
//
// Its first size is guessed from a sample of rows, and growing extrapolates
// from the rows written so far. Should memory run out for a guessed size,
// the table is measured and written exactly instead, as tables of long
// values are from the start (and small tables that outgrow the buffer they
// are first written into).
class PlainWriter {
 public:
  enum class Outcome { kDone, kNotPlain, kFailed };

  explicit PlainWriter(const HexTable& hex) noexcept
      : hex_(hex), hex_simple_(hex.ascii && hex.chars == format::kMaxLengthDigits) {}

  // kDone with the text in `text`, kFailed with an exception set, or
  // kNotPlain (having run no code and set nothing) for a table that is not
  // plain or whose text would be too long.
  Outcome run(PyObject* lists, PyObject*& text) noexcept {
    lists_ = lists;
    if (!exact_items(lists, rows_, n_rows_)) return Outcome::kNotPlain;
    // A small table (judging by its first row) is written into a buffer on
    // the stack and then copied into a str of its size: copying a few
    // kilobytes costs less than guessing a size or measuring first. Should
    // it not fit there, or need more than one byte per character, it is
    // measured exactly and then written into a str of exactly its size, as
    // a table of long values is: for those, measuring costs next to nothing
    // beside copying the characters, and no room is held beyond the text.
    PyObject* const* items;
    Py_ssize_t row_size = 1;
    if (n_rows_ > 0 && exact_items(rows_[0], items, row_size)) {
      row_size = std::max<Py_ssize_t>(row_size, 1);
    }
    if (n_rows_ <= kSmallTable / row_size) return small(text);
    Sample sample;
    if (!take_sample(sample)) return Outcome::kNotPlain;
    if (sample.chars / kLongValue >= sample.values) return exactly(text);

    range_ = sample.range;
    sample_chars_per_row_ = static_cast<double>(sample.chars) / static_cast<double>(sample.rows);
    capacity_ = std::min(capacity_for_rest(0), kFirstCapacity);
    text_ = Ref::steal(PyUnicode_New(capacity_, range_));
    if (!text_) return out_of_memory(text);
    for (;;) {
      Step step;
      switch (PyUnicode_KIND(text_.get())) {
        case PyUnicode_1BYTE_KIND:
          step = write_rows(static_cast<Py_UCS1*>(PyUnicode_DATA(text_.get())), capacity_);
          break;
        case PyUnicode_2BYTE_KIND:
          step = write_rows(static_cast<Py_UCS2*>(PyUnicode_DATA(text_.get())), capacity_);
          break;
        default:
          step = write_rows(static_cast<Py_UCS4*>(PyUnicode_DATA(text_.get())), capacity_);
          break;
      }
      switch (step) {
        case Step::kDone:
          if (!resize(length_)) return out_of_memory(text);
          text = text_.release();
          return Outcome::kDone;
        case Step::kNotPlain:
          return Outcome::kNotPlain;
        case Step::kGrow:
          // The text stays below kLongest: a longer one is the general
          // path's to report.
          if (needed_room_ > kLongest - length_) return Outcome::kNotPlain;
          if (!grow()) return out_of_memory(text);
          break;
        case Step::kWiden:
          if (!widen()) return out_of_memory(text);
          break;
      }
    }
  }

 private:
  enum class Step { kDone, kNotPlain, kGrow, kWiden };

  // Tables guessed to hold at most this many values go through small();
  // tables whose values average at least this many characters are written
  // in two passes.
  static constexpr Py_ssize_t kSmallTable = 128;
  static constexpr Py_ssize_t kLongValue = 64;
  static constexpr Py_ssize_t kSampleRows = 32;
  // Characters of the buffer small tables are first written into.
  static constexpr Py_ssize_t kSmallBuffer = 4096;
  // The first size of a text at most: a larger one grows, by then judged
  // from the rows written rather than from a sample.
  static constexpr Py_ssize_t kFirstCapacity = Py_ssize_t{1} << 22;
  // Room a value needs beyond its characters: its header, up to 20 length
  // digits, and the 16 characters a short value's block store may reach.
  static constexpr Py_ssize_t kRoomBeyond = 1 + 20 + 16;
  // The longest value and text this writer takes (others are the general
  // path's): sums of two such lengths and kRoomBeyond cannot overflow, and
  // a value's UTF-16 length has at most 16 digits, which a 16-character HEX
  // covers.
  static constexpr Py_ssize_t kLongest =
      static_cast<Py_ssize_t>(std::min<long long>(4'000'000'000'000'000LL, PY_SSIZE_T_MAX / 4));

  // Measures the table and writes it into a str of exactly its size.
  Outcome exactly(PyObject*& text) noexcept {
    Py_ssize_t text_len;
    Py_UCS4 max_char;
    if (!measure_plain(lists_, hex_, text_len, max_char)) return Outcome::kNotPlain;
    text = new_text(text_len, max_char,
                    [&](auto* out) { write_plain(lists_, hex_, out, text_len); });
    return text ? Outcome::kDone : Outcome::kFailed;
  }

  // After a failed allocation for a guessed size (which may be larger than
  // the text): the text so far is dropped and the table written exactly.
  Outcome out_of_memory(PyObject*& text) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return Outcome::kFailed;
    PyErr_Clear();
    text_.reset();
    return exactly(text);
  }

  // A small table in one pass, into a buffer on the stack. (Measured:
  // tables of 25 to 400 short ASCII values take 10 to 25% less time than
  // measured first.)
  Outcome small(PyObject*& text) noexcept {
    Py_UCS1 buffer[kSmallBuffer];
    for (;;) {
      switch (write_rows(buffer, kSmallBuffer)) {
        case Step::kDone:
          text = PyUnicode_New(length_, range_);
          if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), buffer, static_cast<size_t>(length_));
          return text ? Outcome::kDone : Outcome::kFailed;
        case Step::kNotPlain:
          return Outcome::kNotPlain;
        case Step::kWiden:
          // From ASCII to Latin-1 the characters written stay as they are.
          if (needed_range_ <= 0xFF) {
            range_ = needed_range_;
            break;
          }
          [[fallthrough]];
        case Step::kGrow:
          return exactly(text);
      }
    }
  }

  // Writes into `base` (of `capacity` characters), from where the last call
  // stopped (row row_, item item_) until the table is done or the text
  // needs more room or width.
  template <typename Out>
  Step write_rows(Out* const base, Py_ssize_t capacity) noexcept {
    Out* const end = base + capacity;
    TextWriter<Out> writer(base + length_, end);
    const Py_UCS4* const headers = hex_.header;
    // Locals, stored back at the end: stores to a 1-byte text could alias
    // the members, which would then be reloaded after every value.
    Py_ssize_t row = row_;
    Py_ssize_t item = item_;
    auto stop = [&](Step step) {
      row_ = row;
      item_ = item;
      length_ = writer.position() - base;
      return step;
    };
    for (; row < n_rows_; ++row, item = 0) {
      PyObject* const* items;
      Py_ssize_t n_items;
      if (!exact_items(rows_[row], items, n_items)) return Step::kNotPlain;
      for (; item < n_items; ++item) {
        PyObject* v = items[item];
        if (!readable_str(v)) return Step::kNotPlain;
        const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
        // An ASCII value with an ASCII header fits any text.
        if (!hex_simple_ || !PyUnicode_IS_ASCII(v)) {
          Py_UCS4 range = str_range(v);
          if (!hex_simple_) {
            // The header character must exist and fit the text as well.
            const int digits = length_digits(v, v_len, PyUnicode_KIND(v));
            if (digits > hex_.chars) return Step::kNotPlain;
            range = std::max(range, char_range(headers[digits - 1]));
          }
          if (range > range_) {
            needed_range_ = range;
            return stop(Step::kWiden);
          }
        }
        if (end - writer.position() - kRoomBeyond < v_len) {
          if (v_len > kLongest) return Step::kNotPlain;
          needed_room_ = v_len + kRoomBeyond;
          return stop(Step::kGrow);
        }
        writer.template value<true>(v, headers);
      }
      if (writer.position() == end) {
        needed_room_ = 1;
        return stop(Step::kGrow);
      }
      writer.row_end();
    }
    return stop(Step::kDone);
  }

  // What a few rows spread over the table hold.
  struct Sample {
    Py_ssize_t rows = 0;
    Py_ssize_t values = 0;
    Py_ssize_t chars = 0;   // of their text, about (digits counted as for 2-byte values)
    Py_UCS4 range = 0x7F;   // the largest range of their values
  };

  // Reads a sixteenth of the rows, 4 to kSampleRows of them, spread over the
  // table. False when one of them is not plain (then the table is not
  // either) or holds more than kLongest characters.
  bool take_sample(Sample& sample) const noexcept {
    sample.rows = std::min(n_rows_, std::clamp<Py_ssize_t>(n_rows_ / 16, 4, kSampleRows));
    for (Py_ssize_t s = 0; s < sample.rows; ++s) {
      // In 64 bits: on 32-bit machines s * n_rows_ could overflow.
      const auto row = static_cast<Py_ssize_t>(static_cast<uint64_t>(s) *
                                               static_cast<uint64_t>(n_rows_) /
                                               static_cast<uint64_t>(sample.rows));
      PyObject* const* items;
      Py_ssize_t n_items;
      if (!exact_items(rows_[row], items, n_items)) return false;
      sample.values += n_items;
      sample.chars += 1;
      for (Py_ssize_t k = 0; k < n_items; ++k) {
        PyObject* v = items[k];
        if (!readable_str(v)) return false;
        const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
        if (v_len > kLongest - sample.chars - 21) return false;
        sample.chars += 1 + format::decimal_digit_count(static_cast<uint64_t>(v_len)) + v_len;
        sample.range = std::max(sample.range, str_range(v));
      }
    }
    return true;
  }

  // Room for the rest of the text (the rows from row_ on), judging by the
  // rows written so far once there are as many as the sample had, else by
  // the sample, with a sixteenth more for rows that differ; and at least
  // `needed` more than the text so far. At most kLongest and kRoomBeyond.
  Py_ssize_t capacity_for_rest(Py_ssize_t needed) const noexcept {
    const double per_row = row_ >= kSampleRows
                               ? static_cast<double>(length_) / static_cast<double>(row_)
                               : sample_chars_per_row_;
    const double rest = static_cast<double>(n_rows_ - row_) * per_row * 1.0625;
    const double guess = std::min(static_cast<double>(length_) + rest,
                                  static_cast<double>(kLongest));
    return std::max(static_cast<Py_ssize_t>(guess), length_ + needed) + kRoomBeyond;
  }

  // Resizes the text to `capacity` characters; on failure it stays as it
  // was, still owned here.
  bool resize(Py_ssize_t capacity) noexcept {
    PyObject* text = text_.release();
    const bool resized = PyUnicode_Resize(&text, capacity) == 0;
    text_ = Ref::steal(text);
    if (resized) capacity_ = capacity;
    return resized;
  }

  // Grows to room for the rest as capacity_for_rest() guesses it (and
  // mostly by a sixteenth at least), but to at most twice the text so far
  // (or kFirstCapacity more) beyond the room needed: rows unlike the rest
  // (long ones early on) cannot make the guess run away.
  bool grow() noexcept {
    const Py_ssize_t guess = std::max(capacity_for_rest(needed_room_), capacity_ + capacity_ / 16);
    const Py_ssize_t at_least = length_ + needed_room_ + kRoomBeyond;
    return resize(std::clamp(guess, at_least, at_least + std::max(length_, kFirstCapacity)));
  }

  // The text so far is cut to its length first, so that the narrower str's
  // unused room is not held while the wider one is made; and the wider one
  // holds just the text so far and the room a value needs beyond its
  // characters, so that the two together take no more than about the
  // result. Growing afterwards, when the narrower str is gone, sizes the
  // rest.
  bool widen() noexcept {
    if (!resize(length_)) return false;
    const Py_ssize_t capacity = length_ + kRoomBeyond;
    Ref wider = Ref::steal(PyUnicode_New(capacity, needed_range_));
    if (!wider) return false;
    if (PyUnicode_CopyCharacters(wider.get(), 0, text_.get(), 0, length_) < 0) return false;
    text_ = std::move(wider);
    capacity_ = capacity;
    range_ = needed_range_;
    return true;
  }

  const HexTable& hex_;
  const bool hex_simple_;  // ASCII header characters for every length up to kLongest
  PyObject* lists_ = nullptr;
  PyObject* const* rows_ = nullptr;
  Py_ssize_t n_rows_ = 0;
  Py_ssize_t row_ = 0;   // where writing resumes
  Py_ssize_t item_ = 0;
  Ref text_;             // the text so far, in a str of capacity_ characters
  Py_ssize_t length_ = 0;
  Py_ssize_t capacity_ = 0;
  Py_UCS4 range_ = 0x7F;  // of text_'s width
  Py_UCS4 needed_range_ = 0;
  double sample_chars_per_row_ = 0;
  Py_ssize_t needed_room_ = 0;
};

// Sets `text` to the text of a plain table (null with an exception set on
// failure) and returns true; returns false when the table is not plain.
bool stringify_plain(PyObject* lists, const NameLookup& hex_lookup, PyObject*& text) noexcept {
  PyObject* hex = hex_lookup.peek();
  if (!hex || !PyUnicode_CheckExact(hex) || !is_ready(hex)) return false;
  HexTable table;
  table.load(hex);
  PlainWriter writer(table);
  text = nullptr;
  return writer.run(lists, text) != PlainWriter::Outcome::kNotPlain;
}

// ---------------------------------------------------------------------------
// Any other input.

// Walks an iterable, calling visit(Ref element) for each element until it
// returns false. Exact lists and tuples are walked by index, re-reading the
// size at every step (a list may grow or shrink while its items are
// converted); anything else goes through the iterator protocol, where
// StopIteration (or a subclass) ends the walk like exhaustion does.
template <typename Visit>
bool walk(PyObject* iterable, Visit&& visit) noexcept {
  if (PyList_CheckExact(iterable)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
      if (!visit(Ref::borrow(PyList_GET_ITEM(iterable, i)))) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(iterable)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) {
      if (!visit(Ref::borrow(PyTuple_GET_ITEM(iterable, i)))) return false;
    }
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(iterable));
  if (!iterator) return false;
  for (;;) {
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

// What the serializer keeps between walking the input and writing the text:
// one word per value, per row end and per change of header source, each
// word owning the reference it points to. Objects are at least 4-byte
// aligned, which frees the low two bits for a tag:
//   str pointer | 0  a value; its header is the current HEX table's entry
//   1                the ';' that ends a row
//   str pointer | 2  the header of the next value (from a non-str HEX)
//   str pointer | 3  HEX became this exact str: later values take their
//                    headers from its characters
// A value's UTF-16 length (and so its header) is recomputed while writing:
// it is cheaper than storing it.
using Word = uintptr_t;
constexpr Word kTagMask = 3;
constexpr Word kValueTag = 0;
constexpr Word kRowEndWord = 1;
constexpr Word kHeaderTag = 2;
constexpr Word kHexTag = 3;

inline PyObject* word_object(Word word) noexcept {
  return reinterpret_cast<PyObject*>(word & ~kTagMask);
}
inline Word object_word(PyObject* obj, Word tag) noexcept {
  return reinterpret_cast<Word>(obj) | tag;
}

class Serializer {
 public:
  explicit Serializer(NameLookup& hex_lookup) noexcept : hex_lookup_(hex_lookup) {}
  ~Serializer() {
    for (Py_ssize_t i = 0; i < words_.size(); ++i) {
      if (words_[i] != kRowEndWord) Py_DECREF(word_object(words_[i]));
    }
  }

  PyObject* run(PyObject* lists) noexcept {
    if (!walk(lists, [this](Ref row) { return add_row(row.get()); })) return nullptr;
    return build();
  }

 private:
  bool add_row(PyObject* row) noexcept {
    if (!PyList_CheckExact(row)) {
      return walk(row, [this](Ref item) { return add_value(std::move(item)); }) && add_row_end();
    }
    // By index, the size read afresh at each step, like walk().
    for (Py_ssize_t i = 0;;) {
      i = add_str_run(row, i);
      if (i < 0) return false;
      if (i >= PyList_GET_SIZE(row)) break;
      if (!add_value(Ref::borrow(PyList_GET_ITEM(row, i)))) return false;
      ++i;
    }
    return add_row_end();
  }

  // Adds the items of the exact list `row` from index `i` on, as long as
  // they are str values whose header an exact-str HEX supplies directly;
  // returns the index of the first item left to add_value (or the list's
  // size), or -1 on failure.
  //
  // This is the common case, so it is one tight loop. Nothing in it runs
  // Python code (taking up a new HEX releases only an exact str): neither
  // the list nor HEX can change while it runs, and the remembered value of
  // HEX, read without side effects, serves every item (when it must be
  // looked up afresh, add_value does it). The counters are kept in locals,
  // where stores to reference counts cannot alias them.
  Py_ssize_t add_str_run(PyObject* row, Py_ssize_t i) noexcept {
    if (i >= PyList_GET_SIZE(row) || !PyUnicode_Check(PyList_GET_ITEM(row, i))) return i;
    PyObject* hex = hex_lookup_.peek();
    if (!hex || !PyUnicode_CheckExact(hex)) return i;
    if (hex != hex_.get() && !adopt_hex(hex)) return -1;
    const Py_ssize_t size = PyList_GET_SIZE(row);
    if (!words_.reserve(size - i)) return -1;

    PyObject* const* items = reinterpret_cast<PyListObject*>(row)->ob_item;
    Word* const first_word = words_.data() + words_.size();
    Word* word = first_word;
    const Py_ssize_t table_chars = hex_table_.chars;
    const Py_UCS4* const table = hex_table_.header;
    Py_ssize_t total_len = total_len_;
    Py_UCS4 max_char = max_char_;
    for (; i < size; ++i) {
      PyObject* v = items[i];
      if (!PyUnicode_Check(v) || !is_ready(v)) break;
      const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
      const int digits = length_digits(v, v_len, PyUnicode_KIND(v));
      if (digits > table_chars) break;
      // A text too long is add_value's to note, piece by piece.
      Py_ssize_t new_total;
      if (__builtin_add_overflow(total_len, 1 + digits + v_len, &new_total)) break;
      total_len = new_total;
      Py_INCREF(v);
      *word++ = object_word(v, kValueTag);
      max_char = std::max({max_char, table[digits - 1], str_range(v)});
    }
    const Py_ssize_t added = word - first_word;
    words_.grow_size(added);
    total_len_ = total_len;
    max_char_ = max_char;
    piece_count_ += 3 * added;
    return i;
  }

  bool add_value(Ref item) noexcept {
    Ref v;
    if (PyUnicode_Check(item.get())) {
      // A str subclass instance is used as it is: none of its methods run.
      v = std::move(item);
    } else {
      v = Ref::steal(PyObject_Str(item.get()));
      if (!v) return false;
    }
    if (!ensure_ready(v.get())) return false;
    const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v.get());
    const int digits = length_digits(v.get(), v_len, PyUnicode_KIND(v.get()));

    // HEX is read after the item's conversion, which may have rebound it.
    Py_ssize_t header_len = 1;
    if (!add_header(digits, header_len)) return false;

    const Py_UCS4 v_max = str_range(v.get());
    if (!words_.push(object_word(v.get(), kValueTag))) return false;
    v.release();
    if (v_max > max_char_) max_char_ = v_max;
    add_piece(header_len);
    add_piece(digits);
    add_piece(v_len);
    return true;
  }

  bool add_row_end() noexcept {
    if (!words_.push(kRowEndWord)) return false;
    if (format::kRowEnd > max_char_) max_char_ = format::kRowEnd;
    add_piece(1);
    return true;
  }

  // Counts a piece of `length` characters, noting the first piece with
  // which the text's length would overflow, as joining them would.
  void add_piece(Py_ssize_t length) noexcept {
    if (!too_long_ && __builtin_add_overflow(total_len_, length, &total_len_)) {
      too_long_ = true;
      too_long_index_ = piece_count_;
    }
    ++piece_count_;
  }

  // Resolves the header of a value whose length has `digits` decimal digits:
  // HEX[digits - 1], HEX being looked up now.
  bool add_header(int digits, Py_ssize_t& header_len) noexcept {
    Ref hex = hex_lookup_.get();
    if (!hex) return false;
    if (PyUnicode_CheckExact(hex.get())) {
      if (hex.get() != hex_.get() && !adopt_hex(hex.get())) return false;
      if (digits <= hex_table_.chars) {
        const Py_UCS4 header = hex_table_.header[digits - 1];
        if (header > max_char_) max_char_ = header;
        return true;
      }
    }
    return add_header_by_item_access(hex.get(), digits, header_len);
  }

  // Takes up a newly seen exact-str HEX, whose characters then supply the
  // headers directly (here, and from its word in the stream when writing).
  // Only an exact str is kept from one value to the next: releasing one runs
  // no code, so taking up the next cannot change what is being walked. The
  // reference also keeps its address from being reused by another object
  // while it is compared against.
  bool adopt_hex(PyObject* hex) noexcept {
    if (!ensure_ready(hex)) return false;
    if (!words_.push(object_word(hex, kHexTag))) return false;
    Py_INCREF(hex);
    hex_ = Ref::borrow(hex);
    hex_table_.load(hex);
    return true;
  }

  // HEX[digits - 1] through the general item access: for any HEX other than
  // an exact str, and for the IndexError of an exact str that is too short.
  // The caller holds `hex` while its __getitem__ runs.
  bool add_header_by_item_access(PyObject* hex, int digits, Py_ssize_t& header_len) noexcept {
    Ref index = Ref::steal(PyLong_FromLong(digits - 1));
    if (!index) return false;
    Ref header = Ref::steal(PyObject_GetItem(hex, index.get()));
    if (!header) return false;
    if (!PyUnicode_Check(header.get())) {
      // Joining the piece list would fail here, but only once every row
      // had been walked: remember the first such piece and go on.
      if (!bad_header_) {
        bad_header_ = std::move(header);
        bad_header_index_ = piece_count_;
      }
      header_len = 0;
      return true;
    }
    if (!ensure_ready(header.get())) return false;
    const Py_UCS4 header_max = str_range(header.get());
    header_len = PyUnicode_GET_LENGTH(header.get());
    if (!words_.push(object_word(header.get(), kHeaderTag))) return false;
    header.release();
    if (header_max > max_char_) max_char_ = header_max;
    return true;
  }

  // The join fails at the first piece that is not a str or that makes the
  // text too long.
  PyObject* build() noexcept {
    if (bad_header_ && (!too_long_ || bad_header_index_ < too_long_index_)) {
      PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                   bad_header_index_, Py_TYPE(bad_header_.get())->tp_name);
      return nullptr;
    }
    if (too_long_) {
      PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
      return nullptr;
    }
    // Every piece is a canonical str and max_char_ is the range of the widest
    // one, so the result holds a character of its width: it is canonical too.
    return new_text(total_len_, max_char_, [this](auto* text) { write(text); });
  }

  // Writes the text from the words, releasing each object once used. A
  // header word's value, the next word, has no header of its own to write.
  // Nothing here can fail.
  template <typename Out>
  void write(Out* text) noexcept {
    TextWriter<Out> writer(text, text + total_len_);
    HexTable table;
    bool header_written = false;
    const Word* const words = words_.data();
    for (Py_ssize_t i = 0; i < words_.size(); ++i) {
      const Word word = words[i];
      if (word == kRowEndWord) {
        writer.row_end();
        continue;
      }
      PyObject* obj = word_object(word);
      switch (word & kTagMask) {
        case kValueTag:
          writer.value(obj, header_written ? nullptr : table.header);
          header_written = false;
          break;
        case kHeaderTag:
          writer.chars(obj);
          header_written = true;
          break;
        default:
          table.load(obj);
          break;
      }
      Py_DECREF(obj);
    }
    words_.clear();
  }

  NameLookup& hex_lookup_;
  Ref hex_;             // the last exact-str HEX taken up
  HexTable hex_table_;  // its characters

  GrowBuf<Word> words_;
  Ref bad_header_;
  Py_ssize_t bad_header_index_ = 0;
  Py_ssize_t piece_count_ = 0;  // pieces a literal piece list would hold so far
  Py_ssize_t total_len_ = 0;
  bool too_long_ = false;
  Py_ssize_t too_long_index_ = 0;  // the piece with which the length overflows
  Py_UCS4 max_char_ = 0;
};

}  // namespace

PyObject* stringify(PyObject* lists, NameLookup& hex) noexcept {
  PyObject* text;
  if (stringify_plain(lists, hex, text)) return text;
  Serializer serializer(hex);
  return serializer.run(lists);
}

}  // namespace tarv
