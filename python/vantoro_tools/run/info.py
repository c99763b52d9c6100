"""`file_info` over many inputs, one outcome each, in this process or on
the local process pool, with a progress bar on a terminal."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from dataclasses import replace

from ..analyse.info import FileInfo, file_info
from ..base.paths import StrPath
from .inputs import collect_inputs
from .outcome import READ, Outcome
from .policy import attempt, classify, layout_refused
from .pool import refuse_reentry
from .progress import advance
from .runner import bar, pool_size, read_local, run_tasks

#: Files per pool task at most: a quick `file_info` costs tens of
#: microseconds, far less than sending a task to a worker and its result
#: back, so the pool gets the files in chunks; a deep one reads every peak
#: list, and smaller chunks keep both workers busy to the end.
CHUNK_QUICK, CHUNK_DEEP = 200, 8
#: Chunks per worker at least, so that the progress bar moves and a slow
#: chunk does not leave the other workers idle at the end.
CHUNKS_PER_WORKER = 4


def info_of(location: str, deep: bool) -> FileInfo:
    """`file_info` of a local file, or of an object under a URL (fetched to scratch, named by its URL)."""

    def read(path: str, path_text: str | None) -> FileInfo:
        info = file_info(path, path_text=path_text, deep=deep)
        return info if path_text is None else replace(info, path=location)

    return read_local(location, read)


def info_or_failure(path: str, deep: bool) -> FileInfo | Outcome:
    """`file_info` of `path`, or the failed outcome that says why it has none."""
    result: FileInfo | Outcome = attempt(path, lambda: info_of(path, deep))
    return result


def info_chunk(paths: Sequence[str], deep: bool) -> list[FileInfo | Outcome]:
    """`info_or_failure` of each of `paths`: one pool task."""
    return [info_or_failure(path, deep) for path in paths]


def chunks(paths: Sequence[str], workers: int, most: int) -> list[list[str]]:
    """`paths` in order, in chunks of at most `most`, at least
    CHUNKS_PER_WORKER per worker where there are files enough."""
    size = max(1, min(most, -(-len(paths) // (workers * CHUNKS_PER_WORKER))))
    return [list(paths[k : k + size]) for k in range(0, len(paths), size)]


def info_many(
    inputs: StrPath | Iterable[StrPath],
    on_outcome: Callable[[Outcome], None] | None = None,
    *,
    jobs: int = 1,
    progress: bool = False,
    deep: bool = False,
) -> list[FileInfo]:
    """`file_info` of every RAW file that `inputs` names (see
    `collect_inputs`), in order, read on `jobs` worker processes when more
    than one (the files sent to them in chunks). `deep` is file_info's.
    `on_outcome` hears of each input, in order: read, refused by the layout
    check (its facts are still given) or failed. `progress` shows a bar on
    standard error."""
    refuse_reentry("info_many()")
    files, problems = collect_inputs(inputs, mzpeak=True)
    results: dict[str, FileInfo | Outcome] = {}
    unique = list(dict.fromkeys(files))
    workers = pool_size(jobs, len(unique))
    # On the pool the files go in chunks; in this process one at a time, the bar moving for each.
    parts = chunks(unique, workers, CHUNK_DEEP if deep else CHUNK_QUICK) if workers > 1 else [[p] for p in unique]
    with bar(len(unique), progress) as shown:

        def done(name: str, get: Callable[[], list[FileInfo | Outcome]]) -> None:
            part = parts[int(name)]
            try:
                found = get()
            except BaseException as exc:  # the task itself failed (its worker died): each file is reported
                lost = [classify(path, exc) for path in part]
                if any(o is None for o in lost):
                    raise
                found = [o for o in lost if o is not None]
            results.update(zip(part, found))
            advance(shown, len(results), len(unique), step=len(part))

        run_tasks(
            info_chunk, [(str(k), (part, deep)) for k, part in enumerate(parts)], done, jobs=jobs, preload=[__name__]
        )
    outcomes = list(problems)
    infos = []
    for path in files:
        result = results[path]
        if isinstance(result, Outcome):
            outcomes.append(result)
            continue
        infos.append(result)
        outcomes.append(Outcome(path, status=READ) if result.readable else layout_refused(path, result.layout_check))
    if on_outcome is not None:
        for outcome in outcomes:
            on_outcome(outcome)
    return infos
