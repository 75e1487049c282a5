#!/usr/bin/env bash
# Builds the wheel as a user's `pip install <path>` would, from a clean copy of the
# source tree (the tracked and untracked, not ignored files; no .git, build or .venv),
# with build isolation, into a temporary folder. Then installs it into a fresh virtual
# environment, imports the module there and loads the example data set, and checks
# that the wheel holds only Python files and the extension and that the build wrote
# nothing into the copy of the tree.
#   scripts/check_wheel.sh
#   PYTHON=python3.13 scripts/check_wheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src=$work/src
mkdir "$src"

# Files deleted from the working tree but still tracked are left out.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do if [[ -e "$f" || -L "$f" ]]; then printf '%s\0' "$f"; fi; done |
  tar --null --verbatim-files-from -T - -cf - | tar -xf - -C "$src"

# Every entry with its kind, and every file with its content hash.
snapshot() {
  (cd "$src" && find . -printf '%y %p\n' | LC_ALL=C sort &&
    find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
}
snapshot >"$work/tree-before"
echo "== source copy: $(grep -c '^f ' "$work/tree-before") files in $src"

"$PYTHON" -m venv "$work/venv"
py=$work/venv/bin/python

echo "== building the wheel"
"$py" -m pip wheel -q --no-deps --wheel-dir "$work/wheel" "$src"
wheels=("$work"/wheel/*.whl)
((${#wheels[@]} == 1)) || { echo "expected one wheel, got: ${wheels[*]}" >&2; exit 1; }
wheel=${wheels[0]}

echo "== installing $(basename "$wheel") into a fresh venv"
"$py" -m pip install -q "$wheel"

snapshot >"$work/tree-after"
if ! diff -u "$work/tree-before" "$work/tree-after" | head -n 40; then
  echo "building the wheel changed the source tree (diff above, cut at 40 lines)" >&2
  exit 1
fi
echo "== the source copy is unchanged"

echo "== wheel contents"
# Outside the source copy, so that the installed package is the one imported.
(cd "$work" && "$py" - "$wheel" "$src/examples/data/step-0001_0.out") <<'EOF'
import importlib.machinery
import sys
import zipfile
from pathlib import Path

wheel, example = sys.argv[1], sys.argv[2]
names = zipfile.ZipFile(wheel).namelist()
for name in names:
    print("  " + name)
package = [n for n in names if not n.split("/")[0].endswith(".dist-info")]
extensions = [n for n in package if n.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))]
others = [n for n in package if n not in extensions and not n.endswith(".py")]
assert others == [], f"the wheel ships files that do not run: {others}"
assert extensions == [f"zelpyx/zelpy/zelpy{importlib.machinery.EXTENSION_SUFFIXES[0]}"], extensions
assert {"zelpyx/__init__.py", "zelpyx/zelpy/__init__.py"} <= set(package), package

from zelpyx.zelpy import zelpy
from zelpyx.zelpy.zelpy import ZelDataSet

site = Path(sys.prefix).resolve()
assert site in Path(zelpy.__file__).resolve().parents, f"imported {zelpy.__file__}, not the installed wheel"
ds = ZelDataSet()
ds.load(example)
ds.compute_strain()
exx = ds.get_values(["exx"])["exx"]
# The example plate is stretched by 0.2 % in x.
assert ds.num_data() == 2 and abs(exx.mean() - 0.002) < 1e-5, (ds.num_data(), exx.mean())
print(f"== imported {zelpy.__file__}: {exx.size} points, mean exx {exx.mean():.6f}")
EOF

