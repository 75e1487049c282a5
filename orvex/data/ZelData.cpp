#include "orvex/data/ZelDataPrivate.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace orvex {

namespace {

// rows * columns as a value count; 0 for an empty or negative grid. Throws when
// the product leaves the int range, so that matrixSize() stays defined.
int gridPointCount(int rows, int columns) {
    const std::int64_t count = std::int64_t{rows} * columns;
    if (count > INT_MAX || count < INT_MIN)
        throw std::length_error("area grid has too many points");
    return count <= 0 ? 0 : static_cast<int>(count);
}

// First index in [0, n) for which `matches` holds, or -1.
template <class Predicate>
int firstIndex(const std::vector<ZelData::Private::Variable>& variables, Predicate matches) {
    for (std::size_t i = 0; i < variables.size(); ++i)
        if (matches(variables[i]))
            return static_cast<int>(i);
    return -1;
}

bool nameOrDescriptionIs(const ZelData::Private::Variable& variable, const std::string& text) {
    return variable.name == text || variable.description == text;
}

// Points `out` at the values of variable `index`; false, `out` untouched, for -1.
bool valuesAt(const ZelData& area, int index, float*& out) {
    if (index < 0)
        return false;
    out = area.data(static_cast<std::size_t>(index));
    return true;
}

} // namespace

ZelData::Private::Variable::Variable(const Variable& other)
    : name(other.name), description(other.description), type(other.type), count(other.count) {
    if (other.values) {
        values = makeLargeBuffer<float>(static_cast<std::size_t>(count));
        std::memcpy(values.get(), other.values.get(), sizeof(float) * static_cast<std::size_t>(count));
    }
}

std::uint64_t ZelData::Private::newVariableListStamp() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

const ZelData::Private::Variable* ZelData::Private::variable(int i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= variables.size())
        return nullptr;
    return &variables[static_cast<std::size_t>(i)];
}

const float* ZelData::Private::values(int i) const {
    const Variable* found = variable(i);
    return found ? found->values.get() : nullptr;
}

int ZelData::Private::blankingIndex() const {
    return firstIndex(variables, [](const Variable& v) { return v.type == Correlation; });
}

const float* ZelData::Private::blanking() const { return values(blankingIndex()); }

int ZelData::Private::findTyped(ZelDataVariableType type, const std::string& text) const {
    return firstIndex(variables, [&](const Variable& v) { return v.type == type && nameOrDescriptionIs(v, text); });
}

ZelData::Private::Variable ZelData::Private::makeVariable(ZelDataVariableType type, const std::string& name,
                                                          const std::string& description) const {
    Variable variable;
    variable.name = name;
    variable.description = description;
    variable.type = type;
    variable.count = gridPointCount(rows, columns);
    if (variable.count > 0) {
        variable.values = makeLargeBuffer<float>(static_cast<std::size_t>(variable.count));
        std::fill_n(variable.values.get(), variable.count, 0.0f);
    }
    return variable;
}

ZelData::ZelData() : d(std::make_unique<Private>()) {}

ZelData::ZelData(int columns, int rows, int variableCount, const std::string& title) : ZelData() {
    gridPointCount(rows, columns); // refuses grids whose point count overflows an int
    d->rows = rows;
    d->columns = columns;
    d->title = title;
    for (int i = 0; i < variableCount; ++i)
        d->variables.push_back(d->makeVariable(Unknown, {}, {}));
}

ZelData::ZelData(const ZelData& other) : ZelData() { *this = other; }

ZelData& ZelData::operator=(const ZelData& other) {
    if (this == &other)
        return *this;
    clearSearchTrees();
    d->variables = other.d->variables;
    d->rows = other.d->rows;
    d->columns = other.d->columns;
    d->title = other.d->title;
    d->dataType = other.d->dataType;
    d->variableListStamp = other.d->variableListStamp;
    return *this;
}

ZelData::~ZelData() = default;

void ZelData::clear() {
    clearSearchTrees();
    d->variablesChanged();
    d->variables.clear();
    d->rows = 0;
    d->columns = 0;
    d->title.clear();
    d->dataType = GriddedDataType;
}

int ZelData::numRows() const { return d->rows; }
int ZelData::numColumns() const { return d->columns; }
std::size_t ZelData::numVariables() const { return d->variables.size(); }
int ZelData::matrixSize() const { return d->rows * d->columns; }
int ZelData::dataType() const { return d->dataType; }
std::string ZelData::title() const { return d->title; }

std::string ZelData::varName(int i) const {
    const Private::Variable* variable = d->variable(i);
    return variable ? variable->name : std::string();
}

std::string ZelData::varDescription(int i) const {
    const Private::Variable* variable = d->variable(i);
    return variable ? variable->description : std::string();
}

ZelDataVariableType ZelData::varType(int i) const {
    const Private::Variable* variable = d->variable(i);
    return variable ? variable->type : Unknown;
}

int ZelData::varTypeInt(int i) const { return static_cast<int>(varType(i)); }

float* ZelData::data(std::size_t i) const {
    return i < d->variables.size() ? d->variables[i].values.get() : nullptr;
}

std::uint64_t ZelData::variableListStamp() const { return d->variableListStamp; }

std::vector<ZelDataVarInfo> ZelData::variables() const {
    std::vector<ZelDataVarInfo> infos;
    infos.reserve(d->variables.size());
    for (const Private::Variable& variable : d->variables)
        infos.push_back({variable.name, variable.description, variable.type});
    return infos;
}

int ZelData::varIndex(const std::string& name) const {
    return firstIndex(d->variables, [&](const Private::Variable& v) { return v.name == name; });
}

int ZelData::findVariable(const std::string& name) const { return varIndex(name); }

int ZelData::varIndexFromDescription(const std::string& description) const {
    return firstIndex(d->variables, [&](const Private::Variable& v) { return v.description == description; });
}

bool ZelData::findVariable(const std::string& nameOrDescription, float*& out) const {
    const int index = firstIndex(d->variables,
                                 [&](const Private::Variable& v) { return nameOrDescriptionIs(v, nameOrDescription); });
    return valuesAt(*this, index, out);
}

int ZelData::findVariable(ZelDataVariableType type, const std::string& nameOrDescription) const {
    return d->findTyped(type, nameOrDescription);
}

bool ZelData::findVariable(ZelDataVariableType type, const std::string& nameOrDescription, float*& out) const {
    return valuesAt(*this, findVariable(type, nameOrDescription), out);
}

bool ZelData::findBlankingVariable(float*& out) const {
    return valuesAt(*this, d->blankingIndex(), out);
}

std::pair<std::string, std::string> ZelData::findUniqueNameAndDescription(const std::string& name,
                                                                          const std::string& description) const {
    std::string uniqueName = name;
    for (int n = 1; varIndex(uniqueName) != -1; ++n)
        uniqueName = name + "_" + std::to_string(n);
    std::string uniqueDescription = description;
    for (int n = 1; varIndexFromDescription(uniqueDescription) != -1; ++n)
        uniqueDescription = description + " (" + std::to_string(n) + ")";
    return {uniqueName, uniqueDescription};
}

int ZelData::addVariable(ZelDataVariableType type, const std::string& name, const std::string& description) {
    auto [uniqueName, uniqueDescription] = findUniqueNameAndDescription(name, description);
    clearSearchTrees(); // the variable may complete a coordinate set or become the blanking one
    d->variablesChanged();
    d->variables.push_back(d->makeVariable(type, uniqueName, uniqueDescription));
    return static_cast<int>(d->variables.size()) - 1;
}

int ZelData::addVariable(int type, const std::string& name, const std::string& description) {
    return addVariable(static_cast<ZelDataVariableType>(type), name, description);
}

float* ZelData::allocateVariable(ZelDataVariableType type, const std::string& name, const std::string& description) {
    return data(static_cast<std::size_t>(addVariable(type, name, description)));
}

float* ZelData::allocateVariable(const ZelDataVarInfo& info) {
    return allocateVariable(info.type, info.name, info.description);
}

bool ZelData::setVarAttributes(int i, const std::string& name, const std::string& description,
                               ZelDataVariableType type) {
    if (!d->variable(i))
        return false;
    clearSearchTrees();
    d->variablesChanged();
    Private::Variable& variable = d->variables[static_cast<std::size_t>(i)];
    variable.name = name;
    variable.description = description;
    variable.type = type;
    return true;
}

void ZelData::deleteVariable(int i) {
    if (!d->variable(i))
        return;
    clearSearchTrees();
    d->variablesChanged();
    d->variables.erase(d->variables.begin() + i);
}

void ZelData::deleteVariables(const std::vector<int>& indexes) {
    std::vector<int> sorted = indexes;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    int deleted = 0;
    for (int index : sorted) {
        const int current = index - deleted;
        if (d->variable(current)) {
            deleteVariable(current);
            ++deleted;
        }
    }
}

} // namespace orvex
