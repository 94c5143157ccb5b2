#!/usr/bin/env bash
# Builds the libFuzzer harnesses (into build/fuzz, when needed) and runs one, or each, for a
# number of seconds, starting from a scratch copy of its checked-in corpus so runs never grow
# fuzz/corpus. fuzz_engine first replays the inputs of the faults it found (fuzz/findings). A crash input is kept as build/fuzz/artifacts/<harness>-crash-*; the script
# exits 1 when any harness failed.
#
# Usage: fuzz/run.sh HARNESS|all SECONDS [libFuzzer options...]
#   HARNESS: fuzz_engine, fuzz_device_model or fuzz_builders
# Needs clang-14 and libfuzzer-14-dev (CXX_FUZZ names another clang++).
set -euo pipefail
cd "$(dirname "$0")/.."

all=(fuzz_engine fuzz_device_model fuzz_builders)
if [ $# -lt 2 ]; then
    echo "usage: fuzz/run.sh HARNESS|all SECONDS [libFuzzer options...]" >&2
    exit 1
fi
which=$1 seconds=$2
shift 2
if [ "$which" = all ]; then
    harnesses=("${all[@]}")
elif [[ " ${all[*]} " == *" $which "* ]]; then
    harnesses=("$which")
else
    echo "unknown harness: $which (one of ${all[*]}, or all)" >&2
    exit 1
fi

build=build/fuzz
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++-14}" -DFERRUN_FUZZ=ON \
        -DFERRUN_BUILD_TESTS=OFF -DFERRUN_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$build" -j 2 --target "${harnesses[@]}"
mkdir -p "$build/artifacts"

failed=()
for harness in "${harnesses[@]}"; do
    echo "=== $harness for $seconds s"
    if [ "$harness" = fuzz_engine ]; then
        # The inputs of faults found before must keep passing.
        mapfile -t findings < <(find fuzz/findings -type f ! -name '*.md' | sort)
        if ! "$build/fuzz/$harness" "${findings[@]}" >"$build/artifacts/findings.log" 2>&1; then
            grep -E "^fuzz: violation|^Running: " "$build/artifacts/findings.log" | tail -2
            echo "an earlier finding fails again (fuzz/findings/README.md)"
            failed+=("$harness")
            continue
        fi
        echo "${#findings[@]} earlier findings pass"
    fi
    scratch=$(mktemp -d)
    cp fuzz/corpus/"$harness"/* "$scratch"/
    set +e
    "$build/fuzz/$harness" -max_total_time="$seconds" -max_len=1024 -timeout=30 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$harness-" "$@" "$scratch" 2>&1 |
        grep -v -E '^#[0-9]+\s+(NEW|REDUCE|pulse)|^INFO: (Loaded|Running|Seed|-max_len)|^"|^###### '
    status=${PIPESTATUS[0]}
    set -e
    rm -rf "$scratch"
    if [ "$status" -ne 0 ]; then
        failed+=("$harness")
    fi
done

echo "fuzzing: $((${#harnesses[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ "${#failed[@]}" -gt 0 ]; then
    echo "faults found by ${failed[*]}: inputs in $build/artifacts/" >&2
    exit 1
fi
