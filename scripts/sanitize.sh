#!/usr/bin/env bash
# Builds the C++ library and its tests with the address and undefined-behaviour
# sanitizers and runs them (no Python under the sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVEX_BUILD_TESTS=ON -DORVEX_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"
