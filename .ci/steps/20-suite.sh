#!/usr/bin/env bash
# The README's test command in a fresh virtual environment.
set -euo pipefail
. .ci/lib.sh

fresh_venv .venv
# shellcheck disable=SC1091
. .venv/bin/activate
# The README's test command:
python3 -m pip install ".[test]" && python3 -m pytest
deactivate
