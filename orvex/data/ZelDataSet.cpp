#include "orvex/data/ZelDataSet.h"

#include "orvex/data/MetaData.h"
#include "orvex/data/ZelData.h"

#include <algorithm>
#include <limits>
#include <memory>

namespace orvex {

ZelDataSet::ZelDataSet() : d(new Private) {}

ZelDataSet::ZelDataSet(const ZelDataSet& other) : ZelDataSet() { *this = other; }

ZelDataSet& ZelDataSet::operator=(const ZelDataSet& other) {
    if (this == &other)
        return *this;
    clear();
    for (const ZelData* area : other.d->areas)
        d->areas.push_back(new ZelData(*area));
    d->referenceImageName = other.d->referenceImageName;
    d->deformedImageName = other.d->deformedImageName;
    d->metaData = other.d->metaData;
    return *this;
}

ZelDataSet::~ZelDataSet() {
    clear();
    delete d;
}

void ZelDataSet::clear() {
    for (ZelData* area : d->areas)
        delete area;
    d->areas.clear();
    d->referenceImageName.clear();
    d->deformedImageName.clear();
    d->metaData = Private::MetaData();
}

void ZelDataSet::addData(ZelData* area) { d->areas.push_back(area); }

int ZelDataSet::numData() const { return static_cast<int>(d->areas.size()); }

ZelData* ZelDataSet::data(int i) { return i >= 0 && i < numData() ? d->areas[i] : nullptr; }

const ZelData* ZelDataSet::data(int i) const { return i >= 0 && i < numData() ? d->areas[i] : nullptr; }

ZelData* ZelDataSet::data(float x, float y, CsDataSystemType type) {
    float X, Y, Z;
    for (ZelData* area : d->areas) {
        if (area->lookupXYZ(x, y, X, Y, Z, type))
            return area;
    }
    return nullptr;
}

namespace {

// A point count or number summed wide, wrapped to an int as 32-bit arithmetic
// would, without signed overflow.
int wrappedToInt(std::int64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

} // namespace

int ZelDataSet::sumNumDataPoints() const {
    std::int64_t sum = 0;
    for (const ZelData* area : d->areas)
        sum += area->matrixSize();
    return wrappedToInt(sum);
}

std::vector<ZelDataVarInfo> ZelDataSet::variables() const {
    return d->areas.empty() ? std::vector<ZelDataVarInfo>() : d->areas.front()->variables();
}

void ZelDataSet::setReference(const std::string& name) { d->referenceImageName = name; }

const std::string& ZelDataSet::referenceImage() const { return d->referenceImageName; }

void ZelDataSet::setDeformed(const std::string& name) { d->deformedImageName = name; }

const std::string& ZelDataSet::deformedImage() const { return d->deformedImageName; }

bool ZelDataSet::lookupXYZ(float x, float y, float& X, float& Y, float& Z, CsDataSystemType type) const {
    return std::any_of(d->areas.begin(), d->areas.end(),
                       [&](const ZelData* area) { return area->lookupXYZ(x, y, X, Y, Z, type); });
}

bool ZelDataSet::lookupUVW(float x, float y, float& U, float& V, float& W) const {
    return std::any_of(d->areas.begin(), d->areas.end(),
                       [&](const ZelData* area) { return area->lookupUVW(x, y, U, V, W); });
}

bool ZelDataSet::lookupVar(float x, float y, int variableIndex, float& value) const {
    return std::any_of(d->areas.begin(), d->areas.end(),
                       [&](const ZelData* area) { return area->lookupVar(x, y, variableIndex, value); });
}

bool ZelDataSet::lookupVar(float x, float y, const std::string& name, float& value) const {
    return std::any_of(d->areas.begin(), d->areas.end(),
                       [&](const ZelData* area) { return area->lookupVar(x, y, name, value); });
}

bool ZelDataSet::lookupVariables(float x, float y, const std::vector<std::string>& names,
                                 std::vector<float>& values) const {
    return std::any_of(d->areas.begin(), d->areas.end(),
                       [&](const ZelData* area) { return area->lookupVariables(x, y, names, values); });
}

CsDataSystemType ZelDataSet::currentDataType() const {
    const bool stereo = std::any_of(d->areas.begin(), d->areas.end(),
                                    [](const ZelData* area) { return area->currentDataType() == Type3d; });
    return stereo ? Type3d : Type2d;
}

namespace {

// Extremes over the valid points of all areas of one variable's values, or of
// the point-wise sum of two variables when `second` is given. Areas without a
// blanking variable or without the variables are skipped. Only negative blanking
// values skip a point here: a NaN one counts as valid.
std::optional<std::pair<double, double>> validRange(const std::vector<ZelData*>& areas, const std::string& first,
                                                    const std::string* second) {
    float minimum = std::numeric_limits<float>::max();
    float maximum = std::numeric_limits<float>::lowest();
    bool found = false;
    for (const ZelData* area : areas) {
        float* blanking = nullptr;
        float* values0 = nullptr;
        float* values1 = nullptr;
        if (!area->findBlankingVariable(blanking) || !area->findVariable(first, values0) ||
            (second && !area->findVariable(*second, values1)))
            continue;
        const int pointCount = area->matrixSize();
        for (int j = 0; j < pointCount; ++j) {
            if (blanking[j] < 0)
                continue;
            const float v = values1 ? values0[j] + values1[j] : values0[j];
            minimum = minimum < v ? minimum : v;
            maximum = maximum > v ? maximum : v;
            found = true;
        }
    }
    if (!found)
        return std::nullopt;
    return std::make_pair(static_cast<double>(minimum), static_cast<double>(maximum));
}

} // namespace

std::optional<std::pair<double, double>> ZelDataSet::range(const std::string& variable) const {
    return validRange(d->areas, variable, nullptr);
}

std::optional<std::pair<double, double>> ZelDataSet::sum_range(const std::string& variable0,
                                                               const std::string& variable1) const {
    return validRange(d->areas, variable0, &variable1);
}

std::vector<int> ZelDataSet::triangulation(int subSample) const {
    struct AreaTriangles {
        std::unique_ptr<int[]> indexes;
        int count = 0;
        std::int64_t offset = 0;
    };
    std::vector<AreaTriangles> parts(d->areas.size());
    std::size_t total = 0;
    std::int64_t offset = 0;
    for (std::size_t a = 0; a < parts.size(); ++a) {
        parts[a].indexes.reset(d->areas[a]->triangulation(parts[a].count, subSample));
        parts[a].offset = offset;
        total += 3 * static_cast<std::size_t>(parts[a].count);
        offset += d->areas[a]->matrixSize();
    }
    std::vector<int> result(total);
    int* out = result.data();
    for (const AreaTriangles& part : parts) {
        const int* in = part.indexes.get();
        for (std::size_t k = 0; k < 3 * static_cast<std::size_t>(part.count); ++k)
            *out++ = wrappedToInt(in[k] + part.offset);
    }
    return result;
}

void ZelDataSet::setUserMetaData(const std::vector<std::uint8_t>& bytes) { d->metaData.userData = bytes; }

const std::vector<std::uint8_t>& ZelDataSet::getUserMetaData() const { return d->metaData.userData; }

void ZelDataSet::setCalibration(const Calibration3D& calibration) { d->metaData.calibration = calibration; }

void ZelDataSet::addTransformation(const RigidTransform& transform) {
    d->metaData.transformations.push_back(transform);
}

void ZelDataSet::setStepSizeForAoi(int area, int size) {
    if (area >= 0)
        d->metaData.aois[area].stepSize = size;
}

void ZelDataSet::setSubsetSizeForAoi(int area, int size) {
    if (area >= 0)
        d->metaData.aois[area].subsetSize = size;
}

namespace {

const ZelDataSet::Private::MetaData::AoiMetaData* findAoi(const ZelDataSet::Private& d, int area) {
    const auto record = d.metaData.aois.find(area);
    return record == d.metaData.aois.end() ? nullptr : &record->second;
}

} // namespace

std::optional<int> ZelDataSet::stepSizeForAoi(int area) const {
    const auto* record = findAoi(*d, area);
    return record ? record->stepSize : std::nullopt;
}

std::optional<int> ZelDataSet::subsetSizeForAoi(int area) const {
    const auto* record = findAoi(*d, area);
    return record ? record->subsetSize : std::nullopt;
}

std::optional<AdditionalVarInfo> ZelDataSet::additionalVarInfo(int area, const std::string& name) const {
    const auto* record = findAoi(*d, area);
    if (!record)
        return std::nullopt;
    const auto entry = record->vars.find(name);
    return entry == record->vars.end() ? std::nullopt : std::optional<AdditionalVarInfo>(entry->second);
}

void ZelDataSet::setStrainVariablesAdditionalInfo(const std::vector<StrainVariableIds>& ids,
                                                  const StrainComputationSettings& settings) {
    const std::size_t areaCount = std::min(ids.size(), d->areas.size());
    for (std::size_t n = 0; n < areaCount; ++n) {
        const StrainVariableIds& id = ids[n];
        for (int index : {id.exx, id.exy, id.eyy, id.fxx, id.fxy, id.fyx, id.fyy, id.e1, id.e2, id.gamma,
                          id.tresca, id.vonmises}) {
            if (index < 0)
                continue;
            const std::string name = d->areas[n]->varName(index);
            if (name.empty())
                continue;
            AdditionalVarInfo& info = d->metaData.aois[static_cast<int>(n)].vars[name];
            info.strainFilterSize = settings.windowSize;
            info.strainTensorType = settings.tensorType;
        }
    }
}

} // namespace orvex
