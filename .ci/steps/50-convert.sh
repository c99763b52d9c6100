#!/usr/bin/env bash
# The `vantoro` command and its converters, checked against independent
# readers: the wheel from dist/ (built by 10-wheel.sh) with its convert,
# dask and plot extras and the check extra (psims' schema and vocabularies,
# pyteomics, lxml, pyopenms and its semantic validator, duckdb, pandas and
# pynumpress, with which pyteomics reads MS-Numpress arrays). The companion's
# bad-day tests run here too. Fails when any
# of these tests was skipped, since a skip here means a reader is missing.
set -euo pipefail
. .ci/lib.sh

wheels=(dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in dist/, found: ${wheels[*]}" >&2; exit 1; }

fresh_venv .venv-convert
.venv-convert/bin/python -m pip install -q "${wheels[0]}[convert,dask,plot,check]" pytest hypothesis
.venv-convert/bin/vantoro --version
.venv-convert/bin/python -c "import vantoro_tools; print('vantoro_tools from', vantoro_tools.__file__)"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
.venv-convert/bin/python -m pytest -rs -p no:cacheprovider \
    tests/test_tools_convert.py tests/test_tools_cli.py tests/test_tools_trust.py tests/test_tools_house.py \
    tests/test_tools_digests.py \
    | tee "$log"
if grep -q "SKIPPED" "$log"; then
    echo "converter tests were skipped: see above" >&2
    exit 1
fi
