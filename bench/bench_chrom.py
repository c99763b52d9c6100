"""Chromatograms against decoding the peak lists alone, and the QC report's
size and build time.

Part 1: on a dense orbitrap file (145 scans of 20,000 peaks each), one walk
computing the TIC, the base peak and a 100-target XIC over every scan
(`chromatograms(ms_level=None, ...)`) against `get_peaks` over the same
scans, in alternating rounds in one process; printed: each side's median,
the ratio of the medians and the median of the round-by-round ratios (the
figure to quote: at most 1.5 is the aim), in wall and in CPU time, bytes read per walk
(/proc/self/io rchar) and the peak RSS. The baseline holds each list until
the next call, as the walk does; the same walk against a baseline that
drops each list at once (as bench_peaks.py calls it) is printed too. The
MS1-only walk (which also reads every scan's trailer to learn its level)
is printed against `get_peaks` over the MS1 scans.

Part 2: `vantoro report` of 20 synthetic runs (tests/builders.qc_batch):
report size and build time with one process and with two; then, where
Debian's chromium is installed, the report opened headless (network cut
off by a dead proxy) against an empty page in the same runs: the whole
browser process's wall time for each, and the page's own figures (time
from the request to every plot drawn, and the drawing alone).

    python bench/bench_chrom.py [--rounds N]
"""

import argparse
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import vantoro
from vantoro_tools.analyse.chrom import chromatograms

from builders import dense_orbitrap, qc_batch
from common import bytes_read

SCANS = 145
PEAKS = 20_000
TARGETS = 100


def timed(fn):
    """Wall and CPU seconds of one call (CPU time: what this process used,
    less disturbed by other work on a shared machine)."""
    w0, c0 = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - w0, time.process_time() - c0


def compare(label, walk, baseline, rounds):
    a, b = [], []
    walk(), baseline()  # warm-up: page cache, imports
    for _ in range(rounds):
        a.append(timed(walk))
        b.append(timed(baseline))
    print(f"{label}")
    for k, clock in enumerate(("wall", "CPU")):
        x, y = [t[k] for t in a], [t[k] for t in b]
        ratios = [p / q for p, q in zip(x, y)]
        print(
            f"  {clock:4}: walk median {statistics.median(x) * 1e3:6.1f} ms, get_peaks alone "
            f"{statistics.median(y) * 1e3:6.1f} ms; ratio of medians "
            f"{statistics.median(x) / statistics.median(y):.3f}, round-by-round median "
            f"{statistics.median(ratios):.3f} (min {min(ratios):.3f}, max {max(ratios):.3f}, {rounds} rounds)"
        )
    print(f"  bytes read per walk: chromatograms {bytes_read(walk)[1]:,}, get_peaks {bytes_read(baseline)[1]:,}")


def part1(work, rounds):
    path = dense_orbitrap(PEAKS, SCANS).write(os.path.join(work, "dense_orbitrap.raw"))
    r = vantoro.RawFileReader(path)
    assert all(len(r.get_peaks(s)[0]) == PEAKS for s in range(1, SCANS + 1)), "a peak list was not found"
    targets = np.sort(np.random.default_rng(3).uniform(150.0, 1900.0, TARGETS))
    every = range(1, SCANS + 1)
    ms1 = [s for s in every if r.get_trailer_extra(s)["MS Order"] == 1]
    print(
        f"file: {os.path.getsize(path):,} bytes, {SCANS} scans x {PEAKS:,} peaks, {TARGETS} XIC targets, "
        f"10 ppm; {len(ms1)} MS1 scans"
    )

    # The baseline holds each peak list until the next is decoded, as any
    # consumer does (the walk too): dropping each at once makes the
    # allocator hand its pages back and fault them in again every call.
    def peaks_all():
        for s in every:
            mz, intensity = r.get_peaks(s)

    def peaks_ms1():
        for s in ms1:
            mz, intensity = r.get_peaks(s)

    def peaks_dropped():
        for s in every:
            r.get_peaks(s)

    c = chromatograms(r, ms_level=None, targets=targets)
    assert c.xic.shape == (TARGETS, SCANS) and c.xic.any()
    compare(
        "every scan: TIC + BPC + 100-target XIC vs get_peaks of every scan",
        lambda: chromatograms(r, ms_level=None, targets=targets),
        peaks_all,
        rounds,
    )
    compare(
        "the same, against get_peaks of every scan with each list dropped at once",
        lambda: chromatograms(r, ms_level=None, targets=targets),
        peaks_dropped,
        rounds,
    )
    compare(
        "MS1 scans (trailers read for the level): TIC + BPC + XIC vs get_peaks of the MS1 scans",
        lambda: chromatograms(r, ms_level=1, targets=targets),
        peaks_ms1,
        rounds,
    )
    print(f"peak RSS of this process: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


def part2(work):
    folder = os.path.join(work, "batch")
    t0 = time.perf_counter()
    qc_batch(folder, count=20)
    print(f"\n20 synthetic runs written in {time.perf_counter() - t0:.1f} s")
    vantoro_cmd = shutil.which("vantoro", path=os.path.dirname(sys.executable)) or "vantoro"
    for jobs in (1, 2):
        out = os.path.join(work, f"report-{jobs}.html")
        times = []
        for _ in range(3):
            t0 = time.perf_counter()
            subprocess.run([vantoro_cmd, "report", folder, "-o", out, "-q", "-j", str(jobs)], check=True)
            times.append(time.perf_counter() - t0)
        print(
            f"vantoro report of 20 runs, --jobs {jobs}: median {statistics.median(times):.2f} s "
            f"(whole command, 3 runs), {os.path.getsize(out) / 1024:.0f} KiB"
        )
    part3(work, os.path.join(work, "report-1.html"))


def part3(work, report, rounds=5):
    chromium = shutil.which("chromium")
    if chromium is None:
        print("chromium not installed: open time not measured")
        return
    blank = os.path.join(work, "blank.html")
    with open(blank, "w") as f:
        f.write("<!DOCTYPE html><html><body></body></html>")
    cmd = [
        chromium,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--proxy-server=127.0.0.1:9",
        f"--user-data-dir={os.path.join(work, 'profile')}",
        "--dump-dom",
    ]
    walls = {"report": [], "blank": []}
    ready, render = [], []
    for _ in range(rounds + 1):  # the first round warms the profile and the page cache
        for name, page in (("report", report), ("blank", blank)):
            t0 = time.perf_counter()
            dom = subprocess.run([*cmd, "file://" + page], capture_output=True, text=True, timeout=120).stdout
            walls[name].append(time.perf_counter() - t0)
            if name == "report":
                body = re.search(r"<body([^>]*)>", dom)
                attrs = dict(re.findall(r'data-([a-z-]+)="([^"]*)"', body.group(1) if body else ""))
                assert attrs.get("figures") == attrs.get("drawn") and attrs.get("errors") == "0", attrs
                ready.append(int(attrs["ready-ms"]))
                render.append(int(attrs["render-ms"]))
    med = {k: statistics.median(v[1:]) for k, v in walls.items()}
    print(
        f"headless chromium, {rounds} loads: report {med['report']:.2f} s, empty page {med['blank']:.2f} s "
        f"(whole browser process, median); the report's own: {statistics.median(ready[1:])} ms from the "
        f"request to every plot drawn, {statistics.median(render[1:])} ms of it drawing"
    )


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=7)
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="vantoro-bench-chrom-")
    try:
        part1(work, args.rounds)
        part2(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
