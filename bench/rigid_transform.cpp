// Applies one rigid transform to a million points and prints the time per point.
#include "orvex/core/Array1.h"
#include "orvex/core/RigidTransform.h"

#include <chrono>
#include <cstdio>

int main() {
    constexpr int pointCount = 1000000;
    constexpr int repetitions = 20;

    orvex::Array1<orvex::Vector3> points(pointCount);
    for (int i = 0; i < pointCount; ++i)
        points[i] = orvex::Vector3(i * 1e-3, (i % 1000) * 0.5, (i % 37) - 18.0);
    orvex::Array1<orvex::Vector3> transformed(pointCount);

    const orvex::RigidTransform transform(orvex::Rotation(12.0, -40.0, 75.0, orvex::Rotation::Deg),
                                          orvex::Vector3(1.0, -2.0, 3.0));
    transform.rotation().matrix();  // fill the matrix cache once

    double best = 1e300;
    for (int r = 0; r < repetitions; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < pointCount; ++i)
            transformed[i] = transform * points[i];
        const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed.count() < best)
            best = elapsed.count();
    }
    double checksum = 0.0;
    for (const orvex::Vector3& p : transformed)
        checksum += p.x + p.y + p.z;

    std::printf("rigid transform applied to %d points: %.2f ns per point (best of %d; checksum %.6g)\n",
                pointCount, best / pointCount, repetitions, checksum);
    return 0;
}
