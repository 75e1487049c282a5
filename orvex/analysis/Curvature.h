#pragma once
// Curvature of the deformed surface of gridded areas.

#include "orvex/core/Vector.h"

namespace orvex {

class ZelData;
class ZelDataSet;

// Principal values k1 ≥ k2 and the angle of the first principal direction of the
// symmetric form [[cxx, cxy], [cxy, cyy]], t = (cxx, cyy, cxy): with m = (cxx + cyy)/2,
// d = (cxx − cyy)/2 and r = √(d² + cxy²), k1 = m + r, k2 = m − r and
// angle = atan2(cxy, d)/2 in radians.
void calculatePrincipalCurvatures(float& k1, float& k2, float& angle, const Vector3& t);

// Adds the curvature of the deformed surface (X + U, Y + V, Z + W) of the area as
// variables of type Curvature: "cxx", "cyy", "cxy" and, with `principal`, "c1", "c2",
// "gamma_c", each described as e.g. "cxx [1/mm] - 15 filter". With `reuse` a Curvature
// variable of the same name or description is relabelled and overwritten instead of
// adding a new one.
//
// Each point's normal is the mean of the unit normals (turned to z ≥ 0) of its grid
// triangles. At every valid point with a normal, the normals of the window of
// `window` × `window` points around it (half = window / 2 each side, clipped to the grid)
// are fitted by weighted least squares with a plane in the grid offsets; the fit's value
// at the point, normalised, is the smoothed normal n. In the frame e1, e2, n of n (see
// tangentFrameOfNormal) the deformed neighbours' offsets (u, v, h) from the point are
// fitted with h = q0·u² + q1·v² + q2·u + q3·v + q4·u·v + q5, weighting offset
// (i, j) with exp(−i²/window)·exp(−j²/window) (`weighted`) or 1. Stored are cxx = q0,
// cyy = q1, cxy = q4: half second derivatives, and the full mixed derivative. The
// principal values and angle are those of [[q0, q4/2], [q4/2, q1]], so they do not
// depend on how the surface is turned about n; a sphere of radius R gives c1 = c2 = 1/(2R).
//
// Points whose normal is missing (no triangle) or shorter than √0.1, or that are
// blanked, get −1 in the blanking variable and 0 in every written variable; so do the
// outputs of points whose normal fit is singular or whose quadratic fit is not
// determined (logged), without blanking. The quadratic is not determined when the
// window's points lie on a conic of the grid (on two rows or two columns, as at the
// grid's edges with a window of 3, or fewer than six points), however the surface bends
// them, or when its matrix is numerically rank-deficient with u and v measured against
// the window's extent, whatever the grid's spacing. The area's search trees are
// dropped afterwards. `progress`, when not null, is incremented by the number of grid
// points. Both passes run row-parallel on CPUInfo::numCPU() threads with results
// independent of the thread count.
//
// False, with nothing changed, for a window below 1, an area that is not gridded or
// that lacks the blanking variable or any of X, Y, Z (GlobalCoordinate) and U, V, W
// (GlobalDisplacement).
bool computeCurvature(ZelData& area, int window, bool principal, bool reuse, bool weighted, int* progress);

// The same for every gridded area of the set in index order (other areas are skipped);
// the first area that fails ends the call with false, earlier areas keeping their
// results. True when no area fails, also when none is gridded.
bool computeCurvature(ZelDataSet& set, int window, bool principal, bool reuse, bool weighted, int* progress);

} // namespace orvex
