#!/usr/bin/env bash
# Every test of the project: first the check that every include of the
# program goes down its folders (scripts/check-layers.sh), then a plain build,
# an AddressSanitizer + UBSan build (unit and end-to-end suites) and a
# ThreadSanitizer build of the unit suite, all with the default compiler (g++
# on CI); before them a clang++ Debug build that is compiled only, and before
# the TSan build a short run of the fuzz targets. Every build treats warnings
# as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# The end-to-end tests spend most of their time waiting on the stand-in's
# (scaled) pauses, so twice as many run side by side as there are cores, in
# the sanitized build as well.
test_jobs=$((2 * jobs))

scripts/setup-host.sh
scripts/check-layers.sh

configure() { cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFP_WERROR=ON "${@:2}" >/dev/null; }

if ! command -v clang++ >/dev/null; then
    echo "run-tests.sh: clang++ not found; install the clang package" >&2
    exit 1
fi
configure build-clang-debug -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
cmake --build build-clang-debug -j"$jobs"

configure build
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$test_jobs"

configure build-asan -DFP_SANITIZE=address
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$test_jobs"

# A short fuzzing smoke run: every libFuzzer target on its seed corpus.
scripts/fuzz.sh 2000

configure build-tsan -DFP_SANITIZE=thread
cmake --build build-tsan -j"$jobs" --target unit_tests
# ThreadSanitizer cannot map its shadow memory under full address-space
# randomisation on newer kernels; run it with randomisation off.
setarch "$(uname -m)" -R ctest --test-dir build-tsan --output-on-failure -L unit -j"$jobs"
