"""Peak-list search and decoding, seen through native_get_peaks and get_peaks."""

import math
import os
import shutil
import struct

import pytest

import vantoro
from builders import (CHAIN_BASE, SMALL_OFFSETS, RawImage, orbitrap_v66, peak_block_v57,
                      peak_block_v66)

O = SMALL_OFFSETS[0]  # scan 1 of any "small.RAW" file


def peaks(n, start=100.0, step=0.25, base=10.0):
    """n peaks with distinct, exactly representable values."""
    return [start + step * j for j in range(n)], [base + j for j in range(n)]


def v66(n, **kw):
    return peak_block_v66(*peaks(n, **kw))


def v57(n, **kw):
    return peak_block_v57(*peaks(n, **kw))


def small_reader(tmp_path, version, blocks, *, size=None):
    """A file whose scan 1 starts at O, with blocks placed relative to it."""
    img = RawImage().header(version)
    for rel, data in blocks:
        img.put(O + rel, data)
    img.size = max(img.size, O + 1) if size is None else size
    return vantoro.RawFileReader(img.write(tmp_path / f"v{version}.small.RAW"))


def found(reader, scan=1):
    res = reader.native_get_peaks(scan)
    return None if res is None else (res[0], res[1])


def expect(n, **kw):
    mz, inten = peaks(n, **kw)
    return mz, [float(struct.unpack("<f", struct.pack("<f", v))[0]) for v in inten]


# ---------------------------------------------------------------- version 66

@pytest.mark.parametrize("rel, hit", [(0, True), (9999, True), (10000, False)])
def test_v66_window_end(tmp_path, rel, hit):
    r = small_reader(tmp_path, 66, [(rel, v66(20))])
    assert found(r) == (expect(20) if hit else None)


@pytest.mark.parametrize("count, hit", [(10, False), (11, True), (199999, False)])
def test_v66_count_range(tmp_path, count, hit):
    # 199999 is in range but the file cannot hold that many records.
    mz, inten = peaks(11)
    r = small_reader(tmp_path, 66, [(0, peak_block_v66(mz, inten, count=count))])
    assert found(r) == (expect(11) if hit else None)


@pytest.mark.parametrize("first, hit", [
    (50.0, False), (5000.0, False), (math.nan, False), (math.inf, False),
    (math.nextafter(50.0, 100.0), True), (math.nextafter(5000.0, 0.0), True),
])
def test_v66_first_mz_window(tmp_path, first, hit):
    mz, inten = peaks(12, start=first, step=0.0)
    r = small_reader(tmp_path, 66, [(0, peak_block_v66(mz, inten))])
    res = found(r)
    assert (res is not None) == hit
    if hit:
        assert res[0] == mz


@pytest.mark.parametrize("second, hit", [
    (300.0 - 0.001, True), (math.nan, True), (math.nextafter(300.0 - 0.001, 0.0), False),
])
def test_v66_order_tolerance(tmp_path, second, hit):
    mz, inten = peaks(12, start=300.0)
    mz[1] = second
    r = small_reader(tmp_path, 66, [(0, peak_block_v66(mz, inten))])
    res = found(r)
    assert (res is not None) == hit
    if hit:
        assert res[0][0] == 300.0 and (res[0][1] == second or math.isnan(second))


@pytest.mark.parametrize("extra, hit", [(0, True), (-1, False)])
def test_v66_block_must_fit_in_file(tmp_path, extra, hit):
    block = v66(20)
    r = small_reader(tmp_path, 66, [(100, block)], size=O + 100 + len(block) + extra)
    assert found(r) == (expect(20) if hit else None)


@pytest.mark.parametrize("blocks, winner", [
    ([(0, 30, 100.0), (2000, 60, 200.0)], (60, 200.0)),  # a larger block replaces a small one
    ([(0, 30, 100.0), (2000, 20, 200.0)], (20, 200.0)),  # the last small block wins
    ([(0, 60, 100.0), (2000, 20, 200.0)], (60, 100.0)),  # more than 50 ends the search
    ([(0, 51, 100.0), (2000, 70, 200.0)], (51, 100.0)),
    ([(0, 50, 100.0), (2000, 70, 200.0)], (70, 200.0)),  # 50 is not enough to stop
    ([(0, 30, 100.0)], (30, 100.0)),                     # the search through its interior finds nothing
    ([(0, 30, 100.0), (3000, 20, 200.0), (6000, 60, 300.0), (8000, 25, 400.0)], (60, 300.0)),
])
def test_v66_which_block_wins(tmp_path, blocks, winner):
    r = small_reader(tmp_path, 66, [(rel, v66(n, start=s)) for rel, n, s in blocks])
    n, s = winner
    assert found(r) == expect(n, start=s)


# --------------------------------------------------- every other version

@pytest.fixture(params=[57, 60])
def narrow(request):
    return request.param


@pytest.mark.parametrize("rel", [190, 124, 0])
def test_probes_find_small_blocks(tmp_path, narrow, rel):
    r = small_reader(tmp_path, narrow, [(rel, v57(11))])
    assert found(r) == expect(11)


def test_probe_a_wins_over_c(tmp_path, narrow):
    # C's block is long enough to cover A's position, as real blocks do.
    c_block = v57(60, start=300.0)
    a_block = v57(12, start=700.0)
    img_blocks = [(0, c_block), (190, a_block)]
    r = small_reader(tmp_path, narrow, img_blocks, size=O + 1000)
    assert found(r) == expect(12, start=700.0)


@pytest.mark.parametrize("rel, n, hit", [
    (7, 60, False),    # probes miss it, the byte scan needs more than 100 peaks
    (7, 100, False),
    (7, 101, True),
    (7, 150, True),
    (511, 101, True),  # last position of the byte scan
    (512, 101, False),
])
def test_byte_scan(tmp_path, narrow, rel, n, hit):
    r = small_reader(tmp_path, narrow, [(rel, v57(n))])
    assert found(r) == (expect(n) if hit else None)


@pytest.mark.parametrize("first, hit", [(50.0, False), (5000.0, False), (math.nan, False), (50.0001, True)])
def test_narrow_first_mz_window(tmp_path, narrow, first, hit):
    mz, inten = peaks(11, start=first, step=0.0)
    r = small_reader(tmp_path, narrow, [(0, peak_block_v57(mz, inten))])
    assert (found(r) is not None) == hit


@pytest.mark.parametrize("extra, hit", [(0, True), (-1, False)])
def test_narrow_block_must_fit_in_file(tmp_path, narrow, extra, hit):
    block = v57(11)
    r = small_reader(tmp_path, narrow, [(0, block)], size=O + len(block) + extra)
    assert found(r) == (expect(11) if hit else None)


def test_single_precision_mz_is_widened_exactly(tmp_path):
    mz = [100.1] + [100.1 + j for j in range(1, 11)]
    r = small_reader(tmp_path, 57, [(0, peak_block_v57(mz, [1.5] * 11))])
    got_mz, got_int = r.native_get_peaks(1)
    single = struct.unpack("<f", struct.pack("<f", 100.1))[0]
    assert got_mz[0] == single and got_mz[0] != 100.1
    assert got_int == [1.5] * 11
    np = pytest.importorskip("numpy")
    arr_mz, _ = r.get_peaks(1)
    assert arr_mz[0] == np.float64(np.float32(100.1))


# ------------------------------------------------- scan numbers and files

def orbitrap_reader(tmp_path, stride=12000):
    """Version 66 with the offset chain: scan k at 3666 + stride * (k - 1)."""
    img = orbitrap_v66(0, block_stride=stride)
    for s in (1, 2, 145):
        img.put(CHAIN_BASE + stride * (s - 1), v66(20, start=100.0 + s))
    return vantoro.RawFileReader(img.write(tmp_path / "orbitrap.raw"))


def test_scan_numbers(tmp_path):
    r = orbitrap_reader(tmp_path)
    assert r.num_scans == 145
    assert found(r, 1) == expect(20, start=101.0)
    assert found(r, 2) == expect(20, start=102.0)
    assert found(r, 145) == expect(20, start=245.0)  # the last table entry
    assert found(r, 3) is None
    for scan in (0, 146, 2**32 - 1):
        assert found(r, scan) is None


@pytest.mark.parametrize("size_rel", [0, -1])
def test_offset_at_or_past_end(tmp_path, size_rel):
    r = small_reader(tmp_path, 66, [], size=O + size_rel)
    assert r.native_get_peaks(1) is None


@pytest.mark.parametrize("replace_with_dir", [False, True])
def test_vanished_or_unreadable_file(tmp_path, replace_with_dir):
    r = small_reader(tmp_path, 66, [(0, v66(20))])
    assert found(r) == expect(20)
    path = tmp_path / "v66.small.RAW"
    os.remove(path)
    if replace_with_dir:
        path.mkdir()
    assert r.native_get_peaks(1) is None
    np = pytest.importorskip("numpy")
    mz, inten = r.get_peaks(1)
    assert mz.tolist() == [0.0] and inten.tolist() == [0.0]
    assert mz.dtype == np.float64 and inten.dtype == np.float32
    if replace_with_dir:
        shutil.rmtree(path)


def test_file_shrunk_after_construction(tmp_path):
    block = v66(60)
    r = small_reader(tmp_path, 66, [(0, block)])
    with open(tmp_path / "v66.small.RAW", "r+b") as f:
        f.truncate(O + 8)
    assert r.native_get_peaks(1) is None


# --------------------------------------------------------- both methods

@pytest.mark.parametrize("version, block", [(66, v66(300, step=0.37)), (57, v57(300, step=0.37))])
def test_get_peaks_agrees_with_native(tmp_path, version, block):
    np = pytest.importorskip("numpy")
    r = small_reader(tmp_path, version, [(0, block)])
    native_mz, native_int = r.native_get_peaks(1)
    mz, inten = r.get_peaks(1)
    assert len(native_mz) == len(native_int) == 300
    assert mz.dtype == np.float64 and inten.dtype == np.float32
    assert mz.tolist() == native_mz
    assert inten.tolist() == native_int
    assert all(type(v) is float for v in native_mz + native_int)


def test_scan_num_argument(tmp_path):
    pytest.importorskip("numpy")
    r = small_reader(tmp_path, 66, [(0, v66(20))])
    assert r.get_peaks(scan_num=1)[0].tolist() == r.get_peaks(1)[0].tolist() == expect(20)[0]
    assert r.native_get_peaks(scan_num=1) == r.native_get_peaks(True)
    with pytest.raises(TypeError, match=r"^RawFileReader\.get_peaks\(\) got an unexpected keyword "
                                        r"argument 'scan_number'$"):
        r.get_peaks(scan_number=1)
    with pytest.raises(TypeError, match=r"^argument 'scan_num': "):
        r.native_get_peaks(1.0)
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            r.get_peaks(bad)
        with pytest.raises(OverflowError):
            r.native_get_peaks(bad)


def test_docstrings():
    assert vantoro.RawFileReader.get_peaks.__text_signature__ == "($self, scan_num)"
    assert vantoro.RawFileReader.get_peaks.__doc__ == (
        "Extracts spectral peaks (m/z and intensity) for a given scan number.\n"
        "Returns a tuple of (m/z_array, intensity_array).")
    assert vantoro.RawFileReader.native_get_peaks.__text_signature__ == "($self, scan_num)"
    assert vantoro.RawFileReader.native_get_peaks.__doc__ == (
        "Internal native implementation for spectral peak extraction.")


# ------------------------------------------------ reading only what is needed

def rchar():
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    raise AssertionError("no rchar")


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/self/io")
@pytest.mark.parametrize("version, size", [(66, 256 << 20), (57, 256 << 20)])
def test_reads_do_not_depend_on_file_size(tmp_path, version, size):
    block = (v66 if version == 66 else v57)(1000)
    r = small_reader(tmp_path, version, [(0, block)], size=size)
    before = rchar()
    for _ in range(10):
        assert len(r.native_get_peaks(1)[0]) == 1000
    assert (rchar() - before) / 10 < 64 * 1024
    before = rchar()
    assert r.native_get_peaks(2) is None  # nothing found: only the window is read
    assert rchar() - before < 16 * 1024
