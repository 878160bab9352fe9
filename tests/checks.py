"""Checks shared by the tests: a call's outcome in a comparable form, and
what a text must look like (plain Python, no pytest)."""

import sys
import sysconfig

import tarv
from tarv_model import ModelSyntaxError, parse_model


# A build that runs without the GIL (where stringify reads no row but the
# one it writes, so its text grows by doubling, unmeasured).
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def outcome(fn, *args):
    """('ok', result) or (exception type, message), for the module and the models alike."""
    try:
        return "ok", fn(*args)
    except ModelSyntaxError as e:
        return SyntaxError, e.message
    except Exception as e:
        return type(e), str(e)


def assert_canonical(s):
    """An exact str stored at the narrowest width for its characters."""
    assert type(s) is str
    fresh = "".join([chr(ord(c)) for c in s])
    assert sys.getsizeof(s) == sys.getsizeof(fresh), ascii(s)


def same_as_model(text):
    """parse's outcome for `text`, checked to be the model's."""
    got = outcome(tarv.parse, text)
    assert got == outcome(parse_model, text), ascii(text)
    return got


_SYNTAX_ERROR = SyntaxError  # the class itself, in case a test rebinds the name


def tok(ch, pos):
    """The bad-character message."""
    return f"Unexpected token '{ch}' at position {pos}"


def parse_error(text):
    """The message of the SyntaxError parse raises for `text` (that very class, with the message as its one argument)."""
    try:
        tarv.parse(text)
    except _SYNTAX_ERROR as e:
        assert type(e) is _SYNTAX_ERROR
        assert e.args == (e.msg,)
        return e.msg
    raise AssertionError(f"no SyntaxError for {ascii(text)}")
