#include "orvex/analysis/AddScaled.h"

#include "orvex/analysis/VectorClones.h"

namespace orvex {

ORVEX_VECTOR_CLONES
void addScaled(double* __restrict y, double a, const double* __restrict x, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

} // namespace orvex
