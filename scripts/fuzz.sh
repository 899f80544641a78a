#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz (clang++, ASan + UBSan) and runs
# each on its seed corpus in tests/fuzz/<target> for RUNS inputs (default
# 2000, the smoke run of scripts/run-tests.sh). New inputs go to a scratch
# corpus, never into the seed directories; a finding is kept as
# build-fuzz/findings/<target>-crash-... and ends the script with status 1.
# Usage: scripts/fuzz.sh [RUNS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-2000}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(package payload hdlc strings sysfs replies)

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFP_WERROR=ON -DFP_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/findings
for target in "${targets[@]}"; do
    mkdir -p "$scratch/$target"
    start=$(date +%s)
    if ! build-fuzz/bin/fuzz_"$target" -runs="$runs" -artifact_prefix="build-fuzz/findings/$target-" \
        "$scratch/$target" "tests/fuzz/$target" >"$scratch/$target.log" 2>&1; then
        tail -n 40 "$scratch/$target.log" >&2
        echo "fuzz.sh: fuzz_$target failed; the input is in build-fuzz/findings" >&2
        exit 1
    fi
    echo "fuzz_$target: $(grep -o 'Done [0-9]* runs' "$scratch/$target.log") in $(($(date +%s) - start)) s"
done
