#include "orvex/calibration/Calibration3D.h"

#include <nlohmann/json.hpp>

#include <array>
#include <string>

namespace orvex {

namespace {

const std::array<const char*, 4> kMemberNames = {"cameras", "magnifications", "residualerrors", "imaps"};

} // namespace

struct Calibration3D::Private {
    // The calibration's members as they were read, by name.
    nlohmann::json members = nlohmann::json::object();
};

Calibration3D::Calibration3D() : d_(std::make_unique<Private>()) {}

Calibration3D::Calibration3D(const Calibration3D& other) : d_(std::make_unique<Private>(*other.d_)) {}

Calibration3D& Calibration3D::operator=(const Calibration3D& other) {
    if (this != &other)
        *d_ = *other.d_;
    return *this;
}

Calibration3D::~Calibration3D() = default;

nlohmann::json Calibration3D::toJson() const { return d_->members; }

std::optional<Calibration3D> Calibration3D::fromJson(const nlohmann::json& json) {
    if (!json.is_object())
        return std::nullopt;
    Calibration3D calibration;
    for (const char* name : kMemberNames) {
        const auto member = json.find(name);
        if (member != json.end())
            calibration.d_->members[name] = *member;
    }
    return calibration;
}

} // namespace orvex
