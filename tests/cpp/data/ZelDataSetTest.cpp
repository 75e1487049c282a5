#include "orvex/data/ZelDataSet.h"

#include "AreaFixtures.h"
#include "MetaDataText.h"
#include "orvex/calibration/Calibration3D.h"
#include "orvex/core/RigidTransform.h"
#include "orvex/data/ZelData.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using orvex::Correlation;
using orvex::GlobalCoordinate;
using orvex::GlobalDisplacement;
using orvex::ZelData;
using orvex::ZelDataSet;
using orvex::testing::makeArea;

namespace {

// A planar area of one row whose blanking values and values of "U" and "V" are given.
ZelData* blankedArea(const std::vector<float>& sigma, const std::vector<float>& u, const std::vector<float>& v) {
    const int columns = static_cast<int>(sigma.size());
    return new ZelData(makeArea(1, columns,
                                {{Correlation, "sigma", "", sigma},
                                 {GlobalDisplacement, "U", "", u},
                                 {GlobalDisplacement, "V", "", v}}));
}

// A planar pixel grid with x = column, y = row and every point valid.
ZelData* pixelGrid(int rows, int columns) {
    std::vector<float> x, y;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            x.push_back(static_cast<float>(c));
            y.push_back(static_cast<float>(r));
        }
    }
    return new ZelData(makeArea(rows, columns,
                                {{orvex::PixelCoordinate, "x", "", x},
                                 {orvex::PixelCoordinate, "y", "", y},
                                 {Correlation, "sigma", "", {}}}));
}

// A 2 x 2 planar cell whose pixel x starts at `x0`; all other variables hold `value`.
ZelData* constantCell(float x0, float value) {
    const std::vector<float> same(4, value);
    return new ZelData(makeArea(2, 2,
                                {{orvex::PixelCoordinate, "x", "", {x0, x0 + 1, x0, x0 + 1}},
                                 {orvex::PixelCoordinate, "y", "", {0, 0, 1, 1}},
                                 {Correlation, "sigma", "", {0, 0, 0, 0}},
                                 {GlobalCoordinate, "x_c", "", same},
                                 {GlobalCoordinate, "y_c", "", same},
                                 {GlobalDisplacement, "U", "", same},
                                 {GlobalDisplacement, "V", "", same},
                                 {GlobalDisplacement, "W", "", same}}));
}

// The area's triangles with every index shifted by `offset`.
std::vector<int> trianglesOf(const ZelData& area, int offset) {
    int count = 0;
    const std::unique_ptr<int[]> triangles(area.triangulation(count, 1));
    std::vector<int> result;
    for (int k = 0; k < 3 * count; ++k)
        result.push_back(triangles[k] + offset);
    return result;
}

} // namespace

TEST(ZelDataSet, EmptySet) {
    const ZelDataSet set;
    EXPECT_EQ(set.numData(), 0);
    EXPECT_EQ(set.data(0), nullptr);
    EXPECT_EQ(set.sumNumDataPoints(), 0);
    EXPECT_EQ(set.currentDataType(), orvex::Type2d);
    EXPECT_TRUE(set.variables().empty());
    EXPECT_FALSE(set.range("X").has_value());
    EXPECT_TRUE(set.triangulation(1).empty());
    EXPECT_EQ(set.referenceImage(), "");
    EXPECT_EQ(set.deformedImage(), "");
}

TEST(ZelDataSet, AreasByIndexAndSetWideQueries) {
    ZelDataSet set;
    set.addData(new ZelData(makeArea(2, 3, {{GlobalCoordinate, "x_c", "", {}}, {Correlation, "sigma", "", {}}})));
    ZelData* stereo = new ZelData(makeArea(3, 3,
                                           {{GlobalCoordinate, "X", "", {}},
                                            {GlobalCoordinate, "Y", "", {}},
                                            {GlobalCoordinate, "Z", "", {}},
                                            {GlobalDisplacement, "U", "", {}},
                                            {GlobalDisplacement, "V", "", {}},
                                            {GlobalDisplacement, "W", "", {}}}));
    set.addData(stereo);
    EXPECT_EQ(set.numData(), 2);
    EXPECT_EQ(set.data(-1), nullptr);
    EXPECT_EQ(set.data(2), nullptr);
    EXPECT_EQ(set.data(1), stereo);
    EXPECT_EQ(set.sumNumDataPoints(), 15);
    EXPECT_EQ(set.currentDataType(), orvex::Type3d);
    ASSERT_EQ(set.variables().size(), 2u);
    EXPECT_EQ(set.variables()[0].name, "x_c");

}

TEST(ZelDataSet, TriangulationNumbersThePointsOfAllAreasInOrder) {
    ZelDataSet set;
    set.addData(pixelGrid(2, 3));
    set.addData(pixelGrid(1, 4)); // no triangles, still shifts the numbering
    set.addData(pixelGrid(3, 3));
    std::vector<int> expected = trianglesOf(*set.data(0), 0);
    const std::vector<int> last = trianglesOf(*set.data(2), 6 + 4);
    expected.insert(expected.end(), last.begin(), last.end());
    ASSERT_EQ(expected.size(), 3u * (4 + 8));
    EXPECT_EQ(set.triangulation(1), expected);
}

TEST(ZelDataSet, PointNumberingWrapsLikeIntArithmetic) {
    // Two grids without variables (as a file may hold) of 2147441940 points each
    // push the numbering of the third area past the int range.
    ZelDataSet set;
    set.addData(new ZelData(46340, 46341, 0, ""));
    set.addData(new ZelData(46340, 46341, 0, ""));
    set.addData(pixelGrid(2, 2));
    const int wrappedOffset = -83416; // 2 * 2147441940 - 2^32
    EXPECT_EQ(set.sumNumDataPoints(), wrappedOffset + 4);
    EXPECT_EQ(set.triangulation(1), trianglesOf(*set.data(2), wrappedOffset));
}

TEST(ZelDataSet, LookupsAnswerFromTheFirstAreaHoldingThePoint) {
    ZelDataSet set;
    set.addData(constantCell(0, 1)); // covers x in [0, 1]
    set.addData(constantCell(0.5f, 2)); // covers x in [0.5, 1.5]
    struct Case {
        float x;
        float expected; // 0: no area holds the point
    };
    for (const Case c : {Case{0.75f, 1}, Case{1.25f, 2}, Case{5, 0}}) {
        const bool found = c.expected != 0;
        float X = 0, Y = 0, Z = 0, U = 0, V = 0, W = 0, byName = 0, byIndex = 0;
        std::vector<float> values;
        EXPECT_EQ(set.lookupXYZ(c.x, 0.5f, X, Y, Z, orvex::Type2d), found) << c.x;
        EXPECT_EQ(set.lookupUVW(c.x, 0.5f, U, V, W), found) << c.x;
        EXPECT_EQ(set.lookupVar(c.x, 0.5f, "U", byName), found) << c.x;
        EXPECT_EQ(set.lookupVar(c.x, 0.5f, 5, byIndex), found) << c.x;
        EXPECT_EQ(set.lookupVariables(c.x, 0.5f, {"V", "W"}, values), found) << c.x;
        EXPECT_EQ(set.data(c.x, 0.5f, orvex::Type2d), found ? set.data(static_cast<int>(c.expected) - 1) : nullptr);
        if (!found)
            continue;
        for (float value : {X, Y, U, V, W, byName, byIndex})
            EXPECT_FLOAT_EQ(value, c.expected) << c.x;
        EXPECT_EQ(values, std::vector<float>(2, c.expected)) << c.x;
    }
}

TEST(ZelDataSet, RangeOverValidPoints) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        std::vector<float> sigma;
        std::vector<float> u;
        std::optional<std::pair<double, double>> expected;
    };
    const Case cases[] = {
        {"single value", {0}, {3}, std::make_pair(3.0, 3.0)},
        {"all invalid", {-1, -1}, {3, 4}, std::nullopt},
        {"invalid skipped", {0, -1, 0.5f}, {-2e32f, 100, 7}, std::make_pair(double(-2e32f), 7.0)},
        {"large values", {0}, {2e32f}, std::make_pair(double(2e32f), double(2e32f))},
        {"largest finite values", {0, 0}, {-std::numeric_limits<float>::max(), std::numeric_limits<float>::max()},
         std::make_pair(-double(std::numeric_limits<float>::max()), double(std::numeric_limits<float>::max()))},
        {"NaN blanking counts as valid", {nan}, {5}, std::make_pair(5.0, 5.0)},
    };
    for (const Case& c : cases) {
        ZelDataSet set;
        set.addData(blankedArea(c.sigma, c.u, c.u));
        EXPECT_EQ(set.range("U"), c.expected) << c.what;
    }

    // Areas without a blanking variable are skipped even when they hold the variable.
    ZelDataSet unblanked;
    unblanked.addData(new ZelData(makeArea(1, 1, {{GlobalDisplacement, "U", "", {4}}})));
    EXPECT_FALSE(unblanked.range("U").has_value());

    ZelDataSet two;
    two.addData(blankedArea({0, 0}, {1, 5}, {2, -1}));
    two.addData(blankedArea({0}, {-4}, {1}));
    EXPECT_EQ(two.range("U"), std::make_pair(-4.0, 5.0));
    EXPECT_EQ(two.sum_range("U", "V"), std::make_pair(-3.0, 4.0));
    EXPECT_FALSE(two.sum_range("U", "missing").has_value());
}

TEST(ZelDataSet, CopiesAreDeepAndClearResetsEverything) {
    ZelDataSet set;
    set.addData(blankedArea({0}, {1}, {2}));
    set.setReference("ref.tif");
    set.setDeformed("def.tif");
    set.setUserMetaData({1, 2, 3});
    set.setStepSizeForAoi(0, 5);
    set.setCalibration(*orvex::Calibration3D::fromJson(nlohmann::json::parse(R"({"magnifications":{"0":[2.0,2.0,2.0]}})")));
    set.setCalibration(*orvex::Calibration3D::fromJson(nlohmann::json::parse(R"({"magnifications":{"0":[3.0,3.0,3.0]}})")));
    set.addTransformation(*orvex::RigidTransform::fromJson(nlohmann::json::parse("[0.0,0.0,0.0,1.0,0.0,0.0]")));
    const std::string metaData = metaDataText(set);
    EXPECT_NE(metaData.find(R"("calibration":{"magnifications":{"0":[3.0,3.0,3.0]}})"), std::string::npos) << metaData;

    ZelDataSet copy(set);
    ZelDataSet& self = set;
    set = self;
    EXPECT_EQ(set.numData(), 1);
    EXPECT_EQ(metaDataText(set), metaData);

    set.clear();
    EXPECT_EQ(set.numData(), 0);
    EXPECT_EQ(set.referenceImage(), "");
    EXPECT_TRUE(set.getUserMetaData().empty());
    EXPECT_FALSE(set.stepSizeForAoi(0).has_value());
    EXPECT_EQ(metaDataText(set), "null");

    ASSERT_EQ(copy.numData(), 1);
    EXPECT_NE(copy.data(0), nullptr);
    EXPECT_EQ(copy.referenceImage(), "ref.tif");
    EXPECT_EQ(copy.deformedImage(), "def.tif");
    EXPECT_EQ(metaDataText(copy), metaData);
}

TEST(ZelDataSet, PerAreaRecords) {
    ZelDataSet set;
    set.setStepSizeForAoi(-1, 5);
    set.setSubsetSizeForAoi(2, 29);
    EXPECT_EQ(metaDataText(set), R"({"aois":{"2":{"subset_size":29}}})");
    EXPECT_EQ(set.subsetSizeForAoi(2), 29);
    EXPECT_FALSE(set.stepSizeForAoi(2).has_value());
    EXPECT_FALSE(set.stepSizeForAoi(-1).has_value());
    EXPECT_FALSE(set.additionalVarInfo(2, "exx").has_value());
}

TEST(ZelDataSet, RecordsStrainVariables) {
    ZelDataSet set;
    for (int area = 0; area < 3; ++area)
        set.addData(new ZelData(makeArea(1, 1,
                                         {{orvex::Strain, "exx", "", {}},
                                          {orvex::Strain, "exy", "", {}},
                                          {orvex::Strain, "eyy", "", {}},
                                          {orvex::Strain, "e1", "", {}}})));
    orvex::StrainVariableIds first;
    first.exx = 0;
    first.exy = 1;
    first.eyy = 2;
    first.e1 = 3;
    first.vonmises = 17; // out of range: no name, nothing recorded
    orvex::StrainVariableIds second;
    second.fxx = 1;
    orvex::StrainComputationSettings settings;
    settings.windowSize = 14;
    settings.tensorType = orvex::EulerStrainTensor;
    // Only areas that have both a record and an area are written.
    set.setStrainVariablesAdditionalInfo({first, second}, settings);

    for (const char* name : {"exx", "exy", "eyy", "e1"}) {
        const auto info = set.additionalVarInfo(0, name);
        ASSERT_TRUE(info.has_value()) << name;
        EXPECT_EQ(info->strainFilterSize, 14);
        EXPECT_EQ(info->strainTensorType, orvex::EulerStrainTensor);
    }
    EXPECT_TRUE(set.additionalVarInfo(1, "exy").has_value());
    EXPECT_FALSE(set.additionalVarInfo(1, "exx").has_value());
    EXPECT_FALSE(set.additionalVarInfo(2, "exx").has_value());
}

TEST(StrainComputationSettings, Defaults) {
    const orvex::StrainComputationSettings settings;
    EXPECT_EQ(settings.windowSize, 5);
    EXPECT_EQ(settings.tensorType, orvex::LagrangeStrainTensor);
    EXPECT_FALSE(settings.computePrincipalStrain || settings.reuseVariables || settings.computeTresca ||
                 settings.computeVonMises || settings.outputGradient || settings.addSizeToDescription);
    EXPECT_TRUE(settings.suffix.empty());
    EXPECT_TRUE(settings.displacementVariables.empty());
}
