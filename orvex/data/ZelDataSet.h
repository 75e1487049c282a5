#pragma once
// The result of one measurement step: an ordered list of areas of interest, the
// reference and deformed image names, and metadata (user bytes, per-area records,
// an optional stereo calibration and the rigid transformations applied so far).
//
// The set owns its areas. Queries and lookups visit the areas in index order and
// a lookup answers from the first area that holds the point.

#include "orvex/data/AdditionalVarInfo.h"
#include "orvex/data/StrainSettings.h"
#include "orvex/data/ZelDataTypes.h"
#include "orvex/data/ZelDataVarInfo.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvex {

class ByteSource;
class Calibration3D;
class RigidTransform;
class ZelData;

class ZelDataSet {
public:
    ZelDataSet();
    ZelDataSet(const ZelDataSet& other);
    // Deep copy of areas, image names and metadata.
    ZelDataSet& operator=(const ZelDataSet& other);
    virtual ~ZelDataSet();

    // Deletes every area and resets image names and metadata.
    void clear();

    // Areas. addData takes ownership; each area belongs to one set only.
    void addData(ZelData* area);
    int numData() const;
    // The area at index i; null outside [0, numData()).
    ZelData* data(int i);
    const ZelData* data(int i) const;
    // The first area whose lookupXYZ succeeds at pixel position (x, y); null when none.
    ZelData* data(float x, float y, CsDataSystemType type);
    int sumNumDataPoints() const;
    // The first area's variables; empty without areas.
    std::vector<ZelDataVarInfo> variables() const;

    void setReference(const std::string& name);
    const std::string& referenceImage() const;
    void setDeformed(const std::string& name);
    const std::string& deformedImage() const;

    // Lookups at a pixel position of the reference image, answered by the first
    // area that succeeds.
    bool lookupXYZ(float x, float y, float& X, float& Y, float& Z, CsDataSystemType type) const;
    bool lookupUVW(float x, float y, float& U, float& V, float& W) const;
    bool lookupVar(float x, float y, int variableIndex, float& value) const;
    bool lookupVar(float x, float y, const std::string& name, float& value) const;
    bool lookupVariables(float x, float y, const std::vector<std::string>& names, std::vector<float>& values) const;

    // Type3d when some area holds stereo coordinates.
    CsDataSystemType currentDataType() const;
    // (min, max) of a variable over the valid points of all areas that have a
    // blanking variable; empty when no valid value was seen.
    std::optional<std::pair<double, double>> range(const std::string& variable) const;
    // The same for the point-wise sum of two variables.
    std::optional<std::pair<double, double>> sum_range(const std::string& variable0,
                                                       const std::string& variable1) const;
    // Vertex index triples over all areas, points numbered consecutively in area order.
    std::vector<int> triangulation(int subSample) const;

    // Metadata.
    void setUserMetaData(const std::vector<std::uint8_t>& bytes);
    const std::vector<std::uint8_t>& getUserMetaData() const;
    void setCalibration(const Calibration3D& calibration);
    // Appends to the history of applied rigid transformations, oldest first.
    void addTransformation(const RigidTransform& transform);

    // Per-area records; negative area indexes are ignored by the setters.
    void setStepSizeForAoi(int area, int size);
    std::optional<int> stepSizeForAoi(int area) const;
    void setSubsetSizeForAoi(int area, int size);
    std::optional<int> subsetSizeForAoi(int area) const;
    std::optional<AdditionalVarInfo> additionalVarInfo(int area, const std::string& name) const;
    // Records the window size and tensor type for every variable the strain
    // computation created (ids[n] describes area n).
    void setStrainVariablesAdditionalInfo(const std::vector<StrainVariableIds>& ids,
                                          const StrainComputationSettings& settings);

    // The file image: header, image names, one block per area, metadata trailer.
    // A new array (delete[]) and its length, or null when an area cannot be written
    // or the image would reach 2 GiB. `alternativeMagic` selects the magic written.
    char* encode(std::size_t& size, bool alternativeMagic) const;
    // Writes the image to a temporary file beside `fileName` (beside the file it
    // points to, for a symbolic link), then renames it over that file; false when
    // anything fails (an existing file is then kept).
    bool save(const std::string& fileName);
    // Replaces the content by the image in the buffer. The alternative magic is
    // always accepted, the standard one only when `alternativeMagic` is false.
    bool decode(const char* buffer, int length, bool alternativeMagic);
    bool decode(const std::string& image, bool alternativeMagic);
    // The same from `source`; every count is checked against its size before use.
    bool decode(ByteSource& source, bool alternativeMagic);
    // Decodes a regular file below 2 GiB, each area variable read straight into its storage.
    bool load(const std::string& fileName);

    struct Private;

private:
    Private* d;
};

} // namespace orvex
