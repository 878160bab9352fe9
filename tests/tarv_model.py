"""A small, slow, obviously-correct model of the TARV format, for tests.

The writer is the literal piece-list algorithm; the reader follows the
two reading paths (narrow texts, whose code points are all at most U+FFFF,
and wide texts), including where their error reports differ.
"""

HEX = "0123456789abcdef"
END_OF_INPUT = "Unexpected end of input"


class ModelSyntaxError(Exception):
    """What the reader raises: `message` is the SyntaxError's message."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def u16_len(s):
    """Length in UTF-16 code units: astral code points count 2."""
    return len(s) + sum(1 for ch in s if ord(ch) > 0xFFFF)


def stringify_model(lists, hex_digits=HEX):
    """The text for a table (any iterable of iterables; items go through str())."""
    out = []
    for row in lists:
        for item in row:
            v = item if isinstance(item, str) else str(item)
            l_str = str(u16_len(v))
            out += [hex_digits[len(l_str) - 1], l_str, v]
        out.append(";")
    return "".join(out)


def _bad(ch, position):
    return ModelSyntaxError(f"Unexpected token '{ch}' at position {position}")


def _header_digits(ch):
    """Digits announced by a header character, or None."""
    if "0" <= ch <= "9":
        return ord(ch) - ord("0") + 1
    if "a" <= ch.lower() <= "f" and ch.isascii():
        return ord(ch.lower()) - ord("a") + 11
    return None


def _is_digit(ch):
    return "0" <= ch <= "9"


def parse_model(text):
    """The table for a text, or ModelSyntaxError with the exact message."""
    if not text:
        raise ModelSyntaxError(END_OF_INPUT)
    if any(ord(ch) > 0xFFFF for ch in text):
        return _parse_wide(text)
    return _parse_narrow(text)


def _parse_narrow(text):
    n = len(text)
    out, row, i = [], [], 0
    while True:
        ch = text[i]
        if ch == ";":
            out.append(row)
            if i + 1 == n:
                return out
            row, i = [], i + 1
            continue
        digits = _header_digits(ch)
        if digits is None:
            raise _bad(ch, i)
        start = i + 1 + digits
        if start >= n:  # no room for content and ';'
            raise ModelSyntaxError(END_OF_INPUT)
        length = 0
        for j in range(i + 1, start):
            if not _is_digit(text[j]):
                raise _bad(text[j], j)
            length = length * 10 + int(text[j])
        if start + length >= n:
            raise ModelSyntaxError(END_OF_INPUT)
        row.append(text[start:start + length])
        i = start + length


def _parse_wide(text):
    n = len(text)
    out, row = [], []
    char_idx = u16_idx = 0
    while True:
        ch = text[char_idx]
        if ch == ";":
            out.append(row)
            char_idx += 1
            u16_idx += 1
            if char_idx == n:
                return out
            row = []
            continue
        digits = _header_digits(ch)
        if digits is None:
            raise _bad(ch, u16_idx)
        if n < char_idx + 1 + digits:  # digits reaching the very end are still read
            raise ModelSyntaxError(END_OF_INPUT)
        target = 0
        for k in range(digits):
            d = text[char_idx + 1 + k]
            if not _is_digit(d):
                raise _bad(d, u16_idx + 1 + k)
            target = target * 10 + int(d)
        start = char_idx + 1 + digits
        content_pos = u16_idx + 1 + digits
        char_idx, taken = start, 0
        while taken < target:
            if char_idx >= n:
                raise ModelSyntaxError(END_OF_INPUT)
            taken += 2 if ord(text[char_idx]) > 0xFFFF else 1
            char_idx += 1
        if taken > target:  # the length ends inside an astral character
            low = chr(0xDC00 + (ord(text[char_idx - 1]) & 0x3FF))
            raise _bad(low, content_pos + target)
        if char_idx >= n:
            raise ModelSyntaxError(END_OF_INPUT)
        row.append(text[start:char_idx])
        u16_idx = content_pos + target
