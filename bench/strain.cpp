// Strain computation of one 1000 × 1000 stereo area (Lagrange tensor with principal
// strains) for windows 15 and 29, on one thread and on all of them, beside the tests'
// direct single-threaded reference of its two costly steps (triangles and smoothing).

#include "StereoBenchArea.h"
#include "analysis/DirectReference.h"
#include "orvex/analysis/Strain.h"
#include "orvex/core/CPUInfo.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Best of three runs, each on a fresh copy of the set.
double secondsFor(const orvex::ZelDataSet& original, int window) {
    orvex::StrainComputationSettings settings;
    settings.windowSize = window;
    settings.computePrincipalStrain = true;
    double best = 1e30;
    for (int run = 0; run < 3; ++run) {
        orvex::ZelDataSet set(original);
        const auto start = std::chrono::steady_clock::now();
        if (!orvex::computeStrain(&set, settings, nullptr)) std::printf("strain computation failed\n");
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// The direct reference: the triangle pass, then the smoothing of the four gradient and
// three strain fields with the full w × w kernel at every point.
double directSecondsFor(const orvex::ZelData& area, int window) {
    using namespace orvex;
    const int rows = area.numRows(), columns = area.numColumns(), size = rows * columns;
    auto values = [&](const char* name) { return area.data(static_cast<std::size_t>(area.findVariable(name))); };
    std::vector<float> blanking(values("sigma"), values("sigma") + size);
    Array2<float> strain(3, size), gradient(4, size), smoothed(7, size);
    const auto start = std::chrono::steady_clock::now();
    reference::computeStrain(strain, gradient, values("X"), values("Y"), values("Z"), values("U"), values("V"),
                             values("W"), blanking.data(), tensor_lagrange, columns, rows);
    Array1<float const*> inputs;
    Array1<float*> outputs;
    for (int k = 0; k < 7; ++k) {
        inputs.push_back(k < 4 ? gradient[k] : strain[k - 4]);
        outputs.push_back(smoothed[k]);
    }
    reference::smooth(outputs, inputs, blanking.data(), columns, rows, window, true);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main() {
    orvex::ZelDataSet set;
    set.addData(new orvex::ZelData(makeStereoBenchArea()));
    const int all = std::max(1, int(std::thread::hardware_concurrency()));
    for (int window : {15, 29}) {
        orvex::CPUInfo::forceThreads(1);
        const double single = secondsFor(set, window);
        orvex::CPUInfo::forceThreads(all);
        const double parallel = secondsFor(set, window);
        const double direct = directSecondsFor(*set.data(0), window);
        std::printf("strain %dx%d window %d: 1 thread %.3f s, %d threads %.3f s (%.1fx); "
                    "direct reference, 1 thread %.3f s (%.1fx the %d-thread time)\n",
                    kBenchSide, kBenchSide, window, single, all, parallel, single / parallel, direct, direct / parallel, all);
    }
    orvex::CPUInfo::forceThreads(0);
    return 0;
}
