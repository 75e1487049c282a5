#include "orvex/calibration/Camera.h"

#include "LogCapture.h"
#include "calibration/CameraFixtures.h"
#include "calibration/OpenCvProjectionTable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace orvex;
using orvex::testing::DistortionSet;
using orvex::testing::pinholeCamera;
using orvex::testing::pinholeDistortions;
using orvex::testing::vroCamera;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Camera plainPinhole() {
    CameraData data;
    data.cx = 320.0;
    data.cy = 240.0;
    data.fx = 1000.0;
    data.fy = 1000.0;
    return Camera(data);
}

} // namespace

TEST(CameraData, InitResetsEveryFieldAndCoefficientArray) {
    CameraData data;
    data.type = CameraType::VRO;
    data.fx = 3.0;
    data.skew = 2.0;
    data.numRadial = 2;
    data.radial[1] = 4.0;
    data.vroFirst[9] = 5.0;
    data.vroSecond[23] = 6.0;
    data.csType = VROSystemType(4);
    data.init();
    EXPECT_EQ(data.type, CameraType::Pinhole);
    EXPECT_TRUE(std::isnan(data.cx) && std::isnan(data.cy) && std::isnan(data.fx) && std::isnan(data.fy));
    EXPECT_EQ(data.skew, 0.0);
    EXPECT_EQ(data.numRadial, 0);
    EXPECT_EQ(data.radial[1], 0.0);
    EXPECT_EQ(data.vroFirst[9], 0.0);
    EXPECT_EQ(data.vroSecond[23], 0.0);
    EXPECT_EQ(data.csType, 0u);
    EXPECT_TRUE(Camera(data).isNull());
    EXPECT_TRUE(Camera(CameraType::VRO).isNull());
    EXPECT_EQ(Camera(CameraType::VRO).getRawData().type, CameraType::VRO);
}

TEST(CameraData, SetCountsFollowTheSystemType) {
    const int first[] = {11, 11, 11, 9, 9, 9, 0};
    const int second[] = {36, 11, 22, 36, 9, 22, 0};
    for (unsigned type = 0; type < 7; ++type) {
        EXPECT_EQ(vroFirstSetCount(VROSystemType(type)), first[type]) << type;
        EXPECT_EQ(vroSecondSetCount(VROSystemType(type)), second[type]) << type;
    }
    EXPECT_EQ(vroSecondSetCount(VROSystemType(0xFFFFFFFFu)), 0);
}

TEST(Camera, DistortionOrders) {
    struct Case {
        double k1, k2, k3;
        int order;
    };
    for (const Case& c : {Case{0, 0, 5, 3}, Case{0, 2, 0, 2}, Case{1, 0, 0, 1}, Case{0, 0, 0, 0}, Case{kNaN, 0, 0, 1}}) {
        Camera camera(CameraType::Pinhole);
        camera.setRadialDistortion(c.k1, c.k2, c.k3);
        EXPECT_EQ(camera.getRawData().numRadial, c.order) << c.k1 << " " << c.k2 << " " << c.k3;
        EXPECT_EQ(camera.getRawData().radial[2], c.k3);
    }
    Camera camera(CameraType::Pinhole);
    const std::pair<int, int> twice[] = {{0, 0}, {1, 2}, {2, 4}, {3, 0}, {-1, 0}};
    for (const auto& [order, count] : twice) {
        camera.setTangentialDistortionOrder(order);
        camera.setPrismaticDistortionOrder(order);
        EXPECT_EQ(camera.getRawData().numTangential, count) << order;
        EXPECT_EQ(camera.getRawData().numPrismatic, count) << order;
    }
    camera.setRadialDistortionOrder(4);
    EXPECT_EQ(camera.getRawData().numRadial, 0);
    camera.setRadialDistortionOrder(3);
    EXPECT_EQ(camera.getRawData().numRadial, 3);
}

TEST(Camera, PolynomialTermsAreOrderedByDegreeThenDescendingPowerOfX) {
    const Vector2 p(2.0, 3.0);
    // x², xy, y², x³, x²y, xy², y³, x⁴, x³y, x²y², xy³, y⁴, x⁵, x⁴y, x³y², x²y³, xy⁴, y⁵
    const double terms[18] = {4, 6, 9, 8, 12, 18, 27, 16, 24, 36, 54, 81, 32, 48, 72, 108, 162, 243};
    for (int k = 0; k < 18; ++k) {
        double a[36] = {};
        a[k] = 1.0;
        a[18 + k] = 2.0;
        const Vector2 fifth = Camera::distort5thPoly(p, a);
        EXPECT_EQ(fifth.x, p.x + terms[k]) << k;
        EXPECT_EQ(fifth.y, p.y + 2.0 * terms[k]) << k;
        if (k < 12) {
            double b[24] = {};
            b[k] = 1.0;
            b[12 + k] = 2.0;
            const Vector2 fourth = Camera::distort4thPoly(p, b);
            EXPECT_EQ(fourth.x, p.x + terms[k]) << k;
            EXPECT_EQ(fourth.y, p.y + 2.0 * terms[k]) << k;
        }
    }
}

TEST(Camera, UndistortionInvertsDistortion) {
    const double zero[4] = {};
    Vector2 position(0.3, -0.2);
    EXPECT_TRUE(Camera::undistortR3D2P2(position, zero, zero, zero, 1e-9));
    EXPECT_EQ(position.x, 0.3);
    EXPECT_EQ(position.y, -0.2);

    for (const DistortionSet& set : pinholeDistortions()) {
        for (const Vector2& original : {Vector2(0.3, -0.2), Vector2(-0.33, 0.25), Vector2(0.0, 0.0)}) {
            Vector2 p = Camera::distortR3D2P2(original, set.radial, set.tangential, set.prismatic);
            ASSERT_TRUE(Camera::undistortR3D2P2(p, set.radial, set.tangential, set.prismatic, 1e-9)) << set.name;
            EXPECT_NEAR(p.x, original.x, 1e-9) << set.name;
            EXPECT_NEAR(p.y, original.y, 1e-9) << set.name;
        }
    }
}

TEST(Camera, UndistortionReportsFailureItCannotMend) {
    // x' = x + r², y' = y: x' never falls below −1/4, so (−1, 0) has no preimage.
    const double zero[4] = {};
    const double prismatic[4] = {1.0, 0.0, 0.0, 0.0};
    Vector2 p(-1.0, 0.0);
    EXPECT_FALSE(Camera::undistortR3D2P2(p, zero, zero, prismatic, 1e-9));
    EXPECT_TRUE(std::isfinite(p.x));

    Vector2 nan(kNaN, 0.1);
    EXPECT_FALSE(Camera::undistortR3D2P2(nan, zero, zero, prismatic, 1e-9));

    // The ray then falls back to the distorted position.
    CameraData data;
    data.cx = data.cy = 0.0;
    data.fx = data.fy = 1.0;
    data.numPrismatic = 2;
    data.prismatic[0] = 1.0;
    Vector3 origin, direction;
    Camera(data).ray({-1.0, 0.0}, origin, direction);
    EXPECT_EQ(direction.x, -1.0);
}

TEST(Camera, ZeroCountsIgnoreTheCoefficients) {
    CameraData data = plainPinhole().getRawData();
    data.radial[0] = 0.5;
    data.tangential[1] = 0.1;
    data.prismatic[3] = 0.2;
    const Camera camera(data);
    const Vector2 pixel = camera.project({10.0, -20.0, 500.0});
    EXPECT_DOUBLE_EQ(pixel.x, 340.0);
    EXPECT_DOUBLE_EQ(pixel.y, 200.0);
    Vector3 origin, direction;
    camera.ray({340.0, 200.0}, origin, direction);
    EXPECT_DOUBLE_EQ(direction.x, 0.02);
    EXPECT_DOUBLE_EQ(direction.y, -0.04);
    EXPECT_EQ(direction.z, 1.0);
}

TEST(Camera, PointsInTheCameraPlaneDoNotProject) {
    for (const Camera& camera : {plainPinhole(), vroCamera(1)}) {
        EXPECT_EQ(camera.project({1.0, 2.0, 0.0}).x, 0.0);
        EXPECT_EQ(camera.project({1.0, 2.0, 0.0}).y, 0.0);
        Vector2 pixel(5.0, 5.0);
        EXPECT_FALSE(camera.tryProject(pixel, {1.0, 2.0, 0.0}));
        EXPECT_EQ(pixel.x, 0.0);
    }
    // Behind the camera projects like any other point.
    const Vector2 behind = plainPinhole().project({10.0, -20.0, -500.0});
    EXPECT_DOUBLE_EQ(behind.x, 300.0);
    EXPECT_DOUBLE_EQ(behind.y, 280.0);
}

// project(origin + t·direction) gives back the pixel of the ray, for every model.
TEST(Camera, ProjectionOfARayGivesItsPixel) {
    std::vector<std::pair<std::string, Camera>> cameras;
    for (const DistortionSet& set : pinholeDistortions())
        cameras.emplace_back("pinhole " + set.name, pinholeCamera(set));
    for (unsigned type = 0; type < 7; ++type)
        cameras.emplace_back("VRO " + std::to_string(type), vroCamera(type));
    for (const auto& [name, camera] : cameras) {
        for (const Vector2& pixel : {Vector2(801.5, 598.25), Vector2(12.0, 30.5), Vector2(1590.0, 1190.0)}) {
            Vector3 origin, direction;
            camera.ray(pixel, origin, direction);
            EXPECT_EQ(direction.z, 1.0);
            for (double t : {300.0, 2500.0}) {
                Vector2 projected;
                ASSERT_TRUE(camera.tryProject(projected, origin + direction * t)) << name;
                EXPECT_NEAR(projected.x, pixel.x, 1e-5) << name << " t " << t;
                EXPECT_NEAR(projected.y, pixel.y, 1e-5) << name << " t " << t;
            }
        }
    }
}

TEST(Camera, VroWithoutSecondStageHasRaysFromTheCentre) {
    const Camera camera = vroCamera(6);
    Vector3 origin(1, 1, 1), direction;
    camera.ray({100.0, 900.0}, origin, direction);
    EXPECT_EQ(origin.x, 0.0);
    EXPECT_EQ(origin.y, 0.0);
    EXPECT_EQ(origin.z, 0.0);
    const CameraData& d = camera.getRawData();
    const double y = (900.0 - d.cy) / d.fy;
    const Vector2 expected = Camera::distortR3D2P2({(100.0 - d.cx) / d.fx, y}, d.vroFirst, d.vroFirst + 3, d.vroFirst + 7);
    EXPECT_EQ(direction.x, expected.x);
    EXPECT_EQ(direction.y, expected.y);
}

TEST(Camera, VroSecondStageOffsetsTheOrigin) {
    const Camera camera = vroCamera(2);
    const CameraData& d = camera.getRawData();
    const Vector2 n((1000.0 - d.cx) / d.fx, (100.0 - d.cy) / d.fy);
    Vector3 origin, direction;
    camera.ray({1000.0, 100.0}, origin, direction);
    const Vector2 s = Camera::distort4thPoly(n, d.vroSecond);
    EXPECT_EQ(origin.x, s.x - n.x);
    EXPECT_EQ(origin.y, s.y - n.y);
    EXPECT_EQ(origin.z, 0.0);
    EXPECT_NE(origin.x, 0.0);
}

TEST(Camera, VroWithoutSolutionProjectsToZeroAndSaysSo) {
    CameraData data = vroCamera(1).getRawData();
    data.fx = data.fy = 0.0;  // every pixel has the same ray: no pixel reaches an off-axis point
    const Camera camera(data);
    auto& log = orvex::testing::LogCapture::emptied();
    Vector2 pixel(3.0, 3.0);
    EXPECT_FALSE(camera.tryProject(pixel, {10.0, 10.0, 100.0}));
    EXPECT_EQ(pixel.x, 0.0);
    EXPECT_EQ(pixel.y, 0.0);
    EXPECT_FALSE(log.take().empty());
}

TEST(Camera, PhysicalParameters) {
    Camera camera(CameraType::Pinhole);
    ASSERT_TRUE(camera.setPhysicalParameters(640, 480, 0.005, 0.005, 0.0, 8.0, 0.0, 0.0));
    const CameraData& d = camera.getRawData();
    EXPECT_DOUBLE_EQ(d.fx, 1600.0);
    EXPECT_DOUBLE_EQ(d.fy, 1600.0);
    EXPECT_NEAR(d.cx, 319.5, 1e-9);
    EXPECT_DOUBLE_EQ(d.cy, 239.5);
    EXPECT_NEAR(d.skew, 0.0, 1e-9);
    EXPECT_FALSE(d.aspectRatioFixed);

    struct Case {
        int width, height;
        double pixelWidth, pixelHeight, axisAngle, focalLength;
    };
    const Case refused[] = {{0, 480, 0.005, 0.005, 0, 8},   {640, 0, 0.005, 0.005, 0, 8},
                            {640, 480, 0, 0.005, 0, 8},     {640, 480, 0.005, -1, 0, 8},
                            {640, 480, kNaN, 0.005, 0, 8},  {640, 480, 0.005, 0.005, kNaN, 8},
                            {640, 480, 0.005, 0.005, 0, 0}, {640, 480, 0.005, 0.005, 0, -8},
                            {640, 480, 0.005, 0.005, 0, kNaN}, {640, 480, 0.005, 0.005, 0, INFINITY}};
    for (const Case& c : refused) {
        Camera unset(CameraType::Pinhole);
        EXPECT_FALSE(unset.setPhysicalParameters(c.width, c.height, c.pixelWidth, c.pixelHeight, c.axisAngle,
                                                 c.focalLength, 0.0, 0.0));
        EXPECT_TRUE(unset.isNull());
    }
    Camera offset(CameraType::Pinhole);
    EXPECT_FALSE(offset.setPhysicalParameters(640, 480, 0.005, 0.005, 0, 8, kNaN, 0.0));
    ASSERT_TRUE(offset.setPhysicalParameters(641, 481, 0.005, 0.004, 2.0, 8.0, 0.1, -0.2));
    EXPECT_LT(offset.getRawData().skew, 0.0);  // axes wider than a right angle
}

TEST(Camera, SetUpFromSettings) {
    ImagingSystemSettings settings;
    settings.aspectRatio = 1.1;
    settings.radialOrder = 2;
    settings.tangentialOrder = 3;
    settings.prismaticOrder = 1;
    settings.fixPrincipalPoint = true;
    settings.csType = VROSystemType(4);
    const CameraData a = Camera(10.0, 20.0, 1000.0, 1100.0, 0.5, settings).getRawData();
    EXPECT_DOUBLE_EQ(a.fx, 1000.0);
    EXPECT_DOUBLE_EQ(a.fy, 1100.0);
    EXPECT_TRUE(a.aspectRatioFixed);
    EXPECT_TRUE(a.skewFixed);
    EXPECT_EQ(a.skew, 0.0);
    EXPECT_EQ(a.numRadial, 2);
    EXPECT_EQ(a.numTangential, 0);
    EXPECT_EQ(a.numPrismatic, 2);
    EXPECT_TRUE(a.principalPointFixed);
    EXPECT_EQ(a.csType, 4u);
    EXPECT_EQ(a.type, CameraType::Pinhole);

    settings.aspectRatio = 1.0;
    settings.useSkew = true;
    const CameraData b = Camera(10.0, 20.0, 1000.0, 1100.0, 0.5, settings).getRawData();
    EXPECT_DOUBLE_EQ(b.fx, 1050.0);
    EXPECT_DOUBLE_EQ(b.fy, 1050.0);
    EXPECT_EQ(b.skew, 0.5);

    settings.aspectRatio = 0.0;
    settings.cameraType = CameraType(7);
    settings.useSkew = false;
    const CameraData c = Camera(10.0, 20.0, 1000.0, 1100.0, 0.5, settings).getRawData();
    EXPECT_EQ(c.type, CameraType::VRO);
    EXPECT_FALSE(c.skewFixed);
    EXPECT_EQ(c.skew, 0.5);
    EXPECT_FALSE(c.aspectRatioFixed);
    EXPECT_EQ(c.fy, 1100.0);
}

TEST(Camera, AssociatedConfidenceSpreadsTheFreeParameters) {
    CameraData data = plainPinhole().getRawData();
    data.intrinsicsFixed = true;
    const CameraData fixed = Camera(data).getAssociatedConfidence(Vector{1, 2, 3, 4, 5});
    for (double v : {fixed.cx, fixed.cy, fixed.fx, fixed.fy, fixed.skew}) EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(fixed.intrinsicsFixed);

    data.intrinsicsFixed = false;
    data.principalPointFixed = true;
    data.skewFixed = true;
    const CameraData focal = Camera(data).getAssociatedConfidence(Vector{7.0, 8.0});
    EXPECT_EQ(focal.fx, 7.0);
    EXPECT_EQ(focal.fy, 8.0);
    EXPECT_EQ(focal.cx, 0.0);
    EXPECT_EQ(focal.skew, 0.0);

    // Tied focal lengths, full distortion: fx, skew, 3 radial, 4 tangential, 4 prismatic.
    data.aspectRatioFixed = true;
    data.fy = 2000.0;
    data.skewFixed = false;
    data.numRadial = 3;
    data.numTangential = 4;
    data.numPrismatic = 4;
    Vector values;
    for (int i = 1; i <= 13; ++i) values.push_back(i);
    const CameraData full = Camera(data).getAssociatedConfidence(values);
    EXPECT_EQ(full.fx, 1.0);
    EXPECT_EQ(full.fy, 2.0);
    EXPECT_EQ(full.skew, 2.0);
    EXPECT_EQ(full.radial[0], 3.0);
    EXPECT_EQ(full.tangential[3], 9.0);
    EXPECT_EQ(full.prismatic[3], 13.0);

    // A short vector and counts beyond the arrays are read only as far as they exist.
    data.numRadial = 9;
    data.numPrismatic = -3;
    const CameraData shortened = Camera(data).getAssociatedConfidence(Vector{1.0, 2.0, 3.0});
    EXPECT_EQ(shortened.radial[0], 3.0);
    EXPECT_EQ(shortened.radial[1], 0.0);
    EXPECT_EQ(shortened.numRadial, 9);
}

TEST(Camera, AssociatedConfidenceOfAVroCamera) {
    for (unsigned type : {0u, 4u, 5u, 9u}) {
        const Camera camera = vroCamera(type);
        const int first = vroFirstSetCount(VROSystemType(type));
        const int second = vroSecondSetCount(VROSystemType(type));
        Vector values;
        for (int i = 0; i < 5 + first + second + 3; ++i) values.push_back(i + 1.0);
        const CameraData out = camera.getAssociatedConfidence(values);
        EXPECT_EQ(out.skew, 5.0);
        for (int i = 0; i < 11; ++i) EXPECT_EQ(out.vroFirst[i], i < first ? 6.0 + i : 0.0) << type;
        for (int i = 0; i < 36; ++i) EXPECT_EQ(out.vroSecond[i], i < second ? 6.0 + first + i : 0.0) << type;
    }
    CameraData omitted = vroCamera(1).getRawData();
    omitted.vroFirstOmitted = true;
    const CameraData out = Camera(omitted).getAssociatedConfidence(Vector{1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(out.vroFirst[0], 0.0);
    EXPECT_EQ(out.vroSecond[0], 6.0);
    EXPECT_EQ(out.vroSecond[1], 7.0);
    EXPECT_EQ(out.vroSecond[2], 0.0);
}

// The pinhole projection agrees with cv2.projectPoints (skew 0, no r²-scaled
// tangential terms: what OpenCV's model shares with ours).
TEST(Camera, PinholeProjectionMatchesOpenCv) {
    for (const auto& row : orvex::testing::kOpenCvProjections) {
        CameraData data;
        data.cx = row[0];
        data.cy = row[1];
        data.fx = row[2];
        data.fy = row[3];
        data.numRadial = 3;
        data.numTangential = 2;
        data.numPrismatic = 4;
        for (int i = 0; i < 3; ++i) data.radial[i] = row[4 + i];
        for (int i = 0; i < 2; ++i) data.tangential[i] = row[7 + i];
        for (int i = 0; i < 4; ++i) data.prismatic[i] = row[9 + i];
        const Vector2 pixel = Camera(data).project({row[13], row[14], row[15]});
        EXPECT_NEAR(pixel.x, row[16], 1e-9) << row[13] << " " << row[14] << " " << row[15];
        EXPECT_NEAR(pixel.y, row[17], 1e-9) << row[13] << " " << row[14] << " " << row[15];
    }
}

// The ray of a point's pixel passes through the point, for every model.
TEST(Camera, RayOfAProjectionPassesThroughThePoint) {
    std::vector<std::pair<std::string, Camera>> cameras;
    for (const DistortionSet& set : pinholeDistortions())
        cameras.emplace_back("pinhole " + set.name, pinholeCamera(set));
    for (unsigned type = 0; type < 7; ++type)
        cameras.emplace_back("VRO " + std::to_string(type), vroCamera(type));
    for (const auto& [name, camera] : cameras) {
        for (const Vector3& point : {Vector3(0.0, 0.0, 700.0), Vector3(150.0, -110.0, 640.0), Vector3(-200.0, 160.0, 900.0)}) {
            Vector2 pixel;
            ASSERT_TRUE(camera.tryProject(pixel, point)) << name;
            Vector3 origin, direction;
            camera.ray(pixel, origin, direction);
            // The point's offset from the ray, scaled to the ray's length at the point.
            const Vector3 along = origin + direction * ((point.z - origin.z) / direction.z);
            EXPECT_NEAR(along.x, point.x, 1e-6) << name;
            EXPECT_NEAR(along.y, point.y, 1e-6) << name;
        }
    }
}
