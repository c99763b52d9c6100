"""`vantoro watch`: how soon a finished run is reported, and what the
watcher costs while nothing happens.

- latency: a watcher (file events, --settle 2, --qc-history, --notify to a
  webhook served here on 127.0.0.1) and a file of 145 scans of --peaks
  peaks written into its folder, --rounds times (a new file each time);
  from the file's last write (its modification time) to the notification's
  arrival, min and median, against the baseline measured in the same run:
  the same work without the watcher (converting each file to mzML as
  `vantoro convert` does, `convert_many`: the outputs hashed, the ledger
  written; then its QC read and added to a history, timed in one
  process warmed up on a first conversion, as a running watcher is). The target: at most settle +
  baseline + 1 s;
- idle: a watcher over --folders folders (each holding a RAW file it has
  converted already) left alone for --idle seconds: its CPU time (user +
  system, all its threads) over that span, by file events and by polling
  every 5 s.

  python3 bench/bench_watch.py [--rounds 5] [--peaks 40000] [--folders 100] [--idle 30]
"""

from __future__ import annotations

import argparse
import http.server
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import common  # noqa: F401  (puts tests/ on the path)
from builders import orbitrap_dense, orbitrap_v66

BIN = os.path.dirname(sys.executable)
SETTLE = 2.0

BASELINE = r"""
import json, os, sys, time
from vantoro_tools.analyse.qc import run_qc
from vantoro_tools.report.history import add_runs
from vantoro_tools.run.convert import convert_many
work, raws = sys.argv[1], sys.argv[2:]
# Warmed up first (imports, vocabularies, first calls), as a running watcher is.
convert_many([raws[0]], "mzml", os.path.join(work, "warm"))
add_runs(os.path.join(work, "warm-history"), [run_qc(raws[0], checksum=True)])
times = []
for k, raw in enumerate(raws):
    t0 = time.perf_counter()
    convert_many([raw], "mzml", os.path.join(work, f"out{k}"))
    t1 = time.perf_counter()
    add_runs(os.path.join(work, "history"), [run_qc(raw, checksum=True)])
    times.append((t1 - t0, time.perf_counter() - t0))
print(json.dumps(times))
"""


class Hook(http.server.BaseHTTPRequestHandler):
    arrivals: list[tuple[float, dict]] = []

    def do_POST(self) -> None:
        body = self.rfile.read(int(self.headers["Content-Length"]))
        Hook.arrivals.append((time.time(), json.loads(body)))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args: object) -> None:
        pass


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat", "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stop(proc: subprocess.Popen) -> None:
    proc.terminate()
    try:
        proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def write(data: bytes, dest: str) -> float:
    """Writes `data` to `dest` in 4 MiB chunks, as a copy would; its modification time once closed."""
    with open(dest, "wb") as f:
        for at in range(0, len(data), 4 << 20):
            f.write(data[at : at + (4 << 20)])
    return os.stat(dest).st_mtime


def latency(work: str, rounds: int, peaks: int) -> None:
    made = os.path.join(work, "made_orbitrap")
    os.makedirs(made)
    images = []
    for k in range(rounds):
        path = orbitrap_dense(peaks, seed=k).write(os.path.join(made, f"run_{k:02d}_orbitrap.raw"))
        images.append(path)
    size = os.path.getsize(images[0])
    print(f"latency: {rounds} files of 145 scans x {peaks:,} peaks ({size / 1e6:.0f} MB), --settle {SETTLE:g}")
    baseline = os.path.join(work, "baseline")
    os.makedirs(baseline)
    got = subprocess.run(
        [sys.executable, "-c", BASELINE, baseline, *images], capture_output=True, text=True, check=True
    )
    convert_only, base = (list(t) for t in zip(*json.loads(got.stdout)))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    folder, out = os.path.join(work, "instrument_orbitrap"), os.path.join(work, "out")
    os.makedirs(folder)
    url = f"http://127.0.0.1:{server.server_address[1]}/"
    log = open(os.path.join(work, "watch.log"), "w")
    proc = subprocess.Popen(
        [f"{BIN}/vantoro", "watch", folder, "--out", out, "--to", "mzml", "--settle", str(SETTLE)]
        + ["--qc-history", os.path.join(work, "history"), "--notify", url],
        stdout=log,
        stderr=subprocess.STDOUT,
    )
    seen = []
    try:
        time.sleep(3)
        for path in images:
            with open(path, "rb") as f:
                data = f.read()
            name = os.path.basename(path)
            last = write(data, os.path.join(folder, name))
            deadline = time.monotonic() + 120
            while not any(e.get("name") == name and e["event"] == "done" for _, e in Hook.arrivals):
                if time.monotonic() > deadline or proc.poll() is not None:
                    raise SystemExit(f"no notification for {name}; see {log.name}")
                time.sleep(0.01)
            arrived = next(t for t, e in Hook.arrivals if e.get("name") == name)
            seen.append(arrived - last)
    finally:
        stop(proc)
        server.shutdown()
    target = [SETTLE + b + 1.0 for b in base]
    for what, values in (
        ("conversion alone (a convert batch)", convert_only),
        ("baseline: conversion, then QC read and added", base),
        ("last write -> notification", seen),
        ("target: settle + baseline + 1 s", target),
    ):
        print(f"  {what:46s} min {min(values):.2f} s, median {statistics.median(values):.2f} s")
    over = [s - SETTLE for s in seen]
    within = statistics.median(seen) <= statistics.median(target) and min(seen) <= min(target)
    print(
        f"  beyond the settle time, over the baseline: min {min(over) / min(base):.2f}x, "
        f"median {statistics.median(over) / statistics.median(base):.2f}x; {'within' if within else 'OVER'} the target"
    )


def idle(work: str, folders: int, seconds: float) -> None:
    root = os.path.join(work, "idle")
    names = []
    image = orbitrap_v66(0)
    for k in range(folders):
        folder = os.path.join(root, f"instrument{k:03d}_orbitrap")
        os.makedirs(folder)
        image.write(os.path.join(folder, "done_orbitrap.raw"))
        names.append(folder)
    print(f"idle: {folders} folders of one converted RAW file each, {seconds:g} s")
    out = os.path.join(root, "out")
    # The files are converted first (outputs under one name each), so the watchers find them done.
    for k, folder in enumerate(names):
        os.rename(os.path.join(folder, "done_orbitrap.raw"), os.path.join(folder, f"done{k:03d}_orbitrap.raw"))
    subprocess.run(
        [f"{BIN}/vantoro", "watch", *names, "--out", out, "--to", "mzml", "--once", "--settle", "0.1"],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    for mode, extra in (("file events", []), ("--poll 5", ["--poll", "5"])):
        proc = subprocess.Popen(
            [f"{BIN}/vantoro", "watch", *names, "--out", out, "--to", "mzml", "--settle", "2", *extra],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        try:
            time.sleep(5)  # started, the folders listed once
            c0, t0 = cpu_seconds(proc.pid), time.monotonic()
            time.sleep(seconds)
            c1, t1 = cpu_seconds(proc.pid), time.monotonic()
        finally:
            stop(proc)
        print(f"  {mode:12s} CPU {c1 - c0:.2f} s over {t1 - t0:.0f} s: {100 * (c1 - c0) / (t1 - t0):.2f} % of a core")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--peaks", type=int, default=40_000)
    ap.add_argument("--folders", type=int, default=100)
    ap.add_argument("--idle", type=float, default=30.0)
    ap.add_argument("--only", default="latency,idle")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-watch-", dir=os.environ.get("BENCH_TMP")) as work:
        if "latency" in args.only:
            latency(work, args.rounds, args.peaks)
        if "idle" in args.only:
            idle(work, args.folders, args.idle)


if __name__ == "__main__":
    main()
