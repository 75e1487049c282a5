#include "orvex/calibration/Homography.h"

#include "core/GeometryExpect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

using namespace orvex;

namespace {

const Matrix3x3 kHomography{1.2, 0.05, -30.0, -0.03, 0.95, 12.0, 2e-4, -1e-4, 1.0};

Vector2 apply(const Matrix3x3& h, const Vector2& p) {
    const Vector3 q = h * Vector3(p.x, p.y, 1.0);
    return {q.x / q.z, q.y / q.z};
}

PointPairs gridPairs(const Matrix3x3& h, int side) {
    PointPairs pairs;
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            const Vector2 source(100.0 * i + 7.0 * j, 80.0 * j - 3.0 * i);
            pairs.emplace_back(source, apply(h, source));
        }
    return pairs;
}

} // namespace

TEST(Homography, ExactPairsGiveTheHomography) {
    for (int side : {2, 5}) {
        Matrix3x3 h;
        ASSERT_TRUE(homographyEstimation(h, gridPairs(kHomography, side))) << side;
        expectNear(h, kHomography, 1e-9);
    }
}

TEST(Homography, NoisyPairsGiveANearbyHomography) {
    PointPairs pairs = gridPairs(kHomography, 12);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (auto& pair : pairs) pair.second += Vector2(noise(random), noise(random));
    Matrix3x3 h;
    ASSERT_TRUE(homographyEstimation(h, pairs));
    for (const auto& pair : gridPairs(kHomography, 12)) {
        const Vector2 mapped = apply(h, pair.first);
        EXPECT_NEAR(mapped.x, pair.second.x, 0.1);
        EXPECT_NEAR(mapped.y, pair.second.y, 0.1);
    }
}

TEST(Homography, DegenerateSetsFailAndLeaveHUntouched) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    PointPairs three = gridPairs(kHomography, 2);
    three.pop_back();
    PointPairs sameSource = gridPairs(kHomography, 2);
    for (auto& pair : sameSource) pair.first = Vector2(5.0, 5.0);
    PointPairs sameTarget = gridPairs(kHomography, 3);
    for (auto& pair : sameTarget) pair.second = Vector2(1.0, 2.0);
    PointPairs collinear;
    for (int i = 0; i < 6; ++i) collinear.emplace_back(Vector2(i, 2.0 * i), Vector2(3.0 * i, i));
    PointPairs notFinite = gridPairs(kHomography, 3);
    notFinite[4].second.y = nan;
    // A homography with H(2, 2) = 0 sends the origin to infinity: it has no normalised form.
    PointPairs vanishing = gridPairs(Matrix3x3{1, 0, 1, 0, 1, 0, 1, 0, 0}, 3);
    vanishing.erase(vanishing.begin());  // the origin itself

    const std::pair<const char*, const PointPairs*> cases[] = {
        {"three pairs", &three},    {"coincident sources", &sameSource}, {"coincident targets", &sameTarget},
        {"collinear", &collinear},  {"not finite", &notFinite},          {"vanishing h22", &vanishing}};
    for (const auto& [name, pairs] : cases) {
        Matrix3x3 h{9, 9, 9, 9, 9, 9, 9, 9, 9};
        EXPECT_FALSE(homographyEstimation(h, *pairs)) << name;
        EXPECT_EQ(h(1, 1), 9.0) << name;
    }
}
