#include "orvex/core/SplineTransform.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using orvex::Rect;
using orvex::Spline2;
using orvex::SplineTransform;
using orvex::Vector2;
using orvex::testing::LogCapture;
using Json = nlohmann::json;

namespace {

// Coefficients of a cubic transform that make eval(p) = p: a cubic B-spline with
// coefficient x0 + (i − 1)·patchWidth in row i reproduces x (likewise y).
SplineTransform identity(const Rect& domain, int nx, int ny) {
    SplineTransform t(3, domain, nx, ny);
    const double w = t.splineX().patchWidth();
    const double h = t.splineX().patchHeight();
    for (int i = 0; i < nx + 3; ++i)
        for (int j = 0; j < ny + 3; ++j) {
            t.splineX().coefficients()[i][j] = domain.x0 + (i - 1) * w;
            t.splineY().coefficients()[i][j] = domain.y0 + (j - 1) * h;
        }
    return t;
}

// A smooth, invertible distortion of the identity.
SplineTransform distortion() {
    SplineTransform t = identity(Rect(0, 0, 100, 80), 4, 4);
    for (int i = 0; i < 7; ++i)
        for (int j = 0; j < 7; ++j) {
            t.splineX().coefficients()[i][j] += 1.5 * std::sin(i + 0.5 * j);
            t.splineY().coefficients()[i][j] += 0.8 * std::cos(0.7 * i - j);
        }
    return t;
}

// A valid 1 × 1 transform's JSON with the given members replaced (a discarded value
// removes the member).
Json jsonWith(const Json& changes) {
    Json j = Json::parse(R"({"nx":1,"ny":1,"tlx":0.0,"tly":0.0,"brx":1.0,"bry":1.0})");
    j["u_coeff"] = std::vector<double>(16, 0.5);
    j["v_coeff"] = std::vector<double>(16, 0.25);
    for (const auto& [key, value] : changes.items()) {
        if (value.is_discarded())
            j.erase(key);
        else
            j[key] = value;
    }
    return j;
}

Json jsonWith(const std::string& key, const Json& value) { return jsonWith(Json{{key, value}}); }

const char* const kSmallText =
    R"({"brx":2.0,"bry":3.0,"nx":1,"ny":1,"tlx":0.0,"tly":-1.5,)"
    R"("u_coeff":[0.0,0.5,1.0,1.5,2.0,2.5,3.0,3.5,4.0,4.5,5.0,5.5,6.0,6.5,7.0,7.5],)"
    R"("v_coeff":[100.0,101.0,102.0,103.0,104.0,105.0,106.0,107.0,108.0,109.0,110.0,111.0,112.0,113.0,114.0,115.0]})";

} // namespace

TEST(SplineTransform, DefaultIsNull) {
    const SplineTransform t;
    EXPECT_TRUE(t.isNull());
    EXPECT_EQ(t.splineX().degree(), 3);
    EXPECT_TRUE(t.toJson().is_null());
    EXPECT_FALSE(SplineTransform::fromJson(Json()).has_value());
    EXPECT_FALSE(SplineTransform(3, Rect(0, 0, 1, 1), 2, 2).isNull());

    SplineTransform mixed(3, Rect(0, 0, 1, 1), 2, 2);
    mixed.setSplineY(Spline2(3, Rect(0, 0, 1, 1), 3, 3));
    EXPECT_TRUE(mixed.isNull());
    mixed.setSplineY(Spline2(1, Rect(0, 0, 1, 1), 2, 2));
    EXPECT_TRUE(mixed.isNull());
}

TEST(SplineTransform, WritesTheExactJsonText) {
    SplineTransform t(3, Rect(0, -1.5, 2, 3), 1, 1);
    for (int k = 0; k < 16; ++k) {
        t.splineX().coefficients()[k / 4][k % 4] = k * 0.5;
        t.splineY().coefficients()[k / 4][k % 4] = 100.0 + k;
    }
    EXPECT_EQ(t.toJson().dump(), kSmallText);
    const std::optional<SplineTransform> back = SplineTransform::fromJson(Json::parse(kSmallText));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back == t);
    EXPECT_EQ(back->splineX().coefficients()[1][2], 3.0);  // row-major, rows along x
}

TEST(SplineTransform, RoundTripsThroughText) {
    const SplineTransform t = distortion();
    const Json written = t.toJson();
    EXPECT_EQ(written["u_coeff"].size(), 49u);
    std::optional<SplineTransform> back = SplineTransform::fromJson(Json::parse(written.dump()));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back == t);

    SplineTransform small(3, Rect(0, 0, 100, 80), 2, 2);
    small.splineX().coefficients()[2][3] = 1.0 / 3.0;
    EXPECT_EQ(small.toJson()["v_coeff"].size(), 25u);
    back = SplineTransform::fromJson(Json::parse(small.toJson().dump()));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back == small);
    EXPECT_FALSE(*back != small);
}

TEST(SplineTransform, NonCubicIsWrittenWithAWarningAndRefused) {
    LogCapture& log = LogCapture::emptied();
    const SplineTransform linear(1, Rect(0, 0, 4, 4), 2, 2);
    const Json written = linear.toJson();
    EXPECT_EQ(written["u_coeff"].size(), 9u);
    const std::vector<std::string> messages = log.take();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("degree 1"), std::string::npos);
    EXPECT_FALSE(SplineTransform::fromJson(written).has_value());
    SplineTransform(3, Rect(0, 0, 4, 4), 2, 2).toJson();
    EXPECT_TRUE(log.take().empty());
}

TEST(SplineTransform, RefusesMalformedJson) {
    const Json missing = Json::value_t::discarded;
    struct Case {
        const char* name;
        Json value;
    };
    const Case cases[] = {
        {"array", Json::parse("[1.0, 2.0]")},
        {"number", 3.5},
        {"empty object", Json::object()},
        {"no nx", jsonWith("nx", missing)},
        {"no bry", jsonWith("bry", missing)},
        {"no u_coeff", jsonWith("u_coeff", missing)},
        {"no v_coeff", jsonWith("v_coeff", missing)},
        {"u_coeff not an array", jsonWith("u_coeff", Json::object())},
        {"u_coeff too short", jsonWith("u_coeff", std::vector<double>(15, 0.5))},
        {"v_coeff too long", jsonWith("v_coeff", std::vector<double>(17, 0.5))},
        {"integer coefficient",
         jsonWith("v_coeff", Json::parse("[0.5,0.5,0.5,0.5,0.5,0.5,0.5,0,0.5,0.5,0.5,0.5,0.5,0.5,0.5,0.5]"))},
        {"string coefficients", jsonWith("u_coeff", std::vector<std::string>(16, "0.5"))},
        {"no patches after normalisation", jsonWith(Json{{"nx", 0}, {"ny", 0}})},
        {"negative counts", jsonWith(Json{{"nx", -3}, {"ny", -1}})},
        {"false counts", jsonWith(Json{{"nx", false}, {"ny", 0}})},
        {"count beyond int", jsonWith("nx", 5000000000LL)},
        {"huge counts, short arrays", jsonWith(Json{{"nx", 2147483647}, {"ny", 2147483647}})},
        {"infinite corner", jsonWith("brx", INFINITY)},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(SplineTransform::fromJson(c.value).has_value()) << c.name;

    // nx 0 with ny 4 becomes 4 × 4: arrays of 21 are refused, 49 accepted.
    Json normalised = jsonWith(Json{{"nx", 0}, {"ny", 4}});
    normalised["u_coeff"] = normalised["v_coeff"] = std::vector<double>(21, 0.5);
    EXPECT_FALSE(SplineTransform::fromJson(normalised).has_value());
    normalised["u_coeff"] = normalised["v_coeff"] = std::vector<double>(49, 0.5);
    const std::optional<SplineTransform> read = SplineTransform::fromJson(normalised);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->splineX().nx(), 4);
    EXPECT_EQ(read->splineY().ny(), 4);
}

TEST(SplineTransform, ReadsCountsLeniently) {
    struct Case {
        Json nx;
        int expected;
    };
    for (const Case& c : {Case{true, 1}, Case{1.9, 1}, Case{1u, 1}}) {
        const std::optional<SplineTransform> t = SplineTransform::fromJson(jsonWith("nx", c.nx));
        ASSERT_TRUE(t.has_value()) << c.nx.dump();
        EXPECT_EQ(t->splineX().nx(), c.expected);
    }
    const std::optional<SplineTransform> intCorner = SplineTransform::fromJson(jsonWith("tlx", -1));
    ASSERT_TRUE(intCorner.has_value());
    EXPECT_EQ(intCorner->splineX().domain().x0, -1.0);
}

TEST(SplineTransform, WrongKindsThrowTheTypeError) {
    struct Case {
        const char* key;
        Json value;
        const char* message;
    };
    const Case cases[] = {
        {"tlx", true, "[json.exception.type_error.302] type must be number, but is boolean"},
        {"bry", "1.0", "[json.exception.type_error.302] type must be number, but is string"},
        {"nx", "2", "[json.exception.type_error.302] type must be number, but is string"},
        {"ny", nullptr, "[json.exception.type_error.302] type must be number, but is null"},
        {"brx", Json::array(), "[json.exception.type_error.302] type must be number, but is array"},
    };
    for (const Case& c : cases) {
        try {
            SplineTransform::fromJson(jsonWith(c.key, c.value));
            ADD_FAILURE() << c.key << " did not throw";
        } catch (const Json::type_error& e) {
            EXPECT_EQ(e.id, 302) << c.key;
            EXPECT_STREQ(e.what(), c.message) << c.key;
        }
    }
}

TEST(SplineTransform, EvalSharesTheLayoutOrEvaluatesApart) {
    const SplineTransform t = distortion();
    for (const Vector2& p : {Vector2(0, 0), Vector2(33.3, 71.2), Vector2(100, 80), Vector2(99.9, 0.1)}) {
        bool ok = false;
        const Vector2 mapped = t.eval(p, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(mapped.x, t.splineX().eval(p));
        EXPECT_EQ(mapped.y, t.splineY().eval(p));
    }
    bool ok = true;
    const Vector2 outside = t.eval(Vector2(101, 5), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(outside.x, 0.0);
    EXPECT_EQ(outside.y, 0.0);

    // splineY over a smaller domain: evaluated on its own, ok from its inside flag.
    SplineTransform apart = t;
    Spline2 y(3, Rect(0, 0, 50, 80), 4, 4);
    y.coefficients().fill(2.0);
    apart.setSplineY(y);
    const Vector2 inY = apart.eval(Vector2(20, 20), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(inY.x, t.splineX().eval(Vector2(20, 20)));
    EXPECT_DOUBLE_EQ(inY.y, 2.0);
    const Vector2 beyondY = apart.eval(Vector2(70, 20), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(beyondY.x, t.splineX().eval(Vector2(70, 20)));
    EXPECT_EQ(beyondY.y, 0.0);
}

TEST(SplineTransform, InvertsTheIdentityAndADistortion) {
    const SplineTransform same = identity(Rect(0, 0, 100, 80), 3, 2);
    bool ok = false;
    Vector2 p = same.invert(Vector2(12.5, 70.25), &ok);
    EXPECT_TRUE(ok);
    EXPECT_NEAR(p.x, 12.5, 1e-9);
    EXPECT_NEAR(p.y, 70.25, 1e-9);

    const SplineTransform t = distortion();
    for (const Vector2& target : {Vector2(50, 40), Vector2(10, 70), Vector2(90, 5)}) {
        ok = false;
        p = t.invert(target, &ok);
        ASSERT_TRUE(ok) << target.x << "," << target.y;
        const Vector2 back = t.eval(p);
        EXPECT_NEAR(back.x, target.x, 1e-3);
        EXPECT_NEAR(back.y, target.y, 1e-3);
    }
}

TEST(SplineTransform, InversionFailures) {
    const SplineTransform same = identity(Rect(0, 0, 100, 80), 3, 2);
    bool ok = true;
    Vector2 p = same.invert(Vector2(150, 40), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(p.x, 0.0);
    EXPECT_EQ(p.y, 0.0);

    // A constant mapping has a singular Jacobian: stop, don't divide by zero.
    SplineTransform constant(3, Rect(0, 0, 10, 10), 2, 2);
    constant.splineX().coefficients().fill(1.0);
    constant.splineY().coefficients().fill(2.0);
    ok = true;
    p = constant.invert(Vector2(1, 2), Vector2(5, 5), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(p.x, 0.0);

    // An incomplete domain: the start (0, 0) is outside, so is every probe.
    SplineTransform incomplete = identity(Rect(0, 0, 10, 10), 2, 2);
    Rect domain = incomplete.splineX().domain();
    domain.x1Set = false;
    incomplete.setDefinitionDomain(domain);
    ok = true;
    incomplete.invert(Vector2(1, 1), &ok);
    EXPECT_FALSE(ok);
    same.invert(Vector2(1, 1), nullptr);  // ok may be null
}

// A pre-image just beyond the border: the steps are cut at the border, and the border
// point is the answer once the step from it is short enough.
TEST(SplineTransform, ClippedStepsEndOnTheBorder) {
    const SplineTransform same = identity(Rect(0, 0, 10, 10), 2, 2);
    bool ok = false;
    Vector2 p = same.invert(Vector2(10.0005, 5), &ok);
    EXPECT_TRUE(ok);
    EXPECT_NEAR(p.x, 10.0, 1e-12);
    EXPECT_NEAR(p.y, 5.0, 1e-12);

    p = same.invert(Vector2(15, 7), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(p.x, 0.0);
}

TEST(SplineTransform, SettersAndEquality) {
    SplineTransform t = distortion();
    const SplineTransform copy = t;
    EXPECT_TRUE(t.setSplineX(t.splineX()));
    EXPECT_TRUE(t == copy);
    t.splineY().coefficients()[3][3] += 1e-12;
    EXPECT_TRUE(t != copy);
    EXPECT_TRUE(t.setSplines(copy.splineX(), copy.splineY()));
    EXPECT_TRUE(t == copy);

    t.setDefinitionDomain(t.splineX().domain());
    EXPECT_TRUE(t == copy);
    t.setDefinitionDomain(Rect(0, 0, 50, 40));
    EXPECT_EQ(t.splineY().patchWidth(), 12.5);
    EXPECT_EQ(t.splineX().coefficients()[3][3], copy.splineX().coefficients()[3][3]);
    t.setNPatch(2, 0);
    EXPECT_EQ(t.splineX().coefficients().rows(), 5);
    EXPECT_EQ(t.splineY().coefficients().cols(), 3);
    t.setDegree(1);
    EXPECT_EQ(t.splineY().coefficients().rows(), 3);
    EXPECT_EQ(t.splineY().coefficients()[0][0], 0.0);
}
