#!/usr/bin/env bash
# Sets up a fresh machine: system packages, a virtual environment with the package
# and its test extras, then runs the example of the main road.
#   scripts/setup.sh            everything, then the example
#   scripts/setup.sh --no-example
#   ORVEX_FUZZ=1 scripts/setup.sh   also clang with its libFuzzer runtime (scripts/fuzz.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build python3-venv python3-dev libeigen3-dev nlohmann-json3-dev libgtest-dev acl)
[[ "${ORVEX_FUZZ:-0}" == 1 ]] && packages+=(clang libclang-rt-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
[[ -x .venv/bin/python ]] || "$PYTHON" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
scripts/install.sh

if [[ "${1:-}" != "--no-example" ]]; then
  .venv/bin/python examples/main_road.py
fi
