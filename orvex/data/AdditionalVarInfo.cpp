#include "orvex/data/AdditionalVarInfo.h"

#include "orvex/core/JsonNumber.h"

#include <nlohmann/json.hpp>

namespace orvex {

namespace {

const char* const kTensorTypeKey = "strain_tensor_type";
const char* const kFilterSizeKey = "strain_filter_size";

} // namespace

nlohmann::json AdditionalVarInfo::toJson() const {
    nlohmann::json json;
    if (strainTensorType)
        json[kTensorTypeKey] = tensorTypeToString(*strainTensorType);
    if (strainFilterSize)
        json[kFilterSizeKey] = *strainFilterSize;
    return json;
}

AdditionalVarInfo AdditionalVarInfo::fromJson(const nlohmann::json& json) {
    AdditionalVarInfo info;
    if (!json.is_object())
        return info;
    const auto tensorType = json.find(kTensorTypeKey);
    if (tensorType != json.end() && tensorType->is_string())
        info.strainTensorType = stringToTensorType(tensorType->get<std::string>());
    const auto filterSize = json.find(kFilterSizeKey);
    if (filterSize != json.end())
        info.strainFilterSize = jsonNumberToInt(*filterSize);
    return info;
}

} // namespace orvex
