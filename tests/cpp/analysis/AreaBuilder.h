#pragma once
// Areas of interest built from named value arrays, for the analysis tests.

#include "GridFields.h"

#include "orvex/data/ZelData.h"

#include <algorithm>
#include <string>
#include <vector>

struct AreaVariable {
    std::string name;
    orvex::ZelDataVariableType type;
    std::vector<float> values;
};

// A gridded area with the given variables in order, descriptions "<name> description".
inline orvex::ZelData makeArea(int columns, int rows, const std::vector<AreaVariable>& variables) {
    orvex::ZelData area(columns, rows, 0, "area");
    for (const AreaVariable& v : variables) {
        const int i = area.addVariable(v.type, v.name, v.name + " description");
        std::copy(v.values.begin(), v.values.end(), area.data(i));
    }
    return area;
}

// The stereo set X, Y, Z / U, V, W of the fields and their blanking as "sigma".
inline orvex::ZelData stereoArea(const GridFields& g) {
    using namespace orvex;
    return makeArea(g.columns, g.rows,
                    {{"X", GlobalCoordinate, g.X}, {"Y", GlobalCoordinate, g.Y}, {"Z", GlobalCoordinate, g.Z},
                     {"U", GlobalDisplacement, g.U}, {"V", GlobalDisplacement, g.V},
                     {"W", GlobalDisplacement, g.W}, {"sigma", Correlation, g.blanking}});
}
