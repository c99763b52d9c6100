"""Whole `vantoro convert` commands of this tree against those of an earlier
commit, alternating in one run, and whether both write the same bytes.

    .venv-dev/bin/python bench/bench_against.py --base REV [--rounds 5]
        [--formats mzml,parquet,mgf] [--inputs run,dense] [--run-files 40]
        [--jobs N] [--tmp DIR] [--outputs-only]

"current" is the `vantoro` script beside the interpreter running this
(`python -m vantoro_tools` if there is none): run it with the environment
that holds this tree's build. "base" is REV, checked out with `git worktree
add --detach` into a temporary directory and installed into a venv of its own
(`--system-site-packages`, `pip install --no-build-isolation`); both are
removed at the end.

Inputs, from the test builders, in folders named with the orbitrap marker:
  run    --run-files files orbitrap_run(seed): cycles of one MS1 scan of
         2,000-20,000 peaks and nine MS2 scans of 51-500, 145 scans each;
  dense  one file orbitrap_dense(): 145 scans of 199,999 peaks.

For each input and format, `vantoro convert DIR --to FMT --out OUT -q` of
base and of current alternate (base, current, base, current, ...), each into
a fresh output folder: one warm-up each, then --rounds counted runs each.
Printed per cell:
  base, current  wall seconds, min/median, to the end of the command's own
                 process (as a shell sees it);
  ratio          current/base of each round's pair: min/median of the ratios;
  cpu            CPU seconds (user+sys), median, of the command's whole
                 process tree: this process is made the subreaper of its
                 commands, so the pool's server and workers, which outlive
                 the command briefly, are reaped here and counted
                 (RUSAGE_CHILDREN before and after);
  own/file       CPU milliseconds of the command's own process alone (all
                 its threads, none of its children) per input file, median:
                 read from /proc/PID/stat while the ended command is still a
                 zombie. With --jobs 1 that is all the conversions' work;
                 otherwise the command's bookkeeping beside its pool;
  identical      after the first counted round, every output of one side
                 against the other's, byte for byte: "identical" or the
                 first differing file and offset.

Byte identity ignores provenance and nothing else:
  - the ledger folder `.vantoro-ledger/` and the stamp files
    `.NAME.vantoro.json` (what an output was written from, and when);
  - in mzML, the text of `<software id="vantoro" version="...">`, and what
    depends on it: the numbers of the index (each `<offset>` and
    `<indexListOffset>` past that text, compared less its length) and the
    `<fileChecksum>` (a SHA-1 of the bytes before it). vantoro's mzML names
    no time of writing, so nothing else is normalized. A difference in an
    mzML is reported at its offset in the current side's file with the
    version text taken out.
A file on one side only is a difference.

--outputs-only runs each command once, untimed, and checks identity alone.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
TICK = os.sysconf("SC_CLK_TCK")
CHUNK = 1 << 20

VERSION = re.compile(rb'<software id="vantoro" version="([^"]*)"')
INDEX_NUMBER = re.compile(rb'(<offset idRef="[^"]*">|<indexListOffset>)(\d+)<')
CHECKSUM = re.compile(rb"<fileChecksum>[0-9a-f]*</fileChecksum>")
STAMP = re.compile(r"\..+\.vantoro\.json")


@dataclass
class Run:
    wall: float  # seconds, to the end of the command's own process
    own: float  # CPU seconds of the command's own process
    tree: float  # CPU seconds of the command and every process under it


def git(*args: str) -> str:
    return subprocess.run(["git", "-C", REPO, *args], check=True, capture_output=True, text=True).stdout.strip()


def build_base(rev: str, tmp: str) -> str:
    """Checks REV out and installs it; its `vantoro` script."""
    tree, venv = os.path.join(tmp, "base-tree"), os.path.join(tmp, "base-venv")  # removed by the caller
    git("worktree", "add", "--detach", tree, rev)
    for cmd in (
        [sys.executable, "-m", "venv", "--system-site-packages", venv],
        [os.path.join(venv, "bin", "python"), "-m", "pip", "install", "-q", "--no-build-isolation", tree],
    ):
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode:
            raise SystemExit(f"building {rev} failed: {' '.join(cmd)}\n{done.stderr[-4000:]}")
    return os.path.join(venv, "bin", "vantoro")


def current_command() -> list[str]:
    script = os.path.join(os.path.dirname(sys.executable), "vantoro")
    return [script] if os.access(script, os.X_OK) else [sys.executable, "-m", "vantoro_tools"]


def package_of(python: str) -> str:
    code = "import vantoro_tools; print(vantoro_tools.__file__)"
    return subprocess.run([python, "-c", code], check=True, capture_output=True, text=True).stdout.strip()


def make_inputs(tmp: str, which: list[str], run_files: int) -> dict[str, tuple[str, int]]:
    """Input folder and file count of each set asked for."""
    sys.path.insert(0, os.path.join(REPO, "tests"))
    from builders import orbitrap_dense, orbitrap_run

    sets = {}
    if "run" in which:
        folder = os.path.join(tmp, "run_orbitrap")
        os.makedirs(folder)
        for k in range(run_files):
            orbitrap_run(seed=k).write(os.path.join(folder, f"run{k:03d}_orbitrap.raw"))
        sets["run"] = (folder, run_files)
    if "dense" in which:
        folder = os.path.join(tmp, "dense_orbitrap")
        os.makedirs(folder)
        orbitrap_dense().write(os.path.join(folder, "dense_orbitrap.raw"))
        sets["dense"] = (folder, 1)
    return sets


def subreaper() -> None:
    """Makes this process the parent of its commands' orphans, so that they
    are reaped, and their CPU time counted, here."""
    PR_SET_CHILD_SUBREAPER = 36
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise SystemExit("cannot become a subreaper: the CPU time of the commands' orphans would be lost")


def reap_orphans(limit: float = 60.0) -> None:
    deadline = time.monotonic() + limit
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return  # none left
        if pid == 0:
            if time.monotonic() > deadline:
                print(f"warning: a command's processes still run {limit:.0f} s after it ended", file=sys.stderr)
                return
            time.sleep(0.005)


def cpu_children() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(cmd: list[str], out: str) -> Run:
    """Runs `cmd` into a fresh `out`; stops the bench if it fails."""
    shutil.rmtree(out, ignore_errors=True)
    before = cpu_children()
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err)
        os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)  # ended, not yet reaped
        wall = time.perf_counter() - t0
        with open(f"/proc/{proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()  # from the state on: the name may hold anything
        own = (int(fields[11]) + int(fields[12])) / TICK  # utime, stime
        _, status, _ = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        reap_orphans()
        tree = cpu_children() - before
        if proc.returncode:
            err.seek(0)
            raise SystemExit(f"failed ({proc.returncode}): {' '.join(cmd)}\n{err.read().decode(errors='replace')}")
    return Run(wall, own, tree)


def outputs(root: str) -> set[str]:
    found = set()
    for folder, dirs, names in os.walk(root):
        dirs[:] = [d for d in dirs if d != ".vantoro-ledger"]
        found.update(os.path.relpath(os.path.join(folder, n), root) for n in names if not STAMP.fullmatch(n))
    return found


def normalized_mzml(data: bytes) -> tuple[bytes, int, int]:
    """The mzML without its provenance, where the version text was, and its length."""
    version = VERSION.search(data)
    if version is None:
        return data, len(data), 0
    at, cut = version.start(1), len(version.group(1))
    data = data[:at] + data[version.end(1) :]
    index = data.rfind(b"<indexList ")
    if index < 0:
        return data, at, cut

    def shifted(m: re.Match[bytes]) -> bytes:
        n = int(m.group(2))
        return m.group(1) + str(n - cut if n > at else n).encode() + b"<"

    tail = CHECKSUM.sub(b"<fileChecksum/>", INDEX_NUMBER.sub(shifted, data[index:]))
    return data[:index] + tail, at, cut


def mismatch(x: bytes, y: bytes) -> int | None:
    """Index of the first byte where `x` and `y` differ, or None."""
    if x == y:
        return None
    at = 0
    while x[at : at + CHUNK] == y[at : at + CHUNK]:
        at += CHUNK
    pairs = zip(x[at : at + CHUNK], y[at : at + CHUNK])
    return next((at + i for i, (p, q) in enumerate(pairs) if p != q), min(len(x), len(y)))


def first_difference(a: str, b: str) -> int | None:
    """Offset in `b` of the first byte where the files differ, or None."""
    with open(a, "rb") as fa, open(b, "rb") as fb:
        x, y = fa.read(), fb.read()
    if not a.endswith(".mzML"):
        return mismatch(x, y)
    x, _, _ = normalized_mzml(x)
    y, at, cut = normalized_mzml(y)
    k = mismatch(x, y)
    return k + cut if k is not None and k >= at else k


def compare(base: str, current: str) -> str:
    ours, theirs = outputs(current), outputs(base)
    if not ours and not theirs:
        return "no outputs"
    for name in sorted(ours ^ theirs):
        return f"only in {'current' if name in ours else 'base'}: {name}"
    for name in sorted(ours):
        offset = first_difference(os.path.join(base, name), os.path.join(current, name))
        if offset is not None:
            return f"{name} differs at offset {offset:,}"
    return f"identical ({len(ours)} file{'s' if len(ours) != 1 else ''})"


def cell(label: str, folder: str, count: int, fmt: str, sides: dict[str, list[str]], args, tmp: str) -> list[str]:
    """One row of the table: `folder` converted to `fmt` by each side."""
    jobs = ["--jobs", str(args.jobs)] if args.jobs else []
    outs = {side: os.path.join(tmp, f"out-{side}") for side in sides}

    def once(side: str) -> Run:
        return run([*sides[side], "convert", folder, "--to", fmt, "--out", outs[side], "-q", *jobs], outs[side])

    if args.outputs_only:
        for side in sides:
            once(side)
        return [label, fmt, compare(outs["base"], outs["current"])]
    for side in sides:  # warm-up
        once(side)
    runs: dict[str, list[Run]] = {side: [] for side in sides}
    same = ""
    for k in range(args.rounds):
        for side in sides:
            runs[side].append(once(side))
        if k == 0:
            same = compare(outs["base"], outs["current"])
    for side in sides:
        shutil.rmtree(outs[side], ignore_errors=True)
    walls = {side: [r.wall for r in rs] for side, rs in runs.items()}
    ratios = [c / b for b, c in zip(walls["base"], walls["current"])]
    med = statistics.median
    return [
        label,
        fmt,
        *(f"{min(walls[side]):.3f}/{med(walls[side]):.3f}" for side in sides),
        f"{min(ratios):.3f}/{med(ratios):.3f}",
        "/".join(f"{med(r.tree for r in runs[side]):.2f}" for side in sides),
        "/".join(f"{med(r.own for r in runs[side]) / count * 1e3:.1f}" for side in sides),
        same,
    ]


def table(header: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, *rows]:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--base", required=True, help="the earlier commit (any git revision)")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--formats", default="mzml,parquet,mgf")
    ap.add_argument("--inputs", default="run,dense")
    ap.add_argument("--run-files", type=int, default=40)
    ap.add_argument("--jobs", type=int, help="passed to both commands (default: the command's own)")
    ap.add_argument("--tmp", help="where the base's build, the inputs and the outputs go")
    ap.add_argument("--outputs-only", action="store_true", help="one untimed run each; byte identity only")
    args = ap.parse_args()
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")
    try:
        rev = git("rev-parse", "--verify", "--quiet", f"{args.base}^{{commit}}")
    except subprocess.CalledProcessError:
        ap.error(f"--base {args.base}: no such commit")
    tmp = tempfile.mkdtemp(prefix="vantoro_against_", dir=args.tmp)
    tree = os.path.join(tmp, "base-tree")
    try:
        print(f"base     {git('log', '-1', '--format=%h %s', rev)[:100]}")
        print(f"current  {git('log', '-1', '--format=%h %s', 'HEAD')[:100]}", end="")
        print(" (+ uncommitted changes)" if git("status", "--porcelain", "--untracked-files=no") else "")
        t0 = time.perf_counter()
        base_script = build_base(rev, tmp)
        sides = {"base": [base_script], "current": current_command()}
        print(f"base     {sides['base'][0]}: {package_of(os.path.join(os.path.dirname(base_script), 'python'))}")
        print(f"current  {' '.join(sides['current'])}: {package_of(sys.executable)}")
        print(f"(base built in {time.perf_counter() - t0:.0f} s)", flush=True)
        inputs = make_inputs(tmp, args.inputs.split(","), args.run_files)
        subreaper()
        rows = []
        for label, (folder, count) in inputs.items():
            for fmt in args.formats.split(","):
                name = f"{label} ({count})"
                rows.append(cell(name, folder, count, fmt, sides, args, tmp))
                print(f"  done: {name} {fmt}", file=sys.stderr, flush=True)
        print()
        if args.outputs_only:
            table(["input", "format", "identical"], rows)
        else:
            header = ["input", "format", "base min/med s", "current min/med s", "ratio min/med"]
            table([*header, "cpu s base/current", "own cpu ms/file base/current", "identical"], rows)
            print(
                f"({args.rounds} rounds after one warm-up each, alternating; ratio: current/base of each round's pair;"
                " cpu: median CPU seconds of the process tree; own cpu: median CPU of the command's own process"
                f" per input file; --jobs {args.jobs or 'default'})"
            )
        print(f"cores: {os.cpu_count()}, load average {os.getloadavg()[0]:.2f}")
    finally:
        if os.path.isdir(tree):
            subprocess.run(["git", "-C", REPO, "worktree", "remove", "--force", tree], check=False)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
