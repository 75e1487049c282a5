#pragma once
// Two cameras and the rigid transform between their frames: triangulation of
// corresponding pixels, point polishing, the epipolar matrices and the orientations
// of both cameras relative to a frame midway between them.
//
// Every point taken or returned lies in camera 0's frame; stereoTransformation maps
// it into camera 1's frame: p1 = R·p0 + t.

#include "orvex/calibration/Camera.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/RigidTransform.h"
#include "orvex/core/Vector.h"

#include <utility>

namespace orvex {

struct StereoRig {
    Camera camera0;
    Camera camera1;
    RigidTransform stereoTransformation;

    // A camera or the transform is null.
    bool isNull() const;
    // E = [t]×·R.
    Matrix3x3 essentialMatrix() const;
    // F = K1⁻ᵀ·E·K0⁻¹ from the pinhole intrinsics alone; a singular K counts as the identity.
    Matrix3x3 fundamentalMatrix() const;
    // Cardan-Bryant angles in degrees of a target's rotation seen from the rig's middle
    // (the half stereo rotation applied after it), each folded into [−90, 90].
    Vector3 targetAngles(const RigidTransform& target) const;
    // Orientations of camera 0 and camera 1 relative to the frame midway between them
    // (x half-turned); null transforms for a null stereo transformation.
    std::pair<RigidTransform, RigidTransform> orientations() const;

    // The point with the least summed squared distance from both rays; (0, 0, 0) with
    // a warning when the rays are parallel.
    Vector3 triangulLinearLS(const Vector2& pixel0, const Vector2& pixel1) const;
    // The same, false on failure.
    bool triangulLinearLS(Vector3& point, const Vector2& pixel0, const Vector2& pixel1) const;
    // The midpoint of the shortest segment between both rays; (0, 0, 0) with a warning
    // when the rays are parallel.
    Vector3 triangulMidPoint(const Vector2& pixel0, const Vector2& pixel1) const;
    // The null vector of the homogeneous 4 × 4 system that puts the point on both rays;
    // (0, 0, 0) with a warning for a point at infinity.
    Vector3 triangulLinearEigen(const Vector2& pixel0, const Vector2& pixel1) const;
    // triangulLinearLS refined by polishPoint (from (0, 0, 0) when the linear step fails).
    Vector3 triangulNonLinearLS(const Vector2& pixel0, const Vector2& pixel1) const;
    // The same, false when the linear step failed or the point is not finite.
    bool triangulNonLinearLS(Vector3& point, const Vector2& pixel0, const Vector2& pixel1) const;

    // Levenberg-Marquardt on the summed squared reprojection error of both pixels, at
    // most 200 trials. False when the matrix cannot be inverted, the point does not
    // project, or the trials run out; the point is at its last accepted value.
    bool polishPoint(Vector3& point, const Vector2& pixel0, const Vector2& pixel1) const;
};

} // namespace orvex
