#include "orvex/core/Array1.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/SymmetricMatrix.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace orvex;

TEST(FixedMatrix, RowMajorLayoutAndTranspose) {
    const Matrix4x3 m{0, 1, 2, 10, 11, 12, 20, 21, 22, 30, 31, 32};
    EXPECT_EQ(m.data()[1 * 3 + 2], 12);
    const Matrix3x4 t = ~m;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(t(j, i), m(i, j));
    EXPECT_EQ(m.transpose()(2, 3), 32);
}

TEST(FixedMatrix, ProductsAndIdentity) {
    const Matrix3x3 a{1, 2, 3, 4, 5, 6, 7, 8, 10};
    const Matrix3x3 b{2, 0, 1, 1, 3, 0, 0, 1, 4};
    const Matrix3x3 p = a * b;
    const Matrix3x3 expected{4, 9, 13, 13, 21, 28, 22, 34, 47};
    for (int k = 0; k < 9; ++k) EXPECT_EQ(p.data()[k], expected.data()[k]);

    const Matrix3x3 same = Matrix3x3::identity() * a;
    for (int k = 0; k < 9; ++k) EXPECT_EQ(same.data()[k], a.data()[k]);

    const Vector3 v = a * Vector3(1, 0, -1);
    EXPECT_EQ(v.x, -2);
    EXPECT_EQ(v.y, -2);
    EXPECT_EQ(v.z, -3);
}

TEST(FixedVector, DefaultsToZeroAndIndexesItsFields) {
    Vector3 v;
    EXPECT_EQ(v[0] + v[1] + v[2], 0);
    v[2] = 4;
    EXPECT_EQ(v.z, 4);
    EXPECT_EQ(cross(Vector3(1, 0, 0), Vector3(0, 1, 0)).z, 1);
    Vector4 w(1, 2, 3, 4);
    EXPECT_EQ(w[3], 4);
}

TEST(Array1, CountConstructorZeroFillsAndRejectsNegativeCounts) {
    const Array1<double> a(3);
    EXPECT_EQ(a, (std::vector<double>{0, 0, 0}));
    try {
        Array1<double> negative(-1);
        ADD_FAILURE() << "a negative count must throw";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "vector::_M_default_append");
    }
    EXPECT_EQ(Vector(2).size(), 2u);
}

TEST(SymmetricMatrix, MirroredIndexesShareOneSlot) {
    SymmetricMatrix m(4);
    int slot = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = i; j < 4; ++j) m(i, j) = slot++;
    EXPECT_EQ(slot, 10);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < i; ++j) EXPECT_EQ(m(i, j), m(j, i));
    for (int k = 0; k < 10; ++k) EXPECT_EQ(m.data()[k], k);  // each element its own slot
}
