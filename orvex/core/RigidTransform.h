#pragma once

#include "orvex/core/Array1.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Model.h"
#include "orvex/core/Rotation.h"
#include "orvex/core/Vector.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace orvex {

// A proper rigid motion p' = R p + t. As a Model it has six parameters: the rotation
// vector of R (0 to 2), then t (3 to 5). A transform is null until it holds both a
// rotation with a primary form and a translation; null is kept apart from the
// identity in the JSON form. Reading the rotation fills its caches, so a transform
// must not be used from two threads at once.
class RigidTransform : public Model {
public:
    // Null: rotation without primary form, translation (0, 0, 0) not set.
    RigidTransform() = default;
    RigidTransform(const Rotation& rotation, const Vector3& translation);
    RigidTransform(const RigidTransform& other) = default;
    RigidTransform& operator=(const RigidTransform& other) = default;
    ~RigidTransform() override = default;

    static RigidTransform identity();
    static RigidTransform inverse(const RigidTransform& transform);

    const Rotation& rotation() const { return rotation_; }
    const Vector3& translation() const { return translation_; }
    bool isNull() const;

    void loadIdentity();
    void setTranslation(const Vector3& translation);
    void setTranslation(double x, double y, double z) { setTranslation(Vector3(x, y, z)); }
    void setRotation(const Rotation& rotation) { rotation_ = rotation; }
    void setRotation(double alpha, double beta, double gamma, Rotation::AngleType type);

    // Homogeneous form: rows (R row r, t_r), then (0, 0, 0, 1).
    Matrix4x4 matrix4x4() const;
    // R p + t.
    Vector3 mul(const Vector3& p) const { return rotation_.matrix() * p + translation_; }
    // this * other: applies other first.
    RigidTransform mul(const RigidTransform& other) const;
    // out = R p + t and J(i, j) = d(R p)_i / d v_j for the rotation vector v; always true.
    bool evaluate(Vector3& out, Matrix3x3& jacobian, const Vector3& p) const;
    // In place: R becomes R^T and t becomes -R^T t.
    void invert();

    // Null as JSON null, otherwise [alpha, beta, gamma, tx, ty, tz]: Cardan-Bryant
    // angles in degrees, then the translation, all as floating-point numbers.
    nlohmann::json toJson() const;
    // Empty unless the value is an array of exactly six floating-point numbers.
    static std::optional<RigidTransform> fromJson(const nlohmann::json& value);

    int parametersCount() const override { return 6; }
    ParameterType parameterType(int index) const override;
    void setParameterType(int index, ParameterType type) override;
    double parameterValue(int index) const override;
    void setParameterValue(int index, double value) override;

    friend bool operator==(const RigidTransform& a, const RigidTransform& b);

private:
    Rotation rotation_;
    Vector3 translation_;
    bool translationSet_ = false;
    ParameterType translationTypes_[3] = {Variable, Variable, Variable};
};

inline bool operator!=(const RigidTransform& a, const RigidTransform& b) { return !(a == b); }
inline Vector3 operator*(const RigidTransform& transform, const Vector3& p) { return transform.mul(p); }
inline RigidTransform operator*(const RigidTransform& a, const RigidTransform& b) { return a.mul(b); }

// The transform T that best maps each a[i] onto b[i] (b[i] ~ T * a[i]): the nearest
// rotation to the mean of R_b[i] R_a[i]^T and the mean of t_b[i] - R_i t_a[i]. False,
// with out unchanged, for arrays of different or zero length or a failed decomposition.
bool averageTransformation(RigidTransform& out, const Array1<RigidTransform>& a,
                           const Array1<RigidTransform>& b);

} // namespace orvex
