#pragma once
// The private record of a data set and its metadata holder, whose JSON form
// travels as the trailer of the data-set file.

#include "orvex/calibration/Calibration3D.h"
#include "orvex/core/RigidTransform.h"
#include "orvex/data/AdditionalVarInfo.h"
#include "orvex/data/ZelDataSet.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace orvex {

struct ZelDataSet::Private {
    struct MetaData {
        // The record of one area; it exists only once something was set in it.
        struct AoiMetaData {
            std::optional<int> stepSize;
            std::optional<int> subsetSize;
            std::unordered_map<std::string, AdditionalVarInfo> vars; // by variable name
        };

        std::vector<std::uint8_t> userData;
        std::unordered_map<int, AoiMetaData> aois; // by area index
        std::optional<Calibration3D> calibration;
        std::vector<RigidTransform> transformations; // oldest first

        // Compact JSON with members sorted by name; "null" when there is nothing to store.
        std::string serialise() const;
        // Merges the JSON text into the metadata. Invalid JSON, values nested more
        // than 512 levels below the top, a calibration, transformation list or
        // area record whose parsed form would take several times the text, a top
        // value that is not an object and members of the wrong kind are ignored;
        // numbers that overflow a double count as members of the wrong kind.
        void deserialize(std::string text);
    };

    std::vector<ZelData*> areas; // owned
    std::string referenceImageName;
    std::string deformedImageName;
    MetaData metaData;
};

} // namespace orvex
