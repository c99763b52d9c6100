# Shared helpers for the CI steps; sourced, not run.

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
fresh_venv() {
    rm -rf "$1"
    "${2:-python3}" -m venv "$1"
    "$1/bin/python" -m pip install -q --upgrade pip
}
