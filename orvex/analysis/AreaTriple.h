#pragma once
// Three float variables of an area read and written together as one vector.

#include "orvex/core/Vector.h"
#include "orvex/data/ZelData.h"

#include <array>

namespace orvex {

// Empty (false) unless all three variables were found.
struct AreaTriple {
    float* values[3] = {nullptr, nullptr, nullptr};

    explicit operator bool() const { return values[0] && values[1] && values[2]; }
    Vector3 at(int p) const { return Vector3(values[0][p], values[1][p], values[2][p]); }
    void set(int p, const Vector3& v) const {
        values[0][p] = float(v.x);
        values[1][p] = float(v.y);
        values[2][p] = float(v.z);
    }
};

// The variables of `type` named (or described) by `names`, in order; empty when one
// is missing.
inline AreaTriple findTriple(const ZelData& area, ZelDataVariableType type, const std::array<const char*, 3>& names) {
    AreaTriple triple;
    for (int i = 0; i < 3; ++i)
        if (!area.findVariable(type, names[i], triple.values[i]))
            return AreaTriple{};
    return triple;
}

} // namespace orvex
