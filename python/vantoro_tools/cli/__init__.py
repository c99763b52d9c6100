"""The `vantoro` command: a thin layer over the library, one module per
subcommand.

Exit status: 0 when every file was handled, 1 when some file was refused
or failed (each is one line on standard error naming the file) or the
output directory is busy, 2 for a usage error, a missing optional package
or an unreachable cluster, 128 plus the signal's number when SIGINT (130)
or SIGTERM (143) stopped it.
"""

from __future__ import annotations

import argparse
import signal
from collections.abc import Sequence

from ..base.deps import MissingDependency
from ..base.version import tool_version
from ..run.cluster import ClusterError
from ..run.convert import MeaninglessOptions
from ..run.outcome import EXIT_FAILED, EXIT_USAGE
from ..run.pool import Stopped
from ..write.output import OutputBusy
from . import chrom, convert, info, plot, qc, report
from .common import say

#: The subcommands, in the order `vantoro --help` lists them.
COMMANDS = (info, convert, plot, chrom, report, qc)


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vantoro", description="Read Thermo RAW files with vantoro.")
    p.add_argument("--version", action="version", version=f"vantoro {tool_version()}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.add_parser(sub)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except (MissingDependency, ClusterError, MeaninglessOptions) as exc:
        say(str(exc))
        return EXIT_USAGE
    except OutputBusy as exc:
        say(str(exc))
        return EXIT_FAILED
    except KeyboardInterrupt:
        say("interrupted")
        return 128 + signal.SIGINT
    except Stopped as exc:
        say("stopped")
        return 128 + exc.signum
    return status
