"""Module start-up: attributes and their order, enums, the deprecation flag, re-import."""
import subprocess
import sys
import textwrap
import zipfile
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


# ---------------------------------------------------------------- plain classes

@pytest.mark.parametrize("name, methods, annotations", [
    ("ZelDataSetReader",
     ["__init__", "__getitem__", "_reset", "get_data_source", "get_dataset_list", "load_from_hdf5",
      "load_from_directory", "load_from_project", "dataset"],
     {"out_directory": "str | None", "h5_file_path": "str | None", "dataset_list": "list[str]"}),
    ("ZelDataSetWriter",
     ["__init__", "_ZelDataSetWriter__is_hdf5", "_ZelDataSetWriter__update_h5_destination", "_reset",
      "set_reader", "set_output", "set_output_prefix", "save"],
     {"output_dest": "str | None", "output_prefix": "str | None", "dest_is_h5": "bool"}),
    ("ZelDataSetIO",
     ["__init__", "__getitem__", "_reset", "set_reader", "get_data_source", "get_dataset_list", "load_from_hdf5",
      "load_from_directory", "load_from_project", "dataset", "set_output", "set_output_prefix", "save"],
     {"dataset_reader": "ZelDataSetReader", "dataset_writer": "ZelDataSetWriter"}),
])
def test_plain_class_shapes(name, methods, annotations):
    namespace = vars(getattr(zelpy, name))
    assert [key for key, value in namespace.items() if callable(value)] == methods
    assert namespace["__annotations__"] == annotations
    assert zelpy.ZelDataSetWriter.dest_is_h5 is False


@pytest.fixture
def sources(tmp_path, two_areas):
    """A directory holding the data set run-1_0.out and the project p.q3d that names it and
    holds a calibration and an AOI polygon."""
    two_areas.save(str(tmp_path / "run-1_0.out"))
    camera = ('<camera id="0" type="pinhole"><intrinsics>1 2 3 4 0</intrinsics><distortion r="0" t="0" p="0">'
              "0 0 0 0 0 0 0 0 0 0 0</distortion><orientation>0 0 0 0 0 0</orientation></camera>")
    aoi = ('<projectaois><aoinode img="ref.tif"><polygonmask height="9" width="9"><polygon stepsize="7" '
           'subsetsize="29"><outline>0 0 9 0 9 9</outline></polygon></polygonmask></aoinode></projectaois>')
    xml = (f'<project><files_3d lri="files"><reference>ref.tif</reference><datafile>run-1_0.out</datafile>'
           f'</files_3d><calibration>{camera}</calibration>{aoi}</project>')
    with zipfile.ZipFile(tmp_path / "p.q3d", "w") as archive:
        archive.writestr("project.xml", xml)
    return tmp_path


def recording_subclass(base):
    """A subclass of base that lists the instances made of it."""
    class Recorded(base):
        made = []

        def __init__(self, *args, **kwargs):
            if base.__init__ is not object.__init__:
                super().__init__(*args, **kwargs)
            Recorded.made.append(self)
    return Recorded


# A call that needs the module attribute name, and whether the call turns the failed
# lookup into its own error (with the NameError as context).
LOOKUPS = {
    "reader.dataset": ("ZelDataSet", lambda d: zelpy.ZelDataSetReader(str(d)).dataset(str(d / "run-1_0.out")), False),
    "reader[0]": ("ZelDataSet", lambda d: zelpy.ZelDataSetReader(str(d))[0], False),
    "io[0]": ("ZelDataSet", lambda d: zelpy.ZelDataSetIO(str(d))[0], False),
    "io reader": ("ZelDataSetReader", lambda d: zelpy.ZelDataSetIO(str(d)).dataset_reader, False),
    "io writer": ("ZelDataSetWriter", lambda d: zelpy.ZelDataSetIO(str(d)).dataset_writer, False),
    "project source": ("ProjectFile", lambda d: zelpy.ZelDataSetReader(str(d / "p.q3d")), True),
    "masks": ("AOIPolygon", lambda d: zelpy.ProjectFile(str(d / "p.q3d")).get_aoi_polygon_masks()[0], False),
    "calibration": ("ProjectCalibration", lambda d: zelpy.ProjectFile(str(d / "p.q3d")).get_project_calibration(),
                    False),
}


@pytest.mark.parametrize("name, call, wrapped", list(LOOKUPS.values()), ids=list(LOOKUPS))
def test_plain_classes_look_module_names_up_when_they_run(sources, monkeypatch, name, call, wrapped):
    original = getattr(zelpy, name)
    replacement = recording_subclass(original)
    monkeypatch.setattr(zelpy, name, replacement)
    result = call(sources)
    assert replacement.made
    if isinstance(result, original):
        assert type(result) is replacement
    monkeypatch.delattr(zelpy, name)
    with pytest.raises(ValueError if wrapped else NameError) as raised:
        call(sources)
    error = raised.value.__context__ if wrapped else raised.value
    assert type(error) is NameError and str(error) == f"name '{name}' is not defined"


def test_declared_types_stay_the_module_own(sources, monkeypatch):
    class Impostor:
        def load(self, name):
            pass

        def read_calibration(self, root):
            pass
    project = zelpy.ProjectFile(str(sources / "p.q3d"))
    calibration = project.get_project_calibration()
    monkeypatch.setattr(zelpy, "ZelDataSet", Impostor)
    monkeypatch.setattr(zelpy, "ProjectCalibration", Impostor)
    reader = zelpy.ZelDataSetReader(str(sources))
    for call, expected in ((lambda: reader[0], "ZelDataSet"),
                           (lambda: project.get_project_calibration(), "ProjectCalibration")):
        with pytest.raises(TypeError, match=f"^Cannot convert .*Impostor to {MODULE}.{expected}$"):
            call()
    # Arguments are tested against the module's own types, whatever the attributes hold.
    monkeypatch.delattr(zelpy, "ProjectCalibration")
    project.set_project_calibration(calibration)
    with pytest.raises(TypeError, match=f"expected {MODULE}.ProjectCalibration, got Impostor"):
        project.set_project_calibration(Impostor())
