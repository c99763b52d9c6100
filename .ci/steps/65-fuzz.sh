#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan and UBSan) over the
# core's in-memory file variant, and runs each for a fixed number of
# executions from its committed corpus (seeds and past findings). Any crash,
# sanitizer report or broken expectation fails the step; its input is left
# in build/fuzz/findings/.
set -euo pipefail
. .ci/lib.sh

# libclang-rt-14-dev holds the libFuzzer runtime that -fsanitize=fuzzer links.
apt_install clang libclang-rt-14-dev make
# CMake from PyPI: the project needs a newer one than Debian ships.
fresh_venv .venv-fuzz
.venv-fuzz/bin/python -m pip install -q cmake
cmake=.venv-fuzz/bin/cmake

rm -rf build/fuzz
"$cmake" -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTORO_FUZZ=ON -DCMAKE_DISABLE_FIND_PACKAGE_Python=ON >/dev/null
"$cmake" --build build/fuzz -j2 >build/fuzz/build.log 2>&1 || { cat build/fuzz/build.log; exit 1; }
if grep -E "warning:" build/fuzz/build.log; then exit 1; fi  # the -Wall -Wextra build stays clean
mkdir -p build/fuzz/findings

# The targets are the fuzz/fuzz_*.cpp files, each built under its own name.
# Executions per target, sized to what one execution costs: the UTF-16 scans
# read a whole file of up to a megabyte several times, the text rules almost
# nothing; every other target gets the default. Together about five minutes
# on two cores.
default_runs=200000
declare -A runs=(
    [fuzz_text_scans]=25000
    [fuzz_strict_text]=1000000
)
export ASAN_OPTIONS=halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for source in fuzz/fuzz_*.cpp; do
    target="$(basename "$source" .cpp)"
    # New inputs go to a scratch corpus; the committed one is only read.
    work="build/fuzz/work/$target"
    mkdir -p "$work"
    start=$SECONDS
    "build/fuzz/fuzz/$target" -runs="${runs[$target]:-$default_runs}" -print_final_stats=1 \
        -artifact_prefix=build/fuzz/findings/"$target"- "$work" "fuzz/corpus/$target" \
        >"build/fuzz/$target.log" 2>&1 || { tail -n 60 "build/fuzz/$target.log"; exit 1; }
    echo "$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "build/fuzz/$target.log" | tail -n 1) ($((SECONDS - start)) s)"
done
