#pragma once
// Straightforward single-threaded forms of the triangle averaging and of both window
// smoothing forms, written directly from their definitions (odd window sizes only). The
// library's forms are checked against them.

#include "orvex/analysis/StrainTensors.h"
#include "orvex/core/Array1.h"

namespace reference {

// Row-major loop over the points, blanking each point without triangles at once and
// logging each failed triangle.
void computeStrain(orvex::Array2<float>& strain, orvex::Array2<float>& gradient, const float* X, const float* Y,
                   const float* Z, const float* U, const float* V, const float* W, float* blanking,
                   orvex::tensor_func fn, int columns, int rows);

// Per point: the 3 × 3 normal matrix and 3 × n right-hand side summed over the full
// w × w kernel table, inverted with the general symmetric inversion; no fit where the
// valid points are collinear (decided on their integer moments).
void smooth(const orvex::Array1<float*>& outputs, const orvex::Array1<float const*>& inputs, const float* mask,
            int columns, int rows, int windowSize, bool weighted);

// The single-variable form, in place: the kernel (k included) and every product in
// single precision, added to double sums, the 3 × 3 cofactor inversion; no fit where
// the valid points are collinear; every fit reads the unsmoothed values, and points
// without a fit keep theirs.
void smoothVariable(float* values, const float* mask, int columns, int rows, int windowSize, bool weighted);

} // namespace reference
