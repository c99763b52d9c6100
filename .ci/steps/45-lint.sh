#!/usr/bin/env bash
# The source tree's style and architecture, as configured in pyproject.toml:
# ruff's lint rules and formatting over every Python file, and the
# import-linter contracts that hold the companion's layers (read from the
# source tree, nothing built or installed).
set -euo pipefail
. .ci/lib.sh

fresh_venv .venv-lint
.venv-lint/bin/python -m pip install -q ruff import-linter
.venv-lint/bin/ruff --version
.venv-lint/bin/ruff check .
.venv-lint/bin/ruff format --check .
PYTHONPATH=python .venv-lint/bin/lint-imports
