#include "interp.h"

namespace tarv {

// Without the GIL the lookup's fields are guarded by both dictionaries' own
// locks. The watcher runs holding the changing one's lock, before a change
// the interpreter then makes from a slot and old value found before the
// call; a mutex (even a PyMutex) taken there could park the thread, which
// suspends its critical sections, and another thread's change meanwhile
// would leave that slot stale and the old value released twice. So the
// watcher takes no lock: it counts the change, and releases the value only
// if it came from the changing dictionary (the other may change at once).

namespace {
// A new reference to dict[key], or null; with an exception set on failure.
// Under the dictionary's lock: a change counted before this is complete.
Ref dict_item(PyObject* dict, PyObject* key, bool& failed) noexcept {
  PyObject* item = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  with_object_locked(dict, [&] { failed = PyDict_GetItemRef(dict, key, &item) < 0; });
#else
  item = Py_XNewRef(PyDict_GetItemWithError(dict, key));
  failed = !item && PyErr_Occurred();
#endif
  return Ref::steal(item);
}
}  // namespace

#if PY_VERSION_HEX >= 0x030C0000
// One dictionary watcher per runtime. The lookups all read the same two
// dictionaries: a change to either concerns every one of them.
struct Watcher {
  static inline std::atomic<NameLookup*> lookups[2] = {};
  static inline int id = -1;

  static int on_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    for (auto& lookup : lookups) {
      if (NameLookup* l = lookup.load(std::memory_order_acquire)) l->forget(dict);
    }
    return 0;
  }

  static int watch(NameLookup* lookup, PyObject* dict) noexcept {
    if (id < 0 && (id = PyDict_AddWatcher(on_change)) < 0) return -1;
    for (auto& slot : lookups) {
      NameLookup* empty = nullptr;
      if (slot.load() == lookup || slot.compare_exchange_strong(empty, lookup)) {
        int status = 0;
        with_object_locked(dict, [&] { status = PyDict_Watch(id, dict); });
        return status;
      }
    }
    PyErr_SetString(PyExc_RuntimeError, "too many attribute lookups");
    return -1;
  }
};

void NameLookup::forget(PyObject* changed) noexcept {
  generation_.fetch_add(1, std::memory_order_acq_rel);
  if (changed != origin_.load(std::memory_order_relaxed)) return;
  origin_.store(nullptr, std::memory_order_relaxed);
  Py_XDECREF(std::exchange(value_, nullptr));  // `changed` still holds it
}

void forget_lookups() noexcept {
  for (auto& lookup : Watcher::lookups) lookup.store(nullptr);
  Watcher::id = -1;
}
#else
void forget_lookups() noexcept {}
#endif

int NameLookup::init(PyObject* name, PyObject* module_dict, PyObject* builtins) noexcept {
  reset();
  name_ = Ref::borrow(name);
  module_dict_ = Ref::borrow(module_dict);
  builtins_dict_ = Ref::borrow(PyModule_GetDict(builtins));
  builtins_ = Ref::borrow(builtins);
#if PY_VERSION_HEX >= 0x030C0000
  if (Watcher::watch(this, module_dict) < 0) return -1;
  return Watcher::watch(this, builtins_dict_.get());
#else
  return 0;
#endif
}

void NameLookup::reset() noexcept {
  if (!module_dict_) return;
  PyObject* old = nullptr;
  locked([&] {
    old = std::exchange(value_, nullptr);
#if PY_VERSION_HEX >= 0x030C0000
    origin_.store(nullptr, std::memory_order_relaxed);
#endif
  });
  if constexpr (kOwnsValue) Py_XDECREF(old);
}

// `generation` was read before the lookup began. A dictionary changed since
// (by code the lookup ran, or by another thread) leaves the value
// unremembered: it may be stale, and its dictionary may no longer hold it.
void NameLookup::remember(Ref value, [[maybe_unused]] PyObject* origin,
                          uint64_t generation) noexcept {
  PyObject* old = nullptr;
  locked([&] {
    const uint64_t now = this->generation();
    if (now != generation) return;
    old = std::exchange(value_, kOwnsValue ? value.release() : value.get());
    value_generation_ = now;
#if PY_VERSION_HEX >= 0x030C0000
    origin_.store(origin, std::memory_order_relaxed);
#endif
  });
  if constexpr (kOwnsValue) Py_XDECREF(old);
}

Ref NameLookup::refresh() noexcept {
  const uint64_t generation = this->generation();
  bool failed = false;
  Ref found = dict_item(module_dict_.get(), name_.get(), failed);
  if (failed) return Ref();
  if (found) {
    remember(Ref::borrow(found.get()), module_dict_.get(), generation);
    return found;
  }
  found = Ref::steal(PyObject_GetAttr(builtins_.get(), name_.get()));
  if (!found) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
    return Ref();
  }
  // Only an entry of the built-ins' dictionary is remembered; a value made
  // by a module-level __getattr__ is used once.
  Ref entry = dict_item(builtins_dict_.get(), name_.get(), failed);
  if (failed) return Ref();
  if (entry.get() == found.get()) remember(std::move(entry), builtins_dict_.get(), generation);
  return found;
}

}  // namespace tarv
