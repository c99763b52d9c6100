"""`vantoro plot`: one scan's peak list as a stick spectrum."""

from __future__ import annotations

import argparse
from typing import Any

from ..report.plot import plot_spectrum
from ..run.outcome import WRITTEN, Outcome, Tally, failed, refused
from ..source.raw import LayoutError, NotRawFileError, describe_failure
from ..write.output import OutputError
from .common import add_overwrite


def add_parser(sub: Any) -> None:
    p = sub.add_parser("plot", help="draw a scan's peak list as a stick spectrum")
    p.add_argument("file", metavar="FILE")
    p.add_argument("scan", type=int, metavar="SCAN")
    p.add_argument("-o", "--output", required=True, metavar="IMAGE", help="e.g. spectrum.png")
    p.add_argument("--relative", action="store_true", help="intensity as %% of the base peak")
    p.add_argument(
        "--x-from",
        choices=("data", "zero"),
        default="data",
        help="m/z axis from the data (default; never below 0) or from 0",
    )
    p.add_argument(
        "--labels",
        type=int,
        default=5,
        metavar="N",
        help="label the N most intense peaks where labels do not overlap (default 5)",
    )
    p.add_argument("--force", action="store_true", help="plot a file that fails the layout check")
    add_overwrite(p)
    p.set_defaults(run=run)


def outcome(args: argparse.Namespace) -> Outcome:
    try:
        plot_spectrum(
            args.file,
            args.scan,
            args.output,
            force=args.force,
            relative=args.relative,
            x_from=args.x_from,
            labels=args.labels,
            overwrite=args.overwrite,
        )
    except OutputError as exc:
        return failed(args.output, str(exc))
    except LayoutError as exc:
        return refused(args.file, f"{exc} (--force plots it anyway)")
    except (OSError, NotRawFileError) as exc:
        return failed(args.file, describe_failure(args.file, exc))
    except ValueError as exc:  # the scan has no peak list
        return failed(args.file, str(exc))
    return Outcome(args.file, (args.output,), status=WRITTEN)


def run(args: argparse.Namespace) -> int:
    tally = Tally(verb=WRITTEN)
    tally.add(outcome(args))
    return tally.exit_status
