#pragma once
// Reading ints from JSON numbers without overflow: values outside the int range
// give an empty result.

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace orvex {

// A JSON integer (signed or unsigned) as an int; empty for other kinds.
inline std::optional<int> jsonIntegerToInt(const nlohmann::json& value) {
    constexpr auto intMax = static_cast<std::uint64_t>(std::numeric_limits<int>::max());
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        return number <= intMax ? std::optional<int>(static_cast<int>(number)) : std::nullopt;
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        const bool fits = number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
        return fits ? std::optional<int>(static_cast<int>(number)) : std::nullopt;
    }
    return std::nullopt;
}

// Any JSON number as an int, a floating-point value truncated toward zero.
inline std::optional<int> jsonNumberToInt(const nlohmann::json& value) {
    if (!value.is_number_float())
        return jsonIntegerToInt(value);
    const double number = std::trunc(value.get<double>());
    const bool fits = number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
    return fits ? std::optional<int>(static_cast<int>(number)) : std::nullopt;
}

} // namespace orvex
