#include "orvex/data/ExportProgress.h"

#include <gtest/gtest.h>

#include <vector>

using namespace orvex;

namespace {

// The values the counter takes while the areas' points are written one by one.
std::vector<int> progressValues(const std::vector<int>& areaPoints) {
    std::int64_t total = 0;
    for (int points : areaPoints)
        total += points;
    int progress = -1;
    std::vector<int> values;
    ExportProgress tracker(progress, total);
    for (int points : areaPoints) {
        tracker.startArea();
        for (int p = 0; p < points; ++p) {
            const int before = progress;
            tracker.pointsWritten(1);
            if (progress != before)
                values.push_back(progress);
        }
    }
    return values;
}

} // namespace

TEST(ExportProgress, UpdatesAtEvery500thPointOfEachArea) {
    EXPECT_EQ(progressValues({1200}), (std::vector<int>{0, 42, 83}));
    EXPECT_EQ(progressValues({10, 10, 10}), (std::vector<int>{0, 1667, 3333}));
}

TEST(ExportProgress, BlocksOfPointsGiveTheSameValuesAsSinglePoints) {
    int single = -1;
    int blocked = -1;
    ExportProgress one(single, 100000);
    ExportProgress many(blocked, 100000);
    for (int block : {1, 499, 500, 1, 7000, 1234, 499, 2}) {
        for (int p = 0; p < block; ++p)
            one.pointsWritten(1);
        many.pointsWritten(block);
        EXPECT_EQ(blocked, single) << block;
    }
}
