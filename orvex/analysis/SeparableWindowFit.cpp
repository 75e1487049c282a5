#include "orvex/analysis/SeparableWindowFit.h"

#include "orvex/analysis/CollinearPoints.h"
#include "orvex/analysis/VectorClones.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>

namespace orvex {

namespace {

// Columns handled together: their sums stay in registers while the offsets are added.
constexpr std::size_t kTile = 8;
using Tile = double __attribute__((vector_size(kTile * sizeof(double))));
using TileBits = unsigned long long __attribute__((vector_size(kTile * sizeof(unsigned long long))));
using FloatTile = float __attribute__((vector_size(kTile * sizeof(float))));
using FloatTileBits = unsigned int __attribute__((vector_size(kTile * sizeof(unsigned int))));

// Tiles are copied through references: a tile passed or returned by value would
// change the calling convention between the processors' clones.
void loadTile(Tile& t, const double* p) { std::memcpy(&t, p, sizeof t); }
void storeTile(double* p, const Tile& t) { std::memcpy(p, &t, sizeof t); }

// t[i] = the tile at column c of rows[i], for i < N.
template <std::size_t N>
void loadTiles(Tile (&t)[N], const double* const* rows, std::size_t c) {
    for (std::size_t i = 0; i < N; ++i) loadTile(t[i], rows[i] + c);
}

// Below this determinant magnitude M counts as singular (as invertSymmetricMatrix).
constexpr double kSingularDeterminant = 1e-12;
// The bits of a double's magnitude.
constexpr unsigned long long kMagnitudeBits = 0x7FFFFFFFFFFFFFFF;

unsigned long long bitsOf(double value) {
    unsigned long long bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

std::size_t wholeTiles(int columns) {
    return (static_cast<std::size_t>(std::max(columns, 0)) + kTile - 1) / kTile * kTile;
}

// out[o][c] = Σ g(|d|)·dᵒ·x_d[c] over d ∈ [−pairs, pairs] for o < Orders and
// c < width (a multiple of kTile), where x_0 = centre, x_−d = minus[d − 1] and
// x_+d = plus[d − 1]; g[3·d + o] = g(d)·dᵒ. Inlined into each processor's clone of
// pairMoments, so that it is vectorised for that processor.
template <int Orders>
[[gnu::always_inline]] inline void pairMomentsOf(double* const* out, const double* centre, const double* const* minus,
                                                 const double* const* plus, const double* g, int pairs,
                                                 std::size_t width) {
    for (std::size_t c = 0; c < width; c += kTile) {
        Tile sums[3] = {}; // the orders from Orders on stay unused
        loadTile(sums[0], centre + c);
        sums[0] *= g[0];
        for (int d = 1; d <= pairs; ++d) {
            Tile below, above;
            loadTile(below, minus[d - 1] + c);
            loadTile(above, plus[d - 1] + c);
            const Tile even = above + below;
            sums[0] += g[3 * d] * even;
            if (Orders > 1) sums[1] += g[3 * d + 1] * (above - below);
            if (Orders > 2) sums[2] += g[3 * d + 2] * even;
        }
        for (int o = 0; o < Orders; ++o) storeTile(out[o] + c, sums[o]);
    }
}

ORVEX_VECTOR_CLONES
void pairMoments(int orders, double* const* out, const double* centre, const double* const* minus,
                 const double* const* plus, const double* g, int pairs, std::size_t width) {
    switch (orders) {
    case 1: pairMomentsOf<1>(out, centre, minus, plus, g, pairs, width); break;
    case 2: pairMomentsOf<2>(out, centre, minus, plus, g, pairs, width); break;
    default: pairMomentsOf<3>(out, centre, minus, plus, g, pairs, width); break;
    }
}

// The first row of M⁻¹ from M's entries m[0…5] = (00, 01, 02, 11, 12, 22) by
// cofactors (inverse[0…2]); fits (inverse[3]) = 1 where the point is valid and M
// regular, 0 elsewhere (where the row is 0); doubtful (inverse[4]) = 1 where the point
// fits but |det| ≤ doubtScale·m00·m11·m22, 0 elsewhere; returns whether any point is
// in doubt. Every array holds `width` values (a multiple of kTile). The entries and the
// determinant are finite: they sum finite weights over the grid; the diagonal entries
// are sums of non-negative terms.
ORVEX_VECTOR_CLONES
bool firstInverseRow(const double* const* m, const double* validity, double* const* inverse, double doubtScale,
                     std::size_t width) {
    const Tile one = Tile{} + 1.0;
    const unsigned long long singularBits = bitsOf(kSingularDeterminant);
    TileBits anyDoubtful = {};
    for (std::size_t c = 0; c < width; c += kTile) {
        Tile entries[6], valid;
        loadTiles(entries, m, c);
        loadTile(valid, validity + c);
        const Tile &m00 = entries[0], &m01 = entries[1], &m02 = entries[2];
        const Tile &m11 = entries[3], &m12 = entries[4], &m22 = entries[5];
        const Tile c00 = m11 * m22 - m12 * m12;
        const Tile c01 = m02 * m12 - m01 * m22;
        const Tile c02 = m01 * m12 - m02 * m11;
        const Tile det = (m00 * c00 + m01 * c01 + m02 * c02) * valid; // 0 at invalid points
        // |det| < 1e-12 decided on the bits (a cast between tiles keeps them), which
        // order as the magnitudes do; the sign of the wrapped difference is the answer.
        // Comparisons of doubles would not stay vectorised on every processor.
        const TileBits magnitude = (TileBits)det & kMagnitudeBits;
        const TileBits singular = -((magnitude - singularBits) >> 63); // all ones where singular
        const Tile fits = (Tile)((TileBits)one & ~singular);
        const Tile reciprocal = fits / (Tile)(((TileBits)det & ~singular) | ((TileBits)one & singular));
        // |det| ≤ bound (≥ 0) decided on the bits in the same way.
        const TileBits bound = (TileBits)(m00 * m11 * m22 * doubtScale);
        const TileBits doubtful = -((magnitude - bound - 1) >> 63) & ~singular;
        anyDoubtful |= doubtful;
        storeTile(inverse[0] + c, c00 * reciprocal);
        storeTile(inverse[1] + c, c01 * reciprocal);
        storeTile(inverse[2] + c, c02 * reciprocal);
        storeTile(inverse[3] + c, fits);
        storeTile(inverse[4] + c, (Tile)((TileBits)one & doubtful));
    }
    for (std::size_t i = 0; i < kTile; ++i)
        if (anyDoubtful[i]) return true;
    return false;
}

// output[c] = (float)(M⁻¹ row · b) for c < columns where inverse[3][c] is 1 (a fit),
// b = (b[0], b[1], b[2]); the other outputs keep their values.
ORVEX_VECTOR_CLONES
void writeFits(float* output, const double* const* inverse, const double* const* b, std::size_t columns) {
    for (std::size_t c = 0; c < columns; c += kTile) {
        Tile i[4], v[3];
        loadTiles(i, inverse, c);
        loadTiles(v, b, c);
        const FloatTileBits fitted = (FloatTileBits)__builtin_convertvector(i[0] * v[0] + i[1] * v[1] + i[2] * v[2], FloatTile);
        const FloatTileBits written = -__builtin_convertvector(i[3], FloatTileBits); // all ones where 1
        if (c + kTile <= columns) {
            FloatTileBits kept;
            std::memcpy(&kept, output + c, sizeof kept);
            const FloatTileBits result = (fitted & written) | (kept & ~written);
            std::memcpy(output + c, &result, sizeof result);
        } else {
            for (std::size_t j = 0; c + j < columns; ++j)
                if (written[j]) {
                    const unsigned int bits = fitted[j];
                    std::memcpy(output + c + j, &bits, sizeof bits);
                }
        }
    }
}

} // namespace

SeparableWindowFit::SeparableWindowFit(const Array1<float*>& outputs, const Array1<float const*>& inputs,
                                       const float* mask, const std::vector<double>& weights, int columns, int rows,
                                       int halfWindow)
    : outputs_(outputs),
      inputs_(inputs),
      mask_(mask),
      fields_(static_cast<int>(outputs.size())),
      columns_(std::max(columns, 0)),
      rows_(std::max(rows, 0)),
      hx_(std::max(0, std::min(halfWindow, columns - 1))),
      hy_(std::max(0, std::min(halfWindow, rows - 1))),
      width_(wholeTiles(columns)),
      paddedWidth_(width_ + 2 * static_cast<std::size_t>(hx_)),
      slots_(std::max(1, std::min(2 * hy_ + 1, rows))),
      doubtScale_(std::ldexp(static_cast<double>(hx_) + hy_ + 10, -48)),
      weights_(3 * static_cast<std::size_t>(std::max(hx_, hy_) + 1)),
      ring_(static_cast<std::size_t>(slots_) * (1 + fields_) * width_, 0.0),
      zeros_(width_, 0.0),
      columnMoments_(static_cast<std::size_t>(3 + 2 * fields_) * paddedWidth_, 0.0),
      rowSums_(static_cast<std::size_t>(6 + 3 * fields_) * width_),
      inverse_(5 * width_),
      minus_(static_cast<std::size_t>(std::max(hx_, hy_))),
      plus_(minus_.size()) {
    for (int d = 0; d <= std::max(hx_, hy_); ++d) {
        const double g = weights[static_cast<std::size_t>(halfWindow + d)];
        weights_[3 * d] = g;
        weights_[3 * d + 1] = g * d;
        weights_[3 * d + 2] = g * d * d;
    }
}

void SeparableWindowFit::fitRows(int begin, int end) {
    begin = std::max(begin, 0);
    end = std::min(end, rows_);
    if (begin >= end || columns_ < 1)
        return;
    const int firstNeeded = std::max(0, begin - hy_);
    if (firstNeeded > nextRow_ || firstNeeded < nextRow_ - slots_)
        nextRow_ = firstNeeded;
    for (int row = begin; row < end; ++row) {
        const int lastNeeded = std::min(rows_ - 1, row + hy_);
        while (nextRow_ <= lastNeeded) convertRow(nextRow_++);
        if (!anyValid(row))
            continue;
        sumDownColumns(row);
        sumAlongRow();
        fitRow(row);
    }
}

double* SeparableWindowFit::ringRow(int row, int quantity) {
    return &ring_[(static_cast<std::size_t>(row % slots_) * (1 + fields_) + quantity) * width_];
}

// Validity (1 or 0) and each field's value at valid points (0 elsewhere); the columns
// past the grid stay 0.
void SeparableWindowFit::convertRow(int row) {
    const std::size_t first = static_cast<std::size_t>(row) * columns_;
    double* validity = ringRow(row, 0);
    for (int c = 0; c < columns_; ++c) validity[c] = mask_[first + c] >= 0.0f ? 1.0 : 0.0;
    for (int k = 0; k < fields_; ++k) {
        double* values = ringRow(row, 1 + k);
        const float* input = inputs_[k] + first;
        for (int c = 0; c < columns_; ++c) values[c] = validity[c] != 0.0 ? static_cast<double>(input[c]) : 0.0;
    }
}

bool SeparableWindowFit::anyValid(int row) {
    const double* validity = ringRow(row, 0);
    return std::any_of(validity, validity + columns_, [](double v) { return v != 0.0; });
}

// Moments in dy of validity (orders 0 to 2) and of each field (0 and 1) for the output
// row, over the rows within hy_ of it; rows outside the grid count as zeros.
void SeparableWindowFit::sumDownColumns(int row) {
    const int pairs = std::min(hy_, std::max(row, rows_ - 1 - row));
    auto moment = [&](int order) { return &columnMoments_[static_cast<std::size_t>(order) * paddedWidth_ + hx_]; };
    for (int quantity = 0; quantity <= fields_; ++quantity) {
        for (int d = 1; d <= pairs; ++d) {
            minus_[d - 1] = row - d >= 0 ? ringRow(row - d, quantity) : zeros_.data();
            plus_[d - 1] = row + d < rows_ ? ringRow(row + d, quantity) : zeros_.data();
        }
        const int first = quantity == 0 ? 0 : 1 + 2 * quantity;
        double* const out[3] = {moment(first), moment(first + 1), quantity == 0 ? moment(2) : nullptr};
        pairMoments(quantity == 0 ? 3 : 2, out, ringRow(row, quantity), minus_.data(), plus_.data(),
                    weights_.data(), pairs, width_);
    }
}

// M's entries and each field's b from the column moments, by moments in dx.
void SeparableWindowFit::sumAlongRow() {
    auto sum = [&](int index) { return &rowSums_[static_cast<std::size_t>(index) * width_]; };
    auto along = [&](int orders, int momentRow, std::initializer_list<int> sums) {
        const double* centre = &columnMoments_[static_cast<std::size_t>(momentRow) * paddedWidth_ + hx_];
        for (int d = 1; d <= hx_; ++d) {
            minus_[d - 1] = centre - d;
            plus_[d - 1] = centre + d;
        }
        double* out[3] = {nullptr, nullptr, nullptr};
        std::transform(sums.begin(), sums.end(), out, sum);
        pairMoments(orders, out, centre, minus_.data(), plus_.data(), weights_.data(), hx_, width_);
    };
    along(3, 0, {0, 1, 3}); // Σwt, Σwt·dx, Σwt·dx²
    along(2, 1, {2, 4});    // Σwt·dy, Σwt·dx·dy
    along(1, 2, {5});       // Σwt·dy²
    for (int k = 0; k < fields_; ++k) {
        along(2, 3 + 2 * k, {6 + 3 * k, 7 + 3 * k}); // Σwt·v, Σwt·v·dx
        along(1, 4 + 2 * k, {8 + 3 * k});            // Σwt·v·dy
    }
}

void SeparableWindowFit::fitRow(int row) {
    auto rowPointers = [](std::vector<double>& block, std::size_t first, std::size_t stride, double** out, int count) {
        for (int i = 0; i < count; ++i) out[i] = &block[(first + i) * stride];
    };
    double* m[6];
    double* inverse[5];
    rowPointers(rowSums_, 0, width_, m, 6);
    rowPointers(inverse_, 0, width_, inverse, 5);
    if (firstInverseRow(m, ringRow(row, 0), inverse, doubtScale_, width_))
        dropCollinearFits(row, inverse[3], inverse[4]);
    for (int k = 0; k < fields_; ++k) {
        double* b[3];
        rowPointers(rowSums_, 6 + 3 * static_cast<std::size_t>(k), width_, b, 3);
        writeFits(outputs_[k] + static_cast<std::size_t>(row) * columns_, inverse, b, columns_);
    }
}

// A window left in doubt by its determinant gets no fit when its valid points are
// collinear; those rows of the ring are the window's rows.
void SeparableWindowFit::dropCollinearFits(int row, double* fits, const double* doubtful) {
    for (int c = 0; c < columns_; ++c)
        if (doubtful[c] != 0.0 &&
            validPointsCollinear(std::max(0, row - hy_), std::min(rows_, row + hy_ + 1), std::max(0, c - hx_),
                                 std::min(columns_, c + hx_ + 1),
                                 [this](int r, int column) { return ringRow(r, 0)[column] != 0.0; }))
            fits[c] = 0.0;
}

} // namespace orvex
