#!/usr/bin/env bash
# Cross-compiles the SDK, the device model and the C++ tests for 64-bit Windows with
# mingw-w64 and runs them under wine; the serial test talks through a COM port that wine
# maps to a pseudo-terminal served by the (Linux) virtual actuator.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh

missing=()
for package in g++-mingw-w64-x86-64-posix wine64 wine googletest; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    as_root apt-get update -q
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q "${missing[@]}"
fi

root=$(pwd)
out=build/windows
mkdir -p "$out/asio-include"
# mingw must not see the rest of /usr/include: give it asio alone.
ln -sfn /usr/include/asio.hpp "$out/asio-include/asio.hpp"
ln -sfn /usr/include/asio "$out/asio-include/asio"

cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DASIO_INCLUDE_DIR="$root/$out/asio-include" \
    -DFERRUN_GTEST_SOURCE_DIR=/usr/src/googletest \
    -DCMAKE_CXX_FLAGS="-DGTEST_HAS_PTHREAD=0" -Wno-deprecated >/dev/null

# The virtual actuator runs natively on the host.
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain --target ferrun-sim >/dev/null

export WINEPREFIX="$root/$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's services run for the whole test run (a pipe they hold would otherwise keep CTest
# waiting); the first start creates the prefix.
start_wine() {
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1
    wine wineboot >/dev/null 2>&1
}
wineserver -k >/dev/null 2>&1 || true
start_wine
cleanup() {
    [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
    [ -n "${echo_pid:-}" ] && kill "$echo_pid" 2>/dev/null || true
    wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

cmake --build "$out" -j "$(nproc)"

# Two virtual actuators (addresses 1 and 2) on a pty paced like a 19200-baud wire, seen by
# Windows programs as COM5.
coproc SIM { exec build/plain/ferrun-sim --ignore-stdin --baud 19200 --turnaround-us 1000 --address 1,2; }
sim_pid=$SIM_PID
read -r pty <&"${SIM[0]}"
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$pty" /f >/dev/null
# The same line as COM7, through an adapter whose driver keeps a 16 ms latency timer in the
# registry; another adapter, on another port, keeps 2 ms.
wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /t REG_SZ /d "$pty" /f >/dev/null
adapters='HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS'
for entry in 'VID_0403+PID_6001+FR000000A COM9 2' 'VID_0403+PID_6001+FR000001A COM7 16'; do
    read -r device port_name latency <<<"$entry"
    key="$adapters\\$device\\0000\\Device Parameters"
    wine reg add "$key" /v PortName /t REG_SZ /d "$port_name" /f >/dev/null
    wine reg add "$key" /v LatencyTimer /t REG_DWORD /d "$latency" /f >/dev/null
done
# And a two-wire line that hears its own transmitter, as COM6.
echo_out="$out/echo-sim-port"
rm -f "$echo_out"
build/plain/ferrun-sim --ignore-stdin --baud 19200 --turnaround-us 1000 --echo >"$echo_out" &
echo_pid=$!
until [ -s "$echo_out" ]; do sleep 0.1; done
read -r echo_pty <"$echo_out"
wine reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$echo_pty" /f >/dev/null
# The mapping is read when wine's services start.
wineserver -k >/dev/null 2>&1
start_wine

FERRUN_TEST_PORT=COM5 FERRUN_TEST_ECHO_PORT=COM6 FERRUN_TEST_ADAPTER_PORT=COM7 ctest --test-dir "$out" --output-on-failure --timeout 120
