#pragma once
// The plain records of a strain computation: its inputs, and the variables it
// created in one area.

#include "orvex/data/ZelDataTypes.h"

#include <string>
#include <vector>

namespace orvex {

struct StrainComputationSettings {
    int windowSize = 5; // smoothing window, grid points per side
    bool computePrincipalStrain = false; // also e1, e2 and the angle gamma
    bool reuseVariables = false; // overwrite same-named strain variables instead of adding
    TensorType tensorType = LagrangeStrainTensor;
    bool computeTresca = false;
    bool computeVonMises = false;
    bool outputGradient = false; // also fxx, fxy, fyx, fyy
    bool addSizeToDescription = false; // append the filter size to the descriptions
    std::string suffix; // appended to the created variable names
    std::vector<std::string> displacementVariables; // none, two or three names
};

// Index within one area of each variable a strain computation created or reused;
// -1 for one it did not produce.
struct StrainVariableIds {
    int exx = -1;
    int exy = -1;
    int eyy = -1;
    int fxx = -1;
    int fxy = -1;
    int fyx = -1;
    int fyy = -1;
    int e1 = -1;
    int e2 = -1;
    int gamma = -1;
    int tresca = -1;
    int vonmises = -1;
};

} // namespace orvex
