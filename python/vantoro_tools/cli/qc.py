"""`vantoro qc add`: records runs' QC metrics in a history folder."""

from __future__ import annotations

import argparse
from typing import Any

from ..analyse.qc import numpy_module
from ..report.history import HistoryError, add_runs, check_history, pyarrow_modules
from ..run.gather import default_read_jobs, gather
from ..run.inputs import collect_inputs
from ..run.outcome import ADDED, EXIT_FAILED, READ, UP_TO_DATE, Outcome, Tally
from ..run.policy import failure
from ..run.pool import default_jobs, stop_on_sigterm
from ..write.output import OutputError
from .common import add_jobs, add_quiet, say, show_progress


def add_parser(sub: Any) -> None:
    p = sub.add_parser("qc", help="keep runs' QC metrics in a history folder", description=__doc__)
    actions = p.add_subparsers(dest="action", required=True, metavar="ACTION")
    a = actions.add_parser(
        "add",
        help="record runs in a QC history",
        description="Records each run's QC metrics in the history folder DIR: one mzQC file per run under "
        "DIR/runs/ and one row per run and metric in DIR/metrics.parquet. A run whose file content is "
        "already there is skipped.",
    )
    a.add_argument("inputs", nargs="+", metavar="RUN_OR_DIR")
    a.add_argument("--history", required=True, metavar="DIR")
    add_jobs(a, "files read at once")
    add_quiet(a)
    a.set_defaults(run=run_add)


def run_add(args: argparse.Namespace) -> int:
    numpy_module()
    pyarrow_modules()
    try:
        check_history(args.history)
    except (HistoryError, OutputError) as exc:
        say(str(exc))
        return EXIT_FAILED
    tally = Tally(verb=ADDED)
    found, problems = collect_inputs(args.inputs)
    for outcome in problems:
        tally.add(outcome)
    paths = list(dict.fromkeys(found))
    with stop_on_sigterm():
        got = gather(
            paths,
            jobs=args.jobs or default_read_jobs(paths, default_jobs()),
            progress=show_progress(args),
            # A run read is counted once it is added; one refused or failed, now.
            on_outcome=lambda outcome: None if outcome.status == READ else tally.add(outcome),
            checksum=True,
        )
    usable = [r for r in got.runs if r.ok]
    try:
        added = add_runs(args.history, usable)
    except HistoryError as exc:  # damaged since it was checked
        say(str(exc))
        return EXIT_FAILED
    except OutputError as exc:
        for r in usable:
            tally.add(failure(r.path, exc))
        return tally.exit_status
    for r, new in zip(usable, added):
        tally.add(Outcome(r.path, status=ADDED if new else UP_TO_DATE))
    if not args.quiet:
        say(f"{tally.summary()}; history in {args.history}")
    return tally.exit_status
