"""Threads: codec calls from many threads at once, while other threads change
the tables being written and rebind HEX. Without the GIL (free-threaded
builds, PYTHON_GIL=0) this is where a borrowed reference or an unguarded
cache shows; under the GIL the same checks hold with threads switching
often.

TARV_STRESS_SECONDS sets how long the stress test runs (default 3)."""

import gc
import os
import random
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv  # noqa: E402
from checks import FREE_THREADED, outcome  # noqa: E402
from items import SMILE  # noqa: E402
from tarv_model import END_OF_INPUT, HEX, parse_model, stringify_model, u16_len  # noqa: E402

GIL_ENABLED = getattr(sys, "_is_gil_enabled", lambda: True)()
SECONDS = float(os.environ.get("TARV_STRESS_SECONDS", "3"))
HEX_B = "ghijklmnopqrstuv"  # a second alphabet, rebound to while tables are written
CHARS = "ab;9\xe9\u4e00\U0001F600"


def value_of(rng, row):
    """A new str tagged with the row it belongs to, short or long, of any width."""
    n = rng.choice((0, 1, 3, 9, 15, 30, 70))
    return f"{row}:" + "".join(rng.choice(CHARS) for _ in range(n))


def read_text(text):
    """The rows of a text whose headers come from HEX or HEX_B (each value
    may have either): a reader for the checks, like the model's."""
    rows, row, i = [], [], 0
    while i < len(text):
        c = text[i]
        if c == ";":
            rows.append(row)
            row, i = [], i + 1
            continue
        digits = HEX.find(c) + 1 or HEX_B.find(c) + 1
        assert digits, (i, text[i:i + 20])
        length = int(text[i + 1:i + 1 + digits])
        j, units = i + 1 + digits, 0
        start = j
        while units < length:
            units += 2 if ord(text[j]) > 0xFFFF else 1
            j += 1
        assert units == length and len(str(length)) == digits
        row.append(text[start:j])
        i = j
    return rows


class Stress:
    """Shared tables that mutators change, and the check of what the codec
    gives for them."""

    def __init__(self, n_rows=60):
        rng = random.Random(1)
        self.table = [[value_of(rng, r) for _ in range(rng.randrange(8))] for r in range(n_rows)]
        self.most_rows = n_rows
        self.outer_lock = threading.Lock()  # among mutators: a row's tag is its index
        self.stop = threading.Event()
        self.failures = []
        self.calls = self.mutations = 0

    def check_written(self, text):
        rows = read_text(text)
        assert len(rows) <= self.most_rows
        for r, row in enumerate(rows):
            # Every value written was in row r when it was read.
            assert all(v.startswith(f"{r}:") for v in row), (r, row)

    def mutator(self, thread_no):
        rng = random.Random(thread_no)
        table = self.table
        while not self.stop.is_set():
            with self.outer_lock:
                r = rng.randrange(len(table))
                row = table[r]
            action = rng.randrange(8)
            try:
                self.mutate(rng, table, r, row, action)
            except (IndexError, ValueError):
                pass  # the other mutator emptied the row meanwhile
            self.mutations += 1

    def mutate(self, rng, table, r, row, action):
        if action == 0:
            table[r] = [value_of(rng, r) for _ in range(rng.randrange(12))]
        elif action == 1:
            row.append(value_of(rng, r))
        elif action == 2 and row:
            row.pop(rng.randrange(len(row)))
        elif action == 3:
            row.clear()
        elif action == 4 and row:
            row[rng.randrange(len(row))] = value_of(rng, r)
        elif action == 5:
            row[:] = [value_of(rng, r) for _ in range(rng.randrange(20))]
        elif action == 6:
            with self.outer_lock:
                if rng.random() < 0.5 and len(table) > 30:
                    table.pop()
                else:
                    # (Raised first: a writer reads it after its call.)
                    self.most_rows = max(self.most_rows, len(table) + 1)
                    table.append([value_of(rng, len(table)) for _ in range(3)])
        else:
            tarv.HEX = HEX_B if rng.random() < 0.5 else HEX

    def writer(self):
        while not self.stop.is_set():
            self.check_written(tarv.stringify(self.table))
            self.check_written(tarv.stringify(iter(self.table)))
            self.calls += 2

    def private_codec(self, thread_no):
        # Tables no other thread touches: exact results, whatever HEX is at
        # the time (read before and after, it must be one of the two).
        rng = random.Random(thread_no)
        while not self.stop.is_set():
            table = [[value_of(rng, r) for _ in range(rng.randrange(6))] for r in range(rng.randrange(1, 9))]
            assert read_text(tarv.stringify(table)) == table
            plain = stringify_model(table)
            assert tarv.parse(plain) == table == parse_model(plain)
            self.calls += 2

    def run(self, threads):
        def guarded(target, *args):
            def body():
                try:
                    target(*args)
                except BaseException as e:  # noqa: B036 - reported below
                    self.failures.append(e)
                    self.stop.set()
            return threading.Thread(target=body)

        workers = [guarded(*t) for t in threads]
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        try:
            for w in workers:
                w.start()
            self.stop.wait(SECONDS)
            self.stop.set()
            for w in workers:
                w.join()
        finally:
            sys.setswitchinterval(interval)
            tarv.HEX = HEX
        return self


def test_stress():
    stress = Stress()
    threads = [(stress.mutator, 1), (stress.mutator, 2), (stress.writer,), (stress.writer,),
               (stress.private_codec, 3), (stress.private_codec, 4)]
    stress.run(threads)
    print(f"\nstress: {len(threads)} threads, {SECONDS:g} s, {stress.calls} calls, "
          f"{stress.mutations} mutations, {len(stress.failures)} failures, "
          f"GIL {'enabled' if GIL_ENABLED else 'disabled'}")
    assert stress.failures == []
    assert stress.calls > 0 and stress.mutations > 0


def run_for_a_while(targets):
    """Runs each target in a thread until a second (or the stress time) is up."""
    stop = threading.Event()
    threads = [threading.Thread(target=t, args=(stop,)) for t in targets]
    for t in threads:
        t.start()
    time.sleep(min(SECONDS, 1.0))
    stop.set()
    for t in threads:
        t.join()


def test_parse_keeps_the_collector_switch_under_concurrent_calls():
    text = stringify_model([["x" * 5] * 50] * 400)
    expected = parse_model(text)
    failures = []

    def parser(stop):
        try:
            while not stop.is_set():
                assert tarv.parse(text) == expected
        except BaseException as e:  # noqa: B036
            failures.append(e)

    def flipper(stop):
        # The user's own switching, meanwhile: parse must neither undo it
        # nor leave the collector in another state.
        while not stop.is_set():
            gc.disable()
            assert not gc.isenabled()
            gc.enable()

    run_for_a_while([parser] * 3)
    assert failures == [] and gc.isenabled()
    if FREE_THREADED:
        run_for_a_while([parser, parser, flipper])
        assert failures == [] and gc.isenabled()


# ---- HEX rebound while threads write with it ------------------------------------

HEX_A = HEX


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
                used.update(headers_used(tarv.stringify(THREAD_TABLE), THREAD_TABLE))
                text, expected = PARSE_CASES[(n + k) % len(PARSE_CASES)]
                result = outcome(tarv.parse, text)
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


@pytest.mark.skipif(not FREE_THREADED, reason="a free-threaded build")
def test_module_runs_without_the_gil():
    # Importing the module leaves the GIL off (it would turn it back on,
    # with a RuntimeWarning, for a module that does not declare itself).
    import subprocess
    code = "import sys, warnings; warnings.simplefilter('error'); import tarv; print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "False"
