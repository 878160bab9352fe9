"""HEX as the source of the header characters: every kind of object bound to
it, on tables small and large, looked up cold and then remembered; rebound
while a call runs; and header pieces that are not str, which the join of the
piece list reports."""

import builtins
import os
import sys

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from checks import assert_canonical, outcome  # noqa: E402
from effort import scaled  # noqa: E402
from items import SMILE, Conv, Loud, raiser  # noqa: E402
from processes import run_fresh  # noqa: E402
from tarv_model import HEX, stringify_model  # noqa: E402

S = tarv.stringify


# ---- every kind of HEX, cold and warm ---------------------------------------------
#
# Each table is written twice: the first call looks HEX up, the second finds
# the lookup remembered, and both must give the model's text or raise the
# model's error.


def lengths_around(*powers):
    """10**p - 1 and 10**p for each p: the last length of each digit count and the first of the next."""
    return [n for p in powers for n in (10 ** p - 1, 10 ** p)]


TABLES = {
    "small": [["a", "", "b" * 9, "c" * 10], [], ["d" * 99, "e" * 100, ";"]],
    # Thousands of rows of values 0 to 120 characters long, empty rows among them.
    "plain": [["v" * ((7 * r + k) % 121) for k in range(r % 5)] for r in range(3000)],
    # 3 to 6 digits of length.
    "long values": [["x" * n] for n in lengths_around(2, 3, 4, 5)] + [["y" * 123_456, "z"]],
    # 2- and 4-byte characters, emoji counted twice: 5 emoji take 2 digits, 50 take 3.
    "wide": [["\u4e00" * (r % 40), "a" + SMILE * (r % 60), "\xe9" * 3] for r in range(2000)]
    + [[SMILE * n, "\u4e00" * n] for n in (5, 50, 500, 5000)],
}

HEXES = {
    "default": HEX,
    "reversed": HEX[::-1],
    "other letters": "ZYXWVUTSRQPONMLK",
    "CJK": "".join(chr(0x4E00 + k) for k in range(16)),
    "emoji": "".join(chr(0x1F600 + k) for k in range(16)),
    "Latin-1 header for one digit": "\xe9" + HEX[1:],
    "longer str": HEX + "\u4e00" * 4,
    "ab": "ab",
    "abc": "abc",
    "list": list(HEX),
    "tuple": tuple(HEX[::-1]),
    "short list": ["0", "1"],
    "short tuple": ("p", "q", "r"),
    "None for two digits": ["0", None, *HEX[2:]],
    "bytes for three digits": [*HEX[:2], b"2", *HEX[3:]],
    "None, then nothing": ["0", None],
    "several characters each": [f"<{k}>" for k in range(16)],
    "one character, then several": ["0", "11", "222", *HEX[3:]],
    "empty pieces": ("",) * 16,
}

EXPECTED = {}  # (table, HEX) -> the model's outcome, computed once


@pytest.mark.parametrize("hex_name", list(HEXES))
@pytest.mark.parametrize("table_name", list(TABLES))
def test_each_hex_cold_and_warm(table_name, hex_name):
    table, hex_value = TABLES[table_name], HEXES[hex_name]
    key = table_name, hex_name
    if key not in EXPECTED:
        EXPECTED[key] = outcome(stringify_model, table, hex_value)
    expected = EXPECTED[key]
    tarv.HEX = hex_value
    for call in ("cold", "warm"):
        got = outcome(S, table)
        # (Texts compared first, so that a failure shows lengths, not megabytes.)
        assert got[0] == expected[0] and len(got[1]) == len(expected[1]), (call, got[:1])
        assert got == expected, call
        if got[0] == "ok":
            text = got[1]
            assert sys.getsizeof(text) == sys.getsizeof("".join(list(text))), call  # canonical


def test_short_hex_raises_on_every_call():
    # HEX = "ab" holds no header for three digits: Python's indexing error,
    # also once the lookup (and HEX's length) is remembered.
    tarv.HEX = "ab"
    for _ in range(3):
        with pytest.raises(IndexError, match="^string index out of range$"):
            S([["x" * 100]])
    assert S([["x" * 10]]) == "b10" + "x" * 10 + ";"


# ---- indexed as any object is ---------------------------------------------------


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


# ---- header pieces that are not str ------------------------------------------------


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


# ---- rebound while a call runs ---------------------------------------------------


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


def test_empty_header_for_first_value_then_str_hex():
    # The first value's header is an empty piece; a later value rebinds HEX to
    # a str. The text must be exactly right and nothing written outside it.
    assert run_fresh("""
        import gc, tarv
        class Item:
            def __str__(self):
                tarv.HEX = "0123456789abcdef"
                return "b"
        for hex_value in ([""] * 16, {0: "", 1: ""}):
            tarv.HEX = hex_value
            result = tarv.stringify([["a", Item()]])
            assert result == "1a01b;", repr(result)
            del result
            gc.collect()
        print("ok")
    """) == "ok\n"


# Objects that are no header: the join of the piece list names the first of
# them it meets, by its index and type.
NOT_STR = [b"0", 1.5, None, 7, ("t",), bytearray(b"x")]
# Lengths of 1 to 4 digits.
LENGTHS = [0, 1, 9, 10, 99, 100, 1000]


@settings(max_examples=scaled(150), deadline=None)
@given(st.lists(st.one_of(st.sampled_from(HEX), st.sampled_from(NOT_STR)), min_size=16, max_size=16),
       st.sampled_from([list, tuple]),
       st.lists(st.lists(st.sampled_from(LENGTHS), max_size=5), max_size=5))
def test_first_non_str_piece_is_the_one_named(pieces, container, lengths):
    table = [["v" * n for n in row] for row in lengths]
    hex_value = container(pieces)
    tarv.HEX = hex_value
    assert outcome(S, table) == outcome(stringify_model, table, hex_value)


def test_first_of_two_non_str_pieces_is_the_one_named():
    hex_value = [b"0", 1.5] + list("23456789abcdef")
    table = [["a", "b" * 10]]
    tarv.HEX = hex_value
    assert outcome(S, table) == outcome(stringify_model, table, hex_value)
