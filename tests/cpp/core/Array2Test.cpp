#include "orvex/core/Array2.h"
#include "orvex/core/Vector.h"

#include <gtest/gtest.h>

using orvex::Array2;
using orvex::Vector3;

TEST(Array2, AllocDataGivesZeroVectorsInRowsOfTheGivenLength) {
    Array2<Vector3> a;
    a.allocData(2, 4);
    ASSERT_EQ(a.rows(), 2);
    ASSERT_EQ(a.cols(), 4);
    EXPECT_EQ(a.byteSize(), 8 * sizeof(Vector3));
    EXPECT_EQ(a[1], a[0] + 4);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(a(i, j).x, 0);
            EXPECT_EQ(a(i, j).z, 0);
        }
}

TEST(Array2, AllocDataKeepsEqualShapeAndReleasesOnChange) {
    Array2<float> a(3, 3);
    a(2, 2) = 5.0f;
    const float* before = a.data();
    a.allocData(3, 3);
    EXPECT_EQ(a.data(), before);
    EXPECT_EQ(a(2, 2), 5.0f);

    a.allocData(0, 5);  // the old storage is released, not leaked
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.rows(), 0);
    EXPECT_EQ(a.byteSize(), 0u);

    a.allocData(2, 1);
    EXPECT_EQ(a(1, 0), 0.0f);
}

TEST(Array2, FreeReleasesAndNullsBothPointers) {
    float* storage = new float[6];
    float** table = new float*[2];
    orvex::free2DArray(storage, table);
    EXPECT_EQ(storage, nullptr);
    EXPECT_EQ(table, nullptr);
}

TEST(Array2, CopiesAndMovesOwnTheirStorage) {
    Array2<float> a(2, 2);
    a(1, 0) = 3.0f;
    Array2<float> copy(a);
    copy(1, 0) = 4.0f;
    EXPECT_EQ(a(1, 0), 3.0f);

    Array2<float> moved(std::move(copy));
    EXPECT_EQ(moved(1, 0), 4.0f);
    EXPECT_TRUE(copy.empty());

    a = std::move(moved);
    EXPECT_EQ(a(1, 0), 4.0f);
}
