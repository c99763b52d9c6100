"""`vantoro report`: a QC report of one or many runs, as one self-contained HTML file."""

from __future__ import annotations

import argparse
import datetime as dt
import os
import time
from typing import Any

from ..analyse.qc import RunQC, numpy_module
from ..report.history import (
    TABLE,
    Baseline,
    HistoryError,
    check_history,
    control_charts,
    history_runs,
    pyarrow_modules,
    read_rows,
)
from ..report.mzqc import WRITER as MZQC_WRITER
from ..report.mzqc import write_mzqc
from ..report.page import WRITER as REPORT_WRITER
from ..report.page import HistoryView, write_report
from ..run.gather import default_read_jobs, gather
from ..run.inputs import collect_inputs
from ..run.outcome import EXIT_FAILED, EXIT_USAGE, READ, Tally
from ..run.policy import failure
from ..run.pool import default_jobs, stop_on_sigterm
from ..write.output import OutputError, check_writable
from .common import add_jobs, add_overwrite, add_quiet, fail, named_twice, positive, say, show_progress


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "report",
        help="a QC report of one or many runs, as one self-contained HTML file",
        description="Writes one HTML file that opens in any browser without network access: per run "
        "the chromatograms, scans per MS level, top N reached, cycle time, injection "
        "times, precursor charges and m/z, varying trailer fields and the file's facts; "
        "for several runs a comparison first.",
    )
    p.add_argument("inputs", nargs="*", metavar="FILE_OR_DIR")
    p.add_argument("-o", "--output", required=True, metavar="REPORT.html")
    p.add_argument("--mzqc", metavar="FILE.mzQC", help="also write the runs' QC metrics as an mzQC 1.0.0 file")
    p.add_argument(
        "--checksums", action="store_true", help="give each input file's SHA-256 in the mzQC file (reads it once more)"
    )
    add_jobs(p, "files read at once (default: the cores, or 1 for less than 64 MiB of input)")
    add_quiet(p)
    h = p.add_argument_group("control charts from a QC history (vantoro qc add)")
    h.add_argument(
        "--history", metavar="DIR", help="chart every metric of the history in DIR, the runs given marked as new"
    )
    h.add_argument(
        "--baseline-runs", type=positive, default=20, metavar="N", help="limits from the first N runs (default: 20)"
    )
    h.add_argument(
        "--baseline-from", type=day, metavar="YYYY-MM-DD", help="limits from the runs acquired from this day"
    )
    h.add_argument("--baseline-to", type=day, metavar="YYYY-MM-DD", help="... up to this day (inclusive)")
    add_overwrite(p)
    p.set_defaults(run=run)


def day(text: str) -> dt.date:
    try:
        return dt.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a day (YYYY-MM-DD): {text!r}") from None


def history_view(args: argparse.Namespace, runs: list[RunQC]) -> HistoryView:
    baseline = Baseline(runs=args.baseline_runs, start=args.baseline_from, end=args.baseline_to)
    charts = control_charts(history_runs(read_rows(args.history), runs), baseline)
    return HistoryView(charts, baseline, args.history)


def run(args: argparse.Namespace) -> int:
    twice = named_twice([("-o", args.output), ("--mzqc", args.mzqc), ("--history", args.history)])
    if twice is not None:
        say(twice)
        return EXIT_USAGE
    numpy_module()  # a missing package is named once, not as every file's failure
    try:  # the outputs checked before the runs are read
        given = [i for i in args.inputs if os.path.isfile(i)]
        check_writable(args.output, given, any_inputs=True, overwrite=args.overwrite, writer=REPORT_WRITER)
        if args.mzqc:
            check_writable(args.mzqc, given, any_inputs=True, overwrite=args.overwrite, writer=MZQC_WRITER)
    except OutputError as exc:
        fail(exc.path, str(exc))
        return EXIT_FAILED
    if args.history:
        pyarrow_modules()
        try:
            check_history(args.history)
        except (HistoryError, OutputError) as exc:
            say(str(exc))
            return EXIT_FAILED
        if not os.path.isfile(os.path.join(args.history, TABLE)):
            say(f"{args.history}: no QC history there (vantoro qc add makes one)")
            return EXIT_FAILED
    elif not args.inputs:
        say("report: give runs to report, or --history DIR")
        return EXIT_USAGE
    tally = Tally(verb=READ)
    found, problems = collect_inputs(args.inputs, mzpeak=True)
    paths = list(dict.fromkeys(found))  # a file given twice is read and shown once
    for outcome in problems:
        tally.add(outcome)
    not_read = [(o.source, o.error or o.status) for o in problems]
    start = time.perf_counter()
    with stop_on_sigterm():
        got = gather(
            paths,
            jobs=args.jobs or default_read_jobs(paths, default_jobs()),
            progress=show_progress(args),
            on_outcome=tally.add,
            checksum=bool(args.history or (args.mzqc and args.checksums)),
        )
    not_read += got.not_read
    if not got.runs and not args.history:
        say("no run could be read; no report written")
        return EXIT_FAILED
    try:
        history = history_view(args, got.runs) if args.history else None
    except HistoryError as exc:
        say(str(exc))
        return EXIT_FAILED
    try:
        size = write_report(got.runs, args.output, not_read, overwrite=args.overwrite, history=history)
    except OutputError as exc:
        tally.add(failure(args.output, exc, one_output=True))
        return tally.exit_status
    # The metrics of a run the layout check refuses describe zeros, not the run: the mzQC leaves it out.
    measured = [r for r in got.runs if r.ok]
    if args.mzqc and measured:
        try:
            write_mzqc(measured, args.mzqc, checksums=args.checksums, overwrite=args.overwrite)
        except OutputError as exc:
            tally.add(failure(args.mzqc, exc, one_output=True))
    elif args.mzqc and got.runs:
        say(f"{args.mzqc}: not written: no run passed the layout check")
    if not args.quiet:
        say(
            f"report of {len(got.runs)} run(s) in {args.output} ({size / 1024:.0f} KiB, "
            f"{time.perf_counter() - start:.1f} s); {len(not_read)} not read"
        )
    return tally.exit_status
