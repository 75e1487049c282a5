"""Module start-up: attributes and their order, enums, the deprecation flag, re-import."""
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import zelpyx.zelpy.zelpy as zelpy

MODULE = "zelpyx.zelpy.zelpy"


def run_python(code):
    """Runs code in a fresh interpreter; returns its standard output."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_attributes_are_created_in_body_order():
    expected = ["__builtins__", "ZelData", "ZelDataSet", "Rotation", "RigidTransformation", "csv", "glob", "os", "re", "select", "socket", "sys", "threading",
                "Enum", "TextIOWrapper", "Callable", "PyZipFile", "ZipFile", "h5py", "etree", "np",
                "ZelDataVariableType", "CsDataSystemType", "TensorType", "AngleType",
                "__warn_deprecated__", "__test__"]
    names = [name for name in vars(zelpy) if name in expected]
    assert names == expected
    assert zelpy.etree.__name__ == "lxml.etree"
    assert zelpy.np.__name__ == "numpy"
    assert zelpy.__test__ == {}


@pytest.mark.parametrize("enum, members", [
    ("ZelDataVariableType", [
        "PixelCoordinate", "GlobalCoordinate", "PixelDisplacement", "GlobalDisplacement", "Strain",
        "Correlation", "Unknown", "Disparity", "CylinderCoordinate", "CylinderDisplacement",
        "PixelVelocity", "GlobalVelocity", "StrainRate", "Curvature", "Angle", "AngularVelocity",
        "GlobalAcceleration", "PixelAcceleration", "Stress", "AngularAcceleration"]),
    ("CsDataSystemType", ["Type2d", "Type3d"]),
    ("TensorType", ["LagrangeStrainTensor", "HenckyStrainTensor", "EulerStrainTensor",
                    "LogarithmicEulerTensor", "EngineeringStrain", "BiotStrainTensor"]),
    ("AngleType", ["Rad", "Deg"]),
])
def test_enums_have_their_members_in_value_order(enum, members):
    cls = getattr(zelpy, enum)
    assert issubclass(cls, zelpy.Enum)
    assert cls.__module__ == MODULE
    assert [(m.name, m.value) for m in cls] == [(name, value) for value, name in enumerate(members)]


def test_enum_lookup_by_value():
    assert zelpy.TensorType(3) is zelpy.TensorType.LogarithmicEulerTensor
    assert zelpy.AngleType.Deg.value == 1


def test_import_runs_the_body_once():
    # Re-importing, also after dropping the module from sys.modules, gives the same object
    # and does not run the body again (the flag keeps the value set in between).
    out = run_python(f"""
        import importlib, sys
        import {MODULE} as first
        print(first.__warn_deprecated__)
        first.__warn_deprecated__ = False
        del sys.modules["{MODULE}"]
        again = importlib.import_module("{MODULE}")
        print(again is first, again.__warn_deprecated__)
        """)
    assert out.split() == ["True", "True", "False"]


def test_second_interpreter_is_refused():
    out = run_python(f"""
        import {MODULE}
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        code = "try:\\n import {MODULE}\\nexcept ImportError as e:\\n print(e)"
        interpreters.run_string(interp, code)
        """)
    assert out.strip() == ("Interpreter change detected - this module can only be loaded into "
                           "one interpreter per process.")


def test_import_prints_nothing_at_error_severity():
    # The logger is set up at severity error: the set-up's own info record stays silent.
    result = subprocess.run([sys.executable, "-c", f"import {MODULE}"],
                            capture_output=True, text=True, check=True)
    assert result.stderr == ""


def test_failed_import_can_be_retried():
    # A module of the body missing ends the import at its line; once it is back, a new
    # import in the same process runs the whole body.
    out = run_python(f"""
        import sys, traceback
        class BlockH5py:
            def find_spec(self, name, path=None, target=None):
                if name == "h5py":
                    raise ModuleNotFoundError("No module named 'h5py'")
        sys.meta_path.insert(0, BlockH5py())
        try:
            import {MODULE}
        except ModuleNotFoundError as error:
            entry = [frame for frame in traceback.extract_tb(error.__traceback__)
                     if frame.name == "init {MODULE}"]
            print(error, entry[0].lineno)
        sys.meta_path.pop(0)
        import {MODULE} as module
        print(module.h5py.__name__, module.__warn_deprecated__)
        """)
    source = (Path(__file__).resolve().parents[2] / "zelpyx" / "zelpy" / "zelpy.pyx").read_text()
    line = source.splitlines().index("import h5py") + 1
    assert out.splitlines() == [f"No module named 'h5py' {line}", "h5py True"]
