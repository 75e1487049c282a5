#pragma once
// The result of one measurement step: an ordered list of areas of interest, the
// reference and deformed image names, and metadata (user bytes, per-area records,
// an optional stereo calibration and the rigid transformations applied so far).
//
// The set owns its areas. Queries and lookups visit the areas in index order and
// a lookup answers from the first area that holds the point.

#include "orvex/data/AdditionalVarInfo.h"
#include "orvex/data/InterruptionCheck.h"
#include "orvex/data/StrainSettings.h"
#include "orvex/data/ZelDataTypes.h"
#include "orvex/data/ZelDataVarInfo.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvex {

class ByteSource;
class Calibration3D;
class MemStream;
class RigidTransform;
class ZelData;

class ZelDataSet {
public:
    // The writer that exportAs chooses; other values write PlainText.
    enum Format : int {
        PlainText = 0, // values separated by a blank, no header
        Tecplot = 1,   // TITLE, VARIABLES and ZONE lines, POINT layout, commas
        Csv = 2,       // one header line of quoted names, commas
        Stl = 3,       // exportSTL
        MatV4 = 4,     // exportMatV4
    };

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
    // Writes the image to `fileName` whole or not at all (FileReplacement), asking
    // `interrupted` after every interrupted or short write; false when anything fails (an
    // existing file is then kept).
    bool save(const std::string& fileName, const InterruptionCheck& interrupted = {});
    // Replaces the content by the image in the buffer. The alternative magic is
    // always accepted, the standard one only when `alternativeMagic` is false.
    bool decode(const char* buffer, int length, bool alternativeMagic);
    bool decode(const std::string& image, bool alternativeMagic);
    // The same from `source`; every count is checked against its size before use.
    bool decode(ByteSource& source, bool alternativeMagic);
    // Whether an image of `imageSize` bytes whose first `length` bytes are at `head`
    // passes decode's checks of magic, version and header as far as those bytes go;
    // what follows them is not looked at.
    static bool headPlausible(const char* head, int length, std::uint64_t imageSize, bool alternativeMagic);
    // Decodes a regular file below 2 GiB, each area variable read straight into its storage.
    bool load(const std::string& fileName);

    // Exports; none changes the set. Each writes a temporary file beside `path`
    // and renames it over `path` when complete, so a failed export leaves any
    // existing file as it was; a path with an embedded NUL is refused before anything
    // is opened. `addDeformed` appends the deformed positions to private copies of the
    // areas, `firstOnly` exports area 0 alone.

    // Text tables (PlainText, Tecplot, Csv) or the other formats by `format`.
    // `delimiter` (its first character) replaces the value separator of PlainText
    // and Csv; `blank` leaves out invalid points of PlainText and Csv tables;
    // `progress` receives a percentage while writing and 100 on success.
    bool exportAs(const std::string& path, Format format, int& progress, CsDataSystemType type,
                  const char* delimiter, bool blank, bool addDeformed, bool firstOnly) const;
    // ASCII STL of the areas' triangulations over X, Y, Z (displaced by U, V, W
    // with `addDeformed`); false when no facet was written.
    bool exportSTL(const std::string& path, bool addDeformed, bool firstOnly) const;
    // The MAT version 4 image: one single-precision matrix per variable, named
    // uniquely. Writes into `stream` (when not null) the items that fit and returns
    // the size of the whole image; -1 when it would not fit the format's 32-bit sizes.
    int encodeMatV4(MemStream* stream, bool addDeformed, bool firstOnly, CsDataSystemType type) const;
    bool exportMatV4(const std::string& path, bool addDeformed, bool firstOnly, CsDataSystemType type) const;

    // Combination over common variables. Names and descriptions compare exactly.

    // Same area count, and per area the same grid and the same variable types,
    // names and descriptions in the same order.
    bool isCompatible(const ZelDataSet& other) const;
    // Appends the valid point indexes of every area, or of area 0 alone (with an
    // error record) when the areas' variables differ; false without areas.
    bool allValidIndexes(std::vector<std::vector<int>>& indexes) const;
    // The names every area holds, in the first area's order (with `gridOnly`, over
    // the gridded areas only); `descriptions` receives one description per name.
    std::vector<std::string> commonVariables(std::vector<std::string>* descriptions, bool gridOnly) const;
    // Replaces `target` by copies of every area of `sets`, each reduced to the
    // variables that all areas hold; true when some variable was dropped. `target`
    // may be one of `sets`: it is read before it is replaced.
    static bool combineDataSetsUsingOnlyCommonVariables(ZelDataSet& target,
                                                        const std::vector<std::unique_ptr<ZelDataSet>>& sets);

    struct Private;

private:
    Private* d;
};

} // namespace orvex
