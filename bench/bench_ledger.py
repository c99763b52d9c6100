"""What the batch ledger costs a `vantoro convert` batch, measured side by side in one run.

The batch: one `orbitrap_dense(40000)` file and 12 `orbitrap_run` files
(about 96 MB), converted with `--jobs 1` into a fresh output directory,
per format. Each round runs the command twice in fresh processes, in turn:
as installed, and with the ledger's work taken out (its class, `latest`
and the per-attempt details replaced by no-ops in the command's process
before it starts: no Arrow import for the ledger, no record written, no
output hashed). Wall time of the whole command, min and median of
--rounds, the ratio of the minima and of the medians, the least CPU time
(user and system) of each, and what two CPU-bound processes got from the
machine just after (the ledger's work overlaps the conversion on a second
core when one is idle); then the ledger
alone: `latest()` over a ledger of --batches batches of 13 records, as
the batches leave it (merged) and as if none had merged its records (one
file per record, as every batch left it before batches merged them).

  PYTHONPATH=tests python3 bench/bench_ledger.py [--rounds 3] [--batches 200]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from builders import orbitrap_dense, orbitrap_run
from common import parallelism_now

FORMATS = ("mzml", "mgf", "parquet")

#: The command with the ledger taken out.
WITHOUT = r"""
import sys
from vantoro_tools.run.convert import batch, task

class NoLedger:
    batch = None
    def __init__(self, *args, **kwargs): pass
    def record(self, *args, **kwargs): return True
    def close(self): pass

batch.Ledger = NoLedger
batch.latest = lambda out: {}
task.attempt_details = lambda started, outputs, *args, **kwargs: {"outputs": []}
from vantoro_tools.cli import main
sys.exit(main(sys.argv[1:]))
"""

WITH = "import sys\nfrom vantoro_tools.cli import main\nsys.exit(main(sys.argv[1:]))\n"


def command(src: str, out: str, to: str, script: str) -> tuple[float, float]:
    """Wall seconds and CPU seconds (user and system) of the command."""
    shutil.rmtree(out, ignore_errors=True)
    t0 = time.perf_counter()
    argv = [sys.executable, "-c", script, "convert", src, "--to", to, "--out", out, "-q", "-j", "1"]
    proc = subprocess.Popen(argv)
    _, status, usage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {argv}")
    return time.perf_counter() - t0, usage.ru_utime + usage.ru_stime


def whole(tmp: str, rounds: int) -> None:
    src = os.path.join(tmp, "in")
    os.makedirs(src)
    orbitrap_dense(40_000).write(os.path.join(src, "d00_orbitrap.raw"))
    for k in range(12):
        orbitrap_run(seed=k).write(os.path.join(src, f"r{k:02d}_orbitrap.raw"))
    size = sum(os.path.getsize(os.path.join(src, n)) for n in os.listdir(src))
    print(f"== 13 files, {size / 1e6:.0f} MB, --jobs 1; wall time of the command, {rounds} rounds")
    out = os.path.join(tmp, "out")
    for to in FORMATS:
        command(src, out, to, WITH)  # the page cache and the imports warmed
        times: dict[str, list[float]] = {"without": [], "with": []}
        cpu: dict[str, list[float]] = {"without": [], "with": []}
        for _ in range(rounds):
            for name, script in (("without", WITHOUT), ("with", WITH)):
                wall, used = command(src, out, to, script)
                times[name].append(wall)
                cpu[name].append(used)
        w, o = times["with"], times["without"]
        print(
            f"  {to:8} without the ledger: min {min(o):6.3f} s med {statistics.median(o):6.3f} s"
            f"   with: min {min(w):6.3f} s med {statistics.median(w):6.3f} s"
            f"   ratio {min(w) / min(o):5.3f} (medians {statistics.median(w) / statistics.median(o):5.3f})"
            f"   CPU min {min(cpu['without']):6.3f} s / {min(cpu['with']):6.3f} s",
            flush=True,
        )
    print(f"  (two CPU-bound processes got {parallelism_now():.2f}x of one at the end)")


def many(tmp: str, batches: int, rounds: int) -> None:
    from vantoro_tools.run.ledger import LEDGER_DIR, Ledger, latest
    from vantoro_tools.run.outcome import Outcome

    print(f"== latest() over {batches} batches of 13 records, {rounds} rounds")
    for closed in (True, False):
        out = os.path.join(tmp, f"ledger-{closed}")
        os.makedirs(out)
        for _ in range(batches):
            ledger = Ledger(out, {"format": "mzml"})
            for k in range(13):
                ledger.record(Outcome(f"/in/f{k:02d}.raw", (f"{out}/f{k:02d}.mzML",)), f"/in/f{k:02d}.raw")
            if closed:
                ledger.close()
        files = len(os.listdir(os.path.join(out, LEDGER_DIR)))
        walls = []
        for _ in range(rounds):
            t0 = time.perf_counter()
            found = latest(out)
            walls.append(time.perf_counter() - t0)
        assert len(found) == 13
        print(
            f"  {'merged' if closed else 'one file per record':20} {files:6d} files: "
            f"min {min(walls) * 1000:8.1f} ms med {statistics.median(walls) * 1000:8.1f} ms",
            flush=True,
        )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--batches", type=int, default=200)
    ap.add_argument("--only", default="whole,many")
    args = ap.parse_args()
    only = set(args.only.split(","))
    tmp = tempfile.mkdtemp(prefix="vantoro-bench-ledger-")
    try:
        if "whole" in only:
            whole(tmp, args.rounds)
        if "many" in only:
            many(tmp, args.batches, args.rounds)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
