"""Nothing left behind: every path of both functions, successful or not,
repeated thousands of times, leaves the interpreter's allocated blocks, the
references to the objects it was given and the collector's switch as it
found them (leaks.py); fatal exceptions release what the call held; and the
reference-count script (refcounts.py) that tools/refcounts runs on a debug
interpreter."""

import gc
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from items import SMILE, Conv, Marked, RaisingHex, Tracked, gen, raiser, raising_after  # noqa: E402
from leaks import assert_no_growth  # noqa: E402
from processes import TESTS  # noqa: E402
from tarv_model import HEX  # noqa: E402

S, P = tarv.stringify, tarv.parse
NINES = "9" * 16


# ---- stringify ------------------------------------------------------------------


def fresh(text):
    """An equal string that nothing else refers to."""
    return "".join(list(text))


ITEM = Conv(fresh("x" * 20))
ROW, TUP, HEX_LIST = ["a", ITEM, 1, SMILE * 3], ("x", 2.5, "\u4e00"), list(HEX)
OUTER = [ROW, TUP]
LEAK_CASES = {
    "ok": lambda: S([ROW, TUP, gen(ROW), {"k": 0}, "str"]),
    "ok_list_hex": lambda: (setattr(tarv, "HEX", HEX_LIST), S(OUTER)),
    "not_iterable": lambda: S([ROW, 5]),
    "raising_iterator": lambda: S([ROW, raising_after("a", ValueError)]),
    "raising_str": lambda: S([ROW, [Conv("", raiser(ValueError("str")))]]),
    "missing_hex": lambda: (delattr(tarv, "HEX"), S(OUTER)),
    "bad_hex_piece": lambda: (setattr(tarv, "HEX", [None] * 16), S(OUTER)),
    "short_hex": lambda: (setattr(tarv, "HEX", "0"), S([ROW, ["b" * 10]])),
    "call_errors": lambda: S(x=OUTER),
    "call_errors_2": lambda: S(OUTER, OUTER),
    "call_errors_3": lambda: S(OUTER, lists=OUTER),
}


@pytest.mark.parametrize("case", list(LEAK_CASES))
def test_no_reference_leaks(case):
    def call():
        try:
            LEAK_CASES[case]()
        finally:
            tarv.HEX = HEX
    assert_no_growth(call, tracked=[OUTER, ROW, TUP, ITEM, ITEM.text, HEX_LIST])


MARK = Marked("m" * 20)  # a str item: referenced by the serializer while it walks
TEXT = "t" * 30          # what Tracked(TEXT) converts to


@pytest.mark.parametrize("exc_type", [MemoryError, KeyboardInterrupt])
@pytest.mark.parametrize("where", ["first_str", "late_str", "row_iterator", "outer_iterator", "hex_item"])
def test_fatal_exceptions_propagate_and_release(exc_type, where):
    refs = sys.getrefcount(MARK), sys.getrefcount(TEXT)
    exc = exc_type("from " + where)

    def rebind(value):
        return lambda: setattr(tarv, "HEX", value)

    many = [MARK, Tracked(TEXT)] * 500
    table = {
        "first_str": [[Tracked("", raiser(exc)), MARK]],
        "late_str": [many, [Tracked(TEXT, rebind(list(HEX)))] + many,
                     [Tracked(TEXT, rebind("Q" * 16))] + many, [Tracked("", raiser(exc))]],
        "row_iterator": [many, raising_after(many, exc)],
        "outer_iterator": raising_after([many, many], exc),
        "hex_item": [many, [Tracked(TEXT, rebind(RaisingHex(exc, first=1)))], ["never"]],
    }[where]
    with pytest.raises(exc_type) as info:
        S(table)
    assert info.value is exc and exc.__context__ is None and exc.__cause__ is None
    exc = info = table = many = None  # the traceback holds the generators' frames
    gc.collect()
    assert (sys.getrefcount(MARK), sys.getrefcount(TEXT)) == refs


# ---- parse ------------------------------------------------------------------------


@pytest.mark.parametrize("text", [
    "02ab01c;;05hello;", "01\u0436" * 5 + ";", "02" + SMILE + "01a;;",
    "", "02ab;x", "0x;", "02ab01c", "02ab;0x", SMILE, "02" + SMILE + ";x",
    "01" + SMILE + ";", "02" + SMILE + ";0x", "02" + SMILE + ";f" + NINES, None, "nameerror", "marker",
])
def test_no_references_leak(text):
    if text == "nameerror":
        del tarv.ErrUnexpectedEndOfInput
        text = ""
    elif text == "marker":
        tarv.ErrUnexpectedEndOfInput = [object()]
        text = "0"

    assert_no_growth(lambda: tarv.parse(text), runs=5000)


GC_TEXTS = ["02ab;", "01\u0436;", "02" + SMILE + ";", "", "x", "0", "02" + SMILE + ";x",
            "01" + SMILE + ";", "02" + SMILE + ";0", None, "nameerror"]


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("text", GC_TEXTS)
def test_gc_state_is_kept(enabled, text):
    if text == "nameerror":
        del tarv.ErrUnexpectedEndOfInput
        text = ""
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        try:
            tarv.parse(text)
        except (SyntaxError, NameError, TypeError):
            pass
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


# ---- reference and block counts of every path --------------------------------------


def test_refcounts_script():
    # Block counts with this interpreter; tools/refcounts runs the same script
    # on a debug interpreter, where the total reference count is checked too.
    proc = subprocess.run([sys.executable, os.path.join(TESTS, "refcounts.py")],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr[-3000:]
    assert "FAIL" not in proc.stdout and proc.stdout.count("\nok ") >= 40, proc.stdout
