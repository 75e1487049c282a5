#pragma once

#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Matrix.h"
#include "orvex/core/Model.h"
#include "orvex/core/Vector.h"

namespace orvex {

// A quaternion w + xi + yj + zk; unit length is not part of the type.
struct Quaternion {
    double w = 0.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// A rotation of three-dimensional space, kept in the one form it was last set from
// (its primary representation) with every other form computed on first request and
// cached until the next setter. Conventions:
//   matrix M: row-major, applied to column vectors, p' = M p;
//   Cardan-Bryant angles (alpha, beta, gamma): M = Rz(gamma) Ry(beta) Rx(alpha), radians;
//   rotation vector v: unit axis times angle theta = |v| in radians;
//   quaternion (w, x, y, z), stored normalised by setQuaternion.
// Its three model parameters are the components of the rotation vector.
// The getters fill the caches without synchronisation: a rotation must not be read
// from two threads at once.
class Rotation : public Model {
public:
    // Any value other than Deg means radians; the fixed underlying type makes every
    // int a valid AngleType.
    enum AngleType : int { Rad = 0, Deg = 1 };
    enum Representation {
        NoRepresentation = 0,
        MatrixRepresentation = 1,
        CardanBryantRepresentation = 2,
        VectorRepresentation = 3,
        QuaternionRepresentation = 4,
    };

    // A null rotation: no primary representation; its getters report the identity
    // matrix, zero angles and vector and the quaternion (0, 0, 0, 0).
    Rotation();
    Rotation(double alpha, double beta, double gamma, AngleType type);
    Rotation(const Vector3& angles, AngleType type);
    explicit Rotation(const Matrix3x3& m);
    // Copies the primary form, the valid cached forms and the parameter types; the
    // derivative is recomputed on request.
    Rotation(const Rotation& other);
    Rotation& operator=(const Rotation& other);
    ~Rotation() override = default;

    static void matrixToCardanBryant(Vector3& angles, const Matrix3x3& m);
    static void matrixToVector(Vector3& v, const Matrix3x3& m);
    static void matrixToQuaternion(Quaternion& q, const Matrix3x3& m);
    static void cardanBryantToMatrix(Matrix3x3& m, const Vector3& angles);
    static void cardanBryantToVector(Vector3& v, const Vector3& angles);
    static void cardanBryantToQuaternion(Quaternion& q, const Vector3& angles);
    static void vectorToMatrix(Matrix3x3& m, const Vector3& v);
    static void vectorToCardanBryant(Vector3& angles, const Vector3& v);
    static void vectorToQuaternion(Quaternion& q, const Vector3& v);
    static void quaternionToMatrix(Matrix3x3& m, const Quaternion& q);
    static void quaternionToVector(Vector3& v, const Quaternion& q);
    static void quaternionToCardanBryant(Vector3& angles, const Quaternion& q);

    // Stores m unchanged (not re-orthogonalised).
    void setMatrix(const Matrix3x3& m);
    // Stores the proper rotation nearest to m (in the Frobenius norm); false, and the
    // rotation unchanged, when the decomposition fails.
    bool setGeneralMatrix(const Matrix3x3& m);
    void setCardanBryant(const Vector3& angles, AngleType type);
    void setVector(const Vector3& v);
    // Stores q divided by its Euclidean norm.
    void setQuaternion(const Quaternion& q);
    void loadIdentity();

    const Matrix3x3& matrix() const { return matrixValid_ ? matrix_ : fillMatrix(); }
    Vector3 cardanBryant(AngleType type) const;
    Vector3 vector() const;
    Quaternion quaternion() const;
    // 9x3: element (3r + s, j) is the derivative of matrix element (r, s) with
    // respect to rotation-vector component j.
    const Matrix& partial_Matrix_Vector() const;

    Representation representation() const { return primary_; }

    Vector3 mul(const Vector3& p) const { return matrix() * p; }
    // Replaces the rotation by its inverse (the transposed matrix becomes primary).
    void invert();

    // Propagates a variance (standard deviation) of the rotation-vector components to
    // the Cardan-Bryant angles by forward differences.
    Vector3 vectorVarianceToAngle(const Vector3& variance, AngleType type) const;
    Vector3 vectorStdDevToAngle(const Vector3& stdDev, AngleType type) const;

    int parametersCount() const override { return 3; }
    ParameterType parameterType(int index) const override { return parameterTypes_[index]; }
    void setParameterType(int index, ParameterType type) override { parameterTypes_[index] = type; }
    double parameterValue(int index) const override { return vector()[index]; }
    void setParameterValue(int index, double value) override;

    // Same primary representation with exactly equal components of that form.
    friend bool operator==(const Rotation& a, const Rotation& b);

private:
    void setPrimary(Representation primary);
    const Matrix3x3& fillMatrix() const;
    void copyFrom(const Rotation& other);

    mutable bool matrixValid_ = false;
    mutable Matrix3x3 matrix_ = Matrix3x3::identity();
    mutable bool anglesValid_ = false;
    mutable Vector3 angles_;  // radians
    mutable bool vectorValid_ = false;
    mutable Vector3 vector_;
    mutable bool derivativeValid_ = false;
    mutable Matrix derivative_;
    ParameterType parameterTypes_[3] = {Variable, Variable, Variable};
    mutable bool quaternionValid_ = false;
    mutable Quaternion quaternion_;
    Representation primary_ = NoRepresentation;
};

inline bool operator!=(const Rotation& a, const Rotation& b) { return !(a == b); }
inline Vector3 operator*(const Rotation& r, const Vector3& p) { return r.mul(p); }
// The rotation applying b first, then a, with the matrix product as primary form.
Rotation operator*(const Rotation& a, const Rotation& b);

} // namespace orvex
