"""The batch ledger: what every batch did to every input, kept with its
outputs as a Parquet dataset (`OUT/.vantoro-ledger/*.parquet`) that DuckDB
or pyarrow read as one table.

Each record is a small Parquet file of its own (`<batch>-<seq>.parquet`),
written whole through the output layer as soon as its attempt ends (its
outputs hashed), so a batch that dies loses at most the records of the
attempts in flight. A task on a worker writes its own record (`Ticket`,
`write_record`), so that a batch's command spends nothing per file on
writing it; the command writes those of attempts whose worker could not.
A batch writes its files without Arrow (see `rows_parquet`): the command
that keeps the ledger never imports it unless it reads an earlier batch's
files. When the batch ends (still holding the output directory)
its records are merged into one file, `<batch>.parquet`, written whole
before the record files are removed; a crash between the two leaves rows
twice, and a row is identified by (`batch`, `seq`), so readers count it once
and the next batch removes the record files. The next batch also merges the
record files of a batch that died, and, when more than `MERGE_AT` files have
gathered, merges them all into one. An input's state is its latest record
(the greatest `recorded`); a re-run skips an input only when that record and
the outputs on disk agree that it is done."""

from __future__ import annotations

import contextlib
import importlib.util
import json
import os
import re
import secrets
import socket
import tempfile
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any

from ..base.deps import missing
from ..base.paths import sha256_file
from ..base.text import json_text
from ..base.urls import is_url, url_fs, url_identity
from ..base.version import tool_version
from ..write.output import atomic_path, object_size, remove_dead_parts, upload
from .outcome import CONVERTED, UP_TO_DATE, Outcome
from .rows_parquet import named_by, parquet_bytes

LEDGER_DIR = ".vantoro-ledger"
#: The statuses that say an input is done.
DONE = (CONVERTED, UP_TO_DATE)
#: More files than this in the ledger are merged into one by the next batch.
MERGE_AT = 32
#: <batch>-<seq>.parquet: one record; <batch>.parquet: one batch; merged-<batch>.parquet: many batches.
_RECORD = re.compile(r"^(?P<batch>\d{8}T\d{6}Z-[0-9a-f]{8})-\d{7}\.parquet$")
_BATCH = re.compile(r"^(?:merged-)?(?P<batch>\d{8}T\d{6}Z-[0-9a-f]{8})\.parquet$")


def _arrow() -> tuple[Any, Any]:
    """pyarrow, to read ledger files, and merge those of other batches."""
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError as exc:
        raise missing("pyarrow", "the batch ledger of vantoro convert", "convert") from exc
    return pa, pq


#: The ledger's columns, in the kinds of `rows_parquet`.
COLUMNS: tuple[tuple[str, Any], ...] = (
    ("batch", "string"),
    ("seq", "int64"),
    ("recorded", "timestamp"),
    ("input", "string"),
    ("input_size", "int64"),
    ("input_mtime_ns", "int64"),
    ("input_sha256", "string"),
    ("options", "string"),
    ("vantoro_version", "string"),
    ("status", "string"),
    ("error", "string"),
    ("transient", "bool"),
    ("attempt", "int64"),
    ("outputs", ("list", (("path", "string"), ("size", "int64"), ("sha256", "string")))),
    ("host", "string"),
    ("worker", "string"),
    ("started", "timestamp"),
    ("ended", "timestamp"),
    # Of the scans at the format's levels: with a peak list, and with none found.
    ("spectra_with_peaks", "int64"),
    ("spectra_without_peaks", "int64"),
)


def schema() -> Any:
    """The ledger's columns as an Arrow schema, as Arrow reads the files."""
    pa, _ = _arrow()
    leaf = {"string": pa.string(), "int64": pa.int64(), "bool": pa.bool_(), "timestamp": pa.timestamp("ns", tz="UTC")}

    def arrow(kind: Any) -> Any:
        if isinstance(kind, str):
            return leaf[kind]
        return pa.list_(pa.field("element", pa.struct([(n, leaf[k]) for n, k in kind[1]])))

    return pa.schema([(name, arrow(kind)) for name, kind in COLUMNS])


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


class _Directory:
    """The ledger's directory, local or under a URL: listing, reading and
    writing whole files, removing."""

    def __init__(self, out_dir: str):
        self.path = os.path.join(out_dir, LEDGER_DIR)
        self.remote = is_url(self.path)

    def names(self) -> list[str]:
        """The finished ledger files (never a partial one), sorted."""
        if self.remote:
            fs, where = url_fs(self.path)
            try:
                names = [os.path.basename(n) for n in fs.ls(where, detail=False)]
            except FileNotFoundError:
                return []
        else:
            try:
                names = os.listdir(self.path)
            except (FileNotFoundError, NotADirectoryError):
                return []
        return sorted(n for n in names if n.endswith(".parquet") and not n.startswith("."))

    def read(self, name: str, columns: Sequence[str] | None = None) -> Any:
        _, pq = _arrow()
        path = os.path.join(self.path, name)
        if self.remote:
            fs, where = url_fs(path)
            with fs.open(where, "rb") as f:
                return pq.ParquetFile(f).read(columns=columns)
        # Opened here: Arrow takes a path as UTF-8 only, and a folder's name need not be.
        with open(path, "rb") as f:
            return pq.ParquetFile(f).read(columns=columns)

    def write(self, name: str, table: Any) -> None:
        """Writes the Arrow `table` as ledger file `name`, whole or not at all."""
        _, pq = _arrow()

        def write(path: str) -> None:
            with open(path, "wb") as f:
                pq.write_table(table, f)

        self._write(name, write)

    def write_rows(self, name: str, rows: Sequence[Mapping[str, Any]]) -> None:
        """Writes `rows` (ledger records) as ledger file `name`, whole or not at all."""
        data = parquet_bytes(COLUMNS, rows)

        def write(path: str) -> None:
            with open(path, "wb") as f:
                f.write(data)

        self._write(name, write)

    def _write(self, name: str, write: Callable[[str], None]) -> None:
        dest = os.path.join(self.path, name)
        if self.remote:
            with tempfile.TemporaryDirectory(prefix=".vantoro-ledger.") as staging:
                local = os.path.join(staging, name)
                write(local)
                upload(local, dest)
            return
        os.makedirs(self.path, exist_ok=True)
        with atomic_path(dest) as tmp:
            write(tmp)

    def remove(self, names: Sequence[str]) -> None:
        if not names:
            return
        paths = [os.path.join(self.path, n) for n in names]
        if self.remote:
            fs, _ = url_fs(self.path)
            fs.rm([url_fs(p)[1] for p in paths])
            return
        for path in paths:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)


def _concat(pa: Any, tables: Sequence[Any]) -> Any:
    try:
        return pa.concat_tables(tables, promote_options="default")
    except TypeError:  # pyarrow before 14
        return pa.concat_tables(tables, promote=True)


def _distinct(pa: Any, tables: Sequence[Any]) -> Any:
    """The rows of `tables` as one table, each (batch, seq) once. Files
    written before a column was added have it empty."""
    table = _concat(pa, tables)
    seen: set[tuple[str, int]] = set()
    keep = []
    for k, key in enumerate(zip(table.column("batch").to_pylist(), table.column("seq").to_pylist())):
        if key not in seen:
            seen.add(key)
            keep.append(k)
    return table if len(keep) == table.num_rows else table.take(keep)


@dataclass(frozen=True)
class Ticket:
    """One attempt's place in a batch's ledger, handed to the task that
    makes the attempt so that it writes its record where it runs."""

    out_dir: str
    batch: str
    seq: int
    attempt: int
    options: str
    version: str
    hash_inputs: bool

    def row(self, outcome: Outcome, location: str) -> dict[str, Any]:
        """The record of `outcome`, the attempt at `location` (the input as the task saw it)."""
        now = time.time_ns()
        size, mtime, digest = _identity(location, self.hash_inputs)
        details = outcome.details
        return {
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
            "attempt": self.attempt,
            "outputs": list(details.get("outputs", [])),
            "host": details.get("host", socket.gethostname()),
            "worker": details.get("worker"),
            "started": details.get("started_ns", now),
            "ended": details.get("ended_ns", now),
            "spectra_with_peaks": None if outcome.spectra is None else outcome.spectra[0],
            "spectra_without_peaks": None if outcome.spectra is None else outcome.spectra[1],
        }

    @property
    def name(self) -> str:
        return f"{self.batch}-{self.seq:07d}.parquet"


#: Where an outcome carries the record its task wrote (taken off by `Ledger.take`).
WRITTEN = "ledger_record"


def write_record(ticket: Ticket, outcome: Outcome, location: str) -> Outcome:
    """Writes the record of `outcome` (the attempt at `location`) where the
    task ran, and returns the outcome carrying it for its batch's `take`;
    the outcome alone when it could not be written (the batch writes it)."""
    row = ticket.row(outcome, location)
    try:
        _Directory(ticket.out_dir).write_rows(ticket.name, [row])
    except OSError:  # OutputError too: left to the command
        return outcome
    return replace(outcome, details={**outcome.details, WRITTEN: row})


class Ledger:
    """The records of one batch into the ledger under `out_dir`; `close()`
    merges them into one file when the batch ends."""

    def __init__(self, out_dir: str, options: Mapping[str, Any], *, hash_inputs: bool = False):
        # Reading the ledger needs pyarrow: a ledger nothing can read is refused at once.
        if importlib.util.find_spec("pyarrow") is None:
            raise missing("pyarrow", "the batch ledger of vantoro convert", "convert")
        self.dir = _Directory(out_dir)
        self.directory = self.dir.path
        self.batch = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()) + "-" + secrets.token_hex(4)
        self.options = json.dumps(dict(options), sort_keys=True)
        self.hash_inputs = hash_inputs
        self.version = tool_version()
        self.out_dir = out_dir
        self.seq = 0
        #: this batch's records, and the files they were written to
        self._rows: list[dict[str, Any]] = []
        self._files: list[str] = []

    def ticket(self, attempt: int = 1) -> Ticket:
        """The next record's place, for an attempt whose task writes it (see `take`)."""
        self.seq += 1
        return Ticket(self.out_dir, self.batch, self.seq, attempt, self.options, self.version, self.hash_inputs)

    def record(self, outcome: Outcome, location: str, *, attempt: int = 1) -> bool:
        """Appends the record of one attempt at `location` (the input as the
        task saw it); False when it could not be written (the store or the
        directory refused it), which the caller reports."""
        return self.take(self.ticket(attempt), outcome, location)[1]

    def take(self, ticket: Ticket, outcome: Outcome, location: str) -> tuple[Outcome, bool]:
        """The record of the attempt `ticket` gave: the one its task wrote
        (carried by `outcome`, which is returned without it), or written
        here; and whether it is written."""
        row = outcome.details.get(WRITTEN)
        if row is not None:
            outcome = replace(outcome, details={k: v for k, v in outcome.details.items() if k != WRITTEN})
        else:
            row = ticket.row(outcome, location)
            try:
                self.dir.write_rows(ticket.name, [row])
            except OSError:  # OutputError too
                return outcome, False
        self._rows.append(row)
        self._files.append(ticket.name)
        return outcome, True

    def close(self) -> None:
        """Merges this batch's records into one file, then tidies the
        ledger: record files of batches that died merged likewise, and all
        files merged into one when there are more than `MERGE_AT`. Call it
        while holding the output directory. A step that fails (a store's
        error, or a file Arrow cannot read) leaves the ledger as it was,
        still whole; it is tried again by the next batch."""
        with contextlib.suppress(OSError, ValueError):
            if self._rows:
                self.dir.write_rows(f"{self.batch}.parquet", self._rows)
                self.dir.remove(self._files)
                self._rows, self._files = [], []
            tidy(self.dir, self.batch)


def tidy(directory: _Directory, current: str | None = None) -> None:
    """Removes the partial files of batches that died, merges the record
    files of each batch but `current` into one file per batch (into the
    file that holds the batch already, where there is one: a batch killed
    while merging, or a record its task wrote after the batch ended), then
    every file into one when there are more than `MERGE_AT`. Raises
    OSError, or ValueError for a file Arrow cannot read. Arrow is imported
    only when there is something to merge."""
    if not directory.remote:
        # A record file being written when its batch was killed.
        remove_dead_parts(directory.path)
    names = directory.names()
    whole = {m["batch"]: n for n, m in zip(names, map(_BATCH.match, names)) if m is not None}
    records: dict[str, list[str]] = {}
    for name in names:
        match = _RECORD.match(name)
        if match is not None and match["batch"] != current:
            records.setdefault(match["batch"], []).append(name)
    for batch, files in records.items():
        pa, _ = _arrow()
        into = whole.get(batch, f"{batch}.parquet")
        tables = [directory.read(n) for n in ([into] if batch in whole else []) + files]
        directory.write(into, _distinct(pa, tables))
        directory.remove(files)
    names = [n for n in directory.names() if _BATCH.match(n)]
    if len(names) > MERGE_AT:
        newest = max(m["batch"] for m in map(_BATCH.match, names) if m is not None)
        merged = f"merged-{newest}.parquet"
        pa, _ = _arrow()
        directory.write(merged, _distinct(pa, [directory.read(n) for n in names]))
        directory.remove([n for n in names if n != merged])


#: What `latest` reads of each record.
_LATEST = ["batch", "seq", "recorded", "input", "input_size", "input_mtime_ns", "options", "status", "outputs"]


def latest(out_dir: str) -> dict[str, dict[str, Any]]:
    """Each input's latest record in the ledger under `out_dir` (none when it
    has no ledger). Each file is read on its own, its columns that say
    whether an input is done only: reading them all in one call
    (`pyarrow.dataset`) would import pandas, 0.2 s, more than reading the
    few files a tidy ledger has (see `tidy`)."""
    directory = _Directory(out_dir)
    found: dict[str, dict[str, Any]] = {}
    for name in directory.names():
        try:
            table = directory.read(name, _LATEST)
            # As nanoseconds since 1970: a nanosecond timestamp becomes a
            # Python object only through pandas, which may not be installed.
            where = table.schema.get_field_index("recorded")
            pa, _ = _arrow()
            rows = table.set_column(where, "recorded", table.column(where).cast(pa.int64())).to_pylist()
        except (OSError, ValueError):
            continue  # a file that cannot be read says nothing is done
        for row in rows:
            key = (row["recorded"], row["batch"], row["seq"])
            have = found.get(row["input"])
            if have is None or key > (have["recorded"], have["batch"], have["seq"]):
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
    # An output whose folder's name is not UTF-8 is recorded with its bytes escaped.
    return all(any(object_size(path) == o["size"] for path in named_by(o["path"])) for o in record["outputs"] or [])


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
        "spectra": None if o.spectra is None else {"with_peaks": o.spectra[0], "without_peaks": o.spectra[1]},
    }


def as_json(document: Mapping[str, Any]) -> str:
    return json_text(document, indent=2) + "\n"
