#!/usr/bin/env bash
# Builds Sorlen and runs the whole test suite: the normal build with the windows (every test
# three times in a row, so a test that fails by chance shows), the core under
# AddressSanitizer+UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer, and
# short bounded runs of every fuzz target from its seeds in fuzz/corpus/; the install and the
# Debian package are checked after the normal build. Every sanitizer
# finding is fatal. Exits non-zero on the first failure.
# SORLEN_QUICK=1 runs only the normal build; SORLEN_FUZZ_SECONDS sets each fuzz run's length.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

# Tests and benchmarks are named: the run command may have configured the same folder without.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORLEN_TESTS=ON -DSORLEN_BENCH=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --repeat until-fail:3
bash tools/check-install.sh build
[ "${SORLEN_QUICK:-0}" = "1" ] && exit 0

core=(-G Ninja -DSORLEN_WITH_GUI=OFF -DSORLEN_TESTS=ON -DSORLEN_BENCH=OFF)

cmake -S . -B build-asan "${core[@]}" -DCMAKE_BUILD_TYPE=Debug -DSORLEN_SANITIZE=address
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

cmake -S . -B build-tsan "${core[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORLEN_SANITIZE=thread
cmake --build build-tsan -j "$jobs" --target threaded_tests
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threaded --no-tests=ignore

cmake -S . -B build-fuzz "${core[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORLEN_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz -j "$jobs" --target fuzzers
for fuzzer in build-fuzz/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    log="build-fuzz/$name.log"
    # New inputs go to a scratch folder; the kept seeds are only read. The response target gets
    # room for answers well past the engine's 8 KiB buffer.
    mkdir -p "build-fuzz/corpus/$name"
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
    max_len=()
    [ "$name" = fuzz_http_response ] && max_len=(-max_len=65536)
    echo "fuzzing $name for ${SORLEN_FUZZ_SECONDS:-30} s"
    if ! "$fuzzer" "build-fuzz/corpus/$name" "${seeds[@]}" "${max_len[@]}" \
        -max_total_time="${SORLEN_FUZZ_SECONDS:-30}" -rss_limit_mb=2048 -print_final_stats=0 \
        2>"$log" || grep -qE 'runtime error|Sanitizer' "$log"; then
        tail -50 "$log"
        exit 1
    fi
done
echo "all suites passed"
