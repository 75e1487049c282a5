#include "orvex/core/RigidTransform.h"

#include <algorithm>

namespace orvex {

RigidTransform::RigidTransform(const Rotation& rotation, const Vector3& translation)
    : rotation_(rotation), translation_(translation), translationSet_(true) {}

RigidTransform RigidTransform::identity() {
    RigidTransform transform;
    transform.loadIdentity();
    return transform;
}

RigidTransform RigidTransform::inverse(const RigidTransform& transform) {
    RigidTransform inverted(transform);
    inverted.invert();
    return inverted;
}

bool RigidTransform::isNull() const {
    return rotation_.representation() == Rotation::NoRepresentation || !translationSet_;
}

void RigidTransform::loadIdentity() {
    rotation_.loadIdentity();
    setTranslation(Vector3());
}

void RigidTransform::setTranslation(const Vector3& translation) {
    translation_ = translation;
    translationSet_ = true;
}

void RigidTransform::setRotation(double alpha, double beta, double gamma, Rotation::AngleType type) {
    rotation_ = Rotation(alpha, beta, gamma, type);
}

Matrix4x4 RigidTransform::matrix4x4() const {
    const Matrix3x3& r = rotation_.matrix();
    Matrix4x4 h;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            h(i, j) = r(i, j);
        h(i, 3) = translation_[i];
    }
    h(3, 3) = 1.0;
    return h;
}

// The operands are used as they are (null or not); their rotations are copied so
// that their caches stay untouched.
RigidTransform RigidTransform::mul(const RigidTransform& other) const {
    const Rotation a(rotation_), b(other.rotation_);
    return RigidTransform(a * b, a * other.translation_ + translation_);
}

// D(3i + s, j) = d R_is / d v_j, so J(i, j) = sum over s of D(3i + s, j) p_s.
bool RigidTransform::evaluate(Vector3& out, Matrix3x3& jacobian, const Vector3& p) const {
    const Matrix& derivative = rotation_.partial_Matrix_Vector();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            jacobian(i, j) = derivative(3 * i, j) * p.x + derivative(3 * i + 1, j) * p.y
                           + derivative(3 * i + 2, j) * p.z;
    out = mul(p);
    return true;
}

void RigidTransform::invert() {
    rotation_.invert();
    translation_ = -(rotation_.matrix() * translation_);
}

RigidTransform::ParameterType RigidTransform::parameterType(int index) const {
    return index < 3 ? rotation_.parameterType(index) : translationTypes_[index - 3];
}

void RigidTransform::setParameterType(int index, ParameterType type) {
    if (index < 3)
        rotation_.setParameterType(index, type);
    else
        translationTypes_[index - 3] = type;
}

double RigidTransform::parameterValue(int index) const {
    return index < 3 ? rotation_.parameterValue(index) : translation_[index - 3];
}

void RigidTransform::setParameterValue(int index, double value) {
    if (index < 3)
        rotation_.setParameterValue(index, value);
    else
        translation_[index - 3] = value;
}

bool operator==(const RigidTransform& a, const RigidTransform& b) {
    return a.translationSet_ == b.translationSet_ && a.translation_.x == b.translation_.x
        && a.translation_.y == b.translation_.y && a.translation_.z == b.translation_.z
        && a.rotation_ == b.rotation_;
}

nlohmann::json RigidTransform::toJson() const {
    if (isNull())
        return nullptr;
    const Vector3 angles = rotation_.cardanBryant(Rotation::Deg);
    return nlohmann::json::array(
        {angles.x, angles.y, angles.z, translation_.x, translation_.y, translation_.z});
}

std::optional<RigidTransform> RigidTransform::fromJson(const nlohmann::json& value) {
    if (!value.is_array() || value.size() != 6)
        return std::nullopt;
    if (!std::all_of(value.begin(), value.end(), [](const nlohmann::json& v) { return v.is_number_float(); }))
        return std::nullopt;
    const auto number = [&](int i) { return value[static_cast<std::size_t>(i)].get<double>(); };
    return RigidTransform(Rotation(number(0), number(1), number(2), Rotation::Deg),
                          Vector3(number(3), number(4), number(5)));
}

// M = mean of R_i = R_b[i] R_a[i]^T, s = mean of t_b[i] - R_i t_a[i]; the result's
// rotation is the proper rotation nearest to M.
bool averageTransformation(RigidTransform& out, const Array1<RigidTransform>& a,
                           const Array1<RigidTransform>& b) {
    if (a.size() != b.size() || a.empty())
        return false;
    Matrix3x3 sumOfRotations;  // becomes the mean
    Vector3 sumOfTranslations;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Matrix3x3 r = b[i].rotation().matrix() * a[i].rotation().matrix().transpose();
        sumOfRotations += r;
        sumOfTranslations += b[i].translation() - r * a[i].translation();
    }
    const double count = static_cast<double>(a.size());
    for (int k = 0; k < 9; ++k)
        sumOfRotations.data()[k] /= count;
    for (int k = 0; k < 3; ++k)
        sumOfTranslations[k] /= count;
    Rotation rotation;
    if (!rotation.setGeneralMatrix(sumOfRotations))
        return false;
    out = RigidTransform(rotation, sumOfTranslations);
    return true;
}

} // namespace orvex
