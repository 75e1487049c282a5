#pragma once
// The least-squares plane through a point set, as the rigid transform into its frame.

#include "orvex/core/Array1.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/RigidTransform.h"

#include <optional>
#include <utility>

namespace orvex {

class ZelDataSet;

// (unit normal, centroid) of the plane through the points: the normal is the direction
// of least scatter about the centroid, turned so that its z component is not negative.
// Empty for 2 points or fewer, a failed decomposition or a zero normal.
std::optional<std::pair<Vector3, Vector3>> averageNormal(const Array1<Vector3>& points);

// The rotation whose rows are the new x, y and z axes: x = the tangent frame's e1 of direction
// (in the global x-z plane, +X for a direction along ±Y), y = direction × x
// normalised, z = direction as given. For a unit direction it maps it onto (0, 0, 1).
Matrix3x3 alignZAxisToVector(const Vector3& direction);

// The transform p -> M (p - centroid), M = alignZAxisToVector(normal): the points'
// z coordinates become their signed distances from the plane. Empty when no plane is
// defined or the points are not finite.
std::optional<RigidTransform> bestPlaneFit(const Array1<Vector3>& points);

// The plane through the valid points of every area with X, Y, Z and a blanking
// variable: at the deformed positions (X + U, Y + V, Z + W) when those areas carry
// U, V, W and ignoreDisplacement is false, otherwise at the reference positions.
// False, with the transform unchanged, when no plane is defined or when only some of
// the areas carry displacements (their states would mix).
bool computeBestPlaneFit(RigidTransform& transform, const ZelDataSet& set, bool ignoreDisplacement);

} // namespace orvex
