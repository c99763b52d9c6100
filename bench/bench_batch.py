"""Batch scaling and pre-flight cost, measured side by side in one run.

- scaling: the same batch of --batch files (145 scans of 40,000 peaks)
  converted by `vantoro convert` with --jobs 1 and --jobs 2, then on a
  Dask cluster (a scheduler and workers started here as processes on
  127.0.0.1) with one worker and with two, alternately, per format: wall
  time of the whole command, min and median of --rounds, the speed-ups,
  and what two CPU-bound processes got from the machine just after (the
  ceiling of any speed-up at that moment);
- info: `vantoro info` over --small small files against the baseline of
  constructing a RawFileReader and calling list_spectra() on each, in a
  fresh process each; warm (page cache) and, where this process may drop
  the page cache (root), cold; wall time and peak RSS (the bytes read by
  processes that have ended cannot be read from /proc, so none are given).

  python3 bench/bench_batch.py [--rounds 3] [--batch 8] [--small 1000] [--only scaling,info]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from builders import orbitrap_dense, small_v57
from common import parallelism_now

BIN = os.path.dirname(sys.executable)
FORMATS = ("parquet", "mgf", "mzml")


def run(cmd: list[str]) -> tuple[float, int]:
    """Wall seconds and peak RSS (KiB) of the command's own process."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    if os.waitstatus_to_exitcode(status) not in (0, 1):  # 1: some input refused, which the bench does not make
        raise SystemExit(f"failed: {cmd}")
    return wall, usage.ru_maxrss


def cluster(workers: int, tmp: str) -> tuple[str, list[subprocess.Popen[bytes]]]:
    info = os.path.join(tmp, f"scheduler-{workers}.json")
    log = open(os.path.join(tmp, "cluster.log"), "ab")
    procs = [
        subprocess.Popen(
            [f"{BIN}/dask", "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard"]
            + ["--scheduler-file", info],
            stdout=log,
            stderr=log,
            start_new_session=True,
        )
    ]
    while not os.path.exists(info) or not open(info).read().strip():
        time.sleep(0.1)
    address = json.load(open(info))["address"]
    for k in range(workers):
        procs.append(
            subprocess.Popen(
                [f"{BIN}/dask", "worker", address, "--nthreads", "1", "--no-nanny", "--no-dashboard"]
                + ["--host", "127.0.0.1", "--name", f"w{k}"],
                stdout=log,
                stderr=log,
                start_new_session=True,
            )
        )
    from distributed import Client

    with Client(address, timeout=30) as client:
        client.wait_for_workers(workers, timeout=60)
    return address, procs


def stop(procs: list[subprocess.Popen[bytes]]) -> None:
    for p in procs:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        p.wait()


def convert(src: str, out: str, to: str, extra: list[str]) -> float:
    shutil.rmtree(out, ignore_errors=True)
    return run([f"{BIN}/vantoro", "convert", src, "--to", to, "--out", out, "-q", *extra])[0]


def line(name: str, label: str, one: list[float], two: list[float]) -> str:
    return (
        f"  {name:8} {label:12} 1: min {min(one):6.2f} s med {statistics.median(one):6.2f} s"
        f"   2: min {min(two):6.2f} s med {statistics.median(two):6.2f} s"
        f"   speed-up {min(one) / min(two):4.2f}x (medians {statistics.median(one) / statistics.median(two):4.2f}x)"
    )


def scaling(tmp: str, count: int, rounds: int) -> None:
    src = os.path.join(tmp, "batch-in")
    os.makedirs(src)
    for k in range(count):
        orbitrap_dense(40_000, seed=100 + k).write(os.path.join(src, f"m{k:02d}_orbitrap.raw"))
    print(f"== scaling: {count} files of 145 scans x 40,000 peaks; wall time of the command, {rounds} rounds")
    out = os.path.join(tmp, "out")
    for to in FORMATS:
        jobs: dict[int, list[float]] = {1: [], 2: []}
        for _ in range(rounds):
            for n in (1, 2):
                jobs[n].append(convert(src, out, to, ["--jobs", str(n)]))
        print(
            line(to, "--jobs", jobs[1], jobs[2]), f"  (two CPU-bound processes: {parallelism_now():.2f}x)", flush=True
        )
    dask: dict[str, dict[int, list[float]]] = {to: {1: [], 2: []} for to in FORMATS}
    for n in (1, 2):
        address, procs = cluster(n, tmp)
        try:
            for to in FORMATS:
                convert(src, out, to, ["--dask", address])  # workers import the writers once
                for _ in range(rounds):
                    dask[to][n].append(convert(src, out, to, ["--dask", address]))
        finally:
            stop(procs)
    for to in FORMATS:
        print(line(to, "dask workers", dask[to][1], dask[to][2]), flush=True)
    print(f"  (two CPU-bound processes got {parallelism_now():.2f}x at the end)")


BASELINE = r"""
import os, sys
from vantoro import RawFileReader
d = sys.argv[1]
for name in sorted(os.listdir(d)):
    if name.lower().endswith(".raw"):
        RawFileReader(os.path.join(d, name)).list_spectra()
"""


def drop_caches() -> bool:
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def info(tmp: str, count: int, rounds: int) -> None:
    src = os.path.join(tmp, "small")
    os.makedirs(src)
    small_v57().write(os.path.join(src, "f0000.small.RAW"))
    for k in range(1, count):
        shutil.copyfile(os.path.join(src, "f0000.small.RAW"), os.path.join(src, f"f{k:04d}.small.RAW"))
    size = sum(os.path.getsize(os.path.join(src, n)) for n in os.listdir(src))
    print(f"\n== info: {count} small files, {size:,} bytes; {rounds} rounds, each in a fresh process")
    commands = {
        "baseline": [sys.executable, "-c", BASELINE, src],
        "info": [f"{BIN}/vantoro", "info", src, "--json"],
        "info -j 2": [f"{BIN}/vantoro", "info", src, "--json", "-j", "2"],
    }
    modes = ["warm"] + (["cold"] if drop_caches() else [])
    for mode in modes:
        walls: dict[str, list[float]] = {k: [] for k in commands}
        rss: dict[str, int] = {}
        for _ in range(rounds):
            for name, cmd in commands.items():
                if mode == "cold":
                    drop_caches()
                else:
                    run(commands["baseline"])  # warm the cache
                wall, peak = run(cmd)
                walls[name].append(wall)
                rss[name] = max(rss.get(name, 0), peak)
        base = min(walls["baseline"])
        for name, w in walls.items():
            print(
                f"  {mode} {name:10} min {min(w):6.2f} s med {statistics.median(w):6.2f} s"
                f"   {min(w) / base:4.2f}x the baseline   peak RSS {rss[name] / 1024:.0f} MiB",
                flush=True,
            )
    if len(modes) == 1:
        print("  (cold not measured: this process may not drop the page cache)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--small", type=int, default=1000)
    ap.add_argument("--only", default="scaling,info")
    args = ap.parse_args()
    only = set(args.only.split(","))
    tmp = tempfile.mkdtemp(prefix="vantoro-bench-batch-")
    try:
        if "scaling" in only:
            scaling(tmp, args.batch, args.rounds)
        if "info" in only:
            info(tmp, args.small, args.rounds)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
