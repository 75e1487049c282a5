#pragma once
// The plain record of one calibrated camera and the settings a camera is set up
// from at calibration time.

#include <cstdint>

namespace orvex {

enum class CameraType : std::int32_t { Pinhole = 0, VRO = 1 };

// Selects the size of the VRO first set and the model of its second stage:
//   0, 3: fifth-order polynomial;  1, 4: radial/tangential/prismatic;  2, 5: fourth-order
//   polynomial;  0 to 2 carry an 11-value first set, 3 to 5 a 9-value one.
// Any other value has no second stage.
enum VROSystemType : std::uint32_t {};

constexpr int kRadialCount = 3;
constexpr int kTangentialCount = 4;
constexpr int kPrismaticCount = 4;
constexpr int kVroFirstCount = 11;
constexpr int kVroSecondCount = 36;

// Values carried by the VRO first and second sets for a system type (0 for a type
// without a model).
int vroFirstSetCount(VROSystemType type);
int vroSecondSetCount(VROSystemType type);

struct CameraData {
    CameraType type = CameraType::Pinhole;
    double cx = 0.0, cy = 0.0;  // principal point in pixels; NaN: unset
    double fx = 0.0, fy = 0.0;  // focal lengths in pixels; NaN: unset
    double skew = 0.0;          // pixel u receives skew times the normalised y
    bool intrinsicsFixed = false;
    bool skewFixed = false;
    bool aspectRatioFixed = false;
    bool principalPointFixed = false;
    std::int32_t numRadial = 0;      // 0 to 3
    std::int32_t numTangential = 0;  // 0, 2 or 4
    std::int32_t numPrismatic = 0;   // 0, 2 or 4
    double radial[kRadialCount] = {};
    double tangential[kTangentialCount] = {};
    double prismatic[kPrismaticCount] = {};
    bool vroFirstOmitted = false;
    bool vroSecondOmitted = false;
    VROSystemType csType = VROSystemType(0);
    // Radial 0-2, tangential 3-6, prismatic 7-10.
    double vroFirst[kVroFirstCount] = {};
    // The radial/tangential/prismatic layout or polynomial coefficients, by csType.
    double vroSecond[kVroSecondCount] = {};

    CameraData() { init(); }

    // Pinhole, intrinsics unset, skew 0, flags false, counts and every coefficient 0,
    // csType 0.
    void init();
};

struct ImagingSystemSettings {
    CameraType cameraType = CameraType::Pinhole;  // any value but Pinhole gives a VRO camera
    VROSystemType csType = VROSystemType(0);
    double aspectRatio = 0.0;  // fy / fx; above 0 fixes the ratio
    bool useSkew = false;      // pinhole: false holds the skew at 0
    bool fixPrincipalPoint = false;
    int radialOrder = 0;       // 0 to 3
    int tangentialOrder = 0;   // 0 to 2
    int prismaticOrder = 0;    // 0 to 2
};

} // namespace orvex
