"""get_trailer_extra: cache keys, the constant branch, the trailer block."""

import math
import os
import struct

import pytest

import vantoro

from builders import TRAILER_PRESENT, RawImage, orbitrap_v66, trailer_block_start
from read_counter import AVAILABLE, NOISE, bytes_read

CACHE_KEYS = ["Ion Injection Time (ms)", "Master Scan Number", "Charge State", "Monoisotopic M/Z", "Precursor Mass"]
BLOCK_KEYS = CACHE_KEYS + ["Elapsed Scan Time (sec)", "Orbitrap Resolution", "MS Order"]
ALL_KEYS = BLOCK_KEYS + ["HCD Energy eV", "Activation Type", "Collision Energy", "Isolation Width", "AGC"]


def orbi_reader(tmp_path, scan=1, name="orbitrap_run.raw", **fields):
    img = RawImage().header(66).trailer(scan, **fields)
    return vantoro.RawFileReader(img.write(tmp_path / name))


@pytest.mark.parametrize(
    "version, name",
    [
        (57, "orbitrap_run.raw"),
        (66, "run.raw"),
        (66, "Orbitrap_run.raw"),  # the marker is case-sensitive
        (70, "orbitrap_run.raw"),
    ],
)
def test_outside_trailer_branch_ms_order_is_constant(tmp_path, version, name):
    img = RawImage().header(version).trailer(1, ms_order_byte=5, monomz=512.25, injection_time=3.5)
    r = vantoro.RawFileReader(img.write(tmp_path / name))
    d = r.get_trailer_extra(1)
    assert list(d) == CACHE_KEYS + ["MS Order"]
    assert d["MS Order"] == 1
    assert d["Precursor Mass"] == d["Monoisotopic M/Z"] == r.get_monoisotopic_mz(1)


@pytest.mark.parametrize("scan", [0, 146, 4294967295])
def test_scan_without_entry_is_empty(tmp_path, scan):
    r = vantoro.RawFileReader(orbitrap_v66().write(tmp_path / "orbitrap_full.raw"))
    assert r.get_trailer_extra(scan) == {}


def test_full_block_values_and_key_order(tmp_path):
    r = orbi_reader(
        tmp_path,
        scan=7,
        agc=b"1e6",
        elapsed=0.5,
        resolution=120000,
        ms_order_byte=1,
        master_scan=6,
        monomz=745.5,
        charge=3,
        collision=b"  27.5  ",
        hcd=b"28",
        isolation=0.7,
    )
    d = r.get_trailer_extra(7)
    assert list(d) == ALL_KEYS
    assert d["Ion Injection Time (ms)"] == r.get_injection_time(7)
    assert d["Master Scan Number"] == 6 and d["Charge State"] == 3
    assert d["Monoisotopic M/Z"] == d["Precursor Mass"] == 745.5
    assert d["Elapsed Scan Time (sec)"] == 0.5
    assert d["Orbitrap Resolution"] == 120000
    assert d["MS Order"] == 2
    assert d["HCD Energy eV"] == "28"
    assert d["Activation Type"] == "HigherEnergyCollisionalDissociation"
    assert d["Collision Energy"] == 27.5
    assert d["Isolation Width"] == struct.unpack("<f", struct.pack("<f", 0.7))[0]
    # The AGC field's last byte is the first byte of the injection-time float.
    inj0 = struct.pack("<f", r.get_injection_time(7))[0]
    assert d["AGC"] == ("1e6" + " " * 9 + chr(inj0)).strip()


@pytest.mark.parametrize("scan", [1, 145])
@pytest.mark.parametrize("extra, keys", [(0, ALL_KEYS), (-1, CACHE_KEYS)])
def test_block_present_only_with_140_bytes(tmp_path, scan, extra, keys):
    img = (
        RawImage()
        .header(66)
        .trailer(scan, agc=b"A" * 13, hcd=b"1", collision=b"2", isolation=1.0, charge=4, monomz=300.0)
    )
    img.size = trailer_block_start(scan) + TRAILER_PRESENT + extra
    r = vantoro.RawFileReader(img.write(tmp_path / "orbitrap.raw"))
    d = r.get_trailer_extra(scan)
    assert list(d) == keys
    # The caches come from the first 76 bytes, present either way.
    assert d["Charge State"] == 4 and d["Precursor Mass"] == 300.0


def test_zeroed_block(tmp_path):
    # Zero bytes are valid UTF-8 and not white space; they are no number.
    d = orbi_reader(tmp_path).get_trailer_extra(1)
    assert list(d) == BLOCK_KEYS + ["HCD Energy eV", "Activation Type", "AGC"]
    assert d["HCD Energy eV"] == "\0" * 16 and d["AGC"] == "\0" * 13
    assert d["MS Order"] == 1 and d["Orbitrap Resolution"] == 0


@pytest.mark.parametrize("byte, order", [(0, 1), (1, 2), (255, 256)])
def test_ms_order(tmp_path, byte, order):
    assert orbi_reader(tmp_path, ms_order_byte=byte).get_trailer_extra(1)["MS Order"] == order


def test_resolution_is_unsigned(tmp_path):
    d = orbi_reader(tmp_path, resolution=0x80000001).get_trailer_extra(1)
    assert d["Orbitrap Resolution"] == 0x80000001


@pytest.mark.parametrize(
    "value, present",
    [
        (1.5, True),
        (1e-30, True),
        (0.0, False),
        (-0.0, False),
        (-2.0, False),
        (float("nan"), False),
        (float("inf"), True),
    ],
)
def test_isolation_width_only_when_positive(tmp_path, value, present):
    d = orbi_reader(tmp_path, isolation=value).get_trailer_extra(1)
    assert ("Isolation Width" in d) == present
    if present:
        assert d["Isolation Width"] == struct.unpack("<f", struct.pack("<f", value))[0]


@pytest.mark.parametrize(
    "field, expected",
    [
        (b" " * 13, None),
        (b"\0" * 13, "\0" * 13),
        (b"  123" + b"\0" * 8, "123" + "\0" * 8),
        ("\u00a0\u3000AGC\u2029\u0085\t".encode().ljust(13, b" "), "AGC"),
        ("\u200bx\u200b".encode().ljust(13, b" "), "\u200bx\u200b"),  # not White_Space
        ("\ufeffx".encode().ljust(13, b" "), "\ufeffx"),  # not White_Space
        (b"ab\xffcd".ljust(13, b" "), None),  # invalid byte
        (b"ab\xc0\xafcd".ljust(13, b" "), None),  # overlong
        (b"ab\xed\xa0\x80".ljust(13, b" "), None),  # encoded surrogate
        (b"abcdefghijk\xc3\xa9", "abcdefghijké"),
        (b"abcdefghijkl\xc3", None),  # cut at the field end
    ],
)
def test_agc_text_field(tmp_path, field, expected):
    d = orbi_reader(tmp_path, agc=field).get_trailer_extra(1)
    assert d.get("AGC") == expected


@pytest.mark.parametrize(
    "field, expected",
    [
        (b"30.5", "30.5"),
        (b" " * 16, None),
        (b"30" + b"\xe2\x82" + b" " * 12, None),  # cut three-byte sequence inside the field
        (b"x" * 15 + b"\xe2", None),  # cut at the field end
    ],
)
def test_hcd_brings_activation_type(tmp_path, field, expected):
    d = orbi_reader(tmp_path, hcd=field).get_trailer_extra(1)
    assert d.get("HCD Energy eV") == expected
    assert ("Activation Type" in d) == (expected is not None)
    if expected is not None:
        assert d["Activation Type"] == "HigherEnergyCollisionalDissociation"


@pytest.mark.parametrize(
    "text",
    [
        b"35",
        b"  35  ",
        b"+1.5e2",
        b"1.",
        b".5",
        b"-.5E-3",
        b"0.1",
        b"5e-324",
        b"1e400",
        b"-1e400",
        b"1e-400",
        b"INF",
        b"-Infinity",
        b"+inf",
        b"00012",
        b"1e+0009",
        b"9007199254740993",  # exactly between two doubles: rounds to even
    ],
)
def test_collision_energy_numbers(tmp_path, text):
    d = orbi_reader(tmp_path, collision=text).get_trailer_extra(1)
    assert d["Collision Energy"] == float(text)


@pytest.mark.parametrize("text", [b"nan", b"NaN", b"-nAn"])
def test_collision_energy_nan(tmp_path, text):
    assert math.isnan(orbi_reader(tmp_path, collision=text).get_trailer_extra(1)["Collision Energy"])


@pytest.mark.parametrize(
    "text",
    [
        b"35" + b"\0" * 14,
        b".",
        b"",
        b"e5",
        b"1e",
        b"1e+",
        b"1 2",
        b"1,5",
        b"1_000",
        b"0x10",
        b"--1",
        b"+",
        b"infin",
        b"nan(1)",
        b"1.2.3",
        b"\xd9\xa1\xd9\xa2",  # Arabic-Indic digits
        b"3\xff",
    ],
)
def test_collision_energy_not_a_number(tmp_path, text):
    assert "Collision Energy" not in orbi_reader(tmp_path, collision=text).get_trailer_extra(1)


def test_vanished_file_gives_cache_keys(tmp_path):
    r = orbi_reader(tmp_path, ms_order_byte=3, charge=2)
    os.remove(tmp_path / "orbitrap_run.raw")
    d = r.get_trailer_extra(1)
    assert list(d) == CACHE_KEYS and d["Charge State"] == 2


@pytest.mark.skipif(not AVAILABLE, reason="needs /proc/self/io")
def test_reads_only_the_block(tmp_path):
    img = orbitrap_v66(size=64 << 20)
    r = vantoro.RawFileReader(img.write(tmp_path / "orbitrap_big.raw"))
    for s in (1, 2, 145):
        d, read = bytes_read(lambda: r.get_trailer_extra(s))
        assert d["MS Order"] == s % 2 + 1
        assert TRAILER_PRESENT <= read <= TRAILER_PRESENT + NOISE
