"""get_status_log_labels and get_error_logs: the anchored UTF-16 run scan."""

import os
import signal
import struct
import time

import pytest

import vantoro

from builders import RawImage, utf16
from read_counter import AVAILABLE, NOISE, bytes_read

MIB = 1 << 20
LABELS = ("get_status_log_labels", "Coulombmeter")
WARNINGS = ("get_error_logs", "Possible spray instability")
both = pytest.mark.parametrize("method, anchor", [LABELS, WARNINGS], ids=["labels", "warnings"])


def units(*parts) -> bytes:
    """UTF-16LE bytes: str parts are encoded, int parts are single raw units."""
    return b"".join(struct.pack("<H", p) if isinstance(p, int) else utf16(p) for p in parts)


def scan(tmp_path, method, *regions, size=None, name="run.raw"):
    img = RawImage().header(66)
    for offset, data in regions:
        img.put(offset, data)
    if size is not None:
        img.size = size
    r = vantoro.RawFileReader(img.write(tmp_path / name))
    return getattr(r, method)()


@both
@pytest.mark.parametrize(
    "data",
    [
        b"",
        lambda a: a.encode(),  # 8-bit text only
        lambda a: units(a[:-1]),  # anchor missing its last letter
        lambda a: units(a.upper()),  # exact match only
    ],
)
def test_no_anchor(tmp_path, method, anchor, data):
    data = data(anchor) if callable(data) else data
    assert scan(tmp_path, method, (1000, data + units(0, "Label", 0))) == []


@both
def test_anchor_at_odd_offset_is_not_seen(tmp_path, method, anchor):
    odd = (1001, units(anchor, 0, "Wrong", 0))
    assert scan(tmp_path, method, odd) == []
    # With a later copy at an even offset, the scan starts there.
    assert scan(tmp_path, method, odd, (5000, units(anchor, 0, "Right", 0))) == [anchor, "Right"]


# The anchor is sought in 1 MiB chunks: place it across and around the borders.
@both
@pytest.mark.parametrize("border", [MIB, 3 * MIB])
# The anchor starts at border - anchors * (anchor bytes) + delta.
@pytest.mark.parametrize("anchors, delta", [(1, -2), (1, 0), (1, 2), (0, -2), (0, 0), (0, 2), (1, 1), (0, -1), (0, 1)])
def test_anchor_around_chunk_borders(tmp_path, method, anchor, border, anchors, delta):
    offset = border - anchors * 2 * len(anchor) + delta
    found = scan(tmp_path, method, (offset, units(anchor, 0, "Next", 0)), size=border + MIB)
    assert found == ([anchor, "Next"] if offset % 2 == 0 else [])


@both
def test_anchor_ending_at_file_end(tmp_path, method, anchor):
    assert scan(tmp_path, method, (2 * MIB - 2 * len(anchor), units(anchor))) == [anchor]


@both
def test_first_anchor_wins(tmp_path, method, anchor):
    found = scan(tmp_path, method, (3000, units(anchor, "One", 0, "Two", 0)), (MIB + 10, units(anchor, "Later", 0)))
    # The scan starts at the first copy and, across the zeros, runs on into the second.
    assert found == [anchor + "One", "Two", anchor + "Later"]


@both
def test_odd_final_byte_is_no_unit(tmp_path, method, anchor):
    found = scan(tmp_path, method, (1000, units(anchor, 0, "AB") + b"C"))
    assert found == [anchor, "AB"]
    # Completing the anchor's last unit would take one more byte.
    assert scan(tmp_path, method, (1000, units(anchor)[:-1])) == []


@both
def test_deleted_file(tmp_path, method, anchor):
    path = tmp_path / "run.raw"
    r = vantoro.RawFileReader(RawImage().header(66).put(1000, units(anchor, 0, "X1", 0)).write(path))
    assert getattr(r, method)() == [anchor, "X1"]
    os.remove(path)
    assert getattr(r, method)() == []


@both
def test_surrogate_pairs_and_non_ascii_kept(tmp_path, method, anchor):
    found = scan(tmp_path, method, (1000, units(anchor, 0, "Temp \u00b0C", 0, "Go \U0001f600!", 0)))
    assert found == [anchor, "Temp \u00b0C", "Go \U0001f600!"]


@both
@pytest.mark.parametrize(
    "bad",
    [
        ["Bad", 0xD800],  # high surrogate at the run's end
        ["Bad", 0xD800, "x"],  # high surrogate not followed by a low one
        ["Bad", 0xDC00, "x"],  # lone low surrogate
        ["Bad", 0xDC00, 0xD800],  # pair in the wrong order
    ],
)
def test_unpaired_surrogate_run_dropped_but_counted(tmp_path, method, anchor, bad):
    limit = 300 if method == LABELS[0] else 100
    labels = [f"L{k:03d}" for k in range(limit - 2)]
    data = units(anchor, 0, *[p for lab in labels for p in (lab, 0)], *bad, 0, "After", 0, "Again")
    assert scan(tmp_path, method, (1000, data)) == [anchor, *labels]
    # Short of the limit, the scan goes on past the dropped run.
    data = units(anchor, 0, *bad, 0, "After", 0)
    assert scan(tmp_path, method, (1000, data)) == [anchor, "After"]


@both
def test_pass_limit(tmp_path, method, anchor):
    limit = 300 if method == LABELS[0] else 100
    labels = [f"M{k:04d}" for k in range(limit + 50)]
    data = units(anchor, 0, *[p for lab in labels for p in (lab, 0, 0)])
    assert scan(tmp_path, method, (1000, data)) == [anchor, *labels[: limit - 1]]


# Between runs, labels resume only at printable ASCII; warnings resume at any
# unit from 0x20 up to 0x100 and stop at anything above.
@pytest.mark.parametrize("unit", [0x20, 0x7E, 0x7F, 0xB0, 0x100, 0x101, 0x4E2D, 0xFFFF])
def test_resume_unit(tmp_path, unit):
    data = units(0, 0)
    labels = scan(tmp_path, LABELS[0], (1000, units("Coulombmeter", 0, 0, unit, "Zed", 0)))
    label_next = chr(unit) + "Zed" if 0x20 <= unit <= 0x7E else "Zed"
    assert labels == ["Coulombmeter", label_next]
    warn = "Possible spray instability"
    warnings = scan(tmp_path, WARNINGS[0], (1000, units(warn, *data, unit, "Zed", 0)))
    assert warnings == ([warn, chr(unit) + "Zed"] if unit <= 0x100 else [warn])


def test_labels_end_at_one_character_label(tmp_path):
    a = "Coulombmeter"
    assert scan(tmp_path, LABELS[0], (900, units(a, 0, "Four", 0, "X", 0, "More", 0))) == [a, "Four", "X"]
    assert scan(tmp_path, LABELS[0], (900, units(a, 0, "X", 0, "More", 0))) == [a, "X"]
    assert scan(tmp_path, LABELS[0], (900, units(a, 0, "AB", 0, "More", 0))) == [a, "AB", "More"]


def test_labels_keep_repeats(tmp_path):
    a = "Coulombmeter"
    assert scan(tmp_path, LABELS[0], (900, units(a, 0, "Dup", 0, "Dup", 0, a))) == [a, "Dup", "Dup", a]


def test_labels_reach_end_of_file_between_runs(tmp_path):
    # Only non-printable units follow the last run: the scan stops cleanly.
    a = "Coulombmeter"
    found = scan(tmp_path, LABELS[0], (900, units(a, 0, "Last", 0, 0xB0, 0x4E2D, 1)))
    assert found == [a, "Last"]


def test_warnings_drop_repeats(tmp_path):
    a = WARNINGS[1]
    assert scan(tmp_path, WARNINGS[0], (900, units(a, 0, "Second", 0, a, 0, "Second"))) == [a, "Second"]


@pytest.mark.parametrize("repeats, late_seen", [(98, True), (99, False)])
def test_warning_repeats_count_as_passes(tmp_path, repeats, late_seen):
    a = WARNINGS[1]
    data = units(a, 0, *["Dup", 0] * repeats, "Late", 0)
    assert scan(tmp_path, WARNINGS[0], (900, data)) == [a, "Dup"] + (["Late"] if late_seen else [])


def test_warnings_go_on_after_one_character(tmp_path):
    a = WARNINGS[1]
    assert scan(tmp_path, WARNINGS[0], (900, units(a, 0, "X", 0, "Y", 0, "Z"))) == [a, "X", "Y", "Z"]


@pytest.mark.skipif(not AVAILABLE, reason="needs /proc/self/io")
def test_scan_stops_reading_after_its_texts(tmp_path):
    # Anchor in the first chunk of a 64 MiB file: neither the search nor the
    # runs read on to the end (the label table ends at its one-letter label).
    a = "Coulombmeter"
    path = RawImage().header(66).put(1000, units(a, 0, "P1", 0, "X", 0, "Q"))
    path.size = 64 * MIB
    r = vantoro.RawFileReader(path.write(tmp_path / "run.raw"))
    found, read = bytes_read(r.get_status_log_labels)
    assert found == [a, "P1", "X"]
    assert read <= 2 * MIB + NOISE


class FromHandler(Exception):
    pass


def raise_from_handler(signum, frame):
    raise FromHandler()


# Anchor absent: the anchor search streams the whole file. Anchor first: the
# resume step walks the hole after it, unit by unit, to the end of the file.
@pytest.mark.parametrize(
    "method, anchor_at, handler, expected",
    [
        (LABELS[0], None, signal.default_int_handler, KeyboardInterrupt),
        (LABELS[0], 0, signal.default_int_handler, KeyboardInterrupt),
        (WARNINGS[0], None, signal.default_int_handler, KeyboardInterrupt),
        (WARNINGS[0], 0, signal.default_int_handler, KeyboardInterrupt),
        (WARNINGS[0], 0, raise_from_handler, FromHandler),
    ],
)
def test_a_signal_ends_a_long_scan(tmp_path, method, anchor_at, handler, expected):
    anchor = dict([LABELS, WARNINGS])[method]
    regions = [] if anchor_at is None else [(1000, units(anchor, 0))]

    # The same layout in a small file, read to the end: the answer without a
    # signal, and the time a whole scan takes per byte.
    small = 256 * MIB
    start = time.monotonic()
    assert scan(tmp_path, method, *regions, size=small, name="small.raw") == ([] if anchor_at is None else [anchor])
    whole_scan = (time.monotonic() - start) * (64 << 30) / small

    # A 64 GiB sparse file; the timer's signal comes 0.2 s into the scan and
    # its handler runs as the member below checks for it, the way Ctrl-C's does.
    img = RawImage().header(66)
    for offset, data in regions:
        img.put(offset, data)
    img.size = 64 << 30
    r = vantoro.RawFileReader(img.write(tmp_path / "big.raw"))
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        with pytest.raises(expected):
            start = time.monotonic()
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            try:
                getattr(r, method)()
            finally:
                took = time.monotonic() - start
                signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert took < whole_scan / 10, (took, whole_scan)
