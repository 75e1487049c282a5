#!/usr/bin/env bash
# Runs every benchmark and prints its figures; a benchmark never fails the build.
set -uo pipefail
cd "$(dirname "$0")/.."
echo "cores: $(nproc)"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" >/dev/null
for exe in build/bench/bench/bench_*; do
  [[ -x "$exe" ]] || continue
  echo "== $(basename "$exe")"
  "$exe" || echo "(benchmark $(basename "$exe") failed)"
done
# The Python benchmarks time the module as the current sources build it.
scripts/install.sh --no-deps || echo "(the module could not be built)"
for script in bench/python/bench_*.py; do
  [[ -f "$script" ]] || continue
  echo "== $(basename "$script")"
  .venv/bin/python "$script" || echo "(benchmark $(basename "$script") failed)"
done
