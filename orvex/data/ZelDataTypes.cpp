#include "orvex/data/ZelDataTypes.h"

#include <array>

namespace orvex {

namespace {

// Indexed by TensorType value. "log_equler" is the spelling stored in existing files.
constexpr std::array<const char*, 6> kTensorNames = {
    "lagrange", "hencky", "euler", "log_equler", "engineering", "biot"};

} // namespace

std::string tensorTypeToString(const TensorType& type) {
    const int value = static_cast<int>(type);
    if (value < 0 || value >= static_cast<int>(kTensorNames.size()))
        return {};
    return kTensorNames[static_cast<std::size_t>(value)];
}

std::optional<TensorType> stringToTensorType(const std::string& name) {
    for (std::size_t i = 0; i < kTensorNames.size(); ++i)
        if (name == kTensorNames[i])
            return static_cast<TensorType>(i);
    return std::nullopt;
}

} // namespace orvex
