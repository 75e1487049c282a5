#include "orvex/analysis/SmoothingWeights.h"
#include "orvex/analysis/WindowSmoothing.h"
#include "orvex/core/Decompositions.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Logging.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <vector>

namespace orvex {

namespace {

// The fitted value at (row, column), or `fallback` when the window's fit is singular.
// Products are formed in single precision and summed in double precision.
float fitPoint(const float* values, const float* blanking, const std::vector<float>& weights, int halfWindow,
               int columns, int rows, int row, int column, float fallback) {
    double sw = 0, swx = 0, swy = 0, swxx = 0, swxy = 0, swyy = 0, sv = 0, svx = 0, svy = 0;
    const int firstDy = -std::min(row, halfWindow), lastDy = std::min(halfWindow, rows - 1 - row);
    const int firstDx = -std::min(column, halfWindow), lastDx = std::min(halfWindow, columns - 1 - column);
    for (int dy = firstDy; dy <= lastDy; ++dy) {
        for (int dx = firstDx; dx <= lastDx; ++dx) {
            const int q = (row + dy) * columns + column + dx;
            if (!(blanking[q] >= 0.0f))
                continue;
            const float wt = weights[halfWindow + dy] * weights[halfWindow + dx];
            const float fx = static_cast<float>(dx), fy = static_cast<float>(dy);
            const float wv = wt * values[q];
            sw += wt;
            swx += wt * fx;
            swy += wt * fy;
            swxx += (fx * fx) * wt;
            swxy += (fx * wt) * fy;
            swyy += (fy * fy) * wt;
            sv += wv;
            svx += fx * wv;
            svy += wv * fy;
        }
    }
    Matrix3x3 M{sw, swx, swy, swx, swxx, swxy, swy, swxy, swyy};
    if (!invertSymmetricMatrix(M))
        return fallback;
    return static_cast<float>(M(0, 0) * sv + M(0, 1) * svx + M(0, 2) * svy);
}

} // namespace

bool smoothVariable(ZelData& area, const std::string& name, int windowSize, bool weighted, int* progressCounter) {
    const int w = oddWindowSize(windowSize);
    if (w < 1) {
        PLOGE << "Smoothing window too small in smoothVariable()";
        return false;
    }
    float* blanking = nullptr;
    float* values = nullptr;
    if (area.dataType() != ZelData::GriddedDataType || !area.findBlankingVariable(blanking) ||
        !area.findVariable(name, values))
        return false;
    // The variable may be a coordinate or displacement that the search trees index.
    area.clearSearchTrees();

    const int columns = area.numColumns(), rows = area.numRows();
    const int halfWindow = cappedHalfWindow(w, columns, rows);
    const std::vector<float> weights = windowWeights(kernelConstant(w, true), halfWindow, weighted);
    // Every fit reads the unsmoothed values; points without a fit keep theirs.
    std::vector<float> result(values, values + area.matrixSize());
    for (int p = 0; p < area.matrixSize(); ++p) {
        if (progressCounter && p % 16 != 0)
            ++*progressCounter;
        if (blanking[p] >= 0.0f)
            result[p] = fitPoint(values, blanking, weights, halfWindow, columns, rows, p / columns, p % columns,
                                 values[p]);
    }
    std::copy(result.begin(), result.end(), values);
    return true;
}

bool smoothVariable(ZelDataSet& dataSet, const std::string& name, int windowSize, bool weighted,
                    int* progressCounter) {
    for (int i = 0; i < dataSet.numData(); ++i) {
        ZelData& area = *dataSet.data(i);
        if (area.dataType() == ZelData::GriddedDataType &&
            !smoothVariable(area, name, windowSize, weighted, progressCounter))
            return false;
    }
    return true;
}

} // namespace orvex
