#!/usr/bin/env bash
# Builds Sorlen and runs the whole test suite: the normal build, then the sanitizer builds
# of the core, then short bounded fuzz runs. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${SORLEN_QUICK:-0}" != "1" ]; then
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSORLEN_SANITIZE=address -DSORLEN_WITH_GUI=OFF
    cmake --build build-asan -j "$jobs"
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
fi
