#include "orvex/analysis/SeparableWindowFit.h"
#include "orvex/analysis/SmoothingWeights.h"
#include "orvex/analysis/WindowSmoothing.h"
#include "orvex/core/Logging.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <vector>

namespace orvex {

namespace {

// The points of `row` whose row-major index is not a multiple of 16.
int countedPoints(int row, int columns) {
    const long long first = static_cast<long long>(row) * columns, end = first + columns;
    const long long multiples = (end + 15) / 16 - (first + 15) / 16;
    return static_cast<int>(columns - multiples);
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
    const std::vector<double> weights = windowWeights(kernelConstant(w, true), halfWindow, weighted);
    // Fitting the rows in order on one thread reads every row before its fits are written,
    // so every fit sees the unsmoothed values (and blanking, if that is the variable)
    // while the variable is smoothed in place; points without a fit keep their value.
    const Array1<float*> outputs{values};
    const Array1<float const*> inputs{values};
    SeparableWindowFit fit(outputs, inputs, blanking, weights, columns, rows, halfWindow);
    for (int row = 0; row < rows; ++row) {
        fit.fitRows(row, row + 1);
        if (progressCounter)
            *progressCounter += countedPoints(row, columns);
    }
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
