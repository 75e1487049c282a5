#pragma once
// Approximate comparisons of vectors and 3x3 matrices for the rotation tests.

#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Vector.h"

#include <gtest/gtest.h>

#include <cmath>

inline void expectNear(const orvex::Vector3& actual, const orvex::Vector3& expected, double tolerance) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

inline void expectNear(const orvex::Matrix3x3& actual, const orvex::Matrix3x3& expected, double tolerance) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(actual(r, c), expected(r, c), tolerance) << "element (" << r << ", " << c << ")";
}

inline bool allFinite(const orvex::Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}
