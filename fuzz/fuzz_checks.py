"""The checks of the fuzz targets, run in harness.cpp's embedded interpreter.

The harness decodes the fuzzer's bytes and calls check_parse(text, state) or
check_stringify(outer, hex, rows). Both compare the module with the model of
the format in tests/tarv_model.py and raise AssertionError on a disagreement;
any exception that escapes is a fault, and the harness aborts on it. The
text given to parse and each str item are first put in the state that the
harness's state byte picks (tests/states.py).
"""
import struct

import tarv
from states import in_state, states_for
from tarv_model import HEX, ModelSyntaxError, parse_model, stringify_model

assert tarv.__spec__.origin == "built-in", f"fuzzing {tarv.__file__}, not the linked-in module"

# Item kinds, in harness.cpp's order.
STR, SUB, INT, NONE, FLOAT, REBIND = range(6)


def outcome(function, *args):
    """(result, None) or (None, the exception raised)."""
    try:
        return function(*args), None
    except Exception as error:
        return None, error


def check_exact_table(table, expected):
    """`table` is a list of distinct lists of exact str, equal to `expected`."""
    assert type(table) is list, f"table of type {type(table)}"
    assert all(type(row) is list for row in table), "a row is not a list"
    assert len({id(row) for row in table}) == len(table), "one row list appears twice"
    assert all(type(v) is str for row in table for v in row), "a value is not an exact str"
    assert table == expected, f"table {ascii(table)}\n expected {ascii(expected)}"


def in_picked_state(text, state_byte, exact=False):
    """`text` in the state the byte picks among those that apply to it."""
    states = states_for(text, exact)
    return in_state(text, states[state_byte % len(states)])


def check_parse(text, state_byte):
    # The model reads the text as made: a text in the legacy form stops
    # being in it once anything but the module reads it.
    table, error = outcome(tarv.parse, in_picked_state(text, state_byte, exact=True))
    expected, model_error = outcome(parse_model, text)
    if model_error is not None:
        if not isinstance(model_error, ModelSyntaxError):
            raise model_error  # the model itself is broken
        assert type(error) is SyntaxError and error.args == (model_error.message,), (
            f"parse({ascii(text)}) gave {error!r} (table {ascii(table)}),\n"
            f" the model SyntaxError({model_error.message!r})"
        )
        return
    if error is not None:
        raise AssertionError(f"parse({ascii(text)}) raised {error!r}") from error
    check_exact_table(table, expected)
    # And back: the table's text is the model's and reads back the same.
    again = tarv.stringify(table)
    assert again == stringify_model(table), f"stringify({ascii(table)}) gave {ascii(again)}"
    check_exact_table(tarv.parse(again), expected)


class Sub(str):
    """A str subclass: stringify writes it as it is, without calling str()."""

    def __str__(self):
        raise AssertionError("str() called on a str subclass instance")


class Rebind:
    """An item whose str() rebinds tarv.HEX, from its own header on."""

    def __init__(self, hex):
        self.hex = hex

    def __str__(self):
        tarv.HEX = self.hex
        return "R"


class LiveHex:
    """The model's header digits: tarv.HEX as bound when a header is read."""

    def __getitem__(self, index):
        return tarv.HEX[index]


# Forms of a rebound HEX: the string, its characters (item access), each
# doubled (headers of two characters), and their code points (not strings).
HEX_FORMS = (str, list, lambda s: [c * 2 for c in s], lambda s: [ord(c) for c in s])
# Forms of rows and of the outer collection.
FORMS = (list, tuple, lambda items: (x for x in items), list)


def make_item(kind, payload):
    if kind == SUB:
        return Sub(payload)
    if kind == INT:
        return int.from_bytes(payload, "little", signed=True)
    if kind == NONE:
        return None
    if kind == FLOAT:
        return struct.unpack("<d", payload.ljust(8, b"\0"))[0]
    if kind == REBIND:
        form, text = payload
        return Rebind(HEX_FORMS[form](text))
    text, state_byte = payload
    return in_picked_state(text, state_byte)


def make_table(outer, rows):
    """A new table: generators are used up by one call."""
    return FORMS[outer](FORMS[form]([make_item(*item) for item in items]) for form, items in rows)


def check_stringify(outer, hex, rows):
    try:
        tarv.HEX = HEX if hex is None else hex
        text, error = outcome(tarv.stringify, make_table(outer, rows))
        tarv.HEX = HEX if hex is None else hex
        expected, model_error = outcome(stringify_model, make_table(outer, rows), LiveHex())
    finally:
        tarv.HEX = HEX
    if error is not None or model_error is not None:
        assert (type(error), str(error)) == (type(model_error), str(model_error)), (
            f"stringify gave {error!r} (text {ascii(text)}),\n the model {model_error!r}"
        )
        return
    assert type(text) is str and text == expected, (
        f"stringify gave {ascii(text)}\n the model {ascii(expected)}"
    )
    rebinds = any(kind == REBIND for _, items in rows for kind, _ in items)
    if hex is None and not rebinds and rows:
        table = [[v if isinstance(v, str) else str(v) for v in row] for row in make_table(0, rows)]
        check_exact_table(tarv.parse(text), table)
