#include "orvex/calibration/Camera.h"

#include "orvex/core/Decompositions.h"
#include "orvex/core/Logging.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace orvex {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kUndistortTolerance = 1e-9;
constexpr int kMaxTrials = 101;

bool isFinite(const Vector2& v) { return std::isfinite(v.x) && std::isfinite(v.y); }

// The radial/tangential/prismatic model of Camera::distortR3D2P2, kept here so that the
// solvers and projections inline it.
inline Vector2 distort(const Vector2& position, const double* radial, const double* tangential,
                       const double* prismatic) {
    const double x = position.x;
    const double y = position.y;
    const double r2 = x * x + y * y;
    const double r4 = r2 * r2;
    const double radialFactor = radial[0] * r2 + radial[1] * r4 + radial[2] * r4 * r2;
    const double t0 = tangential[0] + tangential[2] * r2;
    const double t1 = tangential[1] + tangential[3] * r2;
    return {x + x * radialFactor + 2.0 * t0 * x * y + t1 * (r2 + 2.0 * x * x) + prismatic[0] * r2 + prismatic[2] * r4,
            y + y * radialFactor + 2.0 * t1 * x * y + t0 * (r2 + 2.0 * y * y) + prismatic[1] * r2 + prismatic[3] * r4};
}

// The polynomial models: every term x^(d−j)·y^j of total degree d = 2 … MaxDegree,
// by ascending degree and descending power of x, weighted by a[k] for x and by
// a[count + k] for y.
template <int MaxDegree>
Vector2 distortPolynomial(const Vector2& p, const double* a) {
    constexpr int count = (MaxDegree + 1) * (MaxDegree + 2) / 2 - 3;
    double xPower[MaxDegree + 1];
    double yPower[MaxDegree + 1];
    xPower[0] = yPower[0] = 1.0;
    for (int i = 1; i <= MaxDegree; ++i) {
        xPower[i] = xPower[i - 1] * p.x;
        yPower[i] = yPower[i - 1] * p.y;
    }
    Vector2 out = p;
    int k = 0;
    for (int degree = 2; degree <= MaxDegree; ++degree)
        for (int j = 0; j <= degree; ++j, ++k) {
            const double term = xPower[degree - j] * yPower[j];
            out.x += a[k] * term;
            out.y += a[count + k] * term;
        }
    return out;
}

// Jacobian columns c1, c2 of a forward-difference step: normal = JᵀJ, gradient = Jᵀr.
void fillNormalEquations(Matrix2x2& normal, Vector2& gradient, const Vector2& c1, const Vector2& c2,
                         const Vector2& r) {
    normal(0, 0) = dot(c1, c1);
    normal(0, 1) = normal(1, 0) = dot(c1, c2);
    normal(1, 1) = dot(c2, c2);
    gradient = {dot(c1, r), dot(c2, r)};
}

Matrix2x2 damped(Matrix2x2 normal, double lambda) {
    normal(0, 0) *= 1.0 + lambda;
    normal(1, 1) *= 1.0 + lambda;
    return normal;
}

// Offset of a point from the ray of a pixel, in a basis perpendicular to the ray.
Vector2 rayOffset(const Vector2& pixel, const Vector3& point, const Camera& camera) {
    Vector3 origin;
    Vector3 direction;
    camera.ray(pixel, origin, direction);
    const double length = std::sqrt(direction.x * direction.x + direction.z * direction.z);
    const Vector3 e1 = Vector3(-direction.z, 0.0, direction.x) * (1.0 / length);
    const Vector3 e2u = cross(e1, direction);
    const Vector3 e2 = e2u * (1.0 / norm(e2u));
    const Vector3 relative = point - origin;
    return {dot(relative, e1), dot(relative, e2)};
}

// Normal matrix and gradient of the point's offset from the pixel's ray (forward
// differences, step 1e-5); returns the squared offset.
double hessianRay(Matrix2x2& normal, Vector2& gradient, const Vector2& pixel, const Vector3& point,
                  const Camera& camera) {
    constexpr double step = 1e-5;
    const Vector2 r0 = rayOffset(pixel, point, camera);
    const Vector2 r1 = rayOffset(pixel + Vector2(step, 0.0), point, camera);
    const Vector2 r2 = rayOffset(pixel + Vector2(0.0, step), point, camera);
    fillNormalEquations(normal, gradient, (r1 - r0) * (1.0 / step), (r2 - r0) * (1.0 / step), r0);
    return dot(r0, r0);
}

// Refines the pixel whose ray passes through the point (Levenberg-Marquardt, at most
// 101 trials). True when the accepted squared offset is finite and at most 1e-8.
bool projectUW(Vector2& pixel, const Vector3& point, const Camera& camera) {
    Matrix2x2 normal;
    Vector2 gradient;
    double error = hessianRay(normal, gradient, pixel, point, camera);
    double lambda = 0.01;
    for (int trial = 0; trial < kMaxTrials; ++trial) {
        Matrix2x2 a = damped(normal, lambda);
        if (!invertSymmetricMatrix(a)) {
            PLOGW << "Could not invert matrix in project()";
            return false;
        }
        const Vector2 candidate = pixel - a * gradient;
        Matrix2x2 candidateNormal;
        Vector2 candidateGradient;
        const double candidateError = hessianRay(candidateNormal, candidateGradient, candidate, point, camera);
        if (candidateError < error) {
            pixel = candidate;
            normal = candidateNormal;
            gradient = candidateGradient;
            const bool converged = candidateError < 1e-24 || candidateError > 0.9999 * error;
            error = candidateError;
            if (converged)
                break;
            lambda /= 11.0;
        } else {
            lambda *= 7.0;
            if (lambda >= 1e10)
                break;
        }
    }
    return std::isfinite(error) && error <= 1e-8;
}

} // namespace

Camera::Camera(CameraType type) { data_.type = type; }

Camera::Camera(const CameraData& data) : data_(data) {}

Camera::Camera(double cx, double cy, double fx, double fy, double skew, const ImagingSystemSettings& settings) {
    data_.cx = cx;
    data_.cy = cy;
    data_.fx = fx;
    data_.fy = fy;
    data_.skew = skew;
    data_.aspectRatioFixed = false;
    if (settings.cameraType == CameraType::Pinhole) {
        data_.skewFixed = !settings.useSkew;
        if (data_.skewFixed)
            data_.skew = 0.0;
    }
    setRadialDistortionOrder(settings.radialOrder);
    setTangentialDistortionOrder(settings.tangentialOrder);
    setPrismaticDistortionOrder(settings.prismaticOrder);
    data_.type = settings.cameraType == CameraType::Pinhole ? CameraType::Pinhole : CameraType::VRO;
    if (settings.aspectRatio > 0.0) {
        data_.aspectRatioFixed = true;
        const double f = (data_.fy / settings.aspectRatio + data_.fx) * 0.5;
        data_.fx = f;
        data_.fy = settings.aspectRatio * f;
    }
    data_.principalPointFixed = settings.fixPrincipalPoint;
    data_.csType = settings.csType;
}

bool Camera::isNull() const {
    return std::isnan(data_.cx) || std::isnan(data_.cy) || std::isnan(data_.fx) || std::isnan(data_.fy);
}

void Camera::setRadialDistortionOrder(int order) { data_.numRadial = order >= 0 && order <= 3 ? order : 0; }

void Camera::setTangentialDistortionOrder(int order) {
    data_.numTangential = order >= 0 && order <= 2 ? 2 * order : 0;
}

void Camera::setPrismaticDistortionOrder(int order) {
    data_.numPrismatic = order >= 0 && order <= 2 ? 2 * order : 0;
}

void Camera::setRadialDistortion(double k1, double k2, double k3) {
    setRadialDistortionOrder(k3 != 0.0 ? 3 : k2 != 0.0 ? 2 : k1 != 0.0 ? 1 : 0);
    data_.radial[0] = k1;
    data_.radial[1] = k2;
    data_.radial[2] = k3;
}

bool Camera::setPhysicalParameters(int width, int height, double pixelWidth, double pixelHeight, double axisAngle,
                                   double focalLength, double offsetX, double offsetY) {
    const bool finite = std::isfinite(pixelWidth) && std::isfinite(pixelHeight) && std::isfinite(axisAngle) &&
                        std::isfinite(focalLength) && std::isfinite(offsetX) && std::isfinite(offsetY);
    if (!finite || width < 1 || height < 1 || pixelWidth <= 0.0 || pixelHeight <= 0.0 || focalLength <= 0.0)
        return false;
    const double theta = axisAngle * kPi / 180.0 + kPi / 2.0;
    const double sinTheta = std::sin(theta);
    if (sinTheta == 0.0)
        return false;
    const double cotTheta = std::cos(theta) / sinTheta;
    const double fx = focalLength / pixelWidth;
    const double fy = focalLength / (pixelHeight * sinTheta);
    const double skew = cotTheta * fx;
    const double cx = (offsetX + 0.5) * (width - 1) + cotTheta * (offsetY + 0.5) * (height - 1);
    const double cy = (offsetY + 0.5) * (height - 1) / sinTheta;
    if (!(std::isfinite(fx) && std::isfinite(fy) && std::isfinite(skew) && std::isfinite(cx) && std::isfinite(cy)))
        return false;
    data_.fx = fx;
    data_.fy = fy;
    data_.skew = skew;
    data_.cx = cx;
    data_.cy = cy;
    data_.aspectRatioFixed = false;
    return true;
}

Vector2 Camera::distortR3D2P2(const Vector2& position, const double* radial, const double* tangential,
                              const double* prismatic) {
    return distort(position, radial, tangential, prismatic);
}

Vector2 Camera::distort4thPoly(const Vector2& position, const double* coefficients) {
    return distortPolynomial<4>(position, coefficients);
}

Vector2 Camera::distort5thPoly(const Vector2& position, const double* coefficients) {
    return distortPolynomial<5>(position, coefficients);
}

double Camera::hessianAir(Matrix2x2& normal, Vector2& gradient, const Vector2& position, const Vector2& target,
                          const double* radial, const double* tangential, const double* prismatic) {
    constexpr double step = 1e-4;
    const auto residual = [&](const Vector2& p) { return distort(p, radial, tangential, prismatic) - target; };
    const Vector2 r0 = residual(position);
    const Vector2 r1 = residual(position + Vector2(step, 0.0));
    const Vector2 r2 = residual(position + Vector2(0.0, step));
    fillNormalEquations(normal, gradient, (r1 - r0) * 1e4, (r2 - r0) * 1e4, r0);
    return dot(r0, r0);
}

bool Camera::undistortR3D2P2(Vector2& position, const double* radial, const double* tangential,
                             const double* prismatic, double tolerance) {
    const Vector2 target = position;
    const double bound = tolerance * tolerance;
    Matrix2x2 normal;
    Vector2 gradient;
    double error = hessianAir(normal, gradient, position, target, radial, tangential, prismatic);
    double lambda = 0.01;
    for (int trial = 0; trial < kMaxTrials; ++trial) {
        Matrix2x2 a = damped(normal, lambda);
        if (!invertSymmetricMatrix(a))
            return false;
        const Vector2 candidate = position - a * gradient;
        Matrix2x2 candidateNormal;
        Vector2 candidateGradient;
        const double candidateError =
            hessianAir(candidateNormal, candidateGradient, candidate, target, radial, tangential, prismatic);
        if (candidateError < error) {
            position = candidate;
            normal = candidateNormal;
            gradient = candidateGradient;
            const bool converged = candidateError < bound || candidateError > 0.9999 * error;
            error = candidateError;
            if (converged)
                break;
            lambda /= 11.0;
        } else {
            lambda *= 7.0;
            if (lambda >= 1e10)
                break;
        }
    }
    return std::isfinite(error) && error <= bound;
}

Vector2 Camera::normalise(const Vector2& pixel) const {
    const double y = (pixel.y - data_.cy) / data_.fy;
    return {(pixel.x - data_.cx - data_.skew * y) / data_.fx, y};
}

void Camera::ray(const Vector2& pixel, Vector3& origin, Vector3& direction) const {
    Vector2 n = normalise(pixel);
    if (data_.type == CameraType::Pinhole) {
        origin = Vector3();
        if (hasPinholeDistortion()) {
            Vector2 undistorted = n;
            if (undistortR3D2P2(undistorted, data_.radial, data_.tangential, data_.prismatic, kUndistortTolerance))
                n = undistorted;
        }
        direction = Vector3(n.x, n.y, 1.0);
        return;
    }
    const double* first = data_.vroFirst;
    const Vector2 d = distort(n, first, first + 3, first + 7);
    direction = Vector3(d.x, d.y, 1.0);
    const double* second = data_.vroSecond;
    Vector2 s;
    switch (data_.csType) {
    case 1:
    case 4: s = distort(n, second, second + 3, second + 7); break;
    case 2:
    case 5: s = distort4thPoly(n, second); break;
    case 0:
    case 3: s = distort5thPoly(n, second); break;
    default: origin = Vector3(); return;
    }
    origin = Vector3(s.x - n.x, s.y - n.y, 0.0);
}

Vector2 Camera::project(const Vector3& point) const {
    Vector2 pixel;
    tryProject(pixel, point);
    return pixel;
}

bool Camera::tryProject(Vector2& pixel, const Vector3& point) const {
    if (point.z == 0.0) {
        pixel = Vector2();
        return false;
    }
    if (data_.type != CameraType::Pinhole)
        return projectVro(pixel, point) && isFinite(pixel);
    const double inverseZ = 1.0 / point.z;
    Vector2 n(point.x * inverseZ, point.y * inverseZ);
    if (hasPinholeDistortion())
        n = distort(n, data_.radial, data_.tangential, data_.prismatic);
    pixel = Vector2(data_.fx * n.x + data_.skew * n.y + data_.cx, data_.fy * n.y + data_.cy);
    return isFinite(pixel);
}

// Searches the pixel from scaled pinhole guesses, retreating towards the principal
// point when the first search fails and walking the shift found there back out.
bool Camera::projectVro(Vector2& pixel, const Vector3& point) const {
    const auto guess = [&](double ratio) {
        return Vector2(ratio * data_.fx * point.x / point.z + data_.cx, ratio * data_.fy * point.y / point.z + data_.cy);
    };
    const auto noSolution = [&pixel] {
        PLOGW << "!!!!!!!!!!!!!!!!!!!!!!!!!!! no solution to projection problem.";
        pixel = Vector2();
        return false;
    };
    Vector2 p = guess(1.0);
    if (projectUW(p, point, *this)) {
        pixel = p;
        return true;
    }
    PLOGW << "First projection attempt failed for point: " << point.x << " " << point.y << " " << point.z;
    double ratio = 0.0;
    bool found = false;
    for (int step = 0; step < 10 && !found; ++step) {
        ratio = 0.95 - 0.1 * step;
        p = guess(ratio);
        found = projectUW(p, point, *this);
    }
    if (!found)
        return noSolution();
    Vector2 motion = p - guess(ratio);
    PLOGI << "Success at ratio " << ratio << " motion " << norm(motion);
    for (;;) {
        p = guess(1.0) + motion;
        if (projectUW(p, point, *this)) {
            PLOGW << "Found final value";
            pixel = p;
            return true;
        }
        Vector2 q = guess(ratio);
        if (!projectUW(q, point, *this)) {
            PLOGW << "!!!!!!!!!!!!!!!!!!!!!!! Stuck at ratio " << ratio;
            pixel = Vector2();
            return false;
        }
        motion = q - guess(ratio);
        ratio += 0.1;
        if (ratio >= 1.0)
            return noSolution();
    }
}

CameraData Camera::getAssociatedConfidence(const Vector& values) const {
    CameraData out;
    out.type = data_.type;
    out.intrinsicsFixed = data_.intrinsicsFixed;
    out.skewFixed = data_.skewFixed;
    out.aspectRatioFixed = data_.aspectRatioFixed;
    out.principalPointFixed = data_.principalPointFixed;
    out.numRadial = data_.numRadial;
    out.numTangential = data_.numTangential;
    out.numPrismatic = data_.numPrismatic;
    out.vroFirstOmitted = data_.vroFirstOmitted;
    out.vroSecondOmitted = data_.vroSecondOmitted;
    out.csType = data_.csType;

    // Entries are taken in order while the vector has them; counts are held to the
    // arrays they fill.
    std::size_t next = 0;
    const auto take = [&](double& field) {
        if (next < values.size())
            field = values[next++];
    };
    const auto takeInto = [&](double* fields, int count, int capacity) {
        for (int i = 0; i < std::clamp(count, 0, capacity); ++i)
            take(fields[i]);
    };
    if (!data_.intrinsicsFixed) {
        if (data_.type == CameraType::Pinhole) {
            if (!data_.principalPointFixed) {
                take(out.cx);
                take(out.cy);
            }
            take(out.fx);
            if (data_.aspectRatioFixed)
                out.fy = out.fx * (data_.fy / data_.fx);
            else
                take(out.fy);
            if (!data_.skewFixed)
                take(out.skew);
            takeInto(out.radial, data_.numRadial, kRadialCount);
            takeInto(out.tangential, data_.numTangential, kTangentialCount);
            takeInto(out.prismatic, data_.numPrismatic, kPrismaticCount);
        } else {
            for (double* field : {&out.cx, &out.cy, &out.fx, &out.fy, &out.skew})
                take(*field);
            const int firstCount = vroFirstSetCount(data_.csType);
            if (!data_.vroFirstOmitted)
                takeInto(out.vroFirst, firstCount, kVroFirstCount);
            if (!data_.vroSecondOmitted)
                takeInto(out.vroSecond, vroSecondSetCount(data_.csType), kVroSecondCount);
        }
    }
    for (double* field : {&out.cx, &out.cy, &out.fx, &out.fy})
        if (std::isnan(*field))
            *field = 0.0;
    return out;
}

} // namespace orvex
