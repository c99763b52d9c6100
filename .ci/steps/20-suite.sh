#!/usr/bin/env bash
# The README's test command in a fresh virtual environment, building the
# extension from this checkout with the system compiler in a build
# directory of its own.
set -euo pipefail
. .ci/lib.sh

fresh_venv .venv
export SKBUILD_BUILD_DIR=build/ci-suite
fresh_build_dir "$SKBUILD_BUILD_DIR"
# shellcheck disable=SC1091
. .venv/bin/activate
# The README's test command, one command per line so that a failed install
# ends the step.
python3 -m pip install ".[test]"
python3 -m pytest
