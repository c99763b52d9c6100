"""vantoro_tools.source._native: the core's table plan and whole-file layout
verdict, against the builders' figures and what the reader reads from files cut
at every table end; its decimal grammar, against what the reader reads from
trailer texts."""

import random
import struct

import pytest

from vantoro import RawFileReader
from vantoro_tools.source import _native

from builders import (
    CHAIN_BASE,
    HEADER_SIZE,
    RT_ORBI_START,
    RT_ORBI_STRIDE,
    RT_SMALL_START,
    RT_SMALL_STRIDE,
    TRAILER_CACHED,
    TRAILER_PRESENT,
    TRAILER_START,
    TRAILER_STRIDE,
    V57_RECORD_EXTENT,
    V57_RECORD_START,
    V57_STRIDE,
    RawImage,
    orbitrap_v66,
    peak_block_v66,
    scan_count,
)

RT_EXTENT = struct.calcsize("<d")
SMALL_TIMES = ("retention_times", RT_SMALL_START, RT_SMALL_STRIDE, RT_EXTENT)
ORBI_TIMES = ("retention_times", RT_ORBI_START, RT_ORBI_STRIDE, RT_EXTENT)
TRAILER_VALUES = ("trailer_values", TRAILER_START, TRAILER_STRIDE, TRAILER_CACHED)
TRAILER_RECORDS = ("trailer_records", TRAILER_START, TRAILER_STRIDE, TRAILER_PRESENT)
V57_RECORDS = ("v57_diagnostics", V57_RECORD_START, V57_STRIDE, V57_RECORD_EXTENT)


@pytest.mark.parametrize(
    "path,version,tables",
    [
        ("/d/run_orbitrap.raw", 66, (ORBI_TIMES, TRAILER_VALUES, TRAILER_RECORDS)),
        ("s3://b/orbitrap/run.raw", 57, (ORBI_TIMES, TRAILER_VALUES)),
        ("/d/orbitrap/run.raw", 12, (ORBI_TIMES, TRAILER_VALUES)),
        ("/d/run.small.RAW", 57, (SMALL_TIMES, V57_RECORDS)),
        ("/d/run.small.RAW", 66, (SMALL_TIMES,)),
        ("/d/orbitrap/run.small.RAW", 57, (SMALL_TIMES, TRAILER_VALUES)),  # small wins, the trailer stays
        ("/d/orbitrap_small.RAW", 66, (SMALL_TIMES, TRAILER_VALUES, TRAILER_RECORDS)),
        ("/d/Orbitrap_SMALL.raw", 66, ()),
    ],
)
def test_plan_matches_builders(path, version, tables):
    assert _native.plan(path, version) == tables
    assert _native.plan(path_text=path, version=version) == tables
    need = max((s + st * (scan_count(version) - 1) + e for _, s, st, e in tables), default=0)
    assert _native.judge(path, version, 2**64 - 1)[2] == need


def test_constants():
    assert _native.known_versions() == (57, 66)
    assert _native.markers() == {"small": "small.RAW", "orbitrap": "orbitrap"}
    assert _native.header_size() == HEADER_SIZE


def every_table(version: int) -> RawImage:
    """Non-zero values at every position either layout reads, for every scan,
    peak lists the offset chain finds, and bytes past every table."""
    n = scan_count(version)
    img = RawImage().header(version)
    img.rt_series(RT_SMALL_START, RT_SMALL_STRIDE, [1000.0 + i for i in range(n)])
    img.rt_series(RT_ORBI_START, RT_ORBI_STRIDE, [2000.0 + i for i in range(n)])
    img.offset_chain([100] * n)
    for i in range(n):
        img.f32(V57_RECORD_START + V57_STRIDE * i, 7.5 + i)
        img.trailer(
            i + 1,
            agc=b"AGC",
            injection_time=3.25 + i,
            elapsed=0.5,
            resolution=60000,
            ms_order_byte=1,
            master_scan=-5,
            monomz=512.5 + i,
            charge=3,
            collision=b"35",
            hcd=b"30",
            isolation=1.6,
        )
        img.put(CHAIN_BASE + 100 * i, peak_block_v66([100.0 + i + j for j in range(11)], [1.0] * 11))
    img.size += 4096
    return img


def scan_values(path: str):
    """Everything the per-scan tables feed, for every scan."""
    r = RawFileReader(path)
    scans = range(1, r.num_scans + 1)
    return (
        r.list_spectra(),
        [r.get_trailer_extra(s) for s in scans],
        [[list(a) for a in r.get_peaks(s)] for s in scans],
    )


def cut_points(path: str, version: int, whole: int) -> list[int]:
    """At and one byte below the end of every table either layout has (from
    the builders' figures as well as the plan), inside the tables, and a few
    sizes drawn at random between the header and the whole file."""
    n = scan_count(version)
    tables = {SMALL_TIMES, ORBI_TIMES, TRAILER_VALUES, TRAILER_RECORDS, V57_RECORDS, *_native.plan(path, version)}
    ends = {start + stride * (k - 1) + extent for _, start, stride, extent in tables for k in (1, n // 2, n)}
    rnd = random.Random(version)
    sizes = {HEADER_SIZE, whole, *(rnd.randrange(HEADER_SIZE, whole) for _ in range(8))}
    sizes |= {e + d for e in ends for d in (-1, 0, 1)}
    return sorted(sizes)


@pytest.mark.parametrize(
    "name,version",
    [
        ("run_orbitrap.raw", 66),
        ("orbitrap/run.raw", 57),
        ("run.small.RAW", 57),
        ("run.small.RAW", 66),
        ("orbitrap_run.small.RAW", 57),
    ],
)
def test_verdict_ok_exactly_when_the_reader_reads_the_whole_tables(tmp_path, name, version):
    img = every_table(version)
    whole = img.size
    path = tmp_path / name
    path.parent.mkdir(exist_ok=True)
    expected = scan_values(img.write(path))
    layout = "small" if "small.RAW" in name else "orbitrap"
    for size in cut_points(str(path), version, whole):
        img.size = size
        img.write(path)
        kind, judged_layout, need, _ = _native.judge(str(path), version, size)
        assert judged_layout == layout
        assert (kind == "ok") == (size >= need)
        assert (kind == "ok") == (scan_values(str(path)) == expected), size


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
    "func,args,error,message",
    [
        ("judge", (b"/d/orbitrap.raw", 66, 0), TypeError, "^argument 'path_text': 'bytes' object cannot be"),
        ("judge", ("/d/orbitrap.raw", "66", 0), TypeError, "^argument 'version': 'str' object cannot be"),
        ("judge", ("/d/orbitrap.raw", 66, 1.0), TypeError, "^argument 'size': 'float' object cannot be"),
        ("judge", ("/d/orbitrap.raw", -1, 0), OverflowError, "negative"),
        ("judge", ("/d/orbitrap.raw", 66, -1), OverflowError, "negative"),
        ("judge", ("/d/orbitrap.raw", 2**32, 0), OverflowError, "^out of range integral type conversion"),
        ("judge", ("/d/orbitrap.raw", 66, 2**64), OverflowError, "too big"),
        ("judge", ("/d/orbitrap.raw",), TypeError, r"^judge\(\) missing 2 required .*: 'version' and 'size'$"),
        ("judge", ("/d/orbitrap.raw", 66, 0, 1), TypeError, r"^judge\(\) takes 3 positional arguments but 4"),
        ("plan", ("/d/orbitrap.raw", 2**32), OverflowError, "^out of range integral type conversion"),
        ("plan", ("/d/orbitrap.raw",), TypeError, r"^plan\(\) missing 1 required positional argument: 'version'$"),
    ],
)
def test_argument_errors(func, args, error, message):
    with pytest.raises(error, match=message):
        getattr(_native, func)(*args)


@pytest.mark.parametrize("func", ["judge", "plan"])
def test_keyword_errors(func):
    with pytest.raises(TypeError, match=rf"^{func}\(\) got multiple values for argument 'path_text'$"):
        getattr(_native, func)("/d/orbitrap.raw", 66, path_text="x")
    with pytest.raises(TypeError, match=rf"^{func}\(\) got an unexpected keyword argument 'scan'$"):
        getattr(_native, func)("/d/orbitrap.raw", 66, scan=1)


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
