#pragma once
// The uniform B-spline segments of degree 0 to 5 on t in [0, 1]:
//   B_i(t) = β_d(t − i + (d − 1)/2),  i = 0..d,
// with β_d the centred cardinal B-spline. They sum to 1 for every t; B_i weights the
// coefficient i places after the first one the segment touches.

namespace orvex::bspline {

constexpr int kMaxDegree = 5;

namespace detail {

// Polynomial coefficients of d!·B_i(t) in ascending powers of t: kSegments[d][i][k].
inline constexpr double kSegments[kMaxDegree + 1][kMaxDegree + 1][kMaxDegree + 1] = {
    {{1}},
    {{1, -1}, {0, 1}},
    {{1, -2, 1}, {1, 2, -2}, {0, 0, 1}},
    {{1, -3, 3, -1}, {4, 0, -6, 3}, {1, 3, 3, -3}, {0, 0, 0, 1}},
    {{1, -4, 6, -4, 1}, {11, -12, -6, 12, -4}, {11, 12, -6, -12, 6}, {1, 4, 6, 4, -4}, {0, 0, 0, 0, 1}},
    {{1, -5, 10, -10, 5, -1},
     {26, -50, 20, 20, -20, 5},
     {66, 0, -60, 0, 30, -10},
     {26, 50, 20, -20, -20, 10},
     {1, 5, 10, 10, 5, -5},
     {0, 0, 0, 0, 0, 1}},
};

// 1/d!
inline constexpr double kScale[kMaxDegree + 1] = {1.0, 1.0, 1.0 / 2, 1.0 / 6, 1.0 / 24, 1.0 / 120};

} // namespace detail

// values[i] = B_i(t), i = 0..D.
template <int D>
inline void segments(double t, double* values) {
    static_assert(D >= 0 && D <= kMaxDegree, "B-spline degree out of range");
    if constexpr (D == 3) {
        // The cubic weights in few operations.
        values[3] = t * t * t * (1.0 / 6.0);
        values[0] = 1.0 / 6.0 + 0.5 * t * (t - 1.0) - values[3];
        values[2] = t + values[0] - 2.0 * values[3];
        values[1] = 1.0 - values[0] - values[2] - values[3];
        return;
    }
    for (int i = 0; i <= D; ++i) {
        double s = detail::kSegments[D][i][D];
        for (int k = D - 1; k >= 0; --k)
            s = s * t + detail::kSegments[D][i][k];
        values[i] = s * detail::kScale[D];
    }
}

// values[i] = B_i′(t), i = 0..D (all 0 for degree 0).
template <int D>
inline void segmentDerivatives(double t, double* values) {
    static_assert(D >= 0 && D <= kMaxDegree, "B-spline degree out of range");
    for (int i = 0; i <= D; ++i) {
        double s = 0.0;
        for (int k = D; k >= 1; --k)
            s = s * t + k * detail::kSegments[D][i][k];
        values[i] = s * detail::kScale[D];
    }
}

// The same for a degree known at run time; false, values untouched, outside 0..5.
inline bool segments(int degree, double t, double* values, bool derivative) {
    switch (degree) {
    case 0: derivative ? segmentDerivatives<0>(t, values) : segments<0>(t, values); return true;
    case 1: derivative ? segmentDerivatives<1>(t, values) : segments<1>(t, values); return true;
    case 2: derivative ? segmentDerivatives<2>(t, values) : segments<2>(t, values); return true;
    case 3: derivative ? segmentDerivatives<3>(t, values) : segments<3>(t, values); return true;
    case 4: derivative ? segmentDerivatives<4>(t, values) : segments<4>(t, values); return true;
    case 5: derivative ? segmentDerivatives<5>(t, values) : segments<5>(t, values); return true;
    default: return false;
    }
}

} // namespace orvex::bspline
