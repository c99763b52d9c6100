#!/usr/bin/env bash
# `vantoro watch` from the wheel in dist/ (built by 10-wheel.sh) with its
# convert, qc, watch and s3 extras: a writer process, a webhook receiver on
# 127.0.0.1 and the watcher run as processes of their own, the watcher
# stopped by SIGTERM and killed by SIGKILL; moto's S3 server on 127.0.0.1
# for an output under s3://. Fails when any of these tests was skipped,
# since a skip here means a package of the extras is missing.
set -euo pipefail
. .ci/lib.sh

wheels=(dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in dist/, found: ${wheels[*]}" >&2; exit 1; }

fresh_venv .venv-watch
.venv-watch/bin/python -m pip install -q "${wheels[0]}[convert,qc,watch,s3]" "moto[server]" pytest hypothesis

log=$(mktemp)
trap 'rm -f "$log"' EXIT
.venv-watch/bin/python -m pytest -rs -p no:cacheprovider tests/test_tools_watch.py | tee "$log"
if grep -q "SKIPPED" "$log"; then
    echo "watch tests were skipped: see above" >&2
    exit 1
fi
