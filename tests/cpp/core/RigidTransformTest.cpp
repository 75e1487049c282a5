#include "orvex/core/RigidTransform.h"

#include "core/GeometryExpect.h"

#include <gtest/gtest.h>

#include <string>

using orvex::Matrix3x3;
using orvex::RigidTransform;
using orvex::Rotation;
using orvex::Vector3;
using Json = nlohmann::json;

namespace {

RigidTransform transformOf(double alpha, double beta, double gamma, const Vector3& t) {
    return RigidTransform(Rotation(alpha, beta, gamma, Rotation::Deg), t);
}

} // namespace

TEST(RigidTransform, NullIsKeptApartFromIdentity) {
    EXPECT_TRUE(RigidTransform().isNull());
    EXPECT_FALSE(RigidTransform::identity().isNull());
    EXPECT_TRUE(RigidTransform() == RigidTransform());
    EXPECT_TRUE(RigidTransform() != RigidTransform::identity());

    RigidTransform onlyRotation;
    onlyRotation.setRotation(10, 0, 0, Rotation::Deg);
    EXPECT_TRUE(onlyRotation.isNull());
    onlyRotation.setTranslation(1, 2, 3);
    EXPECT_FALSE(onlyRotation.isNull());
    onlyRotation = RigidTransform();
    EXPECT_TRUE(onlyRotation.isNull());

    RigidTransform neverTranslated;
    neverTranslated.setRotation(Rotation(0, 0, 5, Rotation::Deg));
    neverTranslated.invert();
    EXPECT_TRUE(neverTranslated.isNull());
}

TEST(RigidTransform, WritesJson) {
    EXPECT_EQ(RigidTransform().toJson().dump(), "null");
    EXPECT_EQ(RigidTransform::identity().toJson().dump(), "[0.0,-0.0,0.0,0.0,0.0,0.0]");
    EXPECT_EQ(transformOf(0, 0, 0, Vector3(1, -2, 0.5)).toJson().dump(), "[0.0,0.0,0.0,1.0,-2.0,0.5]");
}

TEST(RigidTransform, ReadsOnlySixFloatingPointNumbers) {
    const char* rejected[] = {
        "null",
        "{}",
        "1.0",
        "[0,0,0,0,0,0]",
        "[0.0,0.0,0.0,0.0,0.0,5]",
        "[0.0,0.0,0.0,0.0,0.0]",
        "[0.0,0.0,0.0,0.0,0.0,0.0,0.0]",
        "[0.0,0.0,0.0,0.0,0.0,\"1.0\"]",
        "[0.0,0.0,0.0,0.0,0.0,null]",
        "[0.0,0.0,0.0,0.0,0.0,true]",
        "[0.0,0.0,0.0,0.0,0.0,[0.0]]",
    };
    for (const char* text : rejected)
        EXPECT_FALSE(RigidTransform::fromJson(Json::parse(text)).has_value()) << text;

    const auto zero = RigidTransform::fromJson(Json::parse("[0.0,0.0,0.0,0.0,0.0,0.0]"));
    ASSERT_TRUE(zero.has_value());
    EXPECT_FALSE(zero->isNull());
    EXPECT_EQ(zero->rotation().representation(), Rotation::CardanBryantRepresentation);
    expectNear(zero->rotation().matrix(), Matrix3x3::identity(), 0.0);
    EXPECT_TRUE(*zero != RigidTransform::identity());

    const auto exponent = RigidTransform::fromJson(Json::parse("[9e1,0.0,0.0,1.5,0.0,-2e0]"));
    ASSERT_TRUE(exponent.has_value());
    expectNear(exponent->rotation().cardanBryant(Rotation::Deg), Vector3(90, 0, 0), 1e-13);
    expectNear(exponent->translation(), Vector3(1.5, 0, -2), 0.0);
}

TEST(RigidTransform, JsonRoundTrip) {
    const RigidTransform t = transformOf(10, 20, 30, Vector3(1, 2, 3));
    const auto back = RigidTransform::fromJson(Json::parse(t.toJson().dump()));
    ASSERT_TRUE(back.has_value());
    expectNear(back->rotation().matrix(), t.rotation().matrix(), 1e-15);
    expectNear(back->translation(), t.translation(), 0.0);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(back->parameterType(i), orvex::Model::Variable);

    // A non-finite value is written as null and does not read back.
    const RigidTransform broken = transformOf(0, 0, 0, Vector3(NAN, 0, 0));
    EXPECT_FALSE(RigidTransform::fromJson(Json::parse(broken.toJson().dump())).has_value());
}

TEST(RigidTransform, AppliesComposesAndInverts) {
    const RigidTransform t = transformOf(0, 0, 90, Vector3(1, 0, 0));
    expectNear(t * Vector3(1, 0, 0), Vector3(1, 1, 0), 1e-15);
    expectNear(RigidTransform::inverse(t) * Vector3(1, 1, 0), Vector3(1, 0, 0), 1e-15);

    const RigidTransform a = transformOf(10, -20, 45, Vector3(0.5, -1, 2));
    const RigidTransform b = transformOf(-70, 5, 160, Vector3(3, 0, -4));
    const Vector3 p(0.3, 7, -2);
    expectNear((a * b) * p, a * (b * p), 1e-13);
    expectNear(a.mul(b) * p, a * (b * p), 1e-13);
    expectNear((a * RigidTransform::inverse(a)) * p, p, 1e-13);
    EXPECT_EQ((a * b).rotation().representation(), Rotation::MatrixRepresentation);
}

TEST(RigidTransform, HomogeneousMatrix) {
    const auto identity = RigidTransform::identity().matrix4x4();
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(identity(r, c), r == c ? 1.0 : 0.0);

    const RigidTransform t = transformOf(30, 40, 50, Vector3(4, 5, 6));
    const auto h = t.matrix4x4();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(h(r, c), t.rotation().matrix()(r, c));
        EXPECT_EQ(h(r, 3), t.translation()[r]);
        EXPECT_EQ(h(3, r), 0.0);
    }
    EXPECT_EQ(h(3, 3), 1.0);
}

TEST(RigidTransform, ParametersAreRotationVectorThenTranslation) {
    RigidTransform t = transformOf(10, 20, 30, Vector3(1, 2, 3));
    t.setParameterValue(4, 2.5);
    expectNear(t.translation(), Vector3(1, 2.5, 3), 0.0);
    EXPECT_EQ(t.rotation().representation(), Rotation::CardanBryantRepresentation);
    t.setParameterValue(0, 0.1);
    EXPECT_EQ(t.rotation().representation(), Rotation::VectorRepresentation);
    EXPECT_EQ(t.parameterValue(0), 0.1);

    t.setParameterType(1, orvex::Model::Constant);
    t.setParameterType(5, orvex::Model::Constant);
    EXPECT_EQ(t.rotation().parameterType(1), orvex::Model::Constant);
    orvex::Vector variables(4);
    EXPECT_EQ(t.getVariables(variables, 0), 4);
    EXPECT_EQ(variables[0], 0.1);
    EXPECT_EQ(variables[2], 1.0);
    EXPECT_EQ(variables[3], 2.5);
    EXPECT_EQ(t.constantsCount(), 2);
}

// J(i, j) = d(R p)_i / d v_j, also at the identity, where a fit starts.
TEST(RigidTransform, EvaluateGivesThePointAndItsRotationDerivative) {
    const Vector3 vectors[] = {{0, 0, 0}, {0.2, -0.4, 1.1}};
    const Vector3 p(1.5, -2, 0.7), t(1, 2, 3);
    const double h = 1e-6;
    for (const Vector3& v : vectors) {
        Rotation r;
        r.setVector(v);
        const RigidTransform transform(r, t);
        Vector3 out;
        Matrix3x3 jacobian;
        EXPECT_TRUE(transform.evaluate(out, jacobian, p));
        expectNear(out, transform * p, 0.0);
        for (int j = 0; j < 3; ++j) {
            Vector3 plus = v, minus = v;
            plus[j] += h;
            minus[j] -= h;
            Rotation rp, rm;
            rp.setVector(plus);
            rm.setVector(minus);
            // At v = 0 the derivative of R p is e_j x p; elsewhere a central difference.
            Vector3 unitJ;
            unitJ[j] = 1.0;
            const Vector3 numeric = norm(v) == 0.0 ? cross(unitJ, p)
                                                   : (rp * p - rm * p) * (1.0 / (2 * h));
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(jacobian(i, j), numeric[i], 1e-8) << i << ", " << j;
        }
    }
}

TEST(RigidTransform, AverageTransformation) {
    const RigidTransform target = transformOf(20, -10, 75, Vector3(3, -1, 2));
    const RigidTransform untouched = transformOf(1, 2, 3, Vector3(4, 5, 6));

    RigidTransform out = untouched;
    EXPECT_FALSE(orvex::averageTransformation(out, orvex::Array1<RigidTransform>(2),
                                              orvex::Array1<RigidTransform>(3)));
    EXPECT_FALSE(orvex::averageTransformation(out, {}, {}));
    const orvex::Array1<RigidTransform> nonFinite = {transformOf(NAN, 0, 0, Vector3())};
    EXPECT_FALSE(orvex::averageTransformation(out, nonFinite, nonFinite));
    EXPECT_TRUE(out == untouched);

    const orvex::Array1<RigidTransform> identities(3, RigidTransform::identity());
    const orvex::Array1<RigidTransform> targets(3, target);
    ASSERT_TRUE(orvex::averageTransformation(out, identities, targets));
    expectNear(out.rotation().matrix(), target.rotation().matrix(), 1e-12);
    expectNear(out.translation(), target.translation(), 1e-12);

    const orvex::Array1<RigidTransform> starts = {transformOf(5, 6, 7, Vector3(1, 0, 0)),
                                                  transformOf(-40, 10, 100, Vector3(0, 2, -1))};
    const orvex::Array1<RigidTransform> ends = {target * starts[0], target * starts[1]};
    ASSERT_TRUE(orvex::averageTransformation(out, starts, ends));
    expectNear(out.rotation().matrix(), target.rotation().matrix(), 1e-12);
    expectNear(out.translation(), target.translation(), 1e-12);
}
