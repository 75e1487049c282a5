// Curvature of one 1000 × 1000 stereo area, window 15 with principal values, on one
// thread and on all of them, beside the strain computation of the same area on all
// threads (its own benchmark times it further), and the process's peak memory after a
// first run on a copy of the area (the area, its copy and the run's working memory).

#include "BestOf.h"
#include "StereoBenchArea.h"
#include "orvex/analysis/Curvature.h"
#include "orvex/analysis/Strain.h"
#include "orvex/core/CPUInfo.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include <sys/resource.h>

namespace {

constexpr int kWindow = 15;
constexpr int kRuns = 5;

// Best time of a curvature run on a fresh copy of the area.
double curvatureMilliseconds(const orvex::ZelData& original) {
    std::unique_ptr<orvex::ZelData> area;
    return bestMilliseconds(
        kRuns, [&] { orvex::computeCurvature(*area, kWindow, true, true, true, nullptr); },
        [&] { area = std::make_unique<orvex::ZelData>(original); });
}

double strainMilliseconds(const orvex::ZelData& original) {
    orvex::StrainComputationSettings settings;
    settings.windowSize = kWindow;
    std::unique_ptr<orvex::ZelDataSet> set;
    return bestMilliseconds(
        kRuns, [&] { orvex::computeStrain(set.get(), settings, nullptr); },
        [&] {
            set = std::make_unique<orvex::ZelDataSet>();
            set->addData(new orvex::ZelData(original));
        });
}

} // namespace

int main() {
    const orvex::ZelData area = makeStereoBenchArea();
    {
        orvex::ZelData copy(area);
        orvex::computeCurvature(copy, kWindow, true, true, true, nullptr);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double areaMegabytes = area.numVariables() * area.matrixSize() * sizeof(float) / 1048576.0;
    const int all = std::max(1, int(std::thread::hardware_concurrency()));
    orvex::CPUInfo::forceThreads(1);
    const double single = curvatureMilliseconds(area);
    orvex::CPUInfo::forceThreads(all);
    const double parallel = curvatureMilliseconds(area);
    const double strain = strainMilliseconds(area);
    orvex::CPUInfo::forceThreads(0);
    std::printf("curvature %dx%d window %d: 1 thread %.1f ms, %d threads %.1f ms (%.1fx); "
                "strain on %d threads %.1f ms (curvature %.1fx its time); peak memory of one run %.0f MB "
                "(the area %.0f MB)\n",
                kBenchSide, kBenchSide, kWindow, single, all, parallel, single / parallel, all, strain,
                parallel / strain, usage.ru_maxrss / 1024.0, areaMegabytes);
    return 0;
}
