"""Smoothing, curvature and the rigid transformation of whole data sets."""
import numpy as np
import pytest

from zelpyx.zelpy.zelpy import RigidTransformation, Rotation, ZelDataSet


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
    assert empty.compute_curvature() is None
    assert empty.transform(RigidTransformation(0, 0, 90)) is None


def stereo_set(encoder, loader, X, Y, Z, U=None, V=None, W=None):
    """One stereo area of 10 x 12 points at the given positions and displacements."""
    zero = np.zeros_like(X)
    row, column = np.mgrid[0:10, 0:12].astype(np.float32)
    fields = [("x", 0, column), ("y", 0, row), ("X", 1, X), ("Y", 1, Y), ("Z", 1, Z),
              ("U", 3, zero if U is None else U), ("V", 3, zero if V is None else V),
              ("W", 3, zero if W is None else W), ("sigma", 5, zero)]
    area = encoder.encode_area(10, 12, [(name, name, code, values) for name, code, values in fields])
    return loader(encoder.encode_data_set([area]))


def grid_positions():
    row, column = np.mgrid[0:10, 0:12].astype(np.float64)
    return 2.0 * column - 11.0, 2.0 * row - 9.0


def test_plane_fit_aligns_a_tilted_plane(encoder, loader):
    X, Y = grid_positions()
    Z = 0.3 * X - 0.2 * Y + 5.0
    data_set = stereo_set(encoder, loader, X, Y, Z)
    fit = RigidTransformation()
    assert fit.plane_fit(data_set, True) is True
    moved = np.array([fit.apply([x, y, z]) for x, y, z in zip(X.ravel(), Y.ravel(), Z.ravel())])
    np.testing.assert_allclose(moved[:, 2], 0.0, atol=1e-5)
    np.testing.assert_allclose(moved.mean(axis=0), 0.0, atol=1e-5)
    # The fit's transformation applied to the data set puts every point on z = 0.
    data_set.transform(fit)
    np.testing.assert_allclose(data_set.get_values(["Z"])["Z"], 0.0, atol=1e-5)


def test_from_displacement_recovers_a_rigid_motion(encoder, loader):
    X, Y = grid_positions()
    Z = 0.01 * X * Y
    motion = RigidTransformation(3, -2, 5, 0.4, -0.3, 0.2)
    moved = np.array([motion.apply([x, y, z]) for x, y, z in zip(X.ravel(), Y.ravel(), Z.ravel())])
    reference = np.stack([X.ravel(), Y.ravel(), Z.ravel()], axis=1)
    U, V, W = (moved - reference).T.reshape(3, 10, 12)
    fit = RigidTransformation()
    success, residual = fit.from_displacement(stereo_set(encoder, loader, X, Y, Z, U, V, W))
    assert success is True and 0 <= residual < 1e-5
    # The fit maps the deformed shape back onto the reference: the inverse motion.
    np.testing.assert_allclose(fit.matrix(), np.linalg.inv(motion.matrix()), atol=1e-5)


def test_fits_that_fail_leave_the_transformation(encoder, loader):
    fit = RigidTransformation(10, 0, 0, 1, 2, 3)
    before = fit.matrix()
    assert fit.from_displacement(ZelDataSet()) == (False, -1.0)
    assert fit.plane_fit(ZelDataSet()) is False
    np.testing.assert_array_equal(fit.matrix(), before)
    for call in (fit.plane_fit, fit.from_displacement):
        with pytest.raises(TypeError, match="Expected ZelDataSet argument."):
            call(None)


def test_transform_and_its_inverse_give_the_data_back(plate):
    names = ["X", "Y", "Z", "U", "V", "W"]
    before = plate.get_values(names)
    motion = RigidTransformation(30, -20, 10, 5, 6, 7)
    plate.transform(motion)
    after = plate.get_values(names)
    point = [float(before[n][17]) for n in ("X", "Y", "Z")]
    np.testing.assert_allclose([after[n][17] for n in ("X", "Y", "Z")], motion.apply(point), atol=1e-4)
    motion.invert()
    plate.transform(motion)
    for name in names:
        np.testing.assert_allclose(plate.get_values([name])[name], before[name], atol=1e-4)


def test_transform_of_displacements_only_and_of_planar_sets(plate, two_areas):
    before = plate.get_values(["X", "Y", "U", "V"])
    plate.transform(RigidTransformation(0, 0, 90), displacement_only=True)
    after = plate.get_values(["X", "Y", "U", "V"])
    np.testing.assert_array_equal(after["X"], before["X"])
    # The deformed positions are turned, the reference positions stay.
    np.testing.assert_allclose(after["U"], -(before["Y"] + before["V"]) - before["X"], atol=1e-5)
    np.testing.assert_allclose(after["V"], before["X"] + before["U"] - before["Y"], atol=1e-5)
    planar = two_areas.get_values(["x", "y"])
    two_areas.transform(RigidTransformation(0, 0, 90, 1, 2, 3))
    np.testing.assert_array_equal(two_areas.get_values(["x", "y"]), planar)
    with pytest.raises(TypeError, match="rigid_transformation must be a RigidTransformation"):
        plate.transform(None)
    with pytest.raises(TypeError, match="incorrect type"):
        plate.transform(Rotation())


def test_transform_of_displacements_only_includes_the_translation(plate):
    names = ["X", "Y", "Z", "U", "V", "W"]
    before = plate.get_values(names)
    plate.transform(RigidTransformation(0, 0, 0, 5, -6, 7), displacement_only=True)
    after = plate.get_values(names)
    for name, shift in zip(names, (0, 0, 0, 5, -6, 7)):
        np.testing.assert_allclose(after[name], before[name] + shift, atol=1e-4)


def test_curvature_of_a_sphere(encoder, loader):
    X, Y = grid_positions()
    radius = 40.0
    data_set = stereo_set(encoder, loader, X, Y, np.sqrt(radius**2 - X**2 - Y**2))
    data_set.compute_curvature(window_size=5)
    values = data_set.get_values(["c1", "c2", "cxy"])
    inner = (np.abs(X) < 6) & (np.abs(Y) < 5)
    # The stored curvatures are half second derivatives: 1/(2R) on a sphere, negative for
    # its cap seen from above.
    np.testing.assert_allclose(values["c1"][inner.ravel()], -1 / (2 * radius), rtol=2e-2)
    np.testing.assert_allclose(values["c2"][inner.ravel()], -1 / (2 * radius), rtol=2e-2)
    # Computed again, the variables are reused.
    count = len(data_set.variables())
    data_set.compute_curvature(window_size=5, compute_principal_curvature=False, reuse_vars=True)
    assert len(data_set.variables()) == count


@pytest.mark.parametrize("arguments, error, message", [
    ({"window_size": 0}, ValueError, "Error in calculating curvature."),
    ({"reuse_variables": True}, TypeError, "unexpected keyword argument 'reuse_variables'"),
])
def test_curvature_failures(plate, arguments, error, message):
    with pytest.raises(error, match=message):
        plate.compute_curvature(**arguments)
