"""ZelData: creation, views and copies, structure and variable values of one area."""
import gc

import numpy as np
import pytest

import zelpyx.zelpy.zelpy as zelpy
from zelpyx.zelpy.zelpy import CsDataSystemType, ZelData, ZelDataSet, ZelDataVariableType

CREATE = "yes_create_the_object_i_know_what_i_do"
MISSING = "C++ object pointer for {} has not been initialized properly."


class Derived(ZelData):
    pass


# ---------------------------------------------------------------- creation and lifetime

@pytest.mark.parametrize("make, name", [
    (lambda: ZelData(), "ZelData"),
    (lambda: ZelData(5), "ZelData"),
    (lambda: ZelData(**{CREATE: False}), "ZelData"),
    (lambda: Derived(), "Derived"),
    (lambda: ZelData(Derived(**{CREATE: True})), "ZelData"),
])
def test_direct_creation_is_refused(make, name):
    with pytest.raises(TypeError, match=f"^Instances of {name} must not be created directly.$"):
        make()


@pytest.mark.parametrize("method, args", [
    ("clear", ()), ("copy", ()), ("num_rows", ()), ("matrix_size", ()), ("current_data_type", ()),
    ("variable_name", (0,)), ("variable_index", ("x",)), ("value", (0, 0)), ("values", (0, [])),
    ("set_value", (0, 0, 1.0)), ("set_values", (0, [])), ("get_values", ([],)),
    ("clear_search_trees", ()),
])
def test_unfilled_object_fails_the_check(method, args):
    for cls in (ZelData, Derived):
        empty = cls(**{CREATE: True})
        with pytest.raises(ValueError, match=f"^{MISSING.format(cls.__name__)}$".replace("+", "\\+")):
            getattr(empty, method)(*args)


def test_copying_an_unfilled_object_fails_the_check():
    with pytest.raises(ValueError, match="object pointer for ZelData"):
        ZelData(ZelData(**{CREATE: True}))


def test_view_shares_the_area_and_copy_owns_one(two_areas):
    view = two_areas.data(0)
    copies = [ZelData(view), view.copy(), ZelData(view, **{CREATE: True})]
    for copied in copies:
        copied.set_value(0, "x", 42.0)
        copied.clear()
    assert two_areas.data(0).value(0, view.variable_index("x")) == 0.0
    view.set_value(0, "x", 7.0)
    assert two_areas.data(0).value(0, view.variable_index("x")) == 7.0
    view.clear()
    assert two_areas.num_data() == 2
    assert two_areas.data(0).num_variables() == 0


def test_view_keeps_its_data_set_alive(two_areas):
    view = two_areas.data(1)
    del two_areas
    gc.collect()
    assert view.get_values(["x"])["x"].tolist() == [100, 101, 102, 103, 104, 105]


@pytest.mark.parametrize("reload", [
    lambda data_set, image: data_set.load_from_data(image, "again.out"),
    lambda data_set, image: data_set.load(data_set.file_name()),
])
def test_view_is_stale_after_reload(two_areas, tmp_path, reload):
    path = str(tmp_path / "two.out")
    two_areas.save(path)
    two_areas.set_file_name(path)
    view = two_areas.data(0)
    reload(two_areas, two_areas.export_raw())
    with pytest.raises(ValueError, match="object pointer for ZelData"):
        view.num_rows()
    with pytest.raises(ValueError, match="object pointer for ZelData"):
        ZelData(view)
    assert two_areas.data(0).num_rows() == 2


def test_view_survives_a_failed_reload(two_areas):
    view = two_areas.data(0)
    with pytest.raises(ValueError):
        two_areas.load_from_data(two_areas.export_raw()[:-20], "broken.out")
    assert view.num_rows() == 2


# ---------------------------------------------------------------- structure and variables

def test_structure(plate):
    area = plate.data(0)
    assert (area.num_rows(), area.num_columns()) == (20, 30)
    assert area.matrix_size() == 600
    assert area.num_variables() == 9
    assert area.current_data_type() is CsDataSystemType.Type3d
    index = area.variable_index("U")
    assert area.variable_name(index) == "U"
    assert area.variable_description(index) == "U [mm]"
    assert area.variable_type(index) is ZelDataVariableType.GlobalDisplacement
    area.clear()
    assert [area.num_rows(), area.num_columns(), area.num_variables(), area.matrix_size()] == [0] * 4


def test_planar_area_is_2d(area):
    assert area.current_data_type() is CsDataSystemType.Type2d


@pytest.mark.parametrize("n", [-1, 3, 2**20])
def test_variable_attributes_out_of_range(area, n):
    assert area.variable_name(n) == ""
    assert area.variable_description(n) == ""
    assert area.variable_type(n) is ZelDataVariableType.Unknown


@pytest.mark.parametrize("text, found", [("x", True), ("X", False), ("x [pixel]", False), ("", False)])
def test_variable_index_matches_names_exactly(area, text, found):
    index = area.variable_index(text)
    assert (index >= 0) == found
    if found:
        assert area.variable_name(index) == text


def test_variable_index_of_none(area):
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'encode'$"):
        area.variable_index(None)


# ---------------------------------------------------------------- values

@pytest.mark.filterwarnings("error")
def test_values_are_single_precision(area):
    area.set_value(1, "x", 0.1)
    assert area.value(1, area.variable_index("x")) == float(np.float32(0.1))
    area.set_value(2, "x", -1e39)
    assert area.value(2, area.variable_index("x")) == -np.inf
    for values in ([1e39, 0.1, -1e39, 0], np.array([1e39, 0.1, -1e39, 0])):
        area.set_values("y", values)
        assert area.get_values(["y"])["y"].tolist() == [np.inf, np.float32(0.1), -np.inf, 0]


def test_value_and_values(area):
    x, y = area.variable_index("x"), area.variable_index("y")
    assert area.value(3, x) == 3.0
    assert area.values(3, [y, x, y]) == [1003.0, 3.0, 1003.0]
    assert area.values(0, []) == []


@pytest.mark.parametrize("action, error, message", [
    (lambda a: a.value(4, 0), IndexError, "Index 4 outside valid range (0, 3)"),
    (lambda a: a.value(-1, 99), IndexError, "Index -1 outside valid range (0, 3)"),
    (lambda a: a.value(0, 3), IndexError, "Variable index out of range."),
    (lambda a: a.value(0, 2**40), OverflowError, "value too large to convert to int"),
    (lambda a: a.values(4, []), IndexError, "Index 4 outside valid range (0, 3)"),
    (lambda a: a.values(0, [0, 7]), IndexError, "Variable index out of range."),
    (lambda a: a.set_value(0, "nope", 1.0), IndexError, "Variable index out of range."),
    (lambda a: a.set_value(0, 2**40, 1.0), IndexError, "Variable index out of range."),
    (lambda a: a.set_value(-1, 1.5, 0.0), TypeError, "variable_index must be a string or an integer"),
    (lambda a: a.set_value(0, None, 0.0), TypeError, "variable_index must be a string or an integer"),
    (lambda a: a.set_value(0, b"x", 0.0), TypeError, "variable_index must be a string or an integer"),
    (lambda a: a.set_value(0, 0, "1"), TypeError, None),
    (lambda a: a.set_values("nope", [0] * 3), IndexError,
     "Size mismatch. Matrix size is 4 while values are 3."),
    (lambda a: a.set_values("nope", [0] * 4), IndexError, "Variable index out of range."),
    (lambda a: a.set_values(0.0, [0] * 4), TypeError, "variable_index must be a string or an integer"),
    (lambda a: a.set_values(0, 5), TypeError, None),
    (lambda a: a.set_values(0, ["a"] * 4), TypeError, None),
    (lambda a: a.get_values("x"), TypeError, "variables must be a list of strings"),
    (lambda a: a.get_values(("x",)), TypeError, "variables must be a list of strings"),
    (lambda a: a.get_values(["x", 5]), TypeError, "Each variable must be a string"),
    (lambda a: a.get_values(["x", "nope"]), ValueError, "Could not find variable nope"),
    (lambda a: a.get_values(["x", "x"]), ValueError, None),
])
def test_value_errors_leave_the_area_unchanged(area, action, error, message):
    before = area.get_values(["x", "y", "sigma"])
    with pytest.raises(error) as raised:
        action(area)
    if message is not None:
        assert str(raised.value) == message
    assert np.array_equal(area.get_values(["x", "y", "sigma"]), before)


def test_missing_name_is_reported_on_an_empty_area(area):
    area.clear()
    with pytest.raises(ValueError, match="^Could not find variable x$"):
        area.get_values(["x"])
    with pytest.raises(IndexError, match=r"^Index 0 outside valid range \(0, -1\)$"):
        area.value(0, 0)


@pytest.mark.parametrize("selector, variable", [
    ("y", "y"), (np.int64(0), None), (np.uint8(1), None), (True, None), (False, None)])
def test_set_values_selectors(area, selector, variable):
    index = area.variable_index(variable) if variable else int(selector)
    area.set_values(selector, [1, 2, 3, 4])
    assert area.values(2, [index]) == [3.0]


@pytest.mark.parametrize("values", [
    [0.1, 2, 3.5, -4],
    (0.1, 2, 3.5, -4),
    (v for v in [0.1, 2, 3.5, -4]),
    np.array([0.1, 2, 3.5, -4]),
    np.array([0.1, 2, 3.5, -4], dtype=np.float32),
    np.array([0.1, 9, 2, 9, 3.5, 9, -4, 9])[::2],
    np.array([(0.1, 1.0), (2, 1.0), (3.5, 1.0), (-4, 1.0)], dtype=[("a", "f8"), ("b", "f4")])["a"],
])
def test_set_values_accepts_iterables_and_arrays(area, values):
    area.set_values("x", values)
    expected = np.array([0.1, 2, 3.5, -4]).astype(np.float32)
    assert np.array_equal(area.get_values(["x"])["x"], expected)


@pytest.mark.parametrize("values", [
    np.array([2**24 + 1, -3, 0, 7], dtype=np.int64),
    np.array([True, False, True, True]),
    np.array([1, 2, 3, 250], dtype=np.uint8),
])
def test_set_values_converts_integers_like_python(area, values):
    area.set_values("x", values)
    expected = [float(np.float32(float(v))) for v in values.tolist()]
    assert area.get_values(["x"])["x"].tolist() == expected


def test_get_values_is_a_packed_structured_array(area):
    result = area.get_values(["y", "x"])
    assert result.dtype == np.dtype([("y", np.float32), ("x", np.float32)])
    assert result.shape == (4,)
    assert result["x"].tolist() == [0, 1, 2, 3]
    assert result["y"].tolist() == [1000, 1001, 1002, 1003]
    assert area.get_values([]).shape == (4,)


def test_as_array_prints_its_notice_once(area, capsys, monkeypatch):
    monkeypatch.setattr(zelpy, "__warn_deprecated__", True)
    assert np.array_equal(area.as_array(["x"]), area.get_values(["x"]))
    area.as_array(["x"])
    assert capsys.readouterr().out == "DEPRECATED. Use get_values() instead.\n"
    assert zelpy.__warn_deprecated__ is False
    zelpy.__warn_deprecated__ = True
    with pytest.raises(ValueError, match="object pointer"):
        ZelData(**{CREATE: True}).as_array(["x"])
    assert capsys.readouterr().out == "DEPRECATED. Use get_values() instead.\n"


def test_as_array_result_must_be_an_array(area):
    class Listing(ZelData):
        def get_values(self, variables):
            return [1.0]

    with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
        Listing(area).as_array(["x"])


def test_accesses_stay_within_the_area_whatever_matrix_size_says(area):
    class Oversized(ZelData):
        def matrix_size(self):
            return 1000

    oversized = Oversized(area)
    for action in (lambda: oversized.value(500, 0), lambda: oversized.values(500, [0]),
                   lambda: oversized.set_value(500, 0, 1.0)):
        with pytest.raises(IndexError, match=r"^Index 500 outside valid range \(0, 999\)$"):
            action()
    with pytest.raises(IndexError, match="^Size mismatch. Matrix size is 4 while values are 1000.$"):
        oversized.set_values(0, [0.0] * 1000)


def test_values_written_through_a_view_reach_the_data_set(two_areas):
    two_areas.data(1).set_values("x", [9] * 6)
    assert two_areas.get_values("x")["x"].tolist() == [0, 1, 2, 3] + [9] * 6
    two_areas.data(1).copy().set_values("x", [5] * 6)
    assert two_areas.get_values("x")["x"].tolist() == [0, 1, 2, 3] + [9] * 6
