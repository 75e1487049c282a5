"""Rotation and RigidTransformation: angle conventions, points, matrices, products."""
import copy
import math
import pickle

import numpy as np
import pytest

from zelpyx.zelpy.zelpy import AngleType, RigidTransformation, Rotation


class Unit:
    def __init__(self, value):
        self.value = value


class Points(list):
    pass


def rx(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[1, 0, 0], [0, c, -s], [0, s, c]])


def ry(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])


def rz(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])


def test_identity_by_default():
    np.testing.assert_array_equal(Rotation().matrix(), np.eye(3))
    assert Rotation().angles() == (0.0, 0.0, 0.0)
    np.testing.assert_array_equal(RigidTransformation().matrix(), np.eye(4))
    assert Rotation().matrix().dtype == np.float64


@pytest.mark.parametrize("angles", [(10, 20, 30), (-45, 80, 170), (0, 0, -90), (5, -60, 0)])
def test_cardan_bryant_convention_and_units(angles):
    a, b, g = (math.radians(v) for v in angles)
    expected = rz(g) @ ry(b) @ rx(a)
    np.testing.assert_allclose(Rotation(*angles).matrix(), expected, atol=1e-15)
    np.testing.assert_allclose(Rotation(a, b, g, AngleType.Rad).matrix(), expected, atol=1e-15)
    np.testing.assert_allclose(Rotation(*angles).angles(), angles, atol=1e-12)
    np.testing.assert_allclose(Rotation(*angles).angles(AngleType.Rad), (a, b, g), atol=1e-14)
    # A matrix set directly reads back as the same angles.
    r = Rotation()
    r.set_matrix(expected)
    np.testing.assert_allclose(r.angles(), angles, atol=1e-12)
    r.set_angles(*angles)
    np.testing.assert_allclose(r.matrix(), expected, atol=1e-15)


@pytest.mark.parametrize("value, degrees", [(1, True), (True, True), (1.0, True), (0, False), (2, False)])
def test_angle_type_value_conversion(value, degrees):
    expected = 90.0 if degrees else math.degrees(90.0)
    assert Rotation(90, 0, 0, Unit(value)).angles()[0] == pytest.approx(expected)


@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, "value too large to convert to enum orvex::Rotation::AngleType"),
    (2**32, OverflowError, "value too large to convert to enum orvex::Rotation::AngleType"),
    ("1", TypeError, "an integer is required"),
])
def test_angle_type_refused(value, error, message):
    with pytest.raises(error, match=message):
        Rotation(0, 0, 0, Unit(value))
    with pytest.raises(error, match=message):
        Rotation().angles(Unit(value))
    with pytest.raises(AttributeError):
        Rotation().set_angles(1, 2, 3, 1)


def test_apply_keeps_the_container_kind():
    r = Rotation(90, 0, 0)
    assert type(r.apply([0, 1, 0])) is list
    assert type(r.apply((0, 1, 0))) is tuple
    assert type(r.apply(Points([0, 1, 0]))) is list
    np.testing.assert_allclose(r.apply([0, 1, 0]), [0, 0, 1], atol=1e-15)
    assert r * (0, 1, 0) == r.apply((0, 1, 0))
    assert r.apply([True, 0, 0]) == [1.0, 0.0, 0.0]
    assert r.apply([np.float64(1), 0, 0]) == [1.0, 0.0, 0.0]


@pytest.mark.parametrize("point, error, message", [
    ([1, 2], ValueError, "Expected a vector of size 3."),
    ([1, 2, "3"], TypeError, "Point coordinates must be numbers"),
    ([np.float32(1), 0, 0], TypeError, "Point coordinates must be numbers"),
    ([np.int64(1), 0, 0], TypeError, "Point coordinates must be numbers"),
    ([[1, 2, 3], [4, 5, 6], [7, 8, 9]], TypeError, "Point coordinates must be numbers"),
    ([[1, 2, 3], [4, 5, 6]], ValueError, "Expected a vector of size 3."),
])
def test_points_refused(point, error, message):
    for apply in (Rotation().apply, RigidTransformation().apply):
        with pytest.raises(error, match=message):
            apply(point)


def test_operand_kinds_refused():
    r, t = Rotation(), RigidTransformation()
    for operand in (np.array([1.0, 2.0, 3.0]), r, t):
        with pytest.raises(TypeError, match=r"^Expected a list or tuple of size 3\.$"):
            r * operand
    with pytest.raises(TypeError, match="Expected a list, tuple of size 3 or RigidTransformation object."):
        t * r
    with pytest.raises(TypeError, match="can't multiply sequence"):
        [1, 2, 3] * r
    with pytest.raises(TypeError, match="translation must be a list or tuple of size 3"):
        t.set_translation(np.array([1.0, 2.0, 3.0]))
    with pytest.raises(TypeError, match="Translation coordinates must be numbers"):
        t.set_translation([1, None, 3])
    with pytest.raises(TypeError, match="rotation must be a Rotation object"):
        t.set_rotation(None)
    with pytest.raises(TypeError, match="incorrect type"):
        t.set_rotation(t)


def test_set_matrix_checks_and_keeps_values():
    r = Rotation()
    with pytest.raises(TypeError, match="Expected a 3x3 numpy array."):
        r.set_matrix([[1, 0, 0], [0, 1, 0], [0, 0, 1]])
    with pytest.raises(ValueError, match="Expected a 3x3 numpy array."):
        r.set_matrix(np.zeros((3, 4)))
    np.testing.assert_array_equal(r.matrix(), np.eye(3))
    r.set_matrix(np.eye(3, dtype=np.int32) * 2)
    np.testing.assert_array_equal(r.matrix(), 2 * np.eye(3))
    skew = np.arange(9, dtype=np.float32).reshape(3, 3)
    r.set_matrix(skew)
    np.testing.assert_array_equal(r.matrix(), skew)
    # The result is a copy.
    r.matrix()[0, 0] = 99
    assert r.matrix()[0, 0] == 0


def test_rigid_transformation_composition_and_inverse():
    a = RigidTransformation(10, -20, 30, 1, 2, 3)
    b = RigidTransformation(-5, 40, 15, -4, 0.5, 7)
    p = [0.3, -1.2, 2.5]
    product = a * b
    assert type(product) is RigidTransformation
    np.testing.assert_allclose(product.apply(p), a.apply(b.apply(p)), atol=1e-12)
    np.testing.assert_allclose(product.matrix(), a.matrix() @ b.matrix(), atol=1e-12)
    inverse = RigidTransformation(10, -20, 30, 1, 2, 3)
    inverse.invert()
    np.testing.assert_allclose(inverse.apply(a.apply(p)), p, atol=1e-12)
    np.testing.assert_allclose(inverse.matrix(), np.linalg.inv(a.matrix()), atol=1e-12)
    inverse.invert()
    np.testing.assert_allclose(inverse.matrix(), a.matrix(), atol=1e-12)


def test_rotation_and_translation_parts_are_copies():
    t = RigidTransformation(0, 0, 90, 1, 2, 3)
    assert t.translation() == (1.0, 2.0, 3.0)
    part = t.rotation()
    part.set_angles(0, 0, 0)
    np.testing.assert_allclose(t.rotation().angles(), (0, 0, 90), atol=1e-12)
    r = Rotation(45, 0, 0)
    t.set_rotation(r)
    r.load_identity()
    np.testing.assert_allclose(t.rotation().angles(), (45, 0, 0), atol=1e-12)
    t.set_translation((4, 5, 6))
    np.testing.assert_array_equal(t.matrix()[:, 3], [4.0, 5.0, 6.0, 1.0])
    np.testing.assert_allclose(t.apply((1, 0, 0)), (5, 5, 6), atol=1e-15)


def test_subclass_reports_its_name_and_pickling_is_refused():
    class Turn(Rotation):
        pass

    assert Turn(0, 0, 90).apply([1, 0, 0])[1] == pytest.approx(1.0)
    for value in (Rotation(), RigidTransformation()):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            pickle.dumps(value)
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            copy.copy(value)


@pytest.mark.parametrize("method, annotation", [
    (Rotation.angles, "tuple[double, double, double]"),
    (Rotation.apply, "tuple[double, double, double] | list[double]"),
    (RigidTransformation.rotation, "Rotation"),
    (RigidTransformation.invert, None),
    (RigidTransformation.apply, None),
])
def test_method_annotations(method, annotation):
    assert method.__annotations__.get("return") == annotation


@pytest.mark.parametrize("cls, action, result", [
    (Rotation, "rotation", "rotated"),
    (RigidTransformation, "rigid transformation", "transformed"),
])
def test_point_docstrings(cls, action, result):
    assert cls.__mul__.__doc__ == (
        f"{cls.__name__}.__mul__(self, point)\n\nApplies the {action} to the point\n\n"
        f"Args:\n    point: A tuple or list, with a size of 3.\n\n"
        f"Returns:\n    A tuple or a list of the {result} point.")
    assert "\nArgs:\n    point: A tuple or list, with a size of 3.\n" in cls.apply.__doc__
