#include "orvex/analysis/WindowSmoothing.h"

#include "AreaBuilder.h"
#include "DirectReference.h"

#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::valuesOf;

namespace {

// A 12 × 10 area with a wavy variable "f", the plane "g" = 1 + 0.5·c − 0.25·r and
// blanking "sigma" with a blanked block.
ZelData wavyArea() {
    const int columns = 12, rows = 10;
    std::vector<float> f, g, sigma;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            f.push_back(float(std::sin(0.7 * c) + std::cos(0.5 * r)));
            g.push_back(float(1 + 0.5 * c - 0.25 * r));
            sigma.push_back(r >= 3 && r < 5 && c >= 4 && c < 7 ? -1.0f : 0.1f);
        }
    return makeArea(columns, rows, {{"f", Unknown, f}, {"g", Unknown, g}, {"sigma", Correlation, sigma}});
}

// A wavy field "f" (magnitude below 5) over blanking "sigma" (wavy, ≥ 0 where valid)
// with a round hole holding a NaN, a lone valid point inside a blanked square, a NaN
// mask value, and blanked points along the top row, the left column and in the
// bottom-right corner.
ZelData holedArea(int columns, int rows) {
    std::vector<float> f, sigma;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            f.push_back(float(3 + std::sin(0.31 * c) * std::cos(0.23 * r) + 0.05 * c - 0.02 * r));
            const bool hole = (r - 14) * (r - 14) + (c - 20) * (c - 20) < 17;
            const bool square = std::abs(r - 8) <= 2 && std::abs(c - 30) <= 2 && !(r == 8 && c == 30);
            const bool border = (r == 0 && c >= 6 && c < 13) || (c == 0 && r >= 4 && r < 11) ||
                                (r >= rows - 3 && c >= columns - 4);
            sigma.push_back(hole || square || border ? -1.0f : float(0.5 + 0.5 * std::sin(0.9 * c + 0.4 * r)));
        }
    if (rows > 14) {
        f[14 * columns + 20] = NAN;
        sigma[5 * columns + 33] = NAN;
    }
    return makeArea(columns, rows, {{"f", Unknown, f}, {"sigma", Correlation, sigma}});
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

} // namespace

// The single-variable fit agrees with the multi-field form (double products) to
// single precision, and keeps blanked points' values.
TEST(SmoothVariable, AgreesWithMultiFieldSmoothingAndKeepsBlankedValues) {
    for (bool weighted : {true, false}) {
        ZelData area = wavyArea();
        const std::vector<float> before = valuesOf(area, 0);
        std::vector<float> expected = before;
        ASSERT_TRUE(smooth(expected.data(), before.data(), area.data(2), 12, 10, 5, weighted));
        ASSERT_TRUE(smoothVariable(area, "f", 5, weighted, nullptr));
        for (int p = 0; p < area.matrixSize(); ++p) EXPECT_NEAR(area.data(0)[p], expected[p], 2e-6) << p;
        EXPECT_EQ(area.data(0)[3 * 12 + 5], before[3 * 12 + 5]);
        EXPECT_NE(area.data(0)[0], before[0]);
    }
}

// The separable window sums give the direct fits to float rounding, with both kernels,
// holes, invalid points on the border, windows beyond the grid, an even window (widened
// to the next odd one), one row, and the blanking variable itself (every fit sees the
// unsmoothed mask). Points without a fit keep their exact value.
TEST(SmoothVariable, MatchesDirectFits) {
    struct Case {
        const char* name;
        int columns, rows, windowSize;
        const char* variable;
    } cases[] = {
        {"window 1", 41, 29, 1, "f"},         {"window 3", 41, 29, 3, "f"},
        {"window 15", 41, 29, 15, "f"},       {"even window 8", 41, 29, 8, "f"},
        {"window beyond the grid", 41, 29, 61, "f"}, {"one row", 41, 1, 5, "f"},
        {"blanking itself", 41, 29, 7, "sigma"},
    };
    const float tolerance = 1e-6f; // a few units in the last place of values below 5
    float largest = 0;
    for (const Case& cs : cases)
        for (bool weighted : {true, false}) {
            SCOPED_TRACE(::testing::Message() << cs.name << (weighted ? ", weighted" : ", uniform"));
            ZelData area = holedArea(cs.columns, cs.rows);
            const int index = area.findVariable(cs.variable);
            const std::vector<float> original = valuesOf(area, index);
            std::vector<float> expected = original;
            const std::vector<float> mask = valuesOf(area, area.findVariable("sigma"));
            reference::smoothVariable(expected.data(), mask.data(), cs.columns, cs.rows, cs.windowSize | 1, weighted);
            ASSERT_TRUE(smoothVariable(area, cs.variable, cs.windowSize, weighted, nullptr));
            const std::vector<float> smoothed = valuesOf(area, index);
            int fitted = 0;
            for (std::size_t p = 0; p < smoothed.size(); ++p) {
                if (sameBits(expected[p], original[p])) {
                    ASSERT_TRUE(sameBits(smoothed[p], expected[p])) << "point " << p << " has no fit";
                    continue;
                }
                ++fitted;
                ASSERT_NEAR(smoothed[p], expected[p], tolerance) << "point " << p;
                largest = std::max(largest, std::fabs(smoothed[p] - expected[p]));
            }
            const bool fitsNowhere = cs.windowSize == 1 || cs.rows == 1;
            EXPECT_EQ(fitted == 0, fitsNowhere);
        }
    RecordProperty("largestDifference", ::testing::PrintToString(largest));
}

// Found by description too; a plane is reproduced; a window of 1 fits nowhere and
// changes nothing instead of zeroing the variable.
TEST(SmoothVariable, PlanesAndWindowOfOne) {
    ZelData area = wavyArea();
    const std::vector<float> plane = valuesOf(area, 1);
    ASSERT_TRUE(smoothVariable(area, "g description", 7, true, nullptr));
    for (int p = 0; p < area.matrixSize(); ++p) EXPECT_NEAR(area.data(1)[p], plane[p], 1e-5);
    const std::vector<float> wavy = valuesOf(area, 0);
    ASSERT_TRUE(smoothVariable(area, "f", 1, true, nullptr));
    EXPECT_EQ(valuesOf(area, 0), wavy);
}

TEST(SmoothVariable, RefusalsChangeNothing) {
    ZelData area = wavyArea();
    const std::vector<float> before = valuesOf(area, 0);
    EXPECT_FALSE(smoothVariable(area, "missing", 5, true, nullptr));
    EXPECT_FALSE(smoothVariable(area, "f", 0, true, nullptr));
    ZelData unblanked = makeArea(3, 3, {{"f", Unknown, std::vector<float>(9, 1.0f)}});
    EXPECT_FALSE(smoothVariable(unblanked, "f", 3, true, nullptr));
    EXPECT_EQ(valuesOf(area, 0), before);
}

// 100 points add 93: every index that is not a multiple of 16, blanked ones included.
TEST(SmoothVariable, ProgressCountsFifteenOfSixteenPoints) {
    ZelData area = makeArea(10, 10, {{"f", Unknown, std::vector<float>(100, 2.0f)},
                                     {"sigma", Correlation, std::vector<float>(100, -1.0f)}});
    int progress = 5;
    ASSERT_TRUE(smoothVariable(area, "f", 3, false, &progress));
    EXPECT_EQ(progress, 98);
}

// Smoothing a coordinate drops the cached search trees: tree and plain searches agree.
TEST(SmoothVariable, CoordinateSmoothingDropsSearchTrees) {
    GridFields g(9, 9, [](int r, int c) { return Vector3(c * c * 0.2, r * 1.0, 0.0); },
                 [](const Vector3&) { return Vector3(0, 0, 0); });
    ZelData area = stereoArea(g);
    const Vector2 probe(6.5, 4.2);
    const auto before = area.extractGlobalPoint(probe, false, true);
    ASSERT_GE(before.first, 0);
    ASSERT_TRUE(smoothVariable(area, "X", 9, false, nullptr));
    const auto withTree = area.extractGlobalPoint(probe, false, true);
    const auto withoutTree = area.extractGlobalPoint(probe, false, false);
    EXPECT_EQ(withTree, withoutTree);
    EXPECT_NE(withoutTree.first, before.first); // the nearest grid point moved
}

// Every gridded area of a set in order, others skipped; the first failure stops.
TEST(SmoothVariable, DataSetAreasInOrder) {
    ZelDataSet set;
    set.addData(new ZelData(wavyArea()));
    set.addData(new ZelData(notGridded(wavyArea())));
    set.addData(new ZelData(makeArea(4, 4, {{"f", Unknown, std::vector<float>(16, 1.0f)}}))); // no blanking
    set.addData(new ZelData(wavyArea()));
    int progress = 0;
    EXPECT_FALSE(smoothVariable(set, "f", 3, true, &progress));
    EXPECT_NE(valuesOf(*set.data(0), 0), valuesOf(wavyArea(), 0));
    EXPECT_EQ(valuesOf(*set.data(1), 0), valuesOf(wavyArea(), 0));
    EXPECT_EQ(valuesOf(*set.data(3), 0), valuesOf(wavyArea(), 0));
    EXPECT_EQ(progress, 120 - 8); // the failing area counts nothing

    ZelDataSet empty;
    EXPECT_TRUE(smoothVariable(empty, "f", 3, true, nullptr));
}
