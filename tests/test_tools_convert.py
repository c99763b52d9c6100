"""vantoro_tools conversions read back by independent readers (pyopenms,
pyteomics, duckdb, pandas), with the values vantoro itself returns."""

import faulthandler
import hashlib
import math
import os
import re
import subprocess
import sys

import pytest

from builders import (
    CHAIN_BASE,
    RT_ORBI_START,
    RT_ORBI_STRIDE,
    orbitrap_v66,
    orbitrap_varied,
    peak_block_v66,
    small_v57,
)
from mzml_check import assert_valid_mzml

np = pytest.importorskip("numpy")
vantoro_tools = pytest.importorskip("vantoro_tools")
from vantoro import RawFileReader
from vantoro_tools import convert_file
from vantoro_tools.cli import main
from vantoro_tools.source.scans import open_source
from vantoro_tools.write.formats import (
    COMPRESSIONS,
    WriteOptions,
)
from vantoro_tools.write.registry import FORMATS


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
            out[s] = dict(
                rt=r.get_rt(s),
                level=r.get_trailer_extra(s)["MS Order"],
                mz=mz.copy(),
                intensity=inten.copy(),
                monomz=r.get_monoisotopic_mz(s),
                charge=r.get_charge_state(s),
            )
    return out


def same_peaks(want, mz, intensity, compression="zlib"):
    assert np.asarray(mz).dtype == np.float64
    if compression == "numpress":  # within MS-Numpress's stated precision
        assert np.allclose(mz, want["mz"], rtol=2e-9, atol=0)
        assert np.allclose(intensity, want["intensity"], rtol=2e-4, atol=0.5)
        return
    assert np.array_equal(np.asarray(mz), want["mz"])
    assert np.array_equal(np.asarray(intensity, np.float64).astype(np.float32), want["intensity"])


def convert_mzml(raw, out, compression):
    (path,) = convert_file(raw, "mzml", out, options=WriteOptions(compression=compression))
    return path, assert_valid_mzml(path)


@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_mzml_round_trip_pyteomics(raw, tmp_path, compression):
    mzml = pytest.importorskip("pyteomics.mzml")
    path, data = convert_mzml(raw, tmp_path, compression)
    assert path == str(tmp_path / "01 run_orbitrap.mzML")
    want = vantoro_scans(raw)
    with mzml.MzML(path) as reader:
        spectra = list(reader)
    assert [s["id"] for s in spectra] == [f"scan={n}" for n in want]
    for s in spectra:
        w = want[int(s["id"][5:])]
        assert s["scanList"]["scan"][0]["scan start time"] == w["rt"]
        assert s["ms level"] == w["level"]
        assert s["intensity array"].dtype == np.float32
        same_peaks(w, s["m/z array"], s["intensity array"], compression)
        precursors = s.get("precursorList", {}).get("precursor", [])
        if w["level"] == 2 and w["monomz"] > 0:
            (ion,) = precursors[0]["selectedIonList"]["selectedIon"]
            assert ion["selected ion m/z"] == w["monomz"]
            assert ion.get("charge state", 0) == w["charge"]
        else:
            assert precursors == []
    # "HCD Energy eV" in electronvolt; "Collision Energy", which states no
    # unit, as a user parameter (the PSI-MS term requires a unit).
    assert b'<userParam name="Collision Energy" value="35.0" type="xsd:double"/>' in data
    assert b'name="collision energy" value="30.5" unitCvRef="UO" unitAccession="UO:0000266"' in data
    assert b'name="collision energy" value="35.0"' not in data
    # The source file's SHA-1 on its sourceFile.
    digest = hashlib.sha1(open(raw, "rb").read()).hexdigest()
    assert re.search(
        rb'<sourceFile id="RAW1" [^>]*>\s*(<cvParam [^>]*>\s*){2}<cvParam [^>]*name="SHA-1" value="%s"/>'
        % digest.encode(),
        data,
    )


@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_mzml_round_trip_pyopenms(raw, tmp_path, compression):
    oms = pytest.importorskip("pyopenms")
    path, _ = convert_mzml(raw, tmp_path, compression)
    want = vantoro_scans(raw)
    exp = oms.MSExperiment()
    oms.MzMLFile().load(path, exp)
    spectra = exp.getSpectra()
    assert [s.getNativeID() for s in spectra] == [f"scan={n}" for n in want]
    for s in spectra:
        w = want[int(s.getNativeID()[5:])]
        assert s.getRT() == pytest.approx(w["rt"] * 60, rel=1e-12)  # seconds
        assert s.getMSLevel() == w["level"]
        same_peaks(w, *s.get_peaks(), compression)
        precursors = s.getPrecursors()
        if w["level"] == 2 and w["monomz"] > 0:
            assert (precursors[0].getMZ(), precursors[0].getCharge()) == (w["monomz"], w["charge"])
        else:
            assert len(precursors) == 0
    # The total ion current chromatogram: one point per spectrum.
    (tic,) = exp.getChromatograms()
    assert tic.getNativeID() == "TIC"
    times, currents = tic.get_peaks()
    assert np.allclose(times, [w["rt"] * 60 for w in want.values()], rtol=1e-9)
    rel = 2e-4 if compression == "numpress" else 1e-6
    assert np.allclose(currents, [w["intensity"].sum(dtype=np.float64) for w in want.values()], rtol=rel)


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
    types = dict(duckdb.sql(f"select column_name, column_type from (describe select * from {peaks})").fetchall())
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
        got = duckdb.sql(
            f"select scan_number, list(mz order by mz), list(intensity order by mz) "
            f"from {peaks} where file = '{name}' group by scan_number"
        ).fetchall()
        want = {s: r.native_get_peaks(s) for s in range(1, r.num_scans + 1)}
        assert {s: (m, i) for s, m, i in got} == {s: p for s, p in want.items() if p is not None}
        assert table["peak_count"].tolist() == [len(p[0]) if p else 0 for p in want.values()]


@pytest.mark.parametrize("to", ["mzml", "mgf", "parquet", "mzpeak"])
def test_failure_midway_leaves_no_output(raw, tmp_path, to):
    import threading

    pytest.importorskip({"mzml": "psims", "mgf": "pyteomics", "parquet": "pyarrow", "mzpeak": "pyarrow"}[to])
    calls = []

    def crash(step):
        calls.append(step)
        if len(calls) == 100:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        convert_file(raw, to, tmp_path, on_progress=crash)
    assert [f for _, _, files in os.walk(tmp_path) for f in files] == []
    # Neither the source file's hash nor the outputs' is left running.
    assert not [t.name for t in threading.enumerate() if t.name.startswith(("vantoro-digest", "vantoro-source"))]
    paths = convert_file(raw, to, tmp_path)  # and a later run completes
    if to == "mzml":
        assert_valid_mzml(paths[0])
    assert all(
        name.endswith((".mzML", ".mgf", ".parquet", ".mzpeak", ".vantoro.json"))
        for _, _, files in os.walk(tmp_path)
        for name in files
    )


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
        with LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=False,
            protocol="tcp://",
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster:
            for to in ("parquet", "mgf", "mzml", "mzpeak"):
                assert (
                    main(
                        [
                            "convert",
                            str(src),
                            "--to",
                            to,
                            "--out",
                            str(tmp_path / "dask"),
                            "-q",
                            "--dask",
                            cluster.scheduler_address,
                        ]
                    )
                    == 0
                )
    finally:
        faulthandler.cancel_dump_traceback_later()
    for to in ("parquet", "mgf", "mzml", "mzpeak"):
        assert main(["convert", str(src), "--to", to, "--out", str(tmp_path / "pool"), "-q", "-j", "2"]) == 0

    def files(root):
        return {
            os.path.relpath(os.path.join(d, f), root): open(os.path.join(d, f), "rb").read()
            for d, _, names in os.walk(root)
            if ".vantoro-ledger" not in d
            for f in names
            if not f.startswith(".")
        }

    dask, pool = files(tmp_path / "dask"), files(tmp_path / "pool")
    assert len(pool) == 15 and dask == pool
    for name in pool:
        if name.endswith(".mzML"):
            assert_valid_mzml(tmp_path / "pool" / name)


@pytest.fixture(scope="module")
def odd_raw(tmp_path_factory):
    """Values that are not finite in scans 9 to 17 (all MS2 with a peak
    list), MS3 scans 21 and 23, and a file name holding a line break."""
    img = orbitrap_varied(seed=3)
    img.trailer(9, monomz=math.nan)
    img.trailer(11, injection_time=math.inf)
    img.trailer(13, hcd=b"inf", collision=b"nan")
    img.trailer(15, isolation=math.inf)
    img.f64(RT_ORBI_START + RT_ORBI_STRIDE * 16, math.nan)  # scan 17: needs --force
    for scan in (21, 23):
        img.trailer(scan, ms_order_byte=2)
    return img.write(tmp_path_factory.mktemp("odd") / "odd\nname_orbitrap.raw")


def write_with(raw, to, out, **options):
    fmt = FORMATS[to]
    dests = fmt.paths(raw, out)
    for path in dests:
        os.makedirs(os.path.dirname(path), exist_ok=True)
    return dests, fmt.write(open_source(raw, force=True), dests, WriteOptions(**options))


def test_values_not_finite_are_left_out_and_counted(odd_raw, tmp_path):
    mzml = pytest.importorskip("pyteomics.mzml")
    mgf = pytest.importorskip("pyteomics.mgf")
    want = vantoro_scans(odd_raw)
    (path,), written = write_with(odd_raw, "mzml", tmp_path)
    assert_valid_mzml(path)  # no nan or inf anywhere
    assert written.spectra == len(want)  # every spectrum kept
    assert written.warnings == {
        "scans failing the layout check": 1,
        "precursor m/z not finite": 1,
        "injection time not finite": 1,
        "HCD energy not a finite number": 1,
        "collision energy not finite": 1,
        "isolation width not finite": 1,
        "retention time not finite": 1,
    }
    with mzml.MzML(path) as reader:
        nine = reader.get_by_id("scan=9")
    (precursor,) = nine["precursorList"]["precursor"]
    assert precursor["selectedIonList"]["selectedIon"] == [{"charge state": 2}]  # no m/z

    (path,), written = write_with(odd_raw, "mgf", tmp_path)
    text = open(path, encoding="utf-8").read()
    assert not re.search("nan|inf", text, re.I)
    ms2 = [n for n, w in want.items() if w["level"] == 2 and w["monomz"] > 0]  # 9 (NaN) is not > 0
    with mgf.read(path, use_index=False) as reader:
        entries = list(reader)
    assert [int(e["params"]["scans"]) for e in entries] == ms2
    assert {e["params"]["title"].rsplit(".", 3)[0] for e in entries} == {"odd_name_orbitrap"}
    assert "rtinseconds" not in entries[ms2.index(17)]["params"]
    assert written.warnings == {
        "scans failing the layout check": 1,
        "retention time not finite": 1,
        "left out of MGF: precursor m/z not finite": 1,
    }


@pytest.mark.parametrize("to", ["mzml", "mgf", "parquet"])
def test_ms_levels_are_honoured(odd_raw, tmp_path, to):
    pq = pytest.importorskip("pyarrow.parquet")
    mgf = pytest.importorskip("pyteomics.mgf")
    levels = {n: w["level"] for n, w in vantoro_scans(odd_raw).items()}
    assert levels[21] == levels[23] == 3
    dests, _ = write_with(odd_raw, to, tmp_path, ms_levels=frozenset({2, 3}))
    if to == "mzml":
        data = assert_valid_mzml(dests[0])
        got = {int(n) for n in re.findall(rb'<spectrum index="\d+" id="scan=(\d+)"', data)}
    elif to == "mgf":
        with mgf.read(dests[0], use_index=False) as reader:
            got = {int(e["params"]["scans"]) for e in reader}
        with mgf.read(write_with(odd_raw, to, tmp_path / "default")[0][0], use_index=False) as reader:
            assert {levels[int(e["params"]["scans"])] for e in reader} == {2}  # MS2 only by default
    else:
        got = set(pq.read_table(dests[1]).column("scan_number").to_pylist())
    assert {levels[n] for n in got} == {2, 3} and {21, 23} <= got
    (path, *_), written = write_with(odd_raw, to, tmp_path / "none", ms_levels=frozenset({4}))
    assert written.spectra == 0  # no spectrum at all: still a valid file
    if to == "mzml":
        assert b"<spectrum " not in assert_valid_mzml(path)
    elif to == "mgf":
        assert os.path.getsize(path) == 0


def test_vocabulary_matches_psims():
    """The terms shipped with the package are psims' (the generator, run
    now, writes the committed module), and the writer's cvParams carry them."""
    cv = pytest.importorskip("psims.controlled_vocabulary.controlled_vocabulary")
    from vantoro_tools.write import terms
    from vantoro_tools.write.mzml.writer import vocabulary

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
    try:
        import make_mzml_terms
    finally:
        sys.path.pop(0)
    with open(terms.__file__, encoding="utf-8") as f:
        assert make_mzml_terms.module_text() == f.read()
    cv.obo_cache.use_remote = False
    ms, uo = cv.load_psims(), cv.load_uo()
    for name in terms.TERMS:
        term = ms.get(name) or uo[name]
        assert f'accession="{term.id}" name="{term.name}"' in vocabulary().ref[name]
    assert f'version="{ms.version}"' in vocabulary().cv_list and f'version="{uo.version}"' in vocabulary().cv_list


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4, 1000])
def test_numpress_encodes_as_the_library(n):
    pynumpress = pytest.importorskip("pynumpress")
    from vantoro_tools.write.mzml import numpress

    rng = np.random.default_rng(n)
    for mz in (np.sort(rng.uniform(50, 2000, n)), np.round(np.sort(rng.uniform(50, 2000, n)), 1)):
        fixed = numpress.linear_fixed_point(mz)
        assert fixed == pynumpress.optimal_linear_fixed_point(mz)
        assert numpress.encode_linear(mz, fixed) == bytes(pynumpress.encode_linear(mz, fixed))
    intensity = rng.lognormal(10, 2, n)
    fixed = numpress.slof_fixed_point(intensity)
    assert fixed == pynumpress.optimal_slof_fixed_point(intensity)
    assert numpress.encode_slof(intensity, fixed) == bytes(pynumpress.encode_slof(intensity, fixed))


# -- every output exactly right on odd files -------------------------------------


@pytest.mark.parametrize(
    "values, kind, fixed",
    [
        ([], "linear", False),
        ([500.5], "linear", False),  # MS-Numpress decoders read two values at least
        ([1e-305, 2e-305], "linear", False),  # no finite fixed point
        ([1e308, 1.5e308, 1.7e308], "linear", False),  # residuals beyond a double
        ([100.0, math.inf], "linear", False),
        ([100.0, 200.0], "linear", True),
        ([5.0], "slof", True),
        ([-1.0, 5.0], "slof", False),
        ([math.nan], "slof", False),
    ],
)
def test_numpress_encodable_within_its_bounds(values, kind, fixed):
    from vantoro_tools.write.mzml import numpress

    got = numpress.encodable(np.array(values, np.float64), kind)
    assert (got is not None) == fixed
    assert got is None or 0 < got < math.inf


@pytest.mark.parametrize("case", ["tiny times", "one spectrum"])
def test_numpress_falls_back_to_zlib_and_reads_back(tmp_path, case):
    mzml = pytest.importorskip("pyteomics.mzml")
    # MS3 spectra alone: two whose times are too small for any finite fixed
    # point (the old encoder raised OverflowError), or a single one.
    img = orbitrap_varied(seed=5)
    levels = frozenset({3})
    img.trailer(21, ms_order_byte=2)
    if case == "tiny times":
        img.trailer(23, ms_order_byte=2)
        img.rt_series(RT_ORBI_START, RT_ORBI_STRIDE, [1e-301 * (i + 1) for i in range(145)])
    raw = img.write(tmp_path / "n_orbitrap.raw")
    want = vantoro_scans(raw)
    (path,), _ = write_with(raw, "mzml", tmp_path, compression="numpress", ms_levels=levels)
    data = assert_valid_mzml(path)
    chrom = data[data.index(b"<chromatogram ") :]
    # The time array falls back to zlib and says so; the currents stay numpress.
    assert re.search(rb'name="time array"[^\n]*name="zlib compression"', chrom)
    assert b"MS-Numpress short logged float compression" in chrom
    with mzml.MzML(path) as reader:
        (tic,) = [c for c in reader.iterfind("chromatogram")]
    rts = [w["rt"] for w in want.values() if w["level"] in levels]
    assert len(rts) == (2 if case == "tiny times" else 1)
    assert list(tic["time array"]) == rts


@pytest.fixture(scope="module")
def edge_raw(tmp_path_factory):
    """Peak lists and precursors that the text formats cannot hold as they are:
    NaN and infinite intensities (scans 9, 10, 13), a float32 total that
    overflows (11), a negative precursor (15), energy texts outside the
    decimal grammar (17, 19), and a retention time whose seconds overflow
    (145). Every scan passes the layout check."""
    img = orbitrap_varied(seed=7)
    mz = [100.0 + 7 * j for j in range(11)]
    blocks = {
        9: [math.nan, 5.0, math.nan] + [1.0] * 8,
        10: [math.inf, -math.inf] + [1.0] * 9,
        11: [3e38] * 11,
        13: [math.inf] + [2.0] * 10,
    }
    for scan, intensity in blocks.items():
        img.put(CHAIN_BASE + 12000 * (scan - 1), peak_block_v66(mz, intensity))
    img.trailer(15, monomz=-500.0)
    img.trailer(17, hcd=b"1_0")
    img.trailer(19, hcd="١٢".encode())
    img.trailer(21, hcd=b"12")
    img.f64(RT_ORBI_START + RT_ORBI_STRIDE * 144, 1e307)
    return img.write(tmp_path_factory.mktemp("edge") / "edge_orbitrap.raw")


def test_text_outputs_leave_out_and_count_what_they_cannot_hold(edge_raw, tmp_path):
    mzml = pytest.importorskip("pyteomics.mzml")
    mgf = pytest.importorskip("pyteomics.mgf")
    want = vantoro_scans(edge_raw)
    (path,), written = write_with(edge_raw, "mzml", tmp_path)
    assert written.spectra == len(want)
    assert written.warnings == {
        "total ion current not finite": 3,
        "total ion current beyond 32-bit float (left out of the chromatogram)": 1,
        "precursor m/z negative (precursor left out)": 1,
        "HCD energy not a finite number": 2,
    }
    data = assert_valid_mzml(path)
    with mzml.MzML(path) as reader:
        (tic,) = list(reader.iterfind("chromatogram"))
        energies = {
            n: reader.get_by_id(f"scan={n}")["precursorList"]["precursor"][0]["activation"] for n in (17, 19, 21)
        }
    kept = [n for n in want if n not in (9, 10, 11, 13)]
    assert list(tic["time array"]) == [want[n]["rt"] for n in kept]
    assert np.isfinite(tic["intensity array"]).all()
    assert [e.get("collision energy") for e in energies.values()] == [None, None, 12.0]
    assert b'id="scan=15"' in data and not re.search(
        rb'id="scan=15".*?<precursorList', data.split(b'id="scan=17"')[0], re.S
    )

    (path,), written = write_with(edge_raw, "mgf", tmp_path)
    assert written.warnings == {
        "peaks left out of MGF: not finite": 3,
        "left out of MGF: precursor m/z negative": 1,
        "retention time beyond a double in seconds": 1,
    }
    assert not re.search("nan|inf", open(path, encoding="utf-8").read(), re.I)
    with mgf.read(path, use_index=False) as reader:
        entries = {int(e["params"]["scans"]): e for e in reader}
    assert 15 not in entries and "rtinseconds" not in entries[145]["params"]
    for n, e in entries.items():
        finite = np.isfinite(want[n]["intensity"])
        same_peaks(
            {"mz": want[n]["mz"][finite], "intensity": want[n]["intensity"][finite]},
            e["m/z array"],
            e["intensity array"],
        )


def command(*args):
    """`vantoro ARGS` as a separate process: its exit status and stderr lines."""
    import subprocess

    run = subprocess.run([sys.executable, "-m", "vantoro_tools", *args], capture_output=True, text=True, timeout=600)
    return run.returncode, run.stderr.splitlines()


def test_arrow_allocator_changes_no_byte(tmp_path):
    # The command picks the C library's allocator for Arrow; a user's own
    # choice (or a Dask worker's default) must write the same files.
    pa = pytest.importorskip("pyarrow")
    try:
        pa.mimalloc_memory_pool()
    except NotImplementedError:
        pytest.skip("this pyarrow has no mimalloc")
    raw = orbitrap_varied(seed=3).write(tmp_path / "v_orbitrap.raw")
    outputs = {}
    for pool in ("mimalloc", None):
        env = {k: v for k, v in os.environ.items() if k != "ARROW_DEFAULT_MEMORY_POOL"}
        if pool:
            env["ARROW_DEFAULT_MEMORY_POOL"] = pool
        out = tmp_path / str(pool)
        for to in ("parquet", "mgf", "mzpeak"):
            args = [sys.executable, "-m", "vantoro_tools", "convert", raw, "--to", to, "--out", out, "-q"]
            assert subprocess.run(args, env=env, timeout=600).returncode == 0
        # The outputs, not the ledger or the stamps (hidden names).
        names = [f.relative_to(out) for f in out.rglob("*") if f.is_file()]
        outputs[pool] = {n: (out / n).read_bytes() for n in names if not any(p.startswith(".") for p in n.parts)}
    assert len(outputs[None]) == 4 and outputs["mimalloc"] == outputs[None]


def test_same_bytes_every_time_and_only_vantoro_lines_on_stderr(edge_raw, tmp_path):
    pytest.importorskip("pyarrow")
    src = tmp_path / "in"
    src.mkdir()
    inputs = [orbitrap_varied(seed=k).write(src / f"r{k}_orbitrap.raw") for k in range(3)]
    bad = orbitrap_varied(seed=9)
    for scan in (17, 18, 19):  # three scans fail the layout check
        bad.f64(RT_ORBI_START + RT_ORBI_STRIDE * (scan - 1), math.nan)
    inputs.append(bad.write(src / "bad_orbitrap.raw"))
    os.link(edge_raw, src / "edge_orbitrap.raw")
    inputs.append(str(src / "edge_orbitrap.raw"))
    runs = {}
    for compression in ("zlib", "numpress"):
        for jobs in ("1", "2", "2", "1"):
            out = tmp_path / f"{compression}-{jobs}-{len(runs)}"
            for to in ("mzml", "mgf"):
                args = f"convert {src} --to {to} --out {out} -j {jobs} --force -q --compression {compression}"
                status, err = command(*args.split())
                assert status == 0
                # One line per file with warnings, each vantoro's own: no library warning.
                assert len(err) == 2 and all(line.startswith("vantoro: ") for line in err), err
                (forced,) = [line for line in err if "bad_orbitrap.raw: converted, with warnings: " in line]
                assert "3 scans failing the layout check" in forced
            runs[out] = {
                name: open(out / name, "rb").read() for name in sorted(os.listdir(out)) if not name.startswith(".")
            }
        # In this process, again and again, with other conversions between.
        for k in range(6):
            for raw in inputs:
                (path,), _ = write_with(raw, "mzml", tmp_path / f"again{k}", compression=compression)
                assert open(path, "rb").read() == runs[out][os.path.basename(path)]
    for compression in ("zlib", "numpress"):
        outputs = [files for out, files in runs.items() if out.name.startswith(compression)]
        assert len(outputs) == 4 and len(outputs[0]) == 10 and all(files == outputs[0] for files in outputs)


@pytest.mark.parametrize("to", ["mzml", "mgf", "parquet"])
def test_one_thread_writes_the_same_bytes_in_the_calling_thread(edge_raw, tmp_path, to):
    pytest.importorskip("pyarrow")
    import threading

    seen = set()
    fmt = FORMATS[to]
    outputs = []
    for threads in (1, 2):
        dests = fmt.paths(edge_raw, tmp_path / str(threads))
        for path in dests:
            os.makedirs(os.path.dirname(path), exist_ok=True)
        source = open_source(edge_raw, force=True, on_scan=lambda: seen.update(t.name for t in threading.enumerate()))
        fmt.write(source, dests, WriteOptions(threads=threads))
        outputs.append([open(p, "rb").read() for p in dests])
        if threads == 1:  # no pool: only the checksums run on threads of their own
            assert not any(name.startswith("vantoro-") and "digest" not in name for name in seen), seen
    assert outputs[0] == outputs[1]
    with pytest.raises(ValueError, match="threads"):
        WriteOptions(threads=0)


def test_arrow_strings_keep_nulls_and_any_text():
    pytest.importorskip("pyarrow")
    from vantoro_tools.base.arrow import strings

    # Non-ASCII text takes the slower path; a lone surrogate becomes "?".
    assert strings([None, "é\ud800x", "scan=1", "", None]).to_pylist() == [None, "é?x", "scan=1", "", None]
    assert strings(["AGC", "µs"]).to_pylist() == ["AGC", "µs"]
    assert strings([]).to_pylist() == []
    # Nulls given by the caller's mask: the same array as nulls found.
    import numpy as np

    assert strings(["", "é", "x"], np.array([False, True, True])).equals(strings([None, "é", "x"]))


def test_a_batch_never_imports_pandas(edge_raw, tmp_path):
    # pandas, where installed, costs a conversion a fifth of a second to import:
    # Arrow imports it for Python objects handed to it and for arrays it
    # hands back, which the writers, the mzPeak reader and the ledger avoid.
    pytest.importorskip("pyarrow")
    code = (
        "import glob, sys\nfrom vantoro_tools import convert_many, open_mzpeak\n"
        f"for to in ('mzml', 'mgf', 'parquet', 'mzpeak'):\n"
        f"    assert convert_many([{str(edge_raw)!r}], to, {str(tmp_path)!r} + '/' + to, jobs=1, force=True)\n"
        f"(archive,) = glob.glob({str(tmp_path)!r} + '/mzpeak/*.mzpeak')\n"
        "assert sum(len(s['mz']) for s in open_mzpeak(archive)) and open_mzpeak(archive).chromatogram('MS:1000235')\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] == 'pandas'))"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"


@pytest.mark.parametrize(
    ("copy", "named"),
    [
        ("plain/run.raw", "s3://lab/orbitrap_in/run.raw"),  # the copy lost the folder's marker
        ("orbitrap_scratch/run.raw", "s3://lab/in/run.raw"),  # the copy gained one
        ("b/small.RAW", "s3://lab/orbitrap/small.RAW"),  # the same layout, but not the orbitrap trailer
    ],
)
def test_a_copy_read_with_another_layout_than_its_name_selects_fails_with_no_output(tmp_path, copy, named):
    from vantoro_tools.run.convert import convert_one

    local = tmp_path / "in" / copy
    local.parent.mkdir(parents=True)
    (small_v57() if copy.endswith("small.RAW") else orbitrap_varied()).write(local)
    out = tmp_path / "out"
    out.mkdir()
    outcome = convert_one(str(local), "parquet", str(out), path_text=named, force=True)
    assert outcome.status == "failed" and not outcome.transient
    assert "its local copy would be read with" in outcome.error and not outcome.outputs
    assert [f for _, _, names in os.walk(out) for f in names] == []


def test_spectra_without_a_peak_list_are_counted_and_a_file_without_any_is_named(tmp_path, capsys):
    import json

    pq = pytest.importorskip("pyarrow.parquet")
    src = tmp_path / "in"
    src.mkdir()
    orbitrap_varied().write(src / "a_orbitrap.raw")  # every fourth of 145 scans has no peak list
    orbitrap_v66(0).write(src / "b_orbitrap.raw")  # none has one
    out, summary = tmp_path / "out", tmp_path / "summary.json"
    assert main(["convert", str(src), "--to", "mzml", "--out", str(out), "--summary-json", str(summary)]) == 0
    err = capsys.readouterr().err.splitlines()
    assert err[0].endswith("b_orbitrap.raw: converted, but none of its 145 spectra has a peak list")
    assert "0 failed; 181 spectra without a peak list in 2 file(s)" in err[-1]
    entries = {os.path.basename(e["input"]): e["spectra"] for e in json.loads(summary.read_text())["inputs"]}
    assert entries == {
        "a_orbitrap.raw": {"with_peaks": 109, "without_peaks": 36},
        "b_orbitrap.raw": {"with_peaks": 0, "without_peaks": 145},
    }
    ledger = pq.read_table(out / ".vantoro-ledger").to_pydict()
    assert sorted(zip(ledger["spectra_with_peaks"], ledger["spectra_without_peaks"])) == [(0, 145), (109, 36)]
