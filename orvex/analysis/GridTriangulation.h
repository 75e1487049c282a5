#pragma once
// The triangles a grid point forms with its four grid neighbours.

namespace orvex {

// A grid position.
struct Index2 {
    int row;
    int column;

    bool operator==(const Index2& other) const { return row == other.row && column == other.column; }
    bool operator!=(const Index2& other) const { return !(*this == other); }
};

// A triangle of the grid: the centre vertex first, then two of its neighbours.
struct TriVertice {
    Index2 vertex[3];

    // Every position (−1, −1).
    static const TriVertice Invalid;
};

// Triangles around the vertices of a rows × columns grid whose first field decides
// validity (a vertex is valid when its value is ≥ 0; negative and NaN are not). The
// other six fields are held for the caller. The grids belong to the caller, row-major
// (index row · columns + column).
//
// Not thread-safe: the lookup caches its last answer inside a const call.
class GridTriangulation {
public:
    // The neighbour steps (row, column) up, right, down, left, rows growing downwards.
    static const Index2 Delta[4];

    // The triangles of one vertex; triangles[k] is meaningful for k < count.
    struct VertexInfo {
        Index2 vertex;
        int count;
        TriVertice triangles[4];
    };

    GridTriangulation(int rows, int columns, const float* g0, const float* g1, const float* g2, const float* g3,
                      const float* g4, const float* g5, const float* g6);

    // The triangles (v, n_k, n_(k+1 mod 4)) for k = 0..3 in order over the neighbours
    // n_k = v + Delta[k] for which n_k and n_(k+1 mod 4) both lie inside the grid and
    // are valid; none when v itself is outside or invalid. The answer is cached and
    // stays valid until the next call; asking again for the same vertex returns the
    // cache as it is.
    const VertexInfo& _getVertexInfo(const Index2& v) const;

    int rows() const { return rows_; }
    int columns() const { return columns_; }
    // Field k (0 to 6) as given to the constructor.
    const float* grid(int k) const { return grids_[k]; }

private:
    bool valid(const Index2& v) const;

    int rows_;
    int columns_;
    const float* grids_[7];
    mutable VertexInfo cache_;
};

} // namespace orvex
