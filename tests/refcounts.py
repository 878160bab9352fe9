"""Reference and memory-block counts of every path through tarv.stringify and
tarv.parse.

Each path is run many times after a warm-up. Across those runs the
interpreter's total reference count (debug interpreters only) must not change
at all, its count of allocated memory blocks must stay put, and every call
must leave the cyclic collector as enabled or disabled as it found it.

Standalone (no pytest): tools/refcounts runs it on a debug interpreter with a
debug build of the module; with any other interpreter only the block counts
and the collector's state are checked. Prints one line per path; exits with
status 1 if any path fails.
"""

import builtins
import sys

import tarv
from items import (PLAIN_TABLES, Conv, RaisingHex, RebindingHex, SelfDeletingHex, Walker, gen,
                   raiser, raising_after)
from leaks import HAVE_TOTAL_REFS, measure as measure_calls
from tarv_model import stringify_model

S, P = tarv.stringify, tarv.parse
HEX = tarv.HEX
EOI = tarv.ErrUnexpectedEndOfInput
SMILE = "\U0001F600"
WARMUP, RUNS = 100, 400
BLOCK_SLACK = 8  # a leak of one block per call would show as RUNS


class Sub(str):
    pass


def with_attr(name, value, fn, where=tarv):
    """Runs fn with where.name bound to value (deleted if value is DELETE)."""
    def run():
        saved = vars(where).get(name, DELETE)
        if value is DELETE:
            vars(where).pop(name, None)
        else:
            setattr(where, name, value)
        try:
            return fn()
        finally:
            if saved is DELETE:
                vars(where).pop(name, None)
            else:
                setattr(where, name, saved)
    return run


DELETE = object()
ROWS = [["ab", "c", "x" * 12], [], ["y" * 300, "\u4e00" * 5]]
HEX_LIST = [c * 3 for c in HEX]

try:
    import ctypes

    _vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    _vectorcall.restype = ctypes.py_object
    _vectorcall.argtypes = (ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object)

    def vectorcall_with_int_keyword(f):
        args = (ctypes.py_object * 1)("01a;")
        return _vectorcall(f, ctypes.cast(args, ctypes.c_void_p), 0, (1,))
except (ImportError, AttributeError):
    vectorcall_with_int_keyword = None


def stopping_rows():
    yield ["a"]
    raise StopIteration


def changing_table():
    """A table whose first row is replaced and whose second grows while walked."""
    first, second = ["a", None, "b"], ["c"]
    first[1] = Conv("x", lambda: (first.__setitem__(slice(None), ["a", "x", "r0", "r1"]), second.append("a")))
    return [first, second]


def hex_rebinding_item():
    return Conv("x", lambda: setattr(tarv, "HEX", HEX_LIST if tarv.HEX is HEX else HEX))


# name -> (call, expected): a result to compare with, or the exception type.
PATHS = {
    **{"stringify " + name: ((lambda table=table: S(table)), stringify_model(table))
       for name, table in PLAIN_TABLES.items()},
    # stringify: successes
    "stringify lists": (lambda: S(ROWS),
                        "02ab01c112" + "x" * 12 + ";;2300" + "y" * 300 + "05" + "\u4e00" * 5 + ";"),
    "stringify tuples": (lambda: S((("ab", "c"), ())), "02ab01c;;"),
    "stringify generators": (lambda: S(gen([gen(["a", "b"]), gen([])])), "01a01b;;"),
    "stringify dict rows": (lambda: S([{"k": 1, "j": 2}]), "01k01j;"),
    "stringify str rows": (lambda: S(["ab", "c"]), "01a01b;01c;"),
    "stringify non-str items": (lambda: S([[1, None, 2.5, 10 ** 20, Conv("it")]]),
                                "01104None032.51211" + "0" * 20 + "02it;"),
    "stringify str subclasses": (lambda: S([[Sub("abc"), Sub(SMILE)]]), "03abc02" + SMILE + ";"),
    "stringify astral and surrogates": (lambda: S([[SMILE * 3, "\ud800", "a\udfffb"]]),
                                        "06" + SMILE * 3 + "01\ud80003a\udfffb;"),
    "stringify many values": (lambda: S([["v" * 20] * 200] * 5), (("120" + "v" * 20) * 200 + ";") * 5),
    "stringify keyword": (lambda: S(lists=[["a"]]), "01a;"),
    "stringify empty": (lambda: S([]), ""),
    "stringify HEX list": (with_attr("HEX", HEX_LIST, lambda: S([["a", "b" * 10]])),
                           "0001a11110" + "b" * 10 + ";"),
    "stringify HEX str subclass": (with_attr("HEX", Sub(HEX), lambda: S([["a"]])), "01a;"),
    "stringify HEX rebound meanwhile": (
        lambda: S([["a", hex_rebinding_item(), "c"], [hex_rebinding_item(), "d"]]), "01a0001x0001c;01x01d;"),
    "stringify HEX from builtins": (
        with_attr("HEX", DELETE, with_attr("HEX", "Z" * 16, lambda: S([["a"]]), builtins)), "Z1a;"),
    "stringify HEX item access rebinds HEX": (
        with_attr("HEX", RebindingHex(2, HEX), lambda: S([["a", "b" * 10, "c"]])), "<2:0>1a<1:1>10" + "b" * 10 + "<0:0>1c;"),
    "stringify HEX item access deletes HEX": (with_attr("HEX", SelfDeletingHex(), lambda: S([["a", "b"]])), NameError),
    "stringify rows changed by an item": (lambda: S(changing_table()), "01a01x02r002r1;01c01a;"),
    "stringify StopIteration subclass ends": (lambda: S([Walker(["a", "b"])]), "01a01b;"),
    "stringify generator raising StopIteration": (lambda: S(stopping_rows()), RuntimeError),
    "stringify re-entrant": (lambda: S([["a", Conv("x", lambda: (S([["y"]]), P("01z;")))]]), "01a01x;"),
    # stringify: failures
    "stringify non-iterable row": (lambda: S([["a"], 5]), TypeError),
    "stringify non-iterable outer": (lambda: S(5), TypeError),
    "stringify raising outer iterator": (lambda: S(raising_after([["a", "b"]], ValueError("rows"))), ValueError),
    "stringify raising row iterator": (
        lambda: S([["a"], raising_after(["a", Conv("b")], ValueError("items"))]), ValueError),
    "stringify raising __str__": (lambda: S([["a", "b" * 10], [Conv("", raiser(ValueError))]]), ValueError),
    "stringify MemoryError from __str__": (lambda: S([["a"], [Conv("", raiser(MemoryError))]]), MemoryError),
    "stringify KeyboardInterrupt from __str__": (lambda: S([["a"], [Conv("", raiser(KeyboardInterrupt))]]),
                                                 KeyboardInterrupt),
    "stringify __str__ returning non-str": (lambda: S([["a", Conv(7)]]), TypeError),
    "stringify missing HEX": (with_attr("HEX", DELETE, lambda: S([["a"]])), NameError),
    "stringify HEX too short": (with_attr("HEX", "0", lambda: S([["a", "b" * 10]])), IndexError),
    "stringify HEX item access raises": (with_attr("HEX", RaisingHex(LookupError), lambda: S([["a"]])), LookupError),
    "stringify non-str HEX piece": (with_attr("HEX", [None] * 16, lambda: S([["a", "b"], ["c"]])), TypeError),
    "stringify no argument": (lambda: S(), TypeError),
    "stringify two arguments": (lambda: S(ROWS, ROWS), TypeError),
    "stringify unexpected keyword": (lambda: S(x=ROWS), TypeError),
    "stringify multiple values": (lambda: S(ROWS, lists=ROWS), TypeError),
    "stringify keyword name not str": (lambda: vectorcall_with_int_keyword(S), TypeError),
    # parse: successes
    "parse 1-byte": (lambda: P("02ab01c;;05hello00;"), [["ab", "c"], [], ["hello", ""]]),
    "parse 2-byte": (lambda: P("01\u043603a;b;"), [["\u0436", "a;b"]]),
    "parse wide": (lambda: P("02" + SMILE + "03\ud800" + SMILE + ";;"), [[SMILE, "\ud800" + SMILE], []]),
    "parse many values": (lambda: P(("120" + "v" * 20) * 200 + ";;"), [["v" * 20] * 200, []]),
    "parse upper-case header": (lambda: P("A00000000001x;"), [["x"]]),
    "parse keyword": (lambda: P(tarv="01a;"), [["a"]]),
    # parse: malformed texts
    "parse empty": (lambda: P(""), SyntaxError),
    "parse end of input, 1-byte": (lambda: P("02ab01c"), SyntaxError),
    "parse end of input, 2-byte": (lambda: P("01\u0436;0"), SyntaxError),
    "parse end of input, wide": (lambda: P("02" + SMILE + ";01"), SyntaxError),
    "parse 16-digit length, wide": (lambda: P("02" + SMILE + ";f" + "9" * 16 + "x;"), SyntaxError),
    "parse bad character, 1-byte": (lambda: P("02ab;x"), SyntaxError),
    "parse bad character, 2-byte": (lambda: P("01\u0436;\u0436"), SyntaxError),
    "parse bad character, wide": (lambda: P("02" + SMILE + ";" + SMILE), SyntaxError),
    "parse bad digit, wide": (lambda: P("02" + SMILE + ";0x"), SyntaxError),
    "parse split astral": (lambda: P("01" + SMILE + ";"), SyntaxError),
    "parse deleted end-of-input message": (
        with_attr("ErrUnexpectedEndOfInput", DELETE, lambda: P("0")), NameError),
    "parse end-of-input message not a str": (
        with_attr("ErrUnexpectedEndOfInput", [1], lambda: P("02ab")), SyntaxError),
    "parse end-of-input message a str subclass": (
        with_attr("ErrUnexpectedEndOfInput", Sub("end"), lambda: P("02" + SMILE + ";0")), SyntaxError),
    "parse no argument": (lambda: P(), TypeError),
    "parse two arguments": (lambda: P("01a;", "01a;"), TypeError),
    "parse unexpected keyword": (lambda: P(x="01a;"), TypeError),
    "parse multiple values": (lambda: P("01a;", tarv="01a;"), TypeError),
    "parse bytes": (lambda: P(b"01a;"), TypeError),
    "parse None": (lambda: P(None), TypeError),
    "parse str subclass": (lambda: P(Sub("01a;")), TypeError),
    "parse keyword name not str": (lambda: vectorcall_with_int_keyword(P), TypeError),
}

NEEDS_CTYPES = {"stringify keyword name not str", "parse keyword name not str"}


def first_outcome(fn, expected):
    """Checks that one call takes the intended path; returns an error or None."""
    try:
        result = fn()
    except BaseException as e:
        if isinstance(expected, type) and type(e) is expected:
            return None
        return f"raised {type(e).__name__}: {e}"
    if isinstance(expected, type):
        return f"returned {result!r:.60}, expected {expected.__name__}"
    if expected is not None and result != expected:
        return f"returned {result!r:.60}, expected {expected!r:.60}"
    return None


def measure(fn):
    """(reference delta, block delta, calls that changed the collector's
    state) over RUNS calls, after WARMUP."""
    return measure_calls(fn, RUNS, WARMUP)[:3]


def noop():
    pass


def main():
    # What the measurement itself costs (the ints it holds), to subtract.
    measure(noop)  # (what a first measurement makes once, left out)
    base = measure(noop)
    if measure(noop) != base:
        print("FAIL the measurement is not repeatable:", base, measure(noop))
        return 1
    failures = 0
    for name, (fn, expected) in PATHS.items():
        if name in NEEDS_CTYPES and vectorcall_with_int_keyword is None:
            print(f"skip {name}: needs ctypes")
            continue
        problem = first_outcome(fn, expected)
        refs, blocks, changed = measure(fn)
        refs -= base[0]
        blocks -= base[1]
        if name in NEEDS_CTYPES:
            # ctypes' own call machinery keeps blocks of its own on some
            # runtimes (free-threaded 3.13: hundreds, growing slower than
            # the calls): what the same call of a built-in costs is not ours.
            blocks -= measure(lambda: vectorcall_with_int_keyword(sorted))[1] - base[1]
        bad = []
        if problem:
            bad.append(problem)
        if refs:
            bad.append(f"reference count changed by {refs:+d}")
        if abs(blocks) > BLOCK_SLACK:
            bad.append(f"allocated blocks changed by {blocks:+d}")
        if changed:
            bad.append(f"{changed} calls changed the collector's state")
        failures += bool(bad)
        refs_text = f"refs {refs:+d}" if HAVE_TOTAL_REFS else "refs n/a"
        print(f"{'FAIL' if bad else 'ok':4} {name:42} {refs_text:9} blocks {blocks:+d}"
              + ("  " + "; ".join(bad) if bad else ""))
    counted = "reference and block counts" if HAVE_TOTAL_REFS else "block counts only (no debug interpreter)"
    print(f"{len(PATHS)} paths x {RUNS} calls, {counted}: {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
