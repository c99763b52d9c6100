"""Conversion of the 1 GiB synthetic orbitrap file, against one whole-file read.

Builds the sparse 1 GiB orbitrap file of bench_peaks.py (145 scans with a
1000-peak list each, 16 KiB apart) and measures in the same run:
  - one whole-file read with readinto into a preallocated buffer (baseline,
    median of --reads),
  - its conversion to Parquet and to mzML, each in a fresh child process
    that converts the file twice (the first conversion pays one-time set-up
    such as loading the PSI-MS vocabulary): the time of each conversion,
    the bytes the child read during it (/proc/self/io rchar) and the
    child's peak resident memory (VmHWM: its ru_maxrss without the high-water
    mark inherited from this process) after imports and at the end,
  - a batch of --batch such files (one file under as many names, so every
    task has the same work) converted by the `vantoro convert` command with
    --jobs 1 and with --jobs 2, alternately: wall time of the whole command,
    median of --repeat runs each, and the speed-up.
The same is then measured on a dense file: 145 scans of 20,000 peaks each
(35 MB of peak lists), where converting, not starting workers, is most of
a batch's time.
Each batch line also states what two plain CPU-bound processes got from the
machine just after it, the ceiling of the speed-up at that moment. Prints
figures and ratios; the machine is shared, so ratios measured in one run
are what to compare.

    python3 bench/bench_convert.py [--size-mib 1024] [--batch 16] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from vantoro_tools import open_raw, read_peaks

from builders import orbitrap_v66
from common import parallelism_now, whole_file_read

MIB = 1 << 20
PEAKS = 1000
STRIDE = 16384  # as bench_peaks.py: room for a 1000-peak block per scan
DENSE_PEAKS, DENSE_STRIDE = 20000, 262144

CHILD = r"""
import importlib, json, os, sys, time
from vantoro_tools import convert_file

def proc(name, key):
    with open(f"/proc/self/{name}") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key))

def rchar():
    return proc("io", "rchar:")

def peak_rss():
    # This process's high-water mark. ru_maxrss would also carry the
    # parent's, which held the whole file in its read buffer.
    return proc("status", "VmHWM:") * 1024

path, to, out = sys.argv[1:4]
# The writer's imports are not conversion.
importlib.import_module({"parquet": "pyarrow.parquet", "mzml": "psims.mzml.writer"}[to])
result = {"maxrss_after_imports": peak_rss()}
for run in ("first", "second"):
    r0, t0 = rchar(), time.perf_counter()
    convert_file(path, to, os.path.join(out, run))
    result[run] = time.perf_counter() - t0
    result[run + "_rchar"] = rchar() - r0
result["maxrss"] = peak_rss()
print(json.dumps(result))
"""


def convert_in_child(path: str, to: str, out: str) -> dict[str, float]:
    res = subprocess.run(
        [sys.executable, "-c", CHILD, path, to, out], capture_output=True, text=True, check=True, timeout=1800
    )
    return json.loads(res.stdout)  # type: ignore[no-any-return]


def batch_run(files: list[str], to: str, out: str, jobs: int) -> float:
    shutil.rmtree(out, ignore_errors=True)
    t0 = time.perf_counter()
    subprocess.run(
        [
            sys.executable,
            "-m",
            "vantoro_tools",
            "convert",
            *files,
            "--to",
            to,
            "--out",
            out,
            "--jobs",
            str(jobs),
            "--quiet",
        ],
        check=True,
        timeout=3600,
    )
    return time.perf_counter() - t0


def measure(path: str, label: str, tmp: str, reads: int, formats: tuple[str, ...]) -> None:
    size = os.path.getsize(path)
    buf = bytearray(size)
    whole_file_read(path, buf)  # warm the page cache for both sides
    times = []
    for _ in range(reads):
        t0 = time.perf_counter()
        assert whole_file_read(path, buf) == size
        times.append(time.perf_counter() - t0)
    del buf
    t_read = statistics.median(times)
    reader = open_raw(path)
    search = []
    for _ in range(reads):  # the peak search and decoding alone, every scan
        t0 = time.perf_counter()
        for scan in range(1, reader.num_scans + 1):
            read_peaks(reader, scan)
        search.append(time.perf_counter() - t0)
    t_search = statistics.median(search)
    print(f"\n== {label}: {size:,} bytes")
    print(f"whole-file read (median of {reads}):       {t_read * 1e3:9.1f} ms")
    print(
        f"peak lists of every scan (read_peaks):  {t_search * 1e3:9.1f} ms  {t_search / t_read:7.2f} whole-file reads"
    )
    for to in formats:
        r = convert_in_child(path, to, os.path.join(tmp, "out-" + to))
        print(f"{to}: conversion in a fresh process")
        for run in ("first", "second"):
            print(
                f"  {run:6} conversion {r[run] * 1e3:9.1f} ms  {r[run] / t_read:7.2f} whole-file reads"
                f"  {r[run + '_rchar']:>12,} bytes read ({r[run + '_rchar'] / size:.4f} of the file)"
            )
        print(
            f"  peak RSS after imports {r['maxrss_after_imports'] / MIB:6.1f} MiB,"
            f" at the end {r['maxrss'] / MIB:6.1f} MiB"
        )


def batch(path: str, label: str, tmp: str, count: int, repeat: int, formats: tuple[str, ...]) -> None:
    files = []
    for k in range(count):  # hard links: one file's data under many names
        name = os.path.join(tmp, f"{label}{k:02d}_orbitrap.raw")
        os.link(path, name)
        files.append(name)
    for to in formats:
        print(
            f"batch of {count} {label} files to {to}, `vantoro convert` wall time (median of {repeat}),"
            f" load average {os.getloadavg()[0]:.2f}:"
        )
        runs: dict[int, list[float]] = {1: [], 2: []}
        for _ in range(repeat):  # alternated, so that a change of load hits both alike
            for jobs in (1, 2):
                runs[jobs].append(batch_run(files, to, os.path.join(tmp, "batch"), jobs))
        one, two = statistics.median(runs[1]), statistics.median(runs[2])
        print(
            f"  --jobs 1 {one:7.2f} s   --jobs 2 {two:7.2f} s   speed-up {one / two:5.2f}x"
            f"   (two CPU-bound processes got {parallelism_now():.2f}x just after)"
        )
    for name in files:
        os.unlink(name)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--reads", type=int, default=5)
    ap.add_argument("--batch", type=int, default=16)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    size = args.size_mib * MIB

    tmp = tempfile.mkdtemp(prefix="vantoro_bench_convert_", dir="/tmp")
    try:
        sparse = os.path.join(tmp, "sparse_orbitrap.raw")
        orbitrap_v66(PEAKS, size=size, block_stride=STRIDE).write(sparse)
        measure(sparse, f"sparse file, 145 scans of {PEAKS} peaks", tmp, args.reads, ("parquet", "mzml"))
        batch(sparse, "sparse", tmp, args.batch, args.repeat, ("parquet", "mzml"))
        os.unlink(sparse)

        dense = os.path.join(tmp, "dense_orbitrap.raw")
        orbitrap_v66(DENSE_PEAKS, block_stride=DENSE_STRIDE).write(dense)
        measure(dense, f"dense file, 145 scans of {DENSE_PEAKS} peaks", tmp, args.reads, ("parquet", "mzml"))
        batch(dense, "dense", tmp, args.batch, args.repeat, ("parquet",))
        print(f"\ncores: {os.cpu_count()}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
