#pragma once
// The 1000 × 1000 stereo area that the analysis benchmarks work on.

#include "orvex/data/ZelData.h"

#include <cmath>

constexpr int kBenchSide = 1000;

// A gently curved surface under a smooth deformation, with a round hole.
inline orvex::ZelData makeStereoBenchArea() {
    using namespace orvex;
    ZelData area(kBenchSide, kBenchSide, 0, "bench");
    const char* names[] = {"X", "Y", "Z", "U", "V", "W"};
    float* v[6];
    for (int k = 0; k < 6; ++k)
        v[k] = area.allocateVariable(k < 3 ? GlobalCoordinate : GlobalDisplacement, names[k], names[k]);
    float* sigma = area.allocateVariable(Correlation, "sigma", "sigma");
    for (int r = 0; r < kBenchSide; ++r)
        for (int c = 0; c < kBenchSide; ++c) {
            const int p = r * kBenchSide + c;
            const double x = c * 0.5, y = r * 0.5;
            v[0][p] = float(x), v[1][p] = float(y), v[2][p] = float(1e-4 * (x - 250) * (y - 250));
            v[3][p] = float(0.01 * x + 0.002 * std::sin(0.05 * y));
            v[4][p] = float(-0.003 * y + 0.001 * std::cos(0.04 * x));
            v[5][p] = float(0.0005 * x);
            sigma[p] = (r - 500) * (r - 500) + (c - 300) * (c - 300) < 80 * 80 ? -1.0f : 0.01f;
        }
    return area;
}
