// Times the camera models and the stereo triangulation on 10^5 points, one thread:
// pinhole project and ray (with undistortion), VRO project, the pinhole rig's
// non-linear triangulation and the calibration's triangulation of real pixels (rig,
// world frame), beside a plain undistorted pinhole projection. The
// points are those of bench/python/bench_projectpoints.py, which times OpenCV.
#include "BestOf.h"

#include "orvex/calibration/Calibration3D.h"
#include "orvex/calibration/Camera.h"
#include "orvex/calibration/StereoRig.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

using namespace orvex;

// Heap allocations through operator new, to show that the per-point paths make none.
static std::atomic<long> allocationCount{0};

void* operator new(std::size_t size) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // this operator new allocates with malloc
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

constexpr int kPointCount = 100000;

// The points of bench_projectpoints.py: a spread in front of the camera.
std::vector<Vector3> benchPoints() {
    std::vector<Vector3> points(kPointCount);
    for (int i = 0; i < kPointCount; ++i)
        points[i] = Vector3(((i * 37) % 1000 - 500) * 0.3, ((i * 91) % 800 - 400) * 0.3, 600.0 + i % 500);
    return points;
}

CameraData pinholeData() {
    CameraData data;
    data.cx = 801.5;
    data.cy = 598.25;
    data.fx = 2400.0;
    data.fy = 2395.5;
    data.numRadial = 3;
    data.numTangential = 2;
    data.numPrismatic = 4;
    const double radial[3] = {0.12, -0.05, 0.01};
    const double tangential[2] = {-9e-4, 6e-4};
    const double prismatic[4] = {1e-3, 4e-4, -6e-4, 3e-4};
    std::copy(radial, radial + 3, data.radial);
    std::copy(tangential, tangential + 2, data.tangential);
    std::copy(prismatic, prismatic + 4, data.prismatic);
    return data;
}

Camera vroCamera() {
    CameraData data;
    data.type = CameraType::VRO;
    data.csType = VROSystemType(1);
    data.cx = 801.5;
    data.cy = 598.25;
    data.fx = 2400.0;
    data.fy = 2395.5;
    data.vroFirst[0] = 0.05;
    data.vroFirst[1] = -0.01;
    data.vroFirst[3] = 3e-4;
    data.vroSecond[0] = 1e-3;
    data.vroSecond[7] = 2e-4;
    return Camera(data);
}

template <class Work>
void report(const char* name, Work work) {
    const long before = allocationCount.load();
    const int runs = 5;
    const double ms = bestMilliseconds(runs, work);
    const double allocations = double(allocationCount.load() - before) / (runs * double(kPointCount));
    std::printf("%-46s %9.1f ns per point, %.2f heap allocations per point\n", name, ms * 1e6 / kPointCount,
                allocations);
}

} // namespace

int main() {
    const std::vector<Vector3> points = benchPoints();
    const Camera pinhole(pinholeData());
    const Camera vro = vroCamera();
    std::vector<Vector2> pixels(kPointCount);
    double checksum = 0.0;

    report("plain pinhole without distortion (baseline)", [&] {
        const CameraData& d = pinhole.getRawData();
        for (int i = 0; i < kPointCount; ++i) {
            const Vector3& p = points[i];
            pixels[i] = Vector2(d.fx * p.x / p.z + d.skew * p.y / p.z + d.cx, d.fy * p.y / p.z + d.cy);
        }
    });
    report("pinhole project", [&] {
        for (int i = 0; i < kPointCount; ++i) pixels[i] = pinhole.project(points[i]);
    });
    report("pinhole ray with undistortion", [&] {
        Vector3 origin, direction;
        for (int i = 0; i < kPointCount; ++i) {
            pinhole.ray(pixels[i], origin, direction);
            checksum += direction.x;
        }
    });
    report("VRO project", [&] {
        for (int i = 0; i < kPointCount; ++i) checksum += vro.project(points[i]).x;
    });

    const StereoRig rig{pinhole, Camera(pinholeData()),
                        RigidTransform(Rotation(0.5, -12.0, 0.3, Rotation::Deg), Vector3(-150.0, 2.0, 15.0))};
    std::vector<Vector2> pixels1(kPointCount);
    for (int i = 0; i < kPointCount; ++i) pixels1[i] = rig.camera1.project(rig.stereoTransformation * points[i]);
    report("pinhole rig triangulNonLinearLS, exact pixels", [&] {
        for (int i = 0; i < kPointCount; ++i) checksum += rig.triangulNonLinearLS(pixels[i], pixels1[i]).z;
    });
    // Matching noise of a few hundredths of a pixel, as correlation leaves it.
    for (int i = 0; i < kPointCount; ++i) pixels1[i] += Vector2((i % 7 - 3) * 0.01, (i % 5 - 2) * 0.015);
    report("pinhole rig triangulNonLinearLS, noisy pixels", [&] {
        for (int i = 0; i < kPointCount; ++i) checksum += rig.triangulNonLinearLS(pixels[i], pixels1[i]).z;
    });
    Calibration3D calibration;
    calibration.setCamera(0, rig.camera0, RigidTransform());
    calibration.setCamera(1, rig.camera1, RigidTransform());
    calibration.setStereoTransformation(rig.stereoTransformation, false);
    report("pinhole Calibration3D::triangulate, noisy", [&] {
        Vector3 world;
        for (int i = 0; i < kPointCount; ++i) {
            calibration.triangulate(world, pixels[i], pixels1[i]);
            checksum += world.z;
        }
    });
    std::printf("(checksum %.6g)\n", checksum);
    return 0;
}
