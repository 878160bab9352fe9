"""The benchmark's tables: one generator per shape class.

Every generator takes a `random.Random` of its own and a number of values and
returns a list of rows (lists of str) with exactly that many values. Values
are slices of one long random string, so each is a new str object, in the
narrowest form its characters allow, as a reader of real data would make
it. CPython itself shares '' and the one-character Latin-1 strings, whatever
builds them; nothing else is shared.
"""
import random
import string
from itertools import islice
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


def lengths(rng, n_values, lo, hi):
    return rng.choices(range(lo, hi + 1), k=n_values)


def even_counts(n_values, per_row):
    """Values per row: per_row each, the last row holding what is left."""
    return [per_row] * (n_values // per_row) + ([n_values % per_row] if n_values % per_row else [])


def draw_rows(rng, text, u_lens, counts):
    """Rows of counts[i] values, each a new str: a slice of `text`, of the
    next length in u_lens, at a random offset. Each row is made right after
    its values, as a reader of real data makes them, so values and row lists
    interleave in memory as they would there (which a copy of the values
    pays for: the values of all rows side by side would flatter it)."""
    rand, span, u_len_iter = rng.random, len(text), iter(u_lens)
    return [[text[(o := int(rand() * (span - n))):o + n] for n in islice(u_len_iter, count)]
            for count in counts]


def uniform(mix, per_row, lo, hi):
    """Rows of `per_row` values of lo..hi characters drawn from `mix`."""
    def make(rng, n_values):
        text = pool_for(rng, mix, n_values, hi)
        return draw_rows(rng, text, lengths(rng, n_values, lo, hi), even_counts(n_values, per_row))
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
    return draw_rows(rng, text, u_lens, counts)


def mixed_widths(rng, n_values):
    """Mostly ASCII values; about 4% mostly-CJK values and 1% values where
    a quarter of the characters are emoji, spread over the whole table."""
    texts = [pool_for(rng, [(ASCII, 1)], n_values, SHORT[1]),
             pool(rng, [(CJK, 3), (ASCII, 1)], 1 << 16),
             pool(rng, [(ASCII, 3), (EMOJI, 1)], 1 << 16)]
    spans = [len(text) for text in texts]
    picks = rng.choices(range(3), weights=(95, 4, 1), k=n_values)
    rand, drawn = rng.random, iter(zip(picks, lengths(rng, n_values, *SHORT)))
    return [[texts[pick][(o := int(rand() * (spans[pick] - n))):o + n]
             for pick, n in islice(drawn, count)]
            for count in even_counts(n_values, 10)]


def fresh_words(rng, words):
    """A function drawing one of `words` at random, a new str each time (cut
    from one joined string), as a reader makes one per cell."""
    joined, spans, start = "".join(words), [], 0
    for word in words:
        spans.append((start, start + len(word)))
        start += len(word)
    choice = rng.choice

    def draw():
        a, b = choice(spans)
        return joined[a:b]
    return draw


def numeric(rng, n_values):
    """A typical exported data set: 8 columns of ids, dates, categories,
    counts (5% missing), prices, signed decimals and flags."""
    rand, randint, gauss = rng.random, rng.randint, rng.gauss
    category = fresh_words(rng, ("Electronics", "Clothing", "Grocery", "Toys", "Books", "Garden"))
    status = fresh_words(rng, ("shipped", "pending", "returned", "cancelled"))
    flag = fresh_words(rng, ("true", "false"))
    table = [[str(100_000 + row_idx),
              f"{randint(2010, 2024)}-{randint(1, 12):02d}-{randint(1, 28):02d}",
              category(), status(),
              "" if rand() < 0.05 else str(randint(0, 500)),
              f"{rand() * 1000:.2f}", f"{gauss(0, 3):.4f}", flag()]
             for row_idx in range(-(-n_values // 8))]
    if n_values % 8:
        del table[-1][n_values % 8:]
    return table


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


def make_table(shape, n_values, draw):
    """The table of `shape` with n_values values; the same for the same draw."""
    rng = random.Random(f"{draw}:{shape}:{n_values}")
    return SHAPES[shape].make(rng, n_values)


def make_small_table(n_rows, per_row, draw, value_chars=None):
    """n_rows rows of per_row ASCII values: short ones (1-12 characters), or
    all of value_chars characters."""
    lo, hi = SHORT if value_chars is None else (value_chars, value_chars)
    label = "" if value_chars is None else f"x{value_chars}"
    rng = random.Random(f"{draw}:small:{n_rows}x{per_row}{label}")
    n_values = n_rows * per_row
    text = pool_for(rng, [(ASCII, 1)], n_values, hi)
    return draw_rows(rng, text, lengths(rng, n_values, lo, hi), [per_row] * n_rows)
