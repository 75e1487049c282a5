"""What the numbers mean: strain bias from displacement noise, curvature coefficients,
the displacement gradient, principal and equivalent strains, values at invalid points
and at points without a fit, and the errors of HDF5 entries that are no data set."""
import h5py
import numpy as np
import pytest

from zelpyx.zelpy.zelpy import TensorType, ZelDataSet

PIXEL_COORDINATE, GLOBAL_COORDINATE, PIXEL_DISPLACEMENT, GLOBAL_DISPLACEMENT, CORRELATION = 0, 1, 2, 3, 5


@pytest.fixture
def grid_set(encoder, loader):
    """A data set of one area from (name, type code, rows x columns values) fields; "sigma"
    (zero, all points valid) is added when the fields do not hold it."""
    def make(*fields):
        rows, columns = np.shape(fields[0][2])
        if not any(name == "sigma" for name, _, _ in fields):
            fields += (("sigma", CORRELATION, np.zeros((rows, columns))),)
        variables = [(name, name, code, values) for name, code, values in fields]
        area = encoder.encode_area(rows, columns, variables)
        return loader(encoder.encode_data_set([area]))
    return make


def stereo(grid_set, X, Y, Z, U=0.0, V=0.0, W=0.0):
    """A stereo area at X, Y, Z with the displacements U, V, W (Z to W arrays or numbers)."""
    def field(value):
        return np.broadcast_to(value, np.shape(X))
    return grid_set(("X", GLOBAL_COORDINATE, X), ("Y", GLOBAL_COORDINATE, Y),
                    ("Z", GLOBAL_COORDINATE, field(Z)), ("U", GLOBAL_DISPLACEMENT, field(U)),
                    ("V", GLOBAL_DISPLACEMENT, field(V)), ("W", GLOBAL_DISPLACEMENT, field(W)))


def planar(grid_set, u, v, sigma=None):
    """A planar pixel area: x is the column, y the row, with the displacements u, v."""
    row, column = np.mgrid[0:u.shape[0], 0:u.shape[1]].astype(np.float64)
    fields = [("x", PIXEL_COORDINATE, column), ("y", PIXEL_COORDINATE, row),
              ("u", PIXEL_DISPLACEMENT, u), ("v", PIXEL_DISPLACEMENT, v)]
    if sigma is not None:
        fields.append(("sigma", CORRELATION, sigma))
    return grid_set(*fields)


# ---------------------------------------------------------------- noise bias of the strain

NOISE, PITCH = 0.5e-3, 0.25   # mm
BIAS = 3 * NOISE**2 / PITCH**2  # 1.2e-5 with the Lagrange tensor


def tilted_plate(grid_set, exx, poisson, noise, size=60):
    """A plate tilted by 30 degrees about Y, stretched so that its Lagrange strains are exx
    along its tilted axis and -poisson * exx across, with noise added to U, V and W."""
    row, column = np.mgrid[0:size, 0:size].astype(np.float64)
    a, b = (column - size / 2) * PITCH, (row - size / 2) * PITCH
    cos, sin = np.cos(np.radians(30)), np.sin(np.radians(30))
    da = a * (np.sqrt(1 + 2 * exx) - 1)
    db = b * (np.sqrt(1 - 2 * poisson * exx) - 1)
    return stereo(grid_set, cos * a, b, 100 - sin * a,
                  cos * da + noise[0], db + noise[1], -sin * da + noise[2])


@pytest.mark.parametrize("smoothed, bias, poisson", [
    ("", BIAS, 0.285),
    ("UV", BIAS / 3, 0.295),
    ("W", 2 * BIAS / 3, 0.290),
    ("UVW", 0.0, 0.300),
])
def test_displacement_noise_biases_the_strain(grid_set, smoothed, bias, poisson):
    noise = np.random.default_rng(7).normal(0.0, NOISE, (3, 60, 60))
    for exx in (0.0, 0.001, 0.01):
        # The noise and its negative: their first-order errors cancel in the mean of the
        # pair, the second-order bias does not.
        means = []
        for sign in (1, -1):
            data_set = tilted_plate(grid_set, exx, 0.3, sign * noise)
            for name in smoothed:
                data_set.smooth(name, window_size=15)
            data_set.compute_strain(window_size=15)
            values = data_set.get_values(["exx", "eyy"])
            means.append((values["exx"].mean(), values["eyy"].mean()))
        mean_exx, mean_eyy = np.mean(means, axis=0)
        assert mean_exx - exx == pytest.approx(bias, abs=1.5e-6)
        assert mean_eyy + 0.3 * exx == pytest.approx(bias, abs=1.5e-6)
        if exx == 0.001:
            assert -mean_eyy / mean_exx == pytest.approx(poisson, abs=2e-3)


# ---------------------------------------------------------------- curvature

RADIUS = 100.0


def test_curvature_coefficients_are_half_the_second_derivatives(grid_set):
    row, column = np.mgrid[0:21, 0:21].astype(np.float64)
    X, Y = column - 10, row - 10
    cap = np.sqrt(RADIUS**2 - X**2 - Y**2)
    names = ["cxx", "cyy", "cxy", "c1", "c2"]
    # A sphere bulging towards +Z, then towards -Z.
    for surface, expected in ((cap, -0.005), (-cap, 0.005)):
        data_set = stereo(grid_set, X, Y, surface)
        data_set.compute_curvature(window_size=5)
        values = data_set.get_values(names)
        for name, value in zip(names, (expected, expected, 0.0, expected, expected)):
            np.testing.assert_allclose(values[name], value, atol=5e-5, err_msg=name)
    # A cylinder of the same radius whose axis runs along X = -Y: in the frame (+X, -Y) on
    # its crest the height is -(u - v)^2 / (4R), so cxy = 1/(2R); c1 and c2 are the
    # principal values of the quadratic (0 along the axis, -1/(2R) across it), and gamma_c
    # the angle of c1's direction.
    data_set = stereo(grid_set, X, Y, np.sqrt(RADIUS**2 - (X + Y) ** 2 / 2))
    data_set.compute_curvature(window_size=5)
    values = data_set.get_values(names + ["gamma_c"])
    crest = (X + Y == 0).ravel()
    for name, value in (("cxx", -0.0025), ("cyy", -0.0025), ("cxy", 0.005), ("gamma_c", np.pi / 4)):
        np.testing.assert_allclose(values[name][crest], value, atol=5e-5, err_msg=name)
    np.testing.assert_allclose(values["c1"], 0.0, atol=5e-5)
    np.testing.assert_allclose(values["c2"], -0.005, atol=5e-5)


# ---------------------------------------------------------------- displacement gradient

@pytest.mark.parametrize("displacement, gradient", [
    ({"U": "X"}, (0.1, 0.0, 0.0, 0.0)),
    ({"V": "Y"}, (0.0, 0.0, 0.0, 0.1)),
    # Y grows with the row, so the frame is (+X, -Y).
    ({"U": "Y"}, (0.0, -0.1, 0.0, 0.0)),
    ({"V": "X"}, (0.0, 0.0, -0.1, 0.0)),
])
def test_gradient_variables_hold_the_displacement_gradient(grid_set, displacement, gradient):
    row, column = np.mgrid[0:10, 0:12].astype(np.float64)
    positions = {"X": 0.5 * column, "Y": 0.5 * row}
    moved = {name: 0.1 * positions[axis] for name, axis in displacement.items()}
    data_set = stereo(grid_set, positions["X"], positions["Y"], 0.0, **moved)
    data_set.compute_strain(window_size=5, output_gradient=True)
    values = data_set.get_values(["fxx", "fxy", "fyx", "fyy", "exx", "eyy", "exy"])
    for name, value in zip(["fxx", "fxy", "fyx", "fyy"], gradient):
        np.testing.assert_allclose(values[name], value, atol=1e-6, err_msg=name)
    # The Lagrange strain of H: (H + H^T + H^T H) / 2.
    h = np.array(gradient).reshape(2, 2)
    strain = (h + h.T + h.T @ h) / 2
    for name, value in (("exx", strain[0, 0]), ("eyy", strain[1, 1]), ("exy", strain[0, 1])):
        np.testing.assert_allclose(values[name], value, atol=1e-6, err_msg=name)


# ---------------------------------------------------------------- principal and equivalent strains

@pytest.mark.parametrize("tensor", list(TensorType))
def test_principal_and_equivalent_strains(grid_set, tensor):
    row, column = np.mgrid[0:16, 0:16].astype(np.float64)
    x, y = column - 7.5, row - 7.5
    data_set = planar(grid_set, 2e-4 * x**2 + 1e-4 * x * y, 2e-4 * y**2 - 1.5e-4 * x * y)
    data_set.compute_strain(window_size=3, tensor_type=tensor, compute_tresca=True, compute_von_mises=True)
    values = data_set.get_values(["exx", "eyy", "exy", "e1", "e2", "gamma", "e_tresca", "e_vonmises"])
    exx, eyy, exy = (values[name].astype(np.float64) for name in ("exx", "eyy", "exy"))
    shear = exy / 2 if tensor is TensorType.EngineeringStrain else exy
    mean, half = (exx + eyy) / 2, (exx - eyy) / 2
    e1, e2 = mean + np.hypot(half, shear), mean - np.hypot(half, shear)
    # Both signs of e1 and e2 occur, so every case of the Tresca strain is taken.
    assert np.any((e1 > 0) & (e2 < 0)) and np.any(e2 > 0) and np.any(e1 < 0)
    # Tresca and von Mises take the third principal strain as 0.
    e3 = np.zeros_like(e1)
    principal = np.stack([e1, e2, e3])
    expected = {
        "e1": e1,
        "e2": e2,
        "gamma": 0.5 * np.arctan2(shear, half),
        "e_tresca": (principal.max(axis=0) - principal.min(axis=0)) / 2,
        "e_vonmises": np.sqrt(2) / 3 * np.sqrt((e1 - e2) ** 2 + (e2 - e3) ** 2 + (e3 - e1) ** 2),
    }
    for name, value in expected.items():
        np.testing.assert_allclose(values[name], value, rtol=0, atol=1e-6 if name == "gamma" else 2e-9,
                                   err_msg=name)


# ---------------------------------------------------------------- invalid points

def test_values_at_invalid_points(grid_set):
    row, column = np.mgrid[0:12, 0:14].astype(np.float64)
    options = {"window_size": 5, "compute_tresca": True, "compute_von_mises": True, "output_gradient": True}
    kept = ["exx", "eyy", "exy", "fxx", "fxy", "fyx", "fyy"]
    zeroed = ["e1", "e2", "gamma", "e_tresca", "e_vonmises"]
    names = kept + zeroed
    data_set = planar(grid_set, 0.01 * column + 0.004 * row, 0.003 * column + 0.006 * row)
    data_set.compute_strain(**options)
    first = data_set.get_values(names)
    assert all(np.all(first[name] != 0) for name in names)
    # A hole and a corner made invalid, and a new load.
    sigma = np.zeros_like(row)
    sigma[5:7, 4:8] = -1
    sigma[0, 13] = -1
    invalid = sigma.ravel() < 0
    data_set.set_values({"sigma": sigma.ravel().astype(np.float32),
                         "u": (0.02 * column + 0.008 * row).ravel().astype(np.float32),
                         "v": (0.006 * column + 0.012 * row).ravel().astype(np.float32)})
    # Reused variables keep the earlier run's values at invalid points, except the
    # principal and equivalent strains, which are 0 there.
    data_set.compute_strain(**options)
    second = data_set.get_values(names)
    for name in kept:
        assert not np.allclose(second[name][~invalid], first[name][~invalid]), name
        np.testing.assert_array_equal(second[name][invalid], first[name][invalid], err_msg=name)
    for name in zeroed:
        np.testing.assert_array_equal(second[name][invalid], 0.0, err_msg=name)
    # New variables hold 0 at invalid points.
    fresh = data_set.compute_strain(reuse_variables=False, **options)
    assert fresh["exx"] == "exx_1" and len(fresh) == len(names)
    third = data_set.get_values(list(fresh.values()))
    for name in fresh.values():
        np.testing.assert_array_equal(third[name][invalid], 0.0, err_msg=name)


def test_valid_point_without_a_fit_holds_its_own_strain(grid_set):
    # Of the valid points (1, 0), (1, 1) and (2, 0) (row, column) only (1, 0) keeps a
    # triangle, and its window holds no other valid point: its strain is its own,
    # unsmoothed, in new variables and in variables reused after a run at u = 0.03 x.
    column = np.mgrid[0:5, 0:5][1].astype(np.float64)
    sigma = np.full((5, 5), -1.0)
    sigma[[1, 1, 2], [0, 1, 0]] = 0
    new = planar(grid_set, 0.01 * column, 0 * column, sigma)
    reused = planar(grid_set, 0.03 * column, 0 * column)
    reused.compute_strain(window_size=15)
    reused.set_values({"u": (0.01 * column).ravel().astype(np.float32),
                       "sigma": sigma.ravel().astype(np.float32)})
    for data_set in (new, reused):
        names = data_set.compute_strain(window_size=15)
        values = data_set.get_values([names["exx"], names["e1"], "sigma"])
        assert np.flatnonzero(values["sigma"] >= 0).tolist() == [5]
        assert values[names["exx"]][5] == pytest.approx(0.01005, abs=1e-7)
        assert values[names["e1"]][5] == pytest.approx(0.01005, abs=1e-7)


# ---------------------------------------------------------------- HDF5 entries that are no data set

def open_files():
    return h5py.h5f.get_obj_count(h5py.h5f.OBJ_ALL, h5py.h5f.OBJ_FILE)


def group(out, other, image):
    out.create_group("e")


def dangling_link(out, other, image):
    out["e"] = h5py.SoftLink("/nothing")


def dangling_external_link(out, other, image):
    out["e"] = h5py.ExternalLink(str(other), "/nothing")


def external_link(out, other, image):
    out["e"] = h5py.ExternalLink(str(other), "/image")


def external_storage(out, other, image):
    out.create_dataset("e", shape=(len(image),), dtype=np.uint8,
                       external=[(str(other.with_suffix(".raw")), 3, len(image))])


@pytest.mark.parametrize("make, error", [
    (group, TypeError),
    (dangling_link, TypeError),
    (dangling_external_link, TypeError),
    # Entries held by other files are read from them.
    (external_link, None),
    (external_storage, None),
], ids=lambda case: getattr(case, "__name__", None))
def test_hdf5_entries_that_are_no_array(plate, tmp_path, make, error):
    image = plate.export_raw()
    other = tmp_path / "other.h5"
    with h5py.File(other, "w") as h5:
        h5.create_dataset("image", data=np.frombuffer(image, np.uint8))
    other.with_suffix(".raw").write_bytes(b"pad" + image)
    with h5py.File(tmp_path / "e.h5", "w") as h5:
        make(h5.create_group("out"), other, image)
    name = f"{tmp_path}/e.h5:out:e"
    loaded = ZelDataSet()
    if error is None:
        loaded.load(name)
        assert loaded.export_raw() == image and loaded.file_name() == name
    else:
        with pytest.raises(error):
            loaded.load(name)
        assert loaded.num_data() == 0 and loaded.file_name() is None
    assert open_files() == 0


def test_hdf5_entry_with_an_unavailable_filter(plate, tmp_path):
    # A gzip entry whose deflate filter is renumbered in the file to a number kept for
    # testing new filters, which no library registers.
    path = tmp_path / "f.h5"
    with h5py.File(path, "w") as h5:
        h5.create_group("out").create_dataset("e", data=np.frombuffer(plate.export_raw(), np.uint8),
                                              compression="gzip")
    content = path.read_bytes()
    # The filter pipeline message: number, name length, flags, parameter count, name.
    at = content.index(b"deflate\0") - 8
    assert content.count(b"deflate\0") == 1 and content[at:at + 4] == b"\x01\x00\x08\x00"
    path.write_bytes(content[:at] + (300).to_bytes(2, "little") + content[at + 2:])
    with pytest.raises(OSError):
        plate.load(f"{path}:out:e")
    assert plate.file_name() == "synthetic.out" and open_files() == 0
