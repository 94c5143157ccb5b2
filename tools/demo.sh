#!/usr/bin/env bash
# Installs what is missing, builds and installs the package into .venv, and runs the demo:
# against the virtual actuator, or against a real device with --port PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
ensure_system_packages
if [ ! -x .venv/bin/ferrun ] || [ -n "$(find sdk binding sim python pyproject.toml CMakeLists.txt -newer .venv/bin/ferrun -print -quit)" ]; then
    make_venv "$(command -v python3)" .venv plot
fi
exec .venv/bin/ferrun demo "$@"
