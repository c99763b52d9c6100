#!/usr/bin/env bash
# Chromatograms, the QC report and spectrum plots, from the wheel in dist/
# (built by 10-wheel.sh) with its report, plot and qc extras (the history
# page reads a Parquet table); the reports are
# opened in Debian's headless Chromium with the network cut off. Screenshots
# and the reports' size and timings are left in build/report/. Fails when
# any of these tests was skipped, since a skip here means Chromium or an
# extra is missing.
set -euo pipefail
. .ci/lib.sh

apt_install chromium util-linux
wheels=(dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in dist/, found: ${wheels[*]}" >&2; exit 1; }

fresh_venv .venv-report
.venv-report/bin/python -m pip install -q "${wheels[0]}[report,plot,qc]" pytest hypothesis
chromium --version

rm -rf build/report
mkdir -p build/report
log=$(mktemp)
trap 'rm -f "$log"' EXIT
VANTORO_ARTIFACTS="$PWD/build/report" .venv-report/bin/python -m pytest -rs -p no:cacheprovider \
    tests/test_tools_chrom.py tests/test_tools_qc.py tests/test_tools_plot.py \
    tests/test_tools_report_browser.py | tee "$log"
if grep -q "SKIPPED" "$log"; then
    echo "report tests were skipped: see above" >&2
    exit 1
fi
cat build/report/*-metrics.json
ls -l build/report
