#include "orvex/analysis/RigidFit.h"

#include "AreaBuilder.h"
#include "LogCapture.h"
#include "core/GeometryExpect.h"

#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

using namespace orvex;

namespace {

// Points spread over a box of about 200 units, off the origin.
Array1<Vector3> scatteredPoints(int n, unsigned seed = 7) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<double> coordinate(-100.0, 100.0);
    Array1<Vector3> points;
    for (int i = 0; i < n; ++i)
        points.push_back(Vector3(coordinate(engine) + 40, coordinate(engine) - 15, 0.3 * coordinate(engine) + 5));
    return points;
}

Array1<Vector3> moved(const RigidTransform& motion, const Array1<Vector3>& points) {
    Array1<Vector3> result;
    for (const Vector3& p : points) result.push_back(motion * p);
    return result;
}

double rmsOf(const RigidTransform& t, const Array1<Vector3>& ref, const Array1<Vector3>& def, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const Vector3 r = ref[i] - t * def[i];
        sum += dot(r, r);
    }
    return std::sqrt(sum / (3.0 * n));
}

// The rms of the closed-form least-squares motion (Eigen's Umeyama, no scaling).
double umeyamaRms(const Array1<Vector3>& ref, const Array1<Vector3>& def) {
    Eigen::Matrix3Xd from(3, def.size()), to(3, ref.size());
    for (std::size_t i = 0; i < ref.size(); ++i) {
        from.col(Eigen::Index(i)) << def[i].x, def[i].y, def[i].z;
        to.col(Eigen::Index(i)) << ref[i].x, ref[i].y, ref[i].z;
    }
    const Eigen::Matrix4d m = Eigen::umeyama(from, to, false);
    const Eigen::Matrix3Xd residual = to - ((m.topLeftCorner<3, 3>() * from).colwise() + m.topRightCorner<3, 1>());
    return std::sqrt(residual.squaredNorm() / (3.0 * double(ref.size())));
}

RigidTransform sentinel() { return RigidTransform(Rotation(1, 2, 3, Rotation::Deg), Vector3(4, 5, 6)); }

} // namespace

// def is a rigid motion of ref: the fit is its inverse, exactly, with rms near zero,
// including turns near and at a half turn.
TEST(RigidFit, RecoversAKnownMotion) {
    const RigidTransform motions[] = {
        RigidTransform(Rotation(10, -20, 35, Rotation::Deg), Vector3(3, -7, 12)),
        RigidTransform(Rotation(0, 0, 0, Rotation::Deg), Vector3(-50, 0.5, 2)),
        RigidTransform(Rotation(0.001, 0, -0.002, Rotation::Deg), Vector3(0, 0, 0)),
        RigidTransform(Rotation(179.9999, 30, -60, Rotation::Deg), Vector3(1, 1, 1)),
        RigidTransform(Rotation(0, 0, 180, Rotation::Deg), Vector3(0, 2, 0)),
    };
    const Array1<Vector3> ref = scatteredPoints(60);
    for (const RigidTransform& motion : motions) {
        SCOPED_TRACE(motion.toJson().dump());
        const Array1<Vector3> def = moved(motion, ref);
        RigidTransform fitted;
        double rms = -1.0;
        ASSERT_TRUE(fitRigidTransform(fitted, rms, ref, def, -1));
        const RigidTransform expected = RigidTransform::inverse(motion);
        expectNear(fitted.rotation().matrix(), expected.rotation().matrix(), 1e-9);
        expectNear(fitted.translation(), expected.translation(), 1e-9);
        EXPECT_LT(rms, 1e-9);
    }
}

// With noise the fit is at least as good as the closed form, and the rms it reports
// is that of the transform it returns.
TEST(RigidFit, NoisyPointsMatchTheClosedFormOptimum) {
    const Array1<Vector3> ref = scatteredPoints(500);
    Array1<Vector3> def = moved(RigidTransform(Rotation(-40, 15, 100, Rotation::Deg), Vector3(5, 6, -7)), ref);
    std::mt19937 engine(3);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (Vector3& p : def) p += Vector3(noise(engine), noise(engine), noise(engine));
    RigidTransform fitted;
    double rms = -1.0;
    ASSERT_TRUE(fitRigidTransform(fitted, rms, ref, def, -1));
    EXPECT_NEAR(rms, rmsOf(fitted, ref, def, 500), 1e-12);
    EXPECT_LE(rms, umeyamaRms(ref, def) + 1e-12);
    EXPECT_NEAR(rms, 0.05, 0.01);
}

// Too few points or short arrays: false, an error record, outputs untouched.
TEST(RigidFit, RefusesTooFewPoints) {
    struct Case {
        int refSize, defSize, numPts;
        std::string message;
    };
    const Case cases[] = {{2, 2, -1, "Not enough points for fit: 2"},
                          {0, 0, 0, "Not enough points for fit: 0"},
                          {100, 100, 2, "Not enough points for fit: 2"},
                          {4, 4, 5, "Number of elements in ref or def arrays is less than numPts: 5"},
                          {10, 9, -1, "Number of elements in ref or def arrays is less than numPts: 10"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const Array1<Vector3> ref = scatteredPoints(c.refSize), def = scatteredPoints(c.defSize, 9);
        auto& log = orvex::testing::LogCapture::emptied();
        RigidTransform transform = sentinel();
        double rms = -1.0;
        EXPECT_FALSE(fitRigidTransform(transform, rms, ref, def, c.numPts));
        EXPECT_EQ(log.take(), std::vector<std::string>{c.message});
        EXPECT_EQ(transform, sentinel());
        EXPECT_EQ(rms, -1.0);
    }
}

// numPts limits the fit to the leading pairs; the rest may be anything.
TEST(RigidFit, UsesOnlyTheLeadingPoints) {
    const RigidTransform motion(Rotation(5, 6, 7, Rotation::Deg), Vector3(1, 2, 3));
    const Array1<Vector3> ref = scatteredPoints(100);
    Array1<Vector3> def = moved(motion, ref);
    for (std::size_t i = 4; i < def.size(); ++i) def[i] = Vector3(1e3 * double(i), 0, 0);
    RigidTransform fitted;
    double rms = -1.0;
    ASSERT_TRUE(fitRigidTransform(fitted, rms, ref, def, 4));
    expectNear(fitted.translation(), RigidTransform::inverse(motion).translation(), 1e-9);
    EXPECT_LT(rms, 1e-9);
}

namespace {

// A 4 x 3 stereo area displaced by `motion`; point 5 blanked.
ZelData movedArea(const RigidTransform& motion, bool withU = true) {
    const Array1<Vector3> ref = scatteredPoints(12);
    std::vector<float> X, Y, Z, U, V, W, blanking;
    for (const Vector3& p : ref) {
        const Vector3 q = motion * p;
        X.push_back(float(p.x)), Y.push_back(float(p.y)), Z.push_back(float(p.z));
        U.push_back(float(q.x - p.x)), V.push_back(float(q.y - p.y)), W.push_back(float(q.z - p.z));
        blanking.push_back(blanking.size() == 5 ? -1.0f : 0.0f);
    }
    std::vector<AreaVariable> variables = {{"X", GlobalCoordinate, X}, {"Y", GlobalCoordinate, Y},
                                           {"Z", GlobalCoordinate, Z}, {"V", GlobalDisplacement, V},
                                           {"W", GlobalDisplacement, W}, {"sigma", Correlation, blanking}};
    if (withU) variables.push_back({"U", GlobalDisplacement, U});
    return makeArea(4, 3, variables);
}

} // namespace

TEST(RigidFit, DataSetFormFitsTheValidPoints) {
    const RigidTransform motion(Rotation(3, -2, 25, Rotation::Deg), Vector3(0.5, -1, 2));
    ZelDataSet set;
    set.addData(new ZelData(movedArea(motion)));
    set.addData(new ZelData(movedArea(motion, false)));  // contributes nothing
    RigidTransform fitted;
    double rms = -1.0;
    ASSERT_TRUE(fitRigidTransform(fitted, rms, set));
    const Vector3 p(10, 20, 5);
    expectNear(fitted * (motion * p), p, 1e-3);  // float data
    EXPECT_LT(rms, 1e-4);

    ZelDataSet withoutU;
    withoutU.addData(new ZelData(movedArea(motion, false)));
    auto& log = orvex::testing::LogCapture::emptied();
    EXPECT_FALSE(fitRigidTransform(fitted, rms, withoutU));
    EXPECT_EQ(log.take(), std::vector<std::string>{"Not enough points for fit: 0"});

    ZelDataSet tiny;
    tiny.addData(new ZelData(makeArea(2, 1, {{"X", GlobalCoordinate, {0, 1}}})));
    EXPECT_FALSE(fitRigidTransform(fitted, rms, tiny));
    EXPECT_TRUE(log.take().empty());
}

namespace {

// A planar area of `count` points in a row, turned by 30 degrees about z and shifted,
// with pixel coordinates x = column - 0.5, y = 2.
ZelData planarArea(int count) {
    const RigidTransform motion(Rotation(0, 0, 30, Rotation::Deg), Vector3(2, -1, 0));
    std::vector<float> x, y, xc, yc, uc, vc;
    for (int i = 0; i < count; ++i) {
        const Vector3 p(3.0 * i, (i * i) % 7, 0.0);
        const Vector3 q = motion * p;
        x.push_back(float(i) - 0.5f), y.push_back(2.0f);
        xc.push_back(float(p.x)), yc.push_back(float(p.y));
        uc.push_back(float(q.x - p.x)), vc.push_back(float(q.y - p.y));
    }
    return makeArea(count, 1, {{"x", PixelCoordinate, x},    {"y", PixelCoordinate, y},
                               {"x_c", Unknown, xc},         {"y_c", Unknown, yc},
                               {"u_c", Unknown, uc},         {"v_c", Unknown, vc},
                               {"sigma", Correlation, std::vector<float>(std::size_t(count), 0.0f)}});
}

} // namespace

// A planar set fits an in-plane turn; the mask selects pixels by rounding down, so the
// point at x = -0.5 lies outside; more than 6 selected points are needed.
TEST(RigidFit, ComputeRigidTrafoWithMask) {
    std::vector<unsigned char> bytes(3 * 16, 0);
    const ByteImage mask{16, 3, 16, bytes.data()};
    for (int column = 0; column < 16; ++column) bytes[2 * 16 + column] = column == 3 ? 0 : 1;
    struct Case {
        int points;
        bool useMask;
        bool fits;
    };
    // With the mask, points 0 (pixel -1) and 4 (pixel 3) are out.
    const Case cases[] = {{7, false, true}, {6, false, false}, {9, true, true}, {8, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.points << " points, mask " << c.useMask);
        ZelDataSet set;
        set.addData(new ZelData(planarArea(c.points)));
        const RigidTransform fitted = computeRigidTrafo(set, c.useMask ? mask : ByteImage{}, Type2d);
        ASSERT_EQ(!fitted.isNull(), c.fits);
        if (c.fits) {
            const Vector3 angles = fitted.rotation().cardanBryant(Rotation::Deg);
            EXPECT_NEAR(angles.x, 0.0, 1e-4);
            EXPECT_NEAR(angles.y, 0.0, 1e-4);
            EXPECT_NEAR(angles.z, -30.0, 1e-4);
        }
    }
    ZelDataSet stereoWithoutDisplacements;
    stereoWithoutDisplacements.addData(new ZelData(planarArea(10)));
    EXPECT_TRUE(computeRigidTrafo(stereoWithoutDisplacements, ByteImage{}, Type3d).isNull());
    EXPECT_TRUE(computeRigidTrafo(ZelDataSet(), ByteImage{}, Type2d).isNull());
}
