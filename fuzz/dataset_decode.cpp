// Feeds arbitrary bytes to the data-set image reader, with either magic flag.

#include "orvex/data/ZelDataSet.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > INT_MAX)
        return 0;
    orvex::ZelDataSet set;
    const bool alternativeMagic = size > 0 && (data[size - 1] & 1);
    try {
        set.decode(reinterpret_cast<const char*>(data), static_cast<int>(size), alternativeMagic);
    } catch (const nlohmann::json::type_error&) {
        // The calibration reader's documented reaction to a member of the wrong kind.
    }
    return 0;
}
