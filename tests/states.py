"""Equal strings in each state a program can leave a str in.

The interpreter keeps more in a str object than its characters: a cached
hash, a cached UTF-8 form (on 3.12 and later, a pointer in the header just in
front of the characters), an interned flag, on 3.11 a legacy wchar_t form;
a str subclass instance keeps its characters outside the object, and on 3.11
a str can still be in the legacy form that is not yet ready. Code that reads
a str's buffer directly must give the same result in every one of them.

    in_state(value, state)  a str equal to `value`, in `state` (one of STATES)
    states_for(value)       the states that apply to `value` on this interpreter

Plain Python and ctypes (no pytest): the fuzz checks import it too. A state
that does not apply raises NotApplicable; it is never replaced by another.
An object in the state "legacy_not_ready" stops being in it once anything
compares, hashes or iterates it: compare the value it was made from.
"""
import array
import ctypes
import re
import sys
import warnings

STATES = (
    "fresh",             # built by str.join: nothing cached
    "utf8",              # UTF-8 form cached (PyUnicode_AsUTF8AndSize)
    "hashed",            # hash computed
    "interned",          # sys.intern
    "from_kind",         # PyUnicode_FromKindAndData at the value's own kind
    "decoded",           # made by a codec's decoder
    "subclass",          # a str subclass instance: characters outside the object
    "legacy_not_ready",  # 3.11: PyUnicode_FromUnicode(NULL, n), filled as wchar_t
    "legacy_wchar",      # 3.11: ready, with its wchar_t form made (PyUnicode_AsUnicode)
)
# The states whose object is an exact str (what parse accepts).
EXACT_STATES = tuple(s for s in STATES if s != "subclass")

_api = ctypes.pythonapi
_as_utf8 = _api.PyUnicode_AsUTF8AndSize
_as_utf8.argtypes = [ctypes.py_object, ctypes.c_void_p]
_as_utf8.restype = ctypes.c_void_p
_new = _api.PyUnicode_New
_new.argtypes = [ctypes.c_ssize_t, ctypes.c_uint32]
_new.restype = ctypes.c_void_p
_write_char = _api.PyUnicode_WriteChar
_write_char.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_uint32]
_write_char.restype = ctypes.c_int
_api.Py_DecRef.argtypes = [ctypes.c_void_p]
_api.Py_DecRef.restype = None
_from_kind = _api.PyUnicode_FromKindAndData
_from_kind.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_ssize_t]
_from_kind.restype = ctypes.py_object

# The legacy wchar_t API exists up to 3.11; the states below fill and read
# its buffer as UCS-4, so they need a 4-byte wchar_t.
_LEGACY = sys.version_info < (3, 12) and ctypes.sizeof(ctypes.c_wchar) == 4
if _LEGACY:
    _from_unicode = _api.PyUnicode_FromUnicode
    _from_unicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    _from_unicode.restype = ctypes.py_object
    _as_unicode = _api.PyUnicode_AsUnicode
    _as_unicode.argtypes = [ctypes.py_object]
    _as_unicode.restype = ctypes.c_void_p

_ENDIAN = "le" if sys.byteorder == "little" else "be"
_UCS2 = "utf-16-" + _ENDIAN
_UCS4 = "utf-32-" + _ENDIAN
assert array.array("H").itemsize == 2 and array.array("I").itemsize == 4


class NotApplicable(ValueError):
    """The state cannot hold this value on this interpreter."""


class Sub(str):
    """A plain str subclass: its instances are not compact."""


_SURROGATE = re.compile("[\ud800-\udfff]")


def why_not(value, state):
    """Why `state` does not apply to `value` here, or None if it does."""
    if state not in STATES:
        raise KeyError(state)
    if state == "utf8" and _SURROGATE.search(value):
        return "a lone surrogate has no UTF-8 form"
    if state.startswith("legacy_") and not _LEGACY:
        return "the wchar_t form exists only up to 3.11, with a 4-byte wchar_t"
    if state == "legacy_not_ready" and not value:
        return "the empty str is always ready"
    if state == "legacy_wchar" and not value:
        return "the empty str is the interpreter's shared one, whose size this would change"
    return None


def states_for(value, exact=False):
    """The states that apply to `value`; only exact-str ones if `exact`."""
    return [s for s in (EXACT_STATES if exact else STATES) if why_not(value, s) is None]


def fresh(value):
    """An equal str that nothing else refers to (but the empty str, which
    the whole interpreter shares): made by join, or for one character (which
    join returns as it is, and which the interpreter shares up to U+00FF)
    by PyUnicode_New."""
    if len(value) >= 2:
        half = len(value) // 2
        return "".join([value[:half], value[half:]])
    if not value:
        return ""
    # Written while only the raw reference exists, as WriteChar requires.
    ch = ord(value)
    raw = _new(1, ch)
    _write_char(raw, 0, ch)
    s = ctypes.cast(raw, ctypes.py_object).value
    _api.Py_DecRef(ctypes.c_void_p(raw))
    return s


def _kind(value):
    top = ord(max(value, default="\0"))
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


def _units(value, kind):
    """The characters as a buffer of `kind` bytes each, in native order."""
    if kind == 1:
        return value.encode("latin-1")
    if _SURROGATE.search(value):  # faster than the codecs' error handler
        return array.array("H" if kind == 2 else "I", map(ord, value)).tobytes()
    return value.encode(_UCS2 if kind == 2 else _UCS4)


def _decoded(value):
    # A UTF-16 decoder's result; with surrogates, which a UTF codec accepts
    # only through its (slow) error handler, that of the escape codec.
    if _SURROGATE.search(value):
        return value.encode("unicode_escape").decode("unicode_escape")
    return value.encode(_UCS2).decode(_UCS2)


def _legacy_not_ready(value):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # PyUnicode_FromUnicode(NULL, n)
        s = _from_unicode(None, len(value))
    # Filling the wchar_t buffer in place; nothing may look at s before.
    ctypes.memmove(_as_unicode(s), _units(value, 4), 4 * len(value))
    return s


def in_state(value, state):
    """A str equal to `value` (an exact str) in `state`; NotApplicable if
    `state` cannot hold it here (see why_not)."""
    reason = why_not(value, state)
    if reason:
        raise NotApplicable(f"{state}: {reason}")
    if state == "subclass":
        return Sub(value)
    if state == "from_kind":
        kind = _kind(value)
        return _from_kind(kind, _units(value, kind), len(value))
    if state == "decoded":
        return _decoded(value)
    if state == "legacy_not_ready":
        return _legacy_not_ready(value)
    s = fresh(value)
    if state == "utf8":
        _as_utf8(s, None)
    elif state == "hashed":
        hash(s)
    elif state == "interned":
        s = sys.intern(s)
    elif state == "legacy_wchar":
        _as_unicode(s)
    return s
