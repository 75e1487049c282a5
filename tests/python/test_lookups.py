"""Lookups at global and pixel positions, extremes, ranges and the triangulation."""
import numpy as np
import pytest

from zelpyx.zelpy.zelpy import ZelDataSet



@pytest.fixture(autouse=True)
def _encoder(encoder, loader):
    global synthetic, load_image
    synthetic, load_image = encoder, loader


def grid_area(rows, columns, blanking=None, extra=()):
    """A pixel grid (x = column, y = row) whose blanking values are given or all valid."""
    row, column = np.mgrid[0:rows, 0:columns].astype(np.float32)
    sigma = np.zeros(rows * columns) if blanking is None else np.asarray(blanking, dtype=np.float32)
    variables = [("x", "x [pixel]", synthetic.PIXEL_COORDINATE, column),
                 ("y", "y [pixel]", synthetic.PIXEL_COORDINATE, row)]
    variables += list(extra)
    variables.append(("sigma", "sigma [pixel]", synthetic.CORRELATION, sigma))
    return synthetic.encode_area(rows, columns, variables)


def data_set(*areas):
    return load_image(synthetic.encode_data_set(list(areas)))


# Global positions ----------------------------------------------------------------------

@pytest.mark.parametrize("use_tree", [False, True])
def test_at_global_xy_at_grid_points_and_inside_cells(plate, use_tree):
    area = plate.data(0)
    names = ["X", "Y", "U"]
    # Grid point (row 2, column 3) of the first area: X = 1.5, Y = 1.0.
    assert area.at_global_xy(1.5, 1.0, names, use_tree) == pytest.approx([1.5, 1.0, 0.003], rel=1e-6)
    # Inside a cell the values are linear in X and Y, as these fields are.
    inside = area.at_global_xy(1.7, 1.2, ["X", "Y", "U", "V"], use_tree)
    assert inside == pytest.approx([1.7, 1.2, 0.002 * 1.7, -0.002 / 3 * 1.2], rel=1e-5)
    # The second area answers for the data set where the first has no cell.
    assert plate.at_global_xy(2.0, 15.0, ["Y"], use_tree) == pytest.approx([15.0])
    assert plate.at_global_xy(100.0, 100.0, ["X"], use_tree) is None


def test_at_global_xy_items(plate):
    area = plate.data(0)
    values = area.at_global_xy(1.5, 1.0, [0, "Y", 0, True, np.int64(1)])
    assert values[0] == values[2] and values[3] == values[1] == values[4]
    assert area.at_global_xy(1.5, 1.0, []) == []
    assert area.at_global_xy(1.5, 1.0, ("X",)) == pytest.approx([1.5])
    for items, error, message in [
        (["nothing"], IndexError, "Variable index out of range."),
        ([area.num_variables()], IndexError, "Variable index out of range."),
        ([-1], IndexError, "Variable index out of range."),
        ([1.5], TypeError, "Expected integer or string for variable"),
    ]:
        with pytest.raises(error, match=message):
            area.at_global_xy(1.5, 1.0, items)
    # Nothing found: the items are not examined.
    assert area.at_global_xy(100.0, 100.0, ["nothing", 1.5]) is None
    with pytest.raises(TypeError, match="variable_list must be a list or tuple"):
        area.at_global_xy(100.0, 100.0, "X")


def test_data_set_lookups_hand_on_to_areas():
    empty = ZelDataSet()
    assert empty.at_global_xy(0, 0, "not a list") is None
    assert empty.lookup_variables(0, 0, "not a list") is None


# Pixel positions -----------------------------------------------------------------------

def test_lookup_variables_at_pixel_positions():
    ramp = ("v", "vertical ramp", synthetic.GLOBAL_DISPLACEMENT, 10 * np.arange(12, dtype=np.float32))
    area = data_set(grid_area(3, 4, extra=[ramp])).data(0)
    # v = 10 * (4 * row + column) at (x, y) = (column, row).
    assert area.lookup_variables(1.5, 1.0, ["v", "x"]) == pytest.approx([55.0, 1.5])
    assert area.lookup_variables(1.5, 1.0, ["vertical ramp"]) == pytest.approx([55.0])
    assert area.lookup_variables(1.5, 1.0, []) == []
    assert area.lookup_variables(1.5, 1.0, ["nothing"]) is None
    assert area.lookup_variables(9.0, 1.0, ["v"]) is None
    with pytest.raises(TypeError, match="Each variable in variable_list must be a string"):
        area.lookup_variables(1.5, 1.0, ["v", 3])
    with pytest.raises(TypeError, match="variable_list must be a list or tuple"):
        area.lookup_variables(1.5, 1.0, "v")


# Extremes and ranges -------------------------------------------------------------------

def test_extremes_skip_blanked_points_and_keep_the_lowest_index():
    values = np.array([5, 9, 9, -3, 7, -8], dtype=np.float32)
    blanking = [0, 0, 0, 0, 0, -1]
    area = data_set(grid_area(2, 3, blanking, extra=[("u", "u d", 3, values)])).data(0)
    assert area.find_maximum("u") == (9.0, 1)
    u = area.variable_index("u")
    assert area.find_minimum(u) == (-3.0, 3)
    assert area.find_minimum(np.int32(u)) == (-3.0, 3)
    all_blanked = data_set(grid_area(2, 3, [-1] * 6, extra=[("u", "u d", 3, values)])).data(0)
    assert all_blanked.find_minimum("u") == (None, None)


@pytest.mark.parametrize("selector, error, message", [
    ("nothing", ValueError, "nothing is not a valid variable"),
    ("u d", ValueError, "u d is not a valid variable"),
    (4, IndexError, "Variable index out of range."),
    (-1, IndexError, "Variable index out of range."),
    (2.0, TypeError, "variable_index must be a string or an integer"),
])
def test_extremes_refuse_bad_selectors(selector, error, message):
    area = data_set(grid_area(2, 3, extra=[("u", "u d", 3, np.arange(6))])).data(0)
    for find in (area.find_minimum, area.find_maximum):
        with pytest.raises(error, match=message):
            find(selector)


def test_range_and_sum_range():
    u = ("u", "u [pixel]", 2, np.array([1, -4, 3, 2], dtype=np.float32))
    v = ("v", "v [pixel]", 2, np.array([-1, 5, -3, 0], dtype=np.float32))
    second = ("w", "only here", 2, np.array([10, 20, 30, 40], dtype=np.float32))
    ds = data_set(grid_area(2, 2, [0, 0, 0, -1], extra=[u, v]), grid_area(2, 2, extra=[second]))
    assert ds.range("u") == (-4.0, 3.0)
    assert ds.range("only here") == (10.0, 40.0)
    # The sum point by point: 0, 1, 0 (the blanked point is left out).
    assert ds.sum_range("u", "v") == (0.0, 1.0)
    with pytest.raises(ValueError, match=r"^Error in calculating range for 'nothing'\.$"):
        ds.range("nothing")
    with pytest.raises(ValueError, match="Error in calculating range for the sum of variables 'u' and 'w'."):
        ds.sum_range("u", "w")
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'encode'"):
        ds.range(None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'encode'"):
        ds.sum_range("u", None)
    with pytest.raises(TypeError, match="incorrect type"):
        ds.range(3)


# Triangulation -------------------------------------------------------------------------

@pytest.mark.parametrize("areas, sub_sample, rows", [
    ([(3, 3, None)], 1, [(0, 1, 3), (1, 4, 3), (1, 2, 4), (2, 5, 4),
                         (3, 4, 6), (4, 7, 6), (4, 5, 7), (5, 8, 7)]),
    ([(5, 5, None)], 2, [(0, 2, 10), (2, 12, 10)]),
    ([(2, 2, None), (2, 2, None)], 1, [(0, 1, 2), (1, 3, 2), (4, 5, 6), (5, 7, 6)]),
    ([(2, 2, [-1, 0, 0, 0])], 1, [(3, 2, 1)]),
    ([(2, 2, [0, 0, -1, 0])], 1, [(0, 1, 3)]),
    ([(1, 9, None), (2, 2, None)], 1, [(9, 10, 11), (10, 12, 11)]),
    ([(3, 3, None)], 2, None),
])
def test_triangulation(areas, sub_sample, rows):
    ds = data_set(*[grid_area(r, c, blanking) for r, c, blanking in areas])
    result = ds.triangulation(sub_sample)
    if rows is None:
        assert result is None
        return
    assert result.dtype == np.int32 and result.shape == (len(rows), 3)
    np.testing.assert_array_equal(result, rows)


def test_triangulation_indexes_get_values_rows(plate):
    triangles = plate.triangulation()
    assert np.array_equal(triangles, plate.triangulation(1))
    values = plate.get_values(["X", "Y"])
    assert triangles.max() < len(values)
    # Every triangle joins grid neighbours of one area: their X spacing is one step.
    corners = values["X"][triangles]
    assert np.all(np.ptp(corners, axis=1) <= 0.5 + 1e-6)


@pytest.mark.parametrize("sub_sample", [0, 5, -1])
def test_triangulation_refuses_sub_samples(two_areas, sub_sample):
    with pytest.raises(ValueError, match=rf"^sub_sample must be in range \[1,4\], got {sub_sample}$"):
        two_areas.triangulation(sub_sample)
