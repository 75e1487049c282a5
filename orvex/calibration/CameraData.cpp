#include "orvex/calibration/CameraData.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace orvex {

namespace {

constexpr int kSecondSetCounts[6] = {36, 11, 22, 36, 9, 22};

} // namespace

int vroFirstSetCount(VROSystemType type) {
    if (type <= 2)
        return 11;
    return type <= 5 ? 9 : 0;
}

int vroSecondSetCount(VROSystemType type) { return type <= 5 ? kSecondSetCounts[type] : 0; }

void CameraData::init() {
    constexpr double unset = std::numeric_limits<double>::quiet_NaN();
    type = CameraType::Pinhole;
    cx = cy = fx = fy = unset;
    skew = 0.0;
    intrinsicsFixed = skewFixed = aspectRatioFixed = principalPointFixed = false;
    numRadial = numTangential = numPrismatic = 0;
    std::fill(std::begin(radial), std::end(radial), 0.0);
    std::fill(std::begin(tangential), std::end(tangential), 0.0);
    std::fill(std::begin(prismatic), std::end(prismatic), 0.0);
    vroFirstOmitted = vroSecondOmitted = false;
    csType = VROSystemType(0);
    // No model may read a coefficient that no format sets, nor another camera's.
    std::fill(std::begin(vroFirst), std::end(vroFirst), 0.0);
    std::fill(std::begin(vroSecond), std::end(vroSecond), 0.0);
}

} // namespace orvex
