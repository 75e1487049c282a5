#include "orvex/core/Matrix.h"

#include "core/MatrixLiterals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using orvex::Matrix;
using orvex::testing::rows;

namespace {

void expectMatrixEq(const Matrix& expected, const Matrix& actual) {
    ASSERT_EQ(expected.rows(), actual.rows());
    ASSERT_EQ(expected.cols(), actual.cols());
    for (int i = 0; i < expected.rows(); ++i)
        for (int j = 0; j < expected.cols(); ++j)
            EXPECT_EQ(expected(i, j), actual(i, j)) << "at (" << i << ", " << j << ")";
}

} // namespace

TEST(Matrix, StorageIsOneContiguousBlockAfterTheRowTable) {
    Matrix m(3, 4);
    EXPECT_EQ(m.byteSize(), 3u * 4u * sizeof(double));
    const auto* table = reinterpret_cast<const char*>(m.rowTable());
    EXPECT_EQ(reinterpret_cast<const char*>(m[0]), table + 3 * sizeof(double*));
    for (int i = 1; i < 3; ++i) EXPECT_EQ(m[i], m[0] + 4 * i);
}

TEST(Matrix, NonPositiveDimensionsGiveAnEmptyMatrix) {
    for (auto [r, c] : {std::pair{0, 3}, {3, 0}, {-1, 2}, {0, 0}}) {
        Matrix m(r, c);
        EXPECT_TRUE(m.empty());
        EXPECT_EQ(m.rows(), 0);
        EXPECT_EQ(m.cols(), 0);
        EXPECT_EQ(m.byteSize(), 0u);
        EXPECT_EQ(m.data(), nullptr);
    }
}

TEST(Matrix, OverflowingSizeThrowsInsteadOfAllocatingTooLittle) {
    const int huge = std::numeric_limits<int>::max();
    EXPECT_THROW(Matrix(huge, huge), std::bad_alloc);
}

TEST(Matrix, CopyAssignmentReusesStorageOfEqualShapeOnly) {
    Matrix source = rows({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    Matrix target(3, 3);
    const double* before = target.data();
    target = source;
    EXPECT_EQ(target.data(), before);
    expectMatrixEq(source, target);

    Matrix reshaped(2, 2);
    reshaped = source;
    expectMatrixEq(source, reshaped);

    reshaped = Matrix();
    EXPECT_TRUE(reshaped.empty());

    target = target;  // self-assignment keeps everything
    expectMatrixEq(source, target);
}

TEST(Matrix, ProductSkipsExactZerosOfTheLeftOperand) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Matrix a = rows({{1, 0}, {2, 3}});
    const Matrix b = rows({{4, 5}, {nan, 1}});
    const Matrix p = a * b;
    EXPECT_EQ(p(0, 0), 4);
    EXPECT_EQ(p(0, 1), 5);
    EXPECT_TRUE(std::isnan(p(1, 0)));
    EXPECT_EQ(p(1, 1), 13);

    expectMatrixEq(rows({{58, 64}, {139, 154}}),
                   rows({{1, 2, 3}, {4, 5, 6}}) * rows({{7, 8}, {9, 10}, {11, 12}}));
}

TEST(Matrix, ProductWithAnEmptyOperandIsEmpty) {
    EXPECT_TRUE((Matrix() * rows({{1, 2}})).empty());
    EXPECT_TRUE((rows({{1, 2}}) * Matrix(2, 0)).empty());
}

TEST(Matrix, InPlaceProductKeepsStorageOnlyWhenTheShapeStays) {
    Matrix m = rows({{1, 2, 3}, {4, 5, 6}});
    const double* before = m.data();
    m *= rows({{1, 0, 0}, {0, 2, 0}, {0, 0, 3}});
    EXPECT_EQ(m.data(), before);
    expectMatrixEq(rows({{1, 4, 9}, {4, 10, 18}}), m);

    m *= rows({{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}});
    expectMatrixEq(rows({{1, 4, 9, 14}, {4, 10, 18, 32}}), m);

    m *= Matrix(4, 0);
    EXPECT_TRUE(m.empty());

    Matrix square = rows({{1, 2}, {3, 4}});
    square *= square;
    expectMatrixEq(rows({{7, 10}, {15, 22}}), square);
}

TEST(Matrix, ElementwiseAndScalarArithmetic) {
    const Matrix a = rows({{1, 2}, {3, 4}});
    const Matrix b = rows({{1, 1}, {2, 2}});
    expectMatrixEq(rows({{2, 3}, {5, 6}}), a + b);
    expectMatrixEq(rows({{0, 1}, {1, 2}}), a - b);
    expectMatrixEq(rows({{2, 4}, {6, 8}}), a * 2.0);
    expectMatrixEq(rows({{2, 4}, {6, 8}}), 2.0 * a);
    expectMatrixEq(rows({{0.5, 1}, {1.5, 2}}), a / 2.0);
    expectMatrixEq(rows({{1, 3}, {2, 4}}), a.transpose());
    expectMatrixEq(rows({{1, 4}}), rows({{1}, {4}}).transpose());

    Matrix m = rows({{1, 2}});
    m -= rows({{1, 1}});
    expectMatrixEq(rows({{0, 1}}), m);
    m += rows({{2, 2}});
    m *= 3.0;
    m /= 2.0;
    expectMatrixEq(rows({{3, 4.5}}), m);
}

TEST(Matrix, MatrixTimesVector) {
    const orvex::Vector v{1, 2, 3, 100};  // entries past cols(A) are ignored
    const orvex::Vector r = rows({{1, 0, 1}, {0, 2, 0}}) * v;
    EXPECT_EQ(r, (orvex::Vector{4, 4}));
    EXPECT_TRUE((Matrix() * v).empty());
}

TEST(Matrix, IsSymmetricComparesRelativeMagnitudes) {
    const double kNaN = std::numeric_limits<double>::quiet_NaN();
    const double kInf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        Matrix m;
        bool symmetric;
    };
    const Case cases[] = {
        {"opposite signs", rows({{1, 2}, {-2, 1}}), true},
        {"five percent off", rows({{1, 2}, {2.1, 1}}), false},
        {"zeros pair", rows({{1, 0}, {0, 1}}), true},
        {"not square", rows({{1, 2, 3}, {2, 1, 3}}), false},
        {"one by one", rows({{7}}), true},
        {"empty", Matrix(), true},
        {"NaN below", rows({{1, 2}, {kNaN, 1}}), false},
        {"NaN above", rows({{1, kNaN}, {2, 1}}), false},
        {"infinity against finite", rows({{1, 2}, {kInf, 1}}), false},
        {"equal infinities", rows({{1, -kInf}, {kInf, 1}}), true},
    };
    for (const Case& c : cases) EXPECT_EQ(c.m.isSymmetric(1e-9), c.symmetric) << c.name;
    EXPECT_TRUE(rows({{1, 2}, {2.1, 1}}).isSymmetric(0.1));
}

TEST(Matrix, BlockGetAndCopy) {
    Matrix m(3, 4);
    m.setZero();
    m.block_copy(1, 2, rows({{1, 2}, {3, 4}}));
    m.block_copy(0, 0, orvex::Matrix2x3{5, 6, 7, 8, 9, 10});
    expectMatrixEq(rows({{5, 6, 7, 0}, {8, 9, 10, 2}, {0, 0, 3, 4}}), m);

    Matrix out(2, 3);
    m.block_get(out, 1, 1);
    expectMatrixEq(rows({{9, 10, 2}, {0, 3, 4}}), out);

    const Matrix before = m;
    m.block_copy(0, 0, m);
    expectMatrixEq(before, m);
}

TEST(Matrix, NormalEquationBlocksAgreeBetweenRunTimeAndFixedOperands) {
    const Matrix a = rows({{1, 2, 0}, {0, 3, 4}});
    const orvex::Matrix2x3 fixedA{1, 2, 0, 0, 3, 4};
    const Matrix b = rows({{1, -1}, {2, 5}});
    const orvex::Matrix2x2 fixedB{1, -1, 2, 5};
    const Matrix at = a.transpose();

    Matrix runTime(5, 5), fixed(5, 5), expected(5, 5);
    for (Matrix* m : {&runTime, &fixed, &expected}) m->setZero();

    runTime.block_add_At_A(0, 0, a);
    fixed.block_add_At_A(0, 0, fixedA);
    expected.block_copy(0, 0, at * a);

    runTime.block_add_At_B(0, 3, a, b);
    fixed.block_add_At_B(0, 3, fixedA, fixedB);
    expected.block_copy(0, 3, at * b);

    runTime.block_add_A_B(3, 0, b, a);
    fixed.block_add_A_B(3, 0, b, fixedA);
    expected.block_copy(3, 0, b * a);

    runTime.block_add_a_at(3, 3, orvex::Vector{2, 3});
    fixed.block_add_a_at(3, 3, orvex::Vector2(2, 3));
    expected.block_copy(3, 3, rows({{4, 6}, {6, 9}}));

    expectMatrixEq(expected, runTime);
    expectMatrixEq(expected, fixed);
}

TEST(Matrix, BlockSumsAccumulateAndSkipZerosOnlyForRunTimeOperands) {
    const double inf = std::numeric_limits<double>::infinity();
    Matrix m(1, 1);
    m(0, 0) = 1;
    m.block_add_At_B(0, 0, rows({{0}, {2}}), rows({{inf}, {3}}));
    EXPECT_EQ(m(0, 0), 7);

    Matrix fixedSum(2, 2);
    fixedSum.setZero();
    fixedSum.block_add_At_B(0, 0, orvex::Matrix2x2{0, 0, 0, 0}, rows({{inf, 0}, {0, 0}}));
    EXPECT_TRUE(std::isnan(fixedSum(0, 0)));
}
