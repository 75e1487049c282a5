#include "orvex/data/ZelData.h"

#include "data/AreaFixtures.h"
#include "data/ByteWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::ByteWriter;
using orvex::testing::encodedBlock;
using orvex::testing::LogCapture;
using orvex::testing::makeArea;
using orvex::testing::namesOf;
using orvex::testing::valuesOf;

namespace {

// A block header with `variables` variables of rows x columns values, up to the first variable start.
ByteWriter header(int variables, int rows, int columns) {
    ByteWriter bytes;
    bytes.u32(0xA0000101).u32(0xA0000110).u32(0xA0110002).u32(0xA0000103).u32(variables);
    bytes.u32(0xA0000104).u32(rows).u32(0xA0000105).u32(columns).u32(0xA0000201);
    return bytes;
}

} // namespace

TEST(ZelDataBlock, ExactLayoutAndSize) {
    ZelData area = makeArea(1, 2, {{Strain, "Ab", "", {1.5f, -2.0f}}}, "\xC3\xA9");
    const std::vector<char> expected =
        ByteWriter()
            .u32(0xA0000101)
            .u32(0xA0000110).u32(0xA0110002)
            .u32(0xA0000103).u32(1)
            .u32(0xA0000104).u32(1)
            .u32(0xA0000105).u32(2)
            .u32(0xA0000111).units(u"\u00E9")
            .u32(0xA0000201)
            .u32(0xA0000202).u32(0xA0201005)
            .u32(0xA0000203).units(u"Ab")
            .u32(0xA0000204).u32(0xFFFFFFFF)
            .u32(0xA0201001).u32(2)
            .u32(0x0000C03F).u32(0x000000C0) // 1.5f and -2.0f, little-endian
            .bytes;
    EXPECT_EQ(area.diskSize(), 94u); // 36 + (8 + 2) + 36 + 2 * 2 + 4 * 2
    EXPECT_EQ(encodedBlock(area), expected);
}

TEST(ZelDataBlock, SizeCountsUtf16Units) {
    struct Case {
        std::string title, name;
        std::size_t size;
    };
    const Case cases[] = {
        {"", "a", 36 + 36 + 2 + 4},
        {"\xF0\x9F\x98\x80", "a", 36 + 8 + 4 + 36 + 2 + 4},      // U+1F600: two units
        {"\xE2\x82\xAC", "\xCE\xB5xx", 36 + 8 + 2 + 36 + 6 + 4}, // one unit each for the Euro sign and epsilon
    };
    for (const Case& c : cases) {
        ZelData area = makeArea(1, 1, {{Strain, c.name, "", {}}}, c.title);
        EXPECT_EQ(area.diskSize(), c.size);
        EXPECT_EQ(encodedBlock(area).size(), c.size);
    }
}

TEST(ZelDataBlock, RoundTripPutsPlanarVariablesInCanonicalOrder) {
    const std::string epsilon = "\xCE\xB5_xx";
    const std::string description = "Dehnung \xC3\xBC \xF0\x9F\x98\x80";
    ZelData area = makeArea(2, 2,
                            {{Correlation, "sigma", "", {0, 0, -1, 0}},
                             {PixelCoordinate, "x", "", {1, 2, 1, 2}},
                             {PixelCoordinate, "y", "", {1, 1, 2, 2}},
                             {PixelDisplacement, "u", "", {}},
                             {PixelDisplacement, "v", "", {}},
                             {GlobalCoordinate, "x_c", "", {5, 6, 7, 8}},
                             {GlobalCoordinate, "y_c", "", {}},
                             {GlobalDisplacement, "u_c", "", {}},
                             {GlobalDisplacement, "v_c", "", {}},
                             {Strain, epsilon, description, {0.5f, 1e-30f, -0.0f, 3e30f}}},
                            "Fl\xC3\xA4" "che");
    const std::vector<char> bytes = encodedBlock(area);
    ZelData decoded = makeArea(1, 1, {{Strain, "old", "", {}}});
    ASSERT_EQ(decoded.decode(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
    EXPECT_EQ(namesOf(decoded),
              (std::vector<std::string>{"x_c", "y_c", "u_c", "v_c", epsilon, "sigma", "x", "y", "u", "v"}));
    EXPECT_EQ(decoded.title(), "Fl\xC3\xA4" "che");
    EXPECT_EQ(decoded.numRows(), 2);
    EXPECT_EQ(decoded.numColumns(), 2);
    EXPECT_EQ(decoded.varDescription(4), description);
    EXPECT_EQ(decoded.varType(4), Strain);
    EXPECT_EQ(valuesOf(decoded, 4), valuesOf(area, 9));
    EXPECT_EQ(valuesOf(decoded, 0), valuesOf(area, 5));
    EXPECT_EQ(valuesOf(decoded, 5), valuesOf(area, 0));

    // Once in canonical order, a block reads back byte for byte.
    const std::vector<char> again = encodedBlock(decoded);
    ZelData twice;
    ASSERT_EQ(twice.decode(again.data(), static_cast<int>(again.size())), static_cast<int>(again.size()));
    EXPECT_EQ(encodedBlock(twice), again);
}

TEST(ZelDataBlock, StereoOrderPutsSigmaDisplacementsLast) {
    ZelData area = makeArea(1, 1, {{GlobalDisplacement, "sU", "Sigma U", {}}, {Correlation, "sigma", "", {}},
                                   {PixelCoordinate, "x", "", {}}, {Strain, "exx", "", {}},
                                   {GlobalDisplacement, "U", "", {}}, {GlobalDisplacement, "V", "", {}},
                                   {GlobalDisplacement, "W", "", {}}, {GlobalCoordinate, "X", "", {}},
                                   {GlobalCoordinate, "Y", "", {}}, {GlobalCoordinate, "Z", "", {}},
                                   {Unknown, "q", "", {}}});
    area.shuffle();
    EXPECT_EQ(namesOf(area),
              (std::vector<std::string>{"X", "Y", "Z", "U", "V", "W", "exx", "q", "sigma", "x", "sU"}));
}

TEST(ZelDataBlock, ShuffleWithRepeatedNamesChangesNothing) {
    LogCapture& log = LogCapture::instance();
    log.take();
    ZelData area = makeArea(1, 1, {{Strain, "b", "", {}}, {Strain, "a", "", {}}});
    area.shuffle({"a", "a"}, {});
    EXPECT_EQ(namesOf(area), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(log.take(), (std::vector<std::string>{"########## Shuffle index size mismatch, please fix."}));
    area.shuffle({"a"}, {});
    EXPECT_EQ(namesOf(area), (std::vector<std::string>{"a", "b"}));
}

TEST(ZelDataBlock, VariableTypeTokens) {
    struct Case {
        int storedType;
        std::uint32_t token;
        ZelDataVariableType readBack;
    };
    const Case cases[] = {
        {PixelCoordinate, 0xA0201001, PixelCoordinate},
        {GlobalAcceleration, 0xA0201011, GlobalAcceleration},
        {PixelAcceleration, 0xA0201012, PixelAcceleration},
        {AngularAcceleration, 0xA0201014, AngularAcceleration},
        {42, 0xA0201007, Unknown},
        {-3, 0xA0201007, Unknown},
    };
    for (const Case& c : cases) {
        ZelData area = makeArea(1, 1, {{Strain, "v", "", {}}});
        area.setVarAttributes(0, "v", "", static_cast<ZelDataVariableType>(c.storedType));
        const std::vector<char> bytes = encodedBlock(area);
        EXPECT_EQ(std::vector<char>(bytes.begin() + 44, bytes.begin() + 48), ByteWriter().u32(c.token).bytes);
        ZelData decoded;
        ASSERT_GT(decoded.decode(bytes.data(), static_cast<int>(bytes.size())), 0);
        EXPECT_EQ(decoded.varType(0), c.readBack);
    }

    for (std::uint32_t token : {0xA0201000u, 0xA0201015u, 0x12345678u}) {
        ByteWriter bytes = header(1, 1, 1);
        bytes.u32(0xA0000202).u32(token).u32(0xA0201001).u32(1).floats({1});
        ZelData decoded;
        ASSERT_EQ(decoded.decode(bytes.bytes.data(), bytes.size()), bytes.size());
        EXPECT_EQ(decoded.varType(0), Unknown);
    }
    ByteWriter untyped = header(1, 1, 1);
    untyped.u32(0xA0201001).u32(1).floats({1});
    ZelData decoded;
    ASSERT_EQ(decoded.decode(untyped.bytes.data(), untyped.size()), untyped.size());
    EXPECT_EQ(decoded.varType(0), Unknown);
    EXPECT_EQ(decoded.varName(0), "");
}

TEST(ZelDataBlock, HeaderTagsInAnyOrderLastValueCounts) {
    ByteWriter bytes;
    bytes.u32(0xA0000105).u32(2).u32(0xA0000101).u32(0xA0000104).u32(5).u32(0xA0000110).u32(0xA0110001);
    bytes.u32(0xA0000111).units(u"first").u32(0xA0000104).u32(1).u32(0xA0000103).u32(1);
    bytes.u32(0xA0000110).u32(0xA0110007).u32(0xA0000111).units(u"second").u32(0xA0000101);
    bytes.u32(0xA0000201).u32(0xA0000203).units(u"n").u32(0xA0000203).units(u"m").u32(0xA0000201);
    bytes.u32(0xA0201001).u32(2).floats({1, 2});
    bytes.u32(0xDEADBEEF); // the next block's bytes are not consumed
    ZelData area;
    EXPECT_EQ(area.decode(bytes.bytes.data(), bytes.size()), bytes.size() - 4);
    EXPECT_EQ(area.numRows(), 1);
    EXPECT_EQ(area.numColumns(), 2);
    EXPECT_EQ(area.dataType(), 1); // the unknown token kept the earlier value
    const std::vector<char> rewritten = encodedBlock(area); // always written as data type 2
    EXPECT_EQ(std::vector<char>(rewritten.begin() + 8, rewritten.begin() + 12), ByteWriter().u32(0xA0110002).bytes);
    EXPECT_EQ(area.title(), "second");
    EXPECT_EQ(area.varName(0), "m");
    EXPECT_EQ(valuesOf(area, 0), (std::vector<float>{1, 2}));
}

TEST(ZelDataBlock, EmptyGridStopsAfterTheFirstVariableStart) {
    ByteWriter bytes = header(3, 0, 4);
    const int headerSize = bytes.size();
    bytes.u32(0xA0000203).units(u"ignored");
    ZelData area = makeArea(1, 1, {{Strain, "old", "", {}}});
    EXPECT_EQ(area.decode(bytes.bytes.data(), bytes.size()), headerSize);
    EXPECT_EQ(area.numVariables(), 0u);
    EXPECT_EQ(area.numColumns(), 4);
}

TEST(ZelDataBlock, MalformedBlocksFailAndLeaveTheAreaCleared) {
    struct Case {
        const char* what;
        ByteWriter bytes;
    };
    const Case cases[] = {
        {"count differs from the grid", header(1, 1, 2).u32(0xA0201001).u32(1).floats({1, 2})},
        {"count zero", header(1, 1, 1).u32(0xA0201001).u32(0)},
        {"negative count", header(1, 1, 1).u32(0xA0201001).u32(0xFFFFFFFF).floats({1})},
        {"foreign tag in a variable", header(1, 1, 1).u32(0xA0000104).u32(1).u32(0xA0201001).u32(1).floats({1})},
        {"values cut short", header(1, 1, 2).u32(0xA0201001).u32(2).floats({1})},
        {"second variable missing", header(2, 1, 1).u32(0xA0201001).u32(1).floats({1})},
        {"negative variable count", header(-1, 1, 1).u32(0xA0201001).u32(1).floats({1})},
        {"huge variable count", header(0x7FFFFFFF, 1, 1).u32(0xA0201001).u32(1).floats({1})},
        {"negative rows", header(1, -1, -1).u32(0xA0201001).u32(1).floats({1})},
        {"overflowing grid", header(1, 0x7FFFFFFF, 0x7FFFFFFF).u32(0xA0201001).u32(1).floats({1})},
        {"negative variable count, empty grid", header(-1, 0, 4)},
        {"negative rows, no variables", header(0, -2, 4)},
        {"overflowing grid, no variables", header(0, 0x10000, 0x10000)},
        {"huge name", header(1, 1, 1).u32(0xA0000203).u32(0x7FFFFFFE)},
        {"odd name count", header(1, 1, 1).u32(0xA0000203).u32(3).u32(0x00410042)},
        {"huge title", ByteWriter().u32(0xA0000111).u32(0xFFFFFFFC)},
        {"type without token", header(1, 1, 1).u32(0xA0000202)},
        {"rows without value", ByteWriter().u32(0xA0000104)},
        {"no variable start", ByteWriter().u32(0xA0000101)},
        {"empty", ByteWriter()},
    };
    for (const Case& c : cases) {
        ZelData area = makeArea(1, 1, {{Strain, "old", "", {}}}, "old");
        EXPECT_EQ(area.decode(c.bytes.bytes.data(), c.bytes.size()), -1) << c.what;
        EXPECT_EQ(area.numVariables(), 0u) << c.what;
        EXPECT_EQ(area.title(), "") << c.what;
        EXPECT_EQ(area.matrixSize(), 0) << c.what;
    }
}

TEST(ZelDataBlock, EveryTruncationOfAValidBlockFails) {
    ZelData area = makeArea(2, 2, {{Correlation, "s", "d", {}}, {Strain, "\xCE\xB5", "", {1, 2, 3, 4}}}, "t");
    const std::vector<char> bytes = encodedBlock(area);
    for (int length = 0; length < static_cast<int>(bytes.size()); ++length) {
        std::vector<char> prefix(bytes.begin(), bytes.begin() + length); // exact-size heap copy for ASan
        ZelData decoded;
        EXPECT_EQ(decoded.decode(prefix.data(), length), -1) << length;
    }
}

TEST(ZelDataBlock, UnknownHeaderTagIsLogged) {
    LogCapture& log = LogCapture::instance();
    log.take();
    ByteWriter bytes;
    bytes.u32(0xA0000101).u32(0xA0000202);
    ZelData area;
    EXPECT_EQ(area.decode(bytes.bytes.data(), bytes.size()), -1);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"Not on variable start tag after aoi header. Likely wrong version."}));
}

TEST(ZelDataBlock, EncodeRefusesUnreadableAreasAndShortBuffers) {
    LogCapture& log = LogCapture::instance();
    const ZelData unreadable[] = {ZelData(), ZelData(0, 3, 1, ""), ZelData(3, 0, 1, ""), ZelData(2, 2, 0, "")};
    for (const ZelData& area : unreadable) {
        log.take();
        std::vector<char> buffer(256);
        EXPECT_FALSE(area.encode(buffer.data(), static_cast<int>(buffer.size())));
        EXPECT_EQ(log.take(), (std::vector<std::string>{"Cannot write an area without variables, rows or columns."}));
    }

    ZelData area = makeArea(1, 2, {{Strain, "name", "description", {1, 2}}}, "title");
    const int size = static_cast<int>(area.diskSize());
    for (int length = 0; length < size; ++length) {
        std::vector<char> buffer(static_cast<std::size_t>(size) + 8, '#');
        EXPECT_FALSE(area.encode(buffer.data(), length)) << length;
        EXPECT_EQ(std::string(buffer.begin() + length, buffer.end()), std::string(size - length + 8, '#')) << length;
    }
}

TEST(ZelDataBlock, NullBufferReadsAndWritesNothing) {
    ZelData area = makeArea(1, 2, {{Strain, "name", "", {1, 2}}});
    EXPECT_FALSE(area.encode(nullptr, static_cast<int>(area.diskSize())));
    EXPECT_EQ(area.decode(nullptr, 64), -1);
    EXPECT_EQ(area.numVariables(), 0u);
}
