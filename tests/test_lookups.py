"""The module attributes the codec looks up by name, HEX and
ErrUnexpectedEndOfInput: the module's namespace first, then the built-ins;
rebound, deleted or replaced between calls and during one; values of any
type; every change of either namespace seen at the next use; the
remembered value never a freed object, even when other code removes the
module's dictionary watch (then it may be stale)."""

import builtins
import gc
import os
import re
import sys
import textwrap
import threading
import weakref

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from effort import scaled  # noqa: E402
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
@pytest.mark.parametrize("name, read", [
    ("HEX", "tarv.stringify([['a']])[0]"),
    ("ErrUnexpectedEndOfInput", "message()"),
], ids=["HEX", "ErrUnexpectedEndOfInput"])
def test_lookup_whose_watch_other_code_removed(name, read):
    # Code that removes the module's dictionary watch (through the test API)
    # leaves changes unreported: the lookup may go on serving the value it
    # remembered, but that value must stay alive after the rebinding drops
    # the namespace's reference (the debug allocator overwrites freed memory).
    out = run_fresh(f"""
        import gc, _testcapi, tarv

        def message():
            try:
                tarv.parse("")
            except SyntaxError as e:
                return e.msg[0]

        setattr(tarv, {name!r}, "".join(["Q"] * 16))
        assert {read} == "Q"
        for watcher in range(8):
            try:
                _testcapi.unwatch_dict(watcher, vars(tarv))
            except (ValueError, RuntimeError, SystemError):
                pass
        setattr(tarv, {name!r}, "".join(["Z"] * 16))  # frees the "Q" string unless held
        gc.collect()
        for _ in range(3):
            print({read})
    """, env={"PYTHONMALLOC": "debug"})
    assert set(out.split()) <= {"Q", "Z"}, out


# ---- every change of either namespace seen; nothing dropped kept or read ----

NAMES = ("HEX", "ErrUnexpectedEndOfInput")


def restore():
    tarv.HEX, tarv.ErrUnexpectedEndOfInput = HEX, END_OF_INPUT
    for name in (*NAMES, "__getattr__", "UNRELATED"):
        vars(builtins).pop(name, None)
    vars(tarv).pop("UNRELATED", None)


@pytest.fixture(autouse=True)
def restore_attributes():
    yield
    restore()


def fresh(k):
    """A new 16-character str (a HEX or a message), a new object each time."""
    return "".join([chr(0x41 + (k + i) % 26) for i in range(8)] + [chr(0x3b1 + k % 20)] * 8)


def shown(name, value):
    """What a call shows of the value: HEX's first two headers, or the message."""
    return value[0] + value[1] if name == "HEX" else value


def used(name):
    """What one call showed of the value of `name`, or (NameError, message)."""
    if name == "HEX":
        try:
            text = tarv.stringify([["a", "b" * 10]])
        except NameError as e:
            return NameError, str(e)
        assert text == text[0] + "1a" + text[3] + "10" + "b" * 10 + ";"
        return text[0] + text[3]
    try:
        tarv.parse("")
    except SyntaxError as e:
        return e.msg
    except NameError as e:
        return NameError, str(e)
    raise AssertionError("no error")


def expected(name):
    """What a literal read by name gives: the namespace, else the built-ins."""
    ns = vars(tarv)
    if name in ns:
        value = ns[name]
    elif hasattr(builtins, name):
        value = getattr(builtins, name)
    else:
        return NameError, f"name '{name}' is not defined"
    return shown(name, value)


# Changes to the two dictionaries: bind or delete the name in either, or bind
# another name in either (which leaves the result as it is).
OPS = st.sampled_from(["module", "del module", "builtins", "del builtins",
                       "other module", "other builtins"])


def apply(op, name, k):
    target = tarv if op.endswith("module") else builtins
    if op.startswith("del"):
        vars(target).pop(name, None)
    elif op.startswith("other"):
        setattr(target, "UNRELATED", fresh(k))
    else:
        setattr(target, name, fresh(k))


@pytest.mark.parametrize("name", NAMES)
@settings(max_examples=scaled(150), deadline=None)
@given(ops=st.lists(OPS, max_size=12))
def test_every_change_of_either_namespace_is_seen(name, ops):
    for k, op in enumerate(ops):
        apply(op, name, k)
        assert used(name) == expected(name), (k, op)
        assert used(name) == expected(name), (k, op)  # as remembered
    restore()


@pytest.mark.parametrize("name", NAMES)
def test_built_ins_value_until_either_namespace_changes(name):
    delattr(tarv, name)
    for k, target in enumerate([builtins, builtins, tarv]):
        setattr(target, name, fresh(k))  # the built-ins', rebound, then shadowed
        assert used(name) == expected(name) == used(name)
    delattr(tarv, name)
    assert used(name) == expected(name) == used(name)


@pytest.mark.parametrize("name", NAMES)
def test_value_from_a_built_ins_getattr_is_used_once(name):
    served = []

    def getattr_(attr):
        if attr != name:
            raise AttributeError(attr)
        served.append(fresh(len(served)))
        return served[-1]
    delattr(tarv, name)
    builtins.__getattr__ = getattr_
    results = [used(name) for _ in range(3)]
    if name == "HEX":  # looked up for each of the two values
        assert results == [served[k][0] + served[k + 1][1] for k in (0, 2, 4)]
    else:
        assert results == served


@pytest.mark.parametrize("name", NAMES)
def test_remembered_value_released_once(name):
    # Whatever reference the lookup takes to what it remembers is released
    # once the namespace changes: no more, no fewer.
    value = fresh(1)
    setattr(tarv, name, value)
    bound = sys.getrefcount(value)
    for _ in range(3):
        used(name)
    setattr(tarv, name, fresh(2))
    assert sys.getrefcount(value) == bound - 1


PRELUDE = """
import builtins, random, tarv
from test_lookups import apply, expected, fresh, used
"""


def run_debug_malloc(code):
    """Runs `code` after PRELUDE on the debug allocator, which overwrites
    freed memory: a freed value read shows as wrong characters or a crash."""
    return run_fresh(PRELUDE + textwrap.dedent(code), env={"PYTHONMALLOC": "debug"})


def test_values_dropped_by_the_program_are_never_read():
    run_debug_malloc(f"""
        rng = random.Random(20)
        for k in range({scaled(3000)}):
            name = rng.choice(("HEX", "ErrUnexpectedEndOfInput"))
            apply(rng.choice(("module", "module", "del module", "builtins", "del builtins",
                              "other module", "other builtins")), name, k)
            for _ in range(rng.randrange(3)):
                assert used(name) == expected(name), k
    """)


def test_namespace_changed_while_the_value_is_looked_up():
    # A built-ins key equal in hash to "HEX" whose comparison binds HEX in the
    # module, during the lookup that finds the built-ins' HEX: that value is
    # used for the first value, and never again.
    out = run_debug_malloc("""
        class Collider:
            armed = False
            def __hash__(self):
                return hash("HEX")
            def __eq__(self, other):
                if Collider.armed:
                    Collider.armed = False
                    tarv.HEX = fresh(1)
                return False
        vars(builtins)[Collider()] = None
        del tarv.HEX
        builtins.HEX = fresh(0)
        Collider.armed = True
        print(used("HEX"), used("HEX"), used("HEX"))
    """)
    assert out.split() == ["AC", "BC", "BC"]


def test_lookups_after_threads_stop_changing_both_namespaces():
    # Without the GIL, threads rebinding in both dictionaries at once while
    # others read: once they stop, the value last bound is the one used.
    stop = threading.Event()
    failures = []

    def rebind(target, name, offset):
        k = offset
        while not stop.is_set():
            setattr(target, name, fresh(k))
            k += 2

    def read(name):
        try:
            while not stop.is_set():
                used(name)
        except BaseException as e:
            failures.append(e)

    for name in NAMES:
        threads = [threading.Thread(target=rebind, args=(tarv, name, 0)),
                   threading.Thread(target=rebind, args=(builtins, name, 1)),
                   threading.Thread(target=read, args=(name,)),
                   threading.Thread(target=read, args=(name,))]
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        try:
            for t in threads:
                t.start()
            threading.Event().wait(0.3)
        finally:
            stop.set()
            for t in threads:
                t.join()
            sys.setswitchinterval(interval)
            stop.clear()
        assert failures == []
        assert used(name) == expected(name)
        delattr(tarv, name)
        assert used(name) == expected(name)
