#include "orvex/analysis/GridTriangulation.h"

namespace orvex {

// Constant-initialised, so both tables hold their values before any code runs.
const TriVertice TriVertice::Invalid = {{{-1, -1}, {-1, -1}, {-1, -1}}};
const Index2 GridTriangulation::Delta[4] = {{-1, 0}, {0, 1}, {1, 0}, {0, -1}};

GridTriangulation::GridTriangulation(int rows, int columns, const float* g0, const float* g1, const float* g2,
                                     const float* g3, const float* g4, const float* g5, const float* g6)
    : rows_(rows),
      columns_(columns),
      grids_{g0, g1, g2, g3, g4, g5, g6},
      cache_{{-1, -1}, 0, {TriVertice::Invalid, TriVertice::Invalid, TriVertice::Invalid, TriVertice::Invalid}} {}

bool GridTriangulation::valid(const Index2& v) const {
    return v.row >= 0 && v.row < rows_ && v.column >= 0 && v.column < columns_ &&
           grids_[0][static_cast<long long>(v.row) * columns_ + v.column] >= 0.0f;
}

const GridTriangulation::VertexInfo& GridTriangulation::_getVertexInfo(const Index2& v) const {
    if (v == cache_.vertex)
        return cache_;
    cache_.vertex = v;
    cache_.count = 0;
    if (!valid(v))
        return cache_;
    Index2 neighbour[4];
    bool available[4];
    for (int k = 0; k < 4; ++k) {
        neighbour[k] = {v.row + Delta[k].row, v.column + Delta[k].column};
        available[k] = valid(neighbour[k]);
    }
    for (int k = 0; k < 4; ++k) {
        const int next = (k + 1) % 4;
        if (available[k] && available[next])
            cache_.triangles[cache_.count++] = TriVertice{{v, neighbour[k], neighbour[next]}};
    }
    return cache_;
}

} // namespace orvex
