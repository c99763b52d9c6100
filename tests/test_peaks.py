"""Peak-list search and decoding, seen through native_get_peaks and get_peaks."""

import math
import os
import struct

import pytest

import vantoro

from builders import CHAIN_BASE, SMALL_OFFSETS, RawImage, orbitrap_v66, peak_block_v57, peak_block_v66
from read_counter import bytes_read

O = SMALL_OFFSETS[0]  # scan 1 of any "small.RAW" file


def f32(v):
    return struct.unpack("<f", struct.pack("<f", v))[0]


def peaks(n, start=100.0, step=0.25):
    return [start + step * j for j in range(n)], [10.0 + j for j in range(n)]


def block(version, n, start=100.0, step=0.25, count=None, mz1=None):
    mz, inten = peaks(n, start, step)
    if mz1 is not None:
        mz[1] = mz1
    return (peak_block_v66 if version == 66 else peak_block_v57)(mz, inten, count=count)


def expect(version, n, start=100.0, step=0.25, mz1=None):
    mz, inten = peaks(n, start, step)
    if mz1 is not None:
        mz[1] = mz1
    return ([m if version == 66 else f32(m) for m in mz], inten)


def small_reader(tmp_path, version, blocks, size=None):
    """Scan 1 starts at O; blocks are placed relative to it."""
    img = RawImage().header(version)
    for rel, data in blocks:
        img.put(O + rel, data)
    img.size = max(img.size, O + 1) if size is None else size
    return vantoro.RawFileReader(img.write(tmp_path / f"v{version}.small.RAW"))


def check(tmp_path, version, blocks, want, size=None):
    r = small_reader(tmp_path, version, blocks, size)
    got = r.native_get_peaks(1)
    if want is None:
        assert got is None
    else:

        def same(a, b):
            return len(a) == len(b) and all(x == y or x != x and y != y for x, y in zip(a, b))

        assert got is not None and same(got[0], want[0]) and got[1] == want[1], got
    return r


nan, up, down = math.nan, (lambda x: math.nextafter(x, math.inf)), (lambda x: math.nextafter(x, 0.0))


def block66(n, **k):
    return block(66, n, **k)


def expect66(n, **k):
    return expect(66, n, **k)


V66_CASES = {
    # window: count positions offset .. offset + 9999
    "at offset": ([(0, block66(20))], expect66(20)),
    "at offset+9999": ([(9999, block66(20))], expect66(20)),
    "at offset+10000": ([(10000, block66(20))], None),
    # count range and the block's extent
    "count 10": ([(0, block66(11, count=10))], None),
    "count 11": ([(0, block66(11))], expect66(11)),
    "count 199999 past end": ([(0, block66(11, count=199999))], None),
    # first m/z strictly inside (50, 5000)
    "first 50": ([(0, block66(12, start=50.0, step=0.0))], None),
    "first 5000": ([(0, block66(12, start=5000.0, step=0.0))], None),
    "first nan": ([(0, block66(12, start=nan))], None),
    "first just above 50": ([(0, block66(12, start=up(50.0), step=0.0))], expect66(12, start=up(50.0), step=0.0)),
    "first just below 5000": (
        [(0, block66(12, start=down(5000.0), step=0.0))],
        expect66(12, start=down(5000.0), step=0.0),
    ),
    # order tolerance on the second m/z
    "second = first - 0.001": (
        [(0, block66(12, start=300.0, mz1=300.0 - 0.001))],
        expect66(12, start=300.0, mz1=300.0 - 0.001),
    ),
    "second below tolerance": ([(0, block66(12, start=300.0, mz1=down(300.0 - 0.001)))], None),
    "second nan": ([(0, block66(12, start=300.0, mz1=nan))], expect66(12, start=300.0, mz1=nan)),
    # which block wins
    "30 then 60": ([(0, block66(30)), (2000, block66(60, start=200.0))], expect66(60, start=200.0)),
    "30 then 20": ([(0, block66(30)), (2000, block66(20, start=200.0))], expect66(20, start=200.0)),
    "60 stops at once": ([(0, block66(60)), (2000, block66(20, start=200.0))], expect66(60)),
    "51 stops, 50 does not": (
        [(0, block66(50)), (2000, block66(51, start=200.0)), (4000, block66(20, start=300.0))],
        expect66(51, start=200.0),
    ),
    "alone, interior searched": ([(0, block66(30))], expect66(30)),
    "small, small, large, small": (
        [
            (0, block66(30)),
            (3000, block66(20, start=200.0)),
            (6000, block66(60, start=300.0)),
            (8000, block66(25, start=400.0)),
        ],
        expect66(60, start=300.0),
    ),
}


@pytest.mark.parametrize("blocks, want", V66_CASES.values(), ids=V66_CASES.keys())
def test_v66_search(tmp_path, blocks, want):
    check(tmp_path, 66, blocks, want)


@pytest.mark.parametrize("extra, hit", [(0, True), (-1, False)])
@pytest.mark.parametrize("version", [66, 57])
def test_block_must_fit_in_file(tmp_path, version, extra, hit):
    data = block(version, 20)
    check(tmp_path, version, [(0, data)], expect(version, 20) if hit else None, size=O + len(data) + extra)


NARROW_CASES = {
    "probe A": ([(190, 11)], (11, 100.0)),
    "probe B": ([(124, 11)], (11, 100.0)),
    "probe C": ([(0, 11)], (11, 100.0)),
    "A wins over C": ([(0, 60, 300.0), (190, 12, 700.0)], (12, 700.0)),  # C's block covers A's
    "B wins over C": ([(0, 60, 300.0), (124, 12, 700.0)], (12, 700.0)),
    "60 at +7 missed": ([(7, 60)], None),
    "100 at +7 missed": ([(7, 100)], None),
    "101 at +7 scanned": ([(7, 101)], (101, 100.0)),
    "150 at +7 scanned": ([(7, 150)], (150, 100.0)),
    "last scan position": ([(511, 101)], (101, 100.0)),
    "past the scan": ([(512, 101)], None),
    "first 50": ([(0, 11, 50.0, 0.0)], None),
    "first 5000": ([(0, 11, 5000.0, 0.0)], None),
    "first nan": ([(0, 11, nan)], None),
}


@pytest.mark.parametrize("version", [57, 60])
@pytest.mark.parametrize("blocks, want", NARROW_CASES.values(), ids=NARROW_CASES.keys())
def test_probe_search(tmp_path, version, blocks, want):
    placed = [(b[0], block(version, *b[1:])) for b in blocks]
    check(tmp_path, version, placed, want and expect(version, *want), size=O + 2000)


def test_single_precision_mz_is_widened_exactly(tmp_path):
    mz = [100.1 + j for j in range(11)]
    r = small_reader(tmp_path, 57, [(0, peak_block_v57(mz, [1.5] * 11))])
    got = r.native_get_peaks(1)[0][0]
    assert got == f32(100.1) and got != 100.1
    np = pytest.importorskip("numpy")
    assert r.get_peaks(1)[0][0] == np.float64(np.float32(100.1))


def test_scan_numbers_follow_the_offset_chain(tmp_path):
    stride = 12000  # wider than the window, so each scan sees only its own block
    img = orbitrap_v66(0, block_stride=stride)
    for s in (1, 2, 145):
        img.put(CHAIN_BASE + stride * (s - 1), block(66, 20, start=100.0 + s))
    r = vantoro.RawFileReader(img.write(tmp_path / "orbitrap.raw"))
    for s in (1, 2, 145):  # 145 is the table's last entry
        assert r.native_get_peaks(s) == expect(66, 20, start=100.0 + s)
    for s in (3, 0, 146, 2**32 - 1):
        assert r.native_get_peaks(s) is None


@pytest.mark.parametrize("how", ["offset at end", "offset past end", "deleted", "now a directory", "truncated"])
def test_nothing_without_an_exception(tmp_path, how):
    size = {"offset at end": O, "offset past end": O - 1}.get(how)
    r = small_reader(tmp_path, 66, [] if size else [(0, block(66, 60))], size=size)
    path = tmp_path / "v66.small.RAW"
    if how in ("deleted", "now a directory"):
        os.remove(path)
        if how == "now a directory":
            path.mkdir()
    elif how == "truncated":  # shorter than when the reader was made
        os.truncate(path, O + 8)
    assert r.native_get_peaks(1) is None
    np = pytest.importorskip("numpy")
    mz, inten = r.get_peaks(1)
    assert mz.tolist() == [0.0] and inten.tolist() == [0.0]
    assert (mz.dtype, inten.dtype) == (np.float64, np.float32)


@pytest.mark.parametrize("version", [66, 57])
def test_get_peaks_agrees_with_native(tmp_path, version):
    np = pytest.importorskip("numpy")
    r = small_reader(tmp_path, version, [(0, block(version, 300, step=0.37))])
    native = r.native_get_peaks(1)
    mz, inten = r.get_peaks(scan_num=1)
    assert (mz.dtype, inten.dtype) == (np.float64, np.float32)
    assert (mz.tolist(), inten.tolist()) == native == expect(version, 300, step=0.37)
    assert all(type(v) is float for v in native[0] + native[1])
    for bad in (-1, 2**32):  # a conversion error, not the zero arrays
        with pytest.raises(OverflowError):
            r.get_peaks(bad)


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/self/io")
@pytest.mark.parametrize("version", [66, 57])
def test_reads_do_not_depend_on_file_size(tmp_path, version):
    r = small_reader(tmp_path, version, [(0, block(version, 1000))], size=256 << 20)

    peaks, read = bytes_read(lambda: r.native_get_peaks(1))
    assert len(peaks[0]) == 1000
    assert read < 64 * 1024
    peaks, read = bytes_read(lambda: r.native_get_peaks(2))
    assert peaks is None  # nothing found: only the window is read
    assert read < 16 * 1024
