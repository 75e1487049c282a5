#include "orvex/data/MetaData.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>

namespace orvex {

namespace {

using nlohmann::json;
using AoiMetaData = ZelDataSet::Private::MetaData::AoiMetaData;

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// RFC 4648 Base64 with "=" padding to a multiple of 4 characters.
std::string toBase64(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t groupSize = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < groupSize ? bytes[i + k] : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            text += k <= groupSize ? kBase64Alphabet[(group >> (18 - 6 * k)) & 0x3f] : '=';
    }
    return text;
}

json aoiToJson(const AoiMetaData& aoi) {
    json object = json::object();
    if (aoi.stepSize)
        object["step_size"] = *aoi.stepSize;
    if (aoi.subsetSize)
        object["subset_size"] = *aoi.subsetSize;
    for (const auto& [name, info] : aoi.vars) {
        json infoJson = info.toJson();
        if (!infoJson.is_null())
            object["vars"][name] = std::move(infoJson);
    }
    return object;
}

} // namespace

std::string ZelDataSet::Private::MetaData::serialise() const {
    json root;
    if (!userData.empty())
        root["user_data"] = toBase64(userData);
    for (const auto& [index, aoi] : aois) {
        json object = aoiToJson(aoi);
        if (!object.empty())
            root["aois"][std::to_string(index)] = std::move(object);
    }
    if (calibration)
        root["calibration"] = calibration->toJson();
    if (!transformations.empty()) {
        json list = json::array();
        for (const RigidTransform& transform : transformations)
            list.push_back(transform.toJson());
        root["transformations"] = std::move(list);
    }
    return root.dump();
}

} // namespace orvex
