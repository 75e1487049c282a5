// Smoothing of one variable (weighted, on the calling thread) with windows 15 and 51
// beside the strain computation with window 15 on all threads and the direct fit of
// every window (the tests' reference, window 15), and the rigid transformation, each on
// a fresh copy of a data set holding the 1000 × 1000 stereo bench area: the library's
// side of the Python analyses benchmark (bench/python/bench_queries.py times the same
// work through the module).

#include "BestOf.h"
#include "PeakMemory.h"
#include "StereoBenchArea.h"
#include "analysis/DirectReference.h"
#include "orvex/analysis/CoordinateTransformation.h"
#include "orvex/analysis/Strain.h"
#include "orvex/analysis/WindowSmoothing.h"
#include "orvex/core/CPUInfo.h"
#include "orvex/core/RigidTransform.h"
#include "orvex/data/ZelDataSet.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kRuns = 5;

template <typename Work>
double onFreshSet(const orvex::ZelData& area, Work work, int runs = kRuns) {
    std::unique_ptr<orvex::ZelDataSet> set;
    return bestMilliseconds(
        runs, [&] { work(*set); },
        [&] {
            set = std::make_unique<orvex::ZelDataSet>();
            set->addData(new orvex::ZelData(area));
        });
}

double smoothMilliseconds(const orvex::ZelData& area, int window) {
    return onFreshSet(area, [window](orvex::ZelDataSet& set) { orvex::smoothVariable(set, "W", window, true, nullptr); });
}

double directSmoothMilliseconds(const orvex::ZelData& area, int window) {
    std::vector<float> values(area.data(static_cast<std::size_t>(area.findVariable("W"))),
                              area.data(static_cast<std::size_t>(area.findVariable("W"))) + area.matrixSize());
    const float* mask = area.data(static_cast<std::size_t>(area.findVariable("sigma")));
    return bestMilliseconds(1, [&] {
        reference::smoothVariable(values.data(), mask, area.numColumns(), area.numRows(), window, true);
    });
}

} // namespace

int main() {
    const orvex::ZelData area = makeStereoBenchArea();
    const double smooth15 = smoothMilliseconds(area, 15);
    const double smooth51 = smoothMilliseconds(area, 51);
    orvex::StrainComputationSettings settings;
    settings.windowSize = 15;
    const double strain15 = onFreshSet(area, [&](orvex::ZelDataSet& set) { orvex::computeStrain(&set, settings, nullptr); });
    const double direct15 = directSmoothMilliseconds(area, 15);
    orvex::ZelDataSet set;
    set.addData(new orvex::ZelData(area));
    const double peak15 = peakGrowth([&] { orvex::smoothVariable(set, "W", 15, true, nullptr); });
    const double peak51 = peakGrowth([&] { orvex::smoothVariable(set, "W", 51, true, nullptr); });

    std::printf("%dx%d stereo area, %d threads: smoothVariable('W') window 15 %.1f ms, window 51 %.1f ms "
                "(%.2fx window 15; target 3.5x); computeStrain window 15 %.1f ms (smoothing %.2fx its time; "
                "target 2x); direct fit of every window, window 15, %.0f ms (%.1fx the smoothing)\n",
                kBenchSide, kBenchSide, orvex::CPUInfo::numCPU(), smooth15, smooth51, smooth51 / smooth15, strain15,
                smooth15 / strain15, direct15, direct15 / smooth15);
    std::printf("peak resident growth of one smoothing: window 15 %.2f MB, window 51 %.2f MB (the variable %.1f MB)\n",
                peak15 / 1e6, peak51 / 1e6, area.matrixSize() * 4.0 / 1e6);

    const orvex::RigidTransform move(orvex::Rotation(10, 20, 30, orvex::Rotation::Deg), orvex::Vector3(1, 2, 3));
    const double transform = onFreshSet(area, [&](orvex::ZelDataSet& set) {
        orvex::applyTransformation(set, move, false, orvex::Type3d);
    });
    std::printf("%dx%d stereo area: applyTransformation %.2f ms\n", kBenchSide, kBenchSide, transform);
    return 0;
}
