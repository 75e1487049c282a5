#pragma once
// The stereo calibration of a measurement: two stereo cameras, further cameras,
// magnifications, residual errors and inverse distortion mappings.
//
// Data sets carry one in their metadata; they only copy it and convert it to and
// from JSON, so its JSON members round-trip unchanged.

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <optional>

namespace orvex {

class Calibration3D {
public:
    Calibration3D(const Calibration3D& other);
    Calibration3D& operator=(const Calibration3D& other);
    virtual ~Calibration3D();

    // An object with the members "cameras", "magnifications", "residualerrors"
    // and "imaps" as far as the calibration holds them.
    nlohmann::json toJson() const;

    // No calibration for a value that is not an object; otherwise one built from
    // the members present, a missing member leaving its part at its default.
    static std::optional<Calibration3D> fromJson(const nlohmann::json& json);

private:
    Calibration3D();

    struct Private;
    std::unique_ptr<Private> d_;
};

} // namespace orvex
