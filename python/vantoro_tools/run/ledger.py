"""The batch ledger: what every batch did to every input, kept with its
outputs as a Parquet dataset (`OUT/.vantoro-ledger/*.parquet`) that DuckDB
or pyarrow read as one table.

Each record is a small Parquet file of its own, written whole through the
output layer as soon as its attempt ends, so a batch that dies loses at most
the record in flight. An input's state is its latest record (the greatest
`recorded`); a re-run skips an input only when that record and the outputs
on disk agree that it is done."""

from __future__ import annotations

import datetime as dt
import io
import json
import os
import secrets
import socket
import tempfile
import time
from collections.abc import Mapping, Sequence
from typing import Any

from ..base.deps import missing
from ..base.version import tool_version
from ..write.output import OutputError, atomic_path, is_url, object_size, sha256_file, upload, url_fs, url_identity
from .outcome import CONVERTED, UP_TO_DATE, Outcome

LEDGER_DIR = ".vantoro-ledger"
#: The statuses that say an input is done.
DONE = (CONVERTED, UP_TO_DATE)


def _arrow() -> tuple[Any, Any, Any]:
    try:
        import pyarrow as pa
        import pyarrow.json as pj
        import pyarrow.parquet as pq
    except ImportError as exc:
        raise missing("pyarrow", "the batch ledger of vantoro convert", "convert") from exc
    return pa, pq, pj


def schema() -> Any:
    pa, _, _ = _arrow()
    moment = pa.timestamp("ns", tz="UTC")
    output = pa.struct([("path", pa.string()), ("size", pa.int64()), ("sha256", pa.string())])
    return pa.schema(
        [
            ("batch", pa.string()),
            ("seq", pa.int64()),
            ("recorded", moment),
            ("input", pa.string()),
            ("input_size", pa.int64()),
            ("input_mtime_ns", pa.int64()),
            ("input_sha256", pa.string()),
            ("options", pa.string()),
            ("vantoro_version", pa.string()),
            ("status", pa.string()),
            ("error", pa.string()),
            ("transient", pa.bool_()),
            ("attempt", pa.int64()),
            ("outputs", pa.list_(output)),
            ("host", pa.string()),
            ("worker", pa.string()),
            ("started", moment),
            ("ended", moment),
        ]
    )


def _identity(path: str, hash_input: bool) -> tuple[int | None, int | None, str | None]:
    if is_url(path):
        try:
            return int(url_identity(path)[0]), None, None
        except (OSError, ValueError):
            return None, None, None
    try:
        st = os.stat(path)
    except OSError:
        return None, None, None
    digest = None
    if hash_input:
        try:
            digest = sha256_file(path)
        except OSError:
            pass
    return st.st_size, st.st_mtime_ns, digest


#: The columns that hold moments, kept as nanoseconds since 1970 (UTC).
MOMENTS = ("recorded", "started", "ended")


def _iso(ns: int) -> str:
    """A moment in nanoseconds since 1970 as ISO 8601 text, every digit kept."""
    whole = dt.datetime.fromtimestamp(ns // 1_000_000_000, dt.timezone.utc)
    return f"{whole:%Y-%m-%dT%H:%M:%S}.{ns % 1_000_000_000:09d}Z"


class Ledger:
    """The records of one batch into the ledger under `out_dir`."""

    def __init__(self, out_dir: str, options: Mapping[str, Any], *, hash_inputs: bool = False):
        self.pa, self.pq, self.pj = _arrow()
        self.schema = schema()
        self.directory = os.path.join(out_dir, LEDGER_DIR)
        self.batch = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()) + "-" + secrets.token_hex(4)
        self.options = json.dumps(dict(options), sort_keys=True)
        self.hash_inputs = hash_inputs
        self.version = tool_version()
        self.seq = 0

    def _table(self, row: Mapping[str, Any]) -> Any:
        """One record as an Arrow table. Read from its JSON text by Arrow's
        JSON reader with the ledger's schema: building it from Python
        objects (`Table.from_pylist`) would import pandas, which costs a
        conversion a fifth of a second and 90 MiB."""
        text = {k: _iso(v) if k in MOMENTS else v for k, v in row.items()}
        return self.pj.read_json(
            io.BytesIO(json.dumps(text).encode("utf-8")),
            parse_options=self.pj.ParseOptions(explicit_schema=self.schema),
        )

    def record(self, outcome: Outcome, location: str, *, attempt: int = 1) -> bool:
        """Appends the record of one attempt at `location` (the input as the
        task saw it); False when it could not be written (the store or the
        directory refused it), which the caller reports."""
        try:
            self._record(outcome, location, attempt)
        except OutputError:
            return False
        except OSError:
            return False
        return True

    def _record(self, outcome: Outcome, location: str, attempt: int) -> None:
        self.seq += 1
        now = time.time_ns()
        size, mtime, digest = _identity(location, self.hash_inputs)
        details = outcome.details
        row = {
            "batch": self.batch,
            "seq": self.seq,
            "recorded": now,
            "input": location,
            "input_size": size,
            "input_mtime_ns": mtime,
            "input_sha256": digest,
            "options": self.options,
            "vantoro_version": self.version,
            "status": outcome.status,
            "error": outcome.error,
            "transient": outcome.transient,
            "attempt": attempt,
            "outputs": list(details.get("outputs", [])),
            "host": details.get("host", socket.gethostname()),
            "worker": details.get("worker"),
            "started": details.get("started_ns", now),
            "ended": details.get("ended_ns", now),
        }
        table = self._table(row)
        dest = os.path.join(self.directory, f"{self.batch}-{self.seq:07d}.parquet")
        if is_url(dest):
            with tempfile.TemporaryDirectory(prefix=".vantoro-ledger.") as staging:
                local = os.path.join(staging, os.path.basename(dest))
                self.pq.write_table(table, local)
                upload(local, dest)
            return
        os.makedirs(self.directory, exist_ok=True)
        with atomic_path(dest) as tmp:
            self.pq.write_table(table, tmp)


def latest(out_dir: str) -> dict[str, dict[str, Any]]:
    """Each input's latest record in the ledger under `out_dir` (none when it has no ledger)."""
    directory = os.path.join(out_dir, LEDGER_DIR)
    _, pq, _ = _arrow()
    fs: Any = None
    if is_url(directory):
        fs, where = url_fs(directory)
        try:
            names = sorted(os.path.basename(n) for n in fs.ls(where, detail=False))
        except FileNotFoundError:
            return {}
    elif os.path.isdir(directory):
        names = sorted(os.listdir(directory))
    else:
        return {}
    names = [n for n in names if n.endswith(".parquet") and not n.startswith(".")]
    columns = ["seq", "recorded", "input", "input_size", "input_mtime_ns", "options", "status", "outputs"]
    found: dict[str, dict[str, Any]] = {}
    for name in names:
        path = os.path.join(directory, name)
        try:
            if fs is not None:
                with fs.open(url_fs(path)[1], "rb") as f:
                    rows = pq.read_table(f, columns=columns).to_pylist()
            else:
                rows = pq.read_table(path, columns=columns).to_pylist()
        except (OSError, ValueError):
            continue  # a record that cannot be read says nothing is done
        for row in rows:
            key = (row["recorded"], row["seq"])
            have = found.get(row["input"])
            if have is None or key > (have["recorded"], have["seq"]):
                found[row["input"]] = row
    return found


def shows_done(record: Mapping[str, Any] | None, location: str, options: Mapping[str, Any]) -> bool:
    """Whether `record` (an input's latest) shows the input done as it is now,
    with these options, and every output it recorded still of its recorded size."""
    if record is None or record["status"] not in DONE:
        return False
    if record["options"] != json.dumps(dict(options), sort_keys=True):
        return False
    size, mtime, _ = _identity(location, False)
    if (record["input_size"], record["input_mtime_ns"]) != (size, mtime):
        return False
    return all(object_size(o["path"]) == o["size"] for o in record["outputs"] or [])


def summary(
    outcomes: Sequence[Outcome], *, batch: str | None, options: Mapping[str, Any], started: float, ended: float
) -> dict[str, Any]:
    """A machine-readable account of a batch: counts by status and one entry per input."""
    counts: dict[str, int] = {}
    for o in outcomes:
        counts[o.status] = counts.get(o.status, 0) + 1
    return {
        "batch": batch,
        "vantoro_version": tool_version(),
        "options": dict(options),
        "started": started,
        "ended": ended,
        "counts": counts,
        "inputs": [_entry(o) for o in outcomes],
    }


def _entry(o: Outcome) -> dict[str, Any]:
    return {
        "input": o.source,
        "status": o.status,
        "error": o.error,
        "attempts": o.details.get("attempt", 1),
        "outputs": list(o.details.get("outputs", [])) or [{"path": p} for p in o.outputs],
        "warnings": dict(o.warnings),
    }


def as_json(document: Mapping[str, Any]) -> str:
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"
