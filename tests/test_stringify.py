"""Tests for tarv.stringify: the written form, UTF-16 lengths, texts of every
size and width, the walking rules, agreement with the reference model, and
hostile items and iterators that change what is being walked."""

import builtins
import gc
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from effort import scaled  # noqa: E402
from checks import assert_canonical, outcome  # noqa: E402
from items import (PLAIN_TABLES, SMILE, Conv, Loud, RebindingHex, SelfDeletingHex, Stop,  # noqa: E402
                   Tracked, Walker, gen, raiser)
from processes import run_fresh  # noqa: E402
from states import in_state, states_for  # noqa: E402
from tarv_model import HEX, stringify_model, u16_len  # noqa: E402

S, P = tarv.stringify, tarv.parse


@pytest.mark.parametrize("lists, text", [
    ([], ""), ((), ""), ([[]], ";"), ([[], []], ";;"), ([(), gen([])], ";;"),
    ([["ab", "c"]], "02ab01c;"), ([["hello", ""], []], "05hello00;;"), ([["a;b"]], "03a;b;"),
    ([["123"]], "03123;"), ([[1, None, 2.5]], "01104None032.5;"), ([["x" * 10]], "110" + "x" * 10 + ";"),
    ([["y" * 100, "z" * 1000]], "2100" + "y" * 100 + "31000" + "z" * 1000 + ";"),
    ([[SMILE]], "02" + SMILE + ";"), ([["\ud83d\ude00"]], "02\ud83d\ude00;"),
    ([[SMILE * 5]], "110" + SMILE * 5 + ";"), ([["\u00e9\u4e00"]], "02\u00e9\u4e00;"),
    (gen([gen(["a", "b"]), gen(["c"])]), "01a01b;01c;"), ([{"k": 1, "j": 2}], "01k01j;"),
    (["ab"], "01a01b;"), ("ab", "01a;01b;"), ([[Loud("abc")]], "03abc;"),
    ([[Conv(Loud("xyz"))]], "03xyz;"), ([[True, -7, 10**20]], "04True02-7121" + "1" + "0" * 20 + ";"),
    # Row ends among the words the writer looks ahead to.
    ([[]] * 17, ";" * 17), ([["a"]] + [[]] * 16 + [["b"]], "01a;" + ";" * 16 + "01b;"),
])
def test_written_form(lists, text):
    result = S(lists)
    assert result == text
    assert_canonical(result)


@pytest.mark.parametrize("lists", [[5], 5, None, [["a"], 5], [object()], gen([["a"], 7])])
def test_not_iterable(lists):
    with pytest.raises(TypeError, match="object is not iterable"):
        S(lists)


@pytest.mark.parametrize("values, kind_bytes", [
    (["plain", "ascii"], 1), (["caf\u00e9"], 1), (["\u4e00"], 2), (["\ud800"], 2),
    ([SMILE], 4), (["a", "b" + SMILE], 4),
])
def test_result_width(values, kind_bytes):
    result = S([values, ["x"]])
    assert_canonical(result)
    assert sys.getsizeof(result + "x" * 100) - sys.getsizeof(result) == 100 * kind_bytes


# Astral characters at every position of strings of several lengths, and
# lone surrogates, among wider and narrower characters.
WIDE_VALUES = [("a" * k + SMILE + "\u4e00" * (n - k - 1)) for n in range(1, 11) for k in range(n)]
WIDE_VALUES += [SMILE * n for n in range(1, 11)] + [SMILE * n + "\ud800" for n in range(1, 6)]
WIDE_VALUES += ["\U0010ffff\U00010000\uffff\ud800\udfff", "\ud800", "\udfff" * 3, "\U000E0001" + "z" * 8]


@pytest.mark.parametrize("value", WIDE_VALUES)
def test_utf16_lengths(value):
    units = sum(2 if ord(c) > 0xFFFF else 1 for c in value)
    l_str = str(units)
    assert S([[value]]) == HEX[len(l_str) - 1] + l_str + value + ";"
    assert S([[value, "q"]]) == stringify_model([[value, "q"]])


# Every value length up to past the inline copies' reach, at a text's end,
# before a short and a longer record, and at a row's end; copied into a text
# as wide as the value or wider.
CHARS_OF_WIDTH = {1: "ab;9\xe9", 2: "\u4e00a\uffff", 4: SMILE + "a\u4e00\U0010ffff"}


@pytest.mark.parametrize("text_width", [1, 2, 4])
@pytest.mark.parametrize("width", [1, 2, 4])
def test_every_copy_length_and_position(width, text_width):
    if text_width < width:
        pytest.skip("a value is never narrowed")
    # A first row that makes the text as wide as text_width.
    first = {1: [], 2: [["\u0100"]], 4: [[SMILE]]}[text_width]
    chars = CHARS_OF_WIDTH[width]
    for n in range(130):
        value = "".join(chars[k % len(chars)] for k in range(n))
        for rows in ([[value]], [[value, "z"]], [[value, "y" * 7]], [[value], ["q" * 20]],
                     [["w" * 30, value]]):
            table = first + rows
            assert S(table) == stringify_model(table), (n, table)


@pytest.mark.parametrize("last", ["", "\xe9", SMILE], ids=["1-byte", "latin-1", "astral"])
def test_texts_of_every_size_up_to_tens_of_thousands(last):
    """Texts of every size from a few characters on, in steps of one record,
    however the first rows look: no buffer edge loses or repeats a record."""
    for value in ("v" * 29, "w" * 7, "\u4e00" * 40):
        for n_rows in range(0, 320, 1 if value[0] == "w" else 3):
            table = [["s"]] + [[value, value]] * n_rows + [[last]]
            assert S(table) == stringify_model(table), (value[:1], n_rows)


@pytest.mark.parametrize("name", list(PLAIN_TABLES))
def test_large_tables(name):
    table = PLAIN_TABLES[name]
    S([["a"]])  # HEX looked up (the fixture rebinds it): the next call takes the plain path
    result = S(table)
    assert result == stringify_model(table)
    assert_canonical(result)


@pytest.mark.parametrize("tail", ["", "a", "bc", "d" * 9, "\xe9", "\u4e00", SMILE], ids=ascii)
def test_records_up_to_the_end_of_a_measured_text(tail):
    """A long first record takes the text off the stack with the rest
    measured (few rows are left): the text is made at its exact size, and
    the short records after it are written right up to its end."""
    for first in (4100, 5000, 9000):
        for n in range(0, 48):
            table = [["x" * first]] + [[tail] * (n % 7 + 1)] * (n // 7 + 1) + [[tail] * n]
            assert S(table) == stringify_model(table), (first, n)


# ---- walking --------------------------------------------------------------


def test_row_growing_while_walked_is_walked_to_new_end():
    def grow():
        row.append(Conv("z", grow) if len(row) < 5 else "e")

    for wrap in (list, tuple):
        row = ["a", Conv("x", grow)]
        assert S(wrap([row])) == "01a01x01z01z01z01e;"
    outer = [["a", Conv("b", lambda: outer.append(["c"]))]]
    assert S(outer) == "01a01b;01c;"


@pytest.mark.parametrize("action, text", [
    (lambda row, outer: row.clear(), "01a01x;01m;"),
    (lambda row, outer: row.__delitem__(slice(2, None)), "01a01x;01m;"),
    (lambda row, outer: row.__delitem__(slice(0, 2)), "01a01x;01m;"),
    (lambda row, outer: row.pop(0), "01a01x01c;01m;"),
    (lambda row, outer: outer.append(["n"]), "01a01x01b01c;01m;01n;"),
    (lambda row, outer: outer.pop(), "01a01x01b01c;"),
    (lambda row, outer: outer.clear(), "01a01x01b01c;"),
    (lambda row, outer: (outer.clear(), row.clear()), "01a01x;"),
    (lambda row, outer: outer.insert(0, ["i"]), "01a01x01b01c;01a01x01b01c;01m;"),
])
def test_lists_changed_by_an_item(action, text):
    outer = [["a", None, "b", "c"], ["m"]]
    box = [outer[0]]  # emptied by the first conversion: then only the walk holds the row
    outer[0][1] = Conv("x", lambda: box and action(box.pop(), outer))
    assert S(outer) == text


@pytest.mark.parametrize("wide", ["\xe9", "\u0100", SMILE])
def test_rows_ahead_made_narrower_by_an_item(wide):
    # The text is made wide for the wide rows ahead; an item's conversion
    # then replaces them: the text is as narrow as what is written.
    short = [["v" * 10] for _ in range(2000)]
    outer = short + [["w" + wide] * 5 for _ in range(2000)]
    outer[1000] = [Conv("x", lambda: outer.__setitem__(slice(2000, None), [["n"]] * 2000))]
    result = S(outer)
    assert result == stringify_model(short[:1000] + [["x"]] + short[1001:] + [["n"]] * 2000)
    assert_canonical(result)


def test_deleting_own_row_and_item_does_not_crash():
    # Each item removes itself and the whole table; nothing else refers to them.
    outer = [[None, "b"], ("t",)]
    outer[0][0] = Conv("d" * 300, lambda: (outer[0].clear(), outer.clear()))
    assert S(outer) == "2300" + "d" * 300 + ";"
    outer = [(None, "x"), ("y",)]
    outer[0] = (Conv("e", lambda: outer.clear()), "x")
    assert S(outer) == "01e01x;"
    box = [[None, "g"]]
    box[0][0] = Conv("f", lambda: box.__delitem__(0))
    assert S(gen(box)) == "01f01g;"


def test_walk_changes_under_debug_allocator():
    # The same cases again with freed memory overwritten, so a dangling row or item shows.
    if os.environ.get("PYTHONMALLOC") == "debug":
        pytest.skip("already running under it")
    hex_tests = os.path.join(os.path.dirname(__file__), "test_hex.py")
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "-k", "changed or deleting or growing or during_call", __file__, hex_tests],
                          capture_output=True, text=True, env=dict(os.environ, PYTHONMALLOC="debug"))
    assert proc.returncode == 0, proc.stdout + proc.stderr


class ListView(list):
    def __iter__(self):
        return iter(["it"])


class TupleView(tuple):
    def __iter__(self):
        return iter([["it"]])


def test_subclasses_are_walked_by_iteration():
    assert S([ListView(["a", "b"])]) == "02it;"
    assert S(TupleView([["a"]])) == "02it;"
    assert S(ListView([["a"]])) == "01i01t;"


@pytest.mark.parametrize("end", [Stop(), StopIteration("value"), Stop(1, 2)])
def test_stopiteration_ends_walk(end):
    assert S([Walker("ab", end)]) == "01a01b;"
    assert S(Walker([["a"], []], end)) == "01a;;"


@pytest.mark.parametrize("exc", [ValueError("v"), KeyboardInterrupt(), StopAsyncIteration(),
                                 GeneratorExit(), SystemExit(3), SyntaxError("s")])
@pytest.mark.parametrize("where", ["row_next", "outer_next", "row_iter", "outer_iter", "str"])
def test_other_exceptions_propagate_unchanged(exc, where):
    table = {
        "row_next": [["ok"], Walker(["a"], exc), ["never"]],
        "outer_next": Walker([["ok"]], exc),
        "row_iter": [["ok"], Walker([], on_iter=exc)],
        "outer_iter": Walker([], on_iter=exc),
        "str": [["ok", Conv("", raiser(exc)), "later"]],
    }[where]
    with pytest.raises(BaseException) as info:
        S(table)
    assert info.value is exc


# ---- agreement with the model ----------------------------------------------

CHARS = st.characters(exclude_categories=())  # includes lone surrogates and astral
VALUES = st.one_of(st.text(CHARS, max_size=30), st.text(st.sampled_from("a\u00e9\u4e00\ud800" + SMILE)),
                   st.integers(), st.none(), st.floats(allow_nan=False))
SHAPES = st.sampled_from([list, tuple, gen, iter])


@st.composite
def tables(draw):
    """(rows, the state of each str, the table in those states and shapes)."""
    rows = draw(st.lists(st.lists(VALUES, max_size=6), max_size=6))
    states = [[draw(st.sampled_from(states_for(v))) if isinstance(v, str) else None for v in r] for r in rows]
    made = [[in_state(v, s) if s else v for v, s in zip(r, rs)] for r, rs in zip(rows, states)]
    return rows, states, draw(SHAPES)([draw(SHAPES)(r) for r in made])


@settings(max_examples=scaled(300), deadline=None)
@given(tables())
def test_matches_model(table):
    rows, _, shaped = table
    result = S(shaped)
    assert result == stringify_model(rows)
    assert_canonical(result)


@settings(max_examples=scaled(200), deadline=None)
@given(tables(), st.lists(CHARS, min_size=16, max_size=16, unique=True).map("".join))
def test_matches_model_with_random_hex(table, hex_digits):
    rows, _, shaped = table
    tarv.HEX = hex_digits
    try:
        result = S(shaped)
    finally:
        tarv.HEX = HEX
    assert result == stringify_model(rows, hex_digits)
    assert_canonical(result)


# ---- the literal algorithm, HEX read as it goes ------------------------------


def read_hex():
    """HEX as looked up by name: the module's namespace, then the built-ins."""
    ns = vars(tarv)
    if "HEX" in ns:
        return ns["HEX"]
    try:
        return getattr(builtins, "HEX")
    except AttributeError:
        raise NameError("name 'HEX' is not defined") from None


def live_model(lists):
    """The literal piece-list algorithm, reading HEX after each item's conversion."""
    pieces = []
    for row in lists:
        for item in row:
            v = item if isinstance(item, str) else str(item)
            l_str = str(u16_len(v))
            pieces += [read_hex()[len(l_str) - 1], l_str, v]
        pieces.append(";")
    return "".join(pieces)


# ---- hostile conversions, iterators and HEX objects ---------------------------
#
# Each case builds a fresh table (setting HEX as it needs); the module and the
# model each get their own copy, so every side effect happens to both alike.


def case_grow_reallocating():
    row = ["a", None, "d"]
    row[1] = Tracked("b", lambda: row.extend(["c" * (k % 13) for k in range(3000)]))
    return [row, row]  # walked twice: it grows again during the second walk


def case_shrink_below_index():
    row = ["a", "b", None, "c", "d"]
    row[2] = Tracked("x", lambda: row.__delitem__(slice(1, None)))
    return [row, ["e"]]


def case_clear_and_refill():
    row = ["a", None, "b"]
    row[1] = Tracked("x", lambda: row.__setitem__(slice(None), [Tracked("r%d" % k) for k in range(5)]))
    return [row]


def case_move_between_rows():
    first, second = ["a", None, "b"], ["c"]
    first[1] = Tracked("x", lambda: (second.extend(first), first.clear()))
    return [first, second]


def case_insert_in_front_via_iterators():
    row = ["a", None, "b"]
    row[1] = Tracked("x", lambda: len(row) < 7 and row.insert(0, Tracked("i")))
    return iter([iter(row), (v for v in row), row])


def case_grow_outer_reallocating():
    outer = [["a", None]]
    outer[0][1] = Tracked("x", lambda: outer.extend([["r"], ("t", 1)] * 500))
    return outer


def case_replace_current_and_collect():
    row = [None, "b"]
    row[0] = Tracked("x", lambda: (row.__setitem__(0, "gone"), row.append("z"), gc.collect()))
    return [row]


def case_dict_changed():
    d = {"k": 0}
    d[Tracked("x", lambda: d.__setitem__("n", 1))] = 0
    return [["a"], d]


def case_generator_raises_stopiteration():
    def rows():
        yield ["a"]
        raise StopIteration  # becomes RuntimeError
    return rows()


def case_iterators_raise_after_items():
    def items(k, exc):
        yield from ["v%d" % i for i in range(k)]
        raise exc
    tarv.HEX = list(HEX)
    return [["a"], items(40, ValueError("row")), ["never"]]


def case_outer_raises_after_rows():
    def rows():
        yield ["a", Tracked("b", lambda: setattr(tarv, "HEX", "Q" * 16))]
        yield ("c",)
        raise LookupError("outer")
    return rows()


def case_str_returns_non_str():
    return [["a", Tracked(5)]]


def case_reentrant_calls():
    def inner():
        assert S([["in", Tracked("y", lambda: setattr(tarv, "HEX", "Z" * 16))]]) == "02inZ1y;"
        assert P("01a;") == [["a"]]
    return [["a", Tracked("x", inner), "b" * 10]]


def case_hex_str_to_list_and_back():
    def flip():
        tarv.HEX = ["<%d>" % k * 20 for k in range(16)] if type(tarv.HEX) is str else HEX
    return [["a", Tracked("x", flip), "b" * 10, "c"], [Tracked("y", flip), "d"], ["e" * 100]]


def case_list_hex_first_then_str():
    tarv.HEX = ["<%d>" % k for k in range(16)]
    return [["a", Tracked("x", lambda: setattr(tarv, "HEX", "ZYXWVUTSRQPONMLK")), "b" * 10]]


def case_hex_rebinds_itself():
    tarv.HEX = RebindingHex(3)
    return [["a", "b" * 10, "c"], [Tracked("d"), "e" * 100, "f"]]


def case_hex_deletes_itself():
    tarv.HEX = SelfDeletingHex()
    return [["a", "b"]]


def case_hex_deletes_itself_with_builtin():
    builtins.HEX = ["B%d" % k for k in range(16)]
    tarv.HEX = SelfDeletingHex()
    return [["a", "b" * 10], [Tracked("c", lambda: setattr(tarv, "HEX", SelfDeletingHex())), "d"]]


def case_hex_from_builtins_getattr():
    del tarv.HEX
    served = []

    def getattr_(name):
        if name != "HEX":
            raise AttributeError(name)
        served.append(1)
        return HEX if len(served) % 2 else ["<%d>" % k for k in range(16)]
    builtins.__getattr__ = getattr_
    return [["a", "b", "c" * 10], ["d"]]


def case_hex_item_access_raises_later():
    def header(k):
        if k == 2:
            raise MemoryError("hex")
        return HEX[k]
    tarv.HEX = type("H", (), {"__getitem__": lambda self, k: header(k)})()
    return [["a", "b" * 10], ["c" * 100]]


def case_hex_non_str_then_rebound():
    tarv.HEX = [b"0"] + ["<%d>" % k for k in range(1, 16)]
    return [["a" * 10, "b", Tracked("c", lambda: setattr(tarv, "HEX", "Q" * 16)), "d"]]


HOSTILE = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_table_matches_model(name):
    Tracked.live.clear()
    got = outcome(S, HOSTILE[name]())
    tarv.HEX = HEX
    vars(builtins).pop("HEX", None)
    vars(builtins).pop("__getattr__", None)
    expected = outcome(live_model, HOSTILE[name]())
    assert got == expected
    if got[0] == "ok":
        assert sys.getsizeof(got[1]) == sys.getsizeof("".join(list(got[1])))  # narrowest storage
    got = expected = None
    gc.collect()
    assert [ref for ref in Tracked.live if ref() is not None] == []


def test_first_bad_header_after_a_row_its_item_shortened():
    # An item's conversion cuts its own row short; a later row rebinds HEX to
    # a list whose one-digit header is not a str. The join of the piece list
    # names that piece by its index, which counts only the values the
    # shortened row still had when it was walked on.
    def table(at, keep):
        row = ["a"] * 8
        row[at] = Conv("x", lambda: row.__delitem__(slice(keep, None)))
        return [row, ["y", Conv("z", lambda: setattr(tarv, "HEX", [None] + list(HEX[1:])))], ["b"]]

    mismatches = []
    for at in range(8):
        for keep in range(9):
            tarv.HEX = HEX
            S([["warm"]])  # HEX remembered: the row is walked on by the tight loop
            got = outcome(S, table(at, keep))
            tarv.HEX = HEX
            expected = outcome(live_model, table(at, keep))
            if got != expected:
                mismatches.append((at, keep, got, expected))
    assert mismatches == []


# ---- str subclass items, however their row is walked --------------------------------


class Renamed(str):
    """A str subclass whose own conversion gives another text: as an item it
    is written as itself, never converted."""

    def __str__(self):
        return "zz" + self


ROW_SHAPES = {"list": list, "tuple": tuple, "generator": gen, "iterator": iter, "dict": dict.fromkeys}


@pytest.mark.parametrize("outer", ["list", "tuple", "generator", "iterator"])
@pytest.mark.parametrize("shape", list(ROW_SHAPES))
def test_str_subclass_items_are_written_as_themselves(shape, outer):
    values = ["a", "", "b" * 10, "\xe9", "\u4e00" * 3, SMILE]
    rows = [[Renamed(v) for v in values], ["q", Renamed("r")], [Conv(Renamed("c"))],
            [Renamed(v) for v in values[::-1]] + [1]]
    table = ROW_SHAPES[outer]([ROW_SHAPES[shape](row) for row in rows])
    assert S(table) == stringify_model(rows)


# ---- calls the interpreter must survive -------------------------------------------


@pytest.mark.parametrize("depth, limit", [(3000, None), (1500, 40_000)], ids=["default limit", "raised limit"])
def test_stringify_nested_in_conversions_thousands_deep(depth, limit):
    # Each level's conversion calls stringify again. Under the interpreter's
    # recursion limit that ends in RecursionError; past it (raised) in the
    # text, or RecursionError where the interpreter guards its own stack:
    # never in a crash.
    out = run_fresh(f"""
        import sys, tarv
        from tarv_model import stringify_model
        depth, limit = {depth}, {limit}
        if limit:
            sys.setrecursionlimit(limit)
        class Nest:
            def __init__(self, n):
                self.n = n
            def __str__(self):
                return tarv.stringify([[Nest(self.n - 1)]]) if self.n else "x"
        expected = "x"
        for _ in range(depth):
            expected = stringify_model([[expected]])
        try:
            text = tarv.stringify([[Nest(depth - 1)]])
        except RecursionError:
            print("RecursionError")
        else:
            print("text" if text == expected else "wrong text")
        assert tarv.stringify([["x"]]) == "01x;"
    """)
    assert out in (("RecursionError\n",) if limit is None else ("RecursionError\n", "text\n")), out


@pytest.mark.parametrize("where", ["outer", "row"])
def test_iterator_whose_type_loses_its_next_item_slot(where):
    # A module's class may be reassigned, to the module type itself, which
    # has no next-item slot: an iterator whose __next__ does so. As list()
    # does, the walk goes on calling the slot it started with, whose
    # __next__ is no longer found.
    out = run_fresh(f"""
        import types, tarv
        from tarv_model import stringify_model
        class Iterator(types.ModuleType):
            def __iter__(self):
                return self
            def __next__(self):
                self.__class__ = types.ModuleType
                return ["a"] if "{where}" == "outer" else "a"
        def outcome(fn):
            try:
                return repr(fn())
            except Exception as e:
                return type(e).__name__ + ": " + str(e)
        if "{where}" == "outer":
            print(outcome(lambda: stringify_model(list(Iterator("m")))))
            print(outcome(lambda: tarv.stringify(Iterator("m"))))
        else:
            print(outcome(lambda: stringify_model([["b"], list(Iterator("m"))])))
            print(outcome(lambda: tarv.stringify([["b"], Iterator("m")])))
    """)
    expected, got = out.splitlines()
    assert got == expected
