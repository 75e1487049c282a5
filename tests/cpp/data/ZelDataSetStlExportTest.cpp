#include "orvex/data/ZelDataSet.h"

#include "data/AreaFixtures.h"
#include "data/TestFiles.h"
#include "orvex/data/ZelData.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::fileContent;
using orvex::testing::makeArea;
using orvex::testing::TemporaryDirectory;
using orvex::testing::VariableSpec;

namespace {

// A 2 x 2 grid, all points valid, with pixel positions and the given variables.
ZelData* square(std::vector<VariableSpec> variables) {
    variables.insert(variables.begin(), {{PixelCoordinate, "x", "x", {0, 1, 0, 1}},
                                         {PixelCoordinate, "y", "y", {0, 0, 1, 1}},
                                         {Correlation, "sigma", "sigma", {0, 0, 0, 0}}});
    return new ZelData(makeArea(2, 2, variables));
}

const std::vector<VariableSpec> Stereo = {{GlobalCoordinate, "X", "X", {0.1f, 2.5f, 0, 1e-7f}},
                                          {GlobalCoordinate, "Y", "Y", {0, 0, 1, 1}},
                                          {GlobalCoordinate, "Z", "Z", {-3, 1e30f, 0, 0}}};

std::string facet(const std::string& a, const std::string& b, const std::string& c) {
    return " facet normal 0 0 0\n  outer loop\n   vertex " + a + "\n   vertex " + b + "\n   vertex " + c +
           "\n  endloop\n endfacet\n";
}

class StlExport : public ::testing::Test {
protected:
    std::filesystem::path path() const { return directory.path / "surface.stl"; }
    TemporaryDirectory directory;
};

} // namespace

TEST_F(StlExport, FacetsWithShortestVertexText) {
    std::vector<VariableSpec> displaced = Stereo;
    displaced.push_back({GlobalDisplacement, "U", "U", {0.5f, 0.5f, 0.5f, 0.5f}});
    displaced.push_back({GlobalDisplacement, "V", "V", {0, 0, 0, 0}});
    displaced.push_back(
        {GlobalDisplacement, "W", "W", {1, 0, std::numeric_limits<float>::infinity(), std::nanf("")}});
    const struct {
        bool addDeformed;
        std::vector<std::string> points; // vertex texts of points 0 .. 3
    } cases[] = {
        {false, {"0.10000000149011612 0 -3", "2.5 0 1.0000000150474662e+30", "0 1 0", "1.0000000116860974e-07 1 0"}},
        // Float sums, then the shortest text of each sum.
        {true, {"0.6000000238418579 0 -2", "3 0 1.0000000150474662e+30", "0.5 1 inf", "0.5000001192092896 1 nan"}},
    };
    for (const auto& c : cases) {
        ZelDataSet set;
        set.addData(square(displaced));
        EXPECT_TRUE(set.exportSTL(path().string(), c.addDeformed, false));
        const std::vector<std::string>& p = c.points;
        // The two triangles of the square: (0, 1, 2) and (1, 3, 2).
        EXPECT_EQ(fileContent(path()),
                  "solid surface.stl\n" + facet(p[0], p[1], p[2]) + facet(p[1], p[3], p[2]) + "endsolid surface.stl\n");
    }
}

TEST_F(StlExport, AreasWithoutCoordinatesAreSkipped) {
    ZelDataSet set;
    set.addData(square({{GlobalCoordinate, "X", "X", {}}, {GlobalCoordinate, "Y", "Y", {}}}));
    EXPECT_FALSE(set.exportSTL(path().string(), false, false));
    EXPECT_EQ(fileContent(path()), "solid surface.stl\nendsolid surface.stl\n");

    // With firstOnly, the first area that has coordinates is the one written.
    set.addData(square(Stereo));
    set.addData(square(Stereo));
    EXPECT_TRUE(set.exportSTL(path().string(), false, true));
    const std::string content = fileContent(path());
    std::size_t facets = 0;
    for (std::size_t at = content.find("facet normal"); at != std::string::npos; at = content.find("facet normal", at + 1))
        ++facets;
    EXPECT_EQ(facets, 2u);

    // Without U, V, W the deformed surface has no area to show.
    EXPECT_FALSE(set.exportSTL(path().string(), true, false));

    ZelDataSet empty;
    EXPECT_FALSE(empty.exportSTL(path().string(), false, true));
    EXPECT_EQ(fileContent(path()), "solid surface.stl\nendsolid surface.stl\n");
}
