#include "orvex/analysis/Curvature.h"

#include "AreaBuilder.h"

#include "orvex/core/CPUInfo.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace orvex;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kStep = 0.5;

// Indexes of the variables a run adds after the seven of stereoArea.
enum Output { Cxx = 7, Cyy, Cxy, C1, C2, GammaC };

const char* const kNoTriangles = "############# not enough triangle neighbors";
const char* const kNormalSingular = "!!!!!!!!!!!!!!!!!! Could not invert matrix";
const char* const kQuadraticSingular = "!!!!!!!!!!!!!!!!!!!!! could not invert symmetric matrix";

using Height = std::function<double(double x, double y)>;

// A flat reference grid of spacing `step` centred on (0, 0) that the displacement carries
// onto the surface Z = height(X, Y), shifted in-plane by (0.5, −0.2) steps.
GridFields surface(int columns, int rows, const Height& height, double step = kStep) {
    const double dx = step / 2, dy = -step / 5;
    return GridFields(
        columns, rows,
        [columns, rows, step](int r, int c) {
            return Vector3((c - (columns - 1) / 2.0) * step, (r - (rows - 1) / 2.0) * step, 0.0);
        },
        [height, dx, dy](const Vector3& p) { return Vector3(dx, dy, height(p.x + dx, p.y + dy)); });
}

// A bowl of radius R touching Z = 0 at (x0, y0) from above.
Height sphere(double R) {
    return [R](double x, double y) { return R - std::sqrt(R * R - x * x - y * y); };
}

int count(const std::vector<std::string>& messages, const std::string& text) {
    return int(std::count(messages.begin(), messages.end(), text));
}

std::vector<float> values(const ZelData& area, int variable) {
    return std::vector<float>(area.data(variable), area.data(variable) + area.matrixSize());
}

} // namespace

TEST(Curvature, PrincipalCurvaturesOfTheForm) {
    struct Case {
        Vector3 t;
        float k1, k2, angle;
    } cases[] = {
        {{1, 0, 0}, 1, 0, 0},
        {{0, 0, 1}, 1, -1, float(kPi / 4)},
        {{0, 1, 0}, 1, 0, float(kPi / 2)},
        {{2, 2, 0}, 2, 2, 0},
        {{0.5, -0.5, -0.5}, float(std::sqrt(0.5)), float(-std::sqrt(0.5)), float(-kPi / 8)},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(::testing::Message() << cs.t.x << " " << cs.t.y << " " << cs.t.z);
        float k1 = -9, k2 = -9, angle = -9;
        calculatePrincipalCurvatures(k1, k2, angle, cs.t);
        EXPECT_FLOAT_EQ(k1, cs.k1);
        EXPECT_FLOAT_EQ(k2, cs.k2);
        EXPECT_NEAR(angle, cs.angle, 1e-7);
    }
}

// Surfaces of known curvature. The stored values are half second derivatives in the
// frame (e1, e2) = (+X, −Y) of an upward normal, so a sphere of radius R gives
// c1 = c2 = 1/(2R). A window of 7 points spans ±1.5 mm, where a sphere or cylinder of
// radius 30 or more differs from its osculating quadric by a relative (r/2R)² < 1e-3,
// which bounds the error at interior points.
TEST(Curvature, SurfacesOfKnownCurvature) {
    struct Case {
        const char* name;
        Height height;
        double cxx, cyy, cxy, c1, c2;
        bool centreColumnOnly; // the frame is (+X, −Y) only where the normal is upright
    } cases[] = {
        {"plane", [](double, double) { return 0.0; }, 0, 0, 0, 0, 0, false},
        {"tilted plane", [](double x, double y) { return 0.3 * x - 0.2 * y + 1; }, 0, 0, 0, 0, 0, false},
        {"sphere", sphere(40), 1 / 80.0, 1 / 80.0, 0, 1 / 80.0, 1 / 80.0, false},
        {"sphere from below", [](double x, double y) { return -sphere(40)(x, y); }, -1 / 80.0, -1 / 80.0, 0,
         -1 / 80.0, -1 / 80.0, false},
        {"cylinder along Y", [](double x, double) { return sphere(30)(x, 0); }, 1 / 60.0, 0, 0, 1 / 60.0, 0,
         true},
        {"cylinder along X", [](double, double y) { return sphere(30)(0, y); }, 0, 1 / 60.0, 0, 1 / 60.0, 0,
         false},
        {"parabola along X", [](double x, double) { return 0.01 * x * x; }, 0.01, 0, 0, 0.01, 0, true},
    };
    const int columns = 21, rows = 19, window = 7, half = 3;
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        ZelData area = stereoArea(surface(columns, rows, cs.height));
        ASSERT_TRUE(computeCurvature(area, window, true, true, true, nullptr));
        const double tolerance = 1e-3 * std::max(std::fabs(cs.c1), std::fabs(cs.c2)) + 2e-6;
        for (int r = half; r < rows - half; ++r)
            for (int c = half; c < columns - half; ++c) {
                if (cs.centreColumnOnly && c != columns / 2) continue;
                const int p = r * columns + c;
                SCOPED_TRACE(::testing::Message() << "row " << r << " column " << c);
                ASSERT_EQ(area.data(6)[p], 0.5f);
                ASSERT_NEAR(area.data(Cxx)[p], cs.cxx, tolerance);
                ASSERT_NEAR(area.data(Cyy)[p], cs.cyy, tolerance);
                ASSERT_NEAR(area.data(Cxy)[p], cs.cxy, tolerance);
                ASSERT_NEAR(area.data(C1)[p], cs.c1, tolerance);
                ASSERT_NEAR(area.data(C2)[p], cs.c2, tolerance);
            }
    }
}

// The saddle a·(x'² − y'²) with x' along the direction θ: its principal curvatures are
// ±a whatever θ, while the stored coefficients change with it. At θ = 45° the surface
// is 2a·x·y, whose u·v coefficient is −2a (v = −y), half of which enters the form.
TEST(Curvature, TurnedSaddleKeepsItsPrincipalCurvatures) {
    const double a = 0.02;
    const int columns = 15, rows = 15, centre = 7 * 15 + 7;
    for (double degrees : {0.0, 30.0, 45.0, 90.0}) {
        SCOPED_TRACE(::testing::Message() << degrees << " degrees");
        const double theta = degrees * kPi / 180, ct = std::cos(theta), st = std::sin(theta);
        const Height saddle = [=](double x, double y) {
            const double xt = (x - 0.25) * ct + (y + 0.1) * st, yt = -(x - 0.25) * st + (y + 0.1) * ct;
            return a * (xt * xt - yt * yt);
        };
        ZelData area = stereoArea(surface(columns, rows, saddle));
        ASSERT_TRUE(computeCurvature(area, 9, true, true, true, nullptr));
        const double twoTheta = 2 * theta;
        EXPECT_NEAR(area.data(Cxx)[centre], a * std::cos(twoTheta), 2e-6);
        EXPECT_NEAR(area.data(Cyy)[centre], -a * std::cos(twoTheta), 2e-6);
        EXPECT_NEAR(area.data(Cxy)[centre], -2 * a * std::sin(twoTheta), 2e-6);
        EXPECT_NEAR(area.data(C1)[centre], a, 2e-6);
        EXPECT_NEAR(area.data(C2)[centre], -a, 2e-6);
        if (degrees < 90) {
            EXPECT_NEAR(area.data(GammaC)[centre], -theta, 1e-4);
        }
    }
}

// A surface standing in the X–Z plane has normals along Y, where the usual in-plane
// axis (n.z, 0, −n.x) vanishes; the frame falls back to +X.
TEST(Curvature, NormalAlongY) {
    const int columns = 13, rows = 11, half = 2;
    for (double R : {0.0, 25.0}) {
        SCOPED_TRACE(::testing::Message() << "radius " << R);
        const GridFields g(
            columns, rows,
            [&](int r, int c) {
                const double x = (c - columns / 2) * kStep;
                return Vector3(x, R == 0 ? 5.0 : sphere(R)(x, 0), r * kStep);
            },
            [](const Vector3&) { return Vector3(); });
        ZelData area = stereoArea(g);
        ASSERT_TRUE(computeCurvature(area, 5, true, true, true, nullptr));
        for (int r = half; r < rows - half; ++r) {
            const int p = r * columns + columns / 2;
            ASSERT_EQ(area.data(6)[p], 0.5f);
            EXPECT_NEAR(std::fabs(area.data(C1)[p]) + std::fabs(area.data(C2)[p]), R == 0 ? 0 : 1 / (2 * R), 1e-5);
        }
    }
}

// Points without a usable normal are blanked with zeros, logged once each in pass one;
// earlier values of reused variables do not survive there.
TEST(Curvature, BlankedPoints) {
    const int columns = 9, rows = 8;
    GridFields g = surface(columns, rows, sphere(20));
    g.blanking[g.index(4, 4)] = -5.0f;
    g.blanking[g.index(0, 1)] = -1.0f; // (0, 0) keeps no triangle
    g.blanking[g.index(1, 0)] = -1.0f;
    g.blanking[g.index(6, 7)] = NAN; // (6, 8) and (7, 7) keep no triangle
    ZelData area = stereoArea(g);
    const int old = area.addVariable(Curvature, "cxx", "old");
    std::fill_n(area.data(old), area.matrixSize(), 42.0f);
    auto& log = orvex::testing::LogCapture::emptied();
    ASSERT_TRUE(computeCurvature(area, 5, true, true, true, nullptr));
    EXPECT_EQ(count(log.messages, kNoTriangles), 7);
    EXPECT_EQ(count(log.messages, kNormalSingular) + count(log.messages, kQuadraticSingular), 0);
    const float* sigma = area.data(6);
    for (int p : {g.index(4, 4), g.index(0, 1), g.index(1, 0), g.index(0, 0), g.index(6, 7), g.index(6, 8),
                  g.index(7, 7)}) {
        SCOPED_TRACE(p);
        EXPECT_EQ(sigma[p], -1.0f);
        EXPECT_EQ(area.data(old)[p], 0.0f);
        for (int k = old + 1; k < old + 6; ++k) EXPECT_EQ(area.data(k)[p], 0.0f);
    }
    EXPECT_EQ(sigma[g.index(4, 5)], 0.5f);
    EXPECT_NEAR(area.data(old)[g.index(4, 5)], 1 / 40.0, 1e-4);
    EXPECT_EQ(std::count(sigma, sigma + area.matrixSize(), -1.0f), 7);
}

// A window of one point has no plane fit for its normals, and two rows of a plane have
// no quadratic fit: every valid point is logged and gets zeros, not what it held.
TEST(Curvature, SingularFitsGiveZeros) {
    struct Case {
        const char* name;
        int columns, rows, window;
        const char* message;
    } cases[] = {
        {"window 1", 6, 5, 1, kNormalSingular},
        {"two rows of a plane", 8, 2, 5, kQuadraticSingular},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        ZelData area = stereoArea(surface(cs.columns, cs.rows, [](double, double) { return 0.0; }));
        ASSERT_TRUE(computeCurvature(area, 3, true, true, true, nullptr));
        for (int k = Cxx; k <= GammaC; ++k) std::fill_n(area.data(k), area.matrixSize(), 42.0f);
        auto& log = orvex::testing::LogCapture::emptied();
        ASSERT_TRUE(computeCurvature(area, cs.window, true, true, true, nullptr));
        EXPECT_EQ(count(log.messages, cs.message), area.matrixSize());
        EXPECT_EQ(area.numVariables(), 13u);
        for (int k = Cxx; k <= GammaC; ++k) EXPECT_EQ(values(area, k), std::vector<float>(area.matrixSize(), 0.0f));
        EXPECT_EQ(values(area, 6), std::vector<float>(area.matrixSize(), 0.5f));
    }
}

// A window whose points lie on two rows or two columns of the grid cannot determine the
// quadratic, however the surface bends them apart: a window of 3 at the grid's edges or
// beside a blanked row, or any window on a strip two points wide. Such points get zeros
// and the warning, without being blanked; the rest of the paraboloid keeps its curvature.
TEST(Curvature, WindowsOnTwoGridLinesAreUndetermined) {
    const Height paraboloid = [](double x, double y) { return 0.01 * (x * x + y * y); };
    struct Case {
        const char* name;
        int columns, rows, window;
        Height height;
        double step;
        int blankedRow;
    } cases[] = {
        {"paraboloid, window 3", 9, 13, 3, paraboloid, 1.0, -1},
        {"paraboloid turned, window 3", 13, 9, 3, paraboloid, 1.0, -1},
        {"paraboloid with a blanked row, window 3", 9, 13, 3, paraboloid, 1.0, 6},
        {"two rows of a sphere", 14, 2, 3, sphere(4), kStep, -1},
        {"two rows of a sphere, window 15", 14, 2, 15, sphere(4), kStep, -1},
        {"two columns of a sphere", 2, 14, 5, sphere(4), kStep, -1},
        {"two rows of a saddle", 30, 2, 7, [](double x, double y) { return 0.3 * x * y + 0.1 * x * x; }, kStep,
         -1},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        GridFields g = surface(cs.columns, cs.rows, cs.height, cs.step);
        for (int c = 0; c < cs.columns && cs.blankedRow >= 0; ++c) g.blanking[g.index(cs.blankedRow, c)] = -1.0f;
        ZelData area = stereoArea(g);
        auto& log = orvex::testing::LogCapture::emptied();
        ASSERT_TRUE(computeCurvature(area, cs.window, true, true, true, nullptr));
        int edgePoints = 0;
        for (int r = 0; r < cs.rows; ++r)
            for (int c = 0; c < cs.columns; ++c) {
                SCOPED_TRACE(::testing::Message() << "row " << r << " column " << c);
                const int p = r * cs.columns + c;
                ASSERT_EQ(area.data(6)[p], r == cs.blankedRow ? -1.0f : 0.5f);
                const bool edge = r != cs.blankedRow && (std::min({r, c, cs.rows - 1 - r, cs.columns - 1 - c}) == 0 ||
                                                          std::abs(r - cs.blankedRow) == 1);
                edgePoints += edge;
                if (edge || r == cs.blankedRow) {
                    for (int k = Cxx; k <= GammaC; ++k) ASSERT_EQ(area.data(k)[p], 0.0f) << k;
                    continue;
                }
                // The principal curvatures of Z = a·ρ², halved: a/√(1 + 4a²ρ²) along the
                // circle through the point, a/(1 + 4a²ρ²)^(3/2) across it.
                const double x = area.data(0)[p] + area.data(3)[p], y = area.data(1)[p] + area.data(4)[p];
                const double slope2 = 4e-4 * (x * x + y * y);
                EXPECT_NEAR(area.data(C1)[p], 0.01 / std::sqrt(1 + slope2), 2e-6);
                EXPECT_NEAR(area.data(C2)[p], 0.01 / std::pow(1 + slope2, 1.5), 2e-6);
            }
        const int blanked = cs.blankedRow >= 0 ? cs.columns : 0;
        EXPECT_EQ(count(log.messages, kQuadraticSingular), edgePoints);
        EXPECT_EQ(count(log.messages, kNoTriangles), blanked);
        EXPECT_EQ(log.messages.size(), std::size_t(edgePoints + blanked) + 1); // and the window's record
    }
}

// Fits that are determined stay so at any grid spacing: a sphere sampled with spacings
// from 1e-3 to 1e3 gives the same curvature per spacing, and no point is flagged but
// the edges of a window of 3. Windows cut by the edges fit the sphere less closely.
TEST(Curvature, DeterminedWindowsAtAnyScale) {
    const int columns = 11, rows = 9;
    for (int window : {3, 5, 15}) {
        for (bool weighted : {true, false}) {
            std::vector<float> reference;
            for (double step : {1.0, 1e-3, 1e3}) {
                SCOPED_TRACE(::testing::Message() << "window " << window << (weighted ? " weighted" : "")
                                                  << ", spacing " << step);
                ZelData area = stereoArea(surface(columns, rows, sphere(100 * step), step));
                auto& log = orvex::testing::LogCapture::emptied();
                ASSERT_TRUE(computeCurvature(area, window, true, true, weighted, nullptr));
                const int margin = window == 3 ? 1 : 0; // a window of 3 reaches two rows at the edge
                std::vector<float> scaled;
                for (int r = margin; r < rows - margin; ++r)
                    for (int c = margin; c < columns - margin; ++c) {
                        const int p = r * columns + c;
                        const bool cut = std::min({r, c, rows - 1 - r, columns - 1 - c}) < window / 2;
                        const double tolerance = cut ? 2e-5 : 1e-5;
                        ASSERT_NEAR(area.data(C1)[p] * step, 1 / 200.0, tolerance);
                        ASSERT_NEAR(area.data(C2)[p] * step, 1 / 200.0, tolerance);
                        for (int k = Cxx; k <= C2; ++k) scaled.push_back(float(area.data(k)[p] * step));
                    }
                EXPECT_EQ(count(log.messages, kQuadraticSingular), margin * 2 * (rows + columns - 2));
                if (reference.empty())
                    reference = scaled;
                for (std::size_t i = 0; i < scaled.size(); ++i) ASSERT_NEAR(scaled[i], reference[i], 2e-6) << i;
            }
        }
    }
}

// Both passes run row-parallel; any thread count gives the single-thread results bit
// for bit, also around holes and at the grid's edges.
TEST(Curvature, ThreadCountDoesNotChangeResults) {
    const int columns = 43, rows = 37;
    GridFields g =
        surface(columns, rows, [](double x, double y) { return 0.4 * std::sin(0.3 * x) * std::cos(0.2 * y); });
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            if ((r - 12) * (r - 12) + (c - 20) * (c - 20) < 20 || (r == 30 && c > 5))
                g.blanking[g.index(r, c)] = -1.0f;
    g.X[g.index(12, 20)] = NAN; // invalid points may hold anything
    std::vector<std::vector<float>> reference;
    for (int threads : {1, 2, 5, 8, 40}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads");
        CPUInfo::forceThreads(threads);
        ZelData area = stereoArea(g);
        ASSERT_TRUE(computeCurvature(area, 9, true, true, true, nullptr));
        std::vector<std::vector<float>> results;
        for (int k = 6; k <= GammaC; ++k) results.push_back(values(area, k));
        if (reference.empty()) {
            reference = results;
            continue;
        }
        for (std::size_t k = 0; k < results.size(); ++k)
            EXPECT_EQ(std::memcmp(results[k].data(), reference[k].data(), results[k].size() * sizeof(float)), 0);
    }
    CPUInfo::forceThreads(0);
}

// Names, descriptions and types; reuse relabels, otherwise a second set is added;
// without principal values only three variables are written.
TEST(Curvature, Variables) {
    const GridFields g = surface(7, 6, sphere(20));
    ZelData area = stereoArea(g);
    auto& log = orvex::testing::LogCapture::emptied();
    ASSERT_TRUE(computeCurvature(area, 15, true, true, true, nullptr));
    EXPECT_EQ(count(log.messages, "Using curvature window half size 7"), 1);
    const char* names[] = {"cxx", "cyy", "cxy", "c1", "c2", "gamma_c"};
    const char* descriptions[] = {"cxx [1/mm] - 15 filter", "cyy [1/mm] - 15 filter", "cxy [1/mm] - 15 filter",
                                  "c1 [1/mm] - 15 filter",  "c2 [1/mm] - 15 filter",  "gamma_c [1] - 15 filter"};
    ASSERT_EQ(area.numVariables(), 13u);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(area.varName(Cxx + k), names[k]);
        EXPECT_EQ(area.varDescription(Cxx + k), descriptions[k]);
        EXPECT_EQ(area.varType(Cxx + k), Curvature);
    }

    ASSERT_TRUE(computeCurvature(area, 5, true, true, false, nullptr));
    EXPECT_EQ(area.numVariables(), 13u);
    EXPECT_EQ(area.varDescription(Cxx), "cxx [1/mm] - 5 filter");
    EXPECT_NEAR(area.data(Cxx)[3 * 7 + 3], 1 / 40.0, 1e-4);

    ASSERT_TRUE(computeCurvature(area, 5, false, false, true, nullptr));
    ASSERT_EQ(area.numVariables(), 16u);
    EXPECT_EQ(area.varName(13), "cxx_1");
    EXPECT_EQ(area.varDescription(13), "cxx [1/mm] - 5 filter (1)");
    EXPECT_EQ(area.varName(15), "cxy_1");

    ZelData withoutPrincipal = stereoArea(g);
    ASSERT_TRUE(computeCurvature(withoutPrincipal, 5, false, true, true, nullptr));
    EXPECT_EQ(withoutPrincipal.numVariables(), 10u);
}

// Areas lacking what the curvature needs fail with nothing changed; the data-set form
// skips areas that are not gridded and stops at the first failing one. Progress adds
// one count per grid point of every computed area.
TEST(Curvature, AreasAndFailures) {
    const GridFields g = surface(7, 6, sphere(20));
    const ZelData gridded = stereoArea(g);
    ZelData withoutW = makeArea(7, 6, {{"X", GlobalCoordinate, g.X}, {"Y", GlobalCoordinate, g.Y},
                                       {"Z", GlobalCoordinate, g.Z}, {"U", GlobalDisplacement, g.U},
                                       {"V", GlobalDisplacement, g.V}, {"sigma", Correlation, g.blanking}});
    ZelData wrongType = makeArea(7, 6, {{"X", GlobalCoordinate, g.X}, {"Y", GlobalCoordinate, g.Y},
                                        {"Z", GlobalCoordinate, g.Z}, {"U", GlobalDisplacement, g.U},
                                        {"V", GlobalDisplacement, g.V}, {"W", Unknown, g.W},
                                        {"sigma", Correlation, g.blanking}});
    ZelData withoutBlanking = makeArea(7, 6, {{"X", GlobalCoordinate, g.X}, {"Y", GlobalCoordinate, g.Y},
                                              {"Z", GlobalCoordinate, g.Z}, {"U", GlobalDisplacement, g.U},
                                              {"V", GlobalDisplacement, g.V}, {"W", GlobalDisplacement, g.W}});
    for (ZelData* area : {&withoutW, &wrongType, &withoutBlanking}) {
        const std::size_t before = area->numVariables();
        int progress = 3;
        EXPECT_FALSE(computeCurvature(*area, 5, true, true, true, &progress));
        EXPECT_EQ(area->numVariables(), before);
        EXPECT_EQ(progress, 3);
    }
    ZelData refused = gridded;
    EXPECT_FALSE(computeCurvature(refused, 0, true, true, true, nullptr));
    EXPECT_EQ(refused.numVariables(), 7u);
    ZelData notGriddedArea = notGridded(gridded);
    EXPECT_FALSE(computeCurvature(notGriddedArea, 5, true, true, true, nullptr));

    ZelDataSet set;
    for (const ZelData* area : std::vector<const ZelData*>{&notGriddedArea, &gridded, &withoutW, &gridded})
        set.addData(new ZelData(*area));
    int progress = 5;
    EXPECT_FALSE(computeCurvature(set, 5, true, true, true, &progress));
    EXPECT_EQ(progress, 5 + 42);
    EXPECT_EQ(set.data(0)->numVariables(), 7u);
    EXPECT_EQ(set.data(1)->numVariables(), 13u);
    EXPECT_EQ(set.data(2)->numVariables(), 6u);
    EXPECT_EQ(set.data(3)->numVariables(), 7u);

    ZelDataSet good;
    for (const ZelData* area : std::vector<const ZelData*>{&gridded, &notGriddedArea, &gridded})
        good.addData(new ZelData(*area));
    progress = 0;
    EXPECT_TRUE(computeCurvature(good, 5, false, true, true, &progress));
    EXPECT_EQ(progress, 84);
    EXPECT_TRUE(computeCurvature(good, 5, false, true, true, nullptr));
    EXPECT_TRUE(computeCurvature(*std::make_unique<ZelDataSet>(), 5, true, true, true, nullptr));
}

// With the uniform kernel an even window acts as the next odd one, and windows wider
// than the grid as the whole grid, without tables of the requested width; an empty
// grid has nothing to compute.
TEST(Curvature, WindowSizes) {
    const GridFields g = surface(4, 30, sphere(20));
    struct Case {
        int window, same;
    } cases[] = {{6, 7}, {100001, 61}, {2000000001, 61}};
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.window);
        ZelData area = stereoArea(g), same = stereoArea(g);
        ASSERT_TRUE(computeCurvature(area, cs.window, true, true, false, nullptr));
        ASSERT_TRUE(computeCurvature(same, cs.same, true, true, false, nullptr));
        for (int k = 6; k <= GammaC; ++k) EXPECT_EQ(values(area, k), values(same, k)) << k;
        EXPECT_EQ(area.varDescription(Cxx), "cxx [1/mm] - " + std::to_string(cs.window) + " filter");
    }
    const std::vector<float> none;
    ZelData empty = makeArea(0, 0, {{"X", GlobalCoordinate, none}, {"Y", GlobalCoordinate, none},
                                    {"Z", GlobalCoordinate, none}, {"U", GlobalDisplacement, none},
                                    {"V", GlobalDisplacement, none}, {"W", GlobalDisplacement, none},
                                    {"sigma", Correlation, none}});
    int progress = 0;
    EXPECT_TRUE(computeCurvature(empty, 15, true, true, true, &progress));
    EXPECT_EQ(empty.numVariables(), 13u);
    EXPECT_EQ(progress, 0);
}
