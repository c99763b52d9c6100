"""The `vantoro` command: a thin layer over the library, one module per
subcommand.

Exit status: 0 when every file was handled, 1 when some file was refused
or failed (each is one line on standard error naming the file) or the
output directory is busy or cannot be written, 2 for a usage error, a
missing optional package, an unreachable cluster or scratch space whose path
holds a layout marker, 128 plus the signal's number when SIGINT (130) or
SIGTERM (143) stopped it, or when the reader of standard output went away
(141, as SIGPIPE would end a tool).
"""

from __future__ import annotations

import argparse
import gc
import importlib
import os
import signal
import sys
from collections.abc import Sequence
from types import ModuleType
from typing import Any

from ..base.deps import MissingDependency
from ..base.version import tool_version
from ..run.errors import ClusterError, MeaninglessOptions, Stopped, UnsafeScratch
from ..run.outcome import EXIT_FAILED, EXIT_USAGE, exit_stopped
from ..write.errors import OutputError
from .common import say

#: The subcommands, in the order `vantoro --help` lists them, each the name
#: of its module in this package. A command imports only the module of the
#: subcommand it runs (and what that needs), so that a quick one starts quickly.
COMMANDS = ("info", "convert", "plot", "chrom", "report", "qc", "watch")


def command_module(name: str) -> ModuleType:
    return importlib.import_module(f"{__name__}.{name}")


class _Version(argparse.Action):
    """--version: the installed version, looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: Any):
        kwargs.setdefault("help", "show program's version number and exit")
        super().__init__(option_strings, dest, default=argparse.SUPPRESS, nargs=0, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any, **kwargs: Any) -> None:
        print(f"vantoro {tool_version()}")
        parser.exit()


def parser(commands: Sequence[str] = COMMANDS) -> argparse.ArgumentParser:
    """The command's parser with the subcommands `commands` (all of them by default)."""
    p = argparse.ArgumentParser(prog="vantoro", description="Read Thermo RAW files with vantoro.")
    p.add_argument("--version", action=_Version)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in commands:
        command_module(name).add_parser(sub)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args_list = list(sys.argv[1:] if argv is None else argv)
    # A known subcommand first: only its parser is built (its options and
    # help are the same whichever others exist); otherwise all of them, for
    # the command's own help and its message about an unknown subcommand.
    first = args_list[0] if args_list else None
    args = parser([first] if first in COMMANDS else COMMANDS).parse_args(args_list)
    try:
        status: int = args.run(args)
    except (MissingDependency, ClusterError, MeaninglessOptions, UnsafeScratch) as exc:
        say(str(exc))
        return EXIT_USAGE
    except OutputError as exc:  # busy, or the output directory cannot be written at all
        say(str(exc))
        return EXIT_FAILED
    except KeyboardInterrupt:
        say("interrupted")
        return exit_stopped(signal.SIGINT)
    except Stopped as exc:
        say("stopped")
        return exit_stopped(exc.signum)
    except BrokenPipeError:  # the reader of standard output has gone (`| head`): as a tool ended by SIGPIPE
        _drop_stdout()
        return exit_stopped(signal.SIGPIPE)
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _drop_stdout()
        return exit_stopped(signal.SIGPIPE)
    return status


def _drop_stdout() -> None:
    """Standard output pointed at /dev/null, so that nothing flushed at exit meets the closed pipe again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def program() -> int:
    """The `vantoro` program: main() on the command line's arguments."""
    # No command does linear algebra worth a thread pool, yet NumPy's
    # OpenBLAS starts one as it is imported, whose threads spin for some
    # 0.1 CPU-s in each process that imports it (the command's, the server
    # its pool's workers are forked from; measured). Set before anything
    # imports NumPy, and so inherited by the pool; a value the user set stands.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    # Arrow's own allocator (mimalloc) gives the Parquet writers' buffers
    # back at the end of each file and copies them as they grow; the C
    # library's keeps and extends them: a batch of 24 files of 3 million
    # peaks to Parquet in a third less time on one core (measured). Set
    # before anything loads Arrow, for the command and its pool's workers.
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
    status = main()
    # What the command wrote is closed by now; what is left is the
    # interpreter's exit, whose final garbage collections traverse every
    # object of the libraries loaded: some 60 ms of a command that used
    # Dask (distributed, Arrow and NumPy loaded; measured). Frozen objects
    # are left out of them; the process's end releases them all the same.
    gc.freeze()
    return status
