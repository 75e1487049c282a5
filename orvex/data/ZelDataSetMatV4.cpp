// MAT version 4 image: one record per variable of every exported area, each a
// 20-byte header (type, rows, columns, imaginary flag, name length + 1), the
// NUL-terminated name and the values as little-endian 32-bit floats in
// column-major order. The record fields are 32-bit ints, so the image stays
// below 2 GiB.

#include "orvex/core/LargeBuffer.h"
#include "orvex/core/Logging.h"
#include "orvex/data/DeformedPositions.h"
#include "orvex/data/FileReplace.h"
#include "orvex/data/MemStream.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <ostream>
#include <string>
#include <unordered_set>
#include <vector>

namespace orvex {

namespace {

// Little-endian IEEE numbers, single-precision data, full numeric matrix.
constexpr std::int32_t MatrixType = 10;
constexpr std::uint64_t HeaderSize = 20;
constexpr std::uint64_t MaxImageSize = INT_MAX;

// `name`, or the first of name_0, name_1, ... not yet used; taken into `used`.
std::string takeUniqueName(std::unordered_set<std::string>& used, const std::string& name) {
    if (used.insert(name).second)
        return name;
    for (int k = 0;; ++k) {
        std::string candidate = name + "_" + std::to_string(k);
        if (used.insert(candidate).second)
            return candidate;
    }
}

// The record names of every exported area and the size of the whole image.
struct MatLayout {
    std::vector<std::vector<std::string>> names; // per area, per variable
    std::uint64_t size = 0;
};

// Names of an area's records: its variables, then the deformed positions that
// addDeformedPositions would append.
std::vector<std::string> variableNames(const ZelData& area, const std::vector<DeformedAxis>* axes) {
    std::vector<std::string> names;
    for (const ZelDataVarInfo& info : area.variables())
        names.push_back(info.name);
    if (axes) {
        for (const DeformedAxis& axis : *axes)
            names.push_back(area.findUniqueNameAndDescription(axis.name, axis.description).first);
    }
    return names;
}

MatLayout matLayout(const ZelDataSet& set, int areaCount, const std::vector<DeformedAxis>* axes) {
    MatLayout layout;
    std::unordered_set<std::string> used;
    for (int i = 0; i < areaCount; ++i) {
        const ZelData& area = *set.data(i);
        const std::uint64_t valueBytes = 4 * static_cast<std::uint64_t>(area.matrixSize());
        std::vector<std::string>& names = layout.names.emplace_back();
        for (const std::string& name : variableNames(area, axes)) {
            names.push_back(takeUniqueName(used, name));
            layout.size += HeaderSize + names.back().size() + 1 + valueBytes;
        }
    }
    return layout;
}

void appendInt32(std::vector<char>& bytes, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((bits >> shift) & 0xFF));
}

// Writes the header, the name and the values of variable v, each only when it
// fits whole in the stream.
void writeRecord(MemStream& stream, const ZelData& area, std::size_t v, const std::string& name,
                 std::vector<char>& header, std::vector<float>& columnMajor) {
    const int rows = area.numRows();
    const int columns = area.numColumns();
    header.clear();
    for (std::int32_t field : {MatrixType, rows, columns, 0, static_cast<std::int32_t>(name.size() + 1)})
        appendInt32(header, field);
    stream.push_bytes(header.data(), header.size());
    stream.push_bytes(name.c_str(), name.size() + 1);

    const float* values = area.data(v);
    columnMajor.resize(static_cast<std::size_t>(area.matrixSize()));
    for (int r = 0; r < rows && values; ++r)
        for (int k = 0; k < columns; ++k)
            columnMajor[static_cast<std::size_t>(k) * rows + r] = values[static_cast<std::size_t>(r) * columns + k];
    stream.push_bytes(columnMajor.data(), columnMajor.size() * sizeof(float));
}

} // namespace

int ZelDataSet::encodeMatV4(MemStream* stream, bool addDeformed, bool firstOnly, CsDataSystemType type) const {
    const int areaCount = firstOnly ? std::min(numData(), 1) : numData();
    const std::vector<DeformedAxis>* axes = addDeformed ? &matDeformedAxes(type) : nullptr;
    const MatLayout layout = matLayout(*this, areaCount, axes);
    if (layout.size > MaxImageSize) {
        PLOGE << "Data set of " << layout.size << " bytes is too large for a MAT file.";
        return -1;
    }
    if (stream) {
        std::vector<char> header;
        std::vector<float> columnMajor;
        for (int i = 0; i < areaCount; ++i) {
            const ExportedArea area(*data(i), axes);
            for (std::size_t v = 0; v < area->numVariables(); ++v)
                writeRecord(*stream, *area, v, layout.names[static_cast<std::size_t>(i)][v], header, columnMajor);
        }
    }
    return static_cast<int>(layout.size);
}

bool ZelDataSet::exportMatV4(const std::string& path, bool addDeformed, bool firstOnly, CsDataSystemType type) const {
    const int size = encodeMatV4(nullptr, addDeformed, firstOnly, type);
    if (size < 0)
        return false;
    const LargeBuffer<char> image = makeLargeBuffer<char>(static_cast<std::size_t>(size));
    MemStream stream(image.get(), size);
    encodeMatV4(&stream, addDeformed, firstOnly, type);
    return writeFileReplacing(path, [&](std::ostream& file) {
        return static_cast<bool>(file.write(image.get(), size));
    });
}

} // namespace orvex
