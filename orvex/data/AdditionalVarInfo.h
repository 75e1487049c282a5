#pragma once
// How a strain variable was computed, as recorded in a data set's metadata.

#include "orvex/data/ZelDataTypes.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>

namespace orvex {

struct AdditionalVarInfo {
    std::optional<TensorType> strainTensorType;
    std::optional<int> strainFilterSize;

    bool isEmpty() const { return !strainTensorType && !strainFilterSize; }

    // Null for an empty record, else an object with "strain_tensor_type" (its
    // text name) and/or "strain_filter_size".
    nlohmann::json toJson() const;
    // The fields present with the right kind; anything else gives an empty record.
    // A floating-point filter size is truncated toward zero; one outside the int
    // range is ignored.
    static AdditionalVarInfo fromJson(const nlohmann::json& json);
};

} // namespace orvex
