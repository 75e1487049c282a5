// ASCII STL of the areas' grid triangulations.

#include "orvex/data/FileReplace.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace orvex {

namespace {

// The vertex positions of an area: X, Y, Z, displaced by U, V, W when deformed.
struct Vertices {
    std::array<const float*, 3> positions{};
    std::array<const float*, 3> displacements{};

    float coordinate(int axis, int point) const {
        const float position = positions[axis][point];
        return displacements[axis] ? position + displacements[axis][point] : position;
    }
};

// False when any of the variables is missing.
bool findVertices(const ZelData& area, bool deformed, Vertices& vertices) {
    static const char* const PositionNames[3] = {"X", "Y", "Z"};
    static const char* const DisplacementNames[3] = {"U", "V", "W"};
    for (int axis = 0; axis < 3; ++axis) {
        float* values = nullptr;
        if (!area.findVariable(PositionNames[axis], values))
            return false;
        vertices.positions[axis] = values;
        if (deformed) {
            if (!area.findVariable(DisplacementNames[axis], values))
                return false;
            vertices.displacements[axis] = values;
        }
    }
    return true;
}

// The shortest text that reads back to the same double; "nan" whatever its sign.
char* writeShortest(char* out, double value) {
    if (std::isnan(value)) {
        std::memcpy(out, "nan", 3);
        return out + 3;
    }
    return std::to_chars(out, out + 32, value).ptr;
}

char* writeLiteral(char* out, const char* text) {
    const std::size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
}

// Bytes one facet takes at most.
constexpr std::size_t MaxFacetSize = 128 + 3 * (16 + 3 * 33);

char* writeFacet(char* out, const Vertices& vertices, const int* corners) {
    out = writeLiteral(out, " facet normal 0 0 0\n  outer loop\n");
    for (int corner = 0; corner < 3; ++corner) {
        out = writeLiteral(out, "   vertex");
        for (int axis = 0; axis < 3; ++axis) {
            *out++ = ' ';
            out = writeShortest(out, vertices.coordinate(axis, corners[corner]));
        }
        *out++ = '\n';
    }
    return writeLiteral(out, "  endloop\n endfacet\n");
}

// Writes the facets of one area's triangulation; their count.
std::int64_t writeFacets(std::ostream& file, const ZelData& area, const Vertices& vertices,
                         std::vector<char>& buffer) {
    constexpr std::size_t BlockFacets = 4096;
    int count = 0;
    const std::unique_ptr<int[]> triangles(area.triangulation(count, 1));
    if (!triangles)
        return 0;
    buffer.resize(BlockFacets * MaxFacetSize);
    for (int first = 0; first < count; first += static_cast<int>(BlockFacets)) {
        const int last = std::min(count, first + static_cast<int>(BlockFacets));
        char* out = buffer.data();
        for (int t = first; t < last; ++t)
            out = writeFacet(out, vertices, triangles.get() + 3 * static_cast<std::size_t>(t));
        file.write(buffer.data(), out - buffer.data());
    }
    return count;
}

} // namespace

bool ZelDataSet::exportSTL(const std::string& path, bool addDeformed, bool firstOnly) const {
    const std::string solid = std::filesystem::path(path).filename().string();
    std::int64_t facets = 0;
    const bool written = writeFileReplacing(path, [&](std::ostream& file) {
        file << "solid " << solid << '\n';
        std::vector<char> buffer;
        for (int i = 0; i < numData(); ++i) {
            Vertices vertices;
            if (!findVertices(*data(i), addDeformed, vertices))
                continue;
            facets += writeFacets(file, *data(i), vertices, buffer);
            if (firstOnly)
                break;
        }
        file << "endsolid " << solid << '\n';
        return static_cast<bool>(file);
    });
    return written && facets > 0;
}

} // namespace orvex
