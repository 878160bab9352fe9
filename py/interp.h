// Interpreter services shared by the module boundary and the codec: an owning
// reference, a growable native buffer that reports failure instead of
// throwing, and the by-name lookup of module attributes with its cache.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace tarv {

// Up to 3.11 a str made through the deprecated Py_UNICODE API may not be
// ready (its compact buffer not yet filled); from 3.12 on every str is.
// ensure_ready() returns false with an exception set on failure.
#if PY_VERSION_HEX < 0x030C0000
inline bool ensure_ready(PyObject* str) noexcept { return PyUnicode_READY(str) == 0; }
inline bool is_ready(PyObject* str) noexcept { return PyUnicode_IS_READY(str); }
#else
inline bool ensure_ready(PyObject*) noexcept { return true; }
inline bool is_ready(PyObject*) noexcept { return true; }
#endif

// Owns one reference (or none) and releases it when it goes out of scope.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }
  Ref(Ref&& other) noexcept : obj_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  // Takes ownership of `obj`. The old object is released last: its
  // deallocation can run arbitrary code, which must find this Ref updated.
  void reset(PyObject* obj = nullptr) noexcept { Py_XDECREF(std::exchange(obj_, obj)); }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// A growable array of trivially copyable elements in interpreter memory
// (so tracemalloc sees it). push() returns false with MemoryError set
// instead of throwing.
template <typename T>
class GrowBuf {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  GrowBuf() noexcept = default;
  GrowBuf(const GrowBuf&) = delete;
  GrowBuf& operator=(const GrowBuf&) = delete;
  ~GrowBuf() { PyMem_Free(data_); }

  Py_ssize_t size() const noexcept { return size_; }
  T& operator[](Py_ssize_t i) noexcept { return data_[i]; }
  void clear() noexcept { size_ = 0; }

  bool push(const T& value) noexcept {
    if (size_ == capacity_ && !grow()) return false;
    data_[size_++] = value;
    return true;
  }

 private:
  bool grow() noexcept {
    void* grown = nullptr;
    if (capacity_ <= PY_SSIZE_T_MAX / 2 / static_cast<Py_ssize_t>(sizeof(T))) {
      grown = PyMem_Realloc(data_, static_cast<size_t>(capacity_ ? capacity_ * 2 : 16) * sizeof(T));
    }
    if (!grown) {
      PyErr_NoMemory();
      return false;
    }
    data_ = static_cast<T*>(grown);
    capacity_ = capacity_ ? capacity_ * 2 : 16;
    return true;
  }

  T* data_ = nullptr;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = 0;
};

// Without the GIL (free-threaded builds) other threads may change anything.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// Calls f() holding `obj`'s per-object lock on free-threaded builds, as the
// interpreter's own code does to read a list's items in place; directly
// under the GIL. Code in f() that blocks suspends the lock: while items are
// read in place, no Python code may run in f(), nor a NameLookup call.
template <typename F>
inline void with_object_locked([[maybe_unused]] PyObject* obj, F&& f) noexcept {
#ifdef Py_GIL_DISABLED
  Py_BEGIN_CRITICAL_SECTION(obj);
  f();
  Py_END_CRITICAL_SECTION();
#else
  f();
#endif
}

// A module attribute read by name at every use: from the module's
// namespace, else from the built-ins module, else NameError. The value found
// is remembered while the generation, which changes whenever either
// dictionary does, stays the one it was found at: from 3.12 on a dictionary
// watcher counts their changes; on 3.11 it is the greater of their version
// tags (public there), which take a new value of a process-wide counter at
// every change. From 3.12 on the value is held by a reference, which the
// watcher releases when the dictionary it came from is about to change; a
// watch that other code removes (only CPython's test module can) leaves the
// lookup stale, never unsafe. On 3.11 it is a borrowed pointer, kept alive
// by that dictionary while the generation is unchanged. (Measured with
// callgrind on 3.11, no cache at all: 100 rows of ten 8-character values
// take 4.4 times the instructions, stringify([["a"]]) 14% more.)
class NameLookup {
 public:
  // Reads `name` (interned) from `module_dict`, then from the module
  // `builtins`, and watches both dictionaries; references to all three are
  // taken. -1 with an exception set on failure.
  int init(PyObject* name, PyObject* module_dict, PyObject* builtins) noexcept;
  // Forgets what is remembered.
  void reset() noexcept;

  // A new reference to the value; null with an exception set on failure.
  Ref get() noexcept {
    Ref value = cached();
    return value ? std::move(value) : refresh();
  }
  // A new reference to the remembered value while it is valid, else null
  // with no exception set. Never runs code. Neither this nor get() may be
  // called inside with_object_locked(): it may take the dictionaries' locks.
  Ref cached() noexcept {
    Ref value;
    locked([&] { value = Ref::borrow(valid() ? value_ : nullptr); });
    return value;
  }
#ifndef Py_GIL_DISABLED
  // The remembered value while it is valid, else null; borrowed, valid until
  // Python code next runs.
  PyObject* peek() noexcept { return valid() ? value_ : nullptr; }
#endif

  // What a caller derived from a value stays right while the generation it
  // read before getting the value is unchanged. Lock-free; it only grows.
  uint64_t generation() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return generation_.load(std::memory_order_acquire);
#else
    const auto* module_dict = reinterpret_cast<PyDictObject*>(module_dict_.get());
    const auto* builtins_dict = reinterpret_cast<PyDictObject*>(builtins_dict_.get());
    return std::max(module_dict->ma_version_tag, builtins_dict->ma_version_tag);
#endif
  }

 private:
  friend struct Watcher;
  bool valid() const noexcept { return value_ && value_generation_ == generation(); }
  // Calls f() holding both dictionaries' locks without the GIL (see interp.cpp).
  template <typename F>
  void locked(F&& f) noexcept {
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION2(module_dict_.get(), builtins_dict_.get());
    f();
    Py_END_CRITICAL_SECTION2();
#else
    f();
#endif
  }
  Ref refresh() noexcept;
  void remember(Ref value, PyObject* origin, uint64_t generation) noexcept;
  void forget(PyObject* changed) noexcept;

  static constexpr bool kOwnsValue = PY_VERSION_HEX >= 0x030C0000;
  Ref name_, module_dict_, builtins_dict_, builtins_;
  PyObject* value_ = nullptr;  // owned if kOwnsValue (from 3.12 on), else borrowed
  uint64_t value_generation_ = 0;
#if PY_VERSION_HEX >= 0x030C0000
  std::atomic<PyObject*> origin_{nullptr};  // the dictionary value_ came from
  std::atomic<uint64_t> generation_{1};
#endif
};

// Forgets the watcher and the lookups it tells, releasing nothing: for when
// the runtime they belonged to has finalized.
void forget_lookups() noexcept;

}  // namespace tarv
