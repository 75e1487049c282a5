#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, address and undefined-behaviour
# sanitizers, writes their seed corpus and runs each for a bounded time.
#   scripts/fuzz.sh            about a minute in all
#   FUZZ_SECONDS=300 scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
jobs=${JOBS:-$(nproc)}
CXX=${CXX:-clang++}
[[ "$CXX" == *clang* ]] || CXX=clang++

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX" \
  -DORVEX_BUILD_FUZZ=ON -DORVEX_SANITIZE=ON >/dev/null
cmake --build build/fuzz -j "$jobs"

seeds=build/fuzz/seeds
rm -rf "$seeds"
build/fuzz/fuzz/fuzz_make_seeds "$seeds"
for target in dataset_decode metadata_read spline_transform_read calibration_read; do
  corpus=fuzz/corpus-run/$target
  mkdir -p "$corpus"
  log=build/fuzz/$target.log
  echo "== fuzz_$target for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/ "$corpus" "$seeds/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$target failed; the crashing input is in build/fuzz/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$log"
done
