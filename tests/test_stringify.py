"""Tests for tarv.stringify: written form, walking rules, UTF-16 lengths,
the HEX attribute it reads, agreement with the reference model, and leaks."""

import builtins
import gc
import os
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from effort import scaled  # noqa: E402
from items import PLAIN_TABLES, Conv, Stop, Walker, gen, raiser, raising_after  # noqa: E402
from leaks import assert_no_growth  # noqa: E402
from states import in_state, states_for  # noqa: E402
from tarv_model import HEX, stringify_model  # noqa: E402

S = tarv.stringify
SMILE = "\U0001F600"


@pytest.fixture(autouse=True)
def restore_hex():
    yield
    tarv.HEX = HEX
    vars(builtins).pop("HEX", None)


class Loud(str):
    """A str subclass whose methods must never be called."""

    def _fail(self, *a):
        raise AssertionError("str subclass method called")

    __str__ = __repr__ = __len__ = __iter__ = __getitem__ = __hash__ = __eq__ = __add__ = _fail
    __format__ = __mul__ = __contains__ = encode = join = _fail


def assert_canonical(s):
    assert type(s) is str
    fresh = "".join([chr(ord(c)) for c in s])
    assert sys.getsizeof(s) == sys.getsizeof(fresh), ascii(s)


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
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "-k", "changed or deleting or growing or during_call", __file__],
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


# ---- HEX ------------------------------------------------------------------


class Recorder:
    def __init__(self, piece=lambda k: "<%d>" % k):
        self.asked, self.piece = [], piece

    def __getitem__(self, k):
        self.asked.append(k)
        return self.piece(k)


class IndexedStr(str):
    def __getitem__(self, k):
        return "<%d>" % k


@pytest.mark.parametrize("hex_value, text", [
    ("ZYXWVUTSRQPONMLK", "Z1aY10" + "b" * 10 + ";"),
    ("ab", "a1ab10" + "b" * 10 + ";"),
    ([f"[{i}]" * 50 for i in range(16)], "[0]" * 50 + "1a" + "[1]" * 50 + "10" + "b" * 10 + ";"),
    ({0: "A", 1: "\U0001F601"}, "A1a\U0001F60110" + "b" * 10 + ";"),
    (Recorder(), "<0>1a<1>10" + "b" * 10 + ";"),
    (IndexedStr(HEX), "<0>1a<1>10" + "b" * 10 + ";"),
    ([Loud("P"), Loud("\u4e00")], "P1a\u4e0010" + "b" * 10 + ";"),
])
def test_hex_rebound(hex_value, text):
    tarv.HEX = hex_value
    result = S([["a", "b" * 10]])
    assert result == text
    assert_canonical(result)


def test_hex_read_once_per_value():
    tarv.HEX = rec = Recorder(lambda k: HEX[k])
    assert S([["a", "x" * 10, SMILE * 50], [], ["y" * 1000]]) == stringify_model(
        [["a", "x" * 10, SMILE * 50], [], ["y" * 1000]])
    assert rec.asked == [0, 1, 2, 3]


@pytest.mark.parametrize("hex_value", ["a", ["0"], {0: "A"}, 12, Recorder(raiser(LookupError("own")))])
def test_hex_index_errors_are_those_of_item_access(hex_value):
    tarv.HEX = hex_value
    try:
        hex_value[1]
    except Exception as e:
        expected = e
    with pytest.raises(type(expected)) as info:
        S([["a", "b" * 10]])
    assert info.value.args == expected.args


@pytest.mark.parametrize("lists, bad_index, piece, n", [
    ([["a", "b" * 10], ["c"]], 1, None, 3),
    ([["a"], [], ["b" * 10]], 1, 7, 5),
    ([["b" * 10, "a"]], 1, b"1", 0),
    ([["a"], ["b" * 10, "c" * 10]], 1, ["x"], 4),
])
def test_non_str_piece_found_in_join(lists, bad_index, piece, n):
    tarv.HEX = {**dict(enumerate(HEX)), bad_index: piece}
    with pytest.raises(TypeError) as info:
        S(lists)
    assert str(info.value) == f"sequence item {n}: expected str instance, {type(piece).__name__} found"


def test_non_str_piece_reported_only_after_the_walk():
    tarv.HEX = [None] * 16
    seen = []
    exc = ValueError("later")
    with pytest.raises(ValueError) as info:
        S([["a"], [Conv("b", lambda: seen.append(1))], [Conv("c", raiser(exc))]])
    assert info.value is exc and seen == [1]
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        S([["a"], 5])


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


def fresh(text):
    """An equal string that nothing else refers to."""
    return "".join(list(text))


def test_hex_rebound_during_call():
    def rebind():
        tarv.HEX = fresh("Z" * 16)

    tarv.HEX = fresh(HEX)
    assert S([["a", Conv("x", rebind), "c"], ["d"]]) == "01aZ1xZ1c;Z1d;"
    tarv.HEX = fresh(HEX)
    builtins.HEX = fresh("B" * 16)
    assert S([["a", Conv("x", lambda: delattr(tarv, "HEX")), "c"]]) == "01aB1xB1c;"
    del builtins.HEX
    tarv.HEX = fresh(HEX)
    with pytest.raises(NameError):
        S([["a", Conv("x", lambda: delattr(tarv, "HEX"))]])
    tarv.HEX = digits = list(HEX)
    assert S([["a", Conv("x", lambda: digits.__setitem__(0, "Q")), "c"]]) == "01aQ1xQ1c;"


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


# ---- references --------------------------------------------------------------


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


# ---- memory ------------------------------------------------------------------


def rows_at(n_rows, indexes, row, other, first=()):
    """n_rows rows: `row` at the given indexes, else `other`; `first` in front."""
    first = list(first)
    return first + [row if r in indexes else other for r in range(len(first), n_rows)]


def widened_last(n_rows, last):
    """Rows of short ASCII values whose very last value is `last`."""
    return [["abcdefghij"] * 5] * (n_rows - 1) + [["abcdefghij"] * 4 + [last]]


# Tables whose first rows, or the rows a sample would read, say little about
# the rest, and tables widened at their very end.
MEMORY_TABLES = {
    "short_ascii": lambda: [["abcdefghij"] * 5] * 100_000,
    # Long rows only at every k-th row: for some k, only where a size guess
    # samples (it must not reserve for a table of long rows).
    **{f"long_rows_every_{k}": (lambda k=k: rows_at(100_000, set(range(0, 100_000, k)), ["x" * 59] * 20, []))
       for k in (1_000, 3_125, 7_919)},
    "long_rows_early_then_short": lambda: rows_at(20_000, set(range(1, 41)), ["y" * 20_000], [""]),
    # As above, then widened (to the same one byte per character) right after
    # the long rows: the wider text is given room for a rest judged by them.
    "long_rows_early_then_latin1": lambda: (
        rows_at(41, set(range(1, 41)), ["y" * 50_000], [""]) + [["\xe9"]] + [[""]] * 19_958
    ),
    "latin1_last": lambda: widened_last(100_000, "\xe9"),
    "cjk_last": lambda: widened_last(100_000, "\u4e00"),
    "emoji_last": lambda: widened_last(100_000, "\U0001f600"),
    # The rows written first (long values, then short ones) and a sample of
    # those to come (rows amid each of 32 equal parts hold 10,000
    # characters) disagree, and together suggest a text many times longer
    # than the one written (most rows are empty).
    "disagreeing_figures": lambda: rows_at(
        20_000, {(2 * s + 1) * 20_000 // 64 for s in range(32)}, ["s" * 10_000],
        [], first=[["x" * 110_000]] * 10 + [["f" * 100]] * 990,
    ),
}


@pytest.mark.parametrize("name", list(MEMORY_TABLES))
def test_peak_memory_beyond_result(name):
    """A guessed size may hold room beyond the text, but never more than about
    the text itself (or a first size of 4M characters); widening holds the
    narrower text while the wider one is written."""
    table = MEMORY_TABLES[name]()
    S([["warm"]])  # the HEX lookup is remembered from here on
    tracemalloc.start()
    try:
        result = S(table)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    size = sys.getsizeof(result)
    assert result == stringify_model(table)
    widest = ord(max(result))
    char_size = 1 if widest < 0x100 else 2 if widest < 0x10000 else 4
    bound = max(size, (1 << 22) * char_size) + (1 << 16)
    assert peak - current <= bound, f"{peak - current} bytes beyond a result of {size}"
