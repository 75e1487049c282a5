#include "orvex/calibration/StereoRig.h"

#include "orvex/core/Decompositions.h"
#include "orvex/core/Logging.h"
#include "orvex/core/Matrix.h"

#include <cmath>

namespace orvex {

namespace {

constexpr int kMaxPolishTrials = 200;

bool isFinite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

Matrix3x3 intrinsicMatrix(const Camera& camera) {
    const CameraData& d = camera.getRawData();
    return {d.fx, d.skew, d.cx, 0.0, d.fy, d.cy, 0.0, 0.0, 1.0};
}

// I − d·dᵀ for a unit direction d: the projection onto the plane normal to d.
Matrix3x3 perpendicularProjector(const Vector3& d) {
    return {d.y * d.y + d.z * d.z, -d.x * d.y,           -d.x * d.z,
            -d.x * d.y,            d.x * d.x + d.z * d.z, -d.y * d.z,
            -d.x * d.z,            -d.y * d.z,            d.x * d.x + d.y * d.y};
}

// The rays of both pixels in camera 0's frame.
struct RayPair {
    Vector3 origin0, direction0, origin1, direction1;
};

RayPair raysInFrame0(const StereoRig& rig, const Vector2& pixel0, const Vector2& pixel1) {
    RayPair rays;
    Vector3 origin1;
    Vector3 direction1;
    rig.camera0.ray(pixel0, rays.origin0, rays.direction0);
    rig.camera1.ray(pixel1, origin1, direction1);
    // T⁻¹: p0 = Rᵀ·(p1 − t)
    const Matrix3x3 inverseRotation = rig.stereoTransformation.rotation().matrix().transpose();
    rays.direction1 = inverseRotation * direction1;
    rays.origin1 = inverseRotation * (origin1 - rig.stereoTransformation.translation());
    return rays;
}

// Forward-difference Jacobian (step 0.001) and residual of one camera's projection:
// adds JᵀJ to normal and Jᵀr to gradient, returns |r|²; false when a projection fails.
// `toCamera` maps a camera-0 point into the camera's frame.
template <class ToCamera>
bool addReprojection(Matrix3x3& normal, Vector3& gradient, double& error, const Camera& camera,
                     const Vector3& point, const Vector2& pixel, ToCamera toCamera) {
    constexpr double step = 0.001;
    Vector2 projected;
    if (!camera.tryProject(projected, toCamera(point)))
        return false;
    Vector2 column[3];
    for (int k = 0; k < 3; ++k) {
        Vector3 moved = point;
        moved[k] += step;
        Vector2 shifted;
        if (!camera.tryProject(shifted, toCamera(moved)))
            return false;
        column[k] = (shifted - projected) * 1000.0;
    }
    const Vector2 residual = pixel - projected;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            normal(i, j) += dot(column[i], column[j]);
        gradient[i] += dot(column[i], residual);
    }
    error += dot(residual, residual);
    return true;
}

// Normal matrix, gradient and summed squared residual of both reprojections; false
// when a projection fails.
bool hessianReprojection(Matrix3x3& normal, Vector3& gradient, double& error, const StereoRig& rig,
                         const Matrix3x3& rotation, const Vector3& point, const Vector2& pixel0,
                         const Vector2& pixel1) {
    normal = Matrix3x3();
    gradient = Vector3();
    error = 0.0;
    const Vector3& translation = rig.stereoTransformation.translation();
    return addReprojection(normal, gradient, error, rig.camera0, point, pixel0, [](const Vector3& p) { return p; }) &&
           addReprojection(normal, gradient, error, rig.camera1, point, pixel1,
                           [&](const Vector3& p) { return rotation * p + translation; });
}

Vector3 foldAngles(Vector3 angles) {
    for (int i = 0; i < 3; ++i) {
        if (angles[i] < -90.0)
            angles[i] += 180.0;
        else if (angles[i] > 90.0)
            angles[i] -= 180.0;
    }
    return angles;
}

} // namespace

bool StereoRig::isNull() const { return camera0.isNull() || camera1.isNull() || stereoTransformation.isNull(); }

Matrix3x3 StereoRig::essentialMatrix() const {
    const Vector3& t = stereoTransformation.translation();
    const Matrix3x3 cross{0.0, -t.z, t.y, t.z, 0.0, -t.x, -t.y, t.x, 0.0};
    return cross * stereoTransformation.rotation().matrix();
}

Matrix3x3 StereoRig::fundamentalMatrix() const {
    Matrix3x3 inverse0;
    Matrix3x3 inverse1;
    invertMatrix(inverse0, intrinsicMatrix(camera0));  // the identity when singular
    invertMatrix(inverse1, intrinsicMatrix(camera1));
    return inverse1.transpose() * essentialMatrix() * inverse0;
}

Vector3 StereoRig::targetAngles(const RigidTransform& target) const {
    const Vector3 angles = stereoTransformation.rotation().cardanBryant(Rotation::Rad);
    const Rotation half(angles * 0.5, Rotation::Rad);
    return foldAngles((half * target.rotation()).cardanBryant(Rotation::Deg));
}

std::pair<RigidTransform, RigidTransform> StereoRig::orientations() const {
    if (stereoTransformation.isNull())
        return {};
    Rotation half = stereoTransformation.rotation();
    half.setVector(half.vector() * 0.5);
    const Rotation middle = Rotation(180.0, 0.0, 0.0, Rotation::Deg) * half;
    const RigidTransform inverseMiddle =
        RigidTransform::inverse(RigidTransform(middle, stereoTransformation.translation() * 0.5));
    return {inverseMiddle, stereoTransformation * inverseMiddle};
}

Vector3 StereoRig::triangulLinearLS(const Vector2& pixel0, const Vector2& pixel1) const {
    Vector3 point;
    triangulLinearLS(point, pixel0, pixel1);
    return point;
}

bool StereoRig::triangulLinearLS(Vector3& point, const Vector2& pixel0, const Vector2& pixel1) const {
    const RayPair rays = raysInFrame0(*this, pixel0, pixel1);
    const Matrix3x3 p0 = perpendicularProjector(rays.direction0 * (1.0 / norm(rays.direction0)));
    const Matrix3x3 p1 = perpendicularProjector(rays.direction1 * (1.0 / norm(rays.direction1)));
    Matrix3x3 a = p0 + p1;
    if (!invertSymmetricMatrix(a)) {
        PLOGW << "Triangulation failed! Returning a null 3-D point...";
        point = Vector3();
        return false;
    }
    point = a * (p0 * rays.origin0 + p1 * rays.origin1);
    return true;
}

Vector3 StereoRig::triangulMidPoint(const Vector2& pixel0, const Vector2& pixel1) const {
    const RayPair rays = raysInFrame0(*this, pixel0, pixel1);
    const Vector3& d0 = rays.direction0;
    const Vector3& d1 = rays.direction1;
    const Vector3 normal = cross(d0, d1);
    const Matrix3x3 columns{d0.x, -d1.x, normal.x, d0.y, -d1.y, normal.y, d0.z, -d1.z, normal.z};
    Matrix3x3 inverse;
    if (!invertMatrix(inverse, columns)) {
        PLOGW << "Couldn't invert matrix in triangulate.";
        return {};
    }
    const Vector3 parameters = inverse * (rays.origin1 - rays.origin0);
    return ((rays.origin0 + d0 * parameters.x) + (rays.origin1 + d1 * parameters.y)) * 0.5;
}

Vector3 StereoRig::triangulLinearEigen(const Vector2& pixel0, const Vector2& pixel1) const {
    Vector3 o0, d0, o1, d1;
    camera0.ray(pixel0, o0, d0);
    camera1.ray(pixel1, o1, d1);
    const Matrix3x3& r = stereoTransformation.rotation().matrix();
    const Vector3 k = r * o0 + stereoTransformation.translation() - o1;
    Matrix system(4, 4);
    system.setZero();
    system(0, 0) = -1.0;
    system(0, 2) = d0.x;
    system(1, 1) = -1.0;
    system(1, 2) = d0.y;
    for (int row = 0; row < 2; ++row) {
        const double d = row == 0 ? d1.x : d1.y;
        for (int c = 0; c < 3; ++c)
            system(2 + row, c) = d * r(2, c) - r(row, c);
        system(2 + row, 3) = d * k.z - k[row];
    }
    Vector v;
    if (!nullSpace(v, system)) {
        PLOGW << "Triangulation failed! Returning a null 3-D point...";
        return {};
    }
    // v has unit length: a homogeneous coordinate at rounding level is a point at infinity.
    if (!(std::abs(v[3]) > 1e-12)) {
        PLOGW << "Triangulated point at infinity!";
        return {};
    }
    return o0 + Vector3(v[0], v[1], v[2]) * (1.0 / v[3]);
}

Vector3 StereoRig::triangulNonLinearLS(const Vector2& pixel0, const Vector2& pixel1) const {
    Vector3 point;
    triangulNonLinearLS(point, pixel0, pixel1);
    return point;
}

bool StereoRig::triangulNonLinearLS(Vector3& point, const Vector2& pixel0, const Vector2& pixel1) const {
    const bool linear = triangulLinearLS(point, pixel0, pixel1);
    polishPoint(point, pixel0, pixel1);
    return linear && isFinite(point);
}

bool StereoRig::polishPoint(Vector3& point, const Vector2& pixel0, const Vector2& pixel1) const {
    const Matrix3x3& rotation = stereoTransformation.rotation().matrix();
    Matrix3x3 normal;
    Vector3 gradient;
    double error = 0.0;
    if (!hessianReprojection(normal, gradient, error, *this, rotation, point, pixel0, pixel1) || !std::isfinite(error))
        return false;
    double lambda = 0.001;
    for (int trial = 0; trial < kMaxPolishTrials; ++trial) {
        Matrix3x3 a = normal;
        for (int i = 0; i < 3; ++i)
            a(i, i) *= 1.0 + lambda;
        if (!invertSymmetricMatrix(a)) {
            PLOGW << "Could not invert matrix in polishPoint()";
            return false;
        }
        const Vector3 candidate = point + a * gradient;
        Matrix3x3 candidateNormal;
        Vector3 candidateGradient;
        double candidateError = 0.0;
        if (hessianReprojection(candidateNormal, candidateGradient, candidateError, *this, rotation, candidate, pixel0,
                                pixel1) &&
            candidateError < error) {
            point = candidate;
            normal = candidateNormal;
            gradient = candidateGradient;
            lambda /= 7.0;
            if (candidateError > 0.999999 * error)
                return true;
            error = candidateError;
        } else {
            lambda *= 11.0;
            if (lambda >= 1e8)
                return true;
        }
    }
    return false;
}

} // namespace orvex
