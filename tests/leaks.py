"""Leak measurement shared by the tests and tools/refcounts: a call repeated
many times after a warm-up must leave the interpreter's allocated blocks, its
total reference count (debug interpreters only), the reference counts of
chosen objects, and the collector's enabled flag as it found them."""

import gc
import sys

HAVE_TOTAL_REFS = hasattr(sys, "gettotalrefcount")


def _run(fn, n):
    """Calls fn n times, the collector enabled before every other call;
    returns how many calls changed its state."""
    changed = 0
    for k in range(n):
        if k & 1:
            gc.enable()
        else:
            gc.disable()
        try:
            fn()
        except BaseException:
            pass
        if gc.isenabled() != bool(k & 1):
            changed += 1
    gc.enable()
    return changed


def measure(fn, runs, warmup, tracked=()):
    """What `runs` calls of fn changed, after `warmup` calls: (total
    reference count, allocated blocks, calls that changed the collector's
    state, [the reference count of each tracked object])."""
    changed = _run(fn, warmup)
    gc.collect()
    tracked_refs = [sys.getrefcount(o) for o in tracked]
    refs = sys.gettotalrefcount() if HAVE_TOTAL_REFS else 0
    blocks = sys.getallocatedblocks()
    changed += _run(fn, runs)
    gc.collect()
    # (Read before anything more is made.)
    blocks = sys.getallocatedblocks() - blocks
    refs = (sys.gettotalrefcount() if HAVE_TOTAL_REFS else 0) - refs
    now = [sys.getrefcount(o) for o in tracked]
    return refs, blocks, changed, [n - r for n, r in zip(now, tracked_refs)]


def assert_no_growth(fn, runs=3000, warmup=200, tracked=(), block_slack=100):
    """For the test suite: fn leaks no block (beyond a slack for the
    interpreter's own caches), no reference to `tracked`, and keeps the
    collector's state."""
    _, blocks, changed, tracked_changes = measure(fn, runs, warmup, tracked)
    assert tracked_changes == [0] * len(tracked), "references to tracked objects changed"
    assert blocks < block_slack, f"{blocks} blocks more after {runs} calls"
    assert changed == 0, "calls changed the collector's state"
