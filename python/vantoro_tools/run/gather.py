"""Reading many runs for the QC report, on worker processes when more than one."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

from ..analyse.qc import RunQC, run_qc
from .outcome import FAILED, READ, Outcome
from .policy import attempt, layout_refused
from .pool import refuse_reentry, run_pool
from .progress import advance, progress_bar


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


def run_qc_with_checksum(path: str) -> RunQC:
    return run_qc(path, checksum=True)


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
    task = run_qc_with_checksum if checksum else run_qc
    refuse_reentry("gather()")
    results: dict[str, RunQC] = {}
    outcomes: dict[str, Outcome] = {}
    bar = progress_bar(len(paths), progress, unit="runs", minimum=2)

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
        advance(bar, len(outcomes), len(paths), "runs")

    try:
        if jobs <= 1 or len(paths) <= 1:
            for path in paths:
                done(path, lambda p=path: task(p))  # type: ignore[misc]
        else:
            run_pool(task, [(p, (p,)) for p in paths], min(jobs, len(paths)), done, preload=[__name__])
    finally:
        if bar is not None:
            bar.close()
    return Gathered([results[p] for p in paths if p in results], [outcomes[p] for p in paths if p in outcomes])
