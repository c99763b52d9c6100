"""Digests of every output the `vantoro` command writes for a fixed set of
generated runs: convert (each format and mzML compression), chrom (CSV) and
report. Run it before and after a change to the companion and compare the
two JSON files: equal digests mean byte-identical outputs.

Provenance that differs between runs by design is masked before hashing:
mzML's checksum (it covers the masked fields too) and the report's
generation time.

    python3 tools/output_digests.py WORKDIR > digests.json
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import builders

MASKS = [
    (re.compile(rb"<fileChecksum>[0-9a-f]{40}</fileChecksum>"), b"<fileChecksum/>"),
    (re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d UTC"), b"<generated>"),
]


def runs(directory: str) -> list[str]:
    os.makedirs(directory)
    made = {
        "varied_orbitrap.raw": builders.orbitrap_varied(seed=3),
        "run_orbitrap.raw": builders.orbitrap_run(seed=5),
        "dense_orbitrap.raw": builders.orbitrap_dense(peaks=2000, seed=2),
        "small.RAW": builders.small_v57(),
    }
    for name, image in made.items():
        image.write(os.path.join(directory, name))
    builders.qc_batch(os.path.join(directory, "qc"), count=4, odd=(2,))
    return sorted(made)


def vantoro(*args: str) -> None:
    subprocess.run(
        [sys.executable, "-m", "vantoro_tools", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )


def main() -> None:
    work = os.path.abspath(sys.argv[1])
    shutil.rmtree(work, ignore_errors=True)
    inputs = os.path.join(work, "in")
    names = runs(inputs)
    out = os.path.join(work, "out")
    for to, compression in [
        ("mzml", "zlib"),
        ("mzml", "numpress"),
        ("mzml", "none"),
        ("mgf", None),
        ("parquet", None),
        ("mzpeak", None),
    ]:
        extra = ["--compression", compression] if compression else []
        vantoro(
            "convert",
            inputs,
            "--to",
            to,
            "--out",
            os.path.join(out, f"{to}-{compression}"),
            "--jobs",
            "1",
            "--quiet",
            *extra,
        )
    os.makedirs(os.path.join(out, "chrom"))
    for name in names:
        vantoro(
            "chrom",
            os.path.join(inputs, name),
            "--tic",
            "--bpc",
            "--xic",
            "445.12,519.14",
            "-o",
            os.path.join(out, "chrom", name + ".csv"),
        )
    os.makedirs(os.path.join(out, "report"))
    vantoro("report", os.path.join(inputs, "qc"), "-o", os.path.join(out, "report", "qc.html"), "--quiet")
    vantoro("report", os.path.join(inputs, names[0]), "-o", os.path.join(out, "report", "one.html"), "--quiet")
    digests = {}
    for root, dirs, files in os.walk(out):
        dirs[:] = [d for d in dirs if not d.startswith(".")]  # the batch ledger
        for f in files:
            if f.startswith("."):
                continue  # stamps and other bookkeeping
            path = os.path.join(root, f)
            with open(path, "rb") as fh:
                data = fh.read()
            for pattern, mask in MASKS:
                data = pattern.sub(mask, data)
            digests[os.path.relpath(path, out)] = hashlib.sha256(data).hexdigest()
    json.dump(dict(sorted(digests.items())), sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
