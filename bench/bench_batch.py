"""Batch scaling and pre-flight cost, measured side by side in one run.

- scaling: the same batch of --batch files (145 scans of --peaks peaks)
  converted by `vantoro convert` with --jobs 1 and --jobs 2, then on a
  Dask cluster (a scheduler and workers started here as processes on
  127.0.0.1) with one worker and with two, alternately, per format; the
  one-job side (the command, or the whole one-worker cluster and the
  command) held to one core with `taskset -c 0` where taskset exists: wall
  time of the whole command, min and median of --rounds, the speed-ups,
  and what two CPU-bound processes got from the machine just after (the
  ceiling of any speed-up at that moment); below each, the conversions'
  own span from the batch's ledger (first start to last end: the work
  without the command's start-up, the pool's or the client's, and the
  batch's end); and the CPU seconds that all the command's processes (the
  pool's server and workers; on Dask, the cluster's processes too) had
  spent when it ended, with the speed-up that much CPU allows on two whole
  cores (the one-job wall time over half the two-job CPU time);
- info: `vantoro info` (quick, the default, and --deep; with --jobs 1 and
  2) over --small small files against the baseline of constructing a
  RawFileReader and calling list_spectra() on each, each command in a
  fresh process; warm (page cache) and, where this process may drop the
  page cache (root), cold; wall time, min and median of --rounds; peak RSS
  of the command's process (its high-water mark, sampled every 2 ms) and,
  for -j 2, of the process tree as a whole (the sum of its processes' RSS,
  sampled likewise: the workers run side by side); the bytes the command read (rchar: read() calls;
  read_bytes: fetched from storage, mmap faults included), which Linux adds
  to this process's /proc/self/io when it reaps the command.

  python3 bench/bench_batch.py [--rounds 3] [--batch 8] [--peaks 40000] [--small 1000] [--only scaling,info]
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
import threading
import time
from collections.abc import Sequence
from typing import IO

from builders import orbitrap_dense, small_v57
from common import parallelism_now

BIN = os.path.dirname(sys.executable)
FORMATS = ("parquet", "mgf", "mzml")


def run(cmd: list[str]) -> tuple[float, int]:
    """Wall seconds and peak RSS (KiB) of the command's own process."""
    wall, peak, _, _ = measure(cmd)
    return wall, peak


def own_io() -> dict[str, int]:
    with open("/proc/self/io") as f:
        return {k: int(v) for k, v in (line.split(": ") for line in f.read().splitlines())}


def children(pid: int) -> list[int]:
    kids = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            kids += [int(c) for c in f.read().split()]
    return kids


def tree_rss(root: int) -> int:
    """The summed RSS (KiB) of process `root` and its descendants now."""
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        try:
            with open(f"/proc/{pid}/status") as f:
                total += next((int(x.split()[1]) for x in f if x.startswith("VmRSS:")), 0)
            todo += children(pid)
        except (OSError, ValueError):
            continue  # ended meanwhile
    return total


def hwm(pid: int) -> int:
    """The peak RSS (KiB) of process `pid` so far (0 once it has ended)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            return next((int(x.split()[1]) for x in f if x.startswith("VmHWM:")), 0)
    except (OSError, ValueError):
        return 0


def succeeded(cmd: list[str], status: int, err: IO[bytes]) -> None:
    """Stops the bench with the command's standard error (`err`) unless its wait status says it succeeded."""
    if os.waitstatus_to_exitcode(status) != 0:
        err.seek(0)
        raise SystemExit(f"failed: {cmd}\n{err.read().decode(errors='replace')}")


def measure(cmd: list[str], tree: bool = False) -> tuple[float, int, int, dict[str, int]]:
    """Wall seconds, the command's own peak RSS (KiB), the peak summed RSS
    (KiB) of its process tree when `tree` (else 0: sampling the tree costs
    the command some CPU on a small machine), both sampled from /proc while
    it runs, and the bytes it and its reaped descendants read.

    The peak RSS that wait4 reports is of no use here: Linux keeps a
    process's high-water mark across fork and exec, so every command would
    show this process's own size."""
    before = own_io()
    peaks = [0, 0]
    t0 = time.perf_counter()
    err = tempfile.TemporaryFile()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err)
    running = threading.Event()

    def sample() -> None:
        while not running.wait(0.002):
            peaks[0] = max(peaks[0], hwm(proc.pid))
            if tree:
                peaks[1] = max(peaks[1], tree_rss(proc.pid))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    _, status, _ = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    running.set()
    sampler.join()
    after = own_io()
    succeeded(cmd, status, err)
    read = {k: after[k] - before[k] for k in ("rchar", "read_bytes")}
    return wall, peaks[0], max(peaks) if tree else 0, read


def cluster(workers: int, tmp: str, pin: Sequence[str] = ()) -> tuple[str, list[subprocess.Popen[bytes]]]:
    info = os.path.join(tmp, f"scheduler-{workers}.json")
    log = open(os.path.join(tmp, "cluster.log"), "ab")
    procs = [
        subprocess.Popen(
            [*pin, f"{BIN}/dask", "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard"]
            + ["--scheduler-file", info],
            stdout=log,
            stderr=log,
            start_new_session=True,
        )
    ]
    while not os.path.exists(info) or not open(info).read().strip():
        time.sleep(0.1)
    address = json.load(open(info))["address"]
    # Workers started as the README starts them: on the C library's
    # allocator, as the command's own processes are.
    env = {**os.environ, "ARROW_DEFAULT_MEMORY_POOL": os.environ.get("ARROW_DEFAULT_MEMORY_POOL", "system")}
    for k in range(workers):
        procs.append(
            subprocess.Popen(
                [*pin, f"{BIN}/dask", "worker", address, "--nthreads", "1", "--no-nanny", "--no-dashboard"]
                + ["--host", "127.0.0.1", "--name", f"w{k}"],
                stdout=log,
                stderr=log,
                start_new_session=True,
                env=env,
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


def subreaper() -> bool:
    """Makes this process the parent of its commands' orphans (the pool's
    server process and its resource tracker outlive the command briefly),
    so that it reaps them and counts their CPU time."""
    if not sys.platform.startswith("linux"):
        return False
    import ctypes

    PR_SET_CHILD_SUBREAPER = 36
    return ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0


def _stat(pid: int) -> list[str]:
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()  # from the state on: the name may hold anything


def cpu_of(pids: Sequence[int]) -> float:
    """The CPU seconds that the running processes `pids` have spent so far."""
    return sum(sum(int(x) for x in _stat(p)[11:13]) for p in pids) / os.sysconf("SC_CLK_TCK")  # utime, stime


def tree_cpu(pid: int) -> float:
    """The CPU seconds spent so far by process `pid`, the children it has
    reaped and those still running, and theirs."""
    try:
        fields = _stat(pid)
        kids = children(pid)
    except OSError:
        return 0.0  # ended meanwhile
    own = sum(int(x) for x in fields[11:15]) / os.sysconf("SC_CLK_TCK")  # utime, stime, cutime, cstime
    return own + sum(tree_cpu(k) for k in kids)


def timed(cmd: list[str], others: Sequence[int] = ()) -> tuple[float, float]:
    """Wall seconds of `cmd` (to the end of its own process, as a shell
    sees it), and the CPU seconds its processes had spent by then, with
    what the running processes `others` spent meanwhile: the pool's server
    outlives the command briefly, and what it spends after does not hold
    the command up. Nothing samples the command while it runs: on two
    cores that would take CPU from it."""
    others_before = cpu_of(others)
    t0 = time.perf_counter()
    err = tempfile.TemporaryFile()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    # Its orphans are this process's children now; this process group
    # holds no other (the cluster's processes have sessions of their own).
    group = os.getpgid(0)
    orphans = [k for k in children(os.getpid()) if k not in others and os.getpgid(k) == group]
    spent = usage.ru_utime + usage.ru_stime + sum(tree_cpu(k) for k in orphans) + cpu_of(others) - others_before
    while True:
        try:
            os.waitpid(-group, 0)
        except ChildProcessError:
            break
    succeeded(cmd, status, err)
    return wall, spent


def convert(
    src: str,
    out: str,
    to: str,
    extra: list[str],
    spans: list[float] | None = None,
    cpu: list[float] | None = None,
    others: Sequence[int] = (),
    pin: Sequence[str] = (),
) -> float:
    """Wall seconds of the whole command; `spans` gets the seconds from the
    first conversion's start to the last one's end, from the batch's ledger:
    the work itself, without the command's start-up, the pool's or the
    cluster client's, and the end of the batch; `cpu` gets the CPU seconds
    of the command's processes and of `others` meanwhile."""
    shutil.rmtree(out, ignore_errors=True)
    wall, spent = timed([*pin, f"{BIN}/vantoro", "convert", src, "--to", to, "--out", out, "-q", *extra], others)
    if cpu is not None:
        cpu.append(spent)
    if spans is not None:
        import pyarrow.parquet as pq

        ledger = os.path.join(out, ".vantoro-ledger")
        rows = [
            r
            for name in os.listdir(ledger)
            for r in pq.read_table(os.path.join(ledger, name), columns=["started", "ended"]).to_pylist()
        ]
        spans.append((max(r["ended"] for r in rows) - min(r["started"] for r in rows)).total_seconds())
    return wall


def line(name: str, label: str, one: list[float], two: list[float]) -> str:
    return (
        f"  {name:8} {label:12} 1: min {min(one):6.2f} s med {statistics.median(one):6.2f} s"
        f"   2: min {min(two):6.2f} s med {statistics.median(two):6.2f} s"
        f"   speed-up {min(one) / min(two):4.2f}x (medians {statistics.median(one) / statistics.median(two):4.2f}x)"
    )


def span_line(one: list[float], two: list[float]) -> str:
    return (
        f"  {'':8} {'  conversions':12} 1: min {min(one):6.2f} s        {'':8}   2: min {min(two):6.2f} s {'':13}"
        f"speed-up {min(one) / min(two):4.2f}x (medians {statistics.median(one) / statistics.median(two):4.2f}x)"
    )


def cpu_line(one: list[float], two: list[float], wall_one: list[float]) -> str:
    return (
        f"  {'':8} {'  CPU':12} 1: min {min(one):6.2f} s        {'':8}   2: min {min(two):6.2f} s {'':13}"
        f"two whole cores allow {min(wall_one) / (min(two) / 2):4.2f}x"
    )


def scaling(tmp: str, count: int, rounds: int, formats: Sequence[str] = FORMATS, peaks: int = 40_000) -> None:
    src = os.path.join(tmp, "batch-in")
    os.makedirs(src)
    for k in range(count):
        orbitrap_dense(peaks, seed=100 + k).write(os.path.join(src, f"m{k:02d}_orbitrap.raw"))
    print(f"== scaling: {count} files of 145 scans x {peaks:,} peaks; wall time of the command, {rounds} rounds")
    reaps = subreaper()
    out = os.path.join(tmp, "out")
    # The one-job side held to one core: what one core does, against two.
    one_core = ["taskset", "-c", "0"] if shutil.which("taskset") else []
    print(f"  one job {'held to core 0 (taskset -c 0)' if one_core else 'not held to one core: no taskset'}")
    for to in formats:
        jobs: dict[int, list[float]] = {1: [], 2: []}
        spans: dict[int, list[float]] = {1: [], 2: []}
        cpu: dict[int, list[float]] = {1: [], 2: []}
        for _ in range(rounds):
            for n in (1, 2):
                pin = one_core if n == 1 else []
                jobs[n].append(convert(src, out, to, ["--jobs", str(n)], spans[n], cpu[n], pin=pin))
        print(
            line(to, "--jobs", jobs[1], jobs[2]), f"  (two CPU-bound processes: {parallelism_now():.2f}x)", flush=True
        )
        print(span_line(spans[1], spans[2]), flush=True)
        if reaps:
            print(cpu_line(cpu[1], cpu[2], jobs[1]), flush=True)
    dask: dict[str, dict[int, list[float]]] = {to: {1: [], 2: []} for to in formats}
    dask_spans: dict[str, dict[int, list[float]]] = {to: {1: [], 2: []} for to in formats}
    dask_cpu: dict[str, dict[int, list[float]]] = {to: {1: [], 2: []} for to in formats}
    # Both clusters up at once, their commands alternating as the pool's do:
    # the machine's drift over the run falls on both sides alike.
    clusters: dict[int, tuple[str, list[subprocess.Popen[bytes]], Sequence[str]]] = {}
    try:
        for n in (1, 2):
            pin = one_core if n == 1 else []
            clusters[n] = (*cluster(n, tmp, pin), pin)
        for to in formats:
            for address, _, pin in clusters.values():
                convert(src, out, to, ["--dask", address], pin=pin)  # workers import the writers once
            for _ in range(rounds):
                for n, (address, procs, pin) in clusters.items():
                    pids = [p.pid for p in procs]
                    dask[to][n].append(
                        convert(src, out, to, ["--dask", address], dask_spans[to][n], dask_cpu[to][n], pids, pin)
                    )
    finally:
        for _, procs, _ in clusters.values():
            stop(procs)
    for to in formats:
        print(line(to, "dask workers", dask[to][1], dask[to][2]), flush=True)
        print(span_line(dask_spans[to][1], dask_spans[to][2]), flush=True)
        if reaps:
            print(cpu_line(dask_cpu[to][1], dask_cpu[to][2], dask[to][1]), flush=True)
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
    print(f"\n== info: {count} small files, {size:,} bytes; {rounds} rounds, each command in a fresh process")
    vantoro = [f"{BIN}/vantoro", "info", src, "--json"]
    commands = {
        "baseline": [sys.executable, "-c", BASELINE, src],
        "info": vantoro,
        "info -j 2": [*vantoro, "-j", "2"],
        "info --deep": [*vantoro, "--deep"],
        "--deep -j 2": [*vantoro, "--deep", "-j", "2"],
    }
    modes = ["warm"] + (["cold"] if drop_caches() else [])
    for mode in modes:
        walls: dict[str, list[float]] = {k: [] for k in commands}
        rss: dict[str, tuple[int, int]] = {}
        reads: dict[str, dict[str, int]] = {}
        for _ in range(rounds):
            for name, cmd in commands.items():
                if mode == "cold":
                    drop_caches()
                else:
                    run(commands["baseline"])  # warm the cache
                wall, peak, tree, read = measure(cmd, tree="-j" in cmd)
                walls[name].append(wall)
                rss[name] = max(rss.get(name, (0, 0)), (peak, tree))
                reads[name] = read  # the same every round, up to the interpreter's own
        base_min, base_med = min(walls["baseline"]), statistics.median(walls["baseline"])
        for name, w in walls.items():
            pool = "-j" in commands[name]
            print(
                f"  {mode} {name:12} min {min(w):6.3f} s med {statistics.median(w):6.3f} s"
                f"   {min(w) / base_min:5.2f}x the baseline (medians {statistics.median(w) / base_med:5.2f}x)"
                f"   peak RSS {rss[name][0] / 1024:4.0f} MiB"
                + (f" (tree {rss[name][1] / 1024:4.0f} MiB)" if pool else " " * 16)
                + f"   read {reads[name]['rchar'] / 1e6:7.1f} MB (storage {reads[name]['read_bytes'] / 1e6:7.1f} MB)"
                + (" without the workers'" if pool else ""),
                flush=True,
            )
    print(
        "  (-j 2: the workers are children of the pool's server process, which the command does not reap:"
        " their reads are not counted; their memory is in the sampled tree figure)"
    )
    if len(modes) == 1:
        print("  (cold not measured: this process may not drop the page cache)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--peaks", type=int, default=40_000, help="the peaks of each scan of the scaling batch")
    ap.add_argument("--small", type=int, default=1000)
    ap.add_argument("--only", default="scaling,info")
    ap.add_argument("--formats", default=",".join(FORMATS), help="the formats of the scaling runs")
    args = ap.parse_args()
    only = set(args.only.split(","))
    tmp = tempfile.mkdtemp(prefix="vantoro-bench-batch-")
    try:
        if "scaling" in only:
            scaling(tmp, args.batch, args.rounds, args.formats.split(","), args.peaks)
        if "info" in only:
            info(tmp, args.small, args.rounds)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
