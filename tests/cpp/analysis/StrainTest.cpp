#include "orvex/analysis/Strain.h"

#include "AreaBuilder.h"
#include "DirectReference.h"

#include "orvex/analysis/StrainTensors.h"
#include "orvex/core/CPUInfo.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace orvex;

namespace {

const double lambda = 1.1;

GridFields stretchedGrid(int columns = 12, int rows = 10, double stretch = lambda) {
    return GridFields(columns, rows, planarGrid(),
                      [stretch](const Vector3& p) { return Vector3((stretch - 1) * p.x, 0, 0); });
}

// A gently curved surface under a displacement with curvature of its own.
GridFields curvedGrid(int columns, int rows) {
    return GridFields(
        columns, rows, [](int r, int c) { return Vector3(c * 0.5, r * 0.5, 0.1 * std::sin(0.2 * c + 0.1 * r)); },
        [](const Vector3& p) {
            return Vector3(0.01 * p.x + 0.002 * p.y * p.y, 0.03 * std::sin(p.x), 0.004 * p.x * p.y);
        });
}

// Each tensor type: its label, its function and the exx of a uniform stretch by λ.
struct Tensor {
    int type;
    const char* label;
    tensor_func fn;
    double (*stretch)(double lambda);
};
const Tensor kTensors[] = {
    {0, "Lagrange", tensor_lagrange, [](double l) { return 0.5 * (l * l - 1); }},
    {1, "Hencky", tensor_hencky, [](double l) { return std::log(l); }},
    {2, "Euler", tensor_euler, [](double l) { return 0.5 * (1 - 1 / (l * l)); }},
    {3, "Log. Euler", tensor_log_euler, [](double l) { return std::log(l); }},
    {4, "engr.", tensor_engineering, [](double l) { return l - 1; }},
    {5, "Biot", tensor_biot, [](double l) { return l - 1; }},
};

// The values of a variable found by name.
float* values(ZelData& area, const char* name) { return area.data(area.findVariable(name)); }

// A set holding copies of the given areas, in order.
ZelDataSet dataSetOf(const std::vector<ZelData>& areas) {
    ZelDataSet set;
    for (const ZelData& area : areas) set.addData(new ZelData(area));
    return set;
}

StrainComputationSettings settingsWithWindow(int windowSize) {
    StrainComputationSettings settings;
    settings.windowSize = windowSize;
    return settings;
}

std::vector<int> fields(const StrainVariableIds& ids) {
    return {ids.exx, ids.exy, ids.eyy, ids.fxx, ids.fxy, ids.fyx,
            ids.fyy, ids.e1, ids.e2, ids.gamma, ids.tresca, ids.vonmises};
}
const std::vector<int> kNone(12, -1);

int count(const std::vector<std::string>& messages, const std::string& text) {
    return int(std::count(messages.begin(), messages.end(), text));
}

} // namespace

// Every optional output of a uniform stretch: the variables in creation order after
// the area's own, their descriptions, values and metadata records.
TEST(Strain, UniformStretchCreatesEveryRequestedVariable) {
    ZelDataSet set = dataSetOf({stereoArea(stretchedGrid())});
    StrainComputationSettings settings = settingsWithWindow(5);
    settings.computePrincipalStrain = settings.computeTresca = settings.computeVonMises = true;
    settings.outputGradient = settings.addSizeToDescription = true;
    std::vector<StrainVariableIds> ids;
    ASSERT_TRUE(computeStrain(&set, settings, &ids));

    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(fields(ids[0]), (std::vector<int>{7, 9, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18}));
    const ZelData& area = *set.data(0);
    const char* names[] = {"exx", "eyy", "exy", "fxx", "fxy", "fyx", "fyy",
                           "e1", "e2", "gamma", "e_tresca", "e_vonmises"};
    const char* descriptions[] = {"exx [1] - Lagrange (5 filter)", "eyy [1] - Lagrange (5 filter)",
                                  "exy [1] - Lagrange (5 filter)", "fxx [1]", "fxy [1]", "fyx [1]", "fyy [1]",
                                  "e1 [1] - Lagrange (5 filter)", "e2 [1] - Lagrange (5 filter)",
                                  "gamma [1] - Lagrange (5 filter)", "Tresca Strain [1] - Lagrange (5 filter)",
                                  "Von Mises Strain [1] - Lagrange (5 filter)"};
    const double exx = 0.5 * (lambda * lambda - 1);
    const double expected[] = {exx, 0, 0, lambda - 1, 0, 0, 0, exx, 0, 0, 0.5 * exx, exx * 2 / 3};
    for (int k = 0; k < 12; ++k) {
        SCOPED_TRACE(names[k]);
        EXPECT_EQ(area.varName(7 + k), names[k]);
        EXPECT_EQ(area.varDescription(7 + k), descriptions[k]);
        EXPECT_EQ(area.varType(7 + k), Strain);
        for (int p = 0; p < area.matrixSize(); ++p) ASSERT_NEAR(area.data(7 + k)[p], expected[k], 1e-5);
        const auto info = set.additionalVarInfo(0, names[k]);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->strainFilterSize, 5);
        EXPECT_EQ(info->strainTensorType, LagrangeStrainTensor);
    }
}

// Each tensor type: its label, the smoothed strain of a stretch, and the principal
// values of a simple shear (for the engineering tensor exy is the shear angle).
TEST(Strain, TensorTypesSelectFunctionAndLabel) {
    std::vector<Tensor> cases(std::begin(kTensors), std::end(kTensors));
    cases.push_back({7, "Lagrange", tensor_lagrange, kTensors[0].stretch});
    const double gamma = 0.05;
    for (const Tensor& cs : cases) {
        SCOPED_TRACE(cs.label);
        StrainComputationSettings settings = settingsWithWindow(3);
        settings.tensorType = TensorType(cs.type);
        settings.computePrincipalStrain = true;
        ZelDataSet stretched = dataSetOf({stereoArea(stretchedGrid(6, 5))});
        ASSERT_TRUE(computeStrain(&stretched, settings, nullptr));
        const ZelData& a = *stretched.data(0);
        EXPECT_EQ(a.varDescription(7), std::string("exx [1] - ") + cs.label);
        EXPECT_NEAR(a.data(7)[14], cs.stretch(lambda), 2e-6);
        EXPECT_NEAR(a.data(8)[14], 0.0, 2e-6);

        ZelDataSet sheared = dataSetOf({stereoArea(GridFields(
            6, 5, planarGrid(), [gamma](const Vector3& p) { return Vector3(gamma * p.y, 0, 0); }))});
        ASSERT_TRUE(computeStrain(&sheared, settings, nullptr));
        const ZelData& s = *sheared.data(0);
        const float exx = s.data(7)[14], eyy = s.data(8)[14], exy = s.data(9)[14];
        const double shear = cs.type == EngineeringStrain ? 0.5 * exy : exy;
        const double m = 0.5 * (exx + eyy), r = std::hypot(0.5 * (exx - eyy), shear);
        EXPECT_LT(exy, 0.0f); // frame (x, −y)
        EXPECT_NEAR(s.data(10)[14], m + r, 1e-6);
        EXPECT_NEAR(s.data(11)[14], m - r, 1e-6);
        EXPECT_NEAR(s.data(12)[14], 0.5 * std::atan2(shear, 0.5 * (exx - eyy)), 1e-6);
    }
}

// Tresca and von Mises of the uniform planar motion u = a·x, v = b·y (Lagrange:
// e1, e2 = a + a²/2 and b + b²/2), one case per Tresca branch.
TEST(Strain, TrescaAndVonMisesOfPrincipalStrains) {
    struct Case {
        double a, b;
        double e1, e2, tresca, vonMises;
    } cases[] = {
        {0.1, 0.0, 0.105, 0.0, 0.0525, 0.07},                        // e1 > 0, e2 ≥ 0: ½e1
        {0.1, -0.05, 0.105, -0.04875, 0.076875, 0.0907262365581},    // e1 > 0 > e2: ½(e1 − e2)
        {-0.1, -0.05, -0.04875, -0.095, 0.0475, 0.0548546058028},    // e1 ≤ 0: −½e2
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(::testing::Message() << "a " << cs.a << " b " << cs.b);
        ZelDataSet set = dataSetOf({stereoArea(GridFields(7, 6, planarGrid(), [&](const Vector3& p) {
            return Vector3(cs.a * p.x, cs.b * p.y, 0);
        }))});
        StrainComputationSettings settings = settingsWithWindow(3);
        settings.computePrincipalStrain = settings.computeTresca = settings.computeVonMises = true;
        std::vector<StrainVariableIds> ids;
        ASSERT_TRUE(computeStrain(&set, settings, &ids));
        const ZelData& area = *set.data(0);
        for (int p = 0; p < area.matrixSize(); ++p) {
            ASSERT_NEAR(area.data(ids[0].e1)[p], cs.e1, 1e-6);
            ASSERT_NEAR(area.data(ids[0].e2)[p], cs.e2, 1e-6);
            ASSERT_NEAR(area.data(ids[0].tresca)[p], cs.tresca, 1e-6);
            ASSERT_NEAR(area.data(ids[0].vonmises)[p], cs.vonMises, 1e-6);
        }
    }
}

TEST(Strain, RigidRotationGivesZeroStrain) {
    const double theta = 0.4, c = std::cos(theta), s = std::sin(theta);
    ZelDataSet set = dataSetOf({stereoArea(GridFields(8, 7, planarGrid(), [&](const Vector3& p) {
        return Vector3(c * p.x - s * p.y - p.x, s * p.x + c * p.y - p.y, 0);
    }))});
    for (int type = 0; type <= 5; ++type) {
        StrainComputationSettings settings = settingsWithWindow(5);
        settings.tensorType = TensorType(type);
        settings.computeVonMises = true;
        settings.outputGradient = true;
        std::vector<StrainVariableIds> ids;
        ASSERT_TRUE(computeStrain(&set, settings, &ids));
        const ZelData& area = *set.data(0);
        for (int p = 0; p < area.matrixSize(); ++p) {
            for (int id : {ids[0].exx, ids[0].eyy, ids[0].exy, ids[0].vonmises})
                ASSERT_NEAR(area.data(id)[p], 0.0, 2e-6) << "tensor " << type;
            ASSERT_NEAR(area.data(ids[0].fxx)[p], c - 1, 1e-6);
        }
    }
}

TEST(Strain, WindowSizes) {
    {   // Too small: the first gridded area fails before any variable exists.
        auto& log = orvex::testing::LogCapture::emptied();
        ZelDataSet set = dataSetOf({stereoArea(stretchedGrid()), stereoArea(stretchedGrid())});
        std::vector<StrainVariableIds> ids(5);
        EXPECT_FALSE(computeStrain(&set, settingsWithWindow(2), &ids));
        ASSERT_EQ(ids.size(), 1u);
        EXPECT_EQ(fields(ids[0]), kNone);
        EXPECT_EQ(set.data(0)->numVariables(), 7u);
        EXPECT_EQ(log.messages, std::vector<std::string>{"Smoothing window too small in computeStrain()"});
        EXPECT_FALSE(set.additionalVarInfo(0, "exx"));
    }
    {   // Even: smoothed with the next odd size, recorded as given.
        auto& log = orvex::testing::LogCapture::emptied();
        ZelDataSet set = dataSetOf({stereoArea(stretchedGrid())});
        StrainComputationSettings settings = settingsWithWindow(16);
        settings.addSizeToDescription = true;
        ASSERT_TRUE(computeStrain(&set, settings, nullptr));
        EXPECT_EQ(count(log.messages, "Even smoothing window in computeStrain(). Proceeding with next valid size."), 1);
        EXPECT_EQ(set.data(0)->varDescription(7), "exx [1] - Lagrange (17 filter)");
        EXPECT_EQ(set.additionalVarInfo(0, "exx")->strainFilterSize, 16);
    }
}

TEST(Strain, SuffixAndDescriptionLabel) {
    struct Case {
        const char* suffix;
        const char* name;
        const char* description;
        bool warned;
    } cases[] = {
        {"_left", "exx_left", "exx (left) [1] - Lagrange", false},
        {"right_2", "exx_right_2", "exx (right_2) [1] - Lagrange", false},
        {"", "exx", "exx [1] - Lagrange", false},
        {"_", "exx", "exx [1] - Lagrange", true},
        {"a-b", "exx", "exx [1] - Lagrange", true},
        {"gr\xC3\xBC" "n", "exx", "exx [1] - Lagrange", true},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.suffix);
        auto& log = orvex::testing::LogCapture::emptied();
        ZelDataSet set = dataSetOf({stereoArea(stretchedGrid())});
        StrainComputationSettings settings = settingsWithWindow(5);
        settings.suffix = cs.suffix;
        settings.computeTresca = true;
        ASSERT_TRUE(computeStrain(&set, settings, nullptr));
        EXPECT_EQ(set.data(0)->varName(7), cs.name);
        EXPECT_EQ(set.data(0)->varDescription(7), cs.description);
        const std::string warning = std::string("Invalid suffix '") + cs.suffix +
                                    "only alphanumericals and underscore are allowed. Ignoring.";
        EXPECT_EQ(count(log.messages, warning), cs.warned ? 1 : 0);
    }
    ZelDataSet set = dataSetOf({stereoArea(stretchedGrid())});
    StrainComputationSettings settings = settingsWithWindow(5);
    settings.suffix = "_left";
    settings.computeTresca = settings.computeVonMises = true;
    ASSERT_TRUE(computeStrain(&set, settings, nullptr));
    EXPECT_EQ(set.data(0)->varName(10), "e_tresca_left");
    EXPECT_EQ(set.data(0)->varDescription(10), "Tresca Strain (left) [1] - Lagrange");
    EXPECT_EQ(set.data(0)->varDescription(11), "Von Mises Strain (left) [1] - Lagrange");
}

// A reused variable keeps its values where the smoothing writes nothing; without reuse
// a second variable is added under a unique name.
TEST(Strain, ReusingVariables) {
    GridFields g = stretchedGrid();
    g.blanking[0] = -1.0f;
    std::vector<float> old(g.size(), 42.0f);
    for (bool reuse : {true, false}) {
        ZelData area = stereoArea(g);
        const int existing = area.addVariable(Strain, "exx", "old strain");
        std::copy(old.begin(), old.end(), area.data(existing));
        ZelDataSet set = dataSetOf({area});
        StrainComputationSettings settings = settingsWithWindow(5);
        settings.reuseVariables = reuse;
        std::vector<StrainVariableIds> ids;
        ASSERT_TRUE(computeStrain(&set, settings, &ids));
        const ZelData& a = *set.data(0);
        if (reuse) {
            EXPECT_EQ(ids[0].exx, existing);
            EXPECT_EQ(a.varDescription(existing), "exx [1] - Lagrange");
            EXPECT_EQ(a.data(existing)[0], 42.0f);
            EXPECT_NEAR(a.data(existing)[30], 0.5 * (lambda * lambda - 1), 1e-5);
        } else {
            EXPECT_EQ(ids[0].exx, existing + 1);
            EXPECT_EQ(a.varName(ids[0].exx), "exx_1");
            EXPECT_EQ(a.data(ids[0].exx)[0], 0.0f);
            EXPECT_EQ(a.data(existing)[30], 42.0f);
        }
    }
}

// Areas that are not gridded are passed over; a failing area ends the call with the
// earlier areas computed and nothing recorded.
TEST(Strain, AreasInOrder) {
    const ZelData gridded = stereoArea(stretchedGrid());
    {
        ZelDataSet set = dataSetOf({gridded, notGridded(gridded), gridded});
        std::vector<StrainVariableIds> ids;
        ASSERT_TRUE(computeStrain(&set, settingsWithWindow(5), &ids));
        ASSERT_EQ(ids.size(), 3u);
        EXPECT_EQ(fields(ids[1]), kNone);
        EXPECT_EQ(ids[2].exx, 7);
        EXPECT_EQ(set.data(1)->numVariables(), 7u);
    }
    {
        auto& log = orvex::testing::LogCapture::emptied();
        GridFields planarOnly = stretchedGrid();
        const ZelData noCoordinates = makeArea(12, 10, {{"sigma", Correlation, planarOnly.blanking}});
        ZelDataSet set = dataSetOf({gridded, noCoordinates, gridded});
        std::vector<StrainVariableIds> ids;
        EXPECT_FALSE(computeStrain(&set, settingsWithWindow(5), &ids));
        EXPECT_EQ(ids.size(), 2u);
        EXPECT_EQ(set.data(0)->numVariables(), 10u);
        EXPECT_EQ(set.data(2)->numVariables(), 7u);
        EXPECT_FALSE(set.additionalVarInfo(0, "exx"));
        EXPECT_EQ(log.messages, std::vector<std::string>{"Could not find coordinates for strain computation."});
    }
    {   // Without blanking variable: false without message.
        auto& log = orvex::testing::LogCapture::emptied();
        GridFields g = stretchedGrid();
        ZelDataSet set = dataSetOf({makeArea(12, 10, {{"X", GlobalCoordinate, g.X}})});
        EXPECT_FALSE(computeStrain(&set, settingsWithWindow(5), nullptr));
        EXPECT_TRUE(log.messages.empty());
    }
    std::vector<StrainVariableIds> untouched(2);
    EXPECT_FALSE(computeStrain(nullptr, settingsWithWindow(5), &untouched));
    EXPECT_EQ(untouched.size(), 2u);
}

// Planar coordinates found through the default sets or named displacements; the
// stereo set with named displacements.
TEST(Strain, CoordinateSets) {
    const GridFields g = stretchedGrid(7, 6);
    const std::vector<float> zero(g.size(), 0.0f);
    struct Case {
        const char* name;
        std::vector<AreaVariable> variables;
        std::vector<std::string> names;
    } cases[] = {
        {"pixel", {{"x", PixelCoordinate, g.X}, {"y", PixelCoordinate, g.Y}, {"u", PixelDisplacement, g.U},
                   {"v", PixelDisplacement, g.V}}, {}},
        {"world planar", {{"x_c", GlobalCoordinate, g.X}, {"y_c", GlobalCoordinate, g.Y},
                          {"u_c", GlobalDisplacement, g.U}, {"v_c", GlobalDisplacement, g.V}}, {}},
        {"pixel x_c", {{"x_c", PixelCoordinate, g.X}, {"y_c", PixelCoordinate, g.Y},
                       {"u_c", PixelDisplacement, g.U}, {"v_c", PixelDisplacement, g.V}}, {}},
        {"two names", {{"x", PixelCoordinate, g.X}, {"y", PixelCoordinate, g.Y}, {"du", Unknown, g.U},
                       {"dv", Unknown, g.V}}, {"du", "dv"}},
        {"three names", {{"X", GlobalCoordinate, g.X}, {"Y", GlobalCoordinate, g.Y}, {"Z", GlobalCoordinate, zero},
                         {"dU", Unknown, g.U}, {"dV", Unknown, g.V}, {"dW", Unknown, zero}}, {"dU", "dV", "dW"}},
        {"missing names fall back", {{"x", PixelCoordinate, g.X}, {"y", PixelCoordinate, g.Y},
                                     {"u", PixelDisplacement, g.U}, {"v", PixelDisplacement, g.V}}, {"a", "b"}},
    };
    for (Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        cs.variables.push_back({"sigma", Correlation, g.blanking});
        ZelDataSet set = dataSetOf({makeArea(g.columns, g.rows, cs.variables)});
        StrainComputationSettings settings = settingsWithWindow(3);
        settings.displacementVariables = cs.names;
        std::vector<StrainVariableIds> ids;
        ASSERT_TRUE(computeStrain(&set, settings, &ids));
        EXPECT_NEAR(set.data(0)->data(ids[0].exx)[20], 0.5 * (lambda * lambda - 1), 1e-5);
    }
}

// Blanked points stay blanked; points without a triangle become blanked with zero
// derived values.
TEST(Strain, BlankedPoints) {
    GridFields g = stretchedGrid(8, 6);
    g.blanking[g.index(2, 3)] = -5.0f;
    g.blanking[g.index(0, 1)] = -5.0f; // leaves (0, 0) with one neighbour
    ZelDataSet set = dataSetOf({stereoArea(g)});
    StrainComputationSettings settings = settingsWithWindow(5);
    settings.computePrincipalStrain = settings.computeTresca = settings.computeVonMises = true;
    std::vector<StrainVariableIds> ids;
    ASSERT_TRUE(computeStrain(&set, settings, &ids));
    const ZelData& a = *set.data(0);
    const float* sigma = a.data(6);
    EXPECT_EQ(sigma[g.index(2, 3)], -5.0f);
    EXPECT_EQ(sigma[g.index(0, 1)], -5.0f);
    EXPECT_EQ(sigma[g.index(0, 0)], -1.0f);
    for (int id : {ids[0].exx, ids[0].e1, ids[0].e2, ids[0].gamma, ids[0].tresca, ids[0].vonmises}) {
        EXPECT_EQ(a.data(id)[g.index(0, 0)], 0.0f);
        EXPECT_EQ(a.data(id)[g.index(2, 3)], 0.0f);
    }
    EXPECT_GT(a.data(ids[0].e1)[g.index(3, 3)], 0.0f);
}

// Of the valid points (1, 0), (1, 1) and (2, 0) of a stretch by 1.01 only (1, 0) keeps
// a triangle, and its window holds no other valid point: it holds its own unsmoothed
// strain and gradient, in new variables and in variables reused after a run over the
// whole grid stretched by 1.03, and the derived values follow from them.
TEST(Strain, PointWithoutFitHoldsItsOwnValue) {
    const GridFields g = stretchedGrid(5, 5, 1.01);
    std::vector<float> mask(g.size(), -1.0f);
    for (int p : {g.index(1, 0), g.index(1, 1), g.index(2, 0)}) mask[p] = 0.5f;
    const int point = g.index(1, 0);
    for (const Tensor& tensor : kTensors)
        for (bool reuse : {false, true}) {
            SCOPED_TRACE(::testing::Message() << tensor.label << (reuse ? ", reused" : ", new"));
            StrainComputationSettings settings = settingsWithWindow(15);
            settings.tensorType = TensorType(tensor.type);
            settings.computePrincipalStrain = settings.computeVonMises = settings.outputGradient = true;
            settings.reuseVariables = reuse;
            ZelDataSet set = dataSetOf({stereoArea(reuse ? stretchedGrid(5, 5, 1.03) : g)});
            ZelData& area = *set.data(0);
            if (reuse) {
                ASSERT_TRUE(computeStrain(&set, settings, nullptr));
                std::copy(g.U.begin(), g.U.end(), values(area, "U"));
            }
            std::copy(mask.begin(), mask.end(), values(area, "sigma"));
            std::vector<StrainVariableIds> ids;
            ASSERT_TRUE(computeStrain(&set, settings, &ids));
            const float* sigma = values(area, "sigma");
            ASSERT_EQ(std::count_if(sigma, sigma + g.size(), [](float b) { return b >= 0.0f; }), 1);
            ASSERT_EQ(sigma[point], 0.5f);
            EXPECT_EQ(area.numVariables(), 18u);
            const double exx = tensor.stretch(1.01);
            EXPECT_NEAR(area.data(ids[0].exx)[point], exx, 1e-7);
            EXPECT_NEAR(area.data(ids[0].e1)[point], exx, 1e-7);
            EXPECT_NEAR(area.data(ids[0].vonmises)[point], exx * 2 / 3, 1e-7);
            EXPECT_NEAR(area.data(ids[0].fxx)[point], 0.01, 1e-7);
        }
}

// With random masks, at every valid point the strain and gradient are the fit of the
// point's window where it has one (the direct reference) and the point's own
// unsmoothed value where it has none; invalid points keep a reused variable's old
// values, or a new one's 0; the principal strains follow from what each point holds.
TEST(Strain, ValidPointsHoldTheirFitOrTheirOwnValue) {
    const struct {
        unsigned seed;
        int invalidPercent;
        int window;
    } cases[] = {{1, 30, 3}, {2, 45, 5}, {3, 55, 9}};
    const int columns = 31, rows = 23, size = columns * rows;
    // In the order of the reference's rows: gradient, then strain.
    const char* const names[7] = {"fxx", "fxy", "fyx", "fyy", "exx", "eyy", "exy"};
    for (const auto& cs : cases) {
        GridFields g = curvedGrid(columns, rows);
        std::mt19937 random(cs.seed);
        for (float& b : g.blanking)
            if (int(random() % 100) < cs.invalidPercent) b = -1.0f;
        int fitted = 0, own = 0;
        for (const Tensor& tensor : kTensors) {
            // The reference's raw values and blanking, then its fits (NaN where none).
            GridFields expected = g;
            Array2<float> strain(3, size), gradient(4, size), fits(7, size);
            reference::computeStrain(strain, gradient, expected.X.data(), expected.Y.data(), expected.Z.data(),
                                     expected.U.data(), expected.V.data(), expected.W.data(),
                                     expected.blanking.data(), tensor.fn, columns, rows);
            Array1<float const*> raw;
            Array1<float*> fit;
            for (int k = 0; k < 7; ++k) {
                raw.push_back(k < 4 ? gradient[k] : strain[k - 4]);
                fit.push_back(fits[k]);
                std::fill(fits[k], fits[k] + size, NAN);
            }
            reference::smooth(fit, raw, expected.blanking.data(), columns, rows, cs.window, true);
            for (bool reuse : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "seed " << cs.seed << ", " << tensor.label
                                                << (reuse ? ", reused" : ", new"));
                ZelData area = stereoArea(g);
                if (reuse)
                    for (int k = 0; k < 7; ++k) {
                        const int id = area.addVariable(Strain, names[k], "old");
                        std::fill(area.data(id), area.data(id) + size, 40.0f + k);
                    }
                ZelDataSet set = dataSetOf({area});
                StrainComputationSettings settings = settingsWithWindow(cs.window);
                settings.tensorType = TensorType(tensor.type);
                settings.computePrincipalStrain = settings.outputGradient = true;
                settings.reuseVariables = reuse;
                std::vector<StrainVariableIds> ids;
                ASSERT_TRUE(computeStrain(&set, settings, &ids));
                ZelData& a = *set.data(0);
                const int id[7] = {ids[0].fxx, ids[0].fxy, ids[0].fyx, ids[0].fyy,
                                   ids[0].exx, ids[0].eyy, ids[0].exy};
                const float* sigma = values(a, "sigma");
                for (int p = 0; p < size; ++p) {
                    SCOPED_TRACE(::testing::Message() << "point " << p);
                    ASSERT_EQ(sigma[p], expected.blanking[p]);
                    const bool valid = sigma[p] >= 0.0f, hasFit = !std::isnan(fits[0][p]);
                    fitted += valid && hasFit;
                    own += valid && !hasFit;
                    for (int k = 0; k < 7; ++k) {
                        const float value = a.data(id[k])[p];
                        if (!valid)
                            ASSERT_EQ(value, reuse ? 40.0f + k : 0.0f) << names[k];
                        else if (hasFit)
                            ASSERT_NEAR(value, fits[k][p], 1e-7) << names[k];
                        else
                            ASSERT_EQ(value, raw[k][p]) << names[k];
                    }
                    const float e1 = a.data(ids[0].e1)[p], e2 = a.data(ids[0].e2)[p];
                    const float exx = a.data(ids[0].exx)[p], eyy = a.data(ids[0].eyy)[p];
                    ASSERT_NEAR(e1 + e2, valid ? exx + eyy : 0.0f, 1e-7);
                }
            }
        }
        EXPECT_GT(own, 0) << "seed " << cs.seed;
        EXPECT_GT(fitted, 0) << "seed " << cs.seed;
    }
}

TEST(Strain, EmptyGridHasNothingToCompute) {
    const std::vector<float> none;
    ZelDataSet set = dataSetOf({makeArea(0, 0, {{"x", PixelCoordinate, none}, {"y", PixelCoordinate, none},
                                                {"u", PixelDisplacement, none}, {"v", PixelDisplacement, none},
                                                {"sigma", Correlation, none}})});
    std::vector<StrainVariableIds> ids;
    StrainComputationSettings settings = settingsWithWindow(5);
    settings.computePrincipalStrain = true;
    EXPECT_TRUE(computeStrain(&set, settings, &ids));
    EXPECT_EQ(fields(ids.at(0)), kNone);
    EXPECT_EQ(set.data(0)->numVariables(), 5u);
}

// Every variable the computation writes, and the blanking it changes, are the same bit
// for bit whatever the number of threads, around holes, cascades and grid edges.
TEST(Strain, ThreadCountDoesNotChangeResults) {
    const int columns = 47, rows = 41;
    GridFields g = curvedGrid(columns, rows);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            if ((r - 20) * (r - 20) + (c - 12) * (c - 12) < 30 || (c == 30 && r % 3 != 0))
                g.blanking[g.index(r, c)] = -1.0f;
    g.U[g.index(10, 40)] = NAN; // its neighbours lose triangles
    StrainComputationSettings settings = settingsWithWindow(9);
    settings.computePrincipalStrain = settings.computeTresca = settings.computeVonMises = true;
    settings.outputGradient = true;
    std::vector<std::vector<float>> reference;
    for (int threads : {1, 2, 3, 8, 60}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads");
        CPUInfo::forceThreads(threads);
        ZelDataSet set = dataSetOf({stereoArea(g)});
        ASSERT_TRUE(computeStrain(&set, settings, nullptr));
        const ZelData& area = *set.data(0);
        std::vector<std::vector<float>> results;
        for (std::size_t k = 6; k < area.numVariables(); ++k)
            results.emplace_back(area.data(k), area.data(k) + area.matrixSize());
        if (reference.empty()) {
            ASSERT_EQ(results.size(), 13u);
            reference = results;
            continue;
        }
        ASSERT_EQ(results.size(), reference.size());
        for (std::size_t k = 0; k < results.size(); ++k)
            EXPECT_EQ(std::memcmp(results[k].data(), reference[k].data(), results[k].size() * sizeof(float)), 0)
                << k;
    }
    CPUInfo::forceThreads(0);
}
