// Feeds arbitrary text to the metadata reader and writes the result back.

#include "orvex/data/MetaData.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orvex::ZelDataSet::Private::MetaData metaData;
    try {
        metaData.deserialize(std::string(reinterpret_cast<const char*>(data), size));
        metaData.serialise();
    } catch (const nlohmann::json::type_error&) {
        // A metadata member of the wrong kind.
    }
    return 0;
}
