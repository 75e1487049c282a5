#include "orvex/core/Rotation.h"

#include "orvex/core/Decompositions.h"

#include <algorithm>
#include <cmath>

namespace orvex {

namespace {

constexpr double Pi = 3.141592653589793;
constexpr double Tolerance = 1e-12;

double radiansToUnit(double radians, Rotation::AngleType type) {
    return type == Rotation::Deg ? radians * 180.0 / Pi : radians;
}

double unitToRadians(double value, Rotation::AngleType type) {
    return type == Rotation::Deg ? value * Pi / 180.0 : value;
}

// Element (r, s) of the cross-product matrix [a]x, so that [a]x b = a × b.
double crossMatrixElement(const Vector3& a, int r, int s) {
    if (r == s)
        return 0.0;
    const int k = 3 - r - s;  // the index that is neither r nor s
    const double sign = (s == (r + 1) % 3) ? -1.0 : 1.0;
    return sign * a[k];
}

double determinant(const Matrix3x3& m) {
    return det3x3(m(0, 0), m(1, 0), m(2, 0), m(0, 1), m(1, 1), m(2, 1), m(0, 2), m(1, 2), m(2, 2));
}

} // namespace

Rotation::Rotation() = default;

Rotation::Rotation(double alpha, double beta, double gamma, AngleType type) {
    setCardanBryant(Vector3(alpha, beta, gamma), type);
}

Rotation::Rotation(const Vector3& angles, AngleType type) { setCardanBryant(angles, type); }

Rotation::Rotation(const Matrix3x3& m) { setMatrix(m); }

Rotation::Rotation(const Rotation& other) : Model(other) { copyFrom(other); }

Rotation& Rotation::operator=(const Rotation& other) {
    if (this != &other)
        copyFrom(other);
    return *this;
}

void Rotation::copyFrom(const Rotation& other) {
    primary_ = other.primary_;
    std::copy(other.parameterTypes_, other.parameterTypes_ + 3, parameterTypes_);
    matrixValid_ = other.matrixValid_;
    matrix_ = other.matrix_;
    anglesValid_ = other.anglesValid_;
    angles_ = other.angles_;
    vectorValid_ = other.vectorValid_;
    vector_ = other.vector_;
    quaternionValid_ = other.quaternionValid_;
    quaternion_ = other.quaternion_;
    derivativeValid_ = false;  // storage kept for reuse
}

// Makes `primary` the primary form, whose member the caller has just written: its
// cache is the only valid one.
void Rotation::setPrimary(Representation primary) {
    primary_ = primary;
    matrixValid_ = primary == MatrixRepresentation;
    anglesValid_ = primary == CardanBryantRepresentation;
    vectorValid_ = primary == VectorRepresentation;
    quaternionValid_ = primary == QuaternionRepresentation;
    derivativeValid_ = false;
}

// --- conversions -----------------------------------------------------------------

void Rotation::cardanBryantToMatrix(Matrix3x3& m, const Vector3& angles) {
    const double ca = std::cos(angles.x), sa = std::sin(angles.x);
    const double cb = std::cos(angles.y), sb = std::sin(angles.y);
    const double cg = std::cos(angles.z), sg = std::sin(angles.z);
    m(0, 0) = cb * cg;
    m(0, 1) = cg * sb * sa - ca * sg;
    m(0, 2) = cg * ca * sb + sa * sg;
    m(1, 0) = cb * sg;
    m(1, 1) = sa * sb * sg + ca * cg;
    m(1, 2) = sg * ca * sb - cg * sa;
    m(2, 0) = -sb;
    m(2, 1) = sa * cb;
    m(2, 2) = ca * cb;
}

// beta = atan2(-m20, h) with h = |(m00, m10)| = cos beta. In gimbal lock (h ~ 0)
// gamma is 0 and alpha is read from row 0, whose sign depends on sin beta = -m20.
void Rotation::matrixToCardanBryant(Vector3& angles, const Matrix3x3& m) {
    const double h = std::sqrt(m(0, 0) * m(0, 0) + m(1, 0) * m(1, 0));
    angles.y = std::atan2(-m(2, 0), h);
    if (h > Tolerance) {
        angles.z = std::atan2(m(1, 0), m(0, 0));
        angles.x = std::atan2(m(2, 1), m(2, 2));
    } else {
        angles.z = 0.0;
        angles.x = m(2, 0) < 0.0 ? std::atan2(m(0, 1), m(0, 2)) : std::atan2(-m(0, 1), -m(0, 2));
    }
}

// Rodrigues: M = cos(theta) I + (1 - cos(theta)) / theta^2 v v^T + sin(theta) / theta [v]x.
void Rotation::vectorToMatrix(Matrix3x3& m, const Vector3& v) {
    const double squaredNorm = dot(v, v);
    if (squaredNorm <= Tolerance) {
        m = Matrix3x3::identity();
        return;
    }
    const double theta = std::sqrt(squaredNorm);
    const double co = std::cos(theta);
    const double f = (1.0 - co) / (theta * theta);
    const double e = std::sin(theta) / theta;
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s)
            m(r, s) = (r == s ? co : 0.0) + f * v[r] * v[s] + e * crossMatrixElement(v, r, s);
}

// theta = atan2(|a|, d) with a = (m21 - m12, m02 - m20, m10 - m01) = 2 sin(theta) n
// and d = trace - 1 = 2 cos(theta); below about 5e-7 rad the vector is zero. Up to a
// quarter turn the axis is a / |a|. Beyond it |a| shrinks towards the half turn, so the
// axis comes from the symmetric part (M + M^T) / 2 - cos(theta) I = (1 - cos(theta)) n n^T,
// read along the row of its largest diagonal entry, with the sign of a. At a half turn
// itself (|a| at rounding level) both signs give the same rotation: the first component
// of magnitude above the tolerance is made negative for x, positive for y or z.
void Rotation::matrixToVector(Vector3& v, const Matrix3x3& m) {
    const double d = std::clamp(m(0, 0) + m(1, 1) + m(2, 2) - 1.0, -2.0, 2.0);
    if (d > 0.0 && std::abs(d * d - 4.0) <= Tolerance) {
        v = Vector3();
        return;
    }
    const Vector3 a(m(2, 1) - m(1, 2), m(0, 2) - m(2, 0), m(1, 0) - m(0, 1));
    const double s = norm(a);
    const double theta = std::atan2(s, d);
    if (d >= 0.0) {
        v = s > 0.0 ? a * (theta / s) : Vector3();  // s = 0 only for a symmetric non-rotation
        return;
    }
    const double c = d / 2.0;
    int i = 0;
    for (int k = 1; k < 3; ++k)
        if (m(k, k) > m(i, i)) i = k;
    const double scale = std::sqrt(std::max(0.0, (m(i, i) - c) * (1.0 - c)));
    if (!(scale > 0.0)) {  // not a rotation, e.g. -I
        v = Vector3();
        return;
    }
    Vector3 axis;
    for (int k = 0; k < 3; ++k)
        axis[k] = k == i ? m(i, i) - c : (m(i, k) + m(k, i)) / 2.0;
    axis = axis * (1.0 / scale);
    bool negate = false;
    if (s > Tolerance)
        negate = dot(axis, a) < 0.0;
    else if (std::abs(axis.x) > Tolerance)
        negate = axis.x > 0.0;
    else
        negate = std::abs(axis.y) > Tolerance ? axis.y < 0.0 : axis.z < 0.0;
    v = axis * (negate ? -theta : theta);
}

void Rotation::vectorToQuaternion(Quaternion& q, const Vector3& v) {
    const double theta = norm(v);
    if (theta <= Tolerance) {
        q = Quaternion{1.0, 0.0, 0.0, 0.0};
        return;
    }
    const double s = std::sin(theta / 2.0) / theta;
    q = Quaternion{std::cos(theta / 2.0), v.x * s, v.y * s, v.z * s};
}

// q and -q are the same rotation: the one with w >= 0 is converted. w is clamped
// into [-1, 1] so that rounding cannot leave the domain of acos and sqrt.
void Rotation::quaternionToVector(Vector3& v, const Quaternion& q) {
    const double sign = q.w < 0.0 ? -1.0 : 1.0;
    const double w = std::clamp(sign * q.w, -1.0, 1.0);
    if (std::abs(1.0 - w * w) <= Tolerance) {
        v = Vector3();
        return;
    }
    const double g = sign * std::acos(2.0 * w * w - 1.0) / std::sqrt(1.0 - w * w);
    v = Vector3(q.x * g, q.y * g, q.z * g);
}

void Rotation::quaternionToMatrix(Matrix3x3& m, const Quaternion& q) {
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    m(0, 0) = 1.0 - 2.0 * y * y - 2.0 * z * z;
    m(0, 1) = 2.0 * x * y - 2.0 * w * z;
    m(0, 2) = 2.0 * w * y + 2.0 * x * z;
    m(1, 0) = 2.0 * w * z + 2.0 * x * y;
    m(1, 1) = 1.0 - 2.0 * x * x - 2.0 * z * z;
    m(1, 2) = 2.0 * y * z - 2.0 * w * x;
    m(2, 0) = 2.0 * x * z - 2.0 * w * y;
    m(2, 1) = 2.0 * y * z + 2.0 * w * x;
    m(2, 2) = 1.0 - 2.0 * x * x - 2.0 * y * y;
}

// The largest of the four components (w, x, y, z), whose radicand 4 c^2 is the
// largest, comes from a square root; the others follow from sums and differences of
// the off-diagonal elements, each divided by 4 c. Of q and -q the one is kept whose
// first component with a radicand above the tolerance is positive.
void Rotation::matrixToQuaternion(Quaternion& q, const Matrix3x3& m) {
    const double m00 = m(0, 0), m11 = m(1, 1), m22 = m(2, 2);
    const double radicands[4] = {1.0 + m00 + m11 + m22, 1.0 + m00 - m11 - m22, 1.0 - m00 + m11 - m22,
                                 1.0 - m00 - m11 + m22};
    const int largest = int(std::max_element(radicands, radicands + 4) - radicands);
    const double h = std::sqrt(radicands[largest]) / 2.0;
    const double f = 0.25 / h;
    const double wx = m(2, 1) - m(1, 2), wy = m(0, 2) - m(2, 0), wz = m(1, 0) - m(0, 1);
    const double xy = m(1, 0) + m(0, 1), xz = m(0, 2) + m(2, 0), yz = m(1, 2) + m(2, 1);
    switch (largest) {
    case 0: q = Quaternion{h, wx * f, wy * f, wz * f}; break;
    case 1: q = Quaternion{wx * f, h, xy * f, xz * f}; break;
    case 2: q = Quaternion{wy * f, xy * f, h, yz * f}; break;
    default: q = Quaternion{wz * f, xz * f, yz * f, h}; break;
    }
    const double components[4] = {q.w, q.x, q.y, q.z};
    for (int k = 0; k < 4; ++k)
        if (radicands[k] > Tolerance) {
            if (components[k] < 0.0)
                q = Quaternion{-q.w, -q.x, -q.y, -q.z};
            break;
        }
}

void Rotation::cardanBryantToVector(Vector3& v, const Vector3& angles) {
    Matrix3x3 m;
    cardanBryantToMatrix(m, angles);
    matrixToVector(v, m);
}

void Rotation::cardanBryantToQuaternion(Quaternion& q, const Vector3& angles) {
    Matrix3x3 m;
    cardanBryantToMatrix(m, angles);
    matrixToQuaternion(q, m);
}

void Rotation::vectorToCardanBryant(Vector3& angles, const Vector3& v) {
    Matrix3x3 m;
    vectorToMatrix(m, v);
    matrixToCardanBryant(angles, m);
}

void Rotation::quaternionToCardanBryant(Vector3& angles, const Quaternion& q) {
    Matrix3x3 m;
    quaternionToMatrix(m, q);
    matrixToCardanBryant(angles, m);
}

// --- setters ---------------------------------------------------------------------

void Rotation::setMatrix(const Matrix3x3& m) {
    matrix_ = m;
    setPrimary(MatrixRepresentation);
}

// m = U diag(w) V^T; the nearest orthogonal matrix is U V^T. When that is a
// reflection, the column of U with the smallest singular value is negated, which
// gives the nearest proper rotation.
bool Rotation::setGeneralMatrix(const Matrix3x3& m) {
    Matrix3x3 u, v;
    Vector3 w;
    if (!svd(u, w, v, m))
        return false;
    Matrix3x3 nearest = u * v.transpose();
    if (determinant(nearest) < 0.0) {
        for (int r = 0; r < 3; ++r)
            u(r, 2) = -u(r, 2);
        nearest = u * v.transpose();
    }
    setMatrix(nearest);
    return true;
}

void Rotation::setCardanBryant(const Vector3& angles, AngleType type) {
    angles_ = Vector3(unitToRadians(angles.x, type), unitToRadians(angles.y, type),
                      unitToRadians(angles.z, type));
    setPrimary(CardanBryantRepresentation);
}

void Rotation::setVector(const Vector3& v) {
    vector_ = v;
    setPrimary(VectorRepresentation);
}

void Rotation::setQuaternion(const Quaternion& q) {
    const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    quaternion_ = Quaternion{q.w / n, q.x / n, q.y / n, q.z / n};
    setPrimary(QuaternionRepresentation);
}

void Rotation::loadIdentity() { setMatrix(Matrix3x3::identity()); }

void Rotation::setParameterValue(int index, double value) {
    Vector3 v = vector();
    v[index] = value;
    setVector(v);
}

// --- getters: each converts straight from the primary form -------------------------

const Matrix3x3& Rotation::fillMatrix() const {
    switch (primary_) {
    case CardanBryantRepresentation: cardanBryantToMatrix(matrix_, angles_); break;
    case VectorRepresentation: vectorToMatrix(matrix_, vector_); break;
    case QuaternionRepresentation: quaternionToMatrix(matrix_, quaternion_); break;
    default: break;
    }
    matrixValid_ = true;
    return matrix_;
}

Vector3 Rotation::cardanBryant(AngleType type) const {
    if (!anglesValid_) {
        switch (primary_) {
        case MatrixRepresentation: matrixToCardanBryant(angles_, matrix_); break;
        case VectorRepresentation: vectorToCardanBryant(angles_, vector_); break;
        case QuaternionRepresentation: quaternionToCardanBryant(angles_, quaternion_); break;
        default: break;
        }
        anglesValid_ = true;
    }
    return Vector3(radiansToUnit(angles_.x, type), radiansToUnit(angles_.y, type),
                   radiansToUnit(angles_.z, type));
}

Vector3 Rotation::vector() const {
    if (!vectorValid_) {
        switch (primary_) {
        case MatrixRepresentation: matrixToVector(vector_, matrix_); break;
        case CardanBryantRepresentation: cardanBryantToVector(vector_, angles_); break;
        case QuaternionRepresentation: quaternionToVector(vector_, quaternion_); break;
        default: break;
        }
        vectorValid_ = true;
    }
    return vector_;
}

Quaternion Rotation::quaternion() const {
    if (!quaternionValid_) {
        switch (primary_) {
        case MatrixRepresentation: matrixToQuaternion(quaternion_, matrix_); break;
        case CardanBryantRepresentation: cardanBryantToQuaternion(quaternion_, angles_); break;
        case VectorRepresentation: vectorToQuaternion(quaternion_, vector_); break;
        default: break;
        }
        quaternionValid_ = true;
    }
    return quaternion_;
}

// With n = v / theta: M = cos(theta) I + sin(theta) [n]x + (1 - cos(theta)) n n^T,
// d theta / d v_j = n_j and d n / d v_j = (e_j - n n_j) / theta. At theta = 0 the
// limit is the generator [e_j]x.
const Matrix& Rotation::partial_Matrix_Vector() const {
    if (derivativeValid_)
        return derivative_;
    if (derivative_.rows() != 9 || derivative_.cols() != 3)
        derivative_ = Matrix(9, 3);
    const Vector3 v = vector();
    const double theta = norm(v);
    const Vector3 n = theta != 0.0 ? v * (1.0 / theta) : Vector3();
    const double co = std::cos(theta), sn = std::sin(theta);
    for (int j = 0; j < 3; ++j) {
        Vector3 unitJ;
        unitJ[j] = 1.0;
        const Vector3 dn = theta != 0.0 ? (unitJ - n * n[j]) * (1.0 / theta) : Vector3();
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s)
                derivative_(3 * r + s, j) =
                    theta == 0.0 ? crossMatrixElement(unitJ, r, s)
                                 : (r == s ? -sn * n[j] : 0.0) + co * n[j] * crossMatrixElement(n, r, s)
                                       + sn * crossMatrixElement(dn, r, s) + sn * n[j] * n[r] * n[s]
                                       + (1.0 - co) * (dn[r] * n[s] + n[r] * dn[s]);
    }
    derivativeValid_ = true;
    return derivative_;
}

// --- operations ------------------------------------------------------------------

void Rotation::invert() { setMatrix(matrix().transpose()); }

Rotation operator*(const Rotation& a, const Rotation& b) { return Rotation(a.matrix() * b.matrix()); }

bool operator==(const Rotation& a, const Rotation& b) {
    if (a.primary_ != b.primary_)
        return false;
    switch (a.primary_) {
    case Rotation::NoRepresentation: return true;
    case Rotation::MatrixRepresentation:
        return std::equal(a.matrix_.data(), a.matrix_.data() + 9, b.matrix_.data());
    case Rotation::CardanBryantRepresentation:
        return a.angles_.x == b.angles_.x && a.angles_.y == b.angles_.y && a.angles_.z == b.angles_.z;
    case Rotation::VectorRepresentation:
        return a.vector_.x == b.vector_.x && a.vector_.y == b.vector_.y && a.vector_.z == b.vector_.z;
    case Rotation::QuaternionRepresentation:
        return a.quaternion_.w == b.quaternion_.w && a.quaternion_.x == b.quaternion_.x
            && a.quaternion_.y == b.quaternion_.y && a.quaternion_.z == b.quaternion_.z;
    }
    return false;
}

// Forward differences J_ij = (angle_i(v + 1e-4 e_j) - angle_i(v)) x 1e4 in the given
// unit, the unperturbed angles taken through the same conversion as the perturbed
// ones and each difference wrapped into half a turn either way; the result is
// diag(J diag(variance) J^T).
Vector3 Rotation::vectorVarianceToAngle(const Vector3& variance, AngleType type) const {
    constexpr double step = 1e-4, inverseStep = 1e4;
    const double fullTurn = type == Deg ? 360.0 : 2.0 * Pi;
    const Vector3 v = vector();
    Rotation probe;
    probe.setVector(v);
    const Vector3 unperturbed = probe.cardanBryant(type);
    Vector3 result;
    for (int j = 0; j < 3; ++j) {
        Vector3 shifted = v;
        shifted[j] += step;
        probe.setVector(shifted);
        const Vector3 perturbed = probe.cardanBryant(type);
        for (int i = 0; i < 3; ++i) {
            const double derivative = std::remainder(perturbed[i] - unperturbed[i], fullTurn) * inverseStep;
            result[i] += derivative * derivative * variance[j];
        }
    }
    return result;
}

Vector3 Rotation::vectorStdDevToAngle(const Vector3& stdDev, AngleType type) const {
    const Vector3 variance = vectorVarianceToAngle(
        Vector3(stdDev.x * stdDev.x, stdDev.y * stdDev.y, stdDev.z * stdDev.z), type);
    return Vector3(std::sqrt(variance.x), std::sqrt(variance.y), std::sqrt(variance.z));
}

} // namespace orvex
