#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataPrivate.h"

#include "data/AreaFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::makeArea;
using orvex::testing::withDataType;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// One 10 x 10 pixel cell with corners 00 (0, 0), 01 (10, 0), 10 (0, 10), 11 (10, 10).
ZelData cellArea(const std::vector<float>& sigma) {
    return makeArea(2, 2, {{Correlation, "sigma", "", sigma},
                           {PixelCoordinate, "x", "", {0, 10, 0, 10}},
                           {PixelCoordinate, "y", "", {0, 0, 10, 10}},
                           {Strain, "exx", "", {0, 4, 8, 12}},
                           {Strain, "eyy", "", {1, 1, 1, 1}},
                           {GlobalCoordinate, "X", "", {0, 4, 8, 12}},
                           {GlobalCoordinate, "Y", "", {0, 1, 2, 3}},
                           {GlobalCoordinate, "Z", "", {5, 5, 5, 5}},
                           {GlobalDisplacement, "U", "", {1, 1, 1, 1}},
                           {GlobalDisplacement, "V", "", {2, 2, 2, 2}},
                           {GlobalDisplacement, "W", "", {0, 0, 4, 4}},
                           {GlobalCoordinate, "x_c", "", {0, 2, 0, 2}},
                           {GlobalCoordinate, "y_c", "", {0, 0, 2, 2}},
                           {Unknown, "q", "", {0, 0, 0, 4}}});
}

} // namespace

TEST(ZelDataLookup, InterpolationWeights) {
    struct Case {
        float s, t;
        bool v00, v01, v10, v11;
        bool ok;
        float w00, w01, w10, w11;
    };
    const Case cases[] = {
        {0.25f, 0.5f, true, true, true, true, true, 0.375f, 0.125f, 0.375f, 0.125f},
        // w00 and w10 are products formed in double, w01 and w11 in float.
        {0.1f, 0.1f, true, true, true, true, true, 0.810000002f, 0.0899999961f, 0.0900000036f, 0.0100000007f},
        // Three corners: 1 - s first, then t added or subtracted, all in float.
        {0.1f, 0.3f, true, true, true, false, true, 0.599999964f, 0.1f, 0.3f, 0},
        {0.1f, 0.05f, true, true, false, true, true, 0.9f, 0.0500000231f, 0, 0.05f},
        {0.1f, 0.3f, true, false, true, true, true, 0.7f, 0, 0.199999988f, 0.1f},
        {0.9f, 0.3f, false, true, true, true, true, 0, 0.7f, 0.100000024f, 0.199999988f},
        {0.5f, 0.50000006f, true, true, true, false, true, -5.96046448e-08f, 0.5f, 0.50000006f, 0}, // s + t rounds to 1
        {0.25f, 0.5f, true, true, true, false, true, 0.25f, 0.25f, 0.5f, 0},
        {0.75f, 0.75f, true, true, true, false, false, 9, 9, 9, 9},
        {0.75f, 0.5f, true, true, false, true, true, 0.25f, 0.25f, 0, 0.5f},
        {0.25f, 0.5f, true, true, false, true, false, 9, 9, 9, 9},
        {0.25f, 0.75f, true, false, true, true, true, 0.25f, 0, 0.5f, 0.25f},
        {0.75f, 0.75f, false, true, true, true, true, 0, 0.25f, 0.25f, 0.5f},
        {0.25f, 0.25f, false, true, true, true, false, 9, 9, 9, 9},
        {0.5f, 0.5f, true, false, false, true, false, 9, 9, 9, 9},
        {kNaN, 0.5f, true, true, true, false, false, 9, 9, 9, 9},
        {0.5f, 0.5f, false, false, false, false, false, 9, 9, 9, 9},
    };
    for (const Case& c : cases) {
        float w[4] = {9, 9, 9, 9};
        EXPECT_EQ(ZelData::ipol_coeff(w[0], w[1], w[2], w[3], c.s, c.t, c.v00, c.v01, c.v10, c.v11), c.ok);
        EXPECT_EQ(std::vector<float>(w, w + 4), (std::vector<float>{c.w00, c.w01, c.w10, c.w11}))
            << c.s << " " << c.t << " " << c.v00 << c.v01 << c.v10 << c.v11;
    }
}

TEST(ZelDataLookup, VariableAtAPixelPosition) {
    struct Case {
        std::vector<float> sigma;
        float x, y;
        bool ok;
        float value;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, 2.5f, 5, true, 5},
        {{0, 0, 0, -1}, 2.5f, 5, true, 5},
        {{0, 0, 0, -1}, 7.5f, 7.5f, false, 0},
        {{0, 0, -1, -1}, 2.5f, 5, false, 0},
        {{0, 0, 0, kNaN}, 2.5f, 5, true, 5}, // NaN marks a point invalid
        {{0, 0, 0, 0}, 10.5f, 5, false, 0},
        {{0, 0, 0, 0}, 5, -1, false, 0},
        {{0, 0, 0, 0}, 10, 10, true, 12},
    };
    for (const Case& c : cases) {
        const ZelData area = cellArea(c.sigma);
        float value = -7;
        EXPECT_EQ(area.lookupVar(c.x, c.y, 3, value), c.ok);
        EXPECT_EQ(value, c.ok ? c.value : -7);
        value = -7;
        EXPECT_EQ(area.lookupVar(c.x, c.y, "exx", value), c.ok);
        EXPECT_EQ(value, c.ok ? c.value : -7);
    }
    const ZelData area = cellArea({0, 0, 0, 0});
    float value = -7;
    EXPECT_FALSE(area.lookupVar(2, 2, 14, value));
    EXPECT_FALSE(area.lookupVar(2, 2, -1, value));
    EXPECT_FALSE(area.lookupVar(2, 2, "nosuch", value));
    EXPECT_FALSE(withDataType(area, 0).lookupVar(2.5f, 5, 3, value));
    EXPECT_EQ(value, -7);
}

TEST(ZelDataLookup, CellsWithoutUsableWeightsFail) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::vector<float> x, y;
        float px, py;
    };
    const Case cases[] = {
        {{5, 5, 5, 5}, {0, 0, 10, 10}, 5, 5},         // zero width
        {{0, 10, 0, 10}, {3, 3, 3, 3}, 5, 3},         // zero height
        {{-inf, inf, -inf, inf}, {0, 0, 10, 10}, 0, 5}, // inf / inf
    };
    for (const Case& c : cases) {
        const ZelData area = makeArea(2, 2, {{Correlation, "sigma", "", {0, 0, 0, 0}},
                                             {PixelCoordinate, "x", "", c.x},
                                             {PixelCoordinate, "y", "", c.y},
                                             {GlobalCoordinate, "X", "", {0, 1, 2, 3}},
                                             {GlobalCoordinate, "Y", "", {0, 1, 2, 3}},
                                             {GlobalCoordinate, "Z", "", {0, 1, 2, 3}},
                                             {GlobalDisplacement, "U", "", {0, 1, 2, 3}},
                                             {GlobalDisplacement, "V", "", {0, 1, 2, 3}},
                                             {GlobalDisplacement, "W", "", {0, 1, 2, 3}}});
        float value = -7, X = -7, Y = -7, Z = -7;
        EXPECT_FALSE(area.lookupVar(c.px, c.py, "X", value));
        EXPECT_FALSE(area.lookupXYZ(c.px, c.py, X, Y, Z, Type3d));
        EXPECT_FALSE(area.lookupUVW(c.px, c.py, X, Y, Z));
        EXPECT_EQ(std::vector<float>({value, X, Y, Z}), std::vector<float>(4, -7));
        std::vector<float> out;
        EXPECT_FALSE(area.lookupVariables(c.px, c.py, {"X"}, out));
        EXPECT_TRUE(out.empty());
        EXPECT_FALSE(area.extractPoint(out, Vector2(c.px, c.py)));
        EXPECT_EQ(out, std::vector<float>(area.numVariables(), inf));
    }
}

TEST(ZelDataLookup, SharedRowEdgeBelongsToTheUpperRow) {
    // Three rows; the points of row 0 are invalid, so the upper cell at y = 10 has two valid corners.
    ZelData area = makeArea(3, 2, {{Correlation, "sigma", "", {-1, -1, 0, 0, 0, 0}},
                                   {PixelCoordinate, "x", "", {0, 10, 0, 10, 0, 10}},
                                   {PixelCoordinate, "y", "", {0, 0, 10, 10, 20, 20}},
                                   {Strain, "e", "", {0, 0, 1, 1, 2, 2}}});
    float value = -7;
    EXPECT_FALSE(area.lookupVar(5, 10, 3, value));
    EXPECT_TRUE(area.lookupVar(5, 10.5f, 3, value));
    EXPECT_FLOAT_EQ(value, 1.05f);
}

TEST(ZelDataLookup, WorldPositionsAndDisplacements) {
    const ZelData area = cellArea({0, 0, 0, 0});
    float X = -7, Y = -7, Z = -7;
    EXPECT_TRUE(area.lookupXYZ(2.5f, 5, X, Y, Z, Type3d));
    EXPECT_EQ(std::vector<float>({X, Y, Z}), std::vector<float>({5, 1.25f, 5}));
    EXPECT_TRUE(area.lookupXYZ(2.5f, 5, X, Y, Z, Type2d));
    EXPECT_EQ(std::vector<float>({X, Y, Z}), std::vector<float>({0.5f, 1, 0}));
    float U = -7, V = -7, W = -7;
    EXPECT_TRUE(area.lookupUVW(2.5f, 5, U, V, W));
    EXPECT_EQ(std::vector<float>({U, V, W}), std::vector<float>({1, 2, 2}));

    // The planar form finds "x" and "y" by name or description, of any type.
    ZelData planar = makeArea(2, 2, {{Correlation, "sigma", "", {}},
                                     {GlobalCoordinate, "px", "x", {0, 10, 0, 10}},
                                     {Unknown, "y", "", {0, 0, 10, 10}},
                                     {Unknown, "x_c", "", {0, 2, 0, 2}},
                                     {Unknown, "a", "y_c", {0, 0, 2, 2}}});
    EXPECT_TRUE(planar.lookupXYZ(5, 5, X, Y, Z, Type2d));
    EXPECT_EQ(std::vector<float>({X, Y, Z}), std::vector<float>({1, 1, 0}));
    X = -7;
    EXPECT_FALSE(planar.lookupXYZ(5, 5, X, Y, Z, Type3d));
    EXPECT_FALSE(planar.lookupUVW(5, 5, U, V, W));
    EXPECT_FALSE(withDataType(area, 1).lookupXYZ(2.5f, 5, X, Y, Z, Type3d));
    EXPECT_EQ(X, -7);
}

TEST(ZelDataLookup, NamedListsStopAtTheFirstUnknownName) {
    const ZelData area = cellArea({0, 0, 0, 0});
    std::vector<float> out;
    EXPECT_FALSE(area.lookupVariables(2.5f, 5, {"exx", "nosuch", "eyy"}, out));
    EXPECT_EQ(out, (std::vector<float>{5, 0, 0}));
    out = {7, 8, 9, 10};
    EXPECT_FALSE(area.lookupVariables(2.5f, 5, {"exx", "nosuch", "eyy"}, out));
    EXPECT_EQ(out, (std::vector<float>{5, 8, 9}));
    EXPECT_TRUE(area.lookupVariables(2.5f, 5, {"eyy", "exx"}, out));
    EXPECT_EQ(out, (std::vector<float>{1, 5}));
    EXPECT_TRUE(area.lookupVariables(2.5f, 5, {}, out));
    EXPECT_TRUE(out.empty());
    out = {3};
    EXPECT_FALSE(area.lookupVariables(20, 5, {"exx"}, out));
    EXPECT_EQ(out, (std::vector<float>{3}));
}

TEST(ZelDataLookup, ExtractPointFillsEveryVariable) {
    const ZelData area = cellArea({0, 0, 0, 0});
    std::vector<float> out;
    EXPECT_TRUE(area.extractPoint(out, Vector2(2.5, 5)));
    ASSERT_EQ(out.size(), area.numVariables());
    EXPECT_EQ(out[3], 5.0f);
    EXPECT_EQ(out[1], 2.5f);

    EXPECT_FALSE(area.extractPoint(out, Vector2(10.000001, 5))); // compared in double
    EXPECT_EQ(out, std::vector<float>(area.numVariables(), std::numeric_limits<float>::infinity()));

    const ZelData noPixel = makeArea(2, 2, {{Correlation, "sigma", "", {}}});
    out = {1};
    EXPECT_FALSE(noPixel.extractPoint(out, Vector2(0, 0)));
    EXPECT_EQ(out, (std::vector<float>{1}));
}

TEST(ZelDataLookup, AveragesOverRectanglesAndCircles) {
    const ZelData area = cellArea({0, -1, 0, 0});
    Vector out;
    EXPECT_TRUE(area.lookupVariableAverage(0, 0, 10, 10, {"exx", "eyy"}, out));
    EXPECT_EQ(out, (Vector{20.0 / 3, 1}));
    EXPECT_TRUE(area.lookupVariableAverage(0, 0, 10, 0, {"exx"}, out)); // corner 01 is invalid
    EXPECT_EQ(out, (Vector{0}));
    EXPECT_FALSE(area.lookupVariableAverage(1, 1, 9, 9, {"exx", "eyy"}, out));
    EXPECT_EQ(out, (Vector{0, 0}));
    EXPECT_FALSE(area.lookupVariableAverage(0, 0, 10, 10, {"exx", "nosuch"}, out));

    EXPECT_TRUE(area.lookupVariableAverage(1, 9, 3, {"exx"}, out));
    EXPECT_EQ(out, (Vector{8}));
    EXPECT_TRUE(area.lookupVariableAverage(0, 10, 10, {"exx"}, out)); // points at distance 10 are outside
    EXPECT_EQ(out, (Vector{8}));
    EXPECT_FALSE(area.lookupVariableAverage(5, 0, 5, {"exx"}, out));
    EXPECT_EQ(out, (Vector{0}));
    EXPECT_FALSE(area.lookupVariableAverage(9, 1, 2, {"exx"}, out)); // only the invalid point is near
    EXPECT_EQ(out, (Vector{0}));
    out = {5};
    EXPECT_FALSE(area.lookupVariableAverage(11, 5, 50, {"exx"}, out)); // outside the grid's corners
    EXPECT_EQ(out, (Vector{5}));
}

TEST(ZelDataLookup, PointInTriangle) {
    struct Case {
        float px, py;
        bool ok;
    };
    const Case cases[] = {{0.25f, 0.25f, true}, {0.5f, 0, true}, {0, 0, true}, {0.75f, 0.75f, false}};
    for (const Case& c : cases) {
        float l1 = 9, l2 = 9, l3 = 9;
        EXPECT_EQ(pointInTriangle(l1, l2, l3, c.px, c.py, 0, 0, 1, 0, 0, 1), c.ok);
        EXPECT_FLOAT_EQ(l1 * 0 + l2 * 1 + l3 * 0, c.px);
        EXPECT_FLOAT_EQ(l1 + l2 + l3, 1);
    }
    float l1 = 9, l2 = 9, l3 = 9;
    EXPECT_FALSE(pointInTriangle(l1, l2, l3, 0.5f, 0.5f, 0, 0, 1, 1, 2, 2));
    EXPECT_EQ(l1, 9);
}

TEST(ZelDataLookup, DeformedToReference) {
    ZelData area = makeArea(2, 2, {{Correlation, "sigma", "", {}},
                                   {PixelCoordinate, "x", "", {0, 10, 0, 10}},
                                   {PixelCoordinate, "y", "", {0, 0, 10, 10}},
                                   {PixelDisplacement, "u", "", {1, 1, 1, 1}},
                                   {PixelDisplacement, "v", "", {2, 2, 2, 2}}});
    const std::optional<Vector2> reference = area.deformedToReference(Vector2(4, 7));
    ASSERT_TRUE(reference.has_value());
    EXPECT_DOUBLE_EQ(reference->x, 3);
    EXPECT_DOUBLE_EQ(reference->y, 5);
    EXPECT_FALSE(area.deformedToReference(Vector2(0.5, 0.5)).has_value()); // before the shift

    area.deleteVariable(3);
    EXPECT_FALSE(area.deformedToReference(Vector2(4, 7)).has_value());
}

TEST(ZelDataLookup, CellInterpolationUsesTheFirstHoldingTriangle) {
    const ZelData area = cellArea({0, 0, 0, 0});
    const CellArrays arrays{area.data(0), area.data(1), area.data(2), area.data(8), area.data(9)};
    std::vector<float> out;
    ASSERT_TRUE(interpolateCell(area, out, false, 0, 1, 2, 3, 7.5f, 7.5f, arrays));
    ASSERT_EQ(out.size(), area.numVariables());
    // (tl, tr, br) holds the point before (tr, br, bl), which would give 2.
    EXPECT_FLOAT_EQ(out[13], 3);
    EXPECT_FLOAT_EQ(out[1], 7.5f);
    ASSERT_TRUE(interpolateCell(area, out, true, 0, 1, 2, 3, 8.5f, 9.5f, arrays)); // shifted by U, V
    EXPECT_FLOAT_EQ(out[13], 3);
    EXPECT_FLOAT_EQ(out[1], 7.5f);
    out = {1};
    EXPECT_FALSE(interpolateCell(area, out, false, 0, 1, 2, 3, 10.5f, 5, arrays));
    EXPECT_EQ(out, (std::vector<float>{1}));
}
