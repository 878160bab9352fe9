"""How hard the slow tests try. TARV_TEST_EFFORT (a positive number, default
1) scales the number of generated examples and of fresh processes: runs under
emulation or on interpreters built without optimisation pass a fraction, the
main run keeps the full count."""

import os


def _effort():
    text = os.environ.get("TARV_TEST_EFFORT", "1")
    try:
        effort = float(text)
    except ValueError:
        raise ValueError(f"TARV_TEST_EFFORT must be a positive number, not {text!r}") from None
    if not effort > 0:
        raise ValueError(f"TARV_TEST_EFFORT must be a positive number, not {text!r}")
    return effort


EFFORT = _effort()


def scaled(n):
    """The count to use for n at full effort (at least 1)."""
    return max(1, round(n * EFFORT))
