"""The limits: the largest lengths a header can declare, tables and texts of
tens of millions of values and hundreds of megabytes with the memory they
take, and running out of memory (an address space too small, each
allocation failing in turn)."""

import os
import platform
import resource
import sys
import tracemalloc

import pytest
from hypothesis import example, given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from checks import FREE_THREADED, same_as_model  # noqa: E402
from effort import scaled  # noqa: E402
from items import PLAIN_TABLES, SMILE  # noqa: E402
from processes import SANITIZED, address_space_capped, run_fresh, run_in_address_space, run_measured  # noqa: E402
from tarv_model import END_OF_INPUT, HEX, stringify_model, u16_len  # noqa: E402

try:
    import _testcapi
except ImportError:
    _testcapi = None

S = tarv.stringify


# ---- declared lengths ------------------------------------------------------------

PREFIXES = {"1-byte": "", "2-byte": "01\u0436", "wide": "02" + SMILE}
HEADERS = "0123456789abcdefABCDEF"


@pytest.mark.parametrize("prefix", list(PREFIXES.values()), ids=list(PREFIXES))
@pytest.mark.parametrize("header", list(HEADERS))
def test_largest_declared_length_of_each_header(prefix, header):
    nines = "9" * (int(header, 16) + 1)  # 16 nines for 'f' and 'F'
    for tail in ["", ";", "x;", "x" * 50 + ";", ";" * 20, "\u4e00" * 30 + ";", SMILE * 30 + ";"]:
        for text in (prefix + header + nines + tail, prefix + ";" + header + nines + tail):
            got = same_as_model(text)
            if u16_len(tail) <= int(nines):  # no room for the content and its ';'
                assert got == (SyntaxError, END_OF_INPUT), ascii(text)
    if len(nines) <= 2:  # lengths that a short text can satisfy, the last unit astral
        content = "x" * (int(nines) - 2) + SMILE
        expected = [[prefix[2:], content] if prefix else [content]]
        assert same_as_model(prefix + header + nines + content + ";") == ("ok", expected)


# ---- very large inputs, with the memory they take -------------------------------


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_stringify_ten_million_values():
    run_measured("""
        table = [["abc"] * 10] * 1_000_000
        text, growth, seconds = measured(tarv.stringify, table)
        row = "03abc" * 10 + ";"
        assert type(text) is str and len(text) == 51_000_000
        assert text[:51] == text[25_500_000:25_500_051] == text[-51:] == row
        assert text == row * 1_000_000
        size = sys.getsizeof(text)
        assert size == sys.getsizeof(row * 1_000_000)
        # the text, plus what is kept per value while walking (a word each)
        check_memory("stringify", growth, size, seconds, 4)
    """)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_parse_ten_million_values():
    run_measured("""
        text = ("03abc" * 10 + ";") * 1_000_000
        table, growth, seconds = measured(tarv.parse, text)
        assert type(table) is list and len(table) == 1_000_000
        assert table[0] == table[-1] == table[543_210] == ["abc"] * 10
        assert table[0] is not table[1] and table[0][0] is not table[0][1]
        assert table == [["abc"] * 10] * 1_000_000
        size = (sys.getsizeof(table) + len(table) * sys.getsizeof(table[0])
                + 10_000_000 * sys.getsizeof(table[0][0]))
        check_memory("parse", growth, size, seconds, 1.5)
    """)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("ch, blocks", [("x", 20), (SMILE, 10)], ids=["1-byte", "wide"])
def test_parse_200_megabytes(ch, blocks):
    run_measured(f"""
        ch, blocks = {ch!r}, {blocks}
        units = 2 if ord(ch) > 0xFFFF else 1
        small, big = ch * (100 // units), ch * (10_000_000 // units)
        block = (("2100" + small) * 10 + ";") * 100 + "710000000" + big + ";"
        text = block * blocks
        assert 190e6 < sys.getsizeof(text) < 210e6
        del big
        table, growth, seconds = measured(tarv.parse, text)
        assert len(table) == 101 * blocks
        for b in range(blocks):
            assert table[101 * b] == table[101 * b + 99] == [small] * 10
            assert len(table[101 * b + 100]) == 1
            value = table[101 * b + 100][0]
            assert len(value) == 10_000_000 // units and value[0] == value[-1] == ch
            assert value == ch * len(value)
        size = sys.getsizeof(table) + sum(sys.getsizeof(row) + sum(map(sys.getsizeof, row)) for row in table)
        check_memory("parse", growth, size, seconds, 1.25)
    """)


# ---- the memory stringify holds beyond its result -----------------------------------


def rows_at(n_rows, indexes, row, other, first=()):
    """n_rows rows: `row` at the given indexes, else `other`; `first` in front."""
    first = list(first)
    return first + [row if r in indexes else other for r in range(len(first), n_rows)]


def widened_last(n_rows, last):
    """Rows of short ASCII values whose very last value is `last`."""
    return [["abcdefghij"] * 5] * (n_rows - 1) + [["abcdefghij"] * 4 + [last]]


# Tables whose first rows, or the rows a sample would read, say little about
# the rest, and tables widened at their very end.
MEMORY_TABLES = {
    "short_ascii": lambda: [["abcdefghij"] * 5] * 100_000,
    # Long rows only at every k-th row: for some k, only where a size guess
    # samples (it must not reserve for a table of long rows).
    **{f"long_rows_every_{k}": (lambda k=k: rows_at(100_000, set(range(0, 100_000, k)), ["x" * 59] * 20, []))
       for k in (1_000, 3_125, 7_919)},
    "long_rows_early_then_short": lambda: rows_at(20_000, set(range(1, 41)), ["y" * 20_000], [""]),
    # As above, then widened (to the same one byte per character) right after
    # the long rows: the wider text is given room for a rest judged by them.
    "long_rows_early_then_latin1": lambda: (
        rows_at(41, set(range(1, 41)), ["y" * 50_000], [""]) + [["\xe9"]] + [[""]] * 19_958
    ),
    "latin1_last": lambda: widened_last(100_000, "\xe9"),
    "cjk_last": lambda: widened_last(100_000, "\u4e00"),
    "emoji_last": lambda: widened_last(100_000, "\U0001f600"),
    # The rows written first (long values, then short ones) and a sample of
    # those to come (rows amid each of 32 equal parts hold 10,000
    # characters) disagree, and together suggest a text many times longer
    # than the one written (most rows are empty).
    "disagreeing_figures": lambda: rows_at(
        20_000, {(2 * s + 1) * 20_000 // 64 for s in range(32)}, ["s" * 10_000],
        [], first=[["x" * 110_000]] * 10 + [["f" * 100]] * 990,
    ),
}


@pytest.mark.parametrize("name", list(MEMORY_TABLES))
def test_peak_memory_beyond_result(name):
    """A guessed size may hold room beyond the text, but never more than about
    the text itself (or a first size of 4M characters); widening holds the
    narrower text while the wider one is written."""
    table = MEMORY_TABLES[name]()
    S([["warm"]])  # the HEX lookup is remembered from here on
    tracemalloc.start()
    try:
        result = S(table)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    size = sys.getsizeof(result)
    assert result == stringify_model(table)
    widest = ord(max(result))
    char_size = 1 if widest < 0x100 else 2 if widest < 0x10000 else 4
    bound = max(size, (1 << 22) * char_size) + (1 << 16)
    if FREE_THREADED:  # the text doubles: at most twice the result and a megabyte
        bound = 2 * size + (1 << 20)
    assert peak - current <= bound, f"{peak - current} bytes beyond a result of {size}"


# ---- running out of memory ------------------------------------------------------------


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or SANITIZED,
                    reason="needs /proc, and an allocator that honours the address-space limit")
def test_memory_exhaustion_midway():
    # With the address space capped, both functions run out of memory part of
    # the way through: MemoryError, everything made so far released, the
    # collector's state kept, and the module still working afterwards.
    out = run_in_address_space(20_000_000, """
        import gc, sys, tarv
        text = (("2100" + "x" * 100) * 100 + ";") * 2000   # 20 MB; its table takes 30 MB
        table = [["y" * 1_000_000] * 30]
    """, """
        # The first pass fills the interpreter's free lists (which keep up to
        # 80 released lists, for one), so only the later passes count blocks.
        for attempt, enabled in enumerate((True, True, False, True)):
            gc.enable() if enabled else gc.disable()
            for fn, arg in ((tarv.parse, text), (tarv.stringify, table)):
                blocks = sys.getallocatedblocks()
                try:
                    fn(arg)
                except MemoryError as e:
                    assert type(e) is MemoryError
                else:
                    raise AssertionError(fn.__name__ + ": no MemoryError")
                e = None
                assert gc.isenabled() is enabled
                if attempt:
                    assert sys.getallocatedblocks() - blocks < 50, sys.getallocatedblocks() - blocks
        assert tarv.parse(text[:10401]) == [["x" * 100] * 100]
        assert tarv.stringify([["a"]]) == "01a;"
        print("ok")
    """)
    assert out == "ok\n"


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or SANITIZED,
                    reason="needs /proc; the sanitizer's allocator maps memory its own way")
def test_guessed_size_too_large_for_memory_is_not_an_error():
    # The size a large table's text is first given comes from a sample of its
    # rows; these sampled rows hold 50 emoji, the others nothing. Joining the
    # pieces needs 8 MB, well within the limit; a text sized by the sample
    # would not fit, and must not make the call fail.
    out = run_in_address_space(200_000_000, """
        import tarv
        n = 2_000_000
        rows = [[] for _ in range(n)]
        for s in range(32):
            rows[s * n // 32] = ["\U0001F600" * 50]
        tarv.stringify([["warm"]])
    """, """
        text = tarv.stringify(rows)
        assert text == ("2100" + "\U0001F600" * 50 + ";" + ";" * (n // 32 - 1)) * 32, len(text)
        print("ok")
    """)
    assert out == "ok\n"


@pytest.mark.skipif(not hasattr(_testcapi, "set_nomemory"), reason="needs _testcapi.set_nomemory")
@pytest.mark.parametrize("name", list(PLAIN_TABLES))
def test_allocation_failures_while_writing_a_large_table(name):
    # Each allocation in turn fails, once: the call gives the text or a
    # MemoryError, and nothing it made is left behind.
    table = PLAIN_TABLES[name]
    expected = stringify_model(table)
    tarv.stringify([["warm"]])
    tracemalloc.start()
    try:
        for attempt in range(2):
            before = tracemalloc.get_traced_memory()[0]
            for nth in range(1, 40):
                _testcapi.set_nomemory(nth, nth + 1)
                try:
                    result = tarv.stringify(table)
                except MemoryError:
                    result = None
                finally:
                    _testcapi.remove_mem_hooks()
                assert result is None or result == expected, nth
                result = None
            if attempt:  # the first pass may fill free lists
                assert tracemalloc.get_traced_memory()[0] - before < 10_000
    finally:
        tracemalloc.stop()


@pytest.mark.skipif(sys.maxsize >= 2**32, reason="a text longer than sys.maxsize needs a 32-bit machine")
def test_join_errors_in_piece_order_where_the_text_is_too_long():
    # A non-str header for the last value, after pieces too long together:
    # joining the pieces fails at the first bad piece, the one too many
    # (unless the memory for the text runs out first).
    class Hex:
        def __getitem__(self, k):
            return 5 if k == 0 else HEX[k]
    big = "x" * 2**20
    tarv.HEX = Hex()
    with pytest.raises((OverflowError, MemoryError)) as info:
        tarv.stringify([[big] * 2100, ["a"]])
    if info.type is OverflowError:
        assert str(info.value) == "join() result is too long for a Python string"
    with pytest.raises(TypeError, match="sequence item 0: expected str instance, int found"):
        tarv.stringify([["a"], [big] * 2100])


# ---- the memory stringify holds, whatever the order of long and short rows ----------
#
# However the rows are ordered, the call holds at most twice its result
# beyond it, and a megabyte: rows written first, and rows a sample reads,
# may say little about the rest.


def held_beyond_result(table):
    """stringify's text for `table`, and the most memory the call held beyond
    it (the address space capped meanwhile, 2 GiB more than is mapped)."""
    S([["warm"]])  # the HEX lookup is remembered from here on
    tracemalloc.start()
    try:
        with address_space_capped(2 << 30):
            text = S(table)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return text, peak - current


def allowed_beyond(text):
    return 2 * sys.getsizeof(text) + (1 << 20)


def spread_out(n_rows, n_long, long_row, where):
    """n_rows rows, n_long of them `long_row` and the others empty: first,
    last, in runs where a sample spread over the rows does not look (the
    start of each of 32 equal parts; it reads their middles), only where it
    does look, or one in every n_rows // n_long rows."""
    if where == "first":
        return [long_row] * n_long + [[]] * (n_rows - n_long)
    if where == "last":
        return [[]] * (n_rows - n_long) + [long_row] * n_long
    if where == "unsampled":
        run = max(1, n_long // 32)
        at = {p * n_rows // 32 + k for p in range(32) for k in range(run)}
    elif where == "sampled":
        at = {(2 * p + 1) * n_rows // 64 for p in range(32)}
    else:
        at = set(range(0, n_rows, max(1, n_rows // n_long)))
    return [long_row if r in at else [] for r in range(n_rows)]


@settings(max_examples=scaled(20), deadline=None)
@given(st.sampled_from(["first", "last", "unsampled", "sampled", "periodic"]),
       st.integers(1, 2_500), st.integers(500, 5_000), st.integers(10_000, 300_000),
       st.sampled_from(["x", "\xe9", "\u4e00", SMILE]))
@example("first", 1_100, 4_000, 300_000, "x")  # the rows written size the rest
def test_memory_held_whatever_the_order_of_the_rows(where, n_long, value_len, n_other, char):
    table = spread_out(n_long + n_other, n_long, [char * value_len], where)
    text, beyond = held_beyond_result(table)
    assert text == stringify_model(table)
    assert beyond <= allowed_beyond(text), f"{beyond} bytes beyond a result of {sys.getsizeof(text)}"


@pytest.mark.parametrize("period", [2, 3, 5, 17, 64, 1000])
def test_memory_held_for_periodic_rows(period):
    # A long row, then rows of short values, then empty ones, repeated.
    pattern = [["y" * 500] * 2] + [["s" * 8] * 5] * (period // 2) + [[]] * (period - 1 - period // 2)
    table = pattern * (10_000 // period)
    text, beyond = held_beyond_result(table)
    assert text == stringify_model(table)
    assert beyond <= allowed_beyond(text), f"{beyond} bytes beyond a result of {sys.getsizeof(text)}"


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or SANITIZED,
                    reason="needs /proc, and an allocator that honours the address-space limit")
@pytest.mark.parametrize("n_empty", [1_000_000, 5_000_000])
def test_long_rows_then_millions_of_empty_ones(n_empty):
    # 3,000 rows of 10,000 characters, then millions of empty rows: what the
    # written rows hold per row says nothing of the rest. The text is 35 MB
    # at most; the address space is capped so that a text reserved for the
    # rows written fails rather than takes the machine's memory.
    out = run_in_address_space(4 << 30, f"""
        import sys, tracemalloc, tarv
        from tarv_model import stringify_model
        table = [["v" * 10_000]] * 3000 + [[]] * {n_empty}
        expected = stringify_model(table[:1]) * 3000 + ";" * {n_empty}
        tarv.stringify([["warm"]])
    """, """
        tracemalloc.start()
        try:
            text = tarv.stringify(table)
        except MemoryError:
            print("MemoryError")
            sys.exit()
        current, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        size = sys.getsizeof(text)
        print("text" if text == expected else "wrong text", peak - current, 2 * size + (1 << 20))
    """)
    assert out.split()[0] == "text", out
    beyond, allowed = map(int, out.split()[1:])
    assert beyond <= allowed, f"{beyond} bytes beyond the result, at most {allowed}"


@pytest.mark.skipif(sys.maxsize >= 2**32, reason="lengths past 2**27 overflow only a 32-bit size")
def test_text_of_more_than_2_to_the_27_characters_grown_on_an_estimate():
    # Few rows written and a sample of the rest (empty) disagree: the text
    # grows on an estimate capped by a multiple of what it holds, past
    # 2**27 characters, where sixteen times that no longer fits 32 bits.
    row = ["x" * 2**18]
    table = [row] * 600 + [[]] * 20_000
    text = S(table)
    assert len(text) == 600 * (2**18 + 8) + 20_000
    assert text == stringify_model([row]) * 600 + ";" * 20_000


# ---- fresh pages at every call ------------------------------------------------------

PAGE_FAULTS = """
import resource, sys, tarv
# The program's own values, held while it calls: other large blocks in its heap.
values = ["%08d" % k for k in range(1_000_000)]
table = [values[r * 10:r * 10 + 10] for r in range(100_000)]
if {late}:
    table.append((1,))
def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt
text = None
for _ in range(3):
    text = tarv.stringify(table)  # the text before is held while the next one is made
before = minor_faults()
for _ in range(10):
    text = tarv.stringify(table)
print((minor_faults() - before) / 10, sys.getsizeof(text))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator maps memory its own way")
@pytest.mark.skipif(FREE_THREADED, reason="without the GIL the text grows by doubling and is cut")
def test_late_non_str_item_takes_no_fresh_pages_at_every_call():
    # 100,000 rows of ten 8-character values, and a last row (1,) that the
    # tight loop cannot write: called again and again, the call takes no
    # more fresh pages than for the same table without that row. (On 64-bit
    # machines glibc's allocator hands the plain table's text the block the
    # text before it left, cut to size: a text sized short and grown at its
    # end takes fresh pages every time. On 32-bit ones it maps blocks this
    # large afresh at every call.)
    plain, size = map(float, run_fresh(PAGE_FAULTS.format(late=False)).split())
    late, _ = map(float, run_fresh(PAGE_FAULTS.format(late=True)).split())
    text_pages = size / resource.getpagesize()
    if platform.libc_ver()[0] == "glibc" and sys.maxsize > 2**32:
        assert plain <= text_pages / 4, f"{plain} page faults a call, of a {size:.0f}-byte text"
    assert late <= plain + text_pages / 16, f"{late} page faults a call against {plain}, of a {size:.0f}-byte text"
