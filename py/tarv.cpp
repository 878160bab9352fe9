// The module's boundary: its definition and two-phase initialisation, its
// attributes, and the function objects that carry calls from the interpreter
// to the codec with their argument checks.
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <new>
#include <utility>

#include "codec/format.h"
#include "codec/parser.h"
#include "codec/serializer.h"
#include "interp.h"

namespace tarv {
namespace {

// ---------------------------------------------------------------------------
// Process-wide state. The module is loaded into one interpreter per process;
// its object, namespace and constants live until the process ends.

struct Constants {
  // Interned identifiers.
  PyObject* hex_name;
  PyObject* end_of_input_name;
  PyObject* lists;
  PyObject* tarv;
  PyObject* stringify;
  PyObject* parse;
  PyObject* sys;
  PyObject* all;
  PyObject* utf16_codec_name;
  PyObject* test;
  PyObject* return_;
  // Values.
  PyObject* hex_digits;
  PyObject* unexpected_end_of_input;
  PyObject* utf16_le;
  PyObject* utf16_be;
  PyObject* big;
  PyObject* str;
  PyObject* list;
  PyObject* empty;
  PyObject* subclass_rejected;
};

struct State {
  int64_t interpreter_id = -1;  // the interpreter that first created the module
  PyObject* module = nullptr;   // strong: the one module object
  PyObject* module_dict = nullptr;  // its namespace (kept alive by the module)
  PyObject* builtins = nullptr;     // strong: the builtins module
  bool function_type_ready = false;  // readied in this runtime
  bool executed = false;
  bool added_to_sys_modules = false;
  bool have_constants = false;
  Constants c = {};
  NameLookup hex;
  NameLookup end_of_input;
};

// Never destroyed: C++ static destructors run after the interpreter has
// finalized, when releasing a reference is no longer allowed. For the same
// reason forget() starts afresh without releasing what the old state held.
template <typename T>
class Immortal {
 public:
  Immortal() noexcept { forget(); }
  T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
  void forget() noexcept { new (storage_) T(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

Immortal<State> g_state;
State& g = g_state.get();

// Called by Py_FinalizeEx once the module's runtime has finalized: its
// objects are freed or no longer ours, so the state is forgotten, and a
// runtime started later in the same process imports the module afresh.
void forget_runtime() noexcept {
  g_state.forget();
  forget_lookups();
}

constexpr char kModuleName[] = "tarv";
constexpr char kSubclassRejected[] =
    "Subclasses of built-in types are rejected; pass an exact str instead.";

// ---------------------------------------------------------------------------
// Function objects: a callable of the module's own type that also carries the
// attributes of a Python function (so that introspection sees a signature).

struct FunctionDef {
  const char* name;
  const char* doc;
  int first_line;                    // of the code object
  const char* const* local_names;    // of the code object; the first is the parameter
  int n_locals;
  vectorcallfunc vectorcall;         // the calling convention, with the codec entry
};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* param;  // interned parameter name
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  PyObject* globals;
  PyObject* code;
  PyObject* weakrefs;
};

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

PyObject* raise_wrong_arg_count(const Function* f, Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               f->def->name, "exactly", static_cast<Py_ssize_t>(1), "", given);
  return nullptr;
}

// The one argument of a call with keywords or a number of positional
// arguments other than one: positional, or by its parameter name. Null with
// TypeError set when there is not exactly one.
PyObject* keyword_argument(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) noexcept {
  Function* f = as_function(self);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > 1) return raise_wrong_arg_count(f, nargs);
  PyObject* arg = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    bool matches = key == f->param;
    if (!matches) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
        return nullptr;
      }
      matches = PyUnicode_Compare(key, f->param) == 0;
    }
    if (!matches) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->def->name,
                   key);
      return nullptr;
    }
    if (arg) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   f->def->name, key);
      return nullptr;
    }
    arg = args[nargs + k];
  }
  if (!arg) return raise_wrong_arg_count(f, 0);
  return arg;
}

PyObject* raise_not_exact_str(const Function* f, PyObject* arg) noexcept {
  const bool is_subclass = PyUnicode_Check(arg);
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
               f->def->local_names[0], "str", Py_TYPE(arg)->tp_name, is_subclass ? ". " : "",
               is_subclass ? g.c.subclass_rejected : g.c.empty);
  return nullptr;
}

// The calling convention of both functions: one argument, positional or by
// its parameter name, passed to `kCall`; with kExactStr, only an exact str.
// A call with one positional argument and no keywords is checked inline,
// and the codec entered directly rather than through the definition
// (measured, callgrind: 23 fewer instructions per call, of about 520 for
// stringify and 800 for parse of a one-value table).
template <PyObject* (*kCall)(PyObject*), bool kExactStr>
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
  PyObject* arg;
  if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) {
    arg = args[0];
  } else {
    arg = keyword_argument(self, args, nargsf, kwnames);
    if (!arg) return nullptr;
  }
  if (kExactStr && !PyUnicode_CheckExact(arg)) return raise_not_exact_str(as_function(self), arg);
  return kCall(arg);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  return 0;
}

// Breaks reference cycles. Code run later (a finalizer, a weak reference
// callback) may still reach a cleared function, so what introspection and
// calls read stays valid: the code object and parameter (immutable, in no
// cycle) are kept, a name that is not an exact str (which could hold a cycle)
// becomes '', and the getters give None or a new dictionary for the rest.
int function_clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->globals);
  for (PyObject** name : {&f->name, &f->qualname}) {
    if (PyUnicode_CheckExact(*name)) continue;
    // The empty str is a singleton: its creation cannot fail.
    Py_SETREF(*name, PyUnicode_New(0, 0));
  }
  return 0;
}

void function_dealloc(PyObject* self) {
  Function* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->code);
  Py_CLEAR(f->param);
  PyObject_GC_Del(self);
}

// Attribute access. The closure is the offset of the field in Function.
PyObject*& field(PyObject* self, void* closure) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                       reinterpret_cast<Py_ssize_t>(closure));
}

// Without the GIL another thread may set a field while it is read: a field
// is read (with a new reference) and replaced under the function's lock,
// and the value replaced is released after it, where its finalizer may run.
Ref read_field(PyObject* self, PyObject*& slot) noexcept {
  Ref value;
  with_object_locked(self, [&] { value = Ref::borrow(slot); });
  return value;
}

void replace_field(PyObject* self, PyObject*& slot, PyObject* new_value) noexcept {
  PyObject* old = nullptr;
  with_object_locked(self, [&] {
    old = slot;
    slot = new_value;
  });
  Py_XDECREF(old);
}

PyObject* function_repr(PyObject* self) {
  Ref qualname = read_field(self, as_function(self)->qualname);
  return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// Pickling and copying refer to the function by name, like built-ins.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return read_field(self, as_function(self)->qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A field the collector has cleared reads as None.
PyObject* get_field(PyObject* self, void* closure) {
  Ref value = read_field(self, field(self, closure));
  return value ? value.release() : Py_NewRef(Py_None);
}

// Like a Python function's: once cleared, a new empty dictionary.
PyObject* get_annotations(PyObject* self, void* closure) {
  PyObject*& slot = field(self, closure);
  if (Ref annotations = read_field(self, slot)) return annotations.release();
  Ref made = Ref::steal(PyDict_New());
  if (!made) return nullptr;
  Ref annotations;
  with_object_locked(self, [&] {
    if (!slot) slot = Py_NewRef(made.get());  // unless another thread was first
    annotations = Ref::borrow(slot);
  });
  return annotations.release();
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

int set_str_field(PyObject* self, PyObject* value, void* closure) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "the attribute must be set to a string object");
    return -1;
  }
  replace_field(self, field(self, closure), Py_NewRef(value));
  return 0;
}

int set_any_field(PyObject* self, PyObject* value, void* closure) {
  replace_field(self, field(self, closure), Py_NewRef(value ? value : Py_None));
  return 0;
}

int set_annotations(PyObject* self, PyObject* value, void* closure) {
  if (!value || !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  replace_field(self, field(self, closure), Py_NewRef(value));
  return 0;
}

#define TARV_FIELD(member) reinterpret_cast<void*>(offsetof(Function, member))

PyGetSetDef function_getset[] = {
    {"__name__", get_field, set_str_field, nullptr, TARV_FIELD(name)},
    {"__qualname__", get_field, set_str_field, nullptr, TARV_FIELD(qualname)},
    {"__module__", get_field, set_any_field, nullptr, TARV_FIELD(module)},
    {"__doc__", get_field, set_any_field, nullptr, TARV_FIELD(doc)},
    {"__annotations__", get_annotations, set_annotations, nullptr, TARV_FIELD(annotations)},
    {"__globals__", get_field, nullptr, nullptr, TARV_FIELD(globals)},
    {"__code__", get_field, nullptr, nullptr, TARV_FIELD(code)},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef TARV_FIELD

// The type is static, so that its __module__ comes from its name while each
// function carries its own. PyType_Ready fills it with objects of the running
// runtime, which a later runtime of the same process must not reuse: each
// copies it afresh from this template. (Designated initializers leave the
// other slots zero.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const PyTypeObject kFunctionTypeTemplate = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarv.function",
    .tp_basicsize = sizeof(Function),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(Function, weakrefs),
    .tp_methods = function_methods,
    .tp_getset = function_getset,
};
#pragma GCC diagnostic pop

PyTypeObject FunctionType;

int ready_function_type() noexcept {
  if (g.function_type_ready) return 0;
  FunctionType = kFunctionTypeTemplate;
  if (PyType_Ready(&FunctionType) < 0) return -1;
  g.function_type_ready = true;
  return 0;
}

// The function's code object, for introspection and for running: name, file
// name, first line, one positional-or-keyword parameter, the local names of
// `def`. Its body calls the module attribute of the function's name with the
// argument, so a Python function made from it with the module's namespace
// as globals behaves like the function itself. It is compiled from source:
// bytecode differs from one interpreter version to the next.
PyObject* make_code(const FunctionDef& def) noexcept {
  char source[256];
  const int source_len = PyOS_snprintf(source, sizeof source, "def %s(%s):\n    return %s(%s)\n",
                                       def.name, def.local_names[0], def.name, def.local_names[0]);
  if (source_len < 0 || source_len >= static_cast<int>(sizeof source)) {
    PyErr_SetString(PyExc_SystemError, "tarv: code object source too long");
    return nullptr;
  }
  Ref module_code = Ref::steal(Py_CompileString(source, kModuleName, Py_file_input));
  if (!module_code) return nullptr;
  Ref consts = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
  if (!consts) return nullptr;
  PyObject* body = nullptr;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(consts.get()); ++k) {
    if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), k))) body = PyTuple_GET_ITEM(consts.get(), k);
  }
  if (!body) {
    PyErr_SetString(PyExc_SystemError, "tarv: no code object compiled");
    return nullptr;
  }
  Ref local_names = Ref::steal(PyTuple_New(def.n_locals));
  if (!local_names) return nullptr;
  for (int k = 0; k < def.n_locals; ++k) {
    PyObject* local = PyUnicode_InternFromString(def.local_names[k]);
    if (!local) return nullptr;
    PyTuple_SET_ITEM(local_names.get(), k, local);
  }
  Ref replace = Ref::steal(PyObject_GetAttrString(body, "replace"));
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref changes = Ref::steal(Py_BuildValue("{sOsisi}", "co_varnames", local_names.get(),
                                         "co_nlocals", def.n_locals, "co_firstlineno",
                                         def.first_line));
  if (!replace || !no_args || !changes) return nullptr;
  return PyObject_Call(replace.get(), no_args.get(), changes.get());
}

PyObject* make_function(const FunctionDef& def, PyObject* param, PyObject* annotations) noexcept {
  Ref code = Ref::steal(make_code(def));
  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  Ref doc = Ref::steal(PyUnicode_FromString(def.doc));
  if (!code || !name || !doc) return nullptr;
  Function* f = PyObject_GC_New(Function, &FunctionType);
  if (!f) return nullptr;
  f->vectorcall = def.vectorcall;
  f->def = &def;
  f->param = Py_NewRef(param);
  f->name = Py_NewRef(name.get());
  f->qualname = name.release();
  f->module = Py_NewRef(g.c.tarv);
  f->doc = doc.release();
  f->annotations = Py_NewRef(annotations);
  f->globals = Py_NewRef(g.module_dict);
  f->code = code.release();
  f->weakrefs = nullptr;
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

PyObject* call_stringify(PyObject* lists) { return stringify(lists, g.hex); }
PyObject* call_parse(PyObject* text) { return parse(text, g.end_of_input); }

constexpr const char* kStringifyLocals[] = {"lists", "out", "v", "l_str", "u16_len", "i",
                                            "v_len", "kind", "buf", "l", "item"};
constexpr const char* kParseLocals[] = {
    "tarv",     "length",         "kind",      "out",      "ls",       "data",    "i",
    "j",        "n",              "c",         "char_start", "H_digits", "target_u16_len",
    "u16_accum", "char_idx",      "u16_idx",   "buf",      "ch",       "low_surrogate_code",
    "_"};

constexpr FunctionDef kStringify = {
    "stringify", "Serialize a 2D iterable of strings into a TARV string.", 23, kStringifyLocals,
    static_cast<int>(std::size(kStringifyLocals)), function_vectorcall<call_stringify, false>};
constexpr FunctionDef kParse = {
    "parse", "Parse a TARV string into a 2D list of strings.", 57, kParseLocals,
    static_cast<int>(std::size(kParseLocals)), function_vectorcall<call_parse, true>};

// ---------------------------------------------------------------------------
// Initialisation.

int create_constants() noexcept {
  if (g.have_constants) return 0;
  struct Entry {
    PyObject** slot;
    const char* text;
    bool intern;
  };
  Constants& c = g.c;
  const Entry entries[] = {
      {&c.hex_name, "HEX", true},
      {&c.end_of_input_name, "ErrUnexpectedEndOfInput", true},
      {&c.lists, "lists", true},
      {&c.tarv, kModuleName, true},
      {&c.stringify, "stringify", true},
      {&c.parse, "parse", true},
      {&c.sys, "sys", true},
      {&c.all, "__all__", true},
      {&c.utf16_codec_name, "UTF16_CODEC", true},
      {&c.test, "__test__", true},
      {&c.return_, "return", true},
      {&c.hex_digits, format::kHexDigits, false},
      {&c.unexpected_end_of_input, format::kUnexpectedEndOfInput, false},
      {&c.utf16_le, "utf-16-le", false},
      {&c.utf16_be, "utf-16-be", false},
      {&c.big, "big", false},
      {&c.str, "str", false},
      {&c.list, "list", false},
      {&c.empty, "", false},
      {&c.subclass_rejected, kSubclassRejected, false},
  };
  for (const Entry& e : entries) {
    if (*e.slot) continue;
    *e.slot = e.intern ? PyUnicode_InternFromString(e.text) : PyUnicode_FromString(e.text);
    if (!*e.slot) return -1;
  }
  g.have_constants = true;
  return 0;
}

int warn_on_version_mismatch() noexcept {
  const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", runtime_major,
                runtime_minor);
  return PyErr_WarnEx(nullptr, message, 1);
}

int set_attr(PyObject* name, PyObject* value) noexcept {
  if (!value) return -1;
  return PyDict_SetItem(g.module_dict, name, value);
}

int set_new_attr(PyObject* name, PyObject* new_value) noexcept {
  Ref value = Ref::steal(new_value);
  return set_attr(name, value.get());
}

// Adds the function as the attribute `attr_name`, with annotations built
// from (name, value) pairs in order.
int add_function(PyObject* attr_name, const FunctionDef& def, PyObject* param,
                 std::initializer_list<std::pair<PyObject*, PyObject*>> annotations) noexcept {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return -1;
  for (const auto& [key, value] : annotations) {
    if (PyDict_SetItem(dict.get(), key, value) < 0) return -1;
  }
  return set_new_attr(attr_name, make_function(def, param, dict.get()));
}

// The module body. `module` is remembered first, so that a failure anywhere
// can forget it.
int run_module_body(PyObject* module) noexcept {
  Py_XSETREF(g.module, Py_NewRef(module));
  g.module_dict = PyModule_GetDict(module);
  g.builtins = Py_XNewRef(PyImport_AddModule("builtins"));
  if (!g.builtins || PyObject_SetAttrString(module, "__builtins__", g.builtins) < 0) return -1;
  if (warn_on_version_mismatch() < 0) return -1;
  if (create_constants() < 0 || ready_function_type() < 0) return -1;

  if (g.hex.init(g.c.hex_name, g.module_dict, g.builtins) < 0 ||
      g.end_of_input.init(g.c.end_of_input_name, g.module_dict, g.builtins) < 0) {
    return -1;
  }

  PyObject* modules = PyImport_GetModuleDict();
  if (!PyDict_GetItemString(modules, kModuleName)) {
    if (PyDict_SetItemString(modules, kModuleName, module) < 0) return -1;
    g.added_to_sys_modules = true;
  }

  Ref sys = Ref::steal(PyImport_ImportModuleLevelObject(g.c.sys, g.module_dict, nullptr,
                                                        nullptr, 0));
  if (set_attr(g.c.sys, sys.get()) < 0) return -1;
  if (set_new_attr(g.c.all, Py_BuildValue("[OO]", g.c.stringify, g.c.parse)) < 0) return -1;
  if (set_attr(g.c.hex_name, g.c.hex_digits) < 0) return -1;
  if (set_attr(g.c.end_of_input_name, g.c.unexpected_end_of_input) < 0) return -1;
  Ref byteorder = Ref::steal(PyObject_GetAttrString(sys.get(), "byteorder"));
  if (!byteorder) return -1;
  const int not_big = PyObject_RichCompareBool(byteorder.get(), g.c.big, Py_NE);
  if (not_big < 0) return -1;
  if (set_attr(g.c.utf16_codec_name, not_big ? g.c.utf16_le : g.c.utf16_be) < 0) return -1;
  if (add_function(g.c.stringify, kStringify, g.c.lists, {{g.c.return_, g.c.str}}) < 0) return -1;
  if (add_function(g.c.parse, kParse, g.c.tarv,
                   {{g.c.tarv, g.c.str}, {g.c.return_, g.c.list}}) < 0) {
    return -1;
  }
  return set_new_attr(g.c.test, PyDict_New());
}

// After a failed execution: drop the module so that a later import can run
// the body again from a fresh module object.
void forget_module() noexcept {
  Ref error_type, error_value, error_traceback;
  {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    error_type.reset(type);
    error_value.reset(value);
    error_traceback.reset(traceback);
  }
  if (g.added_to_sys_modules) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, kModuleName) == g.module &&
        PyDict_DelItemString(modules, kModuleName) < 0) {
      PyErr_Clear();
    }
    g.added_to_sys_modules = false;
  }
  g.hex.reset();
  g.end_of_input.reset();
  g.module_dict = nullptr;
  g.executed = false;
  Py_CLEAR(g.module);
  Py_CLEAR(g.builtins);
  PyErr_Restore(error_type.release(), error_value.release(), error_traceback.release());
}

int module_exec(PyObject* module) noexcept {
  if (g.executed) {
    if (module == g.module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'tarv' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  // Marked first: code run by the body (a warning filter, say) that imports
  // the module again gets the partly initialised module, not a second run.
  g.executed = true;
  if (run_module_body(module) == 0) return 0;
  forget_module();
  return -1;
}

// Copies an attribute of the import spec into the new module's namespace.
int copy_spec_attr(PyObject* spec, const char* from, PyObject* dict, const char* to,
                   bool skip_none) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
  const int64_t interpreter_id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
  if (interpreter_id == -1) return nullptr;
  if (g.interpreter_id == -1) {
    // Once per runtime: the hook is called (and dropped) when it finalizes.
    if (Py_AtExit(forget_runtime) < 0) {
      PyErr_SetString(PyExc_ImportError,
                      "tarv: no room left to register the module's finalization hook");
      return nullptr;
    }
    g.interpreter_id = interpreter_id;
  } else if (interpreter_id != g.interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (g.module) return Py_NewRef(g.module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (copy_spec_attr(spec, "loader", dict, "__loader__", false) < 0 ||
      copy_spec_attr(spec, "origin", dict, "__file__", false) < 0 ||
      copy_spec_attr(spec, "parent", dict, "__package__", false) < 0 ||
      copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true) < 0) {
    return nullptr;
  }
  g.module = Py_NewRef(module.get());
  return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_GIL_DISABLED
    // Safe without the GIL: the codec takes references to what it reads
    // from lists and holds their locks while it reads their items, the
    // attribute caches guard their fields, and the function objects lock
    // themselves for their attributes.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    nullptr,  // no docstring: __doc__ is None
    0,        // no per-module state
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarv

PyMODINIT_FUNC PyInit_tarv(void) { return PyModuleDef_Init(&tarv::module_def); }
