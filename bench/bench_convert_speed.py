"""Conversion speed against the disk: each conversion as a ratio to one
whole-file read of the same input, measured in the same run.

Builds two inputs with the test builders:
  - dense: one file of 145 MS2 scans of 199,999 peaks each (350 MB),
  - run: --files files (207 by default) of 145 scans each, cycles of one
    MS1 scan of 2,000-20,000 peaks and nine MS2 scans of 51-500 peaks
    (about 41 million peaks, 1.37 GB),
and prints for each, side by side:
  - the whole-file read: readinto of every file, in the page cache, into a
    buffer allocated and touched beforehand (min of --reads),
  - every peak list decoded through get_peaks, the floor of any conversion,
  - each conversion (Parquet, MGF, mzML with zlib, numpress and no
    compression) in a fresh child process, the writer's modules imported
    before the clock starts, files converted one after the other as
    `--jobs 1` does: min and median of --rounds, its ratio to the read,
    peaks per second, milliseconds per spectrum, output bytes, the peak
    resident memory of the child and of its whole process tree, and its
    CPU seconds (all threads) against the read's: on a shared machine the
    CPU time says what the wall time cannot.
Then a batch of --batch medium files (145 scans of 40,000 peaks) converted
by the `vantoro convert` command with --jobs 1 and --jobs 2, alternately:
the wall time of the whole command and the speed-up per format, beside
what two CPU-bound processes got from the machine just after (the ceiling
of the speed-up at that moment).

    python3 bench/bench_convert_speed.py [--rounds 3] [--only dense,run,batch]
        [--formats parquet,mgf,mzml,numpress,none]
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
import threading
import time

from builders import orbitrap_dense, orbitrap_run
from common import parallelism_now, whole_file_read

MIB = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")

# format label -> (writer, mzML compression)
CONVERSIONS = {
    "parquet": ("parquet", "zlib"),
    "mgf": ("mgf", "zlib"),
    "mzml": ("mzml", "zlib"),
    "numpress": ("mzml", "numpress"),
    "none": ("mzml", "none"),
}

CHILD = r"""
import importlib, json, os, resource, sys, time
from vantoro_tools import convert_file
from vantoro_tools.write.formats import WriteOptions
from vantoro_tools.write.registry import FORMATS

to, compression, out, *files = sys.argv[1:]
t0 = time.perf_counter()
for module in FORMATS[to].preload:
    importlib.import_module(module)
imports = time.perf_counter() - t0
try:
    options = WriteOptions(compression=compression)
except TypeError:
    options = None
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
t0, c0 = time.perf_counter(), cpu()
for path in files:
    if options is None:
        convert_file(path, to, out)
    else:
        convert_file(path, to, out, options=options)
elapsed, cpu_seconds = time.perf_counter() - t0, cpu() - c0
with open("/proc/self/status") as f:
    hwm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))
print(json.dumps({"imports": imports, "seconds": elapsed, "cpu": cpu_seconds, "hwm": hwm}))
"""


class TreeRss:
    """Samples the resident memory of a process and all its descendants
    every 20 ms; `peak` is the largest sum seen."""

    def __init__(self, pid: int):
        self.pid, self.peak, self._stop = pid, 0, threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _tree(self) -> list[int]:
        children: dict[int, list[int]] = {}
        for name in os.listdir("/proc"):
            if name.isdigit():
                try:
                    with open(f"/proc/{name}/stat") as f:
                        ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                except (OSError, IndexError, ValueError):
                    continue
                children.setdefault(ppid, []).append(int(name))
        tree, todo = [], [self.pid]
        while todo:
            pid = todo.pop()
            tree.append(pid)
            todo += children.get(pid, [])
        return tree

    def _run(self) -> None:
        while not self._stop.wait(0.02):
            total = 0
            for pid in self._tree():
                try:
                    with open(f"/proc/{pid}/statm") as f:
                        total += int(f.read().split()[1]) * PAGE
                except (OSError, IndexError, ValueError):
                    pass
            self.peak = max(self.peak, total)

    def stop(self) -> int:
        self._stop.set()
        self._thread.join()
        return self.peak


def run_tree(cmd: list[str]) -> tuple[str, float, int]:
    """Runs `cmd`; its standard output, wall time and the peak RSS of its tree."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
    sampler = TreeRss(proc.pid)
    out, _ = proc.communicate(timeout=3600)
    wall = time.perf_counter() - t0
    peak = sampler.stop()
    if proc.returncode != 0:
        raise SystemExit(f"{cmd[:4]} failed with exit status {proc.returncode}")
    return out, wall, peak


def touched(size: int) -> bytearray:
    buf = bytearray(size)
    buf[::PAGE] = b"\1" * len(range(0, size, PAGE))
    return buf


def read_all(files: list[str], buf: bytearray) -> tuple[float, float]:
    """Wall and CPU seconds of reading every file into `buf`."""
    t0, c0 = time.perf_counter(), time.process_time()
    for path in files:
        whole_file_read(path, buf)
    return time.perf_counter() - t0, time.process_time() - c0


def decode_all(files: list[str]) -> tuple[float, int, int, float]:
    """Every peak list through get_peaks: seconds, peaks, scans and CPU seconds."""
    from vantoro import RawFileReader

    peaks = spectra = 0
    t0, c0 = time.perf_counter(), time.process_time()
    for path in files:
        reader = RawFileReader(path)
        for scan in range(1, reader.num_scans + 1):
            mz, _ = reader.get_peaks(scan)
            peaks += len(mz)
            spectra += 1
    return time.perf_counter() - t0, peaks, spectra, time.process_time() - c0


def tree_bytes(root: str) -> int:
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, names in os.walk(root) for f in names)


def fmt_row(cells: list[str], widths: list[int]) -> str:
    return "  ".join(c.rjust(w) if i else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths)))


def measure(label: str, files: list[str], tmp: str, rounds: int, reads: int, formats: list[str]) -> None:
    size = sum(os.path.getsize(p) for p in files)
    buf = touched(max(os.path.getsize(p) for p in files))
    read_all(files, buf)  # the page cache holds every file from here on
    reads_ = [read_all(files, buf) for _ in range(reads)]
    del buf
    t_reads = [r[0] for r in reads_]
    t_read, c_read = min(t_reads), min(r[1] for r in reads_)
    decodes = [decode_all(files) for _ in range(reads)]
    t_decode, peaks, spectra = min(d[0] for d in decodes), decodes[0][1], decodes[0][2]
    c_decode = min(d[3] for d in decodes)
    print(f"\n== {label}: {len(files)} file(s), {size:,} bytes, {spectra:,} scans, {peaks:,} peaks")
    widths = [22, 9, 9, 8, 8, 10, 8, 14, 9, 9, 8, 9, 8]
    print(
        fmt_row(
            [
                "",
                "min s",
                "median s",
                "x read",
                "x med",
                "Mpeaks/s",
                "ms/spectrum",
                "output bytes",
                "RSS MiB",
                "tree MiB",
                "cpu s",
                "x cpu rd",
                "import s",
            ],
            widths,
        )
    )
    print(
        fmt_row(
            [
                "whole-file read",
                f"{t_read:.3f}",
                f"{statistics.median(t_reads):.3f}",
                "1.00",
                f"{statistics.median(t_reads) / t_read:.2f}",
                f"{peaks / t_read / 1e6:.0f}",
                f"{t_read / spectra * 1e3:.4f}",
                "",
                "",
                "",
                f"{c_read:.3f}",
                "1.00",
                "",
            ],
            widths,
        )
    )
    t_dmed = statistics.median(d[0] for d in decodes)
    print(
        fmt_row(
            [
                "get_peaks decoding",
                f"{t_decode:.3f}",
                f"{t_dmed:.3f}",
                f"{t_decode / t_read:.2f}",
                f"{t_dmed / t_read:.2f}",
                f"{peaks / t_decode / 1e6:.0f}",
                f"{t_decode / spectra * 1e3:.4f}",
                "",
                "",
                "",
                f"{c_decode:.3f}",
                f"{c_decode / c_read:.2f}",
                "",
            ],
            widths,
        )
    )
    for name in formats:
        to, compression = CONVERSIONS[name]
        out = os.path.join(tmp, f"out-{name}")
        runs = []
        for _ in range(rounds):
            shutil.rmtree(out, ignore_errors=True)
            text, _, tree = run_tree([sys.executable, "-c", CHILD, to, compression, out, *files])
            child = json.loads(text)
            runs.append((child["seconds"], child["hwm"], tree, child["imports"], child["cpu"]))
        secs = [r[0] for r in runs]
        best, med = min(secs), statistics.median(secs)
        written = tree_bytes(out)
        shutil.rmtree(out, ignore_errors=True)
        print(
            fmt_row(
                [
                    f"{name} ({to})" if name != to else name,
                    f"{best:.3f}",
                    f"{med:.3f}",
                    f"{best / t_read:.1f}",
                    f"{med / t_read:.1f}",
                    f"{peaks / best / 1e6:.1f}",
                    f"{best / spectra * 1e3:.3f}",
                    f"{written:,}",
                    f"{max(r[1] for r in runs) / MIB:.0f}",
                    f"{max(r[2] for r in runs) / MIB:.0f}",
                    f"{min(r[4] for r in runs):.2f}",
                    f"{min(r[4] for r in runs) / c_read:.1f}",
                    f"{statistics.median(r[3] for r in runs):.2f}",
                ],
                widths,
            ),
            flush=True,
        )
    print(
        "(x read: the conversion's min over the read's min; x med: medians; cpu s: CPU seconds of the"
        " conversion, all threads; x cpu rd: over the read's CPU seconds; import s: the writer's imports"
        " in the child, before the clock)"
    )


def batch(tmp: str, count: int, rounds: int, formats: list[str]) -> None:
    src = os.path.join(tmp, "batch-in")
    os.makedirs(src)
    for k in range(count):
        orbitrap_dense(40_000, seed=100 + k).write(os.path.join(src, f"m{k:02d}_orbitrap.raw"))
    size = tree_bytes(src)
    print(
        f"\n== batch: {count} medium files (145 scans of 40,000 peaks), {size:,} bytes,"
        f" `vantoro convert DIR --jobs N` wall time, min and median of {rounds}"
    )
    for name in formats:
        to, compression = CONVERSIONS[name]
        extra = [] if name == to else ["--compression", compression]
        runs: dict[int, list[tuple[float, int]]] = {1: [], 2: []}
        for _ in range(rounds):  # alternated: a change of load hits both alike
            for jobs in (1, 2):
                out = os.path.join(tmp, "batch-out")
                shutil.rmtree(out, ignore_errors=True)
                _, wall, tree = run_tree(
                    [
                        sys.executable,
                        "-m",
                        "vantoro_tools",
                        "convert",
                        src,
                        "--to",
                        to,
                        "--out",
                        out,
                        "--jobs",
                        str(jobs),
                        "--quiet",
                        *extra,
                    ]
                )
                runs[jobs].append((wall, tree))
        one = [w for w, _ in runs[1]]
        two = [w for w, _ in runs[2]]
        print(
            f"  {name:9} --jobs 1 min {min(one):6.2f} s med {statistics.median(one):6.2f} s"
            f"   --jobs 2 min {min(two):6.2f} s med {statistics.median(two):6.2f} s"
            f"   speed-up {min(one) / min(two):4.2f}x (medians {statistics.median(one) / statistics.median(two):4.2f}x)"
            f"   tree RSS {max(t for _, t in runs[1]) / MIB:.0f} / {max(t for _, t in runs[2]) / MIB:.0f} MiB"
            f"   (two CPU-bound processes got {parallelism_now():.2f}x just after)",
            flush=True,
        )
    shutil.rmtree(src, ignore_errors=True)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--reads", type=int, default=5)
    ap.add_argument("--files", type=int, default=207)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--only", default="dense,run,batch")
    ap.add_argument("--formats", default="parquet,mgf,mzml,numpress,none")
    ap.add_argument("--batch-formats", default="parquet,mgf,mzml")
    ap.add_argument("--tmp", default="/tmp", help="where the inputs and outputs go")
    args = ap.parse_args()
    only = args.only.split(",")
    formats = args.formats.split(",")
    tmp = tempfile.mkdtemp(prefix="vantoro_bench_speed_", dir=args.tmp)
    try:
        if "dense" in only:
            path = orbitrap_dense().write(os.path.join(tmp, "dense_orbitrap.raw"))
            measure("dense", [path], tmp, args.rounds, args.reads, formats)
            os.unlink(path)
        if "run" in only:
            run_dir = os.path.join(tmp, "run")
            os.makedirs(run_dir)
            files = [
                orbitrap_run(seed=k).write(os.path.join(run_dir, f"run{k:03d}_orbitrap.raw")) for k in range(args.files)
            ]
            measure("run-like set", files, tmp, args.rounds, args.reads, formats)
            shutil.rmtree(run_dir)
        if "batch" in only:
            batch(tmp, args.batch, args.rounds, args.batch_formats.split(","))
        print(f"\ncores: {os.cpu_count()}, load average {os.getloadavg()[0]:.2f}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
