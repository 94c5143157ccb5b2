#!/usr/bin/env bash
# Installs what a fresh machine lacks, then runs every test: the C++ tests plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer, the serial port's tests under
# ThreadSanitizer, the Python module's tests (with a stub check) under each CPython, the SDK
# as an installed package with an example program built against it, the libFuzzer harnesses
# for 30 s each, and the SDK's C++ tests cross-compiled for 64-bit Windows and run under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
ensure_system_packages

jobs=$(nproc)
step() { echo; echo "=== $*"; }

step "C++ tests"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$jobs"
ctest --test-dir build/plain -j "$jobs" --output-on-failure

step "Soak: mixed exchanges against the faulty paced virtual actuator, checked against its journal"
build/plain/ferrun-soak --exchanges 2000 --baud 1000000 --seed 1 --no-progress
build/plain/ferrun-soak --exchanges 2000 --baud 1000000 --seed 2 --no-progress

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFERRUN_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan -j "$jobs" --output-on-failure

step "serial port tests under ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFERRUN_SANITIZE=thread \
    -DFERRUN_BUILD_TOOLS=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target ferrun_serial_tests
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build/tsan -L serial --output-on-failure

for python in $(python_interpreters); do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    step "Python $version: build, install, stub check, tests"
    venv="build/venv-$version"
    make_venv "$python" "$venv" test,plot
    (cd build && "../$venv/bin/python" -m mypy.stubtest _ferrun \
        --allowlist ../tests/python/stubtest-allowlist.txt)
    "$venv/bin/python" -m mypy python/ferrun
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
done

step "C++ programs against the installed SDK"
bash tools/test-install.sh

step "fuzzing, 30 s per harness"
bash fuzz/run.sh all 30

step "Windows build under wine"
bash tools/test-windows.sh
