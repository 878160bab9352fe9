"""Tests for tarv.parse: results, exact SyntaxError messages on the narrow
(1- and 2-byte) and wide (astral) reading paths, every character as a header
and as a digit, lengths that split an astral character, and agreement with
the reference model."""

import itertools
import os
import re
import sys

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from checks import outcome as call_outcome, parse_error, same_as_model, tok  # noqa: E402
from effort import scaled  # noqa: E402
from states import in_state, states_for  # noqa: E402
from tarv_model import ModelSyntaxError, parse_model, stringify_model, u16_len  # noqa: E402

EOI = "Unexpected end of input"
SMILE = "\U0001F600"
NINES = "9" * 16


def shift(msg, k):
    return re.sub(r"at position (\d+)$", lambda m: f"at position {int(m.group(1)) + k}", msg)


def is_wide(s):
    return any(ord(c) > 0xFFFF for c in s)


def assert_canonical(table):
    """New lists of exact str values, each stored like a freshly built equal string."""
    assert type(table) is list
    for row in table:
        assert type(row) is list
        for v in row:
            assert type(v) is str
            fresh = "".join([chr(ord(c)) for c in v])
            assert sys.getsizeof(v) == sys.getsizeof(fresh), ascii(v)
            assert v.isascii() == fresh.isascii(), ascii(v)


# A value placed in front of the first row: plain (1 byte per character),
# a 2-byte value, and one or two astral characters (each one UTF-16 unit
# more than its code-point count).
PREFIXES = {
    "plain": "",
    "ucs2": "01\u0436",
    "astral": "02" + SMILE,
    "astral2": "04" + SMILE + "\U0010FFFF",
}

VALID = [
    (";", [[]]),
    (";;", [[], []]),
    ("02ab01c;", [["ab", "c"]]),
    ("05hello00;;", [["hello", ""], []]),
    ("03a;b;", [["a;b"]]),
    ("03123;", [["123"]]),
    ("112" + "x" * 12 + ";", [["x" * 12]]),
    ("A00000000001x;", [["x"]]),
    ("100;", [[""]]),
    ("00;", [[""]]),
    ("f0000000000000003;;;;", [[";;;"]]),
    ("F0000000000000000;", [[""]]),
    ("02" + SMILE + ";", [[SMILE]]),
    ("03a" + SMILE + ";02\ud83d\ude00;", [["a" + SMILE], ["\ud83d\ude00"]]),
    ("01\ud800;01\udfff;", [["\ud800"], ["\udfff"]]),
    ("02\ud83d\ude00;", [["\ud83d\ude00"]]),
    ("01\x00;01\xff;01\uffff;", [["\x00"], ["\xff"], ["\uffff"]]),
] + [  # every header character, with leading zeros up to its digit count
    (h + "0" * d + "1x;", [["x"]]) for d, h in enumerate("0123456789abcdef")
] + [(h + "0" * (d + 10) + "1x;", [["x"]]) for d, h in enumerate("ABCDEF")]

NOT_HEADER = "\x00 '/:@G`g\x7f\xaa\xe1\u0130\u0131\u0139\u0141\u0161\u0663\uff10\uff21\ud800\udc41\U00010030\U00010041\U0001003b"

# (text, message on the narrow path, message on the wide path if different)
BAD = [
    ("", EOI, None),
    ("02ab01c", EOI, None),
    ("02ab", EOI, None),
    ("0", EOI, None),
    ("1", EOI, None),
    ("01", EOI, None),
    ("01a", EOI, None),
    ("01a;0", EOI, None),
    ("05ab;", EOI, None),
    ("03ab;", EOI, None),
    ("x", tok("x", 0), None),
    ("02ab;x", tok("x", 5), None),
    ("0x;", tok("x", 1), None),
    (";x", tok("x", 1), None),
    ("01a;;02", EOI, None),
    ("0;;", tok(";", 1), None),
    ("1a0;", tok("a", 1), None),
    ("10/;", tok("/", 2), None),
    ("10:;", tok(":", 2), None),
    ("0\u0663x;", tok("\u0663", 1), None),
    ("0\u0131x;", tok("\u0131", 1), None),
    ("0" + SMILE + ";", None, tok(SMILE, 1)),
    ("100" + SMILE + ";", None, tok(SMILE, 3)),
    ("f" + NINES + "x;", EOI, None),
    ("F" + NINES + "x" * 40 + ";", EOI, None),
    ("01a;f" + NINES, EOI, None),
    ("f" + NINES + ";", EOI, None),
    ("f" + "9" * 15 + "x;", tok("x", 16), None),
    ("e" + "9" * 15 + "x;", EOI, None),
    # the record's digits reach the end of the text
    ("0x", EOI, tok("x", 1)),
    ("10x", EOI, tok("x", 2)),
    ("02ab;0x", EOI, tok("x", 6)),
    ("02" + SMILE + ";0x", None, tok("x", 6)),
    ("02" + SMILE + ";0", None, EOI),
    ("02" + SMILE + ";01", None, EOI),
    # astral characters
    (SMILE, None, tok(SMILE, 0)),
    ("02" + SMILE + ";x", None, tok("x", 5)),
    ("02" + SMILE + ";" + SMILE, None, tok(SMILE, 5)),
    ("01" + SMILE + ";", None, tok("\ude00", 3)),
    ("02a" + SMILE + ";", None, tok("\ude00", 4)),
    ("05" + SMILE * 3 + ";", None, tok("\ude00", 7)),
    ("01\U00010000;", None, tok("\udc00", 3)),
    ("01\U0010FFFF;", None, tok("\udfff", 3)),
    ("03" + SMILE + ";", None, EOI),
    ("02" + SMILE, None, EOI),
    ("02" + SMILE + "x", None, tok("x", 4)),
] + [("01a;" + c, tok(c, 4), None) for c in NOT_HEADER] + [
    ("G01a;", tok("G", 0), None),
    ("01a01b;g", tok("g", 7), None),
]


def variants(cases):
    for name, prefix in PREFIXES.items():
        for case in cases:
            yield pytest.param(prefix, *case, id=f"{name}-{ascii(case[0])}")


@pytest.mark.parametrize("prefix,text,table", list(variants(VALID)))
def test_valid(prefix, text, table):
    if prefix:
        table = [[prefix[2:]] + table[0]] + table[1:]
    result = tarv.parse(prefix + text)
    assert result == table
    assert_canonical(result)


@pytest.mark.parametrize("prefix,text,narrow,wide", list(variants(BAD)))
def test_malformed(prefix, text, narrow, wide):
    full = prefix + text
    expected = (wide or narrow) if is_wide(full) else narrow
    assert expected, "case only reachable on the wide path"
    assert parse_error(full) == shift(expected, u16_len(prefix))


@pytest.mark.parametrize("text", ["02ab;0x", "1x", "f" + NINES])
def test_model_agrees_on_examples(text):
    for prefix in PREFIXES.values():
        with pytest.raises(ModelSyntaxError) as info:
            parse_model(prefix + text)
        assert parse_error(prefix + text) == info.value.message


def test_results_are_new_objects():
    text = "02ab;;02ab;"
    a, b = tarv.parse(text), tarv.parse(text)
    assert a == b == [["ab"], [], ["ab"]]
    assert a is not b and a[1] is not b[1] and a[0] is not a[2]
    a[0].append("z")
    assert tarv.parse(text) == b


@pytest.mark.parametrize("text,table", [
    ("02ab02" + SMILE + ";", [["ab", SMILE]]),
    ("01\xe902" + SMILE + ";", [["\xe9", SMILE]]),
    ("01\u043602ab;", [["\u0436", "ab"]]),
    ("02" + SMILE + "00;01\u0436;", [[SMILE, ""], ["\u0436"]]),
    ("03\ud83d" + SMILE + "01\ud83d;", [["\ud83d" + SMILE, "\ud83d"]]),
])
def test_values_take_narrowest_storage(text, table):
    result = tarv.parse(text)
    assert_canonical(result)
    assert result == table


# --- lengths that split an astral character -----------------------------------


@pytest.mark.parametrize("before", ["", "02" + SMILE + ";", "01\ud800;"])
@pytest.mark.parametrize("k", [1, 7, 1000])
def test_length_splitting_an_astral_character(before, k):
    value = ("\ud800" + SMILE + "\u4e00") * k + "\U0010FFFF"
    declared = u16_len(value) - 1
    for header, digits in (("f", "%016d" % declared), ("F", "%016d" % declared),
                           ("0123456789abcdef"[len(str(declared)) - 1], str(declared))):
        for after in (";", "", "x;"):
            text = before + header + digits + value + after
            position = u16_len(before) + 1 + len(digits) + declared
            assert same_as_model(text) == (SyntaxError, f"Unexpected token '\udfff' at position {position}")


# --- every header character -----------------------------------------------------

ASTRAL_SAMPLE = [chr(c) for c in range(0x10000, 0x110000, 0x3FB)] + ["\U0001F600", "\U0010FFFF"]
# Every BMP character at full effort; a reduced run keeps every 1-byte one,
# the surrogates' edges and U+FFFF, and an even spread of the rest.
BMP_STRIDE = max(1, round(0xFF00 / scaled(0xFF00)))
BMP = [chr(c) for c in itertools.chain(range(0x100), range(0x100, 0x10000, BMP_STRIDE),
                                       (0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF))]
HEADER_PREFIXES = {"1-byte": PREFIXES["plain"], "2-byte": PREFIXES["ucs2"], "wide": PREFIXES["astral"]}


@pytest.mark.parametrize("prefix", list(HEADER_PREFIXES.values()), ids=list(HEADER_PREFIXES))
def test_every_header_and_digit_character(prefix):
    mismatches = []
    for ch in BMP + ASTRAL_SAMPLE:
        # ch as a header (announcing any count, with a 16-digit length after it)
        # and ch as a length digit
        for text in (prefix + ch + "0" * 15 + "1x;", prefix + "1" + ch + "1x;"):
            if call_outcome(tarv.parse, text) != call_outcome(parse_model, text):
                mismatches.append(ascii(text))
    assert mismatches[:20] == []


# --- properties -------------------------------------------------------------

INTERESTING = "0123456789abcdefABCDEFgG;:/@`x\x00\xe9\u0436\u0130\u0141\ud800\udc00\U00010030" + SMILE + "\U0010FFFF"
chars = st.one_of(st.characters(codec=None, exclude_categories=()), st.sampled_from(INTERESTING))
tables = st.lists(st.lists(st.text(chars, max_size=12), max_size=5), min_size=1, max_size=5)


def drawn_state(data, value, exact=False):
    """`value` in a state drawn from those that apply to it."""
    return in_state(value, data.draw(st.sampled_from(states_for(value, exact)), label=ascii(value)[:40]))


@settings(max_examples=scaled(400), deadline=None)
@given(tables, st.data())
def test_round_trip(table, data):
    assert tarv.parse(stringify_model(table)) == table
    text = tarv.stringify([[drawn_state(data, v) for v in row] for row in table])
    result = tarv.parse(drawn_state(data, text, exact=True))
    assert result == table
    assert_canonical(result)


def outcome(fn, text):
    try:
        return "table", fn(text)
    except ModelSyntaxError as e:
        return "error", e.message
    except SyntaxError as e:
        assert type(e) is SyntaxError and e.args == (e.msg,)
        return "error", e.msg


@st.composite
def mutated_texts(draw):
    table = draw(tables)
    text = stringify_model(table)
    # code-point indexes of header characters and of length digits
    headers, digits, i = [], [], 0
    for row in table:
        for v in row:
            n = len(str(u16_len(v)))
            headers.append(i)
            digits.extend(range(i + 1, i + 1 + n))
            i += 1 + n + len(v)
        i += 1
    s = list(text)
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["truncate", "insert", "delete", "replace", "upper", "zero", "header", "digit"]))
        if kind in ("upper", "zero", "header") and headers and len(s) == len(text):
            h = draw(st.sampled_from(headers))
            if kind == "upper":
                s[h] = s[h].upper()
            elif kind == "zero" and s[h].lower() in "0123456789abcde":
                s[h] = "123456789abcdef"[int(s[h], 16)]
                s.insert(h + 1, "0")
            else:
                s[h] = draw(st.sampled_from(INTERESTING))
        elif kind == "digit" and digits and len(s) == len(text):
            s[draw(st.sampled_from(digits))] = draw(st.sampled_from(INTERESTING))
        elif kind == "truncate":
            del s[draw(st.integers(0, len(s))):]
        elif kind == "insert":
            s.insert(draw(st.integers(0, len(s))), draw(chars))
        elif s and kind == "delete":
            del s[draw(st.integers(0, len(s) - 1))]
        elif s and kind == "replace":
            s[draw(st.integers(0, len(s) - 1))] = draw(chars)
    return "".join(s)


@settings(max_examples=scaled(1500), deadline=None)
@given(st.one_of(mutated_texts(), st.text(st.sampled_from(INTERESTING), max_size=30)), st.data())
def test_parse_agrees_with_model(text, data):
    got = outcome(tarv.parse, drawn_state(data, text, exact=True))
    assert got == outcome(parse_model, text)
    if got[0] == "table":
        assert_canonical(got[1])


# --- U+FFFF, the widest one-unit character, among astral ones -------------------


def test_uffff_counts_one_unit_beside_astral_characters():
    # Every value of up to 6 characters drawn from U+FFFF, an astral character
    # and an ASCII one, after 0 to 7 empty rows: the characters of a wide text
    # are read in blocks, and U+FFFF falls at every place in one.
    mismatches = []
    values = ["".join(chars) for n in range(7) for chars in itertools.product(("\uffff", SMILE, "a"), repeat=n)]
    for value in values:
        for lead in range(8):
            table = [[]] * lead + [[value], ["\uffff"]]
            text = stringify_model(table)
            got = call_outcome(tarv.parse, text)
            if got != ("ok", table) or got != call_outcome(parse_model, text):
                mismatches.append(ascii(text))
    assert mismatches[:20] == []
    assert tarv.parse("06\uffff\U0001F600abc;") == parse_model("06\uffff\U0001F600abc;")
