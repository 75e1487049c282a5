#include "orvex/data/MetaData.h"

#include "LogCapture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using nlohmann::json;
using orvex::AdditionalVarInfo;
using MetaData = orvex::ZelDataSet::Private::MetaData;

namespace {

AdditionalVarInfo varInfo(std::optional<orvex::TensorType> type, std::optional<int> size) {
    AdditionalVarInfo info;
    info.strainTensorType = type;
    info.strainFilterSize = size;
    return info;
}

MetaData read(const std::string& text) {
    MetaData metaData;
    metaData.deserialize(text);
    return metaData;
}

} // namespace

TEST(AdditionalVarInfo, IsEmptyOnlyWithoutBothFields) {
    EXPECT_TRUE(AdditionalVarInfo().isEmpty());
    EXPECT_FALSE(varInfo(std::nullopt, 15).isEmpty());
    EXPECT_FALSE(varInfo(orvex::HenckyStrainTensor, std::nullopt).isEmpty());
}

TEST(AdditionalVarInfo, JsonForm) {
    EXPECT_TRUE(AdditionalVarInfo().toJson().is_null());
    EXPECT_EQ(varInfo(orvex::LogarithmicEulerTensor, 15).toJson().dump(),
              R"({"strain_filter_size":15,"strain_tensor_type":"log_equler"})");
    // A tensor type outside the named ones is written as "" and reads back as unset.
    const json unnamed = varInfo(static_cast<orvex::TensorType>(9), std::nullopt).toJson();
    EXPECT_EQ(unnamed.dump(), R"({"strain_tensor_type":""})");
    EXPECT_TRUE(AdditionalVarInfo::fromJson(unnamed).isEmpty());

    struct Case {
        const char* text;
        std::optional<orvex::TensorType> type;
        std::optional<int> size;
    };
    const Case cases[] = {
        {R"({"strain_filter_size":15.9,"strain_tensor_type":"biot"})", orvex::BiotStrainTensor, 15},
        {R"({"strain_filter_size":-3.7})", std::nullopt, -3},
        {R"({"strain_filter_size":7})", std::nullopt, 7},
        {R"({"strain_filter_size":"7","strain_tensor_type":3})", std::nullopt, std::nullopt},
        {R"({"strain_tensor_type":"LAGRANGE"})", std::nullopt, std::nullopt},
        {R"({"strain_filter_size":3000000000})", std::nullopt, std::nullopt},
        {R"({"strain_filter_size":-3000000000})", std::nullopt, std::nullopt},
        {R"({"strain_filter_size":1e300})", std::nullopt, std::nullopt},
        {R"([15,"lagrange"])", std::nullopt, std::nullopt},
        {R"({})", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const AdditionalVarInfo info = AdditionalVarInfo::fromJson(json::parse(c.text));
        EXPECT_EQ(info.strainTensorType, c.type) << c.text;
        EXPECT_EQ(info.strainFilterSize, c.size) << c.text;
    }
}

TEST(MetaData, WritesCompactSortedJson) {
    MetaData metaData;
    EXPECT_EQ(metaData.serialise(), "null");

    metaData.userData = {0x61, 0x62, 0x63};
    metaData.aois[3].subsetSize = 29;
    metaData.aois[10].stepSize = 5;
    metaData.aois[2].vars["exx"] = varInfo(orvex::LagrangeStrainTensor, 15);
    metaData.aois[2].vars["empty"] = AdditionalVarInfo();
    metaData.aois[4].vars["nothing"] = AdditionalVarInfo(); // record with nothing to write
    metaData.calibration = orvex::Calibration3D::fromJson(json::parse(R"({"magnifications":{"0":[1.5,1.5,1.0]}})"));
    metaData.transformations.push_back(*orvex::RigidTransform::fromJson(json::parse("[0.0,0.0,0.0,1.0,2.0,3.0]")));
    metaData.transformations.push_back(orvex::RigidTransform());
    EXPECT_EQ(metaData.serialise(),
              R"({"aois":{"10":{"step_size":5},"2":{"vars":{"exx":{"strain_filter_size":15,"strain_tensor_type":"lagrange"}}},)"
              R"("3":{"subset_size":29}},"calibration":{"magnifications":{"0":[1.5,1.5,1.0]}},)"
              R"("transformations":[[0.0,0.0,0.0,1.0,2.0,3.0],null],"user_data":"YWJj"})");
}

TEST(MetaData, UserBytesInBase64) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* text;
    };
    const Case cases[] = {
        {{0x61}, "YQ=="},
        {{0x61, 0x62}, "YWI="},
        {{0x61, 0x62, 0x63}, "YWJj"},
        {{0x00, 0xff, 0xfe, 0x80}, "AP/+gA=="},
    };
    for (const Case& c : cases) {
        MetaData metaData;
        metaData.userData = c.bytes;
        const std::string text = metaData.serialise();
        EXPECT_EQ(json::parse(text)["user_data"], c.text);
        EXPECT_EQ(read(text).userData, c.bytes) << c.text;
    }
    // Decoding stops at the first character outside the alphabet.
    EXPECT_EQ(read(R"({"user_data":"YW*j"})").userData, std::vector<std::uint8_t>{0x61});
    EXPECT_TRUE(read(R"({"user_data":17})").userData.empty());
}

TEST(MetaData, ReadsAreaRecordsOfTheRightKind) {
    auto& log = orvex::testing::LogCapture::instance();
    log.take();
    const MetaData metaData = read(R"({"aois":{
        "1x":{"step_size":7.0,"subset_size":31},
        " 2":{"step_size":9,"vars":{"exx":{"strain_filter_size":15.9},"eyy":{},"e1":{"strain_tensor_type":"LAGRANGE"}}},
        "x1":{"step_size":4},
        "5":{"step_size":3000000000,"subset_size":-3000000000},
        "6":{},
        "7":{"vars":{}},
        "8":[1]}})");

    ASSERT_EQ(metaData.aois.size(), 2u);
    const auto& first = metaData.aois.at(1);
    EXPECT_EQ(first.stepSize, std::nullopt);
    EXPECT_EQ(first.subsetSize, 31);
    const auto& second = metaData.aois.at(2);
    EXPECT_EQ(second.stepSize, 9);
    ASSERT_EQ(second.vars.size(), 1u);
    EXPECT_EQ(second.vars.at("exx").strainFilterSize, 15);
    EXPECT_EQ(log.take(), std::vector<std::string>{"stoi"});
}

TEST(MetaData, IgnoresTextThatIsNotAJsonObject) {
    const char* const texts[] = {"", "null", "[1,2]", "{\"user_data\":\"YWJj\"", "{\"user_data\":\"YWJj\"} x",
                                 "{\"user_data\":\"YWJj\"} // comment"};
    for (const char* text : texts) {
        const MetaData metaData = read(text);
        EXPECT_EQ(metaData.serialise(), "null") << text;
    }
    // A NUL outside a string ends the text; inside a string it makes the text invalid.
    const std::string cut("{\"user_data\":\"YWJj\"}\0garbage", 28);
    EXPECT_EQ(read(cut).userData, (std::vector<std::uint8_t>{0x61, 0x62, 0x63}));
    const std::string inside("{\"user_data\":\"YW\0Jj\"}", 21);
    EXPECT_TRUE(read(inside).userData.empty());
}

TEST(MetaData, IgnoresTextNestedTooDeep) {
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(read(R"({"calibration":{"cameras":)" + nested(100) + "}}").calibration.has_value());
    // Far deeper nesting, kept or not, leaves the whole text unread (and the reader on its stack).
    const std::string texts[] = {
        R"({"user_data":"YWJj","calibration":{"cameras":)" + nested(100000) + "}}",
        R"({"user_data":"YWJj","unknown":)" + nested(100000) + "}",
    };
    for (const std::string& text : texts)
        EXPECT_EQ(read(text).serialise(), "null") << text.substr(0, 40);
}

TEST(MetaData, NestingLimitCountsEveryValueAndKey) {
    const auto nested = [](int depth, const std::string& inner) {
        return std::string(depth, '[') + inner + std::string(depth, ']');
    };
    // Values inside the top object are one level below the top.
    EXPECT_TRUE(read(R"({"calibration":{"cameras":)" + nested(511, "") + "}}").calibration.has_value());
    for (const std::string inner : {"1", "\"s\"", "[]", "{}", "true"})
        EXPECT_FALSE(read(R"({"calibration":{"cameras":)" + nested(511, inner) + "}}").calibration.has_value())
            << inner;
    EXPECT_TRUE(read(R"({"calibration":{"cameras":)" + nested(510, "1") + "}}").calibration.has_value());
    // Brackets inside strings do not count.
    EXPECT_TRUE(read(R"({"calibration":{"cameras":")" + std::string(2000, '[') + R"(\""}})").calibration.has_value());
}

TEST(MetaData, NumbersOutOfRangeAreSkippedAndTheRestIsRead) {
    const std::string huge = "1" + std::string(400, '0');
    const MetaData metaData = read(R"({"user_data":"YWJj","aois":{
        "1":{"step_size":1e999,"subset_size":5,"vars":{"exx":{"strain_filter_size":-1E+999,"strain_tensor_type":"hencky"}}},
        "2":{"step_size":)" + huge + R"(,"subset_size":1e-999}},
        "calibration":{"residualerrors":{"-1":-1e400,"0":0.25}},
        "transformations":[[1e999,0.0,0.0,0.0,0.0,0.0],[0.5,0.0,0.0,0.0,0.0,0.0]]})");
    EXPECT_EQ(metaData.userData, (std::vector<std::uint8_t>{0x61, 0x62, 0x63}));
    ASSERT_EQ(metaData.aois.size(), 1u);
    const auto& area = metaData.aois.at(1);
    EXPECT_EQ(area.stepSize, std::nullopt);
    EXPECT_EQ(area.subsetSize, 5);
    EXPECT_EQ(area.vars.at("exx").strainFilterSize, std::nullopt);
    EXPECT_EQ(area.vars.at("exx").strainTensorType, orvex::HenckyStrainTensor);
    ASSERT_TRUE(metaData.calibration.has_value());
    EXPECT_EQ(metaData.calibration->residualKeys(), std::vector<int>{0});
    EXPECT_EQ(metaData.transformations.size(), 1u);
}

TEST(MetaData, RepeatedMembersKeepTheirLastValue) {
    EXPECT_EQ(read(R"({"aois":{"1":{"step_size":3}},"aois":{"2":{"step_size":4}}})").serialise(),
              R"({"aois":{"2":{"step_size":4}}})");
    EXPECT_EQ(read(R"({"aois":{"1":{"step_size":3},"1":5}})").serialise(), "null");
    EXPECT_EQ(read(R"({"aois":{"1":{"step_size":3,"step_size":4.0}}})").serialise(), "null");
    EXPECT_EQ(read(R"({"user_data":"YWJj","user_data":5,"calibration":{},"calibration":1})").serialise(), "null");
    // Names that give the same index are merged in the order of their names.
    EXPECT_EQ(read(R"({"aois":{"1":{"step_size":3}," 1":{"step_size":4,"subset_size":5}}})").serialise(),
              R"({"aois":{"1":{"step_size":3,"subset_size":5}}})");
}

TEST(MetaData, ValuesWhoseParsedFormWouldBeFarLargerAreNotRead) {
    // Two- and three-byte values at a size where their parsed form would take well
    // over the floor: in the calibration, which is kept whole, the metadata is
    // ignored as text nested too deep is; elsewhere they are skipped unbuilt.
    for (const std::string element : {"[],", "0,", "{},"}) {
        std::string values = "[";
        while (values.size() < (std::size_t{8} << 20))
            values += element;
        values += "0]";
        EXPECT_EQ(read(R"({"user_data":"YWJj","calibration":{"cameras":)" + values + "}}").serialise(), "null")
            << element;
        EXPECT_EQ(read(R"({"user_data":"YWJj","other":)" + values + "}").serialise(), R"({"user_data":"YWJj"})")
            << element;
    }
    // Area records of the same size are read, one at a time, also the densest kinds.
    for (const std::string record : {R"({"step_size":5,"vars":{"exx":{"strain_filter_size":15}}},)",
                                     R"({"step_size":5,"subset_size":29},)", "{\"step_size\":5},"}) {
        std::string records = R"({"aois":{)";
        int count = 0;
        for (; records.size() < (std::size_t{8} << 20); ++count)
            records += "\"" + std::to_string(count) + "\":" + record;
        records += R"("-1":{"step_size":1}}})";
        EXPECT_EQ(read(records).aois.size(), static_cast<std::size_t>(count + 1)) << record;
    }
}

TEST(MetaData, ReadsCalibrationAndTransformations) {
    MetaData metaData = read(R"({"calibration":{"cameras":[1],"other":2},
        "transformations":[[0.0,0.0,90.0,1.0,2.0,3.0],null,[0,0,0,0,0,0],"x"]})");
    // A member of a kind the calibration does not know is ignored: an empty calibration.
    ASSERT_TRUE(metaData.calibration.has_value());
    EXPECT_TRUE(metaData.calibration->toJson().is_null());
    ASSERT_EQ(metaData.transformations.size(), 1u);

    // Reading merges: transformations are appended; a calibration that is not an object removes it.
    metaData.deserialize(R"({"calibration":5,"transformations":[[0.0,0.0,0.0,0.0,0.0,0.0]]})");
    EXPECT_FALSE(metaData.calibration.has_value());
    EXPECT_EQ(metaData.transformations.size(), 2u);
}

TEST(MetaData, AMalformedCalibrationIsDroppedAndTheRestIsRead) {
    const MetaData metaData = read(R"({"calibration":{"cameras":{"0":5},"magnifications":{"0":[1.0,1.0,1.0]}},)"
                                   R"("transformations":[[0.0,0.0,0.0,1.0,2.0,3.0]],"user_data":"YWJj"})");
    EXPECT_FALSE(metaData.calibration.has_value());
    EXPECT_EQ(metaData.transformations.size(), 1u);
    EXPECT_EQ(metaData.userData.size(), 3u);
}

TEST(MetaData, RoundTripsThroughItsText) {
    const std::string text =
        R"({"aois":{"-1":{"step_size":3},"0":{"step_size":5,"subset_size":29,)"
        R"("vars":{"e1":{"strain_filter_size":14,"strain_tensor_type":"euler"},"exx":{"strain_tensor_type":"hencky"},)"
        "\"\xCE\xB5xx \xC2\xB5m\":{\"strain_filter_size\":15}}}},"
        R"("calibration":{"cameras":{"0":{"distortion":{"p":0,"r":1,"t":0,"values":[0.1,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]},)"
        R"("intrinsics":[800.5,600.25,2400.0,2400.0,0.0],"orientation":[0.0,0.0,0.0,1.5,-2.5,3.0],"type":"pinhole"}},)"
        R"("magnifications":{"0":[0.5,0.5,1.0]},"residualerrors":{"0":0.25}},)"
        R"("transformations":[[0.0,0.0,0.0,1.5,-2.5,3.0]],"user_data":"AAECAwQ="})";
    EXPECT_EQ(read(text).serialise(), text);
}
