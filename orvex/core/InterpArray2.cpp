#include "orvex/core/InterpArray2.h"

#include "orvex/core/BSplineBasis.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

namespace orvex {

namespace {

// Beyond this distance positions are first brought back by whole periods of the
// mirrored extension, so tap indexes always fit an int.
constexpr double kFar = 1e9;

// The mirror image of index i on an axis of the given length (period 2·length − 2).
int reflect(long long i, int length) {
    if (length == 1)
        return 0;
    const long long period = 2LL * length - 2;
    i = std::llabs(i) % period;
    return static_cast<int>(i >= length ? period - i : i);
}

// Taps, weights and (for the gradient) derivative weights of one axis.
template <int D, bool Gradient>
struct AxisTaps {
    int index[D + 1];
    double weight[D + 1];
    double slope[D + 1];

    AxisTaps(double x, int length) {
        if (!(std::fabs(x) < kFar))
            x = std::fmod(x, length > 1 ? 2.0 * length - 2.0 : 2.0);
        // Odd degrees start at ⌊x⌋ − D/2, even ones at ⌊x + ½⌋ − D/2.
        const double shifted = D % 2 == 1 ? x : x + 0.5;
        const double base = std::floor(shifted);
        const double t = shifted - base;
        bspline::segments<D>(t, weight);
        if constexpr (Gradient)
            bspline::segmentDerivatives<D>(t, slope);
        const int first = static_cast<int>(base) - D / 2;
        if (first >= 0 && first + D < length) {
            for (int k = 0; k <= D; ++k)
                index[k] = first + k;
        } else {
            for (int k = 0; k <= D; ++k)
                index[k] = reflect(static_cast<long long>(first) + k, length);
        }
    }
};

} // namespace

InterpArray2Base::InterpArray2Base(int degree, Array2<double> coefficients)
    : degree_(degree), coefficients_(std::move(coefficients)) {}

int InterpArray2Base::prefilterPoles(int degree, double* poles) {
    switch (degree) {
    case 2:
        poles[0] = std::sqrt(8.0) - 3.0;
        return 1;
    case 3:
        poles[0] = std::sqrt(3.0) - 2.0;
        return 1;
    case 4:
        poles[0] = std::sqrt(664.0 - std::sqrt(438976.0)) + std::sqrt(304.0) - 19.0;
        poles[1] = std::sqrt(664.0 + std::sqrt(438976.0)) - std::sqrt(304.0) - 19.0;
        return 2;
    case 5:
        poles[0] = std::sqrt(135.0 / 2.0 - std::sqrt(17745.0 / 4.0)) + std::sqrt(105.0 / 4.0) - 13.0 / 2.0;
        poles[1] = std::sqrt(135.0 / 2.0 + std::sqrt(17745.0 / 4.0)) - std::sqrt(105.0 / 4.0) - 13.0 / 2.0;
        return 2;
    default:
        return 0;
    }
}

// λ = Π (1 − z)(1 − 1/z) restores unit gain; then per pole a causal pass
// c[k] += z c[k−1] and an anti-causal pass c[k] = z (c[k+1] − c[k]).
void InterpArray2Base::convertToInterpolationCoeffs(double* c, int n, const double* poles, int poleCount,
                                                    double tolerance) {
    if (n <= 1)
        return;
    double gain = 1.0;
    for (int p = 0; p < poleCount; ++p)
        gain *= (1.0 - poles[p]) * (1.0 - 1.0 / poles[p]);
    for (int k = 0; k < n; ++k)
        c[k] *= gain;
    for (int p = 0; p < poleCount; ++p) {
        const double z = poles[p];
        c[0] = initialCausalCoefficient(c, n, z, tolerance);
        for (int k = 1; k < n; ++k)
            c[k] += z * c[k - 1];
        c[n - 1] = initialAntiCausalCoefficient(c, n, z);
        for (int k = n - 2; k >= 0; --k)
            c[k] = z * (c[k + 1] - c[k]);
    }
}

double InterpArray2Base::initialCausalCoefficient(const double* c, int n, double z, double tolerance) {
    int horizon = n;
    if (tolerance > 0.0) {
        const double h = std::ceil(std::log(tolerance) / std::log(std::fabs(z)));
        if (h >= 0.0 && h < n)  // not for a pole on or outside the unit circle
            horizon = static_cast<int>(h);
    }
    if (horizon < n) {
        double zk = z;
        double sum = c[0];
        for (int k = 1; k < horizon; ++k) {
            sum += zk * c[k];
            zk *= z;
        }
        return sum;
    }
    // Full sum over the mirror-symmetric extension of the line.
    double zk = z;
    const double zInverse = 1.0 / z;
    double zMirror = std::pow(z, n - 1);
    double sum = c[0] + zMirror * c[n - 1];
    zMirror *= zMirror * zInverse;
    for (int k = 1; k <= n - 2; ++k) {
        sum += (zk + zMirror) * c[k];
        zk *= z;
        zMirror *= zInverse;
    }
    return sum / (1.0 - zk * zk);
}

double InterpArray2Base::initialAntiCausalCoefficient(const double* c, int n, double z) {
    return (z / (z * z - 1.0)) * (z * c[n - 2] + c[n - 1]);
}

void InterpArray2Base::convertToInterpolationCoeffs(Array2<double>& c, int degree) {
    double poles[2];
    const int poleCount = prefilterPoles(degree, poles);
    if (poleCount == 0)
        return;
    for (int i = 0; i < c.rows(); ++i)
        convertToInterpolationCoeffs(c[i], c.cols(), poles, poleCount, kTolerance);
    std::vector<double> column(static_cast<std::size_t>(c.rows()));
    for (int j = 0; j < c.cols(); ++j) {
        for (int i = 0; i < c.rows(); ++i)
            column[i] = c[i][j];
        convertToInterpolationCoeffs(column.data(), c.rows(), poles, poleCount, kTolerance);
        for (int i = 0; i < c.rows(); ++i)
            c[i][j] = column[i];
    }
}

template <int D, bool Gradient>
double InterpArray2Base::interpolateAt(double& gr, double& gc, double r, double c) const {
    const AxisTaps<D, Gradient> rows(r, coefficients_.rows());
    const AxisTaps<D, Gradient> cols(c, coefficients_.cols());
    double value = 0.0;
    double slopeC = 0.0;
    double slopeR = 0.0;
    // Rows are contiguous: row k starts index·cols after the first.
    const double* first = coefficients_.data();
    const std::size_t stride = static_cast<std::size_t>(coefficients_.cols());
    for (int k = 0; k <= D; ++k) {
        const double* row = first + static_cast<std::size_t>(rows.index[k]) * stride;
        double alongC = 0.0;
        double alongCSlope = 0.0;
        for (int j = 0; j <= D; ++j) {
            alongC += cols.weight[j] * row[cols.index[j]];
            if constexpr (Gradient)
                alongCSlope += cols.slope[j] * row[cols.index[j]];
        }
        value += rows.weight[k] * alongC;
        if constexpr (Gradient) {
            slopeR += rows.slope[k] * alongC;
            slopeC += rows.weight[k] * alongCSlope;
        }
    }
    gr = slopeR;
    gc = slopeC;
    return value;
}

template <bool Gradient>
double InterpArray2Base::interpolateAny(double& gr, double& gc, double r, double c) const {
    gr = gc = 0.0;
    if (coefficients_.empty())
        return 0.0;
    if (!std::isfinite(r) || !std::isfinite(c)) {
        gr = gc = std::numeric_limits<double>::quiet_NaN();
        return gr;
    }
    switch (degree_) {
    case 0: return interpolateAt<0, Gradient>(gr, gc, r, c);
    case 1: return interpolateAt<1, Gradient>(gr, gc, r, c);
    case 2: return interpolateAt<2, Gradient>(gr, gc, r, c);
    case 3: return interpolateAt<3, Gradient>(gr, gc, r, c);
    case 4: return interpolateAt<4, Gradient>(gr, gc, r, c);
    case 5: return interpolateAt<5, Gradient>(gr, gc, r, c);
    default: return 0.0;
    }
}

double InterpArray2Base::interpolate(double r, double c) const {
    double gr;
    double gc;
    return interpolateAny<false>(gr, gc, r, c);
}

double InterpArray2Base::interpolate(double& gr, double& gc, double r, double c) const {
    return interpolateAny<true>(gr, gc, r, c);
}

} // namespace orvex
