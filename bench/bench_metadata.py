"""Benchmark of the metadata readers on a 1 GiB sparse file.

Each method is timed against one whole-file read (readinto a preallocated
buffer) of the same file in the same run, and its bytes read are taken from
/proc/self/io. The resident-memory growth of the two UTF-16 scans is measured
in a fresh process each. Prints the figures and their ratios.

    python bench/bench_metadata.py [--size-mib 1024] [--repeats 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import vantoro

from builders import orbitrap_v66, utf16
from common import bytes_read, whole_file_read

REGION, WINDOW = 4194304, 200000
MIB = 1 << 20


def build(path: str, size: int) -> None:
    img = orbitrap_v66(size=size)
    # Worst case for the method text: the marker at the last place it may start.
    img.put(REGION - 5, b'<?xml version="1.0"?><InstrumentMethod>m</InstrumentMethod>')
    labels = "\0".join(["Coulombmeter"] + [f"Status {k}" for k in range(200)] + ["X"]) + "\0"
    warnings = "\0".join(["Possible spray instability"] + [f"Warning {k}" for k in range(60)]) + "\0"
    img.put(size - 3 * MIB + 2, utf16(labels))
    img.put(size - 2 * MIB + 6, utf16(warnings))
    img.write(path)


MEMORY_PROBE = r"""
import sys, vantoro
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key)) * 1024
r = vantoro.RawFileReader(sys.argv[1])
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")          # restart the peak from the current resident size
except OSError:
    pass
before = status("VmRSS:")
result = getattr(r, sys.argv[2])()
print(status("VmHWM:") - before, len(result))
"""


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()
    size = args.size_mib * MIB

    tmpdir = tempfile.mkdtemp(prefix="vantoro_bench_", dir="/tmp")
    path = os.path.join(tmpdir, "orbitrap_bench.raw")
    try:
        build(path, size)
        r = vantoro.RawFileReader(path)
        buf = bytearray(size)
        whole_file_read(path, buf)  # warm the page cache for both sides

        methods = {
            "get_trailer_extra": lambda: [r.get_trailer_extra(s) for s in range(1, 146)],
            "get_instrument_method": lambda: r.get_instrument_method(0),
            "get_status_log_labels": r.get_status_log_labels,
            "get_error_logs": r.get_error_logs,
        }
        calls = {"get_trailer_extra": 145}
        base_times, times, reads = [], {m: [] for m in methods}, {}
        for _ in range(args.repeats):
            t = time.perf_counter()
            whole_file_read(path, buf)
            base_times.append(time.perf_counter() - t)
            for name, fn in methods.items():
                t = time.perf_counter()
                result = fn()
                times[name].append(time.perf_counter() - t)
                _, n = bytes_read(fn)
                reads[name] = n / calls.get(name, 1)
                assert result, f"{name} found nothing"
        base = statistics.median(base_times)

        print(f"file: {size} bytes (sparse); whole-file read, median of {args.repeats}: {base * 1e3:.1f} ms")
        print(f"{'method':<24}{'median ms':>11}{'x read':>9}{'bytes read/call':>17}")
        for name in methods:
            med = statistics.median(times[name]) / calls.get(name, 1)
            print(f"{name:<24}{med * 1e3:>11.3f}{med / base:>9.3f}{reads[name]:>17.0f}")

        print(
            f"resident memory growth, fresh process (a file image plus a unit image would be {2 * size / MIB:.0f} MiB):"
        )
        for name in ("get_status_log_labels", "get_error_logs"):
            out = subprocess.run(
                [sys.executable, "-c", MEMORY_PROBE, path, name], check=True, capture_output=True, text=True
            ).stdout.split()
            print(f"  {name:<24}{int(out[0]) / MIB:>8.2f} MiB  ({out[1]} texts)")

        print(
            f"get_instrument_method reads {reads['get_instrument_method']:.0f} bytes: the search "
            f"region ({REGION}) plus the window ({WINDOW}) is {REGION + WINDOW}"
        )
    finally:
        if os.path.exists(path):
            os.remove(path)
        os.rmdir(tmpdir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
