#pragma once
// Builds matrices in tests: from row literals, rows({{1, 2}, {3, 4}}), or as a
// run-time copy of a fixed-size matrix.

#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Matrix.h"

#include <algorithm>
#include <initializer_list>

namespace orvex::testing {

inline Matrix rows(std::initializer_list<std::initializer_list<double>> literal) {
    const int rowCount = static_cast<int>(literal.size());
    const int colCount = rowCount ? static_cast<int>(literal.begin()->size()) : 0;
    Matrix m(rowCount, colCount);
    int i = 0;
    for (const auto& row : literal) {
        int j = 0;
        for (double v : row) m(i, j++) = v;
        ++i;
    }
    return m;
}

template <int R, int C>
Matrix toMatrix(const FixedMatrix<R, C>& f) {
    Matrix m(R, C);
    std::copy(f.data(), f.data() + R * C, m.data());
    return m;
}

} // namespace orvex::testing
