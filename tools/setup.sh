# Sourced by the other tools: installs what a fresh Debian machine lacks, and finds the
# Python interpreters to build the module for.

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_system_packages() {
    local wanted=(g++ make cmake ninja-build libgtest-dev libasio-dev pkgconf clang-14 libfuzzer-14-dev)
    local missing=()
    for package in "${wanted[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "installing ${missing[*]}"
        as_root apt-get update -q
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q "${missing[@]}"
    fi
}

# The default python3 first, then pyenv's 3.8 where there is one.
python_interpreters() {
    local default
    default=$(command -v python3)
    echo "$default"
    local root
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/3.8*/bin/python3.8 /usr/bin/python3.8; do
        if [ -x "$candidate" ] && [ "$("$candidate" -c 'import sys; print(sys.version[:3])')" != \
            "$("$default" -c 'import sys; print(sys.version[:3])')" ]; then
            echo "$candidate"
            return
        fi
    done
}

# A virtual environment for one interpreter with the package installed (built from this
# checkout), plus its test tools when the third argument is "test".
make_venv() {
    local python=$1 venv=$2 extras=${3:-}
    "$python" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q ".${extras:+[$extras]}"
}
