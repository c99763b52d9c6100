"""The `vantoro chrom` and `vantoro report` commands.

Exit status as for the other commands: 0 when every input was handled,
1 when an input could not be read (or, for `report`, failed the layout
check; the report is still written for the runs that were read), 2 for a
usage error or a missing optional package.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

from .atomic import OutputError
from .reading import describe_failure


def _fail(path: str, reason: str) -> None:
    print(f"vantoro: {path}: {reason}", file=sys.stderr)


def _targets(text: str) -> list[float]:
    try:
        values = [float(t) for t in text.split(",") if t.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of m/z values: {text!r}") from None
    if not values or not all(0 < v < float("inf") for v in values):
        raise argparse.ArgumentTypeError(f"m/z values must be positive numbers: {text!r}")
    return values


def _tolerance(text: str) -> Any:
    from .chrom import Tolerance

    try:
        return Tolerance.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _level(text: str) -> int | None:
    if text == "all":
        return None
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, or 'all'")
    return value


def _chrom(args: argparse.Namespace) -> int:
    from .chrom import chromatograms
    from .chrom import write_chromatograms

    from .check import LayoutCheck
    from .reading import open_raw

    targets = args.xic or []
    try:
        reader = open_raw(args.file)
        verdict = LayoutCheck(args.file, reader).verdict
        if not verdict.ok:  # the reader would answer zeros: no chromatogram to give
            _fail(args.file, str(verdict))
            return 1
        chroms = chromatograms(reader, ms_level=args.ms_level, targets=targets, tolerance=args.tol)
    except OSError as exc:
        _fail(args.file, describe_failure(args.file, exc))
        return 1
    except ValueError as exc:  # NotRawFileError included
        _fail(args.file, str(exc))
        return 1
    kinds = [k for k in ("tic", "bpc") if getattr(args, k)] + (["xic"] if targets else [])
    try:
        write_chromatograms(chroms, kinds or ["tic"], args.output, title=os.path.basename(args.file))
    except OutputError as exc:
        _fail(args.output, str(exc))
        return 1
    return 0


#: below this much input in all, starting worker processes costs more than it saves
POOL_MIN_BYTES = 64 << 20


def _default_jobs(paths: list[str], cores: int) -> int:
    total = 0
    for p in paths:
        try:
            st = os.stat(p)
        except OSError:
            continue  # reported when read
        blocks = getattr(st, "st_blocks", None)  # a sparse file's holes are never read
        total += st.st_size if blocks is None else min(st.st_size, blocks * 512)
    return cores if total >= POOL_MIN_BYTES else 1


def _report(args: argparse.Namespace) -> int:
    from .batch import collect_inputs, default_jobs, stop_on_sigterm
    from .qc import _numpy, gather, write_report

    _numpy()  # a missing package is named once, not as every file's failure
    found, problems = collect_inputs(args.inputs)
    paths = list(dict.fromkeys(found))  # a file given twice is read and shown once
    not_read = [(o.source, o.error or o.status) for o in problems]
    for source, why in not_read:
        _fail(source, why)
    if os.path.exists(args.output) and any(os.path.exists(p) and os.path.samefile(p, args.output)
                                           for p in paths):
        _fail(args.output, "is one of the inputs; a report never replaces a run")
        return 1
    start = time.perf_counter()
    with stop_on_sigterm():
        got = gather(paths, jobs=args.jobs or _default_jobs(paths, default_jobs()),
                     progress=not args.quiet and sys.stderr.isatty(), on_failure=_fail)
    bad = [r for r in got.runs if not r.ok]
    for r in bad:
        _fail(r.path, f"layout check failed: {r.verdict}")
    not_read += got.failed
    if not got.runs:
        print("vantoro: no run could be read; no report written", file=sys.stderr)
        return 1
    try:
        size = write_report(got.runs, args.output, not_read)
    except OutputError as exc:
        _fail(args.output, str(exc))
        return 1
    if not args.quiet:
        print(f"vantoro: report of {len(got.runs)} run(s) in {args.output} ({size / 1024:.0f} KiB, "
              f"{time.perf_counter() - start:.1f} s); {len(not_read)} not read", file=sys.stderr)
    return 1 if not_read or bad else 0


def add_parsers(sub: Any) -> None:
    """Registers `chrom` and `report` on the `vantoro` command's subparsers."""
    from .cli import _positive

    chrom = sub.add_parser(
        "chrom", help="TIC, base-peak and extracted-ion chromatograms",
        description="Chromatograms of one RAW file, one point per scan of the MS level: printed as CSV, "
                    "or written to a .csv file or drawn to an image (.png, .svg, .pdf).")
    chrom.add_argument("file", metavar="FILE")
    chrom.add_argument("--tic", action="store_true", help="total ion current (the default)")
    chrom.add_argument("--bpc", action="store_true", help="base-peak intensity and its m/z")
    chrom.add_argument("--xic", type=_targets, metavar="MZ[,MZ...]", help="extracted ion chromatograms")
    chrom.add_argument("--tol", type=_tolerance, default="10ppm", metavar="TOL",
                       help="XIC tolerance, e.g. 10ppm or 0.02Da (default 10ppm)")
    chrom.add_argument("--ms-level", type=_level, default=1, metavar="N",
                       help="scans of this MS level, or 'all' (default 1)")
    chrom.add_argument("-o", "--output", metavar="OUT", help="out.csv or an image (default: CSV on stdout)")
    chrom.set_defaults(run=_chrom)

    rep = sub.add_parser(
        "report", help="a QC report of one or many runs, as one self-contained HTML file",
        description="Writes one HTML file that opens in any browser without network access: per run "
                    "the chromatograms, scans per MS level, top N reached, cycle time, injection "
                    "times, precursor charges and m/z, varying trailer fields and the file's facts; "
                    "for several runs a comparison first.")
    rep.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    rep.add_argument("-o", "--output", required=True, metavar="REPORT.html")
    rep.add_argument("--jobs", "-j", type=_positive, metavar="N",
                     help="files read at once (default: the cores, or 1 for less than 64 MiB of input)")
    rep.add_argument("--quiet", "-q", action="store_true", help="no progress bar or summary")
    rep.set_defaults(run=_report)
