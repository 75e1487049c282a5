#include "orvex/core/BSpline2.h"

namespace orvex {

BSpline2::BSpline2(int degree) : degree_(degree) { updatePatchSize(); }

BSpline2::BSpline2(int degree, const Rect& domain, int nx, int ny) : degree_(degree) {
    normalisePatchCounts(nx, ny);
    nx_ = nx;
    ny_ = ny;
    setDefinitionDomain(domain);
}

void BSpline2::normalisePatchCounts(int& nx, int& ny) {
    if (ny <= 0) {
        ny = nx > 0 ? nx : 0;
        nx = ny;
    } else if (nx <= 0) {
        nx = ny;
    }
}

void BSpline2::setDefinitionDomain(const Rect& r) {
    domain_ = r;
    updatePatchSize();
}

void BSpline2::setNPatch(int nx, int ny) {
    nx_ = nx;
    ny_ = ny;
    updatePatchSize();
}

void BSpline2::updatePatchSize() {
    if (domain_.isComplete() && nx_ > 0 && ny_ > 0) {
        patchWidth_ = (domain_.x1 - domain_.x0) / nx_;
        patchHeight_ = (domain_.y1 - domain_.y0) / ny_;
    } else {
        patchWidth_ = patchHeight_ = 1.0;
    }
    inversePatchWidth_ = 1.0 / patchWidth_;
    inversePatchHeight_ = 1.0 / patchHeight_;
}

bool BSpline2::isNull() const { return degree_ < 0 || nx_ < 0 || ny_ < 0 || !domain_.isComplete(); }

bool BSpline2::patchInfo(int& px, int& py, double& u, double& v, const Vector2& p) const {
    if (!canLocate(p))
        return false;
    int cx;
    int cy;
    double lx;
    double ly;
    if (!patchCoordinate((p.x - domain_.x0) / patchWidth_, nx_, cx, lx)
        || !patchCoordinate((p.y - domain_.y0) / patchHeight_, ny_, cy, ly))
        return false;
    px = cx;
    py = cy;
    u = lx;
    v = ly;
    return true;
}

bool BSpline2::patchCenter(Vector2& c, int px, int py) const {
    if (px < 0 || px >= nx_ || py < 0 || py >= ny_)
        return false;
    c = Vector2((px + 0.5) * patchWidth_ + domain_.x0, (py + 0.5) * patchHeight_ + domain_.y0);
    return true;
}

bool BSpline2::kernel(double* values, int& px, int& py, int* indexes, const Vector2& p, Operation op) const {
    Basis b;
    double u;
    double v;
    if (!locate(b, u, v, p))
        return false;
    px = b.px;
    py = b.py;
    if (!factors(b, u, v, op))
        return false;
    const int d = effectiveDegree();
    const int stride = d + (ny_ > 0 ? ny_ : 0);
    for (int i = 0; i <= d; ++i)
        for (int j = 0; j <= d; ++j) {
            values[i * (d + 1) + j] = b.x[i] * b.y[j];
            indexes[i * (d + 1) + j] = (b.px + i) * stride + b.py + j;
        }
    return true;
}

bool sameDomain(const Rect& a, const Rect& b) {
    const auto usable = [](const Rect& r) { return r.isComplete() && r.width() > 0.0 && r.height() > 0.0; };
    return usable(a) == usable(b) && a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1;
}

} // namespace orvex
