"""What every test may change and must leave as it found it: the module
attributes the codec reads, and the names it falls back to in the built-ins."""

import builtins
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from tarv_model import END_OF_INPUT, HEX  # noqa: E402

SYNTAX_ERROR = SyntaxError


@pytest.fixture(autouse=True)
def restore_module_attributes():
    yield
    tarv.HEX = HEX
    tarv.ErrUnexpectedEndOfInput = END_OF_INPUT
    vars(tarv).pop("SyntaxError", None)
    for name in ("HEX", "ErrUnexpectedEndOfInput", "__getattr__"):
        vars(builtins).pop(name, None)
    builtins.SyntaxError = SYNTAX_ERROR
