// stringify() walks the input once and writes the text front to back into one
// TextBuilder: the text of joining the pieces [HEX[len(l_str) - 1], l_str, v]
// per value and ';' per row, errors included, without making those pieces.
//
// The walk (Serializer) takes the items as the literal algorithm does: exact
// lists and tuples by index, anything else through the iterator protocol,
// str() of an item that is not a str, HEX looked up for every value. Where no
// Python code can run, the tight loop (TextBuilder::write_plain) writes the
// str items of exact lists and tuples straight from their item arrays, a run
// of rows at a time, with the header characters read from HEX once (HexTable)
// while HEX stays bound to the same str, list or tuple.
#include "serializer.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "format.h"

namespace tarv {
namespace {

using format::Record;
using format::char_range;

// ---------------------------------------------------------------------------
// The input, as the walk reads it.

// A str (a subclass instance included: its characters are read, none of its
// methods called) whose characters can be read as they are.
inline bool readable_str(PyObject* v) noexcept {
  return (Py_IS_TYPE(v, &PyUnicode_Type) || PyUnicode_Check(v)) && is_ready(v);
}

inline bool is_exact_sequence(PyObject* seq) noexcept {
  return PyList_CheckExact(seq) || PyTuple_CheckExact(seq);
}

// The item array and size of an exact list or tuple, valid while no code runs
// (and, without the GIL, while a list's lock is held); false for anything
// else.
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

// A new reference to item `k` of an exact list or tuple, or null past its end
// (taken under a list's lock without the GIL: another thread may remove the
// item).
inline Ref exact_item(PyObject* seq, Py_ssize_t k) noexcept {
#ifdef Py_GIL_DISABLED
  if (PyList_CheckExact(seq)) {
    PyObject* item = PyList_GetItemRef(seq, k);
    if (!item) PyErr_Clear();  // past the end
    return Ref::steal(item);
  }
#endif
  PyObject* const* items = nullptr;
  Py_ssize_t size = 0;
  exact_items(seq, items, size);
  return k < size ? Ref::borrow(items[k]) : Ref();
}

inline Py_ssize_t add_capped(Py_ssize_t a, Py_ssize_t b) noexcept {
  return a > PY_SSIZE_T_MAX - b ? PY_SSIZE_T_MAX : a + b;
}

// The header characters HEX supplies without running code: the first
// characters (16 at most) of an exact str, or the leading elements of an
// exact list or tuple that are one-character exact strs. `simple`: all 16,
// all ASCII; then only a value's own characters decide the text's width.
struct HexTable {
  Py_ssize_t chars = 0;
  Py_UCS4 header[format::kMaxHeaderDigits];
  bool simple = false;

  bool covers(int digits) const noexcept { return format::header_index(digits) < chars; }
  Py_UCS4 at(int digits) const noexcept { return header[format::header_index(digits)]; }
  Py_UCS4 range_at(int digits) const noexcept { return char_range(at(digits)); }

  void load_str(PyObject* hex) noexcept {
    chars = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(hex), format::kMaxHeaderDigits);
    const int kind = PyUnicode_KIND(hex);
    const void* data = PyUnicode_DATA(hex);
    Py_UCS4 any_bits = 0;
    for (Py_ssize_t k = 0; k < chars; ++k) any_bits |= header[k] = PyUnicode_READ(kind, data, k);
    simple = chars == format::kMaxHeaderDigits && any_bits <= 0x7F;
  }

  // An element that is not a one-character exact str ends the table: the
  // general step indexes HEX for those lengths, and gets that element.
  void load_items(PyObject* hex) noexcept {
    PyObject* const* pieces = nullptr;
    Py_ssize_t n = 0;
    exact_items(hex, pieces, n);
    n = std::min<Py_ssize_t>(n, format::kMaxHeaderDigits);
    Py_UCS4 any_bits = 0;
    for (chars = 0; chars < n; ++chars) {
      PyObject* piece = pieces[chars];
      if (!PyUnicode_CheckExact(piece) || !is_ready(piece) || PyUnicode_GET_LENGTH(piece) != 1) break;
      any_bits |= header[chars] = PyUnicode_READ_CHAR(piece, 0);
    }
    simple = chars == format::kMaxHeaderDigits && any_bits <= 0x7F;
  }
};

// ---------------------------------------------------------------------------
// Copying characters.

// A short value (at most 16 bytes of characters) of a compact str is copied
// as one 16-byte block ending with its last byte, without a branch on its
// length: on short-ascii, callgrind's branch simulation counts 0.12
// mispredicted branches and 81.5 instructions a value, against 0.97 and 79.5
// copied exactly. The block starts in the str's own header (at least 16 bytes
// on every supported layout, checked below), whose bytes are shifted out; the
// zeros stored after the characters are overwritten by what follows. It needs
// a 128-bit integer and little-endian order; elsewhere, and without the GIL
// (other threads write a str's reference count while it is read), values are
// copied exactly, as a build with TARV_EXACT_COPIES does (tested here too).
static_assert(sizeof(PyASCIIObject) >= 16 && sizeof(PyCompactUnicodeObject) >= 16);
#if defined(__SIZEOF_INT128__) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && !defined(TARV_EXACT_COPIES) && \
    !defined(Py_GIL_DISABLED)
constexpr bool kShortBlocks = true;

struct Block { uint64_t low, high; };

// An empty value's block (all header) is masked to zeros without a branch: on
// ragged (a quarter of the values empty) a branch costs 0.30 more
// mispredicted branches a value, for 7 fewer instructions.
inline Block load_block(const void* chars_end, size_t char_bytes) noexcept {
  const auto* end = static_cast<const unsigned char*>(chars_end);
  uint64_t low, high;
  std::memcpy(&low, end - 16, 8);
  std::memcpy(&high, end - 8, 8);
  const unsigned __int128 kept =
      ((static_cast<unsigned __int128>(high) << 64) | low) >> ((8 * (16 - char_bytes)) & 127);
  const uint64_t keep = -static_cast<uint64_t>(char_bytes != 0);
  return {static_cast<uint64_t>(kept) & keep, static_cast<uint64_t>(kept >> 64) & keep};
}

template <typename Out, typename In>
inline void store_block(Out* out, Block block) noexcept {
  if constexpr (sizeof(Out) == sizeof(In)) {
    std::memcpy(out, &block.low, 8);
    std::memcpy(reinterpret_cast<unsigned char*>(out) + 8, &block.high, 8);
  } else {
    In chars[16 / sizeof(In)];
    std::memcpy(chars, &block.low, 8);
    std::memcpy(reinterpret_cast<unsigned char*>(chars) + 8, &block.high, 8);
    for (size_t k = 0; k < 16 / sizeof(In); ++k) out[k] = chars[k];
  }
}
#else
constexpr bool kShortBlocks = false;
struct Block {};
inline Block load_block(const void*, size_t) noexcept { return {}; }
template <typename Out, typename In>
inline void store_block(Out*, Block) noexcept {}
#endif

// Writes the `n` characters of the str `s` (of In characters); their end.
template <typename Out, typename In>
inline Out* write_chars(Out* out, PyObject* s, Py_ssize_t n) noexcept {
  const auto* chars = static_cast<const In*>(PyUnicode_DATA(s));
  if constexpr (sizeof(In) > sizeof(Out)) {
    return out;  // (never: the text is as wide as what is written into it)
  } else if constexpr (sizeof(In) == sizeof(Out)) {
    // 17 to 32 bytes as two 16-byte blocks overlapping in the middle, within
    // the characters, without memcpy's call: tables of 20- to 32-character
    // values take 0.88 to 0.94 of the time (30 and 100 rows of two).
    const auto bytes = static_cast<size_t>(n) * sizeof(Out);
    if (bytes <= 16 || bytes > 32) return static_cast<Out*>(std::memcpy(out, chars, bytes)) + n;
    unsigned char head[16], tail[16];
    std::memcpy(head, chars, 16);
    std::memcpy(tail, reinterpret_cast<const unsigned char*>(chars) + bytes - 16, 16);
    std::memcpy(out, head, 16);
    std::memcpy(reinterpret_cast<unsigned char*>(out) + bytes - 16, tail, 16);
  } else {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = chars[i];
  }
  return out + n;
}

template <typename Out>
Out* write_str(Out* out, PyObject* s, Py_ssize_t n) noexcept {
  return format::with_kind(PyUnicode_KIND(s), nullptr, [&](auto* c) {
    return write_chars<Out, std::remove_pointer_t<decltype(c)>>(out, s, n);
  });
}

// ---------------------------------------------------------------------------
// The text.

// The rest of the table's characters and widest range: measured, estimated
// (`proven` of them measured), or unknown.
struct Rest {
  Py_ssize_t chars = 0;
  Py_UCS4 range = 0x7F;
  bool known = false, exact = false;
  Py_ssize_t proven = 0;
};

// Where the tight loop stopped (kRoom: at what needs more room or width).
enum class Stop { kDone, kNotPlain, kRoom };

// Owns the text being written: a str, grown as needed, made anew one width
// wider when a character needs it, cut to its length at the end. The join's
// errors wait until the walk is over, as the join reports them only then: the
// first header piece that is not a str (TypeError), or with which the text
// would be too long (OverflowError). Out of memory, MemoryError at once.
//
// Small texts are written into a buffer of the thread's own, then copied into
// a str of their size: callgrind counts 1,065 instructions a call for one row
// of 8 short values (2,705 with a str from the start). A call made while it
// is in use (by a str() calling stringify) starts with a str.
constexpr Py_ssize_t kScratchChars = 4096;
struct Scratch { bool busy; Py_UCS1 chars[kScratchChars]; };
constinit thread_local Scratch t_scratch = {};

class TextBuilder {
 public:
  TextBuilder() noexcept {
    if (t_scratch.busy) return;
    t_scratch.busy = true;
    scratch_ = &t_scratch;
    base_ = t_scratch.chars;
    capacity_ = kScratchChars;
    range_ = 0xFF;
  }
  ~TextBuilder() { release_scratch(); }

  bool writing() const noexcept { return !failed_; }
  Py_ssize_t length() const noexcept { return length_; }
  Py_ssize_t room() const noexcept { return capacity_ - length_; }
  bool measured() const noexcept { return measured_; }  // last sized for a measured rest

  // Whether `chars` characters of range `range` fit, a character to spare.
  bool fits(Py_ssize_t chars, Py_UCS4 range) noexcept {
    if (range > written_range_) {
      if (range > range_) return false;
      written_range_ = range;
    }
    return chars < capacity_ - length_;
  }

  // What the tight loop stopped for (Stop::kRoom) needs.
  Py_ssize_t pending_chars() const noexcept { return pending_chars_; }
  Py_UCS4 pending_range() const noexcept { return pending_range_; }

  // False with MemoryError set when it runs out of memory.
  [[nodiscard, gnu::cold]] bool grow(Py_ssize_t chars, Py_UCS4 range, const Rest& rest) noexcept;

  // A record headed by `header_piece`'s characters, else by `header`.
  void append_record(Py_UCS4 header, PyObject* header_piece, PyObject* v, const Record& rec) noexcept {
    ++values_;
    if (!writing()) return;
    format::with_kind(kind_, base_, [&](auto* base) {
      using Out = std::remove_pointer_t<decltype(base)>;
      Out* out = base + length_;
      if (header_piece) {
        out = write_str(out, header_piece, PyUnicode_GET_LENGTH(header_piece));
      } else {
        *out++ = static_cast<Out>(header);
      }
      out = format::write_decimal(out, static_cast<uint64_t>(rec.u16_len), rec.digits);
      length_ = write_str(out, v, rec.v_len) - base;
    });
    assert(length_ <= capacity_);
  }

  void end_row() noexcept {
    ++rows_;
    if (!writing()) return;
    format::with_kind(kind_, base_, [&](auto* base) { base[length_] = format::kRowEnd; });
    ++length_;
    assert(length_ <= capacity_);
  }

  // A header piece that is not a str: the join fails there, unless before.
  void defer_bad_piece(Ref piece) noexcept {
    if (failed_) return;
    fail();
    bad_piece_ = std::move(piece);
    bad_piece_index_ = 3 * values_ + rows_;
  }

  // The tight loop (see write_plain()), for the text's width and for a
  // simple HEX or not: a simple one's headers need no check (callgrind,
  // short-ascii: 81.5 instructions a value, against 95.9 checked).
  Stop write_plain_rows(PyObject* const* rows, Py_ssize_t n_rows, Py_ssize_t& r, Py_ssize_t& k,
                        const HexTable& hex) noexcept {
    return format::with_kind(kind_, base_, [&](auto* base) {
      using Out = std::remove_pointer_t<decltype(base)>;
      return hex.simple ? write_plain<Out, true>(rows, n_rows, r, k, hex)
                        : write_plain<Out, false>(rows, n_rows, r, k, hex);
    });
  }

  // The text, or null with the join's error (or MemoryError) set.
  PyObject* finish() noexcept;

 private:
  // The tight loop's position, in locals while it runs: stores into a 1-byte
  // text may alias the members, which the compiler would reload after every
  // value.
  template <typename Out>
  struct Cursor {
    Out* out;
    Out* const end;
    const Py_UCS4 text_range;
    Py_UCS4 written_range;
  };

  // Writes rows[r], rows[r + 1]... from item k of the first, while they are
  // exact lists or tuples of readable strs whose header `hex` has, each with
  // its ';'. Stops with (r, k) at the first row or item it does not write (k
  // the row's size: at its end). Runs no Python code.
  template <typename Out, bool kSimple>
  [[gnu::noinline]] Stop write_plain(PyObject* const* rows, Py_ssize_t n_rows, Py_ssize_t& row,
                                     Py_ssize_t& item, const HexTable& hex) noexcept {
    Out* const base = static_cast<Out*>(base_);
    Cursor<Out> cur{base + length_, base + capacity_, range_, written_range_};
    Py_ssize_t r = row, k = item;
    const Py_ssize_t first_row = r;
    Stop stop = Stop::kDone;
    for (; r < n_rows; ++r, k = 0) {
      PyObject* const* items = nullptr;
      Py_ssize_t n = 0;
      if (!exact_items(rows[r], items, n)) {
        stop = Stop::kNotPlain;
        break;
      }
      // Values are counted by row: a counter in the inner loop costs 4.6
      // instructions a value. Only the first row may resume past its start
      // (and code run since it was read may have shrunk it).
      PyObject* const* at = items;
      if (k) {
        k = std::min(k, n);
        at += k;
        values_ -= k;
      }
      stop = write_plain_items<Out, kSimple>(cur, at, items + n, hex);
      if (stop != Stop::kDone) {
        k = at - items;
        values_ += k;
        break;
      }
      values_ += n;
      if (cur.out == cur.end) {
        k = n;
        stop = wait_for_room(0, 0x7F);
        break;
      }
      *cur.out++ = static_cast<Out>(format::kRowEnd);
    }
    row = r;
    item = k;
    length_ = cur.out - base;
    assert(length_ <= capacity_);
    written_range_ = cur.written_range;
    rows_ += r - first_row;
    return stop;
  }

  // The items from `at` to `end` of one row, for write_plain().
  template <typename Out, bool kSimple>
  [[gnu::always_inline]] Stop write_plain_items(Cursor<Out>& cur, PyObject* const*& at,
                                                PyObject* const* end, const HexTable& hex) noexcept {
    for (; at != end; ++at) {
      PyObject* v = *at;
      if (!readable_str(v)) return Stop::kNotPlain;
      // An ASCII value is 1-byte and, with an ASCII header, fits any text and
      // widens none: testing for it first, callgrind counts 81.5 instructions
      // a value on short-ascii, against 94.6 through the width's switch.
      const Stop stop = PyUnicode_IS_ASCII(v) ? write_plain_value<Out, Py_UCS1, kSimple>(cur, v, hex)
                                              : format::with_kind(PyUnicode_KIND(v), nullptr, [&](auto* c) {
        return write_plain_value<Out, std::remove_pointer_t<decltype(c)>, kSimple>(cur, v, hex);
      });
      if (stop != Stop::kDone) return stop;
    }
    return Stop::kDone;
  }

  // The tight loop's step for one value, a str of In characters.
  template <typename Out, typename In, bool kSimple>
  [[gnu::always_inline]] Stop write_plain_value(Cursor<Out>& cur, PyObject* v, const HexTable& hex) noexcept {
    const Record rec = format::measure_as<In>(v);
    if (!kSimple || rec.range > 0x7F) [[unlikely]] {
      if (!kSimple && !hex.covers(rec.digits)) return Stop::kNotPlain;
      const Py_UCS4 range = kSimple ? rec.range : std::max(rec.range, hex.range_at(rec.digits));
      if (range > cur.written_range) {
        if (range > cur.text_range) return wait_for_room(rec.chars(), range);
        cur.written_range = range;
      }
    }
    const Py_UCS4 header = hex.at(rec.digits);
    // A short value as one block, where the text has room for it beyond the
    // record's prefix; read before anything is stored (see Cursor).
    if (kShortBlocks && sizeof(In) <= sizeof(Out) && rec.v_len <= 16 / static_cast<Py_ssize_t>(sizeof(In)) &&
        PyUnicode_IS_COMPACT(v) && rec.v_len + 19 < cur.end - cur.out) {
      const auto* chars = static_cast<const In*>(PyUnicode_DATA(v));
      const Block block = load_block(chars + rec.v_len, static_cast<size_t>(rec.v_len) * sizeof(In));
      *cur.out++ = static_cast<Out>(header);
      cur.out = format::write_short_decimal(cur.out, static_cast<uint64_t>(rec.u16_len), rec.digits);
      store_block<Out, In>(cur.out, block);
      cur.out += rec.v_len;
      return Stop::kDone;
    }
    if (rec.chars() >= cur.end - cur.out) [[unlikely]] return wait_for_room(rec.chars(), cur.written_range);
    *cur.out++ = static_cast<Out>(header);
    cur.out = format::write_decimal(cur.out, static_cast<uint64_t>(rec.u16_len), rec.digits);
    cur.out = write_chars<Out, In>(cur.out, v, rec.v_len);
    return Stop::kDone;
  }

  // For the tight loop: what a record (or row end) needs that the text lacks.
  [[gnu::cold]] Stop wait_for_room(Py_ssize_t chars, Py_UCS4 range) noexcept {
    pending_chars_ = chars;
    pending_range_ = range;
    return Stop::kRoom;
  }

  void fail() noexcept {
    failed_ = true;
    text_.reset();
  }

  bool resize(Ref& text, Py_ssize_t capacity) noexcept {
    PyObject* resized = text.release();
    const int status = PyUnicode_Resize(&resized, capacity);
    text = Ref::steal(resized);
    return status == 0;
  }

  bool make_text(Py_ssize_t capacity, Py_UCS4 range) noexcept;

  void release_scratch() noexcept {
    if (scratch_) scratch_->busy = false;
    scratch_ = nullptr;
  }

  bool failed_ = false;  // the join fails: nothing more is written
  Scratch* scratch_ = nullptr;  // the text's characters until it leaves the buffer
  Ref text_;
  void* base_ = nullptr;  // text_'s characters
  int kind_ = PyUnicode_1BYTE_KIND;
  Py_ssize_t capacity_ = 0;
  Py_ssize_t length_ = 0;         // characters written
  Py_UCS4 range_ = 0x7F;          // the range the text can hold
  Py_UCS4 written_range_ = 0x7F;  // the largest range written
  Py_ssize_t values_ = 0, rows_ = 0;  // written: 3 pieces per value, 1 per row
  Py_ssize_t pending_chars_ = 0;
  Py_UCS4 pending_range_ = 0x7F;
  bool measured_ = false;
  Ref bad_piece_;  // the first header piece that is not a str
  Py_ssize_t bad_piece_index_ = 0;
};

// Makes room for `chars` more characters of range `range`, `rest` expected
// from them on: exactly for an exact rest (a text that needs no cut leaves
// its block to the same call made again); for an estimate, at least an eighth
// more (to stay geometric) and at most what is sure plus a megabyte; else
// twice. A text made wider holds the old one meanwhile: it grows half as
// much.
bool TextBuilder::grow(Py_ssize_t chars, Py_UCS4 range, const Rest& rest) noexcept {
  if (chars > PY_SSIZE_T_MAX - length_) return fail(), true;
  const Py_ssize_t held = length_ + chars;
  const bool wider = !text_ || scratch_ || std::max(range, rest.range) > range_;
  const Py_UCS4 new_range = std::max({range, written_range_, wider ? rest.range : 0});
  Py_ssize_t capacity;
  measured_ = rest.exact;
  if (rest.exact) {
    capacity = add_capped(length_, std::max(chars + 1, rest.chars));
  } else {
    const int char_size = new_range <= 0xFF ? 1 : new_range <= format::kMaxBmp ? 2 : 4;
    const Py_ssize_t sure = std::max(held, add_capped(length_, rest.proven));
    const Py_ssize_t most = add_capped(wider && text_ ? sure / 2 : sure, (1 << 20) / char_size);
    const Py_ssize_t more = std::clamp(rest.known ? rest.chars : std::max<Py_ssize_t>(held, 256),
                                       held / 8, most);
    capacity = add_capped(add_capped(held, 1), more);
  }
  if (!(wider ? make_text(capacity, new_range) : resize(text_, capacity))) return false;
  capacity_ = capacity;
  base_ = PyUnicode_DATA(text_.get());
  written_range_ = std::max(written_range_, range);
  return true;
}

// A new text of `capacity` characters as wide as `range`, holding the text
// so far (cut to its length first: both are held while it is copied).
bool TextBuilder::make_text(Py_ssize_t capacity, Py_UCS4 range) noexcept {
  Ref old = std::move(text_);
  if (old && capacity_ > length_ && !resize(old, length_)) return false;
  text_ = Ref::steal(PyUnicode_New(capacity, range));
  if (!text_ || (old && PyUnicode_CopyCharacters(text_.get(), 0, old.get(), 0, length_) < 0)) return false;
  if (scratch_) {  // the text so far is in the thread's buffer
    format::with_kind(PyUnicode_KIND(text_.get()), PyUnicode_DATA(text_.get()),
                      [&](auto* chars) { std::copy_n(scratch_->chars, length_, chars); });
    release_scratch();
  }
  range_ = char_range(range);
  kind_ = PyUnicode_KIND(text_.get());
  return true;
}

PyObject* TextBuilder::finish() noexcept {
  if (failed_) {
    if (bad_piece_) {
      PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                   bad_piece_index_, Py_TYPE(bad_piece_.get())->tp_name);
    } else {
      PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
    }
    return nullptr;
  }
  if (scratch_) {
    PyObject* text = PyUnicode_New(length_, written_range_);
    if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), scratch_->chars, static_cast<size_t>(length_));
    return text;
  }
  // A text made wider than what was written (the rows expected to need it
  // changed meanwhile) is copied into a canonical str.
  if (!text_ || written_range_ < range_) return PyUnicode_FromKindAndData(kind_, base_, length_);
  if (capacity_ != length_ && !resize(text_, length_)) return nullptr;
  return text_.release();
}

// ---------------------------------------------------------------------------
// The walk.

class Serializer {
 public:
  explicit Serializer(NameLookup& hex_lookup) noexcept : hex_lookup_(hex_lookup) {}
  ~Serializer() { if (entered_) Py_LeaveRecursiveCall(); }

  PyObject* run(PyObject* lists) noexcept {
    const bool walked =
        is_exact_sequence(lists)
            ? walk_rows(lists)
            : walk_iterable(lists, [this](Ref row) { return walk_row(row.get(), 0); });
    return walked ? text_.finish() : nullptr;
  }

 private:
  // The rows of an exact list or tuple by index, its size read again at every
  // step, runs of plain rows through the tight loop (without the GIL, one at
  // a time: see walk_row()).
  bool walk_rows(PyObject* lists) noexcept {
    outer_ = lists;
    for (row_ = 0;; ++row_) {
      Py_ssize_t k = 0;
      if (const HexTable* hex = kFreeThreaded ? nullptr : plain_hex()) {
        if (text_.room() == 0 && !text_.grow(0, 0x7F, rest_from(row_, 0, 0))) return false;
        PyObject* const* rows = nullptr;
        Py_ssize_t n_rows = 0;
        exact_items(lists, rows, n_rows);
        if (!write_plain(rows, n_rows, row_, k, *hex, 0)) return false;
      }
      Ref row = exact_item(lists, row_);
      if (!row) break;
      if (!walk_row(row.get(), k)) return false;
    }
    return true;
  }

  // One row from item `k` on, and its end.
  bool walk_row(PyObject* row, Py_ssize_t k) noexcept {
    if (is_exact_sequence(row)) {
      for (;; ++k) {
        if (const HexTable* hex = plain_hex()) {
          Py_ssize_t r = 0;
          bool written = false;
          with_object_locked(row, [&] { written = write_plain(&row, 1, r, k, *hex, row_); });
          if (!written) return false;
          if (r == 1) return true;
        }
        Ref item = exact_item(row, k);
        if (!item) break;
        if (!add_item(std::move(item), k)) return false;
      }
    } else if (!walk_iterable(row, [&](Ref item) { return add_item(std::move(item), k++); })) {
      return false;
    }
    if (text_.writing() && !text_.fits(0, 0x7F) && !text_.grow(0, 0x7F, rest_from(row_ + 1, 0, 1))) {
      return false;
    }
    text_.end_row();
    return true;
  }

  // Any other iterable, through the iterator protocol; StopIteration (or a
  // subclass) ends it as exhaustion does. The next-item slot is read once, as
  // list() does: the iterator's code may change its type to one without that
  // slot.
  template <typename Visit>
  bool walk_iterable(PyObject* iterable, Visit&& visit) noexcept {
    if (!code_may_run()) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return false;
    const iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
    for (;;) {
      Ref element = Ref::steal(next(iterator.get()));
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

  // The tight loop over rows[r], rows[r + 1]... (rows[0] being row
  // `first_row` of the outer list), growing the text as it needs.
  bool write_plain(PyObject* const* rows, Py_ssize_t n_rows, Py_ssize_t& r, Py_ssize_t& k,
                   const HexTable& hex, Py_ssize_t first_row) noexcept {
    while (text_.writing() && text_.write_plain_rows(rows, n_rows, r, k, hex) == Stop::kRoom) {
      const Rest rest = rest_from(first_row + r, k, 0);
      if (!text_.grow(text_.pending_chars(), text_.pending_range(), rest)) return false;
    }
    return true;
  }

  // The general step, for item `k` of the current row: str() of a non-str,
  // then HEX looked up and indexed, unless it is a str, list or tuple with
  // the header.
  bool add_item(Ref item, Py_ssize_t k) noexcept {
    if (!code_may_run()) return false;
    Ref v = PyUnicode_Check(item.get()) ? std::move(item) : Ref::steal(PyObject_Str(item.get()));
    if (!v || !ensure_ready(v.get())) return false;
    const Record rec = format::measure(v.get());
    Ref hex = hex_lookup_.get();
    if (!hex) return false;
    const HexTable* table = take_up(hex.get());
    if (table && table->covers(rec.digits)) {
      return add_record(table->at(rec.digits), nullptr, v.get(), rec, k);
    }
    Ref index = Ref::steal(PyLong_FromLong(format::header_index(rec.digits)));
    Ref header = index ? Ref::steal(PyObject_GetItem(hex.get(), index.get())) : Ref();
    if (!header) return false;
    if (!PyUnicode_Check(header.get())) {
      text_.defer_bad_piece(std::move(header));
      return true;
    }
    return ensure_ready(header.get()) && add_record(0, header.get(), v.get(), rec, k);
  }

  bool add_record(Py_UCS4 header, PyObject* header_piece, PyObject* v, const Record& rec,
                  Py_ssize_t k) noexcept {
    if (text_.writing()) {
      const Py_ssize_t header_chars = header_piece ? PyUnicode_GET_LENGTH(header_piece) : 1;
      const Py_ssize_t chars = add_capped(header_chars, rec.chars(0));
      const Py_UCS4 range =
          std::max(rec.range, header_piece ? format::measure(header_piece).range : char_range(header));
      if (text_.measured()) {
        // The room left is the measured rest's, which this record is not in.
        if (!text_.grow(chars, range, Rest{add_capped(text_.room(), chars), range, true, true})) return false;
      } else if (!text_.fits(chars, range) && !text_.grow(chars, range, rest_from(row_, k + 1, chars))) {
        return false;
      }
    }
    text_.append_record(header, header_piece, v, rec);
    return true;
  }

  // From the first Python code the call runs (which may call stringify
  // again), the call counts as a level of the interpreter's recursion, as a
  // call through str() would.
  bool code_may_run() noexcept {
    if (entered_) return true;
    entered_ = Py_EnterRecursiveCall(" while serializing a table") == 0;
    return entered_;
  }

  // The header characters of HEX for the tight loop while its lookup stays
  // valid; else null, and the general step looks it up.
  const HexTable* plain_hex() noexcept {
    if (!text_.writing()) return nullptr;
#ifdef Py_GIL_DISABLED
    // Without the GIL, taking the lookup's value takes the dictionaries'
    // locks and a reference every thread shares: it is taken again only when
    // the lookup changed. (Rows are written one at a time here: on 3.13t,
    // tall tables take 0.80-0.85 of the time they take without this check,
    // short-ascii 0.87-0.96; bench.py --ab, 1k and 100k values.)
    const uint64_t generation = hex_lookup_.generation();
    if (table_current_ && generation == table_generation_) return &hex_table_;
    Ref hex = hex_lookup_.cached();
    const HexTable* table = hex ? take_up(hex.get()) : nullptr;
    table_current_ = table != nullptr;
    table_generation_ = generation;
    return table;
#else
    PyObject* hex = hex_lookup_.peek();
    return hex ? take_up(hex) : nullptr;
#endif
  }

  // Loads the header characters of HEX where it supplies them without running
  // code; else null. An exact str is loaded once (the reference kept stops
  // its address from being reused meanwhile); a list's elements, which code
  // may have changed, every time (and without the GIL, where another thread
  // may change them meanwhile, not at all).
  const HexTable* take_up(PyObject* hex) noexcept {
    if (hex == hex_.get()) return &hex_table_;
#ifdef Py_GIL_DISABLED
    table_current_ = false;
#endif
    if (PyUnicode_CheckExact(hex)) {
      if (!is_ready(hex)) return nullptr;
      hex_ = Ref::borrow(hex);
      hex_table_.load_str(hex);
      return &hex_table_;
    }
    hex_.reset();
    if (!PyTuple_CheckExact(hex) && !(PyList_CheckExact(hex) && !kFreeThreaded)) return nullptr;
    hex_table_.load_items(hex);
    return hex_table_.chars > 0 ? &hex_table_ : nullptr;
  }

  // Adds to `m` row r of the outer list from item k on, with its ';'; false
  // for a row that is not an exact list or tuple, or with more items not
  // plain than `unknown_left`.
  bool measure_row(Py_ssize_t r, Py_ssize_t k, Rest& m, Py_ssize_t& unknown_left) const noexcept {
    PyObject* const* rows = nullptr;
    PyObject* const* items = nullptr;
    Py_ssize_t n_rows = 0, n = 0;
    exact_items(outer_, rows, n_rows);
    if (r >= n_rows || !exact_items(rows[r], items, n)) return false;
    for (; k < n; ++k) {
      PyObject* v = items[k];
      Record rec;
      if (readable_str(v) && (rec = format::measure(v), hex_table_.covers(rec.digits))) {
        if (__builtin_add_overflow(m.chars, rec.chars(), &m.chars)) return false;
        m.range = std::max({m.range, rec.range, hex_table_.range_at(rec.digits)});
      } else if (--unknown_left < 0) {
        return false;
      }
    }
    m.chars += 1;
    return true;
  }

  // What the table holds from item k of row r of the outer list on, plus
  // `chars`. A sample of the rows ahead, taken once, gives the median row
  // (which a few odd rows do not move) and proves what it measured to be
  // ahead. The text is sized a 32nd short of it, to run out near its end,
  // where the rest, a 16th of the text at most, is measured once: the text
  // then ends at its exact size (the general step grows it by exactly what
  // each item not plain needs), and the same call made again reuses its block
  // (100,000 rows of ten short values, a last row (1,), in a busy heap: 2,467
  // page faults a call grown by estimate and cut, none measured). Without the
  // GIL other rows are not read while one is locked (that might suspend it):
  // the text doubles.
  Rest rest_from(Py_ssize_t r, Py_ssize_t k, Py_ssize_t chars) noexcept {
    Rest rest;
    if (kFreeThreaded || !outer_) return rest;
    PyObject* const* rows = nullptr;
    Py_ssize_t n_rows = 0;
    exact_items(outer_, rows, n_rows);
    if (r >= n_rows) return Rest{chars, 0x7F, true, true};
    const Py_ssize_t rows_left = n_rows - r;
    if (!sampled_) take_sample(r, k, n_rows);
    const auto length = static_cast<double>(text_.length());
    // (The rows written, where fewer per row, keep a sample's median from overshooting.)
    const double per_row = r > 0 ? std::min(per_row_, length / static_cast<double>(r)) : per_row_;
    const double estimate = per_row * static_cast<double>(rows_left);
    if (!tail_measured_ && estimate <= length / 16) {
      tail_measured_ = true;
      rest.exact = true;
      Py_ssize_t unknown_left = kFewUnknown;
      for (; r < n_rows && rest.exact; ++r, k = 0) rest.exact = measure_row(r, k, rest, unknown_left);
      if (rest.exact) {
        rest.known = true;
        rest.chars = add_capped(rest.chars, chars);
        return rest;
      }
      rest = Rest();
    }
    if (per_row_ <= 0) return rest;
    rest.known = true;
    const double sized = estimate - estimate / 32;
    rest.chars = add_capped(chars, static_cast<Py_ssize_t>(std::min(sized, kMaxEstimate)));
    rest.range = sample_range_;
    rest.proven = r == sample_row_ ? sample_chars_ : 0;
    return rest;
  }

  // Rows spread over rows r to n_rows (row r from item k): a sixteenth of
  // them, 8 to kSampleRows; one, up to 16.
  void take_sample(Py_ssize_t r, Py_ssize_t k, Py_ssize_t n_rows) noexcept {
    sampled_ = true;
    sample_row_ = r;
    const Py_ssize_t span = n_rows - r;
    if (span <= 0) return;
    const Py_ssize_t count = span <= 16 ? 1 : std::clamp<Py_ssize_t>(span / 16, 8, kSampleRows);
    Py_ssize_t chars[kSampleRows];
    Py_ssize_t plain = 0;
    const double step = static_cast<double>(span) / static_cast<double>(count);
    for (Py_ssize_t s = 0; s < count; ++s) {
      const auto row = r + static_cast<Py_ssize_t>((static_cast<double>(s) + 0.5) * step);  // mid-step
      Rest m;
      Py_ssize_t unknown_left = 0;
      if (!measure_row(row, row == r ? k : 0, m, unknown_left)) continue;
      chars[plain++] = m.chars;
      sample_chars_ = add_capped(sample_chars_, m.chars);
      sample_range_ = std::max(sample_range_, m.range);
    }
    if (plain == 0) return;
    std::nth_element(chars, chars + plain / 2, chars + plain);
    per_row_ = static_cast<double>(chars[plain / 2]);
  }

  static constexpr Py_ssize_t kSampleRows = 32;
  static constexpr double kMaxEstimate = static_cast<double>(PY_SSIZE_T_MAX / 4);
  // Items not plain among the rows measured: each costs the text a resize.
  static constexpr Py_ssize_t kFewUnknown = 32;

  NameLookup& hex_lookup_;
  bool entered_ = false;  // into the interpreter's recursion check
  TextBuilder text_;
  Ref hex_;             // the last exact-str HEX taken up
  HexTable hex_table_;  // the header characters of the last HEX taken up
#ifdef Py_GIL_DISABLED
  bool table_current_ = false;  // hex_table_ is HEX's while the lookup's generation is...
  uint64_t table_generation_ = 0;  // ...this one
#endif
  PyObject* outer_ = nullptr;  // the outer list or tuple, if it is one
  Py_ssize_t row_ = 0;         // the index of its row being walked
  bool sampled_ = false;
  bool tail_measured_ = false;
  double per_row_ = 0;  // characters per row, from the sample
  Py_UCS4 sample_range_ = 0x7F;
  Py_ssize_t sample_row_ = 0;    // where the sample was taken from
  Py_ssize_t sample_chars_ = 0;  // what the rows it measured hold
};

}  // namespace

PyObject* stringify(PyObject* lists, NameLookup& hex) noexcept {
  return Serializer(hex).run(lists);
}

}  // namespace tarv
