#pragma once
// Homography estimation from point pairs by the normalised direct linear transform.

#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Vector.h"

#include <utility>
#include <vector>

namespace orvex {

// first: source point, second: target point.
using PointPairs = std::vector<std::pair<Vector2, Vector2>>;

// H with target ∝ H·(source, 1), normalised to H(2, 2) = 1. False, with H untouched,
// for fewer than four pairs, a non-finite coordinate, coincident sources or targets,
// a degenerate configuration (more than one vanishing singular value), a vanishing
// H(2, 2) or a non-finite result.
bool homographyEstimation(Matrix3x3& H, const PointPairs& pairs);

} // namespace orvex
