#pragma once
// The metadata trailer of a data set's file image, for tests of what it records.

#include "orvex/data/ZelDataSet.h"

#include <cstddef>
#include <memory>
#include <string>

// The metadata trailer of the set's file image, as JSON text.
inline std::string metaDataText(const orvex::ZelDataSet& set) {
    std::size_t size = 0;
    std::unique_ptr<char[]> image(set.encode(size, false));
    const std::string bytes(image.get(), size);
    const std::size_t tag = bytes.rfind(std::string("\xA0\x00\x00\x05", 4));
    return bytes.substr(tag + 8);
}
