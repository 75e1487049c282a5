#pragma once
// Stereo calibrations for the calibration tests: a convergent rig in a world frame
// of its own, and affine inverse mappings fitted as spline transforms.

#include "orvex/calibration/Calibration3D.h"
#include "orvex/core/Array1.h"
#include "orvex/core/Rect.h"
#include "orvex/core/Spline2.h"

namespace orvex::testing {

inline RigidTransform convergentStereoTransformation() {
    return RigidTransform(Rotation(0.5, -12.0, 0.3, Rotation::Deg), Vector3(-150.0, 2.0, 15.0));
}

// Cameras 0 and 1 around the middle frame, then the world moved by a transform.
inline Calibration3D stereoCalibration(const Camera& camera0, const Camera& camera1) {
    Calibration3D calibration;
    calibration.setCamera(0, camera0, RigidTransform());
    calibration.setCamera(1, camera1, RigidTransform());
    calibration.setStereoTransformation(convergentStereoTransformation(), false);
    calibration.setCoordinateTransformation(
        RigidTransform(Rotation(10.0, 5.0, -20.0, Rotation::Deg), Vector3(30.0, -40.0, 700.0)));
    return calibration;
}

// Real to virtual coordinates of the mappings below: a mild scale and shift.
inline Vector2 realToVirtual(const Vector2& p) { return {1.002 * p.x - 1.5, 0.998 * p.y + 2.0}; }
inline Vector2 virtualToReal(const Vector2& p) { return {(p.x + 1.5) / 1.002, (p.y - 2.0) / 0.998}; }

// A cubic spline transform fitted to a map on a 21 × 21 grid over [x0, x1] × [y0, y1];
// it reproduces an affine map exactly.
template <class Map>
SplineTransform fittedMapping(Map map, double x0, double y0, double x1, double y1) {
    constexpr int side = 21;
    Array1<Vector3> xs(side * side);
    Array1<Vector3> ys(side * side);
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            const Vector2 p(x0 + (x1 - x0) * i / (side - 1), y0 + (y1 - y0) * j / (side - 1));
            const Vector2 q = map(p);
            xs[j * side + i] = Vector3(p.x, p.y, q.x);
            ys[j * side + i] = Vector3(p.x, p.y, q.y);
        }
    Spline2 splineX(3, Rect(x0, y0, x1, y1), 4, 4);
    Spline2 splineY(3, Rect(x0, y0, x1, y1), 4, 4);
    splineX.fit(xs);
    splineY.fit(ys);
    return SplineTransform(splineX, splineY);
}

// Forward and reverse mappings over a 1600 × 1200 image.
inline std::pair<SplineTransform, SplineTransform> affineMappings() {
    const Vector2 low = realToVirtual({0.0, 0.0});
    const Vector2 high = realToVirtual({1600.0, 1200.0});
    return {fittedMapping(realToVirtual, 0.0, 0.0, 1600.0, 1200.0),
            fittedMapping(virtualToReal, low.x, low.y, high.x, high.y)};
}

} // namespace orvex::testing
