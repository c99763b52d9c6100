"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/,
from the synthetic builders the tests use, in the input encoding that
fuzz/image_input.h decodes. Run from anywhere: python3 fuzz/make_seeds.py

Files are written whole (no holes): each image is a list of regions plus a
length, so a layout six megabytes into a file costs a few kilobytes.
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from builders import (  # noqa: E402
    METHOD_SEARCH_CHUNK,
    METHOD_SEARCH_REGION,
    PROBED_COUNT_OFFSETS,
    RT_ORBI_START,
    RT_ORBI_STRIDE,
    RT_SMALL_START,
    RT_SMALL_STRIDE,
    SMALL_OFFSETS,
    UNIT_CHUNK,
    V57_RECORD_START,
    V57_STRIDE,
    RawImage,
    orbitrap_v66,
    peak_block_v57,
    peak_block_v66,
    scan_count,
    utf16,
)

CORPUS = os.path.join(HERE, "corpus")
METHOD = b'<?xml version="1.0"?><InstrumentMethod><CmData>v\xc3\xa9</CmData></InstrumentMethod>'


def pos(offset):
    """An absolute position: kind 0, k = 64 KiB step, then a signed delta."""
    k = (offset + 32768) >> 16
    assert 0 <= k <= 255, offset
    return struct.pack("<BBh", 0, k, offset - (k << 16))


def encode(img, *, small=False, orbitrap=False, version=66, read_error=False, readable=None):
    """The image as it is (header choice 3: the header is whatever the image holds)."""
    flags = small | orbitrap << 1 | 3 << 2 | read_error << 4 | (readable is not None) << 5
    out = bytearray([flags]) + struct.pack("<I", version) + pos(img.size) + pos(readable or 0)
    for offset in sorted(img.regions):
        data = img.regions[offset]
        for at in range(0, len(data), 65535):
            chunk = data[at : at + 65535]
            out += pos(offset + at) + struct.pack("<H", len(chunk)) + chunk
    return bytes(out)


def filled(version):
    """Every per-scan source position of every layout holds a value."""
    img = RawImage().header(version)
    n = scan_count(version)
    img.rt_series(RT_SMALL_START, RT_SMALL_STRIDE, [1000.0 + i for i in range(n)])
    img.rt_series(RT_ORBI_START, RT_ORBI_STRIDE, [2000.0 + i for i in range(n)])
    img.offset_chain([500] * n)
    for i in range(n):
        img.f32(V57_RECORD_START + V57_STRIDE * i, 7.5)
        img.trailer(i + 1, injection_time=3.25, master_scan=-5, monomz=512.5, charge=255)
    return img


def units(*parts):
    return b"".join(struct.pack("<H", p) if isinstance(p, int) else utf16(p) for p in parts)


def seeds_open():
    for version in (57, 66, 1234):
        img = filled(version)
        for small in (False, True):
            for orbi in (False, True):
                yield (
                    f"filled-v{version}-s{small:d}-o{orbi:d}",
                    encode(img, small=small, orbitrap=orbi, version=version),
                )
    short = filled(66)
    short.size = RT_ORBI_START + RT_ORBI_STRIDE * 3
    yield "orbitrap-chain-cut", encode(short, orbitrap=True)
    yield "header-only", encode(RawImage().header(57), small=True, version=57)
    yield "shrunk", encode(filled(66), orbitrap=True, readable=RT_ORBI_START)
    yield "directory", encode(RawImage().header(66), orbitrap=True, read_error=True)


def seeds_peaks():
    # A leading pos gives the scan offset; blocks sit at that offset.
    def one(name, version, blocks, offset=SMALL_OFFSETS[0]):
        img = RawImage().header(version)
        for rel, data in blocks:
            img.put(offset + rel, data)
        return name, pos(offset) + encode(img, version=version)

    mz = lambda n: [100.0 + 0.25 * j for j in range(n)]  # noqa: E731
    inten = lambda n: [10.0 + j for j in range(n)]  # noqa: E731
    yield one("v66-11", 66, [(0, peak_block_v66(mz(11), inten(11)))])
    yield one("v66-60-late", 66, [(9000, peak_block_v66(mz(60), inten(60)))])
    yield one("v66-two", 66, [(5, peak_block_v66(mz(12), inten(12))), (400, peak_block_v66(mz(20), inten(20)))])
    for probe in PROBED_COUNT_OFFSETS:
        yield one(f"v57-probe{probe}", 57, [(probe, peak_block_v57(mz(11), inten(11)))])
    yield one("v57-scan", 57, [(301, peak_block_v57(mz(101), inten(101)))])
    yield one("v66-at-end", 66, [(0, peak_block_v66(mz(11), inten(11))[:-3])])


def seeds_trailer():
    img = orbitrap_v66()
    for scan in (1, 2, 145, 146, 0):
        yield f"orbitrap-scan{scan}", bytes([scan]) + encode(img, orbitrap=True)
    bad = RawImage().header(66).trailer(1, agc=b"\xff\xfe", hcd=b"  30  ", collision=b"1e-310", isolation=-1.0)
    yield "odd-texts", bytes([1]) + encode(bad, orbitrap=True)
    yield "v57-orbitrap", bytes([1]) + encode(orbitrap_v66(), orbitrap=True, small=True, version=57)


def seeds_method():
    for name, offset in (
        ("start", 100),
        ("chunk-border", METHOD_SEARCH_CHUNK - 2),
        ("region-end", METHOD_SEARCH_REGION - 5),
    ):
        img = RawImage().header(66).put(offset, METHOD)
        img.size = max(img.size, offset + 1000)
        yield name, encode(img)
    cut = RawImage().header(66).put(200, b"<?xml a?><CmData>\xc3")
    yield "cmdata-bad-utf8", encode(cut)


def seeds_text_scans():
    labels = units("Coulombmeter", 0, "Four", 0, 0xB0, "P1", 0, "X", 0, "More", 0)
    warnings = units(
        "Possible spray instability", 0, "Second", 0, 0x100, "Third", 0, "Possible spray instability", 0, 0x4E2D
    )
    for name, offset, data in (
        ("labels", 1000, labels),
        ("warnings", 1000, warnings),
        ("labels-border", UNIT_CHUNK - 6, labels),
        ("warnings-border", UNIT_CHUNK - 10, warnings),
        ("surrogates", 1000, units("Coulombmeter", 0, "A", 0xD800, "B", 0, 0xDC00, 0)),
    ):
        img = RawImage().header(66).put(offset, data)
        for stop_after in (0, 1):
            yield f"{name}-stop{stop_after}", bytes([stop_after]) + encode(img)


def seeds_strict_text():
    utf16_texts = ["Coulombmeter", "\u00b0C \u4e2d", "\U0001f600"]
    for i, t in enumerate(utf16_texts):
        yield f"utf16-{i}", b"\x00" + utf16(t)
    yield "utf16-lone-high", b"\x00" + units("a", 0xD800, "b")
    yield "utf16-lone-low", b"\x00" + units(0xDC00)
    for i, t in enumerate([b"  AGC  ", "\u00a0\u3000x\u2029".encode(), b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"]):
        yield f"field-{i}", b"\x01" + t
    for i, t in enumerate(
        [
            b"35",
            b"-.5e3",
            b"1.",
            b"1e-310",
            b"1e400",
            b"+inf",
            b"NaN",
            b"1e",
            b"0x10",
            b"00000000000000000000000000000000001.5",
        ]
    ):
        yield f"decimal-{i}", b"\x02" + t


TARGETS = {
    "fuzz_open": seeds_open,
    "fuzz_peaks": seeds_peaks,
    "fuzz_trailer": seeds_trailer,
    "fuzz_method": seeds_method,
    "fuzz_text_scans": seeds_text_scans,
    "fuzz_strict_text": seeds_strict_text,
}


def main():
    for target, make in TARGETS.items():
        out = os.path.join(CORPUS, target)
        os.makedirs(out, exist_ok=True)
        for name, data in make():
            with open(os.path.join(out, "seed-" + name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
