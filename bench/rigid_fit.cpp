// Fits a rigid motion to a million noisy point pairs and prints the time beside the
// closed-form least-squares motion of Eigen (Umeyama without scaling) on the same points.
#include "BestOf.h"

#include "orvex/analysis/RigidFit.h"

#include <Eigen/Geometry>

#include <cstdio>
#include <random>

int main() {
    constexpr int pointCount = 1000000;
    constexpr int runs = 7;

    std::mt19937 engine(11);
    std::uniform_real_distribution<double> coordinate(-200.0, 200.0);
    std::normal_distribution<double> noise(0.0, 0.01);
    const orvex::RigidTransform motion(orvex::Rotation(12.0, -40.0, 75.0, orvex::Rotation::Deg),
                                       orvex::Vector3(1.0, -2.0, 3.0));
    orvex::Array1<orvex::Vector3> ref(pointCount), def(pointCount);
    Eigen::Matrix3Xd from(3, pointCount), to(3, pointCount);
    for (int i = 0; i < pointCount; ++i) {
        ref[i] = orvex::Vector3(coordinate(engine), coordinate(engine), 0.2 * coordinate(engine));
        def[i] = motion * ref[i] + orvex::Vector3(noise(engine), noise(engine), noise(engine));
        from.col(i) << def[i].x, def[i].y, def[i].z;
        to.col(i) << ref[i].x, ref[i].y, ref[i].z;
    }

    orvex::RigidTransform fitted;
    double rms = 0.0;
    bool fittedOk = false;
    const double fitMs = bestMilliseconds(runs, [&] { fittedOk = orvex::fitRigidTransform(fitted, rms, ref, def, -1); });

    Eigen::Matrix4d closedForm;
    const double umeyamaMs = bestMilliseconds(runs, [&] { closedForm = Eigen::umeyama(from, to, false); });
    const Eigen::Matrix3Xd residual =
        to - ((closedForm.topLeftCorner<3, 3>() * from).colwise() + closedForm.topRightCorner<3, 1>());
    const double umeyamaRms = std::sqrt(residual.squaredNorm() / (3.0 * pointCount));

    std::printf("rigid fit of %d point pairs: %.2f ms (rms %.6g, %s); Eigen::umeyama: %.2f ms (rms %.6g); "
                "best of %d\n",
                pointCount, fitMs, rms, fittedOk ? "fitted" : "FAILED", umeyamaMs, umeyamaRms, runs);
    return 0;
}
