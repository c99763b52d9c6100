"""The `vantoro` command: failure lines and exit status, info, plot, and
the names of missing optional packages."""

import json
import os
import subprocess
import sys

import pytest

from builders import RawImage, orbitrap_varied

pytest.importorskip("vantoro_tools")
from vantoro import RawFileReader
from vantoro_tools.cli import main


def visible(directory):
    """The names in `directory` a user sees by default: not the hidden
    stamps that record what each output was converted from."""
    return sorted(n for n in os.listdir(directory) if not n.startswith("."))


@pytest.fixture(scope="module")
def raw(tmp_path_factory):
    return orbitrap_varied().write(tmp_path_factory.mktemp("raw") / "run_orbitrap.raw")


def test_bad_inputs_get_one_line_each_and_the_rest_converts(raw, tmp_path, capsys):
    pytest.importorskip("pyarrow")
    bad = tmp_path / "bad"
    bad.mkdir()
    RawImage().header(60).write(bad / "v60.raw")
    (bad / "short.RAW").write_bytes(b"\0" * 39)
    (bad / "notes.txt").write_text("not a RAW file and not named like one")
    (tmp_path / "empty").mkdir()
    out = tmp_path / "out"
    status = main(
        [
            "convert",
            raw,
            str(bad),
            str(tmp_path / "missing.raw"),
            str(tmp_path / "empty"),
            "--to",
            "parquet",
            "--out",
            str(out),
            "-j",
            "2",
        ]
    )
    assert status == 1
    lines = capsys.readouterr().err.splitlines()
    failures = sorted(line for line in lines if "converted" not in line)
    assert failures == sorted(
        [
            f"vantoro: {bad / 'short.RAW'}: not a RAW file (shorter than the 40-byte header)",
            f"vantoro: {bad / 'v60.raw'}: not a RAW file (format version 60; vantoro reads 57 and 66)",
            f"vantoro: {tmp_path / 'missing.raw'}: no such file",
            f"vantoro: {tmp_path / 'empty'}: directory holds no .raw files",
        ]
    )
    assert lines[-1] == f"vantoro: 1 converted, 0 up to date, 0 refused, 4 failed; output in {out}"
    written = sorted(
        os.path.relpath(os.path.join(d, f), out)
        for d, _, fs in os.walk(out)
        if ".vantoro-ledger" not in d
        for f in fs
        if not f.startswith(".")
    )
    assert written == ["peaks/run_orbitrap.parquet", "scans/run_orbitrap.parquet"]
    # All good: status 0; --quiet: nothing on standard error.
    assert main(["convert", raw, "--to", "parquet", "--out", str(out), "-q", "--overwrite"]) == 0
    assert capsys.readouterr().err == ""


def test_same_stem_twice_and_unwritable_output(raw, tmp_path, capsys):
    pytest.importorskip("pyteomics")
    other = orbitrap_varied(seed=2).write(tmp_path / "run_orbitrap.RAW")
    assert main(["convert", raw, other, raw, "--to", "mgf", "--out", str(tmp_path / "o"), "-q"]) == 1
    assert capsys.readouterr().err == f"vantoro: {other}: same name stem as {raw}; not converted\n"
    assert visible(tmp_path / "o") == ["run_orbitrap.mgf"]
    (tmp_path / "file").write_text("")
    assert main(["convert", raw, "--to", "mgf", "--out", str(tmp_path / "file"), "-q"]) == 1
    assert capsys.readouterr().err == f"vantoro: {raw}: cannot write {tmp_path / 'file'}: not a directory\n"


@pytest.mark.parametrize("deep", [False, True])
def test_info_table_and_json(raw, tmp_path, capsys, deep):
    """Quick (the default) gives header facts and the whole-file check; --deep
    also the peak lists, labels and warnings, which quick leaves null in JSON
    and out of the table."""
    flags = ["--deep"] if deep else []
    assert main(["info", raw, str(tmp_path / "missing.raw"), "--json", *flags]) == 1
    captured = capsys.readouterr()
    assert captured.err == f"vantoro: {tmp_path / 'missing.raw'}: no such file\n"
    r = RawFileReader(raw)
    read = {
        "scans_with_peaks": sum(r.native_get_peaks(s) is not None for s in range(1, 146)),
        "status_log_labels": r.get_status_log_labels(),
        "warnings": r.get_error_logs(),
    }
    assert json.loads(captured.out) == [
        {
            "file": raw,
            "version": 66,
            "creation_date": r.creation_date,
            "created_utc": "2019-04-17T18:40:00Z",
            "layout_check": "ok",
            "num_scans": 145,
            **(read if deep else dict.fromkeys(read)),
        }
    ]
    assert main(["info", raw, *flags]) == 0
    table = capsys.readouterr().out.splitlines()
    deep_head = ["PEAK", "LISTS", "LABELS", "WARNINGS"] if deep else []
    assert table[0].split() == ["FILE", "VERSION", "CREATED", "(UTC)", "SCANS", *deep_head, "LAYOUT", "CHECK"]
    deep_row = ["109", "4", "2"] if deep else []
    assert table[1].split() == ["run_orbitrap.raw", "66", "2019-04-17", "18:40:00", "145", *deep_row, "ok"]
    if deep:
        assert "warnings: Possible spray instability; Fan speed low" in table[-1]
    else:
        assert len(table) == 2


def test_plot(raw, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    png = tmp_path / "s.png"
    assert main(["plot", raw, "3", "-o", str(png)]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    from vantoro_tools import plot_spectrum

    title = plot_spectrum(raw, 3).axes[0].get_title()
    assert title == "run_orbitrap.raw   scan 3   RT 1.500 min   MS2   precursor m/z 403.0000, z=2"
    assert main(["plot", raw, "4", "-o", str(tmp_path / "t.png")]) == 1  # no peak list
    assert capsys.readouterr().err == f"vantoro: {raw}: scan 4 has no peak list\n"
    assert [f for f in os.listdir(tmp_path) if not f.startswith(".")] == ["s.png"]


@pytest.mark.parametrize(
    "argv, package, needs, message",
    [
        (
            "convert {raw} --to mzml --out {out}",
            "isal",
            ["numpy"],
            "vantoro convert --to mzml needs isal: pip install 'vantoro[convert]'",
        ),
        (
            "convert {raw} --to parquet --out {out}",
            "pyarrow",
            ["numpy"],
            "vantoro convert --to parquet needs pyarrow: pip install 'vantoro[convert]'",
        ),
        (
            "convert {raw} --to mgf --out {out} --dask tcp://127.0.0.1:1",
            "distributed",
            ["numpy", "pyteomics"],
            "vantoro convert --dask needs distributed: pip install 'vantoro[dask]'",
        ),
        (
            "plot {raw} 1 -o {out}/x.png",
            "matplotlib",
            ["numpy"],
            "vantoro plot needs matplotlib: pip install 'vantoro[plot]'",
        ),
        ("report {raw} -o {out}/r.html", "numpy", [], "vantoro report needs numpy: pip install 'vantoro[report]'"),
        ("chrom {raw}", "numpy", [], "vantoro chrom needs numpy: pip install 'vantoro[numpy]'"),
        (
            "chrom {raw} -o {out}/c.png",
            "matplotlib",
            ["numpy"],
            "vantoro chrom (images) needs matplotlib: pip install 'vantoro[plot]'",
        ),
    ],
)
def test_missing_package_is_named(raw, tmp_path, capsys, monkeypatch, argv, package, needs, message):
    for name in needs:
        pytest.importorskip(name)
    for name in [m for m in sys.modules if m.startswith(package + ".")] + [package]:
        monkeypatch.setitem(sys.modules, name, None)  # its import fails
    assert main(argv.format(raw=raw, out=tmp_path).split()) == 2
    assert capsys.readouterr().err == f"vantoro: {message}\n"
    assert os.listdir(tmp_path) == []


def test_module_entry_point(raw):
    out = subprocess.run(
        [sys.executable, "-m", "vantoro_tools", "info", "--json", raw], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0 and json.loads(out.stdout)[0]["num_scans"] == 145


def test_readme_describes_every_output_format():
    from vantoro_tools import FORMATS

    path = os.path.join(os.path.dirname(__file__), "..", "README.md")
    if not os.path.exists(path):
        pytest.skip("the tests run without the repository's README")
    readme = open(path, encoding="utf-8").read()
    for fmt in FORMATS.values():
        assert fmt.name in readme
        for output in fmt.outputs:
            assert f"DIR/{output.format(stem='<stem>')}" in readme
    help_text = subprocess.run(
        [sys.executable, "-m", "vantoro_tools", "convert", "--help"], capture_output=True, text=True, timeout=120
    ).stdout
    assert all(" ".join(f.summary.split()) in " ".join(help_text.split()) for f in FORMATS.values())
