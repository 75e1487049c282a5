// Smoothing of one variable (window 15, weighted, on the calling thread) and the rigid
// transformation of the 1000 × 1000 stereo bench area, each on a fresh copy of a data
// set holding it: the library's side of the Python analyses benchmark
// (bench/python/bench_queries.py times the same work through the module).

#include "BestOf.h"
#include "StereoBenchArea.h"
#include "orvex/analysis/CoordinateTransformation.h"
#include "orvex/analysis/WindowSmoothing.h"
#include "orvex/core/RigidTransform.h"
#include "orvex/data/ZelDataSet.h"

#include <cstdio>
#include <memory>

namespace {

constexpr int kRuns = 5;

template <typename Work>
double onFreshSet(const orvex::ZelData& area, Work work) {
    std::unique_ptr<orvex::ZelDataSet> set;
    return bestMilliseconds(
        kRuns, [&] { work(*set); },
        [&] {
            set = std::make_unique<orvex::ZelDataSet>();
            set->addData(new orvex::ZelData(area));
        });
}

} // namespace

int main() {
    const orvex::ZelData area = makeStereoBenchArea();
    const double smooth = onFreshSet(area, [](orvex::ZelDataSet& set) {
        orvex::smoothVariable(set, "U", 15, true, nullptr);
    });
    const orvex::RigidTransform move(orvex::Rotation(10, 20, 30, orvex::Rotation::Deg), orvex::Vector3(1, 2, 3));
    const double transform = onFreshSet(area, [&](orvex::ZelDataSet& set) {
        orvex::applyTransformation(set, move, false, orvex::Type3d);
    });
    std::printf("%dx%d stereo area: smoothVariable window 15 %.1f ms; applyTransformation %.2f ms\n",
                kBenchSide, kBenchSide, smooth, transform);
    return 0;
}
