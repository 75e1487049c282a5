#include "orvex/calibration/Calibration3D.h"

#include "LogCapture.h"
#include "calibration/CalibrationFixtures.h"
#include "calibration/CameraFixtures.h"
#include "core/GeometryExpect.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

using namespace orvex;
using nlohmann::json;

namespace {

// Two stereo cameras, two external ones (one without model values), magnifications
// and residual errors: every member but the mappings, whose numbers are many.
Calibration3D goldenCalibration() {
    CameraData pinhole;
    pinhole.cx = 800.5;
    pinhole.cy = 600.25;
    pinhole.fx = 2400.0;
    pinhole.fy = 2399.5;
    pinhole.skew = 0.5;
    pinhole.numRadial = 2;
    pinhole.numTangential = 2;
    pinhole.radial[0] = -0.25;
    pinhole.radial[1] = 0.125;
    pinhole.tangential[0] = 0.001;
    pinhole.tangential[1] = -0.002;

    CameraData vro;
    vro.type = CameraType::VRO;
    vro.csType = VROSystemType(4);
    vro.cx = 640.0;
    vro.cy = 512.0;
    vro.fx = 1800.0;
    vro.fy = 1800.5;
    vro.vroFirst[0] = 0.0625;
    vro.vroSecond[0] = 0.5;
    vro.vroSecond[8] = -0.75;

    CameraData other = pinhole;
    other.numRadial = other.numTangential = 0;
    other.radial[0] = other.radial[1] = other.tangential[0] = other.tangential[1] = 0.0;

    Calibration3D calibration;
    calibration.setCamera(0, Camera(pinhole), RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), {75.0, 0.0, 0.0}));
    calibration.setCamera(1, Camera(vro), RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), {-75.0, 0.0, 0.0}));
    calibration.setCamera(-1, Camera(pinhole), RigidTransform());
    calibration.setCamera(10, Camera(other), RigidTransform(Rotation(0.0, 0.0, 0.0, Rotation::Deg), {0.0, 0.0, 5.0}));
    calibration.setCamera(2, Camera(CameraType::Pinhole), RigidTransform::identity());  // null: not written
    calibration.setMagnification(0, {0.5, 0.25, 1.0});
    calibration.setMagnification(10, {2.0, 2.0, 2.0});
    calibration.setResidualError(0, 0.125f);
    calibration.setResidualError(-4, 0.5f);
    return calibration;
}

const char* const kGoldenText =
    R"({"cameras":{)"
    R"("-1":{"distortion":{"p":0,"r":2,"t":2,"values":[-0.25,0.125,0.0,0.001,-0.002,0.0,0.0,0.0,0.0,0.0,0.0]},)"
    R"("intrinsics":[800.5,600.25,2400.0,2399.5,0.5],"type":"pinhole"},)"
    R"("0":{"distortion":{"p":0,"r":2,"t":2,"values":[-0.25,0.125,0.0,0.001,-0.002,0.0,0.0,0.0,0.0,0.0,0.0]},)"
    R"("intrinsics":[800.5,600.25,2400.0,2399.5,0.5],"orientation":[0.0,0.0,0.0,75.0,0.0,0.0],"type":"pinhole"},)"
    R"("1":{"distortion":{"cs_type":4,"values":[0.0625,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,)"
    R"(0.5,0.0,0.0,0.0,0.0,0.0,0.0,0.0,-0.75]},)"
    R"("intrinsics":[640.0,512.0,1800.0,1800.5,0.0],"orientation":[0.0,0.0,0.0,-75.0,0.0,0.0],"type":"VRO"},)"
    R"("10":{"distortion":{"p":0,"r":0,"t":0,"values":[0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]},)"
    R"("intrinsics":[800.5,600.25,2400.0,2399.5,0.5],"orientation":[0.0,0.0,0.0,0.0,0.0,5.0],"type":"pinhole"}},)"
    R"("magnifications":{"0":[0.5,0.25,1.0],"10":[2.0,2.0,2.0]},)"
    R"("residualerrors":{"-1":0.5,"0":0.125}})";

// The data-set file image of one small area with the calibration in its metadata.
std::string fileImage(const ZelDataSet& set) {
    std::size_t size = 0;
    std::unique_ptr<char[]> image(set.encode(size, false));
    return std::string(image.get(), size);
}

ZelDataSet dataSetWith(const Calibration3D& calibration) {
    ZelDataSet set;
    auto* area = new ZelData(2, 2, 0, "area");
    area->addVariable(PixelCoordinate, "x", "x");
    set.addData(area);
    set.setCalibration(calibration);
    return set;
}

// The calibration of a JSON text, which must be an object.
std::optional<Calibration3D> read(const std::string& text) { return Calibration3D::fromJson(json::parse(text)); }

std::string pinholeCameraText(const std::string& distortion, const std::string& extra = "") {
    return R"({"type":"pinhole","intrinsics":[800.5,600.25,2400.0,2399.5,0.0],"distortion":)" + distortion + extra + "}";
}

} // namespace

TEST(Calibration3DJson, GoldenText) {
    EXPECT_EQ(goldenCalibration().toJson().dump(), kGoldenText);
    EXPECT_TRUE(Calibration3D().toJson().is_null());
}

TEST(Calibration3DJson, ReadingTheGoldenTextWritesItBack) {
    const auto calibration = read(kGoldenText);
    ASSERT_TRUE(calibration.has_value());
    EXPECT_EQ(calibration->toJson().dump(), kGoldenText);
    EXPECT_EQ(calibration->residualError(-7), 0.5f);
    EXPECT_EQ(calibration->camera(1).getRawData().csType, 4u);
    EXPECT_EQ(calibration->camera(1).getRawData().vroSecond[8], -0.75);
    EXPECT_TRUE(calibration->orientation(-1).isNull());
    EXPECT_FALSE(calibration->isComplete() == false);
}

TEST(Calibration3DJson, RoundTripInsideADataSetFile) {
    const ZelDataSet set = dataSetWith(goldenCalibration());
    const std::string image = fileImage(set);
    EXPECT_NE(image.find(std::string("\"calibration\":") + kGoldenText), std::string::npos);
    ZelDataSet loaded;
    ASSERT_TRUE(loaded.decode(image, false));
    EXPECT_EQ(fileImage(loaded), image);
}

TEST(Calibration3DJson, InverseMappingsRoundTrip) {
    Calibration3D calibration = goldenCalibration();
    const auto [forward, reverse] = orvex::testing::affineMappings();
    calibration.setInverseMapping0(forward, reverse);
    calibration.setInverseMapping1(reverse, forward);
    const json written = calibration.toJson();
    ASSERT_TRUE(written.contains("imaps"));
    const auto back = Calibration3D::fromJson(written);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->toJson(), written);
    SplineTransform f, r;
    back->getInverseMapping1(f, r);
    EXPECT_TRUE(f == reverse);
    EXPECT_TRUE(r == forward);

    // Read whether or not other members are there.
    const auto alone = Calibration3D::fromJson({{"imaps", written["imaps"]}});
    ASSERT_TRUE(alone.has_value());
    EXPECT_TRUE(alone->inverseMappingCalibrated());

    // A lone direction is written but not read back.
    Calibration3D lone;
    lone.setInverseMapping0(forward, SplineTransform());
    const json loneJson = lone.toJson();
    EXPECT_TRUE(loneJson["imaps"]["0"].contains("fwd"));
    EXPECT_TRUE(Calibration3D::fromJson(loneJson)->toJson().is_null());
}

TEST(Calibration3DJson, WritingDropsWhatCannotBeRead) {
    Calibration3D calibration;
    // A camera with unset intrinsics is not written, even with an orientation.
    calibration.setCamera(0, Camera(CameraType::VRO), RigidTransform::identity());
    EXPECT_TRUE(calibration.toJson().is_null());
    // Omitted VRO sets carry no values.
    CameraData vro = orvex::testing::vroCamera(0).getRawData();
    vro.vroFirstOmitted = true;
    calibration.setCamera(3, Camera(vro), RigidTransform());
    EXPECT_EQ(calibration.toJson()["cameras"]["3"]["distortion"]["values"].size(), 36u);
    vro.vroSecondOmitted = true;
    calibration.setCamera(3, Camera(vro), RigidTransform());
    EXPECT_TRUE(calibration.toJson()["cameras"]["3"]["distortion"]["values"].empty());
    // A system type without model is written with no values, though not read back.
    vro.vroFirstOmitted = vro.vroSecondOmitted = false;
    vro.csType = VROSystemType(6);
    calibration.setCamera(4, Camera(vro), RigidTransform());
    const json written = calibration.toJson();
    EXPECT_EQ(written["cameras"]["4"]["distortion"], json::parse(R"({"cs_type":6,"values":[]})"));
    EXPECT_TRUE(Calibration3D::fromJson(written)->camera(4).isNull());
}

TEST(Calibration3DJson, TopLevelValues) {
    for (const json& value : {json(), json(3), json("text"), json::array({1, 2})})
        EXPECT_FALSE(Calibration3D::fromJson(value).has_value()) << value.dump();
    const auto empty = Calibration3D::fromJson(json::object());
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->toJson().is_null());
    // Members of other names and known members of other kinds are ignored.
    const auto ignored = read(R"({"cameras":[1],"magnifications":5,"imaps":"x","other":{"0":1}})");
    ASSERT_TRUE(ignored.has_value());
    EXPECT_TRUE(ignored->toJson().is_null());
}

// A table of camera objects: whether each is read, and what the error log says.
TEST(Calibration3DJson, MalformedCameras) {
    const std::string values11 = "[0.1,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]";
    struct Case {
        const char* name;
        std::string camera;
        bool read;
        bool logsError;
    };
    const Case cases[] = {
        {"pinhole", pinholeCameraText(R"({"r":1,"t":0,"p":0,"values":)" + values11 + "}"), true, false},
        {"short values", pinholeCameraText(R"({"r":1,"t":0,"p":0,"values":[0.1]})"), true, false},
        {"integer value", pinholeCameraText(R"({"r":1,"t":0,"p":0,"values":[0]})"), false, false},
        {"radial count 4", pinholeCameraText(R"({"r":4,"t":0,"p":0,"values":[]})"), false, true},
        {"tangential count 5", pinholeCameraText(R"({"r":0,"t":5,"p":0,"values":[]})"), false, true},
        {"negative prismatic count", pinholeCameraText(R"({"r":0,"t":0,"p":-2,"values":[]})"), false, true},
        {"huge count", pinholeCameraText(R"({"r":18446744073709551615,"t":0,"p":0,"values":[]})"), false, false},
        {"count as float", pinholeCameraText(R"({"r":1.0,"t":0,"p":0,"values":[]})"), false, false},
        {"count missing", pinholeCameraText(R"({"t":0,"p":0,"values":[]})"), false, false},
        {"values not an array", pinholeCameraText(R"({"r":0,"t":0,"p":0,"values":{}})"), false, false},
        {"distortion not an object", pinholeCameraText("[]"), false, false},
        {"no distortion", R"({"type":"pinhole","intrinsics":[1.0,2.0,3.0,4.0,0.0]})", false, false},
        {"four intrinsics", R"({"type":"pinhole","intrinsics":[1.0,2.0,3.0,4.0],"distortion":{}})", false, false},
        {"text intrinsic", R"({"type":"pinhole","intrinsics":[1.0,"2",3.0,4.0,0.0],"distortion":{}})", false, false},
        {"integer intrinsics", pinholeCameraText(R"({"r":0,"t":0,"p":0,"values":[]})").replace(50, 0, ""), true, false},
        {"unknown type", R"({"type":"fisheye","intrinsics":[1.0,2.0,3.0,4.0,0.0],"distortion":{}})", false, false},
        {"no type", R"({"intrinsics":[1.0,2.0,3.0,4.0,0.0],"distortion":{}})", false, false},
        {"orientation", pinholeCameraText(R"({"r":0,"t":0,"p":0,"values":[]})", R"(,"orientation":[0.0,0.0,0.0,1.0,2.0,3.0])"), true, false},
        {"short orientation", pinholeCameraText(R"({"r":0,"t":0,"p":0,"values":[]})", R"(,"orientation":[0.0,0.0,0.0,1.0,2.0])"), false, false},
        {"integer orientation", pinholeCameraText(R"({"r":0,"t":0,"p":0,"values":[]})", R"(,"orientation":[0,0,0,1,2,3])"), false, false},
        {"VRO cs_type 2", R"({"type":"VRO","intrinsics":[1.0,2.0,3.0,4.0,0.0],"distortion":{"cs_type":2,"values":[]}})", true, false},
        {"VRO cs_type 6", R"({"type":"VRO","intrinsics":[1.0,2.0,3.0,4.0,0.0],"distortion":{"cs_type":6,"values":[]}})", false, false},
        {"VRO cs_type float", R"({"type":"VRO","intrinsics":[1.0,2.0,3.0,4.0,0.0],"distortion":{"cs_type":2.0,"values":[]}})", false, false},
        {"VRO integer value", R"({"type":"VRO","intrinsics":[1.0,2.0,3.0,4.0,0.0],"distortion":{"cs_type":1,"values":[0.5,1]}})", false, false},
    };
    auto& log = orvex::testing::LogCapture::emptied();
    for (const Case& c : cases) {
        const auto calibration = read(R"({"cameras":{"0":)" + c.camera + "}}");
        ASSERT_TRUE(calibration.has_value()) << c.name;
        EXPECT_EQ(!calibration->camera(0).isNull(), c.read) << c.name;
        const auto& severities = log.severities;
        const bool logged = std::find(severities.begin(), severities.end(), plog::error) != severities.end();
        EXPECT_EQ(logged, c.logsError) << c.name;
        log.take();
    }
}

TEST(Calibration3DJson, CoefficientsAreReadInOrder) {
    const auto pinhole = read(R"({"cameras":{"0":)" +
                              pinholeCameraText(R"({"r":3,"t":4,"p":4,"values":[1.0,2.0,3.0,4.0,5.0,6.0,7.0,8.0,9.0,10.0,11.0,12.0]})") + "}}");
    const CameraData d = pinhole->camera(0).getRawData();
    EXPECT_EQ(d.radial[2], 3.0);
    EXPECT_EQ(d.tangential[3], 7.0);
    EXPECT_EQ(d.prismatic[3], 11.0);

    std::string values;
    for (int i = 1; i <= 40; ++i) values += (i > 1 ? "," : "") + std::to_string(i) + ".0";
    const auto vro = read(R"({"cameras":{"1":{"type":"VRO","intrinsics":[1.0,2.0,3.0,4.0,0.0],"distortion":{"cs_type":2,"values":[)" +
                          values + "]}}}}");
    const CameraData v = vro->camera(1).getRawData();
    EXPECT_EQ(v.vroFirst[10], 11.0);
    EXPECT_EQ(v.vroSecond[0], 12.0);
    EXPECT_EQ(v.vroSecond[21], 33.0);
    EXPECT_EQ(v.vroSecond[22], 0.0);  // beyond the set: never read, zero
}

// Members of the wrong kind make the whole calibration unreadable, with an error record.
TEST(Calibration3DJson, WrongKindsRefuseTheCalibration) {
    const char* const texts[] = {
        R"({"cameras":{"0":5}})",
        R"({"cameras":{"7":[1.0]}})",
        R"({"cameras":{"0":{"type":3,"intrinsics":[1.0,2.0,3.0,4.0,0.0]}}})",
        R"({"imaps":{"0":{"fwd":{"nx":"4","ny":4,"tlx":0.0,"tly":0.0,"brx":1.0,"bry":1.0},"rev":{}}}})",
    };
    auto& log = orvex::testing::LogCapture::emptied();
    for (const char* text : texts) {
        EXPECT_FALSE(read(text).has_value()) << text;
        EXPECT_FALSE(log.take().empty()) << text;
    }
    // Names that are no id are skipped before their value is looked at.
    EXPECT_TRUE(read(R"({"cameras":{"zero":5}})").has_value());
}

TEST(Calibration3DJson, MapEntries) {
    auto& log = orvex::testing::LogCapture::emptied();
    const auto calibration = read(
        R"({"magnifications":{"3abc":[1,2.5,3],"abc":[1.0,1.0,1.0],"4":[1.0,2.0],"5":[1.0,"2",3.0],"6":{"x":1}},)"
        R"("residualerrors":{"-4":0.25,"1":true,"2":1e300,"3":2,"4":"0.5","5":18446744073709551615}})");
    ASSERT_TRUE(calibration.has_value());
    EXPECT_EQ(calibration->magnificationKeys(), std::vector<int>{3});
    expectNear(calibration->magnification(3), Vector3(1.0, 2.5, 3.0), 0.0);
    EXPECT_FALSE(log.take().empty());  // the warning for "abc"
    std::vector<int> keys = calibration->residualKeys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<int>{-1, 3, 5}));
    EXPECT_EQ(calibration->residualError(-1), 0.25f);
    EXPECT_EQ(calibration->residualError(3), 2.0f);
    EXPECT_EQ(calibration->residualError(5), 18446744073709551615.0f);
}
