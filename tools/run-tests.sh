#!/usr/bin/env bash
# Builds Sorlen and runs the whole test suite: the normal build with the windows, the core under
# AddressSanitizer+UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer, and
# short bounded runs of every fuzz target. Exits non-zero on the first failure.
# SORLEN_QUICK=1 runs only the normal build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
[ "${SORLEN_QUICK:-0}" = "1" ] && exit 0

core=(-G Ninja -DSORLEN_WITH_GUI=OFF -DSORLEN_BENCH=OFF)

cmake -S . -B build-asan "${core[@]}" -DCMAKE_BUILD_TYPE=Debug -DSORLEN_SANITIZE=address
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

cmake -S . -B build-tsan "${core[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORLEN_SANITIZE=thread
cmake --build build-tsan -j "$jobs"
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threaded --no-tests=ignore

cmake -S . -B build-fuzz "${core[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORLEN_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz -j "$jobs"
for fuzzer in build-fuzz/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    echo "fuzzing $(basename "$fuzzer") for ${SORLEN_FUZZ_SECONDS:-30} s"
    "$fuzzer" -max_total_time="${SORLEN_FUZZ_SECONDS:-30}" -rss_limit_mb=2048 -print_final_stats=0 \
        2>"build-fuzz/$(basename "$fuzzer").log" || { tail -50 "build-fuzz/$(basename "$fuzzer").log"; exit 1; }
done
echo "all suites passed"
