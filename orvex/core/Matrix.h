#pragma once
// A dense row-major matrix of doubles of run-time size (an Array2<double>), with
// its arithmetic and the block operations that assemble normal equations.
//
// No operation checks dimensions: operands of matching sizes, and blocks that lie
// inside the matrix, are the caller's to ensure.

#include "orvex/core/Array2.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Vector.h"

#include <type_traits>

namespace orvex {

class Matrix : public Array2<double> {
public:
    using Array2<double>::Array2;
    Matrix() = default;

    void setZero() { fill(0.0); }

    // Aᵀ
    Matrix transpose() const;

    Matrix& operator+=(const Matrix& b);
    Matrix& operator-=(const Matrix& b);
    // this = this·B. The product is built apart; the storage is kept when the
    // column count does not change, otherwise replaced (emptied when rows(this) or
    // cols(B) is 0).
    Matrix& operator*=(const Matrix& b);
    Matrix& operator*=(double s);
    Matrix& operator/=(double s);

    // Square, and every pair (i, j), (j, i) has magnitudes u, w with
    // (max − min)/max ≤ tolerance (pairs of zeros and of equal infinities pass; a NaN
    // or an infinity against a finite magnitude fails). Signs are not compared.
    bool isSymmetric(double tolerance) const;

    // out(i, j) = M(row + i, col + j) over out's own dimensions.
    void block_get(Matrix& out, int row, int col) const;

    // M(row + i, col + j) = A(i, j); copying M into itself does nothing.
    template <typename A>
    void block_copy(int row, int col, const A& a) {
        if (static_cast<const void*>(&a) == this) return;
        for (int i = 0; i < a.rows(); ++i)
            for (int j = 0; j < a.cols(); ++j) (*this)(row + i, col + j) = a(i, j);
    }

    // M(row + i, col + j) += (AᵀA)(i, j), i, j < cols(A), both triangles.
    template <typename A>
    void block_add_At_A(int row, int col, const A& a) {
        block_add_At_B(row, col, a, a);
    }

    // M(row + i, col + j) += a[i]·a[j].
    template <typename V>
    void block_add_a_at(int row, int col, const V& a) {
        const int n = static_cast<int>(a.size());
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) (*this)(row + i, col + j) += a[i] * a[j];
    }

    // M(row + i, col + j) += (AᵀB)(i, j); A and B have the same row count.
    template <typename A, typename B>
    void block_add_At_B(int row, int col, const A& a, const B& b) {
        constexpr bool skipZeros = bothMatrix<A, B>();
        for (int r = 0; r < a.rows(); ++r)
            for (int i = 0; i < a.cols(); ++i) {
                const double x = a(r, i);
                if (skipZeros && x == 0.0) continue;
                double* target = (*this)[row + i] + col;
                for (int j = 0; j < b.cols(); ++j) target[j] += x * b(r, j);
            }
    }

    // M(row + i, col + j) += (AB)(i, j); B has cols(A) rows.
    template <typename A, typename B>
    void block_add_A_B(int row, int col, const A& a, const B& b) {
        constexpr bool skipZeros = bothMatrix<A, B>();
        for (int i = 0; i < a.rows(); ++i) {
            double* target = (*this)[row + i] + col;
            for (int k = 0; k < a.cols(); ++k) {
                const double x = a(i, k);
                if (skipZeros && x == 0.0) continue;
                for (int j = 0; j < b.cols(); ++j) target[j] += x * b(k, j);
            }
        }
    }

private:
    // Products of two run-time matrices skip exact zeros of the left operand, so
    // sparse rows cost only their non-zero entries; fixed-size ones always multiply.
    template <typename A, typename B>
    static constexpr bool bothMatrix() {
        return std::is_base_of<Array2<double>, A>::value && std::is_base_of<Array2<double>, B>::value;
    }
};

// A·B (rows(A) × cols(B)); exact zeros of A are skipped, so the matching row of B
// is never read. Empty when rows(A) or cols(B) is 0.
Matrix operator*(const Matrix& a, const Matrix& b);
Matrix operator+(const Matrix& a, const Matrix& b);
Matrix operator-(const Matrix& a, const Matrix& b);
Matrix operator*(const Matrix& a, double s);
Matrix operator*(double s, const Matrix& a);
Matrix operator/(const Matrix& a, double s);
// A·v over the first cols(A) entries of v.
Vector operator*(const Matrix& a, const Vector& v);

} // namespace orvex
