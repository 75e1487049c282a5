// The token-encoded area block and the canonical variable order.
//
// Block: area start; data type; variable count; rows; columns; [title];
// then per variable: variable start, type, name, description, data (count, floats).
// Tags, integers and string units are big-endian; the floats are little-endian.
#include "orvex/data/ZelDataPrivate.h"

#include "orvex/core/Logging.h"
#include "orvex/data/ByteSink.h"
#include "orvex/data/ByteSource.h"
#include "orvex/data/MemStream.h"

#include <climits>
#include <cstdint>
#include <vector>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "area values are copied as little-endian floats");

namespace orvex {

namespace {

enum Tag : std::uint32_t {
    AreaStart = 0xA0000101,
    DataTypeTag = 0xA0000110,
    VariableCount = 0xA0000103,
    Rows = 0xA0000104,
    Columns = 0xA0000105,
    Title = 0xA0000111,
    VariableStart = 0xA0000201,
    VariableTypeTag = 0xA0000202,
    VariableName = 0xA0000203,
    VariableDescription = 0xA0000204,
    VariableData = 0xA0201001,
};

// Data-type token A0 11 00 0d and variable-type token A0 20 10 cc (cc = type + 1).
constexpr std::uint32_t kDataTypeToken = 0xA0110000;
constexpr std::uint32_t kVariableTypeToken = 0xA0201000;

// Tags and fields of the block header and of a variable, apart from their strings.
constexpr std::size_t kHeaderSize = 36;
constexpr std::size_t kVariableOverhead = 28;

// Bytes of the block header, title tag and string included.
std::size_t headerPieceSize(const ZelData::Private& d) {
    return kHeaderSize + (d.title.empty() ? 0 : 4 + MemStream::stringSize(d.title));
}

// Bytes of a variable's tags, strings and value count, which precede its values.
std::size_t variablePieceSize(const ZelData::Private::Variable& variable) {
    return kVariableOverhead + MemStream::stringSize(variable.name) + MemStream::stringSize(variable.description);
}

std::size_t valueBytes(const ZelData::Private::Variable& variable) {
    return sizeof(float) * static_cast<std::size_t>(variable.count);
}

std::uint32_t variableTypeToken(ZelDataVariableType type) {
    const auto value = static_cast<std::uint32_t>(type);
    return kVariableTypeToken | (value < ZelDataVariableTypeCount ? value + 1 : Unknown + 1);
}

ZelDataVariableType variableTypeFromToken(std::uint32_t token) {
    const std::uint32_t code = token - kVariableTypeToken;
    if (token < kVariableTypeToken || code < 1 || code > ZelDataVariableTypeCount)
        return Unknown;
    return static_cast<ZelDataVariableType>(code - 1);
}

bool popInt(ByteSource& in, int& value) {
    std::uint32_t raw = 0;
    if (!in.pop_u32(raw))
        return false;
    value = static_cast<std::int32_t>(raw);
    return true;
}

struct BlockHeader {
    int dataType = ZelData::GriddedDataType;
    int variableCount = 0;
    int rows = 0;
    int columns = 0;
    std::string title;
};

// Reads header tags up to and including the first variable-start tag.
bool readHeader(ByteSource& in, BlockHeader& header) {
    for (;;) {
        std::uint32_t tag = 0;
        if (!in.pop_u32(tag))
            return false;
        switch (tag) {
        case AreaStart:
            break;
        case VariableCount:
            if (!popInt(in, header.variableCount))
                return false;
            break;
        case Rows:
            if (!popInt(in, header.rows))
                return false;
            break;
        case Columns:
            if (!popInt(in, header.columns))
                return false;
            break;
        case DataTypeTag: {
            std::uint32_t token = 0;
            if (!in.pop_u32(token))
                return false;
            if (token >= kDataTypeToken && token <= kDataTypeToken + ZelData::GriddedDataType)
                header.dataType = static_cast<int>(token - kDataTypeToken);
            break;
        }
        case Title:
            if (!in.pop_string(header.title))
                return false;
            break;
        case VariableStart:
            return true;
        default:
            PLOGE << "Not on variable start tag after aoi header. Likely wrong version.";
            return false;
        }
    }
}

// Reads the tags of one variable up to its data tag and value count.
bool readVariableAttributes(ByteSource& in, ZelData::Private::Variable& variable, int& count) {
    for (;;) {
        std::uint32_t tag = 0;
        if (!in.pop_u32(tag))
            return false;
        switch (tag) {
        case VariableStart:
            break;
        case VariableTypeTag: {
            std::uint32_t token = 0;
            if (!in.pop_u32(token))
                return false;
            variable.type = variableTypeFromToken(token);
            break;
        }
        case VariableName:
            if (!in.pop_string(variable.name))
                return false;
            break;
        case VariableDescription:
            if (!in.pop_string(variable.description))
                return false;
            break;
        case VariableData:
            return popInt(in, count);
        default:
            return false;
        }
    }
}

// Counts that no block can hold: negative ones, or a grid whose point count
// does not fit an int. Refused even when the block ends at its first variable start.
bool countsAreCorrupt(const BlockHeader& header) {
    return header.variableCount < 0 || header.rows < 0 || header.columns < 0 ||
           std::int64_t{header.rows} * header.columns > INT_MAX;
}

// Whether `variableCount` variables of `points` values each can fit in `remaining`
// bytes (each needs at least its data tag, count and values).
bool countsFitInput(const BlockHeader& header, std::uint64_t remaining) {
    const std::uint64_t points = std::uint64_t(header.rows) * std::uint64_t(header.columns);
    if (points > remaining / sizeof(float))
        return false;
    const std::uint64_t minimumVariableSize = 8 + sizeof(float) * points;
    return std::uint64_t(header.variableCount) <= remaining / minimumVariableSize;
}

} // namespace

std::size_t ZelData::diskSize() const {
    std::size_t size = headerPieceSize(*d);
    for (const Private::Variable& variable : d->variables)
        size += variablePieceSize(variable) + valueBytes(variable);
    return size;
}

bool ZelData::encode(ByteSink& sink) const {
    if (d->variables.empty() || d->rows <= 0 || d->columns <= 0) {
        PLOGE << "Cannot write an area without variables, rows or columns.";
        return false;
    }
    std::vector<char> scratch;
    bool ok = sink.writePiece(scratch, headerPieceSize(*d), [this](MemStream& out) {
        return out.push_u32(AreaStart) && out.push_u32(DataTypeTag) &&
               out.push_u32(kDataTypeToken | GriddedDataType) && out.push_u32(VariableCount) &&
               out.push_u32(static_cast<std::uint32_t>(d->variables.size())) && out.push_u32(Rows) &&
               out.push_u32(static_cast<std::uint32_t>(d->rows)) && out.push_u32(Columns) &&
               out.push_u32(static_cast<std::uint32_t>(d->columns)) &&
               (d->title.empty() || (out.push_u32(Title) && out.push_string(d->title)));
    });
    for (std::size_t i = 0; ok && i < d->variables.size(); ++i) {
        const Private::Variable& variable = d->variables[i];
        ok = sink.writePiece(scratch, variablePieceSize(variable), [&variable](MemStream& out) {
            return out.push_u32(VariableStart) && out.push_u32(VariableTypeTag) &&
                   out.push_u32(variableTypeToken(variable.type)) && out.push_u32(VariableName) &&
                   out.push_string(variable.name) && out.push_u32(VariableDescription) &&
                   out.push_string(variable.description) && out.push_u32(VariableData) &&
                   out.push_u32(static_cast<std::uint32_t>(variable.count));
        });
        ok = ok && sink.write(variable.values.get(), valueBytes(variable));
    }
    return ok;
}

bool ZelData::encode(char* buffer, int length) const {
    BufferSink sink(buffer, length);
    return encode(sink);
}

int ZelData::decode(const char* buffer, int length) {
    BufferSource source(buffer, length);
    return decode(source) ? static_cast<int>(source.position()) : -1;
}

bool ZelData::decode(ByteSource& in) {
    clear();
    BlockHeader header;
    if (!readHeader(in, header) || countsAreCorrupt(header))
        return false;
    d->rows = header.rows;
    d->columns = header.columns;
    d->dataType = header.dataType;
    d->title = header.title;
    if (header.variableCount == 0 || header.rows == 0 || header.columns == 0)
        return true;

    auto fail = [this] {
        clear();
        return false;
    };
    if (!countsFitInput(header, in.remaining()))
        return fail();
    const int points = header.rows * header.columns;
    const std::size_t valueBytes = sizeof(float) * static_cast<std::size_t>(points);
    d->variables.reserve(static_cast<std::size_t>(header.variableCount));
    for (int i = 0; i < header.variableCount; ++i) {
        Private::Variable variable;
        int count = 0;
        if (!readVariableAttributes(in, variable, count) || count != points || valueBytes > in.remaining())
            return fail();
        variable.values = makeLargeBuffer<float>(static_cast<std::size_t>(count));
        variable.count = count;
        if (!in.read(variable.values.get(), valueBytes))
            return fail();
        d->variables.push_back(std::move(variable));
    }
    shuffle();
    return true;
}

void ZelData::shuffle() {
    static const std::vector<ZelDataVariableType> stereoTypes = {
        GlobalCoordinate, GlobalDisplacement, Strain,          Stress,          CylinderCoordinate,
        CylinderDisplacement, GlobalVelocity, GlobalAcceleration, StrainRate,   Curvature,
        Angle,            AngularVelocity,    AngularAcceleration, Unknown,     Correlation,
        PixelCoordinate,  PixelDisplacement,  Disparity,       PixelVelocity,   PixelAcceleration};
    static const std::vector<std::string> planarNames = {"x_c", "y_c", "u_c", "v_c", "exx",
                                                         "eyy", "exy", "e1",  "e2",  "gamma"};
    static const std::vector<ZelDataVariableType> planarTypes = {
        GlobalCoordinate,   GlobalDisplacement, Strain,          Stress,     CylinderCoordinate,
        CylinderDisplacement, GlobalVelocity,  GlobalAcceleration, PixelVelocity, PixelAcceleration,
        StrainRate,         Curvature,          Angle,           AngularVelocity, AngularAcceleration,
        Unknown,            Correlation,        PixelCoordinate, PixelDisplacement, Disparity};
    if (currentDataType() == Type3d)
        shuffle({}, stereoTypes);
    else
        shuffle(planarNames, planarTypes);
}

void ZelData::shuffle(const std::vector<std::string>& names, const std::vector<ZelDataVariableType>& types) {
    clearSearchTrees(); // another variable may come first for a name or as the blanking one
    d->variablesChanged();
    const std::size_t count = d->variables.size();
    std::vector<std::size_t> order;
    std::vector<bool> used(count, false);
    auto take = [&](std::size_t index) {
        order.push_back(index);
        used[index] = true;
    };
    for (const std::string& name : names) {
        const int index = varIndex(name);
        if (index >= 0)
            take(static_cast<std::size_t>(index));
    }
    for (ZelDataVariableType type : types) {
        for (std::size_t i = 0; i < count; ++i) {
            const Private::Variable& variable = d->variables[i];
            const bool sigmaDisplacement =
                variable.type == GlobalDisplacement && variable.description.find("Sigma") != std::string::npos;
            if (variable.type == type && !used[i] && !sigmaDisplacement)
                take(i);
        }
    }
    for (std::size_t i = 0; i < count; ++i)
        if (!used[i])
            take(i);
    if (order.size() != count) {
        PLOGE << "########## Shuffle index size mismatch, please fix.";
        return;
    }
    std::vector<Private::Variable> reordered;
    reordered.reserve(count);
    for (std::size_t index : order)
        reordered.push_back(std::move(d->variables[index]));
    d->variables = std::move(reordered);
}

} // namespace orvex
