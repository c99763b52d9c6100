#!/usr/bin/env bash
# The wheel from dist/ (built by 10-wheel.sh, not rebuilt here) checked as the
# oldest supported interpreter and a type checker see it: its stable-ABI claim,
# the stubs against the runtime module, and strict mode on the code that uses it.
set -euo pipefail
. .ci/lib.sh

wheels=(dist/*.whl)
if [ ${#wheels[@]} -ne 1 ] || [[ "${wheels[0]}" != *-cp310-abi3-*.whl ]]; then
    echo "expected one cp310-abi3 wheel in dist/, found: ${wheels[*]}" >&2
    exit 1
fi
wheel="${wheels[0]}"

# CPython 3.10, the oldest release the abi3 tag promises, where it is installed.
py=$(find_python 10)
fresh_venv .venv-typing "${py:-python3}"
venv=.venv-typing/bin
"$venv/python" -m pip install -q "$wheel" numpy pytest mypy abi3audit
"$venv/python" -c "import sys, mypy.version; print('Python', sys.version.split()[0], '/ mypy', mypy.version.__version__)"

# Every symbol the extension imports must belong to the 3.10 stable ABI.
"$venv/abi3audit" --strict --verbose "$wheel"

# Stubs and runtime agree: members, parameter names and kinds, finality.
"$venv/python" -m mypy.stubtest vantoro vantoro_tools.source._native

"$venv/python" -m mypy --strict examples/
if [ -d python/vantoro_tools ]; then
    "$venv/python" -m mypy --strict python/vantoro_tools
fi

"$venv/python" -m pytest tests/test_typing.py
