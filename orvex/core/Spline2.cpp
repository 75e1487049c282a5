#include "orvex/core/Spline2.h"

#include "orvex/core/Decompositions.h"
#include "orvex/core/InterpArray2.h"
#include "orvex/core/Logging.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

namespace orvex {

namespace {

int nonNegative(int n) { return n > 0 ? n : 0; }

} // namespace

Spline2::Spline2(int degree) : BSpline2(degree) {}

Spline2::Spline2(int degree, const Rect& domain, int nx, int ny) : BSpline2(degree, domain, nx, ny) {
    resizeCoefficients();
}

void Spline2::setNPatch(int nx, int ny) {
    BSpline2::setNPatch(nx, ny);
    resizeCoefficients();
}

void Spline2::setDegree(int degree) {
    degree_ = degree;
    updatePatchSize();
    resizeCoefficients();
}

void Spline2::reset() { coefficients_.fill(0.0); }

void Spline2::resizeCoefficients() {
    if (degree_ > bspline::kMaxDegree) {  // no basis to weigh coefficients with
        coefficients_.allocData(0, 0);
        return;
    }
    const std::int64_t d = effectiveDegree();
    const std::int64_t rows = d + nonNegative(nx_);
    const std::int64_t cols = d + nonNegative(ny_);
    if (rows > std::numeric_limits<int>::max() || cols > std::numeric_limits<int>::max())
        throw std::bad_alloc();
    coefficients_.allocData(static_cast<int>(rows), static_cast<int>(cols));
    reset();
}

std::size_t Spline2::coefficientCount() const { return coefficients_.byteSize() / sizeof(double); }

template <class F>
void Spline2::forEachEntry(const Basis& b, F f) const {
    const int d = effectiveDegree();
    const int cols = coefficients_.cols();
    for (int i = 0; i <= d; ++i)
        for (int j = 0; j <= d; ++j)
            f((b.px + i) * cols + b.py + j, b.x[i] * b.y[j]);
}

double Spline2::eval(const Vector2& p, int& px, int& py, bool* inside, Operation op) const {
    Basis b;
    double value = 0.0;
    const bool found = basis(b, p, op) && combine(value, b);
    if (found) {
        px = b.px;
        py = b.py;
    }
    if (inside)
        *inside = found;
    return value;
}

double Spline2::eval(const Vector2& p, bool* inside, Operation op) const {
    int px;
    int py;
    return eval(p, px, py, inside, op);
}

void Spline2::prepareFit(const Array1<Vector3>& points) {
    reset();
    Rect bounds;
    bounds.boundsTo(points);
    setDefinitionDomain(bounds);
}

int Spline2::accumulate(Matrix& a, Vector& rhs, const Array1<Vector3>& points, int extra) const {
    const int size = static_cast<int>(coefficientCount()) + extra;
    a.allocData(size, size);
    a.setZero();
    rhs.assign(static_cast<std::size_t>(size), 0.0);
    int counted = 0;
    for (const Vector3& point : points) {
        Basis b;
        if (!basis(b, Vector2(point.x, point.y), Value) || !inArray(b))
            continue;
        ++counted;
        forEachEntry(b, [&](int k, double vk) {
            forEachEntry(b, [&](int l, double vl) { a[k][l] += vk * vl; });
            rhs[k] += vk * point.z;
        });
    }
    return counted;
}

void Spline2::solveInto(const Matrix& inverse, const Vector& rhs) {
    const int cols = coefficients_.cols();
    const int count = static_cast<int>(coefficientCount());
    for (int r = 0; r < count; ++r) {
        double sum = 0.0;
        for (int s = 0; s < inverse.cols(); ++s)
            sum += inverse[r][s] * rhs[s];
        coefficients_[r / cols][r % cols] = sum;
    }
}

bool Spline2::fit(const Array1<Vector3>& points) {
    if (points.size() < coefficientCount())
        return false;
    prepareFit(points);
    Matrix a;
    Vector rhs;
    const int counted = accumulate(a, rhs, points, 0);
    PLOGI << counted << " number of points for spline fit.";
    if (!invertSymmetricMatrix(a))
        return false;
    solveInto(a, rhs);
    return true;
}

// Minimises the squared residuals of the points subject to S(q) = z at each invariant
// q: the normal equations bordered by one row and column of basis values per
// invariant, with a zero lower-right block.
bool Spline2::constraintFit(const Array1<Vector3>& points, const Array1<Vector3>& invariants) {
    if (points.size() < coefficientCount())
        return false;
    prepareFit(points);
    const int count = static_cast<int>(coefficientCount());
    Matrix a;
    Vector rhs;
    accumulate(a, rhs, points, static_cast<int>(invariants.size()));
    for (std::size_t k = 0; k < invariants.size(); ++k) {
        const Vector3& q = invariants[k];
        Basis b;
        if (!basis(b, Vector2(q.x, q.y), Value) || !inArray(b)) {
            PLOGW << "Invariant point not in the domain.";
            return false;
        }
        const int row = count + static_cast<int>(k);
        forEachEntry(b, [&](int index, double value) {
            a[index][row] += value;
            a[row][index] += value;
        });
        rhs[static_cast<std::size_t>(row)] = q.z;
    }
    if (!invertSymmetricMatrix(a)) {
        PLOGW << "AtA inversion failed.";
        return false;
    }
    solveInto(a, rhs);
    return true;
}

void Spline2::approximate(const Spline2& other) {
    if (&other == this)
        return;
    if (nonNegative(nx_) == nonNegative(other.nx_) && nonNegative(ny_) == nonNegative(other.ny_)) {
        *this = other;
        return;
    }
    const int d = other.effectiveDegree();
    if (d % 2 == 0 || d > bspline::kMaxDegree || nx_ < 1 || ny_ < 1) {
        PLOGW << "Spline resampling needs an odd degree up to " << bspline::kMaxDegree
              << " and at least one patch along each axis.";
        return;
    }
    resampleFrom(other);
}

// Coefficients of the spline that interpolates other at the knots of this layout: the
// prefiltered samples inside, h = d/2 rows and columns of linear extrapolation around
// them, and the corners copied from the nearest inner coefficient.
void Spline2::resampleFrom(const Spline2& other) {
    degree_ = other.effectiveDegree();
    domain_ = other.domain_;
    updatePatchSize();
    resizeCoefficients();

    Array2<double> samples(nx_ + 1, ny_ + 1);
    for (int i = 0; i <= nx_; ++i)
        for (int j = 0; j <= ny_; ++j)
            samples[i][j] = other.eval(Vector2(domain_.x0 + i * patchWidth_, domain_.y0 + j * patchHeight_));
    Array2<double> prefiltered = samples;
    InterpArray2Base::convertToInterpolationCoeffs(prefiltered, degree_);

    Array2<double>& c = coefficients_;
    const int h = degree_ / 2;
    for (int i = 0; i <= nx_; ++i)
        for (int j = 0; j <= ny_; ++j)
            c[i + h][j + h] = prefiltered[i][j];
    if (h == 0)
        return;

    const auto& s = samples;
    const int lastRow = c.rows() - 1;
    const int lastCol = c.cols() - 1;
    for (int m = 0; m < h; ++m) {
        const int f = h - m;
        for (int j = 0; j <= ny_; ++j) {
            c[m][h + j] = s[0][j] + (s[0][j] - s[1][j]) * f;
            c[lastRow - m][h + j] = s[nx_][j] + (s[nx_][j] - s[nx_ - 1][j]) * f;
        }
    }
    for (int i = 0; i <= nx_; ++i)
        for (int k = 0; k < h; ++k) {
            c[i + h][k] = s[i][0] + (s[i][0] - s[i][1]) * (h - k);
            c[i + h][lastCol - k] = s[i][ny_] + (s[i][ny_] - s[i][ny_ - 1]) * (h - k);
        }
    const double corners[2][2] = {{c[h][h], c[h][lastCol - h]}, {c[lastRow - h][h], c[lastRow - h][lastCol - h]}};
    for (int m = 0; m < h; ++m)
        for (int k = 0; k < h; ++k) {
            c[m][k] = corners[0][0];
            c[m][lastCol - k] = corners[0][1];
            c[lastRow - m][k] = corners[1][0];
            c[lastRow - m][lastCol - k] = corners[1][1];
        }
}

bool operator==(const Spline2& a, const Spline2& b) {
    const Array2<double>& ca = a.coefficients_;
    const Array2<double>& cb = b.coefficients_;
    if (a.effectiveDegree() != b.effectiveDegree() || nonNegative(a.nx_) != nonNegative(b.nx_)
        || nonNegative(a.ny_) != nonNegative(b.ny_) || !sameDomain(a.domain_, b.domain_)
        || ca.rows() != cb.rows() || ca.cols() != cb.cols())
        return false;
    return std::equal(ca.data(), ca.data() + a.coefficientCount(), cb.data());
}

} // namespace orvex
