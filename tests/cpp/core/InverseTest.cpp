#include "orvex/core/Decompositions.h"

#include "core/MatrixLiterals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace orvex;
using orvex::testing::rows;
using orvex::testing::toMatrix;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Max |A·B − I| over all elements.
double distanceFromIdentity(const Matrix& a, const Matrix& b) {
    const Matrix p = a * b;
    double worst = 0.0;
    for (int i = 0; i < p.rows(); ++i)
        for (int j = 0; j < p.cols(); ++j) worst = std::max(worst, std::fabs(p(i, j) - (i == j ? 1.0 : 0.0)));
    return worst;
}

} // namespace

TEST(InvertMatrix, GeneralInverseSucceedsOrFailsByCase) {
    struct Case {
        const char* name;
        Matrix in;
        bool invertible;
    };
    const Case cases[] = {
        {"empty", Matrix(), true},
        {"1x1", rows({{4}}), true},
        {"1x1 below threshold", rows({{5e-13}}), false},
        {"2x2 determinant 1e-14", rows({{1e-7, 0}, {0, 1e-7}}), false},
        {"2x2 determinant 1", rows({{1e-13, 0}, {0, 1e13}}), true},
        {"3x3 zero row", rows({{1, 2, 3}, {0, 0, 0}, {4, 5, 6}}), false},
        {"3x3 nearly singular", rows({{1, 2, 3}, {4, 5, 6}, {7, 8, 9 + 1e-9}}), true},
        {"4x4 needing row swaps", rows({{0, 2, 1, 0}, {1, 0, 0, 3}, {0, 0, 5, 1}, {2, 1, 0, 0}}), true},
        {"3x3 all NaN", rows({{kNaN, kNaN, kNaN}, {kNaN, kNaN, kNaN}, {kNaN, kNaN, kNaN}}), false},
    };
    for (const Case& c : cases) {
        Matrix out;
        ASSERT_EQ(invertMatrix(out, c.in), c.invertible) << c.name;
        if (!c.invertible) continue;
        EXPECT_EQ(out.rows(), c.in.rows()) << c.name;
        const double tolerance = c.in.rows() == 3 ? 1e-5 : 1e-12;
        EXPECT_LE(distanceFromIdentity(c.in, out), tolerance) << c.name;
    }
}

TEST(InvertMatrix, GeneralInverseInPlaceAndNonSquare) {
    const Matrix a = rows({{4, 7, 2}, {3, 6, 1}, {2, 5, 3}});
    Matrix m = a;
    ASSERT_TRUE(invertMatrix(m, m));
    EXPECT_LE(distanceFromIdentity(a, m), 1e-13);

    Matrix untouched = rows({{9}});
    EXPECT_FALSE(invertMatrix(untouched, rows({{1, 2, 3}, {4, 5, 6}})));
    EXPECT_EQ(untouched.rows(), 1);
    EXPECT_EQ(untouched(0, 0), 9);
}

TEST(InvertMatrix, CancelledContextStopsOnlyTheIterativeInverses) {
    AnalysisContext context;
    context.cancel();
    Matrix out;
    EXPECT_FALSE(invertMatrix(out, rows({{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}), &context));
    EXPECT_TRUE(invertMatrix(out, rows({{2}}), &context));
    EXPECT_TRUE(invertMatrix(out, rows({{2, 0}, {0, 2}}), &context));
    Matrix symmetric = rows({{2}});
    EXPECT_FALSE(invertSymmetricMatrix(symmetric, &context));
    SymmetricMatrix packed(1);
    packed(0, 0) = 2;
    EXPECT_FALSE(invertSymmetricMatrix(packed, &context));

    context.reset();
    EXPECT_TRUE(invertMatrix(out, rows({{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}), &context));
    EXPECT_EQ(out(1, 1), 0.5);
}

TEST(InvertMatrix, FixedSizeClosedForms) {
    const Matrix2x2 a2{4, 7, 2, 6};
    Matrix2x2 i2;
    ASSERT_TRUE(invertMatrix(i2, a2));
    EXPECT_LE(distanceFromIdentity(toMatrix(a2), toMatrix(i2)), 1e-15);

    Matrix2x2 tiny{1e-150, 0, 0, 1e-150};  // determinant 1e-300 is not zero
    ASSERT_TRUE(invertMatrix(tiny, tiny));
    EXPECT_DOUBLE_EQ(tiny(0, 0), 1e150);

    Matrix2x2 singular2{1, 2, 2, 4};
    EXPECT_FALSE(invertMatrix(singular2, singular2));
    EXPECT_EQ(singular2(0, 0), 1);
    EXPECT_EQ(singular2(0, 1), 0);

    const Matrix3x3 a3{2, -1, 0, -1, 2, -1, 0, -1, 2};
    Matrix3x3 i3 = a3;
    ASSERT_TRUE(invertMatrix(i3, i3));
    EXPECT_LE(distanceFromIdentity(toMatrix(a3), toMatrix(i3)), 1e-15);

    Matrix3x3 singular3{1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_FALSE(invertMatrix(singular3, Matrix3x3{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    for (int k = 0; k < 9; ++k) EXPECT_EQ(singular3.data()[k], Matrix3x3::identity().data()[k]);
}

TEST(InvertMatrix, ThreeByThreeClosedFormsFailBelowAnAbsoluteDeterminant) {
    struct Case {
        const char* name;
        Matrix3x3 in;
        bool invertible;
    };
    const Case cases[] = {
        {"determinant 1e-13", Matrix3x3{1e-4, 0, 0, 0, 1e-4, 0, 0, 0, 1e-5}, false},
        {"determinant 1e-11", Matrix3x3{1e-4, 0, 0, 0, 1e-4, 0, 0, 0, 1e-3}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Matrix3x3 general, symmetric = c.in;
        EXPECT_EQ(invertMatrix(general, c.in), c.invertible);
        EXPECT_EQ(invertSymmetricMatrix(symmetric), c.invertible);
        const Matrix3x3 expectedGeneral = c.invertible ? Matrix3x3{1e4, 0, 0, 0, 1e4, 0, 0, 0, 1e3}
                                                       : Matrix3x3::identity();
        const Matrix3x3 expectedSymmetric = c.invertible ? expectedGeneral : c.in;
        for (int k = 0; k < 9; ++k) {
            EXPECT_DOUBLE_EQ(general.data()[k], expectedGeneral.data()[k]);
            EXPECT_DOUBLE_EQ(symmetric.data()[k], expectedSymmetric.data()[k]);
        }
    }
}

TEST(InvertMatrix, FourByFourIsTheTrueInverseAlsoInPlace) {
    const Matrix4x4 a{2, 0, 1, 3, 1, 4, 0, 0, 0, 1, 3, 1, 5, 0, 0, 2};
    Matrix4x4 out;
    ASSERT_TRUE(invertMatrix(out, a));
    EXPECT_LE(distanceFromIdentity(toMatrix(a), toMatrix(out)), 1e-14);

    Matrix4x4 inPlace = a;
    ASSERT_TRUE(invertMatrix(inPlace, inPlace));
    for (int k = 0; k < 16; ++k) EXPECT_EQ(inPlace.data()[k], out.data()[k]);

    // A singular matrix leaves its adjugate: here rows 0 and 1 are equal.
    const Matrix4x4 singular{1, 2, 3, 4, 1, 2, 3, 4, 0, 1, 0, 1, 2, 0, 1, 0};
    Matrix4x4 adjugate, expected;
    adjoint(expected, singular);
    EXPECT_FALSE(invertMatrix(adjugate, singular));
    for (int k = 0; k < 16; ++k) EXPECT_EQ(adjugate.data()[k], expected.data()[k]);
}

TEST(Determinants, AdjugateTimesMatrixIsDeterminantTimesIdentity) {
    EXPECT_EQ(det2x2(1, 2, 3, 4), -2);
    // Columns (1, 0, 0), (2, 3, 0), (4, 5, 6): an upper triangular matrix.
    EXPECT_EQ(det3x3(1, 0, 0, 2, 3, 0, 4, 5, 6), 18);

    const Matrix4x4 a{2, 0, 1, 3, 1, 4, 0, 0, 0, 1, 3, 1, 5, 0, 0, 2};
    const double det = det4x4(a);
    EXPECT_NE(det, 0.0);
    Matrix4x4 adj = a;
    adjoint(adj, adj);
    const Matrix4x4 p = a * adj;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(p(i, j), i == j ? det : 0.0, 1e-12);
    EXPECT_EQ(det4x4(Matrix4x4::identity()), 1);
}

TEST(InvertSymmetricMatrix, SweepReadsTheUpperTriangleAndMirrors) {
    const Matrix spd = rows({{4, 1, 2, 0}, {1, 5, 1, 1}, {2, 1, 6, 2}, {0, 1, 2, 7}});
    Matrix m = spd;
    for (int i = 1; i < 4; ++i)
        for (int j = 0; j < i; ++j) m(i, j) = 1e6;  // garbage below the diagonal
    ASSERT_TRUE(invertSymmetricMatrix(m));
    EXPECT_LE(distanceFromIdentity(spd, m), 1e-14);
    EXPECT_TRUE(m.isSymmetric(0.0));

    SymmetricMatrix packed(4);
    for (int i = 0; i < 4; ++i)
        for (int j = i; j < 4; ++j) packed(i, j) = spd(i, j);
    ASSERT_TRUE(invertSymmetricMatrix(packed));
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(packed(i, j), m(i, j));
}

TEST(InvertSymmetricMatrix, SweepFailureCases) {
    struct Case {
        const char* name;
        Matrix m;
        bool invertible;
    };
    const Case cases[] = {
        {"empty", Matrix(), true},
        {"zero diagonal though invertible", rows({{0, 1}, {1, 0}}), false},
        {"singular", rows({{1, 1}, {1, 1}}), false},
        {"NaN diagonal", rows({{kNaN, 0}, {0, kNaN}}), false},
        {"not square", rows({{1, 2}}), false},
        {"indefinite", rows({{1, 2}, {2, 1}}), true},
    };
    for (const Case& c : cases) {
        Matrix m = c.m;
        EXPECT_EQ(invertSymmetricMatrix(m), c.invertible) << c.name;
    }
}

TEST(InvertSymmetricMatrix, ClosedForms) {
    Matrix3x3 m{4, 1, 2, -99, 5, 1, -99, -99, 6};  // only the upper triangle is read
    const Matrix3x3 full{4, 1, 2, 1, 5, 1, 2, 1, 6};
    Matrix3x3 out;
    ASSERT_TRUE(invertSymmetricMatrix(out, m));
    ASSERT_TRUE(invertSymmetricMatrix(m));
    for (int k = 0; k < 9; ++k) EXPECT_EQ(m.data()[k], out.data()[k]);
    EXPECT_EQ(out(1, 0), out(0, 1));
    EXPECT_LE(distanceFromIdentity(toMatrix(full), toMatrix(out)), 1e-15);

    Matrix3x3 singular{1, 2, 3, 2, 4, 6, 3, 6, 9};
    const Matrix3x3 before = singular;
    EXPECT_FALSE(invertSymmetricMatrix(singular));
    for (int k = 0; k < 9; ++k) EXPECT_EQ(singular.data()[k], before.data()[k]);

    Matrix2x2 two{2, 1, 1, 2};
    ASSERT_TRUE(invertSymmetricMatrix(two));
    EXPECT_DOUBLE_EQ(two(0, 0), 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(two(0, 1), -1.0 / 3.0);
    Matrix2x2 singular2{1, 1, 1, 1};
    EXPECT_FALSE(invertSymmetricMatrix(singular2));
    EXPECT_EQ(singular2(0, 1), 0);
    EXPECT_EQ(singular2(1, 1), 1);
}
