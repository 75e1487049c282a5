"""The main road end to end: the shipped example and its synthetic data set."""
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_shipped_data_set_is_what_the_script_makes(encoder, tmp_path):
    output = tmp_path / "step-0001_0.out"
    encoder.main(output)
    assert output.read_bytes() == (EXAMPLES / "data" / "step-0001_0.out").read_bytes()


def test_main_road_example():
    result = subprocess.run([sys.executable, str(EXAMPLES / "main_road.py")],
                            capture_output=True, text=True, check=True)
    lines = result.stdout.splitlines()
    assert lines[0].endswith("step-0001_0.out: 2 areas, 984 points, variables X, Y, Z, U, V, W, "
                             "sigma, x, y, exx, eyy, exy, e1, e2, gamma")
    assert lines[2] == "mean exx = 0.002002, mean eyy = -0.000666"
    assert result.stderr == ""
