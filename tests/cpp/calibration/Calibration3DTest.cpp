#include "orvex/calibration/Calibration3D.h"

#include "LogCapture.h"
#include "calibration/CalibrationFixtures.h"
#include "calibration/CameraFixtures.h"
#include "core/GeometryExpect.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

using namespace orvex;
using orvex::testing::affineMappings;
using orvex::testing::convergentStereoTransformation;
using orvex::testing::pinholeCamera;
using orvex::testing::pinholeDistortions;
using orvex::testing::stereoCalibration;
using orvex::testing::vroCamera;

namespace {

const Vector3 kWorldPoints[] = {{0.0, 0.0, 0.0}, {35.5, -20.25, 12.0}, {-60.0, 45.0, -30.0}};

Camera plainCamera() { return pinholeCamera(pinholeDistortions()[0]); }

void expectSameTransform(const RigidTransform& actual, const RigidTransform& expected, double tolerance) {
    ASSERT_FALSE(actual.isNull());
    expectNear(actual.rotation().matrix(), expected.rotation().matrix(), tolerance);
    expectNear(actual.translation(), expected.translation(), tolerance);
}

// World point to both real pixels and back, with the squared reprojection errors.
void expectRoundTrip(const Calibration3D& calibration, const Vector3& world, double tolerance,
                     const std::string& name) {
    Vector2 pixel0, pixel1;
    ASSERT_TRUE(calibration.reproject(pixel0, pixel1, world)) << name;
    Vector3 back;
    double error0 = -1.0, error1 = -1.0;
    ASSERT_TRUE(calibration.triangulate(back, pixel0, pixel1, &error0, &error1)) << name;
    expectNear(back, world, tolerance);
    EXPECT_LT(error0, 1e-10) << name;
    EXPECT_LT(error1, 1e-10) << name;
    EXPECT_GE(error0, 0.0) << name;
}

} // namespace

TEST(Calibration3D, DefaultIsEmpty) {
    const Calibration3D calibration;
    EXPECT_FALSE(calibration.isComplete());
    EXPECT_TRUE(calibration.stereoTransformation().isNull());
    expectNear(calibration.fundamentalMatrix(), Matrix3x3(), 0.0);
    EXPECT_TRUE(calibration.camera(0).isNull());
    EXPECT_EQ(calibration.camera(0).getRawData().type, CameraType::Pinhole);
    EXPECT_TRUE(calibration.camera(5).isNull());
    EXPECT_TRUE(calibration.orientation(1).isNull());
    EXPECT_TRUE(calibration.orientation(-3).isNull());
    EXPECT_TRUE(calibration.externalCameraIds().empty());
    EXPECT_TRUE(calibration.magnificationKeys().empty());
    EXPECT_TRUE(calibration.residualKeys().empty());
    expectNear(calibration.magnification(0), Vector3(-1.0, -1.0, -1.0), 0.0);
    EXPECT_EQ(calibration.residualError(0), -1.0f);
    EXPECT_FALSE(calibration.inverseMappingCalibrated());
    Vector2 out;
    EXPECT_TRUE(calibration.realToVirtual0(out, {3.0, 4.0}));
    EXPECT_EQ(out.x, 3.0);
    EXPECT_EQ(out.y, 4.0);
}

TEST(Calibration3D, StereoTransformationPlacesBothCameras) {
    Calibration3D calibration;
    calibration.setStereoTransformation(convergentStereoTransformation(), false);
    expectSameTransform(calibration.stereoTransformation(), convergentStereoTransformation(), 1e-12);

    calibration.setStereoTransformation(RigidTransform::identity(), false);
    const RigidTransform inverse0 = RigidTransform::inverse(calibration.transformation0());
    expectNear(inverse0.rotation().matrix(), Matrix3x3{1, 0, 0, 0, -1, 0, 0, 0, -1}, 1e-12);
    expectNear(inverse0.translation(), Vector3(), 1e-12);
    EXPECT_FALSE(calibration.isComplete());  // the cameras are still unset

    // keep: a set camera-0 orientation stays; only camera 1 moves.
    const RigidTransform own(Rotation(1.0, 2.0, 3.0, Rotation::Deg), Vector3(4.0, 5.0, 6.0));
    calibration.setCamera0(plainCamera(), own);
    calibration.setStereoTransformation(convergentStereoTransformation(), true);
    expectSameTransform(calibration.transformation0(), own, 0.0);
    expectSameTransform(calibration.stereoTransformation(), convergentStereoTransformation(), 1e-12);
    // keep with a null camera-0 orientation acts as without it.
    Calibration3D fresh;
    fresh.setStereoTransformation(convergentStereoTransformation(), true);
    Calibration3D plain;
    plain.setStereoTransformation(convergentStereoTransformation(), false);
    expectSameTransform(fresh.transformation0(), plain.transformation0(), 0.0);
}

TEST(Calibration3D, ANullStereoTransformationLeavesTheRigIncomplete) {
    Calibration3D calibration = stereoCalibration(plainCamera(), plainCamera());
    ASSERT_TRUE(calibration.isComplete());
    calibration.setStereoTransformation(RigidTransform(), true);
    EXPECT_FALSE(calibration.transformation0().isNull());  // kept
    EXPECT_TRUE(calibration.transformation1().isNull());
    EXPECT_FALSE(calibration.isComplete());
    calibration.setStereoTransformation(RigidTransform(), false);
    EXPECT_TRUE(calibration.transformation0().isNull());
    EXPECT_TRUE(calibration.stereoTransformation().isNull());
}

TEST(Calibration3D, IdsAndKeys) {
    Calibration3D calibration;
    calibration.setResidualError(-5, 0.3f);
    EXPECT_EQ(calibration.residualError(-1), 0.3f);
    EXPECT_EQ(calibration.residualError(-9), 0.3f);
    EXPECT_EQ(calibration.residualKeys(), std::vector<int>{-1});
    calibration.setMagnification(-5, {1.0, 2.0, 3.0});
    EXPECT_EQ(calibration.magnificationKeys(), std::vector<int>{-5});
    expectNear(calibration.magnification(-5), Vector3(1.0, 2.0, 3.0), 0.0);

    const Camera external = vroCamera(2);
    const RigidTransform orientation(Rotation(0.0, 0.0, 0.0, Rotation::Deg), Vector3(1.0, 0.0, 0.0));
    calibration.setCamera(7, external, orientation);
    calibration.setCamera(1, plainCamera(), orientation);
    EXPECT_EQ(calibration.externalCameraIds(), std::vector<int>{7});
    EXPECT_EQ(calibration.camera(7).getRawData().type, CameraType::VRO);
    EXPECT_EQ(calibration.camera(1).getRawData().fx, plainCamera().getRawData().fx);
    expectSameTransform(calibration.orientation(7), orientation, 0.0);

    calibration.clear();
    EXPECT_TRUE(calibration.camera(1).isNull());
    EXPECT_EQ(calibration.externalCameraIds(), std::vector<int>{7});
    calibration.clearMagnifications();
    calibration.clearResiduals();
    EXPECT_TRUE(calibration.magnificationKeys().empty());
    EXPECT_TRUE(calibration.residualKeys().empty());
}

TEST(Calibration3D, CopiesAreDeepAndIndependent) {
    Calibration3D source = stereoCalibration(plainCamera(), vroCamera(1));
    source.setCamera(-2, vroCamera(0), convergentStereoTransformation());
    source.setMagnification(0, {1.0, 2.0, 3.0});
    source.setResidualError(1, 0.5f);
    const auto [forward, reverse] = affineMappings();
    source.setInverseMapping1(forward, reverse);
    const Matrix3x3 f = source.fundamentalMatrix();

    Calibration3D copy(source);
    Calibration3D assigned;
    assigned = source;
    for (const Calibration3D* c : {&copy, &assigned}) {
        EXPECT_EQ(c->toJson(), source.toJson());
        expectNear(c->fundamentalMatrix(), f, 0.0);
    }
    copy.setMagnification(0, {9.0, 9.0, 9.0});
    copy.setCamera(-2, plainCamera(), RigidTransform());
    expectNear(source.magnification(0), Vector3(1.0, 2.0, 3.0), 0.0);
    EXPECT_EQ(source.camera(-2).getRawData().type, CameraType::VRO);

    Calibration3D& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.toJson(), source.toJson());
}

// World point to both pixels and back, for pinhole cameras with each distortion set
// and VRO cameras of every system type.
TEST(Calibration3D, KnownStereoCaseEndToEnd) {
    for (const auto& set : pinholeDistortions()) {
        const Calibration3D calibration = stereoCalibration(pinholeCamera(set), pinholeCamera(set, 0.0));
        ASSERT_TRUE(calibration.isComplete());
        for (const Vector3& world : kWorldPoints)
            expectRoundTrip(calibration, world, 1e-5, "pinhole " + set.name);
    }
    for (unsigned type = 0; type < 7; ++type) {
        const Calibration3D calibration = stereoCalibration(vroCamera(type), vroCamera(type));
        for (const Vector3& world : kWorldPoints)
            expectRoundTrip(calibration, world, 1e-4, "VRO " + std::to_string(type));
    }
}

TEST(Calibration3D, InverseMappingsTakePixelsBetweenRealAndVirtual) {
    Calibration3D calibration = stereoCalibration(pinholeCamera(pinholeDistortions()[4]), plainCamera());
    const auto [forward, reverse] = affineMappings();
    calibration.setInverseMapping0(forward, reverse);
    calibration.setInverseMapping1(forward, reverse);
    EXPECT_TRUE(calibration.inverseMappingCalibrated());

    Vector2 out(-7.0, -7.0);
    ASSERT_TRUE(calibration.realToVirtual0(out, {800.0, 600.0}));
    EXPECT_NEAR(out.x, 1.002 * 800.0 - 1.5, 1e-8);
    EXPECT_NEAR(out.y, 0.998 * 600.0 + 2.0, 1e-8);
    out = Vector2(-7.0, -7.0);
    EXPECT_FALSE(calibration.realToVirtual1(out, {-10.0, 600.0}));
    EXPECT_EQ(out.x, -7.0);

    for (const Vector3& world : kWorldPoints)
        expectRoundTrip(calibration, world, 1e-5, "mapped");
    Vector3 world(1.0, 2.0, 3.0);
    EXPECT_FALSE(calibration.triangulate(world, {-10.0, 600.0}, {800.0, 600.0}));
    expectNear(world, Vector3(1.0, 2.0, 3.0), 0.0);

    // The fundamental matrix is cached.
    const Matrix3x3 f = calibration.fundamentalMatrix();
    expectNear(calibration.fundamentalMatrix(), f, 0.0);
}

TEST(Calibration3D, FundamentalMatrixOfAffineMappings) {
    Calibration3D calibration = stereoCalibration(plainCamera(), pinholeCamera(pinholeDistortions()[0], 0.0));
    const auto [forward, reverse] = affineMappings();
    calibration.setInverseMapping0(forward, reverse);
    calibration.setInverseMapping1(forward, reverse);
    const Matrix3x3 f = calibration.fundamentalMatrix();
    for (const Vector3& point : kWorldPoints) {
        Vector2 p0, p1;
        ASSERT_TRUE(calibration.reproject(p0, p1, point));
        const Vector3 line = f * Vector3(p0.x, p0.y, 1.0);
        EXPECT_NEAR(dot(line, Vector3(p1.x, p1.y, 1.0)) / norm(line), 0.0, 1e-6);
    }
    // A change of camera 0 is seen at the next request.
    calibration.setCamera0(pinholeCamera(pinholeDistortions()[0], 25.0), calibration.transformation0());
    EXPECT_NE(calibration.fundamentalMatrix()(0, 0), f(0, 0));
}

// The homography fitted to an identity mapping is the identity.
TEST(Calibration3D, IdentityMappingsLeaveTheFundamentalMatrix) {
    Calibration3D calibration = stereoCalibration(plainCamera(), pinholeCamera(pinholeDistortions()[0], 0.0));
    const Matrix3x3 plain = calibration.fundamentalMatrix();
    const SplineTransform identity =
        orvex::testing::fittedMapping([](const Vector2& p) { return p; }, 0.0, 0.0, 1600.0, 1200.0);
    calibration.setInverseMapping0(identity, identity);
    calibration.setInverseMapping1(identity, identity);
    const Matrix3x3 mapped = calibration.fundamentalMatrix();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(mapped(r, c), plain(r, c), 1e-9 * std::abs(plain(r, c)) + 1e-15);
}

TEST(Calibration3D, SingularCameraMatrixGivesNoFundamentalMatrix) {
    CameraData flat = plainCamera().getRawData();
    flat.fx = 0.0;  // set, but K is singular
    Calibration3D calibration = stereoCalibration(Camera(flat), plainCamera());
    auto& log = orvex::testing::LogCapture::emptied();
    expectNear(calibration.fundamentalMatrix(), Matrix3x3(), 0.0);
    EXPECT_FALSE(log.take().empty());
    calibration.setCamera0(plainCamera(), calibration.transformation0());
    EXPECT_NE(calibration.fundamentalMatrix()(0, 1), 0.0);
}

TEST(Calibration3D, ParallelRaysAreAFailedTriangulation) {
    // Identical cameras side by side see the same pixel along parallel rays.
    Calibration3D calibration;
    calibration.setCamera(0, plainCamera(), RigidTransform::identity());
    calibration.setCamera(1, plainCamera(), RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), Vector3(-100, 0, 0)));
    Vector3 world(1.0, 2.0, 3.0);
    double e0 = 5.0, e1 = 5.0;
    EXPECT_FALSE(calibration.triangulate(world, {900.0, 700.0}, {900.0, 700.0}, &e0, &e1));
    expectNear(world, Vector3(1.0, 2.0, 3.0), 0.0);
    EXPECT_EQ(e0, 5.0);
}

TEST(Calibration3D, ReprojectingAPointInTheCameraPlaneFails) {
    Calibration3D calibration;
    calibration.setCamera(0, plainCamera(), RigidTransform::identity());
    calibration.setCamera(1, plainCamera(), RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), Vector3(0, 0, 100)));
    Vector2 p0(-1.0, -1.0), p1(-1.0, -1.0);
    EXPECT_FALSE(calibration.reproject(p0, p1, {10.0, 10.0, 0.0}));
    EXPECT_EQ(p0.x, -1.0);
    EXPECT_FALSE(calibration.reproject(p0, p1, {10.0, 10.0, -100.0}));  // camera 1's plane
    EXPECT_EQ(p1.x, -1.0);
}

TEST(Calibration3D, ErrorsNeedBothOutputs) {
    const Calibration3D calibration = stereoCalibration(plainCamera(), plainCamera());
    Vector2 p0, p1;
    ASSERT_TRUE(calibration.reproject(p0, p1, kWorldPoints[1]));
    Vector3 world;
    double error0 = 7.0;
    ASSERT_TRUE(calibration.triangulate(world, p0 + Vector2(0.5, 0.0), p1, &error0, nullptr));
    EXPECT_EQ(error0, 7.0);
    double error1 = 7.0;
    ASSERT_TRUE(calibration.triangulate(world, p0 + Vector2(0.5, 0.0), p1, &error0, &error1));
    EXPECT_GT(error0, 0.0);
    EXPECT_GT(error1, 0.0);
    EXPECT_LT(error0 + error1, 0.5);
}

TEST(Calibration3D, CoordinateTransformationMovesTheWorld) {
    Calibration3D calibration = stereoCalibration(plainCamera(), plainCamera());
    Vector2 p0, p1;
    ASSERT_TRUE(calibration.reproject(p0, p1, kWorldPoints[1]));
    Vector3 before;
    ASSERT_TRUE(calibration.triangulate(before, p0, p1));
    const RigidTransform stereo = calibration.stereoTransformation();
    const Matrix3x3 f = calibration.fundamentalMatrix();
    const RigidTransform move(Rotation(30.0, -10.0, 5.0, Rotation::Deg), Vector3(1.0, 2.0, 3.0));
    calibration.setCoordinateTransformation(move);
    Vector3 after;
    ASSERT_TRUE(calibration.triangulate(after, p0, p1));
    expectNear(after, move * before, 1e-9);
    expectSameTransform(calibration.stereoTransformation(), stereo, 1e-12);
    expectNear(calibration.fundamentalMatrix(), f, 0.0);

    // An unset orientation stays unset.
    Calibration3D partial;
    partial.setCamera(3, plainCamera(), RigidTransform());
    partial.setCoordinateTransformation(move);
    EXPECT_TRUE(partial.orientation(3).isNull());
    EXPECT_TRUE(partial.orientation(0).isNull());
}

TEST(Calibration3D, ConfidenceFromImageCovariance) {
    Calibration3D calibration = stereoCalibration(plainCamera(), plainCamera());
    Vector2 p0, p1;
    ASSERT_TRUE(calibration.reproject(p0, p1, kWorldPoints[1]));
    Matrix4x4 covariance;
    for (int i = 0; i < 4; ++i) covariance(i, i) = 0.01;
    Vector3 deviation;
    ASSERT_TRUE(calibration.computeConfidence(deviation, p0, p1, covariance));
    for (int i = 0; i < 3; ++i) {
        EXPECT_GT(deviation[i], 0.0);
        EXPECT_LT(deviation[i], 1.0);
    }
    // Depth is the least certain direction of a stereo pair; in the moved world frame
    // that is no axis in particular, so only compare the norm with a scaled covariance.
    Matrix4x4 four = covariance * 4.0;
    Vector3 doubled;
    ASSERT_TRUE(calibration.computeConfidence(doubled, p0, p1, four));
    expectNear(doubled, deviation * 2.0, 1e-6);

    // A covariance that is not one gives no deviation rather than NaN.
    Matrix4x4 negative = covariance * -1.0;
    Vector3 untouched(-1.0, -1.0, -1.0);
    EXPECT_FALSE(calibration.computeConfidence(untouched, p0, p1, negative));
    expectNear(untouched, Vector3(-1.0, -1.0, -1.0), 0.0);
    // Nor does a pair that does not triangulate.
    Calibration3D empty;
    EXPECT_FALSE(empty.computeConfidence(untouched, p0, p1, covariance));
}
