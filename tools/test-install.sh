#!/usr/bin/env bash
# Checks the SDK the way C++ programs consume it: installs a static and a shared build into
# one temporary prefix, builds examples/position_move against it with find_package (each
# kind) and with pkg-config, runs each against the virtual actuator (and sine_stream, the
# bus thread's example, once), and checks that a project adding the SDK with
# add_subdirectory needs no GoogleTest and builds.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
ensure_system_packages

root=$(pwd)
jobs=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
strict=(-Wall -Wextra -Wpedantic -Werror)

step() { echo "--- $*"; }
fail() {
    echo "test-install: $*" >&2
    exit 1
}

for kind in static shared; do
    step "install the SDK ($kind)"
    shared=$([ "$kind" = shared ] && echo ON || echo OFF)
    cmake -S . -B "build/install-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS="$shared" -DFERRUN_BUILD_TESTS=OFF -DFERRUN_BUILD_TOOLS=OFF >/dev/null
    cmake --build "build/install-$kind" -j "$jobs" >/dev/null
    cmake --install "build/install-$kind" --prefix "$prefix" >/dev/null
done
[ -f "$prefix/include/ferrun/sdk/actuator/actuator.hpp" ] || fail "headers not installed"
[ ! -e "$prefix/include/sdk" ] || fail "headers installed outside include/ferrun"
readelf -d "$prefix/lib/libzelk_sdk.so" | grep -q 'SONAME.*\[libzelk_sdk\.so\.0\.1\]' ||
    fail "shared library without the soname libzelk_sdk.so.0.1"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
package_version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)
[ "$(pkg-config --modversion ferrun)" = "$package_version" ] ||
    fail "ferrun.pc has version $(pkg-config --modversion ferrun), pyproject.toml $package_version"

step "build the example: find_package (static, shared) and pkg-config"
cmake -S examples -B "$work/static" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="${strict[*]}" >/dev/null
cmake -S examples -B "$work/shared" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -Dferrun_SHARED_LIBS=ON -DCMAKE_CXX_FLAGS="${strict[*]}" >/dev/null
cmake --build "$work/static" >/dev/null
cmake --build "$work/shared" >/dev/null
# With both kinds installed -lzelk_sdk links the shared library, found at run time by the rpath.
# shellcheck disable=SC2046  # pkg-config's output is meant to be split
g++ -std=c++17 "${strict[@]}" examples/position_move.cpp -o "$work/position_move_pc" \
    $(pkg-config --cflags --libs ferrun) -Wl,-rpath,"$prefix/lib"
! readelf -d "$work/static/position_move" | grep -q 'NEEDED.*libzelk_sdk' ||
    fail "the default find_package build links the shared library"
readelf -d "$work/shared/position_move" | grep -q 'NEEDED.*\[libzelk_sdk\.so\.0\.1\]' ||
    fail "ferrun_SHARED_LIBS=ON does not link libzelk_sdk.so.0.1"

step "virtual actuator"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$jobs" --target ferrun-sim >/dev/null

# Runs the program against a fresh virtual actuator started with the remaining arguments;
# its standard output and error go to $work/out and $work/err, its exit status to $status.
run_on_sim() {
    local program=$1
    shift
    coproc SIM { exec build/plain/ferrun-sim "$@" 2>/dev/null; }
    local sim_pid=$SIM_PID sim_in=${SIM[1]} pty
    read -r pty <&"${SIM[0]}"
    status=0
    "$program" "$pty" >"$work/out" 2>"$work/err" || status=$?
    exec {sim_in}>&-
    wait "$sim_pid"
}

# Fails unless the program's output has a line matching the pattern.
expect() {
    local name=$1 pattern=$2
    grep -qE "$pattern" "$work/out" ||
        fail "$name: no line matching '$pattern' in:$(printf '\n%s' "$(cat "$work/out" "$work/err")")"
}

for program in "$work/static/position_move" "$work/shared/position_move" \
    "$work/position_move_pc"; do
    name=${program#"$work/"}
    step "run $name"
    run_on_sim "$program"
    [ "$status" = 0 ] || fail "$name exited with $status: $(cat "$work/err")"
    [ ! -s "$work/err" ] || fail "$name wrote to stderr: $(cat "$work/err")"
    for line in '^mode: sleep \(1\)$' '^position: 0 um$' '^force: 0 mN$' '^temperature: 25 C$' \
        '^voltage: 24000 mV$' '^errors: 0x0000$' '^moved from 0 um to [0-9]+ um \(target 10000 um\)' \
        '^back in sleep mode$'; do
        expect "$name" "$line"
    done
    # The device's position controller settles within tens of milliseconds of the ramp's end.
    reached=$(sed -n 's/^moved from 0 um to \([0-9]*\) um.*/\1/p' "$work/out")
    [ "$reached" -ge 9000 ] && [ "$reached" -le 11000 ] || fail "$name moved to $reached um"
done

step "a failed step still ends in sleep mode"
run_on_sim "$work/static/position_move" --no-mode-confirm
[ "$status" = 1 ] || fail "exit status $status after a refused mode change"
[ "$(wc -l <"$work/err")" = 1 ] && grep -q 'switching to position mode' "$work/err" ||
    fail "expected one line about the mode change on stderr, got: $(cat "$work/err")"
expect "refused mode change" '^back in sleep mode$'

step "run sine_stream: the bus thread streams while the main thread works"
run_on_sim "$work/static/sine_stream"
[ "$status" = 0 ] || fail "sine_stream exited with $status: $(cat "$work/err")"
expect sine_stream '^streamed [1-9][0-9]* exchanges in 2 s \([0-9]+ failed, 0 lost\)'
expect sine_stream '^back in sleep mode$'

step "add_subdirectory consumer, without GoogleTest"
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.18)
project(consumer LANGUAGES CXX)
set(CMAKE_DISABLE_FIND_PACKAGE_GTest ON)  # any search for GoogleTest fails the configure
add_subdirectory("$root" ferrun)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE ferrun::zelk_sdk)
EOF
cat >"$work/consumer/main.cpp" <<'EOF'
#include "sdk/actuator/actuator.hpp"
int main() { return zelkSDK::Actuator("x1", 1).last_error() ? 1 : 0; }
EOF
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja -DCMAKE_CXX_FLAGS="${strict[*]}" \
    >/dev/null
targets=$(cmake --build "$work/consumer/build" --target help)
for unwanted in ferrun_unit_tests ferrun_serial_tests ferrun-sim engine_bench; do
    ! grep -q "$unwanted" <<<"$targets" || fail "the consumer builds $unwanted"
done
! grep -q 'include/ferrun' "$work/consumer/build/ferrun/cmake_install.cmake" ||
    fail "the consumer installs the SDK's headers"
cmake --build "$work/consumer/build" -j "$jobs" >/dev/null
"$work/consumer/build/consumer" || fail "the consumer program failed"

echo "install checks passed"
