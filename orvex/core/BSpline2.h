#pragma once
// The layout of a uniform tensor-product B-spline over a rectangle: a degree d (0 to
// 5), nx × ny equal patches of the definition domain, and for any point its patch
// (px, py), local coordinates (u, v) in [0, 1] and the (d + 1)² basis products
//   B_i(u)·B_j(v)   weighting coefficient C[px + i][py + j],  0 ≤ i, j ≤ d,
// whose flat row-major index is (px + i)·(d + ny) + (py + j). Rows of the coefficient
// array run along x, columns along y. Negative degrees and counts count as 0.

#include "orvex/core/BSplineBasis.h"
#include "orvex/core/Rect.h"
#include "orvex/core/Vector.h"

#include <cmath>
#include <limits>

namespace orvex {

class BSpline2 {
public:
    enum Operation {
        Value = 0,        // B_i(u)·B_j(v)
        DerivativeX = 1,  // ∂/∂x: B_i′(u)/patchWidth·B_j(v)
        DerivativeY = 2,  // ∂/∂y: B_i(u)·B_j′(v)/patchHeight
    };

    // Room for the (d + 1)² entries of the highest degree.
    static constexpr int kMaxKernelSize = (bspline::kMaxDegree + 1) * (bspline::kMaxDegree + 1);

    // The separable form of a kernel: patch, and the d + 1 factors along each axis.
    struct Basis {
        int px = 0;
        int py = 0;
        double x[bspline::kMaxDegree + 1];
        double y[bspline::kMaxDegree + 1];
    };

    // Null: degree and counts −1, domain cleared, patch size (0, 0).
    BSpline2() = default;
    // The degree; counts −1, domain cleared, patch size (1, 1).
    explicit BSpline2(int degree);
    // Counts normalised (normalisePatchCounts), then the domain set.
    BSpline2(int degree, const Rect& domain, int nx, int ny);
    BSpline2(const BSpline2&) = default;
    BSpline2& operator=(const BSpline2&) = default;
    virtual ~BSpline2() = default;

    // A missing count takes the other's value: ny ≤ 0 takes nx (both 0 when that is
    // ≤ 0 too); nx ≤ 0 with ny > 0 takes ny.
    static void normalisePatchCounts(int& nx, int& ny);

    int degree() const { return degree_; }
    int nx() const { return nx_; }
    int ny() const { return ny_; }
    const Rect& domain() const { return domain_; }
    double patchWidth() const { return patchWidth_; }
    double patchHeight() const { return patchHeight_; }

    // Copies r and recomputes the patch size: (x1 − x0)/nx and (y1 − y0)/ny for a
    // complete domain and positive counts, else (1, 1).
    void setDefinitionDomain(const Rect& r);
    // Stores both counts as given and recomputes the patch size.
    virtual void setNPatch(int nx, int ny);

    // A negative degree or count, or a domain flag clear.
    bool isNull() const;
    // d = max(degree, 0).
    int effectiveDegree() const { return degree_ > 0 ? degree_ : 0; }

    // The patch and local coordinates of p by division; on the far edge the last patch
    // with u (v) = 1. False, outputs untouched, outside the domain, for an incomplete
    // domain, a zero patch size or no patches along an axis.
    bool patchInfo(int& px, int& py, double& u, double& v, const Vector2& p) const;
    // The centre of patch (px, py); false, c untouched, for a patch that does not exist.
    bool patchCenter(Vector2& c, int px, int py) const;

    // values[k] and indexes[k], k = i·(d + 1) + j: the basis products and the flat
    // coefficient indexes they weight (kMaxKernelSize entries of room). False where
    // patchInfo fails, and, after px and py are written, for a degree above 5.
    bool kernel(double* values, int& px, int& py, int* indexes, const Vector2& p, Operation op) const;
    // The same in separable form, without the products.
    bool basis(Basis& b, const Vector2& p, Operation op) const {
        double u;
        double v;
        return locate(b, u, v, p) && factors(b, u, v, op);
    }

protected:
    void updatePatchSize();

    int degree_ = -1;
    int nx_ = -1;
    int ny_ = -1;
    Rect domain_;
    double patchWidth_ = 0.0;
    double patchHeight_ = 0.0;

private:
    // Patch index and local coordinate of the position t (in patches) on an axis of n
    // patches: ⌊t⌋ and t − ⌊t⌋, the far edge t = n belonging to the last patch with 1.
    static bool patchCoordinate(double t, int n, int& patch, double& local) {
        if (n <= 0 || !(t >= 0.0))
            return false;
        const double whole = std::floor(t);
        if (whole >= n) {
            if (whole > n)
                return false;
            patch = n - 1;
            local = 1.0;
        } else {
            patch = static_cast<int>(whole);
            local = t - whole;
        }
        return true;
    }
    // Whether p can be located: complete domain holding p, non-zero patch size.
    bool canLocate(const Vector2& p) const {
        return domain_.isComplete() && domain_.contains(p) && patchWidth_ != 0.0 && patchHeight_ != 0.0;
    }
    // b.px, b.py and the local coordinates of p, with the patch size's reciprocal.
    bool locate(Basis& b, double& u, double& v, const Vector2& p) const {
        return canLocate(p) && patchCoordinate((p.x - domain_.x0) * inversePatchWidth_, nx_, b.px, u)
               && patchCoordinate((p.y - domain_.y0) * inversePatchHeight_, ny_, b.py, v);
    }
    // The factors of b at (u, v); false for a degree above 5.
    bool factors(Basis& b, double u, double v, Operation op) const {
        const int d = effectiveDegree();
        if (!bspline::segments(d, u, b.x, op == DerivativeX) || !bspline::segments(d, v, b.y, op == DerivativeY))
            return false;
        if (op == DerivativeX)
            for (int i = 0; i <= d; ++i)
                b.x[i] *= inversePatchWidth_;
        else if (op == DerivativeY)
            for (int j = 0; j <= d; ++j)
                b.y[j] *= inversePatchHeight_;
        return true;
    }

    // 1/patchWidth and 1/patchHeight, kept with them.
    double inversePatchWidth_ = std::numeric_limits<double>::infinity();
    double inversePatchHeight_ = std::numeric_limits<double>::infinity();
};

// Usable (complete with positive width and height) on both or neither, and the four
// corner coordinates equal.
bool sameDomain(const Rect& a, const Rect& b);

} // namespace orvex
