#include "orvex/analysis/AxisConstrainedFit.h"

#include "LogCapture.h"
#include "core/GeometryExpect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace orvex;

namespace {

using Log = orvex::testing::LogCapture;

bool logged(const std::vector<std::string>& messages, const std::string& text) {
    return std::find(messages.begin(), messages.end(), text) != messages.end();
}

int countStartingWith(const std::vector<std::string>& messages, const std::string& prefix) {
    return int(std::count_if(messages.begin(), messages.end(),
                             [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }));
}

const std::vector<Vector3> kPoints = {{0, 0, 0}, {4, 0, 1}, {0, 3, -1}, {5, 5, 2}, {-2, 1, 0.5}, {1, -3, 0}};

AxisTargets all(const Vector3& p) { return {p.x, p.y, p.z}; }
AxisTargets onlyZ(double z) { return {std::nullopt, std::nullopt, z}; }

} // namespace

// Complete targets that are a moved copy of the points give back the motion.
TEST(AxisConstrainedFit, RecoversAMotionFromCompleteTargets) {
    const RigidTransform motion(Rotation(20, -10, 75, Rotation::Deg), Vector3(3, -4, 8));
    std::vector<AxisTargets> targets;
    for (const Vector3& p : kPoints) targets.push_back(all(motion * p));
    double rms = -1.0;
    const auto fitted = fitRigidTransform(rms, kPoints, targets);
    ASSERT_TRUE(fitted);
    expectNear(fitted->rotation().matrix(), motion.rotation().matrix(), 1e-9);
    expectNear(fitted->translation(), motion.translation(), 1e-9);
    EXPECT_LT(rms, 1e-9);
}

// Six points on a tilted plane with z targets 0: the plane is laid onto z = 0, and
// the free x and y axes are centred.
TEST(AxisConstrainedFit, PlaneTargetsLayATiltedPlaneFlat) {
    const RigidTransform tilt(Rotation(25, -15, 40, Rotation::Deg), Vector3(1, 2, 3));
    std::vector<Vector3> points;
    std::vector<AxisTargets> targets;
    for (const Vector3& p : kPoints) {
        points.push_back(tilt * Vector3(p.x, p.y, 0.0));
        targets.push_back(onlyZ(0.0));
    }
    auto& log = Log::emptied();
    double rms = -1.0;
    const auto fitted = fitRigidTransform(rms, points, targets);
    ASSERT_TRUE(fitted);
    EXPECT_LT(rms, 1e-9);
    Vector3 mean;
    for (const Vector3& p : points) {
        const Vector3 q = *fitted * p;
        EXPECT_NEAR(q.z, 0.0, 1e-9);
        mean += q * (1.0 / double(points.size()));
    }
    EXPECT_NEAR(mean.x, 0.0, 1e-9);
    EXPECT_NEAR(mean.y, 0.0, 1e-9);
    const std::vector<std::string> messages = log.take();
    EXPECT_EQ(countStartingWith(messages, "Axis 2 target 0 score: "), 1);
    EXPECT_EQ(countStartingWith(messages, "iteration 0 error: "), 1);
    EXPECT_EQ(countStartingWith(messages, "Final coordinate system fit residuals: "), 1);
}

// A z plane and an x line: the turn about z makes the line run perpendicular to x.
TEST(AxisConstrainedFit, LineFixesTheTurnAboutThePlaneNormal) {
    std::vector<Vector3> points = {{0, 0, 0}, {2, 1, 0}, {4, 2, 0}, {1, 5, 0}, {-3, 2, 0}};
    std::vector<AxisTargets> targets(points.size(), onlyZ(0.0));
    for (int i = 0; i < 3; ++i) targets[std::size_t(i)][0] = 7.0;  // x = 7 along the line (0,0,0) -> (4,2,0)
    auto& log = Log::emptied();
    double rms = -1.0;
    const auto fitted = fitRigidTransform(rms, points, targets);
    ASSERT_TRUE(fitted);
    EXPECT_LT(rms, 1e-9);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR((*fitted * points[std::size_t(i)]).x, 7.0, 1e-9);
    EXPECT_EQ(countStartingWith(log.take(), "Line secondary axis: 0"), 1);
}

TEST(AxisConstrainedFit, RefusedInputs) {
    struct Case {
        std::vector<Vector3> points;
        std::vector<AxisTargets> targets;
        std::string message;
    };
    const Case cases[] = {
        {{{0, 0, 0}, {1, 0, 0}}, {all({0, 0, 0}), {1.0, 2.0, std::nullopt}}, "Not enough observations for rigid body fit."},
        {{}, {}, "Not enough observations for rigid body fit."},
        // six different z targets: no two points share a plane
        {kPoints, {onlyZ(0), onlyZ(1), onlyZ(2), onlyZ(3), onlyZ(4), onlyZ(5)}, "No enough constraints to define a plane."},
        {kPoints, {all({0, 0, 0}), all({1, 0, 0})}, "Fewer targets than points for rigid body fit: 2 for 6 points."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        auto& log = Log::emptied();
        double rms = -1.0;
        EXPECT_FALSE(fitRigidTransform(rms, c.points, c.targets));
        EXPECT_TRUE(logged(log.take(), c.message));
        EXPECT_EQ(rms, -1.0);
    }
}

// Targets within 1e-6 of each other count as one plane; 2e-6 apart they do not.
TEST(AxisConstrainedFit, TargetsWithinAMicroShareAGroup) {
    for (const auto& [gap, groups] : {std::pair{5e-7, 1}, std::pair{2e-6, 2}}) {
        SCOPED_TRACE(gap);
        std::vector<AxisTargets> targets;
        for (std::size_t i = 0; i < kPoints.size(); ++i) targets.push_back(onlyZ(i < 3 ? 0.0 : gap));
        auto& log = Log::emptied();
        double rms = -1.0;
        EXPECT_TRUE(fitRigidTransform(rms, kPoints, targets));
        EXPECT_EQ(countStartingWith(log.take(), "Axis 2 target "), groups);
    }
}
