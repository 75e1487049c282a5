#pragma once
// Dense decompositions and inverses: singular value decomposition (Golub–Reinsch),
// solving from it, null spaces, Gauss–Jordan and symmetric-sweep inverses, and the
// closed-form determinants and inverses of the small fixed-size matrices.
//
// Every operation reports failure by returning false. The small fixed-size forms
// allocate nothing on the heap. A null context means the library's default one,
// which nothing cancels.

#include "orvex/core/AnalysisContext.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Matrix.h"
#include "orvex/core/SymmetricMatrix.h"
#include "orvex/core/Vector.h"

namespace orvex {

// A (m × n, m ≥ n) = U·diag(w)·Vᵀ: U m × n, w the n singular values ≥ 0 in
// non-increasing order, V n × n orthogonal. U may be A itself. m < n fails with a
// warning, leaving U a copy of A and w n zeros; no convergence fails silently.
bool svd(Matrix& U, Vector& w, Matrix& V, const Matrix& A);
// The same for a 3 × 3 matrix; the outputs are written only on success.
bool svd(Matrix3x3& U, Vector3& w, Matrix3x3& V, const Matrix3x3& A);

// x = V·diag(1/w)·Uᵀ·b from a decomposition made by svd. A singular value of exactly
// 0 fails with x unchanged; zero small values in w first to drop them.
bool svd_solve(Vector& x, const Matrix& U, const Vector& w, const Matrix& V, const Vector& b);

// x = the right singular vector of A's smallest singular value (last column of V).
// x is unchanged on failure, also when A has fewer rows than columns.
bool nullSpace(Vector& x, const Matrix& A);
bool nullSpace(Vector3& x, const Matrix3x3& A);

// Inverse of a square matrix; out may be in. Orders 1 and 2 in closed form (fail for
// |det| < 1e-12), larger ones by Gauss–Jordan with full pivoting (fail on an exactly
// zero pivot or on cancellation). A matrix that is not square fails, out untouched.
bool invertMatrix(Matrix& out, const Matrix& in, AnalysisContext* context = nullptr);

// Closed forms; out may be in. Singular 2×2 (det exactly 0) and 3×3 (|det| < 1e-12)
// give the identity; a singular 4×4 (det exactly 0) leaves the adjugate in out.
bool invertMatrix(Matrix2x2& out, const Matrix2x2& in);
bool invertMatrix(Matrix3x3& out, const Matrix3x3& in);
bool invertMatrix(Matrix4x4& out, const Matrix4x4& in);

// Symmetric closed forms. The 2×2 reads all four entries (det exactly 0: identity);
// the 3×3 reads only the upper triangle (|det| < 1e-12: unchanged) and writes a
// symmetric result.
bool invertSymmetricMatrix(Matrix2x2& m);
bool invertSymmetricMatrix(Matrix3x3& m);
bool invertSymmetricMatrix(Matrix3x3& out, const Matrix3x3& in);

// In-place inverse of a square symmetric matrix by a sweep with diagonal pivoting:
// only the diagonal and upper triangle are read, the result is mirrored. Fails when
// no remaining diagonal entry is non-zero (so (0 1; 1 0) fails) or on cancellation.
bool invertSymmetricMatrix(Matrix& m, AnalysisContext* context = nullptr);
// The same sweep on packed storage.
bool invertSymmetricMatrix(SymmetricMatrix& m, AnalysisContext* context = nullptr);

// a·d − b·c
double det2x2(double a, double b, double c, double d);
// Determinant of the matrix with columns (a1, a2, a3), (b1, b2, b3), (c1, c2, c3),
// expanded along its first row.
double det3x3(double a1, double a2, double a3, double b1, double b2, double b3, double c1, double c2,
              double c3);
// Expansion along the first row.
double det4x4(const Matrix4x4& m);
// out(r, c) = (−1)^(r+c)·det(in without row c and column r); out may be in.
void adjoint(Matrix4x4& out, const Matrix4x4& in);

} // namespace orvex
