#include "orvex/data/ZelData.h"

#include "data/AreaFixtures.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::LogCapture;
using orvex::testing::makeArea;

namespace {

// A stereo area of rows x columns points 10 apart (X = 10 c, Y = 10 r), displaced by
// (1, 2), with e = X + 2 Y and the given blanking values (all valid when empty).
ZelData stereoGrid(int rows, int columns, std::vector<float> sigma = {}) {
    const int n = rows * columns;
    std::vector<float> X(n), Y(n), e(n);
    for (int p = 0; p < n; ++p) {
        X[p] = 10.0f * static_cast<float>(p % columns);
        Y[p] = 10.0f * static_cast<float>(p / columns);
        e[p] = X[p] + 2 * Y[p];
    }
    return makeArea(rows, columns, {{GlobalCoordinate, "X", "", X}, {GlobalCoordinate, "Y", "", Y},
                                    {GlobalCoordinate, "Z", "", {}}, {GlobalDisplacement, "U", "", std::vector<float>(n, 1)},
                                    {GlobalDisplacement, "V", "", std::vector<float>(n, 2)},
                                    {GlobalDisplacement, "W", "", {}}, {Correlation, "sigma", "", sigma},
                                    {Strain, "e", "", e}});
}

constexpr std::size_t kE = 7; // index of e

} // namespace

TEST(ZelDataTreeSearch, TreeAndScanAgreeInBothStates) {
    const ZelData area = stereoGrid(5, 6);
    LogCapture& log = LogCapture::instance();
    log.take();
    struct Case {
        double x, y;
        bool deformed;
        int treeIndex; // the interior point nearest to the position
    };
    const Case cases[] = {
        {12, 13, false, 7},  {27, 31, false, 21}, {0, 0, false, 7},    {50, 40, false, 22},
        {13, 14, true, 7},   {51, 42, true, 22},  {44.9, 8.1, false, 10}, {22, 39, false, 20},
    };
    for (const Case& c : cases) {
        const auto [scanIndex, scanValues] = area.extractGlobalPoint(Vector2(c.x, c.y), c.deformed, false);
        const auto [treeIndex, treeValues] = area.extractGlobalPoint(Vector2(c.x, c.y), c.deformed, true);
        const double shiftX = c.deformed ? 1 : 0, shiftY = c.deformed ? 2 : 0;
        ASSERT_EQ(treeValues.size(), 8u) << c.x << " " << c.y;
        EXPECT_FLOAT_EQ(treeValues[kE], static_cast<float>((c.x - shiftX) + 2 * (c.y - shiftY)));
        EXPECT_EQ(treeValues, scanValues);
        EXPECT_EQ(treeIndex, c.treeIndex);
        EXPECT_GE(scanIndex, 0);
    }
    EXPECT_TRUE(log.take().empty());

    for (bool useTree : {false, true}) {
        EXPECT_EQ(area.extractGlobalPoint(Vector2(-0.5, 5), false, useTree).first, -1);
        EXPECT_TRUE(area.extractGlobalPoint(Vector2(55, 5), true, useTree).second.empty());
    }
}

TEST(ZelDataTreeSearch, ScanReturnsTheCornerNearestByReferencePosition) {
    ZelData area = stereoGrid(2, 2);
    std::fill(area.data(3), area.data(3) + 4, 8.0f); // U = 8
    std::fill(area.data(4), area.data(4) + 4, 0.0f); // V = 0
    // Deformed corners lie at (8, 0), (18, 0), (8, 10), (18, 10); (9, 1) is nearest to the
    // deformed top-left corner but to the reference top-right one (10, 0).
    const auto [index, values] = area.extractGlobalPoint(Vector2(9, 1), true, true);
    EXPECT_EQ(index, 1);
    ASSERT_EQ(values.size(), 8u);
    EXPECT_FLOAT_EQ(values[kE], 1 + 2 * 1); // at the reference position (1, 1)
}

TEST(ZelDataTreeSearch, SmallGridsUseTheScan) {
    LogCapture& log = LogCapture::instance();
    log.take();
    for (const auto& [rows, columns] : {std::pair{2, 5}, std::pair{5, 2}}) {
        const ZelData area = stereoGrid(rows, columns);
        const auto [index, values] = area.extractGlobalPoint(Vector2(5, 5), false, true);
        EXPECT_EQ(index, 0);
        EXPECT_FLOAT_EQ(values[kE], 15);
    }
    EXPECT_TRUE(log.take().empty());

    // 3 x 3: the centre alone is in the tree and serves the whole grid.
    const ZelData area = stereoGrid(3, 3);
    for (const Vector2& position : {Vector2(1, 1), Vector2(19, 2), Vector2(3, 18), Vector2(20, 20)}) {
        const auto [index, values] = area.extractGlobalPoint(position, false, true);
        EXPECT_EQ(index, 4);
        EXPECT_FLOAT_EQ(values[kE], static_cast<float>(position.x + 2 * position.y));
    }
}

TEST(ZelDataTreeSearch, FailedBuildIsLoggedAndRetried) {
    LogCapture& log = LogCapture::instance();
    std::vector<float> sigma(9, 0);
    sigma[4] = -1; // the only interior point
    ZelData area = stereoGrid(3, 3, sigma);
    for (bool deformed : {false, false, true}) {
        log.take();
        EXPECT_EQ(area.extractGlobalPoint(Vector2(5, 5), deformed, true).first, -1);
        const std::string tree = deformed ? "deformed tree: " : "tree: ";
        EXPECT_EQ(log.take(), (std::vector<std::string>{
                                  "Caught an exception while building " + tree + "point storage must have at least one point",
                                  "There should be a tree at this point"}));
    }
    area.data(6)[4] = 0;
    EXPECT_EQ(area.extractGlobalPoint(Vector2(5, 5), false, true).first, 4);
    EXPECT_TRUE(log.take().empty());
}

TEST(ZelDataTreeSearch, FailedSearchIsLogged) {
    LogCapture& log = LogCapture::instance();
    const ZelData area = stereoGrid(4, 4);
    log.take();
    const float nan = std::numeric_limits<float>::quiet_NaN(); // no distance is below the start
    const auto [index, values] = area.extractGlobalPoint(Vector2(nan, 5), false, true);
    EXPECT_EQ(index, -1);
    EXPECT_TRUE(values.empty());
    const std::vector<std::string> messages = log.take();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Caught an exception while searching tree: ", 0), 0u) << messages[0];
}

TEST(ZelDataTreeSearch, TreesAreCachedUntilCleared) {
    ZelData area = stereoGrid(4, 4);
    ASSERT_EQ(area.extractGlobalPoint(Vector2(14, 13), false, true).first, 5);
    for (int p = 0; p < 16; ++p)
        area.data(0)[p] += 100; // move every point by 100 in X
    // The old tree is still used: its point nearest to (114, 13) is point 6, once at (20, 10).
    EXPECT_EQ(area.extractGlobalPoint(Vector2(114, 13), false, true).first, 6);
    EXPECT_EQ(area.extractGlobalPoint(Vector2(114, 13), false, false).first, 5);

    ZelData copy(area);
    EXPECT_EQ(copy.extractGlobalPoint(Vector2(114, 13), false, true).first, 5); // copies start without trees

    area.clearSearchTrees();
    const auto [index, values] = area.extractGlobalPoint(Vector2(114, 13), false, true);
    EXPECT_EQ(index, 5);
    EXPECT_FLOAT_EQ(values[kE], 14 + 2 * 13);
}

TEST(ZelDataTreeSearch, ChangesOfVariablesDropTheTrees) {
    // Each change makes the positions that the search reads move by 30 in X (three
    // columns); a tree kept from before would lead to the cells of the old positions.
    const auto shiftedX = [](ZelData& area, const std::string& name) {
        const int index = area.addVariable(GlobalCoordinate, name, "");
        for (int p = 0; p < area.matrixSize(); ++p)
            area.data(static_cast<std::size_t>(index))[p] = area.data(0)[p] + 30;
        return index;
    };
    struct Case {
        const char* what;
        void (*prepare)(ZelData&, int shifted); // before the first search
        void (*change)(ZelData&, int shifted);
    };
    const Case cases[] = {
        {"assignment", [](ZelData&, int) {},
         [](ZelData& area, int shifted) {
             ZelData moved(area);
             std::copy_n(moved.data(static_cast<std::size_t>(shifted)), moved.matrixSize(), moved.data(0));
             area = moved;
         }},
        {"decode", [](ZelData&, int) {},
         [](ZelData& area, int shifted) {
             ZelData moved(area);
             std::copy_n(moved.data(static_cast<std::size_t>(shifted)), moved.matrixSize(), moved.data(0));
             const std::vector<char> block = orvex::testing::encodedBlock(moved);
             area.decode(block.data(), static_cast<int>(block.size()));
         }},
        {"renaming", [](ZelData&, int) {},
         [](ZelData& area, int shifted) {
             area.setVarAttributes(0, "X0", "", GlobalCoordinate);
             area.setVarAttributes(shifted, "X", "", GlobalCoordinate);
         }},
        {"deleting", [](ZelData& area, int shifted) { area.setVarAttributes(shifted, "X", "", GlobalCoordinate); },
         [](ZelData& area, int) { area.deleteVariable(0); }},
        {"shuffling", [](ZelData& area, int shifted) { area.setVarAttributes(shifted, "Xs", "X", GlobalCoordinate); },
         [](ZelData& area, int) { area.shuffle({"Xs"}, {}); }}, // found by description, now first
        {"adding", [](ZelData& area, int) { area.deleteVariable(2); }, // no Z: planar world set x_c, y_c
         [](ZelData& area, int) { area.addVariable(GlobalCoordinate, "Z", ""); }},
    };
    for (const Case& c : cases) {
        ZelData area = stereoGrid(8, 8);
        const int shifted = shiftedX(area, "x_c"); // also the planar world set, with y_c, u_c, v_c
        for (const char* name : {"y_c", "u_c", "v_c"}) {
            const int index = area.addVariable(name[0] == 'y' ? GlobalCoordinate : GlobalDisplacement, name, "");
            const std::size_t source = name[0] == 'y' ? 1 : name[0] == 'u' ? 3 : 4;
            std::copy_n(area.data(source), area.matrixSize(), area.data(static_cast<std::size_t>(index)));
        }
        c.prepare(area, shifted);
        const Vector2 probe(54, 43); // inside the grid at either position
        ASSERT_GE(area.extractGlobalPoint(probe, false, true).first, 0) << c.what; // builds the tree
        c.change(area, shifted);
        for (bool deformed : {false, true}) {
            const int scanned = area.extractGlobalPoint(probe, deformed, false).first;
            EXPECT_GE(scanned, 0) << c.what;
            EXPECT_EQ(area.extractGlobalPoint(probe, deformed, true).first, scanned) << c.what;
        }
    }
}

TEST(ZelDataTreeSearch, PlanarCoordinateSets) {
    struct Case {
        ZelDataVariableType position, displacement;
        bool found;
    };
    const Case cases[] = {{GlobalCoordinate, GlobalDisplacement, true},
                          {PixelCoordinate, PixelDisplacement, true},
                          {GlobalCoordinate, PixelDisplacement, false}};
    for (const Case& c : cases) {
        ZelData area = makeArea(2, 2, {{Correlation, "sigma", "", {}},
                                       {c.position, "x_c", "", {0, 1, 0, 1}},
                                       {c.position, "y_c", "", {0, 0, 1, 1}},
                                       {c.displacement, "u_c", "", {}},
                                       {c.displacement, "v_c", "", {}},
                                       {Strain, "e", "", {0, 1, 2, 3}}});
        const auto [index, values] = area.extractGlobalPoint(Vector2(0.5, 0.5), false, false);
        EXPECT_EQ(index >= 0, c.found);
        if (c.found) {
            EXPECT_FLOAT_EQ(values[5], 1.5f);
        }
    }
    ZelData noBlanking = makeArea(2, 2, {{GlobalCoordinate, "x_c", "", {0, 1, 0, 1}},
                                         {GlobalCoordinate, "y_c", "", {0, 0, 1, 1}},
                                         {GlobalDisplacement, "u_c", "", {}},
                                         {GlobalDisplacement, "v_c", "", {}}});
    EXPECT_EQ(noBlanking.extractGlobalPoint(Vector2(0.5, 0.5), false, false).first, -1);
}
