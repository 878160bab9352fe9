"""stringify and parse on values in every state a str can be in (states.py),
against the model: every width, every UTF-16 length up to 20 and around the
digit-count boundaries, with 0 to 64 characters of text in front. Where a
cached buffer (the UTF-8 form, the wchar_t form) lands differs from process
to process, and bytes in front of a value's characters depend on it, so the
matrix also runs in fresh processes.

    python tests/test_states.py [MODULE_FILE]   runs the matrix once, prints
    the first mismatch and exits 1 if there is one (MODULE_FILE: the tarv it
    must import).
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from states import EXACT_STATES as TEXT_STATES, STATES, in_state, why_not  # noqa: E402
from tarv_model import stringify_model  # noqa: E402
from effort import scaled  # noqa: E402

SMILE = "\U0001F600"
FILL = "a\xe9\u4e00\uffff"  # BMP characters of a 4-byte value, U+FFFF the widest


def by_units(chars, u16):
    """`chars` repeated up to `u16` UTF-16 units; an astral character that
    does not fit in the last unit is replaced by "z"."""
    out, units, i = [], 0, 0
    while units < u16:
        c = chars[i % len(chars)]
        if ord(c) > 0xFFFF and units + 2 > u16:
            c = "z"
        out.append(c)
        units += 2 if ord(c) > 0xFFFF else 1
        i += 1
    return "".join(out)


def astral_at(where, u16):
    """BMP characters with one astral character at the start, middle or end."""
    if u16 < 2:
        return by_units(FILL, u16)
    front = {"start": 0, "middle": (u16 - 2) // 2, "end": u16 - 2}[where]
    return by_units(FILL, front) + SMILE + by_units(FILL, u16 - 2 - front)


# Values by a width name and a UTF-16 length. Text-like characters (";",
# digits) and the widest character of each width appear in the values.
WIDTHS = {
    "ascii": lambda n: by_units("ab;9\x7f", n),
    "latin1": lambda n: by_units("\xe9a\xff;", n),
    "ucs2": lambda n: by_units("\u4e00a\uffff\u0100", n),
    "surrogates": lambda n: by_units("\ud800a\udfff\ud83d\ude00\xe9", n),
    "astral": lambda n: by_units("\U00010000" + SMILE + "\U0010FFFF", n),
    "astral_start": lambda n: astral_at("start", n),
    "astral_middle": lambda n: astral_at("middle", n),
    "astral_end": lambda n: astral_at("end", n),
    "astral_few": lambda n: by_units("abc" + SMILE + "\u4e00efghi\xe9jkl", n),
    "astral_surrogates": lambda n: by_units("\ud800" + SMILE + "\udc00x", n),
}
U16_LENGTHS = list(range(21)) + [99, 100, 999, 1000, 9999, 10000]
VALUES = {}  # value: (width, UTF-16 length), the first that gives it
for _u16 in U16_LENGTHS:
    for _width, _make in WIDTHS.items():
        VALUES.setdefault(_make(_u16), (_width, _u16))

# Characters of text in front of the value: for short values every count up
# to 16 (a 16-byte block of 1-byte text), then around further blocks up to
# 64; a few for long values.
OFFSETS = tuple(range(17)) + (20, 24, 31, 32, 33, 47, 48, 63, 64)
LONG_OFFSETS = (0, 13, 64)
# In each fresh process: what differs between processes is where buffers
# land, not the text in front, so fewer offsets do.
FRESH_OFFSETS = (0, 1, 2, 3, 4, 7, 8, 12, 13, 16, 33, 64)


def lead(offset):
    """(empty rows, the start of the value's row) taking `offset` characters."""
    if offset < 2:
        return [[]] * offset, []
    if offset == 12:  # one row "0" + "9" + 9 characters, then ";"
        return [[]], ["p" * 9]
    pad = offset - 2 if offset < 12 else offset - 3
    return [], ["p" * pad]


# The model's text for each piece, composed per case: the text in front of
# the value, and the value's record.
LEADS = {}
for _offset in OFFSETS:
    _rows, _start = lead(_offset)
    LEADS[_offset] = _rows, _start, stringify_model(_rows + [_start])[:-1]
RECORDS = {value: stringify_model([[value]])[:-1] for value in VALUES}


def diff(got, expected):
    k = next((k for k, (a, b) in enumerate(zip(got, expected)) if a != b), min(len(got), len(expected)))
    at = max(k - 24, 0)
    return (f"first difference at character {k} of {len(expected)}:\n"
            f"    got      {ascii(got[at:k + 24])}\n    expected {ascii(expected[at:k + 24])}")


# Rows of padding that make a table large enough to be written in one pass
# into a growing text; the value goes in the middle and at the end.
BIG_ROWS = [["p" * 5] * 4] * 150
BIG_HALVES = stringify_model(BIG_ROWS[:75]), stringify_model(BIG_ROWS[75:])


def check_big(value, state):
    """The first disagreement of stringify with the model in a large table."""
    record = RECORDS[value]
    expected = BIG_HALVES[0] + record + ";" + BIG_HALVES[1] + record + "01q;"
    made = BIG_ROWS[:75] + [[in_state(value, state)]] + BIG_ROWS[75:] + [[in_state(value, state), "q"]]
    got = tarv.stringify(made)
    if got != expected:
        return f"stringify of a large table, value {state}: {diff(got, expected)}"
    return None


def check(value, state, offset):
    """The first disagreement with the model, described, or None.

    The value in `state` after `offset` characters of text, and again in a
    later row with a value after it; then the text read back, and read
    again in `state` if that applies to it."""
    rows, start, lead_text = LEADS[offset]
    plain = rows + [start + [value], [value, "q"]]
    record = RECORDS[value]
    expected = lead_text + record + ";" + record + "01q;"
    made = rows + [start + [in_state(value, state)], [in_state(value, state), "q"]]
    text = in_state(expected, state) if state in TEXT_STATES and not why_not(expected, state) else None
    try:
        got = tarv.stringify(made)
        if got != expected:
            return f"stringify, value {state}: {diff(got, expected)}"
        if made != plain:
            return f"in_state({ascii(value)}, {state!r}) made {ascii(made)}: not equal"
        back = tarv.parse(got)
        if back != plain:
            return f"parse: {ascii(got)} gave {ascii(back)}"
        if text is not None and tarv.parse(text) != plain:
            return f"parse, text {state}: {ascii(expected)} gave {ascii(tarv.parse(text))}"
    except Exception as e:
        return f"value or text {state}: {e!r}"
    return None


def first_mismatch(states=STATES, offsets=OFFSETS):
    """Runs the matrix over `states`, with `offsets` characters in front of
    short values: (first mismatch or None, cases run)."""
    cases = 0
    for state in states:
        for value, (width, u16) in VALUES.items():
            if why_not(value, state):
                continue
            for offset in offsets if u16 <= 20 else LONG_OFFSETS:
                cases += 1
                mismatch = check(value, state, offset)
                if mismatch:
                    case = f"{width} value of {u16} UTF-16 units after {offset} characters and in a later row"
                    return f"{case}: {mismatch}", cases
            cases += 1
            mismatch = check_big(value, state)
            if mismatch:
                return f"{width} value of {u16} UTF-16 units: {mismatch}", cases
    return None, cases


def main():
    if len(sys.argv) > 1 and os.path.realpath(tarv.__file__) != os.path.realpath(sys.argv[1]):
        return f"imported {tarv.__file__}, not {sys.argv[1]}"
    t0 = time.process_time()
    mismatch, cases = first_mismatch(STATES, FRESH_OFFSETS)
    print(f"{cases} cases in {time.process_time() - t0:.2f} s of CPU")
    return mismatch


if __name__ == "__main__":
    sys.exit(main())  # a fresh process: no pytest needed


# ---- under pytest ------------------------------------------------------------

import pytest  # noqa: E402


def shared_sizes():
    """The sizes of the str objects the interpreter shares: no state may change them."""
    return [sys.getsizeof(chr(i)) for i in range(256)] + [sys.getsizeof("")]


@pytest.mark.parametrize("state", STATES)
def test_state_matrix(state):
    if all(why_not(v, state) for v in VALUES):
        pytest.skip(why_not("ab", state))
    sizes = shared_sizes()
    mismatch, _ = first_mismatch([state])
    assert mismatch is None, mismatch
    assert shared_sizes() == sizes


# A fault that shows in half of all processes passes every one of them with
# a chance of 2**-PROCESSES.
PROCESSES = scaled(20)


def test_state_matrix_in_fresh_processes():
    command = [sys.executable, os.path.abspath(__file__), tarv.__file__]
    pending, running, failures = PROCESSES, [], []
    while pending or running:
        while pending and len(running) < 2:  # two at a time: the machine is shared
            pending -= 1
            running.append(subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                            text=True))
        process = running.pop(0)
        output, _ = process.communicate()
        if process.returncode != 0:
            failures.append(output)
    assert not failures, f"{len(failures)} of {PROCESSES} fresh processes failed; the first:\n{failures[0]}"
