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
