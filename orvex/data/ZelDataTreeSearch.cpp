// Values at world positions, found by a cell scan or through cached KD-trees.
#include "orvex/data/ZelDataPrivate.h"

#include "orvex/core/Logging.h"

#include <array>
#include <cmath>
#include <exception>
#include <limits>

namespace orvex {

namespace {

using GlobalPoint = std::pair<int, std::vector<float>>;

const GlobalPoint kNoPoint{-1, {}};

// World positions X, Y and displacements U, V of the area's coordinate set.
bool worldArrays(const ZelData& area, CellArrays& arrays) {
    float *x = nullptr, *y = nullptr, *u = nullptr, *v = nullptr;
    auto find = [&](ZelDataVariableType positionType, ZelDataVariableType displacementType, const char* xName,
                    const char* yName, const char* uName, const char* vName) {
        return area.findVariable(positionType, xName, x) && area.findVariable(positionType, yName, y) &&
               area.findVariable(displacementType, uName, u) && area.findVariable(displacementType, vName, v);
    };
    const bool found = area.currentDataType() == Type3d
                           ? find(GlobalCoordinate, GlobalDisplacement, "X", "Y", "U", "V")
                           : find(GlobalCoordinate, GlobalDisplacement, "x_c", "y_c", "u_c", "v_c") ||
                                 find(PixelCoordinate, PixelDisplacement, "x_c", "y_c", "u_c", "v_c");
    arrays.x = x;
    arrays.y = y;
    arrays.u = u;
    arrays.v = v;
    return found;
}

// The valid corner nearest to `position` by reference coordinates, or -1.
int nearestValidCorner(const std::array<int, 4>& corners, const Vector2& position, const CellArrays& arrays) {
    double best = std::numeric_limits<double>::max();
    int nearest = -1;
    for (int corner : corners) {
        if (!isValidPoint(arrays.blanking[corner]))
            continue;
        const double distance = std::hypot(position.x - arrays.x[corner], position.y - arrays.y[corner]);
        if (distance < best) {
            best = distance;
            nearest = corner;
        }
    }
    return nearest;
}

GlobalPoint scanCells(const ZelData& area, const Vector2& position, bool deformed, const CellArrays& arrays) {
    std::vector<float> values;
    const int tl = interpolateFirstCell(area, values, deformed, static_cast<float>(position.x),
                                        static_cast<float>(position.y), arrays);
    if (tl < 0)
        return kNoPoint;
    const int columns = area.numColumns();
    const std::array<int, 4> corners = {tl, tl + 1, tl + columns, tl + columns + 1};
    return {nearestValidCorner(corners, position, arrays), std::move(values)};
}

// A tree over the interior valid points (rows and columns 1 .. n - 2), row by row,
// at their reference or deformed positions; `gridIndex` maps point numbers to grid indexes.
std::unique_ptr<KDTree<float>> buildTree(const ZelData& area, bool deformed, const CellArrays& arrays,
                                         std::vector<int>& gridIndex) {
    gridIndex.clear();
    std::vector<KDPoint<float>> points;
    const int columns = area.numColumns();
    for (int r = 1; r + 1 < area.numRows(); ++r) {
        for (int c = 1; c + 1 < columns; ++c) {
            const int p = r * columns + c;
            if (!isValidPoint(arrays.blanking[p]))
                continue;
            gridIndex.push_back(p);
            points.push_back({{deformed ? arrays.x[p] + arrays.u[p] : arrays.x[p],
                               deformed ? arrays.y[p] + arrays.v[p] : arrays.y[p]}});
        }
    }
    return std::make_unique<KDTree<float>>(new KDPointStorage<float>(std::move(points), 2));
}

// Interpolates in the first of the four cells around grid point g that holds (x, y).
// The neighbours of g: itself, then clockwise from the upper left to the left; each
// cell lists its top-left, top-right, bottom-left and bottom-right neighbour.
GlobalPoint interpolateAround(const ZelData& area, int g, float x, float y, bool deformed,
                              const CellArrays& arrays) {
    const int c = area.numColumns();
    const std::array<int, 9> neighbour = {g, g - c - 1, g - c, g - c + 1, g + 1, g + c + 1, g + c, g + c - 1, g - 1};
    static constexpr std::array<std::array<int, 4>, 4> cells = {{{1, 2, 8, 0}, {2, 3, 0, 4}, {8, 0, 7, 6}, {0, 4, 6, 5}}};
    std::vector<float> values;
    for (const auto& cell : cells) {
        std::array<int, 4> corners{};
        bool inside = true;
        for (std::size_t k = 0; k < 4; ++k) {
            corners[k] = neighbour[static_cast<std::size_t>(cell[k])];
            inside = inside && corners[k] >= 0 && corners[k] < area.matrixSize();
        }
        if (inside && interpolateCell(area, values, deformed, corners[0], corners[1], corners[2], corners[3], x, y,
                                      arrays))
            return {g, std::move(values)};
    }
    return kNoPoint;
}

} // namespace

GlobalPoint ZelData::extractGlobalPoint(const Vector2& position, bool deformed, bool useTree) const {
    CellArrays arrays{d->blanking(), nullptr, nullptr, nullptr, nullptr};
    if (!arrays.blanking || !worldArrays(*this, arrays))
        return kNoPoint;
    if (!useTree || d->rows <= 2 || d->columns <= 2)
        return scanCells(*this, position, deformed, arrays);

    std::unique_ptr<KDTree<float>>& tree = deformed ? d->deformedTree : d->referenceTree;
    std::vector<int>& gridIndex = deformed ? d->deformedGridIndex : d->referenceGridIndex;
    if (!tree) {
        try {
            tree = buildTree(*this, deformed, arrays, gridIndex);
        } catch (const std::exception& e) {
            PLOGE << (deformed ? "Caught an exception while building deformed tree: "
                               : "Caught an exception while building tree: ")
                  << e.what();
        }
        if (!tree) {
            PLOGE << "There should be a tree at this point";
            return kNoPoint;
        }
    }
    const float x = static_cast<float>(position.x), y = static_cast<float>(position.y);
    std::size_t nearest = 0;
    try {
        findNearest(*tree, std::vector<float>{x, y}, nearest);
    } catch (const std::exception& e) {
        PLOGE << "Caught an exception while searching tree: " << e.what();
        return kNoPoint;
    }
    return interpolateAround(*this, gridIndex.at(nearest), x, y, deformed, arrays);
}

void ZelData::clearSearchTrees() {
    d->deformedTree.reset();
    d->referenceTree.reset();
}

} // namespace orvex
