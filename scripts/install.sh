#!/usr/bin/env bash
# Installs the package into .venv in development mode. The build requirements are
# installed into .venv itself and the build runs without isolation, so the build
# directory build/test (library, C++ tests and extension) stays valid between runs
# and only changed sources are rebuilt.
#   scripts/install.sh             with the package's dependencies and test extras
#   scripts/install.sh --no-deps   the package only
set -euo pipefail
cd "$(dirname "$0")/.."
# tomllib is in the standard library from Python 3.11; older interpreters use tomli.
.venv/bin/python -m pip install -q 'tomli; python_version < "3.11"'
.venv/bin/python -c 'try:
    import tomllib
except ModuleNotFoundError:
    import tomli as tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))' |
  .venv/bin/python -m pip install -q -r /dev/stdin
.venv/bin/python -m pip install -q --no-build-isolation "$@" -e '.[test]' \
  --config-settings=build-dir=build/test --config-settings=cmake.define.ORVEX_BUILD_TESTS=ON
