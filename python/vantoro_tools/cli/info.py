"""`vantoro info`: header facts, layout check, peak lists, labels, warnings."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from ..analyse.info import format_info
from ..run.info import info_many
from ..run.outcome import READ, Tally
from .common import positive, show_progress


def add_parser(sub: Any) -> None:
    p = sub.add_parser("info", help="header facts, layout check, scan counts, status-log labels, warnings")
    p.add_argument("files", nargs="+", metavar="FILE_OR_DIR")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.add_argument("--jobs", "-j", type=positive, default=1, metavar="N", help="files read at once (default: 1)")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    tally = Tally(verb=READ)
    infos = info_many(args.files, on_outcome=tally.add, jobs=args.jobs, progress=show_progress(args))
    if args.json:
        json.dump([i.as_dict() for i in infos], sys.stdout, indent=2, ensure_ascii=False)
        print()
    elif infos:
        print(format_info(infos))
    return tally.exit_status
