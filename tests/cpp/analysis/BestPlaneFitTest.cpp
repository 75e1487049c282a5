#include "orvex/analysis/BestPlaneFit.h"

#include "AreaBuilder.h"
#include "core/GeometryExpect.h"

#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using namespace orvex;

namespace {

// A 4 x 3 grid of points on the plane through `origin` spanned by e1 and e2.
Array1<Vector3> planePoints(const Vector3& origin, const Vector3& e1, const Vector3& e2) {
    Array1<Vector3> points;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) points.push_back(origin + e1 * (1.5 * c) + e2 * (0.7 * r * r + r));
    return points;
}

void expectFlat(const RigidTransform& t, const Array1<Vector3>& points) {
    Vector3 mean;
    for (const Vector3& p : points) {
        const Vector3 q = t * p;
        EXPECT_NEAR(q.z, 0.0, 1e-12);
        mean += q;
    }
    expectNear(mean * (1.0 / double(points.size())), Vector3(), 1e-12);
}

} // namespace

TEST(BestPlaneFit, HorizontalPlaneIsAShift) {
    const Array1<Vector3> points = planePoints(Vector3(1, 2, 5), Vector3(1, 0, 0), Vector3(0, 1, 0));
    const auto plane = averageNormal(points);
    ASSERT_TRUE(plane);
    expectNear(plane->first, Vector3(0, 0, 1), 1e-15);
    const auto t = bestPlaneFit(points);
    ASSERT_TRUE(t);
    expectNear(t->rotation().matrix(), Matrix3x3::identity(), 1e-15);
    expectNear(t->translation(), plane->second * -1.0, 1e-14);
}

// Tilted planes, also those of constant y (a normal along ±Y), in either point order:
// the normal points up (z >= 0) and the transform lays the points on z = 0.
TEST(BestPlaneFit, TiltedPlanesAreAlignedToZZero) {
    const Vector3 tilts[][2] = {{{1, 0, 0.5}, {0, 1, -0.3}},
                                {{0.2, -1, 0}, {0.9, 0, 2}},
                                {{1, 0, 0}, {0, 0, 1}},    // plane y = const
                                {{0, 0, 1}, {1, 0, 0}}};
    for (const auto& tilt : tilts) {
        for (bool reversed : {false, true}) {
            SCOPED_TRACE(::testing::Message() << tilt[0].x << " " << tilt[0].y << " " << tilt[0].z << " / "
                                              << tilt[1].x << " " << tilt[1].y << " " << tilt[1].z << ", "
                                              << reversed);
            Array1<Vector3> points = planePoints(Vector3(-3, 7, 2), tilt[0], tilt[1]);
            if (reversed) std::reverse(points.begin(), points.end());
            const auto plane = averageNormal(points);
            ASSERT_TRUE(plane);
            EXPECT_GE(plane->first.z, 0.0);
            EXPECT_NEAR(norm(plane->first), 1.0, 1e-15);
            const auto t = bestPlaneFit(points);
            ASSERT_TRUE(t);
            expectFlat(*t, points);
        }
    }
}

TEST(BestPlaneFit, AlignZAxisToVector) {
    struct Case {
        Vector3 direction;
        Matrix3x3 expected;
    };
    const Case cases[] = {{{1, 0, 0}, {0, 0, -1, 0, 1, 0, 1, 0, 0}},
                          {{0, 0, 1}, Matrix3x3::identity()},
                          {{0, 1, 0}, {1, 0, 0, 0, 0, -1, 0, 1, 0}},
                          {{0, -1, 0}, {1, 0, 0, 0, 0, 1, 0, -1, 0}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.direction.x << " " << c.direction.y << " " << c.direction.z);
        const Matrix3x3 m = alignZAxisToVector(c.direction);
        expectNear(m, c.expected, 0.0);
        expectNear(m * c.direction, Vector3(0, 0, 1), 0.0);
    }
}

TEST(BestPlaneFit, UndefinedPlanes) {
    EXPECT_FALSE(bestPlaneFit(Array1<Vector3>{{0, 0, 0}, {1, 1, 1}}));
    Array1<Vector3> withNaN = planePoints(Vector3(), Vector3(1, 0, 0), Vector3(0, 1, 0));
    withNaN[3].z = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(bestPlaneFit(withNaN));
}

namespace {

// A 3 x 2 area on the plane z = x (reference) displaced onto z = 5 - y; point 0 is
// blanked; U, V, W are left out when `displaced` is false.
ZelData planeArea(bool displaced, bool blanked = true) {
    std::vector<float> X, Y, Z, U, V, W, blanking;
    for (int p = 0; p < 6; ++p) {
        const float x = float(p % 3) + 10.0f * float(p == 0), y = float(p / 3) * 2.0f;
        X.push_back(x), Y.push_back(y), Z.push_back(x);
        U.push_back(0.0f), V.push_back(0.0f), W.push_back(5.0f - y - x);
        blanking.push_back(blanked && p == 0 ? -1.0f : 0.0f);
    }
    std::vector<AreaVariable> variables = {{"X", GlobalCoordinate, X}, {"Y", GlobalCoordinate, Y},
                                           {"Z", GlobalCoordinate, Z}, {"sigma", Correlation, blanking}};
    if (displaced)
        for (auto&& v : {AreaVariable{"U", GlobalDisplacement, U}, AreaVariable{"V", GlobalDisplacement, V},
                         AreaVariable{"W", GlobalDisplacement, W}})
            variables.push_back(v);
    return makeArea(3, 2, variables);
}

ZelDataSet setOf(const std::vector<ZelData>& areas) {
    ZelDataSet set;
    for (const ZelData& area : areas) set.addData(new ZelData(area));
    return set;
}

Vector3 normalOf(const RigidTransform& t) {
    const Matrix3x3& m = t.rotation().matrix();
    return Vector3(m(2, 0), m(2, 1), m(2, 2));
}

const RigidTransform kUnchanged(Rotation(1, 2, 3, Rotation::Deg), Vector3(4, 5, 6));

} // namespace

// The deformed plane z = 5 - y, the reference plane z = x; an area without blanking
// adds nothing; areas with and without displacements never mix.
TEST(BestPlaneFit, DataSetPositions) {
    const double s = 1.0 / std::sqrt(2.0);
    struct Case {
        std::vector<ZelData> areas;
        bool ignoreDisplacement;
        bool fits;
        Vector3 normal;
    };
    const ZelData noBlanking = makeArea(3, 1, {{"X", GlobalCoordinate, {0, 9, 0}}, {"Y", GlobalCoordinate, {4, 0, 1}},
                                               {"Z", GlobalCoordinate, {7, 7, -7}}});
    const Case cases[] = {
        {{planeArea(true)}, false, true, {0, s, s}},
        {{planeArea(true)}, true, true, {-s, 0, s}},
        {{planeArea(false), planeArea(false)}, false, true, {-s, 0, s}},
        {{planeArea(true), noBlanking}, false, true, {0, s, s}},
        {{planeArea(true), planeArea(false)}, false, false, {}},
        {{planeArea(true), planeArea(false)}, true, true, {-s, 0, s}},
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(k);
        const ZelDataSet set = setOf(cases[k].areas);
        RigidTransform t = kUnchanged;
        ASSERT_EQ(computeBestPlaneFit(t, set, cases[k].ignoreDisplacement), cases[k].fits);
        if (cases[k].fits)
            expectNear(normalOf(t), cases[k].normal, 1e-6);
        else
            EXPECT_EQ(t, kUnchanged);
    }
}

TEST(BestPlaneFit, TwoValidPointsAreNoPlane) {
    ZelData area = planeArea(true, false);
    float* blanking = nullptr;
    ASSERT_TRUE(area.findBlankingVariable(blanking));
    std::fill(blanking, blanking + 4, -1.0f);
    const ZelDataSet set = setOf({area});
    RigidTransform t = kUnchanged;
    EXPECT_FALSE(computeBestPlaneFit(t, set, false));
    EXPECT_EQ(t, kUnchanged);
}
