// Comparing the variable layouts of areas and reducing areas to the variables
// they share. Names and descriptions compare byte for byte.

#include "orvex/core/Logging.h"
#include "orvex/data/MetaData.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace orvex {

namespace {

// Same variable count, and per variable the same type, name and description.
bool sameVariables(const ZelData& a, const ZelData& b) {
    if (a.numVariables() != b.numVariables())
        return false;
    for (int j = 0; j < static_cast<int>(a.numVariables()); ++j) {
        if (a.varType(j) != b.varType(j) || a.varName(j) != b.varName(j) ||
            a.varDescription(j) != b.varDescription(j))
            return false;
    }
    return true;
}

bool sameLayout(const ZelData& a, const ZelData& b) {
    return a.numColumns() == b.numColumns() && a.numRows() == b.numRows() && sameVariables(a, b);
}

std::vector<std::string> namesOf(const ZelData& area) {
    std::vector<std::string> names;
    for (const ZelDataVarInfo& info : area.variables())
        names.push_back(info.name);
    return names;
}

// The names of the first area's variables, in its order, that every other area
// also holds; empty without areas.
std::vector<std::string> namesHeldByAll(const std::vector<const ZelData*>& areas) {
    if (areas.empty())
        return {};
    std::vector<std::string> names = namesOf(*areas.front());
    for (std::size_t i = 1; i < areas.size(); ++i) {
        const ZelData& area = *areas[i];
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [&area](const std::string& name) { return area.varIndex(name) == -1; }),
                    names.end());
    }
    return names;
}

// The areas of every set in list order, null sets and areas skipped.
std::vector<const ZelData*> areasOf(const std::vector<std::unique_ptr<ZelDataSet>>& sets) {
    std::vector<const ZelData*> areas;
    for (const std::unique_ptr<ZelDataSet>& set : sets) {
        for (int i = 0; set && i < set->numData(); ++i) {
            if (set->data(i))
                areas.push_back(set->data(i));
        }
    }
    return areas;
}

// A copy of `source` without the variables whose names `common` lacks; sets
// `dropped` when it left out any.
std::unique_ptr<ZelData> reducedCopy(const ZelData& source, const std::vector<std::string>& common,
                                     bool& dropped) {
    auto copy = std::make_unique<ZelData>();
    *copy = source;
    std::vector<int> uncommon;
    for (int j = 0; j < static_cast<int>(copy->numVariables()); ++j) {
        if (std::find(common.begin(), common.end(), copy->varName(j)) == common.end())
            uncommon.push_back(j);
    }
    copy->deleteVariables(uncommon);
    dropped = dropped || !uncommon.empty();
    return copy;
}

} // namespace

bool ZelDataSet::isCompatible(const ZelDataSet& other) const {
    if (numData() != other.numData())
        return false;
    for (int i = 0; i < numData(); ++i) {
        if (!sameLayout(*data(i), *other.data(i)))
            return false;
    }
    return true;
}

bool ZelDataSet::allValidIndexes(std::vector<std::vector<int>>& indexes) const {
    if (numData() == 0)
        return false;
    int usedAreas = numData();
    for (int i = 1; i < numData(); ++i) {
        if (!sameVariables(*data(0), *data(i))) {
            PLOGE << "Incompatible aois, limiting to first.";
            usedAreas = 1;
            break;
        }
    }
    for (int i = 0; i < usedAreas; ++i) {
        std::vector<int> valid;
        if (!data(i)->extractAllValidIndexes(valid))
            valid.clear();
        indexes.push_back(std::move(valid));
    }
    return true;
}

std::vector<std::string> ZelDataSet::commonVariables(std::vector<std::string>* descriptions, bool gridOnly) const {
    std::vector<const ZelData*> areas;
    for (int i = 0; i < numData(); ++i) {
        if (!gridOnly || data(i)->dataType() == ZelData::GriddedDataType)
            areas.push_back(data(i));
    }
    if (gridOnly && areas.empty())
        return {};
    const std::vector<std::string> common = namesHeldByAll(areas);
    if (descriptions) {
        // Every common name comes from the first area.
        descriptions->clear();
        for (const std::string& name : common)
            descriptions->push_back(areas.front()->varDescription(areas.front()->varIndex(name)));
    }
    return common;
}

bool ZelDataSet::combineDataSetsUsingOnlyCommonVariables(ZelDataSet& target,
                                                         const std::vector<std::unique_ptr<ZelDataSet>>& sets) {
    const std::vector<const ZelData*> areas = areasOf(sets);
    const std::vector<std::string> common = namesHeldByAll(areas);

    // Built aside and swapped in, so that a target among the sets is read first.
    ZelDataSet combined;
    bool dropped = false;
    for (const ZelData* area : areas) {
        std::unique_ptr<ZelData> copy = reducedCopy(*area, common, dropped);
        combined.addData(copy.get());
        copy.release();
    }
    std::swap(target.d, combined.d);
    return dropped;
}

} // namespace orvex
