#include "orvex/analysis/WindowSmoothing.h"

#include "orvex/analysis/SmoothThread.h"
#include "orvex/analysis/SmoothingWeights.h"
#include "orvex/core/CPUInfo.h"
#include "orvex/core/Logging.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace orvex {

namespace {

bool smoothFields(const Array1<float*>& outputs, const Array1<float const*>& inputs, const float* mask,
                  int columns, int rows, int windowSize, bool weighted, bool singlePrecisionConstant) {
    const int w = oddWindowSize(windowSize);
    if (w < 1) {
        PLOGE << "Smoothing window too small in smooth()";
        return false;
    }
    const int halfWindow = cappedHalfWindow(w, columns, rows);
    const std::vector<double> weights = windowWeights(kernelConstant(w, singlePrecisionConstant), halfWindow, weighted);
    const int count = std::max(1, CPUInfo::numCPU());

    // Each worker lives on the heap, so its address stays fixed while its thread runs.
    std::vector<std::unique_ptr<SmoothThread>> workers;
    workers.reserve(static_cast<std::size_t>(count));
    auto joinAll = [&workers] {
        for (const auto& worker : workers) worker->join();
    };
    try {
        for (int index = 0; index < count; ++index) {
            workers.push_back(std::make_unique<SmoothThread>(outputs, inputs, mask, weights, columns, rows,
                                                             halfWindow, index, count));
            workers.back()->start();
        }
    } catch (...) {
        joinAll();
        throw;
    }
    joinAll();
    for (const auto& worker : workers)
        if (worker->error) std::rethrow_exception(worker->error);
    return true;
}

} // namespace

bool smooth(const Array1<float*>& outputs, const Array1<float const*>& inputs, const float* mask, int columns,
            int rows, int windowSize, bool weighted) {
    return smoothFields(outputs, inputs, mask, columns, rows, windowSize, weighted, false);
}

bool smooth(float* output, const float* input, const float* mask, int columns, int rows, int windowSize,
            bool weighted) {
    return smoothFields(Array1<float*>{output}, Array1<float const*>{input}, mask, columns, rows, windowSize,
                        weighted, true);
}

} // namespace orvex
