// Times the spline transform's evaluation and inversion and the cubic B-spline image
// interpolation at a million points each, single-threaded, in ns per point. The
// interpolation runs over a raster of sub-pixel positions (as an image warp visits
// them) and over random ones (each lookup a cache miss); beside it, a plain bilinear
// lookup of the same image at the same positions.
// bench/python/bench_interpolation.py puts scipy's map_coordinates next to these.
#include "BestOf.h"

#include "orvex/core/InterpArray2.h"
#include "orvex/core/SplineTransform.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

using orvex::Array2;
using orvex::InterpArray2;
using orvex::Rect;
using orvex::SplineTransform;
using orvex::Vector2;

namespace {

constexpr int kPoints = 1000000;
constexpr int kImageSize = 2000;
constexpr int kRuns = 5;

// Uniform positions in [0, extent)² from a fixed linear congruential sequence.
std::vector<Vector2> positions(double extent) {
    std::vector<Vector2> out(kPoints);
    std::uint64_t state = 12345;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * (1.0 / 9007199254740992.0);
    };
    for (Vector2& p : out) {
        p.x = next() * extent;
        p.y = next() * extent;
    }
    return out;
}

// A 1000 × 1000 raster of sub-pixel positions covering the image row by row, as an
// image warp visits them: (0.37 + 1.998·i + 0.1·sin(j/50), 0.61 + 1.998·j).
std::vector<Vector2> rasterPositions() {
    std::vector<Vector2> out;
    out.reserve(kPoints);
    for (int i = 0; i < 1000; ++i)
        for (int j = 0; j < 1000; ++j)
            out.emplace_back(0.37 + 1.998 * i + 0.1 * std::sin(j / 50.0), 0.61 + 1.998 * j);
    return out;
}

// A camera-like distortion of [0, 2000]² with 16 × 16 cubic patches.
SplineTransform distortion() {
    const int patches = 16;
    SplineTransform t(3, Rect(0, 0, kImageSize, kImageSize), patches, patches);
    const double w = t.splineX().patchWidth();
    for (int i = 0; i < patches + 3; ++i)
        for (int j = 0; j < patches + 3; ++j) {
            const double x = (i - 1) * w;
            const double y = (j - 1) * w;
            t.splineX().coefficients()[i][j] = x + 3.0 * std::sin(x * 0.002) + 1e-4 * x * y * 0.01;
            t.splineY().coefficients()[i][j] = y - 2.0 * std::cos(y * 0.003);
        }
    return t;
}

void benchTransform() {
    const SplineTransform transform = distortion();
    // Inside the domain with room for the inversion's probes.
    std::vector<Vector2> points = positions(kImageSize - 2.0);
    std::vector<Vector2> mapped(kPoints);
    const double evalMs = bestMilliseconds(kRuns, [&] {
        for (int i = 0; i < kPoints; ++i)
            mapped[i] = transform.eval(points[i]);
    });
    int failures = 0;
    double error = 0.0;
    const double invertMs = bestMilliseconds(kRuns, [&] {
        failures = 0;
        error = 0.0;
        for (int i = 0; i < kPoints; ++i) {
            bool ok;
            const Vector2 p = transform.invert(mapped[i], &ok);
            failures += !ok;
            error = std::max(error, std::fabs(p.x - points[i].x) + std::fabs(p.y - points[i].y));
        }
    });
    std::printf("spline transform eval (cubic, 16x16 patches), %d points: %.1f ns per point\n", kPoints,
                evalMs * 1e6 / kPoints);
    std::printf("spline transform invert, %d points: %.1f ns per point (%d failures, max error %.2g)\n", kPoints,
                invertMs * 1e6 / kPoints, failures, error);
}

double bilinear(const Array2<double>& image, double r, double c) {
    const int i = static_cast<int>(r);
    const int j = static_cast<int>(c);
    const double t = r - i;
    const double u = c - j;
    const double* row0 = image[i];
    const double* row1 = image[i + 1];
    return (1 - t) * ((1 - u) * row0[j] + u * row0[j + 1]) + t * ((1 - u) * row1[j] + u * row1[j + 1]);
}

void benchInterpolation() {
    Array2<double> image(kImageSize, kImageSize);
    for (int i = 0; i < kImageSize; ++i)
        for (int j = 0; j < kImageSize; ++j)
            image[i][j] = 128.0 + 60.0 * std::sin(i * 0.05) * std::cos(j * 0.03) + (i * 7 + j * 13) % 17;
    const double prefilterMs = bestMilliseconds(1, [&] { InterpArray2<double> warmup(image, 3); });
    const InterpArray2<double> interp(image, 3);
    std::printf("cubic prefilter of a %dx%d image: %.1f ms\n", kImageSize, kImageSize, prefilterMs);
    const std::vector<Vector2> sets[2] = {rasterPositions(), positions(kImageSize - 1.0)};
    const char* names[2] = {"raster", "random"};
    std::vector<double> values(kPoints);
    for (int s = 0; s < 2; ++s) {
        const std::vector<Vector2>& points = sets[s];
        const double cubicMs = bestMilliseconds(kRuns, [&] {
            for (int i = 0; i < kPoints; ++i)
                values[i] = interp.interpolate(points[i].x, points[i].y);
        });
        double sum = 0.0;
        for (double v : values)
            sum += v;
        const double gradientMs = bestMilliseconds(kRuns, [&] {
            for (int i = 0; i < kPoints; ++i) {
                double gr;
                double gc;
                values[i] = interp.interpolate(gr, gc, points[i].x, points[i].y) + gr + gc;
            }
        });
        const double bilinearMs = bestMilliseconds(kRuns, [&] {
            for (int i = 0; i < kPoints; ++i)
                values[i] = bilinear(image, std::min(points[i].x, kImageSize - 1.001),
                                     std::min(points[i].y, kImageSize - 1.001));
        });
        std::printf("cubic interpolation of a %dx%d image at %d %s positions: %.1f ns per point "
                    "(with gradient %.1f; plain bilinear lookup %.1f; checksum %.6g)\n",
                    kImageSize, kImageSize, kPoints, names[s], cubicMs * 1e6 / kPoints,
                    gradientMs * 1e6 / kPoints, bilinearMs * 1e6 / kPoints, sum);
    }
}

} // namespace

int main() {
    benchTransform();
    benchInterpolation();
    return 0;
}
