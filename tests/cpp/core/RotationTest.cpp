#include "orvex/core/Rotation.h"

#include "core/GeometryExpect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <vector>

using orvex::Matrix3x3;
using orvex::Quaternion;
using orvex::Rotation;
using orvex::Vector3;

namespace {

constexpr double Pi = 3.141592653589793;

Matrix3x3 matrixOfVector(const Vector3& v) {
    Matrix3x3 m;
    Rotation::vectorToMatrix(m, v);
    return m;
}

// The rotation of vector w through its quaternion: no identity shortcut near 0, so
// finite differences there are exact.
Matrix3x3 exactRodrigues(const Vector3& w) {
    const double theta = norm(w);
    const double s = theta == 0 ? 0.5 : std::sin(theta / 2) / theta;
    Matrix3x3 m;
    Rotation::quaternionToMatrix(m, Quaternion{std::cos(theta / 2), w.x * s, w.y * s, w.z * s});
    return m;
}

double determinant(const Matrix3x3& m) {
    return m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) - m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0))
         + m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
}

} // namespace

TEST(Rotation, DefaultIsNullIdentity) {
    const Rotation r;
    EXPECT_EQ(r.representation(), Rotation::NoRepresentation);
    expectNear(r.matrix(), Matrix3x3::identity(), 0.0);
    expectNear(r.vector(), Vector3(), 0.0);
    expectNear(r.cardanBryant(Rotation::Deg), Vector3(), 0.0);
    const Quaternion q = r.quaternion();
    EXPECT_EQ(q.w, 0.0);
    EXPECT_EQ(q.x, 0.0);
    EXPECT_TRUE(r == Rotation());
}

TEST(Rotation, AnglesAreStoredInRadiansAndConvertedBack) {
    const Rotation r(30, 0, 0, Rotation::Deg);
    expectNear(r * Vector3(0, 1, 0), Vector3(0, std::cos(Pi / 6), std::sin(Pi / 6)), 1e-15);
    EXPECT_EQ(r.cardanBryant(Rotation::Rad).x, 0.5235987755982988);
    EXPECT_EQ(r.cardanBryant(Rotation::Deg).x, 29.999999999999996);
    // Any angle type other than Deg means radians.
    const Rotation other(0.5, 0, 0, static_cast<Rotation::AngleType>(2));
    EXPECT_EQ(other.cardanBryant(Rotation::Rad).x, 0.5);
}

// M = Rz(gamma) Ry(beta) Rx(alpha): the rotation about x is applied first.
TEST(Rotation, AnglesComposeAboutXThenYThenZ) {
    const double alpha = 0.3, beta = -0.7, gamma = 1.9;
    const double ca = std::cos(alpha), sa = std::sin(alpha), cb = std::cos(beta), sb = std::sin(beta);
    const double cg = std::cos(gamma), sg = std::sin(gamma);
    const Matrix3x3 rx = {1, 0, 0, 0, ca, -sa, 0, sa, ca};
    const Matrix3x3 ry = {cb, 0, sb, 0, 1, 0, -sb, 0, cb};
    const Matrix3x3 rz = {cg, -sg, 0, sg, cg, 0, 0, 0, 1};
    const Rotation r(alpha, beta, gamma, Rotation::Rad);
    expectNear(r.matrix(), rz * ry * rx, 1e-15);
    expectNear(Rotation(r.matrix()).cardanBryant(Rotation::Rad), Vector3(alpha, beta, gamma), 1e-15);
}

// Every form set from a rotation's own conversions reproduces its matrix, including
// both gimbal locks, half turns and angles near zero.
TEST(Rotation, EveryFormReproducesTheMatrix) {
    const Vector3 anglesInDegrees[] = {
        {10, 20, 30},  {-170, 45, 120}, {0, 90, 0},   {25, 90, -40}, {25, -90, 0},
        {180, 0, 0},   {0, 180, 0},     {90, 0, 180}, {0.1, 0, 0},  {-60, -30, 179},
    };
    for (const Vector3& degrees : anglesInDegrees) {
        SCOPED_TRACE(testing::Message() << degrees.x << ", " << degrees.y << ", " << degrees.z);
        const Rotation fromAngles(degrees, Rotation::Deg);
        const Matrix3x3 expected = fromAngles.matrix();

        Rotation r(expected);
        Rotation viaAngles, viaVector, viaQuaternion;
        viaAngles.setCardanBryant(r.cardanBryant(Rotation::Rad), Rotation::Rad);
        viaVector.setVector(r.vector());
        viaQuaternion.setQuaternion(r.quaternion());
        expectNear(viaAngles.matrix(), expected, 1e-12);
        expectNear(viaVector.matrix(), expected, 1e-12);
        expectNear(viaQuaternion.matrix(), expected, 1e-12);
        // Conversions that do not pass through the matrix agree too.
        expectNear(matrixOfVector(viaQuaternion.vector()), expected, 1e-12);
        Quaternion q;
        Rotation::vectorToQuaternion(q, fromAngles.vector());
        Rotation back;
        back.setQuaternion(q);
        expectNear(back.matrix(), expected, 1e-12);
    }
}

TEST(Rotation, ThresholdsNearZeroAngle) {
    expectNear(matrixOfVector(Vector3(1e-6, 0, 0)), Matrix3x3::identity(), 0.0);
    Quaternion q;
    Rotation::vectorToQuaternion(q, Vector3(0, 1e-12, 0));
    EXPECT_EQ(q.w, 1.0);
    EXPECT_EQ(q.y, 0.0);
    // sin(theta) <= 5e-7 gives |d^2 - 4| <= 1e-12: the zero vector.
    Vector3 v(1, 1, 1);
    Rotation::matrixToVector(v, Rotation(Vector3(4e-7, 0, 0), Rotation::Rad).matrix());
    expectNear(v, Vector3(), 0.0);
}

TEST(Rotation, HalfTurnAxisSigns) {
    Vector3 v;
    Matrix3x3 aboutX = Matrix3x3::identity();
    aboutX(1, 1) = aboutX(2, 2) = -1;
    Rotation::matrixToVector(v, aboutX);
    expectNear(v, Vector3(-Pi, 0, 0), 0.0);

    const double s = Pi / std::sqrt(2.0);
    const Vector3 axes[] = {{0, s, s}, {0, s, -s}, {s, -s, 0}, {-s, 0, s}, {0, 0, Pi}};
    for (const Vector3& axis : axes) {
        SCOPED_TRACE(testing::Message() << axis.x << ", " << axis.y << ", " << axis.z);
        const Matrix3x3 m = matrixOfVector(axis);
        Rotation::matrixToVector(v, m);
        EXPECT_NEAR(norm(v), Pi, 1e-7);
        expectNear(matrixOfVector(v), m, 1e-12);
    }
}

// Rounding just outside the domains of acos and sqrt must not give NaN.
TEST(Rotation, ConversionsStayFiniteNearTheLimits) {
    Matrix3x3 overfull = Matrix3x3::identity() * (1.0 + 1e-12);
    Vector3 v;
    Rotation::matrixToVector(v, overfull);
    EXPECT_TRUE(allFinite(v));
    expectNear(v, Vector3(), 0.0);

    Matrix3x3 beyondHalfTurn = Matrix3x3::identity() * -1.0;
    beyondHalfTurn(0, 0) = 1.0;
    beyondHalfTurn(1, 1) = beyondHalfTurn(2, 2) = -1.0 - 1e-10;
    Rotation::matrixToVector(v, beyondHalfTurn);
    expectNear(v, Vector3(-Pi, 0, 0), 1e-9);
    Quaternion q;
    Rotation::matrixToQuaternion(q, beyondHalfTurn);
    EXPECT_NEAR(q.w, 0.0, 1e-9);
    EXPECT_NEAR(std::abs(q.x), 1.0, 1e-9);
    EXPECT_TRUE(std::isfinite(q.y) && std::isfinite(q.z));

    Rotation::quaternionToVector(v, Quaternion{1.0 + 1e-9, 1e-3, 0, 0});
    EXPECT_TRUE(allFinite(v));
}

// Axes in every octant and every coordinate plane, including one whose half-turn
// matrix leaves rounding noise in m00 + 1.
const Vector3 kAxesEverywhere[] = {
    {1, 2, 3},  {-1, 2, 3}, {1, -2, 3},      {1, 2, -3},      {-1, -2, 3},    {-1, 2, -3},
    {1, -2, -3}, {-1, -2, -3}, {0, 1, 1},   {0, 1, -1},      {0, -1, 1},     {1, 0, 1},
    {-1, 0, 1}, {1, 1, 0},  {1, -1, 0},      {1, 0, 0},       {0, 1, 0},      {0, 0, -1},
    {0, -0.70488, 0.70932},
};

// Near a half turn both conversions from the matrix must keep angle and axis: vector ->
// matrix -> vector and quaternion -> matrix -> quaternion come back to rounding.
TEST(Rotation, NearHalfTurnsRoundTripThroughTheMatrix) {
    for (const Vector3& direction : kAxesEverywhere) {
        const Vector3 axis = direction * (1.0 / norm(direction));
        for (int k = 1; k <= 9; ++k) {
            const double theta = Pi - std::pow(10.0, -k);
            SCOPED_TRACE(testing::Message() << "axis " << axis.x << ", " << axis.y << ", " << axis.z
                                            << ", angle pi - 1e-" << k);
            const Vector3 v = axis * theta;
            Vector3 back;
            Rotation::matrixToVector(back, matrixOfVector(v));
            expectNear(back, v, 1e-12);

            const Quaternion q{std::cos(theta / 2), axis.x * std::sin(theta / 2), axis.y * std::sin(theta / 2),
                               axis.z * std::sin(theta / 2)};
            Matrix3x3 m;
            Rotation::quaternionToMatrix(m, q);
            Quaternion r;
            Rotation::matrixToQuaternion(r, m);
            const double sign = r.w * q.w + r.x * q.x + r.y * q.y + r.z * q.z < 0 ? -1.0 : 1.0;
            EXPECT_NEAR(sign * r.w, q.w, 1e-12);
            expectNear(Vector3(r.x, r.y, r.z) * sign, Vector3(q.x, q.y, q.z), 1e-12);
        }
    }
}

// An exact half turn reads back as a vector of length pi whose matrix is the same, also
// with the axis in the y-z plane where rounding leaves noise in m00 + 1.
TEST(Rotation, HalfTurnsReadBackAsTheSameRotation) {
    std::vector<Vector3> directions(std::begin(kAxesEverywhere), std::end(kAxesEverywhere));
    for (int k = 0; k < 200; ++k)
        directions.emplace_back(0.0, std::cos(0.0314 * k), std::sin(0.0314 * k));
    for (const Vector3& direction : directions) {
        const Vector3 axis = direction * (1.0 / norm(direction));
        SCOPED_TRACE(testing::Message() << axis.x << ", " << axis.y << ", " << axis.z);
        Rotation r;
        r.setQuaternion(Quaternion{0.0, axis.x, axis.y, axis.z});
        const Vector3 v = Rotation(r.matrix()).vector();
        EXPECT_NEAR(norm(v), Pi, 1e-12);
        expectNear(matrixOfVector(v), r.matrix(), 1e-12);
    }
}

// Away from the half turn the results stay those of the closed forms.
TEST(Rotation, ConversionsAwayFromHalfTurnAreUnchanged) {
    for (const Vector3& direction : kAxesEverywhere) {
        const Vector3 axis = direction * (1.0 / norm(direction));
        for (double theta : {1e-3, 0.5, 1.5, 2.5, 3.0}) {
            SCOPED_TRACE(testing::Message() << axis.x << ", " << axis.y << ", " << axis.z << " by " << theta);
            const Matrix3x3 m = matrixOfVector(axis * theta);
            const double d = m(0, 0) + m(1, 1) + m(2, 2) - 1.0;
            const double g = std::acos(d / 2.0) / std::sqrt(4.0 - d * d);
            Vector3 v;
            Rotation::matrixToVector(v, m);
            expectNear(v, Vector3(m(2, 1) - m(1, 2), m(0, 2) - m(2, 0), m(1, 0) - m(0, 1)) * g, 1e-13);
            Quaternion q;
            Rotation::matrixToQuaternion(q, m);
            EXPECT_GT(q.w, 0.0);
            EXPECT_NEAR(q.w, std::cos(theta / 2), 1e-14);
        }
    }
}

TEST(Rotation, NegatedQuaternionIsTheSameRotation) {
    const Rotation r(Vector3(40, -20, 100), Rotation::Deg);
    const Quaternion q = r.quaternion();
    Rotation negated;
    negated.setQuaternion(Quaternion{-q.w, -q.x, -q.y, -q.z});
    expectNear(negated.vector(), r.vector(), 1e-12);
    Rotation unnormalised;
    unnormalised.setQuaternion(Quaternion{2 * q.w, 2 * q.x, 2 * q.y, 2 * q.z});
    expectNear(unnormalised.matrix(), r.matrix(), 1e-12);
}

TEST(Rotation, EqualityComparesThePrimaryFormOnly) {
    const Rotation fromAngles(10, 20, 30, Rotation::Deg);
    const Rotation fromMatrix(fromAngles.matrix());
    EXPECT_FALSE(fromAngles == fromMatrix);
    EXPECT_TRUE(fromAngles == fromAngles);
    EXPECT_TRUE(fromAngles != fromMatrix);
    const Rotation copy(fromAngles);
    EXPECT_TRUE(copy == fromAngles);
    Rotation withNan;
    withNan.setVector(Vector3(NAN, 0, 0));
    EXPECT_FALSE(withNan == withNan);
}

TEST(Rotation, SettersChangeThePrimaryForm) {
    Rotation r(10, 20, 30, Rotation::Deg);
    r.setParameterValue(1, 0.2);
    EXPECT_EQ(r.representation(), Rotation::VectorRepresentation);
    EXPECT_EQ(r.vector().y, 0.2);
    EXPECT_EQ(r.parameterValue(1), 0.2);

    Rotation fromQuaternion;
    fromQuaternion.setQuaternion(Rotation(Vector3(0.3, -0.2, 0.1), Rotation::Rad).quaternion());
    const Matrix3x3 before = fromQuaternion.matrix();
    fromQuaternion.invert();
    EXPECT_EQ(fromQuaternion.representation(), Rotation::MatrixRepresentation);
    expectNear(fromQuaternion.matrix(), before.transpose(), 0.0);

    const Rotation product = Rotation(0, 0, 30, Rotation::Deg) * Rotation(0, 0, 60, Rotation::Deg);
    expectNear(product.matrix(), Rotation(0, 0, 90, Rotation::Deg).matrix(), 1e-15);
}

// Column j of the derivative is d M / d v_j; at v = 0 it is the generator [e_j]x.
TEST(Rotation, DerivativeMatchesNumericalDerivative) {
    const Vector3 vectors[] = {{0, 0, 0}, {0.3, -0.5, 0.8}, {1e-3, 0, 0}, {0, 0, 3.0}, {-2, 1, 0.5}};
    const double h = 1e-6;
    for (const Vector3& v : vectors) {
        SCOPED_TRACE(testing::Message() << v.x << ", " << v.y << ", " << v.z);
        Rotation r;
        r.setVector(v);
        const orvex::Matrix& d = r.partial_Matrix_Vector();
        ASSERT_EQ(d.rows(), 9);
        ASSERT_EQ(d.cols(), 3);
        for (int j = 0; j < 3; ++j) {
            Vector3 plus = v, minus = v;
            plus[j] += h;
            minus[j] -= h;
            const Matrix3x3 numeric = (exactRodrigues(plus) - exactRodrigues(minus)) * (1.0 / (2 * h));
            for (int row = 0; row < 3; ++row)
                for (int col = 0; col < 3; ++col)
                    EXPECT_NEAR(d(3 * row + col, j), numeric(row, col), 1e-8) << "element (" << row << ", " << col
                                                                             << ") by v" << j;
        }
    }
}

TEST(Rotation, AssignmentDropsTheCachedDerivative) {
    Rotation a;
    a.setVector(Vector3(0.4, 0, 0));
    const double before = a.partial_Matrix_Vector()(5, 0);  // d m12 / d vx = -cos(0.4)
    EXPECT_NEAR(before, -std::cos(0.4), 1e-15);
    Rotation b;
    b.setVector(Vector3(0, 0, 1.2));
    a = b;
    const orvex::Matrix& after = a.partial_Matrix_Vector();
    EXPECT_NE(after(5, 0), before);
    for (int row = 0; row < 9; ++row)
        for (int col = 0; col < 3; ++col)
            EXPECT_EQ(after(row, col), b.partial_Matrix_Vector()(row, col));
}

TEST(Rotation, GeneralMatrixGivesTheNearestProperRotation) {
    const Rotation r(15, -35, 70, Rotation::Deg);
    Rotation scaled;
    ASSERT_TRUE(scaled.setGeneralMatrix(r.matrix() * 2.0));
    EXPECT_EQ(scaled.representation(), Rotation::MatrixRepresentation);
    expectNear(scaled.matrix(), r.matrix(), 1e-12);

    // R diag(1, 1, -0.5) is no rotation; its nearest rotation is R, not the reflection.
    Matrix3x3 flip = Matrix3x3::identity();
    flip(2, 2) = -0.5;
    Rotation fromReflection;
    ASSERT_TRUE(fromReflection.setGeneralMatrix(r.matrix() * flip));
    EXPECT_NEAR(determinant(fromReflection.matrix()), 1.0, 1e-12);
    expectNear(fromReflection.matrix(), r.matrix(), 1e-12);

    // A failed decomposition leaves the rotation as it was.
    Rotation unchanged(r);
    Matrix3x3 broken = r.matrix();
    broken(1, 2) = NAN;
    EXPECT_FALSE(unchanged.setGeneralMatrix(broken));
    EXPECT_TRUE(unchanged == r);
}

// A rotation about z by nearly a half turn: perturbing the vector moves gamma
// across +-pi, which must not blow up the propagated variance.
TEST(Rotation, AngleVarianceWrapsAcrossHalfTurn) {
    struct Case {
        double gammaDegrees;
        Rotation::AngleType type;
        double scale;
    };
    const double toDegrees = 180.0 / Pi;
    const Case cases[] = {{179.99999, Rotation::Rad, 1.0}, {30.0, Rotation::Rad, 1.0},
                          {-179.99999, Rotation::Deg, toDegrees * toDegrees}};
    const double variance = 4e-6;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gammaDegrees);
        const Rotation r(Rotation(0, 0, c.gammaDegrees, Rotation::Deg).matrix());
        const Vector3 result = r.vectorVarianceToAngle(Vector3(0, 0, variance), c.type);
        EXPECT_NEAR(result.z, variance * c.scale, 1e-4 * variance * c.scale);
        EXPECT_NEAR(result.x, 0.0, 1e-12 * c.scale);
        const Vector3 deviation = r.vectorStdDevToAngle(Vector3(0, 0, std::sqrt(variance)), c.type);
        EXPECT_NEAR(deviation.z, std::sqrt(variance * c.scale), 1e-4 * std::sqrt(variance * c.scale));
    }
}

TEST(Rotation, ModelGathersParametersByType) {
    Rotation r;
    r.setVector(Vector3(0.1, 0.2, 0.3));
    r.setParameterType(1, orvex::Model::Constant);
    EXPECT_EQ(r.variablesCount(), 2);
    EXPECT_EQ(r.constantsCount(), 1);

    orvex::Vector out(6, -1.0);
    EXPECT_EQ(r.getVariables(out, 2), 4);
    EXPECT_EQ(out[2], 0.1);
    EXPECT_EQ(out[3], 0.3);
    EXPECT_EQ(out[4], -1.0);
    EXPECT_EQ(r.getConstants(out, 0), 1);
    EXPECT_EQ(out[0], 0.2);
    EXPECT_EQ(r.getParameters(out, 3), 6);
    EXPECT_EQ(out[5], 0.3);

    const orvex::Vector in = {0.0, 0.5, 0.6};
    EXPECT_EQ(r.setVariables(in, 1), 3);
    expectNear(r.vector(), Vector3(0.5, 0.2, 0.6), 0.0);
    EXPECT_EQ(r.setConstants(in, 0), 1);
    EXPECT_EQ(r.vector().y, 0.0);
    EXPECT_EQ(r.setParameters(in, 0), 3);
    expectNear(r.vector(), Vector3(0.0, 0.5, 0.6), 0.0);
    // Copies carry the parameter types.
    EXPECT_EQ(Rotation(r).parameterType(1), orvex::Model::Constant);
}
