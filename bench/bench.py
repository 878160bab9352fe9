"""Benchmark tarv.stringify / tarv.parse against other serializers.

Run as `python3 bench/bench.py [--quick] [--shapes a,b] [--repeat N]
[--plot out.png] [--json out.json]`. Every function runs in this one
process, on the same deterministic tables, interleaved round-robin within
each repeat; the best of N repeats is reported in nanoseconds per value.

Two floors frame the numbers:
  encode floor  ''.join() of a pre-flattened list of every value, i.e. what
                copying the characters once costs;
  decode floor  marshal.loads with the cyclic collector disabled during the
                call (every other decoder runs with it enabled; tarv.parse
                pauses it by itself while it builds the table).
"""
import argparse
import csv
import gc
import io
import json
import marshal
import pickle
import platform
import random
import string
import sys
import time
import tracemalloc

import tarv

try:
    import orjson
except ImportError:
    orjson = None
try:
    import msgpack
except ImportError:
    msgpack = None

TABLES_KEY = 20240611  # makes the tables the same on every run
ENC_FLOOR = "floor: ''.join"
DEC_FLOOR = "floor: marshal, gc off"

# ---------------------------------------------------------------- tables

ASCII = string.ascii_letters + string.digits + string.punctuation
CYRILLIC = "".join(map(chr, range(0x0410, 0x0450)))
CJK = "".join(map(chr, range(0x4E00, 0x4E00 + 2000)))
EMOJI = "".join(map(chr, range(0x1F300, 0x1F650)))

# name: (rows, columns, value length range, [(alphabet, weight), ...])
SHAPES = {
    "short-ascii": (100_000, 10, (1, 12), [(ASCII, 1)]),
    "long-ascii": (2_000, 10, (900, 1100), [(ASCII, 1)]),
    "cjk-cyrillic": (100_000, 10, (1, 12), [(ASCII, 4), (CYRILLIC, 3), (CJK, 3)]),
    "emoji": (100_000, 10, (1, 12), [(ASCII, 17), (EMOJI, 3)]),
}


def make_table(shape, row_scale=1.0):
    """A fresh table: every value is its own str object, built by join."""
    rows, cols, (lo, hi), mix = SHAPES[shape]
    rng = random.Random(f"{TABLES_KEY}:{shape}")
    # One weighted alphabet: each pool gets its share, spread over its chars.
    population, cum, total = [], [], 0.0
    for alphabet, weight in mix:
        for ch in alphabet:
            total += weight / len(alphabet)
            population.append(ch)
            cum.append(total)
    choices, randint = rng.choices, rng.randint

    def value():
        return "".join(choices(population, cum_weights=cum, k=randint(lo, hi)))

    n_rows = max(1, int(rows * row_scale))
    return [[value() for _ in range(cols)] for _ in range(n_rows)]


# ------------------------------------------------------ codecs under test

def csv_dumps(table):
    buf = io.StringIO()
    csv.writer(buf).writerows(table)
    return buf.getvalue()


def csv_loads(text):
    return list(csv.reader(io.StringIO(text)))


def codecs():
    """(name, encode, decode) for every available peer, tarv first."""
    found = [
        ("tarv", tarv.stringify, tarv.parse),
        ("json", lambda t: json.dumps(t, ensure_ascii=False), json.loads),
    ]
    if orjson:
        found.append(("orjson", orjson.dumps, orjson.loads))
    else:
        print("note: orjson is not installed, skipped")
    if msgpack:
        found.append(("msgpack", msgpack.packb, msgpack.unpackb))
    else:
        print("note: msgpack is not installed, skipped")
    found += [
        ("pickle", lambda t: pickle.dumps(t, protocol=5), pickle.loads),
        ("marshal", marshal.dumps, marshal.loads),
        ("csv", csv_dumps, csv_loads),
    ]
    return found


def build_cases(table, available):
    """Checked, zero-argument encoder and decoder calls for one table.

    Returns (encoders, decoders, gc_off): two dicts name -> callable, and
    the names that must run with the collector disabled.
    """
    flat = [v for row in table for v in row]
    joined = "".join(flat)
    encoders, decoders = {}, {}
    for name, enc, dec in available:
        data = enc(table)
        if dec(data) != table:
            raise SystemExit(f"{name}: decoding the encoded table gives a different table")
        encoders[name] = lambda enc=enc: enc(table)
        decoders[name] = lambda dec=dec, data=data: dec(data)
    if (len(joined) != sum(map(len, flat)) or not joined.startswith(flat[0])
            or not joined.endswith(flat[-1])):
        raise SystemExit("join floor: unexpected output")
    encoders[ENC_FLOOR] = lambda: "".join(flat)
    packed = marshal.dumps(table)
    if marshal.loads(packed) != table:
        raise SystemExit("marshal floor: unexpected output")
    decoders[DEC_FLOOR] = lambda: marshal.loads(packed)  # gc off: see run_once
    return encoders, decoders, {DEC_FLOOR}


# ------------------------------------------------------------ measuring

def run_once(fn, gc_off):
    """Nanoseconds for one call. The result stays alive until the clock is
    read and is freed outside the timed window."""
    gc.collect()  # same collector state before every call
    if gc_off:
        gc.disable()
    t0 = time.perf_counter_ns()
    result = fn()
    t1 = time.perf_counter_ns()
    if gc_off:
        gc.enable()
    del result
    return t1 - t0


def time_all(cases, gc_off, repeat):
    """All timings per name, the calls interleaved round-robin per repeat."""
    times = {name: [] for name in cases}
    for _ in range(repeat):
        for name, fn in cases.items():
            times[name].append(run_once(fn, name in gc_off))
    return times


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


def measure(cases, gc_off, repeat, n_values, with_memory):
    times = time_all(cases, gc_off, repeat)
    out = {}
    for name, fn in cases.items():
        best = min(times[name])
        row = {"times_ns": times[name], "best_ns": best, "ns_per_value": best / n_values}
        if with_memory:
            extra, held = memory_of(fn, name in gc_off)
            row["extra_bytes_per_value"] = extra / n_values
            row["result_bytes_per_value"] = held / n_values
        out[name] = row
    return out


# ------------------------------------------------------------ reporting

def print_table(title, results, floor):
    floor_ns = results[floor]["ns_per_value"]
    tarv_ns = results["tarv"]["ns_per_value"]
    mem = "extra_bytes_per_value" in results[floor]
    head = f"  {title:<24}{'ns/value':>10}{'x floor':>9}{'x tarv':>8}"
    if mem:
        head += f"{'peak extra B/v':>16}{'result B/v':>12}"
    print(head)
    for name, r in sorted(results.items(), key=lambda kv: kv[1]["ns_per_value"]):
        ns = r["ns_per_value"]
        line = f"  {name:<24}{ns:>10.1f}{ns / floor_ns:>9.2f}{ns / tarv_ns:>8.2f}"
        if mem:
            line += f"{r['extra_bytes_per_value']:>16.1f}{r['result_bytes_per_value']:>12.1f}"
        print(line)
    peers = {n: r for n, r in results.items() if n != "tarv" and n != floor}
    if peers:
        fastest = min(peers, key=lambda n: peers[n]["ns_per_value"])
        speedup = peers[fastest]["ns_per_value"] / tarv_ns
        verdict = "" if speedup >= 1 else "  (tarv is slower)"
        print(f"  tarv speed-up over the fastest peer ({fastest}): {speedup:.2f}x{verdict}")
    print()


def plot(path, report, shapes):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 1, figsize=(12, 9))
    for ax, kind in zip(axes, ("encode", "decode")):
        names = list(report[shapes[0]][kind])
        width = 0.8 / len(names)
        values = []
        for i, name in enumerate(names):
            ys = [report[s][kind][name]["ns_per_value"] for s in shapes]
            values += ys
            xs = [j + (i - (len(names) - 1) / 2) * width for j in range(len(shapes))]
            floor = name in (ENC_FLOOR, DEC_FLOOR)
            ax.bar(xs, ys, width, label=name, color="0.6" if floor else None,
                   hatch="//" if floor else None, edgecolor="white" if floor else None)
        if max(values) / min(values) > 20:
            ax.set_yscale("log")
        ax.set_xticks(range(len(shapes)), shapes)
        ax.set_ylabel("ns per value (lower is better)")
        ax.set_title(f"{kind} (best of {len(report[shapes[0]][kind]['tarv']['times_ns'])})")
        ax.grid(axis="y", alpha=0.3, which="both")
        ax.legend(fontsize=8, ncol=3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


def versions():
    found = {"python": platform.python_version(), "platform": platform.platform()}
    for name, mod in (("orjson", orjson), ("msgpack", msgpack)):
        if mod:
            found[name] = getattr(mod, "__version__", None) or ".".join(map(str, mod.version))
    return found


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="one tenth of the rows")
    ap.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated shape names")
    ap.add_argument("--repeat", type=int, default=7, help="repeats; the best one counts")
    ap.add_argument("--no-memory", action="store_true", help="skip the tracemalloc pass")
    ap.add_argument("--plot", metavar="PATH.png", help="save a bar chart")
    ap.add_argument("--json", metavar="PATH", help="save the raw results")
    args = ap.parse_args(argv)
    shapes = [s.strip() for s in args.shapes.split(",") if s.strip()]
    unknown = [s for s in shapes if s not in SHAPES]
    if unknown or not shapes or args.repeat < 1:
        ap.error(f"unknown shape(s) {unknown}; known: {', '.join(SHAPES)}" if unknown
                 else "need at least one shape and --repeat >= 1")

    info = versions()
    print("tarv benchmark: " + ", ".join(f"{k} {v}" for k, v in info.items()))
    print(f"repeat {args.repeat} (best counts), {'quick' if args.quick else 'full'} run")
    if not args.no_memory:
        print("memory (tracemalloc, one call): 'peak extra' is the peak beyond what the\n"
              "result holds; 'result' is what the result holds. Memory taken outside\n"
              "Python's allocators is not seen by tracemalloc.")
    print()
    available = codecs()
    report = {}
    for shape in shapes:
        table = make_table(shape, 0.1 if args.quick else 1.0)
        n = sum(map(len, table))
        chars = sum(len(v) for row in table for v in row)
        print(f"== {shape}: {len(table):,} rows, {n:,} values, "
              f"{chars / n:.1f} chars/value ==")
        encoders, decoders, gc_off = build_cases(table, available)
        mem = not args.no_memory
        report[shape] = {
            "rows": len(table), "values": n, "chars": chars,
            "encode": measure(encoders, set(), args.repeat, n, mem),
            "decode": measure(decoders, gc_off, args.repeat, n, mem),
        }
        print_table("encode", report[shape]["encode"], ENC_FLOOR)
        print_table("decode", report[shape]["decode"], DEC_FLOOR)
        del table, encoders, decoders

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"meta": {**info, "repeat": args.repeat, "quick": args.quick,
                                "tables_key": TABLES_KEY}, "shapes": report}, f, indent=1)
        print(f"raw results written to {args.json}")
    if args.plot:
        plot(args.plot, report, shapes)


if __name__ == "__main__":
    sys.exit(main())
