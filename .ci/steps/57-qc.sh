#!/usr/bin/env bash
# mzQC output and the QC history, from the wheel in dist/ (built by
# 10-wheel.sh) with its qc extra: every mzQC file is checked against the
# vendored mzQC 1.0.0 schema (jsonschema) and by pymzqc's semantic check
# with the PSI-MS vocabulary psims ships (no network), the history's table
# is queried with DuckDB and pandas, and the generated PSI-MS terms are
# checked against psims' vocabulary. Fails when any of these tests was
# skipped, since a skip here means a judge is missing.
set -euo pipefail
. .ci/lib.sh

wheels=(dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in dist/, found: ${wheels[*]}" >&2; exit 1; }

fresh_venv .venv-qc
.venv-qc/bin/python -m pip install -q "${wheels[0]}[qc]" pytest hypothesis psims pymzqc jsonschema duckdb pandas

log=$(mktemp)
trap 'rm -f "$log"' EXIT
.venv-qc/bin/python tools/make_qc_terms.py --check
.venv-qc/bin/python -m pytest -rs -p no:cacheprovider tests/test_tools_mzqc.py tests/test_tools_history.py | tee "$log"
if grep -q "SKIPPED" "$log"; then
    echo "mzQC and history tests were skipped: see above" >&2
    exit 1
fi
