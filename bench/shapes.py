"""The benchmark's tables: one generator per shape class.

Every generator takes a seeded `random.Random` and a number of values and
returns a list of rows (lists of str) with exactly that many values. Values
are slices of one long random string, so each is a new str object, in the
narrowest form its characters allow, as a reader of real data would make
it. CPython itself shares '' and the one-character Latin-1 strings, whatever
builds them; nothing else is shared.
"""
import random
import string
from typing import Callable, NamedTuple

ASCII = string.ascii_letters + string.digits + string.punctuation
LETTERS = string.ascii_letters + " "
ACCENTED = "".join(ch for ch in map(chr, range(0xC0, 0x100)) if ch not in "×÷")
CYRILLIC = "".join(map(chr, range(0x0410, 0x0450)))
CJK = "".join(map(chr, range(0x4E00, 0x4E00 + 2000)))
EMOJI = "".join(map(chr, range(0x1F300, 0x1F650)))
SEPARATORS = ";,\"'\n"

SHORT = (1, 12)  # character count of a short value
POOL_CHARS_MAX = 1 << 20


def pool(rng, mix, n_chars):
    """A random string of n_chars drawn from [(alphabet, weight), ...]: each
    alphabet gets its weight's share, spread evenly over its characters."""
    population, cum, total = [], [], 0.0
    for alphabet, weight in mix:
        for ch in alphabet:
            total += weight / len(alphabet)
            population.append(ch)
            cum.append(total)
    return "".join(rng.choices(population, cum_weights=cum, k=n_chars))


def pool_for(rng, mix, n_values, max_len):
    """A pool long enough that values drawn from it rarely overlap much."""
    return pool(rng, mix, min(POOL_CHARS_MAX, max(1 << 12, 2 * n_values * max_len)))


def slices(rng, text, lengths):
    """One new str per length: a slice of `text` at a random offset."""
    rand, span = rng.random, len(text)
    return [text[(o := int(rand() * (span - n))):o + n] for n in lengths]


def lengths(rng, n_values, lo, hi):
    return rng.choices(range(lo, hi + 1), k=n_values)


def rows_of(values, per_row):
    return [values[i:i + per_row] for i in range(0, len(values), per_row)]


def uniform(mix, per_row, lo, hi):
    """Rows of `per_row` values of lo..hi characters drawn from `mix`."""
    def make(rng, n_values):
        text = pool_for(rng, mix, n_values, hi)
        return rows_of(slices(rng, text, lengths(rng, n_values, lo, hi)), per_row)
    return make


def ragged(rng, n_values):
    """Rows of 1-20 values, 10% of rows empty; a quarter of the values are ''."""
    counts, total = [], 0
    while total < n_values:
        count = 0 if rng.random() < 0.1 else rng.randint(1, 20)
        counts.append(min(count, n_values - total))
        total += count
    text = pool_for(rng, [(ASCII, 1)], n_values, SHORT[1])
    u_lens = [0 if rng.random() < 0.25 else n for n in lengths(rng, n_values, *SHORT)]
    values = slices(rng, text, u_lens)
    table, start = [], 0
    for count in counts:
        table.append(values[start:start + count])
        start += count
    return table


def mixed_widths(rng, n_values):
    """Mostly ASCII values; about 4% mostly-CJK values and 1% values where
    a quarter of the characters are emoji, spread over the whole table."""
    texts = [pool_for(rng, [(ASCII, 1)], n_values, SHORT[1]),
             pool(rng, [(CJK, 3), (ASCII, 1)], 1 << 16),
             pool(rng, [(ASCII, 3), (EMOJI, 1)], 1 << 16)]
    picks = rng.choices(range(3), weights=(95, 4, 1), k=n_values)
    u_lens = lengths(rng, n_values, *SHORT)
    drawn = [iter(slices(rng, text, [n for pick, n in zip(picks, u_lens) if pick == text_idx]))
             for text_idx, text in enumerate(texts)]
    return rows_of([next(drawn[pick]) for pick in picks], 10)


def fresh_choices(rng, words, k):
    """k words drawn at random, each a new str (cut from one joined string)."""
    joined, spans, start = "".join(words), [], 0
    for word in words:
        spans.append((start, start + len(word)))
        start += len(word)
    return [joined[a:b] for a, b in rng.choices(spans, k=k)]


def numeric(rng, n_values):
    """A typical exported data set: 8 columns of ids, dates, categories,
    counts (5% missing), prices, signed decimals and flags."""
    n_rows = -(-n_values // 8)
    rand, randint = rng.random, rng.randint
    columns = [
        [str(100_000 + i) for i in range(n_rows)],
        [f"{randint(2010, 2024)}-{randint(1, 12):02d}-{randint(1, 28):02d}"
         for _ in range(n_rows)],
        fresh_choices(rng, ("Electronics", "Clothing", "Grocery", "Toys", "Books", "Garden"),
                      n_rows),
        fresh_choices(rng, ("shipped", "pending", "returned", "cancelled"), n_rows),
        ["" if rand() < 0.05 else str(randint(0, 500)) for _ in range(n_rows)],
        [f"{rand() * 1000:.2f}" for _ in range(n_rows)],
        [f"{rng.gauss(0, 3):.4f}" for _ in range(n_rows)],
        fresh_choices(rng, ("true", "false"), n_rows),
    ]
    values = [v for row in zip(*columns) for v in row][:n_values]
    return rows_of(values, 8)


class Shape(NamedTuple):
    make: Callable  # (rng, n_values) -> table
    about: str
    size: int  # values in a full run
    chars_per_value: float  # mean, to size the sweep
    one_per_row: bool = False
    short_values: bool = True


SHAPES = {
    "short-ascii": Shape(uniform([(ASCII, 1)], 10, *SHORT), "10 per row, ASCII, 1-12 chars",
                         1_000_000, 6.5),
    "long-ascii": Shape(uniform([(ASCII, 1)], 5, 800, 1200), "5 per row, ASCII, 800-1,200 chars",
                        30_000, 1000, short_values=False),
    "emoji-dense": Shape(uniform([(ASCII, 3), (EMOJI, 1)], 10, *SHORT),
                         "10 per row, 1-12 chars, a quarter of them emoji", 1_000_000, 6.5),
    "ragged": Shape(ragged, "0-20 per row (10% empty rows), a quarter '', else ASCII 1-12",
                    1_000_000, 4.9),
    "tall": Shape(uniform([(ASCII, 1)], 1, *SHORT), "1 per row, ASCII, 1-12 chars",
                  1_000_000, 6.5, one_per_row=True),
    "separators": Shape(uniform([(SEPARATORS, 4), (string.digits, 4), (LETTERS, 2)], 10, *SHORT),
                        "10 per row, 1-12 chars, mostly ;,\"' newlines and digits",
                        1_000_000, 6.5),
    "latin1": Shape(uniform([(LETTERS, 3), (ACCENTED, 1)], 10, *SHORT),
                    "10 per row, 1-12 chars, a quarter accented Latin-1", 1_000_000, 6.5),
    "cjk-cyrillic": Shape(uniform([(ASCII, 4), (CYRILLIC, 3), (CJK, 3)], 10, *SHORT),
                          "10 per row, 1-12 chars of ASCII, Cyrillic and CJK", 1_000_000, 6.5),
    "mixed-widths": Shape(mixed_widths, "10 per row, 1-12 chars, ASCII with 4% CJK and 1% emoji "
                          "values", 1_000_000, 6.5),
    "numeric": Shape(numeric, "8 per row: ids, dates, categories, numbers, flags",
                     1_000_000, 6.3),
}


def make_table(shape, n_values, seed):
    """The table of `shape` with n_values values; the same for the same seed."""
    rng = random.Random(f"{seed}:{shape}:{n_values}")
    return SHAPES[shape].make(rng, n_values)


def make_small_table(n_rows, per_row, seed):
    """n_rows rows of per_row short ASCII values."""
    rng = random.Random(f"{seed}:small:{n_rows}x{per_row}")
    n_values = n_rows * per_row
    text = pool_for(rng, [(ASCII, 1)], n_values, SHORT[1])
    return rows_of(slices(rng, text, lengths(rng, n_values, *SHORT)), per_row)
