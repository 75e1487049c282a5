#include "orvex/analysis/CollinearPoints.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using orvex::validPointsCollinear;

// Windows drawn row by row ('#' valid): lines of several slopes, and the point that
// breaks a line first or last in scan order.
TEST(CollinearPoints, DecidesWindowsDrawnAsText) {
    struct Case {
        const char* name;
        std::vector<std::string> rows;
        bool collinear;
    } cases[] = {
        {"no point", {"....", "...."}, true},
        {"one point", {"....", "..#."}, true},
        {"two points", {"#...", "...#"}, true},
        {"row", {"....", "####"}, true},
        {"column", {".#..", ".#..", ".#.."}, true},
        {"anti-diagonal", {"...#", "..#.", ".#..", "#..."}, true},
        {"x = 3y", {"#......", "...#...", "......#"}, true},
        {"2x = 3y", {"#......", ".......", "...#...", ".......", "......#"}, true},
        {"one column off 2x = 3y", {"#......", ".......", "...#...", ".......", ".....#."}, false},
        {"off the line last in scan order", {"#.#.#.#", ".......", "......#"}, false},
        {"off the line first in scan order", {".#.....", "#.#.#.#"}, false},
        {"three in a triangle", {"#.", "##"}, false},
        {"far apart on one line",
         {"#" + std::string(40, '.'), std::string(41, '.'), std::string(20, '.') + "#" + std::string(20, '.'),
          std::string(41, '.'), std::string(40, '.') + "#"},
         true},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        const int rows = int(cs.rows.size());
        int columns = 0;
        for (const std::string& row : cs.rows) columns = std::max(columns, int(row.size()));
        auto valid = [&](int r, int c) { return c < int(cs.rows[r].size()) && cs.rows[r][c] == '#'; };
        EXPECT_EQ(validPointsCollinear(0, rows, 0, columns, valid), cs.collinear);
    }
}

// Only the given rows and columns are read and count.
TEST(CollinearPoints, ReadsOnlyItsWindow) {
    const std::vector<std::string> grid = {"#...", ".#..", "..#.", "#..#"};
    struct Case {
        int rowBegin, rowEnd, columnBegin, columnEnd;
        bool collinear;
    } cases[] = {{0, 4, 0, 4, false}, {0, 3, 0, 4, true}, {0, 4, 1, 4, true}, {2, 4, 0, 4, false}};
    for (const Case& cs : cases) {
        SCOPED_TRACE(::testing::Message() << "rows " << cs.rowBegin << "-" << cs.rowEnd << ", columns " << cs.columnBegin
                                          << "-" << cs.columnEnd);
        auto valid = [&](int r, int c) {
            EXPECT_TRUE(r >= cs.rowBegin && r < cs.rowEnd && c >= cs.columnBegin && c < cs.columnEnd) << r << ", " << c;
            return grid[r][c] == '#';
        };
        EXPECT_EQ(validPointsCollinear(cs.rowBegin, cs.rowEnd, cs.columnBegin, cs.columnEnd, valid), cs.collinear);
    }
}
