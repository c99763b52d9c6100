"""mzPeak archives (HUPO-PSI's Parquet standard) read back: the members
vantoro writes, and `open_mzpeak`, which walks an archive's spectra as dicts
of NumPy arrays, the way the RAW side walks scans.

An archive is a ZIP whose members are stored uncompressed, or the folder of
those members; either way every member is found through
`mzpeak_index.json`, by its entity type and data kind, never by its name."""

from __future__ import annotations

import io
import json
import os
import struct
import zipfile
from collections.abc import Iterator
from typing import IO, TYPE_CHECKING, Any

from ..base.deps import missing
from ..base.paths import StrPath

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

INDEX = "mzpeak_index.json"
SUFFIX = ".mzpeak"

SPECTRUM, CHROMATOGRAM = "spectrum", "chromatogram"
METADATA, SCANS, PRECURSORS, SELECTED_IONS = "metadata", "scans", "precursors", "selected_ions"
DATA_ARRAYS, PEAKS = "data arrays", "peaks"

#: The members vantoro writes, in the order it writes them (the index last),
#: with the entity type and data kind the index gives each.
MEMBERS: tuple[tuple[str, str, str], ...] = (
    ("spectra_peaks.parquet", SPECTRUM, PEAKS),
    ("spectra_metadata.parquet", SPECTRUM, METADATA),
    ("spectra_metadata_scans.parquet", SPECTRUM, SCANS),
    ("spectra_metadata_precursors.parquet", SPECTRUM, PRECURSORS),
    ("spectra_metadata_selected_ions.parquet", SPECTRUM, SELECTED_IONS),
    ("chromatograms_metadata.parquet", CHROMATOGRAM, METADATA),
    ("chromatograms_data.parquet", CHROMATOGRAM, DATA_ARRAYS),
    (INDEX, "", ""),
)


#: The user parameters of the source file that keep what its RAW header says.
RAW_VERSION, RAW_SCANS = "RAW file format version", "RAW file scan count"


PURPOSE = "reading mzPeak archives"


def _pyarrow() -> Any:
    """pyarrow.parquet, or MissingDependency naming the extra that brings it."""
    try:
        import numpy  # noqa: F401
        import pyarrow.parquet as pq
    except ImportError as exc:
        raise missing(exc.name or "pyarrow", PURPOSE, "convert") from exc
    return pq


class NotMzPeakError(ValueError):
    """The path is no mzPeak archive (no readable `mzpeak_index.json`)."""


def is_mzpeak(path: StrPath) -> bool:
    """Whether `path` names an mzPeak archive by its suffix: a ZIP file or
    the folder of its members."""
    return os.fspath(path).rstrip("/\\").lower().endswith(SUFFIX)


class MzPeakArchive:
    """An mzPeak archive opened for reading: its index, its file-level
    metadata, and its spectra walked in order (`iter(archive)`), each a
    dict of its metadata and its `mz` and `intensity` arrays."""

    def __init__(self, path: StrPath):
        self.path = os.fspath(path)
        self._zip: zipfile.ZipFile | None = None
        try:
            if os.path.isdir(self.path):
                with open(os.path.join(self.path, INDEX), "rb") as f:
                    self.index = json.load(f)
            else:
                self._zip = zipfile.ZipFile(self.path)
                self.index = json.loads(self._zip.read(INDEX))
        except (OSError, KeyError, ValueError, zipfile.BadZipFile) as exc:
            self.close()
            raise NotMzPeakError(f"{self.path}: not an mzPeak archive ({exc})") from exc
        if not isinstance(self.index, dict) or not isinstance(self.index.get("files"), list):
            self.close()
            raise NotMzPeakError(f"{self.path}: not an mzPeak archive (its index lists no files)")
        self.metadata: dict[str, Any] = self.index.get("metadata") or {}

    def close(self) -> None:
        if self._zip is not None:
            self._zip.close()
            self._zip = None

    def __enter__(self) -> MzPeakArchive:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def member(self, entity: str, kind: str) -> str | None:
        """The name of the member holding `kind` of `entity`; the last one
        listed when several are."""
        found = None
        for entry in self.index["files"]:
            if isinstance(entry, dict) and entry.get("entity_type") == entity and entry.get("data_kind") == kind:
                found = entry.get("name")
        return found

    def open_member(self, name: str) -> IO[bytes]:
        if self._zip is None:
            return open(os.path.join(self.path, name), "rb")
        info = self._zip.getinfo(name)
        if info.compress_type != zipfile.ZIP_STORED:
            return self._zip.open(info)
        # Stored as it is: its bytes read in place, any part of them at once.
        return io.BufferedReader(member_range(open(self.path, "rb"), info))

    def table(self, entity: str, kind: str) -> Any:
        """The member holding `kind` of `entity` as an Arrow table (None when
        the archive has none)."""
        pq = _pyarrow()
        name = self.member(entity, kind)
        if name is None:
            return None
        with self.open_member(name) as f:
            return pq.ParquetFile(f).read()

    def __len__(self) -> int:
        spectra = self.table(SPECTRUM, METADATA)
        return 0 if spectra is None else spectra.num_rows

    def __iter__(self) -> Iterator[dict[str, Any]]:
        return self.spectra()

    def spectra(self, *, peaks: bool = True) -> Iterator[dict[str, Any]]:
        """The spectra in index order, each with its MS level, time
        (minutes), totals, scan and precursor values (None where absent),
        the scan's trailer fields (`trailer`) and, with `peaks`, its
        `mz` (float64) and `intensity` arrays (empty without peaks)."""
        spectra = self.table(SPECTRUM, METADATA)  # names a missing pyarrow or NumPy
        if spectra is None:
            return
        import numpy as np

        rows = _rows(spectra)
        by_index = {row["index"]: row for row in rows}
        for row in _rows(self.table(SPECTRUM, SCANS)):
            spectrum = by_index.get(row["source_index"])
            if spectrum is not None and "scan_start_time" not in spectrum:
                spectrum["scan_start_time"] = row.get("scan_start_time")
                spectrum["injection_time"] = row.get("ion_injection_time")
                spectrum["filter_string"] = row.get("filter_string")
                spectrum["trailer"] = {
                    p["name"]: _value(p) for p in row.get("parameters") or [] if p.get("accession") is None
                }
        for row in _rows(self.table(SPECTRUM, PRECURSORS)):
            spectrum = by_index.get(row["source_index"])
            if spectrum is not None and "precursor_index" not in spectrum:
                spectrum["precursor_index"] = row.get("precursor_index")
                spectrum["precursor_id"] = row.get("precursor_id")
                window = row.get("isolation_window") or {}
                spectrum["isolation_target"] = window.get("isolation_window_target")
                activation = row.get("activation") or {}
                spectrum["collision_energy"] = activation.get("collision_energy")
                spectrum["activation"] = [
                    p.get("accession") or p.get("name") for p in activation.get("parameters") or []
                ]
        for row in _rows(self.table(SPECTRUM, SELECTED_IONS)):
            spectrum = by_index.get(row["source_index"])
            if spectrum is not None and "precursor_mz" not in spectrum:
                spectrum["precursor_mz"] = row.get("selected_ion_mz")
                spectrum["charge"] = row.get("charge_state")
        empty = (np.empty(0, np.float64), np.empty(0, np.float32))
        walk = self._peaks() if peaks else iter(())
        pending = next(walk, None)
        for row in rows:
            for key in (
                "scan_start_time",
                "injection_time",
                "filter_string",
                "precursor_index",
                "precursor_id",
                "isolation_target",
                "collision_energy",
                "precursor_mz",
                "charge",
            ):
                row.setdefault(key, None)
            row.setdefault("activation", [])
            row.setdefault("trailer", {})
            if not peaks:
                yield row
                continue
            mz, intensity = empty
            if pending is not None and pending[0] == row["index"]:
                _, mz, intensity = pending
                pending = next(walk, None)
            row["mz"], row["intensity"] = mz, intensity
            yield row

    def _peaks(self) -> Iterator[tuple[int, NDArray[np.float64], NDArray[Any]]]:
        """(spectrum index, m/z, intensity) of each spectrum with peaks, in
        the order the point layout stores them (by spectrum index), read a
        row group at a time."""
        import numpy as np

        pq = _pyarrow()
        from ..base.arrow import to_numpy

        name = self.member(SPECTRUM, PEAKS) or self.member(SPECTRUM, DATA_ARRAYS)
        if name is None:
            return
        with self.open_member(name) as f:
            handle = pq.ParquetFile(f)
            array_index = json.loads(handle.metadata.metadata[b"spectrum_array_index"])
            # Columns found by what the array index says they hold, not by name.
            paths = {e.get("array_type"): e["path"].split(".", 1)[1] for e in array_index["entries"]}
            mz_col, intensity_col = paths["MS:1000514"], paths["MS:1000515"]
            carry: tuple[int, list[Any], list[Any]] | None = None
            for group in range(handle.metadata.num_row_groups):
                point = handle.read_row_group(group, columns=["point"]).column("point").combine_chunks()
                index = to_numpy(point.field("spectrum_index"))
                mz = to_numpy(point.field(mz_col))
                intensity = to_numpy(point.field(intensity_col))
                starts = np.flatnonzero(np.diff(index)) + 1
                bounds = [0, *starts.tolist(), len(index)]
                for a, b in zip(bounds, bounds[1:], strict=False):
                    if a == b:
                        continue
                    which = int(index[a])
                    if carry is not None and carry[0] == which:
                        carry[1].append(mz[a:b])
                        carry[2].append(intensity[a:b])
                        continue
                    if carry is not None:
                        yield carry[0], np.concatenate(carry[1]), np.concatenate(carry[2])
                    carry = (which, [mz[a:b]], [intensity[a:b]])
            if carry is not None:
                yield carry[0], np.concatenate(carry[1]), np.concatenate(carry[2])

    def chromatogram(self, chromatogram_type: str) -> tuple[NDArray[np.float64], NDArray[np.float64]] | None:
        """(time in minutes, intensity) of the archive's chromatogram of
        `chromatogram_type` (a CURIE: MS:1000235 the total ion current),
        or None when it has none."""
        meta = self.table(CHROMATOGRAM, METADATA)
        data = self.table(CHROMATOGRAM, DATA_ARRAYS)
        if meta is None or data is None:
            return None
        wanted = [r["index"] for r in _rows(meta) if r.get("chromatogram_type") == chromatogram_type]
        if not wanted:
            return None
        from ..base.arrow import to_numpy

        point = data.column("point").combine_chunks()
        keep = to_numpy(point.field("chromatogram_index")) == wanted[0]
        return to_numpy(point.field("time"))[keep], to_numpy(point.field("intensity"))[keep]


class MemberRange(io.RawIOBase):
    """The bytes of one member stored uncompressed in a ZIP, read in place
    from the archive's file object `fh` (which it closes): seeking is free,
    where the zipfile module reads a member again from its start to seek
    backwards (as a Parquet reader does, footer first)."""

    def __init__(self, fh: IO[bytes], start: int, size: int):
        self._fh, self._start, self._size, self._pos = fh, start, size, 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._pos, io.SEEK_END: self._size}[whence]
        self._pos = max(0, base + offset)
        return self._pos

    def readinto(self, buffer: Any) -> int:
        want = max(0, min(len(buffer), self._size - self._pos))
        if want == 0:
            return 0
        self._fh.seek(self._start + self._pos)
        data = self._fh.read(want)
        memoryview(buffer)[: len(data)] = data
        self._pos += len(data)
        return len(data)

    def close(self) -> None:
        if not self.closed:
            self._fh.close()
        super().close()


def member_range(fh: IO[bytes], info: zipfile.ZipInfo) -> MemberRange:
    """The stored member `info` of the ZIP open as `fh`, read in place."""
    fh.seek(info.header_offset)
    header = fh.read(30)
    if header[:4] != b"PK\x03\x04":
        raise zipfile.BadZipFile(f"no local header for {info.filename}")
    name_length, extra_length = struct.unpack("<HH", header[26:30])
    return MemberRange(fh, info.header_offset + 30 + name_length + extra_length, info.file_size)


def _value(param: dict[str, Any]) -> Any:
    """The value of a parameter of a `parameters` column: its one slot that is set."""
    value = param.get("value") or {}
    return next((v for v in value.values() if v is not None), None)


def source_parameter(archive: MzPeakArchive, name: str) -> Any:
    """The value of the user parameter `name` of the archive's first source file."""
    files = (archive.metadata.get("file_description") or {}).get("source_files") or [{}]
    return next((p.get("value") for p in files[0].get("parameters") or [] if p.get("name") == name), None)


def _rows(table: Any) -> list[dict[str, Any]]:
    return [] if table is None else table.to_pylist()


def open_mzpeak(path: StrPath) -> MzPeakArchive:
    """The mzPeak archive at `path` (a ZIP or its folder), to iterate: one
    dict per spectrum, in index order, with NumPy `mz` and `intensity`
    arrays. Raises NotMzPeakError when `path` holds no mzPeak index."""
    return MzPeakArchive(path)
