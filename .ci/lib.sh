# Shared helpers and settings for the CI steps; sourced, not run, by each
# step after its `set -euo pipefail`.

# A failing command inside $(...) fails the step too, not only the command
# substitution.
shopt -s inherit_errexit

REPO="${REPO:-$PWD}"
# Every pip call of a step, including the build environments pip sets up,
# installs the versions pinned in this one file.
export PIP_CONSTRAINT="${PIP_CONSTRAINT:-$REPO/tools/constraints.txt}"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# Installs Debian packages, refreshing the package lists once per CI run.
apt_install() {
    local missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ ! -e "${CI_APT_STAMP:?}" ]; then
        apt-get update -qq
        touch "${CI_APT_STAMP:?}"
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# A fresh virtual environment at $1 for interpreter $2 (default python3).
# Each command returns on failure itself, since a caller testing the result
# (`fresh_venv ... || return 1`) turns off `set -e` inside.
fresh_venv() {
    rm -rf "$1" || return
    "${2:-python3}" -m venv "$1" || return
    "$1/bin/python" -m pip install -q --upgrade pip
}

# The pyenv root: `pyenv root` where pyenv is installed, else $PYENV_ROOT;
# prints nothing when there is neither.
pyenv_root() {
    if command -v pyenv >/dev/null; then
        pyenv root
    elif [ -n "${PYENV_ROOT:-}" ]; then
        echo "$PYENV_ROOT"
    fi
}

# The newest patch release of CPython 3.$1 under the pyenv root, else
# python3.$1 on PATH; prints nothing when there is none.
find_python() {
    local root newest=""
    root=$(pyenv_root)
    if [ -n "$root" ] && [ -d "$root/versions" ]; then
        newest=$(find "$root/versions" -mindepth 1 -maxdepth 1 -name "3.$1.*" -printf '%f\n' |
            grep -E "^3\.$1\.[0-9]+$" | sort -V | tail -n 1 || true)
    fi
    if [ -n "$newest" ] && [ -x "$root/versions/$newest/bin/python" ]; then
        echo "$root/versions/$newest/bin/python"
    else
        command -v "python3.$1" || true
    fi
}

# A fresh, empty build directory $1 (under build/) for one step alone.
fresh_build_dir() {
    rm -rf "$1"
    mkdir -p "$1"
}
