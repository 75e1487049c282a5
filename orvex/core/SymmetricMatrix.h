#pragma once
// A symmetric matrix of order n in packed storage: the n(n+1)/2 doubles of its
// upper triangle (diagonal included), row after row. Element (i, j) and (j, i)
// share one slot.

#include <cstddef>
#include <vector>

namespace orvex {

class SymmetricMatrix {
public:
    SymmetricMatrix() = default;
    // Order n (0 when negative), all elements zero.
    explicit SymmetricMatrix(int n)
        : order_(n > 0 ? n : 0),
          values_(static_cast<std::size_t>(order_) * (static_cast<std::size_t>(order_) + 1) / 2) {}

    int order() const { return order_; }

    double& operator()(int row, int col) { return values_[slot(row, col)]; }
    double operator()(int row, int col) const { return values_[slot(row, col)]; }

    double* data() { return values_.data(); }
    const double* data() const { return values_.data(); }

private:
    // Slot of (row, col) in the packed upper triangle; either order of the indexes.
    std::size_t slot(int row, int col) const {
        const std::size_t i = static_cast<std::size_t>(row < col ? row : col);
        const std::size_t j = static_cast<std::size_t>(row < col ? col : row);
        const std::size_t n = static_cast<std::size_t>(order_);
        return i * (2 * n - i + 1) / 2 + (j - i);
    }

    int order_ = 0;
    std::vector<double> values_;
};

} // namespace orvex
