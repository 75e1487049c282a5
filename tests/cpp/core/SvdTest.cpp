#include "orvex/core/Decompositions.h"
#include "LogCapture.h"

#include "core/MatrixLiterals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::rows;

namespace {

// Checks the decomposition's contract: shapes, ordered non-negative values,
// orthonormal columns of U (for non-zero values) and V, and U·diag(w)·Vᵀ = A.
void expectValidSvd(const Matrix& a, const Matrix& u, const Vector& w, const Matrix& v) {
    const int m = a.rows(), n = a.cols();
    ASSERT_EQ(u.rows(), m);
    ASSERT_EQ(u.cols(), n);
    ASSERT_EQ(static_cast<int>(w.size()), n);
    ASSERT_EQ(v.rows(), n);
    ASSERT_EQ(v.cols(), n);
    for (int k = 0; k < n; ++k) {
        EXPECT_GE(w[k], 0.0);
        if (k > 0) {
            EXPECT_GE(w[k - 1], w[k]);
        }
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double vv = 0.0, uu = 0.0;
            for (int k = 0; k < n; ++k) vv += v(k, i) * v(k, j);
            for (int k = 0; k < m; ++k) uu += u(k, i) * u(k, j);
            EXPECT_NEAR(vv, i == j ? 1.0 : 0.0, 1e-12);
            if (w[i] != 0.0 && w[j] != 0.0) {
                EXPECT_NEAR(uu, i == j ? 1.0 : 0.0, 1e-12);
            }
        }
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) {
            double sum = 0.0;
            for (int k = 0; k < n; ++k) sum += u(i, k) * w[k] * v(j, k);
            EXPECT_NEAR(sum, a(i, j), 1e-12) << "at (" << i << ", " << j << ")";
        }
}

} // namespace

TEST(Svd, DecomposesFullAndRankDeficientMatrices) {
    struct Case {
        const char* name;
        Matrix a;
    };
    const Case cases[] = {
        {"tall 3x2", rows({{1, 2}, {3, 4}, {5, 6}})},
        {"square", rows({{4, -2, 1}, {3, 6, -4}, {2, 1, 8}})},
        {"zero first column (cancellation path)", rows({{0, 1, -2}, {0, -2, 0}, {0, 2, 0}})},
        {"zero diagonal, chase stops early", rows({{0, 1e-9, 0, 0}, {0, 1, 1e-9, 0}, {0, 0, 1, 1}, {0, 0, 0, 1}})},
        {"rank one", rows({{1, 2, 3}, {2, 4, 6}, {3, 6, 9}, {4, 8, 12}})},
        {"zero matrix", rows({{0, 0}, {0, 0}})},
        {"one by one", rows({{-3}})},
        {"wide magnitudes", rows({{1e10, 1}, {1, 1e-10}, {0, 3}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Matrix u, v;
        Vector w;
        ASSERT_TRUE(svd(u, w, v, c.a));
        expectValidSvd(c.a, u, w, v);
    }
}

TEST(Svd, NegativeValueIsFlippedIntoV) {
    Matrix u, v;
    Vector w;
    ASSERT_TRUE(svd(u, w, v, rows({{-3}})));
    EXPECT_EQ(u(0, 0), -1);
    EXPECT_EQ(w[0], 3);
    EXPECT_EQ(v(0, 0), 1);
}

TEST(Svd, SortKeepsTheOrderOfEqualValues) {
    Matrix u, v;
    Vector w;
    ASSERT_TRUE(svd(u, w, v, rows({{1, 0, 0}, {0, 1, 0}, {0, 0, 2}})));
    EXPECT_EQ(w, (Vector{2, 1, 1}));
    // Columns of V: the one that held 2, then the second 1, then the first 1.
    EXPECT_EQ(std::fabs(v(2, 0)), 1);
    EXPECT_EQ(std::fabs(v(1, 1)), 1);
    EXPECT_EQ(std::fabs(v(0, 2)), 1);
}

TEST(Svd, MayDecomposeInPlace) {
    const Matrix a = rows({{2, 0}, {1, 3}, {0, 1}});
    Matrix u = a, v;
    Vector w;
    ASSERT_TRUE(svd(u, w, v, u));
    expectValidSvd(a, u, w, v);
}

TEST(Svd, WideMatrixFailsWithAWarning) {
    auto& log = orvex::testing::LogCapture::instance();
    log.take();
    const Matrix a = rows({{1, 2, 3}, {4, 5, 6}});
    Matrix u, v;
    Vector w{7};
    EXPECT_FALSE(svd(u, w, v, a));
    plog::get<0>()->setMaxSeverity(plog::none);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0], "Pre-condition failed");
    EXPECT_EQ(log.severities[0], plog::warning);
    EXPECT_EQ(log.functions[0], "bool orvex::svdcmp(Matrix&, Vector&, Matrix&)");
    EXPECT_EQ(w, (Vector{0, 0, 0}));
    EXPECT_EQ(u(1, 2), 6);
}

TEST(Svd, EmptyMatrixSucceedsAndNonFiniteFails) {
    Matrix u, v;
    Vector w{1, 2};
    EXPECT_TRUE(svd(u, w, v, Matrix()));
    EXPECT_TRUE(w.empty());

    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(svd(u, w, v, rows({{1, nan}, {2, 3}})));
}

TEST(Svd, FixedSizeFormMatchesAndWritesOnlyOnSuccess) {
    const Matrix3x3 a{4, -2, 1, 3, 6, -4, 2, 1, 8};
    Matrix3x3 u, v;
    Vector3 w;
    ASSERT_TRUE(svd(u, w, v, a));
    Matrix gu, gv;
    Vector gw;
    ASSERT_TRUE(svd(gu, gw, gv, orvex::testing::toMatrix(a)));
    EXPECT_EQ(w.x, gw[0]);
    EXPECT_EQ(w.z, gw[2]);
    for (int k = 0; k < 9; ++k) {
        EXPECT_EQ(u.data()[k], gu.data()[k]);
        EXPECT_EQ(v.data()[k], gv.data()[k]);
    }

    const double nan = std::numeric_limits<double>::quiet_NaN();
    Matrix3x3 untouched{9, 9, 9};
    EXPECT_FALSE(svd(untouched, w, v, Matrix3x3{nan}));
    EXPECT_EQ(untouched(0, 0), 9);
}

TEST(Svd, SolveInvertsTheDecomposition) {
    const Matrix a = rows({{2, 1, 0}, {1, 3, 1}, {0, 1, 4}, {1, 0, 1}});
    const Vector expected{1, -2, 0.5};
    const Vector b = a * expected;
    Matrix u, v;
    Vector w, x;
    ASSERT_TRUE(svd(u, w, v, a));
    ASSERT_TRUE(svd_solve(x, u, w, v, b));
    ASSERT_EQ(x.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(x[i], expected[i], 1e-12);

    w[2] = 0.0;  // an exact zero fails, x untouched
    Vector kept{42};
    EXPECT_FALSE(svd_solve(kept, u, w, v, b));
    EXPECT_EQ(kept, (Vector{42}));
}

TEST(NullSpace, FindsTheVectorOfTheZeroSingularValue) {
    const Matrix a = rows({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    Vector x;
    ASSERT_TRUE(nullSpace(x, a));
    ASSERT_EQ(x.size(), 3u);
    const Vector ax = a * x;
    for (double value : ax) EXPECT_NEAR(value, 0.0, 1e-12);
    EXPECT_NEAR(x[0] * x[0] + x[1] * x[1] + x[2] * x[2], 1.0, 1e-12);

    Vector3 fixed;
    ASSERT_TRUE(nullSpace(fixed, Matrix3x3{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(fixed.x, x[0]);
    EXPECT_EQ(fixed.y, x[1]);
    EXPECT_EQ(fixed.z, x[2]);

    Vector kept{5};
    EXPECT_FALSE(nullSpace(kept, rows({{1, 2, 3}})));
    EXPECT_EQ(kept, (Vector{5}));
}
