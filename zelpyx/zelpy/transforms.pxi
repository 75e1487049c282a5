# Rotation and RigidTransformation: the library's rotations and rigid transforms.
# Every setter changes the owned library object in place; results that are
# rotations or transformations are new objects holding copies.

cdef core.Rotation.AngleType _angle_type(object angle_type) except *:
    """The library angle unit of an AngleType member (1 degrees, anything else radians)."""
    cdef object value = angle_type.value
    cdef long long code
    try:
        code = value
    except OverflowError:
        code = -1
    if code < 0 or code > 0xFFFFFFFF:
        raise OverflowError("value too large to convert to enum orvex::Rotation::AngleType")
    return <core.Rotation.AngleType>code


cdef core.Vector3 _point(object point, str not_a_sequence, str not_a_number) except *:
    """Three numbers of a list or tuple as a vector; the messages name the caller."""
    if not isinstance(point, (list, tuple)):
        raise TypeError(not_a_sequence)
    if len(point) != 3:
        raise ValueError("Expected a vector of size 3.")
    for coordinate in point:
        if not isinstance(coordinate, (int, float)):
            raise TypeError(not_a_number)
    return core.Vector3(float(point[0]), float(point[1]), float(point[2]))


cdef object _point_result(const core.Vector3& p, object like):
    """A list for a list argument, a tuple for a tuple argument."""
    if isinstance(like, list):
        return [p.x, p.y, p.z]
    return (p.x, p.y, p.z)


cdef cnp.ndarray _square_array(const double* values, int size):
    cdef cnp.ndarray result = np.empty([size, size])
    memcpy(cnp.PyArray_DATA(result), values, size * size * sizeof(double))
    return result


cdef class Rotation:
    """Implements a three dimensional rotation."""
    cdef core.Rotation* thisptr

    def __cinit__(self, double alpha=0, double beta=0, double gamma=0, angle_type=AngleType.Deg):
        cdef core.Rotation.AngleType unit = _angle_type(angle_type)
        self.thisptr = new core.Rotation(alpha, beta, gamma, unit)

    def __dealloc__(self):
        del self.thisptr

    def __check_thisptr(self):
        if self.thisptr == NULL:
            raise ValueError(_missing_object_message(self))

    def angles(self, angle_type=AngleType.Deg) -> tuple[double, double, double]:
        """Get the angles of the rotation object.

        Args:
            angle_type: The unit of the angles, an AngleType.

        Returns:
            The angles (alpha, beta, gamma): the rotations around x, y and z.
        """
        self.__check_thisptr()
        cdef core.Vector3 angles = self.thisptr.cardanBryant(_angle_type(angle_type))
        return (angles.x, angles.y, angles.z)

    def set_angles(self, double alpha=0, double beta=0, double gamma=0,
                   angle_type=AngleType.Deg) -> None:
        """Sets the rotation angles.

        Args:
            alpha: Rotation around x
            beta: Rotation around y
            gamma: Rotation around z
            angle_type: The unit of the angles, an AngleType.
        """
        self.__check_thisptr()
        cdef core.Rotation.AngleType unit = _angle_type(angle_type)
        self.thisptr.setCardanBryant(core.Vector3(alpha, beta, gamma), unit)

    def matrix(self) -> np.ndarray:
        """Returns the 3x3 rotation matrix."""
        self.__check_thisptr()
        return _square_array(self.thisptr.matrix().data(), 3)

    def set_matrix(self, mat) -> None:
        """Sets the rotation using a 3x3 rotation matrix.

        Args:
            mat: A 3x3 numpy array; it is stored as it is, not made orthonormal.
        """
        self.__check_thisptr()
        if not isinstance(mat, np.ndarray):
            raise TypeError("Expected a 3x3 numpy array.")
        if mat.shape != (3, 3):
            raise ValueError("Expected a 3x3 numpy array.")
        if mat.dtype != np.float32 and mat.dtype != np.float64:
            mat = mat.astype(np.float64)
        cdef core.Matrix3x3 m
        cdef double* values = m.data()
        for i in range(3):
            row = mat[i]
            for j in range(3):
                values[3 * i + j] = row[j]
        self.thisptr.setMatrix(m)

    def load_identity(self) -> None:
        """Sets the rotation to identity."""
        self.__check_thisptr()
        self.thisptr.loadIdentity()

    def apply(self, point) -> tuple[double, double, double] | list[double]:
        """Applies the rotation to the point

        Args:
            point: A tuple or list, with a size of 3.

        Returns:
            The rotated point, a list for a list and a tuple for a tuple.
        """
        self.__check_thisptr()
        cdef core.Vector3 p = _point(point, "Expected a list or tuple of size 3.",
                                         "Point coordinates must be numbers")
        return _point_result(self.thisptr.mul(p), point)

    def __mul__(self, point):
        """Applies the rotation to the point

        Args:
            point: A tuple or list, with a size of 3.

        Returns:
            A tuple or a list of the rotated point.
        """
        self.__check_thisptr()
        return self.apply(point)


cdef class RigidTransformation:
    """Implements a three dimensional rigid transformation."""
    cdef core.RigidTransform* thisptr

    def __cinit__(self, double alpha=0, double beta=0, double gamma=0,
                  double Tx=0, double Ty=0, double Tz=0, angle_type=AngleType.Deg):
        cdef core.Rotation.AngleType unit = _angle_type(angle_type)
        self.thisptr = new core.RigidTransform(core.Rotation(alpha, beta, gamma, unit),
                                                   core.Vector3(Tx, Ty, Tz))

    def __dealloc__(self):
        del self.thisptr

    def __check_thisptr(self):
        if self.thisptr == NULL:
            raise ValueError(_missing_object_message(self))

    def rotation(self) -> Rotation:
        """Returns the rotation for this rigid transformation."""
        self.__check_thisptr()
        cdef core.Rotation part = self.thisptr.rotation()
        cdef Rotation result = Rotation()
        result.thisptr[0] = part
        return result

    def translation(self) -> tuple[double, double, double]:
        """Returns a tuple of the translation for this rigid transformation."""
        self.__check_thisptr()
        cdef core.Vector3 t = self.thisptr.translation()
        return (t.x, t.y, t.z)

    def set_rotation(self, Rotation rotation) -> None:
        """Sets the rotation for this rigid transformation.

        Args:
            rotation: The rotation, copied into this transformation.
        """
        self.__check_thisptr()
        if rotation is None:
            raise TypeError("rotation must be a Rotation object")
        self.thisptr.setRotation(rotation.thisptr[0])

    def set_translation(self, translation) -> None:
        """Sets the translation for this rigid transformation.

        Args:
            translation: A tuple or list, with a size of 3.
        """
        self.__check_thisptr()
        cdef core.Vector3 t = _point(translation, "translation must be a list or tuple of size 3",
                                         "Translation coordinates must be numbers")
        self.thisptr.setTranslation(t)

    def matrix(self) -> np.ndarray:
        """Returns the 4x4 rigid transformation matrix."""
        self.__check_thisptr()
        cdef core.Matrix4x4 m = self.thisptr.matrix4x4()
        return _square_array(m.data(), 4)

    def apply(self, point):
        """Applies the rigid transformation to the point

        Args:
            point: A tuple or list, with a size of 3.

        Returns:
            The transformed point (a list for a list, a tuple for a tuple), or for a
            RigidTransformation the composition that applies it first and this second.
        """
        self.__check_thisptr()
        cdef RigidTransformation product
        if isinstance(point, RigidTransformation):
            product = RigidTransformation()
            product.thisptr[0] = self.thisptr.mul((<RigidTransformation>point).thisptr[0])
            return product
        cdef core.Vector3 p = _point(
            point, "Expected a list, tuple of size 3 or RigidTransformation object.",
            "Point coordinates must be numbers")
        return _point_result(self.thisptr.mul(p), point)

    def __mul__(self, point):
        """Applies the rigid transformation to the point

        Args:
            point: A tuple or list, with a size of 3.

        Returns:
            A tuple or a list of the transformed point.
        """
        self.__check_thisptr()
        return self.apply(point)

    def invert(self):
        """Inverts this rigid transformation."""
        self.__check_thisptr()
        self.thisptr.invert()

    def plane_fit(self, ZelDataSet dataset, bint ignore_displacement=False) -> bool:
        """Computes the best plane fit for a dataset.

        If successful, this rigid body transformation object will be set to the computed transformation.

        Args:
            dataset: The data set whose valid points the plane is fitted through.
            ignore_displacement: Fit the reference positions instead of the deformed ones.

        Returns:
            True when the fit succeeded.
        """
        self.__check_thisptr()
        if dataset is None:
            raise TypeError("Expected ZelDataSet argument.")
        cdef core.RigidTransform fitted
        if not analysis.computeBestPlaneFit(fitted, dataset.thisptr[0], ignore_displacement):
            return False
        self.thisptr[0] = fitted
        return True

    def from_displacement(self, ZelDataSet dataset) -> tuple[bint, double]:
        """Computes the rigid transformation between the reference and deformed state of the dataset.

        If successful, this rigid body transformation object will be set to the computed transformation.

        Args:
            dataset: The data set whose reference and deformed positions are fitted.

        Returns:
            A tuple (success, residual).
        """
        self.__check_thisptr()
        if dataset is None:
            raise TypeError("Expected ZelDataSet argument.")
        cdef core.RigidTransform fitted
        cdef double residual = -1.0
        cdef bint fitted_ok = analysis.fitRigidTransform(fitted, residual, dataset.thisptr[0])
        if fitted_ok:
            self.thisptr[0] = fitted
        return (fitted_ok, residual)
