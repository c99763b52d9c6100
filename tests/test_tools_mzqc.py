"""mzQC output: the file `vantoro report --mzqc` writes, judged by the
vendored mzQC schema and by pymzqc (reader and semantic check, vocabularies
from disk), its values against the report's and the reader's own answers;
and the generated PSI-MS terms against psims' vocabulary."""

import hashlib
import json
import os
import runpy
import shutil
from collections import Counter

import pytest

from mzqc_check import read_back, schema_errors, semantic_issues

from builders import qc_batch

np = pytest.importorskip("numpy")
pytest.importorskip("vantoro_tools")
from vantoro import RawFileReader
from vantoro_tools.analyse import qc
from vantoro_tools.analyse.qc import terms as qc_terms
from vantoro_tools.cli import main
from vantoro_tools.report import mzqc

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Three runs, two of them named alike in different folders, reported with --mzqc --checksums."""
    root = tmp_path_factory.mktemp("mzqc")
    paths = qc_batch(root / "a", count=2, odd=())
    twin = root / "b" / os.path.basename(paths[0])
    twin.parent.mkdir()
    shutil.copy(qc_batch(root / "c", count=3, odd=())[2], twin)
    paths.append(str(twin))
    out = root / "qc.mzQC"
    assert main(["report", *paths, "-o", str(root / "qc.html"), "--mzqc", str(out), "--checksums", "-q"]) == 0
    return paths, out.read_text(encoding="utf-8"), root


def test_the_file_is_valid_mzqc(written):
    paths, text, root = written
    document = json.loads(text)
    assert schema_errors(document) == []
    assert semantic_issues(text, str(root)) == []
    labels = [q["metadata"]["label"] for q in document["mzQC"]["runQualities"]]
    # Same file names in two folders: each run named by the shortest path telling them apart.
    assert labels == [
        os.path.join("a", "run_01_orbitrap.raw"),
        "run_02_orbitrap.raw",
        os.path.join("b", "run_01_orbitrap.raw"),
    ]
    for path, quality in zip(paths, document["mzQC"]["runQualities"]):
        (entry,) = quality["metadata"]["inputFiles"]
        props = {p["name"]: p["value"] for p in entry["fileProperties"]}
        with open(path, "rb") as f:
            assert props["SHA-256"] == hashlib.sha256(f.read()).hexdigest()
        created = qc.run_qc(path).info.created
        assert props["completion time"] == created.strftime("%Y-%m-%dT%H:%M:%SZ")
        assert entry["location"] == "file://" + os.path.abspath(path)
        assert entry["fileFormat"]["accession"] == "MS:1000563"
    # The batch as a set: its runs, and each one's outlier score among them.
    (batch,) = document["mzQC"]["setQualities"]
    assert batch["metadata"]["label"] == "qc"
    assert [f["name"] for f in batch["metadata"]["inputFiles"]] == labels
    (score,) = batch["qualityMetrics"]
    assert score["accession"] == "MS:4000200" and score["value"]["MS:4000086"] == labels
    assert score["value"]["OBI:0200114"] == pytest.approx(qc.outlier_scores([qc.run_qc(p) for p in paths]))


def test_outlier_scores_single_out_the_odd_run(tmp_path):
    runs = [qc.run_qc(p) for p in qc_batch(tmp_path, count=6, odd=(4,))]
    scores = qc.outlier_scores(runs)
    assert max(range(6), key=scores.__getitem__) == 3 and min(scores) > 0
    assert all(np.isnan(qc.outlier_scores(runs[:2])))  # two runs tell nothing apart
    assert qc.outlier_scores([runs[0]] * 3) == [0.0] * 3


def test_the_vendored_example_passes_the_same_judges(tmp_path):
    """The judges themselves: the working group's example passes the schema,
    and a metric accession no vocabulary knows is caught."""
    with open(os.path.join(os.path.dirname(__file__), "data", "mzqc", "intro_run.mzQC"), encoding="utf-8") as f:
        document = json.load(f)
    assert schema_errors(document) == []
    document["mzQC"]["runQualities"][0]["qualityMetrics"][0]["accession"] = "MS:4999999"
    assert any("MS:4999999" in issue for issue in semantic_issues(json.dumps(document), str(tmp_path)))
    del document["mzQC"]["version"]
    assert schema_errors(document)


def test_pymzqc_reads_back_the_values_of_the_report(written):
    paths, text, _ = written
    values, document = read_back(text)
    for path, label in zip(paths, values):
        run = qc.run_qc(path)
        got = values[label]
        assert got == json.loads(json.dumps({k: mzqc._json_value(v) for k, v in qc.qc_metrics(run).items()}))
        row = qc.summary_row(run)  # what the report's comparison table shows
        assert got["MS:4000059"] == row["MS1"]
        assert got["MS:4000192"] == row["cycle time s (median)"]
        assert got["MS:4000204"] == row["max TIC"]
        assert got["MS:4000131"][1] == row["MS1 inj. time ms (median)"]
        # Against the reader's own answers.
        reader = RawFileReader(path)
        levels = Counter(reader.get_trailer_extra(n).get("MS Order", 1) for n in range(1, reader.num_scans + 1))
        assert (got["MS:4000059"], got["MS:4000060"]) == (levels[1], levels[2])
        tics = [float(sum(reader.get_peaks(n)[1])) if reader.native_get_peaks(n) else 0.0 for n in run.scan.tolist()]
        assert got["MS:4000204"] == pytest.approx(max(tics), rel=1e-6)
        table = got["MS:4000063"]
        assert sum(table["UO:0000191"]) + sum(got.get("MS:4000064", {}).get("UO:0000191", [])) == pytest.approx(1.0)
        assert got["MS:4000067"] == pytest.approx((run.rt.max() - run.rt.min()) * 60)
    quality = document.runQualities[0]
    assert quality.metadata.analysisSoftware[0].version == mzqc.tool_version()
    units = {m.accession: m.unit.accession for m in quality.qualityMetrics if m.unit}
    assert (units["MS:4000059"], units["MS:4000192"], units["MS:4000132"]) == ("UO:0000189", "UO:0000010", "UO:0000028")


def test_generated_terms_match_psims_vocabulary(tmp_path):
    pytest.importorskip("psims")
    generator = runpy.run_path(os.path.join(TOOLS, "make_qc_terms.py"))
    assert generator["committed"]() == generator["terms"]()
    assert set(generator["METRICS"]) == set(qc_terms.METRICS)
    # Every metric vantoro computes has its term in the module.
    assert set(qc.qc_metrics(qc.run_qc(qc_batch(tmp_path, count=1, odd=())[0]))) <= set(qc_terms.METRICS)
