"""vantoro_tools.source._native: the core's whole-file layout verdict, against the
builders' figures and what the reader reads from files cut at its `need`; its
decimal grammar, against what the reader reads from trailer texts."""

import struct

import pytest

from vantoro import RawFileReader
from vantoro_tools.source import _native

from builders import (
    HEADER_SIZE,
    RT_ORBI_START,
    RT_ORBI_STRIDE,
    RT_SMALL_START,
    RT_SMALL_STRIDE,
    TRAILER_CACHED,
    TRAILER_PRESENT,
    TRAILER_START,
    TRAILER_STRIDE,
    V57_FIRST_RECORD_END,
    V57_RECORD_EXTENT,
    V57_RECORD_START,
    V57_STRIDE,
    RawImage,
    orbitrap_v66,
    scan_count,
    small_v57,
    trailer_block_start,
)

FIGURES = {
    "small_rt_start": RT_SMALL_START,
    "small_rt_stride": RT_SMALL_STRIDE,
    "orbitrap_rt_start": RT_ORBI_START,
    "orbitrap_rt_stride": RT_ORBI_STRIDE,
    "rt_extent": struct.calcsize("<d"),
    "trailer_start": TRAILER_START,
    "trailer_stride": TRAILER_STRIDE,
    "trailer_cached_extent": TRAILER_CACHED,
    "trailer_present_extent": TRAILER_PRESENT,
    "v57_record_start": V57_RECORD_START,
    "v57_record_stride": V57_STRIDE,
    "v57_record_extent": V57_RECORD_EXTENT,
    "scans_v57": scan_count(57),
    "scans_v66": scan_count(66),
    "scans_other": scan_count(12),
}


@pytest.mark.parametrize("name", FIGURES)
def test_figure_matches_builders(name):
    assert _native.figures()[name] == FIGURES[name]


def test_constants():
    assert _native.figures().keys() == FIGURES.keys()
    assert _native.known_versions() == (57, 66)
    assert _native.markers() == {"small": "small.RAW", "orbitrap": "orbitrap"}
    assert _native.header_size() == HEADER_SIZE


def small_v66():
    return RawImage().header(66).rt_series(RT_SMALL_START, RT_SMALL_STRIDE, [1.0 + i for i in range(145)])


# Each built file, the size its tables need (from the builders' figures),
# and a value of its last scan that is read only when the file holds it all.
BUILT = [
    pytest.param(
        orbitrap_v66,
        "run_orbitrap.raw",
        66,
        "orbitrap",
        trailer_block_start(145) + TRAILER_PRESENT,
        lambda r: int("MS Order" in r.get_trailer_extra(145)),
        id="v66-trailer",
    ),
    pytest.param(
        small_v57,
        "run.small.RAW",
        57,
        "small",
        V57_FIRST_RECORD_END + V57_STRIDE * 47,
        lambda r: r.get_injection_time(48),
        id="v57-records",
    ),
    pytest.param(
        small_v66,
        "run.small.RAW",
        66,
        "small",
        RT_SMALL_START + RT_SMALL_STRIDE * 144 + 8,
        lambda r: r.get_rt(145),
        id="v66-times",
    ),
]


@pytest.mark.parametrize("build,name,version,layout,need,last", BUILT)
def test_built_file_cut_at_need(tmp_path, build, name, version, layout, need, last):
    img = build()
    scans = scan_count(version)
    img.size = need
    path = img.write(tmp_path / name)
    assert _native.judge(path, version, need) == ("ok", layout, need, scans)
    assert last(RawFileReader(path)) != 0
    img.size = need - 1
    img.write(path)
    assert _native.judge(path, version, need - 1) == ("truncated", layout, need, scans)
    assert last(RawFileReader(path)) == 0


@pytest.mark.parametrize(
    "path,version,kind,layout",
    [
        ("s3://bucket/run.raw", 66, "no_marker", None),
        ("/d/Orbitrap_SMALL.raw", 57, "no_marker", None),  # markers are case-sensitive
        ("/d/run_orbitrap.raw", 12, "unknown_version", "orbitrap"),
        ("/d/small.RAW/run.raw", 2**32 - 1, "unknown_version", "small"),
        ("/d/orbitrap/x.small.RAW", 57, "ok", "small"),  # the small-file marker wins
    ],
)
def test_kinds(path, version, kind, layout):
    got = _native.judge(path_text=path, version=version, size=2**64 - 1)
    assert got[:2] == (kind, layout)
    assert got[3] == scan_count(version)
    assert (got[2] == 0) == (layout is None)


@pytest.mark.parametrize(
    "args,error,message",
    [
        ((b"/d/orbitrap.raw", 66, 0), TypeError, "must be str"),
        (("/d/orbitrap.raw", "66", 0), TypeError, "'version' must be int, not str"),
        (("/d/orbitrap.raw", 66, 1.0), TypeError, "'size' must be int, not float"),
        (("/d/orbitrap.raw", -1, 0), ValueError, "'version' must not be negative"),
        (("/d/orbitrap.raw", 66, -1), ValueError, "'size' must not be negative"),
        (("/d/orbitrap.raw", 2**32, 0), OverflowError, "'version' must be at most 4294967295"),
        (("/d/orbitrap.raw", 66, 2**64), OverflowError, "'size' must be at most 18446744073709551615"),
        (("/d/orbitrap.raw", 66), TypeError, "size"),
    ],
)
def test_argument_errors(args, error, message):
    with pytest.raises(error, match=message):
        _native.judge(*args)


@pytest.mark.parametrize(
    "text", ["35", "1_0", "١٢", "+.5", "5.", "1e400", "-1e-400", "-inf", "NaN", "0x10", "1,5", "e5", "3 4"]
)
def test_parse_decimal_is_the_readers_rule(tmp_path, text):
    """The companion reads trailer texts as the reader reads "Collision Energy"."""
    import math

    path = orbitrap_v66().trailer(1, collision=text.encode()).write(tmp_path / "d_orbitrap.raw")
    read = RawFileReader(str(path)).get_trailer_extra(1).get("Collision Energy")
    parsed = _native.parse_decimal(text)
    assert (parsed is None) == (read is None)
    assert parsed is None or parsed == read or (math.isnan(parsed) and math.isnan(read))
    if text in ("1_0", "١٢"):
        assert parsed is None  # no underscores, ASCII digits only
