#include "orvex/analysis/GridTriangulation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace orvex;

namespace {

using Triangle = std::vector<std::pair<int, int>>;

std::vector<Triangle> trianglesOf(const GridTriangulation::VertexInfo& info) {
    std::vector<Triangle> result;
    for (int k = 0; k < info.count; ++k) {
        Triangle t;
        for (const Index2& v : info.triangles[k].vertex) t.push_back({v.row, v.column});
        result.push_back(t);
    }
    return result;
}

} // namespace

TEST(GridTriangulation, TablesHoldTheirValuesAtLoad) {
    const int steps[4][2] = {{-1, 0}, {0, 1}, {1, 0}, {0, -1}};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(GridTriangulation::Delta[k].row, steps[k][0]);
        EXPECT_EQ(GridTriangulation::Delta[k].column, steps[k][1]);
    }
    for (const Index2& v : TriVertice::Invalid.vertex) EXPECT_EQ(v, (Index2{-1, -1}));
}

// A 4 × 5 grid (rows × columns) with holes at (1, 2) and (3, 4), and a NaN at (2, 0):
// triangles in the order up-right, right-down, down-left, left-up, only over valid
// neighbours inside the grid.
TEST(GridTriangulation, TrianglesAroundVertices) {
    const int rows = 4, columns = 5;
    std::vector<float> validity(rows * columns, 0.5f);
    validity[1 * columns + 2] = -1.0f;
    validity[3 * columns + 4] = -0.5f;
    validity[2 * columns + 0] = NAN;
    const float* g = validity.data();
    const GridTriangulation triangulation(rows, columns, g, g, g, g, g, g, g);
    EXPECT_EQ(triangulation.rows(), rows);
    EXPECT_EQ(triangulation.columns(), columns);
    EXPECT_EQ(triangulation.grid(6), g);

    struct Case {
        Index2 vertex;
        std::vector<Triangle> triangles;
    } cases[] = {
        {{0, 0}, {{{0, 0}, {0, 1}, {1, 0}}}},                                // corner
        {{2, 2}, {{{2, 2}, {2, 3}, {3, 2}}, {{2, 2}, {3, 2}, {2, 1}}}},     // hole above
        {{2, 1}, {{{2, 1}, {1, 1}, {2, 2}}, {{2, 1}, {2, 2}, {3, 1}}}},     // NaN on the left
        {{1, 1}, {{{1, 1}, {2, 1}, {1, 0}}, {{1, 1}, {1, 0}, {0, 1}}}},     // hole on the right
        {{2, 4}, {{{2, 4}, {2, 3}, {1, 4}}}},                               // right edge, hole below
        {{3, 3}, {{{3, 3}, {3, 2}, {2, 3}}}},                               // bottom row, hole right
        {{1, 2}, {}},                                                       // invalid
        {{2, 0}, {}},                                                       // NaN
        {{4, 0}, {}},                                                       // outside
        {{0, -1}, {}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(::testing::Message() << cs.vertex.row << ", " << cs.vertex.column);
        const GridTriangulation::VertexInfo& info = triangulation._getVertexInfo(cs.vertex);
        EXPECT_EQ(info.vertex, cs.vertex);
        EXPECT_EQ(trianglesOf(info), cs.triangles);
    }

    std::vector<float> all(9, 1.0f);
    const GridTriangulation full(3, 3, all.data(), g, g, g, g, g, g);
    const std::vector<Triangle> inner = {{{1, 1}, {0, 1}, {1, 2}}, {{1, 1}, {1, 2}, {2, 1}},
                                         {{1, 1}, {2, 1}, {1, 0}}, {{1, 1}, {1, 0}, {0, 1}}};
    const GridTriangulation::VertexInfo& first = full._getVertexInfo({1, 1});
    EXPECT_EQ(trianglesOf(first), inner);
    // The same vertex again answers from the cache, unchanged.
    EXPECT_EQ(&full._getVertexInfo({1, 1}), &first);
    EXPECT_EQ(trianglesOf(first), inner);
}

TEST(GridTriangulation, FreshCacheIsEmpty) {
    std::vector<float> all(4, 1.0f);
    const float* g = all.data();
    const GridTriangulation triangulation(2, 2, g, g, g, g, g, g, g);
    const GridTriangulation::VertexInfo& info = triangulation._getVertexInfo({-1, -1});
    EXPECT_EQ(info.count, 0);
    for (const TriVertice& t : info.triangles)
        for (const Index2& v : t.vertex) EXPECT_EQ(v, (Index2{-1, -1}));
}
