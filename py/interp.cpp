#include "interp.h"

namespace tarv {

#if PY_VERSION_HEX >= 0x030C0000
namespace {
// One watcher serves every watched dictionary; the module watches two (its
// namespace and the built-ins), once per process.
constexpr int kMaxWatched = 4;
WatchedDict* g_watched[kMaxWatched] = {};
int g_watcher_id = -1;
}  // namespace

int WatchedDict::on_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
  for (WatchedDict* watched : g_watched) {
    if (watched && watched->dict_ == dict) ++watched->changes_;
  }
  return 0;
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
  ++changes_;
  return 0;
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
  dict_ = nullptr;
  ++changes_;
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

void NameLookup::init(PyObject* name, WatchedDict* module_dict, WatchedDict* builtins_dict,
                      PyObject* builtins_module) noexcept {
  reset();
  name_ = Ref::borrow(name);
  module_dict_ = module_dict;
  builtins_dict_ = builtins_dict;
  builtins_module_ = builtins_module;
}

Ref NameLookup::refresh() noexcept {
  // Stamps are read before the lookups: a dictionary changed by code run
  // during them (a key's __eq__, a module __getattr__) gets a new stamp, so
  // the value is looked up again on the next use rather than served stale.
  const uint64_t module_stamp = module_dict_->stamp();
  const uint64_t builtins_stamp = builtins_dict_->stamp();
  module_stamp_ = kNoStamp;
  if (PyObject* in_module = PyDict_GetItemWithError(module_dict_->dict(), name_.get())) {
    Ref found = Ref::borrow(in_module);
    value_ = in_module;
    from_builtins_ = false;
    module_stamp_ = module_stamp;
    return found;
  }
  if (PyErr_Occurred()) return Ref();
  Ref found = Ref::steal(PyObject_GetAttr(builtins_module_, name_.get()));
  if (!found) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
    return Ref();
  }
  // Only a plain entry of the built-ins' dictionary is tied to its stamp; a
  // value made by a module-level __getattr__ is used once, not remembered.
  PyObject* in_builtins = PyDict_GetItemWithError(builtins_dict_->dict(), name_.get());
  if (!in_builtins && PyErr_Occurred()) return Ref();
  if (in_builtins == found.get()) {
    value_ = in_builtins;
    from_builtins_ = true;
    builtins_stamp_ = builtins_stamp;
    module_stamp_ = module_stamp;
  }
  return found;
}

}  // namespace tarv
