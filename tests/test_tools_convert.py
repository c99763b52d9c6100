"""vantoro_tools conversions read back by independent readers (pyopenms,
pyteomics, duckdb, pandas), with the values vantoro itself returns."""

import faulthandler
import os
import re

import pytest

from builders import orbitrap_varied, small_v57

np = pytest.importorskip("numpy")
vantoro_tools = pytest.importorskip("vantoro_tools")
from vantoro import RawFileReader  # noqa: E402
from vantoro_tools import convert_file  # noqa: E402
from vantoro_tools.cli import main  # noqa: E402


@pytest.fixture(scope="module")
def raw(tmp_path_factory):
    # A name that is no XML ID as it is: the run's id is made from it.
    return orbitrap_varied().write(tmp_path_factory.mktemp("raw") / "01 run_orbitrap.raw")


def vantoro_scans(path):
    """What vantoro answers per scan with a peak list: the expected values."""
    r = RawFileReader(path)
    out = {}
    for s in range(1, r.num_scans + 1):
        if r.native_get_peaks(s) is not None:
            mz, inten = r.get_peaks(s)
            out[s] = dict(rt=r.get_rt(s), level=r.get_trailer_extra(s)["MS Order"], mz=mz.copy(),
                          intensity=inten.copy(), monomz=r.get_monoisotopic_mz(s),
                          charge=r.get_charge_state(s))
    return out


def same_peaks(want, mz, intensity):
    assert np.asarray(mz).dtype == np.float64
    assert np.array_equal(np.asarray(mz), want["mz"])
    assert np.array_equal(np.asarray(intensity, np.float64).astype(np.float32), want["intensity"])


def test_mzml_round_trip_pyteomics(raw, tmp_path):
    mzml = pytest.importorskip("pyteomics.mzml")
    validator = pytest.importorskip("psims.validation.validator")
    (path,) = convert_file(raw, "mzml", tmp_path)
    assert path == str(tmp_path / "01 run_orbitrap.mzML")
    assert validator.validate(path)[0]  # the indexed mzML schema
    want = vantoro_scans(raw)
    with mzml.MzML(path) as reader:
        spectra = list(reader)
    assert [s["id"] for s in spectra] == [f"scan={n}" for n in want]
    # The embedded index: each offset is where its spectrum starts.
    data = open(path, "rb").read()
    index = re.findall(rb'<offset idRef="([^"]+)">(\d+)</offset>', data)
    assert [i.decode() for i, _ in index] == [s["id"] for s in spectra]
    assert all(data.startswith(b'<spectrum index="%d" ' % k, int(o)) for k, (_, o) in enumerate(index))
    for s in spectra:
        w = want[int(s["id"][5:])]
        assert s["scanList"]["scan"][0]["scan start time"] == w["rt"]
        assert s["ms level"] == w["level"]
        assert s["intensity array"].dtype == np.float32
        same_peaks(w, s["m/z array"], s["intensity array"])
        precursors = s.get("precursorList", {}).get("precursor", [])
        if w["level"] == 2 and w["monomz"] > 0:
            (ion,) = precursors[0]["selectedIonList"]["selectedIon"]
            assert ion["selected ion m/z"] == w["monomz"]
            assert ion.get("charge state", 0) == w["charge"]
        else:
            assert precursors == []


def test_mzml_round_trip_pyopenms(raw, tmp_path):
    oms = pytest.importorskip("pyopenms")
    (path,) = convert_file(raw, "mzml", tmp_path)
    want = vantoro_scans(raw)
    exp = oms.MSExperiment()
    oms.MzMLFile().load(path, exp)
    spectra = exp.getSpectra()
    assert [s.getNativeID() for s in spectra] == [f"scan={n}" for n in want]
    for s in spectra:
        w = want[int(s.getNativeID()[5:])]
        assert s.getRT() == pytest.approx(w["rt"] * 60, rel=1e-12)  # seconds
        assert s.getMSLevel() == w["level"]
        same_peaks(w, *s.get_peaks())
        precursors = s.getPrecursors()
        if w["level"] == 2 and w["monomz"] > 0:
            assert (precursors[0].getMZ(), precursors[0].getCharge()) == (w["monomz"], w["charge"])
        else:
            assert len(precursors) == 0


def test_mgf_round_trip_pyteomics(raw, tmp_path):
    mgf = pytest.importorskip("pyteomics.mgf")
    (path,) = convert_file(raw, "mgf", tmp_path)
    want = {n: w for n, w in vantoro_scans(raw).items() if w["level"] == 2 and w["monomz"] > 0}
    assert 5 not in want and want[7]["charge"] == 0  # scans the fixture makes special
    with mgf.read(path, use_index=False) as reader:
        entries = list(reader)
    assert [int(e["params"]["scans"]) for e in entries] == list(want)
    for e in entries:
        n, p = int(e["params"]["scans"]), e["params"]
        w = want[n]
        assert p["title"] == f"01 run_orbitrap.{n}.{n}.{w['charge']}"
        assert p["pepmass"][0] == w["monomz"]
        assert p["rtinseconds"] == w["rt"] * 60
        assert list(p.get("charge", [])) == ([w["charge"]] if w["charge"] else [])
        same_peaks(w, e["m/z array"], e["intensity array"])


def test_parquet_dataset_duckdb_and_pandas(raw, tmp_path):
    duckdb = pytest.importorskip("duckdb")
    pd = pytest.importorskip("pandas")
    small = small_v57().write(tmp_path / "b.small.RAW")
    out = tmp_path / "out"
    for path in (raw, small):
        convert_file(path, "parquet", out)
    scans = f"'{out}/scans/*.parquet'"
    peaks = f"'{out}/peaks/*.parquet'"
    # One dataset of both files: one schema, one row per scan and per peak.
    counts = duckdb.sql(f"select file, count(*) from {scans} group by file order by file").fetchall()
    assert counts == [("01 run_orbitrap.raw", 145), ("b.small.RAW", 48)]
    types = dict(duckdb.sql(f"select column_name, column_type from (describe select * from {peaks})")
                 .fetchall())
    assert types == {"file": "VARCHAR", "scan_number": "UINTEGER", "mz": "DOUBLE", "intensity": "FLOAT"}

    for path in (raw, small):
        name = os.path.basename(path)
        r = RawFileReader(path)
        table = pd.read_parquet(out / "scans" / (os.path.splitext(name)[0] + ".parquet"))
        for row, spectrum in zip(table.to_dict("records"), r.list_spectra()):
            assert {k: row[k] for k in spectrum} == spectrum
            trailer = r.get_trailer_extra(spectrum["scan_number"])
            assert {k: row[k] for k in trailer} == trailer
            assert all(pd.isna(v) for k, v in row.items() if k not in trailer and k[0].isupper())
        got = duckdb.sql(f"select scan_number, list(mz order by mz), list(intensity order by mz) "
                         f"from {peaks} where file = '{name}' group by scan_number").fetchall()
        want = {s: r.native_get_peaks(s) for s in range(1, r.num_scans + 1)}
        assert {s: (m, i) for s, m, i in got} == {s: p for s, p in want.items() if p is not None}
        assert table["peak_count"].tolist() == [len(p[0]) if p else 0 for p in want.values()]


@pytest.mark.parametrize("to", ["mzml", "mgf", "parquet"])
def test_failure_midway_leaves_no_output(raw, tmp_path, to):
    pytest.importorskip({"mzml": "psims", "mgf": "pyteomics", "parquet": "pyarrow"}[to])
    calls = []

    def crash(step):
        calls.append(step)
        if len(calls) == 100:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        convert_file(raw, to, tmp_path, on_progress=crash)
    assert [f for _, _, files in os.walk(tmp_path) for f in files] == []
    convert_file(raw, to, tmp_path)  # and a later run completes
    assert all(name.endswith((".mzML", ".mgf", ".parquet", ".vantoro.json"))
               for _, _, files in os.walk(tmp_path) for name in files)


def test_dask_cluster_and_process_pool_write_identical_files(raw, tmp_path):
    for name in ("distributed", "psims", "pyteomics", "pyarrow"):
        pytest.importorskip(name)
    from distributed import LocalCluster

    src = tmp_path / "in"
    src.mkdir()
    for k in range(3):
        orbitrap_varied(seed=k).write(src / f"r{k}_orbitrap.raw")
    faulthandler.dump_traceback_later(600, exit=True)  # a hung cluster ends the run
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, protocol="tcp://",
                          host="127.0.0.1",
                          dashboard_address=None) as cluster:
            for to in ("parquet", "mgf", "mzml"):
                assert main(["convert", str(src), "--to", to, "--out", str(tmp_path / "dask"), "-q",
                             "--dask", cluster.scheduler_address]) == 0
    finally:
        faulthandler.cancel_dump_traceback_later()
    for to in ("parquet", "mgf", "mzml"):
        assert main(["convert", str(src), "--to", to, "--out", str(tmp_path / "pool"), "-q", "-j", "2"]) == 0

    def files(root):
        return {os.path.relpath(os.path.join(d, f), root): open(os.path.join(d, f), "rb").read()
                for d, _, names in os.walk(root) for f in names if not f.startswith(".")}

    dask, pool = files(tmp_path / "dask"), files(tmp_path / "pool")
    assert len(pool) == 12 and dask == pool
