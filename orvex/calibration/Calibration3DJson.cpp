// The calibration JSON: cameras by id with type, intrinsics, distortion and
// orientation; magnifications; residual errors; inverse mappings.

#include "orvex/calibration/Calibration3D.h"

#include "orvex/calibration/Calibration3DPrivate.h"
#include "orvex/core/Logging.h"
#include "orvex/core/TextUtils.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace orvex {

using nlohmann::json;

namespace {

const char* const kPinhole = "pinhole";
const char* const kVro = "VRO";

json numbers(const double* values, int count) {
    json array = json::array();
    for (int i = 0; i < count; ++i)
        array.push_back(values[i]);
    return array;
}

json distortionJson(const CameraData& d) {
    if (d.type == CameraType::Pinhole) {
        json values = numbers(d.radial, kRadialCount);
        for (double v : d.tangential) values.push_back(v);
        for (double v : d.prismatic) values.push_back(v);
        return {{"r", d.numRadial}, {"t", d.numTangential}, {"p", d.numPrismatic}, {"values", std::move(values)}};
    }
    json values = numbers(d.vroFirst, d.vroFirstOmitted ? 0 : vroFirstSetCount(d.csType));
    for (const json& v : numbers(d.vroSecond, d.vroSecondOmitted ? 0 : vroSecondSetCount(d.csType)))
        values.push_back(v);
    return {{"cs_type", static_cast<std::uint32_t>(d.csType)}, {"values", std::move(values)}};
}

// Reads up to `count` elements of `values` from `next` on into `out`, stopping at the
// end of the array; false at an element that is not a floating-point number.
bool readCoefficients(const json& values, std::size_t& next, double* out, int count) {
    for (int i = 0; i < count && next < values.size(); ++i, ++next) {
        if (!values[next].is_number_float())
            return false;
        out[i] = values[next].get<double>();
    }
    return true;
}

// The integer member `name` of an object, when it is one (a floating-point number is not).
std::optional<std::int64_t> integerMember(const json& object, const char* name) {
    const auto member = object.find(name);
    if (member == object.end() || !member->is_number_integer())
        return std::nullopt;
    if (member->is_number_unsigned())
        return member->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::nullopt
                   : std::optional<std::int64_t>(member->get<std::int64_t>());
    return member->get<std::int64_t>();
}

bool readIntrinsics(CameraData& data, const json& camera) {
    const auto intrinsics = camera.find("intrinsics");
    if (intrinsics == camera.end() || !intrinsics->is_array() || intrinsics->size() != 5)
        return false;
    double* const fields[5] = {&data.cx, &data.cy, &data.fx, &data.fy, &data.skew};
    for (std::size_t i = 0; i < 5; ++i) {
        if (!(*intrinsics)[i].is_number())
            return false;
        *fields[i] = (*intrinsics)[i].get<double>();
    }
    return true;
}

bool readVroDistortion(CameraData& data, const json& distortion) {
    const std::optional<std::int64_t> csType = integerMember(distortion, "cs_type");
    const auto values = distortion.find("values");
    if (!csType || *csType < 0 || *csType > 5 || values == distortion.end() || !values->is_array())
        return false;
    data.csType = VROSystemType(*csType);
    std::size_t next = 0;
    return readCoefficients(*values, next, data.vroFirst, vroFirstSetCount(data.csType)) &&
           readCoefficients(*values, next, data.vroSecond, vroSecondSetCount(data.csType));
}

bool readPinholeDistortion(CameraData& data, const json& distortion) {
    const std::optional<std::int64_t> radial = integerMember(distortion, "r");
    const std::optional<std::int64_t> tangential = integerMember(distortion, "t");
    const std::optional<std::int64_t> prismatic = integerMember(distortion, "p");
    const auto values = distortion.find("values");
    if (!radial || !tangential || !prismatic || values == distortion.end() || !values->is_array())
        return false;
    // The counts say how many leading coefficients of each array are in use.
    if (*radial < 0 || *radial > kRadialCount || *tangential < 0 || *tangential > kTangentialCount ||
        *prismatic < 0 || *prismatic > kPrismaticCount) {
        PLOGE << "Camera skipped: distortion counts r " << *radial << ", t " << *tangential << ", p " << *prismatic
              << " are out of range";
        return false;
    }
    data.numRadial = static_cast<std::int32_t>(*radial);
    data.numTangential = static_cast<std::int32_t>(*tangential);
    data.numPrismatic = static_cast<std::int32_t>(*prismatic);
    std::size_t next = 0;
    return readCoefficients(*values, next, data.radial, kRadialCount) &&
           readCoefficients(*values, next, data.tangential, kTangentialCount) &&
           readCoefficients(*values, next, data.prismatic, kPrismaticCount);
}

template <class Read>
void forEachId(const json& root, const char* name, Read read) {
    const auto member = root.find(name);
    if (member == root.end() || !member->is_object())
        return;
    for (const auto& [key, value] : member->items())
        if (const std::optional<int> id = stoi_maybe(key))
            read(*id, value);
}

// The value as a float when it is a number that fits one.
std::optional<float> floatValue(const json& value) {
    if (!value.is_number())
        return std::nullopt;
    const double number = value.get<double>();
    if (!std::isfinite(number) || std::abs(number) > std::numeric_limits<float>::max())
        return std::nullopt;
    return static_cast<float>(number);
}

std::optional<Vector3> vector3Value(const json& value) {
    if (!value.is_array() || value.size() != 3)
        return std::nullopt;
    for (const json& element : value)
        if (!element.is_number())
            return std::nullopt;
    return Vector3(value[0].get<double>(), value[1].get<double>(), value[2].get<double>());
}

std::optional<SplineTransform> mappingMember(const json& mapping, const char* name) {
    const auto member = mapping.find(name);
    return member == mapping.end() ? std::nullopt : SplineTransform::fromJson(*member);
}

Calibration3D readCalibration(const json& root) {
    Calibration3D calibration;
    forEachId(root, "cameras", [&](int id, const json& value) {
        if (const auto camera = Calibration3D::Private::CameraTransforms::fromJson(value))
            calibration.setCamera(id, camera->camera, camera->orientation);
    });
    forEachId(root, "magnifications", [&](int id, const json& value) {
        if (const auto magnification = vector3Value(value))
            calibration.setMagnification(id, *magnification);
    });
    forEachId(root, "residualerrors", [&](int id, const json& value) {
        if (const auto error = floatValue(value))
            calibration.setResidualError(id, *error);
    });
    forEachId(root, "imaps", [&](int id, const json& value) {
        if (!value.is_object())
            return;
        const auto forward = mappingMember(value, "fwd");
        const auto reverse = mappingMember(value, "rev");
        if (!forward || !reverse)
            return;
        if (id == 0)
            calibration.setInverseMapping0(*forward, *reverse);
        else if (id == 1)
            calibration.setInverseMapping1(*forward, *reverse);
    });
    return calibration;
}

} // namespace

json Calibration3D::Private::CameraTransforms::toJson() const {
    if (camera.isNull())
        return nullptr;
    const CameraData& d = camera.getRawData();
    json object = {
        {"type", d.type == CameraType::Pinhole ? kPinhole : kVro},
        {"intrinsics", {d.cx, d.cy, d.fx, d.fy, d.skew}},
        {"distortion", distortionJson(d)},
    };
    if (!orientation.isNull())
        object["orientation"] = orientation.toJson();
    return object;
}

std::optional<Calibration3D::Private::CameraTransforms>
Calibration3D::Private::CameraTransforms::fromJson(const json& value) {
    CameraData data;
    const std::string type = value.value("type", std::string());  // throws for a non-object or non-string
    if (type != kPinhole && type != kVro)
        return std::nullopt;
    data.type = type == kPinhole ? CameraType::Pinhole : CameraType::VRO;
    const auto distortion = value.find("distortion");
    if (!readIntrinsics(data, value) || distortion == value.end() || !distortion->is_object())
        return std::nullopt;
    const bool distortionRead = data.type == CameraType::Pinhole ? readPinholeDistortion(data, *distortion)
                                                                 : readVroDistortion(data, *distortion);
    if (!distortionRead)
        return std::nullopt;
    CameraTransforms result;
    result.camera = Camera(data);
    const auto orientation = value.find("orientation");
    if (orientation != value.end()) {
        const std::optional<RigidTransform> transform = RigidTransform::fromJson(*orientation);
        if (!transform)
            return std::nullopt;
        result.setOrientation(*transform);
    }
    return result;
}

json Calibration3D::toJson() const {
    json root;
    const auto addCamera = [&root](int id, const Private::CameraTransforms& camera) {
        json object = camera.toJson();
        if (!object.is_null())
            root["cameras"][std::to_string(id)] = std::move(object);
    };
    addCamera(0, d_->cam0);
    addCamera(1, d_->cam1);
    for (const auto& [id, camera] : d_->externalCameras)
        addCamera(id, camera);
    for (const auto& [id, magnification] : d_->magnifications)
        root["magnifications"][std::to_string(id)] = {magnification.x, magnification.y, magnification.z};
    for (const auto& [id, error] : d_->residualErrors)
        root["residualerrors"][std::to_string(id)] = static_cast<double>(error);
    const auto addMapping = [&root](const char* id, const char* direction, const SplineTransform& mapping) {
        json object = mapping.toJson();
        if (!object.is_null())
            root["imaps"][id][direction] = std::move(object);
    };
    addMapping("0", "fwd", d_->forward0);
    addMapping("0", "rev", d_->reverse0);
    addMapping("1", "fwd", d_->forward1);
    addMapping("1", "rev", d_->reverse1);
    return root;
}

std::optional<Calibration3D> Calibration3D::fromJson(const json& value) {
    if (!value.is_object())
        return std::nullopt;
    try {
        return readCalibration(value);
    } catch (const nlohmann::json::exception& error) {
        PLOGE << "Calibration not read: " << error.what();
        return std::nullopt;
    }
}

} // namespace orvex
