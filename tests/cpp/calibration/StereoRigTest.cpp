#include "orvex/calibration/StereoRig.h"

#include "LogCapture.h"
#include "calibration/CameraFixtures.h"
#include "core/GeometryExpect.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace orvex;
using orvex::testing::pinholeCamera;
using orvex::testing::pinholeDistortions;
using orvex::testing::vroCamera;

namespace {

// Camera 1 sits 150 to the right of camera 0, turned 12° towards it.
RigidTransform convergentTransform() {
    return RigidTransform(Rotation(0.5, -12.0, 0.3, Rotation::Deg), Vector3(-150.0, 2.0, 15.0));
}

StereoRig rigOf(const Camera& camera0, const Camera& camera1) {
    return StereoRig{camera0, camera1, convergentTransform()};
}

const Vector3 kPoints[] = {{0.0, 0.0, 700.0}, {35.5, -20.25, 650.0}, {-60.0, 45.0, 820.0}};

bool containsMessage(const std::vector<std::string>& messages, const std::string& text) {
    return std::find(messages.begin(), messages.end(), text) != messages.end();
}

} // namespace

// A world point goes to both pixels and comes back by every triangulation.
TEST(StereoRig, PinholeRigTriangulatesItsProjections) {
    for (const auto& set : pinholeDistortions()) {
        const StereoRig rig = rigOf(pinholeCamera(set), pinholeCamera(set, 0.0));
        for (const Vector3& point : kPoints) {
            const Vector2 pixel0 = rig.camera0.project(point);
            const Vector2 pixel1 = rig.camera1.project(rig.stereoTransformation * point);
            expectNear(rig.triangulNonLinearLS(pixel0, pixel1), point, 1e-5);
            expectNear(rig.triangulLinearLS(pixel0, pixel1), point, 1e-5);
            expectNear(rig.triangulMidPoint(pixel0, pixel1), point, 1e-5);
            expectNear(rig.triangulLinearEigen(pixel0, pixel1), point, 1e-5);
            Vector3 out;
            EXPECT_TRUE(rig.triangulNonLinearLS(out, pixel0, pixel1)) << set.name;
        }
    }
}

TEST(StereoRig, VroRigTriangulatesItsProjections) {
    for (unsigned type = 0; type < 7; ++type) {
        const StereoRig rig = rigOf(vroCamera(type), vroCamera(type));
        for (const Vector3& point : kPoints) {
            Vector2 pixel0, pixel1;
            ASSERT_TRUE(rig.camera0.tryProject(pixel0, point));
            ASSERT_TRUE(rig.camera1.tryProject(pixel1, rig.stereoTransformation * point));
            Vector3 out;
            ASSERT_TRUE(rig.triangulNonLinearLS(out, pixel0, pixel1)) << type;
            expectNear(out, point, 1e-4);
            expectNear(rig.triangulLinearEigen(pixel0, pixel1), point, 1e-4);
        }
    }
}

TEST(StereoRig, NoisyPixelsArePolishedToTheLeastReprojectionError) {
    const StereoRig rig = rigOf(pinholeCamera(pinholeDistortions()[4]), pinholeCamera(pinholeDistortions()[1]));
    const Vector3 point = kPoints[1];
    const Vector2 pixel0 = rig.camera0.project(point) + Vector2(0.3, -0.2);
    const Vector2 pixel1 = rig.camera1.project(rig.stereoTransformation * point) + Vector2(-0.25, 0.1);
    const auto reprojectionError = [&](const Vector3& p) {
        const Vector2 r0 = pixel0 - rig.camera0.project(p);
        const Vector2 r1 = pixel1 - rig.camera1.project(rig.stereoTransformation * p);
        return dot(r0, r0) + dot(r1, r1);
    };
    const Vector3 polished = rig.triangulNonLinearLS(pixel0, pixel1);
    const double best = reprojectionError(polished);
    for (int axis = 0; axis < 3; ++axis)
        for (double step : {-1e-3, 1e-3}) {
            Vector3 moved = polished;
            moved[axis] += step;
            EXPECT_GE(reprojectionError(moved), best);
        }
}

TEST(StereoRig, ParallelRaysFailWithAWarning) {
    // Identical cameras side by side: the same pixel gives parallel rays.
    const Camera camera = pinholeCamera(pinholeDistortions()[0]);
    const StereoRig rig{camera, camera, RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), Vector3(-100, 0, 0))};
    auto& log = orvex::testing::LogCapture::emptied();
    const Vector2 pixel(900.0, 700.0);
    expectNear(rig.triangulLinearLS(pixel, pixel), Vector3(), 0.0);
    expectNear(rig.triangulMidPoint(pixel, pixel), Vector3(), 0.0);
    expectNear(rig.triangulLinearEigen(pixel, pixel), Vector3(), 0.0);
    const auto messages = log.take();
    EXPECT_TRUE(containsMessage(messages, "Triangulation failed! Returning a null 3-D point..."));
    EXPECT_TRUE(containsMessage(messages, "Couldn't invert matrix in triangulate."));
    EXPECT_TRUE(containsMessage(messages, "Triangulated point at infinity!"));

    Vector3 out;
    EXPECT_FALSE(rig.triangulNonLinearLS(out, pixel, pixel));
    EXPECT_TRUE(rig.isNull() == false);
}

TEST(StereoRig, PolishingAnExactPointKeepsIt) {
    const StereoRig rig = rigOf(pinholeCamera(pinholeDistortions()[0]), pinholeCamera(pinholeDistortions()[0]));
    const Vector3 point(0.0, 0.0, 700.0);
    const Vector2 pixel0 = rig.camera0.project(point);
    const Vector2 pixel1 = rig.camera1.project(rig.stereoTransformation * point);
    Vector3 polished = point;
    EXPECT_TRUE(rig.polishPoint(polished, pixel0, pixel1));
    expectNear(polished, point, 1e-9);
}

TEST(StereoRig, PolishingAPointThatDoesNotProjectFails) {
    const StereoRig rig = rigOf(pinholeCamera(pinholeDistortions()[0]), pinholeCamera(pinholeDistortions()[0]));
    Vector3 point(1.0, 2.0, 0.0);  // in camera 0's plane
    EXPECT_FALSE(rig.polishPoint(point, {800.0, 600.0}, {800.0, 600.0}));
    expectNear(point, Vector3(1.0, 2.0, 0.0), 0.0);
}

TEST(StereoRig, NullWhenACameraOrTheTransformIsMissing) {
    const Camera camera = pinholeCamera(pinholeDistortions()[0]);
    EXPECT_FALSE((StereoRig{camera, camera, convergentTransform()}).isNull());
    EXPECT_TRUE((StereoRig{Camera(CameraType::Pinhole), camera, convergentTransform()}).isNull());
    EXPECT_TRUE((StereoRig{camera, Camera(CameraType::VRO), convergentTransform()}).isNull());
    EXPECT_TRUE((StereoRig{camera, camera, RigidTransform()}).isNull());
}

TEST(StereoRig, EpipolarMatrices) {
    const Camera camera = pinholeCamera(pinholeDistortions()[0]);
    const StereoRig sideways{camera, camera, RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), Vector3(1, 0, 0))};
    expectNear(sideways.essentialMatrix(), Matrix3x3{0, 0, 0, 0, 0, -1, 0, 1, 0}, 1e-15);

    // x1ᵀ·F·x0 = 0 for the pixels of any point.
    const StereoRig rig = rigOf(camera, pinholeCamera(pinholeDistortions()[0], 0.0));
    const Matrix3x3 f = rig.fundamentalMatrix();
    for (const Vector3& point : kPoints) {
        const Vector2 p0 = rig.camera0.project(point);
        const Vector2 p1 = rig.camera1.project(rig.stereoTransformation * point);
        const Vector3 line = f * Vector3(p0.x, p0.y, 1.0);
        EXPECT_NEAR(dot(line, Vector3(p1.x, p1.y, 1.0)) / norm(line), 0.0, 1e-9);
    }
}

TEST(StereoRig, TargetAnglesAreFolded) {
    const Camera camera = pinholeCamera(pinholeDistortions()[0]);
    const StereoRig rig{camera, camera, RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), Vector3(-100, 0, 0))};
    const RigidTransform target(Rotation(135.0, 20.0, -135.0, Rotation::Deg), Vector3());
    expectNear(rig.targetAngles(target), Vector3(-45.0, 20.0, 45.0), 1e-9);

    // A turned rig sees the target through half its own rotation.
    const StereoRig turned{camera, camera, RigidTransform(Rotation(0.0, 0.0, 30.0, Rotation::Deg), Vector3(-100, 0, 0))};
    expectNear(turned.targetAngles(RigidTransform(Rotation(0.0, 0.0, 10.0, Rotation::Deg), Vector3())),
               Vector3(0.0, 0.0, 25.0), 1e-9);
}

TEST(StereoRig, OrientationsAroundTheMiddleFrame) {
    const Camera camera = pinholeCamera(pinholeDistortions()[0]);
    const StereoRig straight{camera, camera, RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), Vector3(-100, 0, 0))};
    const auto [first, second] = straight.orientations();
    for (const RigidTransform* t : {&first, &second}) {
        const Vector3 angles = t->rotation().cardanBryant(Rotation::Deg);
        EXPECT_NEAR(std::abs(angles.x), 180.0, 1e-9);
        EXPECT_NEAR(angles.y, 0.0, 1e-9);
        EXPECT_NEAR(angles.z, 0.0, 1e-9);
    }
    expectNear(first.translation(), Vector3(50.0, 0.0, 0.0), 1e-12);
    expectNear(second.translation(), Vector3(-50.0, 0.0, 0.0), 1e-12);

    const StereoRig rig = rigOf(camera, camera);
    const auto [o0, o1] = rig.orientations();
    const RigidTransform expected = rig.stereoTransformation * o0;
    expectNear(o1.rotation().matrix(), expected.rotation().matrix(), 1e-12);
    expectNear(o1.translation(), expected.translation(), 1e-12);
    // The stereo transformation is carried over: o1·o0⁻¹ = S.
    const RigidTransform back = o1 * RigidTransform::inverse(o0);
    expectNear(back.translation(), rig.stereoTransformation.translation(), 1e-9);

    const auto [null0, null1] = (StereoRig{camera, camera, RigidTransform()}).orientations();
    EXPECT_TRUE(null0.isNull());
    EXPECT_TRUE(null1.isNull());
}
