#!/usr/bin/env bash
# Batches at scale: `vantoro convert` on a real Dask cluster (a scheduler
# and workers started as processes by the tests, one of them killed), from
# and to object storage (moto's S3 server, started by the tests on
# 127.0.0.1), with its ledger read back by DuckDB. The wheel from dist/
# (built by 10-wheel.sh) with its convert, dask and s3 extras (qc and plot
# too, for the bad days of tests/test_tools_policy.py). Fails when
# any of these tests was skipped, and when a process the tests started
# outlives them.
set -euo pipefail
. .ci/lib.sh

wheels=(dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in dist/, found: ${wheels[*]}" >&2; exit 1; }

fresh_venv .venv-batch
.venv-batch/bin/python -m pip install -q "${wheels[0]}[convert,dask,s3,qc,plot]" "moto[server]" duckdb pytest
.venv-batch/bin/vantoro --version

log=$(mktemp)
trap 'rm -f "$log"' EXIT
.venv-batch/bin/python -m pytest -rs -p no:cacheprovider tests/test_tools_batch.py tests/test_tools_policy.py \
    | tee "$log"
if grep -q "SKIPPED" "$log"; then
    echo "batch tests were skipped: see above" >&2
    exit 1
fi
# Nothing the tests started (dask scheduler or worker, moto's server) is left.
left=$(pgrep -f "$PWD/.venv-batch/bin/(dask|python -m moto.server)" || true)
if [ -n "$left" ]; then
    echo "processes left behind by the batch tests: $left" >&2
    ps -o pid,args -p "$(echo "$left" | paste -sd,)" >&2 || true
    exit 1
fi
