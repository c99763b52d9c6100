"""Shared pieces of the benchmark scripts: the baseline whole-file read and
the byte counter (the same one the tests use)."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from read_counter import bytes_read  # noqa: F401  (re-exported)


def whole_file_read(path, buf) -> int:
    """The baseline: one read of the whole file with readinto into a
    preallocated buffer. Returns the bytes read."""
    view = memoryview(buf)
    with open(path, "rb", buffering=0) as f:
        got = 0
        while got < len(buf):
            n = f.readinto(view[got:])
            if not n:
                break
            got += n
    return got


# A loop that keeps one core busy for a fraction of a second.
BURN = "s = 0\nfor i in range(4_000_000):\n    s += i * i\n"


def parallelism_now() -> float:
    """What two processes get from the machine at this moment: the time of
    two CPU-bound loops one after the other over the time of the two at
    once (2.0 on two idle cores; less while other work holds a core)."""

    def run(count: int) -> float:
        t0 = time.perf_counter()
        procs = [subprocess.Popen([sys.executable, "-c", BURN]) for _ in range(count)]
        for proc in procs:
            proc.wait()
        return time.perf_counter() - t0

    return (2 * run(1)) / run(2)
