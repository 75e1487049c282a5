#pragma once
// The private record of ZelData, shared by the files that implement it.

#include "orvex/core/LargeBuffer.h"
#include "orvex/data/KDTree.h"
#include "orvex/data/ZelData.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvex {

struct ZelData::Private {
    struct Variable {
        std::string name;
        std::string description;
        ZelDataVariableType type = Unknown;
        LargeBuffer<float> values; // `count` floats, null when there are none
        int count = 0;

        Variable() = default;
        Variable(Variable&&) = default;
        Variable& operator=(Variable&&) = default;
        Variable(const Variable& other);
        Variable& operator=(const Variable& other) { return *this = Variable(other); }
    };

    std::vector<Variable> variables;
    int rows = 0;
    int columns = 0;
    std::string title;
    int dataType = GriddedDataType;
    std::uint64_t variableListStamp = newVariableListStamp();
    // Point search caches over reference and deformed world positions, and for each
    // the grid point index of every tree point number.
    std::unique_ptr<KDTree<float>> referenceTree;
    std::unique_ptr<KDTree<float>> deformedTree;
    std::vector<int> referenceGridIndex;
    std::vector<int> deformedGridIndex;

    // A stamp no list of variables had before, from one sequence for all areas.
    static std::uint64_t newVariableListStamp();
    // To be called by every operation that changes the list of variables.
    void variablesChanged() { variableListStamp = newVariableListStamp(); }
    // Variable i, or null when i is out of range.
    const Variable* variable(int i) const;
    // Values of variable i, or null when i is out of range.
    const float* values(int i) const;
    // Index of the blanking variable (the first Correlation one), or -1.
    int blankingIndex() const;
    // Blanking values, or null when the area has no Correlation variable.
    const float* blanking() const;
    // First variable of `type` whose name, or failing that description, is `text`; -1 if none.
    int findTyped(ZelDataVariableType type, const std::string& text) const;
    // The gridded form with pixel coordinates "x", "y" and a blanking variable:
    // what cell lookups, valid-index extraction and triangulation need.
    bool griddedPixelGrid(const float*& x, const float*& y, const float*& blankingValues) const;
    // A variable of the current grid size, zero-filled.
    Variable makeVariable(ZelDataVariableType type, const std::string& name, const std::string& description) const;
};

// Barycentric coordinates of (px, py) in the triangle (x1, y1), (x2, y2), (x3, y3);
// true when all three lie in [-1e-8, 1 + 1e-8]. False, writing nothing, when degenerate.
bool pointInTriangle(float& l1, float& l2, float& l3, float px, float py, float x1, float y1, float x2, float y2,
                     float x3, float y3);

// The arrays a cell interpolation reads: validity, positions and displacements.
struct CellArrays {
    const float* blanking;
    const float* x;
    const float* y;
    const float* u;
    const float* v;
};

// Every variable of `area` at (x, y) inside the cell with corners tl, tr, bl, br
// (point indexes), located by position (x, y), or by x + u, y + v when `deformed`,
// and interpolated over the first triangle of valid corners that holds the point.
bool interpolateCell(const ZelData& area, std::vector<float>& out, bool deformed, int tl, int tr, int bl, int br,
                     float x, float y, const CellArrays& arrays);

// Scans the cells row by row, left to right, with interpolateCell; the top-left
// corner of the first cell that interpolates (x, y) into `out`, or -1.
int interpolateFirstCell(const ZelData& area, std::vector<float>& out, bool deformed, float x, float y,
                         const CellArrays& arrays);

// A grid point takes part in lookups and analyses when its blanking value is >= 0.
inline bool isValidPoint(float blankingValue) { return blankingValue >= 0.0f; }

} // namespace orvex
