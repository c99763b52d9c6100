"""`vantoro plot`: one scan's peak list as a stick spectrum."""

from __future__ import annotations

import argparse
from typing import Any

from ..report.plot import plot_spectrum
from ..run.outcome import WRITTEN, Outcome, Tally
from ..run.policy import PLOTS, attempt
from .common import add_force, add_overwrite


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
    add_force(p, "plot a file that fails the layout check")
    add_overwrite(p)
    p.set_defaults(run=run)


def outcome(args: argparse.Namespace) -> Outcome:
    def work() -> Outcome:
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
        return Outcome(args.file, (args.output,), status=WRITTEN)

    result: Outcome = attempt(args.file, work, action=PLOTS, one_output=True)
    return result


def run(args: argparse.Namespace) -> int:
    tally = Tally(verb=WRITTEN)
    tally.add(outcome(args))
    return tally.exit_status
