"""Smoothing, curvature and the rigid transformation of whole data sets."""
import numpy as np
import pytest

from zelpyx.zelpy.zelpy import ZelDataSet


def test_smooth_fits_a_plane_through_each_window(plate):
    rng = np.random.default_rng(7)
    noise = rng.normal(size=plate.matrix_size()).astype(np.float32)
    plate.add_variable("n", "noise", values=noise)
    plate.smooth("n", window_size=3, weighted=False)
    smoothed = plate.data(0).get_values(["n"])["n"].reshape(20, 30)
    original = noise[:600].reshape(20, 30)
    # Unweighted 3 x 3 window: the plane's value at the centre is the window's mean.
    means = sum(original[1 + dr:19 + dr, 1 + dc:29 + dc] for dr in (-1, 0, 1) for dc in (-1, 0, 1)) / 9
    np.testing.assert_allclose(smoothed[1:-1, 1:-1], means, atol=1e-5)


def test_smooth_keeps_linear_fields(plate):
    before = plate.get_values(["U"])["U"]
    plate.smooth("U [mm]", window_size=7)
    np.testing.assert_allclose(plate.get_values(["U"])["U"], before, atol=1e-6)


@pytest.mark.parametrize("arguments, error, message", [
    (("nothing",), ValueError, "Error in smooth variable."),
    (("U", 0), ValueError, "Error in smooth variable."),
    (("U", -5), ValueError, "Error in smooth variable."),
    ((None,), AttributeError, "'NoneType' object has no attribute 'encode'"),
])
def test_smooth_failures(plate, arguments, error, message):
    with pytest.raises(error, match=message):
        plate.smooth(*arguments)


def test_analyses_of_an_empty_set_change_nothing():
    empty = ZelDataSet()
    assert empty.smooth("U") is None
