// The serializer walks the input once, keeping one word per value (see Word
// below), and then writes the whole text into one allocation of exactly the
// right size and width. The result is what joining the literal piece list
//   [HEX[len(l_str) - 1], l_str, v] per value, ';' per row
// would give, errors included, without creating those pieces.
#include "serializer.h"

#include <algorithm>
#include <utility>

#include "format.h"

namespace tarv {
namespace {

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

// The text is written from its end towards its start. That lets a short
// value be copied as whole 16-byte blocks aligned on its last byte: the
// bytes a block spills over in front of the value are overwritten later by
// what precedes it. Spilling in front of the text's first character is what
// must not happen: `room` is the number of characters between the text's
// start and the value's end. The blocks read from the source end at its last
// byte too, so they reach in front of its characters: at most 15 bytes, or
// 44 for the three-block reads of short 4-byte strings. Both stay within the
// header of a compact str, which its characters follow: a 1-byte str's is at
// least a PyASCIIObject, a wider one's a PyCompactUnicodeObject. The three-
// block reads need 44 bytes in front of the characters, which 32-bit layouts
// do not have: there they are left out.
static_assert(sizeof(PyASCIIObject) >= 15);
static_assert(sizeof(PyCompactUnicodeObject) >= 15);
constexpr bool kThreeBlockReads = sizeof(PyCompactUnicodeObject) >= 44;

#if defined(__SSE2__)
inline __m128i load16(const void* p) noexcept {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline void store16(void* p, __m128i x) noexcept {
  _mm_storeu_si128(static_cast<__m128i*>(p), x);
}

inline Py_ssize_t sum_lanes(__m128i lanes) noexcept {
  lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2)));
  lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(lanes);
}

// The lanes of a block of four code points to count, by the number of lanes
// in front of the string's first code point.
alignas(16) constexpr int32_t kLeadMasks[4][4] = {
    {-1, -1, -1, -1}, {0, -1, -1, -1}, {0, 0, -1, -1}, {0, 0, 0, -1}};

// The number of astral code points among the last `n` (at most 12) of the
// twelve in the blocks x0, x1, x2, counted without branching on `n`: short
// values of random lengths would mispredict every branch. Lane k of the
// twelve (x0 holds 0-3, x1 4-7, x2 8-11) is a code point of the string only
// when k >= 12 - n; every other lane holds bytes in front of it and is
// masked off, in all three blocks.
inline Py_ssize_t count_last_astral(__m128i x0, __m128i x1, __m128i x2, Py_ssize_t n) noexcept {
  const __m128i bmp_max = _mm_set1_epi32(static_cast<int>(format::kMaxBmp));
  const __m128i first = _mm_set1_epi32(static_cast<int>(11 - n));
  const __m128i lane = _mm_set_epi32(3, 2, 1, 0);
  const __m128i keep0 = _mm_cmpgt_epi32(lane, first);
  const __m128i keep1 = _mm_cmpgt_epi32(_mm_add_epi32(lane, _mm_set1_epi32(4)), first);
  const __m128i keep2 = _mm_cmpgt_epi32(_mm_add_epi32(lane, _mm_set1_epi32(8)), first);
  __m128i lanes = _mm_and_si128(_mm_cmpgt_epi32(x0, bmp_max), keep0);
  lanes = _mm_add_epi32(lanes, _mm_and_si128(_mm_cmpgt_epi32(x1, bmp_max), keep1));
  lanes = _mm_add_epi32(lanes, _mm_and_si128(_mm_cmpgt_epi32(x2, bmp_max), keep2));
  return -sum_lanes(lanes);
}
#endif

// Copies the `n` code points at `in` so that they end at `out_end`, widening
// them where needed (never narrowing), and returns where they start. Sets
// `astral` to the number of code points above U+FFFF among them: the copy
// of a short 4-byte string counts them in the blocks it moves.
template <typename Out, typename In>
inline Out* copy_back(Out* out_end, const In* in, Py_ssize_t n, [[maybe_unused]] Py_ssize_t room,
                      bool compact, Py_ssize_t& astral) noexcept {
  static_assert(sizeof(In) <= sizeof(Out));
  Out* const out = out_end - n;
  astral = 0;
#if defined(__SSE2__)
  if (compact && n > 0) {
    const auto* src_end = reinterpret_cast<const unsigned char*>(in + n);
    auto* dst_end = reinterpret_cast<unsigned char*>(out_end);
    const Py_ssize_t room_bytes = room * static_cast<Py_ssize_t>(sizeof(Out));
    const Py_ssize_t in_bytes = n * static_cast<Py_ssize_t>(sizeof(In));
    if constexpr (sizeof(In) == sizeof(Out)) {
      const Py_ssize_t block_bytes = (in_bytes + 15) & ~Py_ssize_t{15};
      if (block_bytes <= 64 && block_bytes <= room_bytes) {
        if constexpr (sizeof(In) == 4) {
          if (kThreeBlockReads && n <= 12 && room_bytes >= 48) {
            // Three blocks whatever the length: no branch on it.
            const __m128i x0 = load16(src_end - 48);
            const __m128i x1 = load16(src_end - 32);
            const __m128i x2 = load16(src_end - 16);
            store16(dst_end - 48, x0);
            store16(dst_end - 32, x1);
            store16(dst_end - 16, x2);
            astral = count_last_astral(x0, x1, x2, n);
            return out;
          }
          const __m128i bmp_max = _mm_set1_epi32(static_cast<int>(format::kMaxBmp));
          __m128i lanes = _mm_setzero_si128();
          for (Py_ssize_t k = 16; k < block_bytes; k += 16) {
            const __m128i x = load16(src_end - k);
            store16(dst_end - k, x);
            lanes = _mm_sub_epi32(lanes, _mm_cmpgt_epi32(x, bmp_max));
          }
          // The lowest block may start in front of the string: those lanes
          // are copied (and overwritten later) but not counted.
          const __m128i x = load16(src_end - block_bytes);
          store16(dst_end - block_bytes, x);
          const __m128i keep = _mm_load_si128(
              reinterpret_cast<const __m128i*>(kLeadMasks[(block_bytes - in_bytes) / 4]));
          lanes = _mm_sub_epi32(lanes, _mm_and_si128(_mm_cmpgt_epi32(x, bmp_max), keep));
          astral = sum_lanes(lanes);
        } else {
          for (Py_ssize_t k = 16; k <= block_bytes; k += 16) {
            store16(dst_end - k, load16(src_end - k));
          }
        }
        return out;
      }
    } else if (in_bytes <= 16 &&
               room_bytes >= 16 * static_cast<Py_ssize_t>(sizeof(Out) / sizeof(In))) {
      // One source block, widened with zeros into two or four blocks.
      const __m128i x = load16(src_end - 16);
      const __m128i zero = _mm_setzero_si128();
      if constexpr (sizeof(In) == 1 && sizeof(Out) == 2) {
        store16(dst_end - 32, _mm_unpacklo_epi8(x, zero));
        store16(dst_end - 16, _mm_unpackhi_epi8(x, zero));
      } else if constexpr (sizeof(In) == 2) {
        store16(dst_end - 32, _mm_unpacklo_epi16(x, zero));
        store16(dst_end - 16, _mm_unpackhi_epi16(x, zero));
      } else {
        const __m128i lo = _mm_unpacklo_epi8(x, zero);
        const __m128i hi = _mm_unpackhi_epi8(x, zero);
        store16(dst_end - 64, _mm_unpacklo_epi16(lo, zero));
        store16(dst_end - 48, _mm_unpackhi_epi16(lo, zero));
        store16(dst_end - 32, _mm_unpacklo_epi16(hi, zero));
        store16(dst_end - 16, _mm_unpackhi_epi16(hi, zero));
      }
      return out;
    }
  }
#endif
  if constexpr (sizeof(In) == sizeof(Out)) {
    std::memcpy(out, in, static_cast<size_t>(n) * sizeof(Out));
  } else {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = in[i];
  }
  if constexpr (sizeof(In) == 4) astral = format::count_astral(in, n, compact);
  return out;
}

// Copies `str` so that it ends at `out_end` and returns where it starts;
// sets `u16_len` to its UTF-16 length.
template <typename Out>
inline Out* copy_str_back(Out* out_end, PyObject* str, Out* text_start,
                          Py_ssize_t& u16_len) noexcept {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  const Py_ssize_t room = out_end - text_start;
  const bool compact = PyUnicode_IS_COMPACT(str);
  Py_ssize_t astral;
  Out* out;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      out = copy_back(out_end, PyUnicode_1BYTE_DATA(str), n, room, compact, astral);
      break;
    case PyUnicode_2BYTE_KIND:
      if constexpr (sizeof(Out) >= 2) {
        out = copy_back(out_end, PyUnicode_2BYTE_DATA(str), n, room, compact, astral);
        break;
      }
      __builtin_unreachable();
    default:
      if constexpr (sizeof(Out) == 4) {
        out = copy_back(out_end, PyUnicode_4BYTE_DATA(str), n, room, compact, astral);
        break;
      }
      __builtin_unreachable();
  }
  u16_len = n + astral;
  return out;
}

// The header characters an exact-str HEX supplies directly: its first
// characters, indexed by the number of length digits minus one.
struct HexTable {
  Py_ssize_t chars = 0;
  Py_UCS4 header[format::kMaxLengthDigits] = {};

  void load(PyObject* hex) noexcept {
    chars = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(hex), format::kMaxLengthDigits);
    for (Py_ssize_t k = 0; k < chars; ++k) header[k] = PyUnicode_READ_CHAR(hex, k);
  }
};

class Serializer {
  static constexpr Py_ssize_t kWriteAhead = 16;

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
    bool too_long = false;
    for (; i < size; ++i) {
      PyObject* v = items[i];
      if (!PyUnicode_Check(v) || !is_ready(v)) break;
      const Py_ssize_t v_len = PyUnicode_GET_LENGTH(v);
      const int digits = length_digits(v, v_len);
      if (digits > table_chars) break;
      Py_INCREF(v);
      *word++ = object_word(v, kValueTag);
      max_char = std::max({max_char, table[digits - 1], PyUnicode_MAX_CHAR_VALUE(v)});
      too_long |= __builtin_add_overflow(total_len, 1 + digits + v_len, &total_len);
    }
    const Py_ssize_t added = word - first_word;
    words_.grow_size(added);
    total_len_ = total_len;
    max_char_ = max_char;
    too_long_ |= too_long;
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
    const int digits = length_digits(v.get(), v_len);

    // HEX is read after the item's conversion, which may have rebound it.
    Py_ssize_t header_len = 1;
    if (!add_header(digits, header_len)) return false;

    const Py_UCS4 v_max = PyUnicode_MAX_CHAR_VALUE(v.get());
    if (!words_.push(object_word(v.get(), kValueTag))) return false;
    v.release();
    if (v_max > max_char_) max_char_ = v_max;
    // v_len is below PY_SSIZE_T_MAX / 4 and the header is a str too: the
    // value's own sum cannot overflow, only the running total can.
    add_length(header_len + digits + v_len);
    piece_count_ += 3;
    return true;
  }

  // The number of decimal digits of v's UTF-16 length. A short compact
  // 4-byte string is counted with fixed blocks; a longer one lies between
  // v_len and 2 * v_len units, and is only counted when those bounds have
  // different digit counts (the writer counts every 4-byte value again, in
  // the blocks it copies).
  static int length_digits(PyObject* v, Py_ssize_t v_len) noexcept {
#if defined(__SSE2__)
    if (kThreeBlockReads && PyUnicode_KIND(v) == PyUnicode_4BYTE_KIND && v_len <= 12 &&
        PyUnicode_IS_COMPACT(v)) {
      const auto* end = reinterpret_cast<const unsigned char*>(PyUnicode_4BYTE_DATA(v) + v_len);
      const Py_ssize_t astral =
          count_last_astral(load16(end - 48), load16(end - 32), load16(end - 16), v_len);
      return format::decimal_digit_count(static_cast<uint64_t>(v_len + astral));
    }
#endif
    const int digits = format::decimal_digit_count(static_cast<uint64_t>(v_len));
    if (PyUnicode_KIND(v) != PyUnicode_4BYTE_KIND ||
        format::decimal_digit_count(2 * static_cast<uint64_t>(v_len)) == digits) {
      return digits;
    }
    return format::decimal_digit_count(static_cast<uint64_t>(format::u16_length(v)));
  }

  bool add_row_end() noexcept {
    if (!words_.push(kRowEndWord)) return false;
    if (format::kRowEnd > max_char_) max_char_ = format::kRowEnd;
    add_length(1);
    piece_count_ += 1;
    return true;
  }

  void add_length(Py_ssize_t n) noexcept {
    if (__builtin_add_overflow(total_len_, n, &total_len_)) too_long_ = true;
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
    if (!hex_changes_.push(words_.size())) return false;
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
    const Py_UCS4 header_max = PyUnicode_MAX_CHAR_VALUE(header.get());
    header_len = PyUnicode_GET_LENGTH(header.get());
    if (!words_.push(object_word(header.get(), kHeaderTag))) return false;
    header.release();
    if (header_max > max_char_) max_char_ = header_max;
    return true;
  }

  PyObject* build() noexcept {
    if (bad_header_) {
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
    PyObject* result = PyUnicode_New(total_len_, max_char_);
    if (!result) return nullptr;
    switch (PyUnicode_KIND(result)) {
      case PyUnicode_1BYTE_KIND:
        write(PyUnicode_1BYTE_DATA(result));
        break;
      case PyUnicode_2BYTE_KIND:
        write(PyUnicode_2BYTE_DATA(result));
        break;
      default:
        write(PyUnicode_4BYTE_DATA(result));
        break;
    }
    return result;
  }

  // Fills the result from its end, releasing each object once used. Nothing
  // here can fail.
  template <typename Out>
  void write(Out* const text_start) noexcept {
    Out* out = text_start + total_len_;
    // Going backwards, the table in effect is that of the last HEX change
    // not yet passed.
    Py_ssize_t changes_left = hex_changes_.size();
    HexTable table;
    if (changes_left > 0) table.load(word_object(words_[hex_changes_[changes_left - 1]]));
    // Locals: stores to a 1-byte text could alias any member.
    const Word* const words = words_.data();
    for (Py_ssize_t i = words_.size() - 1; i >= 0; --i) {
      // Fetch the objects ahead: the loop would otherwise wait on each.
      // A short string's characters may start on the object's second line.
      if (i >= kWriteAhead && words[i - kWriteAhead] != kRowEndWord) {
        const char* ahead = reinterpret_cast<const char*>(word_object(words[i - kWriteAhead]));
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
      }
      const Word word = words[i];
      if (word == kRowEndWord) {
        *--out = static_cast<Out>(format::kRowEnd);
        continue;
      }
      PyObject* obj = word_object(word);
      const Word tag = word & kTagMask;
      if (tag == kValueTag) [[likely]] {
        Py_ssize_t u16_len;
        out = copy_str_back(out, obj, text_start, u16_len);
        const int digits = format::decimal_digit_count(static_cast<uint64_t>(u16_len));
        out = format::write_decimal_back(out, static_cast<uint64_t>(u16_len), digits,
                                         out - text_start);
        // A header word, if any, is the one before: it is written when met.
        if (i == 0 || (words[i - 1] & kTagMask) != kHeaderTag) {
          *--out = static_cast<Out>(table.header[digits - 1]);
        }
      } else if (tag == kHeaderTag) {
        Py_ssize_t header_u16_len;
        out = copy_str_back(out, obj, text_start, header_u16_len);
      } else {
        --changes_left;
        if (changes_left > 0) table.load(word_object(words[hex_changes_[changes_left - 1]]));
      }
      Py_DECREF(obj);
    }
    words_.clear();
  }

  NameLookup& hex_lookup_;
  Ref hex_;             // the last exact-str HEX taken up
  HexTable hex_table_;  // its characters

  GrowBuf<Word> words_;
  GrowBuf<Py_ssize_t> hex_changes_;  // indexes of the kHexTag words
  Ref bad_header_;
  Py_ssize_t bad_header_index_ = 0;
  Py_ssize_t piece_count_ = 0;  // pieces a literal piece list would hold so far
  Py_ssize_t total_len_ = 0;
  bool too_long_ = false;
  Py_UCS4 max_char_ = 0;
};

}  // namespace

PyObject* stringify(PyObject* lists, NameLookup& hex) noexcept {
  Serializer serializer(hex);
  return serializer.run(lists);
}

}  // namespace tarv
