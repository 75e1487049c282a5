#pragma once
// Areas of interest built from named value arrays, for the analysis tests.

#include "GridFields.h"
#include "data/AreaFixtures.h"

#include "orvex/data/ZelData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

struct AreaVariable {
    std::string name;
    orvex::ZelDataVariableType type;
    std::vector<float> values;
};

// A gridded area with the given variables in order, descriptions "<name> description".
inline orvex::ZelData makeArea(int columns, int rows, const std::vector<AreaVariable>& variables) {
    std::vector<orvex::testing::VariableSpec> specs;
    for (const AreaVariable& v : variables) specs.push_back({v.type, v.name, v.name + " description", v.values});
    return orvex::testing::makeArea(rows, columns, specs, "area");
}

// The stereo set X, Y, Z / U, V, W of the fields and their blanking as "sigma".
inline orvex::ZelData stereoArea(const GridFields& g) {
    using namespace orvex;
    return makeArea(g.columns, g.rows,
                    {{"X", GlobalCoordinate, g.X}, {"Y", GlobalCoordinate, g.Y}, {"Z", GlobalCoordinate, g.Z},
                     {"U", GlobalDisplacement, g.U}, {"V", GlobalDisplacement, g.V},
                     {"W", GlobalDisplacement, g.W}, {"sigma", Correlation, g.blanking}});
}

// The area re-decoded with data type 1 (not gridded).
inline orvex::ZelData notGridded(const orvex::ZelData& area) {
    std::vector<char> block(area.diskSize());
    EXPECT_TRUE(area.encode(block.data(), int(block.size())));
    const char gridded[4] = {char(0xA0), 0x11, 0x00, 0x02};
    for (std::size_t i = 0; i + 4 <= block.size(); ++i)
        if (std::memcmp(&block[i], gridded, 4) == 0) block[i + 3] = 0x01;
    orvex::ZelData result;
    EXPECT_GT(result.decode(block.data(), int(block.size())), 0);
    EXPECT_EQ(result.dataType(), 1);
    return result;
}
