"""The module attributes the codec looks up by name, HEX and
ErrUnexpectedEndOfInput: the module's namespace first, then the built-ins;
rebound, deleted or replaced between calls and during one; values of any
type; the remembered lookup never serving a stale or freed object, even
when other code removes the module's dictionary watch."""

import builtins
import gc
import os
import re
import sys
import weakref

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from checks import outcome, parse_error, tok  # noqa: E402
from items import SMILE, Marked  # noqa: E402
from processes import run_fresh  # noqa: E402
from tarv_model import END_OF_INPUT, HEX  # noqa: E402

try:
    import _testcapi
except ImportError:
    _testcapi = None

S, P = tarv.stringify, tarv.parse
NINES = "9" * 16
REAL_SYNTAX_ERROR = SyntaxError  # the class itself: a test rebinds the name


# ---- HEX ----------------------------------------------------------------------


def test_missing_hex_and_builtins_fallback():
    del tarv.HEX
    assert S([]) == "" and S([[], []]) == ";;"  # no value, no lookup
    with pytest.raises(NameError) as info:
        S([["a"]])
    assert type(info.value) is NameError and str(info.value) == "name 'HEX' is not defined"
    builtins.HEX = "X" * 16
    assert S([["a"]]) == "X1a;"
    builtins.HEX = "Y" * 16
    assert S([["a"]]) == "Y1a;"
    tarv.HEX = "Z" * 16
    assert S([["a"]]) == "Z1a;"
    vars(tarv)["HEX"] = "W" * 16
    assert S([["a"]]) == "W1a;"
    del vars(tarv)["HEX"]
    assert S([["a"]]) == "Y1a;"
    del builtins.HEX
    with pytest.raises(NameError, match="^name 'HEX' is not defined$"):
        S([["a"]])


def test_release_of_previous_hex_changes_the_row():
    # The previous HEX is released when the serializer takes up the new one;
    # its finalizer clears the row about to be walked. The row is then walked
    # as it is at each step: ended at some point, never read past its end.
    out = run_fresh("""
        import tarv
        row = ["s" * 5] * 1000
        class Dying:
            def __getitem__(self, k):
                return "0123456789abcdef"[k]
            def __del__(self):
                row.clear()
        def rows():
            yield ["a", "b"]             # headers from Dying, through item access
            tarv.HEX = "0123456789abcdef"
            tarv.stringify([["x"]])      # HEX is looked up afresh: the new one is served
            yield row
        tarv.HEX = Dying()
        print(tarv.stringify(rows()))
    """)
    assert re.fullmatch(r"01a01b;(05s{5})*;\n", out), out[:200]


def test_hex_is_not_read():
    tarv.HEX = "ZYXWVUTSRQPONMLK"
    assert tarv.parse("02ab;") == [["ab"]]
    assert parse_error("Z1a;") == tok("Z", 0)


# ---- ErrUnexpectedEndOfInput --------------------------------------------------------

EOI_TEXTS = ["", "0", "01a", "01\u0436;0", "02" + SMILE + ";0", "02" + SMILE + ";01", "02" + SMILE + ";f" + NINES]


@pytest.mark.parametrize("text", EOI_TEXTS)
def test_end_of_input_message_is_looked_up_at_each_raise(text):
    assert parse_error(text) == END_OF_INPUT
    marker = object()
    tarv.ErrUnexpectedEndOfInput = marker
    with pytest.raises(SyntaxError) as info:
        tarv.parse(text)
    assert info.value.args == (marker,) and info.value.msg is marker
    tarv.ErrUnexpectedEndOfInput = "stop"
    assert parse_error(text) == "stop"

    del tarv.ErrUnexpectedEndOfInput
    with pytest.raises(NameError) as info:
        tarv.parse(text)
    assert type(info.value) is NameError
    assert str(info.value) == "name 'ErrUnexpectedEndOfInput' is not defined"
    assert parse_error("02ab;x") == tok("x", 5)  # bad characters need no lookup
    assert tarv.parse("01a;") == [["a"]]

    builtins.ErrUnexpectedEndOfInput = "from builtins"
    assert parse_error(text) == "from builtins"
    builtins.ErrUnexpectedEndOfInput = "changed"
    assert parse_error(text) == "changed"
    tarv.ErrUnexpectedEndOfInput = "module wins"
    assert parse_error(text) == "module wins"


class BadRepr:
    def __repr__(self):
        raise RuntimeError("repr")

    __str__ = __repr__


class MessageStr(str):
    def __str__(self):
        raise AssertionError("str subclass method called")

    __repr__ = __format__ = __str__


ODD_MESSAGES = {"None": None, "int": 7, "bigint": 10 ** 40, "bad_repr": BadRepr(),
                "str_subclass": MessageStr("sub"), "huge": "m" * 10_000_000, "tuple": ("a", 1),
                "empty": ""}


@pytest.mark.parametrize("text", ["", "0", "02ab", "01\u0436;0", "02" + SMILE + ";0", "03" + SMILE + ";"])
@pytest.mark.parametrize("name", list(ODD_MESSAGES))
def test_end_of_input_message_passed_unchanged(name, text):
    message = ODD_MESSAGES[name]
    tarv.ErrUnexpectedEndOfInput = message
    try:
        P(text)
    except SyntaxError as e:
        assert type(e) is SyntaxError and len(e.args) == 1
        assert e.args[0] is message and e.msg is message
    else:
        raise AssertionError("no error")


def test_syntax_error_name_is_not_looked_up():
    class Impostor(Exception):
        pass

    builtins.SyntaxError = Impostor
    tarv.SyntaxError = Impostor
    for text in ("", "x", "02" + SMILE + ";x", "01" + SMILE + ";"):
        with pytest.raises(REAL_SYNTAX_ERROR) as info:
            tarv.parse(text)
        assert type(info.value) is REAL_SYNTAX_ERROR


# ---- what a remembered lookup holds ---------------------------------------------------


@pytest.mark.parametrize("name, call", [
    ("HEX", lambda: S([["a", "b" * 10]])),
    ("ErrUnexpectedEndOfInput", lambda: P("0")),
], ids=["HEX", "ErrUnexpectedEndOfInput"])
def test_rebound_attribute_value_is_not_kept(name, call):
    # Once the program drops the value it bound, nothing keeps it alive.
    original = getattr(tarv, name)
    value = Marked(HEX)
    ref = weakref.ref(value)
    setattr(tarv, name, value)
    outcome(call)
    setattr(tarv, name, original)
    del value
    gc.collect()
    assert ref() is None


@pytest.mark.skipif(not hasattr(_testcapi, "unwatch_dict"), reason="needs dictionary watchers (3.12+)")
@pytest.mark.parametrize("name, call, read", [
    ("HEX", lambda: S([["a"]]), lambda out: out[0]),
    ("ErrUnexpectedEndOfInput", lambda: P(""), lambda out: out),
], ids=["HEX", "ErrUnexpectedEndOfInput"])
def test_lookup_whose_watch_other_code_removed(name, call, read):
    # Code that removes the module's dictionary watch (through the test API)
    # leaves changes unreported: the remembered value must neither be used
    # after the rebinding frees it nor served in place of the new one.
    def fresh(c):
        return "".join([c] * 16)

    setattr(tarv, name, fresh("Q"))
    assert read(outcome(call)[1]) == "Q" * (16 if name != "HEX" else 1)
    for watcher in range(8):
        try:
            _testcapi.unwatch_dict(watcher, vars(tarv))
        except (ValueError, RuntimeError, SystemError):
            pass
    setattr(tarv, name, fresh("Z"))  # frees the "Q" string
    gc.collect()
    for _ in range(2):  # once to notice, once more from the cache
        assert read(outcome(call)[1]) == "Z" * (16 if name != "HEX" else 1)
