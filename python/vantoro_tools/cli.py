"""The `vantoro` command: a thin layer over the library functions.

Exit status: 0 when every file was handled, 1 when some file failed (each
failure is one line on standard error naming the file), 2 for a usage
error or a missing optional package.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence

from ._deps import MissingDependency
from .formats import FORMATS
from .convert import ClusterError, Outcome, convert_many, default_jobs, raw_files_in
from .reading import NotRawFileError, describe_failure
from .version import tool_version


def _fail(path: str, reason: str) -> None:
    print(f"vantoro: {path}: {reason}", file=sys.stderr)


def _info(args: argparse.Namespace) -> int:
    from .info import FileInfo, file_info, format_info

    infos: list[FileInfo] = []
    status = 0
    paths = [p for arg in args.files for p in (raw_files_in(arg) if os.path.isdir(arg) else [arg])]
    for path in paths:
        try:
            infos.append(file_info(path))
        except Exception as exc:  # noqa: BLE001  (reported, the other files go on)
            _fail(path, describe_failure(path, exc))
            status = 1
    if args.json:
        json.dump([i.as_dict() for i in infos], sys.stdout, indent=2, ensure_ascii=False)
        print()
    elif infos:
        print(format_info(infos))
    return status


def _convert(args: argparse.Namespace) -> int:
    def report(outcome: Outcome) -> None:
        if outcome.error is not None:
            _fail(outcome.source, outcome.error)

    outcomes = convert_many(args.inputs, args.to, args.out, jobs=args.jobs, dask_address=args.dask,
                            progress=not args.quiet and sys.stderr.isatty(), on_outcome=report)
    failed = sum(not o.ok for o in outcomes)
    if not args.quiet:
        print(f"vantoro: {len(outcomes) - failed} converted, {failed} failed; output in {args.out}",
              file=sys.stderr)
    return 1 if failed else 0


def _plot(args: argparse.Namespace) -> int:
    from .plot import plot_spectrum, save_figure

    try:
        fig = plot_spectrum(args.file, args.scan, relative=args.relative, x_from=args.x_from,
                            labels=args.labels)
    except (OSError, NotRawFileError) as exc:
        _fail(args.file, describe_failure(args.file, exc))
        return 1
    except ValueError as exc:  # the scan has no peak list; the message names the file
        print(f"vantoro: {exc}", file=sys.stderr)
        return 1
    try:
        save_figure(fig, args.output)
    except OSError as exc:
        _fail(args.output, f"cannot write: {exc.strerror or exc}")
        return 1
    return 0


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vantoro", description="Read Thermo RAW files with vantoro.")
    p.add_argument("--version", action="version", version=f"vantoro {tool_version()}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = sub.add_parser("info", help="header facts, scan counts, status-log labels, warnings")
    info.add_argument("files", nargs="+", metavar="FILE_OR_DIR")
    info.add_argument("--json", action="store_true", help="print JSON instead of a table")
    info.set_defaults(run=_info)

    conv = sub.add_parser(
        "convert", help="convert to mzML, MGF or Parquet",
        description="Convert RAW files (or the *.raw files of directories) to mzML, MGF "
                    "(MS2 scans with a precursor) or Parquet (DIR/scans and DIR/peaks datasets).")
    conv.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    conv.add_argument("--to", required=True, choices=FORMATS)
    conv.add_argument("--out", required=True, metavar="DIR", help="output directory (created)")
    conv.add_argument("--jobs", "-j", type=_positive, metavar="N",
                      help=f"files converted at once (default: {default_jobs()}, the number of cores)")
    conv.add_argument("--dask", metavar="ADDRESS",
                      help="run on the Dask cluster whose scheduler is at ADDRESS")
    conv.add_argument("--quiet", "-q", action="store_true", help="no progress bar or summary")
    conv.set_defaults(run=_convert)

    plot = sub.add_parser("plot", help="draw a scan's peak list as a stick spectrum")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("scan", type=int, metavar="SCAN")
    plot.add_argument("-o", "--output", required=True, metavar="IMAGE", help="e.g. spectrum.png")
    plot.add_argument("--relative", action="store_true", help="intensity as %% of the base peak")
    plot.add_argument("--x-from", choices=("data", "zero"), default="data",
                      help="m/z axis from the data (default; never below 0) or from 0")
    plot.add_argument("--labels", type=int, default=5, metavar="N",
                      help="label the N most intense peaks where labels do not overlap (default 5)")
    plot.set_defaults(run=_plot)
    from .cli_view import add_parsers
    add_parsers(sub)  # chrom, report
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except (MissingDependency, ClusterError) as exc:
        print(f"vantoro: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("vantoro: interrupted", file=sys.stderr)
        return 130
    return status
