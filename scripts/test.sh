#!/usr/bin/env bash
# Runs every test: the C++ library tests through CTest, then the Python module tests.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# One build of the library for both: the package install builds the C++ tests beside
# the extension in build/test, rebuilding only what changed.
scripts/install.sh --no-deps
ctest --test-dir build/test --output-on-failure -j "$jobs"

# pytest runs outside the source tree's path.
.venv/bin/pytest -q "$@"
