"""Items, hostile objects and tables shared by the tests (plain Python: the
reference-count script imports them on a debug interpreter without pytest)."""

import weakref

import tarv


class Conv:
    """An item whose string conversion runs `action` (if any), then returns `text`."""

    def __init__(self, text, action=None):
        self.text, self.action = text, action

    def __str__(self):
        if self.action:
            self.action()
        return self.text


class Tracked(Conv):
    """A conversion item whose instances are tracked, to check none is kept."""

    live = []  # weak references to every instance

    def __init__(self, text, action=None):
        super().__init__(text, action)
        Tracked.live.append(weakref.ref(self))


class Loud(str):
    """A str subclass whose methods must never be called."""

    def _fail(self, *a):
        raise AssertionError("str subclass method called")

    __str__ = __repr__ = __len__ = __iter__ = __getitem__ = __hash__ = __eq__ = __add__ = _fail
    __format__ = __mul__ = __contains__ = encode = join = _fail


class Marked(str):
    """A str subclass, to tell an object apart from equal strings."""


def gen(xs):
    return (x for x in xs)


def raiser(exc):
    def fail(*args):
        raise exc
    return fail


def raising_after(items, exc):
    """A generator of `items` that then raises `exc`."""
    yield from items
    raise exc


class Stop(StopIteration):
    pass


class Walker:
    """An iterable yielding `items`, then raising `end` (default: a
    StopIteration subclass); `on_iter`, if given, is raised by iter()."""

    def __init__(self, items, end=None, on_iter=None):
        self.items, self.end, self.on_iter = list(items), end, on_iter

    def __iter__(self):
        if self.on_iter:
            raise self.on_iter
        return self

    def __next__(self):
        if self.items:
            return self.items.pop(0)
        raise self.end or Stop()


# ---- HEX objects that misbehave --------------------------------------------


class RebindingHex:
    """HEX whose item access rebinds tarv.HEX: to a new instance n times,
    then to `final`."""

    def __init__(self, n, final="ZYXWVUTSRQPONMLK"):
        self.n, self.final = n, final

    def __getitem__(self, k):
        tarv.HEX = RebindingHex(self.n - 1, self.final) if self.n else self.final
        return "<%d:%d>" % (self.n, k)


class SelfDeletingHex:
    """HEX whose item access deletes the module attribute (its last reference)."""

    def __getitem__(self, k):
        del tarv.HEX
        return "<%d>" % k


class RaisingHex:
    """HEX whose item access raises `exc` from index `first` on (else
    returns the default header)."""

    def __init__(self, exc, first=0):
        self.exc, self.first = exc, first

    def __getitem__(self, k):
        if k >= self.first:
            raise self.exc
        return "0123456789abcdef"[k]


# Tables of str whose texts are written into a growing buffer, each in one
# pass. Short rows at a few periods (whatever rows a size guess samples, some
# of these tables make it too low, so that the text must grow), short rows
# first and long ones last; a table that widens three times, at rows far
# apart; one that turns out not to be plain in its last row, after most of
# its text is written; one of long values; and small tables, one with a text
# of tens of thousands of characters after a short first row.
SMILE = "\U0001F600"
_WIDENING = [["a" * 5] * 4] * 300
_WIDENING[1], _WIDENING[151], _WIDENING[299] = ["\xe9"], ["\u4e00", "b"], [SMILE]
PLAIN_TABLES = {
    **{f"growing text, short rows every {period}":
       [["s"] if r % period == 0 else ["v" * 30] * 8 for r in range(400)] for period in (3, 16, 37)},
    "growing text, long rows last": [["s"]] * 300 + [["v" * 30] * 8] * 100,
    "widening text": _WIDENING,
    "not plain at the end": [["a" * 5] * 4] * 300 + [["b", 7]],
    "long values": [["x" * 100] * 3] * 200,
    "small, widened to Latin-1 then CJK": [["ab"] * 4, ["\xe9", "c"], ["\u4e00"]],
    "small, long after the first row": [["y"], ["y" * 1000] * 40, ["\xe9" * 100, "z" * 21]],
    "small, not plain at the end": [["a"] * 3, ["b", 7]],
}
