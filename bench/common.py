"""Shared pieces of the benchmark scripts: the baseline whole-file read and
the byte counter (the same one the tests use)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from read_counter import bytes_read  # noqa: E402,F401  (re-exported)


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
