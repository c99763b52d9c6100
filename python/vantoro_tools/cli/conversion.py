"""The options of a conversion, which `convert` and `watch` share: the
format, the output, what is written, the cores, the cluster, retries."""

from __future__ import annotations

import argparse

from ..run.pool import default_jobs
from ..write.formats import COMPRESSIONS, WriteOptions
from ..write.registry import FORMATS
from .common import add_force, add_jobs, add_overwrite, non_negative


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
    p.add_argument("--to", required=True, choices=list(FORMATS))
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
    p.add_argument("--compression", choices=COMPRESSIONS, default="zlib", help="mzML binary arrays (default: zlib)")
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


def write_options(args: argparse.Namespace) -> WriteOptions:
    """What the conversion options say of the files written."""
    return WriteOptions(ms_levels=args.ms_levels, compression=args.compression)
