"""Writes a folder of synthetic RAW-like runs to try every `vantoro` command on.

Run from the repository root after `python3 -m pip install ".[all]"`:

    python3 examples/sample_runs.py samples/

It writes, with the same builders the tests use:

- samples/runs/: eight runs of 145 scans (MS1, MS2 and MS3 scans with
  precursors, trailers, injection times), one of them odd (a slow cycle
  and a low TIC, as the QC report's comparison shows), each with a
  compound at m/z 445.12 eluting mid-run;
- samples/small.RAW: a version-57 run of the other layout;
- samples/sample01.raw: a run without a layout marker in its name, which
  every command refuses (try `--force`).

Then, for example:

    vantoro info samples/runs
    vantoro convert samples/runs --to mzml --out samples/mzml
    vantoro chrom samples/runs/run_03_orbitrap.raw --tic --xic 445.12 --tol 10ppm -o samples/xic.csv
    vantoro plot samples/runs/run_03_orbitrap.raw 3 -o samples/scan3.png
    vantoro report samples/runs -o samples/report.html
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from builders import orbitrap_varied, qc_batch, small_v57

#: The m/z of a compound every MS1 scan of the runs holds, eluting mid-run.
ANALYTE = 445.12


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print("usage: python3 examples/sample_runs.py NEW_FOLDER", file=sys.stderr)
        return 2
    root = argv[0]
    if os.path.exists(root) and os.listdir(root):
        print(f"sample_runs: {root} exists and is not empty; choose a new folder", file=sys.stderr)
        return 1
    os.makedirs(root, exist_ok=True)
    qc_batch(os.path.join(root, "runs"), count=8, odd=(5,), analyte=ANALYTE)
    small_v57().write(os.path.join(root, "small.RAW"))
    orbitrap_varied(seed=7).write(os.path.join(root, "sample01.raw"))
    for folder, _, names in sorted(os.walk(root)):
        for name in sorted(names):
            print(os.path.join(folder, name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
