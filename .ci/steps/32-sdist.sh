#!/usr/bin/env bash
# The sdist of the release build installed with pip into a fresh virtual
# environment, building from source with the system's C++ compiler (as a
# user without a fitting wheel would), then the test suite that the sdist
# carries, run against the installed module.
set -euo pipefail
. .ci/lib.sh

shopt -s nullglob
sdists=("$REPO"/dist/release/vantoro-*.tar.gz)
shopt -u nullglob
if [ ${#sdists[@]} -ne 1 ]; then
    echo "32-sdist: expected one sdist in dist/release (built by 10-wheel.sh), found ${#sdists[@]}" >&2
    exit 1
fi
sdist="${sdists[0]}"
echo "sdist: ${sdist##*/}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No compiler settings of the release build leak in: pip's build runs the
# system compiler.
unset CC CXX CMAKE_TOOLCHAIN_FILE
fresh_venv .venv-sdist
.venv-sdist/bin/python -m pip install "$sdist[test]"

tar -xzf "$sdist" -C "$work"
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d)
cd "$work"
"$REPO/.venv-sdist/bin/python" - <<'PY'
import subprocess, sys, vantoro
print("Python", sys.version.split()[0], "|", vantoro.__file__)
assert vantoro.__file__.startswith(sys.prefix), "vantoro is not the installed module"
comment = subprocess.run(["readelf", "-p", ".comment", vantoro.__file__],
                         capture_output=True, text=True, check=True).stdout
print("built by:", " / ".join(sorted({l.split("]", 1)[1].strip() for l in comment.splitlines() if "]" in l})))
PY
"$REPO/.venv-sdist/bin/python" -m pytest -q -rs -p no:cacheprovider "$src/tests"
