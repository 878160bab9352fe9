"""Hostile inputs: conversions, iterators and HEX objects that change what is
being walked or read, odd end-of-input messages, threads, extreme declared
lengths, every header character, and very large inputs."""

import builtins
import gc
import os
import re
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
import weakref

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from items import PLAIN_TABLES, Conv, RaisingHex, RebindingHex, SelfDeletingHex, raiser, raising_after  # noqa: E402
from tarv_model import END_OF_INPUT, HEX, ModelSyntaxError, parse_model, stringify_model, u16_len  # noqa: E402

try:
    import _testcapi
except ImportError:
    _testcapi = None

S, P = tarv.stringify, tarv.parse
SMILE = "\U0001F600"
TESTS = os.path.dirname(os.path.abspath(__file__))
# Under AddressSanitizer (tools/sanitize) memory figures say nothing about the module.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(autouse=True)
def restore_attributes():
    yield
    tarv.HEX = HEX
    tarv.ErrUnexpectedEndOfInput = END_OF_INPUT
    for name in ("HEX", "ErrUnexpectedEndOfInput", "__getattr__"):
        vars(builtins).pop(name, None)


class Item(Conv):
    """A conversion item whose instances are tracked, to check none is kept."""

    live = []  # weak references to every instance

    def __init__(self, text, action=None):
        super().__init__(text, action)
        Item.live.append(weakref.ref(self))


def outcome(fn, *args):
    """('ok', result) or (exception type, message), for the module and the models alike."""
    try:
        return "ok", fn(*args)
    except ModelSyntaxError as e:
        return SyntaxError, e.message
    except Exception as e:
        return type(e), str(e)


def read_hex():
    """HEX as looked up by name: the module's namespace, then the built-ins."""
    ns = vars(tarv)
    if "HEX" in ns:
        return ns["HEX"]
    try:
        return getattr(builtins, "HEX")
    except AttributeError:
        raise NameError("name 'HEX' is not defined") from None


def live_model(lists):
    """The literal piece-list algorithm, reading HEX after each item's conversion."""
    pieces = []
    for row in lists:
        for item in row:
            v = item if isinstance(item, str) else str(item)
            l_str = str(u16_len(v))
            pieces += [read_hex()[len(l_str) - 1], l_str, v]
        pieces.append(";")
    return "".join(pieces)


# ---- hostile conversions, iterators and HEX objects ---------------------------
#
# Each case builds a fresh table (setting HEX as it needs); the module and the
# model each get their own copy, so every side effect happens to both alike.


def case_grow_reallocating():
    row = ["a", None, "d"]
    row[1] = Item("b", lambda: row.extend(["c" * (k % 13) for k in range(3000)]))
    return [row, row]  # walked twice: it grows again during the second walk


def case_shrink_below_index():
    row = ["a", "b", None, "c", "d"]
    row[2] = Item("x", lambda: row.__delitem__(slice(1, None)))
    return [row, ["e"]]


def case_clear_and_refill():
    row = ["a", None, "b"]
    row[1] = Item("x", lambda: row.__setitem__(slice(None), [Item("r%d" % k) for k in range(5)]))
    return [row]


def case_move_between_rows():
    first, second = ["a", None, "b"], ["c"]
    first[1] = Item("x", lambda: (second.extend(first), first.clear()))
    return [first, second]


def case_insert_in_front_via_iterators():
    row = ["a", None, "b"]
    row[1] = Item("x", lambda: len(row) < 7 and row.insert(0, Item("i")))
    return iter([iter(row), (v for v in row), row])


def case_grow_outer_reallocating():
    outer = [["a", None]]
    outer[0][1] = Item("x", lambda: outer.extend([["r"], ("t", 1)] * 500))
    return outer


def case_replace_current_and_collect():
    row = [None, "b"]
    row[0] = Item("x", lambda: (row.__setitem__(0, "gone"), row.append("z"), gc.collect()))
    return [row]


def case_dict_changed():
    d = {"k": 0}
    d[Item("x", lambda: d.__setitem__("n", 1))] = 0
    return [["a"], d]


def case_generator_raises_stopiteration():
    def rows():
        yield ["a"]
        raise StopIteration  # becomes RuntimeError
    return rows()


def case_iterators_raise_after_items():
    def items(k, exc):
        yield from ["v%d" % i for i in range(k)]
        raise exc
    tarv.HEX = list(HEX)
    return [["a"], items(40, ValueError("row")), ["never"]]


def case_outer_raises_after_rows():
    def rows():
        yield ["a", Item("b", lambda: setattr(tarv, "HEX", "Q" * 16))]
        yield ("c",)
        raise LookupError("outer")
    return rows()


def case_str_returns_non_str():
    return [["a", Item(5)]]


def case_reentrant_calls():
    def inner():
        assert S([["in", Item("y", lambda: setattr(tarv, "HEX", "Z" * 16))]]) == "02inZ1y;"
        assert P("01a;") == [["a"]]
    return [["a", Item("x", inner), "b" * 10]]


def case_hex_str_to_list_and_back():
    def flip():
        tarv.HEX = ["<%d>" % k * 20 for k in range(16)] if type(tarv.HEX) is str else HEX
    return [["a", Item("x", flip), "b" * 10, "c"], [Item("y", flip), "d"], ["e" * 100]]


def case_list_hex_first_then_str():
    tarv.HEX = ["<%d>" % k for k in range(16)]
    return [["a", Item("x", lambda: setattr(tarv, "HEX", "ZYXWVUTSRQPONMLK")), "b" * 10]]


def case_hex_rebinds_itself():
    tarv.HEX = RebindingHex(3)
    return [["a", "b" * 10, "c"], [Item("d"), "e" * 100, "f"]]


def case_hex_deletes_itself():
    tarv.HEX = SelfDeletingHex()
    return [["a", "b"]]


def case_hex_deletes_itself_with_builtin():
    builtins.HEX = ["B%d" % k for k in range(16)]
    tarv.HEX = SelfDeletingHex()
    return [["a", "b" * 10], [Item("c", lambda: setattr(tarv, "HEX", SelfDeletingHex())), "d"]]


def case_hex_from_builtins_getattr():
    del tarv.HEX
    served = []

    def getattr_(name):
        if name != "HEX":
            raise AttributeError(name)
        served.append(1)
        return HEX if len(served) % 2 else ["<%d>" % k for k in range(16)]
    builtins.__getattr__ = getattr_
    return [["a", "b", "c" * 10], ["d"]]


def case_hex_item_access_raises_later():
    def header(k):
        if k == 2:
            raise MemoryError("hex")
        return HEX[k]
    tarv.HEX = type("H", (), {"__getitem__": lambda self, k: header(k)})()
    return [["a", "b" * 10], ["c" * 100]]


def case_hex_non_str_then_rebound():
    tarv.HEX = [b"0"] + ["<%d>" % k for k in range(1, 16)]
    return [["a" * 10, "b", Item("c", lambda: setattr(tarv, "HEX", "Q" * 16)), "d"]]


HOSTILE = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_table_matches_model(name):
    Item.live.clear()
    got = outcome(S, HOSTILE[name]())
    tarv.HEX = HEX
    vars(builtins).pop("HEX", None)
    vars(builtins).pop("__getattr__", None)
    expected = outcome(live_model, HOSTILE[name]())
    assert got == expected
    if got[0] == "ok":
        assert sys.getsizeof(got[1]) == sys.getsizeof("".join(list(got[1])))  # narrowest storage
    got = expected = None
    gc.collect()
    assert [ref for ref in Item.live if ref() is not None] == []


def run_fresh(code, env=None):
    """Runs `code` in a new interpreter: damage to memory shows there, at the
    latest when the objects involved are freed, without taking pytest down."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, cwd=TESTS, env=env and {**os.environ, **env})
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-2000:]}"
    return proc.stdout


def test_empty_header_for_first_value_then_str_hex():
    # The first value's header is an empty piece; a later value rebinds HEX to
    # a str. The text must be exactly right and nothing written outside it.
    assert run_fresh("""
        import gc, tarv
        class Item:
            def __str__(self):
                tarv.HEX = "0123456789abcdef"
                return "b"
        for hex_value in ([""] * 16, {0: "", 1: ""}):
            tarv.HEX = hex_value
            result = tarv.stringify([["a", Item()]])
            assert result == "1a01b;", repr(result)
            del result
            gc.collect()
        print("ok")
    """) == "ok\n"


def test_release_of_previous_hex_changes_the_row():
    # The previous HEX is released when the serializer takes up the new one;
    # its finalizer clears the row about to be walked. The row is then walked
    # as it is at each step: ended at some point, never read past its end.
    out = run_fresh("""
        import tarv
        row = ["s" * 5] * 1000
        class Dying:
            def __getitem__(self, k):
                return "0123456789abcdef"[k]
            def __del__(self):
                row.clear()
        def rows():
            yield ["a", "b"]             # headers from Dying, through item access
            tarv.HEX = "0123456789abcdef"
            tarv.stringify([["x"]])      # HEX is looked up afresh: the new one is served
            yield row
        tarv.HEX = Dying()
        print(tarv.stringify(rows()))
    """)
    assert re.fullmatch(r"01a01b;(05s{5})*;\n", out), out[:200]


class Marked(str):
    pass


MARK = Marked("m" * 20)  # a str item: referenced by the serializer while it walks
TEXT = "t" * 30          # what Item(TEXT) converts to


@pytest.mark.parametrize("exc_type", [MemoryError, KeyboardInterrupt])
@pytest.mark.parametrize("where", ["first_str", "late_str", "row_iterator", "outer_iterator", "hex_item"])
def test_fatal_exceptions_propagate_and_release(exc_type, where):
    refs = sys.getrefcount(MARK), sys.getrefcount(TEXT)
    exc = exc_type("from " + where)

    def rebind(value):
        return lambda: setattr(tarv, "HEX", value)

    many = [MARK, Item(TEXT)] * 500
    table = {
        "first_str": [[Item("", raiser(exc)), MARK]],
        "late_str": [many, [Item(TEXT, rebind(list(HEX)))] + many,
                     [Item(TEXT, rebind("Q" * 16))] + many, [Item("", raiser(exc))]],
        "row_iterator": [many, raising_after(many, exc)],
        "outer_iterator": raising_after([many, many], exc),
        "hex_item": [many, [Item(TEXT, rebind(RaisingHex(exc, first=1)))], ["never"]],
    }[where]
    with pytest.raises(exc_type) as info:
        S(table)
    assert info.value is exc and exc.__context__ is None and exc.__cause__ is None
    exc = info = table = many = None  # the traceback holds the generators' frames
    gc.collect()
    assert (sys.getrefcount(MARK), sys.getrefcount(TEXT)) == refs


# ---- values of the module attributes -------------------------------------------


class BadRepr:
    def __repr__(self):
        raise RuntimeError("repr")

    __str__ = __repr__


class MessageStr(str):
    def __str__(self):
        raise AssertionError("str subclass method called")

    __repr__ = __format__ = __str__


ODD_MESSAGES = {"None": None, "int": 7, "bigint": 10 ** 40, "bad_repr": BadRepr(),
                "str_subclass": MessageStr("sub"), "huge": "m" * 10_000_000, "tuple": ("a", 1),
                "empty": ""}


@pytest.mark.parametrize("text", ["", "0", "02ab", "01\u0436;0", "02" + SMILE + ";0", "03" + SMILE + ";"])
@pytest.mark.parametrize("name", list(ODD_MESSAGES))
def test_end_of_input_message_passed_unchanged(name, text):
    message = ODD_MESSAGES[name]
    tarv.ErrUnexpectedEndOfInput = message
    try:
        P(text)
    except SyntaxError as e:
        assert type(e) is SyntaxError and len(e.args) == 1
        assert e.args[0] is message and e.msg is message
    else:
        raise AssertionError("no error")


@pytest.mark.parametrize("name, call", [
    ("HEX", lambda: S([["a", "b" * 10]])),
    ("ErrUnexpectedEndOfInput", lambda: P("0")),
], ids=["HEX", "ErrUnexpectedEndOfInput"])
def test_rebound_attribute_value_is_not_kept(name, call):
    # Once the program drops the value it bound, nothing keeps it alive.
    original = getattr(tarv, name)
    value = Marked(HEX)
    ref = weakref.ref(value)
    setattr(tarv, name, value)
    outcome(call)
    setattr(tarv, name, original)
    del value
    gc.collect()
    assert ref() is None


@pytest.mark.skipif(not hasattr(_testcapi, "unwatch_dict"), reason="needs dictionary watchers (3.12+)")
@pytest.mark.parametrize("name, read", [
    ("HEX", "tarv.stringify([['a']])[0]"),
    ("ErrUnexpectedEndOfInput", "message()"),
], ids=["HEX", "ErrUnexpectedEndOfInput"])
def test_lookup_whose_watch_other_code_removed(name, read):
    # Code that removes the module's dictionary watch (through the test API)
    # leaves changes unreported: the lookup may go on serving the value it
    # remembered, but that value must stay alive after the rebinding drops
    # the namespace's reference (the debug allocator overwrites freed memory).
    out = run_fresh(f"""
        import gc, _testcapi, tarv

        def message():
            try:
                tarv.parse("")
            except SyntaxError as e:
                return e.msg[0]

        setattr(tarv, {name!r}, "".join(["Q"] * 16))
        assert {read} == "Q"
        for watcher in range(8):
            try:
                _testcapi.unwatch_dict(watcher, vars(tarv))
            except (ValueError, RuntimeError, SystemError):
                pass
        setattr(tarv, {name!r}, "".join(["Z"] * 16))  # frees the "Q" string unless held
        gc.collect()
        for _ in range(3):
            print({read})
    """, env={"PYTHONMALLOC": "debug"})
    assert set(out.split()) <= {"Q", "Z"}, out


# ---- threads ------------------------------------------------------------------

HEX_A, HEX_B = "0123456789abcdef", "ghijklmnopqrstuv"


class Yielding:
    """An item whose conversion lets other threads run."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        time.sleep(0)
        return self.text


THREAD_TABLE = [["ab", Yielding("x" * 12), "c" * 100, Yielding(SMILE * 3)], [],
                [Yielding("q" * 1000)] + ["z"] * 20 + [Yielding("")], ("w" * 10, Yielding("\u4e00"))]
PARSE_CASES = [("02ab;;", [["ab"], []]), ("01\u0436" + "03a;b;", [["\u0436", "a;b"]]),
               ("02" + SMILE + "00;", [[SMILE, ""]]), ("02ab;x", "Unexpected token 'x' at position 5"),
               ("01" + SMILE + ";", "Unexpected token '\ude00' at position 3"), ("02ab", END_OF_INPUT)]


def headers_used(text, table):
    """Checks `text` against `table`, accepting either HEX_A or HEX_B for each
    header; returns the set of header alphabets used."""
    used, pos = set(), 0
    for row in table:
        for item in row:
            v = str(item)
            l_str = str(u16_len(v))
            header = text[pos]
            assert header in (HEX_A[len(l_str) - 1], HEX_B[len(l_str) - 1]), (pos, text)
            used.add(header in HEX_A)
            pos += 1
            assert text[pos:pos + len(l_str) + len(v)] == l_str + v, (pos, text)
            pos += len(l_str) + len(v)
        assert text[pos] == ";", (pos, text)
        pos += 1
    assert pos == len(text)
    return used


def test_threads_with_hex_rebound_meanwhile():
    stop = threading.Event()
    failures, used = [], set()

    def rebinder():
        while not stop.is_set():
            tarv.HEX = HEX_B if tarv.HEX == HEX_A else HEX_A
            time.sleep(0)

    def worker(k):
        try:
            for n in range(150):
                used.update(headers_used(S(THREAD_TABLE), THREAD_TABLE))
                text, expected = PARSE_CASES[(n + k) % len(PARSE_CASES)]
                result = outcome(P, text)
                assert result == (("ok", expected) if isinstance(expected, list) else (SyntaxError, expected))
        except BaseException as e:
            failures.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(3)]
    flipper = threading.Thread(target=rebinder)
    try:
        flipper.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        stop.set()
        flipper.join()
        sys.setswitchinterval(interval)
    assert failures == []
    assert used == {True, False}  # both HEX values were seen


# ---- declared lengths ------------------------------------------------------------

PREFIXES = {"1-byte": "", "2-byte": "01\u0436", "wide": "02" + SMILE}
HEADERS = "0123456789abcdefABCDEF"


def same_as_model(text):
    got = outcome(P, text)
    assert got == outcome(parse_model, text), ascii(text)
    return got


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


@pytest.mark.parametrize("before", ["", "02" + SMILE + ";", "01\ud800;"])
@pytest.mark.parametrize("k", [1, 7, 1000])
def test_length_splitting_an_astral_character(before, k):
    value = ("\ud800" + SMILE + "\u4e00") * k + "\U0010FFFF"
    declared = u16_len(value) - 1
    for header, digits in (("f", "%016d" % declared), ("F", "%016d" % declared),
                           ("0123456789abcdef"[len(str(declared)) - 1], str(declared))):
        for after in (";", "", "x;"):
            text = before + header + digits + value + after
            position = u16_len(before) + 1 + len(digits) + declared
            assert same_as_model(text) == (SyntaxError, f"Unexpected token '\udfff' at position {position}")


# ---- every header character ------------------------------------------------------

ASTRAL_SAMPLE = [chr(c) for c in range(0x10000, 0x110000, 0x3FB)] + ["\U0001F600", "\U0010FFFF"]


@pytest.mark.parametrize("prefix", list(PREFIXES.values()), ids=list(PREFIXES))
def test_every_header_and_digit_character(prefix):
    mismatches = []
    for ch in [chr(c) for c in range(0x10000)] + ASTRAL_SAMPLE:
        # ch as a header (announcing any count, with a 16-digit length after it)
        # and ch as a length digit
        for text in (prefix + ch + "0" * 15 + "1x;", prefix + "1" + ch + "1x;"):
            if outcome(P, text) != outcome(parse_model, text):
                mismatches.append(ascii(text))
    assert mismatches[:20] == []


# ---- very large inputs, with the memory they take -------------------------------

MEASURE = """
import os, resource, sys, time
import tarv
PAGE = os.sysconf("SC_PAGE_SIZE")

def measured(fn, arg):
    # Resident memory before the call against the process's peak after it:
    # the most the call needed on top of what it was given.
    with open("/proc/self/statm") as f:
        before = int(f.read().split()[1]) * PAGE
    start = time.perf_counter()
    result = fn(arg)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return result, peak - before, seconds

def check_memory(what, growth, size, seconds, factor):
    text = (f"{what}: result {size / 1e6:.1f} MB, memory growth {growth / 1e6:.1f} MB "
            f"({growth / size:.2f}x, at most {factor}x), {seconds:.2f} s")
    print(text)
    assert SANITIZED or growth <= factor * size, text
"""


def run_measured(code):
    setup = MEASURE + f"SANITIZED = {SANITIZED}\n"
    proc = subprocess.run([sys.executable, "-c", setup + textwrap.dedent(code)],
                          capture_output=True, text=True, cwd=TESTS)
    assert proc.returncode == 0, proc.stdout + proc.stderr[-3000:]
    print(proc.stdout)


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


def run_in_address_space(extra_bytes, setup, body):
    """Runs `setup`, then caps the address space at what is mapped plus
    `extra_bytes` and runs `body`, in a fresh interpreter; returns its output.
    Skips where the cap is not enforced: user-mode emulators (qemu) accept
    the limit without keeping it, and then do not report it either."""
    code = textwrap.dedent(setup) + textwrap.dedent(f"""
        import resource, sys
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * resource.getpagesize()
        limit = (mapped + {extra_bytes}, resource.RLIM_INFINITY)
        resource.setrlimit(resource.RLIMIT_AS, limit)
        if resource.getrlimit(resource.RLIMIT_AS) != limit:
            print("limit not kept:", resource.getrlimit(resource.RLIMIT_AS))
            sys.exit()
    """) + textwrap.dedent(body)
    # The free-threaded runtime's allocator reserves a gigabyte of address
    # space up front, which a cap on the address space then never reaches:
    # it is told to reserve as it goes.
    out = run_fresh(code, env={"MIMALLOC_ARENA_RESERVE": "0"})
    if out.startswith("limit not kept:"):
        pytest.skip("the address-space limit is not enforced here: " + out.strip())
    return out


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
    # joining the pieces fails at the first bad piece, the one too many.
    class Hex:
        def __getitem__(self, k):
            return 5 if k == 0 else HEX[k]
    big = "x" * 2**20
    tarv.HEX = Hex()
    with pytest.raises(OverflowError, match="join\\(\\) result is too long"):
        tarv.stringify([[big] * 2100, ["a"]])
    with pytest.raises(TypeError, match="sequence item 0: expected str instance, int found"):
        tarv.stringify([["a"], [big] * 2100])


# ---- reference and block counts of every path --------------------------------------


def test_refcounts_script():
    # Block counts with this interpreter; tools/refcounts runs the same script
    # on a debug interpreter, where the total reference count is checked too.
    proc = subprocess.run([sys.executable, os.path.join(TESTS, "refcounts.py")],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr[-3000:]
    assert "FAIL" not in proc.stdout and proc.stdout.count("\nok ") >= 40, proc.stdout
