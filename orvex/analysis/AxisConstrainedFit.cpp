#include "orvex/analysis/AxisConstrainedFit.h"

#include "orvex/core/Logging.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace orvex {

namespace {

constexpr double Pi = 3.141592653589793;
constexpr double SameTarget = 1e-6;
constexpr double Negligible = 1e-10;
constexpr int MaxIterations = 100;

using Vector6 = Eigen::Matrix<double, 6, 1>;
using Matrix6 = Eigen::Matrix<double, 6, 6>;

struct Observation {
    Vector3 point;
    int axis;
    double target;
};

// The points of one axis that share one target value (a plane normal to that axis).
struct Group {
    int axis;
    double target;
    Eigen::Vector3d direction;  // of largest spread
    Eigen::Vector3d normal;     // of least spread
    double score;               // second singular value: how well it spans a plane
    double spread;              // largest singular value
};

Eigen::Vector3d toEigen(const Vector3& v) { return Eigen::Vector3d(v.x, v.y, v.z); }
Eigen::Vector3d unit(int axis) { return Eigen::Vector3d::Unit(axis); }

// The closed-form rotation and translation taking the points onto their complete
// targets: H = sum (p - c_p)(t - c_t)^T = U S V^T, R = V diag(1, 1, det(V U^T)) U^T.
Eigen::Matrix4d completeStart(const std::vector<Eigen::Vector3d>& from, const std::vector<Eigen::Vector3d>& to) {
    Eigen::Vector3d fromCentre = Eigen::Vector3d::Zero(), toCentre = Eigen::Vector3d::Zero();
    for (std::size_t i = 0; i < from.size(); ++i) {
        fromCentre += from[i];
        toCentre += to[i];
    }
    fromCentre /= double(from.size());
    toCentre /= double(to.size());
    Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < from.size(); ++i)
        h += (from[i] - fromCentre) * (to[i] - toCentre).transpose();
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const double d = (svd.matrixV() * svd.matrixU().transpose()).determinant();
    const Eigen::Matrix3d r = svd.matrixV() * Eigen::Vector3d(1.0, 1.0, d).asDiagonal() * svd.matrixU().transpose();
    Eigen::Matrix4d start = Eigen::Matrix4d::Identity();
    start.topLeftCorner<3, 3>() = r;
    start.topRightCorner<3, 1>() = toCentre - r * fromCentre;
    return start;
}

std::vector<Group> targetGroups(const std::vector<Observation>& observations) {
    std::vector<Group> groups;
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<double> values;
        for (const Observation& o : observations) {
            if (o.axis != axis)
                continue;
            bool listed = false;
            for (double v : values)
                listed = listed || std::abs(o.target - v) <= SameTarget;
            if (!listed)
                values.push_back(o.target);
        }
        for (double value : values) {
            std::vector<Eigen::Vector3d> members;
            for (const Observation& o : observations)
                if (o.axis == axis && std::abs(o.target - value) <= SameTarget)
                    members.push_back(toEigen(o.point));
            if (members.size() < 2)
                continue;
            Eigen::MatrixX3d centred(Eigen::Index(members.size()), 3);
            for (std::size_t i = 0; i < members.size(); ++i)
                centred.row(Eigen::Index(i)) = members[i].transpose();
            centred.rowwise() -= centred.colwise().mean();
            const Eigen::JacobiSVD<Eigen::MatrixX3d> svd(centred, Eigen::ComputeFullV);
            const Group group{axis, value, svd.matrixV().col(0), svd.matrixV().col(2), svd.singularValues()(1),
                              svd.singularValues()(0)};
            PLOGD << "Axis " << axis << " target " << value << " score: " << group.score
                  << " spread: " << group.spread;
            groups.push_back(group);
        }
    }
    return groups;
}

// The first group of the largest measure among those that pass.
template <typename Measure, typename Passes>
const Group* bestGroup(const std::vector<Group>& groups, Measure measure, Passes passes) {
    const Group* best = nullptr;
    for (const Group& g : groups)
        if (passes(g) && (!best || measure(g) > measure(*best)))
            best = &g;
    return best;
}

// The turn about e_a that brings the second group into place: its plane normal into
// the plane of e_a and e_b, or, for a line, the line perpendicular to e_b.
double secondaryAngle(const std::vector<Group>& groups, int primaryAxis, const Eigen::Matrix3d& r1) {
    const Eigen::Vector3d ea = unit(primaryAxis);
    const Group* plane = bestGroup(
        groups, [](const Group& g) { return g.score; },
        [&](const Group& g) { return g.axis != primaryAxis && g.score > 0.0; });
    if (plane) {
        const Eigen::Vector3d eb = unit(plane->axis);
        Eigen::Vector3d m = r1 * plane->normal;
        if (m.dot(eb) < 0.0)
            m = -m;
        Eigen::Vector3d q = m - m.dot(ea) * ea;
        double alpha = 0.0;
        if (q.norm() > Negligible) {
            q.normalize();
            alpha = std::atan2(q.cross(eb).dot(ea), q.dot(eb));
        }
        PLOGD << "Plane secondary axis: " << plane->axis << "  alpha: " << alpha * 180.0 / Pi << " deg";
        return alpha;
    }
    const Group* line = bestGroup(
        groups, [](const Group& g) { return g.spread; },
        [&](const Group& g) { return g.axis != primaryAxis && g.spread > Negligible; });
    if (!line)
        return 0.0;
    const Eigen::Vector3d eb = unit(line->axis);
    const Eigen::Vector3d d = r1 * line->direction;
    const double alpha = std::atan2(eb.dot(d), ea.cross(eb).dot(d));
    PLOGD << "Line secondary axis: " << line->axis << "  alpha: " << alpha * 180.0 / Pi << " deg";
    return alpha;
}

// The start rotation from the groups: turn the best plane's normal onto its axis,
// then about that axis by the secondary angle. Empty without groups.
std::optional<Eigen::Matrix3d> groupRotation(const std::vector<Observation>& observations) {
    const std::vector<Group> groups = targetGroups(observations);
    if (groups.empty()) {
        PLOGD << "No enough constraints to define a plane.";
        return std::nullopt;
    }
    const Group& primary = *bestGroup(
        groups, [](const Group& g) { return g.score; }, [](const Group&) { return true; });
    const Eigen::Vector3d ea = unit(primary.axis);
    const Eigen::Vector3d n = primary.normal.dot(ea) < 0.0 ? Eigen::Vector3d(-primary.normal) : primary.normal;
    const Eigen::Vector3d w = n.cross(ea);
    const double s = w.norm();
    Eigen::Matrix3d r1 = Eigen::Matrix3d::Identity();
    if (s >= Negligible)
        r1 = Eigen::AngleAxisd(std::atan2(s, n.dot(ea)), w / s).toRotationMatrix();
    const double alpha = secondaryAngle(groups, primary.axis, r1);
    return Eigen::Matrix3d(Eigen::AngleAxisd(alpha, ea).toRotationMatrix() * r1);
}

// Per axis the mean of target - (R p)[axis] over its observations; 0 without any.
Eigen::Vector3d meanTranslation(const std::vector<Observation>& observations, const Eigen::Matrix3d& r) {
    Eigen::Vector3d sum = Eigen::Vector3d::Zero(), count = Eigen::Vector3d::Zero();
    for (const Observation& o : observations) {
        sum(o.axis) += o.target - (r * toEigen(o.point))(o.axis);
        count(o.axis) += 1.0;
    }
    for (int k = 0; k < 3; ++k)
        if (count(k) > 0.0)
            sum(k) /= count(k);
    return sum;
}

std::optional<RigidTransform> startTransform(const std::vector<Observation>& observations,
                                             const std::vector<Vector3>& points,
                                             const std::vector<AxisTargets>& targets) {
    std::vector<Eigen::Vector3d> from, to;
    for (std::size_t i = 0; i < points.size(); ++i)
        if (targets[i][0] && targets[i][1] && targets[i][2]) {
            from.push_back(toEigen(points[i]));
            to.emplace_back(*targets[i][0], *targets[i][1], *targets[i][2]);
        }
    Eigen::Matrix3d r;
    Eigen::Vector3d t;
    if (from.size() >= 3) {
        const Eigen::Matrix4d start = completeStart(from, to);
        r = start.topLeftCorner<3, 3>();
        t = start.topRightCorner<3, 1>();
    } else {
        const std::optional<Eigen::Matrix3d> rotation = groupRotation(observations);
        if (!rotation)
            return std::nullopt;
        r = *rotation;
        t = meanTranslation(observations, r);
    }
    Matrix3x3 m;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m(i, j) = r(i, j);
    return RigidTransform(Rotation(m), Vector3(t(0), t(1), t(2)));
}

RigidTransform transformOf(const Vector6& p) {
    Rotation rotation;
    rotation.setVector(Vector3(p(0), p(1), p(2)));
    return RigidTransform(rotation, Vector3(p(3), p(4), p(5)));
}

struct NormalEquations {
    double error = 0.0;
    Matrix6 normal = Matrix6::Zero();
    Vector6 gradient = Vector6::Zero();
};

// Error and normal equations at p. Free translations get a unit diagonal; rotation
// directions the targets do not determine (eigenvalues below 1e-10 of the largest) get
// eigenvalue 1 and no gradient, so the steps leave them as they are.
NormalEquations evaluate(const Vector6& p, const std::vector<Observation>& observations, const bool freeAxis[3]) {
    const RigidTransform transform = transformOf(p);
    NormalEquations out;
    Vector3 q;
    Matrix3x3 derivative;
    for (const Observation& o : observations) {
        transform.evaluate(q, derivative, o.point);
        const double e = q[o.axis] - o.target;
        Vector6 j;
        j << derivative(o.axis, 0), derivative(o.axis, 1), derivative(o.axis, 2), 0.0, 0.0, 0.0;
        j(3 + o.axis) = 1.0;
        out.error += e * e;
        out.normal += j * j.transpose();
        out.gradient += j * e;
    }
    for (int k = 0; k < 3; ++k)
        if (freeAxis[k]) {
            out.normal(3 + k, 3 + k) = 1.0;
            out.gradient(3 + k) = 0.0;
        }
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(out.normal.topLeftCorner<3, 3>());
    const double largest = eigen.eigenvalues()(2);
    if (largest > 0.0)
        for (int i = 0; i < 3; ++i) {
            const double value = eigen.eigenvalues()(i);
            if (value >= Negligible * largest)
                continue;
            const Eigen::Vector3d v = eigen.eigenvectors().col(i);
            out.normal.topLeftCorner<3, 3>() += (1.0 - value) * v * v.transpose();
            const Eigen::Vector3d g = out.gradient.head<3>();
            out.gradient.head<3>() = g - v.dot(g) * v;
        }
    return out;
}

Vector6 refine(Vector6 p, const std::vector<Observation>& observations, const bool freeAxis[3]) {
    NormalEquations current = evaluate(p, observations, freeAxis);
    double lambda = 0.001;
    for (int iteration = 0; iteration < MaxIterations; ++iteration) {
        PLOGD << "iteration " << iteration << " error: " << current.error;
        Matrix6 damped = current.normal;
        damped.diagonal() *= 1.0 + lambda;
        const Vector6 delta = damped.ldlt().solve(-current.gradient);
        if (delta.norm() < 1e-12)
            break;
        const Vector6 next = p + delta;
        NormalEquations trial = evaluate(next, observations, freeAxis);
        if (trial.error < current.error) {
            p = next;
            current = trial;
            lambda = std::max(lambda / 10.0, 1e-10);
        } else {
            lambda = std::min(lambda * 10.0, 1e10);
            if (lambda >= 1e10)
                break;
        }
    }
    return p;
}

} // namespace

std::optional<RigidTransform> fitRigidTransform(double& rms, const std::vector<Vector3>& points,
                                                const std::vector<AxisTargets>& targets) {
    if (targets.size() < points.size()) {
        PLOGE << "Fewer targets than points for rigid body fit: " << targets.size() << " for " << points.size()
              << " points.";
        return std::nullopt;
    }
    std::vector<Observation> observations;
    for (std::size_t i = 0; i < points.size(); ++i)
        for (int axis = 0; axis < 3; ++axis)
            if (targets[i][axis])
                observations.push_back({points[i], axis, *targets[i][axis]});
    if (points.empty() || observations.size() <= 5) {
        PLOGD << "Not enough observations for rigid body fit.";
        return std::nullopt;
    }
    bool freeAxis[3] = {true, true, true};
    for (const Observation& o : observations)
        freeAxis[o.axis] = false;

    const std::optional<RigidTransform> start = startTransform(observations, points, targets);
    if (!start)
        return std::nullopt;
    const Vector3 angles = start->rotation().cardanBryant(Rotation::Deg);
    const Vector3& shift = start->translation();
    PLOGD << "Initial angles: " << angles.x << " " << angles.y << " " << angles.z << ", trans: " << shift.x << " "
          << shift.y << " " << shift.z;
    Vector6 p;
    for (int k = 0; k < 6; ++k)
        p(k) = start->parameterValue(k);
    p = refine(p, observations, freeAxis);

    RigidTransform transform = transformOf(p);
    for (int k = 0; k < 3; ++k) {
        if (!freeAxis[k])
            continue;
        double mean = 0.0;
        for (const Vector3& x : points)
            mean += (transform * x)[k];
        p(3 + k) -= mean / double(points.size());
    }
    transform = transformOf(p);
    double sum = 0.0;
    for (const Observation& o : observations) {
        const double e = (transform * o.point)[o.axis] - o.target;
        sum += e * e;
    }
    rms = std::sqrt(sum / double(observations.size()));
    PLOGI << "Final coordinate system fit residuals: " << rms;
    return transform;
}

} // namespace orvex
