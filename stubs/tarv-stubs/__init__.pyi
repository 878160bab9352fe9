"""Type information for the tarv extension module."""

from collections.abc import Iterable
from types import ModuleType
from typing import Any

__all__: list[str]

# Header characters of the writer, indexed by the number of length digits
# minus one; may be rebound (to any indexable object).
HEX: Any
# Message of the reader's end-of-input SyntaxError; may be rebound.
ErrUnexpectedEndOfInput: Any
# Name of the native-order UTF-16 codec: "utf-16-le" or "utf-16-be".
UTF16_CODEC: str
sys: ModuleType

def stringify(lists: Iterable[Iterable[object]]) -> str:
    """Serialize a 2D iterable of strings into a TARV string."""

def parse(tarv: str) -> list[list[str]]:
    """Parse a TARV string into a 2D list of strings."""
