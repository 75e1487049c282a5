#pragma once
// Weights and window extent shared by the smoothing forms.

#include <vector>

namespace orvex {

// The odd window size used for `windowSize` (an even size widens to the next odd
// one), or −1 for sizes below 1.
int oddWindowSize(int windowSize);

// Half window h = w / 2 of the odd window w, capped at the largest offset a grid of
// columns × rows points has, so that tables stay small and 2h + 1 is an int.
int cappedHalfWindow(int w, int columns, int rows);

// k = −(6.283 / w²) computed in single precision, or in double precision and then
// rounded to single.
float kernelConstant(int w, bool singlePrecision);

// g(i) = expf((k·i)·i), a float widened to double, for the weighted kernel, 1 for the
// uniform one, for i ∈ [−h, h] at index h + i.
std::vector<double> windowWeights(float k, int halfWindow, bool weighted);

} // namespace orvex
