#!/usr/bin/env bash
# Installs the manylinux2014 x86-64 wheel of the release build that
# 10-wheel.sh left in dist/ (no rebuild) into a fresh virtual environment of
# each CPython 3.10 to 3.13 (found under the pyenv root) and runs the whole
# test suite there against the installed module: under NumPy 1.x on 3.10 and
# NumPy 2 on the newest. 3.10 and the newest must be present.
set -euo pipefail
. .ci/lib.sh
REPO="${REPO:-$PWD}"

MINORS=(10 11 12 13)
REQUIRED=("${MINORS[0]}" "${MINORS[-1]}")

shopt -s nullglob
wheels=("$REPO"/dist/*.whl)
shopt -u nullglob
if [ ${#wheels[@]} -ne 1 ]; then
    echo "30-versions: dist/ must hold exactly one wheel (built by 10-wheel.sh); found ${#wheels[@]}" >&2
    exit 1
fi
wheel="${wheels[0]}"
echo "wheel: ${wheel##*/}"
if [[ "${wheel##*/}" != *-cp310-abi3-*manylinux_2_17_x86_64*.whl ]]; then
    echo "30-versions: ${wheel##*/} is not the manylinux_2_17 x86-64 wheel of the release build" >&2
    exit 1
fi

# Fresh venv, the wheel with its test extra and the NumPy line asked for,
# then pytest on the repository's tests/ from a scratch directory, so that
# `import vantoro` can only find the installed module.
run_version() {
    local python="$1" venv="$2" numpy="$3" log="$4" work="$5"
    fresh_venv "$venv" "$python" || return 1
    "$venv/bin/python" -m pip install -q "$wheel[test]" pytest hypothesis "$numpy" || return 1
    (cd "$work" && "$venv/bin/python" -c '
import sys, numpy, vantoro
print("Python", sys.version.split()[0], "| NumPy", numpy.__version__, "|", vantoro.__file__)
assert vantoro.__file__.startswith(sys.prefix), "vantoro is not the installed module"
') || return 1
    (cd "$work" && "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider "$REPO/tests") 2>&1 | tee "$log"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
summary=()
failed=()
for minor in "${MINORS[@]}"; do
    version="3.$minor"
    python=$(find_python "$minor")
    if [ -z "$python" ]; then
        if [[ " ${REQUIRED[*]} " == *" $minor "* ]]; then
            failed+=("$version (missing)")
            summary+=("$version: MISSING (required)")
        else
            summary+=("$version: not on this machine, not run")
        fi
        continue
    fi
    if [ "$minor" = "${MINORS[0]}" ]; then
        numpy="numpy<2"
    elif [ "$minor" = "${MINORS[-1]}" ]; then
        numpy="numpy>=2"
    else
        numpy="numpy"
    fi
    echo "--- CPython $version ($python), $numpy"
    start=$SECONDS
    log="$work/pytest-$minor.log"
    if run_version "$python" "$REPO/.venv-py3$minor" "$numpy" "$log" "$work"; then
        status=ok
    else
        status=FAILED
        failed+=("$version")
    fi
    result=$(tail -n 1 "$log" 2>/dev/null || true)
    summary+=("$version: $status, ${result:-no pytest summary}; $((SECONDS - start)) s")
done

echo "--- per-version results"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "30-versions: failed: ${failed[*]}" >&2
    exit 1
fi
