#pragma once
// The private record of a stereo calibration.

#include "orvex/calibration/Calibration3D.h"

#include <nlohmann/json.hpp>

#include <unordered_map>

namespace orvex {

struct Calibration3D::Private {
    // One camera with its orientation (world into camera frame) and the inverse of it;
    // the two are always written together.
    struct CameraTransforms {
        Camera camera{CameraType::Pinhole};
        RigidTransform orientation;
        RigidTransform inverseOrientation;

        // Orientation and inverse in one step; a null orientation has a null inverse.
        void setOrientation(const RigidTransform& transform);

        // The camera object of the calibration JSON; JSON null for a null camera.
        nlohmann::json toJson() const;
        // Empty when the value does not describe a usable camera (distortion counts out
        // of range are logged). Throws the JSON library's type error for a value that
        // is not an object and a "type" that is not a string.
        static std::optional<CameraTransforms> fromJson(const nlohmann::json& value);
    };

    CameraTransforms cam0;
    CameraTransforms cam1;
    std::unordered_map<int, CameraTransforms> externalCameras;  // ids other than 0 and 1
    std::unordered_map<int, Vector3> magnifications;
    std::unordered_map<int, float> residualErrors;  // negative ids under -1
    SplineTransform forward0, reverse0;  // camera 0: real to virtual, virtual to real
    SplineTransform forward1, reverse1;
    bool fundamentalValid = false;
    Matrix3x3 fundamental;
};

} // namespace orvex
