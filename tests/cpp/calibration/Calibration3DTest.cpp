#include "orvex/calibration/Calibration3D.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;
using orvex::Calibration3D;

TEST(Calibration3D, FromJsonRefusesValuesThatAreNotObjects) {
    for (const json& value : {json(), json(3), json("text"), json::array({1, 2})})
        EXPECT_FALSE(Calibration3D::fromJson(value).has_value()) << value.dump();
}

TEST(Calibration3D, JsonKeepsItsMembersAndDropsOthers) {
    const json input = {
        {"cameras", json::array({{{"fx", 1200.5}}, {{"fx", 1190.25}}})},
        {"magnifications", {1.0, 0.5}},
        {"residualerrors", {0.01, 0.02}},
        {"imaps", {{"fwd", json::array()}, {"rev", nullptr}}},
        {"unrelated", 7},
    };
    const auto calibration = Calibration3D::fromJson(input);
    ASSERT_TRUE(calibration.has_value());
    json expected = input;
    expected.erase("unrelated");
    EXPECT_EQ(calibration->toJson(), expected);

    EXPECT_EQ(Calibration3D::fromJson(json::object())->toJson(), json::object());
}

TEST(Calibration3D, CopiesAreIndependent) {
    const json first = {{"magnifications", {2.0}}};
    const json second = {{"residualerrors", {0.5}}};
    Calibration3D a = *Calibration3D::fromJson(first);
    Calibration3D b(a);
    a = *Calibration3D::fromJson(second);
    EXPECT_EQ(b.toJson(), first);
    EXPECT_EQ(a.toJson(), second);

    Calibration3D& self = a;
    a = self;
    EXPECT_EQ(a.toJson(), second);
}
