#pragma once
// An axis-aligned rectangle: top-left corner (x0, y0) with the smallest coordinates,
// bottom-right corner (x1, y1) with the largest, and a flag per coordinate telling
// that it has been set. A rectangle is complete when all four flags are set; an
// incomplete one has width, height and centre 0.

#include "orvex/core/Array1.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Vector.h"

namespace orvex {

struct Rect {
    double x0 = 0.0;
    double y0 = 0.0;
    double x1 = 0.0;
    double y1 = 0.0;
    bool x0Set = false;
    bool y0Set = false;
    bool x1Set = false;
    bool y1Set = false;

    Rect() = default;
    // A complete rectangle [x0, x1] × [y0, y1].
    Rect(double x0_, double y0_, double x1_, double y1_)
        : x0(x0_), y0(y0_), x1(x1_), y1(y1_), x0Set(true), y0Set(true), x1Set(true), y1Set(true) {}

    bool isComplete() const { return x0Set && y0Set && x1Set && y1Set; }
    double width() const { return isComplete() ? x1 - x0 : 0.0; }
    double height() const { return isComplete() ? y1 - y0 : 0.0; }
    Vector2 center() const {
        return isComplete() ? Vector2((x0 + x1) * 0.5, (y0 + y1) * 0.5) : Vector2();
    }
    // x0 ≤ x ≤ x1 and y0 ≤ y ≤ y1: the border counts as inside.
    bool contains(const Vector2& p) const { return x0 <= p.x && p.x <= x1 && y0 <= p.y && p.y <= y1; }

    // The bounding box of the points' x and y; an empty array clears the rectangle
    // (coordinates 0, flags cleared).
    void boundsTo(const Array1<Vector2>& points);
    void boundsTo(const Array1<Vector3>& points);

    // When exactly one of a and b is inside a complete rectangle: true with out = the
    // point where the segment a–b leaves it. Otherwise false, out untouched.
    bool intersection(Vector2& out, Vector2 a, Vector2 b) const;
};

// The isotropic scaling and translation (rows (s, 0, tx), (0, s, ty)) that fits the
// source rectangle into the target, centre on centre: p ↦ s·p + (tx, ty), with s the
// smaller of the width and height ratios (the one defined when the other is not).
// Zero when the source is incomplete or no ratio is defined.
Matrix2x3 isoScaleTransformation(const Rect& target, const Rect& source);

} // namespace orvex
