#pragma once
// A coordinate-system fit: the rigid transform that gives chosen coordinates of
// transformed points their target values.

#include "orvex/core/RigidTransform.h"
#include "orvex/core/Vector.h"

#include <array>
#include <optional>
#include <vector>

namespace orvex {

// Per point and axis an optional target value.
using AxisTargets = std::array<std::optional<double>, 3>;

// The rigid transform T minimising sum (T(points[i])[k] - targets[i][k])^2 over every
// set target. Targets on one axis shared by several points ask for a plane normal to
// that axis, on two axes for a line, on all three for a position. The start comes
// from the points with three targets (closed form), else from the groups of points
// sharing an axis and target (a plane, then a second plane or line fixing the turn
// about its axis); a Levenberg-Marquardt iteration of at most 100 steps refines it,
// holding what the targets leave undetermined. Axes without any target are centred:
// the transformed points' mean on them is 0. rms is the root mean square residual,
// written only with a result. Empty, with a log record, for fewer than 6 targets,
// fewer target entries than points, or no start.
std::optional<RigidTransform> fitRigidTransform(double& rms, const std::vector<Vector3>& points,
                                                const std::vector<AxisTargets>& targets);

} // namespace orvex
