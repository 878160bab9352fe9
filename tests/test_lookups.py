"""The by-name reads of HEX and ErrUnexpectedEndOfInput: the module's
namespace first, then the built-ins, every change to either seen at the next
use, though the value found is remembered; nothing the program dropped is kept
alive, and nothing freed is read."""

import builtins
import os
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from effort import scaled  # noqa: E402
from tarv_model import END_OF_INPUT, HEX  # noqa: E402

NAMES = ("HEX", "ErrUnexpectedEndOfInput")
TESTS = os.path.dirname(os.path.abspath(__file__))


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
    """Runs `code` after PRELUDE in a new interpreter whose allocator
    overwrites freed memory: a freed value read shows as wrong characters or
    a crash."""
    code = PRELUDE + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, cwd=TESTS, env={**os.environ, "PYTHONMALLOC": "debug"})
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-2000:]}"
    return proc.stdout


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
