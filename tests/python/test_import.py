import subprocess
import sys


def test_module_imports():
    import zelpyx.zelpy.zelpy as zelpy

    assert zelpy.__name__ == "zelpyx.zelpy.zelpy"


def test_import_prints_nothing_at_error_severity():
    # The logger is set up at severity error: the set-up's own info record stays silent.
    result = subprocess.run(
        [sys.executable, "-c", "import zelpyx.zelpy.zelpy"],
        capture_output=True, text=True, check=True)
    assert result.stderr == ""
