#pragma once
// Fixed-size row-major matrices of doubles: Matrix2x2 … Matrix4x3 (rows × columns).
// Element (i, j) is the (i·C + j)-th double of data(); plain values on the stack,
// zero when default-constructed.

#include "orvex/core/Vector.h"

#include <initializer_list>

namespace orvex {

template <int R, int C>
class FixedMatrix {
    static_assert(R > 0 && C > 0, "a fixed matrix has at least one row and one column");

public:
    FixedMatrix() = default;
    // Elements row after row; missing ones stay zero, extra ones are ignored.
    FixedMatrix(std::initializer_list<double> rowMajor) {
        int k = 0;
        for (double v : rowMajor) {
            if (k == R * C) break;
            values_[k++] = v;
        }
    }

    static constexpr int rows() { return R; }
    static constexpr int cols() { return C; }

    // Ones on the main diagonal, zeros elsewhere.
    static FixedMatrix identity() {
        FixedMatrix m;
        for (int i = 0; i < (R < C ? R : C); ++i) m(i, i) = 1.0;
        return m;
    }

    double& operator()(int row, int col) { return values_[row * C + col]; }
    double operator()(int row, int col) const { return values_[row * C + col]; }

    double* data() { return values_; }
    const double* data() const { return values_; }

    // Tᵀ: element (i, j) of the result is element (j, i) of this matrix.
    FixedMatrix<C, R> transpose() const {
        FixedMatrix<C, R> t;
        for (int i = 0; i < R; ++i)
            for (int j = 0; j < C; ++j) t(j, i) = (*this)(i, j);
        return t;
    }
    FixedMatrix<C, R> operator~() const { return transpose(); }

    FixedMatrix& operator+=(const FixedMatrix& o) {
        for (int k = 0; k < R * C; ++k) values_[k] += o.values_[k];
        return *this;
    }
    FixedMatrix& operator-=(const FixedMatrix& o) {
        for (int k = 0; k < R * C; ++k) values_[k] -= o.values_[k];
        return *this;
    }
    FixedMatrix& operator*=(double s) {
        for (double& v : values_) v *= s;
        return *this;
    }

private:
    double values_[R * C] = {};
};

using Matrix2x2 = FixedMatrix<2, 2>;
using Matrix3x3 = FixedMatrix<3, 3>;
using Matrix4x4 = FixedMatrix<4, 4>;
using Matrix2x3 = FixedMatrix<2, 3>;
using Matrix3x2 = FixedMatrix<3, 2>;
using Matrix3x4 = FixedMatrix<3, 4>;
using Matrix4x3 = FixedMatrix<4, 3>;

// A·B: element (i, j) = Σₖ A(i, k)·B(k, j).
template <int R, int K, int C>
FixedMatrix<R, C> operator*(const FixedMatrix<R, K>& a, const FixedMatrix<K, C>& b) {
    FixedMatrix<R, C> p;
    for (int i = 0; i < R; ++i)
        for (int j = 0; j < C; ++j) {
            double sum = 0.0;
            for (int k = 0; k < K; ++k) sum += a(i, k) * b(k, j);
            p(i, j) = sum;
        }
    return p;
}

template <int R, int C>
FixedMatrix<R, C> operator+(FixedMatrix<R, C> a, const FixedMatrix<R, C>& b) { return a += b; }
template <int R, int C>
FixedMatrix<R, C> operator-(FixedMatrix<R, C> a, const FixedMatrix<R, C>& b) { return a -= b; }
template <int R, int C>
FixedMatrix<R, C> operator*(FixedMatrix<R, C> a, double s) { return a *= s; }
template <int R, int C>
FixedMatrix<R, C> operator*(double s, FixedMatrix<R, C> a) { return a *= s; }

inline Vector2 operator*(const Matrix2x2& m, const Vector2& v) {
    return {m(0, 0) * v.x + m(0, 1) * v.y, m(1, 0) * v.x + m(1, 1) * v.y};
}

inline Vector3 operator*(const Matrix3x3& m, const Vector3& v) {
    return {m(0, 0) * v.x + m(0, 1) * v.y + m(0, 2) * v.z,
            m(1, 0) * v.x + m(1, 1) * v.y + m(1, 2) * v.z,
            m(2, 0) * v.x + m(2, 1) * v.y + m(2, 2) * v.z};
}

} // namespace orvex
