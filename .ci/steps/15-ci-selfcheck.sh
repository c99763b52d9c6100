#!/usr/bin/env bash
# Checks the CI itself: a step whose install fails must fail. Each step
# below runs here with one more constraint that no release of pytest meets,
# so the first pip call that installs the test tools fails; the step must
# then exit non-zero, with pip's resolution error in its output and no test
# run after it. Every step must also turn on strict mode and use the shared
# helpers (.ci/lib.sh) before doing anything else.
set -euo pipefail
. .ci/lib.sh

CHECKED=(20-suite 30-versions 32-sdist 40-typing 50-convert 52-batch 53-mzpeak 55-report 57-qc 58-watch 60-sanitizers)

for step in .ci/steps/*.sh; do
    first=$(grep -vE '^[[:space:]]*(#|$)' "$step" | head -n 2 | tr '\n' ';')
    if [ "$first" != "set -euo pipefail;. .ci/lib.sh;" ]; then
        echo "15-ci-selfcheck: $step must begin with 'set -euo pipefail' and '. .ci/lib.sh'" >&2
        exit 1
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "pytest==0.0.0.dev0" >"$work/unsatisfiable.txt"
for name in "${CHECKED[@]}"; do
    step=".ci/steps/$name.sh"
    [ -e "$step" ] || continue
    log="$work/$name.log"
    start=$SECONDS
    status=0
    PIP_CONSTRAINT="$REPO/tools/constraints.txt $work/unsatisfiable.txt" bash "$step" >"$log" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
        tail -n 30 "$log"
        echo "15-ci-selfcheck: $name exited 0 although its install failed" >&2
        exit 1
    fi
    if ! grep -q "ResolutionImpossible" "$log"; then
        tail -n 30 "$log"
        echo "15-ci-selfcheck: $name failed (exit $status), but not at the failing install" >&2
        exit 1
    fi
    if grep -qE "^=*[[:space:]]*[0-9]+ (passed|failed)" "$log"; then
        tail -n 30 "$log"
        echo "15-ci-selfcheck: $name ran tests after its install failed" >&2
        exit 1
    fi
    echo "$name: fails when its install fails (exit $status, $((SECONDS - start)) s)"
done
