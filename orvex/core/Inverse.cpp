// Matrix inverses: Gauss–Jordan with full pivoting, the symmetric sweep, and the
// closed forms of the small fixed-size matrices.

#include "orvex/core/Decompositions.h"

#include <cmath>
#include <utility>
#include <vector>

namespace orvex {

namespace {

// The context of every inversion that is given none; nothing cancels it.
AnalysisContext defaultContext;

constexpr double kSingularDeterminant = 1e-12;

AnalysisContext& contextOrDefault(AnalysisContext* context) {
    return context ? *context : defaultContext;
}

// Orders 1 and 2 in closed form; out is already n × n.
bool invertSmall(Matrix& out, const Matrix& in) {
    if (in.rows() == 1) {
        if (std::fabs(in[0][0]) < kSingularDeterminant) return false;
        out[0][0] = 1.0 / in[0][0];
        return true;
    }
    const double a = in[0][0], b = in[0][1], c = in[1][0], d = in[1][1];
    const double det = det2x2(a, b, c, d);
    if (std::fabs(det) < kSingularDeterminant) return false;
    out[0][0] = d / det;
    out[0][1] = -b / det;
    out[1][0] = -c / det;
    out[1][1] = a / det;
    return true;
}

// Finds the largest |m(r, c)| over unused rows and columns; among equal magnitudes
// the last in row-then-column order wins. False when every candidate is NaN.
bool findPivot(const Matrix& m, const std::vector<char>& used, int& pivotRow, int& pivotCol) {
    const int n = m.rows();
    double largest = 0.0;
    bool found = false;
    for (int r = 0; r < n; ++r) {
        if (used[r]) continue;
        for (int c = 0; c < n; ++c) {
            if (used[c] || !(std::fabs(m[r][c]) >= largest)) continue;
            largest = std::fabs(m[r][c]);
            pivotRow = r;
            pivotCol = c;
            found = true;
        }
    }
    return found;
}

// In-place Gauss–Jordan elimination with full pivoting.
bool gaussJordan(Matrix& m, AnalysisContext& context) {
    const int n = m.rows();
    std::vector<char> used(static_cast<std::size_t>(n), 0);
    std::vector<std::pair<int, int>> pivots(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        if (context.wasCanceled()) return false;
        int r = 0, c = 0;
        if (!findPivot(m, used, r, c)) return false;
        used[c] = 1;
        if (r != c)
            for (int j = 0; j < n; ++j) std::swap(m[r][j], m[c][j]);
        pivots[i] = {r, c};
        if (m[c][c] == 0.0) return false;
        const double inverse = 1.0 / m[c][c];
        m[c][c] = 1.0;
        for (int j = 0; j < n; ++j) m[c][j] *= inverse;
        for (int q = 0; q < n; ++q) {
            if (q == c) continue;
            const double d = m[q][c];
            m[q][c] = 0.0;
            for (int j = 0; j < n; ++j) m[q][j] -= d * m[c][j];
        }
    }
    for (int i = n - 1; i >= 0; --i) {
        const auto [r, c] = pivots[i];
        if (r == c) continue;
        for (int k = 0; k < n; ++k) std::swap(m[k][r], m[k][c]);
    }
    return true;
}

// Element (r, s), r ≤ s, of the upper triangle of a square Matrix.
struct UpperOfMatrix {
    Matrix& m;
    int order() const { return m.rows(); }
    double& operator()(int r, int s) const { return m[r][s]; }
};

struct UpperOfPacked {
    SymmetricMatrix& m;
    int order() const { return m.order(); }
    double& operator()(int r, int s) const { return m(r, s); }
};

// Inverts a symmetric matrix held in its upper triangle by a sweep with diagonal
// pivoting: each step eliminates the available index with the largest |diagonal|
// (the first of equal ones). Cancellation is checked per step, or also before
// every row update when cancelEachRow.
template <typename Upper>
bool symmetricSweep(const Upper& m, AnalysisContext& context, bool cancelEachRow) {
    const int n = m.order();
    std::vector<char> available(static_cast<std::size_t>(n), 1);
    std::vector<double> p(static_cast<std::size_t>(n)), q(static_cast<std::size_t>(n));
    for (int step = 0; step < n; ++step) {
        if (cancelEachRow && context.wasCanceled()) return false;
        int k = -1;
        double largest = 0.0;
        for (int j = 0; j < n; ++j)
            if (available[j] && std::fabs(m(j, j)) > largest) {
                largest = std::fabs(m(j, j));
                k = j;
            }
        if (!cancelEachRow && context.wasCanceled()) return false;
        if (k < 0) return false;

        available[k] = 0;
        const double c = 1.0 / m(k, k);
        q[k] = c;
        p[k] = 1.0;
        m(k, k) = 0.0;
        for (int j = 0; j < k; ++j) {
            const double d = m(j, k);
            p[j] = d;
            q[j] = available[j] ? -d * c : d * c;
            m(j, k) = 0.0;
        }
        for (int j = k + 1; j < n; ++j) {
            const double d = m(k, j);
            p[j] = available[j] ? d : -d;
            q[j] = -d * c;
            m(k, j) = 0.0;
        }
        for (int r = 0; r < n; ++r) {
            if (cancelEachRow && context.wasCanceled()) return false;
            for (int s = r; s < n; ++s) m(r, s) += p[r] * q[s];
        }
    }
    return true;
}

} // namespace

bool invertMatrix(Matrix& out, const Matrix& in, AnalysisContext* context) {
    AnalysisContext& ctx = contextOrDefault(context);
    const int n = in.rows();
    if (n != in.cols()) return false;
    out.allocData(n, n);
    if (n == 0) return true;
    if (n <= 2) return invertSmall(out, in);
    if (&out != &in) out = in;
    return gaussJordan(out, ctx);
}

bool invertSymmetricMatrix(Matrix& m, AnalysisContext* context) {
    if (m.rows() != m.cols()) return false;
    if (!symmetricSweep(UpperOfMatrix{m}, contextOrDefault(context), true)) return false;
    for (int r = 1; r < m.rows(); ++r)
        for (int s = 0; s < r; ++s) m[r][s] = m[s][r];
    return true;
}

bool invertSymmetricMatrix(SymmetricMatrix& m, AnalysisContext* context) {
    return symmetricSweep(UpperOfPacked{m}, contextOrDefault(context), false);
}

bool invertMatrix(Matrix2x2& out, const Matrix2x2& in) {
    const double a = in(0, 0), b = in(0, 1), c = in(1, 0), d = in(1, 1);
    const double det = det2x2(a, b, c, d);
    if (det == 0.0) {
        out = Matrix2x2::identity();
        return false;
    }
    out = Matrix2x2{d / det, -b / det, -c / det, a / det};
    return true;
}

bool invertMatrix(Matrix3x3& out, const Matrix3x3& in) {
    const double m00 = in(0, 0), m01 = in(0, 1), m02 = in(0, 2);
    const double m10 = in(1, 0), m11 = in(1, 1), m12 = in(1, 2);
    const double m20 = in(2, 0), m21 = in(2, 1), m22 = in(2, 2);
    const double det = det3x3(m00, m10, m20, m01, m11, m21, m02, m12, m22);
    if (std::fabs(det) < kSingularDeterminant) {
        out = Matrix3x3::identity();
        return false;
    }
    out = Matrix3x3{(m11 * m22 - m12 * m21) / det, (m02 * m21 - m01 * m22) / det, (m01 * m12 - m02 * m11) / det,
                    (m12 * m20 - m10 * m22) / det, (m00 * m22 - m02 * m20) / det, (m02 * m10 - m00 * m12) / det,
                    (m10 * m21 - m11 * m20) / det, (m01 * m20 - m00 * m21) / det, (m00 * m11 - m01 * m10) / det};
    return true;
}

bool invertMatrix(Matrix4x4& out, const Matrix4x4& in) {
    const double det = det4x4(in);  // before out is written: out may be in
    adjoint(out, in);
    if (det == 0.0) return false;
    out *= 1.0 / det;
    return true;
}

bool invertSymmetricMatrix(Matrix2x2& m) {
    const double a = m(0, 0), b = m(0, 1), c = m(1, 0), d = m(1, 1);
    const double det = det2x2(a, b, c, d);
    if (det == 0.0) {
        m = Matrix2x2::identity();
        return false;
    }
    m = Matrix2x2{d, -b, -c, a} * (1.0 / det);
    return true;
}

bool invertSymmetricMatrix(Matrix3x3& m) { return invertSymmetricMatrix(m, m); }

// Cofactors of the upper triangle.
bool invertSymmetricMatrix(Matrix3x3& out, const Matrix3x3& in) {
    const double m00 = in(0, 0), m01 = in(0, 1), m02 = in(0, 2);
    const double m11 = in(1, 1), m12 = in(1, 2), m22 = in(2, 2);
    const double c00 = m11 * m22 - m12 * m12;
    const double c01 = m02 * m12 - m01 * m22;
    const double c02 = m01 * m12 - m02 * m11;
    const double det = m00 * c00 + m01 * c01 + m02 * c02;
    if (std::fabs(det) < kSingularDeterminant) return false;
    const double i01 = c01 / det, i02 = c02 / det;
    const double i12 = (m01 * m02 - m00 * m12) / det;
    out = Matrix3x3{c00 / det, i01, i02,
                    i01, (m00 * m22 - m02 * m02) / det, i12,
                    i02, i12, (m00 * m11 - m01 * m01) / det};
    return true;
}

double det2x2(double a, double b, double c, double d) { return a * d - b * c; }

double det3x3(double a1, double a2, double a3, double b1, double b2, double b3, double c1, double c2,
              double c3) {
    return a1 * det2x2(b2, b3, c2, c3) - b1 * det2x2(a2, a3, c2, c3) + c1 * det2x2(a2, a3, b2, b3);
}

double det4x4(const Matrix4x4& m) {
    // a…d are columns 0…3, the digit is the row counted from 1.
    const double a1 = m(0, 0), b1 = m(0, 1), c1 = m(0, 2), d1 = m(0, 3);
    const double a2 = m(1, 0), b2 = m(1, 1), c2 = m(1, 2), d2 = m(1, 3);
    const double a3 = m(2, 0), b3 = m(2, 1), c3 = m(2, 2), d3 = m(2, 3);
    const double a4 = m(3, 0), b4 = m(3, 1), c4 = m(3, 2), d4 = m(3, 3);
    return a1 * det3x3(b2, b3, b4, c2, c3, c4, d2, d3, d4) - b1 * det3x3(a2, a3, a4, c2, c3, c4, d2, d3, d4) +
           c1 * det3x3(a2, a3, a4, b2, b3, b4, d2, d3, d4) - d1 * det3x3(a2, a3, a4, b2, b3, b4, c2, c3, c4);
}

void adjoint(Matrix4x4& out, const Matrix4x4& in) {
    const Matrix4x4 source = in;  // out may be in
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            // The minor without row c and column r, passed column by column.
            double minor[9];
            int k = 0;
            for (int col = 0; col < 4; ++col) {
                if (col == r) continue;
                for (int row = 0; row < 4; ++row)
                    if (row != c) minor[k++] = source(row, col);
            }
            const double cofactor = det3x3(minor[0], minor[1], minor[2], minor[3], minor[4], minor[5],
                                           minor[6], minor[7], minor[8]);
            out(r, c) = (r + c) % 2 == 0 ? cofactor : -cofactor;
        }
}

} // namespace orvex
