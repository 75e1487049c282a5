// Feeds arbitrary JSON text to the calibration reader; what it reads must be written
// and read again without error.

#include "orvex/calibration/Calibration3D.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using nlohmann::json;
    constexpr int kMaxDepth = 64;
    bool tooDeep = false;
    const auto withinDepth = [&tooDeep](int depth, json::parse_event_t, json&) {
        tooDeep = tooDeep || depth > kMaxDepth;
        return !tooDeep;
    };
    const json value = json::parse(data, data + size, withinDepth, /*allow_exceptions=*/false);
    if (tooDeep || value.is_discarded())
        return 0;
    const auto calibration = orvex::Calibration3D::fromJson(value);
    if (!calibration)
        return 0;
    const json written = calibration->toJson();
    if (!orvex::Calibration3D::fromJson(written.is_null() ? json::object() : written))
        __builtin_trap();
    return 0;
}
