"""Tables, target checks, before/after comparison and chart of bench.py's results.

Everything here works on the plain dicts that bench.py measures and writes
with --json, so a saved run reports the same as a fresh one.
"""
import json

ENC_FLOOR = "floor: ''.join"
DEC_FLOOR = "floor: marshal, gc off"
FLOORS = (ENC_FLOOR, DEC_FLOOR)
SAME_TEXT = "same text: ''.join(pieces)"
LATE_ROW = "stringify, a late row (1,)"  # the repeated-calls mode's busy heap
# The calls of the general-path mode.
GEN_PLAIN = "stringify(table)"
GEN_ROWS = "stringify(generator)"
GEN_ALONE = "generator alone"
GEN_LIST_HEX = "stringify, HEX a list"
GEN_LAST_STR = "copy, last value a str"
GEN_LAST_INT = "copy, last value an int"

# What the code is held to, checked on every table of at least MIN_VALUES
# values (smaller ones are the small-table mode's business).
MIN_VALUES = 10_000
LIMITS = {
    "stringify x floor": 1.3,  # tarv / ''.join, at most
    "stringify x floor, one per row": 1.6,  # every row is one more object to visit
    "stringify vs orjson": 1.0,  # orjson / tarv, at least; ASCII or Latin-1 text only
    "parse vs peer": 2.0,  # fastest peer / tarv, at least; short values only
    "parse x floor": 1.0,  # tarv / marshal with the collector off, at most
    "small x peer": 1.0,  # tarv / the faster of orjson and msgpack per call, at most
    "repeat-calls x floor": 1.5,  # tarv / ''.join, best of the calls in a row, at most
    "general generator x plain": 1.3,  # stringify(r for r in table) / stringify(table)
    "general list HEX x plain": 2.0,  # with tarv.HEX a list / plain
    "general last item x plain": 1.1,  # last value an int / the same layout all str
    "general memory x result": 1.0,  # peak beyond the result / the result, generator and list HEX
    "small beyond x join": 1.5,  # tarv / ''.join of the values per call, at most
    "threads speed-up": 1.8,  # values/s in 2 threads / in 1, at least; GIL off only
}
# Page faults per call that stringify may take beyond the floor's in the
# repeated-calls mode before it counts as a miss: the loop's own bookkeeping.
FAULT_SLACK = 1.0
# A same-text join whose faults per call are at least this share of
# stringify's faults as much.
FAULTS_TOO = 0.9
THREADS_JUDGED = 2  # the speed-up target is for this many threads
# Peak memory beyond tarv's result, bytes per value, (stringify, parse), as
# the code measured it before the rework of the writer, on the default tables
# (tracemalloc, CPython 3.11): the target is to stay at or under it. It
# follows the numbers of values and rows (list growth), not the characters,
# so the shapes of 10 values per row share one set of figures. Tables of
# other sizes are not held to it.
TEN_PER_ROW = {10_000: (13.12, 0.84), 100_000: (10.49, 1.31), 1_000_000: (16.78, 1.05)}
MEMORY_TODAY = {
    **{(shape, n): today for shape in ("short-ascii", "emoji-dense", "ragged", "separators",
                                       "latin1", "cjk-cyrillic", "mixed-widths")
       for n, today in TEN_PER_ROW.items()},
    ("long-ascii", 10_000): (13.12, 1.65), ("long-ascii", 30_000): (17.48, 2.19),
    ("tall", 10_000): (26.23, 13.12), ("tall", 100_000): (20.97, 10.49),
    ("tall", 1_000_000): (16.78, 8.39),
    ("numeric", 10_000): (13.12, 1.65), ("numeric", 100_000): (10.49, 1.31),
    ("numeric", 1_000_000): (16.78, 1.05),
}
MEMORY_SLACK = 0.1  # other draws give slightly other row counts


def fmt_count(n):
    if n >= 1_000_000 and n % 100_000 == 0:
        return f"{n / 1_000_000:g}M"
    if n >= 1_000 and n % 1_000 == 0:
        return f"{n // 1_000}k"
    return str(n)


def fastest_peer(results):
    peers = {n: r for n, r in results.items() if n != "tarv" and n not in FLOORS}
    if not peers:
        return None, None
    name = min(peers, key=lambda n: peers[n]["best_ns"])
    return name, peers[name]["best_ns"] / results["tarv"]["best_ns"]


# ------------------------------------------------------------ one run

def print_run(run, about=""):
    n = run["values"]
    seconds = f", {run['seconds']:.0f} s" if "seconds" in run else ""
    print(f"== {run['shape']}, {n:,} values{f' ({about})' if about else ''}: "
          f"{run['rows']:,} rows, {run['chars'] / max(1, n):.1f} chars/value, "
          f"{run['output']} text{seconds} ==")
    if run["calls_per_sample"] > 1:
        print(f"  (each sample times {run['calls_per_sample']} calls)")
    for kind, floor in (("encode", ENC_FLOOR), ("decode", DEC_FLOOR)):
        print_results(kind, run[kind], floor, run.get("heap", {}).get(kind))
    print()


def print_results(title, results, floor, heap=None):
    floor_ns, tarv_ns = results[floor]["best_ns"], results["tarv"]["best_ns"]
    mem = "extra_bytes_per_value" in results["tarv"]
    head = f"  {title:<24}{'ns/value':>10}{'x floor':>9}{'x tarv':>8}{'faults/call':>13}"
    if heap:
        head += f"  |{'heap ns/v':>10}{'x floor':>9}{'faults/call':>13}"
    if mem:
        head += f"  |{'extra B/v':>10}{'result B/v':>11}"
    print(head)
    for name, r in sorted(results.items(), key=lambda kv: kv[1]["best_ns"]):
        ns = r["ns_per_value"]
        line = (f"  {name:<24}{ns:>10.1f}{r['best_ns'] / floor_ns:>9.2f}"
                f"{r['best_ns'] / tarv_ns:>8.2f}{r['faults_per_call']:>13.1f}")
        if heap:
            h = heap.get(name)
            line += (f"  |{h['ns_per_value']:>10.1f}{h['best_ns'] / heap[floor]['best_ns']:>9.2f}"
                     f"{h['faults_per_call']:>13.1f}" if h else "  |" + " " * 32)
        if mem and "extra_bytes_per_value" in r:
            line += f"  |{r['extra_bytes_per_value']:>10.1f}{r['result_bytes_per_value']:>11.1f}"
        print(line.rstrip())
    peer, speedup = fastest_peer(results)
    if peer:
        verdict = "" if speedup >= 1 else "  (tarv is slower)"
        print(f"  tarv speed-up over the fastest peer ({peer}): {speedup:.2f}x{verdict}")
    print()


def print_small(small, repeat):
    if not small:
        return
    names = list(small[0]["encode"])
    print(f"== small tables: ns per call (timeit, best of {repeat}, collector on), "
          "short ASCII values ==")
    head = f"  {'table':<7}{'values':>7}  |"
    for kind in ("stringify", "parse"):
        head += "".join(f"{kind if n == 'tarv' else n:>11}" for n in names) + "  |"
    print(head + f"{'faults/call':>13}")
    for entry in small:
        line = f"  {entry['table']:<7}{entry['values']:>7}  |"
        for kind in ("encode", "decode"):
            line += "".join(f"{entry[kind][n]['ns_per_call']:>11.0f}" for n in names) + "  |"
        faults = max(r["faults_per_call"] for kind in ("encode", "decode")
                     for r in entry[kind].values())
        print(line + f"{faults:>13.2f}")
    print()


# ------------------------------------------------------------ A/B of two builds

AB_FNS = ("stringify", "parse")


def ab_ratio(entry, fn):
    return entry[fn]["new"]["ns_per_call"] / entry[fn]["old"]["ns_per_call"]


def print_ab_head(sizes):
    labels = [fmt_count(size) for size in sizes]
    cells = "".join(f"{fn + ' ' + label:>{max(12, len(fn) + len(label) + 2)}}"
                    for fn in AB_FNS for label in labels)
    print("== new/old time per call (best of each) ==")
    print(f"  {'shape':<14}{cells}")


def print_ab_line(shape, entries):
    cells = ""
    for fn in AB_FNS:
        for e in entries:
            width = max(12, len(fn) + len(fmt_count(e["size"])) + 2)
            cells += f"{'skipped' if e.get('skipped') else f'{ab_ratio(e, fn):.3f}':>{width}}"
    print(f"  {shape:<14}{cells}", flush=True)


def print_ab_small(small, repeat):
    print(f"\n== small tables: ns per call (timeit, best of {repeat}) ==")
    print(f"  {'table':<7}{'values':>7}  |{'stringify new':>14}{'old':>8}{'new/old':>9}  |"
          f"{'parse new':>10}{'old':>8}{'new/old':>9}")
    for e in small:
        line = f"  {e['table']:<7}{e['values']:>7}  |"
        for fn, width in (("stringify", 14), ("parse", 10)):
            new, old = (e[fn][b]["ns_per_call"] for b in ("new", "old"))
            line += f"{new:>{width}.0f}{old:>8.0f}{new / old:>9.3f}  |"
        print(line.rstrip(" |"))


def print_ab_memory(tables):
    print("\n== memory beyond the result (tracemalloc, bytes per value), new | old ==")
    print(f"  {'shape':<14}{'values':>7}  |{'stringify new | old':>19}  |{'parse new | old':>19}")
    for e in tables:
        if e.get("skipped"):
            continue
        n = e["size"]
        cells = "".join(
            f"  |{e[fn]['new']['extra_bytes'] / n:>11.1f} |{e[fn]['old']['extra_bytes'] / n:>6.1f}"
            for fn in AB_FNS)
        print(f"  {e['shape']:<14}{fmt_count(e['size']):>7}{cells}")


# ------------------------------------------------------------ targets

def check(target, subject, value, limit, at_most=True, ok=None, **extra):
    if ok is None:
        ok = value <= limit if at_most else value >= limit
    return {"target": target, "subject": subject, "value": value, "limit": limit, "ok": ok,
            **extra}


def figure(value, limit=None, digits=2):
    """value with `digits` decimals, or more where fewer would show it equal
    to its limit."""
    while (limit is not None and digits < 4 and value != limit
           and round(value, digits) == round(limit, digits)):
        digits += 1
    return f"{value:.{digits}f}"


def run_checks(run):
    """The checks of one table: list of dicts with target, value, ok."""
    subject = f"{run['shape']} {fmt_count(run['values'])}"
    enc, dec = run["encode"], run["decode"]
    found = []
    limit_key = "stringify x floor, one per row" if run["one_per_row"] else "stringify x floor"
    limit = LIMITS[limit_key]
    enc_floor = enc["tarv"]["best_ns"] / enc[ENC_FLOOR]["best_ns"]
    heap = run.get("heap", {}).get("encode")
    heap_floor = heap["tarv"]["best_ns"] / heap[ENC_FLOOR]["best_ns"] if heap else None
    faults_apart = enc_floor > limit and heap_floor is not None and heap_floor <= limit
    found.append(check(limit_key, subject, enc_floor, limit, ok=enc_floor <= limit or faults_apart,
                       heap_value=heap_floor, faults_apart=faults_apart))
    if "orjson" in enc and run["output"] in ("ascii", "latin-1"):
        vs = enc["orjson"]["best_ns"] / enc["tarv"]["best_ns"]
        found.append(check("stringify vs orjson", subject, vs, LIMITS["stringify vs orjson"],
                           at_most=False))
    peer, speedup = fastest_peer(dec)
    if peer and run["short_values"]:
        found.append(check("parse vs peer", subject, speedup, LIMITS["parse vs peer"],
                           at_most=False, peer=peer))
    dec_floor = dec["tarv"]["best_ns"] / dec[DEC_FLOOR]["best_ns"]
    found.append(check("parse x floor", subject, dec_floor, LIMITS["parse x floor"]))
    today = MEMORY_TODAY.get((run["shape"], run["values"]))
    for target, results, limit in (("stringify extra B/v", enc, today and today[0]),
                                   ("parse extra B/v", dec, today and today[1])):
        extra = results["tarv"].get("extra_bytes_per_value")
        if extra is not None and limit is not None:
            found.append(check(target, subject, extra, limit + MEMORY_SLACK))
    return found


def small_checks(entry):
    found = []
    for kind, target in (("encode", "small stringify x peer"), ("decode", "small parse x peer")):
        peers = {n: r["ns_per_call"] for n, r in entry[kind].items() if n != "tarv"}
        if not peers:
            continue
        peer = min(peers, key=peers.get)
        ratio = entry[kind]["tarv"]["ns_per_call"] / peers[peer]
        found.append(check(target, entry["table"], ratio, LIMITS["small x peer"], peer=peer))
    return found


def check_targets(runs, small):
    found = [c for run in runs if run["values"] >= MIN_VALUES for c in run_checks(run)]
    return found + [c for entry in small for c in small_checks(entry)]


def mark(c):
    if c is None:
        return " "
    if c.get("allocator"):
        return "~"
    return "*" if c.get("faults_apart") else " " if c["ok"] else "!"


def print_targets(runs, small, checks):
    if not checks:
        return
    by_key = {(c["target"], c["subject"]): c for c in checks}

    def cell(target, subject, value, width, digits=2):
        """value right-aligned in width, then its mark; in brackets when no
        target holds it."""
        if value is None:
            return f"{'-':>{width}} "
        c = by_key.get((target, subject))
        text = figure(value, c["limit"], digits) if c else f"({value:.{digits}f})"
        return f"{text:>{width}}{mark(c)}"

    print("== targets (ratios; '!' marks a miss, '*' a target met only with the allocator's\n"
          "   page faults counted apart; values in brackets are not held to a target) ==")
    table_runs = [r for r in runs if r["values"] >= MIN_VALUES]
    if table_runs:
        print("  stringify x floor <= 1.3 (1.6 one per row), >= orjson on ASCII/Latin-1 text;\n"
              "  parse >= 2x the fastest peer on short values, <= the marshal floor;\n"
              "  memory beyond the result (B/value) no more than before the writer's rework")
        print(f"  {'shape':<14}{'values':>7} |{'x floor':>8} {'heap':>6} {'vs orjson':>10}  |"
              f"{'vs peer':>8}  {'peer':<8}{'x floor':>8}  |{'enc B/v':>8} {'dec B/v':>8}")
    for run in table_runs:
        subject = f"{run['shape']} {fmt_count(run['values'])}"
        enc, dec = run["encode"], run["decode"]
        floor_key = "stringify x floor, one per row" if run["one_per_row"] else "stringify x floor"
        floor_check = by_key[(floor_key, subject)]
        heap = floor_check.get("heap_value")
        vs_orjson = enc["orjson"]["best_ns"] / enc["tarv"]["best_ns"] if "orjson" in enc else None
        peer, speedup = fastest_peer(dec)
        print(f"  {run['shape']:<14}{fmt_count(run['values']):>7} |"
              f"{cell(floor_key, subject, floor_check['value'], 8)}"
              f"{(f'{heap:.2f}' if heap is not None else '-'):>6} "
              f"{cell('stringify vs orjson', subject, vs_orjson, 10)} |"
              f"{cell('parse vs peer', subject, speedup, 8)} {peer or '-':<8}"
              f"{cell('parse x floor', subject, dec['tarv']['best_ns'] / dec[DEC_FLOOR]['best_ns'], 8)} |"
              f"{cell('stringify extra B/v', subject, enc['tarv'].get('extra_bytes_per_value'), 8, 1)}"
              f"{cell('parse extra B/v', subject, dec['tarv'].get('extra_bytes_per_value'), 8, 1)}")
    if small:
        print("  small tables: tarv per call / the faster of orjson and msgpack <= 1")
        print(f"  {'table':<7}{'stringify':>10}  {'peer':<8}{'parse':>8}  {'peer':<8}")
        for entry in small:
            line = f"  {entry['table']:<7}"
            for kind, width in (("stringify", 10), ("parse", 8)):
                c = by_key.get((f"small {kind} x peer", entry["table"]))
                line += (f"{figure(c['value'], c['limit']):>{width}}{mark(c)} {c['peer']:<8}" if c
                         else f"{'-':>{width}} {'':<8}")
            print(line.rstrip())
    misses = [c for c in checks if not c["ok"]]
    apart = sum(1 for c in checks if c.get("faults_apart"))
    print(f"  {len(checks) - len(misses)} of {len(checks)} targets met"
          f"{f' ({apart} only with faults counted apart)' if apart else ''}; "
          f"{len(misses)} missed")


# ------------------------------------------------------------ the modes

def subject_of(entry):
    return f"{entry['shape']} {fmt_count(entry['values'])}"


def repeat_calls_checks(entry):
    """stringify x the floor, and its page faults per call against the
    floor's; a faults miss tells whether the join of the same text in
    pieces faults as much, and is the allocator's if that text is too big
    for glibc to keep for the next call."""
    if entry["values"] < MIN_VALUES:
        return []
    subject, r = subject_of(entry), entry["results"]
    tarv, floor, same = r["tarv"], r[ENC_FLOOR], r[SAME_TEXT]
    found = [check("repeat-calls x floor", subject, tarv["best_ns"] / floor["best_ns"],
                   LIMITS["repeat-calls x floor"])]
    faults, floor_faults = tarv["faults_per_call"], floor["faults_per_call"]
    ok = faults <= floor_faults + FAULT_SLACK
    same_too = (not ok and same["faults_per_call"] > floor_faults + FAULT_SLACK
                and same["faults_per_call"] >= FAULTS_TOO * faults)
    ceiling = entry.get("mmap_threshold_max")
    allocator = same_too and ceiling is not None and entry["text_bytes"] > ceiling
    found.append(check("repeat-calls faults/call", subject, faults, floor_faults, ok=ok,
                       same_text_faults=same["faults_per_call"], same_text_faults_too=same_too,
                       allocator=allocator))
    busy = entry.get("busy")
    if busy:
        plain_faults = busy["tarv"]["faults_per_call"]
        limit = busy[ENC_FLOOR]["faults_per_call"] + FAULT_SLACK
        found.append(check("repeat-calls busy heap faults/call", subject, plain_faults, limit,
                           allocator=(plain_faults > limit and ceiling is not None
                                      and entry["text_bytes"] > ceiling)))
        late_faults = busy[LATE_ROW]["faults_per_call"]
        found.append(check("repeat-calls busy heap late row faults/call", subject, late_faults,
                           plain_faults + FAULT_SLACK,
                           allocator=(late_faults > plain_faults + FAULT_SLACK
                                      and ceiling is not None and entry["text_bytes"] > ceiling)))
    return found


def general_checks(entry):
    if entry["values"] < MIN_VALUES:
        return []
    subject, r = subject_of(entry), entry["results"]
    plain = r[GEN_PLAIN]["best_ns"]
    found = [check("general generator x plain", subject, r[GEN_ROWS]["best_ns"] / plain,
                   LIMITS["general generator x plain"]),
             check("general list HEX x plain", subject, r[GEN_LIST_HEX]["best_ns"] / plain,
                   LIMITS["general list HEX x plain"])]
    if GEN_LAST_INT in r:
        found.append(check("general last item x plain", subject,
                           r[GEN_LAST_INT]["best_ns"] / r[GEN_LAST_STR]["best_ns"],
                           LIMITS["general last item x plain"]))
    for name, target in ((GEN_ROWS, "general generator memory x result"),
                         (GEN_LIST_HEX, "general list HEX memory x result")):
        found.append(check(target, subject, memory_share(r[name]),
                           LIMITS["general memory x result"]))
    return found


def memory_share(result):
    return result["extra_bytes"] / max(1, result["result_bytes"])


def small_beyond_checks(entry):
    enc = entry["encode"]
    return [check("small beyond x join", entry["table"],
                  enc["tarv"]["ns_per_call"] / enc[ENC_FLOOR]["ns_per_call"],
                  LIMITS["small beyond x join"])]


def threads_checks(entry):
    """tarv's speed-ups, judged only with the GIL off and at the number of
    threads the target is for."""
    if entry["gil_enabled"] or entry["threads"] != THREADS_JUDGED or "tarv" not in entry["results"]:
        return []
    subject = f"{subject_of(entry)}, {entry['threads']} threads"
    return [check(f"threads {fn} speed-up", subject, entry["results"]["tarv"][kind]["speedup"],
                  LIMITS["threads speed-up"], at_most=False)
            for kind, fn in (("encode", "stringify"), ("decode", "parse"))]


def mode_checks(data):
    """The checks of every mode's results in a result file (none for a file
    from before the modes)."""
    return ([c for e in data.get("repeat_calls", []) for c in repeat_calls_checks(e)]
            + [c for e in data.get("general", []) for c in general_checks(e)]
            + [c for e in data.get("small_beyond", []) for c in small_beyond_checks(e)]
            + [c for e in data.get("threads", []) for c in threads_checks(e)])


def marked(value, c, width, digits=2):
    """value right-aligned in width, then its check's mark; in brackets when
    no target holds it."""
    text = figure(value, c["limit"], digits) if c else f"({value:.{digits}f})"
    return f"{text:>{width}}{mark(c)}"


def print_repeat_calls_head(calls, clock):
    print(f"== repeated calls: one warm-up call, then {calls} calls in a row, each result "
          f"dropped; best of them ({clock} clock) ==\n"
          "  x floor: / ''.join of the values; x same: / ''.join of the pieces of tarv's own\n"
          "  text; faults: minor page faults per call over the calls. '~' marks a faults\n"
          "  miss that is the allocator's: the same-text join faults too, on a text over\n"
          "  glibc's mmap threshold ceiling, which is mapped anew at every call. 'busy heap':\n"
          "  the same calls where the heap has holes and other blocks (a program's lists);\n"
          "  late row: stringify of the table with a row (1,) after its last, x the plain call")
    print(f"  {'shape':<13}{'values':>7}{'text MB':>8} |{'ns/value':>9}{'x floor':>9}"
          f"{'x same':>8}{'faults':>9} |{'floor ns/v':>11}{'faults':>9} |{'same ns/v':>10}"
          f"{'faults':>9} | verdict")


def print_repeat_calls_line(entry):
    r = entry["results"]
    tarv, floor, same = r["tarv"], r[ENC_FLOOR], r[SAME_TEXT]
    checks = {c["target"]: c for c in repeat_calls_checks(entry)}
    x_floor, faults = checks.get("repeat-calls x floor"), checks.get("repeat-calls faults/call")
    verdict = []
    if not checks:
        verdict.append("not judged")
    if x_floor and not x_floor["ok"]:
        verdict.append("x floor missed")
    if faults and not faults["ok"]:
        verdict.append("allocator: same-text join faults too" if faults["allocator"]
                       else "faults missed; " + ("same-text join faults too"
                                                 if faults["same_text_faults_too"]
                                                 else "same-text join does not"))
    print(f"  {entry['shape']:<13}{fmt_count(entry['values']):>7}"
          f"{entry['text_bytes'] / 1e6:>8.1f} |{tarv['ns_per_value']:>9.1f}"
          f"{marked(tarv['best_ns'] / floor['best_ns'], x_floor, 8)}"
          f"{tarv['best_ns'] / same['best_ns']:>8.2f}"
          f"{marked(tarv['faults_per_call'], faults, 8, 1)} |{floor['ns_per_value']:>11.1f}"
          f"{floor['faults_per_call']:>9.1f} |{same['ns_per_value']:>10.1f}"
          f"{same['faults_per_call']:>9.1f} | {'; '.join(verdict) or 'ok'}".rstrip())
    busy = entry.get("busy")
    if busy:
        plain, late, floor = busy["tarv"], busy[LATE_ROW], busy[ENC_FLOOR]
        busy_faults = checks.get("repeat-calls busy heap faults/call")
        late_faults = checks.get("repeat-calls busy heap late row faults/call")
        print(f"  {'  busy heap':<28} |{plain['ns_per_value']:>9.1f}"
              f"{plain['best_ns'] / floor['best_ns']:>9.2f}{'':>8}"
              f"{marked(plain['faults_per_call'], busy_faults, 8, 1)} |"
              f"{floor['ns_per_value']:>11.1f}{floor['faults_per_call']:>9.1f} | late row (1,): "
              f"{late['best_ns'] / plain['best_ns']:.2f}x the time, "
              f"{figure(late['faults_per_call'], None, 1)}{mark(late_faults)} faults/call")


def print_general_head(repeat, clock):
    print(f"== general paths: tarv.stringify off its plain path, x the plain call on the same "
          f"table (best of {repeat}, {clock} clock) ==\n"
          "  generator: stringify(r for r in table); alone: the generator by itself,\n"
          "  deque((r for r in table), maxlen=0); net: (generator - alone) / plain, 1.00\n"
          "  when the call on a generator costs the plain call plus the generator's own;\n"
          "  list HEX: tarv.HEX bound to list(tarv.HEX); last int: a copy of the table\n"
          "  whose last value is the int 7, x an identical copy whose last value stays a\n"
          "  str; memory: tracemalloc peak beyond the result, x the result's size")
    print(f"  {'shape':<13}{'values':>7} |{'plain ns/v':>11}{'generator':>10}{'alone':>7}"
          f"{'net':>7}{'list HEX':>10}{'last int':>10} |{'memory: plain':>14}{'generator':>10}"
          f"{'list HEX':>10}")


def print_general_line(entry):
    r = entry["results"]
    plain = r[GEN_PLAIN]["best_ns"]
    checks = {c["target"]: c for c in general_checks(entry)}
    gen_mem = checks.get("general generator memory x result")
    hex_mem = checks.get("general list HEX memory x result")
    last = (marked(r[GEN_LAST_INT]["best_ns"] / r[GEN_LAST_STR]["best_ns"],
                   checks.get("general last item x plain"), 9)
            if GEN_LAST_INT in r else f"{'-':>9} ")
    print(f"  {entry['shape']:<13}{fmt_count(entry['values']):>7} |"
          f"{r[GEN_PLAIN]['ns_per_value']:>11.1f}"
          f"{marked(r[GEN_ROWS]['best_ns'] / plain, checks.get('general generator x plain'), 9)}"
          f"{r[GEN_ALONE]['best_ns'] / plain:>7.2f}"
          f"{(r[GEN_ROWS]['best_ns'] - r[GEN_ALONE]['best_ns']) / plain:>7.2f}"
          f"{marked(r[GEN_LIST_HEX]['best_ns'] / plain, checks.get('general list HEX x plain'), 9)}"
          f"{last} |{memory_share(r[GEN_PLAIN]):>14.2f}"
          f"{marked(memory_share(r[GEN_ROWS]), gen_mem, 9)}"
          f"{marked(memory_share(r[GEN_LIST_HEX]), hex_mem, 9)}"
          .rstrip())


def print_small_beyond(entries, repeat):
    if not entries:
        return
    print(f"== small tables past the first buffer: ns per call (timeit, best of {repeat}, "
          "collector on), ASCII values ==")
    print(f"  {'table':<15}{'values':>7}{'text chars':>11} |{'stringify':>10}"
          f"{chr(39) * 2 + '.join':>10}{'x join':>8}")
    for entry in entries:
        enc = entry["encode"]
        (c,) = small_beyond_checks(entry)
        print(f"  {entry['table']:<15}{entry['values']:>7}{entry['text_chars']:>11,} |"
              f"{enc['tarv']['ns_per_call']:>10.0f}{enc[ENC_FLOOR]['ns_per_call']:>10.0f}"
              f"{marked(c['value'], c, 7)}".rstrip())
    print()


def print_threads_head(n_threads, free_threaded, gil, repeat):
    print(f"== threads: {n_threads} threads, each on its own table (and its own encoded input "
          "for the decoders),\n"
          "   against one thread making the same calls in turn; wall clock, best of "
          f"{repeat}; speed-up:\n"
          f"   values per second in {n_threads} threads / in one ==")
    print(f"  free-threaded build: {'yes' if free_threaded else 'no'}; GIL "
          f"{'enabled' if gil else 'disabled'}"
          + ("" if not gil else f" (the {LIMITS['threads speed-up']}x target is judged only "
                                "with it disabled)"))
    print(f"  {'shape':<13}{'values':>7} {'codec':<8}|{'encode Mv/s: 1':>15}{n_threads:>7}"
          f"{'speed-up':>10} |{'decode Mv/s: 1':>15}{n_threads:>7}{'speed-up':>10}")


def print_threads_lines(entry):
    checks = {c["target"]: c for c in threads_checks(entry)}
    for name, kinds in entry["results"].items():
        line = f"  {entry['shape']:<13}{fmt_count(entry['values']):>7} {name:<8}|"
        for kind, fn in (("encode", "stringify"), ("decode", "parse")):
            k = kinds[kind]
            c = checks.get(f"threads {fn} speed-up") if name == "tarv" else None
            line += (f"{k['values_per_s_one'] / 1e6:>15.1f}{k['values_per_s_threads'] / 1e6:>7.1f}"
                     f"{marked(k['speedup'], c, 9)} |")
        print(line.rstrip("|").rstrip())


# The targets of each mode, told by the start of their names.
MODE_TARGETS = (
    ("repeat-calls", "repeated calls: stringify <= 1.5x the floor, no more page faults\n"
                     "    per call than the floor; in the busy heap, no more than the floor,\n"
                     "    nor with a late row (1,) than without"),
    ("general", "general paths: generator <= 1.3x, list HEX <= 2x, last item an int\n"
                "    <= 1.1x the plain call; memory beyond the result <= 1x the result"),
    ("small beyond", "small tables past the first buffer: <= 1.5x ''.join per call"),
    ("threads", "threads: speed-up >= 1.8x with 2 threads, judged with the GIL off"),
)


def print_mode_summary(checks):
    if not checks:
        return
    print("== targets of the modes ('!' marks a miss, '~' the allocator's) ==")
    for prefix, text in MODE_TARGETS:
        if any(c["target"].startswith(prefix) for c in checks):
            print(f"  {text}")
    allocator = [c for c in checks if c.get("allocator")]
    misses = [c for c in checks if not c["ok"] and not c.get("allocator")]
    print(f"  {len(checks) - len(misses) - len(allocator)} of {len(checks)} met"
          + (f", {len(allocator)} the allocator's (same-text join faults too)" if allocator else "")
          + f"; {len(misses)} missed"
          + (": " + "; ".join(f"{c['target']} on {c['subject']} ({figure(c['value'], c['limit'])})"
                              for c in misses) if misses else ""))


# ------------------------------------------------------------ before/after

def load(path):
    with open(path) as f:
        data = json.load(f)
    if "runs" not in data:
        raise SystemExit(f"{path}: not a result file of this benchmark (no 'runs')")
    return data


def ratio_text(before, after, digits=2):
    return f"{before:.{digits}f} | {after:.{digits}f}"


def compare(before, after):
    """Markdown tables of tarv's figures in two result files, run by run."""
    for label, data in (("before", before), ("after", after)):
        meta = data.get("meta", {})
        print(f"{label}: tarv build {meta.get('tarv_build', '?')}, tables {meta.get('seed', '?')}, "
              f"repeat {meta.get('repeat', '?')}, {meta.get('clock', 'wall')} clock, "
              f"python {meta.get('python', '?')}")
    keyed = {(r["shape"], r["values"]): r for r in before["runs"]}
    pairs = [(keyed[(r["shape"], r["values"])], r) for r in after["runs"]
             if (r["shape"], r["values"]) in keyed]
    mode_pairs = {key: common(before.get(key, []), after.get(key, []), keyed_by)
                  for key, keyed_by in MODE_KEYS.items()}
    if not pairs and not (before.get("small") and after.get("small")) and not any(
            mode_pairs.values()):
        print("no table in common")
        return
    for kind, floor, fn in (("encode", ENC_FLOOR, "stringify"), ("decode", DEC_FLOOR, "parse")):
        if not pairs:
            break
        print(f"\n| {fn} | values | ns/value before | after | speed-up | x floor before | after "
              f"| heap x floor before | after | faults/call before | after | x fastest peer "
              f"before | after |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for b, a in pairs:
            def heap_floor(run):
                h = run.get("heap", {}).get(kind)
                return f"{h['tarv']['best_ns'] / h[floor]['best_ns']:.2f}" if h else "-"
            bt, at = b[kind]["tarv"], a[kind]["tarv"]
            print(f"| {a['shape']} | {fmt_count(a['values'])} "
                  f"| {bt['ns_per_value']:.1f} | {at['ns_per_value']:.1f} "
                  f"| {bt['best_ns'] / at['best_ns']:.2f}x "
                  f"| {ratio_text(bt['best_ns'] / b[kind][floor]['best_ns'], at['best_ns'] / a[kind][floor]['best_ns'])} "
                  f"| {heap_floor(b)} | {heap_floor(a)} "
                  f"| {bt['faults_per_call']:.0f} | {at['faults_per_call']:.0f} "
                  f"| {(fastest_peer(b[kind])[1] or 0):.2f} | {(fastest_peer(a[kind])[1] or 0):.2f} |")
    mem_pairs = [(b, a) for b, a in pairs if "extra_bytes_per_value" in b["encode"]["tarv"]
                 and "extra_bytes_per_value" in a["encode"]["tarv"]]
    if mem_pairs:
        print("\n| memory beyond the result (B/value) | values | stringify before | after "
              "| parse before | after |")
        print("|---|---:|---:|---:|---:|---:|")
        for b, a in mem_pairs:
            print(f"| {a['shape']} | {fmt_count(a['values'])} "
                  f"| {ratio_text(b['encode']['tarv']['extra_bytes_per_value'], a['encode']['tarv']['extra_bytes_per_value'], 1)} "
                  f"| {ratio_text(b['decode']['tarv']['extra_bytes_per_value'], a['decode']['tarv']['extra_bytes_per_value'], 1)} |")
    small_b = {e["table"]: e for e in before.get("small", [])}
    small_pairs = [(small_b[e["table"]], e) for e in after.get("small", []) if e["table"] in small_b]
    if small_pairs:
        print("\n| small table (ns per call) | stringify before | after | faster peer "
              "| parse before | after | faster peer |")
        print("|---|---:|---:|---:|---:|---:|---:|")
        for b, a in small_pairs:
            cells = []
            for kind in ("encode", "decode"):
                peers = [r["ns_per_call"] for n, r in a[kind].items() if n != "tarv"]
                cells.append(f"{b[kind]['tarv']['ns_per_call']:.0f} | {a[kind]['tarv']['ns_per_call']:.0f} "
                             f"| {min(peers):.0f}" if peers else
                             f"{b[kind]['tarv']['ns_per_call']:.0f} | {a[kind]['tarv']['ns_per_call']:.0f} | -")
            print(f"| {a['table']} | {cells[0]} | {cells[1]} |")
    compare_modes(mode_pairs)
    for label, data in (("before", before), ("after", after)):
        checks = check_targets(data["runs"], data.get("small", [])) + mode_checks(data)
        misses = [f"{c['target']} on {c['subject']} ({figure(c['value'], c['limit'])})"
                  for c in checks if not c["ok"] and not c.get("allocator")]
        allocator = sum(1 for c in checks if c.get("allocator"))
        print(f"\ntargets {label}: {len(checks) - len(misses) - allocator} of {len(checks)} met"
              + (f", {allocator} the allocator's (same-text join faults too)" if allocator else "")
              + (": missed " + "; ".join(misses) if misses else ""))


# What pairs a mode's entries of two files.
MODE_KEYS = {
    "repeat_calls": lambda e: (e["shape"], e["values"]),
    "general": lambda e: (e["shape"], e["values"]),
    "small_beyond": lambda e: e["table"],
    "threads": lambda e: (e["shape"], e["values"], e["threads"]),
}


def common(before, after, keyed_by):
    """(before, after) entries of the same table, in the after file's order."""
    keyed = {keyed_by(e): e for e in before}
    return [(keyed[keyed_by(e)], e) for e in after if keyed_by(e) in keyed]


def compare_modes(mode_pairs):
    """Markdown before/after tables of the modes both files have."""
    if mode_pairs["repeat_calls"]:
        print("\n| repeated calls | values | ns/value before | after | x floor before | after "
              "| x same text before | after | faults/call before | after | floor's before "
              "| after |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for b, a in mode_pairs["repeat_calls"]:
            cells = []
            for e in (b, a):
                r = e["results"]
                cells.append((r["tarv"]["ns_per_value"],
                              r["tarv"]["best_ns"] / r[ENC_FLOOR]["best_ns"],
                              r["tarv"]["best_ns"] / r[SAME_TEXT]["best_ns"],
                              r["tarv"]["faults_per_call"], r[ENC_FLOOR]["faults_per_call"]))
            (bn, bf, bs, bq, bz), (an, af, as_, aq, az) = cells
            print(f"| {a['shape']} | {fmt_count(a['values'])} | {bn:.1f} | {an:.1f} "
                  f"| {ratio_text(bf, af)} | {ratio_text(bs, as_)} | {bq:.1f} | {aq:.1f} "
                  f"| {bz:.1f} | {az:.1f} |")
    if mode_pairs["general"]:
        print("\n| general paths (x plain) | values | generator before | after "
              "| list HEX before | after | last int before | after | memory x result, "
              "generator before | after | list HEX before | after |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for b, a in mode_pairs["general"]:
            def figures(e):
                r = e["results"]
                plain = r[GEN_PLAIN]["best_ns"]
                last = (f"{r[GEN_LAST_INT]['best_ns'] / r[GEN_LAST_STR]['best_ns']:.2f}"
                        if GEN_LAST_INT in r else "-")
                return (f"{r[GEN_ROWS]['best_ns'] / plain:.2f}",
                        f"{r[GEN_LIST_HEX]['best_ns'] / plain:.2f}", last,
                        f"{memory_share(r[GEN_ROWS]):.2f}", f"{memory_share(r[GEN_LIST_HEX]):.2f}")
            cells = " | ".join(f"{x} | {y}" for x, y in zip(figures(b), figures(a)))
            print(f"| {a['shape']} | {fmt_count(a['values'])} | {cells} |")
    if mode_pairs["small_beyond"]:
        print("\n| small table past the first buffer | text chars | ns per call before "
              "| after | x join before | after |")
        print("|---|---:|---:|---:|---:|---:|")
        for b, a in mode_pairs["small_beyond"]:
            ratios = [e["encode"]["tarv"]["ns_per_call"] / e["encode"][ENC_FLOOR]["ns_per_call"]
                      for e in (b, a)]
            ns = [e["encode"]["tarv"]["ns_per_call"] for e in (b, a)]
            print(f"| {a['table']} | {a['text_chars']:,} | {ns[0]:.0f} | {ns[1]:.0f} "
                  f"| {ratio_text(*ratios)} |")
    if mode_pairs["threads"]:
        print("\n| threads (speed-up) | values | threads | codec | GIL before | after "
              "| stringify before | after | parse before | after |")
        print("|---|---:|---:|---|---|---|---:|---:|---:|---:|")
        for b, a in mode_pairs["threads"]:
            for name in (n for n in a["results"] if n in b["results"]):
                rb, ra = b["results"][name], a["results"][name]
                gil = ["on" if e["gil_enabled"] else "off" for e in (b, a)]
                print(f"| {a['shape']} | {fmt_count(a['values'])} | {a['threads']} | {name} "
                      f"| {gil[0]} | {gil[1]} "
                      f"| {ratio_text(rb['encode']['speedup'], ra['encode']['speedup'])} "
                      f"| {ratio_text(rb['decode']['speedup'], ra['decode']['speedup'])} |")


# ------------------------------------------------------------ chart

def plot(path, runs):
    """Bars per codec for each shape, at the largest size measured."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    largest = {}
    for run in runs:
        if run["values"] >= largest.get(run["shape"], {"values": 0})["values"]:
            largest[run["shape"]] = run
    if not largest:
        print("nothing to plot")
        return
    shapes = list(largest)
    fig, axes = plt.subplots(2, 1, figsize=(max(12, 1.6 * len(shapes)), 9))
    for ax, kind in zip(axes, ("encode", "decode")):
        names = list(largest[shapes[0]][kind])
        width = 0.8 / len(names)
        values = []
        for i, name in enumerate(names):
            ys = [largest[s][kind].get(name, {}).get("ns_per_value", 0) for s in shapes]
            values += [y for y in ys if y]
            xs = [j + (i - (len(names) - 1) / 2) * width for j in range(len(shapes))]
            floor = name in FLOORS
            ax.bar(xs, ys, width, label=name, color="0.6" if floor else None,
                   hatch="//" if floor else None, edgecolor="white" if floor else None)
        if values and max(values) / min(values) > 20:
            ax.set_yscale("log")
        labels = [f"{s}\n{fmt_count(largest[s]['values'])}" for s in shapes]
        ax.set_xticks(range(len(shapes)), labels, fontsize=8)
        ax.set_ylabel("ns per value (lower is better)")
        repeat = len(largest[shapes[0]][kind]["tarv"]["times_ns"])
        ax.set_title(f"{kind} (best of {repeat})")
        ax.grid(axis="y", alpha=0.3, which="both")
        ax.legend(fontsize=8, ncol=4)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")
