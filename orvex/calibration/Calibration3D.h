#pragma once
// The stereo calibration of a measurement: cameras 0 and 1 with their orientations,
// further cameras by id, a magnification and a residual error per camera id, the
// inverse mappings of cameras 0 and 1, and a cached fundamental matrix.
//
// An orientation maps world coordinates into its camera's frame; the stereo
// transformation maps camera 0's frame into camera 1's. Real image coordinates are
// pixels of the recorded images, virtual ones those in which the camera models hold:
// a forward inverse mapping takes real to virtual, a reverse one virtual to real, and
// a null mapping leaves coordinates as they are. Ids 0 and 1 always mean the stereo
// pair; residual errors fold every negative id into -1.
//
// A calibration is used by one thread at a time: fundamentalMatrix fills a cache.

#include "orvex/calibration/Camera.h"
#include "orvex/calibration/StereoRig.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/RigidTransform.h"
#include "orvex/core/SplineTransform.h"
#include "orvex/core/Vector.h"

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <optional>
#include <vector>

namespace orvex {

class Calibration3D {
public:
    // Null pinhole cameras 0 and 1 with null orientations; nothing else.
    Calibration3D();
    // Deep copies; the copy recomputes the fundamental matrix when asked.
    Calibration3D(const Calibration3D& other);
    Calibration3D& operator=(const Calibration3D& other);
    virtual ~Calibration3D();

    // Orientations of cameras 0 and 1 around a frame midway between them (x half-turned)
    // with the given stereo transformation; with keep, a non-null orientation of camera
    // 0 stays and only camera 1's is replaced. A null transformation leaves camera 1
    // (and camera 0 unless kept) without orientation.
    virtual void setStereoTransformation(const RigidTransform& stereo, bool keep);
    // Moves the world frame: a world point X becomes transform·X. Null orientations stay null.
    virtual void setCoordinateTransformation(const RigidTransform& transform);
    virtual void setCamera0(const Camera& camera, const RigidTransform& orientation);
    virtual void setCamera1(const Camera& camera, const RigidTransform& orientation);
    // Ids 0 and 1 call setCamera0 and setCamera1; any other id stores a further camera.
    virtual void setCamera(int id, const Camera& camera, const RigidTransform& orientation);
    virtual void setMagnification(int id, const Vector3& magnification);
    virtual void setResidualError(int id, float error);
    virtual void setInverseMapping0(const SplineTransform& forward, const SplineTransform& reverse);
    virtual void setInverseMapping1(const SplineTransform& forward, const SplineTransform& reverse);
    // Cameras 0 and 1 and the inverse mappings back to their initial state.
    void clear();
    void clearMagnifications();
    void clearResiduals();

    // A null pinhole camera for an id without one.
    Camera camera(int id) const;
    Camera camera0() const;
    Camera camera1() const;
    // A null transform for an id without camera.
    RigidTransform orientation(int id) const;
    RigidTransform transformation0() const;
    RigidTransform transformation1() const;
    // Camera 1's orientation after the inverse of camera 0's; null when either is.
    RigidTransform stereoTransformation() const;
    StereoRig rig() const;
    // (-1, -1, -1) for an id without magnification.
    Vector3 magnification(int id) const;
    // -1 for an id without residual error.
    float residualError(int id) const;
    // Unordered keys.
    std::vector<int> externalCameraIds() const;
    std::vector<int> magnificationKeys() const;
    std::vector<int> residualKeys() const;
    // Both stereo cameras are set and the stereo transformation is not null.
    bool isComplete() const;
    void getInverseMapping0(SplineTransform& forward, SplineTransform& reverse) const;
    void getInverseMapping1(SplineTransform& forward, SplineTransform& reverse) const;
    // Both forward mappings are set.
    bool inverseMappingCalibrated() const;

    // Through the forward (real to virtual) or reverse mapping of camera 0 or 1; false,
    // with out unchanged, outside a mapping's definition domain.
    bool realToVirtual0(Vector2& out, const Vector2& in) const;
    bool realToVirtual1(Vector2& out, const Vector2& in) const;
    bool virtualToReal0(Vector2& out, const Vector2& in) const;
    bool virtualToReal1(Vector2& out, const Vector2& in) const;

    // The real pixels of a world point in both images. False when a projection or a
    // mapping fails; outputs not reached are not written.
    bool reproject(Vector2& out0, Vector2& out1, const Vector3& world) const;
    // The world point of a pair of real pixels (linear triangulation polished by the
    // rig). False, with world unchanged, when a mapping fails, the rays are parallel
    // or the point is not finite. With both error pointers given, the squared
    // reprojection error in each image (0 where it cannot be formed).
    bool triangulate(Vector3& world, const Vector2& image0, const Vector2& image1, double* error0 = nullptr,
                     double* error1 = nullptr) const;
    // Standard deviations of the triangulated point from the covariance of (x0, y0, x1, y1),
    // by forward differences of 0.001 pixel. False, with out unchanged, when a
    // triangulation fails or the result is not finite.
    bool computeConfidence(Vector3& out, const Vector2& image0, const Vector2& image1, const Matrix4x4& covariance);
    // F with x1ᵀ·F·x0 = 0 for real pixels, through homographies fitted to the forward
    // mappings. The zero matrix, not cached, for a null rig or a singular camera matrix.
    Matrix3x3 fundamentalMatrix() const;

    // JSON null for a calibration without entries, else an object with the members
    // "cameras", "magnifications", "residualerrors" and "imaps" that have entries.
    nlohmann::json toJson() const;
    // No calibration for a value that is not an object or one holding a member of the
    // wrong kind (logged); unreadable cameras and entries are skipped.
    static std::optional<Calibration3D> fromJson(const nlohmann::json& json);

    struct Private;

private:
    std::unique_ptr<Private> d_;
};

} // namespace orvex
