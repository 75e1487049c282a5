#pragma once
// Enumerations that classify the contents of result data sets.

#include <optional>
#include <string>

namespace orvex {

// The physical meaning of an area variable. The values are stored in data-set files.
enum ZelDataVariableType : int {
    PixelCoordinate = 0,
    GlobalCoordinate = 1,
    PixelDisplacement = 2,
    GlobalDisplacement = 3,
    Strain = 4,
    Correlation = 5,
    Unknown = 6,
    Disparity = 7,
    CylinderCoordinate = 8,
    CylinderDisplacement = 9,
    PixelVelocity = 10,
    GlobalVelocity = 11,
    StrainRate = 12,
    Curvature = 13,
    Angle = 14,
    AngularVelocity = 15,
    GlobalAcceleration = 16,
    PixelAcceleration = 17,
    Stress = 18,
    AngularAcceleration = 19,
};

// Number of members of ZelDataVariableType (values 0 .. count - 1).
constexpr int ZelDataVariableTypeCount = 20;

// Planar data, or stereo data with a third coordinate.
enum CsDataSystemType : int {
    Type2d = 0,
    Type3d = 1,
};

// The strain tensor a strain variable was computed with.
enum TensorType : int {
    LagrangeStrainTensor = 0,
    HenckyStrainTensor = 1,
    EulerStrainTensor = 2,
    LogarithmicEulerTensor = 3,
    EngineeringStrain = 4,
    BiotStrainTensor = 5,
};

// The name stored in the metadata ("lagrange", "hencky", ...); empty outside 0 .. 5.
std::string tensorTypeToString(const TensorType& type);

// The member whose stored name equals `name` exactly; empty for any other text.
std::optional<TensorType> stringToTensorType(const std::string& name);

} // namespace orvex
