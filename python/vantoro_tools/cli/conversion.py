"""The options of a conversion, which `convert` and `watch` share: the
format, the output, what is written, the cores, the cluster, retries."""

from __future__ import annotations

import argparse

from ..run.errors import MeaninglessOptions
from ..run.pool import default_jobs
from ..write.formats import WriteOptions
from ..write.registry import FORMATS, OutputFormat
from .common import add_force, add_jobs, add_overwrite, non_negative

#: The formats `--to` names; the others are another form of one of these.
NAMED = {name: f for name, f in FORMATS.items() if f.form_of is None}


def ms_levels(text: str) -> frozenset[int]:
    try:
        levels = frozenset(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of MS levels: {text!r} (e.g. 2 or 2,3)") from None
    if not levels or min(levels) < 1:
        raise argparse.ArgumentTypeError("MS levels start at 1")
    return levels


def add_conversion_options(p: argparse.ArgumentParser) -> None:
    """The options of a conversion, which `convert` and `watch` share: the
    format, the output, what is written, the cores, the cluster, retries."""
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


def chosen_format(args: argparse.Namespace) -> OutputFormat:
    """The format `--to` names in the form the options ask for, with
    `args.compression` resolved to its default; MeaninglessOptions for an
    option the format does not take. Sets `args.to` to that form's name."""
    fmt = FORMATS[args.to]
    if args.mzpeak_folder and fmt.form_of is None:
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


def write_options(args: argparse.Namespace) -> WriteOptions:
    """What the conversion options say of the files written (the format
    chosen first: see `chosen_format`)."""
    chosen_format(args)
    return WriteOptions(ms_levels=args.ms_levels, compression=args.compression)
