#include "orvex/analysis/StrainTensors.h"

#include "orvex/core/ParallelRows.h"
#include "orvex/analysis/TangentFrame.h"
#include "orvex/core/Decompositions.h"
#include "orvex/core/Logging.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace orvex {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Below this sine of the angle between its edges a triangle counts as collinear.
constexpr double kCollinearSine = 1e-10;

bool isFinite(const Matrix2x2& m) {
    return std::isfinite(m(0, 0)) && std::isfinite(m(0, 1)) && std::isfinite(m(1, 0)) && std::isfinite(m(1, 1));
}

// The frame of the triangle (a, b, c) as documented at analyze_triang, from its
// unnormalised normal n = u × v; false when the triangle is degenerate.
bool tangentFrame(TangentFrame& frame, const Vector3& a, const Vector3& b, const Vector3& c) {
    const Vector3 u = a - c;
    const Vector3 v = b - c;
    const Vector3 n = cross(u, v);
    const double nn = dot(n, n);
    // |u × v| > sine · |u|·|v|, squared; false also for non-finite vertices.
    if (!(nn > kCollinearSine * kCollinearSine * dot(u, u) * dot(v, v)))
        return false;
    frame = tangentFrameOfNormal(n, nn);
    return true;
}

// Coordinates of the edges ea and eb in the frame, one column per edge.
Matrix2x2 edgeCoordinates(const TangentFrame& frame, const Vector3& ea, const Vector3& eb) {
    return Matrix2x2{dot(ea, frame.e1), dot(eb, frame.e1), dot(ea, frame.e2), dot(eb, frame.e2)};
}

// Deformation gradient F = I + H.
Matrix2x2 deformationGradient(const Matrix2x2& H) {
    return Matrix2x2{1.0 + H(0, 0), H(0, 1), H(1, 0), 1.0 + H(1, 1)};
}

// The 3 × 3 matrix with m in its upper left block and a 1 for the third axis.
Matrix3x3 withUnitThirdAxis(const Matrix2x2& m) {
    return Matrix3x3{m(0, 0), m(0, 1), 0.0, m(1, 0), m(1, 1), 0.0, 0.0, 0.0, 1.0};
}

// Gram matrix GᵀG: with G = F the right Cauchy-Green tensor FᵀF, with G = Fᵀ the left
// one F·Fᵀ.
Matrix2x2 gram(const Matrix2x2& G) {
    const double offDiagonal = G(0, 0) * G(0, 1) + G(1, 0) * G(1, 1);
    return Matrix2x2{G(0, 0) * G(0, 0) + G(1, 0) * G(1, 0), offDiagonal,
                     offDiagonal, G(0, 1) * G(0, 1) + G(1, 1) * G(1, 1)};
}

// Entry (i, j) of L·diag(d)·Rᵀ.
double scaledProductEntry(const Matrix3x3& L, const double d[3], const Matrix3x3& R, int i, int j) {
    double sum = 0.0;
    for (int k = 0; k < 3; ++k) sum += L(i, k) * d[k] * R(j, k);
    return sum;
}

// ½·ln C of a symmetric positive definite 2 × 2 C, from the decomposition
// U·diag(w)·Vᵀ of withUnitThirdAxis(C): its (0, 0), (1, 1) and (0, 1) entries. NaN
// when the decomposition fails.
void halfLogarithm(double& exx, double& eyy, double& exy, const Matrix2x2& C) {
    Matrix3x3 U, V;
    Vector3 w;
    if (!svd(U, w, V, withUnitThirdAxis(C))) {
        exx = eyy = exy = kNaN;
        return;
    }
    const double logW[3] = {std::log(w.x), std::log(w.y), std::log(w.z)};
    exx = 0.5 * scaledProductEntry(U, logW, V, 0, 0);
    eyy = 0.5 * scaledProductEntry(U, logW, V, 1, 1);
    exy = 0.5 * scaledProductEntry(U, logW, V, 0, 1);
}

} // namespace

void tensor_lagrange(double& exx, double& eyy, double& exy, const Matrix2x2& H) {
    const double h00 = H(0, 0), h01 = H(0, 1), h10 = H(1, 0), h11 = H(1, 1);
    exx = (h00 * h00 + h10 * h10) * 0.5 + h00;
    eyy = (h01 * h01 + h11 * h11) * 0.5 + h11;
    exy = (h01 + h10 + h00 * h01 + h10 * h11) * 0.5;
}

void tensor_engineering(double& exx, double& eyy, double& exy, const Matrix2x2& H) {
    double lxx, lyy, lxy;
    tensor_lagrange(lxx, lyy, lxy, H);
    const float Exx = static_cast<float>(lxx);
    const float Eyy = static_cast<float>(lyy);
    const float Exy = static_cast<float>(lxy);
    const float cx = 2.0f * Exx + 1.0f;
    const float cy = 2.0f * Eyy + 1.0f;
    exx = std::sqrt(static_cast<double>(cx)) - 1.0;
    eyy = std::sqrt(static_cast<double>(cy)) - 1.0;
    exy = std::asin(static_cast<double>(2.0f * Exy) / std::sqrt(static_cast<double>(cx * cy)));
}

void tensor_biot(double& exx, double& eyy, double& exy, const Matrix2x2& H) {
    Matrix3x3 U, V;
    Vector3 w;
    if (!svd(U, w, V, withUnitThirdAxis(deformationGradient(H)))) {
        exx = eyy = exy = kNaN;
        return;
    }
    // V·diag(w)·Vᵀ − I
    const double singular[3] = {w.x, w.y, w.z};
    exx = scaledProductEntry(V, singular, V, 0, 0) - 1.0;
    eyy = scaledProductEntry(V, singular, V, 1, 1) - 1.0;
    exy = scaledProductEntry(V, singular, V, 1, 0);
}

void tensor_hencky(double& exx, double& eyy, double& exy, const Matrix2x2& H) {
    halfLogarithm(exx, eyy, exy, gram(deformationGradient(H)));
}

void tensor_log_euler(double& exx, double& eyy, double& exy, const Matrix2x2& H) {
    halfLogarithm(exx, eyy, exy, gram(deformationGradient(H).transpose()));
}

void tensor_euler(double& exx, double& eyy, double& exy, const Matrix2x2& H) {
    const Matrix2x2 B = gram(deformationGradient(H).transpose()); // F·Fᵀ
    Matrix2x2 inverse = B;
    if (std::fabs(det2x2(B(0, 0), B(0, 1), B(1, 0), B(1, 1))) < 1e-12)
        PLOGW << "Can't get right Cauchy tensor.";
    else
        invertMatrix(inverse, B);
    exx = -0.5 * (inverse(0, 0) - 1.0);
    eyy = -0.5 * (inverse(1, 1) - 1.0);
    exy = -0.5 * inverse(0, 1);
}

namespace {

// The warning of analyze_triang for the triangle (a, b, c) without a gradient.
void warnNoGradient(const Vector3& b, const Vector3& c) {
    const Vector3 edge = c - b;
    PLOGW << "Could not invert matrix!!! " << edge.x << " " << edge.y << " " << edge.z;
}

// analyze_triang without the warning.
bool triangleGradient(Matrix2x2& H, const Vector3& a, const Vector3& b, const Vector3& c, const Vector3& a2,
                      const Vector3& b2, const Vector3& c2) {
    TangentFrame reference, deformed;
    if (!tangentFrame(reference, a, b, c) || !tangentFrame(deformed, a2, b2, c2))
        return false;
    // The affine map through three vertices is exact, so it takes the reference edges
    // E = [a − c, b − c] onto the deformed ones E' in local coordinates: F = E'·E⁻¹.
    const Matrix2x2 E = edgeCoordinates(reference, a - c, b - c);
    const Matrix2x2 Ed = edgeCoordinates(deformed, a2 - c2, b2 - c2);
    const double inverseDet = 1.0 / det2x2(E(0, 0), E(0, 1), E(1, 0), E(1, 1));
    const Matrix2x2 inverseE{E(1, 1) * inverseDet, -E(0, 1) * inverseDet, -E(1, 0) * inverseDet,
                             E(0, 0) * inverseDet};
    const Matrix2x2 F = Ed * inverseE;
    H = Matrix2x2{F(0, 0) - 1.0, F(0, 1), F(1, 0), F(1, 1) - 1.0};
    return isFinite(H);
}

} // namespace

bool analyze_triang(Matrix2x2& H, const Vector3& a, const Vector3& b, const Vector3& c,
                    const Vector3& a2, const Vector3& b2, const Vector3& c2) {
    if (triangleGradient(H, a, b, c, a2, b2, c2))
        return true;
    warnNoGradient(b, c);
    return false;
}

namespace {

// The grid positions and the blanking array that compute_strain works on.
struct StrainGrid {
    const float *X, *Y, *Z, *U, *V, *W;
    float* blanking;
    int columns, rows;

    Vector3 reference(int p) const { return Vector3(X[p], Y[p], Z[p]); }
    Vector3 deformed(int p) const {
        return Vector3(static_cast<double>(X[p]) + static_cast<double>(U[p]),
                       static_cast<double>(Y[p]) + static_cast<double>(V[p]),
                       static_cast<double>(Z[p]) + static_cast<double>(W[p]));
    }
    // Not blanked: a negative or NaN blanking value makes a point no neighbour.
    bool available(int p) const { return blanking[p] >= 0.0f; }
};

enum Neighbour { Up, Left, Right, Down };

// The four triangles around a point, each (first, second) neighbour, in averaging order.
constexpr Neighbour kTriangles[4][2] = {{Left, Up}, {Up, Right}, {Right, Down}, {Down, Left}};
const char* const kTriangleFailed[4] = {"tl failed.", "tr failed.", "rb failed.", "bl failed."};

// What the triangles of one point gave: a bit per triangle that failed, how many
// succeeded, and whether the scan-order replay blanked the point.
struct PointOutcome {
    std::uint8_t failedTriangles = 0;
    std::uint8_t succeeded = 0;
    bool blankedHere = false;
};

// The neighbours of p, indexed by Neighbour, that are available now; −1 for the others.
void availableNeighbours(const StrainGrid& grid, int p, int neighbour[4]) {
    const int row = p / grid.columns;
    const int column = p % grid.columns;
    neighbour[Up] = row > 0 && grid.available(p - grid.columns) ? p - grid.columns : -1;
    neighbour[Left] = column > 0 && grid.available(p - 1) ? p - 1 : -1;
    neighbour[Right] = column < grid.columns - 1 && grid.available(p + 1) ? p + 1 : -1;
    neighbour[Down] = row < grid.rows - 1 && grid.available(p + grid.columns) ? p + grid.columns : -1;
}

// Gradient H and strain e of triangle t of point p; false when either fails or is not
// finite. With `log` a failure is logged as analyze_triang and "tl failed." etc.
bool evaluateTriangle(const StrainGrid& grid, int p, const int neighbour[4], int t, tensor_func fn, bool log,
                      Matrix2x2& H, double e[3]) {
    const int first = neighbour[kTriangles[t][0]];
    const int second = neighbour[kTriangles[t][1]];
    bool ok = triangleGradient(H, grid.reference(first), grid.reference(second), grid.reference(p),
                               grid.deformed(first), grid.deformed(second), grid.deformed(p));
    if (!ok && log)
        warnNoGradient(grid.reference(second), grid.reference(p));
    if (ok) {
        fn(e[0], e[1], e[2], H);
        ok = std::isfinite(e[0]) && std::isfinite(e[1]) && std::isfinite(e[2]);
    }
    if (!ok && log) {
        PLOGW << kTriangleFailed[t];
    }
    return ok;
}

bool triangleAvailable(const int neighbour[4], int t) {
    return neighbour[kTriangles[t][0]] >= 0 && neighbour[kTriangles[t][1]] >= 0;
}

// Evaluates the triangles of point p whose neighbours are available now and writes the
// means of their results into strain and gradient (nothing when none succeeded).
PointOutcome averageTriangles(const StrainGrid& grid, int p, tensor_func fn, Array2<float>& strain,
                              Array2<float>& gradient, bool log) {
    int neighbour[4];
    availableNeighbours(grid, p, neighbour);
    double gradientSum[4] = {0.0, 0.0, 0.0, 0.0};
    double strainSum[3] = {0.0, 0.0, 0.0};
    PointOutcome outcome;
    for (int t = 0; t < 4; ++t) {
        if (!triangleAvailable(neighbour, t))
            continue;
        Matrix2x2 H;
        double e[3];
        if (!evaluateTriangle(grid, p, neighbour, t, fn, log, H, e)) {
            outcome.failedTriangles |= static_cast<std::uint8_t>(1u << t);
            continue;
        }
        for (int k = 0; k < 4; ++k) gradientSum[k] += H.data()[k];
        for (int k = 0; k < 3; ++k) strainSum[k] += e[k];
        ++outcome.succeeded;
    }
    if (outcome.succeeded == 0)
        return outcome;
    const double r = 1.0 / outcome.succeeded;
    for (int k = 0; k < 3; ++k) strain[k][p] = static_cast<float>(strainSum[k] * r);
    if (gradient.rows() > 0)
        for (int k = 0; k < 4; ++k) gradient[k][p] = static_cast<float>(gradientSum[k] * r);
    return outcome;
}

// Logs the failures of the given triangles of p again, now in scan order.
void logFailedTriangles(const StrainGrid& grid, int p, tensor_func fn, std::uint8_t failedTriangles) {
    int neighbour[4];
    availableNeighbours(grid, p, neighbour);
    for (int t = 0; t < 4; ++t)
        if (failedTriangles & (1u << t)) {
            Matrix2x2 H;
            double e[3];
            evaluateTriangle(grid, p, neighbour, t, fn, true, H, e);
        }
}

} // namespace

void compute_strain(Array2<float>& strain, Array2<float>& gradient, const float* X, const float* Y,
                    const float* Z, const float* U, const float* V, const float* W, float* blanking,
                    tensor_func fn, int columns, int rows) {
    if (columns < 1 || rows < 1)
        return;
    const StrainGrid grid{X, Y, Z, U, V, W, blanking, columns, rows};
    const int size = columns * rows;

    // Every point against the blanking as it was on entry, in parallel and silently;
    // the blanking is only read here. A row is marked when one of its points had a
    // failed triangle or none that succeeded.
    std::vector<PointOutcome> outcome(static_cast<std::size_t>(size));
    std::vector<char> rowMarked(static_cast<std::size_t>(rows), 0);
    parallelForRows(rows, [&](int begin, int end) {
        for (int row = begin; row < end; ++row)
            for (int p = row * columns; p < (row + 1) * columns; ++p) {
                if (blanking[p] < 0.0f)
                    continue;
                outcome[p] = averageTriangles(grid, p, fn, strain, gradient, false);
                if (outcome[p].failedTriangles != 0 || outcome[p].succeeded == 0) rowMarked[row] = 1;
            }
    });

    // Row-major replay of the blanking cascade, which also logs the failed triangles in
    // that order: a point without triangles is blanked at once, and a later point that
    // used it as its up or left neighbour is re-averaged without it. Right and down
    // neighbours have not been visited yet, so the parallel pass saw them as this pass
    // does. Only marked rows and the rows below a blanked point have anything to replay.
    bool rowAboveBlanked = false;
    for (int row = 0; row < rows; ++row) {
        const bool replay = rowMarked[row] || rowAboveBlanked;
        rowAboveBlanked = false;
        if (!replay)
            continue;
        for (int column = 0, p = row * columns; column < columns; ++column, ++p) {
            if (blanking[p] < 0.0f)
                continue;
            const bool lostNeighbour =
                (column > 0 && outcome[p - 1].blankedHere) || (row > 0 && outcome[p - columns].blankedHere);
            if (lostNeighbour)
                outcome[p] = averageTriangles(grid, p, fn, strain, gradient, true);
            else if (outcome[p].failedTriangles != 0)
                logFailedTriangles(grid, p, fn, outcome[p].failedTriangles);
            if (outcome[p].succeeded == 0) {
                blanking[p] = -1.0f;
                outcome[p].blankedHere = rowAboveBlanked = true;
            }
        }
    }
}

} // namespace orvex
