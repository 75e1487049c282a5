#pragma once

#include "orvex/data/ZelDataTypes.h"

#include <string>

namespace orvex {

// Name, description and type of one area variable.
struct ZelDataVarInfo {
    std::string name;
    std::string description;
    ZelDataVariableType type = Unknown;
};

} // namespace orvex
