"""`vantoro watch`: converts each RAW file written into folders once it is
finished, adds it to a QC history, and reports every event."""

from __future__ import annotations

import argparse
import os
from typing import Any

from ..report.watched import WatchedHistory
from ..run.notify import say_line
from ..run.outcome import EXIT_FAILED, EXIT_OK, EXIT_USAGE
from ..run.watch import SETTLE, STALL_MINUTES, Watcher, WatchSettings
from .common import bounded, positive, say
from .conversion import add_conversion_options, write_options

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


seconds = bounded(float, "number", 0, inclusive=False)
at_least_zero = bounded(float, "number", 0)


def webhook(text: str) -> str:
    """`--notify`: an http:// or https:// address (urllib would also open a file:// one, and post nothing)."""
    if text.partition("://")[0].lower() not in ("http", "https"):
        raise argparse.ArgumentTypeError(f"not an http:// or https:// address: {text!r}")
    return text


def free_space(text: str) -> tuple[int | None, float | None]:
    """`--min-free`: bytes (10G, 500M, 1T; binary units) or a share of the disk (5%)."""
    t = text.strip().upper().removesuffix("IB").removesuffix("B")
    try:
        if t.endswith("%"):
            share = float(t[:-1]) / 100
            if not 0 <= share < 1:
                raise ValueError
            return None, share
        unit = t[-1:] if t[-1:] in _UNITS and t[-1:] else ""
        value = float(t[: len(t) - len(unit)])
        if value < 0:
            raise ValueError
        return int(value * _UNITS[unit]), None
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an amount of space (e.g. 20G, 500M, 5%): {text!r}") from None


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "watch",
        help="convert (and QC) each RAW file written into folders once it is finished",
        description="Watches FOLDERs (their *.raw files, not subfolders) until stopped: each file is taken once "
        "its size and modification time have not changed for --settle seconds and its layout verdict is whole; "
        "it is converted into --out, added to the --qc-history with its control rules checked, and reported. "
        "A file changed after it was taken is taken again as a new version. The batch ledger under --out is the "
        "watcher's state: started again, it takes what it has not done and nothing it has done. Each event is "
        "one line on standard output: its UTC time, its kind, and the event as JSON.",
    )
    p.add_argument("folders", nargs="+", metavar="FOLDER")
    add_conversion_options(p)
    w = p.add_argument_group("watching")
    w.add_argument(
        "--settle",
        type=seconds,
        default=SETTLE,
        metavar="SECONDS",
        help=f"a file unchanged this long (and whole) is finished (default: {SETTLE:g})",
    )
    w.add_argument(
        "--poll",
        type=seconds,
        metavar="SECONDS",
        help="look at the folders every SECONDS instead of through file events (network shares); the settle time "
        "then runs from when the watcher saw the file as it is",
    )
    w.add_argument("--once", action="store_true", help="take what is there (waiting up to the settle time), then end")
    q = p.add_argument_group("QC")
    q.add_argument(
        "--qc-history",
        metavar="DIR",
        help="add each run to the QC history in DIR, check its control rules, and keep DIR/report.html current",
    )
    q.add_argument(
        "--baseline-runs",
        type=positive,
        default=20,
        metavar="N",
        help="control limits from the first N runs (default: 20)",
    )
    n = p.add_argument_group("events")
    n.add_argument(
        "--notify", metavar="URL", type=webhook, help="POST each event as one JSON document to URL (a webhook)"
    )
    n.add_argument(
        "--notify-command", metavar="CMD", help="run CMD (a shell command) with each event as JSON on its input"
    )
    n.add_argument(
        "--stall",
        type=at_least_zero,
        default=STALL_MINUTES,
        metavar="MINUTES",
        help=f"report a file unchanged this long that is not whole (default: {STALL_MINUTES:g}; 0: never); with "
        "--force, convert it then",
    )
    n.add_argument("--quiet-hours", type=seconds, metavar="H", help="report when no new run has come for H hours")
    n.add_argument(
        "--min-free",
        type=free_space,
        metavar="SPACE",
        help="keep this much free under --out (20G, 500M, 5%%): below it nothing is converted and it is reported",
    )
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    for folder in args.folders:
        if not os.path.isdir(folder):
            say(f"{folder}: not a folder")
            return EXIT_USAGE
    if args.qc_history is not None:
        from ..analyse.qc import numpy_module
        from ..report.history import pyarrow_modules

        numpy_module()
        pyarrow_modules()
        if os.path.abspath(args.qc_history) == os.path.abspath(args.out):
            say("--qc-history must be a folder of its own, not the output directory")
            return EXIT_USAGE
    min_free, min_share = args.min_free if args.min_free is not None else (None, None)
    options = write_options(args)  # resolves --to to the form the options ask for
    settings = WatchSettings(
        folders=args.folders,
        out=args.out,
        to=args.to,
        options=options,
        force=args.force,
        overwrite=args.overwrite,
        jobs=args.jobs,
        dask_address=args.dask,
        retry=args.retry,
        hash_inputs=args.hash_inputs,
        scratch=args.scratch,
        settle=args.settle,
        poll=args.poll,
        once=args.once,
        history=args.qc_history,
        baseline_runs=args.baseline_runs,
        stall=args.stall * 60 if args.stall else None,
        quiet=args.quiet_hours * 3600 if args.quiet_hours else None,
        min_free=min_free,
        min_free_share=min_share,
    )
    history = None if args.qc_history is None else WatchedHistory(args.qc_history, args.baseline_runs)
    watcher = Watcher(settings, url=args.notify, command=args.notify_command, say=say_line, history=history)
    watcher.run()
    # --once, for cron: a run that failed is the command's failure too.
    return EXIT_FAILED if watcher.failed else EXIT_OK
