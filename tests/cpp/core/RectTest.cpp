#include "orvex/core/Rect.h"

#include <gtest/gtest.h>

using orvex::Array1;
using orvex::Rect;
using orvex::Vector2;
using orvex::Vector3;

TEST(Rect, BoundsToTakesTheBoxOfXAndY) {
    Rect r;
    r.boundsTo(Array1<Vector3>{{1, 5, 100}, {-2, 7, -100}, {3, 6, 0}});
    EXPECT_TRUE(r.isComplete());
    EXPECT_EQ(r.x0, -2);
    EXPECT_EQ(r.y0, 5);
    EXPECT_EQ(r.x1, 3);
    EXPECT_EQ(r.y1, 7);

    r.boundsTo(Array1<Vector2>{{4, 4}});
    EXPECT_TRUE(r.isComplete());
    EXPECT_EQ(r.width(), 0);
    EXPECT_EQ(r.height(), 0);
    EXPECT_EQ(r.x0, 4);

    r.boundsTo(Array1<Vector2>{});
    EXPECT_FALSE(r.x0Set || r.y0Set || r.x1Set || r.y1Set);
    EXPECT_EQ(r.x0, 0);
    EXPECT_EQ(r.y1, 0);
}

TEST(Rect, IncompleteRectangleHasNoExtent) {
    Rect r(2, 4, 6, 10);
    EXPECT_EQ(r.width(), 4);
    EXPECT_EQ(r.center().y, 7);
    r.y1Set = false;
    EXPECT_EQ(r.width(), 0);
    EXPECT_EQ(r.height(), 0);
    EXPECT_EQ(r.center().x, 0);
}

TEST(Rect, IntersectionFindsWhereTheSegmentLeaves) {
    struct Case {
        const char* name;
        Vector2 a, b;
        bool found;
        Vector2 expected;
    };
    const Case cases[] = {
        {"right edge", {5, 5}, {15, 5}, true, {10, 5}},
        {"from outside to inside", {15, 5}, {5, 5}, true, {10, 5}},
        {"left edge", {5, 5}, {-5, 5}, true, {0, 5}},
        {"corner diagonal", {5, 5}, {15, 15}, true, {10, 10}},
        {"top edge", {5, 5}, {5, -3}, true, {5, 0}},
        {"bottom edge", {5, 5}, {5, 13}, true, {5, 10}},
        {"beyond corner, meets the top first", {8, 2}, {12, -6}, true, {9, 0}},
        {"sloped through the right edge", {6, 4}, {14, 6}, true, {10, 5}},
        {"sloped through the bottom edge", {4, 6}, {6, 14}, true, {5, 10}},
        {"starting on the left border", {0, 5}, {15, 7}, true, {10, 19.0 / 3.0}},
        {"starting on the top border", {5, 0}, {7, 15}, true, {19.0 / 3.0, 10}},
        {"starting on the right border, leaving at once", {10, 5}, {15, 7}, true, {10, 5}},
        {"ending on the bottom border from outside", {2, 20}, {4, 10}, true, {4, 10}},
        {"both inside", {1, 1}, {9, 9}, false, {}},
        {"both outside, crossing", {-5, 5}, {15, 5}, false, {}},
        {"vertical on the left border", {0, 5}, {0, 15}, false, {}},
        {"horizontal on the bottom border", {5, 10}, {15, 10}, false, {}},
    };
    const Rect r(0, 0, 10, 10);
    for (const Case& c : cases) {
        Vector2 out(-1, -1);
        EXPECT_EQ(r.intersection(out, c.a, c.b), c.found) << c.name;
        if (c.found) {
            EXPECT_DOUBLE_EQ(out.x, c.expected.x) << c.name;
            EXPECT_DOUBLE_EQ(out.y, c.expected.y) << c.name;
        } else {
            EXPECT_EQ(out.x, -1) << c.name;
        }
    }
    Rect incomplete = r;
    incomplete.x0Set = false;
    Vector2 out;
    EXPECT_FALSE(incomplete.intersection(out, {5, 5}, {15, 5}));
}

TEST(Rect, IsoScaleTransformationFitsSourceIntoTarget) {
    struct Case {
        const char* name;
        Rect target, source;
        double s, tx, ty;
    };
    Rect incomplete(0, 0, 1, 1);
    incomplete.x1Set = false;
    const Case cases[] = {
        {"smaller ratio wins", Rect(0, 0, 10, 20), Rect(0, 0, 1, 1), 10, 0, 5},
        {"zero-width source uses height", Rect(0, 0, 10, 20), Rect(3, 0, 3, 2), 10, -25, 0},
        {"zero-height source uses width", Rect(0, 0, 10, 20), Rect(0, 1, 5, 1), 2, 0, 8},
        {"incomplete source", Rect(0, 0, 10, 20), incomplete, 0, 0, 0},
        {"point source", Rect(0, 0, 10, 20), Rect(1, 1, 1, 1), 0, 0, 0},
        {"incomplete target", Rect(), Rect(0, 0, 1, 1), 0, 0, 0},
    };
    for (const Case& c : cases) {
        const orvex::Matrix2x3 m = orvex::isoScaleTransformation(c.target, c.source);
        EXPECT_EQ(m(0, 0), c.s) << c.name;
        EXPECT_EQ(m(1, 1), c.s) << c.name;
        EXPECT_EQ(m(0, 1), 0) << c.name;
        EXPECT_EQ(m(1, 0), 0) << c.name;
        EXPECT_EQ(m(0, 2), c.tx) << c.name;
        EXPECT_EQ(m(1, 2), c.ty) << c.name;
    }
}
