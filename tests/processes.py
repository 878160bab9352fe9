"""Running code in a fresh interpreter, for the tests whose failure could take
the process down (a crash, memory damage, memory exhaustion) or that measure
the process's own memory."""

import contextlib
import os
import resource
import subprocess
import sys
import textwrap

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))
# Under AddressSanitizer (tools/sanitize) memory figures say nothing about the module.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def run_fresh(code, env=None, flags=()):
    """Runs `code` in a new interpreter (in tests/, so that it can import the
    helpers): damage to memory shows there, at the latest when the objects
    involved are freed, without taking pytest down. Returns its output."""
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, cwd=TESTS, env=env and {**os.environ, **env})
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-2000:]}"
    return proc.stdout


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


@contextlib.contextmanager
def address_space_capped(extra_bytes):
    """Caps this process's address space at what is mapped plus
    `extra_bytes` while the block runs, so that a call reserving far too
    much fails with MemoryError instead of taking the machine's memory.
    No cap under the sanitizer (its shadow memory is mapped as needed) or
    where /proc is missing; emulators may not enforce it."""
    if SANITIZED or not os.path.exists("/proc/self/statm"):
        yield
        return
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * resource.getpagesize()
    saved = resource.getrlimit(resource.RLIMIT_AS)
    cap = mapped + extra_bytes
    if saved[0] != resource.RLIM_INFINITY and saved[0] < cap:
        cap = saved[0]
    resource.setrlimit(resource.RLIMIT_AS, (cap, saved[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, saved)


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
    """Runs `code` in a fresh interpreter with MEASURE's helpers, and prints its output."""
    setup = MEASURE + f"SANITIZED = {SANITIZED}\n"
    proc = subprocess.run([sys.executable, "-c", setup + textwrap.dedent(code)],
                          capture_output=True, text=True, cwd=TESTS)
    assert proc.returncode == 0, proc.stdout + proc.stderr[-3000:]
    print(proc.stdout)
