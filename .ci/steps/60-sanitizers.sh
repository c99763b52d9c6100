#!/usr/bin/env bash
# The whole test suite against an extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc). The sanitized build has its own build
# directory and virtual environment; the wheel in dist/ is not touched.
set -euo pipefail
. .ci/lib.sh

apt_install gcc g++

san="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
fresh_venv .venv-asan
rm -rf build/asan
.venv-asan/bin/python -m pip install -q \
    -C build-dir=build/asan \
    -C cmake.build-type=RelWithDebInfo \
    -C "cmake.define.CMAKE_CXX_FLAGS=$san" \
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=$san" \
    ".[test]"

# The interpreter itself is not instrumented, so the ASan runtime must be
# loaded before anything else; the C++ runtime comes right after it, since
# ASan looks up the real __cxa_throw when it starts, and the interpreter
# would otherwise load libstdc++ only with the extension. CPython leaves
# memory allocated at exit on purpose, hence no leak report.
# PYTHONMALLOC=malloc sends the interpreter's small allocations through ASan
# too, so an overrun into them is caught.
asan_rt="$(readlink -f "$(gcc -print-file-name=libasan.so)")"
cxx_rt="$(readlink -f "$(g++ -print-file-name=libstdc++.so)")"
export LD_PRELOAD="$asan_rt $cxx_rt"
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
.venv-asan/bin/python -m pytest -q -p no:cacheprovider --capture=sys
