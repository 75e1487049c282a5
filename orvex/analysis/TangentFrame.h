#pragma once
// In-plane axes of the plane normal to a vector, shared by the strain and curvature
// analyses.

#include "orvex/core/Vector.h"

#include <cmath>

namespace orvex {

struct TangentFrame {
    Vector3 e1;
    Vector3 e2;
};

// Axes of the plane normal to n, where nn = n·n > 0. With s = √(n.x² + n.z²):
// e1 = (n.z, 0, −n.x)/s and e2 = e1 × n/|n| = (n.x·n.y, −s², n.y·n.z)/(s·|n|), both unit
// vectors. A normal along ±Y (s = 0) takes the limit e1 = (1, 0, 0), e2 = (0, 0, ±1).
// e1.y is always 0.
inline TangentFrame tangentFrameOfNormal(const Vector3& n, double nn) {
    const double s2 = n.x * n.x + n.z * n.z;
    if (s2 == 0.0)
        return {Vector3(1.0, 0.0, 0.0), Vector3(0.0, 0.0, n.y > 0.0 ? 1.0 : -1.0)};
    const double s = std::sqrt(s2);
    const double inverseS = 1.0 / s;
    const double inverseSN = 1.0 / (s * std::sqrt(nn));
    return {Vector3(n.z * inverseS, 0.0, -n.x * inverseS),
            Vector3(n.x * n.y * inverseSN, -s2 * inverseSN, n.y * n.z * inverseSN)};
}

} // namespace orvex
