"""`vantoro convert`: RAW files to mzML, MGF, Parquet or mzPeak."""

from __future__ import annotations

import argparse
import os
import time
import warnings
from typing import Any

from ..base.urls import is_url
from ..run.convert import UnlockedOutput, convert_many
from ..run.errors import MeaninglessOptions
from ..run.inputs import collect_inputs
from ..run.ledger import as_json, summary
from ..run.outcome import EXIT_FAILED, Outcome, Tally
from ..run.pool import default_jobs
from ..write.formats import WriteOptions
from ..write.output import OutputError, check_writable, output_file
from ..write.registry import FORMATS, OutputFormat
from .common import add_force, add_jobs, add_overwrite, add_quiet, non_negative, say, show_progress

SUMMARY_WRITER = "convert --summary-json"


def ms_levels(text: str) -> frozenset[int]:
    try:
        levels = frozenset(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of MS levels: {text!r} (e.g. 2 or 2,3)") from None
    if not levels or min(levels) < 1:
        raise argparse.ArgumentTypeError("MS levels start at 1")
    return levels


#: The formats `--to` names; the others are another form of one of these.
NAMED = {name: f for name, f in FORMATS.items() if f.form_of is None}


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "convert",
        help="convert to " + ", ".join(NAMED),
        description="Convert RAW files (or the *.raw files of directories). Formats: "
        + "; ".join(f"{f.name}: {f.summary}" for f in NAMED.values())
        + ".",
    )
    p.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    p.add_argument("--to", required=True, choices=list(NAMED))
    p.add_argument(
        "--out", required=True, metavar="DIR", help="output directory (created), or a URL prefix (s3://bucket/prefix/)"
    )
    p.add_argument(
        "--scratch",
        metavar="DIR",
        help="where inputs under a URL are fetched to, one per running task, under their bucket and key (default: "
        "$VANTORO_SCRATCH or the temporary directory; its path must hold no layout marker)",
    )
    p.add_argument("--ms-levels", type=ms_levels, metavar="N[,N...]", help="MS levels to write (default: all; MGF: 2)")
    p.add_argument(
        "--compression",
        choices=list(dict.fromkeys(c for f in NAMED.values() for c in f.compressions)),
        help="mzML binary arrays: zlib (default), numpress or none; mzPeak's Parquet codec: zstd (default), "
        "snappy, lz4, gzip, brotli or none",
    )
    p.add_argument("--mzpeak-folder", action="store_true", help=FORMATS["mzpeak-folder"].summary)
    add_force(p, "convert files that fail the layout check, saying so")
    add_overwrite(p)
    add_jobs(
        p, f"cores to use: files converted at once, spare cores as threads (default: {default_jobs()}, every core)"
    )
    p.add_argument("--dask", metavar="ADDRESS", help="run on the Dask cluster whose scheduler is at ADDRESS")
    p.add_argument(
        "--retry",
        type=non_negative,
        default=0,
        metavar="N",
        help="try a file again up to N times after a transient failure (an I/O error, a lost worker); "
        "never one refused by the layout check (default: 0)",
    )
    p.add_argument("--hash-inputs", action="store_true", help="record each input's SHA-256 in the ledger")
    p.add_argument("--summary-json", metavar="FILE", help="write a machine-readable account of the batch to FILE")
    add_quiet(p)
    p.set_defaults(run=run)


def chosen_format(args: argparse.Namespace) -> OutputFormat:
    """The format `--to` names in the form the options ask for, with
    `args.compression` resolved to its default; MeaninglessOptions for an
    option the format does not take."""
    fmt = FORMATS[args.to]
    if args.mzpeak_folder:
        forms = [f for f in FORMATS.values() if f.form_of == args.to]
        if not forms:
            raise MeaninglessOptions(f"--mzpeak-folder is for --to mzpeak, not {args.to}")
        fmt = forms[0]
    if args.compression is None:
        args.compression = fmt.default_compression
    elif args.compression not in fmt.compressions:
        raise MeaninglessOptions(
            f"--compression {args.compression} is not one for {args.to} (choose {', '.join(fmt.compressions)})"
        )
    args.to = fmt.name
    return fmt


def run(args: argparse.Namespace) -> int:
    chosen_format(args)
    if args.summary_json is not None:  # checked before the batch runs, not after
        local = collect_inputs([i for i in args.inputs if not is_url(i)])[0]
        try:
            check_writable(args.summary_json, local, any_inputs=True, writer=SUMMARY_WRITER)
        except OutputError as exc:
            say(str(exc))
            return EXIT_FAILED
    tally = Tally()
    started = time.time()
    options = WriteOptions(ms_levels=args.ms_levels, compression=args.compression)
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
