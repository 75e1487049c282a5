#pragma once
// The in-plane axis that frames a surface normal.

#include "orvex/core/Vector.h"

#include <cmath>

namespace orvex {

// The unit axis perpendicular to the normal n that lies in the global x-z plane:
// (n.z, 0, -n.x) / sqrt(n.x^2 + n.z^2). For a normal along ±Y, where that direction
// vanishes, it is +X. With the normal this axis fixes a right-handed frame.
inline Vector3 horizontalAxis(const Vector3& n) {
    const double s2 = n.x * n.x + n.z * n.z;
    if (s2 == 0.0)
        return Vector3(1.0, 0.0, 0.0);
    const double inverseS = 1.0 / std::sqrt(s2);
    return Vector3(n.z * inverseS, 0.0, -n.x * inverseS);
}

} // namespace orvex
