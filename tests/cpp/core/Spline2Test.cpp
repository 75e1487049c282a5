#include "orvex/core/Spline2.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

using orvex::Array1;
using orvex::BSpline2;
using orvex::Rect;
using orvex::Spline2;
using orvex::Vector2;
using orvex::Vector3;
using orvex::testing::LogCapture;

namespace {

// The centred cardinal B-spline by its recursion, as an independent reference.
double cardinal(int degree, double x) {
    if (degree == 0)
        return (x >= -0.5 && x < 0.5) ? 1.0 : 0.0;
    const double half = (degree + 1) / 2.0;
    return ((x + half) * cardinal(degree - 1, x + 0.5) + (half - x) * cardinal(degree - 1, x - 0.5)) / degree;
}

// A polynomial of degree 3 in x and in y, which a cubic spline holds exactly.
double cubicSurface(double x, double y) {
    return 1.0 + 2.0 * x - y + 0.5 * x * y + 0.1 * x * x * y - 0.02 * x * x * x + 0.003 * x * y * y * y;
}
double cubicSurfaceDx(double x, double y) {
    return 2.0 + 0.5 * y + 0.2 * x * y - 0.06 * x * x + 0.003 * y * y * y;
}

Array1<Vector3> gridPoints(int n, double size, const std::function<double(double, double)>& f) {
    Array1<Vector3> points;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double x = size * i / (n - 1);
            const double y = size * j / (n - 1);
            points.emplace_back(x, y, f(x, y));
        }
    return points;
}

const Rect kSquare(0, 0, 10, 10);

} // namespace

TEST(BSpline2, BasisMatchesTheCardinalSplineAndSumsToOne) {
    for (int d = 0; d <= 5; ++d) {
        for (double t : {0.0, 0.125, 0.3, 0.5, 0.77, 0.999}) {
            double values[6];
            double slopes[6];
            ASSERT_TRUE(orvex::bspline::segments(d, t, values, false));
            ASSERT_TRUE(orvex::bspline::segments(d, t, slopes, true));
            double sum = 0.0;
            double slopeSum = 0.0;
            for (int i = 0; i <= d; ++i) {
                EXPECT_NEAR(values[i], cardinal(d, t - i + (d - 1) / 2.0), 1e-14) << d << " " << i << " " << t;
                const double h = 1e-6;
                const double numeric =
                    (cardinal(d, t + h - i + (d - 1) / 2.0) - cardinal(d, t - h - i + (d - 1) / 2.0)) / (2 * h);
                if (d > 1) {
                    EXPECT_NEAR(slopes[i], numeric, 1e-6) << d << " " << i << " " << t;
                }
                sum += values[i];
                slopeSum += slopes[i];
            }
            EXPECT_NEAR(sum, 1.0, 1e-15) << d;
            EXPECT_NEAR(slopeSum, 0.0, 1e-15) << d;
        }
    }
    double values[7];
    EXPECT_FALSE(orvex::bspline::segments(6, 0.5, values, false));
}

TEST(BSpline2, ConstructionNormalisesPatchCounts) {
    struct Case {
        int nx, ny, expectedX, expectedY;
    };
    for (const Case& c : {Case{4, 0, 4, 4}, Case{0, 0, 0, 0}, Case{0, 3, 3, 3}, Case{-2, -1, 0, 0},
                          Case{2, 5, 2, 5}}) {
        const Spline2 spline(3, kSquare, c.nx, c.ny);
        EXPECT_EQ(spline.nx(), c.expectedX) << c.nx << "," << c.ny;
        EXPECT_EQ(spline.ny(), c.expectedY) << c.nx << "," << c.ny;
        EXPECT_EQ(spline.coefficients().rows(), 3 + c.expectedX);
        EXPECT_EQ(spline.coefficients().cols(), 3 + c.expectedY);
    }
    const BSpline2 none;
    EXPECT_TRUE(none.isNull());
    EXPECT_EQ(none.patchWidth(), 0.0);
    const BSpline2 degreeOnly(3);
    EXPECT_TRUE(degreeOnly.isNull());
    EXPECT_EQ(degreeOnly.patchWidth(), 1.0);
    const BSpline2 layout(3, Rect(0, 0, 10, 8), 5, 4);
    EXPECT_FALSE(layout.isNull());
    EXPECT_EQ(layout.patchWidth(), 2.0);
    EXPECT_EQ(layout.patchHeight(), 2.0);
}

TEST(BSpline2, PatchInfoAtThePatchBorders) {
    const BSpline2 layout(3, kSquare, 5, 5);
    struct Case {
        Vector2 p;
        bool found;
        int px, py;
        double u, v;
    };
    const Case cases[] = {
        {{0, 0}, true, 0, 0, 0, 0},      {{10, 10}, true, 4, 4, 1, 1},   {{2, 4}, true, 1, 2, 0, 0},
        {{3, 9.5}, true, 1, 4, 0.5, 0.75}, {{10, 0}, true, 4, 0, 1, 0},  {{10.5, 3}, false, 0, 0, 0, 0},
        {{-1e-9, 3}, false, 0, 0, 0, 0}, {{NAN, 3}, false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int px = -7;
        int py = -7;
        double u = -7;
        double v = -7;
        ASSERT_EQ(layout.patchInfo(px, py, u, v, c.p), c.found) << c.p.x << "," << c.p.y;
        if (!c.found) {
            EXPECT_EQ(px, -7);
            continue;
        }
        EXPECT_EQ(px, c.px) << c.p.x;
        EXPECT_EQ(py, c.py) << c.p.y;
        EXPECT_DOUBLE_EQ(u, c.u) << c.p.x;
        EXPECT_DOUBLE_EQ(v, c.v) << c.p.y;
    }
    Vector2 centre;
    EXPECT_TRUE(layout.patchCenter(centre, 4, 0));
    EXPECT_EQ(centre.x, 9.0);
    EXPECT_EQ(centre.y, 1.0);
    EXPECT_FALSE(layout.patchCenter(centre, 5, 0));
    EXPECT_FALSE(layout.patchCenter(centre, 0, -1));

    const BSpline2 flat(3, Rect(0, 0, 0, 10), 5, 5);  // zero patch width
    int px;
    int py;
    double u;
    double v;
    EXPECT_FALSE(flat.patchInfo(px, py, u, v, Vector2(0, 5)));
}

TEST(BSpline2, KernelGivesProductsAndFlatIndexes) {
    const BSpline2 layout(2, Rect(0, 0, 4, 6), 2, 3);  // stride d + ny = 5
    double values[BSpline2::kMaxKernelSize];
    int indexes[BSpline2::kMaxKernelSize];
    int px;
    int py;
    ASSERT_TRUE(layout.kernel(values, px, py, indexes, Vector2(3, 5), BSpline2::Value));
    EXPECT_EQ(px, 1);
    EXPECT_EQ(py, 2);
    double sum = 0.0;
    for (int k = 0; k < 9; ++k)
        sum += values[k];
    EXPECT_NEAR(sum, 1.0, 1e-15);
    EXPECT_EQ(indexes[0], 1 * 5 + 2);
    EXPECT_EQ(indexes[8], 3 * 5 + 4);
    // u = v = 0.5: B = (1/8, 3/4, 1/8) on both axes.
    EXPECT_DOUBLE_EQ(values[4], 0.75 * 0.75);
    EXPECT_DOUBLE_EQ(values[1], 0.125 * 0.75);

    ASSERT_TRUE(layout.kernel(values, px, py, indexes, Vector2(3, 5), BSpline2::DerivativeX));
    // B′ = (−1/2, 0, 1/2) along x, per patch width 2.
    EXPECT_DOUBLE_EQ(values[0], -0.25 * 0.125);
    EXPECT_DOUBLE_EQ(values[4], 0.0);

    const BSpline2 tooHigh(6, Rect(0, 0, 4, 4), 2, 2);
    px = py = -1;
    EXPECT_FALSE(tooHigh.kernel(values, px, py, indexes, Vector2(3, 1), BSpline2::Value));
    EXPECT_EQ(px, 1);  // written before the degree is refused
    EXPECT_EQ(py, 0);
}

TEST(Spline2, EvalInsideAndOutside) {
    Spline2 spline(3, kSquare, 5, 5);
    spline.coefficients().fill(2.5);
    bool inside = false;
    int px;
    int py;
    EXPECT_DOUBLE_EQ(spline.eval(Vector2(10, 10), px, py, &inside), 2.5);
    EXPECT_TRUE(inside);
    EXPECT_EQ(px, 4);
    EXPECT_EQ(py, 4);
    EXPECT_EQ(spline.eval(Vector2(10.5, 3), &inside), 0.0);
    EXPECT_FALSE(inside);
    EXPECT_NEAR(spline.eval(Vector2(3, 3), &inside, BSpline2::DerivativeY), 0.0, 1e-15);
    EXPECT_TRUE(inside);
    EXPECT_DOUBLE_EQ(spline.eval(Vector2(1, 1)), 2.5);  // inside may be null

    // Degrees beyond the tables, shapes the array does not hold and zero patches are
    // outside, never a read past the coefficients or a division by zero columns.
    Spline2 high(7, kSquare, 2, 2);
    EXPECT_TRUE(high.coefficients().empty());
    EXPECT_EQ(high.eval(Vector2(5, 5), &inside), 0.0);
    EXPECT_TRUE(Spline2(2147483647, kSquare, 2, 2).coefficients().empty());
    EXPECT_FALSE(inside);
    Spline2 noPatches(3, kSquare, 0, 0);
    EXPECT_EQ(noPatches.eval(Vector2(5, 5), &inside), 0.0);
    EXPECT_FALSE(inside);
    noPatches.setNPatch(4, 0);  // unnormalised: no patches along y
    EXPECT_EQ(noPatches.eval(Vector2(5, 5), &inside), 0.0);
    EXPECT_FALSE(inside);
    Spline2 shrunk(3, kSquare, 5, 5);
    shrunk.coefficients().allocData(4, 4);
    EXPECT_EQ(shrunk.eval(Vector2(9, 9), &inside), 0.0);
    EXPECT_FALSE(inside);
}

TEST(Spline2, SetNPatchAndResizeZeroTheCoefficients) {
    Spline2 spline(3, kSquare, 4, 4);
    spline.coefficients().fill(1.0);
    spline.setNPatch(4, 4);
    EXPECT_EQ(spline.coefficients()[3][3], 0.0);
    spline.coefficients().fill(1.0);
    spline.resizeCoefficients();
    EXPECT_EQ(spline.coefficients()[0][6], 0.0);
    spline.setNPatch(2, 3);
    EXPECT_EQ(spline.coefficients().rows(), 5);
    EXPECT_EQ(spline.coefficients().cols(), 6);
    EXPECT_EQ(spline.patchWidth(), 5.0);
    spline.setDegree(1);
    EXPECT_EQ(spline.coefficients().rows(), 3);
    EXPECT_EQ(spline.coefficients().cols(), 4);
}

TEST(Spline2, FitRecoversACubicSurface) {
    Spline2 spline(3, Rect(), 4, 3);
    ASSERT_TRUE(spline.fit(gridPoints(15, 10.0, cubicSurface)));
    EXPECT_EQ(spline.domain().x1, 10.0);
    for (const Vector2& p : {Vector2(0, 0), Vector2(3.3, 7.1), Vector2(10, 4.4), Vector2(9.9, 10)}) {
        EXPECT_NEAR(spline.eval(p), cubicSurface(p.x, p.y), 1e-9) << p.x << "," << p.y;
        EXPECT_NEAR(spline.eval(p, nullptr, BSpline2::DerivativeX), cubicSurfaceDx(p.x, p.y), 1e-8);
    }
}

TEST(Spline2, FitNeedsEnoughPointsAndSpread) {
    LogCapture& log = LogCapture::emptied();
    Spline2 spline(3, kSquare, 4, 4);
    spline.coefficients().fill(1.0);
    Array1<Vector3> points = gridPoints(7, 10.0, cubicSurface);  // 49 points for 49 coefficients
    points.pop_back();
    EXPECT_FALSE(spline.fit(points));
    EXPECT_EQ(spline.coefficients()[0][0], 1.0);
    EXPECT_TRUE(log.take().empty());

    Array1<Vector3> line;
    for (int i = 0; i < 60; ++i)
        line.emplace_back(2.0, i * 0.1, 1.0);
    EXPECT_FALSE(spline.fit(line));
    EXPECT_EQ(log.take(), std::vector<std::string>{"0 number of points for spline fit."});
    EXPECT_EQ(spline.coefficients()[0][0], 0.0);
    EXPECT_EQ(spline.domain().x0, 2.0);
    EXPECT_EQ(spline.domain().x1, 2.0);
}

TEST(Spline2, ConstraintFitPassesThroughInvariants) {
    LogCapture& log = LogCapture::emptied();
    // Rough data: a cubic spline cannot follow it, but must meet the invariants.
    const auto rough = [](double x, double y) { return std::sin(1.3 * x) * std::cos(0.9 * y); };
    const Array1<Vector3> points = gridPoints(12, 10.0, rough);
    const Array1<Vector3> invariants = {{2.5, 2.5, 7.0}, {8.0, 1.0, -3.0}};
    Spline2 spline(3, Rect(), 3, 3);
    ASSERT_TRUE(spline.constraintFit(points, invariants));
    for (const Vector3& q : invariants)
        EXPECT_NEAR(spline.eval(Vector2(q.x, q.y)), q.z, 1e-9);
    EXPECT_TRUE(log.take().empty());

    EXPECT_FALSE(spline.constraintFit(points, Array1<Vector3>{{11.0, 5.0, 0.0}}));
    EXPECT_EQ(log.take(), std::vector<std::string>{"Invariant point not in the domain."});

    // Two invariants at one place with different values: no solution.
    EXPECT_FALSE(spline.constraintFit(points, Array1<Vector3>{{5, 5, 0}, {5, 5, 1}}));
    EXPECT_EQ(log.take(), std::vector<std::string>{"AtA inversion failed."});
}

TEST(Spline2, ApproximateCopiesOrResamples) {
    Spline2 source(3, Rect(), 4, 4);
    ASSERT_TRUE(source.fit(gridPoints(20, 10.0, cubicSurface)));

    Spline2 same(1, Rect(0, 0, 1, 1), 4, 4);
    same.approximate(source);
    EXPECT_TRUE(same == source);
    EXPECT_EQ(same.degree(), 3);

    Spline2 finer(1, Rect(), 10, 8);
    finer.approximate(source);
    EXPECT_EQ(finer.degree(), 3);
    EXPECT_EQ(finer.nx(), 10);
    EXPECT_EQ(finer.coefficients().rows(), 13);
    EXPECT_EQ(finer.coefficients().cols(), 11);
    EXPECT_EQ(finer.domain().x1, source.domain().x1);
    // Interpolates the samples at the knots; the borders' extrapolation fades inwards.
    for (const Vector2& p : {Vector2(5, 5), Vector2(4, 6.25), Vector2(6, 3.75)})
        EXPECT_NEAR(finer.eval(p), source.eval(p), 1e-3) << p.x << "," << p.y;
    EXPECT_NEAR(finer.eval(Vector2(5.5, 5)), source.eval(Vector2(5.5, 5)), 2e-2);

    Spline2 self = source;
    self.approximate(self);
    EXPECT_TRUE(self == source);
}

TEST(Spline2, ApproximateRefusesWhatItCannotHold) {
    LogCapture& log = LogCapture::emptied();
    Spline2 quadratic(2, kSquare, 4, 4);
    Spline2 target(3, kSquare, 3, 3);
    target.coefficients().fill(1.0);
    const Spline2 before = target;
    target.approximate(quadratic);
    EXPECT_TRUE(target == before);
    ASSERT_EQ(log.take().size(), 1u);

    Spline2 noPatches(3, kSquare, 4, 4);
    noPatches.setNPatch(0, 2);
    const Spline2 unchanged = noPatches;
    noPatches.approximate(Spline2(3, kSquare, 5, 5));
    EXPECT_TRUE(noPatches == unchanged);
    EXPECT_EQ(log.take().size(), 1u);

    Spline2 septic(7, kSquare, 4, 4);
    target.approximate(septic);
    EXPECT_TRUE(target == before);
    EXPECT_EQ(log.take().size(), 1u);
}

TEST(Spline2, Equality) {
    Spline2 a(3, kSquare, 2, 2);
    a.coefficients().fill(0.5);
    Spline2 b = a;
    EXPECT_TRUE(a == b);
    b.coefficients()[4][1] = 0.25;
    EXPECT_TRUE(a != b);

    Spline2 corner(3, Rect(0, 0, 10, 10.5), 2, 2);
    corner.coefficients().fill(0.5);
    EXPECT_TRUE(a != corner);

    Spline2 flagCleared = a;
    Rect domain = a.domain();
    domain.y1Set = false;
    flagCleared.setDefinitionDomain(domain);
    EXPECT_TRUE(a != flagCleared);

    // Degrees and counts compare as at least 0.
    EXPECT_TRUE(Spline2(-1) == Spline2(0));
    EXPECT_TRUE(Spline2(3) != Spline2(1));
}
