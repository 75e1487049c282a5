#!/usr/bin/env bash
# Runs every test: the C++ library tests through CTest, then the Python module tests.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_BUILD_TESTS=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

# Rebuilds the extension when sources changed, then runs pytest outside the source tree's path.
.venv/bin/python -m pip install -q --no-deps -e '.[test]'
.venv/bin/pytest -q "$@"
