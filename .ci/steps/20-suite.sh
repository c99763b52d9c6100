#!/usr/bin/env bash
# The README's test command in a fresh virtual environment, then the array
# tests again under NumPy 1.x, whose C-API table lives in a different module.
set -euo pipefail
. .ci/lib.sh

fresh_venv .venv
# shellcheck disable=SC1091
. .venv/bin/activate
# The README's test command:
python3 -m pip install ".[test]" && python3 -m pytest
deactivate

fresh_venv .venv-numpy1
.venv-numpy1/bin/python -m pip install -q "numpy<2" pytest
.venv-numpy1/bin/python -m pip install -q .
.venv-numpy1/bin/python -c "import numpy; print('NumPy', numpy.__version__)"
.venv-numpy1/bin/python -m pytest tests/test_arrays.py tests/test_peaks.py
