"""Checks of the benchmark itself: the tables are what the shapes promise,
broken codecs are caught, the targets are judged right, and a whole run
writes results that --compare reads. Run with `python3 -m pytest bench`."""
import gc
import json
import os
import subprocess
import sys

import pytest
import tarv
from hypothesis import given, settings, strategies as st

import bench
import report
from shapes import SHAPES, make_small_table, make_table

N = 10_000


def values_of(table):
    return [v for row in table for v in row]


def share(values, pred):
    return sum(1 for v in values if pred(v)) / len(values)


def has_astral(v):
    return any(ord(c) > 0xFFFF for c in v)


@pytest.fixture(scope="module", params=list(SHAPES))
def shaped(request):
    return request.param, make_table(request.param, N, 7)


def test_tables_have_the_size_and_fresh_values(shaped):
    shape, table = shaped
    values = values_of(table)
    assert len(values) == N and all(type(v) is str for v in values)
    # CPython shares '' and one-character Latin-1 strings; nothing else may be.
    own = [v for v in values if len(v) > 1 or (v and ord(v) > 0xFF)]
    assert len({id(v) for v in own}) == len(own)
    assert make_table(shape, N, 7) == table
    assert make_table(shape, N, 8) != table


SHAPE_PROPERTIES = {
    "short-ascii": lambda t, v: all(len(r) == 10 for r in t) and all(1 <= len(x) <= 12 and x.isascii() for x in v),
    "long-ascii": lambda t, v: all(len(r) == 5 for r in t) and all(800 <= len(x) <= 1200 for x in v),
    "emoji-dense": lambda t, v: 0.22 < sum(map(has_astral, "".join(v))) / len("".join(v)) < 0.28,
    "ragged": lambda t, v: (0.07 < share(t, lambda r: not r) < 0.13 and max(map(len, t)) == 20
                            and 0.22 < share(v, lambda x: not x) < 0.28),
    "tall": lambda t, v: all(len(r) == 1 for r in t),
    "separators": lambda t, v: sum(x.count(";") + x.count("\n") for x in v) > len(v) // 2,
    "latin1": lambda t, v: bench.charset("".join(v)) == "latin-1" and share(v, str.isascii) < 0.5,
    "cjk-cyrillic": lambda t, v: share(v, lambda x: any("\u4e00" <= c <= "\u9fff" for c in x)) > 0.5,
    "mixed-widths": lambda t, v: (0.03 < share(v, lambda x: any("\u4e00" <= c <= "\u9fff" for c in x)) < 0.05
                                  and 0.003 < share(v, has_astral) < 0.012),
    "numeric": lambda t, v: (all(len(r) == 8 for r in t) and len({r[2] for r in t}) == 6
                             and share(v, lambda x: x[:1].isdigit()) > 0.5),
}


def test_tables_look_like_their_shape(shaped):
    shape, table = shaped
    assert SHAPE_PROPERTIES[shape](table, values_of(table))


def test_small_tables_have_their_dimensions():
    table = make_small_table(5, 8, 1)
    assert [len(r) for r in table] == [8] * 5


@pytest.mark.parametrize("text, size", [("10", 10), ("1k", 1_000), ("2.5M", 2_500_000),
                                        (" 100K ", 100_000)])
def test_sizes_parse(text, size):
    assert bench.parse_size(text) == size


@pytest.mark.parametrize("text", ["0", "1.5", "x", "k", "-3"])
def test_bad_sizes_are_refused(text):
    with pytest.raises(Exception, match="size|number"):
        bench.parse_size(text)


@pytest.mark.parametrize("text, expected", [("abc", "ascii"), ("é", "latin-1"), ("ab\u0100", "wide"),
                                            ("\U0001F600", "wide")])
def test_charset(text, expected):
    assert bench.charset(text) == expected


@pytest.mark.parametrize("broken", [
    lambda t: t[:-1],  # drops a row
    lambda t: [list(reversed(r)) for r in t],
    lambda t: [[v + "x" for v in r] for r in t],
])
def test_a_codec_that_loses_data_stops_the_run(broken):
    table = [["ab", "c"], ["d", "e"], []]
    codec = ("lossy", lambda t: t, broken)
    with pytest.raises(SystemExit, match="lossy"):
        bench.bench_table(table, [codec], repeat=1, with_memory=False)


@pytest.mark.parametrize("freeze", [True, False])
def test_objects_are_frozen_only_while_the_codecs_run(monkeypatch, freeze):
    monkeypatch.setattr(bench, "freeze", freeze)
    with pytest.raises(KeyError):
        with bench.out_of_collectors_view():
            assert (gc.get_freeze_count() > 0) is freeze
            raise KeyError
    assert gc.get_freeze_count() == 0


# ------------------------------------------------------------ targets

def results(tarv, floor_name, floor, **peers):
    return {"tarv": {"best_ns": tarv}, floor_name: {"best_ns": floor},
            **{n: {"best_ns": ns} for n, ns in peers.items()}}


def fake_run(shape="short-ascii", values=N, enc=(10, 10), dec=(10, 10), heap_enc=None,
             output="ascii", one_per_row=False, short_values=True, orjson=20, peer=100):
    run = {"shape": shape, "values": values, "output": output, "one_per_row": one_per_row,
           "short_values": short_values,
           "encode": results(enc[0], report.ENC_FLOOR, enc[1], orjson=orjson),
           "decode": results(dec[0], report.DEC_FLOOR, dec[1], msgpack=peer)}
    if heap_enc:
        run["heap"] = {"encode": results(heap_enc[0], report.ENC_FLOOR, heap_enc[1])}
    return run


def verdicts(run):
    return {c["target"]: c["ok"] for c in report.run_checks(run)}


@pytest.mark.parametrize("kwargs, target, ok", [
    (dict(enc=(13, 10)), "stringify x floor", True),
    (dict(enc=(14, 10)), "stringify x floor", False),
    (dict(enc=(14, 10), heap_enc=(12, 10)), "stringify x floor", True),
    (dict(enc=(14, 10), heap_enc=(14, 10)), "stringify x floor", False),
    (dict(enc=(15, 10), one_per_row=True), "stringify x floor, one per row", True),
    (dict(enc=(17, 10), one_per_row=True), "stringify x floor, one per row", False),
    (dict(enc=(10, 5), orjson=9), "stringify vs orjson", False),
    (dict(enc=(10, 5), orjson=10), "stringify vs orjson", True),
    (dict(output="latin-1", orjson=9), "stringify vs orjson", False),
    (dict(output="wide", orjson=9), "stringify vs orjson", None),
    (dict(dec=(50, 60), peer=99), "parse vs peer", False),
    (dict(dec=(50, 60), peer=100), "parse vs peer", True),
    (dict(dec=(50, 60), peer=99, short_values=False), "parse vs peer", None),
    (dict(dec=(61, 60)), "parse x floor", False),
    (dict(dec=(60, 60)), "parse x floor", True),
])
def test_table_targets(kwargs, target, ok):
    assert verdicts(fake_run(**kwargs)).get(target) is ok


def test_faults_apart_is_told_apart():
    (floor,) = [c for c in report.run_checks(fake_run(enc=(14, 10), heap_enc=(12, 10)))
                if c["target"] == "stringify x floor"]
    assert floor["ok"] and floor["faults_apart"] and floor["heap_value"] == 1.2


def test_small_tables_below_the_size_of_targets_are_not_judged():
    assert report.check_targets([fake_run(values=report.MIN_VALUES - 1, enc=(99, 1))], []) == []


@pytest.mark.parametrize("tarv_ns, ok", [(100, True), (101, False)])
def test_small_table_target_takes_the_faster_peer(tarv_ns, ok):
    entry = {"table": "1x1", "encode": {"tarv": {"ns_per_call": tarv_ns},
                                        "orjson": {"ns_per_call": 100},
                                        "msgpack": {"ns_per_call": 300}},
             "decode": {"tarv": {"ns_per_call": 1}, "msgpack": {"ns_per_call": 2}}}
    (enc, dec) = report.small_checks(entry)
    assert (enc["ok"], enc["peer"], dec["ok"]) == (ok, "orjson", True)


# ------------------------------------------------------------ a whole run

def test_run_then_compare(tmp_path, capsys):
    paths = []
    for draw in ("1", "2"):
        path = tmp_path / f"{draw}.json"
        assert bench.main(["--shapes", "tall,numeric,small", "--sizes", "100,100k", "--repeat", "1",
                           "--codecs", "marshal", "--seed", draw, "--json", str(path)]) == 0
        paths.append(str(path))
    saved = json.loads((tmp_path / "2.json").read_text())
    run = saved["runs"][-1]
    assert (run["shape"], run["values"], run["calls_per_sample"]) == ("numeric", 100_000, 1)
    assert "heap" not in saved["runs"][0] and saved["runs"][0]["calls_per_sample"] == 200
    assert set(run["encode"]) == {"tarv", "marshal", report.ENC_FLOOR}
    assert set(run["heap"]) == {"encode"} and set(run["heap"]["encode"]) == {"tarv", report.ENC_FLOOR}
    assert saved["targets"] and saved["meta"]["seed"] == 2
    capsys.readouterr()
    assert bench.main(["--compare", *paths]) == 0
    out = capsys.readouterr().out
    assert "| numeric | 100k |" in out and "| tall | 100 |" in out and "targets after:" in out


@pytest.mark.parametrize("value, limit, shown", [(1.998, 2.0, "1.998"), (1.31, 1.3, "1.31"),
                                                 (1.3001, 1.3, "1.3001"), (0.5, None, "0.50")])
def test_a_miss_never_shows_as_its_limit(value, limit, shown):
    assert report.figure(value, limit) == shown


def test_the_printed_table_marks_what_the_checks_decide(capsys):
    runs = [fake_run(shape="short-ascii", enc=(14, 10), heap_enc=(12, 10)),
            fake_run(shape="tall", enc=(17, 10), one_per_row=True)]
    report.print_targets(runs, [], report.check_targets(runs, []))
    lines = {line.split()[0]: line for line in capsys.readouterr().out.splitlines()
             if line.startswith(("  short-ascii", "  tall"))}
    assert "1.40*" in lines["short-ascii"] and "1.70!" in lines["tall"]


def compare_file(tarv_enc, tarv_dec, small_ns):
    run = fake_run(enc=(tarv_enc, 10), dec=(tarv_dec, 60))
    for kind in ("encode", "decode"):
        for r in run[kind].values():
            r.update(ns_per_value=r["best_ns"] / N, faults_per_call=0)
    small = [{"table": "1x1", "encode": {"tarv": {"ns_per_call": small_ns},
                                         "orjson": {"ns_per_call": 90}},
              "decode": {"tarv": {"ns_per_call": 80}, "orjson": {"ns_per_call": 90}}}]
    return {"meta": {}, "runs": [run], "small": small}


def test_compare_reports_speed_ups_and_target_counts(capsys):
    report.compare(compare_file(20, 50, 120), compare_file(10, 40, 85))
    out = capsys.readouterr().out
    stringify, parse = [line for line in out.splitlines() if line.startswith("| short-ascii")]
    assert "| 2.00x |" in stringify and "| 2.00 | 1.00 |" in stringify
    assert "| 1.25x |" in parse
    assert "| 1x1 | 120 | 85 | 90 |" in out
    assert "targets before: 4 of 6 met" in out and "targets after: 6 of 6 met" in out


@pytest.mark.parametrize("sizes, quick, expected", [
    (None, False, [10_000, 1_000_000]), (None, True, [100_000]), ([10, 20], False, [10, 20])])
def test_default_sizes(sizes, quick, expected):
    assert bench.sizes_for("short-ascii", sizes, quick) == expected
    assert min(bench.sizes_for("long-ascii", sizes, quick)) >= (10 if sizes else 10_000)


@pytest.mark.skipif(bench.platform.libc_ver()[0] != "glibc", reason="glibc's malloc settings")
def test_heap_settings_stop_the_faults_of_large_results():
    script = ("import resource, sys\n"
              "faults = []\n"
              "for _ in range(4):\n"
              "    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt\n"
              "    text = 'x' * (48 << 20)\n"
              "    faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)\n"
              "    del text\n"
              "print(max(faults[1:]))\n")
    def later_faults(env):
        out = subprocess.run([sys.executable, "-c", script], env={**os.environ, **env},
                             check=True, capture_output=True, text=True).stdout
        return int(out)
    assert later_faults({}) > 10_000  # 48 MB is above every mmap threshold
    assert later_faults(bench.HEAP_ENV) < 100


# ------------------------------------------------------------ the modes

# Any characters, astral ones among them, in tables of any shape.
values = st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF,
                               blacklist_categories=("Cs",)), max_size=30)
tables = st.lists(st.lists(values, max_size=6), min_size=1, max_size=8)


@settings(max_examples=200, deadline=None)
@given(tables)
def test_same_text_pieces_join_to_tarvs_text(table):
    assert "".join(bench.same_text_pieces(table)) == tarv.stringify(table)


@pytest.mark.parametrize("table", [
    [["\ud800", "a\udfff"]],  # lone surrogates count one unit each
    [["x" * 9, "x" * 10, "x" * 100]],  # one, two and three length digits
    [[], [], ["😀" * 5]],  # 10 units: two digits for five characters
    [[7, None, 2.5]],  # not str: taken as str() of it
])
def test_same_text_pieces_on_edge_values(table):
    assert "".join(bench.same_text_pieces(table)) == tarv.stringify(table)


def test_same_text_pieces_follow_a_given_hex():
    hex_digits = "ZYXWVUTSRQPONMLK"
    table = [["a", "b" * 12]]
    assert "".join(bench.same_text_pieces(table, hex_digits)) == bench.stringify_with_hex(
        table, hex_digits) == "Z1aY12" + "b" * 12 + ";"


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("table, raises", [([["a"]], None), ([["a", Unprintable()]], ValueError),
                                           (5, TypeError)])
def test_hex_is_restored_after_the_list_hex_call(table, raises):
    before = tarv.HEX
    if raises:
        with pytest.raises(raises):
            bench.stringify_with_hex(table, list(before))
    else:
        assert bench.stringify_with_hex(table, list(before)) == tarv.stringify(table)
    assert tarv.HEX is before


@pytest.mark.parametrize("table, row", [([["a", "b"], ["c"]], 1), ([["a"], [], []], 0),
                                        ([["a"], ["b", "c", "d"], []], 1)])
def test_last_item_copies_differ_in_their_last_value_only(table, row):
    original = [list(r) for r in table]
    plain, other = bench.last_item_copies(table)
    assert plain == table and plain is not table
    assert other[row][-1] == 7 and other[row][:-1] == table[row][:-1]
    assert other[:row] + other[row + 1:] == table[:row] + table[row + 1:]
    assert all(a is not b and a is not c for a, b, c in zip(table, plain, other))
    assert table == original


def test_last_item_copies_of_a_table_without_values():
    assert bench.last_item_copies([[], []]) is None


def test_repeat_calls_mode():
    entry = bench.bench_repeat_calls("emoji-dense", 200, 3, calls=4)
    r = entry["results"]
    assert set(r) == {"tarv", report.ENC_FLOOR, report.SAME_TEXT}
    assert all(len(x["times_ns"]) == 4 and x["faults_per_call"] >= 0 for x in r.values())
    assert r["tarv"]["result_bytes"] == r[report.SAME_TEXT]["result_bytes"] == entry["text_bytes"]
    assert entry["text_chars"] > entry["chars"] and entry["output"] == "wide"
    assert set(entry["busy"]) == {"tarv", report.LATE_ROW, report.ENC_FLOOR}
    assert entry["busy"][report.LATE_ROW]["result_bytes"] >= entry["text_bytes"]


def test_busy_heap_keeps_blocks_beside_the_holes():
    kept = bench.busy_heap(80_000)
    assert [len(x) for x in kept] == [4_000] * bench.BUSY_BLOCKS


def test_general_mode_keeps_hex_and_checks_each_text():
    before = tarv.HEX
    entry = bench.bench_general("ragged", 300, 3, repeat=1)
    assert tarv.HEX is before
    r = entry["results"]
    assert set(r) == {report.GEN_PLAIN, report.GEN_ROWS, report.GEN_ALONE, report.GEN_LIST_HEX,
                      report.GEN_LAST_STR, report.GEN_LAST_INT}
    assert all("extra_bytes" in r[n] for n in (report.GEN_PLAIN, report.GEN_ROWS,
                                                report.GEN_LIST_HEX))


def test_small_tables_beyond_the_first_buffer():
    entries = bench.bench_small_beyond(1, 3)
    assert [e["values"] for e in entries] == [r * n for r, n, _ in bench.SMALL_BEYOND]
    assert all(set(e["encode"]) == {"tarv", report.ENC_FLOOR} for e in entries)
    assert entries == sorted(entries, key=lambda e: e["text_chars"])


def test_threads_mode(monkeypatch):
    monkeypatch.setattr(bench, "THREAD_SAMPLE_S", 0.002)
    entry = bench.bench_threads("short-ascii", 100, 2, 3, 1, bench.codecs())
    assert entry["threads"] == 2 and "tarv" in entry["results"]
    assert entry["gil_enabled"] == bench.gil_state()[1]
    for kinds in entry["results"].values():
        for k in kinds.values():
            assert k["speedup"] > 0 and len(k["one_thread_s"]) == len(k["threads_s"]) == 1


def test_an_error_in_a_thread_reaches_the_caller():
    def fn(x):
        if x:
            raise ZeroDivisionError
    with pytest.raises((ZeroDivisionError, bench.threading.BrokenBarrierError)):
        bench.run_in_threads(fn, [[0], [1]], 3)
    with pytest.raises(ZeroDivisionError):
        bench.run_in_threads(fn, [[0, 1]], 3)


@pytest.mark.parametrize("argv, small", [([], True), (["--general"], False),
                                         (["--threads", "2"], False),
                                         (["--repeat-calls", "--shapes", "tall,small"], True)])
def test_the_modes_leave_out_small_tables_unless_asked(argv, small):
    assert (bench.SMALL in bench.arguments(argv).shapes) is small


# ------------------------------------------------------------ the modes' targets

def repeat_entry(x_floor=1.0, faults=0.0, floor_faults=0.0, same_faults=0.0, text_bytes=1 << 20,
                 values=N, ceiling=32 << 20):
    def r(ns, f):
        return {"best_ns": ns, "ns_per_value": ns / values, "faults_per_call": f}
    return {"shape": "emoji-dense", "values": values, "text_bytes": text_bytes,
            "mmap_threshold_max": ceiling,
            "results": {"tarv": r(100 * x_floor, faults), report.ENC_FLOOR: r(100, floor_faults),
                        report.SAME_TEXT: r(200, same_faults)}}


@pytest.mark.parametrize("kwargs, floor_ok, faults_ok, allocator, same_too", [
    (dict(x_floor=1.5), True, True, False, False),
    (dict(x_floor=1.51), False, True, False, False),
    (dict(faults=0.9), True, True, False, False),  # within the loop's own slack
    (dict(faults=900, same_faults=900, text_bytes=40 << 20), True, False, True, True),
    (dict(faults=900, same_faults=900, text_bytes=40 << 20, ceiling=None),
     True, False, False, True),  # not glibc
    (dict(faults=900, same_faults=900), True, False, False, True),  # small text: a plain miss
    (dict(faults=900, same_faults=10, text_bytes=40 << 20), True, False, False, False),
    (dict(faults=900, floor_faults=900, same_faults=900, text_bytes=40 << 20),
     True, True, False, False),
])
def test_repeat_calls_targets(kwargs, floor_ok, faults_ok, allocator, same_too):
    # (The entries have no busy heap: it adds checks of its own, below.)
    x_floor, faults = report.repeat_calls_checks(repeat_entry(**kwargs))
    assert (x_floor["ok"], faults["ok"], faults["allocator"], faults["same_text_faults_too"]) == (
        floor_ok, faults_ok, allocator, same_too)
    assert report.mark(faults) == ("~" if allocator else " " if faults_ok else "!")


@pytest.mark.parametrize("plain, late, floor, text_bytes, oks, allocators", [
    (0.0, 0.5, 0.0, 1 << 20, (True, True), (False, False)),
    (0.0, 2_000.0, 0.0, 1 << 20, (True, False), (False, False)),  # the late row faults
    (5.0, 5.0, 0.0, 1 << 20, (False, True), (False, False)),
    (9_000.0, 9_000.5, 0.0, 40 << 20, (False, True), (True, False)),  # over the mmap ceiling
    (9_000.0, 9_002.0, 0.0, 40 << 20, (False, False), (True, True)),
])
def test_busy_heap_targets(plain, late, floor, text_bytes, oks, allocators):
    entry = repeat_entry(text_bytes=text_bytes)
    entry["busy"] = {name: {"best_ns": 100, "ns_per_value": 0.01, "faults_per_call": f}
                     for name, f in (("tarv", plain), (report.LATE_ROW, late),
                                     (report.ENC_FLOOR, floor))}
    busy_checks = report.repeat_calls_checks(entry)[2:]
    assert tuple(c["ok"] for c in busy_checks) == oks
    assert tuple(c["allocator"] for c in busy_checks) == allocators


def general_entry(gen=1.0, list_hex=1.0, last=1.0, gen_mem=0.5, hex_mem=0.5, last_item=True):
    def r(ns, extra=0):
        return {"best_ns": ns, "ns_per_value": ns / N, "extra_bytes": extra, "result_bytes": 1000}
    results = {report.GEN_PLAIN: r(100), report.GEN_ROWS: r(100 * gen, 1000 * gen_mem),
               report.GEN_ALONE: r(30), report.GEN_LIST_HEX: r(100 * list_hex, 1000 * hex_mem)}
    if last_item:
        results.update({report.GEN_LAST_STR: r(200), report.GEN_LAST_INT: r(200 * last)})
    return {"shape": "ragged", "values": N, "results": results}


@pytest.mark.parametrize("kwargs, missed", [
    (dict(gen=1.3, list_hex=2.0, last=1.1, gen_mem=1.0, hex_mem=1.0), set()),
    (dict(gen=1.31), {"general generator x plain"}),
    (dict(list_hex=2.01), {"general list HEX x plain"}),
    (dict(last=1.11), {"general last item x plain"}),
    (dict(gen_mem=1.01, hex_mem=1.5), {"general generator memory x result",
                                       "general list HEX memory x result"}),
    (dict(last=9, last_item=False), set()),
])
def test_general_targets(kwargs, missed):
    checks = report.general_checks(general_entry(**kwargs))
    assert {c["target"] for c in checks if not c["ok"]} == missed
    judged = {c["target"] for c in checks}
    assert ("general last item x plain" in judged) is kwargs.get("last_item", True)


@pytest.mark.parametrize("threads, gil, speedup, ok", [
    (2, False, 1.8, True), (2, False, 1.79, False), (2, True, 1.0, None), (4, False, 1.0, None)])
def test_thread_target_is_judged_with_the_gil_off_only(threads, gil, speedup, ok):
    entry = {"shape": "short-ascii", "values": N, "threads": threads, "gil_enabled": gil,
             "results": {"tarv": {k: {"speedup": speedup} for k in ("encode", "decode")}}}
    checks = report.threads_checks(entry)
    assert [c["ok"] for c in checks] == ([] if ok is None else [ok, ok])


def test_modes_run_then_compare(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(bench, "THREAD_SAMPLE_S", 0.002)
    path = tmp_path / "modes.json"
    assert bench.main(["--repeat-calls", "--general", "--threads", "2", "--shapes", "tall,small",
                       "--sizes", "100", "--repeat", "1", "--codecs", "orjson",
                       "--json", str(path)]) == 0
    saved = json.loads(path.read_text())
    assert [len(saved[k]) for k in ("repeat_calls", "general", "threads")] == [1, 1, 1]
    assert saved["runs"] == [] and saved["small"] and saved["small_beyond"]
    assert {c["subject"] for c in saved["targets"]} >= {e["table"] for e in saved["small_beyond"]}
    old = tmp_path / "old.json"
    assert bench.main(["--shapes", "tall", "--sizes", "100", "--repeat", "1", "--codecs", "marshal",
                       "--no-heap", "--json", str(old)]) == 0
    capsys.readouterr()
    assert bench.main(["--compare", str(path), str(path)]) == 0
    out = capsys.readouterr().out
    for head in ("| repeated calls |", "| general paths (x plain) |",
                 "| small table past the first buffer |", "| threads (speed-up) |"):
        assert head in out
    assert bench.main(["--compare", str(old), str(path)]) == 0
    assert "| repeated calls |" not in capsys.readouterr().out


# ------------------------------------------------------------ A/B of two builds

def test_ab_takes_15_repeats_and_fresh_tables_by_default():
    args = bench.arguments(["--ab", "other.so"])
    assert (args.repeat, args.small_repeat) == (bench.AB_REPEAT, bench.AB_REPEAT)
    assert args.draw != bench.DEFAULT_DRAW or bench.arguments(["--ab", "o.so"]).draw != args.draw
    assert bench.arguments(["--ab", "other.so", "--seed", "5"]).draw == 5
    with pytest.raises(SystemExit):
        bench.arguments(["--ab", "other.so", "--general"])


def test_ab_refuses_the_imported_build_itself():
    with pytest.raises(SystemExit, match="imported tarv itself"):
        bench.load_other_build(tarv.__file__)


def test_ab_calls_alternate_and_give_the_best_per_call():
    calls = []
    fns = {"new": lambda: calls.append("new"), "old": lambda: calls.append("old")}
    best = bench.alternating(fns, 4, 2, lambda: None)
    assert set(best) == {"new", "old"} and all(ns > 0 for ns in best.values())
    assert calls == ["new"] * 2 + ["old"] * 4 + ["new"] * 4 + ["old"] * 4 + ["new"] * 2


def test_ab_table_checks_both_builds():
    table = make_table("ragged", 300, 3)
    out, text_chars = bench.bench_ab_table({"new": tarv, "old": tarv}, table, 1, True)
    assert text_chars == len(tarv.stringify(table))
    assert set(out) == {"stringify", "parse"} and all("extra_bytes" in r["old"] for r in out.values())

    class Other:
        parse = staticmethod(tarv.parse)

        @staticmethod
        def stringify(t):
            return tarv.stringify(t) + ";"
    with pytest.raises(SystemExit, match="different texts"):
        bench.bench_ab_table({"new": tarv, "old": Other}, table, 1, False)
