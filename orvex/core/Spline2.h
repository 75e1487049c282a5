#pragma once
// A scalar tensor-product B-spline surface z = S(x, y) = Σ C[px + i][py + j]·B_i(u)·B_j(v)
// over the layout of BSpline2, with its (d + nx) × (d + ny) coefficient array: it
// evaluates, fits itself to scattered points by least squares (optionally passing
// exactly through invariant points) and resamples another spline onto its patches.

#include "orvex/core/Array1.h"
#include "orvex/core/Array2.h"
#include "orvex/core/BSpline2.h"
#include "orvex/core/Matrix.h"

namespace orvex {

class Spline2 : public BSpline2 {
public:
    // The degree, no patches, no domain, no coefficients.
    explicit Spline2(int degree);
    // Normalised counts and zero coefficients.
    Spline2(int degree, const Rect& domain, int nx, int ny);

    const Array2<double>& coefficients() const { return coefficients_; }
    // Evaluation reads only coefficients inside the array, whatever its shape.
    Array2<double>& coefficients() { return coefficients_; }

    // Stores the counts, recomputes the patch size, resizes and zeroes the coefficients.
    void setNPatch(int nx, int ny) override;
    // Stores the degree, recomputes the patch size, resizes and zeroes the coefficients.
    void setDegree(int degree);
    // Every coefficient 0.
    void reset();
    // Reallocates to (d + max(nx, 0)) × (d + max(ny, 0)) when that differs, then zeroes;
    // a degree above 5 has no basis and holds no coefficients.
    void resizeCoefficients();

    // S(p) (or ∂S/∂x, ∂S/∂y), with its patch in px, py; 0 with *inside false where the
    // kernel fails or its coefficients lie outside the array. inside may be null.
    double eval(const Vector2& p, int& px, int& py, bool* inside = nullptr, Operation op = Value) const;
    double eval(const Vector2& p, bool* inside = nullptr, Operation op = Value) const;
    // Σ b.x[i]·b.y[j]·C[b.px + i][b.py + j] for a basis of this layout; false when those
    // coefficients are not all in the array.
    bool combine(double& value, const Basis& b) const {
        if (!inArray(b))
            return false;
        switch (effectiveDegree()) {
        case 0: value = combineFixed<0>(b); break;
        case 1: value = combineFixed<1>(b); break;
        case 2: value = combineFixed<2>(b); break;
        case 3: value = combineFixed<3>(b); break;
        case 4: value = combineFixed<4>(b); break;
        case 5: value = combineFixed<5>(b); break;
        default: return false;
        }
        return true;
    }

    // Least squares over the points' (x, y, z), on the points' bounding box: false
    // (spline untouched) with fewer points than coefficients, false (coefficients 0)
    // when the normal equations are singular.
    bool fit(const Array1<Vector3>& points);
    // The same, passing exactly through the invariant points (Lagrange multipliers).
    bool constraintFit(const Array1<Vector3>& points, const Array1<Vector3>& invariants);
    // Becomes a copy of other when the patch counts agree. Otherwise keeps its counts
    // and takes other's degree and domain, with coefficients that interpolate other's
    // values on its own knot grid (odd degrees up to 5 and at least one patch per axis
    // only; a warning, spline unchanged, otherwise).
    void approximate(const Spline2& other);

    friend bool operator==(const Spline2& a, const Spline2& b);

private:
    // Zeroes the coefficients and moves the domain onto the points' bounding box.
    void prepareFit(const Array1<Vector3>& points);
    // The normal equations of the points, with room for extra multiplier rows; the
    // count of points inside the domain.
    int accumulate(Matrix& a, Vector& rhs, const Array1<Vector3>& points, int extra) const;
    // The first coefficient-count entries of inverse·rhs become the coefficients.
    void solveInto(const Matrix& inverse, const Vector& rhs);
    template <int D>
    double combineFixed(const Basis& b) const {
        double sum = 0.0;
        for (int i = 0; i <= D; ++i) {
            const double* row = coefficients_[b.px + i] + b.py;
            double alongY = 0.0;
            for (int j = 0; j <= D; ++j)
                alongY += b.y[j] * row[j];
            sum += b.x[i] * alongY;
        }
        return sum;
    }
    // The coefficients of the basis, all inside the array.
    bool inArray(const Basis& b) const {
        const int d = effectiveDegree();
        return b.px + d < coefficients_.rows() && b.py + d < coefficients_.cols();
    }
    // Calls f(flat index, product) for every entry of a basis inside the array.
    template <class F>
    void forEachEntry(const Basis& b, F f) const;
    std::size_t coefficientCount() const;
    void resampleFrom(const Spline2& other);

    Array2<double> coefficients_;
};

inline bool operator!=(const Spline2& a, const Spline2& b) { return !(a == b); }

} // namespace orvex
