"""`vantoro convert`: RAW files to mzML, MGF, Parquet or mzPeak."""

from __future__ import annotations

import argparse
import os
import time
import warnings
from typing import Any

from ..base.urls import is_url
from ..run.convert import UnlockedOutput, convert_many
from ..run.inputs import collect_inputs
from ..run.ledger import as_json, summary
from ..run.outcome import EXIT_FAILED, Outcome, Tally
from ..write.formats import WriteOptions
from ..write.output import OutputError, check_writable, output_file
from .common import add_quiet, say, show_progress
from .conversion import NAMED, add_conversion_options, write_options

SUMMARY_WRITER = "convert --summary-json"


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "convert",
        help="convert to " + ", ".join(NAMED),
        description="Convert RAW files (or the *.raw files of directories). Formats: "
        + "; ".join(f"{f.name}: {f.summary}" for f in NAMED.values())
        + ".",
    )
    p.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    add_conversion_options(p)
    p.add_argument("--summary-json", metavar="FILE", help="write a machine-readable account of the batch to FILE")
    add_quiet(p)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    options = write_options(args)  # the format's form and compression resolved first
    if args.summary_json is not None:  # checked before the batch runs, not after
        local = collect_inputs([i for i in args.inputs if not is_url(i)])[0]
        try:
            check_writable(args.summary_json, local, any_inputs=True, writer=SUMMARY_WRITER)
        except OutputError as exc:
            say(str(exc))
            return EXIT_FAILED
    tally = Tally()
    started = time.time()
    with warnings.catch_warnings():
        # A batch into a store that cannot hold a lock says so in one line, as it starts.
        warnings.simplefilter("always", UnlockedOutput)
        # Only that warning: another (NumPy's about a value, say) is no line of this command's.
        warnings.showwarning = _unlocked_line(warnings.showwarning)
        outcomes = _convert(args, tally, options)
    if args.summary_json is not None:
        batch = next((o.details.get("batch") for o in outcomes if "batch" in o.details), None)
        settings = {
            "to": args.to,
            "out": args.out,
            "ms_levels": sorted(args.ms_levels) if args.ms_levels else None,
            "compression": args.compression,
            "force": args.force,
            "retry": args.retry,
            "dask": args.dask,
        }
        document = summary(outcomes, batch=batch, options=settings, started=started, ended=time.time())
        # Never written over an input; the stamp records the local inputs that exist.
        sources = [o.source for o in outcomes if not is_url(o.source) and os.path.isfile(o.source)]
        with output_file(args.summary_json, sources, any_inputs=True, writer=SUMMARY_WRITER) as tmp:
            with open(tmp, "w", encoding="utf-8") as f:
                f.write(as_json(document))
    if not args.quiet:
        say(f"{tally.summary()}; output in {args.out}")
    return tally.exit_status


def _unlocked_line(show: Any) -> Any:
    def shown(message: Any, category: type[Warning], *args: Any, **kwargs: Any) -> None:
        if issubclass(category, UnlockedOutput):
            say(str(message))
        else:
            show(message, category, *args, **kwargs)

    return shown


def _convert(args: argparse.Namespace, tally: Tally, options: WriteOptions) -> list[Outcome]:
    return convert_many(
        args.inputs,
        args.to,
        args.out,
        jobs=args.jobs,
        dask_address=args.dask,
        progress=show_progress(args),
        on_outcome=tally.add,
        options=options,
        force=args.force,
        overwrite=args.overwrite,
        retry=args.retry,
        hash_inputs=args.hash_inputs,
        scratch=args.scratch,
    )
