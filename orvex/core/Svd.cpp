// Singular value decomposition by Householder bidiagonalisation and implicit-shift
// QR (Golub–Reinsch), solving from it, and null spaces.

#include "orvex/core/Decompositions.h"
#include "orvex/core/Logging.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace orvex {

namespace {

// √(a² + b²) without overflow.
double hypotenuse(double a, double b) {
    const double absA = std::fabs(a);
    const double absB = std::fabs(b);
    if (absA > absB) return absA * std::sqrt(1.0 + (absB / absA) * (absB / absA));
    return absB == 0.0 ? 0.0 : absB * std::sqrt(1.0 + (absA / absB) * (absA / absB));
}

// A matrix reached through its row pointers: m[r][c] is element (r, c). The
// decomposition runs on this view, so that a Matrix and a 3 × 3 on the stack share it.
struct Rows {
    double* const* table;
    int rows;
    int cols;
    double* operator[](int r) const { return table[r]; }
};

Rows rowsOf(Matrix& m) { return Rows{m.rowTable(), m.rows(), m.cols()}; }

// Replaces columns i and j of m (over all its rows) by their rotation through (c, s):
// col i ← col i·c + col j·s, col j ← col j·c − col i·s.
void rotateColumns(Rows m, int i, int j, double c, double s) {
    for (int r = 0; r < m.rows; ++r) {
        const double p = m[r][i];
        const double q = m[r][j];
        m[r][i] = p * c + q * s;
        m[r][j] = q * c - p * s;
    }
}

// −√s when f ≥ 0, +√s otherwise: the Householder sign choice.
double householderNorm(double f, double s) { return f >= 0.0 ? -std::sqrt(s) : std::sqrt(s); }

// Householder reduction of a (m × n, m ≥ n) to upper bidiagonal form: diagonal in
// w, superdiagonal in e (e[0] = 0). Returns the norm bound used by the split tests.
double bidiagonalise(Rows a, double* w, double* e) {
    const int m = a.rows;
    const int n = a.cols;
    double g = 0.0, scale = 0.0, anorm = 0.0;
    for (int i = 0; i < n; ++i) {
        const int l = i + 1;
        e[i] = scale * g;
        g = scale = 0.0;
        double s = 0.0;
        for (int k = i; k < m; ++k) scale += std::fabs(a[k][i]);
        if (scale != 0.0) {
            for (int k = i; k < m; ++k) {
                a[k][i] /= scale;
                s += a[k][i] * a[k][i];
            }
            double f = a[i][i];
            g = householderNorm(f, s);
            const double h = f * g - s;
            a[i][i] = f - g;
            for (int j = l; j < n; ++j) {
                double sum = 0.0;
                for (int k = i; k < m; ++k) sum += a[k][i] * a[k][j];
                f = sum / h;
                for (int k = i; k < m; ++k) a[k][j] += f * a[k][i];
            }
            for (int k = i; k < m; ++k) a[k][i] *= scale;
        }
        w[i] = scale * g;
        g = scale = 0.0;
        s = 0.0;
        if (i != n - 1) {
            for (int k = l; k < n; ++k) scale += std::fabs(a[i][k]);
            if (scale != 0.0) {
                for (int k = l; k < n; ++k) {
                    a[i][k] /= scale;
                    s += a[i][k] * a[i][k];
                }
                const double f = a[i][l];
                g = householderNorm(f, s);
                const double h = f * g - s;
                a[i][l] = f - g;
                for (int k = l; k < n; ++k) e[k] = a[i][k] / h;
                for (int j = l; j < m; ++j) {
                    double sum = 0.0;
                    for (int k = l; k < n; ++k) sum += a[j][k] * a[i][k];
                    for (int k = l; k < n; ++k) a[j][k] += sum * e[k];
                }
                for (int k = l; k < n; ++k) a[i][k] *= scale;
            }
        }
        anorm = std::max(anorm, std::fabs(w[i]) + std::fabs(e[i]));
    }
    return anorm;
}

// Accumulates the right-hand transformations, stored in a's rows, into v.
void accumulateRight(Rows a, const double* e, Rows v) {
    const int n = a.cols;
    for (int i = n - 1; i >= 0; --i) {
        const int l = i + 1;
        if (i < n - 1) {
            const double g = e[i + 1];
            if (g != 0.0) {
                for (int j = l; j < n; ++j) v[j][i] = (a[i][j] / a[i][l]) / g;
                for (int j = l; j < n; ++j) {
                    double s = 0.0;
                    for (int k = l; k < n; ++k) s += a[i][k] * v[k][j];
                    for (int k = l; k < n; ++k) v[k][j] += s * v[k][i];
                }
            }
            for (int j = l; j < n; ++j) v[i][j] = v[j][i] = 0.0;
        }
        v[i][i] = 1.0;
    }
}

// Accumulates the left-hand transformations, stored in a's columns, into a itself.
void accumulateLeft(Rows a, const double* w) {
    const int m = a.rows;
    const int n = a.cols;
    for (int i = n - 1; i >= 0; --i) {
        const int l = i + 1;
        double g = w[i];
        for (int j = l; j < n; ++j) a[i][j] = 0.0;
        if (g != 0.0) {
            g = 1.0 / g;
            for (int j = l; j < n; ++j) {
                double s = 0.0;
                for (int k = l; k < m; ++k) s += a[k][i] * a[k][j];
                const double f = (s / a[i][i]) * g;
                for (int k = i; k < m; ++k) a[k][j] += f * a[k][i];
            }
            for (int j = i; j < m; ++j) a[j][i] *= g;
        } else {
            for (int j = i; j < m; ++j) a[j][i] = 0.0;
        }
        a[i][i] += 1.0;
    }
}

// Zeroes e[l] when w[l − 1] is negligible, by rotations that chase it along row l − 1:
// rotating rows l − 1 and i leaves c·e[i] in row i and pushes the remainder on to the
// next column, so the chase ends at the first negligible remainder.
void cancelSuperdiagonal(Rows u, double* w, double* e, int l, int k, double anorm) {
    double c = 0.0, s = 1.0;
    for (int i = l; i <= k; ++i) {
        const double f = s * e[i];
        e[i] = c * e[i];
        if (std::fabs(f) + anorm == anorm) break;
        const double g = w[i];
        const double h = hypotenuse(f, g);
        w[i] = h;
        c = g * (1.0 / h);
        s = -f * (1.0 / h);
        rotateColumns(u, l - 1, i, c, s);
    }
}

// One implicit-shift QR sweep over the block l..k, shift from its bottom 2×2 minor.
void qrSweep(Rows u, double* w, Rows v, double* e, int l, int k) {
    double x = w[l];
    double y = w[k - 1];
    double z = w[k];
    double g = e[k - 1];
    double h = e[k];
    double f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0 * h * y);
    g = hypotenuse(f, 1.0);
    f = ((x - z) * (x + z) + h * (y / (f + (f < 0.0 ? -g : g)) - h)) / x;
    double c = 1.0, s = 1.0;
    for (int j = l; j < k; ++j) {
        const int i = j + 1;
        g = e[i];
        y = w[i];
        h = s * g;
        g = c * g;
        z = hypotenuse(f, h);
        e[j] = z;
        c = f / z;
        s = h / z;
        f = x * c + g * s;
        g = g * c - x * s;
        h = y * s;
        y = y * c;
        rotateColumns(v, j, i, c, s);
        z = hypotenuse(f, h);
        w[j] = z;
        if (z != 0.0) {
            c = f * (1.0 / z);
            s = h * (1.0 / z);
        }
        f = c * g + s * y;
        x = c * y - s * g;
        rotateColumns(u, j, i, c, s);
    }
    e[l] = 0.0;
    e[k] = f;
    w[k] = x;
}

// Diagonalises the bidiagonal form, value by value from the bottom. False when a
// value needs 100 attempts or the values are not finite.
bool diagonalise(Rows u, double* w, Rows v, double* e, double anorm) {
    const int n = u.cols;
    for (int k = n - 1; k >= 0; --k) {
        for (int budget = 100;;) {
            int l = k;
            bool cancel = false;
            for (; l >= 0; --l) {
                if (std::fabs(e[l]) + anorm == anorm) break;
                if (l == 0) return false;  // e[0] is 0: only non-finite values get here
                if (std::fabs(w[l - 1]) + anorm == anorm) {
                    cancel = true;
                    break;
                }
            }
            if (cancel) cancelSuperdiagonal(u, w, e, l, k, anorm);
            if (l == k) {
                if (w[k] < 0.0) {
                    w[k] = -w[k];
                    for (int r = 0; r < n; ++r) v[r][k] = -v[r][k];
                }
                break;
            }
            if (--budget == 0) return false;
            qrSweep(u, w, v, e, l, k);
        }
    }
    return true;
}

void swapColumns(Rows m, int i, int j) {
    for (int r = 0; r < m.rows; ++r) std::swap(m[r][i], m[r][j]);
}

// Puts the n values of w into non-increasing order by exchanges of strictly greater
// values, exchanging the matching columns of u and v with each.
void sortDescending(Rows u, double* w, Rows v) {
    const int n = u.cols;
    for (int i = 0; i + 1 < n; ++i)
        for (int j = i + 1; j < n; ++j)
            if (w[j] > w[i]) {
                std::swap(w[i], w[j]);
                swapColumns(u, i, j);
                swapColumns(v, i, j);
            }
}

// Decomposes a (m × n, m ≥ n ≥ 1) in place into U; w receives the n singular values
// and v (n × n) receives V. e is n zeros of scratch.
bool decompose(Rows a, double* w, Rows v, double* e) {
    const double anorm = bidiagonalise(a, w, e);
    accumulateRight(a, e, v);
    accumulateLeft(a, w);
    if (!diagonalise(a, w, v, e, anorm)) return false;
    sortDescending(a, w, v);
    return true;
}

} // namespace

// Decomposes a in place: a becomes U, and w and v receive the singular values and V.
bool svdcmp(Matrix& a, Vector& w, Matrix& v) {
    const int m = a.rows();
    const int n = a.cols();
    w.assign(static_cast<std::size_t>(n), 0.0);
    v.allocData(n, n);
    if (m < n) {
        PLOGW << "Pre-condition failed";
        return false;
    }
    if (n == 0) return true;
    std::vector<double> e(static_cast<std::size_t>(n));
    return decompose(rowsOf(a), w.data(), rowsOf(v), e.data());
}

bool svd(Matrix& U, Vector& w, Matrix& V, const Matrix& A) {
    if (&U != &A) U = A;
    return svdcmp(U, w, V);
}

// The general decomposition on stack storage.
bool svd(Matrix3x3& U, Vector3& w, Matrix3x3& V, const Matrix3x3& A) {
    Matrix3x3 u = A, v;
    double* const uRows[3] = {&u(0, 0), &u(1, 0), &u(2, 0)};
    double* const vRows[3] = {&v(0, 0), &v(1, 0), &v(2, 0)};
    double values[3] = {}, e[3] = {};
    if (!decompose(Rows{uRows, 3, 3}, values, Rows{vRows, 3, 3}, e)) return false;
    U = u;
    V = v;
    w = Vector3(values[0], values[1], values[2]);
    return true;
}

bool svd_solve(Vector& x, const Matrix& U, const Vector& w, const Matrix& V, const Vector& b) {
    Vector t(static_cast<std::size_t>(U.cols()), 0.0);
    for (int r = 0; r < U.rows(); ++r)
        for (int j = 0; j < U.cols(); ++j) t[j] += U[r][j] * b[r];
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (w[i] == 0.0) return false;
        t[i] /= w[i];
    }
    x = V * t;
    return true;
}

bool nullSpace(Vector& x, const Matrix& A) {
    Matrix u, v;
    Vector w;
    if (!svd(u, w, v, A)) return false;
    const int n = v.cols();
    x.resize(static_cast<std::size_t>(n));
    for (int r = 0; r < n; ++r) x[r] = v[r][n - 1];
    return true;
}

bool nullSpace(Vector3& x, const Matrix3x3& A) {
    Matrix3x3 u, v;
    Vector3 w;
    if (!svd(u, w, v, A)) return false;
    x = Vector3(v(0, 2), v(1, 2), v(2, 2));
    return true;
}

} // namespace orvex
