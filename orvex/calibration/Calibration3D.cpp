#include "orvex/calibration/Calibration3D.h"

#include "orvex/calibration/Calibration3DPrivate.h"
#include "orvex/calibration/Homography.h"
#include "orvex/core/Decompositions.h"
#include "orvex/core/Logging.h"

#include <cmath>

namespace orvex {

namespace {

bool isFinite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

template <class Map>
std::vector<int> keysOf(const Map& map) {
    std::vector<int> keys;
    keys.reserve(map.size());
    for (const auto& entry : map)
        keys.push_back(entry.first);
    return keys;
}

// Through a mapping; a null mapping leaves the point as it is.
bool mapThrough(const SplineTransform& mapping, Vector2& out, const Vector2& in) {
    if (mapping.isNull()) {
        out = in;
        return true;
    }
    bool inside = false;
    const Vector2 mapped = mapping.eval(in, &inside);
    if (!inside)
        return false;
    out = mapped;
    return true;
}

// The homography that maps the transform's images of a 33 × 33 grid over its domain
// (less a margin of 0.001) back onto the grid; the identity with a warning when the
// fit fails.
Matrix3x3 fitHomography(const SplineTransform& transform) {
    constexpr int kSteps = 32;
    const Rect& domain = transform.splineX().domain();
    const double stepX = (domain.width() - 0.002) / kSteps;
    const double stepY = (domain.height() - 0.002) / kSteps;
    PointPairs pairs;
    pairs.reserve((kSteps + 1) * (kSteps + 1));
    for (int j = 0; j <= kSteps; ++j)
        for (int i = 0; i <= kSteps; ++i) {
            const Vector2 grid(domain.x0 + 0.001 + i * stepX, domain.y0 + 0.001 + j * stepY);
            bool inside = false;
            const Vector2 mapped = transform.eval(grid, &inside);
            if (inside)
                pairs.emplace_back(mapped, grid);
        }
    Matrix3x3 homography;
    if (!homographyEstimation(homography, pairs)) {
        PLOGW << "Homography estimation failed.";
        return Matrix3x3::identity();
    }
    return homography;
}

Matrix3x3 intrinsicMatrix(const Camera& camera) {
    const CameraData& d = camera.getRawData();
    return {d.fx, d.skew, d.cx, 0.0, d.fy, d.cy, 0.0, 0.0, 1.0};
}

} // namespace

void Calibration3D::Private::CameraTransforms::setOrientation(const RigidTransform& transform) {
    orientation = transform;
    inverseOrientation = transform.isNull() ? RigidTransform() : RigidTransform::inverse(transform);
}

Calibration3D::Calibration3D() : d_(std::make_unique<Private>()) {}

Calibration3D::Calibration3D(const Calibration3D& other) : d_(std::make_unique<Private>(*other.d_)) {
    d_->fundamentalValid = false;
}

Calibration3D& Calibration3D::operator=(const Calibration3D& other) {
    if (this != &other) {
        *d_ = *other.d_;
        d_->fundamentalValid = false;
    }
    return *this;
}

Calibration3D::~Calibration3D() = default;

void Calibration3D::setStereoTransformation(const RigidTransform& stereo, bool keep) {
    d_->fundamentalValid = false;
    const bool keepCamera0 = keep && !d_->cam0.orientation.isNull();
    if (stereo.isNull()) {
        if (!keepCamera0)
            d_->cam0.setOrientation(RigidTransform());
        d_->cam1.setOrientation(RigidTransform());
        return;
    }
    if (!keepCamera0) {
        Rotation middle = stereo.rotation();
        middle.setVector(middle.vector() * 0.5);
        middle.setMatrix(Rotation(180.0, 0.0, 0.0, Rotation::Deg).matrix() * middle.matrix());
        d_->cam0.setOrientation(RigidTransform::inverse(RigidTransform(middle, stereo.translation() * 0.5)));
    }
    d_->cam1.setOrientation(stereo * d_->cam0.orientation);
}

void Calibration3D::setCoordinateTransformation(const RigidTransform& transform) {
    if (transform.isNull())
        return;
    const RigidTransform inverse = RigidTransform::inverse(transform);
    const auto move = [&inverse](Private::CameraTransforms& camera) {
        if (!camera.orientation.isNull())
            camera.setOrientation(camera.orientation * inverse);
    };
    move(d_->cam0);
    move(d_->cam1);
    for (auto& entry : d_->externalCameras)
        move(entry.second);
}

void Calibration3D::setCamera0(const Camera& camera, const RigidTransform& orientation) {
    d_->cam0.camera = camera;
    d_->cam0.setOrientation(orientation);
    d_->fundamentalValid = false;
}

void Calibration3D::setCamera1(const Camera& camera, const RigidTransform& orientation) {
    d_->cam1.camera = camera;
    d_->cam1.setOrientation(orientation);
    d_->fundamentalValid = false;
}

void Calibration3D::setCamera(int id, const Camera& camera, const RigidTransform& orientation) {
    if (id == 0) {
        setCamera0(camera, orientation);
    } else if (id == 1) {
        setCamera1(camera, orientation);
    } else {
        Private::CameraTransforms& entry = d_->externalCameras[id];
        entry.camera = camera;
        entry.setOrientation(orientation);
    }
}

void Calibration3D::setMagnification(int id, const Vector3& magnification) { d_->magnifications[id] = magnification; }

void Calibration3D::setResidualError(int id, float error) { d_->residualErrors[id < 0 ? -1 : id] = error; }

void Calibration3D::setInverseMapping0(const SplineTransform& forward, const SplineTransform& reverse) {
    d_->forward0 = forward;
    d_->reverse0 = reverse;
    d_->fundamentalValid = false;
}

void Calibration3D::setInverseMapping1(const SplineTransform& forward, const SplineTransform& reverse) {
    d_->forward1 = forward;
    d_->reverse1 = reverse;
    d_->fundamentalValid = false;
}

void Calibration3D::clear() {
    d_->cam0 = Private::CameraTransforms();
    d_->cam1 = Private::CameraTransforms();
    d_->forward0 = d_->reverse0 = d_->forward1 = d_->reverse1 = SplineTransform();
    d_->fundamentalValid = false;
}

void Calibration3D::clearMagnifications() { d_->magnifications.clear(); }

void Calibration3D::clearResiduals() { d_->residualErrors.clear(); }

Camera Calibration3D::camera(int id) const {
    if (id == 0 || id == 1)
        return id == 0 ? camera0() : camera1();
    const auto found = d_->externalCameras.find(id);
    return found == d_->externalCameras.end() ? Camera(CameraType::Pinhole) : found->second.camera;
}

Camera Calibration3D::camera0() const { return d_->cam0.camera; }

Camera Calibration3D::camera1() const { return d_->cam1.camera; }

RigidTransform Calibration3D::orientation(int id) const {
    if (id == 0 || id == 1)
        return id == 0 ? transformation0() : transformation1();
    const auto found = d_->externalCameras.find(id);
    return found == d_->externalCameras.end() ? RigidTransform() : found->second.orientation;
}

RigidTransform Calibration3D::transformation0() const { return d_->cam0.orientation; }

RigidTransform Calibration3D::transformation1() const { return d_->cam1.orientation; }

RigidTransform Calibration3D::stereoTransformation() const {
    if (d_->cam0.orientation.isNull() || d_->cam1.orientation.isNull())
        return RigidTransform();
    return d_->cam1.orientation * d_->cam0.inverseOrientation;
}

StereoRig Calibration3D::rig() const { return StereoRig{d_->cam0.camera, d_->cam1.camera, stereoTransformation()}; }

Vector3 Calibration3D::magnification(int id) const {
    const auto found = d_->magnifications.find(id);
    return found == d_->magnifications.end() ? Vector3(-1.0, -1.0, -1.0) : found->second;
}

float Calibration3D::residualError(int id) const {
    const auto found = d_->residualErrors.find(id < 0 ? -1 : id);
    return found == d_->residualErrors.end() ? -1.0f : found->second;
}

std::vector<int> Calibration3D::externalCameraIds() const { return keysOf(d_->externalCameras); }

std::vector<int> Calibration3D::magnificationKeys() const { return keysOf(d_->magnifications); }

std::vector<int> Calibration3D::residualKeys() const { return keysOf(d_->residualErrors); }

bool Calibration3D::isComplete() const {
    return !d_->cam0.camera.isNull() && !d_->cam1.camera.isNull() && !stereoTransformation().isNull();
}

void Calibration3D::getInverseMapping0(SplineTransform& forward, SplineTransform& reverse) const {
    forward = d_->forward0;
    reverse = d_->reverse0;
}

void Calibration3D::getInverseMapping1(SplineTransform& forward, SplineTransform& reverse) const {
    forward = d_->forward1;
    reverse = d_->reverse1;
}

bool Calibration3D::inverseMappingCalibrated() const { return !d_->forward0.isNull() && !d_->forward1.isNull(); }

bool Calibration3D::realToVirtual0(Vector2& out, const Vector2& in) const { return mapThrough(d_->forward0, out, in); }

bool Calibration3D::realToVirtual1(Vector2& out, const Vector2& in) const { return mapThrough(d_->forward1, out, in); }

bool Calibration3D::virtualToReal0(Vector2& out, const Vector2& in) const { return mapThrough(d_->reverse0, out, in); }

bool Calibration3D::virtualToReal1(Vector2& out, const Vector2& in) const { return mapThrough(d_->reverse1, out, in); }

bool Calibration3D::reproject(Vector2& out0, Vector2& out1, const Vector3& world) const {
    const StereoRig stereo = rig();
    const Vector3 point0 = d_->cam0.orientation * world;
    Vector2 virtual0;
    if (!stereo.camera0.tryProject(virtual0, point0) || !virtualToReal0(out0, virtual0))
        return false;
    Vector2 virtual1;
    return stereo.camera1.tryProject(virtual1, stereo.stereoTransformation * point0) && virtualToReal1(out1, virtual1);
}

bool Calibration3D::triangulate(Vector3& world, const Vector2& image0, const Vector2& image1, double* error0,
                                double* error1) const {
    Vector2 virtual0;
    Vector2 virtual1;
    if (!realToVirtual0(virtual0, image0) || !realToVirtual1(virtual1, image1))
        return false;
    const StereoRig stereo = rig();
    Vector3 point;
    if (!stereo.triangulNonLinearLS(point, virtual0, virtual1))
        return false;
    const Vector3 result = d_->cam0.inverseOrientation * point;
    if (!isFinite(result))
        return false;
    if (error0 && error1) {
        // The squared distance of a reprojected pixel from the given one; 0 where the
        // projection or its mapping back fails.
        const auto squaredError = [](bool projected, const Vector2& real, const Vector2& given) {
            const Vector2 r = real - given;
            return projected ? dot(r, r) : 0.0;
        };
        Vector2 projected;
        Vector2 real;
        const bool ok0 = stereo.camera0.tryProject(projected, point) && virtualToReal0(real, projected);
        *error0 = squaredError(ok0, real, image0);
        const bool ok1 = stereo.camera1.tryProject(projected, stereo.stereoTransformation * point) &&
                         virtualToReal1(real, projected);
        *error1 = squaredError(ok1, real, image1);
    }
    world = result;
    return true;
}

bool Calibration3D::computeConfidence(Vector3& out, const Vector2& image0, const Vector2& image1,
                                      const Matrix4x4& covariance) {
    constexpr double step = 0.001;
    const Vector2 dx(step, 0.0);
    const Vector2 dy(0.0, step);
    Vector3 points[5];
    if (!triangulate(points[0], image0, image1) || !triangulate(points[1], image0 + dx, image1) ||
        !triangulate(points[2], image0 + dy, image1) || !triangulate(points[3], image0, image1 + dx) ||
        !triangulate(points[4], image0, image1 + dy))
        return false;
    Matrix4x3 jacobian;
    for (int k = 0; k < 4; ++k) {
        const Vector3 row = points[k + 1] * 1000.0 - points[0] * 1000.0;
        for (int c = 0; c < 3; ++c)
            jacobian(k, c) = row[c];
    }
    Vector3 deviation;
    for (int c = 0; c < 3; ++c) {
        double variance = 0.0;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                variance += jacobian(i, c) * covariance(i, j) * jacobian(j, c);
        deviation[c] = std::sqrt(variance);
    }
    if (!isFinite(deviation))
        return false;
    out = deviation;
    return true;
}

Matrix3x3 Calibration3D::fundamentalMatrix() const {
    if (d_->fundamentalValid)
        return d_->fundamental;
    const StereoRig stereo = rig();
    if (stereo.isNull())
        return Matrix3x3();
    const Matrix3x3 h0 = d_->forward0.isNull() ? Matrix3x3::identity() : fitHomography(d_->forward0);
    const Matrix3x3 h1 = d_->forward1.isNull() ? Matrix3x3::identity() : fitHomography(d_->forward1);
    Matrix3x3 inverse0;
    Matrix3x3 inverse1;
    if (!invertMatrix(inverse0, h0 * intrinsicMatrix(stereo.camera0)) ||
        !invertMatrix(inverse1, h1 * intrinsicMatrix(stereo.camera1))) {
        PLOGW << "Fundamental matrix not computed: a camera matrix is singular.";
        return Matrix3x3();
    }
    d_->fundamental = inverse1.transpose() * stereo.essentialMatrix() * inverse0;
    d_->fundamentalValid = true;
    return d_->fundamental;
}

} // namespace orvex
