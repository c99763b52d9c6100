#!/usr/bin/env python3
"""Writes python/vantoro_tools/analyse/qc/terms.py: the PSI-MS and UO terms
vantoro's mzQC output uses (QC metrics `MS:4000xxx` with their value type
and unit, file and software terms, units), taken from the vocabularies psims
ships. Run it after upgrading psims; tests/test_tools_mzqc.py checks the
committed module against psims' files when psims is installed.

    python3 tools/make_qc_terms.py && ruff format python/vantoro_tools/analyse/qc/terms.py
    python3 tools/make_qc_terms.py --check    # exit 1 when it is out of date
"""

from __future__ import annotations

import argparse
import gzip
import os
import re
import sys
from importlib import resources

#: The terms the mzQC output uses, and those it names as metrics.
METRICS = (
    "MS:4000059",  # number of MS1 spectra
    "MS:4000060",  # number of MS2 spectra
    "MS:4000067",  # MS run duration
    "MS:4000070",  # retention time acquisition range
    "MS:4000099",  # number of empty MS1 scans
    "MS:4000100",  # number of empty MS2 scans
    "MS:4000101",  # number of empty MS3 scans
    "MS:4000192",  # MS1 median cycle time
    "MS:4000065",  # fastest frequency for MS level 1 collection
    "MS:4000095",  # slowest frequency for MS level 1 collection
    "MS:4000204",  # total ion current maximum
    "MS:4000202",  # base peak intensity maximum
    "MS:4000211",  # MS1 total ion current
    "MS:4000131",  # MS1 ion collection time quantiles
    "MS:4000132",  # MS1 ion collection time mean
    "MS:4000133",  # MS1 ion collection time sigma
    "MS:4000136",  # MS2 ion collection time quantiles
    "MS:4000137",  # MS2 ion collection time mean
    "MS:4000138",  # MS2 ion collection time sigma
    "MS:4000063",  # MS2 known precursor charges fractions
    "MS:4000064",  # MS2 unknown and likely precursor charges fractions
    "MS:4000173",  # mean MS2 precursor charge in all spectra
    "MS:4000175",  # median MS2 precursor charge in all spectra
    "MS:4000167",  # ratio of 1+ over 2+ of all MS2 known precursor charges
    "MS:4000169",  # ratio of 3+ over 2+ of all MS2 known precursor charges
    "MS:4000171",  # ratio of 4+ over 2+ of all MS2 known precursor charges
    "MS:4000200",  # run outlier score PCA distance (the set quality of a batch)
)
OTHER_MS = (
    "MS:1000563",  # Thermo RAW format
    "MS:1000747",  # completion time
    "MS:1003151",  # SHA-256
    "MS:1001456",  # analysis software
    "MS:1000041",  # charge state
    "MS:1000285",  # total ion current
    "MS:1000043",  # intensity unit
    "MS:1000040",  # m/z
)
UNITS = ("UO:0000189", "UO:0000010", "UO:0000028", "UO:0000106", "UO:0000191", "UO:0000186")

OUT = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python", "vantoro_tools", "analyse", "qc", "terms.py"
)


def vendor_file(name: str) -> str:
    return str(resources.files("psims.controlled_vocabulary.vendor").joinpath(name))


def read_obo(path: str) -> tuple[str, dict[str, dict[str, object]]]:
    with gzip.open(path, "rt", encoding="utf-8") as f:
        text = f.read()
    header, _, rest = text.partition("\n\n")
    version = re.search(r"^data-version: (.*)$", header, re.M)
    terms: dict[str, dict[str, object]] = {}
    for block in rest.split("\n\n"):
        if not block.startswith("[Term]"):
            continue
        acc = re.search(r"^id: (\S+)", block, re.M)
        name = re.search(r"^name: (.*)$", block, re.M)
        if acc is None or name is None:
            continue
        definition = re.search(r'^def: "((?:[^"\\]|\\.)*)"', block, re.M)
        rel = [r.split(" ! ")[0].split() for r in re.findall(r"^relationship: (.*)$", block, re.M)]
        terms[acc.group(1)] = {
            "name": name.group(1).strip(),
            "definition": definition.group(1).replace('\\"', '"') if definition else "",
            "is_a": re.findall(r"^is_a: (\S+)", block, re.M),
            "value_type": next((r[1] for r in rel if r[0] == "has_value_type"), None),
            "unit": next((r[1] for r in rel if r[0] == "has_units"), None),
            "columns": [r[1] for r in rel if r[0] == "has_column"],
            "obsolete": "is_obsolete: true" in block,
        }
    return (version.group(1).strip() if version else ""), terms


SHAPES = {"MS:4000003": "single value", "MS:4000004": "n-tuple", "MS:4000005": "table", "MS:4000006": "matrix"}


def terms() -> dict[str, object]:
    """The module's values, as read from psims' vocabularies."""
    ms_version, ms = read_obo(vendor_file("psi-ms.obo.gz"))
    _, uo = read_obo(vendor_file("unit.obo.gz"))
    metrics = {}
    for acc in METRICS:
        t = ms[acc]
        if t["obsolete"]:
            raise SystemExit(f"{acc} is obsolete")
        shape = next((SHAPES[p] for p in t["is_a"] if p in SHAPES), "")  # type: ignore[attr-defined]
        metrics[acc] = (t["name"], t["definition"], shape, t["value_type"], t["unit"], tuple(t["columns"]))  # type: ignore[call-overload]
    return {
        "PSI_MS_VERSION": ms_version,
        "METRICS": metrics,
        "NAMES": {**{a: ms[a]["name"] for a in OTHER_MS}, **{a: uo[a]["name"] for a in UNITS}},
        "DEFINITIONS": {a: ms[a]["definition"] for a in OTHER_MS},
    }


def render() -> str:
    values = terms()
    lines = [
        '"""PSI-MS terms of vantoro\'s QC metrics and its mzQC output (with the UO',
        "units the PSI-MS vocabulary holds): generated by tools/make_qc_terms.py",
        'from the vocabularies psims ships, then formatted with ruff; do not edit."""',
        "",
        "from __future__ import annotations",
        "",
        f"PSI_MS_VERSION = {values['PSI_MS_VERSION']!r}",
        "",
        "#: accession: (name, definition, value shape, value type, unit accession, table columns)",
        f"METRICS: dict[str, tuple[str, str, str, str | None, str | None, tuple[str, ...]]] = {values['METRICS']!r}",
        "",
        "#: the other terms' names: accession -> name",
        f"NAMES: dict[str, str] = {values['NAMES']!r}",
        "",
        "#: the other PSI-MS terms' definitions",
        f"DEFINITIONS: dict[str, str] = {values['DEFINITIONS']!r}",
        "",
    ]
    return "\n".join(lines)


def committed() -> dict[str, object]:
    """The values of the committed module."""
    space: dict[str, object] = {}
    with open(OUT, encoding="utf-8") as f:
        exec(compile(f.read(), OUT, "exec"), space)
    return {k: space[k] for k in ("PSI_MS_VERSION", "METRICS", "NAMES", "DEFINITIONS")}


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--check", action="store_true", help="exit 1 when the committed module differs")
    args = p.parse_args()
    if args.check:
        same = committed() == terms()
        print("up to date" if same else f"{OUT} is out of date: run tools/make_qc_terms.py", file=sys.stderr)
        return 0 if same else 1
    with open(OUT, "w", encoding="utf-8") as f:
        f.write(render())
    return 0


if __name__ == "__main__":
    sys.exit(main())
