#pragma once
// B-spline interpolation of a two-dimensional array of samples.
//
// The samples s(i, j) are turned into coefficients c(i, j) by the recursive
// prefilter (mirror-symmetric boundaries) so that the spline
//   f(r, c) = Σ_i Σ_j c(i, j) β_n(r − i) β_n(c − j)
// passes through every sample; β_n is the centred cardinal B-spline of degree n.
// The first coordinate indexes rows, the second columns. Beyond the array the
// coefficients are mirrored without repeating the edge sample, so f(−x) = f(x) and
// f(W − 1 + x) = f(W − 1 − x) along each axis.

#include "orvex/core/Array2.h"

namespace orvex {

class InterpArray2Base {
public:
    // 2^-52: the prefilter's causal sums stop once the pole's powers fall below it.
    static constexpr double kTolerance = 2.220446049250313e-16;

    virtual ~InterpArray2Base() = default;

    int degree() const { return degree_; }
    const Array2<double>& coefficients() const { return coefficients_; }

    // The poles of the degree-n prefilter (z with |z| < 1), written to poles (room for
    // two); returns their count, 0 for degrees 0, 1 and outside 0..5.
    static int prefilterPoles(int degree, double* poles);

    // n samples c[0..n-1] become interpolation coefficients in place.
    static void convertToInterpolationCoeffs(double* c, int n, const double* poles, int poleCount,
                                             double tolerance);
    // The first coefficient of the causal pass for pole z: the sum of z^k c[k] up to
    // the horizon ⌈ln tolerance / ln |z|⌉ when that is shorter than the line, else the
    // exact sum over the mirrored line.
    static double initialCausalCoefficient(const double* c, int n, double z, double tolerance);
    // The last coefficient of the anti-causal pass: z/(z² − 1)·(z c[n−2] + c[n−1]); n ≥ 2.
    static double initialAntiCausalCoefficient(const double* c, int n, double z);
    // Prefilters every row along its columns, then every column along its rows.
    static void convertToInterpolationCoeffs(Array2<double>& c, int degree);

    // The spline's value at (r, c); 0 for an empty array or a degree outside 0..5,
    // NaN for a position that is not finite.
    double interpolate(double r, double c) const;
    // The value, with its partial derivatives along r and c (per unit of index).
    double interpolate(double& gr, double& gc, double r, double c) const;

protected:
    InterpArray2Base(int degree, Array2<double> coefficients);

private:
    template <int D, bool Gradient>
    double interpolateAt(double& gr, double& gc, double r, double c) const;
    template <bool Gradient>
    double interpolateAny(double& gr, double& gc, double r, double c) const;

    int degree_;
    Array2<double> coefficients_;
};

// The interpolating spline of degree 0 to 5 of an array of samples of type T.
template <typename T>
class InterpArray2 : public InterpArray2Base {
public:
    InterpArray2(const Array2<T>& samples, int degree)
        : InterpArray2Base(degree, prefiltered(samples, degree)) {}

private:
    static Array2<double> prefiltered(const Array2<T>& samples, int degree) {
        Array2<double> c(samples.rows(), samples.cols());
        for (int i = 0; i < c.rows(); ++i)
            for (int j = 0; j < c.cols(); ++j)
                c[i][j] = static_cast<double>(samples[i][j]);
        convertToInterpolationCoeffs(c, degree);
        return c;
    }
};

} // namespace orvex
