"""Tests for the tarv module boundary: attributes, function objects, the
calling convention and its messages, and one-time initialisation."""

import array
import builtins
import collections
import copy
import ctypes
import datetime
import decimal
import inspect
import itertools
import os
import pickle
import re
import shutil
import subprocess
import sys
import sysconfig
import types

import pytest

import tarv

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import processes  # noqa: E402

S, P = tarv.stringify, tarv.parse
FUNCS = [(S, "stringify", "lists"), (P, "parse", "tarv")]
CO_OPTIMIZED, CO_NEWLOCALS = inspect.CO_OPTIMIZED, inspect.CO_NEWLOCALS


class MyStr(str):
    pass


def test_module_attributes():
    ns = vars(tarv)
    assert ns["__builtins__"] is builtins
    assert tarv.sys is sys
    assert type(tarv.__all__) is list and tarv.__all__ == ["stringify", "parse"]
    assert tarv.HEX == "0123456789abcdef"
    assert tarv.ErrUnexpectedEndOfInput == "Unexpected end of input"
    assert tarv.UTF16_CODEC == ("utf-16-be" if sys.byteorder == "big" else "utf-16-le")
    assert type(tarv.__test__) is dict and tarv.__test__ == {}
    assert tarv.__doc__ is None
    spec = tarv.__spec__
    assert tarv.__file__ == spec.origin and tarv.__loader__ is spec.loader
    assert tarv.__package__ == spec.parent == ""
    assert "__path__" not in ns


def test_attribute_order():
    # In a fresh process: other tests delete and re-add attributes here.
    order = ["__builtins__", "sys", "__all__", "HEX", "ErrUnexpectedEndOfInput",
             "UTF16_CODEC", "stringify", "parse", "__test__"]
    names = run_fresh("import tarv; print(*vars(tarv))").split()
    assert [k for k in names if k in order] == order


VARNAMES = {
    "stringify": ("lists", "out", "v", "l_str", "u16_len", "i", "v_len", "kind", "buf", "l", "item"),
    "parse": ("tarv", "length", "kind", "out", "ls", "data", "i", "j", "n", "c", "char_start",
              "H_digits", "target_u16_len", "u16_accum", "char_idx", "u16_idx", "buf", "ch",
              "low_surrogate_code", "_"),
}


@pytest.mark.parametrize("f, name, param, doc, ann, line, sig", [
    (S, "stringify", "lists", "Serialize a 2D iterable of strings into a TARV string.",
     [("return", "str")], 23, "(lists) -> 'str'"),
    (P, "parse", "tarv", "Parse a TARV string into a 2D list of strings.",
     [("tarv", "str"), ("return", "list")], 57, "(tarv: 'str') -> 'list'"),
])
def test_function_object(f, name, param, doc, ann, line, sig):
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "tarv" and f.__doc__ == doc
    assert type(f.__annotations__) is dict and list(f.__annotations__.items()) == ann
    assert f.__globals__ is vars(tarv)
    assert f.__defaults__ is None and f.__kwdefaults__ is None and f.__closure__ is None
    c = f.__code__
    assert (c.co_name, c.co_filename, c.co_firstlineno) == (name, "tarv", line)
    assert (c.co_argcount, c.co_posonlyargcount, c.co_kwonlyargcount) == (1, 0, 0)
    assert c.co_varnames == VARNAMES[name] and c.co_nlocals == len(VARNAMES[name])
    assert c.co_flags & CO_OPTIMIZED and c.co_flags & CO_NEWLOCALS
    # The body calls the module attribute of the same name.
    assert c.co_names == (name,) and c.co_freevars == c.co_cellvars == ()
    assert str(inspect.signature(f)) == sig
    for clone in (pickle.loads(pickle.dumps(f)), copy.copy(f), copy.deepcopy(f)):
        assert clone is f


def test_annotations_are_distinct_dicts():
    assert S.__annotations__ is not P.__annotations__


TOO_MANY = "{fn}() takes exactly 1 positional argument ({n} given)"
UNEXPECTED = "{fn}() got an unexpected keyword argument '{k}'"
# (positional args, keyword args, expected message); PARAM stands for the parameter name.
BAD_CALLS = [
    ((), {}, TOO_MANY.replace("{n}", "0")),
    (("01a;", "01a;"), {}, TOO_MANY.replace("{n}", "2")),
    (("01a;",) * 3, {}, TOO_MANY.replace("{n}", "3")),
    (("01a;",) * 2, {"PARAM": "01a;"}, TOO_MANY.replace("{n}", "2")),
    ((), {"x": 1}, UNEXPECTED.replace("{k}", "x")),
    (("01a;",), {"x": 1}, UNEXPECTED.replace("{k}", "x")),
    ((), {"PARAM": "01a;", "x": 1}, UNEXPECTED.replace("{k}", "x")),
    ((), {"Lists": 1, "TARV": 1}, UNEXPECTED.replace("{k}", "Lists")),
    (("01a;",), {"\u00e9\u4e00": 1}, UNEXPECTED.replace("{k}", "\u00e9\u4e00")),
    (("01a;",), {"PARAM": "01a;"}, "{fn}() got multiple values for keyword argument '{p}'"),
]


def direct_call(f, args, kwargs):
    """The call written out, so the interpreter passes keyword names as a tuple."""
    src = ", ".join([f"a{i}" for i in range(len(args))] + [f"{k}=kw[{k!r}]" for k in kwargs])
    env = {"f": f, "kw": kwargs, **{f"a{i}": a for i, a in enumerate(args)}}
    return eval(f"f({src})", env)


@pytest.mark.parametrize("via", ["direct", "general"])
@pytest.mark.parametrize("args, kwargs, message", BAD_CALLS)
@pytest.mark.parametrize("f, fn, param", FUNCS)
def test_call_errors(f, fn, param, args, kwargs, message, via):
    kwargs = {param if k == "PARAM" else k: v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        if via == "direct":
            direct_call(f, args, kwargs)
        else:
            f(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message.format(fn=fn, p=param)


@pytest.mark.parametrize("f, fn, param", FUNCS)
def test_keyword_by_name(f, fn, param):
    expected = f("01a;")
    assert expected == ("010;011;01a;01;;" if f is S else [["a"]])
    assert direct_call(f, (), {param: "01a;"}) == expected
    assert f(**{param: "01a;"}) == expected
    assert f(**{"".join(list(param)): "01a;"}) == expected  # equal but not interned
    assert f(**{MyStr(param): "01a;"}) == expected


def vectorcall(f, args, nargs, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = (ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object)
    arr = (ctypes.py_object * max(len(args), 1))(*args)
    return call(f, ctypes.cast(arr, ctypes.c_void_p), nargs, kwnames)


@pytest.mark.parametrize("f, fn, param", FUNCS)
def test_keyword_names_from_c(f, fn, param):
    for args, nargs in ((["01a;"], 0), (["01a;", "01a;"], 1)):
        with pytest.raises(TypeError) as info:
            vectorcall(f, args, nargs, (1,))
        assert str(info.value) == f"{fn}() keywords must be strings"
    with pytest.raises(TypeError) as info:  # an empty tuple of keyword names, nothing given
        vectorcall(f, [], 0, ())
    assert str(info.value) == TOO_MANY.format(fn=fn, n=0)
    assert vectorcall(f, ["01a;"], 0, ("".join(list(param)),)) == f("01a;")


@pytest.mark.parametrize("arg, tname", [(b"01a;", "bytes"), (None, "NoneType"), (5, "int"),
                                        (bytearray(b"01a;"), "bytearray"), (["01a;"], "list")])
def test_parse_rejects_non_str(arg, tname):
    msg = f"Argument 'tarv' has incorrect type (expected str, got {tname})"
    for call in (lambda: P(arg), lambda: P(tarv=arg), lambda: P(*[arg])):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError and str(info.value) == msg


def test_parse_type_names():
    with pytest.raises(TypeError) as info:
        P(type("N" * 300, (), {})())
    assert str(info.value) == f"Argument 'tarv' has incorrect type (expected str, got {'N' * 200})"
    with pytest.raises(TypeError) as info:
        P(type("\u00dcn\u00ef", (), {})())
    assert str(info.value) == "Argument 'tarv' has incorrect type (expected str, got \u00dcn\u00ef)"


def test_parse_rejects_str_subclass():
    prefix = "Argument 'tarv' has incorrect type (expected str, got MyStr). "
    for call in (lambda: P(MyStr("01a;")), lambda: P(tarv=MyStr("01a;"))):
        with pytest.raises(TypeError) as info:
            call()
        msg = str(info.value)
        assert msg.startswith(prefix)
        assert re.fullmatch(r"[A-Z][^\n]*\w[^\n]*[.!]", msg[len(prefix):]), msg


def test_stringify_passes_argument_unchanged():
    assert S(MyStr("ab")) == S(lists=MyStr("ab")) == "01a;01b;"


def run_fresh(code):
    return processes.run_fresh(code, flags=("-W", "error"))


def test_import_again_gives_same_module_without_rerunning_body():
    run_fresh("""
        import importlib, importlib.util, sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import tarv
        assert caught == [], caught
        first = tarv
        tarv.HEX = "ZYXWVUTSRQPONMLK"
        del sys.modules["tarv"].__test__
        import tarv
        assert tarv is first
        assert importlib.reload(tarv) is first
        assert importlib.util.module_from_spec(first.__spec__) is first
        assert tarv.HEX == "ZYXWVUTSRQPONMLK" and not hasattr(tarv, "__test__")
        assert tarv.stringify([["a"]]) == "Z1a;"
    """)


def test_exec_on_another_module_is_refused():
    run_fresh("""
        import ctypes, types
        import tarv
        init = ctypes.PyDLL(tarv.__file__).PyInit_tarv
        init.restype = ctypes.c_void_p
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = (ctypes.py_object, ctypes.c_void_p)
        exec_def.restype = ctypes.c_int
        tarv.HEX = "Q" * 16
        other = types.ModuleType("other")
        try:
            exec_def(other, init())
        except RuntimeError as e:
            assert type(e) is RuntimeError
            assert str(e) == ("Module 'tarv' has already been imported. "
                              "Re-initialisation is not supported."), str(e)
        else:
            raise AssertionError("no error")
        assert not hasattr(other, "stringify")
        assert exec_def(tarv, init()) == 0 and tarv.HEX == "Q" * 16
    """)


def test_failed_execution_is_forgotten():
    out = run_fresh("""
        import sys
        saved = sys.byteorder
        del sys.byteorder
        try:
            import tarv
        except AttributeError as e:
            print("first:", e)
        assert "tarv" not in sys.modules
        sys.byteorder = saved
        import tarv
        assert tarv.stringify([["ab"]]) == "02ab;" and tarv.__test__ == {}
        assert tarv.UTF16_CODEC == ("utf-16-be" if saved == "big" else "utf-16-le")
        print("second: ok")
    """)
    assert out == "first: module 'sys' has no attribute 'byteorder'\nsecond: ok\n"


@pytest.mark.parametrize("setup, expected", [
    ('sys.byteorder = "big"', "utf-16-be"),
    ('sys.byteorder = "little"', "utf-16-le"),
    ('sys.byteorder = "middle"', "utf-16-le"),
    ("class B:\n    __ne__ = lambda s, o: False\n    __eq__ = lambda s, o: False\n"
     "sys.byteorder = B()", "utf-16-be"),
])
def test_codec_name_follows_byteorder(setup, expected):
    out = run_fresh("import sys\n" + setup + "\nimport tarv\nprint(tarv.UTF16_CODEC)")
    assert out == expected + "\n"


SUBINTERP_MSG = ("Interpreter change detected - this module can only "
                 "be loaded into one interpreter per process.")


def subinterpreters_module():
    for name in ("_xxsubinterpreters", "_interpreters"):
        try:
            return __import__(name).__name__
        except ImportError:
            pass
    pytest.skip("no subinterpreter support")


@pytest.mark.parametrize("main_first", [True, False])
def test_second_interpreter_is_refused(main_first):
    mod = subinterpreters_module()
    out = run_fresh(f"""
        import {mod} as si
        if {main_first}:
            import tarv
        interp = si.create()
        try:
            failure = si.run_string(interp, "import tarv")  # newer versions return it
            print("sub:", failure if failure is not None else "ok")
        except Exception as e:
            print("sub:", e)
        finally:
            # Left open, 3.14 and later warn at exit (an error under -W error).
            si.destroy(interp)
        if not {main_first}:
            try:
                import tarv
                print("main: ok")
            except ImportError as e:
                print("main: ImportError:", e)
    """)
    lines = out.splitlines()
    # From 3.12 on, a subinterpreter has its own GIL by default, and the
    # interpreter itself refuses the module before it is created there.
    own_gil_refusal = "does not support loading in subinterpreters"
    if main_first:
        assert len(lines) == 1 and lines[0].startswith("sub:")
        assert "ImportError" in lines[0]
        assert SUBINTERP_MSG in lines[0] or own_gil_refusal in lines[0], lines[0]
    elif own_gil_refusal in lines[0]:
        assert sys.version_info >= (3, 12) and lines[1:] == ["main: ok"], lines
    else:
        assert lines == ["sub: ok", "main: ImportError: " + SUBINTERP_MSG]


def test_function_cleared_by_collector_stays_usable():
    # The collector clears the function (in a cycle through its annotations)
    # while a finalizer made during the collection can still reach it. Newer
    # collectors also clear weak references that finalizers make (3.14, and
    # some 3.13 releases), so the cleared function can no longer be reached
    # that way: the same cycle around a Python function shows which this one
    # does, and the module's function must be reached, or not, alike.
    out = run_fresh("""
        import gc, types, weakref, tarv
        class Reader:
            def __init__(self, f):
                self.ref = weakref.ref(f)
            def __del__(self):
                f = self.ref()
                if f is None:
                    return
                if isinstance(f, types.FunctionType):
                    print("python function reached")
                    return
                # Cleared fields read as None (a new dict for annotations).
                f.__module__, f.__doc__, f.__globals__, f.__annotations__
                print(repr(f.__name__), repr(f.__qualname__), f.__code__.co_name,
                      f.__reduce__(), f("01a;"))
                assert repr(f).startswith("<function parse at ")
        class Holder:
            def __del__(self):
                self.reader = Reader(self.f)
        def make_cycle(f):
            h = Holder()
            h.f = f
            f.__annotations__["h"] = h
        def python_function(tarv):
            pass
        make_cycle(python_function)
        del python_function
        gc.collect()
        make_cycle(tarv.parse)
        del tarv.parse
        gc.collect()
        print("collected")
    """)
    if out.startswith("python function reached\n"):
        assert out == "python function reached\n'parse' 'parse' parse parse [['a']]\ncollected\n", out
    else:
        assert out == "collected\n", out


@pytest.mark.parametrize("f, arg, expected", [
    (P, "01a;", [["a"]]),
    (S, [["a"]], "01a;"),
])
def test_function_made_from_code_runs_the_function(f, arg, expected):
    g = types.FunctionType(f.__code__, f.__globals__)
    assert g(arg) == expected
    assert g(**{f.__code__.co_varnames[0]: arg}) == expected
    with pytest.raises(NameError):
        types.FunctionType(f.__code__, {})(arg)


def embedding_build_flags():
    if shutil.which("cc") is None:
        pytest.skip("no C compiler")
    include = sysconfig.get_paths()["include"]
    libdir = sysconfig.get_config_var("LIBDIR")
    ldversion = sysconfig.get_config_var("LDVERSION") or sysconfig.get_config_var("VERSION")
    if not os.path.exists(os.path.join(include, "Python.h")):
        pytest.skip("no Python headers")
    if not any(os.path.exists(os.path.join(libdir, "libpython%s.%s" % (ldversion, ext)))
               for ext in ("so", "a")):
        pytest.skip("no libpython to embed")
    return ["-I" + include, "-L" + libdir, "-Wl,-rpath," + libdir, "-lpython" + ldversion,
            *(sysconfig.get_config_var("LIBS") or "").split(),
            *(sysconfig.get_config_var("SYSLIBS") or "").split(),
            *(sysconfig.get_config_var("LINKFORSHARED") or "").split()]


def test_module_works_in_each_runtime_of_an_embedding_program(tmp_path):
    flags = embedding_build_flags()
    program = tmp_path / "embed_restart"
    source = os.path.join(os.path.dirname(__file__), "embed_restart.c")
    subprocess.run(["cc", source, "-o", str(program), *flags], check=True)
    env = dict(os.environ,
               PYTHONPATH=os.pathsep.join([os.path.dirname(tarv.__file__),
                                           os.environ.get("PYTHONPATH", "")]),
               PYTHONHOME=os.pathsep.join([sys.base_prefix, sys.base_exec_prefix]))
    proc = subprocess.run([str(program)], capture_output=True, text=True, env=env)
    assert (proc.returncode, proc.stdout) == (0, "round ok\n" * 3), proc.stderr


def tp_name(obj):
    """The name the type of `obj` gives itself, as the interpreter's own
    messages show it (with the module for types defined in C)."""
    try:
        object.__getattribute__(obj, "no attribute of this name")
    except AttributeError as e:
        return re.match(r"'(.*)' object has no attribute", str(e)).group(1)


@pytest.mark.parametrize("arg", [collections.OrderedDict(), collections.deque(), datetime.date(2000, 1, 1),
                                 decimal.Decimal(1), array.array("b"), itertools.count(), collections.Counter()],
                         ids=lambda arg: type(arg).__name__)
def test_parse_names_the_type_as_it_calls_itself(arg):
    with pytest.raises(TypeError) as info:
        P(arg)
    assert str(info.value) == f"Argument 'tarv' has incorrect type (expected str, got {tp_name(arg)})"
