"""The watcher's events: each one a JSON object, logged as one line,
recorded under the output's ledger, and delivered to a webhook and/or a
command, retried with backoff when it cannot be.

Every event has `event` (one of EVENTS), `time` (ISO 8601, UTC), `text`
(one line a person reads) and, where it concerns one input, `run` (the
input as named); a `rule` event also has `rules` (the rule names, as the
report writes them) and `metrics` (each metric that broke one, with its
value and limits).

The record of an event is a JSON file of its own under
`OUT/.vantoro-ledger/_events/`, written whole (through the output layer)
before it is delivered and again once its delivery has succeeded or been
given up: `{"event": ..., "input": ..., "size": ..., "mtime_ns": ...,
"delivery": {"status": ..., "attempts": ..., "error": ...}}`. The input's
size and modification time say which content of it the event was about."""

from __future__ import annotations

import contextlib
import datetime as dt
import heapq
import json
import math
import os
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from ..base.text import json_text, printable
from ..write.output import atomic_path, is_url, upload, url_fs
from .ledger import LEDGER_DIR
from .outcome import FAILED

#: The events a watcher reports. `failed` is the outcome's status of the same name.
DONE, RULE, STALLED, QUIET, LOW_SPACE = "done", "rule", "stalled", "quiet", "low-space"
EVENTS = (DONE, RULE, FAILED, STALLED, QUIET, LOW_SPACE)
#: Delivery states recorded with each event.
PENDING, DELIVERED, UNDELIVERABLE, NOT_SENT = "pending", "delivered", "undeliverable", "not sent"
#: Inside the ledger's directory, named so that a Parquet reader of the directory passes over it.
EVENTS_DIR = "_events"
#: First wait before a failed delivery is tried again, doubled each time up to BACKOFF_MAX; seconds.
BACKOFF_FIRST, BACKOFF_MAX = 1.0, 600.0
#: How long an event is tried before it is recorded undeliverable: a day, seconds.
RETRY_FOR = 86_400.0
#: How long one delivery may take: the webhook's answer, the command's run; seconds.
DELIVERY_TIMEOUT = 30.0
#: How long a stopping watcher waits for a delivery under way; seconds.
STOP_WAIT = 2.0


def iso_now(now: float | None = None) -> str:
    """A moment (default: now) as ISO 8601 text in UTC, to the millisecond."""
    moment = dt.datetime.fromtimestamp(time.time() if now is None else now, dt.timezone.utc)
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


def event(kind: str, text: str, *, run: str | None = None, **fields: Any) -> dict[str, Any]:
    """One event, its fields in the order a reader expects them."""
    document: dict[str, Any] = {"event": kind, "time": iso_now()}
    if run is not None:
        document["run"] = run
    document["text"] = printable(text)
    document.update(_json_safe(fields))
    return document


def _json_safe(value: Any) -> Any:
    """`value` with every float that JSON cannot hold (NaN, infinities) as None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    return value


def log_line(document: Mapping[str, Any]) -> str:
    """The line the watcher logs for an event: its time, its kind, then the
    event itself as one line of JSON (`cut -d' ' -f3-` gives it back)."""
    return f"{document['time']} {document['event']} {json_text(document, allow_nan=False)}"


# -- the record under the ledger -------------------------------------------------


class EventLog:
    """The events recorded under an output (a directory or a URL prefix)."""

    def __init__(self, out: str):
        self.path = os.path.join(out, LEDGER_DIR, EVENTS_DIR)
        self.remote = is_url(out)
        self._seq = 0
        self._lock = threading.Lock()

    def new_name(self, document: Mapping[str, Any]) -> str:
        with self._lock:
            self._seq += 1
            seq = self._seq
        stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime())
        return f"{stamp}-{os.getpid()}-{seq:06d}-{document['event']}.json"

    def write(self, name: str, record: Mapping[str, Any]) -> None:
        """Writes one record whole, replacing an earlier one of that name.
        Raises OSError (OutputError) when it cannot."""
        text = json_text(record, indent=1) + "\n"
        dest = os.path.join(self.path, name)
        if self.remote:
            with tempfile.TemporaryDirectory(prefix=".vantoro-event.") as staging:
                local = os.path.join(staging, name)
                with open(local, "w", encoding="utf-8") as f:
                    f.write(text)
                upload(local, dest)
            return
        os.makedirs(self.path, exist_ok=True)
        with atomic_path(dest) as tmp, open(tmp, "w", encoding="utf-8") as f:
            f.write(text)

    def records(self) -> Iterator[tuple[str, dict[str, Any]]]:
        """Every record, oldest first, with its name; one that cannot be read is left out."""
        if self.remote:
            fs, where = url_fs(self.path)
            try:
                names = sorted(os.path.basename(n) for n in fs.ls(where, detail=False))
            except FileNotFoundError:
                return
            for name in names:
                if name.endswith(".json"):
                    try:
                        record = json.loads(fs.cat_file(f"{where}/{name}"))
                    except Exception:  # any failure of the store, or a record that is not JSON
                        continue
                    if isinstance(record, dict) and isinstance(record.get("event"), dict):
                        yield name, record
            return
        try:
            names = sorted(os.listdir(self.path))
        except (FileNotFoundError, NotADirectoryError):
            return
        for name in names:
            if name.endswith(".json") and not name.startswith("."):
                try:
                    with open(os.path.join(self.path, name), encoding="utf-8") as f:
                        record = json.load(f)
                except (OSError, ValueError):
                    continue
                if isinstance(record, dict) and isinstance(record.get("event"), dict):
                    yield name, record


# -- delivery ---------------------------------------------------------------------


def post_json(url: str, document: Mapping[str, Any], timeout: float = DELIVERY_TIMEOUT) -> None:
    """POSTs `document` to `url` as JSON; raises OSError unless it answers 2xx."""
    body = json_text(document).encode("utf-8")
    request = urllib.request.Request(
        url, data=body, method="POST", headers={"Content-Type": "application/json; charset=utf-8"}
    )
    try:
        with urllib.request.urlopen(request, timeout=timeout) as reply:
            reply.read()
    except urllib.error.HTTPError as exc:
        raise OSError(f"{url} answered {exc.code} {exc.reason}") from None
    except (urllib.error.URLError, TimeoutError, ValueError) as exc:
        raise OSError(f"{url}: {getattr(exc, 'reason', exc)}") from None


def run_command(command: str, document: Mapping[str, Any], timeout: float = DELIVERY_TIMEOUT) -> None:
    """Runs `command` (through the shell) with `document` as JSON on its
    standard input; raises OSError unless it exits 0."""
    text = json_text(document) + "\n"
    try:
        done = subprocess.run(
            command, shell=True, input=text.encode("utf-8"), capture_output=True, timeout=timeout, check=False
        )
    except subprocess.TimeoutExpired:
        raise OSError(f"{command!r} did not finish within {timeout:.0f} s") from None
    if done.returncode != 0:
        said = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise OSError(f"{command!r} exited {done.returncode}" + (f": {said[-1]}" if said else ""))


@dataclass(order=True)
class _Pending:
    due: float
    name: str = field(compare=True)
    record: dict[str, Any] = field(compare=False, default_factory=dict)
    first: float = field(compare=False, default=0.0)
    wait: float = field(compare=False, default=BACKOFF_FIRST)
    #: the targets that took it already: a retry goes to the others only
    done: set[str] = field(compare=False, default_factory=set)


class Notifier:
    """Records each event, logs its line and delivers it on a thread of its
    own to `url` (POST) and `command` (standard input); a delivery that
    fails is tried again after 1, 2, 4 ... seconds (at most BACKOFF_MAX),
    for `retry_for` seconds after the event, then recorded undeliverable.
    Nothing here raises into the watcher: a record that cannot be written
    is said on the log."""

    def __init__(
        self,
        log: EventLog,
        *,
        url: str | None = None,
        command: str | None = None,
        say: Callable[[str], None],
        retry_for: float = RETRY_FOR,
        backoff: tuple[float, float] = (BACKOFF_FIRST, BACKOFF_MAX),
    ):
        self.log, self.url, self.command, self.say = log, url, command, say
        self.retry_for, self.backoff = retry_for, backoff
        self.targets = [t for t, on in (("url", url), ("command", command)) if on]
        self._queue: list[_Pending] = []
        self._cond = threading.Condition()
        self._stop = False
        self._busy = 0
        self._thread = threading.Thread(target=self._deliver_all, name="vantoro-notify", daemon=True)
        self._thread.start()

    def emit(
        self, document: dict[str, Any], *, input_path: str | None = None, facts: Sequence[int] | None = None
    ) -> None:
        """Logs, records and (where there is a target) queues one event."""
        with contextlib.suppress(OSError):  # a log that went away: the record and the delivery still follow
            print(log_line(document), flush=True)
        record: dict[str, Any] = {"event": document, "input": input_path}
        if facts is not None:
            record["size"], record["mtime_ns"] = int(facts[0]), int(facts[1])
        record["delivery"] = {"status": PENDING if self.targets else NOT_SENT, "attempts": 0, "error": None}
        name = self.log.new_name(document)
        self._record(name, record)
        if self.targets:
            self._put(_Pending(time.monotonic(), name, record, first=time.time(), wait=self.backoff[0]))

    def resume(self, name: str, record: dict[str, Any]) -> None:
        """Queues an event recorded pending by an earlier watcher, for the rest of its day of retries."""
        if not self.targets:
            return
        try:
            first = dt.datetime.fromisoformat(str(record["event"]["time"]).replace("Z", "+00:00")).timestamp()
        except (KeyError, TypeError, ValueError):
            first = time.time()
        self._put(_Pending(time.monotonic(), name, record, first=first, wait=self.backoff[0]))

    def _put(self, item: _Pending) -> None:
        with self._cond:
            heapq.heappush(self._queue, item)
            self._cond.notify()

    def _record(self, name: str, record: Mapping[str, Any]) -> None:
        try:
            self.log.write(name, record)
        except OSError as exc:
            self.say(f"event record {name} not written: {exc}")

    def idle(self, timeout: float) -> bool:
        """Waits up to `timeout` seconds until nothing is queued or being
        delivered (an event waiting for a retry counts); whether it is so."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while self._queue or self._busy:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(min(left, 0.1))
            return True

    def close(self) -> None:
        """Ends the delivery thread; events still queued stay recorded
        pending, and the next watcher delivers them."""
        with self._cond:
            self._stop = True
            self._cond.notify_all()
        self._thread.join(timeout=STOP_WAIT)

    def _deliver_all(self) -> None:
        while True:
            with self._cond:
                while not self._stop and (not self._queue or self._queue[0].due > time.monotonic()):
                    wait = self._queue[0].due - time.monotonic() if self._queue else None
                    self._cond.wait(wait)
                if self._stop:
                    return
                item = heapq.heappop(self._queue)
                self._busy += 1
            try:
                self._deliver(item)
            finally:
                with self._cond:
                    self._busy -= 1
                    self._cond.notify_all()

    def _deliver(self, item: _Pending) -> None:
        document = item.record["event"]
        delivery = item.record["delivery"]
        delivery["attempts"] = int(delivery.get("attempts", 0)) + 1
        errors = []
        for target in self.targets:
            if target in item.done:
                continue
            try:
                if target == "url":
                    post_json(str(self.url), document)
                else:
                    run_command(str(self.command), document)
                item.done.add(target)
            except OSError as exc:
                errors.append(str(exc))
            except Exception as exc:  # a delivery's fault never ends the thread
                errors.append(f"{type(exc).__name__}: {exc}")
        if not errors:
            delivery.update(status=DELIVERED, error=None, delivered=iso_now())
            self._record(item.name, item.record)
            return
        delivery["error"] = "; ".join(errors)
        if time.time() - item.first >= self.retry_for:
            delivery["status"] = UNDELIVERABLE
            self._record(item.name, item.record)
            self.say(f"{document['event']} event undeliverable after {delivery['attempts']} attempts: {errors[0]}")
            return
        self._record(item.name, item.record)
        if delivery["attempts"] == 1:
            self.say(f"{document['event']} event not delivered, trying again: {errors[0]}")
        item.due = time.monotonic() + item.wait
        item.wait = min(item.wait * 2, self.backoff[1])
        self._put(item)


def say_line(text: str) -> None:
    """A line of the watcher's own (not an event): timestamped like the events, on standard error."""
    print(f"{iso_now()} vantoro: {printable(text)}", file=sys.stderr, flush=True)
