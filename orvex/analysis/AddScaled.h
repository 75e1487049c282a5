#pragma once
// The scaled vector sum of the window fits' separable passes.

#include <cstddef>

namespace orvex {

// y[i] += a·x[i] for i < n; y and x do not overlap. Vectorised as wide as the processor
// allows (same results on every processor).
void addScaled(double* __restrict y, double a, const double* __restrict x, std::size_t n);

} // namespace orvex
