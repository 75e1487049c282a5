#include "orvex/analysis/Strain.h"

#include "orvex/core/ParallelRows.h"
#include "orvex/analysis/StrainTensors.h"
#include "orvex/analysis/WindowSmoothing.h"
#include "orvex/core/Array1.h"
#include "orvex/core/Array2.h"
#include "orvex/core/Logging.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace orvex {

namespace {

// ---- Coordinates and displacements -------------------------------------------------

struct Lookup {
    std::string name;
    std::optional<ZelDataVariableType> type; // none: any type
};

// The value arrays of all lookups, in order; false (out untouched) when one is missing.
bool findVariables(const ZelData& area, std::initializer_list<Lookup> lookups, float** out) {
    std::vector<float*> found;
    for (const Lookup& lookup : lookups) {
        float* values = nullptr;
        const bool ok = lookup.type ? area.findVariable(*lookup.type, lookup.name, values)
                                    : area.findVariable(lookup.name, values);
        if (!ok) return false;
        found.push_back(values);
    }
    std::copy(found.begin(), found.end(), out);
    return true;
}

// Positions X, Y, Z and displacements U, V, W: three `names` take the stereo positions
// with the named displacements, two take planar positions (x_c, y_c or else x, y) with
// the named displacements; otherwise, or when those are missing, the first complete
// default set. Planar sets get Z = W = `zeros`, which the caller keeps alive.
bool findStrainCoordinates(ZelData& area, float*& X, float*& Y, float*& Z, float*& U, float*& V, float*& W,
                           std::vector<float>& zeros, const std::vector<std::string>& names) {
    float* f[6] = {};
    bool planar = false;
    bool found = false;
    if (names.size() == 3) {
        found = findVariables(area, {{"X", GlobalCoordinate}, {"Y", GlobalCoordinate}, {"Z", GlobalCoordinate}}, f) &&
                findVariables(area, {{names[0], {}}, {names[1], {}}, {names[2], {}}}, f + 3);
    } else if (names.size() == 2) {
        found = (findVariables(area, {{"x_c", GlobalCoordinate}, {"y_c", GlobalCoordinate}}, f) ||
                 findVariables(area, {{"x", PixelCoordinate}, {"y", PixelCoordinate}}, f)) &&
                findVariables(area, {{names[0], {}}, {names[1], {}}}, f + 3);
        planar = true;
    }
    if (!found) {
        planar = false;
        found = findVariables(area, {{"X", GlobalCoordinate}, {"Y", GlobalCoordinate}, {"Z", GlobalCoordinate},
                                     {"U", GlobalDisplacement}, {"V", GlobalDisplacement}, {"W", GlobalDisplacement}},
                              f);
    }
    if (!found) {
        float* planarSet[4] = {};
        planar = found =
            findVariables(area, {{"x_c", GlobalCoordinate}, {"y_c", GlobalCoordinate},
                                 {"u_c", GlobalDisplacement}, {"v_c", GlobalDisplacement}}, planarSet) ||
            findVariables(area, {{"x_c", PixelCoordinate}, {"y_c", PixelCoordinate},
                                 {"u_c", PixelDisplacement}, {"v_c", PixelDisplacement}}, planarSet) ||
            findVariables(area, {{"x", PixelCoordinate}, {"y", PixelCoordinate},
                                 {"u", PixelDisplacement}, {"v", PixelDisplacement}}, planarSet);
        f[0] = planarSet[0], f[1] = planarSet[1], f[3] = planarSet[2], f[4] = planarSet[3];
    }
    if (!found)
        return false;
    if (planar) {
        zeros.assign(static_cast<std::size_t>(area.matrixSize()), 0.0f);
        f[2] = f[5] = zeros.data();
    }
    X = f[0], Y = f[1], Z = f[2], U = f[3], V = f[4], W = f[5];
    return true;
}

// ---- Names and descriptions ---------------------------------------------------------

// One created variable: its name, the start of its description, whether the
// description ends in the tensor label, and its field in StrainVariableIds.
struct StrainVariable {
    const char* name;
    const char* descriptionStem;
    bool labelled;
    int StrainVariableIds::*id;
};

const StrainVariable kStrainVariables[] = {{"exx", "exx", true, &StrainVariableIds::exx},
                                           {"eyy", "eyy", true, &StrainVariableIds::eyy},
                                           {"exy", "exy", true, &StrainVariableIds::exy}};
const StrainVariable kGradientVariables[] = {{"fxx", "fxx", false, &StrainVariableIds::fxx},
                                             {"fxy", "fxy", false, &StrainVariableIds::fxy},
                                             {"fyx", "fyx", false, &StrainVariableIds::fyx},
                                             {"fyy", "fyy", false, &StrainVariableIds::fyy}};
const StrainVariable kPrincipalVariables[] = {{"e1", "e1", true, &StrainVariableIds::e1},
                                              {"e2", "e2", true, &StrainVariableIds::e2},
                                              {"gamma", "gamma", true, &StrainVariableIds::gamma}};
const StrainVariable kTrescaVariable[] = {{"e_tresca", "Tresca Strain", true, &StrainVariableIds::tresca}};
const StrainVariable kVonMisesVariable[] = {
    {"e_vonmises", "Von Mises Strain", true, &StrainVariableIds::vonmises}};

struct TensorChoice {
    const char* label;
    tensor_func fn;
};

TensorChoice tensorChoice(TensorType type) {
    switch (type) {
    case HenckyStrainTensor: return {"Hencky", tensor_hencky};
    case EulerStrainTensor: return {"Euler", tensor_euler};
    case LogarithmicEulerTensor: return {"Log. Euler", tensor_log_euler};
    case EngineeringStrain: return {"engr.", tensor_engineering};
    case BiotStrainTensor: return {"Biot", tensor_biot};
    default: return {"Lagrange", tensor_lagrange};
    }
}

// The suffix without one leading '_'; empty, with a warning, unless what remains is
// non-empty and only ASCII letters, digits and '_'.
std::string acceptedSuffix(const std::string& suffix) {
    if (suffix.empty())
        return suffix;
    const std::string rest = suffix[0] == '_' ? suffix.substr(1) : suffix;
    const bool valid = !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
    });
    if (!valid) {
        PLOGW << "Invalid suffix '" << suffix << "only alphanumericals and underscore are allowed. Ignoring.";
        return std::string();
    }
    return rest;
}

// Finds or adds the strain variables of one area and records their indexes.
class StrainVariables {
public:
    StrainVariables(ZelData& area, std::string suffix, std::string label, bool reuse, StrainVariableIds& ids)
        : area_(area), suffix_(std::move(suffix)), label_(std::move(label)), reuse_(reuse), ids_(ids) {}

    // The value arrays of the variables, each found (with reuse) or added in order.
    template <std::size_t N>
    Array1<float*> create(const StrainVariable (&variables)[N]) {
        Array1<float*> values;
        for (const StrainVariable& variable : variables) {
            ids_.*variable.id = findOrAdd(variable);
            values.push_back(area_.data(ids_.*variable.id));
        }
        return values;
    }

private:
    int findOrAdd(const StrainVariable& variable) const {
        const std::string name = suffix_.empty() ? variable.name : std::string(variable.name) + "_" + suffix_;
        std::string description = variable.descriptionStem;
        if (!suffix_.empty()) description += " (" + suffix_ + ")";
        description += " [1]";
        if (variable.labelled) description += " - " + label_;
        if (reuse_) {
            const int existing = area_.findVariable(Strain, name);
            if (existing >= 0) {
                area_.setVarAttributes(existing, name, description, Strain);
                return existing;
            }
        }
        return area_.addVariable(Strain, name, description);
    }

    ZelData& area_;
    const std::string suffix_;
    const std::string label_;
    const bool reuse_;
    StrainVariableIds& ids_;
};

// ---- Derived values ------------------------------------------------------------------

struct Principal {
    float e1;
    float e2;
    float gamma;
};

// Principal strains and angle of the smoothed tensor; for the engineering tensor exy
// is a shear angle, of which half is the tensor's shear.
Principal principal(float exx, float eyy, float exy, bool engineering) {
    const float m = (exx + eyy) * 0.5f;
    const float d = (exx - eyy) * 0.5f;
    if (engineering) {
        const float r = static_cast<float>(std::sqrt((0.25 * exy) * exy + static_cast<double>(d * d)));
        return {m + r, m - r, static_cast<float>(0.5 * std::atan2(exy * 0.5, static_cast<double>(d)))};
    }
    const float r = std::sqrt(d * d + exy * exy);
    return {m + r, m - r, static_cast<float>(0.5 * std::atan2(static_cast<double>(exy), static_cast<double>(d)))};
}

float trescaStrain(const Principal& s) {
    if (s.e1 > 0.0f) return s.e2 < 0.0f ? 0.5f * (s.e1 - s.e2) : 0.5f * s.e1;
    return -0.5f * s.e2;
}

float vonMisesStrain(const Principal& s) {
    const float bracket = (s.e1 * s.e1 - s.e1 * s.e2) + s.e2 * s.e2;
    return static_cast<float>(std::sqrt(static_cast<double>(bracket)) * 0.6666666666666666);
}

// One derived output: its values and how they follow from the principal values.
struct DerivedOutput {
    float* values;
    float (*value)(const Principal&);
};

// Writes every output at every point from the principal values of its smoothed
// strain, row-parallel; 0 at blanked points.
void writeDerived(const std::vector<DerivedOutput>& outputs, const Array1<float*>& strain, const float* blanking,
                  int columns, int rows, bool engineering) {
    if (outputs.empty())
        return;
    parallelForRows(rows, [&](int begin, int end) {
        for (int p = begin * columns; p < end * columns; ++p) {
            const bool valid = blanking[p] >= 0.0f;
            const Principal s = valid ? principal(strain[0][p], strain[1][p], strain[2][p], engineering) : Principal{};
            for (const DerivedOutput& output : outputs) output.values[p] = valid ? output.value(s) : 0.0f;
        }
    });
}

// ---- Smoothing -------------------------------------------------------------------------

// Smooths the raw rows into the outputs with the weighted kernel. Every valid point
// first takes its raw value, which the smoothing then replaces wherever the point's
// window gives a fit; invalid points keep their outputs.
void smoothRaw(const Array1<float*>& outputs, const Array2<float>& raw, const float* blanking, int columns,
               int rows, int window) {
    const int fields = raw.rows();
    Array1<float const*> inputs;
    for (int k = 0; k < fields; ++k) inputs.push_back(raw[k]);
    parallelForRows(rows, [&](int begin, int end) {
        for (int p = begin * columns; p < end * columns; ++p)
            if (blanking[p] >= 0.0f)
                for (int k = 0; k < fields; ++k) outputs[k][p] = inputs[k][p];
    });
    smooth(outputs, inputs, blanking, columns, rows, window, true);
}

// ---- One area ------------------------------------------------------------------------

bool computeAreaStrain(ZelData& area, const StrainComputationSettings& settings, StrainVariableIds& ids) {
    if (settings.windowSize <= 2) {
        PLOGE << "Smoothing window too small in computeStrain()";
        return false;
    }
    int window = settings.windowSize;
    if (window % 2 == 0) {
        PLOGE << "Even smoothing window in computeStrain(). Proceeding with next valid size.";
        ++window;
    }
    float* blanking = nullptr;
    if (area.dataType() != ZelData::GriddedDataType || !area.findBlankingVariable(blanking))
        return false;
    float *X, *Y, *Z, *U, *V, *W;
    std::vector<float> zeros;
    if (!findStrainCoordinates(area, X, Y, Z, U, V, W, zeros, settings.displacementVariables)) {
        PLOGE << "Could not find coordinates for strain computation.";
        return false;
    }
    const int columns = area.numColumns(), rows = area.numRows(), size = area.matrixSize();
    if (size == 0)
        return true; // nothing to compute
    const TensorChoice tensor = tensorChoice(settings.tensorType);
    std::string label = tensor.label;
    if (settings.addSizeToDescription) label += " (" + std::to_string(window) + " filter)";

    StrainVariables variables(area, acceptedSuffix(settings.suffix), label, settings.reuseVariables, ids);
    Array2<float> rawStrain(3, size), rawGradient(settings.outputGradient ? 4 : 0, size);
    compute_strain(rawStrain, rawGradient, X, Y, Z, U, V, W, blanking, tensor.fn, columns, rows);
    area.clearSearchTrees(); // blanking values changed

    const Array1<float*> strain = variables.create(kStrainVariables);
    if (settings.outputGradient)
        smoothRaw(variables.create(kGradientVariables), rawGradient, blanking, columns, rows, window);
    smoothRaw(strain, rawStrain, blanking, columns, rows, window);

    std::vector<DerivedOutput> derived;
    if (settings.computePrincipalStrain) {
        const Array1<float*> principalValues = variables.create(kPrincipalVariables);
        derived.push_back({principalValues[0], [](const Principal& s) { return s.e1; }});
        derived.push_back({principalValues[1], [](const Principal& s) { return s.e2; }});
        derived.push_back({principalValues[2], [](const Principal& s) { return s.gamma; }});
    }
    if (settings.computeTresca)
        derived.push_back({variables.create(kTrescaVariable)[0], trescaStrain});
    if (settings.computeVonMises)
        derived.push_back({variables.create(kVonMisesVariable)[0], vonMisesStrain});
    writeDerived(derived, strain, blanking, columns, rows, settings.tensorType == EngineeringStrain);
    return true;
}

} // namespace

bool computeStrain(ZelDataSet* dataSet, const StrainComputationSettings& settings,
                   std::vector<StrainVariableIds>* ids) {
    if (!dataSet)
        return false;
    std::vector<StrainVariableIds> localIds;
    std::vector<StrainVariableIds>& list = ids ? *ids : localIds;
    list.clear();
    for (int i = 0; i < dataSet->numData(); ++i) {
        list.emplace_back(); // every field −1
        ZelData& area = *dataSet->data(i);
        if (area.dataType() == ZelData::GriddedDataType && !computeAreaStrain(area, settings, list.back()))
            return false;
    }
    dataSet->setStrainVariablesAdditionalInfo(list, settings);
    return true;
}

} // namespace orvex
