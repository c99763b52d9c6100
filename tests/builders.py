"""Builders of synthetic RAW-like files for tests, the demo and benchmarks.

Only the regions that are placed are written; everything else stays a hole
of a sparse file, so layouts at offsets of megabytes or gigabytes cost
neither disk nor time.
"""

from __future__ import annotations

import os
import struct

# Fixed positions of the two layouts the reader knows.
HEADER_SIZE = 40  # bytes the header probe reads
RT_SMALL_START, RT_SMALL_STRIDE = 1481842, 72
RT_ORBI_START, RT_ORBI_STRIDE = 6464174, 88
CHAIN_BASE = 3666
CHAIN_WORD_BEFORE = 4  # the chain word sits this many bytes before a retention time
TRAILER_START, TRAILER_STRIDE = 6514414, 558
TRAILER_CACHED = 76  # bytes of a trailer block the tables need
TRAILER_PRESENT = 140
# The version-57 diagnostic records of small files: the injection time at
# their start, V57_RECORD_EXTENT bytes of each needed in the file.
V57_RECORD_START, V57_STRIDE = 1492161, 254
V57_RECORD_EXTENT = 40
V57_FIRST_RECORD_END = V57_RECORD_START + V57_RECORD_EXTENT
# Search bounds of the reader that tests and seeds place data against.
METHOD_SEARCH_REGION = 4 << 20  # the method's start marker must lie in these first bytes
METHOD_SEARCH_CHUNK = 64 << 10  # the start marker is sought in chunks of this size
UNIT_CHUNK = 1 << 20  # the UTF-16 scans stream chunks of this size
PROBED_COUNT_OFFSETS = (190, 124, 0)  # where a non-66 peak count is probed first, from the scan offset
SMALL_OFFSETS = [88820, 118112, 105244, 109492, 117780, 124332, 129828, 135892, 295708, 146733]


def scan_count(version: int) -> int:
    return {57: 48, 66: 145}.get(version, 100)


class RawImage:
    """A sparse file image: byte regions at absolute offsets plus a length."""

    def __init__(self, size: int = HEADER_SIZE):
        self.size = size
        self.regions: dict[int, bytes] = {}

    # -- raw placement -------------------------------------------------
    def put(self, offset: int, data: bytes) -> RawImage:
        self.regions[offset] = bytes(data)
        self.size = max(self.size, offset + len(data))
        return self

    def pack(self, offset: int, fmt: str, *values) -> RawImage:
        return self.put(offset, struct.pack("<" + fmt, *values))

    def u8(self, offset, v):
        return self.pack(offset, "B", v)

    def u32(self, offset, v):
        return self.pack(offset, "I", v)

    def i32(self, offset, v):
        return self.pack(offset, "i", v)

    def u64(self, offset, v):
        return self.pack(offset, "Q", v)

    def f32(self, offset, v):
        return self.pack(offset, "f", v)

    def f64(self, offset, v):
        return self.pack(offset, "d", v)

    # -- header --------------------------------------------------------
    def header(
        self, version: int = 66, *, word36: int | None = None, word12: int | None = None, creation_time: int = 0
    ) -> RawImage:
        """Version words at 36 (57/66) or 12 (anything else), creation time at 16."""
        if word36 is None:
            word36 = version if version in (57, 66) else 0
        if word12 is None:
            word12 = 0 if version in (57, 66) else version
        self.u32(12, word12).u64(16, creation_time).u32(36, word36)
        return self

    # -- per-scan layouts ----------------------------------------------
    def rt_series(self, start: int, stride: int, values) -> RawImage:
        for i, v in enumerate(values):
            self.f64(start + stride * i, v)
        return self

    def offset_chain(self, words) -> RawImage:
        """The words just before each orbitrap retention time: scan k+1's
        offset is scan k's offset plus word k."""
        for i, w in enumerate(words):
            self.u32(RT_ORBI_START + RT_ORBI_STRIDE * i - 4, w)
        return self

    def trailer(
        self,
        scan: int,
        *,
        agc: bytes | None = None,
        injection_time: float | None = None,
        elapsed: float | None = None,
        resolution: int | None = None,
        ms_order_byte: int | None = None,
        master_scan: int | None = None,
        monomz: float | None = None,
        charge: int | None = None,
        collision: bytes | None = None,
        hcd: bytes | None = None,
        isolation: float | None = None,
        length: int = TRAILER_PRESENT,
    ) -> RawImage:
        """The 558-byte trailer block of a 1-based scan; `length` bytes of it
        are made part of the file (140 makes it count as present)."""
        b = trailer_block_start(scan)
        self.size = max(self.size, b + length)
        if agc is not None:
            self.put(b + 0, agc.ljust(13, b" ")[:13])
        if injection_time is not None:
            self.f32(b + 12, injection_time)
        if elapsed is not None:
            self.f32(b + 16, elapsed)
        if resolution is not None:
            self.u32(b + 21, resolution)
        if ms_order_byte is not None:
            self.u8(b + 29, ms_order_byte)
        if master_scan is not None:
            self.i32(b + 62, master_scan)
        if monomz is not None:
            self.f64(b + 66, monomz)
        if charge is not None:
            self.u8(b + 74, charge)
        if collision is not None:
            self.put(b + 75, collision.ljust(16, b" ")[:16])
        if hcd is not None:
            self.put(b + 100, hcd.ljust(16, b" ")[:16])
        if isolation is not None:
            self.f32(b + 125, isolation)
        return self

    # -- output --------------------------------------------------------
    def write(self, path) -> str:
        path = os.fspath(path)
        with open(path, "wb") as f:
            for offset in sorted(self.regions):
                f.seek(offset)
                f.write(self.regions[offset])
            f.truncate(self.size)
        return path


def trailer_block_start(scan: int) -> int:
    return TRAILER_START + TRAILER_STRIDE * (scan - 1)


def peak_block_v66(mz, intensity, count: int | None = None) -> bytes:
    """Count word, then 12-byte records: float64 m/z, float32 intensity."""
    n = len(mz) if count is None else count
    out = bytearray(struct.pack("<I", n))
    for m, i in zip(mz, intensity):
        out += struct.pack("<df", m, i)
    return bytes(out)


def peak_block_v57(mz, intensity, count: int | None = None) -> bytes:
    """Count word, then 8-byte records: float32 m/z, float32 intensity."""
    n = len(mz) if count is None else count
    out = bytearray(struct.pack("<I", n))
    for m, i in zip(mz, intensity):
        out += struct.pack("<ff", m, i)
    return bytes(out)


def utf16(text: str) -> bytes:
    return text.encode("utf-16-le")


def orbitrap_v66(num_peaks: int = 0, *, size: int | None = None, scans: int = 145, block_stride: int = 0) -> RawImage:
    """A version-66 orbitrap layout: retention times, an offset chain whose
    scans sit `block_stride` bytes apart from 3666, and trailer blocks for
    every scan. With num_peaks > 0 each scan gets a peak block at its offset."""
    img = RawImage().header(66, creation_time=132000000000000000)
    img.rt_series(RT_ORBI_START, RT_ORBI_STRIDE, [0.5 * (i + 1) for i in range(scans)])
    img.offset_chain([block_stride] * scans)
    for s in range(1, scans + 1):
        img.trailer(
            s,
            agc=b"AGC",
            injection_time=10.0 + s,
            elapsed=0.25,
            resolution=60000,
            ms_order_byte=s % 2,
            master_scan=s - 1 if s % 2 == 0 else 0,
            monomz=400.0 + s,
            charge=2,
            collision=b"35",
            hcd=b"30.5",
            isolation=1.6,
        )
        if num_peaks:
            mz = [100.0 + j * 0.5 for j in range(num_peaks)]
            inten = [float(1000 + j) for j in range(num_peaks)]
            img.put(CHAIN_BASE + block_stride * (s - 1), peak_block_v66(mz, inten))
    if size is not None:
        img.size = max(img.size, size)
    return img


def orbitrap_varied(seed: int = 1, stride: int = 12000) -> RawImage:
    """A version-66 orbitrap layout whose scans carry peak lists of varied
    lengths and values (every fourth scan has none), some MS2 scans without
    a charge or a precursor m/z, and labels and warnings: converter input."""
    import random

    rnd = random.Random(seed)
    img = orbitrap_v66(0, block_stride=stride)
    for s in range(1, 146):
        if s % 4 == 0:
            continue
        n = rnd.randint(11, (stride - 4) // 12)
        mz = sorted(rnd.uniform(50.5, 2000.0) for _ in range(n))
        inten = [rnd.uniform(0.0, 1e7) for _ in range(n)]
        img.put(CHAIN_BASE + stride * (s - 1), peak_block_v66(mz, inten))
    img.trailer(5, monomz=0.0)  # MS2 without a precursor m/z
    img.trailer(7, charge=0)  # MS2 without a charge
    img.put(1 << 22, utf16("Coulombmeter\0Ambient Temp\0Vacuum (mbar)\0X\0"))
    img.put(1 << 23, utf16("Possible spray instability\0Fan speed low\0"))
    return img


def small_v57() -> RawImage:
    """A version-57 small-file layout whose tables are all in the file:
    retention times, injection times and a 20-peak list for scan 1."""
    img = RawImage().header(57)
    img.rt_series(RT_SMALL_START, RT_SMALL_STRIDE, [0.25 * (i + 1) for i in range(48)])
    for i in range(48):
        img.f32(V57_FIRST_RECORD_END + V57_STRIDE * i - 40, 5.0 + i)
    img.size = V57_FIRST_RECORD_END + V57_STRIDE * 47  # the reader needs the whole 40-byte field span
    return img.put(SMALL_OFFSETS[0], peak_block_v57([100.0 + j for j in range(20)], [float(j) for j in range(20)]))


# The orbitrap tables (chain words, retention times, trailer blocks) that
# peak blocks must leave alone.
ORBI_TABLES = (RT_ORBI_START - 4, TRAILER_START + TRAILER_STRIDE * 144 + TRAILER_PRESENT)


def peak_block_arrays(mz, intensity) -> bytes:
    """`peak_block_v66` from NumPy arrays, at NumPy speed."""
    import numpy as np

    rec = np.empty(len(mz), np.dtype([("mz", "<f8"), ("i", "<f4")]))
    rec["mz"], rec["i"] = mz, intensity
    return struct.pack("<I", len(mz)) + rec.tobytes()


def orbitrap_blocks(img: RawImage, blocks: list[bytes]) -> RawImage:
    """Places one peak block per scan, each right after the one before,
    from CHAIN_BASE, jumping over the orbitrap tables, and writes the
    offset chain that finds them."""
    words, pos = [], CHAIN_BASE
    for block in blocks:
        if pos < ORBI_TABLES[1] and pos + len(block) > ORBI_TABLES[0]:
            jump = -(-ORBI_TABLES[1] // 16) * 16 - pos  # the block goes after the tables
            words[-1] += jump
            pos += jump
        img.put(pos, block)
        words.append(len(block))
        pos += len(block)
    return img.offset_chain(words)


def _spectrum(rng, n: int):
    import numpy as np

    mz = np.sort(rng.uniform(100.0, 2000.0, n))
    return mz, rng.lognormal(10.0, 2.0, n).astype(np.float32)


def orbitrap_dense(peaks: int = 199_999, seed: int = 0) -> RawImage:
    """145 MS2 scans (each with a precursor m/z) of `peaks` random centroids
    each (2.4 MB a scan at the default), laid one after the other: a large
    file that is all peak lists."""
    import numpy as np

    rng = np.random.default_rng(seed)
    img = orbitrap_v66(0)
    for s in range(1, 146):
        img.trailer(s, ms_order_byte=1, master_scan=0)
    return orbitrap_blocks(img, [peak_block_arrays(*_spectrum(rng, peaks)) for _ in range(145)])


def orbitrap_run(seed: int = 0, cycle: int = 10) -> RawImage:
    """A run as an instrument records it: cycles of one MS1 scan of
    2,000-20,000 peaks and `cycle` - 1 MS2 scans of 51-500 peaks, each MS2
    with its master scan, precursor m/z, charge and energies."""
    import numpy as np

    rng = np.random.default_rng(seed)
    img = orbitrap_v66(0)
    blocks, master = [], 0
    for s in range(1, 146):
        if (s - 1) % cycle == 0:
            master = s
            img.trailer(s, ms_order_byte=0, master_scan=0, monomz=0.0, charge=0)
            blocks.append(peak_block_arrays(*_spectrum(rng, int(rng.integers(2000, 20001)))))
        else:
            img.trailer(
                s,
                ms_order_byte=1,
                master_scan=master,
                monomz=float(rng.uniform(350, 1500)),
                charge=int(rng.integers(1, 5)),
            )
            blocks.append(peak_block_arrays(*_spectrum(rng, int(rng.integers(51, 501)))))
    return orbitrap_blocks(img, blocks)


def dense_orbitrap(peaks: int, scans: int = 145) -> RawImage:
    """A version-66 orbitrap layout whose every scan has a `peaks`-peak
    list, packed back to back from the chain's base; the scan whose list
    would overlap the retention-time and trailer tables is placed after
    them (its chain word is larger)."""
    import numpy as np

    img = orbitrap_v66(0, scans=scans)
    block = 4 + 12 * peaks
    tables = range(RT_ORBI_START - 4, trailer_block_start(scans) + TRAILER_PRESENT)
    records = np.zeros(peaks, dtype=[("mz", "<f8"), ("intensity", "<f4")])
    offsets, at = [], CHAIN_BASE
    for s in range(scans):
        if at < tables.stop and at + block > tables.start:
            at = tables.stop
        offsets.append(at)
        records["mz"] = np.linspace(100.0, 1900.0, peaks) + 0.001 * s
        records["intensity"] = np.arange(peaks, dtype=np.float32) + s
        img.put(at, struct.pack("<I", peaks) + records.tobytes())
        at += block
    img.offset_chain([b - a for a, b in zip(offsets, offsets[1:])] + [block])
    return img


QC_METHOD_OFFSET = 0x3F0000  # inside the 4 MiB where the instrument method is looked for


def qc_run(
    seed: int,
    *,
    odd: bool = False,
    method_max_it: tuple[float, ...] = (),
    stride: int = 12000,
    day: int | None = None,
    signal: float = 1.0,
    fill: float = 1.0,
    analyte: float | None = None,
) -> RawImage:
    """A version-66 orbitrap run shaped like a data-dependent acquisition:
    MS1 scans each followed by a varying number of MS2 scans (the top N
    reached), some MS2 scans followed by an MS3 scan, master scans pointing
    at the scan each was taken from, varied charges, precursors, injection
    times, resolutions and collision energies, a TIC that rises and falls,
    every ninth MS2 scan without a peak list, and status-log labels and
    warnings. `odd` makes a run that stands out of a batch (a weak spray
    and slow cycles); `method_max_it` writes an instrument method stating
    those maximum injection times. `day` sets the creation day (default:
    the seed), `signal` scales every intensity and `fill` every injection
    time, so that runs of one seed differ only there. `analyte` adds a peak
    at that m/z to every MS1 scan, eluting mid-run (an XIC to find)."""
    import math
    import random

    rnd = random.Random(seed)
    scans = 145
    levels, masters = [], []
    last_ms1 = last_ms2 = 0
    top_n = rnd.choice((4, 6, 8))
    while len(levels) < scans:
        levels.append(1)
        masters.append(0)
        last_ms1 = len(levels)
        for _ in range(rnd.randint(max(1, top_n - 4), top_n)):
            if len(levels) >= scans:
                break
            levels.append(2)
            masters.append(last_ms1)
            last_ms2 = len(levels)
            if rnd.random() < 0.08 and len(levels) < scans:
                levels.append(3)
                masters.append(last_ms2)
    rt, t = [], 0.2 + rnd.uniform(0, 0.05)
    for level in levels:
        rt.append(t)
        t += (0.9 if odd else 0.45) / 60 if level == 1 else rnd.uniform(0.06, 0.09) * (2 if odd else 1) / 60
    unix = 1_700_000_000 + 86_400 * (seed if day is None else day)
    img = RawImage().header(66, creation_time=(unix + 11_644_473_600) * 10_000_000)  # FILETIME
    img.rt_series(RT_ORBI_START, RT_ORBI_STRIDE, rt)
    img.offset_chain([stride] * scans)
    ms2_res = rnd.choice((15000, 30000))
    scale = (2e5 if odd else 1e7) * rnd.uniform(0.7, 1.3) * signal
    for s, (level, master) in enumerate(zip(levels, masters), start=1):
        cap = 50.0 if level == 1 else 54.0
        it = min(cap, rnd.uniform(2.0, 70.0 if level > 1 else 40.0))
        charge = rnd.choice((2, 2, 2, 3, 3, 4, 1, 0)) if level > 1 else 0
        precursor = round(rnd.uniform(350.0, 1400.0), 4) if level > 1 and rnd.random() > 0.05 else 0.0
        img.trailer(
            s,
            agc=b"AGC",
            injection_time=it * fill,
            elapsed=rnd.uniform(0.02, 0.3),
            resolution=120000 if level == 1 else ms2_res,
            ms_order_byte=level - 1,
            master_scan=master,
            monomz=precursor,
            charge=charge,
            collision=b"%d" % rnd.choice((28, 30, 32)) if level > 1 else b"0",
            hcd=b"30" if level > 1 else b"",
            isolation=(1.6 if level == 2 else 2.0) if level > 1 else 0.0,
        )
        if level > 1 and s % 9 == 0:
            continue
        n = rnd.randint(11, min(300, (stride - 4) // 12))
        mz = sorted(rnd.uniform(60.0, 1900.0) for _ in range(n))
        shape = math.exp(-(((rt[s - 1] - rt[-1] / 2) / (rt[-1] / 4)) ** 2))
        inten = [rnd.uniform(0.0, 1.0) * scale * (shape if level == 1 else 0.1) for _ in range(n)]
        if analyte is not None and level == 1:
            at = sum(m < analyte for m in mz)
            elution = math.exp(-(((rt[s - 1] - rt[-1] / 2) / (rt[-1] / 10)) ** 2))
            mz.insert(at, analyte)
            inten.insert(at, 2.0 * scale * elution)
        img.put(CHAIN_BASE + stride * (s - 1), peak_block_v66(mz, inten))
    if method_max_it:
        fields = "".join(f"<Scan><MaxIT>{v:g}</MaxIT></Scan>" for v in method_max_it)
        img.put(
            QC_METHOD_OFFSET,
            f'<?xml version="1.0"?><InstrumentMethod><CmData>{fields}</CmData></InstrumentMethod>'.encode(),
        )
    img.put(1 << 22, utf16("Coulombmeter\0Source Voltage (kV)\0Capillary Temp (C)\0"))
    if seed % 3 == 0:
        img.put(1 << 23, utf16(f"Possible spray instability\0Spray current unstable (run {seed})\0"))
    return img


def qc_batch(directory, count: int = 20, odd: tuple[int, ...] = (13,), analyte: float | None = None) -> list[str]:
    """`count` varied runs named run_NN_orbitrap.raw in `directory`; runs
    whose number is in `odd` stand out, even-numbered ones state their
    maximum injection times in the method; `analyte` as `qc_run` has it."""
    os.makedirs(directory, exist_ok=True)
    return [
        qc_run(k, odd=k in odd, method_max_it=(50.0, 54.0) if k % 2 == 0 else (), analyte=analyte).write(
            os.path.join(os.fspath(directory), f"run_{k:02d}_orbitrap.raw")
        )
        for k in range(1, count + 1)
    ]


def qc_series(directory, count: int = 40, drift_from: int = 31, wild: int = 35) -> list[str]:
    """`count` runs of one instrument method on consecutive days, named
    day_NN_orbitrap.raw: their signal and injection times vary by a few per
    cent (uniformly, so that no rule of a control chart is broken by chance);
    from run `drift_from` on the signal falls by 1.5 % a run while the
    injection times rise by as much; run `wild` has a tenth of the signal."""
    os.makedirs(directory, exist_ok=True)
    paths = []
    for k in range(1, count + 1):
        # A low-discrepancy sequence in [-1, 1): consecutive runs land on alternating sides.
        noise = 2 * ((k * 0.6180339887) % 1.0) - 1
        signal, fill = 1 + 0.05 * noise, 1 - 0.04 * noise
        if k >= drift_from:
            signal *= 0.985 ** (k - drift_from + 1)
            fill *= 1.015 ** (k - drift_from + 1)
        if k == wild:
            signal *= 0.1
        img = qc_run(7, day=k, signal=signal, fill=fill)
        paths.append(img.write(os.path.join(os.fspath(directory), f"day_{k:02d}_orbitrap.raw")))
    return paths
