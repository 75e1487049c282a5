# The core library's values and utilities that the binding uses: vectors, fixed
# matrices, rotations and rigid transforms, spline transforms, and the file-name
# utilities.
from libcpp cimport bool
from libcpp.optional cimport optional
from libcpp.string cimport string

cdef extern from "orvex/core/Vector.h" namespace "orvex":
    cdef cppclass Vector2:
        double x, y
        Vector2()
        Vector2(double, double)
    cdef cppclass Vector3:
        double x, y, z
        Vector3()
        Vector3(double, double, double)

cdef extern from "orvex/core/FixedMatrix.h" namespace "orvex":
    cdef cppclass Matrix3x3:
        Matrix3x3()
        double* data()
    cdef cppclass Matrix4x4:
        Matrix4x4()
        double* data()

cdef extern from "orvex/core/Rotation.h" namespace "orvex":
    cdef cppclass Rotation:
        enum AngleType:
            pass
        Rotation() except +
        Rotation(double, double, double, AngleType) except +
        Rotation(const Rotation&) except +
        Rotation& operator=(const Rotation&)
        void setMatrix(const Matrix3x3&)
        void setCardanBryant(const Vector3&, AngleType)
        void loadIdentity()
        const Matrix3x3& matrix()
        Vector3 cardanBryant(AngleType) const
        Vector3 mul(const Vector3&)

cdef extern from "orvex/core/RigidTransform.h" namespace "orvex":
    cdef cppclass RigidTransform:
        RigidTransform() except +
        RigidTransform(const Rotation&, const Vector3&) except +
        RigidTransform(const RigidTransform&) except +
        RigidTransform& operator=(const RigidTransform&)
        bool isNull() const
        const Rotation& rotation() const
        const Vector3& translation() const
        void setTranslation(const Vector3&)
        void setRotation(const Rotation&)
        Matrix4x4 matrix4x4() const
        Vector3 mul(const Vector3&)
        RigidTransform mul(const RigidTransform&)
        void invert()

cdef extern from "orvex/core/Rect.h" namespace "orvex":
    cdef cppclass Rect:
        double x0, y0, x1, y1
        Rect()
        Rect(double, double, double, double)

cdef extern from "orvex/core/Array2.h" namespace "orvex":
    cdef cppclass Array2[T]:
        int rows()
        int cols()
        T* data()

cdef extern from "orvex/core/BSpline2.h" namespace "orvex":
    cdef cppclass BSpline2:
        @staticmethod
        void normalisePatchCounts(int&, int&)
        int nx()
        int ny()
        const Rect& domain()

cdef extern from "orvex/core/Spline2.h" namespace "orvex":
    cdef cppclass Spline2(BSpline2):
        Array2[double]& coefficients()

cdef extern from "orvex/core/SplineTransform.h" namespace "orvex":
    cdef cppclass SplineTransform:
        SplineTransform() except +
        SplineTransform(int, const Rect&, int, int) except +
        SplineTransform(const SplineTransform&) except +
        SplineTransform& operator=(const SplineTransform&) except +
        Spline2& splineX()
        Spline2& splineY()
        bool isNull()

cdef extern from "orvex/core/TextUtils.h" namespace "orvex":
    optional[string] changeFileExtension(const string&, const string&) except +
