#include "orvex/core/Matrix.h"

#include <algorithm>
#include <cmath>

namespace orvex {

namespace {

// Applies op(x, y) to every element x of a and the matching element y of b.
template <typename Op>
void forEachPair(Matrix& a, const Matrix& b, Op op) {
    for (int i = 0; i < a.rows(); ++i) {
        double* row = a[i];
        const double* other = b[i];
        for (int j = 0; j < a.cols(); ++j) op(row[j], other[j]);
    }
}

template <typename Op>
void forEach(Matrix& a, Op op) {
    for (int i = 0; i < a.rows(); ++i) {
        double* row = a[i];
        for (int j = 0; j < a.cols(); ++j) op(row[j]);
    }
}

} // namespace

Matrix Matrix::transpose() const {
    Matrix t(cols(), rows());
    for (int i = 0; i < rows(); ++i)
        for (int j = 0; j < cols(); ++j) t(j, i) = (*this)(i, j);
    return t;
}

Matrix& Matrix::operator+=(const Matrix& b) {
    forEachPair(*this, b, [](double& x, double y) { x += y; });
    return *this;
}

Matrix& Matrix::operator-=(const Matrix& b) {
    forEachPair(*this, b, [](double& x, double y) { x -= y; });
    return *this;
}

Matrix& Matrix::operator*=(double s) {
    forEach(*this, [s](double& x) { x *= s; });
    return *this;
}

Matrix& Matrix::operator/=(double s) {
    forEach(*this, [s](double& x) { x /= s; });
    return *this;
}

Matrix& Matrix::operator*=(const Matrix& b) {
    if (rows() < 1 || b.cols() < 1) {
        allocData(0, 0);
        return *this;
    }
    Matrix product(rows(), b.cols());
    for (int i = 0; i < rows(); ++i)
        for (int j = 0; j < b.cols(); ++j) {
            double sum = 0.0;
            for (int k = 0; k < cols(); ++k) sum += (*this)(i, k) * b(k, j);
            product(i, j) = sum;
        }
    if (cols() == b.cols())
        std::copy(product.data(), product.data() + product.byteSize() / sizeof(double), data());
    else
        *this = std::move(product);
    return *this;
}

bool Matrix::isSymmetric(double tolerance) const {
    if (rows() != cols()) return false;
    for (int i = 1; i < rows(); ++i)
        for (int j = 0; j < i; ++j) {
            const double u = std::fabs((*this)(i, j));
            const double w = std::fabs((*this)(j, i));
            const double largest = std::max(u, w);
            if (largest == 0.0) continue;  // a pair of zeros
            // NaN, and an infinity against a finite magnitude, give a NaN spread: not symmetric.
            const double spread = u == w ? 0.0 : std::fabs(u - w) / largest;
            if (!(spread <= tolerance)) return false;
        }
    return true;
}

void Matrix::block_get(Matrix& out, int row, int col) const {
    for (int i = 0; i < out.rows(); ++i)
        for (int j = 0; j < out.cols(); ++j) out(i, j) = (*this)(row + i, col + j);
}

Matrix operator*(const Matrix& a, const Matrix& b) {
    Matrix product(a.rows(), b.cols());
    if (product.empty()) return product;
    product.setZero();
    product.block_add_A_B(0, 0, a, b);
    return product;
}

Matrix operator+(const Matrix& a, const Matrix& b) {
    Matrix sum(a);
    sum += b;
    return sum;
}

Matrix operator-(const Matrix& a, const Matrix& b) {
    Matrix difference(a);
    difference -= b;
    return difference;
}

Matrix operator*(const Matrix& a, double s) {
    Matrix scaled(a);
    scaled *= s;
    return scaled;
}

Matrix operator*(double s, const Matrix& a) { return a * s; }

Matrix operator/(const Matrix& a, double s) {
    Matrix scaled(a);
    scaled /= s;
    return scaled;
}

Vector operator*(const Matrix& a, const Vector& v) {
    Vector result(static_cast<std::size_t>(a.rows()));
    for (int i = 0; i < a.rows(); ++i) {
        double sum = 0.0;
        for (int j = 0; j < a.cols(); ++j) sum += a(i, j) * v[static_cast<std::size_t>(j)];
        result[static_cast<std::size_t>(i)] = sum;
    }
    return result;
}

} // namespace orvex
