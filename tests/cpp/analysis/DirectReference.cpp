#include "DirectReference.h"

#include "orvex/core/Decompositions.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Logging.h"
#include "orvex/core/Matrix.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace reference {

using orvex::Matrix;
using orvex::Matrix2x2;
using orvex::Vector3;

void computeStrain(orvex::Array2<float>& strain, orvex::Array2<float>& gradient, const float* X, const float* Y,
                   const float* Z, const float* U, const float* V, const float* W, float* blanking,
                   orvex::tensor_func fn, int columns, int rows) {
    auto reference = [&](int p) { return Vector3(X[p], Y[p], Z[p]); };
    auto deformed = [&](int p) {
        return Vector3(double(X[p]) + double(U[p]), double(Y[p]) + double(V[p]), double(Z[p]) + double(W[p]));
    };
    for (int p = 0; p < columns * rows; ++p) {
        if (blanking[p] < 0) continue;
        const int row = p / columns, column = p % columns;
        const int up = row > 0 && blanking[p - columns] >= 0 ? p - columns : -1;
        const int left = column > 0 && blanking[p - 1] >= 0 ? p - 1 : -1;
        const int right = column < columns - 1 && blanking[p + 1] >= 0 ? p + 1 : -1;
        const int down = row < rows - 1 && blanking[p + columns] >= 0 ? p + columns : -1;
        const int triangles[4][2] = {{left, up}, {up, right}, {right, down}, {down, left}};
        double g[4] = {0, 0, 0, 0}, e[3] = {0, 0, 0};
        int count = 0;
        const char* const failed[4] = {"tl failed.", "tr failed.", "rb failed.", "bl failed."};
        for (int i = 0; i < 4; ++i) {
            const int* t = triangles[i];
            if (t[0] < 0 || t[1] < 0) continue;
            Matrix2x2 H;
            double exx = 0, eyy = 0, exy = 0;
            if (orvex::analyze_triang(H, reference(t[0]), reference(t[1]), reference(p), deformed(t[0]),
                                      deformed(t[1]), deformed(p)))
                fn(exx, eyy, exy, H);
            else
                exx = NAN;
            if (!std::isfinite(exx) || !std::isfinite(eyy) || !std::isfinite(exy)) {
                PLOGW << failed[i];
                continue;
            }
            g[0] += H(0, 0), g[1] += H(0, 1), g[2] += H(1, 0), g[3] += H(1, 1);
            e[0] += exx, e[1] += eyy, e[2] += exy;
            ++count;
        }
        if (count == 0) {
            blanking[p] = -1;
            continue;
        }
        const double r = 1.0 / count;
        for (int k = 0; k < 3; ++k) strain[k][p] = float(e[k] * r);
        for (int k = 0; k < 4; ++k) gradient[k][p] = float(g[k] * r);
    }
}

namespace {

// Integer moments n, Σdx, Σdy, Σdx², Σdx·dy, Σdy² of a window's valid offsets; their
// determinant is zero exactly when the points are collinear (exact for half windows
// below 4096, where every product stays within 128 bits).
struct CountMoments {
    long long m[6] = {0, 0, 0, 0, 0, 0};

    void add(long long dx, long long dy) {
        m[0] += 1, m[1] += dx, m[2] += dy, m[3] += dx * dx, m[4] += dx * dy, m[5] += dy * dy;
    }
    bool collinear() const {
        const __int128 n = m[0], x = m[1], y = m[2], xx = m[3], xy = m[4], yy = m[5];
        return n * (xx * yy - xy * xy) - x * (x * yy - xy * y) + y * (x * xy - xx * y) == 0;
    }
};

// The direct window fits of both smoothing forms: per valid point, the 3 × 3 normal
// matrix and 3 × n right-hand side summed over the full clipped window, from a kernel
// whose entries and products are formed in Real and added to double sums; `invert`
// turns the normal matrix into its inverse's first row (false when singular). Only
// points whose valid neighbours are not collinear and whose matrix is regular are
// written.
template <typename Real, typename Invert>
void directFits(const orvex::Array1<float*>& outputs, const orvex::Array1<float const*>& inputs, const float* mask,
                int columns, int rows, int windowSize, bool weighted, float k, Invert invert) {
    const int w = windowSize, h = w / 2;
    std::vector<Real> kernel(std::size_t(w) * w, Real(1));
    if (weighted)
        for (int i = -h; i < w - h; ++i)
            for (int j = -h; j < w - h; ++j)
                kernel[std::size_t(h + i) * w + h + j] = Real(std::exp((k * i) * i)) * Real(std::exp((k * j) * j));
    const int n = int(outputs.size());
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const int p = r * columns + c;
            if (!(mask[p] >= 0)) continue;
            double m[6] = {0, 0, 0, 0, 0, 0};
            CountMoments counts;
            std::vector<double> b(3 * std::size_t(n), 0.0);
            for (int dy = -std::min(r, h); dy <= std::min(h, rows - 1 - r); ++dy)
                for (int dx = -std::min(c, h); dx <= std::min(h, columns - 1 - c); ++dx) {
                    const int q = p + dy * columns + dx;
                    if (!(mask[q] >= 0)) continue;
                    counts.add(dx, dy);
                    const Real wt = kernel[std::size_t(h + dy) * w + h + dx], fx = Real(dx), fy = Real(dy);
                    m[0] += wt, m[1] += wt * fx, m[2] += wt * fy;
                    m[3] += (fx * fx) * wt, m[4] += (fx * wt) * fy, m[5] += (fy * fy) * wt;
                    for (int f = 0; f < n; ++f) {
                        const Real u = wt * Real(inputs[f][q]);
                        b[3 * f] += u, b[3 * f + 1] += fx * u, b[3 * f + 2] += u * fy;
                    }
                }
            double first[3];
            if (counts.collinear() || !invert(m, first)) continue;
            for (int f = 0; f < n; ++f)
                outputs[f][p] = float(first[0] * b[3 * f] + first[1] * b[3 * f + 1] + first[2] * b[3 * f + 2]);
        }
}

} // namespace

void smooth(const orvex::Array1<float*>& outputs, const orvex::Array1<float const*>& inputs, const float* mask,
            int columns, int rows, int windowSize, bool weighted) {
    const float k = float(-(6.283 / (windowSize * windowSize)));
    directFits<double>(outputs, inputs, mask, columns, rows, windowSize, weighted, k,
                       [](const double* m, double* first) {
                           Matrix M(3, 3);
                           M(0, 0) = m[0], M(0, 1) = M(1, 0) = m[1], M(0, 2) = M(2, 0) = m[2];
                           M(1, 1) = m[3], M(1, 2) = M(2, 1) = m[4], M(2, 2) = m[5];
                           if (!orvex::invertSymmetricMatrix(M, nullptr)) return false;
                           for (int i = 0; i < 3; ++i) first[i] = M(0, i);
                           return true;
                       });
}

void smoothVariable(float* values, const float* mask, int columns, int rows, int windowSize, bool weighted) {
    const std::vector<float> unsmoothed(values, values + std::size_t(columns) * rows);
    const float k = -(6.283f / float(windowSize * windowSize));
    directFits<float>(orvex::Array1<float*>{values}, orvex::Array1<float const*>{unsmoothed.data()}, mask, columns,
                      rows, windowSize, weighted, k, [](const double* m, double* first) {
                          orvex::Matrix3x3 M{m[0], m[1], m[2], m[1], m[3], m[4], m[2], m[4], m[5]};
                          if (!orvex::invertSymmetricMatrix(M)) return false;
                          for (int i = 0; i < 3; ++i) first[i] = M(0, i);
                          return true;
                      });
}

} // namespace reference
