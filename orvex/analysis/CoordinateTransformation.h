#pragma once
// Rigid and cylindrical coordinate transformations of the areas of a data set.

#include "orvex/core/RigidTransform.h"
#include "orvex/data/ZelDataTypes.h"

namespace orvex {

class ZelDataSet;

// The frame of a cylinder: `transform` maps data coordinates into it, and the
// cylinder axis is the frame's y axis.
struct CylinderTransformation {
    RigidTransform transform;
};

// Appends t to the set's transformation history, then moves every area into the new
// frame, touching only valid points (blanking >= 0): Type3d maps X, Y, Z by t and
// rotates U, V, W and the uncertainties SIGMA_X, SIGMA_Y, SIGMA_Z (each triple only
// when complete); other types map x_c, y_c and rotate u_c, v_c (both pairs required).
// With displacementOnly the positions stay and only the displacements are
// re-expressed: u := t(p + u) - p. Areas lacking a required variable are left as
// they are.
void applyTransformation(ZelDataSet& set, const RigidTransform& t, bool displacementOnly, CsDataSystemType type);

// Adds the cylinder coordinates R, Theta, Zc (and their changes dR, dTheta, dZ when
// U, V, W exist) to every stereo area and moves X, Y, Z, U, V, W and the SIGMA triple
// into the cylinder frame. Theta = atan2(x, z) in that frame; dTheta is wrapped into
// (-pi, pi]. With Type3d, Theta and dTheta have the type Angle, otherwise the
// cylinder types. Nothing is recorded in the metadata.
void applyCylinderTransformation(ZelDataSet& set, const CylinderTransformation& cyl, CsDataSystemType type);

} // namespace orvex
