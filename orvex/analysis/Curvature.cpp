#include "orvex/analysis/Curvature.h"

#include "orvex/analysis/AddScaled.h"
#include "orvex/analysis/GridTriangulation.h"
#include "orvex/core/ParallelRows.h"
#include "orvex/analysis/SmoothingWeights.h"
#include "orvex/analysis/TangentFrame.h"
#include "orvex/analysis/VectorClones.h"
#include "orvex/core/Decompositions.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/LargeBuffer.h"
#include "orvex/core/Logging.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace orvex {

void calculatePrincipalCurvatures(float& k1, float& k2, float& angle, const Vector3& t) {
    const double m = (t.x + t.y) / 2.0;
    const double d = (t.x - t.y) / 2.0;
    const double r = std::sqrt(d * d + t.z * t.z);
    k1 = static_cast<float>(m + r);
    k2 = static_cast<float>(m - r);
    angle = static_cast<float>(std::atan2(static_cast<double>(static_cast<float>(t.z)), d) / 2.0);
}

namespace {

// A neighbour takes part in the fits when its normal is longer than √0.1.
constexpr double kMinNormalSquared = 0.1;

// Neighbouring centres of one row fitted together, so that the loops over their
// windows run side by side over contiguous memory.
constexpr int kLanes = 8;

// What went wrong at a point, logged afterwards in row-major order.
enum PointStatus : std::uint8_t { NoTriangles = 1, NormalFitSingular = 2, QuadraticFitSingular = 4 };

// The variables written: cxx, cyy, cxy, then c1, c2, gamma_c when principal values are asked.
struct CurvatureVariable {
    const char* name;
    const char* description;
};
const CurvatureVariable kVariables[6] = {{"cxx", "cxx [1/mm]"}, {"cyy", "cyy [1/mm]"}, {"cxy", "cxy [1/mm]"},
                                         {"c1", "c1 [1/mm]"},   {"c2", "c2 [1/mm]"},   {"gamma_c", "gamma_c [1]"}};

struct Inputs {
    const float *X, *Y, *Z, *U, *V, *W;
    float* blanking;
    int columns, rows;
};

// Normals and deformed positions of every point, each row padded with zeros so that
// a window reaching past the grid's sides, or the lanes past its last column, reads
// points that take no part. A point takes part (take = 1) when its normal is long
// enough; the normal and position of any other point are stored as 0.
struct PointFields {
    // `pad` = the farthest column offset a window reaches inside the grid.
    PointFields(int columns_, int rows_, int pad_)
        : columns(columns_),
          rows(rows_),
          pad(pad_),
          width(static_cast<std::size_t>(columns_) + 2 * static_cast<std::size_t>(pad_) + kLanes - 1) {
        // Left uninitialised: the normal pass writes every entry of its rows.
        const std::size_t size = width * static_cast<std::size_t>(rows);
        for (auto& field : fields) field = makeLargeBuffer<double>(size);
    }

    std::size_t index(int row, int column) const {
        return static_cast<std::size_t>(row) * width + pad + static_cast<std::size_t>(column);
    }

    enum Field { Take, Nx, Ny, Nz, Px, Py, Pz, FieldCount };
    double* operator[](Field f) const { return fields[f].get(); }

    const int columns;
    const int rows;
    const int pad;
    const std::size_t width;
    LargeBuffer<double> fields[FieldCount];
};

// ---- Pass 1: normals and positions -----------------------------------------------------

Vector3 deformedPosition(const Inputs& in, std::size_t p) {
    return Vector3(static_cast<double>(in.X[p]) + static_cast<double>(in.U[p]),
                   static_cast<double>(in.Y[p]) + static_cast<double>(in.V[p]),
                   static_cast<double>(in.Z[p]) + static_cast<double>(in.W[p]));
}

// Mean of the unit normals, turned to z ≥ 0, of the vertex's triangles.
Vector3 vertexNormal(const Inputs& in, const GridTriangulation::VertexInfo& info) {
    auto position = [&in](const Index2& v) {
        return deformedPosition(in, static_cast<std::size_t>(v.row) * in.columns + v.column);
    };
    Vector3 sum;
    for (int k = 0; k < info.count; ++k) {
        const TriVertice& t = info.triangles[k];
        const Vector3 p0 = position(t.vertex[0]);
        Vector3 normal = cross(position(t.vertex[2]) - p0, position(t.vertex[1]) - p0);
        normal *= 1.0 / norm(normal);
        if (normal.z < 0.0) normal = -normal;
        sum += normal;
    }
    return Vector3(sum.x / info.count, sum.y / info.count, sum.z / info.count);
}

void computeNormals(const Inputs& in, PointFields& fields, std::uint8_t* status, int begin, int end) {
    const GridTriangulation triangulation(in.rows, in.columns, in.blanking, in.X, in.Y, in.Z, in.U, in.V, in.W);
    for (int row = begin; row < end; ++row) {
        const std::size_t rowStart = fields.index(row, 0) - fields.pad;
        for (int f = 0; f < PointFields::FieldCount; ++f) {
            double* values = fields[PointFields::Field(f)] + rowStart;
            std::fill(values, values + fields.pad, 0.0);
            std::fill(values + fields.pad + in.columns, values + fields.width, 0.0);
        }
        for (int column = 0; column < in.columns; ++column) {
            const std::size_t p = static_cast<std::size_t>(row) * in.columns + column;
            const std::size_t q = fields.index(row, column);
            const GridTriangulation::VertexInfo& info = triangulation._getVertexInfo({row, column});
            Vector3 normal;
            if (info.count == 0)
                status[p] = NoTriangles;
            else
                normal = vertexNormal(in, info);
            const bool take = dot(normal, normal) > kMinNormalSquared;
            fields[PointFields::Take][q] = take ? 1.0 : 0.0;
            fields[PointFields::Nx][q] = take ? normal.x : 0.0;
            fields[PointFields::Ny][q] = take ? normal.y : 0.0;
            fields[PointFields::Nz][q] = take ? normal.z : 0.0;
            fields[PointFields::Px][q] = take ? static_cast<double>(in.X[p] + in.U[p]) : 0.0;
            fields[PointFields::Py][q] = take ? static_cast<double>(in.Y[p] + in.V[p]) : 0.0;
            fields[PointFields::Pz][q] = take ? static_cast<double>(in.Z[p] + in.W[p]) : 0.0;
        }
    }
}

// ---- Pass 2: fits -----------------------------------------------------------------------

// Weighted window sums of one quadratic fit, Σ w·uᵃ·vᵇ for a + b ≤ 4 and
// Σ w·h·uᵃ·vᵇ for a + b ≤ 2, in the order of these indexes.
enum Moment {
    W0, U1, V1, UU, UV, VV, UUU, UUV, UVV, VVV, U4, U3V, U2V2, UV3, V4, // Σ w·uᵃ·vᵇ
    H0, HU, HV, HUU, HUV, HVV,                                          // Σ w·h·uᵃ·vᵇ
    MomentCount
};

constexpr int kGridMomentCount = H0; // the moments of the offsets alone

// The monomials φ = (u², v², u, v, u·v, 1) of the fit h = q·φ as exponents (a, b).
constexpr int kPhi[6][2] = {{2, 0}, {0, 2}, {1, 0}, {0, 1}, {1, 1}, {0, 0}};

// Index of Σ w·uᵃ·vᵇ (a + b ≤ 4) and of Σ w·h·uᵃ·vᵇ (a + b ≤ 2).
int momentOf(int a, int b) {
    static constexpr int table[5][5] = {{W0, V1, VV, VVV, V4},
                                        {U1, UV, UVV, UV3, -1},
                                        {UU, UUV, U2V2, -1, -1},
                                        {UUU, U3V, -1, -1, -1},
                                        {U4, -1, -1, -1, -1}};
    return table[a][b];
}
int heightMomentOf(int a, int b) {
    static constexpr int table[3][3] = {{H0, HV, HVV}, {HU, HUV, -1}, {HUU, -1, -1}};
    return table[a][b];
}

using Matrix6 = Eigen::Matrix<double, 6, 6>;
using Vector6 = Eigen::Matrix<double, 6, 1>;

// The fit's matrix Σ w·φ·φᵀ from the moments Σ w·uᵃ·vᵇ, moment m at moments[m·stride].
Matrix6 fitMatrix(const double* moments, std::size_t stride) {
    Matrix6 M;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            M(i, j) = moments[stride * momentOf(kPhi[i][0] + kPhi[j][0], kPhi[i][1] + kPhi[j][1])];
    return M;
}

// 2^−⌊log₂(x)/2⌋ for a positive normal x, so that x times its square lies in [1, 4);
// 0 for any other x.
double powerOfTwoScale(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int exponent = static_cast<int>(bits >> 52); // biased; the sign bit makes it ≥ 2048
    if (exponent < 1 || exponent > 2046)
        return 0.0;
    const std::uint64_t scaled = static_cast<std::uint64_t>(1023 - ((exponent + 1) / 2 - 512)) << 52;
    double scale;
    std::memcpy(&scale, &scaled, sizeof scale);
    return scale;
}

// Smallest pivot for a fit to count as determined, its monomials measured against the
// window's own extent (see fitDetermined). Determined windows give pivots above 1e-3,
// windows whose points lie on a conic pivots at rounding level (below 1e-15).
constexpr double kMinScaledPivot = 1e-9;

// Whether the fit whose matrix M = Σ w·φ·φᵀ `ldlt` factorises is determined: whether
// every pivot exceeds kMinScaledPivot once M is scaled to D·M·D with a diagonal in [1, 4),
// D holding powers of two. That scaling measures u and v against the window's extent,
// so the test does not depend on the grid's spacing, and being exact it leaves the
// factorisation as it is: in the same pivot order D·M·D has the pivots of M times the
// squares of D's entries taken in that order.
bool fitDetermined(const Matrix6& M, const Eigen::LDLT<Matrix6>& ldlt) {
    Vector6 squares;
    for (int i = 0; i < 6; ++i) {
        const double scale = powerOfTwoScale(M(i, i));
        if (scale == 0.0) // a monomial that vanishes on the window, or NaN
            return false;
        squares(i) = scale * scale;
    }
    const Vector6 pivots = (ldlt.transpositionsP() * squares).cwiseProduct(ldlt.vectorD());
    return (pivots.array() > kMinScaledPivot).all();
}

// The window's weights: g(i) of one row or column offset i ∈ [−half, half], and
// K(i, j) = g(i)·g(j) of the offset (i, j), rounded to float as a stored weight.
struct WindowWeights {
    int half;
    std::vector<double> profile; // g(i) at index i + half

    double g(int i) const { return profile[static_cast<std::size_t>(i + half)]; }
    double kernel(int i, int j) const { return static_cast<float>(g(i) * g(j)); }
};

// The column sums of the window rows around a row: of take with dy⁰ … dy⁴, then of each
// normal component with dy⁰, dy¹, each over every padded column.
enum ColumnSum { T0, N0 = 5, N1, ColumnSumCount = 11 };

// Per lane over the neighbours taking part, with the separable weights w = g(dy)·g(dx):
// the moments Σ w·dxᵃ·dyᵇ (a + b ≤ 4, in the order of Moment) of the grid offsets, and
// Σ w·N·(1, dx, dy) of each normal component, from the column sums (ColumnSum) along
// each lane's window.
ORVEX_VECTOR_CLONES
void sumLaneGridWindows(double (&grid)[kGridMomentCount][kLanes], double (&normal)[9][kLanes],
                        const double* columnSums, const PointFields& fields, const WindowWeights& weights,
                        int first) {
    // Local sums, which nothing else can alias, let the lane loops be vectorised.
    double gridSums[kGridMomentCount][kLanes] = {};
    double normalSums[9][kLanes] = {};
    for (int dx = -fields.pad; dx <= fields.pad; ++dx) {
        double g[5] = {weights.g(dx)}; // g(dx)·dxᵃ
        for (int a = 1; a < 5; ++a) g[a] = g[a - 1] * dx;
        const double* c[ColumnSumCount];
        for (int k = 0; k < ColumnSumCount; ++k) c[k] = columnSums + k * fields.width + fields.index(0, first) + dx;
        for (int l = 0; l < kLanes; ++l) {
            const double t0 = c[T0][l], t1 = c[T0 + 1][l], t2 = c[T0 + 2][l], t3 = c[T0 + 3][l], t4 = c[T0 + 4][l];
            gridSums[W0][l] += g[0] * t0;
            gridSums[U1][l] += g[1] * t0;
            gridSums[V1][l] += g[0] * t1;
            gridSums[UU][l] += g[2] * t0;
            gridSums[UV][l] += g[1] * t1;
            gridSums[VV][l] += g[0] * t2;
            gridSums[UUU][l] += g[3] * t0;
            gridSums[UUV][l] += g[2] * t1;
            gridSums[UVV][l] += g[1] * t2;
            gridSums[VVV][l] += g[0] * t3;
            gridSums[U4][l] += g[4] * t0;
            gridSums[U3V][l] += g[3] * t1;
            gridSums[U2V2][l] += g[2] * t2;
            gridSums[UV3][l] += g[1] * t3;
            gridSums[V4][l] += g[0] * t4;
            for (int s = 0; s < 3; ++s) {
                normalSums[3 * s][l] += g[0] * c[N0 + 2 * s][l];     // Σ w·N
                normalSums[3 * s + 1][l] += g[1] * c[N0 + 2 * s][l]; // Σ w·N·dx
                normalSums[3 * s + 2][l] += g[0] * c[N1 + 2 * s][l]; // Σ w·N·dy
            }
        }
    }
    std::copy(&gridSums[0][0], &gridSums[0][0] + kGridMomentCount * kLanes, &grid[0][0]);
    std::copy(&normalSums[0][0], &normalSums[0][0] + 9 * kLanes, &normal[0][0]);
}

// Centres and frames of the lanes whose quadratic moments are summed.
struct LaneFrames {
    double centre[3][kLanes];
    double axis[3][3][kLanes]; // e1, e2, n; component; lane
};

// Σ w·uᵃ·vᵇ and Σ w·h·uᵃ·vᵇ of each lane's window, (u, v, h) being a neighbour's offset
// from the lane's centre in the lane's frame and w = K(dy, dx)·take.
ORVEX_VECTOR_CLONES
void sumLaneMoments(double (&moments)[MomentCount][kLanes], const LaneFrames& lanes, const PointFields& fields,
                    const WindowWeights& weights, int row, int first, int firstDy, int lastDy) {
    // Local copies, which nothing else can alias, let the lane loop be vectorised.
    const LaneFrames local = lanes;
    double sums[MomentCount][kLanes] = {};
    const double* take = fields[PointFields::Take];
    const double* px = fields[PointFields::Px];
    const double* py = fields[PointFields::Py];
    const double* pz = fields[PointFields::Pz];
    for (int dy = firstDy; dy <= lastDy; ++dy)
        for (int dx = -fields.pad; dx <= fields.pad; ++dx) {
            const double weightHere = weights.kernel(dy, dx);
            const std::size_t q = fields.index(row + dy, first + dx);
            for (int l = 0; l < kLanes; ++l) {
                const double d0 = px[q + l] - local.centre[0][l];
                const double d1 = py[q + l] - local.centre[1][l];
                const double d2 = pz[q + l] - local.centre[2][l];
                // e1.y is 0 by construction.
                const double u = d0 * local.axis[0][0][l] + d2 * local.axis[0][2][l];
                const double v = d0 * local.axis[1][0][l] + d1 * local.axis[1][1][l] + d2 * local.axis[1][2][l];
                const double h = d0 * local.axis[2][0][l] + d1 * local.axis[2][1][l] + d2 * local.axis[2][2][l];
                const double w = weightHere * take[q + l];
                const double wu = w * u, wv = w * v;
                const double wuu = wu * u, wuv = wu * v, wvv = wv * v;
                const double wuuu = wuu * u, wuuv = wuu * v, wuvv = wuv * v, wvvv = wvv * v;
                const double wh = w * h, whu = wh * u, whv = wh * v;
                sums[W0][l] += w;
                sums[U1][l] += wu;
                sums[V1][l] += wv;
                sums[UU][l] += wuu;
                sums[UV][l] += wuv;
                sums[VV][l] += wvv;
                sums[UUU][l] += wuuu;
                sums[UUV][l] += wuuv;
                sums[UVV][l] += wuvv;
                sums[VVV][l] += wvvv;
                sums[U4][l] += wuuu * u;
                sums[U3V][l] += wuuu * v;
                sums[U2V2][l] += wuuv * v;
                sums[UV3][l] += wuvv * v;
                sums[V4][l] += wvvv * v;
                sums[H0][l] += wh;
                sums[HU][l] += whu;
                sums[HV][l] += whv;
                sums[HUU][l] += whu * u;
                sums[HUV][l] += whu * v;
                sums[HVV][l] += whv * v;
            }
        }
    std::copy(&sums[0][0], &sums[0][0] + MomentCount * kLanes, &moments[0][0]);
}

// The window fits of the points of one block of rows; allocates only on construction.
class WindowFits {
public:
    WindowFits(const Inputs& in, const PointFields& fields, const WindowWeights& weights, float* const* outputs,
               int outputCount, std::uint8_t* status)
        : in_(in), fields_(fields), weights_(weights), half_(weights.half), outputs_(outputs),
          outputCount_(outputCount), status_(status), columnSums_(ColumnSumCount * fields.width) {}

    void fitRows(int begin, int end) {
        for (int row = begin; row < end; ++row)
            for (int column = 0; column < in_.columns; column += kLanes) fitLanes(row, column);
    }

private:
    // Fits the centres (row, first + l) for l < kLanes inside the grid.
    void fitLanes(int row, int first) {
        const int lanes = std::min(kLanes, in_.columns - first);
        bool any = false;
        for (int l = 0; l < kLanes; ++l) {
            live_[l] = false;
            if (l >= lanes) continue;
            const std::size_t p = point(row, first + l);
            if (fields_[PointFields::Take][fields_.index(row, first + l)] != 0.0 && in_.blanking[p] >= 0.0f) {
                live_[l] = any = true;
            } else {
                in_.blanking[p] = -1.0f;
                writeZeros(p);
            }
        }
        if (!any)
            return;
        firstDy_ = std::max(-half_, -row);
        lastDy_ = std::min(half_, in_.rows - 1 - row);
        sumGridWindows(row, first);
        for (int l = 0; l < lanes; ++l)
            if (live_[l]) smoothedFrame(row, first, l);
        sumMoments(row, first);
        for (int l = 0; l < lanes; ++l)
            if (live_[l]) fitQuadratic(point(row, first + l), l);
    }

    std::size_t point(int row, int column) const {
        return static_cast<std::size_t>(row) * in_.columns + column;
    }

    // Per lane: the grid offsets' moments and the normal sums of its window.
    void sumGridWindows(int row, int first) {
        if (columnSumsRow_ != row) sumColumns(row);
        sumLaneGridWindows(gridMoments_, normalSums_, columnSums_.data(), fields_, weights_, first);
    }

    // Column sums of the window rows around `row`: Σ g(dy)·dyᵃ·take (a = 0 … 4) and
    // Σ g(dy)·dyᵃ·N (a = 0, 1) per normal component, for every padded column.
    void sumColumns(int row) {
        std::fill(columnSums_.begin(), columnSums_.end(), 0.0);
        const std::size_t width = fields_.width;
        const PointFields::Field inputs[ColumnSumCount] = {
            PointFields::Take, PointFields::Take, PointFields::Take, PointFields::Take,
            PointFields::Take, PointFields::Nx,   PointFields::Nx,   PointFields::Ny,
            PointFields::Ny,   PointFields::Nz,   PointFields::Nz};
        const int powers[ColumnSumCount] = {0, 1, 2, 3, 4, 0, 1, 0, 1, 0, 1};
        for (int dy = firstDy_; dy <= lastDy_; ++dy) {
            double g[5] = {weights_.g(dy)};
            for (int a = 1; a < 5; ++a) g[a] = g[a - 1] * dy;
            const std::size_t rowStart = fields_.index(row + dy, 0) - static_cast<std::size_t>(fields_.pad);
            for (int k = 0; k < ColumnSumCount; ++k) {
                const double* values = fields_[inputs[k]] + rowStart;
                double* sums = &columnSums_[k * width];
                addScaled(sums, g[powers[k]], values, width);
            }
        }
        columnSumsRow_ = row;
    }

    // The smoothed normal of lane l and its frame; a singular fit gives the point zeros.
    void smoothedFrame(int row, int first, int l) {
        auto grid = [this, l](Moment m) { return gridMoments_[m][l]; };
        Matrix3x3 A{grid(W0), grid(U1), grid(V1), grid(U1), grid(UU), grid(UV), grid(V1), grid(UV), grid(VV)};
        const std::size_t p = point(row, first + l);
        if (!invertSymmetricMatrix(A)) {
            status_[p] = NormalFitSingular;
            writeZeros(p);
            live_[l] = false;
            return;
        }
        Vector3 n;
        for (int c = 0; c < 3; ++c)
            n[c] = A(0, 0) * normalSums_[3 * c][l] + A(0, 1) * normalSums_[3 * c + 1][l] +
                   A(0, 2) * normalSums_[3 * c + 2][l];
        n *= 1.0 / norm(n);
        const TangentFrame frame = tangentFrameOfNormal(n, dot(n, n));
        const std::size_t q = fields_.index(row, first + l);
        lanes_.centre[0][l] = fields_[PointFields::Px][q];
        lanes_.centre[1][l] = fields_[PointFields::Py][q];
        lanes_.centre[2][l] = fields_[PointFields::Pz][q];
        const Vector3* axes[3] = {&frame.e1, &frame.e2, &n};
        for (int a = 0; a < 3; ++a) {
            lanes_.axis[a][0][l] = axes[a]->x;
            lanes_.axis[a][1][l] = axes[a]->y;
            lanes_.axis[a][2][l] = axes[a]->z;
        }
    }

    // The moments of every lane's quadratic fit; lanes without a fit read zeros.
    void sumMoments(int row, int first) {
        for (int l = 0; l < kLanes; ++l)
            if (!live_[l])
                for (int c = 0; c < 3; ++c) {
                    lanes_.centre[c][l] = 0.0;
                    for (int a = 0; a < 3; ++a) lanes_.axis[a][c][l] = 0.0;
                }
        sumLaneMoments(moments_, lanes_, fields_, weights_, row, first, firstDy_, lastDy_);
    }

    // Solves M·q = r with M = Σ w·φ·φᵀ and r = Σ w·h·φ; q = 0 when the fit is not
    // determined: when the window's points lie on a conic of the grid (two rows or
    // columns, fewer than six points), whose positions on the surface then fix the
    // quadratic only through rounding or through the surface's own bending, or when M
    // itself is numerically rank-deficient.
    void fitQuadratic(std::size_t p, int l) {
        const Matrix6 M = fitMatrix(&moments_[0][l], kLanes);
        const Eigen::LDLT<Matrix6> ldlt(M);
        if (!gridDetermined(l) || !fitDetermined(M, ldlt)) {
            status_[p] = QuadraticFitSingular;
            writeZeros(p);
            return;
        }
        Vector6 r;
        for (int i = 0; i < 6; ++i) r(i) = moments_[heightMomentOf(kPhi[i][0], kPhi[i][1])][l];
        const Vector6 q = ldlt.solve(r);
        outputs_[0][p] = static_cast<float>(q(0));
        outputs_[1][p] = static_cast<float>(q(1));
        outputs_[2][p] = static_cast<float>(q(4));
        if (outputCount_ > 3)
            calculatePrincipalCurvatures(outputs_[3][p], outputs_[4][p], outputs_[5][p],
                                         Vector3(q(0), q(1), q(4) / 2.0));
    }

    // Whether the quadratic fit in the grid offsets of lane l's window is determined.
    // Windows away from the grid's edges and holes share their moments, so the last
    // answer is kept for the next window with the same ones.
    bool gridDetermined(int l) {
        int m = 0;
        while (m < kGridMomentCount && gridMoments_[m][l] == checkedMoments_[m]) ++m;
        if (m < kGridMomentCount) {
            for (m = 0; m < kGridMomentCount; ++m) checkedMoments_[m] = gridMoments_[m][l];
            const Matrix6 M = fitMatrix(checkedMoments_, 1);
            gridDetermined_ = fitDetermined(M, Eigen::LDLT<Matrix6>(M));
        }
        return gridDetermined_;
    }

    void writeZeros(std::size_t p) const {
        for (int k = 0; k < outputCount_; ++k) outputs_[k][p] = 0.0f;
    }

    const Inputs& in_;
    const PointFields& fields_;
    const WindowWeights& weights_;
    const int half_;
    float* const* outputs_;
    const int outputCount_;
    std::uint8_t* status_;
    int firstDy_ = 0, lastDy_ = 0;
    bool live_[kLanes];
    std::vector<double> columnSums_; // ColumnSum, padded column
    int columnSumsRow_ = -1;
    double gridMoments_[kGridMomentCount][kLanes];
    double normalSums_[9][kLanes];
    // The last grid fit checked, its moments (none at first: NaN equals nothing) and its answer.
    double checkedMoments_[kGridMomentCount] = {std::numeric_limits<double>::quiet_NaN()};
    bool gridDetermined_ = false;
    LaneFrames lanes_;
    double moments_[MomentCount][kLanes];
};

// ---- One area ------------------------------------------------------------------------------

// The weights g(i) = exp(−i²/window), or 1, of the offsets i ∈ [−half, half].
WindowWeights windowWeights(int window, int half, bool weighted) {
    WindowWeights weights{half, std::vector<double>(static_cast<std::size_t>(2 * half + 1), 1.0)};
    if (weighted)
        for (int i = -half; i <= half; ++i) weights.profile[i + half] = std::exp(-double(i) * i / window);
    return weights;
}

// The value arrays of the written variables, each found (with reuse) or added.
int prepareVariables(ZelData& area, int window, bool principal, bool reuse, float* outputs[6]) {
    const std::string suffix = " - " + std::to_string(window) + " filter";
    const int count = principal ? 6 : 3;
    int index[6];
    for (int k = 0; k < count; ++k) {
        const std::string description = std::string(kVariables[k].description) + suffix;
        index[k] = reuse ? area.findVariable(Curvature, kVariables[k].name) : -1;
        if (index[k] >= 0)
            area.setVarAttributes(index[k], kVariables[k].name, description, Curvature);
        else
            index[k] = area.addVariable(Curvature, kVariables[k].name, description);
    }
    // Adding variables may move the arrays, so they are taken afterwards.
    for (int k = 0; k < count; ++k) outputs[k] = area.data(static_cast<std::size_t>(index[k]));
    return count;
}

} // namespace

bool computeCurvature(ZelData& area, int window, bool principal, bool reuse, bool weighted, int* progress) {
    if (window < 1 || area.dataType() != ZelData::GriddedDataType)
        return false;
    float* blanking = nullptr;
    const char* names[6] = {"X", "Y", "Z", "U", "V", "W"};
    int variable[6];
    for (int k = 0; k < 6; ++k)
        variable[k] = area.findVariable(k < 3 ? GlobalCoordinate : GlobalDisplacement, names[k]);
    if (!area.findBlankingVariable(blanking) || std::count(variable, variable + 6, -1) > 0)
        return false;

    float* outputs[6] = {};
    const int outputCount = prepareVariables(area, window, principal, reuse, outputs);
    area.findBlankingVariable(blanking);
    auto values = [&area, &variable](int k) { return area.data(static_cast<std::size_t>(variable[k])); };
    const Inputs in{values(0), values(1), values(2), values(3), values(4), values(5),
                    blanking,  area.numColumns(), area.numRows()};
    const int half = cappedHalfWindow(window, in.columns, in.rows);
    PLOGI << "Using curvature window half size " << window / 2;
    const WindowWeights weights = windowWeights(window, half, weighted);

    const std::size_t size = static_cast<std::size_t>(area.matrixSize());
    std::vector<std::uint8_t> status(size, 0);
    PointFields fields(in.columns, in.rows, std::min(half, std::max(0, in.columns - 1)));
    parallelForRows(in.rows, [&](int begin, int end) { computeNormals(in, fields, status.data(), begin, end); });
    for (std::uint8_t s : status) {
        if (s & NoTriangles) {
            PLOGW << "############# not enough triangle neighbors";
        }
    }
    const int firstPassCount = static_cast<int>((size + 15) / 16);
    if (progress) *progress += firstPassCount;

    parallelForRows(in.rows, [&](int begin, int end) {
        WindowFits(in, fields, weights, outputs, outputCount, status.data()).fitRows(begin, end);
    });
    for (std::uint8_t s : status) {
        if (s & NormalFitSingular) {
            PLOGW << "!!!!!!!!!!!!!!!!!! Could not invert matrix";
        } else if (s & QuadraticFitSingular) {
            PLOGW << "!!!!!!!!!!!!!!!!!!!!! could not invert symmetric matrix";
        }
    }
    if (progress) *progress += static_cast<int>(size) - firstPassCount;
    area.clearSearchTrees(); // blanking values changed
    return true;
}

bool computeCurvature(ZelDataSet& set, int window, bool principal, bool reuse, bool weighted, int* progress) {
    for (int i = 0; i < set.numData(); ++i) {
        ZelData& area = *set.data(i);
        if (area.dataType() == ZelData::GriddedDataType &&
            !computeCurvature(area, window, principal, reuse, weighted, progress))
            return false;
    }
    return true;
}

} // namespace orvex
