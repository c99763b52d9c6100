"""Whatever the file holds, queries answer without crashing, raising or
leaking file descriptors."""

import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vantoro import RawFileReader

from builders import RawImage, orbitrap_v66, utf16

QUERIES = [
    ("get_rt", 1),
    ("get_injection_time", 1),
    ("get_master_scan", 1),
    ("get_charge_state", 1),
    ("get_monoisotopic_mz", 1),
    ("get_trailer_extra", 1),
    ("get_trailer_extra", 145),
    ("get_instrument_method", 0),
    ("get_status_log_labels", None),
    ("get_error_logs", None),
    ("native_get_peaks", 1),
    ("native_get_peaks", 145),
    ("list_spectra", None),
]


def call_all(r):
    for name, arg in QUERIES:
        method = getattr(r, name)
        method() if arg is None else method(arg)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
def test_no_descriptor_leaks_on_any_path(tmp_path):
    img = orbitrap_v66(num_peaks=60, block_stride=1000)
    img.put(200000, b"<?xml a?></CmData>").put(300000, utf16("Coulombmeter\0A\0B\0"))
    path = img.write(tmp_path / "orbitrap.raw")
    r = RawFileReader(path)
    call_all(r)
    before = open_fds()
    for _ in range(50):
        call_all(r)
        r.initialize_caches()
        RawFileReader(path)
    short = RawImage(10).write(tmp_path / "short.raw")
    for _ in range(50):
        with pytest.raises(OSError):
            RawFileReader(short)
    os.unlink(path)
    for _ in range(50):
        call_all(r)  # every file access now fails
        with pytest.raises(FileNotFoundError):
            r.initialize_caches()
    assert open_fds() == before


ANCHORS = [
    b"",
    utf16("Coulombmeter"),
    utf16("Possible spray instability"),
    b"<?xml",
    b"</InstrumentMethod>",
    b"</CmData>",
    b"\x00\xd8",
    b"\xff\xdf",
    # plausible starts of peak blocks, whose records may run past the end
    struct.pack("<Id", 11, 100.0),
    struct.pack("<Id", 60, 100.0),
    struct.pack("<If", 11, 100.0),
    struct.pack("<If", 150, 100.0),
]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    version=st.sampled_from([57, 66, 0, 1234]),
    name=st.sampled_from(["plain.raw", "small.RAW", "orbitrap.raw", "orbitrap_small.RAW"]),
    # Offsets reach past the fixed scan offsets of the small-file layout.
    pieces=st.lists(st.tuples(st.integers(0, 300000), st.sampled_from(ANCHORS), st.binary(max_size=400)), max_size=12),
    tail=st.integers(0, 3),
)
def test_random_contents_never_crash(tmp_path, version, name, pieces, tail):
    img = RawImage().header(version)
    for offset, anchor, data in pieces:
        img.put(40 + offset, anchor + data)
    img.size += tail
    r = RawFileReader(img.write(tmp_path / name))
    call_all(r)
    for scan in (0, 1, 2, 11, r.num_scans, r.num_scans + 1):
        peaks = r.native_get_peaks(scan)
        if peaks is not None:
            mz, intensity = peaks
            assert 11 <= len(mz) == len(intensity)
            assert 50 < mz[0] < 5000
