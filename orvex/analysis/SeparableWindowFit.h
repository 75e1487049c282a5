#pragma once
// Weighted least-squares plane fits over the square windows of a grid, from separable
// window sums: the core of both smoothing forms.

#include "orvex/core/Array1.h"

#include <cstddef>
#include <vector>

namespace orvex {

// The fit of point (r, c) is the plane a + b₁·dx + b₂·dy fitted by weighted least
// squares to the valid points of the window dx, dy ∈ [−h, h] clipped to the grid, with
// weight g(dy)·g(dx), g(i) = weights[h + i]; the output is a, the first row of M⁻¹
// times b for M = Σ wt·[1, dx, dy]ᵀ[1, dx, dy] and b = Σ wt·v·[1, dx, dy]ᵀ. A point
// is valid when its mask value is ≥ 0.
//
// The weights are separable and symmetric, so the window sums come from moments of the
// offsets ±d taken in pairs: first down the columns over the 2h + 1 rows around the
// output row (kept converted to double in a ring of rows), then along that row. That is
// O(h) work per point instead of O(h²). Products and sums are in double precision; M
// is inverted in cofactor form.
//
// A point gets no fit when its window's valid points lie on one line (one or two points
// included), decided exactly, or when its determinant's magnitude is below 1e-12. The
// weights being positive, M is exactly singular when the points are collinear, and its
// computed determinant then stays within 32·(hx + hy + 10)·u·m00·m11·m22 (u = 2⁻⁵³):
// each entry of M sums terms that carry at most K = hx + hy + 8 roundings, so by
// Cauchy–Schwarz its error is at most γ_K·√(mᵢᵢ·mⱼⱼ), which moves the determinant of
// the matrix scaled to a unit diagonal by at most 18·γ_K·(1 + γ_K)²; the cofactor
// expansion adds at most 6·γ₅·(1 + γ_K)³. Only windows whose determinant is within that
// bound are tested point by point.
//
// fitRows writes outputs[k] (k < outputs.size()) at the valid points of its rows
// whose M is regular, and nothing anywhere else. Each input row is read once, before
// any output row at or after it is written, when rows are fitted in increasing order by
// one object: then an output may be its own input, or the mask. Otherwise outputs must
// not overlap the inputs or the mask.
class SeparableWindowFit {
public:
    // The lists and weights are used in place and must outlive the object; inputs holds
    // at least as many fields as outputs, weights 2·halfWindow + 1 positive symmetric
    // values. All fields and the mask hold columns × rows values.
    SeparableWindowFit(const Array1<float*>& outputs, const Array1<float const*>& inputs, const float* mask,
                       const std::vector<double>& weights, int columns, int rows, int halfWindow);

    // Fits the rows [begin, end). A call that starts where the last one ended reuses the
    // rows it converted.
    void fitRows(int begin, int end);

private:
    void convertRow(int row);
    double* ringRow(int row, int quantity);
    bool anyValid(int row);
    void sumDownColumns(int row);
    void sumAlongRow();
    void fitRow(int row);
    void dropCollinearFits(int row, double* fits, const double* doubtful);

    const Array1<float*>& outputs_;
    const Array1<float const*>& inputs_;
    const float* mask_;
    const int fields_;
    const int columns_;
    const int rows_;
    const int hx_; // offsets reach at most columns − 1 ...
    const int hy_; // ... and rows − 1
    const std::size_t width_; // columns rounded up to whole tiles
    const std::size_t paddedWidth_; // hx_ zeros, width_ values, hx_ zeros
    const int slots_;
    const double doubtScale_; // 32·(hx_ + hy_ + 10)·u
    int nextRow_ = 0; // the ring holds the converted rows before this one
    std::vector<double> weights_; // g(d), g(d)·d, g(d)·d² for d = 0 … max(hx_, hy_)
    std::vector<double> ring_;    // slot, quantity (validity, then each field's masked values), column
    std::vector<double> zeros_;   // a row outside the grid
    std::vector<double> columnMoments_; // of validity in dy⁰, dy¹, dy², then of each field in dy⁰, dy¹; padded
    std::vector<double> rowSums_; // M's six entries, then b per field
    std::vector<double> inverse_; // M⁻¹'s first row, whether the point gets a fit, whether it is in doubt
    std::vector<const double*> minus_, plus_; // the rows or columns at −d and +d
};

} // namespace orvex
