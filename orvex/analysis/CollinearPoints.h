#pragma once
// Exact test whether the valid points of a grid window lie on one line.

namespace orvex {

// Whether the points (r, c) of rows [rowBegin, rowEnd) and columns [columnBegin,
// columnEnd) for which valid(r, c) holds all lie on one line; true for two points or
// fewer. The first two valid points in row-major order fix the line; every later one
// must give a zero cross product with them. Exact for every int grid: the cross product
// compares two products of differences of ints, each of which a long long holds. Stops
// at the first point off the line.
template <class Valid>
bool validPointsCollinear(int rowBegin, int rowEnd, int columnBegin, int columnEnd, Valid valid) {
    int found = 0;
    long long originRow = 0, originColumn = 0, alongRow = 0, alongColumn = 0;
    for (int r = rowBegin; r < rowEnd; ++r)
        for (int c = columnBegin; c < columnEnd; ++c) {
            if (!valid(r, c))
                continue;
            const long long dr = r - originRow, dc = c - originColumn;
            if (found == 0) {
                originRow = r, originColumn = c, found = 1;
            } else if (found == 1) {
                alongRow = dr, alongColumn = dc, found = 2;
            } else if (alongRow * dc != alongColumn * dr) {
                return false;
            }
        }
    return true;
}

} // namespace orvex
