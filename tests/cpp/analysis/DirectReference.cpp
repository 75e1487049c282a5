#include "DirectReference.h"

#include "orvex/core/Decompositions.h"
#include "orvex/core/Logging.h"
#include "orvex/core/Matrix.h"

#include <algorithm>
#include <cmath>

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

void smooth(const orvex::Array1<float*>& outputs, const orvex::Array1<float const*>& inputs, const float* mask,
            int columns, int rows, int windowSize, bool weighted) {
    const int w = windowSize, h = w / 2;
    const float k = float(-(6.283 / (w * w)));
    Matrix kernel(w, w);
    for (int i = -h; i < w - h; ++i)
        for (int j = -h; j < w - h; ++j)
            kernel(h + i, h + j) = weighted ? double(std::exp((k * i) * i)) * double(std::exp((k * j) * j)) : 1.0;
    const int n = int(outputs.size());
    Matrix M(3, 3), B(3, n);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const int p = r * columns + c;
            if (!(mask[p] >= 0)) continue;
            M.setZero();
            B.setZero();
            for (int dy = -std::min(r, h); dy <= std::min(h, rows - 1 - r); ++dy)
                for (int dx = -std::min(c, h); dx <= std::min(h, columns - 1 - c); ++dx) {
                    const int q = p + dy * columns + dx;
                    if (!(mask[q] >= 0)) continue;
                    const double wt = kernel(h + dy, h + dx);
                    M(0, 0) += wt, M(0, 1) += dx * wt, M(0, 2) += dy * wt;
                    M(1, 1) += (dx * dx) * wt, M(1, 2) += (dx * wt) * dy, M(2, 2) += (dy * dy) * wt;
                    for (int f = 0; f < n; ++f) {
                        const double u = double(inputs[f][q]) * wt;
                        B(0, f) += u, B(1, f) += u * dx, B(2, f) += u * dy;
                    }
                }
            M(1, 0) = M(0, 1), M(2, 0) = M(0, 2), M(2, 1) = M(1, 2);
            if (!orvex::invertSymmetricMatrix(M, nullptr)) continue;
            for (int f = 0; f < n; ++f)
                outputs[f][p] = float(M(0, 0) * B(0, f) + M(0, 1) * B(1, f) + M(0, 2) * B(2, f));
        }
}

} // namespace reference
