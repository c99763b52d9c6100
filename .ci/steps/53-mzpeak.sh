#!/usr/bin/env bash
# mzPeak archives judged by what vantoro did not write: the wheel from dist/
# (built by 10-wheel.sh) with its convert and check extras, jsonschema for
# the standard's JSON Schemas, and the independent reader `mzpeak` with
# pynumpress (which it imports without declaring), installed from a copy of
# shared/mzpeak/reader (shared/ is read-only here; the reader needs Python
# 3.11 or newer). Fails when any of these tests was skipped, since a skip
# here means a judge is missing.
set -euo pipefail
. .ci/lib.sh

wheels=(dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in dist/, found: ${wheels[*]}" >&2; exit 1; }
shared="$REPO/../shared/mzpeak"
[ -d "$shared/reader" ] && [ -d "$shared/spec/schema" ] || { echo "no $shared (reader and schemas)" >&2; exit 1; }
python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))' || { echo "the mzpeak reader needs Python 3.11 or newer" >&2; exit 1; }

work=$(mktemp -d)
log="$work/pytest.log"
trap 'rm -rf "$work"' EXIT
cp -r "$shared/reader" "$work/reader"
rm -rf "$work/reader/build" "$work/reader/"*.egg-info

fresh_venv .venv-mzpeak
.venv-mzpeak/bin/python -m pip install -q "${wheels[0]}[convert,check]" pytest jsonschema pynumpress "$work/reader"
.venv-mzpeak/bin/python -c "import mzpeak, vantoro_tools; print('mzpeak reader from', mzpeak.__file__)"

.venv-mzpeak/bin/python -m pytest -rs -p no:cacheprovider tests/test_tools_mzpeak.py | tee "$log"
if grep -q "SKIPPED" "$log"; then
    echo "mzPeak tests were skipped: see above" >&2
    exit 1
fi
