#!/usr/bin/env bash
# The aarch64 wheel of the release build, installed into Debian's arm64
# CPython with Debian's arm64 NumPy, in an arm64 Debian root made here with
# debootstrap and run under qemu-user; then the test suite there. A root of
# its own rather than arm64 packages beside the host's: Debian's python3
# packages of two architectures cannot be installed side by side.
#
# ARM64_TESTS selects what runs (pytest arguments relative to tests/);
# by default the whole suite.
set -euo pipefail
. .ci/lib.sh

shopt -s nullglob
wheels=("$REPO"/dist/release/*-cp310-abi3-*manylinux_2_17_aarch64*.whl)
shopt -u nullglob
if [ ${#wheels[@]} -ne 1 ]; then
    echo "34-aarch64: expected one aarch64 wheel in dist/release (built by 10-wheel.sh), found ${#wheels[@]}" >&2
    exit 1
fi
wheel="${wheels[0]}"
echo "wheel: ${wheel##*/}"

apt_install debootstrap qemu-user-static binfmt-support
# Arm64 programs, and those the tests start, run through qemu-user.
if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if ! head -n 1 /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null | grep -qx enabled; then
    update-binfmts --enable qemu-aarch64
fi
head -n 1 /proc/sys/fs/binfmt_misc/qemu-aarch64 | grep -qx enabled

dir="$REPO/build/arm64"
root="$dir/root"
# The root is only ever mounted into inside a private mount namespace that
# ends with this step; a mount left under it would make rm -rf reach the
# host's files.
if grep -q " $dir/" /proc/mounts; then
    echo "34-aarch64: something is mounted under $dir; not removing it" >&2
    exit 1
fi
fresh_build_dir "$dir"

# The host's own Debian release and mirror.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=$(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' 'Identifier: Packages' |
    awk -v c="$codename" '$2 == c { print $1; exit }')
[ -n "$mirror" ] || { echo "34-aarch64: no $codename mirror in the apt sources" >&2; exit 1; }
start=$SECONDS
debootstrap --arch=arm64 --variant=minbase --include=python3,python3-numpy,python3-venv \
    "$codename" "$root" "$mirror" >"$dir/debootstrap.log" 2>&1 ||
    { tail -n 40 "$dir/debootstrap.log"; exit 1; }
echo "arm64 root: $((SECONDS - start)) s"

# The host's trusted certificates, so that pip inside reaches PyPI the way
# the host does.
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
mkdir -p "$root/work"
cp "$wheel" "$root/work/"
cp -r "$REPO/tests" "$root/work/tests"
cp "$REPO/tools/constraints.txt" "$root/work/constraints.txt"

# Inside the root: a venv over Debian's site packages (NumPy), the wheel
# without dependencies, pytest and hypothesis from PyPI at the pinned
# versions; then the tests against the installed module.
inner='
export PATH=/usr/bin:/bin PIP_CONSTRAINT=/work/constraints.txt PIP_CERT=/etc/ssl/certs/ca-certificates.crt
unset PYTHONPATH PYTHONHOME VIRTUAL_ENV
cd /work
python3 -m venv --system-site-packages /work/venv
/work/venv/bin/python -m pip install -q --no-deps /work/*.whl
/work/venv/bin/python -m pip install -q pytest hypothesis
/work/venv/bin/python -c "
import platform, sys, numpy, vantoro
print(\"Python\", sys.version.split()[0], platform.machine(), \"| NumPy\", numpy.__version__, numpy.__file__)
print(\"vantoro\", vantoro.__file__)
assert platform.machine() == \"aarch64\", platform.machine()
assert numpy.__file__.startswith(\"/usr/lib/python3/dist-packages/\"), \"NumPy is not Debian'"'"'s\"
assert vantoro.__file__.startswith(sys.prefix), \"vantoro is not the installed module\"
"
cd /tmp
exec /work/venv/bin/python -m pytest -q -rs -p no:cacheprovider "$@"
'
read -r -a selection <<<"${ARM64_TESTS:-.}"
args=()
for s in "${selection[@]}"; do args+=("/work/tests/$s"); done
start=$SECONDS
unshare --mount --propagation private -- /bin/bash -euo pipefail -c '
root=$1; shift
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
exec chroot "$root" /bin/bash -euo pipefail -c "$@"
' _ "$root" "$inner" _ "${args[@]}"
echo "arm64 tests under qemu-user: $((SECONDS - start)) s"
