"""Items and helpers shared by the tests (plain Python: the reference-count
script imports them on a debug interpreter without pytest)."""


class Conv:
    """An item whose string conversion runs `action` (if any), then returns `text`."""

    def __init__(self, text, action=None):
        self.text, self.action = text, action

    def __str__(self):
        if self.action:
            self.action()
        return self.text


def gen(xs):
    return (x for x in xs)


def raiser(exc):
    def fail(*args):
        raise exc
    return fail


# Tables of str large enough to be written in one pass into a growing text:
# one whose sampled rows (every 16th) are short, so that the text must grow;
# one that widens three times, at rows the sample does not see; one that
# turns out not to be plain in its last row, after most of its text is
# written; one of long values, which is measured first.
SMILE = "\U0001F600"
_WIDENING = [["a" * 5] * 4] * 300
_WIDENING[1], _WIDENING[151], _WIDENING[299] = ["\xe9"], ["\u4e00", "b"], [SMILE]
PLAIN_TABLES = {
    "growing text": [["s"] if r % 16 == 0 else ["v" * 30] * 8 for r in range(400)],
    "widening text": _WIDENING,
    "not plain at the end": [["a" * 5] * 4] * 300 + [["b", 7]],
    "long values": [["x" * 100] * 3] * 200,
    # Small tables, written first into a buffer of 4096 characters.
    "small, widened to Latin-1 then CJK": [["ab"] * 4, ["\xe9", "c"], ["\u4e00"]],
    "small, beyond the first buffer": [["y" * 1000] * 4, ["\xe9" * 100, "z" * 21]],
    "small, not plain at the end": [["a"] * 3, ["b", 7]],
}
