// libFuzzer targets for the tarv module, run in an embedded interpreter.
//
// The module's own sources are linked in (instrumented for coverage, with
// ASan and UBSan) and registered as a built-in module. This file is built
// twice: with TARV_FUZZ_PARSE it decodes the input into a text for
// tarv.parse, with TARV_FUZZ_STRINGIFY into a table for tarv.stringify. It
// only turns bytes into Python objects: fuzz_checks.py builds the tables,
// calls the module and the model of the format (tests/tarv_model.py) and
// raises on any disagreement; the harness then prints the decoded input and
// aborts, and libFuzzer saves the input.
//
// The text of the parse target and each str item of the stringify target
// come with a state byte: fuzz_checks.py puts the string in one of the
// states a program can leave a str in (tests/states.py; the byte, modulo
// their number, picks among those that apply to the string), since the
// bytes next to a str's characters differ between them.
//
// Text (parse): a state byte, then the rest of the input as decoding steps.
//
// String decoding, one step at a time (a step appends code points):
//   0x01 hi lo      the BMP code point hi*256+lo (surrogates included)
//   0x02 b2 b1 b0   the code point b2*65536+b1*256+b0, modulo 0x110000
//   0x03 b          the astral code point U+1F600+b
//   0x04 b          the lone surrogate U+D800+8*b (high and low halves)
//   0x05 n          the previous code point n more times
//   0x06 n          the previous code point 64*n more times
//   0x07 n ...      a raw range: n code points of three bytes each, as 0x02
//   0x80-0x9f       one of kPicks
//   any other byte  the code point of the same value (ASCII and Latin-1)
//
// Table decoding (stringify): a flags byte, whose bits 0-1 give the outer
// collection (list, tuple, generator, list) and whose bit 2 announces a
// 16-character HEX (16 decoded code points). Then records, each starting
// with an op byte, by op & 7:
//   0-2  a str item: a count byte n, then n decoding steps; op >> 3 is its
//        state byte
//   3    an instance of a str subclass, read the same way
//   4    an int: a byte n, then n % 17 bytes, little-endian two's complement
//   5    None; with bit 3 set, an item whose str() rebinds tarv.HEX to a
//        string read as above, in the form (op >> 4) & 3 (fuzz_checks.py)
//   6    a float: 8 bytes, a little-endian IEEE double
//   7    end of row; (op >> 3) & 3 gives the row's form, as for the outer
//        collection. A row still open at the end of the input is a list.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#if defined(TARV_FUZZ_PARSE) == defined(TARV_FUZZ_STRINGIFY)
#error "define exactly one of TARV_FUZZ_PARSE and TARV_FUZZ_STRINGIFY"
#endif
#ifndef TARV_SOURCE_DIR
#error "define TARV_SOURCE_DIR as the repository's path, as a string literal"
#endif

extern "C" PyObject* PyInit_tarv(void);

namespace {

// Code points per input, over all its strings: keeps the model's pace.
constexpr size_t kMaxCodePoints = size_t{1} << 15;

// Characters made likely by single bytes 0x80-0x9f: width boundaries,
// surrogates, non-ASCII digits, look-alikes of ';' and of the header
// letters, and astral code points whose low bits read as '0', ';' or 'A'.
constexpr Py_UCS4 kPicks[32] = {
    0x0100, 0x0130, 0x037E, 0x0660, 0x07FF, 0x0800, 0x2028, 0x212A,
    0x4E2D, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFEFF,
    0xFF10, 0xFF19, 0xFF1B, 0xFF21, 0xFFFD, 0xFFFF, 0x10000, 0x10030,
    0x1003B, 0x10041, 0x1D7CE, 0x1F4A9, 0x1F600, 0x20000, 0xE0030, 0x10FFFF,
};

// Item kinds handed to fuzz_checks.check_stringify (same order there).
enum ItemKind { kStr, kSub, kInt, kNone, kFloat, kRebind };

[[noreturn]] void fail(PyObject* input) {
  if (PyErr_Occurred()) PyErr_Print();
  if (input) {
    std::fputs("decoded input: ", stderr);
    PyObject_Print(input, stderr, 0);
  }
  std::fputs("\n", stderr);
  std::abort();
}

PyObject* checked(PyObject* obj) {
  if (!obj) fail(nullptr);
  return obj;
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool done() const { return p_ == end_; }
  uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
  uint32_t number(int bytes) {  // big-endian
    uint32_t v = 0;
    while (bytes-- > 0) v = v << 8 | byte();
    return v;
  }

  PyObject* bytes(size_t n) {
    n = std::min(n, static_cast<size_t>(end_ - p_));
    p_ += n;
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p_ - n), n));
  }

  // One decoding step, appended to `out`.
  void step(std::vector<Py_UCS4>& out) {
    const uint8_t b = byte();
    switch (b) {
      case 0x01: return put(out, number(2));
      case 0x02: return put(out, number(3) % 0x110000);
      case 0x03: return put(out, 0x1F600 + byte());
      case 0x04: return put(out, 0xD800 + 8 * byte());
      case 0x05:
      case 0x06:
        for (int n = byte() * (b == 0x05 ? 1 : 64); n > 0 && !out.empty() && budget_ > 0; --n) {
          put(out, out.back());
        }
        return;
      case 0x07:
        for (int n = byte(); n > 0 && !done(); --n) put(out, number(3) % 0x110000);
        return;
      default: return put(out, b >= 0x80 && b < 0xA0 ? kPicks[b - 0x80] : b);
    }
  }

  // A str: a count byte, then that many decoding steps.
  PyObject* str() {
    std::vector<Py_UCS4> cps;
    for (int n = byte(); n > 0 && !done(); --n) step(cps);
    return new_str(cps);
  }

  static PyObject* new_str(const std::vector<Py_UCS4>& cps) {
    // Gives the canonical (narrowest) form, as any str made in Python.
    return checked(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps.data(),
                                             static_cast<Py_ssize_t>(cps.size())));
  }

 private:
  void put(std::vector<Py_UCS4>& out, Py_UCS4 cp) {
    if (budget_ == 0) return;
    --budget_;
    out.push_back(cp);
  }

  const uint8_t* p_;
  const uint8_t* end_;
  size_t budget_ = kMaxCodePoints;
};

#if defined(TARV_FUZZ_PARSE)
constexpr char kCheck[] = "check_parse";

// (text, state byte): the first byte, then the rest of the input decoded.
PyObject* decode(Reader& in) {
  const uint8_t state = in.byte();
  std::vector<Py_UCS4> cps;
  while (!in.done()) in.step(cps);
  return Py_BuildValue("(Ni)", Reader::new_str(cps), state);
}
#else
constexpr char kCheck[] = "check_stringify";

// Appends `item` (a new reference, consumed) to `list`.
void append(PyObject* list, PyObject* item) {
  if (PyList_Append(list, checked(item)) < 0) fail(nullptr);
  Py_DECREF(item);
}

// (outer, hex or None, [(row form, [(item kind, payload), ...]), ...]); a
// str item's payload is (text, state byte).
PyObject* decode(Reader& in) {
  const uint8_t flags = in.byte();
  PyObject* hex = Py_NewRef(Py_None);
  if (flags & 4) {
    std::vector<Py_UCS4> cps;
    while (cps.size() < 16 && !in.done()) in.step(cps);
    cps.resize(std::min<size_t>(cps.size(), 16));
    while (cps.size() < 16) cps.push_back("0123456789abcdef"[cps.size()]);
    Py_SETREF(hex, Reader::new_str(cps));
  }
  PyObject* rows = checked(PyList_New(0));
  PyObject* items = checked(PyList_New(0));
  while (!in.done()) {
    const uint8_t op = in.byte();
    PyObject* item;
    switch (op & 7) {
      case 7:
        append(rows, Py_BuildValue("(iN)", (op >> 3) & 3, items));
        items = checked(PyList_New(0));
        continue;
      case 3: item = Py_BuildValue("(iN)", kSub, in.str()); break;
      case 4: item = Py_BuildValue("(iN)", kInt, in.bytes(in.byte() % 17)); break;
      case 5:
        item = op & 8 ? Py_BuildValue("(i(iN))", kRebind, (op >> 4) & 3, in.str())
                      : Py_BuildValue("(iO)", kNone, Py_None);
        break;
      case 6: item = Py_BuildValue("(iN)", kFloat, in.bytes(8)); break;
      default: item = Py_BuildValue("(i(Ni))", kStr, in.str(), op >> 3); break;
    }
    append(items, item);
  }
  if (PyList_GET_SIZE(items) > 0) {
    append(rows, Py_BuildValue("(iN)", 0, items));
  } else {
    Py_DECREF(items);
  }
  return Py_BuildValue("(iNN)", flags & 3, hex, rows);
}
#endif

PyObject* g_check;  // fuzz_checks.check_parse or fuzz_checks.check_stringify

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (PyImport_AppendInittab("tarv", PyInit_tarv) < 0) fail(nullptr);
  PyConfig config;
  PyConfig_InitPythonConfig(&config);  // honours PYTHONMALLOC
  config.site_import = 0;              // no site-packages: no installed tarv
  config.install_signal_handlers = 0;  // libFuzzer's own stay in place
  const PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);

  PyObject* path = PySys_GetObject("path");  // borrowed
  for (const char* dir : {TARV_SOURCE_DIR "/fuzz", TARV_SOURCE_DIR "/tests"}) {
    PyObject* entry = checked(PyUnicode_FromString(dir));
    if (!path || PyList_Insert(path, 0, entry) < 0) fail(nullptr);
    Py_DECREF(entry);
  }
  PyObject* checks = checked(PyImport_ImportModule("fuzz_checks"));
  g_check = checked(PyObject_GetAttrString(checks, kCheck));
  Py_DECREF(checks);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  PyObject* args = checked(decode(in));
  PyObject* result = PyObject_Call(g_check, args, nullptr);
  if (!result) fail(args);
  Py_DECREF(result);
  Py_DECREF(args);
  return 0;
}
