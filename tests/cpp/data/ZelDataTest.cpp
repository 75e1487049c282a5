#include "orvex/data/ZelData.h"

#include "data/AreaFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::encodedBlock;
using orvex::testing::makeArea;
using orvex::testing::namesOf;
using orvex::testing::valuesOf;
using orvex::testing::VariableSpec;

namespace {

// A 2 x 2 pixel grid with blanking values `sigma`.
ZelData pixelGrid(const std::vector<float>& sigma) {
    return makeArea(2, 2, {{Correlation, "sigma", "", sigma},
                           {PixelCoordinate, "x", "", {0, 10, 0, 10}},
                           {PixelCoordinate, "y", "", {0, 0, 10, 10}}});
}

} // namespace

TEST(ZelData, SizedConstructorAndOutOfRangeAccessors) {
    const ZelData area(3, 2, 1, "t\xC3\xA9te");
    EXPECT_EQ(area.numColumns(), 3);
    EXPECT_EQ(area.numRows(), 2);
    EXPECT_EQ(area.matrixSize(), 6);
    EXPECT_EQ(area.title(), "t\xC3\xA9te");
    EXPECT_EQ(area.dataType(), 2);
    ASSERT_EQ(area.numVariables(), 1u);
    EXPECT_EQ(area.varName(0), "");
    EXPECT_EQ(area.varType(0), Unknown);
    EXPECT_EQ(valuesOf(area, 0), std::vector<float>(6, 0.0f));

    for (int i : {-1, 1}) {
        EXPECT_EQ(area.varType(i), Unknown);
        EXPECT_EQ(area.varTypeInt(i), 6);
        EXPECT_EQ(area.varName(i), "");
        EXPECT_EQ(area.varDescription(i), "");
    }
    EXPECT_EQ(area.data(1), nullptr);
    EXPECT_EQ(area.data(static_cast<std::size_t>(-1)), nullptr);

    const ZelData empty(0, 5, 2, "");
    EXPECT_EQ(empty.data(0), nullptr);
    EXPECT_THROW(ZelData(100000, 100000, 0, ""), std::length_error); // point count beyond int
    EXPECT_THROW(ZelData(100000, -100000, 0, ""), std::length_error);
}

TEST(ZelData, CopiesAreDeepAndClearEmptiesTheArea) {
    ZelData original = makeArea(1, 2, {{Strain, "exx", "Strain", {1, 2}}}, "a");
    ZelData copy(original);
    copy.data(0)[0] = 99;
    EXPECT_EQ(valuesOf(original, 0), (std::vector<float>{1, 2}));
    EXPECT_EQ(copy.varName(0), "exx");
    EXPECT_EQ(copy.title(), "a");

    ZelData& self = copy;
    copy = self;
    EXPECT_EQ(valuesOf(copy, 0), (std::vector<float>{99, 2}));

    copy.clear();
    EXPECT_EQ(copy.numVariables(), 0u);
    EXPECT_EQ(copy.matrixSize(), 0);
    EXPECT_EQ(copy.title(), "");
    EXPECT_EQ(valuesOf(original, 0), (std::vector<float>{1, 2}));
}

TEST(ZelData, SearchesTakeTheFirstMatchByNameOrDescription) {
    ZelData area = makeArea(1, 1, {{Strain, "a", "e1", {}}, {Strain, "e1", "", {}}, {Correlation, "s", "", {7}}});
    EXPECT_EQ(area.findVariable(Strain, "e1"), 0);
    EXPECT_EQ(area.varIndex("e1"), 1);
    EXPECT_EQ(area.findVariable("e1"), 1);
    EXPECT_EQ(area.varIndexFromDescription("e1"), 0);
    EXPECT_EQ(area.findVariable(Correlation, "e1"), -1);
    EXPECT_EQ(area.varIndex("E1"), -1);
    EXPECT_EQ(area.varIndexFromDescription(""), 1); // "" matches an empty description

    float* out = nullptr;
    EXPECT_TRUE(area.findVariable("e1", out));
    EXPECT_EQ(out, area.data(0));
    float* untouched = reinterpret_cast<float*>(&area);
    EXPECT_FALSE(area.findVariable("missing", untouched));
    EXPECT_EQ(untouched, reinterpret_cast<float*>(&area));
    EXPECT_TRUE(area.findBlankingVariable(out));
    EXPECT_EQ(out, area.data(2));
}

TEST(ZelData, AddVariableMakesNamesAndDescriptionsUnique) {
    ZelData area(2, 1, 0, "");
    struct Case {
        std::string name, description, expectedName, expectedDescription;
    };
    const Case cases[] = {
        {"exx", "Strain", "exx", "Strain"},
        {"exx", "Strain", "exx_1", "Strain (1)"},
        {"exx", "Strain", "exx_2", "Strain (2)"},
        {"e", "Strain", "e", "Strain (3)"},
    };
    for (const Case& c : cases) {
        const int index = area.addVariable(static_cast<int>(Strain), c.name, c.description);
        EXPECT_EQ(index, static_cast<int>(area.numVariables()) - 1);
        EXPECT_EQ(area.varName(index), c.expectedName);
        EXPECT_EQ(area.varDescription(index), c.expectedDescription);
        EXPECT_EQ(valuesOf(area, index), (std::vector<float>{0, 0}));
    }
    float* values = area.allocateVariable(ZelDataVarInfo{"w", "d", Angle});
    EXPECT_EQ(values, area.data(4));
    EXPECT_EQ(area.varType(4), Angle);

    EXPECT_TRUE(area.setVarAttributes(4, "exx", "Strain", Stress)); // no uniqueness check
    EXPECT_EQ(area.varName(4), "exx");
    EXPECT_EQ(area.varType(4), Stress);
    EXPECT_FALSE(area.setVarAttributes(5, "n", "d", Stress));
    EXPECT_FALSE(area.setVarAttributes(-1, "n", "d", Stress));
}

TEST(ZelData, DeleteVariablesTakesIndexesBeforeTheCallEachOnce) {
    struct Case {
        std::vector<int> indexes;
        std::vector<std::string> remaining;
    };
    const Case cases[] = {
        {{2, 2}, {"a", "b", "d"}},
        {{5, -1, 0}, {"b", "c", "d"}},
        {{3, 1}, {"a", "c"}},
        {{}, {"a", "b", "c", "d"}},
        {{0, 1, 2, 3}, {}},
    };
    for (const Case& c : cases) {
        ZelData area = makeArea(1, 1, {{Strain, "a", "", {1}}, {Strain, "b", "", {2}},
                                       {Strain, "c", "", {3}}, {Strain, "d", "", {4}}});
        area.deleteVariables(c.indexes);
        EXPECT_EQ(namesOf(area), c.remaining);
        for (std::size_t i = 0; i < c.remaining.size(); ++i)
            EXPECT_EQ(area.data(i)[0], static_cast<float>(c.remaining[i][0] - 'a' + 1));
    }
    ZelData area = makeArea(1, 1, {{Strain, "a", "", {}}});
    area.deleteVariable(1);
    area.deleteVariable(-1);
    EXPECT_EQ(area.numVariables(), 1u);
}

TEST(ZelData, EveryChangeOfTheVariableListTakesANewStamp) {
    const ZelData source = pixelGrid({0, 0, 0, 0});
    const std::vector<char> block = encodedBlock(source);
    struct Case {
        const char* operation;
        std::function<void(ZelData&)> apply;
        bool changesTheList;
    };
    const Case cases[] = {
        {"addVariable", [](ZelData& a) { a.addVariable(Strain, "e", "e"); }, true},
        {"allocateVariable", [](ZelData& a) { a.allocateVariable(Strain, "e", "e"); }, true},
        {"deleteVariable", [](ZelData& a) { a.deleteVariable(2); }, true},
        {"deleteVariables", [](ZelData& a) { a.deleteVariables({0, 1}); }, true},
        {"setVarAttributes", [](ZelData& a) { a.setVarAttributes(1, "x", "moved", PixelCoordinate); }, true},
        {"shuffle", [](ZelData& a) { a.shuffle({"y"}, {}); }, true},
        {"clear", [](ZelData& a) { a.clear(); }, true},
        {"decode", [&](ZelData& a) { a.decode(block.data(), static_cast<int>(block.size())); }, true},
        {"assignment", [](ZelData& a) { a = ZelData(2, 2, 3, ""); }, true},
        {"writing values", [](ZelData& a) { a.data(1)[3] = 7; }, false},
        {"clearSearchTrees", [](ZelData& a) { a.clearSearchTrees(); }, false},
        {"deleteVariable out of range", [](ZelData& a) { a.deleteVariable(3); }, false},
        {"setVarAttributes out of range", [](ZelData& a) { a.setVarAttributes(3, "n", "", Strain); }, false},
        {"encode", [&](ZelData& a) { EXPECT_EQ(encodedBlock(a), block); }, false},
    };
    for (const Case& c : cases) {
        ZelData area(source);
        const std::uint64_t before = area.variableListStamp();
        c.apply(area);
        EXPECT_EQ(area.variableListStamp() != before, c.changesTheList) << c.operation;
    }
}

TEST(ZelData, EqualStampsMeanACopyOfTheSameList) {
    ZelData first = pixelGrid({0, 0, 0, 0});
    const ZelData twin = pixelGrid({0, 0, 0, 0});
    EXPECT_NE(first.variableListStamp(), twin.variableListStamp());
    const ZelData copy(first);
    EXPECT_EQ(copy.variableListStamp(), first.variableListStamp());
    first.deleteVariable(0);
    const std::uint64_t changed = first.variableListStamp();
    EXPECT_NE(changed, copy.variableListStamp());
    EXPECT_NE(changed, twin.variableListStamp());
    first = copy; // the same list as the copy again
    EXPECT_EQ(first.variableListStamp(), copy.variableListStamp());
}

TEST(ZelData, ExtremesSkipInvalidPointsAndKeepTheEarliestTie) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    ZelData area = makeArea(1, 6, {{Correlation, "sigma", "", {0, -1, 0, 0, nan, 0}},
                                   {Strain, "e", "", {2, 9, 5, 5, 50, -3e33f}}});
    float value = 0;
    EXPECT_EQ(area.findMaxIndex(1, value), 2);
    EXPECT_EQ(value, 5.0f);
    EXPECT_EQ(area.findMinIndex(1, value), 5); // below -1e32 still counts
    EXPECT_EQ(value, -3e33f);
    value = 123;
    EXPECT_EQ(area.findMaxIndex(2, value), -1);
    EXPECT_EQ(value, 123.0f);

    float min = 0, max = 0;
    EXPECT_TRUE(area.calculateRange(1, min, max));
    EXPECT_EQ(min, -3e33f);
    EXPECT_EQ(max, 5.0f);

    ZelData allInvalid = makeArea(1, 2, {{Correlation, "sigma", "", {-1, -1}}, {Strain, "e", "", {1, 2}}});
    EXPECT_EQ(allInvalid.findMaxIndex(1, value), -1);
    EXPECT_EQ(value, std::numeric_limits<float>::lowest());
    EXPECT_FALSE(allInvalid.calculateRange(1, min, max));
    EXPECT_EQ(min, 3.4028235e38f);
    EXPECT_EQ(max, -3.4028235e38f);

    ZelData noBlanking = makeArea(1, 2, {{Strain, "e", "", {1, 2}}});
    EXPECT_EQ(noBlanking.findMinIndex(0, value), -1);
    EXPECT_FALSE(noBlanking.calculateRange(0, min, max));
}

TEST(ZelData, CopyValidDataAppendsAndStddevUsesAllPoints) {
    ZelData area = makeArea(1, 3, {{Correlation, "sigma", "", {0, -1, 0}},
                                   {Strain, "a", "", {1, 2, 3}},
                                   {Strain, "b", "", {10, 20, 30}}});
    std::vector<double> out{7};
    EXPECT_TRUE(area.copyValidDataInto(out, 1, -1));
    EXPECT_EQ(out, (std::vector<double>{7, 1, 3}));
    EXPECT_TRUE(area.copyValidDataInto(out, 1, 2));
    EXPECT_EQ(out, (std::vector<double>{7, 1, 3, 11, 33}));
    EXPECT_FALSE(area.copyValidDataInto(out, 3, -1));

    EXPECT_DOUBLE_EQ(area.stddev(1, {0, 2}), 10.0);
    ZelData single = makeArea(1, 1, {{Strain, "a", "", {4}}});
    EXPECT_TRUE(std::isnan(single.stddev(0, {0})));
    EXPECT_EQ(ZelData().stddev(0, {0}), 0.0);
}

TEST(ZelData, CoordinateSetsAndDataSystem) {
    const VariableSpec stereoSet[] = {{GlobalCoordinate, "X", "", {}}, {GlobalCoordinate, "Y", "", {}},
                                      {GlobalCoordinate, "Z", "", {}}, {GlobalDisplacement, "U", "", {}},
                                      {GlobalDisplacement, "V", "", {}}};
    std::vector<VariableSpec> variables(std::begin(stereoSet), std::end(stereoSet));
    variables.push_back({PixelCoordinate, "x", "", {}});
    variables.push_back({PixelCoordinate, "y", "", {}});
    variables.push_back({PixelDisplacement, "u", "", {}});
    variables.push_back({PixelDisplacement, "v", "", {}});
    ZelData area = makeArea(1, 1, variables);

    int x, y, z, u, v, w;
    EXPECT_TRUE(area.coordinateVariableIdxs(x, y, z, u, v, w)); // no W: falls back to pixel
    EXPECT_EQ(std::vector<int>({x, y, z, u, v, w}), std::vector<int>({5, 6, -1, 7, 8, -1}));
    EXPECT_EQ(area.currentDataType(), Type2d);

    float fallback = 0;
    float *px, *py, *pz, *pu, *pv, *pw;
    EXPECT_TRUE(area.coordinateVariablePointers(px, py, pz, pu, pv, pw, &fallback));
    EXPECT_EQ(px, area.data(5));
    EXPECT_EQ(pz, &fallback);
    EXPECT_EQ(pw, &fallback);

    area.addVariable(GlobalDisplacement, "W", "");
    EXPECT_TRUE(area.coordinateVariableIdxs(x, y, z, u, v, w));
    EXPECT_EQ(std::vector<int>({x, y, z, u, v, w}), std::vector<int>({0, 1, 2, 3, 4, 9}));
    EXPECT_EQ(area.currentDataType(), Type3d);
    EXPECT_TRUE(area.coordinateVariablePointers(px, py, pz, pu, pv, pw, &fallback));
    EXPECT_EQ(pz, area.data(2));

    ZelData planar = makeArea(1, 1, {{GlobalCoordinate, "a", "x_c", {}}, {GlobalCoordinate, "y_c", "", {}},
                                     {GlobalDisplacement, "u_c", "", {}}, {GlobalDisplacement, "v_c", "", {}}});
    EXPECT_TRUE(planar.coordinateVariableIdxs(x, y, z, u, v, w));
    EXPECT_EQ(std::vector<int>({x, y, z, u, v, w}), std::vector<int>({0, 1, -1, 2, 3, -1}));

    ZelData none = makeArea(1, 1, {{PixelCoordinate, "x", "", {}}});
    EXPECT_FALSE(none.coordinateVariableIdxs(x, y, z, u, v, w));
    EXPECT_EQ(std::vector<int>({x, y, z, u, v, w}), std::vector<int>(6, -1));
    EXPECT_FALSE(none.coordinateVariablePointers(px, py, pz, pu, pv, pw, &fallback));
    EXPECT_EQ(px, nullptr);
    EXPECT_EQ(pz, nullptr);
}

TEST(ZelData, ValidIndexesNeedTheGriddedPixelForm) {
    ZelData area = pixelGrid({0, -1, 2, -0.5f});
    std::vector<int> out{42};
    EXPECT_TRUE(area.extractAllValidIndexes(out));
    EXPECT_EQ(out, (std::vector<int>{0, 2}));

    ZelData noPixel = makeArea(1, 1, {{Correlation, "sigma", "", {}}, {GlobalCoordinate, "x", "", {}},
                                      {GlobalCoordinate, "y", "", {}}});
    EXPECT_FALSE(noPixel.extractAllValidIndexes(out));
    EXPECT_EQ(out, (std::vector<int>{0, 2}));
}

TEST(ZelData, TriangulationOfValidCells) {
    struct Case {
        std::vector<float> sigma;
        std::vector<int> triangles;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, {0, 1, 2, 1, 3, 2}},
        {{0, 0, 0, -1}, {0, 1, 2}},
        {{0, 0, -1, 0}, {0, 1, 3}},
        {{-1, 0, 0, 0}, {3, 2, 1}},
        {{0, -1, 0, 0}, {3, 2, 0}},
        {{-1, 0, 0, -1}, {}},
        {{0, 0, -1, -1}, {}},
    };
    for (const Case& c : cases) {
        int count = -1;
        std::unique_ptr<int[]> triangles(pixelGrid(c.sigma).triangulation(count, 1));
        EXPECT_EQ(count, static_cast<int>(c.triangles.size() / 3));
        if (c.triangles.empty()) {
            EXPECT_EQ(triangles, nullptr);
            continue;
        }
        ASSERT_NE(triangles, nullptr);
        EXPECT_EQ(std::vector<int>(triangles.get(), triangles.get() + 3 * count), c.triangles);
    }
}

TEST(ZelData, TriangulationSubSamplesRowsAndColumns) {
    // 5 rows x 4 columns with sub-sampling 2: rows 0, 2 and columns 0, 2.
    ZelData area = makeArea(5, 4, {{Correlation, "sigma", "", {}}, {PixelCoordinate, "x", "", {}},
                                   {PixelCoordinate, "y", "", {}}});
    int count = -1;
    std::unique_ptr<int[]> triangles(area.triangulation(count, 2));
    ASSERT_EQ(count, 2);
    EXPECT_EQ(std::vector<int>(triangles.get(), triangles.get() + 6), (std::vector<int>{0, 2, 8, 2, 10, 8}));

    ZelData column = makeArea(4, 1, {{Correlation, "sigma", "", {}}, {PixelCoordinate, "x", "", {}},
                                     {PixelCoordinate, "y", "", {}}});
    EXPECT_EQ(column.triangulation(count, 2), nullptr);
    EXPECT_EQ(count, 0);
    ZelData noBlanking = makeArea(2, 2, {{PixelCoordinate, "x", "", {}}, {PixelCoordinate, "y", "", {}}});
    EXPECT_EQ(noBlanking.triangulation(count, 1), nullptr);
}

TEST(TensorType, NamesRoundTripAndUnknownNamesAreRejected) {
    const std::pair<TensorType, const char*> names[] = {
        {LagrangeStrainTensor, "lagrange"}, {HenckyStrainTensor, "hencky"},
        {EulerStrainTensor, "euler"},       {LogarithmicEulerTensor, "log_equler"},
        {EngineeringStrain, "engineering"}, {BiotStrainTensor, "biot"}};
    for (const auto& [type, name] : names) {
        EXPECT_EQ(tensorTypeToString(type), name);
        EXPECT_EQ(stringToTensorType(name), type);
    }
    EXPECT_EQ(tensorTypeToString(static_cast<TensorType>(6)), "");
    EXPECT_EQ(tensorTypeToString(static_cast<TensorType>(-1)), "");
    EXPECT_FALSE(stringToTensorType("Lagrange").has_value());
    EXPECT_FALSE(stringToTensorType("").has_value());
}
