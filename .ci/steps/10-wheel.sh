#!/usr/bin/env bash
# Builds the one abi3 wheel that later steps install (into dist/).
set -euo pipefail
. .ci/lib.sh

fresh_venv .venv-build
rm -rf dist
.venv-build/bin/python -m pip install -q build
.venv-build/bin/python -m build --wheel --outdir dist .
ls dist/*.whl
