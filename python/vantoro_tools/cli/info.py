"""`vantoro info`: header facts and the layout check, quick by default;
with --deep also peak lists, each scan's check, labels and warnings."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from ..analyse.info import format_info
from ..run.info import info_many
from ..run.outcome import READ, Tally
from .common import add_jobs, add_quiet, show_progress


def add_parser(sub: Any) -> None:
    p = sub.add_parser("info", help="header facts, layout check; --deep: peak lists, labels, warnings")
    p.add_argument("files", nargs="+", metavar="FILE_OR_DIR")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.add_argument(
        "--deep",
        action="store_true",
        help="also read every peak list (counted, each scan's layout checked), the status-log labels and the "
        "warnings: each file is read whole (default: header facts and the whole-file layout check only)",
    )
    add_jobs(p, "files read at once (default: 1)", default=1)
    add_quiet(p, summary=False)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    tally = Tally(verb=READ)
    infos = info_many(args.files, on_outcome=tally.add, jobs=args.jobs, progress=show_progress(args), deep=args.deep)
    if args.json:
        # One string, one write: json.dump writes each piece on its own, which
        # costs more than the reading itself over a thousand small files.
        sys.stdout.write(json.dumps([i.as_dict() for i in infos], indent=2, ensure_ascii=False) + "\n")
    elif infos:
        print(format_info(infos))
    return tally.exit_status
