#include "orvex/analysis/SmoothingWeights.h"

#include <algorithm>
#include <cmath>

namespace orvex {

int oddWindowSize(int windowSize) {
    return windowSize < 1 ? -1 : (windowSize | 1);
}

int cappedHalfWindow(int w, int columns, int rows) {
    // A grid with a side of 2^30 points or more has a single row or column (its point
    // count is an int), where no window has a fit, so that bound changes nothing.
    constexpr int kLargestHalfWindow = (1 << 30) - 1;
    return std::max(0, std::min({w / 2, std::max(columns, rows) - 1, kLargestHalfWindow}));
}

float kernelConstant(int w, bool singlePrecision) {
    const long long squared = static_cast<long long>(w) * w;
    if (singlePrecision)
        return -(6.283f / static_cast<float>(squared));
    return static_cast<float>(-(6.283 / static_cast<double>(squared)));
}

std::vector<double> windowWeights(float k, int halfWindow, bool weighted) {
    std::vector<double> weights(static_cast<std::size_t>(2 * halfWindow + 1), 1.0);
    if (weighted)
        for (int i = -halfWindow; i <= halfWindow; ++i) {
            const float offset = static_cast<float>(i);
            weights[halfWindow + i] = std::exp((k * offset) * offset);
        }
    return weights;
}

} // namespace orvex
