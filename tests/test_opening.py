import os
import subprocess
import sys

import pytest

from vantoro import RawFileReader

from builders import HEADER_SIZE, RT_SMALL_START, RawImage


@pytest.mark.parametrize(
    "word36,word12,expected",
    [
        (57, 99, 57),  # offset 12 ignored when 36 holds a known version
        (66, 99, 66),
        (0, 0, 0),  # otherwise 12 is taken unchecked
        (58, 1000, 1000),
        (0x42000000, 7, 7),  # bytes 00 00 00 42 are not 66
        (1, 0xFFFFFFFF, 0xFFFFFFFF),
    ],
)
def test_version_probe(write_raw, word36, word12, expected):
    img = RawImage().header(word36=word36, word12=word12)
    assert RawFileReader(write_raw(img)).version == expected


@pytest.mark.parametrize(
    "creation_time,text",
    [
        (0, "0"),
        (116444736000000000, "0"),
        (116444736009999999, "0"),
        (116444736010000000, "1"),
        (132000000000000000, "1555526400"),
        (18446744073709551615, "1833029933770"),
    ],
)
def test_creation_date(write_raw, creation_time, text):
    img = RawImage().header(66, creation_time=creation_time)
    assert RawFileReader(write_raw(img)).creation_date == text


@pytest.mark.parametrize("version,scans", [(57, 48), (66, 145), (0, 100), (58, 100), (2**32 - 1, 100)])
def test_num_scans_follows_version(write_raw, version, scans):
    assert RawFileReader(write_raw(RawImage().header(version))).num_scans == scans


@pytest.mark.parametrize("name", ["plain.raw", "small.RAW", "run_orbitrap_x.raw"])
def test_forty_bytes_is_enough_and_thirty_nine_is_not(write_raw, tmp_path, name):
    img = RawImage().header(57)
    assert img.size == HEADER_SIZE
    if "orbitrap" not in name:  # the orbitrap layout is fine with 40 bytes too, see caches
        assert RawFileReader(write_raw(img, name)).version == 57
    img.size = HEADER_SIZE - 1
    with pytest.raises(OSError) as info:
        RawFileReader(write_raw(img, name))
    assert type(info.value) is OSError
    assert info.value.args == ("failed to fill whole buffer",)


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        RawFileReader(str(tmp_path / "nope" / "missing.raw"))
    (text,) = info.value.args
    assert text.endswith(" (os error 2)")
    assert info.value.errno is None and info.value.strerror is None and info.value.filename is None


def test_directory_is_an_os_error(tmp_path):
    with pytest.raises(OSError) as info:
        RawFileReader(str(tmp_path))
    assert type(info.value) is OSError
    assert info.value.args[0].endswith(")") and "(os error " in info.value.args[0]


def test_nul_in_path_fails_before_any_system_call():
    with pytest.raises(OSError) as info:
        RawFileReader("/definitely/missing\0.raw")
    assert type(info.value) is OSError
    assert info.value.args == ("strings passed to WinAPI cannot contain NULs",)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_unreadable_file_is_permission_error(write_raw):
    path = write_raw(RawImage().header(66))
    os.chmod(path, 0)
    with pytest.raises(PermissionError, match=r" \(os error 13\)$"):
        RawFileReader(path)


def test_file_open_for_writing_elsewhere_can_be_read(write_raw):
    path = write_raw(RawImage().header(66))
    with open(path, "r+b"):
        assert RawFileReader(path).version == 66


def test_properties_survive_deletion(write_raw):
    path = write_raw(RawImage().header(57, creation_time=132000000000000000))
    r = RawFileReader(path)
    os.unlink(path)
    assert (r.version, r.num_scans, r.creation_date) == (57, 48, "1555526400")


def test_readers_are_independent(write_raw):
    a = RawFileReader(write_raw(RawImage().header(57), "a.raw"))
    b = RawFileReader(write_raw(RawImage().header(66), "b.raw"))
    assert (a.version, b.version) == (57, 66)


def test_relative_path_resolves_against_current_directory(tmp_path, monkeypatch):
    one, two = tmp_path / "one", tmp_path / "two"
    for d, rt in ((one, 1.5), (two, 2.5)):
        d.mkdir()
        img = RawImage().header(66)
        img.f64(RT_SMALL_START, rt)
        img.write(d / "small.RAW")
    monkeypatch.chdir(one)
    r = RawFileReader("small.RAW")
    assert r.get_rt(1) == 1.5
    monkeypatch.chdir(two)
    r.initialize_caches()
    assert r.get_rt(1) == 2.5
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError):
        r.initialize_caches()
    assert r.get_rt(1) == 2.5


def test_fifo_fails_instead_of_blocking(tmp_path):
    fifo = tmp_path / "pipe.raw"
    os.mkfifo(fifo)
    code = (
        f"from vantoro import RawFileReader\ntry:\n    RawFileReader({str(fifo)!r})\n"
        "except OSError as e:\n    print(type(e).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert out.stdout.strip() == "OSError", out
