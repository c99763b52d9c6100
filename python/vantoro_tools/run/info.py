"""`file_info` over many inputs, one outcome each, in this process or on
the local process pool, with a progress bar on a terminal."""

from __future__ import annotations

from collections.abc import Callable, Iterable

from ..analyse.info import FileInfo, file_info
from ..base.paths import StrPath
from ..source.raw import describe_failure
from .inputs import collect_inputs
from .outcome import READ, Outcome, failed, refused
from .pool import refuse_reentry, run_pool
from .progress import advance, progress_bar


def info_many(
    inputs: StrPath | Iterable[StrPath],
    on_outcome: Callable[[Outcome], None] | None = None,
    *,
    jobs: int = 1,
    progress: bool = False,
) -> list[FileInfo]:
    """`file_info` of every RAW file that `inputs` names (see
    `collect_inputs`), in order, read on `jobs` worker processes when more
    than one. `on_outcome` hears of each input, in order: read, refused by
    the layout check (its facts are still given) or failed. `progress`
    shows a bar on standard error."""
    refuse_reentry("info_many()")
    files, problems = collect_inputs(inputs)
    results: dict[str, FileInfo | Outcome] = {}
    bar = progress_bar(len(files), progress, minimum=2)

    def done(path: str, get: Callable[[], FileInfo]) -> None:
        try:
            results[path] = get()
        except Exception as exc:  # reported; the other files go on
            results[path] = failed(path, describe_failure(path, exc))
        advance(bar, len(results), len(files))

    try:
        if jobs <= 1 or len(files) <= 1:
            for path in files:
                done(path, lambda p=path: file_info(p))  # type: ignore[misc]
        else:
            run_pool(file_info, [(p, (p,)) for p in dict.fromkeys(files)], min(jobs, len(files)), done, [__name__])
    finally:
        if bar is not None:
            bar.close()
    outcomes = list(problems)
    infos = []
    for path in files:
        result = results[path]
        if isinstance(result, Outcome):
            outcomes.append(result)
            continue
        infos.append(result)
        outcomes.append(Outcome(path, status=READ) if result.readable else refused(path, result.layout_check))
    if on_outcome is not None:
        for outcome in outcomes:
            on_outcome(outcome)
    return infos
