"""The library's MAT version 4 export, read back with scipy.io.loadmat.

The C++ tool write_mat_sample (built with the C++ tests into build/test) writes the
export of a fixed synthetic data set; see tests/cpp/tools/write_mat_sample.cpp.
"""
import subprocess
from pathlib import Path

import numpy as np
import scipy.io

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "build" / "test" / "tests" / "cpp" / "write_mat_sample"
NAMES = ["X", "Y", "Z", "U", "V", "W", "sigma"]


def area_values(area):
    """Variable name -> grid of the tool's area `area`, deformed positions appended."""
    rows, columns = 3 + area, 4 + area
    grid = np.add.outer(10 * np.arange(rows), np.arange(columns))
    values = {name: (area * 1000 + k * 100 + grid + 0.25).astype(np.float32) for k, name in enumerate(NAMES)}
    for position, displacement, added in (("X", "U", "Xp"), ("Y", "V", "Yp"), ("Z", "W", "Zp")):
        values[added] = values[position] + values[displacement]
    return values


def test_loadmat_reads_every_variable_with_its_grid(tmp_path):
    assert TOOL.is_file(), f"{TOOL} is missing: build the C++ tests (scripts/test.sh) first"
    path = tmp_path / "sample.mat"
    subprocess.run([str(TOOL), str(path)], check=True)

    loaded = scipy.io.loadmat(str(path))
    expected = dict(area_values(0))
    expected.update({f"{name}_0": values for name, values in area_values(1).items()})
    assert sorted(key for key in loaded if not key.startswith("__")) == sorted(expected)
    for name, values in expected.items():
        assert loaded[name].dtype == np.float32, name
        np.testing.assert_array_equal(loaded[name], values, err_msg=name)
