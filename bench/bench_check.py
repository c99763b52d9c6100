"""What the layout check costs: a one-file conversion and `info` per file,
each with the check and with the check replaced by one that judges
nothing, alternately in one run.

The check's whole-file part asks the file system for the size; its per-scan
part tests each decoded peak list's m/z for finiteness (one vectorised
test). Prints the medians and minima of --repeat rounds and the overhead
as a share of the conversion and in milliseconds per `info` file.

    python3 bench/bench_check.py [--peaks 20000] [--repeat 7] [--to parquet]
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from contextlib import contextmanager

import vantoro_tools.analyse.info as info_module
from vantoro_tools import check as check_module
from vantoro_tools import convert_file, file_info

from builders import dense_orbitrap, orbitrap_varied
from common import bytes_read  # noqa: F401  (puts tests/ on the path)


class NoCheck(check_module.LayoutCheck):
    """Judges nothing: the baseline without the check."""

    def __init__(self, path, reader, *, size=None):
        self.path, self.layout, self._reason = os.fspath(path), "orbitrap", None

    def scan(self, number, rt, mz):
        return None


@contextmanager
def without_check():
    saved = check_module.LayoutCheck
    check_module.LayoutCheck = NoCheck
    info_module.LayoutCheck = NoCheck
    try:
        yield
    finally:
        check_module.LayoutCheck = saved
        info_module.LayoutCheck = saved


class TimedCheck(check_module.LayoutCheck):
    """The real check, with the time spent inside it added up."""

    spent = 0.0

    def __init__(self, path, reader, *, size=None):
        t0 = time.perf_counter()
        super().__init__(path, reader, size=size)
        TimedCheck.spent += time.perf_counter() - t0

    def scan(self, number, rt, mz):
        t0 = time.perf_counter()
        try:
            return super().scan(number, rt, mz)
        finally:
            TimedCheck.spent += time.perf_counter() - t0


@contextmanager
def timed_check():
    saved = check_module.LayoutCheck
    check_module.LayoutCheck = info_module.LayoutCheck = TimedCheck
    TimedCheck.spent = 0.0
    try:
        yield
    finally:
        check_module.LayoutCheck = info_module.LayoutCheck = saved


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--peaks", type=int, default=20000, help="peaks per scan of the dense file")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--to", default="parquet")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        dense = dense_orbitrap(args.peaks).write(os.path.join(tmp, "dense_orbitrap.raw"))
        varied = orbitrap_varied().write(os.path.join(tmp, "varied_orbitrap.raw"))
        convert_file(dense, args.to, os.path.join(tmp, "warm"))  # imports, page cache
        rounds: dict[str, list[float]] = {k: [] for k in ("convert", "convert_nocheck", "info", "info_nocheck")}
        for k in range(args.repeat):
            for checked in (True, False):
                suffix = "" if checked else "_nocheck"
                out = os.path.join(tmp, f"out{k}{suffix}")
                if checked:
                    rounds["convert"].append(timed(lambda: convert_file(dense, args.to, out)))
                    rounds["info"].append(timed(lambda: file_info(varied, deep=True)))
                else:
                    with without_check():
                        rounds["convert_nocheck"].append(timed(lambda: convert_file(dense, args.to, out)))
                        rounds["info_nocheck"].append(timed(lambda: file_info(varied, deep=True)))
        with timed_check():
            total = timed(lambda: convert_file(dense, args.to, os.path.join(tmp, "timed")))
            in_convert = TimedCheck.spent
        with timed_check():
            info_total = timed(lambda: file_info(varied, deep=True))
            in_info = TimedCheck.spent
    med = {k: statistics.median(v) for k, v in rounds.items()}
    low = {k: min(v) for k, v in rounds.items()}
    print(f"dense file: 145 scans x {args.peaks} peaks, to {args.to}; {args.repeat} rounds, alternating")
    for k in rounds:
        print(f"  {k:16s} median {med[k] * 1e3:9.2f} ms   min {low[k] * 1e3:9.2f} ms")
    print(
        f"check's share of a conversion: median {100 * (med['convert'] / med['convert_nocheck'] - 1):+.2f} %,"
        f" min {100 * (low['convert'] / low['convert_nocheck'] - 1):+.2f} %"
    )
    print(
        f"check's cost in info per file: median {(med['info'] - med['info_nocheck']) * 1e3:+.3f} ms,"
        f" min {(low['info'] - low['info_nocheck']) * 1e3:+.3f} ms"
    )
    print(
        f"time inside the check: {in_convert * 1e3:.2f} ms of a {total * 1e3:.1f} ms conversion"
        f" ({100 * in_convert / total:.2f} %); {in_info * 1e3:.3f} ms of a {info_total * 1e3:.2f} ms info"
    )


if __name__ == "__main__":
    main()
