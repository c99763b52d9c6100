#!/usr/bin/env bash
# The release build (tools/build_release.py) from this checkout: the sdist
# and the manylinux2014 wheels for x86-64 and aarch64, each checked by the
# build (auditwheel, abi3audit --strict, twine check). They land in
# dist/release/; the x86-64 wheel, the one this machine installs, is also
# copied to dist/ for the steps that install "the wheel".
set -euo pipefail
. .ci/lib.sh

rm -rf dist
python3 tools/build_release.py --out dist/release

shopt -s nullglob
host_wheels=(dist/release/*-cp310-abi3-*manylinux_2_17_x86_64*.whl)
sdists=(dist/release/vantoro-*.tar.gz)
all=(dist/release/*)
shopt -u nullglob
if [ ${#host_wheels[@]} -ne 1 ] || [ ${#sdists[@]} -ne 1 ] || [ ${#all[@]} -ne 3 ]; then
    echo "10-wheel: expected an sdist and two wheels in dist/release, found: ${all[*]}" >&2
    exit 1
fi
cp "${host_wheels[0]}" dist/
ls -l dist/release dist/*.whl
