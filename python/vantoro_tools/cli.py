"""The `vantoro` command: a thin layer over the library functions.

Exit status: 0 when every file was handled, 1 when some file was refused
or failed (each is one line on standard error naming the file), 2 for a
usage error, a missing optional package or an unreachable cluster, 128
plus the signal's number when SIGINT (130) or SIGTERM (143) stopped it.
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
from collections.abc import Sequence

from ._deps import MissingDependency
from .atomic import OutputError
from .check import LayoutError
from .batch import READ, ClusterError, Report, Stopped, default_jobs
from .formats import COMPRESSIONS, FORMATS, WriteOptions
from .reading import NotRawFileError, describe_failure
from .version import tool_version


def _fail(path: str, reason: str) -> None:
    print(f"vantoro: {path}: {reason}", file=sys.stderr)


def _info(args: argparse.Namespace) -> int:
    from .info import format_info, info_many

    report = Report(verb=READ)
    infos = info_many(args.files, on_outcome=report.add)
    if args.json:
        json.dump([i.as_dict() for i in infos], sys.stdout, indent=2, ensure_ascii=False)
        print()
    elif infos:
        print(format_info(infos))
    return report.exit_status


def _convert(args: argparse.Namespace) -> int:
    from .convert import convert_many

    report = Report()
    convert_many(args.inputs, args.to, args.out, jobs=args.jobs, dask_address=args.dask,
                 progress=not args.quiet and sys.stderr.isatty(), on_outcome=report.add,
                 options=WriteOptions(ms_levels=args.ms_levels, compression=args.compression),
                 force=args.force, overwrite=args.overwrite)
    if not args.quiet:
        print(f"vantoro: {report.summary()}; output in {args.out}", file=sys.stderr)
    return report.exit_status


def _plot(args: argparse.Namespace) -> int:
    from .plot import plot_spectrum

    try:
        plot_spectrum(args.file, args.scan, args.output, force=args.force, relative=args.relative,
                      x_from=args.x_from, labels=args.labels)
    except OutputError as exc:
        _fail(args.output, str(exc))
        return 1
    except LayoutError as exc:
        _fail(args.file, f"{exc} (--force plots it anyway)")
        return 1
    except (OSError, NotRawFileError) as exc:
        _fail(args.file, describe_failure(args.file, exc))
        return 1
    except ValueError as exc:  # the scan has no peak list; the message names the file
        print(f"vantoro: {exc}", file=sys.stderr)
        return 1
    return 0


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _ms_levels(text: str) -> frozenset[int]:
    try:
        levels = frozenset(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of MS levels: {text!r} (e.g. 2 or 2,3)") from None
    if not levels or min(levels) < 1:
        raise argparse.ArgumentTypeError("MS levels start at 1")
    return levels


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vantoro", description="Read Thermo RAW files with vantoro.")
    p.add_argument("--version", action="version", version=f"vantoro {tool_version()}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = sub.add_parser("info", help="header facts, layout check, scan counts, status-log labels, warnings")
    info.add_argument("files", nargs="+", metavar="FILE_OR_DIR")
    info.add_argument("--json", action="store_true", help="print JSON instead of a table")
    info.set_defaults(run=_info)

    conv = sub.add_parser(
        "convert", help="convert to " + ", ".join(FORMATS),
        description="Convert RAW files (or the *.raw files of directories). Formats: "
                    + "; ".join(f"{f.name}: {f.summary}" for f in FORMATS.values()) + ".")
    conv.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    conv.add_argument("--to", required=True, choices=list(FORMATS))
    conv.add_argument("--out", required=True, metavar="DIR", help="output directory (created)")
    conv.add_argument("--ms-levels", type=_ms_levels, metavar="N[,N...]",
                      help="MS levels to write (default: all; MGF: 2)")
    conv.add_argument("--compression", choices=COMPRESSIONS, default="zlib",
                      help="mzML binary arrays (default: zlib)")
    conv.add_argument("--force", action="store_true",
                      help="convert files that fail the layout check, saying so")
    conv.add_argument("--overwrite", action="store_true",
                      help="replace existing outputs (never an input file)")
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
    plot.add_argument("--force", action="store_true", help="plot a file that fails the layout check")
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
        return 128 + signal.SIGINT
    except Stopped as exc:
        print("vantoro: stopped", file=sys.stderr)
        return 128 + exc.signum
    return status
