#pragma once
// The deformed positions that the exports append to their copies of an area:
// one GlobalCoordinate variable per axis holding position + displacement.

#include "orvex/data/ZelDataTypes.h"

#include <memory>
#include <vector>

namespace orvex {

class ZelData;

struct DeformedAxis {
    const char* name;        // of the added variable
    const char* description; // of the added variable
    const char* position;    // name or description of the input position
    const char* displacement;
};

// Text tables: stereo X + U, Y + V, Z + W, otherwise planar world x_c + u_c, y_c + v_c.
const std::vector<DeformedAxis>& textDeformedAxes(CsDataSystemType type);
// MAT files: stereo as the text tables, otherwise X + U, Y + V.
const std::vector<DeformedAxis>& matDeformedAxes(CsDataSystemType type);

// Appends one zero-filled variable per axis (names and descriptions made unique)
// and, when every input is found, fills exactly those variables with the 32-bit
// float sums; existing variables are never written.
void addDeformedPositions(ZelData& area, const std::vector<DeformedAxis>& axes);

// The area an export writes: the original itself, or with deformed positions a
// private copy that holds them.
class ExportedArea {
public:
    // `axes` null exports the original.
    ExportedArea(const ZelData& area, const std::vector<DeformedAxis>* axes);
    const ZelData& operator*() const { return *area_; }
    const ZelData* operator->() const { return area_; }

private:
    std::unique_ptr<ZelData> copy_;
    const ZelData* area_;
};

} // namespace orvex
