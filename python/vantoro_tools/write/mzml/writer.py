"""RAW to indexed mzML: PSI-MS and UO terms shipped with the package
(`terms.py`, generated from psims' vocabularies), XML written by a small
streaming writer.

The cvParam texts are built once per process (`vocabulary()`); the writer then
formats each spectrum from ready-made text, encodes the binary arrays of
large spectra on a thread pool and those of small ones itself (standard
zlib streams, deflated by ISA-L or, for small arrays, libdeflate; or
MS-Numpress) while the spectra are written in scan order, and adds the
total ion current chromatogram, the offset index and the SHA-1 checksum.
The source file's SHA-1 is computed on a thread of its own while the scans
are read, and the file's checksums (its SHA-1, the output's SHA-256) from
the bytes as they are written (`Document`). Asked for one thread, the
writer encodes every spectrum in the calling thread.
"""

from __future__ import annotations

import functools
import hashlib
import math
import os
import re
import threading
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any

from ...base.cores import run_behind
from ...base.deps import missing
from ...base.paths import StrPath
from ...base.version import tool_version
from ...source.scans import Scan, ScanSource, open_source
from ..formats import COMPRESSIONS, Pending, SourceDigest, WriteOptions, Written, submit
from ..output import Digester, atomic_path, record_digest
from ..output.digests import SLICE
from ..psi import precursor_of, source_location
from ..terms import PSI_MS_VERSION, TERMS, UO_VERSION
from . import numpress

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro convert --to mzml"
#: ISA-L's deflate level. Measured on peak lists (float64 m/z, float32
#: intensities), level 2 deflates them faster than level 1 (1.3-2x) and as
#: small or smaller; level 3 is slower, level 0 barely compresses.
DEFLATE_LEVEL = 2
#: Arrays below this many bytes are deflated by libdeflate rather than ISA-L.
SMALL_ARRAY = 16 << 10
#: libdeflate's level for them: as small as zlib's level 2 on peak lists,
#: about three times as fast (measured).
SMALL_LEVEL = 1
#: Spectra encoded ahead of the one being written: bounds the memory held.
AHEAD = 8
#: Spectra of fewer peaks are encoded in the writing thread. Measured on runs
#: of MS1 (2,000-20,000 peaks) and MS2 scans, handing them to the pool took
#: 1.25x the time of encoding them here (the threads' hand-offs cost more
#: than the deflate they share); from 40,000 peaks on, the pool is 1.3x faster.
POOL_PEAKS = 32_768
#: Bytes of the source file hashed at a time.
HASH_CHUNK = 1 << 22
#: Bytes of the body held in memory, unhashed, until the source file's SHA-1
#: is known (see `Document`); past that, the writer waits for it. Reading
#: the body back from the file instead would not wait (the dense file's
#: writer waits some 0.35 s), but it would be a second pass over the output.
HOLD = 64 << 20
#: Bytes held when the source's SHA-1 comes that are hashed in the writing
#: thread, not by a thread of their own (`_CatchUp`).
CATCH_UP = 4 << 20
#: Bytes a catch-up thread may fall further behind than it started: the
#: writer writes the spectra the pool encoded meanwhile in a burst.
LAG = 32 << 20

CV_ID = {"MS": "PSI-MS", "UO": "UO"}
_SPECTRUM_END = b"</binary>\n          </binaryDataArray>\n        </binaryDataArrayList>\n      </spectrum>\n"

INDEXED_NS = (
    '<indexedmzML xmlns="http://psi.hupo.org/ms/mzml" '
    'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
    'xsi:schemaLocation="http://psi.hupo.org/ms/mzml '
    'http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd">\n'
)
MZML_NS = (
    '  <mzML xmlns="http://psi.hupo.org/ms/mzml" '
    'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
    'xsi:schemaLocation="http://psi.hupo.org/ms/mzml '
    'http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd" version="1.1.0">\n'
)


#: What `attr` changes; most texts hold none of it and are kept as they are.
_ATTR_SPECIAL = re.compile('[&<>"\t\n\r\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]')


def attr(text: str) -> str:
    """`text` as the value of an XML attribute: markup escaped, and the
    characters XML cannot hold at all (controls, lone surrogates) replaced."""
    if _ATTR_SPECIAL.search(text) is None:
        return text
    text = re.sub("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]", "\ufffd", text)
    return (
        text.replace("&", "&amp;")
        .replace("<", "&lt;")
        .replace(">", "&gt;")
        .replace('"', "&quot;")
        .replace("\t", "&#9;")
        .replace("\n", "&#10;")
        .replace("\r", "&#13;")
    )


def _xml_id(text: str) -> str:
    """`text` as an XML ID (an NCName): other characters become "_", and
    one that cannot start it gets a "_" before it."""
    ident = re.sub(r"[^\w.-]", "_", text, flags=re.ASCII)
    return ident if re.match(r"[A-Za-z_]", ident) else "_" + ident


@dataclass(frozen=True)
class Vocabulary:
    """The cvList and the cvParam text of every term the writer uses."""

    cv_list: str
    #: term name -> 'cvRef="..." accession="..." name="..."'
    ref: dict[str, str]
    #: unit name -> ' unitCvRef="..." unitAccession="..." unitName="..."'
    unit: dict[str, str]

    def param(self, term: str, value: object = "", unit: str | None = None) -> str:
        """One cvParam element (without indentation or line end)."""
        # A number's repr needs no escaping, nor does the empty value of most terms.
        text = (attr(value) if value else "") if isinstance(value, str) else repr(value)
        units = self.unit[unit] if unit is not None else ""
        return f'<cvParam {self.ref[term]} value="{text}"{units}/>'


@functools.cache
def vocabulary() -> Vocabulary:
    """The cvList and the cvParam text of every term the writer uses (the
    terms shipped with the package, `terms.py`). Built once per process."""
    ref = {
        name: f'cvRef="{CV_ID[prefix]}" accession="{accession}" name="{attr(name)}"'
        for name, (prefix, accession) in TERMS.items()
    }
    unit = {}
    for name in ("m/z", "number of detector counts", "minute", "millisecond", "electronvolt"):
        prefix, accession = TERMS[name]
        unit[name] = f' unitCvRef="{CV_ID[prefix]}" unitAccession="{accession}" unitName="{attr(name)}"'
    versions = {"MS": PSI_MS_VERSION, "UO": UO_VERSION}
    cv_list = "".join(
        f'      <cv id="{CV_ID[prefix]}" fullName="{full}" version="{attr(versions[prefix])}" URI="{uri}"/>\n'
        for prefix, full, uri in (
            ("MS", "PSI-MS", "http://purl.obolibrary.org/obo/ms/psi-ms.obo"),
            ("UO", "UNIT-ONTOLOGY", "http://purl.obolibrary.org/obo/uo.obo"),
        )
    )
    return Vocabulary(f'    <cvList count="2">\n{cv_list}    </cvList>\n', ref, unit)


# -- binary arrays -------------------------------------------------------


@dataclass(frozen=True)
class Encoded:
    """A spectrum's two arrays as base64 text with the cvParams of their
    encoding, and its total ion current (summed as float64) with whether
    it fits the chromatogram's 32-bit floats."""

    mz: bytes
    mz_params: str
    intensity: bytes
    intensity_params: str
    tic: float
    tic_fits_32: bool


class Encoder:
    """Encodes arrays for one compression: `encode(array, kind)` answers
    the base64 bytes and the cvParams naming its compression and type.
    kind: "mz" (float64), "intensity" (float32) or "time" (float64)."""

    def __init__(self, compression: str, voc: Vocabulary):
        if compression not in COMPRESSIONS:
            raise ValueError(f"unknown compression {compression!r}; choose one of {', '.join(COMPRESSIONS)}")
        self.compression = compression
        try:
            import deflate
            import numpy as np
            import pybase64
            from isal import isal_zlib
        except ImportError as exc:
            raise missing(exc.name or "isal", PURPOSE, "convert") from exc
        self._np = np
        self._b64: Callable[[Any], bytes] = pybase64.b64encode
        self._deflate: Callable[[Any], bytes] = functools.partial(isal_zlib.compress, level=DEFLATE_LEVEL)
        self._deflate_small: Callable[[Any, int], bytes | bytearray] = deflate.zlib_compress
        dtypes = {"mz": "64-bit float", "intensity": "32-bit float", "time": "64-bit float"}
        self._params = {
            (kind, method): f"{voc.param(name)}{voc.param(dtypes[kind])}"
            for kind in dtypes
            for method, name in (
                ("zlib", "zlib compression"),
                ("none", "no compression"),
                ("linear", "MS-Numpress linear prediction compression"),
                ("slof", "MS-Numpress short logged float compression"),
            )
        }

    def encode(self, values: NDArray[Any], kind: str) -> tuple[bytes, str]:
        """The base64 text of `values` and the cvParams that describe it."""
        np = self._np
        method = self.compression
        if method == "numpress":
            # Ion counts are log-encoded; m/z and times linearly predicted.
            # An array numpress cannot encode within its bounds is kept
            # exactly, with zlib, and its cvParams say so.
            method = "slof" if kind == "intensity" else "linear"
            data = np.ascontiguousarray(values, dtype=np.float64)
            fixed = numpress.encodable(data, method)
            if fixed is not None:
                packed = numpress.encode_slof(data, fixed) if method == "slof" else numpress.encode_linear(data, fixed)
                return self._b64(packed), self._params[kind, method]
            method = "zlib"
        raw = np.ascontiguousarray(values)
        return self._b64(self.deflate(raw) if method == "zlib" else raw.data), self._params[kind, method]

    def deflate(self, raw: NDArray[Any]) -> bytes | bytearray:
        # ISA-L gave a small array (a few dozen bytes) other, equally valid
        # bytes in another process. libdeflate is a function of its input
        # and level alone, and on arrays this small it is faster than ISA-L
        # (125 MB/s against 98, zlib's own 38; measured); on large ones
        # ISA-L is three times as fast.
        if raw.nbytes < SMALL_ARRAY:
            return self._deflate_small(raw.data, SMALL_LEVEL)
        return self._deflate(raw)

    def spectrum(self, mz: NDArray[np.float64], intensity: NDArray[np.float32]) -> Encoded:
        np = self._np
        # Intensities that are not finite make a sum that is not (inf - inf
        # is NaN): expected, and counted where the sum is left out.
        with np.errstate(all="ignore"):
            tic = float(intensity.sum(dtype=np.float64))
            fits = bool(np.isfinite(np.float32(tic)))
        return Encoded(*self.encode(mz, "mz"), *self.encode(intensity, "intensity"), tic, fits)


# -- the document --------------------------------------------------------


class _CatchUp:
    """Hashes, on a thread of its own, the body held until the opening was
    known, and what the writer writes meanwhile (`add`), in order, until it
    has caught up: the writing thread goes on giving the pool its spectra
    instead of hashing tens of MB while the pool waits (the dense file: its
    64 MB held took the writer some 70 ms, the pool idle)."""

    def __init__(self, digester: Digester, pieces: list[bytes]):
        self.digester = digester
        self.pieces = deque(pieces)
        self.bytes = sum(len(p) for p in pieces)  # queued, not yet taken
        #: The most it may fall behind before the writer waits for it.
        self.limit = self.bytes + LAG
        self.lock = threading.Lock()
        self.done = False  # caught up, stopped or failed: `add` takes no more
        self.stopped = False
        self.error: BaseException | None = None
        self.thread = threading.Thread(target=self._run, name="vantoro-mzml-catch-up", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        try:
            while True:
                with self.lock:
                    if self.stopped or not self.pieces:
                        self.done = True
                        return
                    piece = self.pieces.popleft()
                    self.bytes -= len(piece)
                self.digester.update(piece)
        except BaseException as exc:  # raised again in the writing thread
            with self.lock:
                self.error, self.done = exc, True

    def add(self, data: bytes) -> bool:
        """`data` queued after what is still to be hashed; False once caught
        up (the writer hashes it itself, and all that follows)."""
        with self.lock:
            if self.done:
                return False
            self.pieces.append(data)
            self.bytes += len(data)
            return True

    def finish(self) -> None:
        """Waits until all that was queued is hashed."""
        self.thread.join()
        if self.error is not None:
            raise self.error

    def stop(self) -> None:
        """Gives up what is still queued and waits for the thread."""
        with self.lock:
            self.stopped = True
        self.thread.join()


class Document:
    """One indexed mzML file written front to back, its spectra streamed
    with `spectrum`, and hashed as it is written: the SHA-1 of the bytes
    before `<fileChecksum>` (the file's checksum) and the SHA-256 of the
    whole file (for the output layer: `record_digest`).

    The opening part states the spectrum count, known only at the end, and
    the source file's SHA-1, known once its hash (on its own thread, begun
    with the conversion) is done. The writer leaves room for the opening
    and writes it last into that room (padded with whitespace between
    elements). The hashes need it first, so it is hashed as it is
    predicted: with the count of `expected` spectra, as soon as the
    source's SHA-1 is known; the body written until then is hashed after
    it (held in memory: `HOLD` bytes at most, past which the writer waits
    for the source's SHA-1), and the rest as it is written (a large body
    held is hashed by a thread of its own, `_CatchUp`, with what is
    written meanwhile, while the writer goes on). When the opening finally
    written is the one predicted, both digests are complete without
    reading anything back. When it is not (a scan without a peak list,
    spectra left out by MS level, no `expected`), the file is read back
    once, computing both digests in that one pass."""

    def __init__(
        self,
        fh: IO[bytes],
        source: ScanSource,
        voc: Vocabulary,
        encoder: Encoder,
        source_sha1: Callable[[], str],
        *,
        expected: int | None = None,
        source_sha1_known: Callable[[], bool] = lambda: True,
        digester: Digester | None = None,
    ):
        self.fh, self.source, self.voc, self.encoder = fh, source, voc, encoder
        self.source_sha1 = source_sha1
        self.offsets: list[tuple[str, int]] = []
        self.written: set[int] = set()
        self.times: list[float] = []
        self.tics: list[float] = []
        # Room for the opening part with any count up to 10 digits.
        self.version = tool_version()
        self.room = len(self.opening(1, "0" * 40)) + 10
        fh.seek(self.room)
        self.pos = self.room
        self.sha256 = ""  # of the whole file, once finished
        # Hashing as written: the opening predicted, the body held until it is.
        self.expected, self.known = expected, source_sha1_known
        self.digester = digester if expected is not None else None
        self.head: bytes | None = None  # the opening hashed, with its padding
        self.held: list[bytes] = []
        self.held_bytes = 0
        self.behind: _CatchUp | None = None  # hashing what was held, and what comes meanwhile
        # The texts every spectrum repeats, made once.
        p = voc.param
        self._level_params: dict[int, str] = {}  # by MS level, made as first met
        self._scan_list = f'        <scanList count="1">\n          {p("no combination")}\n          <scan>\n'
        self._mz_array = f"            {p('m/z array', '', 'm/z')}"
        self._intensity_array = f"            {p('intensity array', '', 'number of detector counts')}"
        self._time = (f'            <cvParam {voc.ref["scan start time"]} value="', f'"{voc.unit["minute"]}/>\n')
        self._injection = (
            f'            <cvParam {voc.ref["ion injection time"]} value="',
            f'"{voc.unit["millisecond"]}/>\n',
        )
        self._tic = f'        <cvParam {voc.ref["total ion current"]} value="'

    def write(self, data: bytes) -> None:
        if self.behind is not None:
            if self.behind.bytes <= self.behind.limit and self.behind.add(data):
                self.fh.write(data)
                self.pos += len(data)
                return
            self._caught_up()  # caught up, or too far behind: hashed here from now on
        if self.head is not None and self.digester is not None and len(data) > SLICE:
            # Written and hashed a slice at a time, each hashed while the
            # write has just brought it into this core's cache.
            view = memoryview(data)
            for at in range(0, len(data), SLICE):
                piece = view[at : at + SLICE]
                self.fh.write(piece)
                self.digester.update(piece)
            self.pos += len(data)
            return
        self.fh.write(data)
        self.pos += len(data)
        if self.digester is None:
            return
        if self.head is not None:
            self.digester.update(data)
            return
        self.held.append(data)
        self.held_bytes += len(data)
        if self.held_bytes >= HOLD or self.known():
            self._hash_head(beside=True)

    def mispredicted(self) -> None:
        """A scan will not be a spectrum: the count the opening is hashed
        with is wrong, and hashing as written is given up (see `finish`)."""
        self.close()
        if self.digester is not None:
            self.digester.close()
            self.digester = None
            self.held, self.held_bytes = [], 0

    def _padded(self, count: int) -> bytes:
        opening = self.opening(count, self.source_sha1())
        return opening + b" " * (self.room - len(opening) - 1) + b"\n"

    def _hash_head(self, *, beside: bool = False) -> None:
        """The predicted opening hashed (waiting for the source's SHA-1),
        then the body held until now: here, or (`beside`, a large body) by
        a catch-up thread."""
        if self.digester is None or self.expected is None or self.head is not None:
            return
        self.head = self._padded(self.expected)
        if beside and self.held_bytes >= CATCH_UP:
            self.behind = _CatchUp(self.digester, [self.head, *self.held])
        else:
            self.digester.update(self.head)
            for data in self.held:
                self.digester.update(data)
        self.held, self.held_bytes = [], 0

    def _caught_up(self) -> None:
        """Waits for the catch-up thread, if any, to hash all it was given."""
        if self.behind is not None:
            self.behind.finish()
            self.behind = None

    def close(self) -> None:
        """Stops the catch-up thread, if any (a conversion that fails)."""
        if self.behind is not None:
            self.behind.stop()
            self.behind = None

    def opening(self, count: int, source_sha1: str) -> bytes:
        voc, source = self.voc, self.source
        p = voc.param
        location = source_location(source)
        run_id = _xml_id(source.stem)
        text = (
            '<?xml version="1.0" encoding="utf-8"?>\n'
            + INDEXED_NS
            + MZML_NS
            + voc.cv_list
            + "    <fileDescription>\n      <fileContent>\n"
            f"        {p('MS1 spectrum')}\n        {p('MSn spectrum')}\n        {p('centroid spectrum')}\n"
            '      </fileContent>\n      <sourceFileList count="1">\n'
            f'        <sourceFile id="RAW1" name="{attr(source.name)}" location="{attr(location)}">\n'
            f"          {p('Thermo RAW format')}\n          {p('scan number only nativeID format')}\n"
            f"          {p('SHA-1', source_sha1)}\n"
            "        </sourceFile>\n      </sourceFileList>\n    </fileDescription>\n"
            f'    <softwareList count="1">\n      <software id="vantoro" version="{attr(self.version)}">\n'
            f"        {p('custom unreleased software tool', 'vantoro')}\n      </software>\n    </softwareList>\n"
            # The file says nothing of the instrument's parts: generic terms.
            '    <instrumentConfigurationList count="1">\n      <instrumentConfiguration id="IC1">\n'
            f"        {p('Thermo Fisher Scientific instrument model')}\n"
            '        <componentList count="3">\n'
            f'          <source order="1">{p("ionization type")}</source>\n'
            f'          <analyzer order="2">{p("mass analyzer type")}</analyzer>\n'
            f'          <detector order="3">{p("detector type")}</detector>\n'
            "        </componentList>\n      </instrumentConfiguration>\n    </instrumentConfigurationList>\n"
            '    <dataProcessingList count="1">\n      <dataProcessing id="vantoro_conversion">\n'
            f'        <processingMethod order="1" softwareRef="vantoro">{p("Conversion to mzML")}'
            "</processingMethod>\n      </dataProcessing>\n    </dataProcessingList>\n"
            f'    <run id="{run_id}" defaultInstrumentConfigurationRef="IC1">\n'
            # The schema has no empty spectrumList: none without spectra.
            + (f'      <spectrumList count="{count}" defaultDataProcessingRef="vantoro_conversion">\n' if count else "")
        )
        return text.encode("utf-8")

    def spectrum(self, scan: Scan, encoded: Encoded, length: int) -> None:
        warn = self.source.warn
        spectrum_id = f"scan={scan.number}"
        self.offsets.append((spectrum_id, self.pos + len("      ")))  # where <spectrum starts
        scan_params = ""
        tic = encoded.tic
        tic_finite = math.isfinite(tic)
        if not tic_finite:
            warn("total ion current not finite")
        # The chromatogram has a point where both its time and its 32-bit
        # current are finite.
        rt = scan.rt
        if math.isfinite(rt):
            scan_params += f"{self._time[0]}{rt!r}{self._time[1]}"
            if tic_finite and encoded.tic_fits_32:
                self.times.append(rt)
                self.tics.append(tic)
            elif tic_finite:
                warn("total ion current beyond 32-bit float (left out of the chromatogram)")
        else:
            warn("retention time not finite")
        if math.isfinite(scan.injection_time):
            scan_params += f"{self._injection[0]}{scan.injection_time!r}{self._injection[1]}"
        else:
            warn("injection time not finite")
        level = scan.ms_level
        level_params = self._level_params.get(level)
        if level_params is None:
            p = self.voc.param
            level_params = self._level_params[level] = (
                f"        {p('ms level', level)}\n        {p('MS1 spectrum' if level == 1 else 'MSn spectrum')}\n"
                f"        {p('centroid spectrum')}\n"
            )
        head = (
            f'      <spectrum index="{len(self.offsets) - 1}" id="{spectrum_id}" defaultArrayLength="{length}">\n'
            f"{level_params}"
            + (f'{self._tic}{tic!r}"/>\n' if tic_finite else "")
            + f"{self._scan_list}{scan_params}          </scan>\n        </scanList>\n"
            f"{self.precursor(scan)}"
            '        <binaryDataArrayList count="2">\n'
            f'          <binaryDataArray encodedLength="{len(encoded.mz)}">\n'
            f"{self._mz_array}{encoded.mz_params}\n            <binary>"
        )
        middle = (
            "</binary>\n          </binaryDataArray>\n"
            f'          <binaryDataArray encodedLength="{len(encoded.intensity)}">\n'
            f"{self._intensity_array}{encoded.intensity_params}\n            <binary>"
        )
        pieces = (head.encode(), encoded.mz, middle.encode(), encoded.intensity, _SPECTRUM_END)
        if len(encoded.mz) + len(encoded.intensity) <= SLICE:
            # A small spectrum in one write and one hash update: the calls cost more than the copy.
            self.write(b"".join(pieces))
        else:
            for piece in pieces:
                self.write(piece)
        self.written.add(scan.number)

    def precursor(self, scan: Scan) -> str:
        """The precursorList of an MS2 (or higher) scan with a precursor
        (`precursor_of`: the rules shared with the mzPeak writer), referring
        to its master scan when that was written."""
        pre = precursor_of(scan, self.source.warn)
        if pre is None:
            return ""
        p = self.voc.param
        ref = f' spectrumRef="scan={pre.master_scan}"' if pre.master_scan in self.written else ""
        out = f'        <precursorList count="1">\n          <precursor{ref}>\n'
        if pre.isolation_offset is not None:
            out += (
                "            <isolationWindow>\n"
                f"              {p('isolation window target m/z', pre.mz, 'm/z')}\n"
                f"              {p('isolation window lower offset', pre.isolation_offset, 'm/z')}\n"
                f"              {p('isolation window upper offset', pre.isolation_offset, 'm/z')}\n"
                "            </isolationWindow>\n"
            )
        ion = ""
        if pre.mz is not None:
            ion += f"                {p('selected ion m/z', pre.mz, 'm/z')}\n"
        if pre.charge is not None:
            ion += f"                {p('charge state', pre.charge)}\n"
        if ion:
            out += (
                '            <selectedIonList count="1">\n              <selectedIon>\n'
                f"{ion}              </selectedIon>\n            </selectedIonList>\n"
            )
        out += f"            <activation>\n              {p(pre.activation)}\n"
        # cvParams before userParams, as the schema orders them.
        for e in pre.energies:
            if e.term is not None:
                out += f"              {p(e.term, e.value, e.unit)}\n"
        for e in pre.energies:
            if e.term is None:
                out += f'              <userParam name="{attr(e.key)}" value="{e.value!r}" type="xsd:double"/>\n'
        return out + "            </activation>\n          </precursor>\n        </precursorList>\n"

    def finish(self) -> None:
        """The TIC chromatogram, the closing tags, the index, the opening
        part into its room, and the checksum."""
        import numpy as np

        p, enc = self.voc.param, self.encoder
        times, time_params = enc.encode(np.array(self.times, np.float64), "time")
        # Summed as float64 but stored as 32-bit, like the spectra's
        # intensities (only those that fit are kept: see `spectrum`).
        tics, tic_params = enc.encode(np.array(self.tics, np.float32), "intensity")
        if self.offsets:
            self.write(b"      </spectrumList>\n")
        chrom_at = self.pos + len(
            '      <chromatogramList count="1" defaultDataProcessingRef="vantoro_conversion">\n        '
        )
        self.write(
            (
                '      <chromatogramList count="1" defaultDataProcessingRef="vantoro_conversion">\n'
                f'        <chromatogram index="0" id="TIC" defaultArrayLength="{len(self.times)}">\n'
                f"          {p('total ion current chromatogram')}\n"
                '          <binaryDataArrayList count="2">\n'
                f'            <binaryDataArray encodedLength="{len(times)}">\n'
                f"              {p('time array', '', 'minute')}{time_params}\n              <binary>"
            ).encode()
            + times
            + (
                "</binary>\n            </binaryDataArray>\n"
                f'            <binaryDataArray encodedLength="{len(tics)}">\n'
                f"              {p('intensity array', '', 'number of detector counts')}{tic_params}\n"
                "              <binary>"
            ).encode()
            + tics
            + b"</binary>\n            </binaryDataArray>\n          </binaryDataArrayList>\n"
            b"        </chromatogram>\n      </chromatogramList>\n    </run>\n  </mzML>\n"
        )
        index_at = self.pos + len("  ")  # where <indexList starts
        spectra = "".join(f'      <offset idRef="{i}">{o}</offset>\n' for i, o in self.offsets)
        if spectra:
            spectra = f'    <index name="spectrum">\n{spectra}    </index>\n'
        self.write(
            (
                f'  <indexList count="{2 if spectra else 1}">\n'
                + spectra
                + f'    <index name="chromatogram">\n      <offset idRef="TIC">{chrom_at}</offset>\n    </index>\n'
                f"  </indexList>\n  <indexListOffset>{index_at}</indexListOffset>\n  <fileChecksum>"
            ).encode()
        )
        self._hash_head()
        self._caught_up()
        head = self._padded(len(self.offsets))
        self.fh.seek(0)
        self.fh.write(head)
        self.fh.seek(self.pos)
        if self.digester is not None and head == self.head:
            digest = self.digester.hexdigest("sha1")
            self.digester.only("sha256")
            tail = f"{digest}</fileChecksum>\n</indexedmzML>\n".encode()
            self.write(tail)
            self.sha256 = self.digester.hexdigest("sha256")
        else:  # the opening is not the one hashed: the file read back once, for both digests
            self.fh.flush()
            sha1, sha256 = _read_back(self.fh, self.pos)
            tail = f"{sha1.hexdigest()}</fileChecksum>\n</indexedmzML>\n".encode()
            self.fh.seek(self.pos)
            self.fh.write(tail)
            sha256.update(tail)
            self.sha256 = sha256.hexdigest()


def _read_back(fh: IO[bytes], end: int) -> tuple[Any, Any]:
    """SHA-1 and SHA-256 of the first `end` bytes of `fh`, read back once
    from the page cache."""
    sha1, sha256 = hashlib.sha1(), hashlib.sha256()
    buf = bytearray(1 << 22)
    view = memoryview(buf)
    fh.seek(0)
    pos = 0
    while pos < end:
        n = fh.readinto(view[: min(len(buf), end - pos)])  # type: ignore[attr-defined]
        if not n:
            raise OSError(f"short read at byte {pos} of the mzML being written")
        sha1.update(view[:n])
        sha256.update(view[:n])
        pos += n
    return sha1, sha256


def write_mzml(raw: StrPath, dest: StrPath, *, on_scan: Callable[[], None] | None = None) -> int:
    """Writes every scan of `raw` that has a peak list to `dest` as one
    spectrum of an indexed mzML file and returns how many were written.
    Raises LayoutError when the file fails the layout check."""
    return write_mzml_source(open_source(raw, on_scan=on_scan), [os.fspath(dest)], WriteOptions()).spectra


def write_mzml_source(source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
    """Writes the scans of `source` that have a peak list (at the MS levels
    asked for; all by default) to `dests[0]` as the spectra of an indexed
    mzML file, with the total ion current chromatogram.

    Each spectrum has the id "scan=N", its MS level (the trailer's "MS
    Order", else 1), its scan start time in minutes and ion injection time,
    its total ion current, 64-bit m/z and 32-bit intensity arrays (zlib,
    MS-Numpress or uncompressed, `options.compression`), and for MS2 scans
    the precursor: monoisotopic m/z, charge, the master scan as reference,
    isolation window and activation where the trailer has them. A value
    that is not finite, or a total ion current that 32-bit floats cannot
    hold in the chromatogram, is left out and counted in the warnings. The
    source file carries its SHA-1. The file appears under its name only
    when complete."""
    voc = vocabulary()
    encoder = Encoder(options.compression or "zlib", voc)
    levels = options.ms_levels
    threads = options.thread_count
    with (
        atomic_path(dests[0]) as tmp,
        # The source file's checksum, for its sourceFile, on its own thread
        # from the start (given up when the conversion fails or is
        # interrupted), or first, given one thread.
        SourceDigest(os.fspath(source.path), "sha1", HASH_CHUNK, beside=threads > 1) as source_sha1,
        # Both checksums in the writing thread, even with a core to spare:
        # it hashes each piece it has just written while it is in its core's
        # cache (the dense file, measured: 0.2 CPU-s and 0.1 s less than on
        # a thread beside it); only a body held for the source's SHA-1 is
        # hashed beside it (`_CatchUp`).
        Digester("sha1", "sha256", beside=False) as digester,
        open(tmp, "r+b", buffering=1 << 20) as fh,
        # The pool's threads behind the writing thread and the checksums:
        # the whole file's hashing waits for the source's SHA-1, then goes
        # in the order written, and the pool fills what they leave.
        ThreadPoolExecutor(threads, thread_name_prefix="vantoro-mzml", initializer=run_behind) as executor,
    ):
        # Given one thread, the spectra are encoded here as they are written.
        pool = executor if threads > 1 else None
        ahead = AHEAD if pool is not None else 0
        # Every scan with a peak list is a spectrum: the count the opening
        # is hashed with, before it is known (see `Document`).
        doc = Document(
            fh,
            source,
            voc,
            encoder,
            source_sha1.result,
            expected=source.num_scans if levels is None else None,
            source_sha1_known=source_sha1.done,
            digester=digester,
        )
        pending: deque[tuple[Scan, int, Pending[Encoded]]] = deque()
        try:
            for scan in _with_peaks(source, levels, doc.mispredicted):
                assert scan.mz is not None and scan.intensity is not None
                peaks = len(scan.mz)
                where = pool if peaks >= POOL_PEAKS else None
                pending.append((scan, peaks, submit(where, encoder.spectrum, scan.mz, scan.intensity)))
                if len(pending) > ahead:
                    done, length, future = pending.popleft()
                    doc.spectrum(done, future.result(), length)
            while pending:
                done, length, future = pending.popleft()
                doc.spectrum(done, future.result(), length)
            doc.finish()
        finally:
            doc.close()
        fh.flush()
        record_digest(tmp, doc.sha256)
    return Written(len(doc.offsets), source.warnings)


def _with_peaks(source: ScanSource, levels: frozenset[int] | None, skipped: Callable[[], None]) -> Iterator[Scan]:
    for scan in source.scans():
        if scan.mz is not None and (levels is None or scan.ms_level in levels):
            yield scan
        else:
            skipped()
