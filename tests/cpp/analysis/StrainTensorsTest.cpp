#include "orvex/analysis/StrainTensors.h"

#include "DirectReference.h"
#include "GridFields.h"

#include "orvex/core/CPUInfo.h"

#include "LogCapture.h"

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace orvex;

namespace {

struct RawStrain {
    Array2<float> strain;
    Array2<float> gradient;
    explicit RawStrain(int size) : strain(3, size), gradient(4, size) {}
};

RawStrain computeRaw(GridFields& g, tensor_func fn) {
    RawStrain raw(g.size());
    compute_strain(raw.strain, raw.gradient, g.X.data(), g.Y.data(), g.Z.data(), g.U.data(), g.V.data(),
                   g.W.data(), g.blanking.data(), fn, g.columns, g.rows);
    return raw;
}

struct Tensor {
    const char* name;
    tensor_func fn;
    double stretchStrain; // exx of a uniform stretch by λ along x
};

const double lambda = 1.2;
const Tensor tensors[] = {
    {"lagrange", tensor_lagrange, 0.5 * (lambda * lambda - 1)},
    {"engineering", tensor_engineering, lambda - 1},
    {"biot", tensor_biot, lambda - 1},
    {"hencky", tensor_hencky, std::log(lambda)},
    {"log_euler", tensor_log_euler, std::log(lambda)},
    {"euler", tensor_euler, 0.5 * (1 - 1 / (lambda * lambda))},
};

bool contains(const std::vector<std::string>& messages, const std::string& text) {
    for (const std::string& m : messages)
        if (m == text) return true;
    return false;
}

} // namespace

// Each tensor of general gradients (stretch, shear and rotation mixed) against the
// tensor's definition through an eigen-decomposition: exx, eyy and exy are its (0, 0),
// (1, 1) and (0, 1) entries; the engineering shear is the angle asin(2Exy / √(cx·cy)).
TEST(StrainTensors, TensorsOfGeneralGradients) {
    using Mat = Eigen::Matrix2d;
    auto function = [](const Mat& spd, double (*f)(double)) {
        Eigen::SelfAdjointEigenSolver<Mat> eigen(spd);
        return Mat(eigen.eigenvectors() * eigen.eigenvalues().unaryExpr(f).asDiagonal() *
                   eigen.eigenvectors().transpose());
    };
    auto log = [](double x) { return std::log(x); };
    auto sqrt = [](double x) { return std::sqrt(x); };
    const Mat gradients[] = {(Mat() << 0.1, 0.05, -0.08, 0.03).finished(),
                             (Mat() << -0.2, 0.3, 0.15, 0.4).finished(),
                             (Mat() << 0.0, -0.6, 0.0, 0.0).finished()};
    for (const Mat& h : gradients) {
        const Mat F = Mat::Identity() + h, C = F.transpose() * F, B = F * F.transpose();
        const Mat lagrange = 0.5 * (C - Mat::Identity());
        const double cx = 1 + 2 * lagrange(0, 0), cy = 1 + 2 * lagrange(1, 1);
        const Mat engineering = (Mat() << std::sqrt(cx) - 1, std::asin(2 * lagrange(0, 1) / std::sqrt(cx * cy)),
                                 0, std::sqrt(cy) - 1).finished();
        struct Case {
            const char* name;
            tensor_func fn;
            Mat expected;
            double tolerance;
        } cases[] = {
            {"lagrange", tensor_lagrange, lagrange, 1e-15},
            {"engineering", tensor_engineering, engineering, 1e-6}, // float intermediates
            {"biot", tensor_biot, function(C, sqrt) - Mat::Identity(), 1e-12},
            {"hencky", tensor_hencky, 0.5 * function(C, log), 1e-12},
            {"log_euler", tensor_log_euler, 0.5 * function(B, log), 1e-12},
            {"euler", tensor_euler, 0.5 * (Mat::Identity() - B.inverse()), 1e-12},
        };
        for (const Case& cs : cases) {
            SCOPED_TRACE(::testing::Message() << cs.name << " H = " << h.reshaped<Eigen::RowMajor>().transpose());
            double exx, eyy, exy;
            cs.fn(exx, eyy, exy, Matrix2x2{h(0, 0), h(0, 1), h(1, 0), h(1, 1)});
            EXPECT_NEAR(exx, cs.expected(0, 0), cs.tolerance);
            EXPECT_NEAR(eyy, cs.expected(1, 1), cs.tolerance);
            EXPECT_NEAR(exy, cs.expected(0, 1), cs.tolerance);
        }
    }
}

// A singular F·Fᵀ stands in for its own inverse, with a warning.
TEST(StrainTensors, EulerOfASingularGradient) {
    auto& log = orvex::testing::LogCapture::emptied();
    double exx, eyy, exy;
    tensor_euler(exx, eyy, exy, Matrix2x2{-1.0, 0.0, 0.5, 0.0}); // F = [[0, 0], [0.5, 1]], B = [[0, 0], [0, 1.25]]
    EXPECT_EQ(log.messages, std::vector<std::string>{"Can't get right Cauchy tensor."});
    EXPECT_DOUBLE_EQ(exx, 0.5);
    EXPECT_DOUBLE_EQ(eyy, -0.125);
    EXPECT_DOUBLE_EQ(exy, 0.0);
}

// Stretch, rotation, translation and tilt of a planar grid, every tensor: each point's
// raw strain is the field's exact strain (rigid motions give zero).
TEST(StrainTensors, AnalyticPlanarFieldsGiveTheirStrainForEveryTensor) {
    const double theta = 0.3;
    struct Motion {
        const char* name;
        std::function<Vector3(const Vector3&)> displacement;
        bool stretch;
    } motions[] = {
        {"stretch", [](const Vector3& p) { return Vector3((lambda - 1) * p.x, 0, 0); }, true},
        {"rotation",
         [theta](const Vector3& p) {
             return Vector3(std::cos(theta) * p.x - std::sin(theta) * p.y - p.x,
                            std::sin(theta) * p.x + std::cos(theta) * p.y - p.y, 0);
         },
         false},
        {"translation", [](const Vector3&) { return Vector3(3.5, -2.0, 0); }, false},
        // Tilted out of the plane about X: the deformed state has its own tangent frame.
        {"tilt", [](const Vector3& p) { return Vector3(0, p.y * std::cos(0.5) - p.y, p.y * std::sin(0.5)); }, false},
    };
    for (const Tensor& tensor : tensors)
        for (const Motion& motion : motions) {
            SCOPED_TRACE(std::string(tensor.name) + " " + motion.name);
            GridFields g(5, 4, planarGrid(), motion.displacement);
            const RawStrain raw = computeRaw(g, tensor.fn);
            for (int p = 0; p < g.size(); ++p) {
                ASSERT_EQ(g.blanking[p], 0.5f);
                EXPECT_NEAR(raw.strain[0][p], motion.stretch ? tensor.stretchStrain : 0.0, 2e-6);
                EXPECT_NEAR(raw.strain[1][p], 0.0, 2e-6);
                EXPECT_NEAR(raw.strain[2][p], 0.0, 2e-6);
            }
        }
}

// The rotation's gradient is R − I in the frame (x, −y), not zero.
TEST(StrainTensors, RigidRotationHasNonZeroGradient) {
    const double theta = 0.3, c = std::cos(theta), s = std::sin(theta);
    GridFields g(4, 4, planarGrid(), [&](const Vector3& p) {
        return Vector3(c * p.x - s * p.y - p.x, s * p.x + c * p.y - p.y, 0);
    });
    const RawStrain raw = computeRaw(g, tensor_lagrange);
    const double expected[4] = {c - 1, s, -s, c - 1}; // rotation by −θ in the frame (x, −y)
    for (int p = 0; p < g.size(); ++p)
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(raw.gradient[k][p], expected[k], 1e-6);
}

// u = γ·Y: the local frame is (+X, −Y) when Y grows with the row, (−X, −Y) when it falls.
TEST(StrainTensors, SimpleShearSignFollowsTheLocalFrame) {
    const double gamma = 0.1;
    struct Case {
        double yStep;
        double h01;
    } cases[] = {{0.5, -gamma}, {-0.5, gamma}};
    for (const Case& cs : cases) {
        GridFields g(4, 5, [&](int r, int col) { return Vector3(col * 0.5, r * cs.yStep, 0); },
                     [&](const Vector3& p) { return Vector3(gamma * p.y, 0, 0); });
        const RawStrain raw = computeRaw(g, tensor_lagrange);
        for (int p = 0; p < g.size(); ++p) {
            EXPECT_NEAR(raw.gradient[1][p], cs.h01, 1e-6);
            EXPECT_NEAR(raw.strain[0][p], 0.0, 1e-7);
            EXPECT_NEAR(raw.strain[1][p], 0.5 * gamma * gamma, 1e-7);
            EXPECT_NEAR(raw.strain[2][p], 0.5 * cs.h01, 1e-7);
        }
    }
}

// Curved and tilted surfaces are measured in their own tangent planes, including a
// surface whose normal lies along ±Y.
TEST(StrainTensors, StretchOfSurfacesOutOfTheXYPlane) {
    const double alpha = 0.7;
    const std::function<Vector3(int, int)> surfaces[] = {
        [&](int r, int c) { return Vector3(c * 0.5, r * 0.5 * std::cos(alpha), r * 0.5 * std::sin(alpha)); },
        [](int r, int c) { return Vector3(c * 0.5, 2.0, r * 0.5); },  // normal along ±Y
        [](int r, int c) { return Vector3(c * 0.5, 2.0, -r * 0.5); }, // the other orientation
    };
    for (const auto& surface : surfaces) {
        GridFields g(4, 4, surface, [](const Vector3& p) { return Vector3((lambda - 1) * p.x, 0, 0); });
        const RawStrain raw = computeRaw(g, tensor_lagrange);
        for (int p = 0; p < g.size(); ++p) {
            ASSERT_EQ(g.blanking[p], 0.5f);
            EXPECT_NEAR(raw.strain[0][p], 0.5 * (lambda * lambda - 1), 1e-6);
            EXPECT_NEAR(raw.strain[1][p], 0.0, 1e-6);
            EXPECT_NEAR(raw.strain[2][p], 0.0, 1e-6);
        }
    }
}

TEST(StrainTensors, DegenerateTrianglesFailWithAWarning) {
    const Vector3 a(1, 0, 0), b(0, 1, 0), c(0, 0, 0);
    struct Case {
        const char* name;
        Vector3 a, b, c, a2, b2, c2;
    } cases[] = {
        {"collinear reference", Vector3(1, 0, 0), Vector3(2, 0, 0), c, a, b, c},
        {"coincident reference", c, b, c, a, b, c},
        {"collapsed deformed", a, b, c, Vector3(1, 1, 0), Vector3(2, 2, 0), c},
        {"non-finite", a, b, c, Vector3(NAN, 0, 0), b, c},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        auto& log = orvex::testing::LogCapture::emptied();
        Matrix2x2 H;
        EXPECT_FALSE(analyze_triang(H, cs.a, cs.b, cs.c, cs.a2, cs.b2, cs.c2));
        ASSERT_EQ(log.messages.size(), 1u);
        EXPECT_EQ(log.messages[0].rfind("Could not invert matrix!!! ", 0), 0u);
    }
    auto& log = orvex::testing::LogCapture::emptied();
    Matrix2x2 H;
    EXPECT_FALSE(analyze_triang(H, a, b, c, a, b, Vector3(0.5, 0.5, 0)));
    EXPECT_EQ(log.messages[0], "Could not invert matrix!!! 0 -1 0");
    EXPECT_TRUE(analyze_triang(H, a, b, c, a, b, c));
}

// A point whose deformed neighbours fall onto one line with it loses those triangles only.
TEST(StrainTensors, FailedTrianglesAreLeftOutOfTheMean) {
    GridFields g(3, 3, planarGrid(1.0), [](const Vector3&) { return Vector3(0, 0, 0); });
    // The centre's up neighbour moves onto the line y = 1 through left, centre and right.
    g.U[g.index(0, 1)] = 0.5f;
    g.V[g.index(0, 1)] = 1.0f;
    auto& log = orvex::testing::LogCapture::emptied();
    const RawStrain raw = computeRaw(g, tensor_lagrange);
    EXPECT_TRUE(contains(log.messages, "tl failed."));
    EXPECT_TRUE(contains(log.messages, "tr failed."));
    for (int p = 0; p < g.size(); ++p) {
        EXPECT_EQ(g.blanking[p], 0.5f);
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(std::isfinite(raw.strain[k][p]));
    }
}

TEST(StrainTensors, PointsWithoutTrianglesAreBlankedInScanOrder) {
    auto still = [](const Vector3&) { return Vector3(0, 0, 0); };
    {   // One row: no point has a triangle.
        GridFields g(5, 1, planarGrid(), still);
        computeRaw(g, tensor_lagrange);
        for (float b : g.blanking) EXPECT_EQ(b, -1.0f);
    }
    {   //  x . x      x: valid, .: blanked on entry
        //  x x x
        //  . x x
        GridFields g(3, 3, planarGrid(), still);
        g.blanking[g.index(0, 1)] = -2.0f;
        g.blanking[g.index(2, 0)] = -2.0f;
        computeRaw(g, tensor_lagrange);
        // (0, 0) and (0, 2) have a single neighbour each. (1, 0) would form (up, right)
        // with (0, 0), which is gone by then; (1, 1) and the rest keep a triangle.
        const float expected[9] = {-1, -2, -1, -1, 0.5f, 0.5f, -2, 0.5f, 0.5f};
        for (int p = 0; p < 9; ++p) EXPECT_EQ(g.blanking[p], expected[p]) << "point " << p;
    }
    {   // A NaN point is a centre but never a neighbour.
        GridFields g(3, 2, planarGrid(), still);
        g.blanking[g.index(0, 0)] = NAN;
        computeRaw(g, tensor_lagrange);
        // (0, 0) forms (right, down); (1, 0) has only the right neighbour left.
        EXPECT_TRUE(std::isnan(g.blanking[0]));
        const float expected[5] = {0.5f, 0.5f, -1, 0.5f, 0.5f};
        for (int p = 1; p < 6; ++p) EXPECT_EQ(g.blanking[p], expected[p - 1]) << "point " << p;
    }
}

// The parallel pass with its scan-order replay gives exactly the results and warnings
// of the straightforward loop, cascade included.
TEST(StrainTensors, ParallelPassEqualsDirectLoop) {
    const int columns = 41, rows = 37;
    GridFields base(columns, rows,
                    [](int r, int c) { return Vector3(c * 0.7 + 0.01 * r * r, r * 0.6, 0.02 * c * r); },
                    [](const Vector3& p) {
                        return Vector3(0.01 * p.x + 0.002 * p.y * p.y, 0.03 * std::sin(p.x), 0.004 * p.x * p.y);
                    });
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const bool hole = (r - 12) * (r - 12) + (c - 20) * (c - 20) < 20;
            const bool stripe = c == 30 && r % 3 != 0;     // neighbours cut away one by one
            const bool checker = r > 28 && c < 10 && (r + c) % 2 == 0;
            if (hole || stripe || checker) base.blanking[base.index(r, c)] = -1.0f;
        }
    base.blanking[base.index(5, 5)] = NAN;
    // Points whose every triangle fails: their neighbours lose triangles and log them.
    for (int p : {base.index(0, 0), base.index(10, 3), base.index(12, 16), base.index(rows - 1, columns - 1)})
        base.U[p] = NAN;
    for (tensor_func fn : {tensor_lagrange, tensor_hencky}) {
        GridFields expected = base;
        RawStrain reference(base.size());
        auto& log = orvex::testing::LogCapture::emptied();
        reference::computeStrain(reference.strain, reference.gradient, expected.X.data(), expected.Y.data(),
                                 expected.Z.data(), expected.U.data(), expected.V.data(), expected.W.data(),
                                 expected.blanking.data(), fn, columns, rows);
        const std::vector<std::string> expectedLog = log.take();
        ASSERT_GT(expectedLog.size(), 20u);
        for (int threads : {1, 3, 8}) {
            SCOPED_TRACE(threads);
            CPUInfo::forceThreads(threads);
            GridFields g = base;
            const RawStrain raw = computeRaw(g, fn);
            EXPECT_EQ(log.take(), expectedLog); // same warnings, in scan order
            for (int p = 0; p < g.size(); ++p) {
                if (std::isnan(expected.blanking[p])) {
                    EXPECT_TRUE(std::isnan(g.blanking[p]));
                } else {
                    ASSERT_EQ(g.blanking[p], expected.blanking[p]) << "point " << p;
                }
                if (!(expected.blanking[p] < 0)) {
                    for (int k = 0; k < 3; ++k) ASSERT_EQ(raw.strain[k][p], reference.strain[k][p]);
                    for (int k = 0; k < 4; ++k) ASSERT_EQ(raw.gradient[k][p], reference.gradient[k][p]);
                }
            }
        }
        CPUInfo::forceThreads(0);
    }
}
