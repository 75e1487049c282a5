#pragma once
// Small areas built variable by variable for the data tests.

#include "orvex/data/ZelData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace orvex::testing {

struct VariableSpec {
    ZelDataVariableType type;
    std::string name;
    std::string description;
    std::vector<float> values; // row by row; empty leaves the zeros
};

// An area of rows x columns points holding `variables` in the given order.
inline ZelData makeArea(int rows, int columns, const std::vector<VariableSpec>& variables,
                        const std::string& title = {}) {
    ZelData area(columns, rows, 0, title);
    for (const VariableSpec& spec : variables) {
        const int index = area.addVariable(spec.type, spec.name, spec.description);
        std::copy(spec.values.begin(), spec.values.end(), area.data(static_cast<std::size_t>(index)));
    }
    return area;
}

// The values of variable i as a vector.
inline std::vector<float> valuesOf(const ZelData& area, int i) {
    const float* values = area.data(static_cast<std::size_t>(i));
    return values ? std::vector<float>(values, values + area.matrixSize()) : std::vector<float>();
}

// The area's encoded block; the encoding is expected to succeed.
inline std::vector<char> encodedBlock(const ZelData& area) {
    std::vector<char> bytes(area.diskSize());
    EXPECT_TRUE(area.encode(bytes.data(), static_cast<int>(bytes.size())));
    return bytes;
}

// An area whose data type (read from a block) is `dataType`.
inline ZelData withDataType(const ZelData& area, char dataType) {
    std::vector<char> bytes = encodedBlock(area);
    bytes[11] = dataType; // last byte of the data-type token
    ZelData read;
    read.decode(bytes.data(), static_cast<int>(bytes.size()));
    return read;
}

// The variable names in list order.
inline std::vector<std::string> namesOf(const ZelData& area) {
    std::vector<std::string> names;
    for (const ZelDataVarInfo& info : area.variables())
        names.push_back(info.name);
    return names;
}

} // namespace orvex::testing
