"""The installed type stubs as mypy sees them: right calls pass strict mode
with the documented result types, wrong ones are flagged where they are."""

import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

RIGHT = """\
from typing_extensions import assert_type
import numpy as np
from numpy.typing import NDArray
from vantoro import RawFileReader

reader = RawFileReader("run.raw")
assert_type(reader.get_rt(5), float)
assert_type(reader.get_rt(scan_number=5), float)
assert_type(reader.get_master_scan(np.int64(5)), int)
assert_type(reader.get_peaks(scan_num=5), tuple[NDArray[np.float64], NDArray[np.float32]])
assert_type(reader.native_get_peaks(5), tuple[list[float], list[float]] | None)
assert_type(reader.list_spectra()[0]["rt"], float)
assert_type(reader.get_trailer_extra(5).get("MS Order"), int | None)
assert_type(reader.get_instrument_method(_index=0), str)
assert_type(reader.get_error_logs(), list[str])
assert_type(reader.num_scans, int)
assert_type(reader.initialize_caches(), None)
"""

# One wrong use per line, with the error code mypy must report there.
WRONG = [
    ('reader.get_rt("5")', "arg-type"),
    ("reader.get_rt(scan=5)", "call-arg"),
    ("reader.get_peaks()", "call-arg"),
    ("reader.list_spectra(1)", "call-arg"),
    ('RawFileReader(b"run.raw")', "arg-type"),
    ("reader.version = 67", "misc"),
    ('reader.list_spectra()[0]["mz"]', "typeddict-item"),
    ("label: int = reader.get_status_log_labels()[0]", "assignment"),
    ("mz, intensity = reader.native_get_peaks(5)", "misc"),
    ("class Sub(RawFileReader): pass", "misc"),
    ("import vantoro; vantoro.PanicException", "attr-defined"),
]
WRONG_HEADER = 'from vantoro import RawFileReader\nreader = RawFileReader("run.raw")\n'


def mypy_errors(tmp_path, name, source):
    """(line, code) of every error mypy --strict reports for `source`."""
    path = tmp_path / name
    path.write_text(source)
    out = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--config-file=",
            "--cache-dir",
            str(tmp_path / "cache"),
            "--no-error-summary",
            "--show-error-codes",
            name,
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode in (0, 1), out.stderr + out.stdout
    return sorted(
        (int(m[1]), m[2]) for m in re.finditer(r"^\S+:(\d+): error: .*\[([\w-]+)\]$", out.stdout, re.M)
    ), out.stdout


def test_right_calls_pass_strict_mode(tmp_path):
    errors, text = mypy_errors(tmp_path, "right.py", RIGHT)
    assert errors == [], text


def test_wrong_calls_are_flagged_on_their_line(tmp_path):
    source = WRONG_HEADER + "".join(line + "\n" for line, _ in WRONG)
    first = WRONG_HEADER.count("\n") + 1
    errors, text = mypy_errors(tmp_path, "wrong.py", source)
    assert errors == [(first + k, code) for k, (_, code) in enumerate(WRONG)], text
