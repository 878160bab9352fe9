"""Benchmark tarv.stringify / tarv.parse against other serializers.

    python3 bench/bench.py [--quick] [--shapes a,b,small] [--sizes 10k,1M|all]
        [--codecs tarv,orjson] [--seed N|random] [--repeat N] [--clock cpu|wall]
        [--no-freeze] [--no-heap] [--no-memory] [--json PATH] [--plot PATH.png]
    python3 bench/bench.py [--repeat-calls] [--general] [--threads N] [--shapes ...]
        [--sizes ...] [--json PATH]
    python3 bench/bench.py --ab OTHER.so [--shapes ...] [--sizes ...] [--seed N|random]
        [--repeat N] [--no-memory] [--json PATH]
    python3 bench/bench.py --compare BEFORE.json AFTER.json

Every codec runs in this one process on the same tables, its calls
interleaved round-robin with the others' within each repeat; the best of N
repeats counts, in nanoseconds per value, with the minor page faults per
call beside it (ru_minflt over the timed calls after the first, which warms
the allocator up). The result of each codec's first call is checked: each
decoder, run on its own encoder's output, must rebuild the table.

The clock is this thread's CPU time unless --clock wall says otherwise: on
a shared machine it leaves out the time the scheduler gives to other
processes, and still counts page faults. While the codecs run, the objects
alive before (the table among them) are frozen out of the cyclic
collector's view, so a decoder's collections cost what they would in a
program holding nothing else (--no-freeze leaves them in view).

Two floors frame the numbers:
  encode floor  ''.join() of a pre-flattened list of every value, i.e. what
                copying the characters once costs;
  decode floor  marshal.loads with the cyclic collector disabled during the
                call (every other decoder runs with it enabled; tarv.parse
                pauses it by itself while it builds the table).

The heap columns time tarv's encoder and the floor again on the same table
(when tarv's text has half a million characters or more) in a child
process whose glibc malloc neither maps nor returns memory
(MALLOC_MMAP_MAX_=0, a huge MALLOC_TRIM_THRESHOLD_): large results then
reuse freed heap memory instead of faulting in fresh pages, which counts
the allocator's page faults apart from the codec's own time.

The shape "small" is the small-table mode: ns per call (timeit, best of N,
collector on) of tarv, orjson and msgpack on 1x1 ... 50x8 tables, then of
tarv against ''.join of the values on tables whose text straddles the point
where the module leaves its first buffer, and on a few larger ones.

Three modes take the place of the runs above (and leave out "small" unless
--shapes names it), over every shape and size given:
  --repeat-calls  per table one warm-up call, then 30 calls in a row (each
                  result dropped) of tarv.stringify, the floor and ''.join of
                  the pieces that make tarv's own text: the best time and the
                  page faults per call, which a program calling it in a loop
                  pays (the join of the same text tells the allocator's part);
                  then, in a busy heap (busy_heap()), tarv.stringify of the
                  table and of the table with a row (1,) after its last,
                  and the floor: no more faults than the floor, nor with
                  the late row than without;
  --general       tarv.stringify on a generator of the rows, with tarv.HEX a
                  list, and on a table plain but for its last item (an int),
                  against the plain call; the generator by itself beside;
  --threads N     throughput of the encoders and decoders of tarv, orjson and
                  msgpack on independent tables in N threads against one
                  thread making the same calls, on the wall clock.

--ab OTHER.so times the tarv imported (the build under test, "new") against
another build of the module (OTHER.so, "old", e.g. one of the main branch)
loaded into the same process: each .so is its own shared object, with its
own module state, function type and lookup caches (the loading checks that
its functions are of another type than the imported ones). The old module
is not entered in sys.modules. On every shape at 1k, 100k and 1M values
(unless --shapes/--sizes say otherwise), stringify and parse of each build
are called in alternation (which goes first alternates too), best of 15
(--repeat), on tables drawn afresh (--seed random, printed, unless --seed
is given); then the small tables per call, timeit style. Both builds must
give the same text and the same table. Printed: new/old time ratios per
shape and size (below 1: the new build is faster), and the memory beyond
the result of each (tracemalloc, skipped with --no-memory).
"""
import argparse
import collections
import contextlib
import csv
import gc
import hashlib
import importlib.util
import io
import json
import marshal
import os
import pickle
import platform
import random
import resource
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
import timeit
import tracemalloc

import tarv

import report
from shapes import SHAPES, SHORT, make_small_table, make_table

try:
    import orjson
except ImportError:
    orjson = None
try:
    import msgpack
except ImportError:
    msgpack = None

DEFAULT_DRAW = 20240611  # the same tables on every run unless --seed says otherwise
ENC_FLOOR = report.ENC_FLOOR
DEC_FLOOR = report.DEC_FLOOR
SAME_TEXT = report.SAME_TEXT
LATE_ROW = report.LATE_ROW
GEN_PLAIN, GEN_ROWS, GEN_ALONE = report.GEN_PLAIN, report.GEN_ROWS, report.GEN_ALONE
GEN_LIST_HEX, GEN_LAST_STR = report.GEN_LIST_HEX, report.GEN_LAST_STR
GEN_LAST_INT = report.GEN_LAST_INT
SMALL = "small"
SMALL_TABLES = ((1, 1), (1, 8), (5, 5), (10, 10), (50, 8))
# (rows, values per row, characters per value or None for 1-12): a text of
# 1,950 characters for reference, of 4,095 and 4,160 to 4,290 characters,
# then about 10k, 19k and 38k.
SMALL_BEYOND = ((30, 2, 29), (63, 2, 29), (64, 2, 29), (65, 2, 29), (66, 2, 29),
                (100, 10, None), (200, 10, None), (400, 10, None))
REPEAT_CALLS = 30  # calls in a row after the warm-up one, --repeat-calls
BUSY_BLOCKS, BUSY_HOLE = 4, 0.8  # --repeat-calls' busy heap (busy_heap())
MODE_SIZES = (10_000, 100_000, 1_000_000)  # --repeat-calls and --general, by default
THREAD_SIZES = (100_000,)  # --threads, by default
THREAD_PEERS = ("tarv", "orjson", "msgpack")
THREAD_SAMPLE_S = 0.3  # the one-thread run of a sample takes this long, about
# glibc's malloc maps blocks larger than its mmap threshold afresh; freeing
# one raises the threshold to its size, up to this ceiling (64-bit builds).
MMAP_THRESHOLD_MAX = 4 * 1024 * 1024 * 8 if sys.maxsize > 2**32 else 512 * 1024
SMALL_PEERS = ("tarv", "orjson", "msgpack")
SMALL_SAMPLE_S = 0.004  # each small-table sample runs this long, about
SWEEP = (10, 100, 1_000, 10_000, 100_000, 1_000_000, 10_000_000)
MAX_CHARS = 300_000_000  # larger tables are skipped: every codec holds a copy
MEMORY_CODECS = ("tarv",)
WARM_MAX_BYTES = 24 << 20  # inputs read before each sample up to about this size
HEAP_CODECS = ("tarv",)  # and the floor
HEAP_ENV = {"MALLOC_MMAP_MAX_": "0", "MALLOC_TRIM_THRESHOLD_": str(1 << 40)}
# Shorter tarv texts come from memory malloc already holds after the first
# call (its mmap threshold rises as it frees them): no heap columns for them.
HEAP_MIN_CHARS = 500_000
# name: (ns clock, seconds clock). "cpu" counts this thread's time only
# (page faults included): time spent descheduled on a busy machine is left out.
CLOCKS = {"wall": (time.perf_counter_ns, time.perf_counter),
          "cpu": (time.thread_time_ns, time.thread_time)}
clock = "cpu"  # set by --clock
freeze = True  # cleared by --no-freeze


# ------------------------------------------------------ codecs under test

def csv_dumps(table):
    buf = io.StringIO()
    csv.writer(buf).writerows(table)
    return buf.getvalue()


def csv_loads(text):
    return list(csv.reader(io.StringIO(text)))


def codecs():
    """(name, encode, decode) for every available codec, tarv first."""
    found = [
        ("tarv", tarv.stringify, tarv.parse),
        ("json", lambda t: json.dumps(t, ensure_ascii=False), json.loads),
    ]
    if orjson:
        found.append(("orjson", orjson.dumps, orjson.loads))
    if msgpack:
        found.append(("msgpack", msgpack.packb, msgpack.unpackb))
    found += [
        ("pickle", lambda t: pickle.dumps(t, protocol=5), pickle.loads),
        ("marshal", marshal.dumps, marshal.loads),
        ("csv", csv_dumps, csv_loads),
    ]
    return found


def charset(text):
    """'ascii', 'latin-1' or 'wide': the narrowest encoding of `text`."""
    if text.isascii():
        return "ascii"
    try:
        text.encode("latin-1")
    except UnicodeEncodeError:
        return "wide"
    return "latin-1"


# ------------------------------------------------------------ measuring

@contextlib.contextmanager
def out_of_collectors_view():
    """Freezes every object alive now (the table, the codecs' inputs, the
    benchmark's own) for the duration: a decoder's collections then cost
    what they would in a program that holds nothing else, instead of
    walking the benchmark's table again at every full collection (which
    slowed every list-making decoder by a third or more), and the collection
    before each sample is quick."""
    if freeze:
        gc.freeze()
    try:
        yield
    finally:
        if freeze:
            gc.unfreeze()


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def calls_per_sample(n_values):
    """Calls a sample makes: a table of a few values takes microseconds, so
    several calls keep the clock's resolution and cost small beside them."""
    return max(1, min(1000, 20_000 // max(1, n_values)))


def run_sample(fn, gc_off, calls, warm):
    """(nanoseconds, minor page faults, result of the first call) of `calls`
    calls. The results stay alive until the clock is read; the caller frees
    them outside the timed window. warm() runs first, untimed."""
    clock_ns = CLOCKS[clock][0]
    warm()
    gc.collect()  # same collector state before every sample
    if gc_off:
        gc.disable()
    faults_before = minor_faults()
    t0 = clock_ns()
    if calls == 1:
        results = fn()
    else:
        results = [fn() for _ in range(calls)]
    t1 = clock_ns()
    faults = minor_faults() - faults_before
    if gc_off:
        gc.enable()
    return t1 - t0, faults, results if calls == 1 else results[0]


def time_all(cases, gc_off, repeat, calls, check, warm):
    """All (ns, faults) samples per name, the names interleaved round-robin
    per repeat. The first result of each name goes to check(name, result)
    before it is freed: every output is checked once, at no extra call.
    warm(name) reads that name's input before each of its samples."""
    samples = {name: [] for name in cases}
    for repeat_idx in range(repeat):
        for name, fn in cases.items():
            ns, faults, result = run_sample(fn, name in gc_off, calls, lambda: warm(name))
            if repeat_idx == 0:
                check(name, result)
            del result
            samples[name].append((ns, faults))
    return samples


def memory_of(fn, gc_off):
    """(peak bytes beyond the result, bytes held by the result) of one call,
    as tracemalloc sees them."""
    gc.collect()
    tracemalloc.start()
    try:
        if gc_off:
            gc.disable()
        base, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        result = fn()
        current, peak = tracemalloc.get_traced_memory()
        if gc_off:
            gc.enable()
        del result
    finally:
        tracemalloc.stop()
    return peak - current, current - base


def measure(cases, gc_off, repeat, n_values, with_memory, check, warm):
    calls = calls_per_sample(n_values)
    samples = time_all(cases, gc_off, repeat, calls, check, warm)
    out = {}
    for name, fn in cases.items():
        times = [ns for ns, _ in samples[name]]
        # The first sample's faults include the memory the allocator keeps
        # for later calls: a process pays them once, not at every call.
        warm = samples[name][1:] or samples[name]
        row = {"times_ns": times, "best_ns": min(times),
               "ns_per_value": min(times) / (calls * n_values),
               "faults_per_call": sum(f for _, f in warm) / (calls * len(warm))}
        if with_memory and name in MEMORY_CODECS:
            extra, held = memory_of(fn, name in gc_off)
            row["extra_bytes_per_value"] = extra / n_values
            row["result_bytes_per_value"] = held / n_values
        out[name] = row
    return out


def bench_table(table, available, repeat, with_memory, decode=True):
    """Encoders, then decoders (each on its own encoder's output), on one
    table. Returns {"encode": results, "decode": results} and tarv's text.

    Before each sample the codec's input is read once, untimed, if it can
    fit in the caches: every codec then starts with it warm, whichever codec
    ran before (otherwise it would be warm for one and cold for the next)."""
    flat = [v for row in table for v in row]
    n_values = len(flat)
    encoders = {name: lambda enc=enc: enc(table) for name, enc, _ in available}
    encoders[ENC_FLOOR] = lambda: "".join(flat)
    outputs = {}

    def keep_output(name, data):
        if name == ENC_FLOOR and (len(data) != sum(map(len, flat)) or (flat and not (
                data.startswith(flat[0]) and data.endswith(flat[-1])))):
            raise SystemExit("join floor: unexpected output")
        outputs[name] = data

    # A table much bigger than the caches would only leave its tail warm.
    cacheable = sum(map(len, flat)) + 64 * n_values <= WARM_MAX_BYTES

    def read_table(name):
        for row in ([flat] if name == ENC_FLOOR else table) if cacheable else ():
            sum(map(len, row))

    with out_of_collectors_view():
        run = {"encode": measure(encoders, set(), repeat, n_values, with_memory, keep_output,
                                 read_table)}
    del outputs[ENC_FLOOR]
    if not decode:
        return run, outputs.get("tarv")
    decoders = {name: lambda dec=dec, data=outputs[name]: dec(data) for name, _, dec in available}
    packed = marshal.dumps(table)
    decoders[DEC_FLOOR] = lambda: marshal.loads(packed)  # gc off: see run_sample
    inputs = {**outputs, DEC_FLOOR: packed}

    def read_input(name):
        data = inputs[name]
        if cacheable:
            data.count(b"\0" if isinstance(data, bytes) else "\0")

    def check_table(name, result):
        if result != table:
            raise SystemExit(f"{name}: decoding its encoded table gives a different table")

    with out_of_collectors_view():
        run["decode"] = measure(decoders, {DEC_FLOOR}, repeat, n_values, with_memory,
                                check_table, read_input)
    return run, outputs.get("tarv")


def bench_run(shape, size, draw, available, repeat, with_memory, decode=True, table=None):
    """One table of `shape` with `size` values, every codec on it."""
    if table is None:
        table = make_table(shape, size, draw)
    n_values = sum(map(len, table))
    run = {
        "shape": shape, "size": size, "rows": len(table), "values": n_values,
        "chars": sum(len(v) for row in table for v in row),
        "one_per_row": SHAPES[shape].one_per_row, "short_values": SHAPES[shape].short_values,
        "calls_per_sample": calls_per_sample(n_values),
    }
    results, tarv_text = bench_table(table, available, repeat, with_memory, decode)
    run.update(text_chars=len(tarv_text), output=charset(tarv_text), **results)
    return run, table


def heap_run(run, table, names, repeat):
    """The heap columns of `run`: the encoders timed again on the same table
    in a child process whose malloc keeps freed memory (see the module
    docstring). Decoders make small objects, which come from Python's own
    arenas and are not affected."""
    with tempfile.TemporaryDirectory() as tmp:
        out, table_path = os.path.join(tmp, "heap.json"), os.path.join(tmp, "table.marshal")
        with open(table_path, "wb") as f:
            marshal.dump(table, f)  # loads as new str objects, like a fresh table
        cmd = [sys.executable, os.path.abspath(__file__), "--heap-child", table_path,
               "--shapes", run["shape"], "--sizes", str(run["size"]),
               "--repeat", str(repeat), "--codecs", ",".join(names), "--json", out,
               "--clock", clock, *([] if freeze else ["--no-freeze"])]
        subprocess.run(cmd, env={**os.environ, **HEAP_ENV}, check=True,
                       stdout=subprocess.DEVNULL)
        with open(out) as f:
            (child,) = json.load(f)["runs"]
    if (child["values"], child["chars"]) != (run["values"], run["chars"]):
        raise SystemExit("heap pass: the child process read a different table")
    return {"encode": child["encode"]}


def bench_small(available, repeat, draw):
    """Per-call times of tarv and its two fastest peers on small tables."""
    chosen = [c for c in available if c[0] in SMALL_PEERS]
    results = []
    for n_rows, per_row in SMALL_TABLES:
        table = make_small_table(n_rows, per_row, draw)
        cases = {"encode": {}, "decode": {}}
        for name, enc, dec in chosen:
            data = enc(table)
            if dec(data) != table:
                raise SystemExit(f"{name}: decoding the encoded small table gives a different one")
            cases["encode"][name] = lambda enc=enc: enc(table)
            cases["decode"][name] = lambda dec=dec, data=data: dec(data)
        entry = {"table": f"{n_rows}x{per_row}", "rows": n_rows, "values": n_rows * per_row}
        for kind, fns in cases.items():
            with out_of_collectors_view():
                entry[kind] = per_call(fns, repeat)
        results.append(entry)
    return results


def per_call(fns, repeat):
    """Best ns per call of each function, timeit style: a sample runs one
    function `number` times, the functions interleaved round-robin per
    repeat. The collector stays on, as in the large-table runs."""
    timers, numbers = {}, {}
    for name, fn in fns.items():
        timer = timeit.Timer(fn, setup=gc.enable, timer=CLOCKS[clock][1])
        number = 1
        while timer.timeit(number) < SMALL_SAMPLE_S:
            number *= 2
        timers[name], numbers[name] = timer, number
    samples = {name: [] for name in fns}
    faults = dict.fromkeys(fns, 0)
    for _ in range(repeat):
        for name, timer in timers.items():
            faults_before = minor_faults()
            samples[name].append(timer.timeit(numbers[name]) * 1e9 / numbers[name])
            faults[name] += minor_faults() - faults_before
    return {name: {"ns_per_call": min(samples[name]), "times_ns": samples[name],
                   "number": numbers[name],
                   "faults_per_call": faults[name] / (numbers[name] * repeat)}
            for name in fns}


# ------------------------------------------------------------ repeated calls

def same_text_pieces(table, hex_digits=None):
    """The pieces that ''.join() makes tarv's text of `table` from: per value
    its header character, its UTF-16 length in decimal and its characters,
    per row ';'. Items that are not str are taken as str() of them."""
    hex_digits = tarv.HEX if hex_digits is None else hex_digits
    pieces = []
    append, extend = pieces.append, pieces.extend
    for row in table:
        for v in row:
            if type(v) is not str:
                v = str(v)
            l_str = str(len(v.encode("utf-16-le", "surrogatepass")) // 2)
            extend((hex_digits[len(l_str) - 1], l_str, v))
        append(";")
    return pieces


def busy_heap(text_bytes):
    """Leaves the heap as a program's that has made and dropped lists of its
    own (of its values, say) while it keeps others: BUSY_BLOCKS blocks of
    BUSY_HOLE times the text's bytes are made, each followed by a kept
    block of half that, and the first of each pair is dropped. Returns the
    kept blocks. A text made by reallocation then finds holes that hold its
    early sizes but not its last ones: the serializer of c5770c0, whose
    text grows and is cut at its end when a late row is not plain, took
    freshly mapped pages at every call there (100,000 rows of ten
    8-character values and a row (1,): 2,467 page faults per call, its
    whole 10 MB, 1.8x the time of the table without that row), and none
    in a heap without the holes."""
    n_items = max(1, int(BUSY_HOLE * text_bytes / 8))
    holes, kept = [], []
    for _ in range(BUSY_BLOCKS):
        holes.append([None] * n_items)
        kept.append([None] * (n_items // 2))
    del holes
    return kept


def calls_in_a_row(fn, n_values, calls=REPEAT_CALLS, busy_bytes=0):
    """One warm-up call of fn, then `calls` calls in a loop, each result
    dropped before the next call: the best time of them and the minor page
    faults per call over the loop. With busy_bytes, the loop runs in a busy
    heap made after the warm-up call (see busy_heap()), and one more call
    before it lets the allocator settle in that heap: a program calling in
    a loop pays what the loop's calls take."""
    clock_ns = CLOCKS[clock][0]
    result = fn()
    result_bytes = sys.getsizeof(result)
    del result
    held = None
    if busy_bytes:
        held = busy_heap(busy_bytes)
        fn()
    gc.collect()
    times = []
    faults_before = minor_faults()
    for _ in range(calls):
        t0 = clock_ns()
        result = fn()
        t1 = clock_ns()
        del result
        times.append(t1 - t0)
    faults = minor_faults() - faults_before
    del held
    return {"times_ns": times, "best_ns": min(times), "ns_per_value": min(times) / n_values,
            "faults_per_call": faults / calls, "result_bytes": result_bytes}


def bench_repeat_calls(shape, size, draw, calls=REPEAT_CALLS, table=None):
    """tarv.stringify, the floor and the join of tarv's own text in pieces,
    each called `calls` times in a row on one table; then, in a busy heap,
    tarv.stringify of the table and of the table with a row (1,) after its
    last (which takes the general step at its very end), and the floor."""
    if table is None:
        table = make_table(shape, size, draw)
    flat = [v for row in table for v in row]
    pieces = same_text_pieces(table)
    text = tarv.stringify(table)
    if "".join(pieces) != text:
        raise SystemExit(f"{shape} {size}: the same-text pieces do not join to tarv's text")
    entry = {"shape": shape, "size": size, "rows": len(table), "values": len(flat),
             "chars": sum(map(len, flat)), "text_chars": len(text),
             "text_bytes": sys.getsizeof(text), "output": charset(text), "calls": calls,
             "mmap_threshold_max": (MMAP_THRESHOLD_MAX if platform.libc_ver()[0] == "glibc"
                                    else None)}
    del text
    fns = {"tarv": lambda: tarv.stringify(table), ENC_FLOOR: lambda: "".join(flat),
           SAME_TEXT: lambda: "".join(pieces)}
    late = [*table, (1,)]
    if tarv.stringify(late) != "".join(pieces) + "011;":
        raise SystemExit(f"{shape} {size}: the table with a late row gives another text")
    busy = {"tarv": fns["tarv"], LATE_ROW: lambda: tarv.stringify(late), ENC_FLOOR: fns[ENC_FLOOR]}
    with out_of_collectors_view():
        entry["results"] = {name: calls_in_a_row(fn, max(1, len(flat)), calls)
                            for name, fn in fns.items()}
        entry["busy"] = {name: calls_in_a_row(fn, max(1, len(flat)), calls, entry["text_bytes"])
                         for name, fn in busy.items()}
    return entry


# ------------------------------------------------------------ general paths

def stringify_with_hex(table, hex_value):
    """tarv.stringify(table) with tarv.HEX bound to hex_value for the call;
    HEX is restored after it, whatever the call raises."""
    saved = tarv.HEX
    tarv.HEX = hex_value
    try:
        return tarv.stringify(table)
    finally:
        tarv.HEX = saved


def last_item_copies(table):
    """Two copies of `table` made the same way (same row lists, same values,
    so laid out alike in memory): the second one's very last value is the
    int 7 instead of a str. None if the table has no value."""
    last = next((i for i in range(len(table) - 1, -1, -1) if table[i]), None)
    if last is None:
        return None
    plain = [list(row) for row in table]
    other = [list(row) for row in table]
    other[last][-1] = 7
    return plain, other


def bench_general(shape, size, draw, repeat, table=None):
    """tarv.stringify on the paths off its plainest one, against the plain
    call on the same table: a generator of the rows, HEX rebound to a list,
    and a table plain but for its last item."""
    if table is None:
        table = make_table(shape, size, draw)
    n_values = sum(map(len, table))
    text = "".join(same_text_pieces(table))
    hex_list = list(tarv.HEX)
    cases = {
        GEN_PLAIN: lambda: tarv.stringify(table),
        GEN_ROWS: lambda: tarv.stringify(r for r in table),
        GEN_ALONE: lambda: collections.deque((r for r in table), maxlen=0),
        GEN_LIST_HEX: lambda: stringify_with_hex(table, hex_list),
    }
    expected = dict.fromkeys((GEN_PLAIN, GEN_ROWS, GEN_LIST_HEX), text)
    copies = last_item_copies(table)
    if copies:
        same, other = copies
        cases[GEN_LAST_STR] = lambda: tarv.stringify(same)
        cases[GEN_LAST_INT] = lambda: tarv.stringify(other)
        expected[GEN_LAST_STR] = text
        expected[GEN_LAST_INT] = "".join(same_text_pieces(other))

    def check_text(name, result):
        if name in expected and result != expected[name]:
            raise SystemExit(f"general {shape} {size}: {name} gives another text")

    cacheable = len(text) + 64 * n_values <= WARM_MAX_BYTES

    def read_table(name):
        for row in (other if name == GEN_LAST_INT else same if name == GEN_LAST_STR
                    else table) if cacheable else ():
            sum(len(v) for v in row if type(v) is str)

    entry = {"shape": shape, "size": size, "rows": len(table), "values": n_values,
             "text_chars": len(text), "output": charset(text)}
    del text
    with out_of_collectors_view():
        entry["results"] = measure(cases, set(), repeat, max(1, n_values), False, check_text,
                                   read_table)
    for name in (GEN_PLAIN, GEN_ROWS, GEN_LIST_HEX):
        extra, held = memory_of(cases[name], False)
        entry["results"][name].update(extra_bytes=extra, result_bytes=held)
    return entry


# ------------------------------------------------------------ small tables past the first buffer

def bench_small_beyond(repeat, draw):
    """Per-call times of tarv.stringify and ''.join of the values on tables
    whose text straddles the point where the module leaves its first
    buffer (beside one of the same values well inside it), and on a few
    larger ones."""
    results = []
    for n_rows, per_row, value_chars in SMALL_BEYOND:
        table = make_small_table(n_rows, per_row, draw, value_chars)
        flat = [v for row in table for v in row]
        text = tarv.stringify(table)
        if text != "".join(same_text_pieces(table)):
            raise SystemExit("small table: tarv's text is not the expected one")
        fns = {"tarv": lambda table=table: tarv.stringify(table),
               ENC_FLOOR: lambda flat=flat: "".join(flat)}
        label = f"{n_rows}x{per_row}" + (f" ({value_chars} ch)" if value_chars else "")
        entry = {"table": label, "rows": n_rows, "values": len(flat),
                 "value_chars": value_chars or f"{SHORT[0]}-{SHORT[1]}",
                 "text_chars": len(text)}
        with out_of_collectors_view():
            entry["encode"] = per_call(fns, repeat)
        results.append(entry)
    return results


# ------------------------------------------------------------ A/B of two builds

AB_SIZES = (1_000, 100_000, 1_000_000)
AB_REPEAT = 15
AB_NEW, AB_OLD = "new", "old"


def load_other_build(path):
    """The tarv module of the shared object at `path`, loaded beside the
    imported one: a second dlopen of another file gives it statics of its
    own. It is executed but not entered in sys.modules."""
    path = os.path.abspath(path)
    if os.path.realpath(path) == os.path.realpath(tarv.__file__):
        raise SystemExit(f"--ab: {path} is the imported tarv itself")
    spec = importlib.util.spec_from_file_location("tarv", path)
    if spec is None:
        raise SystemExit(f"--ab: cannot load {path}")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    if (sys.modules.get("tarv") is not tarv or other is tarv
            or type(other.parse) is type(tarv.parse)):
        raise SystemExit("--ab: the other build shares the imported one's state")
    return other


def alternating(fns, repeat, calls, warm):
    """Best ns per call of each of two functions, called in alternation:
    a sample of `calls` calls of one, then of the other, the first of the
    pair alternating from repeat to repeat."""
    names = list(fns)
    samples = {name: [] for name in names}
    for repeat_idx in range(repeat):
        for name in names if repeat_idx % 2 == 0 else names[::-1]:
            ns, _, result = run_sample(fns[name], False, calls, warm)
            del result
            samples[name].append(ns / calls)
    return {name: min(times) for name, times in samples.items()}


def bench_ab_table(builds, table, repeat, with_memory):
    """stringify and parse of both builds on one table: best ns per call of
    each, and the memory beyond the result of each."""
    texts = {name: mod.stringify(table) for name, mod in builds.items()}
    if texts[AB_NEW] != texts[AB_OLD]:
        raise SystemExit("--ab: the two builds write different texts")
    text = texts[AB_NEW]
    del texts
    for name, mod in builds.items():
        if mod.parse(text) != table:
            raise SystemExit(f"--ab: the {name} build's parse does not give the table back")
    n_values = sum(map(len, table))
    calls = calls_per_sample(n_values)
    cacheable = len(text) + 64 * n_values <= WARM_MAX_BYTES

    def read_table():
        for row in table if cacheable else ():
            sum(map(len, row))

    def read_text():
        if cacheable:
            text.count("\0")

    out = {}
    for fn_name, arg, warm in (("stringify", table, read_table), ("parse", text, read_text)):
        fns = {name: lambda fn=getattr(mod, fn_name): fn(arg) for name, mod in builds.items()}
        with out_of_collectors_view():
            best = alternating(fns, repeat, calls, warm)
        entry = {name: {"ns_per_call": ns} for name, ns in best.items()}
        if with_memory:
            for name, fn in fns.items():
                entry[name]["extra_bytes"], entry[name]["result_bytes"] = memory_of(fn, False)
        out[fn_name] = entry
    return out, len(text)


def bench_ab_small(builds, repeat, draw):
    """stringify and parse of both builds per call on the small tables."""
    results = []
    for n_rows, per_row in SMALL_TABLES:
        table = make_small_table(n_rows, per_row, draw)
        text = builds[AB_NEW].stringify(table)
        if builds[AB_OLD].stringify(table) != text or any(
                mod.parse(text) != table for mod in builds.values()):
            raise SystemExit(f"--ab: the builds differ on the small table {n_rows}x{per_row}")
        entry = {"table": f"{n_rows}x{per_row}", "values": n_rows * per_row}
        for fn_name, arg in (("stringify", table), ("parse", text)):
            fns = {name: lambda fn=getattr(mod, fn_name): fn(arg) for name, mod in builds.items()}
            with out_of_collectors_view():
                timed = per_call(fns, repeat)
            entry[fn_name] = {name: {"ns_per_call": r["ns_per_call"]} for name, r in timed.items()}
        results.append(entry)
    return results


def run_ab(args):
    """The A/B mode: see the module docstring."""
    builds = {AB_NEW: tarv, AB_OLD: load_other_build(args.ab)}
    print(f"A/B: new {tarv.__file__}\n     old {builds[AB_OLD].__file__}")
    print(f"tables {args.draw}, best of {args.repeat}, {clock} clock; ratios are new/old "
          "time (below 1: new is faster)\n")
    data = {"ab": {"new": tarv.__file__, "old": builds[AB_OLD].__file__, "tables": []}}
    shapes = [s for s in args.shapes if s != SMALL]
    if shapes:
        report.print_ab_head(args.sizes or AB_SIZES)
    for shape in shapes:
        entries = []
        for size in args.sizes or AB_SIZES:
            if size * SHAPES[shape].chars_per_value > MAX_CHARS:
                entries.append({"shape": shape, "size": size, "skipped": True})
                continue
            table = make_table(shape, size, args.draw)
            results, text_chars = bench_ab_table(builds, table, args.repeat, not args.no_memory)
            del table
            entries.append({"shape": shape, "size": size, "text_chars": text_chars, **results})
        report.print_ab_line(shape, entries)
        data["ab"]["tables"] += entries
    if SMALL in args.shapes:
        data["ab"]["small"] = bench_ab_small(builds, args.small_repeat, args.draw)
        report.print_ab_small(data["ab"]["small"], args.small_repeat)
    if not args.no_memory:
        report.print_ab_memory(data["ab"]["tables"])
    return data


# ------------------------------------------------------------ threads

def gil_state():
    """(whether this build can run without the GIL, whether the GIL is on)."""
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    return free_threaded, True if is_enabled is None else bool(is_enabled())


def run_in_threads(fn, batches, calls):
    """Wall-clock seconds for one thread per batch to call fn(x) `calls`
    times on each x of its batch in turn, all threads let go at once: from
    the first thread's start to the last one's end."""
    barrier = threading.Barrier(len(batches))
    spans = [None] * len(batches)
    errors = []

    def work(idx, batch):
        try:
            barrier.wait()
            t0 = time.perf_counter()
            for x in batch:
                for _ in range(calls):
                    fn(x)
            spans[idx] = (t0, time.perf_counter())
        except BaseException as exc:  # reported by the caller
            errors.append(exc)
            barrier.abort()

    threads = [threading.Thread(target=work, args=(i, b)) for i, b in enumerate(batches)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return max(end for _, end in spans) - min(start for start, _ in spans)


def thread_codecs(available):
    return [c for c in available if c[0] in THREAD_PEERS]


def bench_threads(shape, size, n_threads, draw, repeat, available):
    """Throughput of each encoder and decoder on n_threads independent
    tables (each thread its own table and its own encoded input) in
    n_threads threads against one thread doing the same calls in turn."""
    tables = [make_table(shape, size, draw + i) for i in range(n_threads)]
    n_values = sum(map(len, tables[0]))
    free_threaded, gil = gil_state()
    entry = {"shape": shape, "size": size, "values": n_values, "threads": n_threads,
             "free_threaded_build": free_threaded, "gil_enabled": gil, "results": {}}
    with out_of_collectors_view():
        for name, enc, dec in thread_codecs(available):
            datas = [enc(t) for t in tables]
            if any(dec(d) != t for d, t in zip(datas, tables)):
                raise SystemExit(f"{name}: decoding its encoded table gives a different table")
            entry["results"][name] = {
                kind: thread_speedup(fn, inputs, repeat, n_values)
                for kind, fn, inputs in (("encode", enc, tables), ("decode", dec, datas))}
            del datas
    return entry


def thread_speedup(fn, inputs, repeat, n_values):
    """Best wall time of the inputs' calls spread over one thread each
    against all of them in one thread, the two interleaved per repeat."""
    fn(inputs[0])
    t0 = time.perf_counter()
    fn(inputs[0])
    one_call = max(time.perf_counter() - t0, 1e-7)
    calls = max(1, round(THREAD_SAMPLE_S / (one_call * len(inputs))))
    one, many = [], []
    for _ in range(repeat):
        gc.collect()
        one.append(run_in_threads(fn, [inputs], calls))
        gc.collect()
        many.append(run_in_threads(fn, [[x] for x in inputs], calls))
    total = calls * len(inputs) * n_values
    return {"calls_per_thread": calls, "one_thread_s": one, "threads_s": many,
            "values_per_s_one": total / min(one), "values_per_s_threads": total / min(many),
            "speedup": min(one) / min(many)}


# ------------------------------------------------------------ options

def parse_size(text):
    """'10', '1k', '2.5M' -> a number of values."""
    t = text.strip().lower()
    scale = {"k": 1_000, "m": 1_000_000}.get(t[-1:], 1)
    number = t[:-1] if scale > 1 else t
    try:
        size = float(number) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}") from None
    if size < 1 or size != int(size):
        raise argparse.ArgumentTypeError(f"not a whole number of values >= 1: {text!r}")
    return int(size)


def parse_sizes(text):
    if text == "all":
        return list(SWEEP)
    return [parse_size(part) for part in text.split(",") if part.strip()]


def sizes_for(shape, sizes, quick):
    """The sizes a shape runs at: the given ones, else 10k and the shape's own
    size (a tenth of it, at least 10k, if quick)."""
    if sizes:
        return sizes
    full = SHAPES[shape].size
    if quick:
        return [max(10_000, full // 10)]
    return [s for s in (10_000,) if s < full] + [full]


def parse_draw(text):
    if text == "random":
        return random.SystemRandom().randrange(1 << 32)
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"--seed takes an integer or 'random': {text!r}") from None


def versions():
    found = {"python": platform.python_version(), "platform": platform.platform()}
    for name, mod in (("orjson", orjson), ("msgpack", msgpack)):
        if mod:
            found[name] = getattr(mod, "__version__", None) or ".".join(map(str, mod.version))
    with open(tarv.__file__, "rb") as f:
        found["tarv_build"] = hashlib.sha256(f.read()).hexdigest()[:12]
    return found


def arguments(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="one size per shape (a tenth of its full one, 10k at least), 3 repeats")
    ap.add_argument("--shapes",
                    help=f"comma-separated, from {', '.join(SHAPES)} and {SMALL} "
                         "(the small-table mode); default all (with a mode below, all "
                         f"but {SMALL})")
    ap.add_argument("--sizes", type=parse_sizes, metavar="N,N|all",
                    help="values per table, e.g. 10,1k,100k,1M; 'all' sweeps 10 to 10M "
                         "(default: 10k and each shape's own size)")
    ap.add_argument("--codecs", help="comma-separated codecs to run beside tarv and the floors "
                                     "(default all available)")
    ap.add_argument("--seed", dest="draw", type=parse_draw,
                    help=f"which tables to draw (default {DEFAULT_DRAW}, with --ab random); "
                         "'random' picks a number and prints it")
    ap.add_argument("--repeat", type=int,
                    help="repeats; the best counts (default 5, quick 3; small tables 7)")
    ap.add_argument("--clock", choices=CLOCKS, default="cpu",
                    help="cpu: this thread's CPU time (page faults included), which leaves "
                         "out time spent descheduled on a busy machine; wall: perf_counter "
                         "(default cpu)")
    ap.add_argument("--no-freeze", action="store_true",
                    help="leave the benchmark's own objects, its big table among them, in "
                         "the collector's view while the codecs run (decoders then walk "
                         "them in every full collection)")
    ap.add_argument("--no-heap", action="store_true",
                    help="skip the heap columns (allocator page faults counted apart)")
    ap.add_argument("--no-memory", action="store_true",
                    help="skip the tracemalloc pass (tarv's functions)")
    ap.add_argument("--repeat-calls", action="store_true",
                    help=f"mode: per table, one warm-up call and then {REPEAT_CALLS} calls in a "
                         "row of tarv.stringify, the floor and ''.join of tarv's text in "
                         "pieces: best time and page faults per call (default sizes "
                         "10k,100k,1M)")
    ap.add_argument("--general", action="store_true",
                    help="mode: tarv.stringify of a generator of the rows, with HEX a list, "
                         "and of a table plain but for its last item, against the plain call "
                         "(default sizes 10k,100k,1M)")
    ap.add_argument("--threads", type=int, metavar="N",
                    help="mode: throughput of parse and stringify (and of orjson's and "
                         "msgpack's) on independent tables in N threads against one thread "
                         "doing the same work, wall clock (default size 100k)")
    ap.add_argument("--ab", metavar="OTHER.so",
                    help="mode: the imported tarv (new) against the build OTHER.so (old) in "
                         f"this process, calls alternating, best of {AB_REPEAT}, on every "
                         "shape at 1k,100k,1M values and the small tables: new/old ratios")
    ap.add_argument("--plot", metavar="PATH.png", help="save a bar chart")
    ap.add_argument("--json", metavar="PATH", help="save the raw results")
    ap.add_argument("--compare", nargs=2, metavar=("BEFORE.json", "AFTER.json"),
                    help="print before/after tables of two --json files and exit")
    ap.add_argument("--heap-child", metavar="TABLE", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.compare:
        return args
    if args.draw is None:
        args.draw = parse_draw("random") if args.ab else DEFAULT_DRAW
    # Small tables take milliseconds: they get 7 repeats unless told otherwise.
    args.small_repeat = args.repeat or (AB_REPEAT if args.ab else 7)
    args.repeat = args.repeat or (AB_REPEAT if args.ab else 3 if args.quick else 5)
    args.modes = bool(args.repeat_calls or args.general or args.threads)
    if args.ab and (args.modes or args.heap_child):
        ap.error("--ab runs on its own, without the other modes")
    if args.threads is not None and args.threads < 1:
        ap.error("--threads takes a number of threads >= 1")
    if args.shapes is None:
        args.shapes = ",".join([*SHAPES] if args.modes else [*SHAPES, SMALL])
    args.shapes = [s.strip() for s in args.shapes.split(",") if s.strip()]
    unknown = [s for s in args.shapes if s not in SHAPES and s != SMALL]
    if unknown or not args.shapes or args.repeat < 1:
        ap.error(f"unknown shape(s) {unknown}; known: {', '.join([*SHAPES, SMALL])}" if unknown
                 else "need at least one shape and --repeat >= 1")
    available = codecs()
    if args.codecs:
        wanted = {"tarv", *(c.strip() for c in args.codecs.split(",") if c.strip())}
        missing = wanted - {name for name, _, _ in available}
        if missing:
            ap.error(f"codec(s) not available: {', '.join(sorted(missing))}")
        available = [c for c in available if c[0] in wanted]
    args.available = available
    return args


# ------------------------------------------------------------ main

def main(argv=None):
    global clock, freeze
    started = time.monotonic()
    args = arguments(argv)
    if args.compare:
        report.compare(*(report.load(path) for path in args.compare))
        return 0
    names = [name for name, _, _ in args.available]
    clock, freeze = args.clock, not args.no_freeze
    if args.heap_child:
        with open(args.heap_child, "rb") as f:
            table = marshal.load(f)
        run, table = bench_run(args.shapes[0], args.sizes[0], None, args.available, args.repeat,
                               with_memory=False, decode=False, table=table)
        with open(args.json, "w") as f:
            json.dump({"runs": [run]}, f)
        return 0

    if args.ab:
        print("tarv A/B: " + ", ".join(f"{k} {v}" for k, v in versions().items()))
        data = run_ab(args)
        print(f"\ntables {args.draw}; took {time.monotonic() - started:.0f} s")
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"meta": {**versions(), "seed": args.draw, "repeat": args.repeat,
                                    "clock": clock}, "runs": [], **data}, f, indent=1)
            print(f"raw results written to {args.json}")
        return 0

    info = versions()
    heap = not args.no_heap and not args.modes and platform.libc_ver()[0] == "glibc"
    print("tarv benchmark: " + ", ".join(f"{k} {v}" for k, v in info.items()))
    print(f"tables {args.draw}, repeat {args.repeat} (best counts), {clock} clock, "
          f"codecs {', '.join(names)}")
    if not args.no_memory and not args.modes:
        print("memory (tracemalloc, one call of tarv): 'extra B/v' is the peak beyond\n"
              "what the result holds; 'result B/v' is what the result holds. Memory\n"
              "taken outside Python's allocators is not seen by tracemalloc.")
    if heap:
        print("heap columns: tarv's encoder and the floor again, in a child process whose\n"
              "malloc keeps freed memory (MALLOC_MMAP_MAX_=0, huge MALLOC_TRIM_THRESHOLD_):\n"
              "page faults of the allocator counted apart.")
    elif not args.no_heap and not args.modes:
        print("note: not glibc, no heap columns")
    for name, mod in (("orjson", orjson), ("msgpack", msgpack)):
        if not mod:
            print(f"note: {name} is not installed, skipped")
    print()

    shapes = [s for s in args.shapes if s != SMALL]
    data = {"runs": [], "small": []}
    for shape in shapes if not args.modes else ():
        for size in sizes_for(shape, args.sizes, args.quick):
            if size * SHAPES[shape].chars_per_value > MAX_CHARS:
                print(f"== {shape}, {size:,} values: skipped, over {MAX_CHARS:,} characters ==\n")
                continue
            run_started = time.monotonic()
            run, table = bench_run(shape, size, args.draw, args.available, args.repeat,
                                   not args.no_memory)
            if heap and run["text_chars"] >= HEAP_MIN_CHARS:
                run["heap"] = heap_run(run, table, HEAP_CODECS, args.repeat)
            del table
            run["seconds"] = round(time.monotonic() - run_started, 1)
            report.print_run(run, SHAPES[shape].about)
            data["runs"].append(run)
    run_modes(args, shapes, data)
    if SMALL in args.shapes:
        data["small"] = bench_small(args.available, args.small_repeat, args.draw)
        report.print_small(data["small"], args.small_repeat)
        data["small_beyond"] = bench_small_beyond(args.small_repeat, args.draw)
        report.print_small_beyond(data["small_beyond"], args.small_repeat)
    checks = report.check_targets(data["runs"], data["small"])
    report.print_targets(data["runs"], data["small"], checks)
    mode_checks = report.mode_checks(data)
    report.print_mode_summary(mode_checks)

    elapsed = time.monotonic() - started
    print(f"\ntables {args.draw}; took {elapsed:.0f} s")
    if args.json:
        meta = {**info, "repeat": args.repeat, "small_repeat": args.small_repeat,
                "quick": args.quick, "seed": args.draw,
                "clock": clock,
                "argv": sys.argv[1:] if argv is None else argv, "seconds": round(elapsed)}
        with open(args.json, "w") as f:
            json.dump({"meta": meta, **data, "targets": checks + mode_checks}, f, indent=1)
        print(f"raw results written to {args.json}")
    if args.plot:
        report.plot(args.plot, data["runs"])
    return 0


def mode_sizes(shape, sizes, defaults):
    """The sizes a mode runs a shape at, those whose tables are not too big."""
    chosen = []
    for size in sizes or defaults:
        if size * SHAPES[shape].chars_per_value > MAX_CHARS:
            print(f"  ({shape}, {size:,} values: skipped, over {MAX_CHARS:,} characters)")
        else:
            chosen.append(size)
    return chosen


def run_modes(args, shapes, data):
    """--repeat-calls, --general and --threads, each over every shape and
    size, printing a line per table as it ends; the results go into data."""
    if args.repeat_calls:
        data["repeat_calls"] = []
        report.print_repeat_calls_head(REPEAT_CALLS, clock)
        for shape in shapes:
            for size in mode_sizes(shape, args.sizes, MODE_SIZES):
                entry = bench_repeat_calls(shape, size, args.draw)
                report.print_repeat_calls_line(entry)
                data["repeat_calls"].append(entry)
        print()
    if args.general:
        data["general"] = []
        report.print_general_head(args.repeat, clock)
        for shape in shapes:
            for size in mode_sizes(shape, args.sizes, MODE_SIZES):
                entry = bench_general(shape, size, args.draw, args.repeat)
                report.print_general_line(entry)
                data["general"].append(entry)
        print()
    if args.threads:
        data["threads"] = []
        free_threaded, gil = gil_state()
        report.print_threads_head(args.threads, free_threaded, gil, args.repeat)
        for shape in shapes:
            for size in mode_sizes(shape, args.sizes, THREAD_SIZES):
                entry = bench_threads(shape, size, args.threads, args.draw, args.repeat,
                                      args.available)
                report.print_threads_lines(entry)
                data["threads"].append(entry)
        print()


if __name__ == "__main__":
    sys.exit(main())
