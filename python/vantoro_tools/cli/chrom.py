"""`vantoro chrom`: TIC, base-peak and extracted-ion chromatograms of one file."""

from __future__ import annotations

import argparse
import os
from typing import Any

from ..analyse.chrom import Tolerance, chromatograms
from ..report.chrom import check_name, write_chromatograms
from ..run.outcome import WRITTEN, Outcome, Tally
from ..run.policy import READS, attempt
from .common import add_force, add_overwrite, positive


def targets(text: str) -> list[float]:
    try:
        values = [float(t) for t in text.split(",") if t.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of m/z values: {text!r}") from None
    if not values or not all(0 < v < float("inf") for v in values):
        raise argparse.ArgumentTypeError(f"m/z values must be positive numbers: {text!r}")
    return values


def tolerance(text: str) -> Tolerance:
    try:
        return Tolerance.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def level(text: str) -> int | None:
    if text == "all":
        return None
    try:
        return positive(text)
    except argparse.ArgumentTypeError as exc:
        raise argparse.ArgumentTypeError(f"{exc}, or 'all'") from None


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "chrom",
        help="TIC, base-peak and extracted-ion chromatograms",
        description="Chromatograms of one RAW file, one point per scan of the MS level: printed as CSV, "
        "or written to a .csv file or drawn to an image (.png, .svg, .pdf).",
    )
    p.add_argument("file", metavar="FILE")
    p.add_argument("--tic", action="store_true", help="total ion current (the default)")
    p.add_argument("--bpc", action="store_true", help="base-peak intensity and its m/z")
    p.add_argument("--xic", type=targets, metavar="MZ[,MZ...]", help="extracted ion chromatograms")
    p.add_argument(
        "--tol",
        type=tolerance,
        default="10ppm",
        metavar="TOL",
        help="XIC tolerance, e.g. 10ppm or 0.02Da (default 10ppm)",
    )
    p.add_argument(
        "--ms-level", type=level, default=1, metavar="N", help="scans of this MS level, or 'all' (default 1)"
    )
    p.add_argument("-o", "--output", metavar="OUT", help="out.csv or an image (default: CSV on stdout)")
    add_force(p, "read a file that fails the layout check")
    add_overwrite(p)
    p.set_defaults(run=run)


def outcome(args: argparse.Namespace) -> Outcome:
    xic = args.xic or []

    def work() -> Outcome:
        check_name(args.output)
        # A file the layout check refuses gives no chromatogram: the reader would answer zeros.
        chroms = chromatograms(args.file, ms_level=args.ms_level, targets=xic, tolerance=args.tol, force=args.force)
        kinds = [k for k in ("tic", "bpc") if getattr(args, k)] + (["xic"] if xic else [])
        write_chromatograms(
            chroms,
            kinds or ["tic"],
            args.output,
            title=os.path.basename(args.file),
            inputs=[args.file],
            overwrite=args.overwrite,
        )
        return Outcome(args.file, (args.output,) if args.output else (), status=WRITTEN)

    result: Outcome = attempt(args.file, work, action=READS, one_output=True)
    return result


def run(args: argparse.Namespace) -> int:
    tally = Tally(verb=WRITTEN)
    tally.add(outcome(args))
    return tally.exit_status
