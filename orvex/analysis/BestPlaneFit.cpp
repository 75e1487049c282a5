#include "orvex/analysis/BestPlaneFit.h"

#include "orvex/analysis/AreaTriple.h"
#include "orvex/analysis/TangentFrame.h"
#include "orvex/core/Decompositions.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace orvex {

namespace {

bool isFinite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// The variables of one area that the plane fit reads.
struct PlaneSource {
    AreaTriple position;
    AreaTriple displacement;
    const float* blanking = nullptr;
    int count = 0;
};

std::vector<PlaneSource> planeSources(const ZelDataSet& set, bool ignoreDisplacement) {
    std::vector<PlaneSource> sources;
    for (int i = 0; i < set.numData(); ++i) {
        const ZelData& area = *set.data(i);
        PlaneSource source;
        source.position = findTriple(area, GlobalCoordinate, {"X", "Y", "Z"});
        float* blanking = nullptr;
        if (!source.position || !area.findBlankingVariable(blanking))
            continue;
        source.blanking = blanking;
        source.count = area.matrixSize();
        if (!ignoreDisplacement)
            source.displacement = findTriple(area, GlobalDisplacement, {"U", "V", "W"});
        sources.push_back(source);
    }
    return sources;
}

// (X + U, Y + V, Z + W) with the sums in single precision.
Vector3 deformedPosition(const PlaneSource& source, int p) {
    Vector3 q;
    for (int k = 0; k < 3; ++k)
        q[k] = source.position.values[k][p] + source.displacement.values[k][p];
    return q;
}

} // namespace

std::optional<std::pair<Vector3, Vector3>> averageNormal(const Array1<Vector3>& points) {
    if (points.size() <= 2)
        return std::nullopt;
    Vector3 centroid;
    for (const Vector3& p : points)
        centroid += p;
    centroid = centroid * (1.0 / double(points.size()));
    Matrix3x3 scatter;
    for (const Vector3& p : points) {
        const Vector3 d = p - centroid;
        for (int r = 0; r < 3; ++r)
            for (int s = r; s < 3; ++s)
                scatter(r, s) += d[r] * d[s];
    }
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < r; ++s)
            scatter(r, s) = scatter(s, r);
    Matrix3x3 u, v;
    Vector3 w;
    if (!svd(u, w, v, scatter))
        return std::nullopt;
    const Vector3 candidate(v(0, 2), v(1, 2), v(2, 2));
    const double length = norm(candidate);
    if (length == 0.0)
        return std::nullopt;
    const Vector3 normal = candidate * ((candidate.z < 0.0 ? -1.0 : 1.0) / length);
    return std::make_pair(normal, centroid);
}

Matrix3x3 alignZAxisToVector(const Vector3& direction) {
    const Vector3 x = tangentFrameOfNormal(direction, dot(direction, direction)).e1;
    Vector3 y = cross(direction, x);
    y = y * (1.0 / norm(y));
    return Matrix3x3{x.x, x.y, x.z, y.x, y.y, y.z, direction.x, direction.y, direction.z};
}

std::optional<RigidTransform> bestPlaneFit(const Array1<Vector3>& points) {
    const auto plane = averageNormal(points);
    if (!plane || !isFinite(plane->first) || !isFinite(plane->second))
        return std::nullopt;
    const Matrix3x3 m = alignZAxisToVector(plane->first);
    return RigidTransform(Rotation(m), (m * plane->second) * -1.0);
}

bool computeBestPlaneFit(RigidTransform& transform, const ZelDataSet& set, bool ignoreDisplacement) {
    const std::vector<PlaneSource> sources = planeSources(set, ignoreDisplacement);
    std::size_t withDisplacement = 0;
    for (const PlaneSource& source : sources)
        withDisplacement += source.displacement ? 1 : 0;
    if (withDisplacement != 0 && withDisplacement != sources.size())
        return false;
    Array1<Vector3> points;
    points.reserve(std::size_t(std::max(0, set.sumNumDataPoints())));
    for (const PlaneSource& source : sources)
        for (int p = 0; p < source.count; ++p) {
            if (!(source.blanking[p] >= 0.0f))
                continue;
            points.push_back(source.displacement ? deformedPosition(source, p) : source.position.at(p));
        }
    const std::optional<RigidTransform> plane = bestPlaneFit(points);
    if (!plane)
        return false;
    transform = *plane;
    return true;
}

} // namespace orvex
