"""What the outputs' checksums cost a conversion, measured in one run.

Builds the dense input with the test builders (one file of 145 scans of
199,999 peaks, 350 MB) and converts it with `convert_one` in this process,
as a batch's worker does, for each format: alternately as it is, and with
the output layer's `Digester` hashing nothing (the checksums are then
wrong: the timing alone is kept). The source file's SHA-1 is computed in
both. Printed per format: wall seconds min/median of each, the ratio
(hashing/not, of each round's pair: min/median), and the process's CPU
seconds (all threads), median. The machine is shared: compare the ratios
of one run, and see the load average printed.

    python3 bench/bench_digests.py [--rounds 5] [--formats mzml,parquet,mgf]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from builders import orbitrap_dense


def cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def once(raw: str, to: str, out: str) -> tuple[float, float]:
    from vantoro_tools.run.convert import convert_one

    c0, t0 = cpu(), time.perf_counter()
    outcome = convert_one(raw, to, out)
    wall, used = time.perf_counter() - t0, cpu() - c0
    assert outcome.status == "converted", outcome.error
    shutil.rmtree(out)
    return wall, used


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--formats", default="mzml,parquet,mgf")
    args = parser.parse_args()
    from vantoro_tools.write.output import digests

    hashing = (digests.Digester.update, digests.Digester.hexdigest)

    def switch(on: bool) -> None:
        if on:
            digests.Digester.update, digests.Digester.hexdigest = hashing  # type: ignore[method-assign]
        else:
            digests.Digester.update = lambda self, data: None  # type: ignore[method-assign]
            digests.Digester.hexdigest = lambda self, algorithm: "0" * 64  # type: ignore[method-assign]

    with tempfile.TemporaryDirectory(prefix="vantoro-bench-digests-") as tmp:
        raw = os.path.join(tmp, "dense_orbitrap.raw")
        orbitrap_dense().write(raw)
        print(f"{'format':8} {'hashing min/med s':18} {'none min/med s':16} {'ratio min/med':14} cpu s hashing/none")
        for to in args.formats.split(","):
            times: dict[bool, list[tuple[float, float]]] = {True: [], False: []}
            for n in range(args.rounds + 1):  # the first pair a warm-up
                for on in (False, True):
                    switch(on)
                    result = once(raw, to, os.path.join(tmp, "out"))
                    if n:
                        times[on].append(result)
            switch(True)
            walls = {on: [w for w, _ in t] for on, t in times.items()}
            ratios = [a / b for a, b in zip(walls[True], walls[False])]
            cpus = {on: statistics.median(c for _, c in t) for on, t in times.items()}
            print(
                f"{to:8} {min(walls[True]):.3f}/{statistics.median(walls[True]):.3f}{'':6} "
                f"{min(walls[False]):.3f}/{statistics.median(walls[False]):.3f}{'':4} "
                f"{min(ratios):.3f}/{statistics.median(ratios):.3f}{'':2} {cpus[True]:.2f}/{cpus[False]:.2f}"
            )
    print(f"cores: {os.cpu_count()}, load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
