#include "orvex/data/TableNumber.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

using namespace orvex;

namespace {

std::string text(float value) {
    char buffer[TableValueMaxChars + 1];
    return std::string(buffer, formatTableValue(buffer, value));
}

std::string printfGeneral(float value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(value));
    return buffer;
}

float fromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace

TEST(TableNumber, ExamplesAndEdgeValues) {
    const float infinity = std::numeric_limits<float>::infinity();
    const struct {
        float value;
        const char* expected;
    } cases[] = {
        {0.0f, "0"},
        {-0.0f, "-0"},
        {1.5f, "1.5"},
        {123456789.0f, "1.23457e+08"},
        {0.0001f, "0.0001"},
        {0.00001f, "1e-05"},
        {3.4028235e38f, "3.40282e+38"},
        {-3.4028235e38f, "-3.40282e+38"},
        {infinity, "0"},
        {-infinity, "0"},
        {std::numeric_limits<float>::quiet_NaN(), "0"},
        {-std::numeric_limits<float>::quiet_NaN(), "0"},
        {100000.0f, "100000"},
        {999999.0f, "999999"},
        {1000000.0f, "1e+06"},
        {999999.5f, "1e+06"}, // a tie, rounded to even
        {1234565.0f, "1.23456e+06"}, // a tie, rounded to even
        {1234575.0f, "1.23458e+06"},
        {0.1f, "0.1"},
        {-123.456f, "-123.456"},
        {0.000123456789f, "0.000123457"},
        {-0.000123456789f, "-0.000123457"},
        {std::numeric_limits<float>::min(), "1.17549e-38"},
        {-std::numeric_limits<float>::denorm_min(), "-1.4013e-45"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(c.value), c.expected) << c.value;
        EXPECT_LE(text(c.value).size(), static_cast<std::size_t>(TableValueMaxChars));
    }
}

// printf is the reference: every finite float of a stride through all bit
// patterns, and every tie between six-digit neighbours among the integers.
TEST(TableNumber, MatchesPrintfGeneral) {
    int mismatches = 0;
    for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 4099) {
        const float value = fromBits(static_cast<std::uint32_t>(bits));
        if (std::isfinite(value) && text(value) != printfGeneral(value) && ++mismatches < 10)
            ADD_FAILURE() << std::hex << bits << ": " << text(value) << " vs " << printfGeneral(value);
    }
    for (int n = 100000; n < 1677721; n += 7) {
        const float tie = static_cast<float>(10 * n + 5);
        for (const float value : {tie, -tie, tie / 1024.0f, tie * 1048576.0f}) {
            if (text(value) != printfGeneral(value) && ++mismatches < 10)
                ADD_FAILURE() << value << ": " << text(value) << " vs " << printfGeneral(value);
        }
    }
    EXPECT_EQ(mismatches, 0);
}
