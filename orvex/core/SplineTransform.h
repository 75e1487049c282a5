#pragma once
// A mapping of the plane to itself by two spline surfaces over one layout:
// (u, v) = (splineX(x, y), splineY(x, y)). It evaluates, inverts by Newton iteration
// inside the definition domain, and converts to and from its JSON form
//   {"brx", "bry", "nx", "ny", "tlx", "tly", "u_coeff", "v_coeff"}:
// the domain's corners, the patch counts and both coefficient arrays row after row
// (rows along x). The degree is not written; the reader builds cubic splines.

#include "orvex/core/Spline2.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace orvex {

class SplineTransform {
public:
    // Cubic, no patches, no domain: null.
    SplineTransform() : SplineTransform(3) {}
    explicit SplineTransform(int degree);
    SplineTransform(const Spline2& x, const Spline2& y);
    // Two zeroed splines of the layout, counts normalised.
    SplineTransform(int degree, const Rect& domain, int nx, int ny);

    const Spline2& splineX() const { return splineX_; }
    const Spline2& splineY() const { return splineY_; }
    Spline2& splineX() { return splineX_; }
    Spline2& splineY() { return splineY_; }

    // On both splines; the first two zero the coefficients, the domain keeps them.
    void setNPatch(int nx, int ny);
    void setDegree(int degree);
    void setDefinitionDomain(const Rect& r);
    // Deep copies; always true.
    bool setSplines(const Spline2& x, const Spline2& y);
    bool setSplineX(const Spline2& x);
    bool setSplineY(const Spline2& y);

    // (splineX(p), splineY(p)); (0, 0) with *ok false outside splineX's domain, else
    // *ok tells whether splineY holds p. One basis serves both splines when they share
    // their layout.
    Vector2 eval(const Vector2& p, bool* ok = nullptr) const;
    // The p with eval(p) = target by Newton steps from start (finite-difference
    // Jacobian, steps clipped to the domain, at most 10): *ok false and (0, 0) when a
    // point leaves the domain, the Jacobian is singular or there is no convergence.
    Vector2 invert(const Vector2& target, const Vector2& start, bool* ok = nullptr) const;
    // The same from the centre of splineX's domain, or (0, 0) when it is incomplete.
    Vector2 invert(const Vector2& target, bool* ok = nullptr) const;

    // Either spline null, or the degrees, domains or patch counts differ.
    bool isNull() const;

    // JSON null for a null transform. A degree other than 3 is written with a warning,
    // since the reader builds cubic splines and refuses it.
    nlohmann::json toJson() const;
    // Empty for anything but a complete object with patch counts valid after
    // normalisation and two arrays of (3 + nx)·(3 + ny) floating-point numbers. A count
    // or corner of a non-numeric kind (a boolean corner too) throws the JSON library's
    // type error 302.
    static std::optional<SplineTransform> fromJson(const nlohmann::json& value);

    friend bool operator==(const SplineTransform& a, const SplineTransform& b) {
        return a.splineX_ == b.splineX_ && a.splineY_ == b.splineY_;
    }

private:
    bool sameLayout() const;

    Spline2 splineX_;
    Spline2 splineY_;
};

inline bool operator!=(const SplineTransform& a, const SplineTransform& b) { return !(a == b); }

} // namespace orvex
