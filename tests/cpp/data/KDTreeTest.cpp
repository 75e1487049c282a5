#include "orvex/data/KDTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace orvex;

namespace {

std::vector<KDPoint<float>> pointsOf(const std::vector<std::vector<float>>& coordinates) {
    std::vector<KDPoint<float>> points;
    for (const std::vector<float>& c : coordinates)
        points.push_back({c});
    return points;
}

std::size_t nearestOf(const KDTree<float>& tree, const std::vector<float>& query) {
    std::size_t nearest = 999;
    findNearest(tree, query, nearest);
    return nearest;
}

} // namespace

TEST(KDTree, StorageRejectsBadInputInOrder) {
    struct Case {
        std::vector<std::vector<float>> points;
        std::size_t dimension;
        std::string message;
    };
    const Case cases[] = {
        {{}, 0, "points dimension should be > 0"},
        {{}, 2, "point storage must have at least one point"},
        {{{1, 2}, {1, 2, 3}}, 2, "point storage has different dimesion than some points"},
    };
    for (const Case& c : cases) {
        try {
            KDPointStorage<float> storage(pointsOf(c.points), c.dimension);
            ADD_FAILURE() << c.message;
        } catch (const std::domain_error& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

TEST(KDTree, SinglePointIsALeaf) {
    KDTree<float> tree(new KDPointStorage<float>(pointsOf({{5, 5}}), 2));
    const auto* leaf = dynamic_cast<const KDTreeLeafNode*>(tree.root.get());
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->first, 0u);
    EXPECT_EQ(leaf->last, 1u);
    EXPECT_EQ(nearestOf(tree, {-100, 7}), 0u);
    std::size_t nearest = 0;
    EXPECT_THROW(findNearest(tree, {1, 2, 3}, nearest), std::length_error);
}

TEST(KDTree, NearestRejectsBadTreesAndQueries) {
    auto messageOf = [](const KDTree<float>& tree, const std::vector<float>& query) -> std::string {
        std::size_t nearest = 0;
        try {
            findNearest(tree, query, nearest);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no exception";
    };
    KDTree<float> tree(new KDPointStorage<float>(pointsOf({{0, 0}, {1, 1}, {2, 2}, {3, 3}}), 2));
    EXPECT_EQ(messageOf(tree, {1, 0, 0}), "size of points are not the same");
    EXPECT_THROW(nearestOf(tree, {2.5f}), std::out_of_range); // the descent reads the missing y
    tree.storage->points.clear();
    EXPECT_EQ(messageOf(tree, {1, 0}), "tree or points storage is invalid");
    tree.root.reset();
    EXPECT_EQ(messageOf(tree, {1, 0}), "tree or points storage is invalid");
}

TEST(KDTree, MedianSplitOnAlternatingAxes) {
    KDTree<float> tree(new KDPointStorage<float>(pointsOf({{3, 0}, {0, 0}, {2, 0}, {1, 0}}), 2));
    const auto* root = dynamic_cast<const KDTreeIntermediateNode<float>*>(tree.root.get());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->axis, 0u);
    EXPECT_EQ(root->splitValue, 2.0f);
    // The left half holds the points below 2 (numbers 1 and 3), the right half the others.
    std::vector<std::size_t> left(tree.storage->order.begin(), tree.storage->order.begin() + 2);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::size_t>{1, 3}));
    EXPECT_EQ(nearestOf(tree, {2.4f, 0}), 2u);
    EXPECT_EQ(nearestOf(tree, {-5, 3}), 1u);
}

TEST(KDTree, EqualPointsFormOneLeaf) {
    KDTree<float> tree(new KDPointStorage<float>(pointsOf({{1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}}), 2));
    const auto* leaf = dynamic_cast<const KDTreeLeafNode*>(tree.root.get());
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->last - leaf->first, 5u);
    EXPECT_EQ(nearestOf(tree, {0, 0}), tree.storage->order[0]); // the first one scanned wins the tie
}

TEST(KDTree, NearestMatchesBruteForce) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> coordinate(-100, 100);
    std::uniform_int_distribution<int> grid(0, 20); // many repeated coordinates
    for (bool repeated : {false, true}) {
        std::vector<std::vector<float>> coordinates;
        for (int i = 0; i < 600; ++i)
            coordinates.push_back(repeated ? std::vector<float>{float(grid(random)), float(grid(random))}
                                           : std::vector<float>{coordinate(random), coordinate(random)});
        KDTree<float> tree(new KDPointStorage<float>(pointsOf(coordinates), 2));
        for (int q = 0; q < 300; ++q) {
            const std::vector<float> query{coordinate(random) / 4, coordinate(random) / 4};
            float best = 1e30f;
            for (const std::vector<float>& c : coordinates)
                best = std::min(best, (c[0] - query[0]) * (c[0] - query[0]) + (c[1] - query[1]) * (c[1] - query[1]));
            const std::vector<float>& found = coordinates[nearestOf(tree, query)];
            EXPECT_EQ((found[0] - query[0]) * (found[0] - query[0]) + (found[1] - query[1]) * (found[1] - query[1]),
                      best);
        }
    }
}
