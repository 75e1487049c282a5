#include "orvex/core/InterpArray2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using orvex::Array2;
using orvex::InterpArray2;
using orvex::InterpArray2Base;

namespace {

Array2<double> arrayOf(const std::vector<std::vector<double>>& rows) {
    Array2<double> a(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()));
    for (int i = 0; i < a.rows(); ++i)
        for (int j = 0; j < a.cols(); ++j)
            a[i][j] = rows[i][j];
    return a;
}

// Smooth but not polynomial samples.
Array2<double> wavySamples(int rows, int cols) {
    Array2<double> a(rows, cols);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j)
            a[i][j] = std::sin(0.7 * i) + std::cos(0.4 * j) + 0.05 * i * j;
    return a;
}

const double kCubicPole = std::sqrt(3.0) - 2.0;

} // namespace

TEST(InterpArray2, PolesAreTheDocumentedRoots) {
    const double expected[6][2] = {{0, 0},
                                   {0, 0},
                                   {-0.1715728752538097, 0},
                                   {-0.2679491924311228, 0},
                                   {-0.3613412259002118, -0.013725429297341663},
                                   {-0.43057534709997825, -0.04309628820326328}};
    const int counts[6] = {0, 0, 1, 1, 2, 2};
    for (int degree = 0; degree <= 5; ++degree) {
        double poles[2] = {0, 0};
        ASSERT_EQ(InterpArray2Base::prefilterPoles(degree, poles), counts[degree]) << degree;
        for (int p = 0; p < counts[degree]; ++p)
            EXPECT_NEAR(poles[p], expected[degree][p], 1e-15) << degree;
    }
    double poles[2];
    EXPECT_EQ(InterpArray2Base::prefilterPoles(6, poles), 0);
    EXPECT_EQ(InterpArray2Base::prefilterPoles(-1, poles), 0);
}

// On a long line an impulse becomes the cubic prefilter's impulse response √3·z^|k|.
TEST(InterpArray2, PrefilterOfAnImpulse) {
    constexpr int n = 81;
    constexpr int centre = 40;
    std::vector<double> line(n, 0.0);
    line[centre] = 1.0;
    InterpArray2Base::convertToInterpolationCoeffs(line.data(), n, &kCubicPole, 1, InterpArray2Base::kTolerance);
    for (int k = 0; k < n; ++k)
        EXPECT_NEAR(line[k], std::sqrt(3.0) * std::pow(kCubicPole, std::abs(k - centre)), 1e-15) << k;

    std::vector<double> single = {5.0};
    InterpArray2Base::convertToInterpolationCoeffs(single.data(), 1, &kCubicPole, 1, InterpArray2Base::kTolerance);
    EXPECT_EQ(single[0], 5.0);
}

// The cubic horizon is ⌈ln 2^-52 / ln |z|⌉ = 28: from 29 samples on the causal sum stops
// before sample 28; shorter lines take the exact mirrored sum.
TEST(InterpArray2, CausalInitialisationStopsAtTheHorizon) {
    const double tolerance = InterpArray2Base::kTolerance;
    std::vector<double> line(29, 0.0);
    line[27] = 1.0;
    EXPECT_DOUBLE_EQ(InterpArray2Base::initialCausalCoefficient(line.data(), 29, kCubicPole, tolerance),
                     std::pow(kCubicPole, 27));
    line[27] = 0.0;
    line[28] = 1.0;
    EXPECT_EQ(InterpArray2Base::initialCausalCoefficient(line.data(), 29, kCubicPole, tolerance), 0.0);
    // No tolerance: the mirrored sum over the period 2n − 2 = 56.
    EXPECT_DOUBLE_EQ(InterpArray2Base::initialCausalCoefficient(line.data(), 29, kCubicPole, 0.0),
                     std::pow(kCubicPole, 28) / (1.0 - std::pow(kCubicPole, 56)));
    EXPECT_DOUBLE_EQ(InterpArray2Base::initialCausalCoefficient(line.data(), 28 + 1, kCubicPole, 0.0),
                     std::pow(kCubicPole, 28) / (1.0 - std::pow(kCubicPole, 56)));

    const double last[] = {2.0, 3.0};
    EXPECT_DOUBLE_EQ(InterpArray2Base::initialAntiCausalCoefficient(last, 2, kCubicPole),
                     kCubicPole / (kCubicPole * kCubicPole - 1.0) * (kCubicPole * 2.0 + 3.0));
}

// Interpolation at the integer positions gives the samples back, for every degree and
// for lines on either side of the horizon.
TEST(InterpArray2, ReproducesTheSamplesForEveryDegree) {
    for (const auto& [rows, cols] : std::vector<std::pair<int, int>>{{5, 7}, {2, 40}, {31, 3}, {1, 6}}) {
        const Array2<double> samples = wavySamples(rows, cols);
        for (int degree = 0; degree <= 5; ++degree) {
            const InterpArray2<double> interp(samples, degree);
            for (int i = 0; i < rows; ++i)
                for (int j = 0; j < cols; ++j)
                    ASSERT_NEAR(interp.interpolate(i, j), samples[i][j], 1e-12)
                        << rows << "x" << cols << " degree " << degree << " at " << i << "," << j;
        }
    }
}

TEST(InterpArray2, LowDegreesAndSmallArrays) {
    const Array2<double> samples = arrayOf({{0, 1}, {2, 3}});
    const InterpArray2<double> nearest(samples, 0);
    EXPECT_EQ(nearest.interpolate(0.49, 0.2), 0.0);
    EXPECT_EQ(nearest.interpolate(0.5, 0.5), 3.0);  // halfway takes the upper sample
    EXPECT_EQ(nearest.interpolate(0.2, 0.7), 1.0);
    double gr = -1;
    double gc = -1;
    EXPECT_EQ(nearest.interpolate(gr, gc, 0.3, 0.6), 1.0);
    EXPECT_EQ(gr, 0.0);
    EXPECT_EQ(gc, 0.0);

    const InterpArray2<double> bilinear(samples, 1);
    EXPECT_DOUBLE_EQ(bilinear.interpolate(0.5, 0.25), 1.25);
    EXPECT_DOUBLE_EQ(bilinear.interpolate(gr, gc, 0.75, 0.5), 2.0);
    EXPECT_DOUBLE_EQ(gr, 2.0);
    EXPECT_DOUBLE_EQ(gc, 1.0);

    // [0, 6] mirrored alternates, so its cubic coefficients are [−6, 12].
    const InterpArray2<double> cubic(arrayOf({{0, 6}}), 3);
    EXPECT_NEAR(cubic.coefficients()[0][0], -6.0, 1e-13);
    EXPECT_NEAR(cubic.coefficients()[0][1], 12.0, 1e-13);
    EXPECT_NEAR(cubic.interpolate(0.0, 0.25), 0.9375, 1e-13);
    EXPECT_NEAR(cubic.interpolate(gr, gc, 7.0, 0.25), 0.9375, 1e-13);  // one row: any row index
    EXPECT_EQ(gr, 0.0);
    EXPECT_NEAR(gc, 6.75, 1e-13);

    const InterpArray2<double> point(arrayOf({{4.5}}), 3);
    EXPECT_DOUBLE_EQ(point.interpolate(-3.2, 11.7), 4.5);
}

// Reference values of the same mirror-boundary interpolation from an independent
// implementation (scipy.ndimage.map_coordinates, mode "mirror").
TEST(InterpArray2, MatchesAnIndependentImplementation) {
    Array2<double> samples(7, 9);
    for (int i = 0; i < 7; ++i)
        for (int j = 0; j < 9; ++j)
            samples[i][j] = std::sin(0.7 * i) + std::cos(0.4 * j) + 0.05 * i * j + (i * 3 + j) % 4;
    struct Case {
        int degree;
        double r, c, expected;
    };
    const Case cases[] = {
        {2, 0.3, 0.7, 1.6514462602180349},
        {2, 2.5, 4.5, 3.7007872684629777},
        {2, -0.4, 3.2, 3.0293354852799057},
        {2, 6.3, 8.6, 2.132428955877695},
        {2, 3.49, 1.51, 4.16386239481247},
        {2, -2.7, 10.4, 3.7681771548058913},
        {3, 0.3, 0.7, 1.6447665041100847},
        {3, 2.5, 4.5, 3.745165469274521},
        {3, -0.4, 3.2, 2.9954552372252623},
        {3, 6.3, 8.6, 2.208338111588779},
        {3, 3.49, 1.51, 4.231207757240293},
        {3, -2.7, 10.4, 3.793732553089036},
        {4, 0.3, 0.7, 1.6513393881722294},
        {4, 2.5, 4.5, 3.759250826990449},
        {4, -0.4, 3.2, 2.970575688119163},
        {4, 6.3, 8.6, 2.2229444906764644},
        {4, 3.49, 1.51, 4.291702451244509},
        {4, -2.7, 10.4, 3.8666540777623024},
        {5, 0.3, 0.7, 1.6571190578511468},
        {5, 2.5, 4.5, 3.741798086626719},
        {5, -0.4, 3.2, 2.950419130557649},
        {5, 6.3, 8.6, 2.2340225765690933},
        {5, 3.49, 1.51, 4.314316772301884},
        {5, -2.7, 10.4, 3.8939525382114324},
    };
    for (const Case& c : cases) {
        const InterpArray2<double> interp(samples, c.degree);
        EXPECT_NEAR(interp.interpolate(c.r, c.c), c.expected, 1e-12) << c.degree << " at " << c.r << "," << c.c;
    }
}

TEST(InterpArray2, MirrorsBeyondTheBorders) {
    const InterpArray2<double> interp(wavySamples(6, 9), 3);
    const double rows = 5.0;
    const double cols = 8.0;
    for (double d : {0.3, 1.7, 4.2}) {
        EXPECT_NEAR(interp.interpolate(-d, 2.5), interp.interpolate(d, 2.5), 1e-12) << d;
        EXPECT_NEAR(interp.interpolate(2.5, -d), interp.interpolate(2.5, d), 1e-12) << d;
        EXPECT_NEAR(interp.interpolate(rows + d, 1.5), interp.interpolate(rows - d, 1.5), 1e-12) << d;
        EXPECT_NEAR(interp.interpolate(1.5, cols + d), interp.interpolate(1.5, cols - d), 1e-12) << d;
    }
    // Far away the extension repeats with period 2W − 2.
    EXPECT_NEAR(interp.interpolate(1e12 + 0.4, 3e15 + 0.5), interp.interpolate(std::fmod(1e12 + 0.4, 10.0),
                                                                                 std::fmod(3e15 + 0.5, 16.0)),
                1e-9);
    EXPECT_TRUE(std::isnan(interp.interpolate(NAN, 1.0)));
    EXPECT_TRUE(std::isnan(interp.interpolate(1.0, INFINITY)));
}

TEST(InterpArray2, GradientOfALinearRamp) {
    // Large enough that the borders' mirroring (pole −0.43 for degree 5) has died out.
    Array2<double> ramp(80, 80);
    for (int i = 0; i < 80; ++i)
        for (int j = 0; j < 80; ++j)
            ramp[i][j] = 2.0 * i + 3.0 * j;
    for (int degree = 1; degree <= 5; ++degree) {
        const InterpArray2<double> interp(ramp, degree);
        for (const auto& [r, c] : std::vector<std::pair<double, double>>{{40.3, 39.8}, {35.5, 44.25}, {38, 41}}) {
            double gr;
            double gc;
            const double value = interp.interpolate(gr, gc, r, c);
            EXPECT_NEAR(value, 2.0 * r + 3.0 * c, 1e-9) << degree;
            EXPECT_NEAR(gr, 2.0, 1e-9) << degree;
            EXPECT_NEAR(gc, 3.0, 1e-9) << degree;
            EXPECT_DOUBLE_EQ(interp.interpolate(r, c), value) << degree;
        }
    }
}

TEST(InterpArray2, UnsupportedDegreesAndEmptyArraysGiveZero) {
    const Array2<double> samples = wavySamples(3, 3);
    for (int degree : {-1, 6}) {
        const InterpArray2<double> interp(samples, degree);
        double gr = -1;
        double gc = -1;
        EXPECT_EQ(interp.interpolate(gr, gc, 1.0, 1.0), 0.0) << degree;
        EXPECT_EQ(gr, 0.0);
        EXPECT_EQ(gc, 0.0);
    }
    const InterpArray2<double> empty(Array2<double>(), 3);
    EXPECT_EQ(empty.interpolate(0.0, 0.0), 0.0);
}

TEST(InterpArray2, BuildsFromOtherSampleTypes) {
    Array2<float> samples(3, 4);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j)
            samples[i][j] = static_cast<float>(i * 4 + j);
    const InterpArray2<float> interp(samples, 3);
    EXPECT_NEAR(interp.interpolate(2.0, 1.0), 9.0, 1e-12);
}
