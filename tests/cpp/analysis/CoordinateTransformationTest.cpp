#include "orvex/analysis/CoordinateTransformation.h"

#include "AreaBuilder.h"
#include "data/MetaDataText.h"

#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace orvex;

namespace {

constexpr double Pi = 3.141592653589793;
const float NaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> values(const ZelData& area, const std::string& name) {
    const float* v = area.data(std::size_t(area.findVariable(name)));
    return std::vector<float>(v, v + area.matrixSize());
}

// A 3 x 2 stereo area with uncertainties; point 4 is blanked by -1, point 5 by NaN.
ZelData stereoFixture(bool withSigma = true) {
    std::vector<AreaVariable> variables = {
        {"X", GlobalCoordinate, {0, 1, 2, 0, 1, 2}},          {"Y", GlobalCoordinate, {0, 0, 0, 1, 1, 1}},
        {"Z", GlobalCoordinate, {0.5f, 0, -1, 2, 0, 0}},      {"U", GlobalDisplacement, {1, 0, 0, 0.5f, 0, 0}},
        {"V", GlobalDisplacement, {0, 2, 0, 0, 0, 0}},        {"W", GlobalDisplacement, {0, 0, 3, 0.25f, 0, 0}},
        {"sigma", Correlation, {0, 0.1f, 0.2f, 0.3f, -1, NaN}}};
    if (withSigma)
        for (const auto& [name, sigma] : {std::pair{"SIGMA_X", 0.1f}, {"SIGMA_Y", 0.2f}, {"SIGMA_Z", 0.3f}})
            variables.push_back({name, GlobalDisplacement, std::vector<float>(6, sigma)});
    return makeArea(3, 2, variables);
}

ZelDataSet setOf(std::vector<ZelData> areas) {
    ZelDataSet set;
    for (ZelData& area : areas) set.addData(new ZelData(area));
    return set;
}

nlohmann::json history(const ZelDataSet& set) {
    const nlohmann::json meta = nlohmann::json::parse(metaDataText(set));
    return meta.contains("transformations") ? meta["transformations"] : nlohmann::json::array();
}

void expectSameValues(const ZelData& actual, const ZelData& expected, double tolerance) {
    ASSERT_EQ(actual.numVariables(), expected.numVariables());
    for (std::size_t i = 0; i < expected.numVariables(); ++i)
        for (int p = 0; p < expected.matrixSize(); ++p) {
            const float a = actual.data(i)[p], e = expected.data(i)[p];
            if (std::isnan(e))
                EXPECT_TRUE(std::isnan(a)) << expected.varName(int(i)) << " at " << p;
            else
                EXPECT_NEAR(a, e, tolerance) << expected.varName(int(i)) << " at " << p;
        }
}

const RigidTransform kMotion(Rotation(20, -35, 110, Rotation::Deg), Vector3(4, -2, 7));

} // namespace

// A rigid transform followed by its inverse gives the input back; both are recorded.
// (Uncertainties along rotated axes are not invertible: the rotation mixes them.)
TEST(CoordinateTransformation, TransformThenInverseRestoresTheInput) {
    ZelDataSet set = setOf({stereoFixture(false)});
    const ZelData original(*set.data(0));
    applyTransformation(set, kMotion, false, Type3d);
    EXPECT_NEAR(values(*set.data(0), "X")[1], (kMotion * Vector3(1, 0, 0)).x, 1e-5);
    EXPECT_NE(values(*set.data(0), "U")[0], 1.0f);
    applyTransformation(set, RigidTransform::inverse(kMotion), false, Type3d);
    expectSameValues(*set.data(0), original, 1e-5);

    const nlohmann::json recorded = history(set);
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0], kMotion.toJson());
    EXPECT_EQ(recorded[1], RigidTransform::inverse(kMotion).toJson());
}

// Blanked points keep every value; the uncertainties stay non-negative and keep their
// length for a rotation that only swaps axes.
TEST(CoordinateTransformation, BlankedPointsAndUncertainties) {
    ZelDataSet set = setOf({stereoFixture()});
    const ZelData original(*set.data(0));
    applyTransformation(set, RigidTransform(Rotation(0, 0, 90, Rotation::Deg), Vector3(1, 1, 1)), false, Type3d);
    const ZelData& area = *set.data(0);
    for (const char* name : {"X", "Y", "Z", "U", "V", "W", "SIGMA_X", "SIGMA_Y", "SIGMA_Z"})
        for (int p : {4, 5}) EXPECT_EQ(values(area, name)[p], values(original, name)[p]) << name << " at " << p;
    // About z by 90 degrees: the new x axis is the old y axis and vice versa.
    EXPECT_NEAR(values(area, "SIGMA_X")[1], 0.2f, 1e-6);
    EXPECT_NEAR(values(area, "SIGMA_Y")[1], 0.1f, 1e-6);
    EXPECT_GT(values(area, "SIGMA_X")[1], 0.0f);
    EXPECT_NEAR(values(area, "SIGMA_Z")[1], 0.3f, 1e-6);
}

// A pure translation moves positions in full mode and displacements otherwise.
TEST(CoordinateTransformation, TranslationInFullAndDisplacementOnlyMode) {
    struct Case {
        bool displacementOnly;
        float xShift, uShift;
    };
    for (const Case& c : {Case{false, 1.0f, 0.0f}, Case{true, 0.0f, 1.0f}}) {
        SCOPED_TRACE(c.displacementOnly);
        ZelDataSet set = setOf({stereoFixture()});
        const ZelData original(*set.data(0));
        applyTransformation(set, RigidTransform(Rotation(0, 0, 0, Rotation::Deg), Vector3(1, 0, 0)),
                            c.displacementOnly, Type3d);
        for (int p = 0; p < 4; ++p) {
            EXPECT_FLOAT_EQ(values(*set.data(0), "X")[p], values(original, "X")[p] + c.xShift);
            EXPECT_FLOAT_EQ(values(*set.data(0), "U")[p], values(original, "U")[p] + c.uShift);
            EXPECT_FLOAT_EQ(values(*set.data(0), "SIGMA_X")[p], values(original, "SIGMA_X")[p]);
        }
        EXPECT_EQ(history(set).size(), 1u);
    }
}

// The displacement-only mode re-expresses the deformed shape: u := t(p + u) - p.
TEST(CoordinateTransformation, DisplacementOnlyMovesTheDeformedShape) {
    ZelDataSet set = setOf({stereoFixture()});
    const ZelData original(*set.data(0));
    applyTransformation(set, kMotion, true, Type3d);
    for (int p = 0; p < 4; ++p) {
        const Vector3 position(values(original, "X")[p], values(original, "Y")[p], values(original, "Z")[p]);
        const Vector3 u(values(original, "U")[p], values(original, "V")[p], values(original, "W")[p]);
        const Vector3 expected = kMotion * (position + u) - position;
        EXPECT_NEAR(values(*set.data(0), "U")[p], expected.x, 1e-5);
        EXPECT_NEAR(values(*set.data(0), "W")[p], expected.z, 1e-5);
        EXPECT_EQ(values(*set.data(0), "X")[p], values(original, "X")[p]);
    }
}

// An area without a required variable is left alone; the history still gets one entry.
TEST(CoordinateTransformation, AreasLackingRequiredVariablesStayUnchanged) {
    const ZelData noZ = makeArea(2, 1, {{"X", GlobalCoordinate, {1, 2}}, {"Y", GlobalCoordinate, {3, 4}},
                                        {"sigma", Correlation, {0, 0}}});
    const ZelData noBlanking = makeArea(2, 1, {{"X", GlobalCoordinate, {1, 2}}, {"Y", GlobalCoordinate, {3, 4}},
                                               {"Z", GlobalCoordinate, {5, 6}}});
    ZelDataSet set = setOf({stereoFixture(), noZ, noBlanking});
    applyTransformation(set, kMotion, false, Type3d);
    EXPECT_NE(values(*set.data(0), "X")[0], 0.0f);
    expectSameValues(*set.data(1), noZ, 0.0);
    expectSameValues(*set.data(2), noBlanking, 0.0);
    EXPECT_EQ(history(set).size(), 1u);
}

// Planar data: positions (x_c, y_c, 0) are mapped, displacements rotated; without u_c
// the area is left alone.
TEST(CoordinateTransformation, PlanarAreas) {
    const std::vector<AreaVariable> planar = {{"x_c", Unknown, {1, 0}}, {"y_c", Unknown, {0, 2}},
                                              {"u_c", Unknown, {0.5f, 0}}, {"v_c", Unknown, {0, 0}},
                                              {"sigma", Correlation, {0, 0}}};
    const ZelData withoutU = makeArea(2, 1, {planar[0], planar[1], planar[3], planar[4]});
    ZelDataSet set = setOf({makeArea(2, 1, planar), withoutU});
    const RigidTransform turn(Rotation(0, 0, 90, Rotation::Deg), Vector3(10, 0, 0));
    applyTransformation(set, turn, false, Type2d);
    EXPECT_NEAR(values(*set.data(0), "x_c")[0], 10.0f, 1e-6);
    EXPECT_NEAR(values(*set.data(0), "y_c")[0], 1.0f, 1e-6);
    EXPECT_NEAR(values(*set.data(0), "x_c")[1], 8.0f, 1e-6);
    EXPECT_NEAR(values(*set.data(0), "u_c")[0], 0.0f, 1e-6);
    EXPECT_NEAR(values(*set.data(0), "v_c")[0], 0.5f, 1e-6);
    expectSameValues(*set.data(1), withoutU, 0.0);

    ZelDataSet shifted = setOf({makeArea(2, 1, planar)});
    applyTransformation(shifted, turn, true, Type2d);
    EXPECT_EQ(values(*shifted.data(0), "x_c")[0], 1.0f);
    EXPECT_NEAR(values(*shifted.data(0), "u_c")[0], 10.0f - 1.0f, 1e-6);  // (1.5, 0) -> (10, 1.5)
    EXPECT_NEAR(values(*shifted.data(0), "v_c")[0], 1.5f, 1e-6);
}

// Points on a cylinder about y, displaced by a turn about its axis that carries some of
// them across the seam at theta = +-pi: radius, angle and axial position, with angle
// changes free of full-turn jumps.
TEST(CoordinateTransformation, CylinderCoordinatesWithoutSeamJump) {
    const double radius = 2.0, turn = 0.3;
    const double angles[] = {Pi - 0.1, -Pi + 0.05, 0.0, Pi / 2, -Pi / 2, Pi - 0.29};
    std::vector<float> X, Y, Z, U, V, W;
    for (int k = 0; k < 6; ++k) {
        const double a = angles[k];
        X.push_back(float(radius * std::sin(a))), Y.push_back(float(k)), Z.push_back(float(radius * std::cos(a)));
        U.push_back(float(radius * std::sin(a + turn)) - X.back()), V.push_back(0.5f);
        W.push_back(float(radius * std::cos(a + turn)) - Z.back());
    }
    ZelDataSet set = setOf({makeArea(3, 2, {{"X", GlobalCoordinate, X}, {"Y", GlobalCoordinate, Y},
                                           {"Z", GlobalCoordinate, Z}, {"U", GlobalDisplacement, U},
                                           {"V", GlobalDisplacement, V}, {"W", GlobalDisplacement, W},
                                           {"sigma", Correlation, std::vector<float>(6, 0.0f)}})});
    applyCylinderTransformation(set, CylinderTransformation{RigidTransform::identity()}, Type3d);
    const ZelData& area = *set.data(0);
    for (int k = 0; k < 6; ++k) {
        SCOPED_TRACE(k);
        EXPECT_NEAR(values(area, "R")[k], radius, 1e-6);
        EXPECT_NEAR(values(area, "Theta")[k], angles[k], 1e-6);
        EXPECT_NEAR(values(area, "Zc")[k], k, 1e-6);
        EXPECT_NEAR(values(area, "dR")[k], 0.0, 1e-5);
        EXPECT_NEAR(values(area, "dTheta")[k], turn, 1e-5);
        EXPECT_NEAR(values(area, "dZ")[k], 0.5, 1e-6);
        EXPECT_FLOAT_EQ(values(area, "X")[k], X[k]);
    }
    EXPECT_EQ(history(set).size(), 0u);
}

// The identity frame: (1, 5, 0) lies at R 1, Theta pi/2; (0, 2, -3) at Theta pi. The
// variable types follow the system type; without U only R, Theta and Zc are added, and
// a second application adds a suffixed set.
TEST(CoordinateTransformation, CylinderVariablesAndTypes) {
    struct Case {
        CsDataSystemType type;
        ZelDataVariableType thetaType;
    };
    for (const Case& c : {Case{Type2d, CylinderCoordinate}, Case{Type3d, Angle}}) {
        SCOPED_TRACE(int(c.type));
        const ZelData area = makeArea(2, 1, {{"X", GlobalCoordinate, {1, 0}}, {"Y", GlobalCoordinate, {5, 2}},
                                             {"Z", GlobalCoordinate, {0, -3}}, {"sigma", Correlation, {0, 0}}});
        ZelDataSet set = setOf({area});
        const CylinderTransformation identity{RigidTransform::identity()};
        applyCylinderTransformation(set, identity, c.type);
        applyCylinderTransformation(set, identity, c.type);
        const ZelData& result = *set.data(0);
        ASSERT_EQ(result.numVariables(), 4u + 6u);
        EXPECT_EQ(result.varName(4), "R");
        EXPECT_EQ(result.varDescription(5), "Theta [rad]");
        EXPECT_EQ(result.varType(4), CylinderCoordinate);
        EXPECT_EQ(result.varType(5), c.thetaType);
        EXPECT_EQ(result.varType(6), CylinderCoordinate);
        EXPECT_EQ(result.varName(7), "R_1");
        EXPECT_FLOAT_EQ(values(result, "R")[0], 1.0f);
        EXPECT_FLOAT_EQ(values(result, "Theta")[0], float(Pi / 2));
        EXPECT_FLOAT_EQ(values(result, "Zc")[0], 5.0f);
        EXPECT_FLOAT_EQ(values(result, "R")[1], 3.0f);
        EXPECT_FLOAT_EQ(values(result, "Theta")[1], float(Pi));
    }
}

// Moving positions or displacements drops the cached point-search trees: a lookup
// through the trees afterwards finds the moved point, not the one nearest to where
// the points used to be.
TEST(CoordinateTransformation, SearchTreesFollowTheMovedPoints) {
    struct Case {
        bool displacementOnly;
        bool deformed;
        Vector2 before, after;
    };
    const Case cases[] = {{false, false, {14, 13}, {114, 13}}, {true, true, {15, 15}, {115, 15}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.displacementOnly);
        std::vector<float> X, Y;
        for (int p = 0; p < 16; ++p) X.push_back(10.0f * float(p % 4)), Y.push_back(10.0f * float(p / 4));
        ZelDataSet set = setOf({makeArea(4, 4, {{"X", GlobalCoordinate, X}, {"Y", GlobalCoordinate, Y},
                                               {"Z", GlobalCoordinate, std::vector<float>(16, 0.0f)},
                                               {"U", GlobalDisplacement, std::vector<float>(16, 1.0f)},
                                               {"V", GlobalDisplacement, std::vector<float>(16, 2.0f)},
                                               {"W", GlobalDisplacement, std::vector<float>(16, 0.0f)},
                                               {"sigma", Correlation, std::vector<float>(16, 0.0f)}})});
        ASSERT_EQ(set.data(0)->extractGlobalPoint(c.before, c.deformed, true).first, 5);
        applyTransformation(set, RigidTransform(Rotation(0, 0, 0, Rotation::Deg), Vector3(100, 0, 0)),
                            c.displacementOnly, Type3d);
        EXPECT_EQ(set.data(0)->extractGlobalPoint(c.after, c.deformed, true).first, 5);
    }
}
