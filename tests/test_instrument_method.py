"""get_instrument_method: start marker region, window, end tags, UTF-8."""

import os

import pytest

import vantoro

from builders import RawImage, utf16
from read_counter import AVAILABLE, NOISE, bytes_read

REGION = 4194304
WINDOW = 200000
METHOD = b'<?xml version="1.0"?><InstrumentMethod><CmData>v\xc3\xa9</CmData></InstrumentMethod>'


def reader(tmp_path, *regions, size=None):
    img = RawImage().header(66)
    for offset, data in regions:
        img.put(offset, data)
    if size is not None:
        img.size = size
    return vantoro.RawFileReader(img.write(tmp_path / "run.raw"))


def test_index_is_ignored(tmp_path):
    r = reader(tmp_path, (100, METHOD))
    texts = {r.get_instrument_method(i) for i in (0, 7, 4294967295)}
    assert texts == {METHOD.decode()}
    assert r.get_instrument_method(_index=3) == METHOD.decode()


# Around the internal chunk borders (64 KiB) and the end of the search region.
@pytest.mark.parametrize(
    "offset, found",
    [
        (40, True),
        (65533, True),
        (65534, True),
        (65536, True),
        (131070, True),
        (REGION - 5, True),
        (REGION - 4, False),
        (REGION, False),
    ],
)
def test_start_marker_must_lie_in_first_4_mib(tmp_path, offset, found):
    r = reader(tmp_path, (offset, METHOD), size=REGION + 1_000_000)
    assert r.get_instrument_method(0) == (METHOD.decode() if found else "")


def test_first_marker_wins_without_retry(tmp_path):
    # The first window breaks UTF-8 before any tag: no second chance at the later marker.
    r = reader(tmp_path, (100, b"<?xml \xff"), (300, METHOD))
    assert r.get_instrument_method(0) == ""
    r = reader(tmp_path, (100, b"<?xml a"), (300, METHOD))
    assert r.get_instrument_method(0) == "<?xml a" + "\0" * 193 + METHOD.decode()


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"<?xml", "<?xml"),
        (b"<?xm", ""),
        (b"<?XML x</CmData>", ""),
        (utf16("<?xml version='1.0'?></CmData>"), ""),
    ],
)
def test_tiny_files(tmp_path, content, expected):
    # Files shorter than the header: open them without the reader's header probe.
    path = tmp_path / "run.raw"
    RawImage().header(66).write(path)
    r = vantoro.RawFileReader(str(path))
    path.write_bytes(content)
    assert r.get_instrument_method(0) == expected


@pytest.mark.parametrize(
    "body, expected_end",
    [
        (b"<a></CmData><b></InstrumentMethod><c></CmData>", b"</InstrumentMethod>"),
        (b"<a></CmData><b></CmData>", b"<a></CmData>"),
        (b"<a></instrumentmethod></CmData>", b"</CmData>"),
    ],
)
def test_end_tag_choice(tmp_path, body, expected_end):
    r = reader(tmp_path, (1000, b"<?xml " + body + b"tail"))
    text = r.get_instrument_method(0)
    assert text.encode() == b"<?xml " + body[: body.index(expected_end) + len(expected_end)]


def test_no_end_tag_returns_whole_window(tmp_path):
    r = reader(tmp_path, (1000, b"<?xml " + b"x" * 300000))
    assert r.get_instrument_method(0) == "<?xml " + "x" * (WINDOW - 6)
    r = reader(tmp_path, (1000, b"<?xml " + b"y" * 5000))
    assert r.get_instrument_method(0) == "<?xml " + "y" * 5000


# The common case in real files: a complete block followed by binary data.
@pytest.mark.parametrize(
    "after",
    [
        b"\xff\xfe\x00\x01binary",
        b"\x80" * 1000,
        b"a" * (WINDOW - len(METHOD) - 1) + b"\xc3\xa9",  # the window cuts this character
    ],
)
def test_binary_after_the_block_is_ignored(tmp_path, after):
    r = reader(tmp_path, (500, METHOD + after))
    assert r.get_instrument_method(0) == METHOD.decode()


@pytest.mark.parametrize(
    "data",
    [
        b"<?xml \xff</CmData>",  # invalid before the tag
        b"<?xml \xed\xa0\x80</InstrumentMethod>",  # encoded surrogate
        b"<?xml " + b"a" * (WINDOW - 7) + b"\xc3\xa9",  # no tag, window cut mid-character
    ],
)
def test_invalid_text_gives_empty(tmp_path, data):
    assert reader(tmp_path, (500, data)).get_instrument_method(0) == ""


def test_text_up_to_the_file_end(tmp_path):
    path = tmp_path / "run.raw"
    img = RawImage().header(66).put(200, b"<?xml tail \xc3\xa9")
    r = vantoro.RawFileReader(img.write(path))
    assert r.get_instrument_method(0) == "<?xml tail é"
    with open(path, "ab") as f:
        f.write(b"\xc3")  # now the file ends inside a character
    assert r.get_instrument_method(0) == ""


def test_deleted_file(tmp_path):
    r = reader(tmp_path, (100, METHOD))
    os.remove(tmp_path / "run.raw")
    assert r.get_instrument_method(0) == ""


@pytest.mark.skipif(not AVAILABLE, reason="needs /proc/self/io")
@pytest.mark.parametrize("offset, found", [(REGION - 5, True), (200, True), (REGION, False)])
def test_reads_at_most_region_and_window(tmp_path, offset, found):
    r = reader(tmp_path, (offset, METHOD), size=64 << 20)
    text, read = bytes_read(lambda: r.get_instrument_method(0))
    assert (text == METHOD.decode()) == found
    if offset == REGION - 5:
        expected = REGION + WINDOW  # the whole region, then one window
    elif found:
        expected = 65536 + WINDOW  # streaming stops at the chunk holding the marker
    else:
        expected = REGION
    assert expected <= read <= expected + NOISE
