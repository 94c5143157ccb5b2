#!/usr/bin/env bash
# Runs every benchmark and prints one table (see bench/run.py). Installs what it needs:
# libmodbus's development files, and a virtual environment with the package and pymodbus.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
ensure_system_packages
dpkg -s libmodbus-dev pkg-config >/dev/null 2>&1 || {
    as_root apt-get update -q
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q libmodbus-dev pkg-config
}
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERRUN_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench --target engine_bench actuator_bench libmodbus_bench >/dev/null
venv=build/venv-bench
make_venv "$(command -v python3)" "$venv"
"$venv/bin/python" -m pip install -q pymodbus pyserial
"$venv/bin/python" bench/run.py build/bench "$@"
