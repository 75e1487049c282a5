#include "orvex/analysis/RigidFit.h"

#include "orvex/analysis/AreaTriple.h"
#include "orvex/core/Decompositions.h"
#include "orvex/core/Logging.h"
#include "orvex/core/Matrix.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <array>
#include <cmath>
#include <cstddef>

namespace orvex {

namespace {

constexpr int kMaxIterations = 100;

using Parameters = std::array<double, 6>;

// What the error and normal equations of the centred pairs (a_i, b_i) depend on:
// every residual a_i - (R b_i + t) and every Jacobian row is linear in b_i, and
// sum a_i = sum b_i = 0, so the sums over the points reduce to these moments.
struct PairMoments {
    double count = 0.0;
    Matrix3x3 cross;          // H = sum b a^T
    Matrix3x3 scatter;        // S = sum b b^T
    double refSquares = 0.0;  // sum |a|^2
};

Vector3 centroid(const Array1<Vector3>& points, int n) {
    Vector3 sum;
    for (int i = 0; i < n; ++i)
        sum += points[std::size_t(i)];
    return sum * (1.0 / n);
}

PairMoments pairMoments(const Array1<Vector3>& ref, const Array1<Vector3>& def, int n, const Vector3& refCentre,
                        const Vector3& defCentre) {
    PairMoments m;
    m.count = n;
    for (int i = 0; i < n; ++i) {
        const Vector3 a = ref[std::size_t(i)] - refCentre;
        const Vector3 b = def[std::size_t(i)] - defCentre;
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s) {
                m.cross(r, s) += b[r] * a[s];
                m.scatter(r, s) += b[r] * b[s];
            }
        m.refSquares += dot(a, a);
    }
    return m;
}

double trace(const Matrix3x3& m) { return m(0, 0) + m(1, 1) + m(2, 2); }

RigidTransform transformOf(const Parameters& p) {
    Rotation rotation;
    rotation.setVector(Vector3(p[0], p[1], p[2]));
    return RigidTransform(rotation, Vector3(p[3], p[4], p[5]));
}

// The error E = sum |a_i - T_p b_i|^2 at p, the Gauss-Newton normal matrix N = J^T J
// and gradient g = J^T r, J the derivative of T_p b_i by forward differences: the
// step of p_k is 1e-4 p_k, at least 1e-4 in magnitude (-1e-4 for p_k = 0). Row k of J
// at point i is M_k b_i + c_k, so with the moments
//   E = sum|a|^2 + tr(R^T R S) + n |t|^2 - 2 tr(R H),
//   N_kl = tr(M_k^T M_l S) + n c_k.c_l,   g_k = tr(M_k H) - tr(M_k^T R S) - n c_k.t.
struct NormalEquations {
    double error = 0.0;
    Matrix normal = Matrix(6, 6);
    Parameters gradient{};
};

void evaluate(NormalEquations& out, const Parameters& p, const PairMoments& m) {
    const RigidTransform transform = transformOf(p);
    const Matrix3x3 r = transform.rotation().matrix();
    const Vector3 t = transform.translation();
    out.error = m.refSquares + trace(r.transpose() * r * m.scatter) + m.count * dot(t, t) - 2.0 * trace(r * m.cross);
    Matrix3x3 rotationSlope[6];
    Vector3 translationSlope[6];
    for (int k = 0; k < 6; ++k) {
        Parameters stepped = p;
        double h = 1e-4 * p[k];
        if (std::abs(h) < 1e-4)
            h = h > 0.0 ? 1e-4 : -1e-4;
        stepped[k] += h;
        const RigidTransform moved = transformOf(stepped);
        rotationSlope[k] = (moved.rotation().matrix() - r) * (1.0 / h);
        translationSlope[k] = (moved.translation() - t) * (1.0 / h);
    }
    const Matrix3x3 rs = r * m.scatter;
    for (int k = 0; k < 6; ++k) {
        const Matrix3x3 slopeT = rotationSlope[k].transpose();
        for (int l = k; l < 6; ++l) {
            out.normal(k, l) = trace(slopeT * rotationSlope[l] * m.scatter)
                             + m.count * dot(translationSlope[k], translationSlope[l]);
            out.normal(l, k) = out.normal(k, l);
        }
        out.gradient[k] = trace(rotationSlope[k] * m.cross) - trace(slopeT * rs) - m.count * dot(translationSlope[k], t);
    }
}

// The closed-form rotation taking the centred b_i onto the a_i: H = U diag(w) V^T,
// R0 = V U^T, with V's third column negated when that is a reflection.
bool closedFormRotation(Matrix3x3& r0, const Matrix3x3& cross) {
    Matrix3x3 u, v;
    Vector3 w;
    if (!svd(u, w, v, cross))
        return false;
    r0 = v * u.transpose();
    if (det3x3(r0(0, 0), r0(1, 0), r0(2, 0), r0(0, 1), r0(1, 1), r0(2, 1), r0(0, 2), r0(1, 2), r0(2, 2)) < 0.0) {
        for (int row = 0; row < 3; ++row)
            v(row, 2) = -v(row, 2);
        r0 = v * u.transpose();
    }
    return true;
}

// Levenberg-Marquardt from p: a trial is accepted only when it lowers the error, so p
// always holds the best parameters seen. Ends on an accepted step that gains less than
// a factor 0.9999999, on the damping limit, or after kMaxIterations trials.
bool refine(Parameters& p, const PairMoments& moments) {
    NormalEquations current, trial;
    evaluate(current, p, moments);
    double lambda = 0.001;
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        Matrix damped = current.normal;
        for (int k = 0; k < 6; ++k)
            damped(k, k) *= 1.0 + lambda;
        if (!invertSymmetricMatrix(damped))
            return false;
        Parameters next = p;
        for (int k = 0; k < 6; ++k)
            for (int l = 0; l < 6; ++l)
                next[k] += damped(k, l) * current.gradient[l];
        evaluate(trial, next, moments);
        if (trial.error < current.error) {
            p = next;
            if (lambda > 1e-8)
                lambda /= 11.0;
            const bool converged = trial.error > 0.9999999 * current.error;
            std::swap(current, trial);
            if (converged)
                break;
        } else {
            lambda *= 13.0;
            if (!(lambda < 1e10))
                break;
        }
    }
    return true;
}

bool enoughPoints(const Array1<Vector3>& ref, const Array1<Vector3>& def, int n) {
    if (n <= 2) {
        PLOGE << "Not enough points for fit: " << n;
        return false;
    }
    if (ref.size() < std::size_t(n) || def.size() < std::size_t(n)) {
        PLOGE << "Number of elements in ref or def arrays is less than numPts: " << n;
        return false;
    }
    return true;
}

int gridPointCount(const ZelDataSet& set) {
    int total = 0;
    for (int i = 0; i < set.numData(); ++i)
        total += set.data(i)->numRows() * set.data(i)->numColumns();
    return total;
}

// The point pairs of one area: positions and displacements, a null third array
// standing for zeros (planar data), and the pixel coordinates when a mask selects.
struct PairSource {
    const float* position[3] = {nullptr, nullptr, nullptr};
    const float* displacement[3] = {nullptr, nullptr, nullptr};
    const float* blanking = nullptr;
    const float* pixelX = nullptr;
    const float* pixelY = nullptr;

    // (position, position + displacement) with the sums in single precision.
    void pair(int p, Vector3& ref, Vector3& def) const {
        for (int k = 0; k < 3; ++k) {
            ref[k] = position[k] ? position[k][p] : 0.0;
            def[k] = position[k] ? double(position[k][p] + displacement[k][p]) : 0.0;
        }
    }
};

bool findPairSource(PairSource& source, const ZelData& area, CsDataSystemType type, bool withPixels) {
    float* blanking = nullptr;
    if (!area.findBlankingVariable(blanking))
        return false;
    source.blanking = blanking;
    if (type == Type3d) {
        const AreaTriple position = findTriple(area, GlobalCoordinate, {"X", "Y", "Z"});
        const AreaTriple displacement = findTriple(area, GlobalDisplacement, {"U", "V", "W"});
        if (!position || !displacement)
            return false;
        for (int k = 0; k < 3; ++k) {
            source.position[k] = position.values[k];
            source.displacement[k] = displacement.values[k];
        }
    } else {
        float *x = nullptr, *y = nullptr, *u = nullptr, *v = nullptr;
        if (!area.findVariable("x_c", x) || !area.findVariable("y_c", y) || !area.findVariable("u_c", u)
            || !area.findVariable("v_c", v))
            return false;
        source.position[0] = x, source.position[1] = y;
        source.displacement[0] = u, source.displacement[1] = v;
    }
    if (!withPixels)
        return true;
    float *pixelX = nullptr, *pixelY = nullptr;
    if (!area.findVariable(PixelCoordinate, "x", pixelX) || !area.findVariable(PixelCoordinate, "y", pixelY))
        return false;
    source.pixelX = pixelX;
    source.pixelY = pixelY;
    return true;
}

bool carriesDisplacements(const ZelData& area, CsDataSystemType type) {
    if (type == Type3d)
        return bool(findTriple(area, GlobalDisplacement, {"U", "V", "W"}));
    float* values = nullptr;
    return area.findVariable("u_c", values) && area.findVariable("v_c", values);
}

// Whether the pixel containing (x, y), found by rounding down, is selected.
bool selected(const ByteImage& mask, float x, float y) {
    const double column = std::floor(x), row = std::floor(y);
    return column >= 0.0 && column < mask.width && row >= 0.0 && row < mask.height
        && mask.at(int(column), int(row)) != 0;
}

} // namespace

bool fitRigidTransform(RigidTransform& transform, double& rms, const Array1<Vector3>& ref,
                       const Array1<Vector3>& def, int numPts) {
    const int n = numPts < 1 ? int(ref.size()) : numPts;
    if (!enoughPoints(ref, def, n))
        return false;
    const Vector3 refCentre = centroid(ref, n), defCentre = centroid(def, n);
    const PairMoments moments = pairMoments(ref, def, n, refCentre, defCentre);
    Matrix3x3 r0;
    if (!closedFormRotation(r0, moments.cross))
        return false;
    const Vector3 start = Rotation(r0).vector();
    Parameters p{start.x, start.y, start.z, 0.0, 0.0, 0.0};
    if (!refine(p, moments))
        return false;

    const Rotation rotation = transformOf(p).rotation();
    const RigidTransform fitted(rotation, Vector3(p[3], p[4], p[5]) + refCentre - rotation * defCentre);
    double error = 0.0;
    for (int i = 0; i < n; ++i) {
        const Vector3 residual = ref[std::size_t(i)] - fitted * def[std::size_t(i)];
        error += dot(residual, residual);
    }
    transform = fitted;
    rms = std::sqrt(error / (3.0 * n));
    return true;
}

bool fitRigidTransform(RigidTransform& transform, double& rms, const ZelDataSet& set) {
    const int total = gridPointCount(set);
    if (total <= 2)
        return false;
    Array1<Vector3> ref, def;
    ref.reserve(std::size_t(total));
    def.reserve(std::size_t(total));
    for (int i = 0; i < set.numData(); ++i) {
        const ZelData& area = *set.data(i);
        float* blanking = nullptr;
        if (!area.findBlankingVariable(blanking))
            continue;
        const AreaTriple position = findTriple(area, GlobalCoordinate, {"X", "Y", "Z"});
        const AreaTriple displacement = findTriple(area, GlobalDisplacement, {"U", "V", "W"});
        if (!position || !displacement)
            continue;
        for (int p = 0; p < area.matrixSize(); ++p) {
            if (!(blanking[p] >= 0.0f))
                continue;
            ref.push_back(position.at(p));
            def.push_back(position.at(p) + displacement.at(p));
        }
    }
    return fitRigidTransform(transform, rms, ref, def, -1);
}

RigidTransform computeRigidTrafo(const ZelDataSet& set, const ByteImage& mask, CsDataSystemType type) {
    const bool useMask = mask.width > 0 && mask.height > 0;
    const int total = gridPointCount(set);
    bool anyDisplacement = false;
    for (int i = 0; i < set.numData() && !anyDisplacement; ++i)
        anyDisplacement = carriesDisplacements(*set.data(i), type);
    if (total == 0 || !anyDisplacement)
        return RigidTransform();

    Array1<Vector3> ref(total), def(total);
    int count = 0;
    for (int i = 0; i < set.numData(); ++i) {
        PairSource source;
        if (!findPairSource(source, *set.data(i), type, useMask))
            continue;
        for (int p = 0; p < set.data(i)->matrixSize(); ++p) {
            if (!(source.blanking[p] >= 0.0f) || (useMask && !selected(mask, source.pixelX[p], source.pixelY[p])))
                continue;
            source.pair(p, ref[std::size_t(count)], def[std::size_t(count)]);
            ++count;
        }
    }
    RigidTransform fitted;
    double rms = 0.0;
    if (count > 6 && fitRigidTransform(fitted, rms, ref, def, count))
        return fitted;
    return RigidTransform();
}

} // namespace orvex
