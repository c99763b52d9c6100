#!/usr/bin/env bash
# The C++ tests of the core: built and run on Linux with ctest, then
# cross-built for Windows with mingw-w64 and run under Wine.
set -euo pipefail
. .ci/lib.sh

apt_install g++ make doctest-dev g++-mingw-w64-x86-64-posix wine64

# CMake 3.26 or later: the one on PATH if it is recent enough, else pip's.
cmake_recent() {
    command -v cmake >/dev/null &&
        printf '3.26\n%s\n' "$(cmake --version | sed -n '1s/.* //p')" | sort -V -C
}
if ! cmake_recent; then
    fresh_venv .venv-cmake
    .venv-cmake/bin/python -m pip install -q "cmake>=3.26"
    export PATH="$PWD/.venv-cmake/bin:$PATH"
fi
cmake --version | head -1

rm -rf build-cpp-linux build-cpp-win
cmake -S . -B build-cpp-linux -DVANTORO_TESTS=ON -DCMAKE_DISABLE_FIND_PACKAGE_Python=ON >/dev/null
cmake --build build-cpp-linux -j2
(cd build-cpp-linux && ctest -V --timeout 300)

win_start=$SECONDS
cmake -S . -B build-cpp-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-cpp-win -j2

# A throwaway Wine prefix, set up without dialogs; Wine's debugger would
# only delay a crashed test, which then fails on its missing summary.
WINE=/usr/lib/wine/wine64
wine_dir="$(mktemp -d)"
export WINEPREFIX="$wine_dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    timeout 60 /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    rm -rf "$wine_dir"
}
trap cleanup EXIT
timeout 300 "$WINE" wineboot --init >/dev/null 2>&1
timeout 60 "$WINE" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /f >/dev/null 2>&1 || true
(cd build-cpp-win && timeout 1200 ctest -V --timeout 300)
echo "Windows build and tests under Wine took $((SECONDS - win_start)) s"
