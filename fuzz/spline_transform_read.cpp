// Feeds arbitrary text to the spline-transform JSON reader; a transform it accepts is
// written back, evaluated and inverted.

#include "orvex/core/SplineTransform.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

constexpr int kMaxNestingDepth = 64;

void exercise(const orvex::SplineTransform& transform) {
    transform.toJson().dump();
    const orvex::Rect& domain = transform.splineX().domain();
    bool ok;
    const orvex::Vector2 centre = transform.eval(domain.center(), &ok);
    transform.eval(orvex::Vector2(domain.x1, domain.y0), &ok);
    transform.invert(centre, &ok);
    transform.invert(orvex::Vector2(domain.x1 + 1.0, domain.y1), orvex::Vector2(domain.x0, domain.y1), &ok);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bool tooDeep = false;
    const auto withinDepth = [&tooDeep](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        tooDeep = tooDeep || depth > kMaxNestingDepth;
        return !tooDeep;
    };
    const nlohmann::json value = nlohmann::json::parse(std::string(reinterpret_cast<const char*>(data), size),
                                                       withinDepth, /*allow_exceptions=*/false);
    if (tooDeep)
        return 0;
    try {
        if (const auto transform = orvex::SplineTransform::fromJson(value))
            exercise(*transform);
    } catch (const nlohmann::json::type_error&) {
        // The reader's documented reaction to a count or corner of the wrong kind.
    }
    return 0;
}
