#pragma once
// Builds matrices from row literals in tests: rows({{1, 2}, {3, 4}}).

#include "orvex/core/Matrix.h"

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

} // namespace orvex::testing
