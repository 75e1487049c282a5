#pragma once
// Strain of every gridded area of a data set.

#include "orvex/data/StrainSettings.h"

#include <vector>

namespace orvex {

class ZelDataSet;

// Adds the in-plane strain of every gridded area, in index order, as variables of type
// Strain: exx, eyy, exy (smoothed with the settings' window, the next odd size for an
// even one), then as the settings ask the displacement gradient fxx, fxy, fyx, fyy, the
// principal strains e1, e2 and angle gamma, and the Tresca and von Mises equivalents.
// A valid point whose window gives no fit (its valid points lie on one line, or the fit
// is singular) holds its unsmoothed strain and gradient, from which the rest follows.
// The strain is computed from the unsmoothed coordinates and displacements (stereo
// X, Y, Z / U, V, W, or a planar set with zero Z and W); points that form no triangle
// are blanked (−1) in the area's blanking variable. `ids` (may be null) receives one
// record per area of the variables created or reused. On success the window size and
// tensor of every created variable are recorded in the metadata. False for a null set,
// a window below 3, or a gridded area without blanking variable or coordinates; areas
// finished before that keep their variables, and nothing is recorded.
bool computeStrain(ZelDataSet* dataSet, const StrainComputationSettings& settings,
                   std::vector<StrainVariableIds>* ids);

} // namespace orvex
