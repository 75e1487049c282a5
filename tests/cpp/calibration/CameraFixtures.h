#pragma once
// Cameras shared by the calibration tests: pinhole cameras with a few distortion
// sets and VRO cameras of every system type.

#include "orvex/calibration/Camera.h"

#include <string>
#include <vector>

namespace orvex::testing {

struct DistortionSet {
    std::string name;
    double radial[3];
    double tangential[4];
    double prismatic[4];
};

inline const std::vector<DistortionSet>& pinholeDistortions() {
    static const std::vector<DistortionSet> sets = {
        {"none", {0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {"radial", {-0.21, 0.08, -0.01}, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {"tangential", {0, 0, 0}, {1.2e-3, -8e-4, 2e-4, -3e-4}, {0, 0, 0, 0}},
        {"prismatic", {0, 0, 0}, {0, 0, 0, 0}, {2e-3, -1e-3, 5e-4, 7e-4}},
        {"all", {0.12, -0.05, 0.01}, {-9e-4, 6e-4, 1e-4, -2e-4}, {1e-3, 4e-4, -6e-4, 3e-4}},
    };
    return sets;
}

// A 1600 × 1200 pinhole camera with skew and the given distortion, all counts in use.
inline Camera pinholeCamera(const DistortionSet& set, double skew = 0.8) {
    CameraData data;
    data.cx = 801.5;
    data.cy = 598.25;
    data.fx = 2400.0;
    data.fy = 2395.5;
    data.skew = skew;
    data.numRadial = 3;
    data.numTangential = 4;
    data.numPrismatic = 4;
    for (int i = 0; i < 3; ++i) data.radial[i] = set.radial[i];
    for (int i = 0; i < 4; ++i) {
        data.tangential[i] = set.tangential[i];
        data.prismatic[i] = set.prismatic[i];
    }
    return Camera(data);
}

// A VRO camera of the given system type with small first- and second-stage coefficients.
inline Camera vroCamera(unsigned csType) {
    CameraData data;
    data.type = CameraType::VRO;
    data.csType = VROSystemType(csType);
    data.cx = 640.0;
    data.cy = 512.0;
    data.fx = 1800.0;
    data.fy = 1801.0;
    data.skew = 0.0;
    const double first[11] = {0.05, -0.01, 0.002, 3e-4, -2e-4, 1e-4, 5e-5, 2e-4, -1e-4, 6e-5, -4e-5};
    for (int i = 0; i < vroFirstSetCount(data.csType); ++i) data.vroFirst[i] = first[i];
    for (int i = 0; i < vroSecondSetCount(data.csType); ++i)
        data.vroSecond[i] = 1e-3 * ((i % 5) - 2) / (1.0 + i);
    return Camera(data);
}

} // namespace orvex::testing
