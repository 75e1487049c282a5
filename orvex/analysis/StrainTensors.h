#pragma once
// Displacement gradients of grid triangles and the strain tensors derived from them.
//
// Internal to the strain computation; declared here so that it can be tested alone.

#include "orvex/core/Array2.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Vector.h"

namespace orvex {

// Writes the in-plane strain (exx, eyy, exy) of the displacement gradient
// H = [[∂u/∂x, ∂u/∂y], [∂v/∂x, ∂v/∂y]]; the deformation gradient is F = I + H.
using tensor_func = void (*)(double& exx, double& eyy, double& exy, const Matrix2x2& H);

// Green-Lagrange ½(H + Hᵀ + HᵀH).
void tensor_lagrange(double& exx, double& eyy, double& exy, const Matrix2x2& H);
// Stretches √(2E + 1) − 1 of the Green-Lagrange E and the shear angle asin(2Exy / √(cx·cy)).
void tensor_engineering(double& exx, double& eyy, double& exy, const Matrix2x2& H);
// Biot √(FᵀF) − I.
void tensor_biot(double& exx, double& eyy, double& exy, const Matrix2x2& H);
// Hencky ½ ln(FᵀF).
void tensor_hencky(double& exx, double& eyy, double& exy, const Matrix2x2& H);
// Logarithmic Euler ½ ln(FFᵀ).
void tensor_log_euler(double& exx, double& eyy, double& exy, const Matrix2x2& H);
// Euler-Almansi ½(I − (FFᵀ)⁻¹); FFᵀ itself stands in when it cannot be inverted.
void tensor_euler(double& exx, double& eyy, double& exy, const Matrix2x2& H);

// Displacement gradient H of the triangle (a, b, c) deforming into (a2, b2, c2).
//
// Each state is laid into its own tangent frame: n = (a−c)×(b−c)/|…|,
// e1 = (n.z, 0, −n.x)/√(n.x² + n.z²) (or (1, 0, 0) when n lies along ±Y), e2 = e1×n
// normalised. The affine map between the vertices' local coordinates (the least-squares
// fit [x', y'] = S₀ + S₁x + S₂y, exact for three vertices) is F = E'·E⁻¹ for the local
// coordinates E = [a − c, b − c] and E' = [a2 − c2, b2 − c2] of the edges; H = F − I.
// False, with a warning, for a degenerate triangle (collinear or zero area in either
// state) or a non-finite gradient.
bool analyze_triang(Matrix2x2& H, const Vector3& a, const Vector3& b, const Vector3& c,
                    const Vector3& a2, const Vector3& b2, const Vector3& c2);

// Raw strain and displacement gradient of every valid point of a grid.
//
// Each point p with a non-negative (or NaN) blanking value is the centre of up to four
// triangles with its available neighbours (inside the grid, blanking value ≥ 0), in the
// order (left, up), (up, right), (right, down), (down, left). Its outputs are the means
// over its successful triangles of H (gradient rows H00, H01, H10, H11) and of fn(H)
// (strain rows exx, eyy, exy); other points' outputs, and an empty gradient array, are
// not written. A point without any successful triangle is blanked (−1) at once, in
// row-major order, so later points no longer use it as a neighbour. X, Y, Z and U, V, W are the reference positions and
// the displacements; all arrays hold columns × rows values. Threads: CPUInfo::numCPU();
// failed triangles are logged from the calling thread, in row-major order.
void compute_strain(Array2<float>& strain, Array2<float>& gradient, const float* X, const float* Y,
                    const float* Z, const float* U, const float* V, const float* W, float* blanking,
                    tensor_func fn, int columns, int rows);

} // namespace orvex
