#!/usr/bin/env python3
"""Writes the starting corpus fuzz/corpus/{parse,stringify}/ in the byte encodings
that fuzz/harness.cpp decodes. Needs tarv importable: some parse inputs are the
texts that tarv.stringify writes for varied tables. State bytes pick a state
(tests/states.py) among those that apply on the interpreter running this.
"""
import math
import shutil
import struct
import sys
from pathlib import Path

FUZZ = Path(__file__).resolve().parent
sys.path.insert(0, str(FUZZ.parent / "tests"))
import tarv  # noqa: E402
from states import EXACT_STATES, STATES, states_for  # noqa: E402
from tarv_model import stringify_model  # noqa: E402

SMILE = "\U0001F600"
WIDE = ["x", "\xe9", "\u4e2d", SMILE, "\ud800", "\udfff"]  # each width, and surrogates


def char_step(ch):
    cp = ord(ch)
    if cp < 0x100 and not (1 <= cp <= 7 or 0x80 <= cp < 0xA0):
        return bytes([cp])
    return bytes([1, cp >> 8, cp & 0xFF]) if cp <= 0xFFFF else bytes([2]) + cp.to_bytes(3, "big")


def steps(s):
    """The decoding steps giving `s`, runs of 8 or more as repeats."""
    out, i = [], 0
    while i < len(s):
        j = i
        while j < len(s) and s[j] == s[i]:
            j += 1
        more = j - i - 1
        out += [char_step(s[i])] * (1 + more if more < 8 else 1)
        if more >= 8:
            out += [bytes([6, more // 64])] * (more >= 64) + [bytes([5, more % 64])] * (more % 64 > 0)
        i = j
    return out


def text(s):
    return b"".join(steps(s))


def counted(s):
    assert len(steps(s)) < 256, s
    return bytes([len(steps(s))]) + text(s)


def state_byte(s, state, exact=False):
    """The byte that puts `s` in `state` (fresh where that does not apply)."""
    states = states_for(s, exact)
    return states.index(state) if state in states else 0


def item(x):
    """str, None, int, float, ("sub", s), ("rebind", form, s) or ("state", state, s)."""
    if isinstance(x, str):
        return b"\0" + counted(x)
    if isinstance(x, tuple) and x[0] == "state":
        return bytes([state_byte(x[2], x[1]) << 3]) + counted(x[2])
    if x is None:
        return b"\5"
    if isinstance(x, int):
        n = x.bit_length() // 8 + 1
        return bytes([4, n]) + x.to_bytes(n, "little", signed=True)
    if isinstance(x, float):
        return b"\6" + struct.pack("<d", x)
    return b"\3" + counted(x[1]) if x[0] == "sub" else bytes([5 | 8 | x[1] << 4]) + counted(x[2])


def table(rows, outer=0, hex=None, forms=()):
    """`forms`: of the rows, in order (0 list, 1 tuple, 2 generator); default lists."""
    out = bytes([outer | 4 * bool(hex)]) + (text(hex) if hex else b"")
    forms = list(forms) + [0] * len(rows)
    return out + b"".join(b"".join(map(item, row)) + bytes([7 | forms[k] << 3]) for k, row in enumerate(rows))


VARIED = [
    [["ab", "c"], []],
    [["hello", ""], ["a;b", SMILE]],
    [["id", "name"], ["1", "Zo\xeb " + SMILE], []],
    [["0", "123", ";;", "01a;", "f9999999999999999"]],
    [[c * n for n in range(18)] for c in WIDE],
    [["x" * 9, "x" * 10, "\xe9" * 99, "\u4e2d" * 100, SMILE * 5, "a" + SMILE * 49 + "b"]],
    [["x" * 999], ["y" * 1000], [SMILE * 500]],
    [["a\ud83d\ude00b", "\udbff", "\U0010ffff" * 3, "\x00\n\t"]],
]

PARSE = {
    "empty": "", "one-row": "02ab01c;", "empty-values": "05hello00;;", "empty-rows": ";;",
    "seventeen-empty-rows": ";" * 17, "semicolon-inside": "03a;b;", "digits-inside": "03123;",
    "upper-header": "A00000000001x;", "leading-zeros": "100;2007abcdefg;",
    "long-value": "30010" + "z" * 10 + ";", "sixteen-nines": "f9999999999999999x;",
    "sixteen-nines-wide": "F9999999999999999" + SMILE + ";", "bad-header": "02ab;x",
    "bad-digit": "0x;", "eof-after-row": "01a;0", "eof-in-value": "02ab01c",
    "narrow-digits-at-end": "02ab;0x", "wide-digits-at-end": "02" + SMILE + ";0x",
    "astral-value": "02" + SMILE + ";", "split-astral": "01" + SMILE + ";",
    "split-astral-late": "05ab" + SMILE + SMILE + ";", "astral-header": SMILE,
    "astral-header-late": "02" + SMILE + ";\U00010030;", "astral-digit": "0\U0001D7CE;",
    "wide-position": "02" + SMILE + ";x", "latin1": "03\xe9\xe8\xff;", "bmp": "02\u4e2d\ud800;0\uff10;",
}

STRINGIFY = {
    "no-rows": table([]), "one-empty-row": table([[]]), "seventeen-empty-rows": table([[]] * 17),
    "conversions": table([[1, None, 2.5, -0.0, math.inf, math.nan, 5e-324, 1e300]]),
    "big-ints": table([[0, -1, 2**63, -(2**127), 10**30]]),
    "forms": table([["a", "b"], [SMILE], ["c"], []], outer=1, forms=(1, 2, 0, 2)),
    "generators": table([["x" * 12, "\xe9"], ["\u4e2d"]], outer=2, forms=(2, 1)),
    "subclass": table([[("sub", c * n) for n in (0, 1, 3, 12, 17, 40)] for c in WIDE]),
    "mixed-widths": table([["a", ("sub", "\xe9"), "\u4e2d" * 3, 7, SMILE, "\udc00"]]),
    "hex-custom": table([["a", "b" * 10]], hex="ZYXWVUTSRQPONMLK"),
    "hex-wide": table([["a" * 12, SMILE]], hex="0123456789abcd\u4e2d" + SMILE),
    "rebind": table([[("rebind", 0, "ZYXWVUTSRQPONMLK"), "a", ("rebind", 0, SMILE * 16), "b" * 10]]),
    "rebind-forms": table([[("rebind", 1, "0123"), "a"], [("rebind", 2, "pq"), "b" * 10]]),
    "rebind-short": table([[("rebind", 0, "Z"), "a", "b" * 10]]),
    "rebind-not-str": table([[("rebind", 3, "0123"), "a", ("rebind", 0, "x" * 16), "b"]]),
    # Short 4-byte values after 20 characters, and every width, in each state.
    "states": table([["x" * 20, ("state", state, SMILE), ("state", state, "\u4e2d" + SMILE)] for state in STATES]),
    "states-widths": table([[("state", state, c * n) for n in (1, 3, 12) for c in WIDE] for state in STATES]),
}


def in_states(rows):
    """The table's str values in each state in turn."""
    states = iter(STATES * sum(map(len, rows)))
    return [[("state", next(states), x) if isinstance(x, str) else x for x in row] for row in rows]


def write(target, inputs):
    directory = FUZZ / "corpus" / target
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    for name, data in inputs.items():
        (directory / name).write_bytes(data)
    print(f"{directory}: {len(inputs)} inputs")


def parse_input(s, k):
    """The text `s`, in the k-th state that a text can be in."""
    return bytes([state_byte(s, EXACT_STATES[k % len(EXACT_STATES)], exact=True)]) + text(s)


def main():
    parse = {name: parse_input(s, k) for k, (name, s) in enumerate(PARSE.items())}
    for k, state in enumerate(EXACT_STATES):
        parse[f"state-{state}"] = parse_input("120" + "x" * 20 + "02" + SMILE + ";", k)
    for k, rows in enumerate(VARIED):
        written = tarv.stringify(rows)
        assert written == stringify_model(rows) and tarv.parse(written) == rows, rows
        parse[f"stringify-{k}"] = parse_input(written, k)
        STRINGIFY[f"table-{k}"] = table(in_states(rows))
    write("parse", parse)
    write("stringify", STRINGIFY)


if __name__ == "__main__":
    main()
