import os
import struct

import pytest

from vantoro import RawFileReader

from builders import (
    CHAIN_BASE,
    CHAIN_WORD_BEFORE,
    HEADER_SIZE,
    RT_ORBI_START,
    RT_ORBI_STRIDE,
    RT_SMALL_START,
    RT_SMALL_STRIDE,
    SMALL_OFFSETS,
    TRAILER_CACHED,
    TRAILER_START,
    V57_RECORD_EXTENT,
    V57_RECORD_START,
    V57_STRIDE,
    RawImage,
    peak_block_v66,
    scan_count,
)


def table(r, getter):
    return [getter(s) for s in range(1, r.num_scans + 1)]


def all_tables(r):
    return [
        table(r, g)
        for g in (r.get_rt, r.get_injection_time, r.get_master_scan, r.get_charge_state, r.get_monoisotopic_mz)
    ]


def filled_image(version):
    """Every source position of every layout holds a non-zero value."""
    img = RawImage().header(version)
    n = scan_count(version)
    img.rt_series(RT_SMALL_START, RT_SMALL_STRIDE, [1000.0 + i for i in range(n)])
    img.rt_series(RT_ORBI_START, RT_ORBI_STRIDE, [2000.0 + i for i in range(n)])
    for i in range(n):
        img.f32(V57_RECORD_START + V57_STRIDE * i, 7.5)
        img.trailer(i + 1, injection_time=3.25, master_scan=-5, monomz=512.5, charge=255)
    return img


@pytest.mark.parametrize("version", [57, 66, 3])
@pytest.mark.parametrize("name", ["plain.raw", "Orbitrap_small.raw", "SMALL.RAW", "small.raw"])
def test_no_marker_gives_zero_tables(write_raw, version, name):
    for img in (RawImage().header(version), filled_image(version)):
        r = RawFileReader(write_raw(img, name))
        assert r.num_scans == scan_count(version)
        for values in all_tables(r):
            assert values == [0] * r.num_scans
            assert all(type(v) in (int, float) for v in values)


def test_version_57_small_file_diagnostics(write_raw):
    img = filled_image(57)
    r = RawFileReader(write_raw(img, "x_small.RAW"))
    assert r.num_scans == 48
    assert table(r, r.get_master_scan) == [-1] * 48
    assert table(r, r.get_injection_time) == [7.5] * 48
    assert table(r, r.get_charge_state) == [0] * 48
    assert table(r, r.get_monoisotopic_mz) == [0.0] * 48
    assert table(r, r.get_rt) == [1000.0 + i for i in range(48)]


@pytest.mark.parametrize("k", [0, 1, 20, 47])
def test_version_57_small_file_reads_up_to_the_end(write_raw, k):
    img = filled_image(57)
    img.size = V57_RECORD_START + V57_STRIDE * k + V57_RECORD_EXTENT  # scan index k's record ends at L
    r = RawFileReader(write_raw(img, "small.RAW"))
    assert table(r, r.get_master_scan) == [-1] * (k + 1) + [0] * (47 - k)
    assert table(r, r.get_injection_time) == [7.5] * (k + 1) + [0.0] * (47 - k)


def test_version_57_full_length_needed_for_all_48(write_raw):
    img = RawImage().header(57)
    img.size = V57_RECORD_START + V57_STRIDE * 47 + V57_RECORD_EXTENT
    r = RawFileReader(write_raw(img, "small.RAW"))
    assert table(r, r.get_master_scan) == [-1] * 48
    img.size -= 1
    r = RawFileReader(write_raw(img, "small.RAW"))
    assert table(r, r.get_master_scan) == [-1] * 47 + [0]


@pytest.mark.parametrize("version", [66, 58])
def test_small_marker_other_versions(write_raw, version):
    img = filled_image(version)
    last = RT_SMALL_START + RT_SMALL_STRIDE * (scan_count(version) - 1)
    img.size = last + 8
    r = RawFileReader(write_raw(img, "small.RAW"))
    n = r.num_scans
    assert table(r, r.get_rt) == [1000.0 + i for i in range(n)]
    for values in all_tables(r)[1:]:
        assert values == [0] * n
    img.size = last + 7  # the last retention time no longer fits
    r = RawFileReader(write_raw(img, "small.RAW"))
    assert table(r, r.get_rt) == [1000.0 + i for i in range(n - 1)] + [0.0]


@pytest.mark.parametrize("version", [57, 66, 0])
def test_orbitrap_marker_rules(write_raw, version):
    img = filled_image(version)
    r = RawFileReader(write_raw(img, "orbitrap/run.raw"))
    n = scan_count(version)
    assert r.num_scans == n
    assert table(r, r.get_rt) == [2000.0 + i for i in range(n)]
    assert table(r, r.get_injection_time) == [3.25] * n
    assert table(r, r.get_master_scan) == [-5] * n
    assert table(r, r.get_charge_state) == [255] * n
    assert table(r, r.get_monoisotopic_mz) == [512.5] * n


def test_both_markers_take_small_series_and_trailer_diagnostics(write_raw):
    r = RawFileReader(write_raw(filled_image(66), "orbitrap_small.RAW"))
    assert table(r, r.get_rt) == [1000.0 + i for i in range(145)]
    assert table(r, r.get_master_scan) == [-5] * 145
    assert table(r, r.get_charge_state) == [255] * 145


def test_trailer_diagnostics_need_76_bytes_of_the_block(write_raw):
    img = RawImage().header(66)
    img.trailer(1, injection_time=1.5, master_scan=9, monomz=300.25, charge=3, length=76)
    img.trailer(2, injection_time=2.5, master_scan=8, monomz=301.25, charge=4, length=75)
    r = RawFileReader(write_raw(img, "orbitrap.raw"))
    assert [r.get_injection_time(1), r.get_master_scan(1), r.get_monoisotopic_mz(1), r.get_charge_state(1)] == [
        1.5,
        9,
        300.25,
        3,
    ]
    assert [r.get_injection_time(2), r.get_master_scan(2), r.get_monoisotopic_mz(2), r.get_charge_state(2)] == [
        0.0,
        0,
        0.0,
        0,
    ]


def test_single_precision_injection_time_is_widened_exactly(write_raw):
    img = RawImage().header(66).trailer(1, injection_time=0.1)
    r = RawFileReader(write_raw(img, "orbitrap.raw"))
    assert r.get_injection_time(1) == struct.unpack("<f", struct.pack("<f", 0.1))[0] != 0.1


# -- the orbitrap offset chain on short files (it used to end in an internal
# fault, so small files in an "orbitrap" folder could not be opened at all) --


@pytest.mark.parametrize(
    "size",
    [
        HEADER_SIZE,
        RT_ORBI_START - CHAIN_WORD_BEFORE - 1,  # a byte before scan 1's chain word
        RT_ORBI_START - CHAIN_WORD_BEFORE,  # where scan 1's chain word starts
        RT_ORBI_START + RT_ORBI_STRIDE * 144 - 1,  # a byte before the last retention time
        RT_ORBI_START + RT_ORBI_STRIDE * 144,  # where the last retention time starts
    ],
)
def test_short_orbitrap_file_opens(write_raw, size):
    img = RawImage().header(66)
    img.size = size
    r = RawFileReader(write_raw(img, "orbitrap/short.raw"))
    assert r.num_scans == 145
    assert table(r, r.get_rt) == [0.0] * 145
    r.initialize_caches()


def test_last_orbitrap_retention_time_needs_its_eight_bytes(write_raw):
    img = RawImage().header(66).rt_series(RT_ORBI_START, RT_ORBI_STRIDE, [1.0] * 145)
    img.size = RT_ORBI_START + RT_ORBI_STRIDE * 144
    r = RawFileReader(write_raw(img, "orbitrap.raw"))
    assert table(r, r.get_rt) == [1.0] * 144 + [0.0]
    assert table(r, r.get_master_scan) == [0] * 145
    assert img.size < TRAILER_START + TRAILER_CACHED  # the first trailer block needs that much


# -- markers --


@pytest.mark.parametrize(
    "name,rt",
    [
        ("orbitrap_runs/a.raw", 2000.0),  # a directory selects the rules for files inside it
        ("Orbitrap_runs/a.raw", 0.0),  # other letter case selects nothing
        ("ORBITRAP.raw", 0.0),
        ("small.RAW/a.raw", 1000.0),
        ("Small.RAW", 0.0),
    ],
)
def test_markers_are_exact_substrings_of_the_whole_path(write_raw, name, rt):
    r = RawFileReader(write_raw(filled_image(66), name))
    assert r.get_rt(1) == rt


# -- initialize_caches --


def test_initialize_caches_is_idempotent_and_rereads(write_raw):
    img = filled_image(66)
    path = write_raw(img, "orbitrap.raw")
    r = RawFileReader(path)
    before = all_tables(r)
    assert r.initialize_caches() is None
    assert all_tables(r) == before
    img.rt_series(RT_ORBI_START, RT_ORBI_STRIDE, [5.0] * 145)
    img.write(path)
    r.initialize_caches()
    assert table(r, r.get_rt) == [5.0] * 145
    assert r.num_scans == 145


def test_initialize_caches_on_deleted_file_raises_oserror_and_keeps_tables(write_raw):
    path = write_raw(filled_image(66), "orbitrap.raw")
    r = RawFileReader(path)
    before = all_tables(r)
    os.unlink(path)
    with pytest.raises(FileNotFoundError) as info:
        r.initialize_caches()
    assert info.value.args[0].endswith(" (os error 2)")
    assert all_tables(r) == before and r.num_scans == 145


@pytest.mark.parametrize("kind", ["directory", "fifo"])
def test_initialize_caches_on_a_path_that_names_no_file_raises_what_the_constructor_raises(write_raw, kind):
    path = write_raw(filled_image(66), "orbitrap.raw")
    r = RawFileReader(path)
    before = all_tables(r)
    os.unlink(path)
    os.mkdir(path) if kind == "directory" else os.mkfifo(path)
    with pytest.raises(OSError) as opening:
        RawFileReader(path)
    with pytest.raises(OSError) as info:
        r.initialize_caches()
    assert (type(info.value), info.value.args) == (type(opening.value), opening.value.args)
    if kind == "directory":
        assert info.value.args == ("Is a directory (os error 21)",)
    assert all_tables(r) == before and r.num_scans == 145


@pytest.mark.parametrize("size", [0, 20, RT_ORBI_START + RT_ORBI_STRIDE * 10])
def test_initialize_caches_on_a_shortened_file_gives_zeros_past_its_end(write_raw, size):
    img = filled_image(66)
    path = write_raw(img, "orbitrap.raw")
    r = RawFileReader(path)
    os.truncate(path, size)
    assert r.initialize_caches() is None
    rt = table(r, r.get_rt)
    kept = max(0, (size - RT_ORBI_START) // RT_ORBI_STRIDE)
    assert rt == [2000.0 + i for i in range(kept)] + [0.0] * (145 - kept)
    assert table(r, r.get_charge_state) == [0] * 145  # every trailer record lies past the end


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_initialize_caches_on_unreadable_file_raises_permission_error(write_raw):
    path = write_raw(filled_image(66), "orbitrap.raw")
    r = RawFileReader(path)
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        r.initialize_caches()
    assert r.get_rt(1) == 2000.0


def test_exclusive_borrow_conflicts_with_a_running_query(write_raw):
    r = RawFileReader(write_raw(filled_image(66), "orbitrap.raw"))

    class Reentrant:
        def __index__(self):
            r.initialize_caches()  # runs while get_rt holds its shared borrow
            return 1

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        r.get_rt(Reentrant())
    assert r.get_rt(1) == 2000.0  # the failed borrow released nothing it did not take
    r.initialize_caches()


# -- scan offsets, seen through the peak search that starts at them --


def marked_block(first_mz):
    mz = [first_mz + j for j in range(60)]  # > 50 peaks: taken at the first position
    return peak_block_v66(mz, [1.0] * 60)


def first_mz(r, scan):
    peaks = r.native_get_peaks(scan)
    return None if peaks is None else peaks[0][0]


@pytest.mark.parametrize("last_q_in_file", [0, 1, 2, 144])
def test_offset_chain_ends_where_the_file_ends(write_raw, last_q_in_file):
    stride = 20000
    img = RawImage().header(66).offset_chain([stride] * 145)
    chain = [CHAIN_BASE + stride * k for k in range(145)]
    for k, off in enumerate(chain[:6]):
        img.put(off, marked_block(100.0 * (k + 1)))
    img.put(100, marked_block(4000.0))  # what a scan at offset 0 finds
    img.size = RT_ORBI_START + RT_ORBI_STRIDE * last_q_in_file
    r = RawFileReader(write_raw(img, "orbitrap.raw"))
    # Scans up to one past the last word in the file follow the chain;
    # the chain then ends and later scans keep offset 0.
    for scan in range(1, 7):
        expected = 100.0 * scan if scan <= last_q_in_file + 2 else 4000.0
        assert first_mz(r, scan) == expected


def test_first_scan_offset_is_fixed_even_on_a_tiny_file(write_raw):
    img = RawImage().header(66).put(CHAIN_BASE, marked_block(250.0)).put(100, marked_block(4000.0))
    r = RawFileReader(write_raw(img, "orbitrap.raw"))
    assert first_mz(r, 1) == 250.0
    assert first_mz(r, 2) == 4000.0 and first_mz(r, 145) == 4000.0


def test_small_marker_uses_the_fixed_offset_table(write_raw):
    img = RawImage().header(66)
    for k, off in enumerate(SMALL_OFFSETS):
        img.put(off, marked_block(100.0 + 10 * k))
    img.put(100, marked_block(4000.0))
    r = RawFileReader(write_raw(img, "orbitrap_small.RAW"))
    assert [first_mz(r, s) for s in range(1, 11)] == [100.0 + 10 * k for k in range(10)]
    assert first_mz(r, 11) == first_mz(r, 145) == 4000.0
