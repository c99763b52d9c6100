"""mzQC 1.0.0 (the HUPO-PSI format for QC metrics, JSON): one run quality
per run, its input file described by name, location, format, completion
time and (when asked for) SHA-256, vantoro as the analysis software, and
every metric of `qc_metrics` with its PSI-MS term, unit and definition; for
a batch of three runs or more, a set quality with each run's outlier score."""

from __future__ import annotations

import datetime as dt
import json
import math
import os
import pathlib
from collections.abc import Mapping, Sequence
from typing import Any

from ..analyse.qc import MetricValue, RunQC, outlier_scores, qc_metrics
from ..analyse.qc.terms import DEFINITIONS, METRICS, NAMES, PSI_MS_VERSION
from ..base.paths import StrPath, display_names, sha256_file
from ..base.version import tool_version
from ..write.output import output_file

MZQC_VERSION = "1.0.0"
THERMO_RAW = "MS:1000563"
RUN_OUTLIER_SCORE = "MS:4000200"  # run outlier score PCA distance, a table:
INPUT_REFERENCE = "MS:4000086"  # the run (its input file's name)
DISTANCE = "OBI:0200114"  # and its euclidean distance
PSI_MS_NAME = "Proteomics Standards Initiative Mass Spectrometry Ontology"
#: where the vocabularies the file names are published; a checker may load local copies instead
PSI_MS_URI = f"https://github.com/HUPO-PSI/psi-ms-CV/releases/download/v{PSI_MS_VERSION}/psi-ms.obo"


def _cv(accession: str) -> dict[str, str]:
    return {"accession": accession, "name": NAMES[accession]}


def _json_value(value: MetricValue | str) -> Any:
    """Floats that JSON can hold: a value that is not finite becomes null."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, list):
        return [_json_value(v) for v in value]
    if isinstance(value, dict):
        return {k: _json_value(v) for k, v in value.items()}
    return value


def quality_metric(accession: str, value: MetricValue | str) -> dict[str, Any]:
    name, definition, _shape, _type, unit, _columns = METRICS[accession]
    metric: dict[str, Any] = {"accession": accession, "name": name, "description": definition}
    metric["value"] = _json_value(value)
    if unit is not None:
        metric["unit"] = _cv(unit)
    return metric


def input_file(run: RunQC, name: str, *, sha256: str | None = None) -> dict[str, Any]:
    properties = []
    created = run.info.created
    if created is not None:
        properties.append({**_cv("MS:1000747"), "value": created.strftime("%Y-%m-%dT%H:%M:%SZ")})
    if sha256 is not None:
        properties.append({**_cv("MS:1003151"), "value": sha256})
    entry: dict[str, Any] = {
        "name": name,
        "location": pathlib.Path(os.path.abspath(run.path)).as_uri(),
        "fileFormat": _cv(THERMO_RAW),
    }
    if properties:
        entry["fileProperties"] = properties
    return entry


def analysis_software() -> dict[str, Any]:
    return {
        **_cv("MS:1001456"),  # the term's name and definition: vantoro is named by its address
        "description": DEFINITIONS["MS:1001456"],
        "version": tool_version(),
        "uri": "https://pypi.org/project/vantoro/",
    }


def run_quality(run: RunQC, label: str, *, sha256: str | None = None) -> dict[str, Any]:
    return {
        "metadata": {
            "label": label,
            "inputFiles": [input_file(run, label, sha256=sha256)],
            "analysisSoftware": [analysis_software()],
        },
        "qualityMetrics": [quality_metric(acc, value) for acc, value in qc_metrics(run).items()],
    }


def set_quality(runs: Sequence[RunQC], labels: Sequence[str], batch: str, sha256: Mapping[str, str]) -> dict[str, Any]:
    """The set quality of a batch: its runs' input files and each run's
    outlier score among them (`outlier_scores`)."""
    return {
        "metadata": {
            "label": batch,
            "inputFiles": [input_file(r, label, sha256=sha256.get(r.path)) for r, label in zip(runs, labels)],
            "analysisSoftware": [analysis_software()],
        },
        "qualityMetrics": [
            quality_metric(RUN_OUTLIER_SCORE, {INPUT_REFERENCE: list(labels), DISTANCE: outlier_scores(runs)})
        ],
    }


def mzqc_document(
    runs: Sequence[RunQC],
    *,
    sha256: Mapping[str, str] | None = None,
    names: Sequence[str] | None = None,
    description: str | None = None,
    batch: str = "batch",
) -> dict[str, Any]:
    """The mzQC document of `runs`: one run quality each, labelled with the
    run's name (the shortest path that tells the runs apart), and for three
    runs or more a set quality labelled `batch`. `sha256` maps a run's path
    to its file's digest."""
    labels = list(names) if names is not None else display_names(r.path for r in runs)
    now = dt.datetime.now(dt.timezone.utc).replace(microsecond=0)
    sets = [set_quality(runs, labels, batch, sha256 or {})] if len(runs) > 2 else []
    return {
        "mzQC": {
            "version": MZQC_VERSION,
            "creationDate": now.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "description": description or f"QC metrics of {len(runs)} Thermo RAW run(s), by vantoro {tool_version()}",
            "runQualities": [
                run_quality(r, label, sha256=(sha256 or {}).get(r.path)) for r, label in zip(runs, labels)
            ],
            **({"setQualities": sets} if sets else {}),
            # PSI-MS holds the units (UO terms) the metrics use: listing UO too
            # would define each unit twice.
            "controlledVocabularies": [{"name": PSI_MS_NAME, "uri": PSI_MS_URI, "version": PSI_MS_VERSION}],
        }
    }


def mzqc_text(document: Mapping[str, Any]) -> str:
    return json.dumps(document, indent=1, allow_nan=False) + "\n"


#: What the stamp of an mzQC file of a report names as its writer.
WRITER = "report --mzqc"


def write_mzqc(
    runs: Sequence[RunQC],
    dest: StrPath,
    *,
    checksums: bool = False,
    overwrite: bool = False,
) -> int:
    """Writes the mzQC file of `runs` to `dest` through the output layer
    (never over an input, atomically); with `checksums` each input file's
    SHA-256, read in a streaming pass. Returns the file's size."""
    sha = {r.path: r.sha256 or sha256_file(r.path) for r in runs} if checksums else None
    dest = os.fspath(dest)
    text = mzqc_text(mzqc_document(runs, sha256=sha, batch=os.path.splitext(os.path.basename(dest))[0]))
    with output_file(dest, [r.path for r in runs], overwrite=overwrite, any_inputs=True, writer=WRITER) as tmp:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
    return len(text.encode("utf-8"))


def read_metrics(document: Mapping[str, Any]) -> dict[str, dict[str, Any]]:
    """Each run quality's metrics, by its label and the metrics' accessions."""
    return {
        q["metadata"]["label"]: {m["accession"]: m.get("value") for m in q["qualityMetrics"]}
        for q in document["mzQC"].get("runQualities", [])
    }
