"""mzPeak against vantoro's other outputs, measured in one run.

Builds two inputs with the test builders:
  - dense: one file of 145 MS2 scans of 199,999 peaks each (350 MB),
  - run: --run-files files of 145 scans each, cycles of one MS1 scan of
    2,000-20,000 peaks and nine MS2 scans of 51-500 peaks,
and prints for each:
  - the conversion to Parquet and to mzPeak (zstd), alternately (which
    goes first swapping each round), each through its registry writer in
    this process after a warm-up: min and median of --rounds (of
    --run-rounds for the run-like files, whose rounds are short and
    noisier), mzPeak's time over Parquet's, and the CPU each took,
  - the bytes of the mzPeak archive, the Parquet tables, the zlib mzML and
    the RAW file(s), and the archive's size over the mzML's and the RAW's,
  - the same two conversions as whole commands (`vantoro convert FOLDER
    --to FMT --out OUT -q`: start-up, pool, ledger and stamps included),
    alternately, min and median of --rounds, and their ratio.
Then the time for the independent reader `mzpeak` (shared/mzpeak/reader) to
return the middle spectrum (index 72) of the dense archive: the archive
opened, its index read, the peaks member found through it and the
spectrum's arrays decoded, median of --reads; from the local file and from
moto's S3 server on 127.0.0.1 (through s3fs) when moto and s3fs are
installed. The reader is given the peaks member either as the zipfile
module opens it (as the reader's own MzPeakFile does; before Python 3.12,
seeking backwards in a member reads it again from its start) or read in
place (the member is stored uncompressed: vantoro_tools' member_range).
The machine is shared: compare the ratios of one run.

    python3 bench/bench_mzpeak.py [--rounds 3] [--run-rounds 15] [--run-files 8] [--reads 5]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

from vantoro_tools.source.mzpeak import member_range
from vantoro_tools.source.scans import open_source
from vantoro_tools.write.formats import WriteOptions
from vantoro_tools.write.registry import FORMATS

import common  # noqa: F401  (puts tests/ on the path for the builders)
from builders import orbitrap_dense, orbitrap_run

MB = 1e6
MIDDLE = 72


def convert(raws: list[str], to: str, out: str) -> float:
    """Seconds to write every file of `raws` as `to` into `out` (emptied first)."""
    shutil.rmtree(out, ignore_errors=True)
    fmt = FORMATS[to]
    start = time.perf_counter()
    for raw in raws:
        dests = fmt.paths(raw, out)
        for dest in dests:
            os.makedirs(os.path.dirname(dest), exist_ok=True)
        fmt.write(open_source(raw), dests, WriteOptions())
    return time.perf_counter() - start


def size(path: str) -> int:
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, names in os.walk(path) for f in names)


def command(folder: str, to: str, out: str) -> float:
    """Seconds for `vantoro convert folder --to to --out out -q` (out emptied first)."""
    shutil.rmtree(out, ignore_errors=True)
    start = time.perf_counter()
    cmd = [sys.executable, "-m", "vantoro_tools", "convert", folder, "--to", to, "--out", out, "-q"]
    subprocess.run(cmd, check=True)
    return time.perf_counter() - start


def measure_command(label: str, folder: str, tmp: str, rounds: int) -> None:
    outs = {to: os.path.join(tmp, f"{label}-command-{to}") for to in ("parquet", "mzpeak")}
    times: dict[str, list[float]] = {to: [] for to in outs}
    for to in outs:
        command(folder, to, outs[to])  # warm-up
    for _ in range(rounds):
        for to in outs:
            times[to].append(command(folder, to, outs[to]))
    for to in times:
        print(f"  command, to {to:8s} min {min(times[to]):7.3f} s  median {statistics.median(times[to]):7.3f} s")
    print(
        f"  command: mzPeak time / Parquet time: {min(times['mzpeak']) / min(times['parquet']):.2f}x (min), "
        f"{statistics.median(times['mzpeak']) / statistics.median(times['parquet']):.2f}x (median)"
    )


def measure(label: str, raws: list[str], tmp: str, rounds: int) -> None:
    outs = {to: os.path.join(tmp, f"{label}-{to}") for to in ("parquet", "mzpeak", "mzml")}
    convert(raws, "parquet", outs["parquet"])  # warm-up: imports, page cache
    convert(raws, "mzpeak", outs["mzpeak"])
    times: dict[str, list[float]] = {"parquet": [], "mzpeak": []}
    cpu: dict[str, list[float]] = {"parquet": [], "mzpeak": []}
    for k in range(rounds):
        for to in list(times)[:: 1 if k % 2 == 0 else -1]:
            start = time.process_time()
            times[to].append(convert(raws, to, outs[to]))
            cpu[to].append(time.process_time() - start)
    convert(raws, "mzml", outs["mzml"])
    sizes = {to: size(out) for to, out in outs.items()}
    sizes["raw"] = sum(os.path.getsize(r) for r in raws)
    peaks = min(times["parquet"]), min(times["mzpeak"])
    print(f"{label}: {len(raws)} file(s), RAW {sizes['raw'] / MB:.1f} MB")
    for to in times:
        print(
            f"  convert to {to:8s} min {min(times[to]):7.3f} s  median {statistics.median(times[to]):7.3f} s  "
            f"CPU median {statistics.median(cpu[to]):7.3f} s  ({rounds} rounds)"
        )
    print(
        f"  mzPeak time / Parquet time: {peaks[1] / peaks[0]:.2f}x (min), "
        f"{statistics.median(times['mzpeak']) / statistics.median(times['parquet']):.2f}x (median)"
    )
    for to in ("mzpeak", "parquet", "mzml"):
        print(f"  size {to:8s} {sizes[to] / MB:9.2f} MB")
    print(
        f"  mzPeak size / zlib mzML: {sizes['mzpeak'] / sizes['mzml']:.3f}; / Parquet: "
        f"{sizes['mzpeak'] / sizes['parquet']:.3f}; / RAW: {sizes['mzpeak'] / sizes['raw']:.3f}"
    )


def read_middle(open_archive, in_place: bool) -> float:
    """Seconds for the independent reader to return the middle spectrum of
    the archive `open_archive()` opens (a binary file object), given the
    peaks member read in place or through the zipfile module."""
    import pyarrow as pa
    from mzpeak.file_index import DataKind, EntityType, FileIndex
    from mzpeak.mz_reader import MzPeakArrayDataReader

    start = time.perf_counter()
    archive = zipfile.ZipFile(open_archive())
    index = FileIndex.from_json(json.load(archive.open(FileIndex.FILE_NAME)))
    name = next(e.name for e in index if e.entry_type() == (EntityType.Spectrum, DataKind.Peaks))
    if in_place:
        member = io.BufferedReader(member_range(open_archive(), archive.getinfo(name)), 1 << 20)
    else:
        member = archive.open(name)
    reader = MzPeakArrayDataReader(pa.PythonFile(member), namespace="spectrum")
    arrays = reader[MIDDLE]
    took = time.perf_counter() - start
    assert len(arrays["m/z array"]) == 199_999
    return took


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def s3_reads(path: str, reads: int, tmp: str) -> dict[str, list[float]] | None:
    """`read_middle` from moto's S3 server on 127.0.0.1, started and stopped here."""
    try:
        import moto  # noqa: F401
        import s3fs
    except ImportError:
        return None
    port = free_port()
    env = {
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_DEFAULT_REGION": "us-east-1",
        "AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}",
    }
    os.environ.update(env)
    with open(os.path.join(tmp, "moto.log"), "ab") as log:
        server = subprocess.Popen(
            [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)], stdout=log, stderr=log
        )
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                fs = s3fs.S3FileSystem(skip_instance_cache=True)
                fs.mkdir("bench")
                break
            except Exception:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        fs.put_file(path, "bench/dense.mzpeak")
        times: dict[str, list[float]] = {"in place": [], "zipfile": []}
        for mode, count in (("in place", reads), ("zipfile", min(2, reads))):
            for _ in range(count):
                fs = s3fs.S3FileSystem(skip_instance_cache=True)
                opened = lambda: fs.open("bench/dense.mzpeak", "rb", block_size=1 << 20)  # noqa: E731
                times[mode].append(read_middle(opened, mode == "in place"))
        return times
    finally:
        server.terminate()
        server.wait(30)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--run-rounds", type=int, default=15, help="rounds of the run-like files in this process")
    ap.add_argument("--run-files", type=int, default=8)
    ap.add_argument("--reads", type=int, default=5)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folders = {label: os.path.join(tmp, f"{label}-in") for label in ("dense", "run")}
        for folder in folders.values():
            os.mkdir(folder)
        dense = orbitrap_dense().write(os.path.join(folders["dense"], "dense_orbitrap.raw"))
        runs = [
            orbitrap_run(seed=k).write(os.path.join(folders["run"], f"run{k:03d}_orbitrap.raw"))
            for k in range(args.run_files)
        ]
        measure("dense", [dense], tmp, args.rounds)
        measure_command("dense", folders["dense"], tmp, args.rounds)
        measure("run", runs, tmp, args.run_rounds)
        measure_command("run", folders["run"], tmp, args.rounds)
        archive = os.path.join(tmp, "dense-mzpeak", "dense_orbitrap.mzpeak")
        try:
            local = {
                mode: [read_middle(lambda: open(archive, "rb"), mode == "in place") for _ in range(args.reads)]
                for mode in ("in place", "zipfile")
            }
        except ImportError:
            print("the independent reader `mzpeak` is not installed: no read timings")
            return 0
        remote = s3_reads(archive, args.reads, tmp)
        print(f"independent reader, spectrum {MIDDLE} of the dense archive (199,999 peaks):")
        for where, times in (("local file", local), ("S3 (moto, 127.0.0.1)", remote)):
            if times is None:
                print(f"  {where}: moto or s3fs not installed")
                continue
            for mode, t in times.items():
                print(
                    f"  {where:21s} member {mode:8s}: median {statistics.median(t) * 1e3:8.1f} ms  "
                    f"min {min(t) * 1e3:8.1f} ms  ({len(t)} reads)"
                )
    return 0


if __name__ == "__main__":
    sys.exit(main())
