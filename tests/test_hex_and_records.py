"""stringify against the model for every kind of HEX, on tables small and
large, of long values and of wide ones. Each table is written twice: the
first call looks HEX up, the second finds the lookup remembered, and both
must give the model's text or raise the model's error."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from items import SMILE  # noqa: E402
from tarv_model import HEX, stringify_model  # noqa: E402

S = tarv.stringify


@pytest.fixture(autouse=True)
def restore_hex():
    yield
    tarv.HEX = HEX


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


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as e:
        return type(e), str(e)


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


@pytest.mark.parametrize("tail", ["", "a", "bc", "d" * 9, "\xe9", "\u4e00", SMILE], ids=ascii)
def test_records_up_to_the_end_of_a_measured_text(tail):
    """A long first record takes the text off the stack with the rest
    measured (few rows are left): the text is made at its exact size, and
    the short records after it are written right up to its end."""
    for first in (4100, 5000, 9000):
        for n in range(0, 48):
            table = [["x" * first]] + [[tail] * (n % 7 + 1)] * (n // 7 + 1) + [[tail] * n]
            assert S(table) == stringify_model(table), (first, n)
