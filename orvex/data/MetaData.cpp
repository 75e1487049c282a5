#include "orvex/data/MetaData.h"

#include "orvex/core/TextUtils.h"
#include "orvex/core/JsonNumber.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>

namespace orvex {

namespace {

using nlohmann::json;
using AoiMetaData = ZelDataSet::Private::MetaData::AoiMetaData;

// Metadata with values nested more levels below the top is not read: copying and
// writing JSON recurse once per level, so a file could otherwise exhaust the stack.
constexpr int kMaxNestingDepth = 512;

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

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Decodes up to the first character outside the alphabet (padding included);
// the bits of an incomplete last byte are dropped.
std::vector<std::uint8_t> fromBase64(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (char c : text) {
        const int value = base64Value(c);
        if (value < 0)
            break;
        bits = (bits << 6 | static_cast<std::uint32_t>(value)) & 0xfff;
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> bitCount));
        }
    }
    return bytes;
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

// The fields of one area member of "aois" that have the right kind.
AoiMetaData readAoi(const json& object) {
    AoiMetaData aoi;
    if (const auto step = object.find("step_size"); step != object.end())
        aoi.stepSize = jsonIntegerToInt(*step);
    if (const auto subset = object.find("subset_size"); subset != object.end())
        aoi.subsetSize = jsonIntegerToInt(*subset);
    const auto vars = object.find("vars");
    if (vars != object.end() && vars->is_object()) {
        for (const auto& [name, value] : vars->items()) {
            AdditionalVarInfo info = AdditionalVarInfo::fromJson(value);
            if (!info.isEmpty())
                aoi.vars[name] = info;
        }
    }
    return aoi;
}

bool hasContent(const AoiMetaData& aoi) { return aoi.stepSize || aoi.subsetSize || !aoi.vars.empty(); }

// Stores what `update` holds into `target`, keeping the rest of `target`.
void merge(AoiMetaData& target, const AoiMetaData& update) {
    if (update.stepSize)
        target.stepSize = update.stepSize;
    if (update.subsetSize)
        target.subsetSize = update.subsetSize;
    for (const auto& [name, info] : update.vars)
        target.vars[name] = info;
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

void ZelDataSet::Private::MetaData::deserialize(std::string text) {
    bool tooDeep = false;
    const auto withinDepth = [&tooDeep](int depth, json::parse_event_t, json&) {
        tooDeep = tooDeep || depth > kMaxNestingDepth;
        return !tooDeep;
    };
    const json root = json::parse(text, withinDepth, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (tooDeep || !root.is_object())
        return;

    const auto user = root.find("user_data");
    if (user != root.end() && user->is_string())
        userData = fromBase64(user->get<std::string>());

    const auto aoiList = root.find("aois");
    if (aoiList != root.end() && aoiList->is_object()) {
        for (const auto& [name, value] : aoiList->items()) {
            const std::optional<int> index = stoi_maybe(name);
            if (!index || !value.is_object())
                continue;
            const AoiMetaData update = readAoi(value);
            if (hasContent(update))
                merge(aois[*index], update);
        }
    }

    const auto calibrationJson = root.find("calibration");
    if (calibrationJson != root.end())
        calibration = Calibration3D::fromJson(*calibrationJson);

    const auto transformationList = root.find("transformations");
    if (transformationList != root.end() && transformationList->is_array()) {
        for (const json& element : *transformationList) {
            if (auto transform = RigidTransform::fromJson(element))
                transformations.push_back(std::move(*transform));
        }
    }
}

} // namespace orvex
