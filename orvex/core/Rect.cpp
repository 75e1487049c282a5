#include "orvex/core/Rect.h"

#include <algorithm>

namespace orvex {

namespace {

template <typename Point>
void boundingBox(Rect& rect, const Array1<Point>& points) {
    if (points.empty()) {
        rect = Rect();
        return;
    }
    rect = Rect(points[0].x, points[0].y, points[0].x, points[0].y);
    for (const Point& p : points) {
        if (p.x < rect.x0) rect.x0 = p.x;
        if (p.y < rect.y0) rect.y0 = p.y;
        if (p.x > rect.x1) rect.x1 = p.x;
        if (p.y > rect.y1) rect.y1 = p.y;
    }
}

bool inUnitInterval(double t) { return t >= 0.0 && t <= 1.0; }

} // namespace

void Rect::boundsTo(const Array1<Vector2>& points) { boundingBox(*this, points); }

void Rect::boundsTo(const Array1<Vector3>& points) { boundingBox(*this, points); }

bool Rect::intersection(Vector2& out, Vector2 a, Vector2 b) const {
    if (!isComplete()) return false;
    const bool aInside = contains(a);
    if (aInside == contains(b)) return false;
    const Vector2 p = aInside ? a : b;  // the end inside
    const Vector2 q = aInside ? b : a;  // the end outside

    if (p.x == q.x) {
        if (p.x == x0 || p.x == x1) return false;
        out = Vector2(p.x, std::min(p.y, q.y) < y0 ? y0 : y1);
        return true;
    }
    if (p.y == q.y) {
        if (p.y == y0 || p.y == y1) return false;
        out = Vector2(std::min(p.x, q.x) < x0 ? x0 : x1, p.y);
        return true;
    }

    const Vector2 d = q - p;
    const double tx0 = (x0 - p.x) / d.x;
    const double tx1 = (x1 - p.x) / d.x;
    const double ty0 = (y0 - p.y) / d.y;
    const double ty1 = (y1 - p.y) / d.y;
    double t;
    // Only an edge the segment moves outward through can be its exit: an inside end
    // on the border meets its own edge's line at t = 0 even when moving inward.
    // Beyond a corner the segment leaves through the edge it meets first.
    if (q.x < x0 && q.y < y0)
        t = std::min(tx0, ty0);
    else if (q.x < x0 && q.y > y1)
        t = std::min(tx0, ty1);
    else if (q.x > x1 && q.y < y0)
        t = std::min(tx1, ty0);
    else if (q.x > x1 && q.y > y1)
        t = std::min(tx1, ty1);
    else if (d.x < 0.0 && inUnitInterval(tx0))
        t = tx0;
    else if (d.x > 0.0 && inUnitInterval(tx1))
        t = tx1;
    else if (d.y < 0.0 && inUnitInterval(ty0))
        t = ty0;
    else
        t = ty1;

    const Vector2 crossing = p + t * d;
    out = Vector2(std::min(std::max(crossing.x, x0), x1), std::min(std::max(crossing.y, y0), y1));
    return true;
}

Matrix2x3 isoScaleTransformation(const Rect& target, const Rect& source) {
    if (!source.isComplete()) return Matrix2x3();
    const double sourceWidth = source.width();
    const double sourceHeight = source.height();
    if (sourceWidth == 0.0 && sourceHeight == 0.0) return Matrix2x3();
    const double sx = sourceWidth != 0.0 ? target.width() / sourceWidth : 0.0;
    const double sy = sourceHeight != 0.0 ? target.height() / sourceHeight : 0.0;
    double s;
    if (sx != 0.0 && sy != 0.0)
        s = std::min(sx, sy);
    else if (sx != 0.0 || sy != 0.0)
        s = sx != 0.0 ? sx : sy;
    else
        return Matrix2x3();

    const Vector2 targetCenter = target.center();
    const Vector2 sourceCenter = source.center();
    return Matrix2x3{s, 0.0, targetCenter.x - s * sourceCenter.x,
                     0.0, s, targetCenter.y - s * sourceCenter.y};
}

} // namespace orvex
