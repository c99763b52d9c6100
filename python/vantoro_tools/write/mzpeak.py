"""RAW to mzPeak: the HUPO-PSI archive of Parquet tables, written with pyarrow.

One archive per run: the peak lists in the point layout (one row per peak:
spectrum index, 64-bit m/z, 32-bit intensity, described by the array index
in the file's footer), a metadata table per facet of a spectrum (the
spectrum, its scan, its precursor, its selected ion), the total ion current
and base peak chromatograms, and `mzpeak_index.json`, which names each
member's entity type and data kind, maps columns to PSI-MS terms and holds
the file-level metadata (also kept in the metadata tables' footers).

Every scan with a peak list is a spectrum, as in the mzML writer; vantoro
reads centroids, which the standard keeps in the `peaks` member. The
precursor follows the rules shared with mzML (`psi.py`). Every Parquet
member has a page index and is compressed with `options.compression`
(a Parquet codec, zstd by default; a metadata member's columns without
values or of a few entries are stored as they are); the ZIP stores them
as they are, or, given one output per member, they are written as the
unpacked folder."""

from __future__ import annotations

import functools
import itertools
import json
import math
import os
import zipfile
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor, wait
from contextlib import ExitStack, contextmanager
from typing import IO, TYPE_CHECKING, Any

from ..base.deps import missing
from ..base.paths import StrPath
from ..base.version import tool_version
from ..source.mzpeak import (
    CHROMATOGRAM,
    INDEX,
    MEMBERS,
    RAW_SCANS,
    RAW_VERSION,
    SPECTRUM,
)
from ..source.scans import Scan, ScanSource, open_source
from .formats import MZPEAK_CODECS, Pending, SourceDigest, WriteOptions, Written, submit
from .output import atomic_path, hashed_file
from .psi import precursor_of, source_location
from .terms import PSI_MS_VERSION, TERMS, UO_VERSION

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro convert --to mzpeak"
#: The version of the standard the archives follow (0.9, draft 5).
FORMAT_VERSION = "0.9.0"
#: The Parquet codecs `--compression` may name for mzPeak; the first is the default.
CODECS = MZPEAK_CODECS
#: Peaks gathered before a row group of the peaks member is written.
ROW_GROUP_PEAKS = 1 << 20
#: Rows of a page of the peaks member at most: enough that a page of m/z
#: reaches Parquet's 1 MB page size. pyarrow's default of 20,000 rows cuts the
#: byte streams of each float into pieces too short for the codec (the peaks
#: member some 4% larger and slower to write, measured with zstd).
PAGE_ROWS = 1 << 17
#: Peaks of a chunk of the peaks member's columns, at least (short peak lists
#: joined).
CHUNK_PEAKS = 1 << 16
#: Bytes of the source file hashed at a time.
HASH_CHUNK = 1 << 22
#: Entries of a metadata member's column below which it is stored without
#: the codec.
SMALL_COLUMN = 64
#: Bytes of Parquet's small writes gathered before they go to a member
#: (pages as large pass straight through).
WRITE_BUFFER = 1 << 18

#: Bytes of the ZIP's own small writes (headers, descriptors) gathered
#: before they go to the archive and its checksum.
HEADER_BUFFER = 1 << 16

MZ_UNIT, INTENSITY_UNIT = "m/z", "number of detector counts"


def curie(name: str) -> str:
    return TERMS[name][1]


def param(name: str | None, value: Any = None, unit: str | None = None, *, accession: bool = True) -> dict[str, Any]:
    """A parameter of the file-level metadata: a PSI-MS term by name, or
    (accession False) a user parameter."""
    return {
        "name": name,
        "accession": curie(name) if accession and name is not None else None,
        "value": value,
        "unit": curie(unit) if unit is not None else None,
    }


def cv_list() -> list[dict[str, str]]:
    uo = UO_VERSION.removeprefix("releases/")
    return [
        {
            "id": "MS",
            "full_name": "Proteomics Standards Initiative Mass Spectrometry Ontology",
            "uri": f"http://purl.obolibrary.org/obo/ms/{PSI_MS_VERSION}/psi-ms.obo",
            "version": PSI_MS_VERSION,
        },
        {
            "id": "UO",
            "full_name": "Units of measurement ontology",
            "uri": f"http://purl.obolibrary.org/obo/uo/releases/{uo}/uo.obo",
            "version": uo,
        },
    ]


def mapping(path: str, name: str, unit: str | None = None) -> dict[str, Any]:
    """A column mapping of the index: the column at `path` holds PSI-MS term `name`."""
    return {"name": name, "path": path, "accession": curie(name), "unit": curie(unit) if unit else None}


# The columns each member maps to PSI-MS terms.
COLUMN_MAPPINGS: dict[str, list[dict[str, Any]]] = {
    "spectra_metadata.parquet": [
        mapping("ms_level", "ms level"),
        mapping("spectrum_representation", "spectrum representation"),
        mapping("spectrum_type", "spectrum type"),
        mapping("number_of_peaks", "number of peaks"),
        mapping("total_ion_current", "total ion current", INTENSITY_UNIT),
        mapping("base_peak_mz", "base peak m/z", MZ_UNIT),
        mapping("base_peak_intensity", "base peak intensity", INTENSITY_UNIT),
        mapping("lowest_observed_mz", "lowest observed m/z", MZ_UNIT),
        mapping("highest_observed_mz", "highest observed m/z", MZ_UNIT),
    ],
    "spectra_metadata_scans.parquet": [
        mapping("scan_start_time", "scan start time", "minute"),
        mapping("ion_injection_time", "ion injection time", "millisecond"),
    ],
    "spectra_metadata_precursors.parquet": [
        mapping("isolation_window.isolation_window_target", "isolation window target m/z", MZ_UNIT),
        mapping("isolation_window.isolation_window_lower_offset", "isolation window lower offset", MZ_UNIT),
        mapping("isolation_window.isolation_window_upper_offset", "isolation window upper offset", MZ_UNIT),
        mapping("activation.collision_energy", "collision energy", "electronvolt"),
    ],
    "spectra_metadata_selected_ions.parquet": [
        mapping("selected_ion_mz", "selected ion m/z", MZ_UNIT),
        mapping("charge_state", "charge state"),
    ],
    "chromatograms_metadata.parquet": [
        mapping("chromatogram_type", "chromatogram type"),
        mapping("number_of_data_points", "number of data points"),
    ],
}


def array_entry(context: str, column: str, array: str, dtype: str, unit: str, rank: int | None) -> dict[str, Any]:
    return {
        "context": context,
        "path": f"point.{column}",
        "data_type": curie(dtype),
        "array_type": curie(array),
        "array_name": array,
        "unit": curie(unit),
        "buffer_format": "point",
        "transform": None,
        "data_processing_id": None,
        "buffer_priority": "primary",
        "sorting_rank": rank,
    }


SPECTRUM_ARRAYS = {
    "prefix": "point",
    "entries": [
        array_entry(SPECTRUM, "mz", "m/z array", "64-bit float", MZ_UNIT, 0),
        array_entry(SPECTRUM, "intensity", "intensity array", "32-bit float", INTENSITY_UNIT, None),
    ],
}
CHROMATOGRAM_ARRAYS = {
    "prefix": "point",
    "entries": [
        array_entry(CHROMATOGRAM, "time", "time array", "64-bit float", "minute", 0),
        array_entry(CHROMATOGRAM, "intensity", "intensity array", "64-bit float", INTENSITY_UNIT, None),
    ],
}


#: The slot of the parameter value struct each Python type goes in.
_SLOTS = {int: 0, float: 1, str: 2, bool: 3}


class _Pa:
    """pyarrow and NumPy, imported when a writer starts, and the array
    builders the members share."""

    def __init__(self) -> None:
        try:
            import numpy as np
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError as exc:
            raise missing(exc.name or "pyarrow", PURPOSE, "convert") from exc
        from ..base.arrow import numeric, strings, writer_pool

        self.np, self.pa, self.pq = np, pa, pq
        #: The memory pool every Parquet writer of the archive is given.
        self.pool = writer_pool()
        # Every array is built from its buffers (`arrow`): `pa.array()`
        # would import pandas where it is installed.
        #: An Arrow array over the buffer of a NumPy array (null where
        #: `valid` is False).
        self.buffer = numeric
        #: A string array of Python strings (None: null).
        self.strings = strings
        value = pa.struct(
            [("integer", pa.int64()), ("float", pa.float64()), ("string", pa.string()), ("boolean", pa.bool_())]
        )
        self.param = pa.struct(
            [("value", value), ("accession", pa.string()), ("name", pa.string()), ("unit", pa.string())]
        )
        self.params = pa.list_(self.param)
        # A pyarrow without the page row limit cuts pages by size alone.
        supported = "max_rows_per_page" in pq.ParquetWriter.__init__.__code__.co_varnames
        self.page_rows: dict[str, int] = {"max_rows_per_page": PAGE_ROWS} if supported else {}

    def points(self, *columns: tuple[str, Any]) -> tuple[Any, Any]:
        """The `point` struct of a signal member and the member's schema.
        Every point has its entity's index and a value in each array (the
        writer marks no nulls): the group and its columns are required, so
        Parquet stores no definition levels for them (the peaks member a
        quarter faster to encode, measured)."""
        pa = self.pa
        point = pa.struct([pa.field(name, kind, nullable=False) for name, kind in columns])
        return point, pa.schema([pa.field("point", point, nullable=False)])

    def floats(self, values: Sequence[float | None]) -> Any:
        """A nullable float64 array from Python values (None or a value that
        is not finite: null)."""
        np = self.np
        data = np.array(values, np.float64)  # None: NaN
        valid = np.isfinite(data)
        if not valid.all():
            data[~valid] = 0
        return self.buffer(data, valid)

    def empty_lists(self, n: int, kind: Any) -> Any:
        """A column of `n` empty lists of type `kind`."""
        pa = self.pa
        return pa.ListArray.from_arrays(
            self.buffer(self.np.zeros(n + 1, self.np.int32)), pa.nulls(0, kind.value_type), type=kind
        )

    def empty_params(self, n: int) -> Any:
        """A `parameters` column of `n` rows without parameters."""
        return self.empty_lists(n, self.params)

    def numeric(self, values: Sequence[Any], dtype: str) -> Any:
        """A nullable numeric array from Python values (None or a value that
        is not finite: null), built from its buffers."""
        np = self.np
        valid = np.array([v is not None and (not isinstance(v, float) or math.isfinite(v)) for v in values], np.bool_)
        data = np.array([v if ok else 0 for v, ok in zip(values, valid, strict=True)], dtype=dtype)
        return self.buffer(data, valid)

    def param_lists(self, lists: Sequence[Sequence[dict[str, Any]]]) -> Any:
        """The `parameters` column: each row's parameters, each value in the
        slot of its type (built a column at a time)."""
        flat = [p for row in lists for p in row]
        return self._param_column(
            [len(row) for row in lists],
            [p.get("value") for p in flat],
            [p.get("name") for p in flat],
            [p.get("accession") for p in flat],
            [p.get("unit") for p in flat],
        )

    def user_param_lists(self, rows: Sequence[dict[str, Any]]) -> Any:
        """`param_lists` of user parameters given as one name -> value dict per row."""
        names = [k for row in rows for k in row]
        return self._param_column(
            [len(row) for row in rows], [v for row in rows for v in row.values()], names, None, None
        )

    def _param_column(
        self,
        counts: Sequence[int],
        values: Sequence[Any],
        names: Sequence[str | None],
        accessions: Sequence[str | None] | None,
        units: Sequence[str | None] | None,
    ) -> Any:
        """The `parameters` column from its rows' parameter counts and the
        parameters' fields, flat (None for accessions or units: all null)."""
        np, pa = self.np, self.pa
        offsets = np.zeros(len(counts) + 1, np.int32)
        np.cumsum(counts, out=offsets[1:])
        n = len(values)
        # Each value's slot (4: none, left null), its values picked and
        # converted by NumPy rather than a loop here per slot.
        codes = np.fromiter(map(_SLOTS.get, map(type, values), itertools.repeat(4)), np.int8, n)
        counts_of = np.bincount(codes, minlength=5)
        boxed = np.array(values, object) if n and counts_of.max() < n else None  # a mixed column
        slots = []
        for code, (dtype, field) in enumerate(
            zip((np.int64, np.float64, None, np.bool_), self.param.field("value").type, strict=True)
        ):
            if not counts_of[code]:
                slots.append(pa.nulls(n, field.type))
            elif boxed is None:  # every value of this slot
                slots.append(self.strings(values) if dtype is None else self.buffer(np.array(values, dtype)))
            else:
                valid = codes == code
                if dtype is None:
                    slots.append(self.strings(np.where(valid, boxed, "").tolist(), valid))
                else:
                    data = np.zeros(n, dtype)
                    data[valid] = boxed[valid].astype(dtype)
                    slots.append(self.buffer(data, valid))
        value = pa.StructArray.from_arrays(slots, fields=list(self.param.field("value").type))
        item = pa.StructArray.from_arrays(
            [
                value,
                *(
                    pa.nulls(n, pa.string()) if column is None else self.strings(column)
                    for column in (accessions, names, units)
                ),
            ],
            fields=list(self.param),
        )
        return pa.ListArray.from_arrays(self.buffer(offsets), item, type=self.params)


class _Members:
    """Where the members go: streamed one after the other into a ZIP that
    stores them uncompressed, or each to its own file of the folder. Either
    way the archive appears whole or not at all (the output layer's
    temporary files), the index last."""

    def __init__(self, stack: ExitStack, dests: Sequence[str], *, beside: bool = True):
        self.beside = beside  # each member's checksum on threads of its own (see `Digester`)
        self.zip: zipfile.ZipFile | None = None
        self.paths: dict[str, str] = {}
        if len(dests) == 1:
            tmp = stack.enter_context(atomic_path(dests[0]))
            # Its SHA-256 taken as it is written (for the stamp and the
            # ledger, which would otherwise read the archive back): a stream
            # the ZIP cannot seek back in, so each member's CRC and sizes
            # follow it (a data descriptor) instead of being patched into
            # its header.
            fh = stack.enter_context(hashed_file(tmp, HEADER_BUFFER, beside=beside))
            self.zip = stack.enter_context(zipfile.ZipFile(fh, "w", zipfile.ZIP_STORED, allowZip64=True))
        else:
            if len(dests) != len(MEMBERS):
                raise ValueError(f"an unpacked mzPeak archive has {len(MEMBERS)} members, not {len(dests)} outputs")
            # Renamed in the reverse order of entering: the index last.
            for (name, _, _), dest in reversed(list(zip(MEMBERS, dests, strict=True))):
                if os.path.basename(dest) != name:
                    raise ValueError(f"output {dest} is not the archive's member {name}")
                self.paths[name] = stack.enter_context(atomic_path(dest))

    @contextmanager
    def open(self, name: str) -> Iterator[IO[bytes]]:
        if self.zip is not None:
            # A fixed date: the archive's bytes depend on the data alone.
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED
            with self.zip.open(info, "w", force_zip64=True) as f:
                yield f
        else:
            # Its SHA-256 taken as it is written.
            with hashed_file(self.paths[name], buffering=0, beside=self.beside) as f:
                yield f

    @contextmanager
    def open_arrow(self, name: str) -> Iterator[Any]:
        """`open` as an Arrow output stream that gathers Parquet's small
        writes in Arrow's own buffer: the member's checksum and writes go in
        large pieces, and a writer encoding on another thread needs the
        interpreter (to hand its bytes to the Python file) once per buffer or
        page rather than per header and small page, while this thread runs
        Python code."""
        from ..base.arrow import buffered_sink

        with self.open(name) as f, buffered_sink(f, WRITE_BUFFER) as sink:
            yield sink


def write_mzpeak(
    raw: StrPath, dest: StrPath, *, compression: str = CODECS[0], on_scan: Callable[[], None] | None = None
) -> int:
    """Writes every scan of `raw` that has a peak list to the mzPeak archive
    `dest` (a ZIP) and returns how many were written. Raises LayoutError
    when the file fails the layout check."""
    source = open_source(raw, on_scan=on_scan)
    return write_mzpeak_source(source, [os.fspath(dest)], WriteOptions(compression=compression)).spectra


def write_mzpeak_source(source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
    """Writes the scans of `source` that have a peak list (at the MS levels
    asked for; all by default) as the spectra of one mzPeak archive: to
    `dests[0]` as a ZIP, or, given one output per member (`MEMBERS`), as
    the unpacked folder. A value that is not finite is left out (null) and
    counted in the warnings."""
    codec = options.compression or CODECS[0]
    if codec not in CODECS:
        raise ValueError(f"unknown mzPeak compression {codec!r}; choose one of {', '.join(CODECS)}")
    lib = _Pa()
    np, pa, pq = lib.np, lib.pa, lib.pq
    levels = options.ms_levels
    warn = source.warn
    path = os.fspath(source.path)
    parquet: dict[str, Any] = {
        "compression": "none" if codec == "none" else codec,
        "write_page_index": True,
        "store_schema": False,
        "memory_pool": lib.pool,
    }
    with ExitStack() as stack:
        members = _Members(stack, dests, beside=options.thread_count > 1)
        # The source file's checksum on its own thread from the start, beside
        # the walk (given up when the conversion fails or is interrupted), and
        # each row group of peaks encoded while the next is read (given one
        # thread, both here: the checksum first).
        sha1 = stack.enter_context(SourceDigest(path, "sha1", HASH_CHUNK, beside=options.thread_count > 1))
        executor = stack.enter_context(ThreadPoolExecutor(2, thread_name_prefix="vantoro-mzpeak"))
        pool = executor if options.thread_count > 1 else None
        spectra = _Spectra(lib)
        point, schema = lib.points(("spectrum_index", pa.uint64()), ("mz", pa.float64()), ("intensity", pa.float32()))
        pending: list[tuple[int, NDArray[Any], NDArray[Any]]] = []
        pending_peaks = 0
        writing: Pending[None] | None = None  # the row group being encoded

        def flush(writer: Any) -> None:
            nonlocal pending_peaks, writing
            if not pending:
                return
            # Short peak lists joined into chunks of CHUNK_PEAKS or more: the
            # writer encodes long runs of each column, not one short chunk per
            # spectrum; a long peak list is a chunk over its own buffers, as
            # copying it costs more than it saves (both measured).
            chunks: list[Any] = []
            group: list[tuple[int, NDArray[Any], NDArray[Any]]] = []
            count = 0
            for n, item in enumerate(pending, 1):
                group.append(item)
                count += len(item[1])
                if count >= CHUNK_PEAKS or n == len(pending):
                    if len(group) == 1:
                        i, m, v = group[0]
                        arrays = [np.full(len(m), i, np.uint64), m, v]
                    else:
                        lengths = [len(m) for _, m, _ in group]
                        arrays = [
                            np.repeat(np.array([i for i, _, _ in group], np.uint64), lengths),
                            np.concatenate([m for _, m, _ in group]),
                            np.concatenate([v for _, _, v in group]),
                        ]
                    chunks.append(pa.StructArray.from_arrays([lib.buffer(a) for a in arrays], fields=list(point)))
                    group, count = [], 0
            table = pa.Table.from_arrays([pa.chunked_array(chunks, point)], schema=schema)
            rows = pending_peaks
            pending.clear()
            pending_peaks = 0
            if writing is not None:  # one row group in flight at most
                writing.result()
            writing = submit(pool, functools.partial(writer.write_table, table, row_group_size=rows))

        with (
            members.open_arrow("spectra_peaks.parquet") as f,
            pq.ParquetWriter(
                f,
                schema,
                # The index in runs of one value: dictionary pages (as small
                # as delta-packed ones, and faster to write, measured).
                use_dictionary=["point.spectrum_index"],
                column_encoding={
                    "point.mz": "BYTE_STREAM_SPLIT",
                    "point.intensity": "BYTE_STREAM_SPLIT",
                },
                **lib.page_rows,
                **parquet,
            ) as writer,
        ):
            try:
                # Intensities that are not finite make totals that are not
                # (inf - inf is NaN): expected, counted by `add`, and no
                # NumPy warning for the user's terminal. Set once for the
                # walk, not per spectrum (each costs some 2 us).
                with np.errstate(all="ignore"):
                    for scan in source.scans():
                        if (
                            scan.mz is None
                            or scan.intensity is None
                            or (levels is not None and scan.ms_level not in levels)
                        ):
                            continue
                        mz, intensity = scan.mz, scan.intensity
                        # The m/z array is the sorted axis: a peak list out of order is
                        # sorted (with its intensities) before it is written.
                        if len(mz) > 1 and not spectra.ascending(mz):
                            order = np.argsort(mz, kind="stable")
                            mz, intensity = mz[order], intensity[order]
                            warn("peak list not in m/z order (sorted)")
                        index = spectra.add(scan, mz, intensity, warn)
                        if len(mz):
                            pending.append((index, mz, intensity))
                            pending_peaks += len(mz)
                            if pending_peaks >= ROW_GROUP_PEAKS:
                                flush(writer)
                flush(writer)
                # The metadata members are built and encoded (in memory: they
                # are small) while the last row group is encoded; they go into
                # the archive once the peaks member is whole.
                tables = spectra.tables()
                tables["chromatograms_data.parquet"] = spectra.chromatogram_points()
                digest = sha1.result()
                metadata = file_metadata(source, spectra, digest)
                footer = {key: json.dumps(value) for key, value in metadata.items() if key != "version"}
                footers = {
                    "spectra_metadata.parquet": footer,
                    "chromatograms_metadata.parquet": footer,
                    "chromatograms_data.parquet": {"chromatogram_array_index": json.dumps(CHROMATOGRAM_ARRAYS)},
                }
                # Without dictionary pages: a metadata column is one page, half
                # the pages to compress, and (zstd, measured) smaller than with
                # dictionaries, whose repeats the codec finds anyway.
                encoded = {
                    name: _encode_member(lib, table, footers.get(name, {}), use_dictionary=False, **parquet)
                    for name, table in tables.items()
                }
            finally:
                # The row group in flight is finished before the writer closes,
                # whether the walk ended or failed.
                if isinstance(writing, Future):
                    wait([writing])
            if writing is not None:
                writing.result()
            writer.add_key_value_metadata({"spectrum_array_index": json.dumps(SPECTRUM_ARRAYS)})
        for name, data in encoded.items():
            with members.open(name) as f:
                f.write(data)
        files = [
            {
                "name": name,
                "entity_type": entity,
                "data_kind": kind,
                "column_mapping": COLUMN_MAPPINGS.get(name, []),
                "parameters": [],
            }
            for name, entity, kind in MEMBERS
            if name != INDEX
        ]
        with members.open(INDEX) as f:
            f.write(json.dumps({"files": files, "metadata": metadata}).encode("utf-8"))
    return Written(spectra.count, source.warnings)


def _encode_member(lib: _Pa, table: Any, footer: dict[str, str], **parquet: Any) -> Any:
    """`table` as a Parquet file in an Arrow buffer, with `footer` among its
    key-value metadata. Columns without values (null, or under empty lists)
    or of fewer than SMALL_COLUMN entries are stored without the codec: it
    cannot make them smaller, and each page it compresses costs a context
    of its own (with zstd some 20 us a page, measured: most of the time a
    small archive's metadata members took)."""
    codec = parquet.pop("compression")
    if codec != "none":
        codec = {path: codec if plain else "none" for path, plain in _leaves(lib.pa, table)}
    sink = lib.pa.BufferOutputStream()
    with lib.pq.ParquetWriter(sink, table.schema, compression=codec, **parquet) as writer:
        writer.write_table(table)
        if footer:
            writer.add_key_value_metadata(footer)
    return sink.getvalue()


def _leaves(pa: Any, table: Any) -> Iterator[tuple[str, bool]]:
    """(Parquet column path, whether it is worth compressing) for each leaf
    column of `table`."""

    def walk(array: Any, kind: Any, path: str) -> Iterator[tuple[str, bool]]:
        # `array` None: no entries (a null column's definition levels are one
        # run; so are those of empty lists, whose values have no entries).
        if pa.types.is_struct(kind):
            for i, field in enumerate(kind):
                yield from walk(None if array is None else array.field(i), field.type, f"{path}.{field.name}")
        elif pa.types.is_list(kind):
            values = None if array is None or not len(array.values) else array.values
            yield from walk(values, kind.value_type, f"{path}.list.element")
        else:
            yield path, array is not None and len(array) >= SMALL_COLUMN

    for name, column in zip(table.column_names, table.columns, strict=True):
        array = column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()
        yield from walk(None if array.null_count == len(array) else array, column.type, name)


class _Spectra:
    """The metadata of the spectra written so far: a row per spectrum, per
    precursor and per selected ion (None where a value is not known), made
    columns once, at the end."""

    def __init__(self, lib: _Pa):
        self.lib = lib
        self.count = 0
        self.index_of: dict[int, int] = {}  # scan number -> spectrum index
        self.levels: set[int] = set()
        # (scan number, time, MS level, peaks, total ion current, base peak
        # m/z, base peak intensity, lowest m/z, highest m/z, injection time)
        self.rows: list[tuple[Any, ...]] = []
        self.trailers: list[dict[str, Any]] = []
        # (spectrum index, its precursor's spectrum index, the precursor's
        # scan number, isolation window target, offset, collision energy,
        # activation parameters)
        self.precursors: list[tuple[Any, ...]] = []
        # (spectrum index, its precursor's spectrum index, m/z, charge)
        self.ions: list[tuple[Any, ...]] = []
        self._columns: dict[str, NDArray[np.float64]] | None = None
        # Activation parameters met so far: a run repeats a few, each made once.
        self._params: dict[tuple[Any, ...], dict[str, Any]] = {}
        self._order = lib.np.empty(0, lib.np.bool_)  # `ascending`'s flags, reused

    def _param(self, name: str, value: Any = None, accession: bool = True, unit: str | None = None) -> dict[str, Any]:
        """`param(...)`, the same dict for the same arguments (only read)."""
        key = (name, type(value), value, accession, unit)
        made = self._params.get(key)
        if made is None:
            made = self._params[key] = param(name, value, unit, accession=accession)
        return made

    def ascending(self, mz: NDArray[np.float64]) -> bool:
        """Whether `mz` (two values or more) never decreases."""
        np = self.lib.np
        if len(self._order) < len(mz) - 1:
            self._order = np.empty(len(mz) - 1, np.bool_)
        return bool(np.greater_equal(mz[1:], mz[:-1], out=self._order[: len(mz) - 1]).all())

    def add(self, scan: Scan, mz: NDArray[np.float64], intensity: NDArray[np.float32], warn: Any) -> int:
        np = self.lib.np
        index = self.count
        self.count += 1
        level = scan.ms_level
        self.levels.add(level)
        rt: float | None = scan.rt
        if not math.isfinite(scan.rt):
            rt = None
            warn("retention time not finite")
        tic = 0.0
        base_mz = base_intensity = low = high = None
        if len(mz):
            # Intensities that are not finite make a sum that is not: left out.
            # (The caller keeps NumPy from warning of it.)
            tic = float(np.add.reduce(intensity, dtype=np.float64))
            # A finite sum means every intensity is finite (float32 values
            # cannot overflow a float64 sum): the base peak is the plain maximum.
            at: int | None = None
            if math.isfinite(tic):
                at = int(intensity.argmax())
            else:
                warn("total ion current not finite")
                finite = np.isfinite(intensity)
                if finite.any():
                    at = int(np.where(finite, intensity, -np.inf).argmax())
            if at is not None:
                base_mz, base_intensity = float(mz[at]), float(intensity[at])
            # The m/z array is sorted: its ends, where they are finite.
            low, high = float(mz[0]), float(mz[-1])
            if not (math.isfinite(low) and math.isfinite(high)):
                finite_mz = mz[np.isfinite(mz)]
                low, high = (float(finite_mz[0]), float(finite_mz[-1])) if len(finite_mz) else (None, None)
        injection: float | None = scan.injection_time
        if not math.isfinite(scan.injection_time):
            injection = None
            warn("injection time not finite")
        self.rows.append((scan.number, rt, level, len(mz), tic, base_mz, base_intensity, low, high, injection))
        # The whole trailer, as recorded: an archive stands in for its RAW file.
        self.trailers.append(scan.trailer)
        pre = precursor_of(scan, warn)
        if pre is not None:
            parent = self.index_of.get(pre.master_scan)
            params = [self._param(pre.activation)]
            energy = None
            for e in pre.energies:
                if e.term == "collision energy":
                    energy = e.value
                elif e.term is None:
                    params.append(self._param(e.key, e.value, False))
                else:
                    params.append(self._param(e.term, e.value, True, e.unit))
            target = pre.mz if pre.isolation_offset is not None else None
            self.precursors.append((index, parent, pre.master_scan, target, pre.isolation_offset, energy, params))
            if pre.mz is not None or pre.charge is not None:
                self.ions.append((index, parent, pre.mz, pre.charge))
        self.index_of[scan.number] = index
        return index

    def columns(self) -> dict[str, NDArray[np.float64]]:
        """The spectra's numeric columns as float64 arrays (NaN where not
        known), by name."""
        if self._columns is None:
            np = self.lib.np
            names = ("time", "total_ion_current", "base_peak_intensity")
            at = (1, 4, 6)
            rows = self.rows
            self._columns = {
                name: np.array([row[i] for row in rows], np.float64) for name, i in zip(names, at, strict=True)
            }
        return self._columns

    def tables(self) -> dict[str, Any]:
        """The metadata members, by name."""
        lib = self.lib
        np, pa = lib.np, lib.pa
        num, floats, empty = lib.numeric, lib.floats, lib.empty_params
        n = self.count
        number, time, level, peaks, tic, base_mz, base_intensity, low, high, injection = (
            zip(*self.rows, strict=True) if n else ((),) * 10
        )
        index = lib.buffer(np.arange(n, dtype=np.uint64))
        times = floats(time)
        ms1, msn = curie("MS1 spectrum"), curie("MSn spectrum")
        spectra = pa.table(
            {
                "index": index,
                "id": lib.strings([f"scan={k}" for k in number]),
                "time": times,
                "ms_level": lib.buffer(np.array(level, np.int32)),
                "data_processing_id": pa.nulls(n, pa.string()),
                "spectrum_representation": lib.strings([curie("centroid spectrum")] * n),
                "spectrum_type": lib.strings([ms1 if k == 1 else msn for k in level]),
                "number_of_peaks": lib.buffer(np.array(peaks, np.uint64)),
                "total_ion_current": floats(tic),
                "base_peak_mz": floats(base_mz),
                "base_peak_intensity": floats(base_intensity),
                "lowest_observed_mz": floats(low),
                "highest_observed_mz": floats(high),
                "number_of_auxiliary_arrays": lib.buffer(np.zeros(n, np.int32)),
                "parameters": empty(n),
            }
        )
        window = pa.struct(
            [
                ("isolation_window_lower_offset", pa.float64()),
                ("isolation_window_upper_offset", pa.float64()),
            ]
        )
        scans = pa.table(
            {
                "source_index": index,
                "scan_index": index,
                "scan_start_time": times,
                "ion_injection_time": floats(injection),
                "instrument_configuration_id": lib.buffer(np.zeros(n, np.uint32)),
                "scan_windows": lib.empty_lists(n, pa.list_(window)),
                "parameters": lib.user_param_lists(self.trailers),
            }
        )
        k = len(self.precursors)
        source, parent, master, target, offset, energy, activation = (
            zip(*self.precursors, strict=True) if k else ((),) * 7
        )
        offsets = floats(offset)
        isolation = pa.StructArray.from_arrays(
            [floats(target), offsets, offsets, empty(k)],
            names=[
                "isolation_window_target",
                "isolation_window_lower_offset",
                "isolation_window_upper_offset",
                "parameters",
            ],
        )
        precursors = pa.table(
            {
                "source_index": lib.buffer(np.array(source, np.uint64)),
                "precursor_index": num(parent, "uint64"),
                "precursor_id": lib.strings(
                    [f"scan={m}" if p is not None else None for m, p in zip(master, parent, strict=True)]
                ),
                "isolation_window": isolation,
                "activation": pa.StructArray.from_arrays(
                    [floats(energy), lib.param_lists(activation)], names=["collision_energy", "parameters"]
                ),
                "parameters": empty(k),
            }
        )
        j = len(self.ions)
        source, parent, ion_mz, charge = zip(*self.ions, strict=True) if j else ((),) * 4
        ions = pa.table(
            {
                "source_index": lib.buffer(np.array(source, np.uint64)),
                "precursor_index": num(parent, "uint64"),
                "selected_ion_mz": floats(ion_mz),
                "charge_state": num(charge, "int32"),
                "parameters": empty(j),
            }
        )
        chromatograms = pa.table(
            {
                "index": lib.buffer(np.arange(2, dtype=np.uint64)),
                "id": lib.strings(["TIC", "BPC"]),
                "chromatogram_type": lib.strings(
                    [curie("total ion current chromatogram"), curie("basepeak chromatogram")]
                ),
                "number_of_data_points": lib.buffer(
                    np.array(
                        [
                            len(self._chromatogram("total_ion_current")[0]),
                            len(self._chromatogram("base_peak_intensity")[0]),
                        ],
                        np.uint64,
                    )
                ),
                "data_processing_id": pa.nulls(2, pa.string()),
                "number_of_auxiliary_arrays": lib.buffer(np.zeros(2, np.int32)),
                "parameters": empty(2),
            }
        )
        return {
            "spectra_metadata.parquet": spectra,
            "spectra_metadata_scans.parquet": scans,
            "spectra_metadata_precursors.parquet": precursors,
            "spectra_metadata_selected_ions.parquet": ions,
            "chromatograms_metadata.parquet": chromatograms,
        }

    def _chromatogram(self, column: str) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """(time, value) of the spectra whose time and `column` are both
        known, in time order."""
        np = self.lib.np
        columns = self.columns()
        time, value = columns["time"], columns[column]
        keep = np.isfinite(time) & np.isfinite(value)
        time, value = time[keep], value[keep]
        order = np.argsort(time, kind="stable")
        return time[order], value[order]

    def chromatogram_points(self) -> Any:
        """The chromatograms member: the total ion current (index 0) and the
        base peak (index 1) over time, in the point layout."""
        np, pa = self.lib.np, self.lib.pa
        tic_t, tic = self._chromatogram("total_ion_current")
        bpc_t, bpc = self._chromatogram("base_peak_intensity")
        index = np.concatenate([np.zeros(len(tic_t), np.uint64), np.ones(len(bpc_t), np.uint64)])
        point, schema = self.lib.points(
            ("chromatogram_index", pa.uint64()), ("time", pa.float64()), ("intensity", pa.float64())
        )
        struct = pa.StructArray.from_arrays(
            [self.lib.buffer(a) for a in (index, np.concatenate([tic_t, bpc_t]), np.concatenate([tic, bpc]))],
            fields=list(point),
        )
        return pa.Table.from_arrays([struct], schema=schema)


def _rfc3339(seconds: object) -> str | None:
    """Seconds since 1970 (the RAW header's creation date) as RFC 3339 UTC."""
    import datetime as dt

    try:
        return dt.datetime.fromtimestamp(int(str(seconds)), dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    except (ValueError, OverflowError, OSError):
        return None


def file_metadata(source: ScanSource, spectra: _Spectra, sha1: str) -> dict[str, Any]:
    """The index's `metadata`: the format version, the vocabularies, and
    the file-level metadata of the run."""
    contents = [param("MS1 spectrum")] if 1 in spectra.levels else []
    contents += [param("MSn spectrum")] if any(level > 1 for level in spectra.levels) else []
    contents.append(param("centroid spectrum"))
    software = "vantoro"
    run_id = source.stem
    return {
        "version": FORMAT_VERSION,
        "cv_list": cv_list(),
        "file_description": {
            "contents": contents,
            "source_files": [
                {
                    "id": "RAW1",
                    "name": source.name,
                    "location": source_location(source),
                    "parameters": [
                        param("Thermo RAW format"),
                        param("scan number only nativeID format"),
                        param("SHA-1", sha1),
                        # What the RAW file's header says of itself, for `vantoro info`.
                        param(RAW_VERSION, int(source.reader.version), accession=False),
                        param(RAW_SCANS, source.num_scans, accession=False),
                    ],
                }
            ],
        },
        "instrument_configuration_list": [
            {
                "id": 0,
                # The file says nothing of the instrument's parts: generic terms.
                "components": [
                    {"component_type": "ionsource", "order": 1, "parameters": [param("ionization type")]},
                    {"component_type": "analyzer", "order": 2, "parameters": [param("mass analyzer type")]},
                    {"component_type": "detector", "order": 3, "parameters": [param("detector type")]},
                ],
                "parameters": [param("Thermo Fisher Scientific instrument model")],
                "software_reference": software,
            }
        ],
        "software_list": [
            {
                "id": software,
                "version": tool_version(),
                "parameters": [param("custom unreleased software tool", software)],
            }
        ],
        "data_processing_method_list": [
            {
                "id": "vantoro_conversion",
                "methods": [
                    {"order": 1, "software_reference": software, "parameters": [param("file format conversion")]}
                ],
            }
        ],
        "run": {
            "id": run_id,
            "default_instrument_id": 0,
            "default_data_processing_id": "vantoro_conversion",
            "default_source_file_id": "RAW1",
            "start_time": _rfc3339(source.reader.creation_date),
            "parameters": [],
        },
    }
