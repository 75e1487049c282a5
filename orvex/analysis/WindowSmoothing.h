#pragma once
// Window smoothing of grid fields.
//
// Each valid grid value is replaced by the constant term a of the plane a + b₁·dx + b₂·dy
// fitted by weighted least squares to the valid values of the square window
// dx, dy ∈ [−h, h] around it, clipped to the grid (h = w / 2 for a window of w points
// per side). The weight of offset (dy, dx) is g(dy)·g(dx) with g(i) = exp(k·i²),
// k = −6.283 / w² (weighted kernel), or 1 (uniform kernel). A point is valid when its
// mask value is ≥ 0 (negative and NaN mark it invalid); for areas the mask is the
// blanking variable. An even window size is widened to the next odd one; sizes below 1
// are refused.

#include "orvex/core/Array1.h"

#include <string>

namespace orvex {

class ZelData;
class ZelDataSet;

// Smooths the variable whose name or description is `name` in place, on the calling
// thread, with the weights of k computed in single precision; every fit reads the
// unsmoothed values.
// Points that get no fit (invalid, or a window whose valid points lie on one line or
// whose fit is singular) keep their value. When progressCounter is not null it is
// incremented for every point whose index is not a multiple of 16. False, with nothing
// changed, for a window below 1, an area that is not gridded, one without blanking
// variable, or no matching variable.
bool smoothVariable(ZelData& area, const std::string& name, int windowSize, bool weighted, int* progressCounter);

// The same for every gridded area of the set in index order (other areas are skipped);
// the first area that fails ends the call with false, earlier areas staying smoothed.
bool smoothVariable(ZelDataSet& dataSet, const std::string& name, int windowSize, bool weighted,
                    int* progressCounter);

// Smooths inputs[k] into outputs[k] for every k < outputs.size() on
// CPUInfo::numCPU() worker threads (at least one), in double precision. All fields and
// the mask hold columns × rows values; outputs must not overlap inputs or mask. Outputs
// of invalid points and of points whose window's valid points lie on one line or whose
// fit is singular are left unchanged.
// Returns false (logged, nothing written) for a window below 1. A worker's exception,
// or the failure to start a thread, is rethrown once every started worker has finished.
bool smooth(const Array1<float*>& outputs, const Array1<float const*>& inputs, const float* mask, int columns,
            int rows, int windowSize, bool weighted);

// The same for one field (k of the weighted kernel computed in single precision).
bool smooth(float* output, const float* input, const float* mask, int columns, int rows, int windowSize,
            bool weighted);

} // namespace orvex
