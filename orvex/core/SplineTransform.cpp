#include "orvex/core/SplineTransform.h"

#include "orvex/core/JsonNumber.h"
#include "orvex/core/Logging.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace orvex {

namespace {

using nlohmann::json;

constexpr int kJsonDegree = 3;
constexpr int kMaxNewtonSteps = 10;
// Finite-difference step of the Jacobian and the step length that ends the iteration.
constexpr double kProbe = 0.001;
constexpr double kConvergence = 0.001;

json coefficientArray(const Spline2& spline) {
    const Array2<double>& c = spline.coefficients();
    const double* first = c.data();
    return json(std::vector<double>(first, first + c.byteSize() / sizeof(double)));
}

// A patch count: any number (a floating-point one truncated) or a boolean; empty for
// a number beyond the int range; the JSON library's type error for another kind.
std::optional<int> readCount(const json& value) {
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (value.is_number())
        return jsonNumberToInt(value);
    return value.get<int>();  // throws type error 302
}

bool isCoefficientArray(json::const_iterator member, const json& object, std::int64_t count) {
    return member != object.end() && member->is_array() && static_cast<std::int64_t>(member->size()) == count
           && std::all_of(member->begin(), member->end(), [](const json& v) { return v.is_number_float(); });
}

void readCoefficients(Spline2& spline, const json& values) {
    double* c = spline.coefficients().data();
    for (const json& v : values)
        *c++ = v.get<double>();
}

} // namespace

SplineTransform::SplineTransform(int degree) : splineX_(degree), splineY_(degree) {}

SplineTransform::SplineTransform(const Spline2& x, const Spline2& y) : splineX_(x), splineY_(y) {}

SplineTransform::SplineTransform(int degree, const Rect& domain, int nx, int ny)
    : splineX_(degree, domain, nx, ny), splineY_(degree, domain, nx, ny) {}

void SplineTransform::setNPatch(int nx, int ny) {
    splineX_.setNPatch(nx, ny);
    splineY_.setNPatch(nx, ny);
}

void SplineTransform::setDegree(int degree) {
    splineX_.setDegree(degree);
    splineY_.setDegree(degree);
}

void SplineTransform::setDefinitionDomain(const Rect& r) {
    const Rect domain = r;  // r may be one of the splines' own domain
    splineX_.setDefinitionDomain(domain);
    splineY_.setDefinitionDomain(domain);
}

bool SplineTransform::setSplines(const Spline2& x, const Spline2& y) {
    splineX_ = x;
    splineY_ = y;
    return true;
}

bool SplineTransform::setSplineX(const Spline2& x) {
    splineX_ = x;
    return true;
}

bool SplineTransform::setSplineY(const Spline2& y) {
    splineY_ = y;
    return true;
}

bool SplineTransform::sameLayout() const {
    const Rect& a = splineX_.domain();
    const Rect& b = splineY_.domain();
    return splineX_.degree() == splineY_.degree() && splineX_.nx() == splineY_.nx()
           && splineX_.ny() == splineY_.ny() && a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1
           && a.isComplete() == b.isComplete();
}

Vector2 SplineTransform::eval(const Vector2& p, bool* ok) const {
    BSpline2::Basis basis;
    double u = 0.0;
    if (!splineX_.basis(basis, p, BSpline2::Value) || !splineX_.combine(u, basis)) {
        if (ok)
            *ok = false;
        return Vector2();
    }
    double v = 0.0;
    bool inside;
    if (sameLayout())
        inside = splineY_.combine(v, basis);
    else
        v = splineY_.eval(p, &inside);
    if (ok)
        *ok = inside;
    return Vector2(u, v);
}

// Newton's method on eval(p) − target with a forward-difference Jacobian (backward
// where the probe would reach the far edge). A step that leaves the domain is cut at
// the border on the line from the domain's centre.
Vector2 SplineTransform::invert(const Vector2& target, const Vector2& start, bool* ok) const {
    if (ok)
        *ok = false;
    const Rect domain = splineX_.domain();
    Vector2 p = start;
    Vector2 f = eval(p);
    Vector2 r = f - target;
    for (int step = 0; step < kMaxNewtonSteps; ++step) {
        const double hx = p.x + kProbe < domain.x1 ? kProbe : -kProbe;
        const double hy = p.y + kProbe < domain.y1 ? kProbe : -kProbe;
        bool insideX;
        bool insideY;
        const Vector2 fx = eval(Vector2(p.x + hx, p.y), &insideX);
        const Vector2 fy = eval(Vector2(p.x, p.y + hy), &insideY);
        if (!insideX || !insideY)
            return Vector2();
        const double dudx = (fx.x - f.x) / hx;
        const double dvdx = (fx.y - f.y) / hx;
        const double dudy = (fy.x - f.x) / hy;
        const double dvdy = (fy.y - f.y) / hy;
        const double det = dudx * dvdy - dudy * dvdx;
        if (det == 0.0 || !std::isfinite(det))
            return Vector2();
        const Vector2 delta((dvdy * r.x - dudy * r.y) / det, (dudx * r.y - dvdx * r.x) / det);
        const Vector2 candidate = p - delta;
        if (domain.contains(candidate))
            p = candidate;
        else
            domain.intersection(p, domain.center(), candidate);
        bool inside;
        f = eval(p, &inside);
        if (!inside)
            return Vector2();
        r = f - target;
        if (std::sqrt(delta.x * delta.x + delta.y * delta.y) < kConvergence) {
            if (ok)
                *ok = true;
            return p;
        }
    }
    return Vector2();
}

Vector2 SplineTransform::invert(const Vector2& target, bool* ok) const {
    return invert(target, splineX_.domain().center(), ok);
}

bool SplineTransform::isNull() const {
    return splineX_.isNull() || splineY_.isNull() || splineX_.effectiveDegree() != splineY_.effectiveDegree()
           || !sameDomain(splineX_.domain(), splineY_.domain())
           || std::max(splineX_.nx(), 0) != std::max(splineY_.nx(), 0)
           || std::max(splineX_.ny(), 0) != std::max(splineY_.ny(), 0);
}

json SplineTransform::toJson() const {
    if (isNull())
        return nullptr;
    if (splineX_.effectiveDegree() != kJsonDegree) {
        PLOGW << "Spline transform of degree " << splineX_.effectiveDegree()
              << " written to JSON; it is read back as cubic and refused.";
    }
    const Rect& domain = splineX_.domain();
    json out = json::object();
    out["nx"] = std::max(splineX_.nx(), 0);
    out["ny"] = std::max(splineX_.ny(), 0);
    out["tlx"] = domain.x0;
    out["tly"] = domain.y0;
    out["brx"] = domain.x1;
    out["bry"] = domain.y1;
    out["u_coeff"] = coefficientArray(splineX_);
    out["v_coeff"] = coefficientArray(splineY_);
    return out;
}

std::optional<SplineTransform> SplineTransform::fromJson(const json& value) {
    if (!value.is_object() || value.empty())
        return std::nullopt;
    for (const char* key : {"nx", "ny", "tlx", "tly", "brx", "bry"})
        if (!value.contains(key))
            return std::nullopt;
    const std::optional<int> nx = readCount(value.at("nx"));
    const std::optional<int> ny = readCount(value.at("ny"));
    const Rect domain(value.at("tlx").get<double>(), value.at("tly").get<double>(), value.at("brx").get<double>(),
                      value.at("bry").get<double>());
    if (!nx || !ny)
        return std::nullopt;
    if (!std::isfinite(domain.x0) || !std::isfinite(domain.y0) || !std::isfinite(domain.x1)
        || !std::isfinite(domain.y1))
        return std::nullopt;

    // The arrays are checked against the normalised counts before anything is allocated.
    int countX = *nx;
    int countY = *ny;
    BSpline2::normalisePatchCounts(countX, countY);
    if (countX < 1 || countY < 1)
        return std::nullopt;
    const std::int64_t count = (std::int64_t{kJsonDegree} + countX) * (std::int64_t{kJsonDegree} + countY);
    const auto u = value.find("u_coeff");
    const auto v = value.find("v_coeff");
    if (!isCoefficientArray(u, value, count) || !isCoefficientArray(v, value, count))
        return std::nullopt;

    SplineTransform transform(kJsonDegree, domain, countX, countY);
    readCoefficients(transform.splineX_, *u);
    readCoefficients(transform.splineY_, *v);
    return transform;
}

} // namespace orvex
