"""Watching folders an instrument writes RAW files into: each run converted
(and added to a QC history, its control rules checked) once it is
finished, and an event reported for it.

A file is finished when its size and modification time have stayed the
same for the settle time and its layout verdict is whole (the header's
format version, the layout marker in its path, a size that holds every
scan table). With file events the settle time runs from the file's
modification time (this host's clock); when polling (a network share,
whose clock and cached attributes may differ) from when the watcher itself
first saw the file as it is. A file taken and then changed is taken again:
its outputs replaced, its history row replaced, reported as a new version.

The state is the output's: the batch ledger (each round of conversions a
batch) and the event records beside it (see `run.notify`). A file is
handled once an event about its present content (its size and
modification time) is recorded; a watcher started again after a crash
takes every finished file that has none, and the ledger tells it which of
those are converted already (they are not converted again). One watcher
holds the output for as long as it runs, as a batch does."""

from __future__ import annotations

import contextlib
import importlib.util
import os
import shutil
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

from ..analyse.qc import RunQC
from ..base.deps import missing
from ..source.layout import judge_file
from ..source.raw import describe_failure
from ..write.formats import WriteOptions
from ..write.output import DirectoryLock, LockUnsupported, OutputError, RemoteLock, is_url, remove_dead_parts
from ..write.registry import output_format
from .convert import check_options, convert_held
from .gather import gather
from .inputs import RAW_SUFFIX
from .notify import DONE, LOW_SPACE, QUIET, RULE, STALLED, EventLog, Notifier, event, iso_now
from .outcome import CONVERTED, FAILED, Outcome
from .pool import stop_on_sigterm

#: Seconds a file must stay unchanged before it is taken (`--settle`).
SETTLE = 30.0
#: With file events, every folder is also listed this often (seconds), for events the system lost.
RESCAN = 60.0
#: Minutes a file that is not whole may stay unchanged before it is reported stalled (`--stall`).
STALL_MINUTES = 30.0
#: A transient failure is tried again after this many seconds, doubled each time, at most an hour.
RETRY_FIRST, RETRY_MAX = 60.0, 3600.0


class QCHistory(Protocol):
    """The QC history each converted run is added to (see `report.watched`)."""

    def add(self, runs: Sequence[RunQC]) -> None: ...
    def broken(self, runs: dict[str, RunQC]) -> dict[str, dict[str, dict[str, Any]]]: ...
    def write_page(self, last: RunQC) -> None: ...
    def metrics(self, run: RunQC) -> dict[str, float]: ...
    def summary(self, run: RunQC) -> str: ...


@dataclass(frozen=True)
class WatchSettings:
    folders: Sequence[str]
    out: str
    to: str
    options: WriteOptions = field(default_factory=WriteOptions)
    force: bool = False
    overwrite: bool = False
    jobs: int | None = None
    dask_address: str | None = None
    retry: int = 0
    hash_inputs: bool = False
    scratch: str | None = None
    settle: float = SETTLE
    #: seconds between looks at every folder; None: file events (and a look every RESCAN seconds)
    poll: float | None = None
    once: bool = False
    history: str | None = None
    baseline_runs: int = 20
    #: seconds; None: never reported
    stall: float | None = STALL_MINUTES * 60
    quiet: float | None = None
    #: the free space under the output below which nothing is converted: bytes, or a share of the disk
    min_free: int | None = None
    min_free_share: float | None = None


@dataclass
class _Seen:
    """One file as last seen: its size and modification time, since when
    (wall clock) it has been so, and what is known of it as it is."""

    name: str  #: as the user named it: the folder given, joined with the file's name
    facts: tuple[int, int]
    since: float
    whole: bool | None = None
    reason: str | None = None
    due: float = 0.0  #: when to look at it again (wall clock)


class Watcher:
    """`vantoro watch`: see the module's description. `run()` returns when
    stopped (SIGTERM, Ctrl-C: Stopped or KeyboardInterrupt raised) or, with
    `once`, when what was there is done."""

    def __init__(
        self,
        settings: WatchSettings,
        *,
        url: str | None = None,
        command: str | None = None,
        say: Callable[[str], None],
        history: QCHistory | None = None,
    ):
        self.s, self.say = settings, say
        #: where each run's QC goes, given with `settings.history`
        self.history = history
        self.remote = is_url(settings.out)
        self.out = settings.out if self.remote else os.path.abspath(settings.out)
        self.events = EventLog(self.out)
        self.url, self.command = url, command
        self.notifier: Notifier | None = None
        self.seen: dict[str, _Seen] = {}  #: by absolute path
        #: the files seen whose content as it is has no event yet: all a look at the files goes through
        self.open: set[str] = set()
        self.handled: dict[str, tuple[int, int]] = {}  #: the content of each file an event was recorded for
        self.versions: dict[str, set[tuple[int, int]]] = {}  #: the contents reported done, per file
        self.failures: dict[str, tuple[tuple[int, int], float, float]] = {}  #: transient: facts, next try, wait
        self.folders = {os.path.abspath(f): f for f in settings.folders}
        self.last_new = time.time()
        self.quiet_said = False
        self.low_space = False
        self.failed = 0  #: failed events reported
        self.stalled: set[tuple[str, tuple[int, int]]] = set()  #: the files, as they were, said stalled
        self.unlisted: set[str] = set()  #: the folders that could not be listed last time
        self._changed: set[str] = set()
        self._rescan = threading.Event()
        self._lock = threading.Lock()
        self.wake = threading.Event()
        self.credit_mtime = settings.poll is None

    # -- the run --------------------------------------------------------------

    def run(self) -> None:
        # A missing package or a meaningless option said before anything is held, not at the first run.
        fmt = output_format(self.s.to)
        check_options(fmt, self.s.options)
        fmt.check_packages()
        if importlib.util.find_spec("pyarrow") is None:
            raise missing("pyarrow", "the batch ledger of vantoro watch", "convert")
        if not self.s.once and self.s.poll is None:
            _watchdog()
        with contextlib.ExitStack() as stack, stop_on_sigterm():
            self._hold(stack)
            self.notifier = Notifier(self.events, url=self.url, command=self.command, say=self.say)
            stack.callback(self.notifier.close)
            self._load_state()
            if not self.s.once and self.s.poll is None:
                stack.enter_context(self._observing())
            self.say(
                f"watching {len(self.folders)} folder(s) into {self.s.out}"
                + (
                    f", polling every {self.s.poll:g} s"
                    if self.s.poll
                    else ", by file events"
                    if not self.s.once
                    else ""
                )
                + f"; settle {self.s.settle:g} s"
            )
            if self.s.once:
                self._once()
                # What was reported is delivered before a cron run ends; what
                # cannot be yet stays recorded pending for the next run.
                self.notifier.idle(30.0)
            else:
                self._loop()

    def _hold(self, stack: contextlib.ExitStack) -> None:
        if self.remote:
            try:
                stack.enter_context(RemoteLock(self.out))
            except LockUnsupported as exc:
                self.say(str(exc))
            return
        try:
            os.makedirs(self.out, exist_ok=True)
        except OSError as exc:
            raise OutputError(self.out, exc) from exc
        stack.enter_context(DirectoryLock(self.out))
        # Outputs, and event records, a killed watcher was writing.
        remove_dead_parts(self.out)
        remove_dead_parts(self.events.path)

    def _load_state(self) -> None:
        """What earlier watchers recorded: the content each event was about,
        and the events whose delivery they had not finished."""
        assert self.notifier is not None
        for name, record in self.events.records():
            document, where = record["event"], record.get("input")
            facts = (record.get("size"), record.get("mtime_ns"))
            if isinstance(where, str) and all(isinstance(v, int) for v in facts):
                kind = document.get("event")
                final = kind == DONE or (kind == FAILED and not document.get("transient"))
                if final:
                    self.handled[where] = (int(facts[0]), int(facts[1]))  # type: ignore[arg-type]
                if kind == DONE:
                    self.versions.setdefault(where, set()).add((int(facts[0]), int(facts[1])))  # type: ignore[arg-type]
                if kind == STALLED:
                    self.stalled.add((where, (int(facts[0]), int(facts[1]))))  # type: ignore[arg-type]
            if record.get("delivery", {}).get("status") == "pending":
                self.notifier.resume(name, record)

    @contextlib.contextmanager
    def _observing(self) -> Iterator[None]:
        """File events of the folders, through watchdog, while the block runs."""
        wd_events, Observer = _watchdog()
        lost = wd_events.EventsLostEvent

        class Handler:
            """What the observer's thread hears: the RAW files named, kept
            for the loop, which it wakes."""

            def dispatch(self, e: Any) -> None:
                watcher._heard(e, lost)

        kinds = [
            wd_events.FileCreatedEvent,
            wd_events.FileModifiedEvent,
            wd_events.FileMovedEvent,
            wd_events.FileClosedEvent,
            wd_events.FileDeletedEvent,
            wd_events.EventsLostEvent,
        ]
        watcher = self
        observer = Observer()
        handler = Handler()
        for folder in self.folders:
            observer.schedule(handler, folder, recursive=False, event_filter=kinds)
        observer.daemon = True
        observer.start()
        try:
            yield
        finally:
            observer.stop()
            observer.join(timeout=5)

    def _heard(self, e: Any, lost: type) -> None:
        if isinstance(e, lost):
            self._rescan.set()
        else:
            for p in (e.src_path, getattr(e, "dest_path", "")):
                if isinstance(p, bytes):
                    p = os.fsdecode(p)
                if p and p.lower().endswith(RAW_SUFFIX):
                    with self._lock:
                        self._changed.add(os.path.abspath(p))
        self.wake.set()

    def _loop(self) -> None:
        next_scan = 0.0
        while True:
            now = time.time()
            if now >= next_scan or self._rescan.is_set():
                self._rescan.clear()
                self._scan()
                next_scan = now + (self.s.poll or RESCAN)
            else:
                with self._lock:
                    changed, self._changed = self._changed, set()
                for path in changed:
                    self._observe(path, self._name(path))
            self._tick()
            wake_at = min([next_scan] + [self.seen[p].due for p in self.open if self._pending(p)])
            wait = max(0.0, min(wake_at - time.time(), RESCAN))
            if self.s.quiet is not None and not self.quiet_said:
                wait = min(wait, max(0.0, self.last_new + self.s.quiet - time.time()) + 0.01)
            if wait > 0 and self.wake.wait(wait):
                self.wake.clear()
                # File events come in bursts while a file is written: gathered for a moment.
                time.sleep(0.05)

    def _once(self) -> None:
        """Every file there is taken once it is finished, waiting at most
        the settle time for those written now; then the watcher ends."""
        self._scan()
        # Past the settle time of every file seen now, by a margin: each is looked at once it has settled.
        until = time.time() + self.s.settle + 0.5
        while True:
            self._tick()
            waiting = [p for p in self.open if self._pending(p) and self.seen[p].whole is not False]
            if not waiting or time.time() >= until:
                break
            now = time.time()
            time.sleep(max(0.05, min(min(self.seen[p].due for p in waiting), until) - now))
            for path in list(self.open):
                self._observe(path, self.seen[path].name)
        for path in sorted(self.open):
            seen = self.seen[path]
            if self._pending(path):
                why = seen.reason if seen.whole is False else "still being written"
                self.say(f"{seen.name}: not taken ({why}); left for the next run")

    # -- looking at files ---------------------------------------------------------

    def _name(self, path: str) -> str:
        folder = self.folders.get(os.path.dirname(path))
        return os.path.join(folder, os.path.basename(path)) if folder is not None else path

    def _scan(self) -> None:
        """Lists every folder and looks at each RAW file there; forgets the files gone."""
        present: set[str] = set()
        for folder, named in self.folders.items():
            try:
                names = os.listdir(folder)
            except OSError as exc:
                if folder not in self.unlisted:  # said once, until it can be listed again
                    self.unlisted.add(folder)
                    self.say(f"{named}: cannot list the folder: {exc.strerror or exc}")
                present.update(p for p in self.seen if os.path.dirname(p) == folder)
                continue
            if folder in self.unlisted:
                self.unlisted.discard(folder)
                self.say(f"{named}: listed again")
            for name in names:
                if name.lower().endswith(RAW_SUFFIX) and not name.startswith("."):
                    path = os.path.join(folder, name)
                    present.add(path)
                    self._observe(path, os.path.join(named, name))
        for path in set(self.seen) - present:
            del self.seen[path]
            self.open.discard(path)

    def _observe(self, path: str, name: str) -> None:
        try:
            st = os.stat(path)
        except OSError:
            self.seen.pop(path, None)
            self.open.discard(path)
            return
        if not os.path.isfile(path):
            return
        facts = (st.st_size, st.st_mtime_ns)
        have = self.seen.get(path)
        if have is not None and have.facts == facts:
            return
        now = time.time()
        since = min(now, st.st_mtime) if self.credit_mtime else now
        if have is None and self.handled.get(path) != facts:
            self.last_new, self.quiet_said = now, False
        self.seen[path] = _Seen(name, facts, since, due=since + self.s.settle)
        if self.handled.get(path) == facts:
            self.open.discard(path)
        else:
            self.open.add(path)

    def _handled(self, path: str, facts: tuple[int, int]) -> None:
        self.handled[path] = facts
        seen = self.seen.get(path)
        if seen is not None and seen.facts == facts:
            self.open.discard(path)

    def _pending(self, path: str) -> bool:
        seen = self.seen[path]
        if self.handled.get(path) == seen.facts:
            return False
        failure = self.failures.get(path)
        return failure is None or failure[0] != seen.facts or failure[1] <= time.time()

    def _tick(self) -> None:
        """Takes the files that are finished; reports stalls, quiet and low space."""
        now = time.time()
        ready = []
        for path in list(self.open):
            seen = self.seen[path]
            if not self._pending(path) or seen.due > now:
                continue
            # Looked at again as it is now: unchanged since it was first seen so?
            self._observe(path, seen.name)
            seen = self.seen.get(path)  # type: ignore[assignment]
            if seen is None or not self._pending(path) or seen.due > now:
                continue
            if seen.whole is None:
                seen.reason = _not_whole(path, seen.facts[0])
                seen.whole = seen.reason is None
            if seen.whole:
                ready.append(path)
                continue
            seen.due = now + self.s.settle  # looked at again: has it grown?
            if self.s.stall is not None and now - seen.since >= self.s.stall:
                if self.s.force:
                    ready.append(path)  # it stopped growing: converted as it is, as --force asks
                elif (path, seen.facts) not in self.stalled:
                    self.stalled.add((path, seen.facts))
                    minutes = (now - seen.since) / 60
                    self._emit(
                        event(
                            STALLED,
                            f"{os.path.basename(path)} has not changed for {minutes:.0f} min and is not whole: "
                            f"{seen.reason}",
                            run=seen.name,
                            reason=seen.reason,
                            size=seen.facts[0],
                        ),
                        path,
                        seen.facts,
                    )
        self._check_quiet(now)
        room = self._space_ok()
        if ready and room:
            self._take(ready)
        elif ready:
            for path in ready:  # looked at again once there may be room
                self.seen[path].due = now + max(self.s.settle, RESCAN / 4)

    def _check_quiet(self, now: float) -> None:
        if self.s.quiet is None or self.quiet_said or now - self.last_new < self.s.quiet:
            return
        self.quiet_said = True
        hours = (now - self.last_new) / 3600
        self._emit(
            event(
                QUIET,
                f"no new run in {', '.join(self.folders.values())} for {hours:.1f} h",
                since=iso_now(self.last_new),
                hours=round(hours, 2),
            )
        )

    def _space_ok(self) -> bool:
        """Whether there is room under the output above the floor; when there
        is not, nothing is converted and a low-space event says so once."""
        if self.remote or (self.s.min_free is None and self.s.min_free_share is None):
            return True
        try:
            usage = shutil.disk_usage(self.out)
        except OSError:
            return True
        floor = self.s.min_free if self.s.min_free is not None else int(usage.total * (self.s.min_free_share or 0))
        if usage.free >= floor:
            if self.low_space:
                self.say(f"free space under {self.s.out} back above the floor: converting again")
            self.low_space = False
            return True
        if not self.low_space:
            self.low_space = True
            self._emit(
                event(
                    LOW_SPACE,
                    f"only {_size(usage.free)} free under {self.s.out} (floor {_size(floor)}): "
                    "runs wait until there is room",
                    free=usage.free,
                    floor=floor,
                    out=self.s.out,
                )
            )
        return False

    # -- taking files ------------------------------------------------------------

    def _take(self, paths: list[str]) -> None:
        """Converts the files `paths` as one batch (those done already are
        found up to date by the ledger and not converted again); each is
        added to the QC history and reported as soon as it is converted."""
        taken = {p: self.seen[p] for p in paths}
        convert_held(
            paths,
            self.s.to,
            self.out,
            jobs=self.s.jobs,
            dask_address=self.s.dask_address,
            on_outcome=lambda o: self._finish(o.source, taken[o.source], o),
            options=self.s.options,
            force=self.s.force,
            overwrite=self.s.overwrite,
            retry=self.s.retry,
            hash_inputs=self.s.hash_inputs,
            scratch=self.s.scratch,
        )
        now = time.time()
        for path, seen in taken.items():
            if path not in self.failures and self.handled.get(path) != seen.facts and self._unchanged(path, seen):
                # Not reported (its report failed): tried again later, not at once.
                self.failures[path] = (seen.facts, now + RETRY_FIRST, RETRY_FIRST)

    def _finish(self, path: str, seen: _Seen, outcome: Outcome) -> None:
        """One file's conversion ended: its QC, its events. A file changed
        meanwhile is looked at again, and nothing is said of a state it left."""
        try:
            if not self._unchanged(path, seen):
                return
            if not outcome.ok:
                self._failed(path, seen, outcome)
                return
            runs, errors = self._qc([path], {path: seen}) if self.history is not None else ({}, {})
            broken = self.history.broken(runs) if runs and self.history is not None else {}
            if not self._unchanged(path, seen):
                return
            self._done(path, seen, outcome, runs.get(path), errors.get(path), broken.get(path, {}))
            if path in runs:
                self._write_page(runs[path])
        except Exception as exc:  # one file's fault never ends the watcher
            self.say(f"{seen.name}: not reported: {type(exc).__name__}: {exc}")

    def _unchanged(self, path: str, seen: _Seen) -> bool:
        try:
            st = os.stat(path)
        except OSError:
            return False
        return (st.st_size, st.st_mtime_ns) == seen.facts

    def _qc(self, paths: list[str], taken: dict[str, _Seen]) -> tuple[dict[str, RunQC], dict[str, str]]:
        """The QC of the runs converted, each added to the history (in place
        of an earlier content of its file); the reason for each that failed."""
        assert self.history is not None
        got = gather(paths, jobs=self.s.jobs or 1, checksum=True)
        errors = {o.source: o.error or o.status for o in got.outcomes if o.status == FAILED}
        runs = {r.path: r for r in got.runs if self._unchanged(r.path, taken[r.path])}
        if runs:
            try:
                self.history.add(list(runs.values()))
            except (OutputError, OSError) as exc:
                for path in runs:
                    errors[path] = f"not added to the QC history: {exc}"
                return {}, errors
        return runs, errors

    def _write_page(self, last: RunQC) -> None:
        assert self.history is not None
        try:
            self.history.write_page(last)
        except (OutputError, OSError) as exc:
            self.say(f"history page not written: {exc}")

    def _done(
        self,
        path: str,
        seen: _Seen,
        outcome: Outcome,
        run: RunQC | None,
        qc_error: str | None,
        broken: dict[str, dict[str, Any]],
    ) -> None:
        name = os.path.basename(path)
        versions = self.versions.setdefault(path, set())
        versions.add(seen.facts)
        version = len(versions)
        metrics: dict[str, float] = {}
        if run is not None:
            metrics = self.history.metrics(run) if self.history is not None else {}
        outputs = list(outcome.outputs)
        text = f"{name} {'converted' if outcome.status == CONVERTED else 'found converted already'}"
        if version > 1:
            text += f" (version {version}: the file changed after it was taken)"
        text += f": {', '.join(os.path.basename(o) for o in outputs) or 'no output'}"
        if run is not None:
            text += "; " + (self.history.summary(run) if self.history is not None else "")
        elif self.history is not None:
            text += f"; QC not recorded: {qc_error or 'not read'}"
        fields: dict[str, Any] = {"name": name, "version": version, "status": outcome.status, "outputs": outputs}
        if self.history is not None:
            fields["metrics"] = metrics
            fields["qc"] = "added" if run is not None else qc_error or "not read"
        if outcome.warnings:
            fields["warnings"] = dict(outcome.warnings)
        self._handled(path, seen.facts)
        self.failures.pop(path, None)
        self._emit(event(DONE, text, run=seen.name, **fields), path, seen.facts)
        if broken:
            rules = sorted({r for m in broken.values() for r in m["rules"]})
            said = "; ".join(
                f"{metric} {_num(m['value'])} (mean {_num(m['mean'])}, SD {_num(m['sd'])}): {', '.join(m['rules'])}"
                for metric, m in broken.items()
            )
            self._emit(
                event(
                    RULE,
                    f"{name} breaks {', '.join(rules)}: {said}",
                    run=seen.name,
                    name=name,
                    rules=rules,
                    metrics=broken,
                ),
                path,
                seen.facts,
            )

    def _failed(self, path: str, seen: _Seen, outcome: Outcome) -> None:
        previous = self.failures.get(path)
        if outcome.status == FAILED and outcome.transient:
            wait = RETRY_FIRST if previous is None or previous[0] != seen.facts else min(previous[2] * 2, RETRY_MAX)
            self.failures[path] = (seen.facts, time.time() + wait, wait)
            if previous is not None and previous[0] == seen.facts:
                return  # said once for this content; tried again later, quietly
        else:
            self._handled(path, seen.facts)
        self.failed += 1
        name = os.path.basename(path)
        self._emit(
            event(
                FAILED,
                f"{name} {outcome.status}: {outcome.error}",
                run=seen.name,
                name=name,
                status=outcome.status,
                reason=outcome.error,
                transient=outcome.transient,
            ),
            path,
            seen.facts,
        )

    def _emit(self, document: dict[str, Any], path: str | None = None, facts: tuple[int, int] | None = None) -> None:
        assert self.notifier is not None
        self.notifier.emit(document, input_path=path, facts=facts)


def _watchdog() -> tuple[Any, Any]:
    """watchdog's events module and its observer class."""
    try:
        from watchdog import events
        from watchdog.observers import Observer
    except ImportError as exc:
        raise missing("watchdog", "watching folders by file events (--poll SECONDS needs nothing)", "watch") from exc
    return events, Observer


def _not_whole(path: str, size: int) -> str | None:
    """Why the file is not whole by its layout verdict, or None when it is."""
    from vantoro import RawFileReader

    try:
        version = int(RawFileReader(path).version)
    except OSError as exc:
        return describe_failure(path, exc)
    except ValueError:
        # A name the reader cannot take (not UTF-8) never changes: taken as
        # it is, and its conversion fails it once, saying why.
        return None
    return judge_file(path, version, size).reason


def _num(value: float) -> str:
    return f"{value:.4g}"


def _size(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(n) < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TiB"
