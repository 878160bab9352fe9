// Interpreter services shared by the module boundary and the codec: an owning
// reference, a growable native buffer that reports failure instead of
// throwing, and the by-name lookup of module attributes with its cache.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace tarv {

// Up to 3.11 a str made through the deprecated Py_UNICODE API may not be
// ready (its compact buffer not yet filled); from 3.12 on every str is.
// Returns false with an exception set on failure.
inline bool ensure_ready([[maybe_unused]] PyObject* str) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(str) == 0;
#else
  return true;
#endif
}

// Whether a str is ready (always, from 3.12 on); never fails.
inline bool is_ready([[maybe_unused]] PyObject* str) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_IS_READY(str);
#else
  return true;
#endif
}

// Owns one reference (or none) and releases it when it goes out of scope.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }
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
  PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  // Takes ownership of `obj`. The old object is released last: its
  // deallocation can run arbitrary code, which must find this Ref updated.
  void reset(PyObject* obj = nullptr) noexcept {
    PyObject* old = obj_;
    obj_ = obj;
    Py_XDECREF(old);
  }

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

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  Py_ssize_t size() const noexcept { return size_; }
  T& operator[](Py_ssize_t i) noexcept { return data_[i]; }
  void clear() noexcept { size_ = 0; }

  bool push(const T& value) noexcept {
    if (size_ == capacity_ && !grow(1)) return false;
    data_[size_++] = value;
    return true;
  }

  // Makes room for `extra` more elements, to be written at data() + size()
  // and then counted with grow_size().
  bool reserve(Py_ssize_t extra) noexcept {
    return capacity_ - size_ >= extra || grow(extra);
  }
  void grow_size(Py_ssize_t added) noexcept { size_ += added; }

 private:
  bool grow(Py_ssize_t extra) noexcept {
    const Py_ssize_t limit = PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(T)) / 2;
    if (extra > limit - size_) {
      PyErr_NoMemory();
      return false;
    }
    Py_ssize_t capacity = capacity_ ? capacity_ : 16;
    while (capacity - size_ < extra) capacity *= 2;
    void* grown = PyMem_Realloc(data_, static_cast<size_t>(capacity) * sizeof(T));
    if (!grown) {
      PyErr_NoMemory();
      return false;
    }
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
    return true;
  }

  T* data_ = nullptr;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = 0;
};

// Free-threaded builds run without the GIL: other threads may change what
// the module reads at any moment.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// Guards a few loads and stores among threads on free-threaded builds; a
// no-op under the GIL. It spins instead of parking the thread: a parked
// thread detaches from the interpreter, which suspends the critical
// sections it holds (a dictionary's, in a watcher callback), and no Python
// code runs while it is held.
class SpinLock {
 public:
  void lock() noexcept {
    if constexpr (kFreeThreaded) {
      while (locked_.exchange(true, std::memory_order_acquire)) {
        while (locked_.load(std::memory_order_relaxed)) {
        }
      }
    }
  }
  void unlock() noexcept {
    if constexpr (kFreeThreaded) locked_.store(false, std::memory_order_release);
  }

 private:
  std::atomic<bool> locked_{false};
};

// Calls f() holding `obj`'s per-object lock on free-threaded builds, as the
// interpreter's own code does to read a list's items in place; directly
// under the GIL. No Python code may run in f(): code that blocks would
// suspend the lock.
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

class NameLookup;

// A dictionary whose changes can be detected cheaply: stamp() returns a
// number that differs after any change to the dictionary. Up to 3.11 this is
// the dictionary's version tag; from 3.12 on, where the tag is deprecated,
// a dictionary watcher counts the changes, and tells the lookups that read
// the dictionary to forget what they remember.
class WatchedDict {
 public:
  // Starts watching `dict` (borrowed; it must outlive this object's use).
  // Returns -1 with an exception set on failure.
  int watch(PyObject* dict) noexcept;
  void unwatch() noexcept;
  PyObject* dict() const noexcept { return dict_; }

#if PY_VERSION_HEX >= 0x030C0000
  uint64_t stamp() const noexcept { return changes_.load(std::memory_order_acquire); }
  // Whether the watch is still in place: other code may remove it (with
  // the watcher's id, through the test API), and then changes go unseen.
  // Reads the dictionary's watcher bits, which the interpreter keeps in a
  // field of its own, bits 0-7, one per watcher id, from 3.12 to 3.15.
  bool watched() const noexcept;
  // Watches the dictionary again after watched() found the watch gone,
  // forgetting what its lookups remember. -1 with an exception set on failure.
  int rewatch() noexcept;
  void add_listener(NameLookup* lookup) noexcept;
#else
  uint64_t stamp() const noexcept {
    return reinterpret_cast<PyDictObject*>(dict_)->ma_version_tag;
  }
  bool watched() const noexcept { return true; }
  int rewatch() noexcept { return 0; }
  void add_listener(NameLookup*) noexcept {}
#endif

 private:
  PyObject* dict_ = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
  static int on_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept;
  void changed() noexcept;
  std::atomic<uint64_t> changes_{0};
  NameLookup* listeners_[2] = {};
#endif
};

// Forgets every watched dictionary and the watcher, without unwatching: for
// when the runtime they belonged to has finalized.
void forget_dict_watchers() noexcept;

// A module attribute read by name at every use: from the module's
// namespace, else from the built-ins, else NameError. The value found is
// remembered with the stamps of the dictionaries it came from, and served
// again while neither has changed.
//
// From 3.12 on it holds a reference to what it remembers, which the
// dictionaries' watcher releases as soon as either changes: the dictionary
// still holds the value then (a watcher is told before the change), so the
// release runs no code, and a value the program rebinds and drops is not
// kept alive. Up to 3.11, where no watcher can say so, it is a borrowed
// pointer: while the version tags match, the dictionary entry that was read
// is still there and keeps the value alive (a version tag cannot be turned
// off), and once they differ it is never touched again.
class NameLookup {
 public:
  // `name` should be interned; a reference to it is taken.
  void init(PyObject* name, WatchedDict* module_dict, WatchedDict* builtins_dict,
            PyObject* builtins_module) noexcept;
  // Forgets what is remembered.
  void reset() noexcept;

  // A new reference to the value; null with an exception set on failure.
  Ref get() noexcept {
    Ref value = cached();
    return value ? std::move(value) : refresh();
  }

  // A new reference to the remembered value while it is still valid, else
  // null (with no exception set). Never runs code.
  Ref cached() noexcept {
    // The watches are checked before lock_ is taken: checking one takes the
    // dictionary's lock (without the GIL), and the watcher, called with that
    // lock held, takes lock_.
    if (!watches_intact()) return Ref();
    lock_.lock();
    Ref value = stamps_match() ? Ref::borrow(value_) : Ref();
    lock_.unlock();
    return value;
  }

  // The change stamps of both dictionaries: while they are the same, what
  // was looked up is still what a lookup would find (as long as their
  // watches stay in place, which cached() checks). No lock is taken.
  struct Stamps {
    uint64_t module = kNoStamp, builtins = kNoStamp;
    bool operator==(const Stamps&) const = default;
  };
  Stamps stamps() const noexcept { return {module_dict_->stamp(), builtins_dict_->stamp()}; }

  // The remembered value while it is still valid, else null; borrowed,
  // valid until Python code next runs. Under the GIL only: on free-threaded
  // builds another thread may release it at any moment.
#ifndef Py_GIL_DISABLED
  PyObject* peek() const noexcept { return valid() ? value_ : nullptr; }
#endif

 private:
  friend class WatchedDict;
  bool valid() const noexcept { return stamps_match() && watches_intact(); }
  bool stamps_match() const noexcept {
    return module_dict_->stamp() == module_stamp_ &&
           (!from_builtins_ || builtins_dict_->stamp() == builtins_stamp_);
  }
  // Both dictionaries, whichever the value came from: one whose watch is
  // gone costs a lookup, which watches it again.
  bool watches_intact() const noexcept {
    return module_dict_->watched() && builtins_dict_->watched();
  }
  Ref refresh() noexcept;
  void remember(Ref value, bool from_builtins, uint64_t module_stamp,
                uint64_t builtins_stamp) noexcept;
  // Called by the watcher: the dictionary is about to change.
  void forget() noexcept;

  // module_stamp_ is kNoStamp while nothing is remembered: no dictionary has
  // that stamp (version tags and change counts never reach it).
  static constexpr uint64_t kNoStamp = UINT64_MAX;
  static constexpr bool kOwnsValue = PY_VERSION_HEX >= 0x030C0000;
  Ref name_;
  WatchedDict* module_dict_ = nullptr;
  WatchedDict* builtins_dict_ = nullptr;
  PyObject* builtins_module_ = nullptr;
  SpinLock lock_;  // over the four fields below
  PyObject* value_ = nullptr;  // owned from 3.12 on (kOwnsValue)
  bool from_builtins_ = false;
  uint64_t module_stamp_ = kNoStamp;
  uint64_t builtins_stamp_ = 0;
};

}  // namespace tarv
