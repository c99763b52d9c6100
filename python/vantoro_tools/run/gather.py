"""Reading many runs for the QC report, on worker processes when more than one."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace

from ..analyse.qc import RunQC, run_qc
from .outcome import FAILED, READ, Outcome
from .policy import attempt, layout_refused
from .pool import refuse_reentry
from .progress import advance
from .runner import bar, read_local, run_tasks


@dataclass(frozen=True)
class Gathered:
    runs: list[RunQC]  #: the runs read, in the order of the paths
    #: one per path: read, refused (the run fails the layout check; it is
    #: still read and shown) or failed (it could not be read)
    outcomes: list[Outcome]

    @property
    def not_read(self) -> list[tuple[str, str]]:
        """The paths that could not be read, with why."""
        return [(o.source, o.error or o.status) for o in self.outcomes if o.status == FAILED]


#: below this much input in all, starting worker processes costs more than it saves
POOL_MIN_BYTES = 64 << 20


def default_read_jobs(paths: Sequence[str], cores: int) -> int:
    """The files read at once by default: `cores`, or 1 for less than
    POOL_MIN_BYTES of input in all (objects under a URL count as nothing)."""
    total = 0
    for p in paths:
        try:
            st = os.stat(p)
        except OSError:
            continue  # reported when read
        blocks = getattr(st, "st_blocks", None)  # a sparse file's holes are never read
        total += st.st_size if blocks is None else min(st.st_size, blocks * 512)
    return cores if total >= POOL_MIN_BYTES else 1


def gather_one(location: str, checksum: bool) -> RunQC:
    """`run_qc` of a local file, or of an object under a URL (fetched to scratch, named by its URL)."""

    def read(path: str, path_text: str | None) -> RunQC:
        run = run_qc(path, path_text=path_text, checksum=checksum)
        if path_text is not None:
            run.info = replace(run.info, path=location)
        return run

    return read_local(location, read)


def gather(
    paths: Sequence[str],
    *,
    jobs: int = 1,
    progress: bool = False,
    on_outcome: Callable[[Outcome], None] | None = None,
    checksum: bool = False,
) -> Gathered:
    """`run_qc` for every path (with each file's SHA-256 when `checksum`),
    on `jobs` worker processes when more than one; `on_outcome` hears of
    each path as it is done."""
    refuse_reentry("gather()")
    results: dict[str, RunQC] = {}
    outcomes: dict[str, Outcome] = {}
    with bar(len(paths), progress, unit="runs") as shown:

        def done(path: str, get: Callable[[], RunQC]) -> None:
            run = attempt(path, get)
            if isinstance(run, Outcome):  # reported; the other runs go on
                outcome = run
            else:
                results[path] = run
                outcome = Outcome(path, status=READ) if run.ok else layout_refused(path, run.verdict)
            outcomes[path] = outcome
            if on_outcome is not None:
                on_outcome(outcome)
            advance(shown, len(outcomes), len(paths), "runs")

        run_tasks(gather_one, [(p, (p, checksum)) for p in paths], done, jobs=jobs, preload=[__name__])
    return Gathered([results[p] for p in paths if p in results], [outcomes[p] for p in paths if p in outcomes])
