#pragma once
// Least-squares rigid-body fits between reference and deformed points.

#include "orvex/core/Array1.h"
#include "orvex/core/ByteImage.h"
#include "orvex/core/RigidTransform.h"
#include "orvex/data/ZelDataTypes.h"

namespace orvex {

class ZelDataSet;

// The rigid transform T minimising sum |ref_i - T def_i|^2 over the first numPts
// pairs (all of ref for numPts < 1): the closed-form rotation of the centred sets
// refined by a damped Gauss-Newton (Levenberg-Marquardt) iteration over the rotation
// vector and translation, at most 100 steps. rms = sqrt(that sum / (3 n)) at the
// returned transform. False, with transform and rms unchanged, for fewer than 3
// points or arrays shorter than numPts (both logged as errors), a failed
// decomposition or a singular damped system.
bool fitRigidTransform(RigidTransform& transform, double& rms, const Array1<Vector3>& ref,
                       const Array1<Vector3>& def, int numPts);

// The same fit from the valid points of every area carrying X, Y, Z, U, V, W and a
// blanking variable: ref = (X, Y, Z), def = (X + U, Y + V, Z + W). The transform thus
// removes the rigid-body motion from the deformed shape. False without a record when
// the areas hold 2 grid points or fewer.
bool fitRigidTransform(RigidTransform& transform, double& rms, const ZelDataSet& set);

// The same fit over the valid points whose pixel (floor of "x", "y") is selected in the
// mask (every valid point when the mask has no width or height). Type3d uses X, Y, Z /
// U, V, W, other types (x_c, y_c, 0) / (u_c, v_c, 0). A null transform unless more than
// 6 points count and the fit succeeds.
RigidTransform computeRigidTrafo(const ZelDataSet& set, const ByteImage& mask, CsDataSystemType type);

} // namespace orvex
