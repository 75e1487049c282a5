#include "orvex/calibration/Homography.h"

#include "orvex/core/Decompositions.h"
#include "orvex/core/Matrix.h"

#include <algorithm>
#include <cmath>

namespace orvex {

namespace {

// Centroid and mean distance from it of one side of the pairs.
struct Normalisation {
    Vector2 centre;
    double scale = 0.0;
};

template <class Select>
Normalisation normalisation(const PointPairs& pairs, Select select) {
    Normalisation n;
    for (const auto& pair : pairs)
        n.centre += select(pair);
    n.centre *= 1.0 / static_cast<double>(pairs.size());
    for (const auto& pair : pairs)
        n.scale += norm(select(pair) - n.centre);
    n.scale /= static_cast<double>(pairs.size());
    return n;
}

bool allFinite(const PointPairs& pairs) {
    return std::all_of(pairs.begin(), pairs.end(), [](const auto& pair) {
        return std::isfinite(pair.first.x) && std::isfinite(pair.first.y) && std::isfinite(pair.second.x) &&
               std::isfinite(pair.second.y);
    });
}

} // namespace

bool homographyEstimation(Matrix3x3& H, const PointPairs& pairs) {
    const int n = static_cast<int>(pairs.size());
    if (n < 4 || !allFinite(pairs))
        return false;
    const Normalisation source = normalisation(pairs, [](const auto& pair) { return pair.first; });
    const Normalisation target = normalisation(pairs, [](const auto& pair) { return pair.second; });
    if (source.scale == 0.0 || target.scale == 0.0)
        return false;

    // At least as many rows as columns: four pairs get a ninth row of zeros.
    Matrix design(std::max(2 * n, 9), 9);
    design.setZero();
    for (int i = 0; i < n; ++i) {
        const Vector2 s = (pairs[i].first - source.centre) * (1.0 / source.scale);
        const Vector2 t = (pairs[i].second - target.centre) * (1.0 / target.scale);
        const double rows[2][9] = {{s.x, s.y, 1.0, 0.0, 0.0, 0.0, -t.x * s.x, -t.x * s.y, -t.x},
                                   {0.0, 0.0, 0.0, s.x, s.y, 1.0, -t.y * s.x, -t.y * s.y, -t.y}};
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 9; ++c)
                design(2 * i + r, c) = rows[r][c];
    }
    Matrix u;
    Vector w;
    Matrix v;
    if (!svd(u, w, v, design))
        return false;
    if (std::count_if(w.begin(), w.end(), [](double value) { return value < 1e-10; }) > 1)
        return false;

    Matrix3x3 normalised;
    for (int k = 0; k < 9; ++k)
        normalised(k / 3, k % 3) = v(k, 8);
    const double ss = 1.0 / source.scale;
    const Matrix3x3 toSource{ss, 0.0, -source.centre.x * ss, 0.0, ss, -source.centre.y * ss, 0.0, 0.0, 1.0};
    const Matrix3x3 fromTarget{target.scale, 0.0, target.centre.x, 0.0, target.scale, target.centre.y, 0.0, 0.0, 1.0};
    Matrix3x3 result = fromTarget * normalised * toSource;

    double largest = 0.0;
    for (int k = 0; k < 9; ++k)
        largest = std::max(largest, std::abs(result.data()[k]));
    const double last = result(2, 2);
    if (!(std::abs(last) > 1e-12 * largest))
        return false;
    result *= 1.0 / last;
    if (!std::all_of(result.data(), result.data() + 9, [](double value) { return std::isfinite(value); }))
        return false;
    H = result;
    return true;
}

} // namespace orvex
