#include "orvex/analysis/CoordinateTransformation.h"

#include "orvex/analysis/AreaTriple.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <cmath>
#include <optional>

namespace orvex {

namespace {

constexpr double TwoPi = 2.0 * 3.141592653589793;

// The stereo variables of an area: positions and blanking required, the
// displacement and uncertainty triples empty unless complete.
struct StereoArea {
    AreaTriple position;
    AreaTriple displacement;
    AreaTriple sigma;
    const float* blanking = nullptr;

    bool valid(int p) const { return blanking[p] >= 0.0f; }
};

std::optional<StereoArea> stereoArea(const ZelData& area) {
    StereoArea a;
    a.position = findTriple(area, GlobalCoordinate, {"X", "Y", "Z"});
    float* blanking = nullptr;
    if (!a.position || !area.findBlankingVariable(blanking))
        return std::nullopt;
    a.blanking = blanking;
    a.displacement = findTriple(area, GlobalDisplacement, {"U", "V", "W"});
    a.sigma = findTriple(area, GlobalDisplacement, {"SIGMA_X", "SIGMA_Y", "SIGMA_Z"});
    return a;
}

// Standard deviations of independent errors along the old axes, seen along the axes
// of the frame rotated by r: s'_i = sqrt(sum_j r_ij^2 s_j^2).
Vector3 rotatedSigma(const Matrix3x3& r, const Vector3& s) {
    Vector3 result;
    for (int i = 0; i < 3; ++i) {
        double variance = 0.0;
        for (int j = 0; j < 3; ++j)
            variance += r(i, j) * r(i, j) * s[j] * s[j];
        result[i] = std::sqrt(variance);
    }
    return result;
}

// p + u with the sums formed in single precision, as the file holds the deformed shape.
Vector3 deformedInFloat(const Vector3& p, const Vector3& u) {
    return Vector3(float(p.x) + float(u.x), float(p.y) + float(u.y), float(p.z) + float(u.z));
}

void transformStereoArea(ZelData& area, const RigidTransform& t, bool displacementOnly) {
    const std::optional<StereoArea> a = stereoArea(area);
    if (!a)
        return;
    area.clearSearchTrees();
    if (displacementOnly && !a->displacement)
        return;
    const Matrix3x3 r = t.rotation().matrix();
    for (int p = 0; p < area.matrixSize(); ++p) {
        if (!a->valid(p))
            continue;
        const Vector3 position = a->position.at(p);
        if (displacementOnly) {
            a->displacement.set(p, t * deformedInFloat(position, a->displacement.at(p)) - position);
            continue;
        }
        a->position.set(p, t * position);
        if (a->displacement)
            a->displacement.set(p, r * a->displacement.at(p));
        if (a->sigma)
            a->sigma.set(p, rotatedSigma(r, a->sigma.at(p)));
    }
}

void transformPlanarArea(ZelData& area, const RigidTransform& t, bool displacementOnly) {
    float *x = nullptr, *y = nullptr, *u = nullptr, *v = nullptr, *blanking = nullptr;
    if (!area.findVariable("x_c", x) || !area.findVariable("y_c", y) || !area.findBlankingVariable(blanking)
        || !area.findVariable("u_c", u) || !area.findVariable("v_c", v))
        return;
    area.clearSearchTrees();
    const Matrix3x3 r = t.rotation().matrix();
    for (int p = 0; p < area.matrixSize(); ++p) {
        if (!(blanking[p] >= 0.0f))
            continue;
        if (displacementOnly) {
            const Vector3 q = t * Vector3(x[p] + u[p], y[p] + v[p], 0.0);
            u[p] = float(q.x - x[p]);
            v[p] = float(q.y - y[p]);
            continue;
        }
        const Vector3 position = t * Vector3(x[p], y[p], 0.0);
        const Vector3 displacement = r * Vector3(u[p], v[p], 0.0);
        x[p] = float(position.x);
        y[p] = float(position.y);
        u[p] = float(displacement.x);
        v[p] = float(displacement.y);
    }
}

// atan2(a, b) - reference wrapped into (-pi, pi], so that no full turn appears where
// the two angles lie on either side of the seam at +-pi.
double angleChange(double angle, double reference) {
    const double change = std::remainder(angle - reference, TwoPi);
    return change <= -TwoPi / 2.0 ? change + TwoPi : change;
}

// The variables the cylinder transformation adds, in order.
struct CylinderVariables {
    float* radius;
    float* theta;
    float* axial;
    float* dRadius = nullptr;
    float* dTheta = nullptr;
    float* dAxial = nullptr;
};

CylinderVariables addCylinderVariables(ZelData& area, bool withChanges, CsDataSystemType type) {
    const ZelDataVariableType angle = type == Type3d ? Angle : CylinderCoordinate;
    const ZelDataVariableType angleChangeType = type == Type3d ? Angle : CylinderDisplacement;
    CylinderVariables c{area.allocateVariable(CylinderCoordinate, "R", "R [mm]"),
                        area.allocateVariable(angle, "Theta", "Theta [rad]"),
                        area.allocateVariable(CylinderCoordinate, "Zc", "Z [mm] (cylinder)")};
    if (withChanges) {
        c.dRadius = area.allocateVariable(CylinderDisplacement, "dR", "dR [mm]");
        c.dTheta = area.allocateVariable(angleChangeType, "dTheta", "dTheta [rad]");
        c.dAxial = area.allocateVariable(CylinderDisplacement, "dZ", "dZ [mm] (cylinder)");
    }
    return c;
}

void cylinderArea(ZelData& area, const RigidTransform& t, CsDataSystemType type) {
    const std::optional<StereoArea> a = stereoArea(area);
    if (!a)
        return;
    const bool withChanges = bool(a->displacement);
    const CylinderVariables c = addCylinderVariables(area, withChanges, type);
    area.clearSearchTrees();
    const Matrix3x3 m = t.rotation().matrix();
    for (int p = 0; p < area.matrixSize(); ++p) {
        if (!a->valid(p))
            continue;
        const Vector3 position = a->position.at(p);
        const Vector3 q = t * position;
        const double radius = std::sqrt(q.x * q.x + q.z * q.z);
        const double theta = std::atan2(q.x, q.z);
        c.radius[p] = float(radius);
        c.theta[p] = float(theta);
        c.axial[p] = float(q.y);
        a->position.set(p, q);
        if (withChanges) {
            const Vector3 q2 = t * (position + a->displacement.at(p));
            c.dRadius[p] = float(std::sqrt(q2.x * q2.x + q2.z * q2.z) - radius);
            c.dTheta[p] = float(angleChange(std::atan2(q2.x, q2.z), theta));
            c.dAxial[p] = float(q2.y - q.y);
            a->displacement.set(p, q2 - q);
        }
        if (a->sigma)
            a->sigma.set(p, rotatedSigma(m, a->sigma.at(p)));
    }
}

} // namespace

void applyTransformation(ZelDataSet& set, const RigidTransform& t, bool displacementOnly, CsDataSystemType type) {
    set.addTransformation(t);
    for (int i = 0; i < set.numData(); ++i) {
        if (type == Type3d)
            transformStereoArea(*set.data(i), t, displacementOnly);
        else
            transformPlanarArea(*set.data(i), t, displacementOnly);
    }
}

void applyCylinderTransformation(ZelDataSet& set, const CylinderTransformation& cyl, CsDataSystemType type) {
    for (int i = 0; i < set.numData(); ++i)
        cylinderArea(*set.data(i), cyl.transform, type);
}

} // namespace orvex
