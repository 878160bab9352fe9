#include "interp.h"

namespace tarv {

#if PY_VERSION_HEX >= 0x030C0000
namespace {
// One watcher serves every watched dictionary; the module watches two (its
// namespace and the built-ins), once per process. Written while the module
// is set up (under the import lock), read by the watcher.
constexpr int kMaxWatched = 4;
WatchedDict* g_watched[kMaxWatched] = {};
int g_watcher_id = -1;

// The dictionary's watcher bits (see WatchedDict::watched()).
uint64_t watcher_bits(PyObject* dict) noexcept {
  auto* d = reinterpret_cast<PyDictObject*>(dict);
#if PY_VERSION_HEX >= 0x030E0000
  return __atomic_load_n(&d->_ma_watcher_tag, __ATOMIC_RELAXED) & 0xFF;
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return __atomic_load_n(&d->ma_version_tag, __ATOMIC_RELAXED) & 0xFF;
#pragma GCC diagnostic pop
#endif
}
}  // namespace

int WatchedDict::on_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
  for (WatchedDict* watched : g_watched) {
    if (watched && watched->dict_ == dict) watched->changed();
  }
  return 0;
}

void WatchedDict::changed() noexcept {
  changes_.fetch_add(1, std::memory_order_acq_rel);
  for (NameLookup* lookup : listeners_) {
    if (lookup) lookup->forget();
  }
}

int WatchedDict::watch(PyObject* dict) noexcept {
  unwatch();
  if (g_watcher_id < 0) {
    g_watcher_id = PyDict_AddWatcher(&WatchedDict::on_change);
    if (g_watcher_id < 0) return -1;
  }
  WatchedDict** slot = nullptr;
  for (WatchedDict*& watched : g_watched) {
    if (!watched) {
      slot = &watched;
      break;
    }
  }
  if (!slot) {
    PyErr_SetString(PyExc_RuntimeError, "too many watched dictionaries");
    return -1;
  }
  if (PyDict_Watch(g_watcher_id, dict) < 0) return -1;
  *slot = this;
  dict_ = dict;
  changed();
  return 0;
}

// Without the GIL the interpreter writes the field that holds the watcher
// bits (its version tag up to 3.13) holding the dictionary's lock, and
// PyDict_Watch() sets a bit in it without taking that lock: both are read
// and set here under it.
bool WatchedDict::watched() const noexcept {
  bool watched = false;
  with_object_locked(dict_, [&] { watched = (watcher_bits(dict_) >> g_watcher_id) & 1; });
  return watched;
}

int WatchedDict::rewatch() noexcept {
  int status = 0;
  bool rewatched = false;
  with_object_locked(dict_, [&] {
    if ((watcher_bits(dict_) >> g_watcher_id) & 1) return;
    status = PyDict_Watch(g_watcher_id, dict_);
    rewatched = status == 0;
  });
  // (Outside the lock: the lookups told to forget take locks of their own.)
  if (rewatched) changed();
  return status;
}

void WatchedDict::add_listener(NameLookup* lookup) noexcept {
  for (NameLookup*& listener : listeners_) {
    if (listener == lookup) return;
    if (!listener) {
      listener = lookup;
      return;
    }
  }
}

void WatchedDict::unwatch() noexcept {
  if (!dict_) return;
  bool still_watched = false;
  for (WatchedDict*& watched : g_watched) {
    if (watched == this) watched = nullptr;
    else if (watched && watched->dict_ == dict_) still_watched = true;
  }
  // Another WatchedDict may share the dictionary; keep the watch for it.
  if (!still_watched && PyDict_Unwatch(g_watcher_id, dict_) < 0) PyErr_Clear();
  changed();
  dict_ = nullptr;
}

void forget_dict_watchers() noexcept {
  for (WatchedDict*& watched : g_watched) watched = nullptr;
  g_watcher_id = -1;
}
#else
void forget_dict_watchers() noexcept {}

int WatchedDict::watch(PyObject* dict) noexcept {
  dict_ = dict;
  return 0;
}

void WatchedDict::unwatch() noexcept { dict_ = nullptr; }
#endif

namespace {
// A new reference to dict[key], or null; with an exception set on failure.
// (From 3.13 on, taken under the dictionary's lock where there is no GIL.)
Ref dict_item(PyObject* dict, PyObject* key, bool& failed) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* item = nullptr;
  failed = PyDict_GetItemRef(dict, key, &item) < 0;
  return Ref::steal(item);
#else
  Ref item = Ref::borrow(PyDict_GetItemWithError(dict, key));
  failed = !item && PyErr_Occurred();
  return item;
#endif
}
}  // namespace

void NameLookup::init(PyObject* name, WatchedDict* module_dict, WatchedDict* builtins_dict,
                      PyObject* builtins_module) noexcept {
  reset();
  name_ = Ref::borrow(name);
  module_dict_ = module_dict;
  builtins_dict_ = builtins_dict;
  builtins_module_ = builtins_module;
  module_dict->add_listener(this);
  builtins_dict->add_listener(this);
}

void NameLookup::reset() noexcept { forget(); }

void NameLookup::forget() noexcept {
  lock_.lock();
  PyObject* value = value_;
  value_ = nullptr;
  module_stamp_ = kNoStamp;
  lock_.unlock();
  // The dictionary that is about to change still holds the value (see the
  // class comment): this runs no code.
  if constexpr (kOwnsValue) Py_XDECREF(value);
}

void NameLookup::remember(Ref value, bool from_builtins, uint64_t module_stamp,
                          uint64_t builtins_stamp) noexcept {
  lock_.lock();
  // A dictionary changed since the stamps were read (by code run during the
  // lookups, or by another thread) leaves nothing remembered.
  const bool current = module_dict_->stamp() == module_stamp &&
                       (!from_builtins || builtins_dict_->stamp() == builtins_stamp);
  PyObject* old = value_;
  if (current) {
    value_ = kOwnsValue ? value.release() : value.get();
    from_builtins_ = from_builtins;
    module_stamp_ = module_stamp;
    builtins_stamp_ = builtins_stamp;
  } else {
    value_ = nullptr;
    module_stamp_ = kNoStamp;
  }
  lock_.unlock();
  if constexpr (kOwnsValue) Py_XDECREF(old);
}

Ref NameLookup::refresh() noexcept {
  // A watch removed by other code is put back first; what was remembered
  // meanwhile is forgotten.
  if (module_dict_->rewatch() < 0 || builtins_dict_->rewatch() < 0) return Ref();
  // Stamps are read before the lookups: a dictionary changed by code run
  // during them (a key's __eq__, a module __getattr__) gets a new stamp, so
  // the value is looked up again on the next use rather than served stale.
  const uint64_t module_stamp = module_dict_->stamp();
  const uint64_t builtins_stamp = builtins_dict_->stamp();
  bool failed = false;
  Ref found = dict_item(module_dict_->dict(), name_.get(), failed);
  if (failed) return Ref();
  if (found) {
    remember(Ref::borrow(found.get()), false, module_stamp, builtins_stamp);
    return found;
  }
  found = Ref::steal(PyObject_GetAttr(builtins_module_, name_.get()));
  if (!found) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
    return Ref();
  }
  // Only a plain entry of the built-ins' dictionary is tied to its stamp; a
  // value made by a module-level __getattr__ is used once, not remembered.
  Ref in_builtins = dict_item(builtins_dict_->dict(), name_.get(), failed);
  if (failed) return Ref();
  if (in_builtins.get() == found.get()) {
    remember(Ref::borrow(found.get()), true, module_stamp, builtins_stamp);
  } else {
    remember(Ref(), false, kNoStamp, 0);
  }
  return found;
}

}  // namespace tarv
