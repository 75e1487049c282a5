# The calibration library that the binding uses: camera records and the stereo
# calibration that holds them. Cameras themselves cross the boundary only as records
# (see the helpers in calibration.pxi).
from libc.stdint cimport int32_t
from libcpp cimport bool
from libcpp.vector cimport vector
from zelpyx.zelpy.core cimport Vector2, Vector3, RigidTransform, SplineTransform

cdef extern from "orvex/calibration/CameraData.h" namespace "orvex":
    cdef enum class CameraType(int32_t):
        Pinhole
        VRO

    cdef enum VROSystemType:
        pass

    int vroFirstSetCount(VROSystemType)
    int vroSecondSetCount(VROSystemType)

    cdef cppclass CameraData:
        CameraType type
        double cx, cy, fx, fy, skew
        int32_t numRadial, numTangential, numPrismatic
        double radial[3]
        double tangential[4]
        double prismatic[4]
        bool vroFirstOmitted, vroSecondOmitted
        VROSystemType csType
        double vroFirst[11]
        double vroSecond[36]
        CameraData()

cdef extern from "orvex/calibration/Calibration3D.h" namespace "orvex":
    cdef cppclass Calibration3D:
        Calibration3D() except +
        void setMagnification(int, const Vector3&) except +
        void setResidualError(int, float) except +
        void setInverseMapping0(const SplineTransform&, const SplineTransform&) except +
        void setInverseMapping1(const SplineTransform&, const SplineTransform&) except +
        RigidTransform orientation(int) except +
        vector[int] externalCameraIds() except +
        vector[int] magnificationKeys() except +
        vector[int] residualKeys() except +
        Vector3 magnification(int) const
        float residualError(int) const
        void getInverseMapping0(SplineTransform&, SplineTransform&) except +
        void getInverseMapping1(SplineTransform&, SplineTransform&) except +
        bool reproject(Vector2&, Vector2&, const Vector3&) except +
        bool triangulate(Vector3&, const Vector2&, const Vector2&) except +
