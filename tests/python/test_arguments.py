"""Conventions shared by every method: argument checks, conversions, method objects,
pickling refusal, traceback entries and the translation of library exceptions."""
import copy
import pickle
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path

import pytest

import zelpyx.zelpy.zelpy as zelpy
from zelpyx.zelpy.zelpy import TensorType, ZelData, ZelDataSet


EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


class Text(str):
    pass


def call(method, *args, **kwargs):
    return lambda data_set: getattr(data_set, method)(*args, **kwargs)


@pytest.mark.parametrize("action, error, message", [
    (call("load"), TypeError, "load() takes exactly 1 positional argument (0 given)"),
    (call("load", "a", "b"), TypeError, "load() takes exactly 1 positional argument (2 given)"),
    (call("load", "a", file_name="b"), TypeError,
     "load() got multiple values for keyword argument 'file_name'"),
    (call("load", name="a"), TypeError, "load() got an unexpected keyword argument 'name'"),
    (call("load", 1), TypeError, "Argument 'file_name' has incorrect type (expected str, got int)"),
    (call("load", Text("a")), TypeError,
     "Argument 'file_name' has incorrect type (expected str, got Text)"),
    (call("add_variable"), TypeError, "add_variable() takes at least 2 positional arguments (0 given)"),
    # values are converted before the names' type test
    (call("add_variable", 5, "d", values=None), TypeError, "'NoneType' object is not iterable"),
    (call("save", "a", "b"), TypeError, "save() takes at most 1 positional argument (2 given)"),
    (call("compute_strain", *range(11)), TypeError,
     "compute_strain() takes at most 10 positional arguments (11 given)"),
    (call("compute_strain", displacement_variables=("U", "V")), TypeError,
     "Argument 'displacement_variables' has incorrect type (expected list, got tuple)"),
    (call("compute_strain", tensor_type=1), AttributeError, None),
    (call("clear_search_trees", x=1), TypeError,
     "clear_search_trees() got an unexpected keyword argument 'x'"),
    (call("num_data", 1), TypeError, "num_data() takes exactly 0 positional arguments (1 given)"),
    (call("data", 2**31), OverflowError, "value too large to convert to int"),
    (call("data", "1"), TypeError, "an integer is required"),
    (call("load_from_data", None, "x"), TypeError, None),
    (call("set_reference_image", None), AttributeError, "'NoneType' object has no attribute 'encode'"),
])
def test_argument_errors(plate, action, error, message):
    with pytest.raises(error) as raised:
        action(plate)
    if message is not None:
        assert str(raised.value) == message


def test_float_argument_is_truncated_to_int(plate):
    assert plate.data(1.9).num_rows() == plate.data(1).num_rows() == 16


@pytest.mark.parametrize("value", [-1, 2**32, 2**64])
def test_enum_code_out_of_range(value):
    class Member:
        pass

    member = Member()
    member.value = value
    with pytest.raises(OverflowError, match="^value too large to convert to enum orvex::TensorType$"):
        ZelDataSet().compute_strain(tensor_type=member)


def test_argument_error_comes_before_the_object_check():
    empty = ZelData(yes_create_the_object_i_know_what_i_do=True)
    with pytest.raises(TypeError, match="an integer is required"):
        empty.value("a", 0)
    with pytest.raises(ValueError, match="C\\+\\+ object pointer for ZelData"):
        empty.value(0, 0)


@pytest.mark.parametrize("method, qualname, signature, annotations", [
    (ZelDataSet.copy, "ZelDataSet.copy", "ZelDataSet.copy(self) -> ZelDataSet", {"return": "ZelDataSet"}),
    (ZelData.num_rows, "ZelData.num_rows", "ZelData.num_rows(self) -> int", {"return": "int"}),
    (ZelDataSet.load, "ZelDataSet.load", "ZelDataSet.load(self, str file_name) -> None",
     {"return": "None"}),
    (ZelData.as_array, "ZelData.as_array", "ZelData.as_array(self, variables) -> np.ndarray",
     {"return": "np.ndarray"}),
    (ZelData.set_values, "ZelData.set_values",
     "ZelData.set_values(self, variable_index, vector[float] values) -> None", {"return": "None"}),
])
def test_method_objects(method, qualname, signature, annotations):
    assert method.__qualname__ == qualname
    assert method.__module__ == "zelpyx.zelpy.zelpy"
    assert method.__doc__.split("\n")[0] == signature
    assert method.__annotations__ == annotations


def test_docstrings_are_signature_then_help_text():
    assert ZelDataSet.num_data.__doc__ == (
        "ZelDataSet.num_data(self) -> int\n\nReturns the number of AOI in the dataset.")
    assert ZelData.as_array.__doc__ == "ZelData.as_array(self, variables) -> np.ndarray"
    assert ZelData.set_values.__doc__.split("\n", 1)[1] == (
        "\nSets all the values of a variable.\n\nArgs:\n"
        "    variable_index: The variable to change. Can be the variable name or index.\n"
        "    values: The values to set.")


@pytest.mark.parametrize("cls, names", [
    (ZelData, ["_ZelData__check_thisptr", "clear", "copy", "num_rows", "num_columns",
               "num_variables", "matrix_size", "current_data_type", "variable_name",
               "variable_description", "variable_type", "variable_index", "find_minimum",
               "find_maximum", "value", "as_array", "get_values", "values", "set_value",
               "set_values", "clear_search_trees", "at_global_xy", "lookup_variables"]),
    (ZelDataSet, ["_ZelDataSet__check_thisptr", "_ZelDataSet__is_hdf5", "copy", "current_data_type",
                  "load_from_data", "load", "save", "variables", "variable_descriptions",
                  "variable_types", "set_variable_description", "export_raw", "file_name",
                  "set_file_name", "reference_image", "set_reference_image", "deformed_image",
                  "set_deformed_image", "num_data", "data", "matrix_size", "get_values",
                  "set_values", "triangulation", "range", "sum_range", "add_variables",
                  "add_variable", "delete_variable", "compute_strain", "compute_curvature", "smooth", "transform", "clear_search_trees",
                  "at_global_xy", "lookup_variables"]),
    (zelpy.Rotation, ["_Rotation__check_thisptr", "angles", "set_angles", "matrix", "set_matrix",
                      "load_identity", "apply"]),
    (zelpy.RigidTransformation, ["_RigidTransformation__check_thisptr", "rotation", "translation",
                                 "set_rotation", "set_translation", "matrix", "apply", "invert",
                                 "plane_fit", "from_displacement"]),
])
def test_methods_are_bound_in_order(cls, names):
    bound = [name for name, value in vars(cls).items()
             if callable(value) and not name.startswith("__")]
    assert bound == names


def test_defaults_are_evaluated_once(plate, monkeypatch):
    unknown = zelpy.ZelDataVariableType.Unknown
    monkeypatch.setattr(zelpy, "ZelDataVariableType", None)
    monkeypatch.setattr(zelpy, "TensorType", None)
    monkeypatch.setattr(zelpy, "AngleType", None)
    assert ZelDataSet.add_variable.__defaults__[0] is unknown
    assert ZelDataSet.compute_strain.__defaults__[1] is TensorType.LagrangeStrainTensor
    assert "exx" in plate.compute_strain()
    assert zelpy.Rotation(90).angles() == pytest.approx((90.0, 0.0, 0.0))
    assert zelpy.RigidTransformation(0, 0, 0, 1, 2, 3).translation() == (1.0, 2.0, 3.0)


@pytest.mark.parametrize("cls", [ZelData, ZelDataSet, zelpy.Rotation, zelpy.RigidTransformation])
def test_extension_types(cls):
    assert cls.__module__ == "zelpyx.zelpy.zelpy"
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        cls.extra = 1

    class Derived(cls):
        pass

    assert issubclass(Derived, cls)


def test_type_docstrings():
    assert ZelData.__doc__ == (
        "Holds all the data for an AOI in a ZelDataSet.\n\n"
        "    This class should be used if you want to work on a specific AOI only. In most cases, "
        "working with a\n    ZelDataSet is prefered since that includes and affects the whole "
        "dataset.\n    ")
    assert ZelDataSet.__doc__ == (
        "Holds all the Zel data in a data file.\n\n"
        "    This is the main data class. It has access and can modify all the different AOIs in a "
        "dataset. It is\n    an iterable class that returns all ZelData for each AOI in the "
        "dataset.\n    ")


@pytest.mark.parametrize("attempt", [
    lambda obj: pickle.dumps(obj),
    lambda obj: copy.copy(obj),
    lambda obj: obj.__reduce__(),
    lambda obj: obj.__setstate__(None),
])
def test_pickling_is_refused(plate, attempt):
    for obj in (plate, plate.data(0)):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            attempt(obj)


def test_traceback_names_the_method():
    with pytest.raises(NameError) as raised:
        ZelDataSet().load("missing.out")
    entry = traceback.extract_tb(raised.value.__traceback__)[-1]
    assert entry.name == "zelpyx.zelpy.zelpy.ZelDataSet.load"
    assert entry.filename.startswith("zelpyx/zelpy/")


def test_library_allocation_failure_becomes_memory_error():
    # Copying a 32 MB data set under an address-space limit just above the current use:
    # the library's std::bad_alloc reaches Python as MemoryError, the data set stays usable.
    script = textwrap.dedent("""
        import resource
        import numpy as np
        from zelpyx.zelpy.zelpy import ZelDataSet
        from make_synthetic import encode_area, encode_data_set
        side = 2000
        image = encode_data_set([encode_area(side, side, [
            ("x", "x", 0, np.zeros(side * side)), ("sigma", "s", 5, np.zeros(side * side))])])
        data_set = ZelDataSet()
        data_set.load_from_data(image, "big.out")
        with open("/proc/self/status") as status:
            used = int(status.read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (used + 2**20, resource.RLIM_INFINITY))
        try:
            data_set.copy()
        except MemoryError as error:
            print(error, data_set.num_data())
        """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            cwd=EXAMPLES)
    assert result.stdout.strip() == "std::bad_alloc 1", result.stderr
