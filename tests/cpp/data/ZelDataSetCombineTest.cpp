#include "orvex/data/ZelDataSet.h"

#include "data/AreaFixtures.h"
#include "LogCapture.h"
#include "orvex/data/ZelData.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::LogCapture;
using orvex::testing::makeArea;
using orvex::testing::namesOf;
using orvex::testing::valuesOf;
using orvex::testing::VariableSpec;
using orvex::testing::withDataType;

namespace {

// A gridded area of `rows` x 2 points whose variables are named `names`, each
// described as the name with "[d]" and typed Unknown; values count up from `first`.
ZelData* area(const std::vector<std::string>& names, int rows = 1, float first = 0) {
    std::vector<VariableSpec> specs;
    for (const std::string& name : names) {
        std::vector<float> values;
        for (int p = 0; p < 2 * rows; ++p)
            values.push_back(first++);
        specs.push_back({Unknown, name, name + "[d]", values});
    }
    return new ZelData(makeArea(rows, 2, specs));
}

std::unique_ptr<ZelDataSet> setOf(std::vector<ZelData*> areas) {
    auto set = std::make_unique<ZelDataSet>();
    for (ZelData* a : areas)
        set->addData(a);
    return set;
}

} // namespace

TEST(Combine, IsCompatible) {
    const auto base = setOf({area({"X", "Y"}), area({"U"})});
    EXPECT_TRUE(base->isCompatible(*base));
    EXPECT_TRUE(ZelDataSet().isCompatible(ZelDataSet()));
    EXPECT_TRUE(base->isCompatible(*setOf({area({"X", "Y"}, 1, 7), area({"U"})})));
    EXPECT_FALSE(base->isCompatible(*setOf({area({"X", "Y"})})));
    EXPECT_FALSE(base->isCompatible(*setOf({area({"X", "Y"}, 2), area({"U"})})));
    EXPECT_FALSE(base->isCompatible(*setOf({area({"X", "y"}), area({"U"})})));
    EXPECT_FALSE(base->isCompatible(*setOf({area({"Y", "X"}), area({"U"})})));
    const auto described = setOf({area({"X", "Y"}), area({"U"})});
    described->data(0)->setVarAttributes(1, "Y", "other", Unknown);
    EXPECT_FALSE(base->isCompatible(*described));
    const auto typed = setOf({area({"X", "Y"}), area({"U"})});
    typed->data(1)->setVarAttributes(0, "U", "U[d]", GlobalDisplacement);
    EXPECT_FALSE(base->isCompatible(*typed));
}

TEST(Combine, AllValidIndexes) {
    ZelDataSet set;
    std::vector<std::vector<int>> indexes = {{42}};
    EXPECT_FALSE(set.allValidIndexes(indexes));
    EXPECT_EQ(indexes.size(), 1u);

    // Two areas of one layout: one list each (empty without pixel grid and blanking).
    const auto same = setOf({area({"X"}), area({"X"}, 3)});
    indexes.clear();
    EXPECT_TRUE(same->allValidIndexes(indexes));
    EXPECT_EQ(indexes, (std::vector<std::vector<int>>{{}, {}}));

    ZelDataSet valid;
    valid.addData(new ZelData(makeArea(2, 2, {{PixelCoordinate, "x", "x", {0, 1, 0, 1}},
                                              {PixelCoordinate, "y", "y", {0, 0, 1, 1}},
                                              {Correlation, "sigma", "s", {0, -1, 0, 0}}})));
    valid.addData(new ZelData(makeArea(2, 2, {{PixelCoordinate, "x", "x", {0, 1, 0, 1}},
                                              {PixelCoordinate, "y", "y", {0, 0, 1, 1}}})));
    LogCapture& log = LogCapture::emptied();
    indexes.clear();
    EXPECT_TRUE(valid.allValidIndexes(indexes));
    EXPECT_EQ(indexes, (std::vector<std::vector<int>>{{0, 2, 3}}));
    EXPECT_EQ(log.take(), (std::vector<std::string>{"Incompatible aois, limiting to first."}));
}

TEST(Combine, CommonVariables) {
    const auto set = setOf({area({"X", "Y", "Z", "U"}), area({"Z", "W", "Y", "X"}), area({"X", "Y", "Z"})});
    set->data(1)->setVarAttributes(0, "Z", "other", Unknown);
    std::vector<std::string> descriptions = {"stale"};
    EXPECT_EQ(set->commonVariables(&descriptions, false), (std::vector<std::string>{"X", "Y", "Z"}));
    EXPECT_EQ(descriptions, (std::vector<std::string>{"X[d]", "Y[d]", "Z[d]"}));

    // Case matters, and gridOnly skips areas of other data types.
    const auto cased = setOf({area({"x", "Y"}), area({"X", "Y"})});
    EXPECT_EQ(cased->commonVariables(nullptr, true), (std::vector<std::string>{"Y"}));

    ZelDataSet empty;
    descriptions = {"kept"};
    EXPECT_TRUE(empty.commonVariables(&descriptions, true).empty());
    EXPECT_EQ(descriptions, (std::vector<std::string>{"kept"}));
    EXPECT_TRUE(empty.commonVariables(&descriptions, false).empty());
    EXPECT_TRUE(descriptions.empty());
}

TEST(Combine, CommonVariablesOverGriddedAreasOnly) {
    ZelDataSet set;
    set.addData(new ZelData(withDataType(*std::unique_ptr<ZelData>(area({"a"})), 1)));
    set.addData(area({"b", "c"}));
    set.addData(area({"c", "b"}));
    std::vector<std::string> descriptions;
    EXPECT_EQ(set.commonVariables(&descriptions, true), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(descriptions, (std::vector<std::string>{"b[d]", "c[d]"}));
    EXPECT_TRUE(set.commonVariables(nullptr, false).empty());

    ZelDataSet scattered;
    scattered.addData(new ZelData(withDataType(*std::unique_ptr<ZelData>(area({"a"})), 0)));
    descriptions = {"kept"};
    EXPECT_TRUE(scattered.commonVariables(&descriptions, true).empty());
    EXPECT_EQ(descriptions, (std::vector<std::string>{"kept"}));
}

TEST(Combine, CompatibleSetsKeepEveryVariable) {
    std::vector<std::unique_ptr<ZelDataSet>> sets;
    sets.push_back(setOf({area({"X", "Y"}, 1, 0), area({"X", "Y"}, 2, 10)}));
    sets.push_back(setOf({area({"X", "Y"}, 1, 20)}));
    sets[0]->setDeformed("def.tif");
    ZelDataSet target;
    target.setReference("ref.tif");
    target.addData(area({"old"}));
    EXPECT_FALSE(ZelDataSet::combineDataSetsUsingOnlyCommonVariables(target, sets));
    ASSERT_EQ(target.numData(), 3);
    EXPECT_EQ(target.referenceImage(), "");
    EXPECT_EQ(target.deformedImage(), "");
    EXPECT_EQ(target.data(1)->numRows(), 2);
    EXPECT_EQ(valuesOf(*target.data(2), 1), (std::vector<float>{22, 23}));
    // The copies are the target's own.
    EXPECT_NE(target.data(0), sets[0]->data(0));
}

TEST(Combine, IncompatibleSetsKeepCommonNamesInTheirOwnOrder) {
    const struct {
        const char* label;
        std::vector<std::vector<std::string>> layouts;
        std::vector<std::vector<std::string>> expected;
        bool dropped;
    } cases[] = {
        {"reordered", {{"x", "y", "exx"}, {"y", "x"}}, {{"x", "y"}, {"y", "x"}}, true},
        {"nothing common", {{"a"}, {"b"}}, {{}, {}}, true},
        {"case differs", {{"X", "y"}, {"x", "y"}}, {{"y"}, {"y"}}, true},
        {"one area", {{"a", "b"}}, {{"a", "b"}}, false},
    };
    for (const auto& c : cases) {
        std::vector<std::unique_ptr<ZelDataSet>> sets;
        for (const std::vector<std::string>& names : c.layouts)
            sets.push_back(setOf({area(names, 3)}));
        ZelDataSet target;
        EXPECT_EQ(ZelDataSet::combineDataSetsUsingOnlyCommonVariables(target, sets), c.dropped) << c.label;
        ASSERT_EQ(target.numData(), static_cast<int>(c.expected.size())) << c.label;
        for (int i = 0; i < target.numData(); ++i) {
            EXPECT_EQ(namesOf(*target.data(i)), c.expected[static_cast<std::size_t>(i)]) << c.label;
            EXPECT_EQ(target.data(i)->numRows(), 3) << c.label;
            EXPECT_EQ(target.data(i)->numColumns(), 2) << c.label;
        }
    }
    ZelDataSet target;
    target.addData(area({"old"}));
    EXPECT_FALSE(ZelDataSet::combineDataSetsUsingOnlyCommonVariables(target, {}));
    EXPECT_EQ(target.numData(), 0);
}

// A target among the sets is read before it is replaced: its areas take part.
TEST(Combine, TargetAmongTheSets) {
    std::vector<std::unique_ptr<ZelDataSet>> sets;
    sets.push_back(setOf({area({"X", "Y", "Z"}, 1, 0)}));
    sets.push_back(setOf({area({"Z", "X"}, 1, 100)}));
    sets[0]->setDeformed("def.tif");
    ZelDataSet& target = *sets[0];
    EXPECT_TRUE(ZelDataSet::combineDataSetsUsingOnlyCommonVariables(target, sets));
    ASSERT_EQ(target.numData(), 2);
    EXPECT_EQ(target.deformedImage(), "");
    EXPECT_EQ(namesOf(*target.data(0)), (std::vector<std::string>{"X", "Z"}));
    EXPECT_EQ(valuesOf(*target.data(0), 1), (std::vector<float>{4, 5}));
    EXPECT_EQ(namesOf(*target.data(1)), (std::vector<std::string>{"Z", "X"}));
    EXPECT_EQ(valuesOf(*target.data(1), 0), (std::vector<float>{100, 101}));
}
