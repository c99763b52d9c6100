"""The `vantoro` command: failure lines and exit status, info, plot, and
the names of missing optional packages."""

import json
import os
import subprocess
import sys

import pytest

from builders import RawImage, orbitrap_varied, small_v57
from read_counter import AVAILABLE, bytes_read

pytest.importorskip("vantoro_tools")
from vantoro import RawFileReader
from vantoro_tools.cli import COMMANDS, main, parser


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
    assert lines[-1] == (
        f"vantoro: 1 converted, 0 up to date, 0 refused, 4 failed; 36 spectra without a peak list in 1 file(s); "
        f"output in {out}"
    )
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


@pytest.mark.skipif(not AVAILABLE, reason="reads /proc/self/io")
def test_quick_info_reads_the_header_not_the_file(tmp_path):
    from vantoro_tools import file_info

    path = small_v57().write(tmp_path / "a.small.RAW")
    size = os.path.getsize(path)
    quick, quick_read = bytes_read(lambda: file_info(path))
    deep, deep_read = bytes_read(lambda: file_info(path, deep=True))
    assert quick_read < size // 20 and deep_read >= size  # the logs are read whole, deep
    assert (quick.scans_with_peaks, quick.status_log_labels, quick.warnings) == (None, None, None)
    assert deep.scans_with_peaks is not None and deep.status_log_labels is not None and deep.warnings is not None
    facts = ("path", "version", "creation_date", "num_scans", "layout_check")
    assert [getattr(quick, f) for f in facts] == [getattr(deep, f) for f in facts]


@pytest.mark.parametrize("deep", [False, True])
def test_info_on_the_pool_in_chunks_gives_what_one_process_gives(tmp_path, deep):
    from vantoro_tools import info_many
    from vantoro_tools.run.info import CHUNK_QUICK, chunks

    good = orbitrap_varied().write(tmp_path / "a_orbitrap.raw")
    names = [f"r{k:02d}_orbitrap.raw" for k in range(11)]
    for name in names:
        os.link(good, tmp_path / name)
    RawImage().header(60).write(tmp_path / "r04x_orbitrap.raw")  # fails amid a chunk
    os.link(good, tmp_path / "r07x.raw")  # refused: no layout marker
    inputs = [str(tmp_path), str(tmp_path / "missing.raw")]
    files = sorted(str(p) for p in tmp_path.iterdir())
    assert max(map(len, chunks(files, 2, CHUNK_QUICK))) > 1 and sum(chunks(files, 2, CHUNK_QUICK), []) == files
    runs = []
    for jobs in (1, 2):
        outcomes = []
        runs.append((info_many(inputs, outcomes.append, jobs=jobs, deep=deep), outcomes))
    assert runs[0] == runs[1]
    infos, outcomes = runs[0]
    odd = {"missing.raw": "failed", "r04x_orbitrap.raw": "failed", "r07x.raw": "refused"}
    assert [(os.path.basename(o.source), o.status) for o in outcomes] == [
        (os.path.basename(f), odd.get(os.path.basename(f), "read")) for f in [*files, inputs[1]]
    ]
    assert len(infos) == 13 and {i.scans_with_peaks is None for i in infos} == {not deep}


def test_import_costs_only_what_is_used():
    code = """
import json, sys
import vantoro_tools, vantoro_tools.cli.info
heavy = ["numpy", "pyarrow", "asyncio", "multiprocessing", "concurrent.futures", "importlib.metadata", "tqdm"]
loaded = [m for m in heavy if m in sys.modules]
names = {}
exec("from vantoro_tools import *", names)
star = sorted(n for n in names if not n.startswith("__"))
undir = sorted(set(vantoro_tools.__all__) - set(dir(vantoro_tools)))
print(json.dumps([loaded, sorted(vantoro_tools.__all__), sorted(vantoro_tools._WHERE), star, undir]))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    loaded, public, where, star, undir = json.loads(out.stdout)
    assert loaded == []
    assert public == where == star and "convert_many" in public and undir == []
    import vantoro_tools

    assert callable(vantoro_tools.convert_many) and vantoro_tools.FileInfo.__name__ == "FileInfo"
    with pytest.raises(AttributeError):
        vantoro_tools.no_such_name  # noqa: B018


@pytest.mark.parametrize("name", COMMANDS)
def test_a_subcommand_parser_built_alone_says_what_it_says_among_all(name):
    def help_of(p):
        return next(a for a in p._actions if a.dest == "command").choices[name].format_help()

    assert help_of(parser([name])) == help_of(parser())


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


def test_version_is_the_installed_distribution(capsys):
    from importlib import metadata

    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out == f"vantoro {metadata.version('vantoro')}\n"
