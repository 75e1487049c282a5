#include "orvex/data/ZelDataSet.h"

#include "data/AreaFixtures.h"
#include "data/TestFiles.h"
#include "orvex/data/MemStream.h"
#include "orvex/data/ZelData.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

using namespace orvex;
using orvex::testing::fileContent;
using orvex::testing::makeArea;
using orvex::testing::TemporaryDirectory;
using orvex::testing::VariableSpec;

namespace {

// 2 rows x 3 columns of X (1 .. 6 row by row) and Y.
ZelData* twoByThree() {
    return new ZelData(makeArea(2, 3, {{GlobalCoordinate, "X", "X", {1, 2, 3, 4, 5, 6}},
                                       {GlobalCoordinate, "Y", "Y", {-1, -2, -3, -4, -5, -6}}}));
}

std::vector<char> encoded(const ZelDataSet& set, bool addDeformed = false, CsDataSystemType type = Type3d) {
    const int size = set.encodeMatV4(nullptr, addDeformed, false, type);
    std::vector<char> image(static_cast<std::size_t>(size));
    MemStream stream(image.data(), size);
    EXPECT_EQ(set.encodeMatV4(&stream, addDeformed, false, type), size);
    EXPECT_EQ(stream.position(), size);
    return image;
}

// The little-endian bytes of one record.
std::vector<char> record(int rows, int columns, const std::string& name, const std::vector<float>& values) {
    std::vector<char> bytes;
    for (std::int32_t field : {10, rows, columns, 0, static_cast<std::int32_t>(name.size() + 1)})
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((static_cast<std::uint32_t>(field) >> shift) & 0xFF));
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.push_back('\0');
    for (float value : values) {
        char raw[4];
        std::memcpy(raw, &value, 4);
        bytes.insert(bytes.end(), raw, raw + 4);
    }
    return bytes;
}

// The records of an image in order: name and values, read back by their header fields.
std::vector<std::pair<std::string, std::vector<float>>> records(const std::vector<char>& image) {
    std::vector<std::pair<std::string, std::vector<float>>> found;
    std::size_t at = 0;
    while (at + 20 <= image.size()) {
        std::int32_t fields[5];
        std::memcpy(fields, image.data() + at, sizeof fields);
        const std::size_t count = static_cast<std::size_t>(fields[1]) * static_cast<std::size_t>(fields[2]);
        const std::size_t valuesAt = at + 20 + static_cast<std::size_t>(fields[4]);
        std::vector<float> values(count);
        std::memcpy(values.data(), image.data() + valuesAt, 4 * count);
        found.emplace_back(image.data() + at + 20, std::move(values));
        at = valuesAt + 4 * count;
    }
    EXPECT_EQ(at, image.size());
    return found;
}

std::vector<std::string> recordNames(const std::vector<char>& image) {
    std::vector<std::string> names;
    for (const auto& record : records(image))
        names.push_back(record.first);
    return names;
}

std::vector<float> recordValues(const std::vector<char>& image, const std::string& name) {
    for (const auto& record : records(image))
        if (record.first == name)
            return record.second;
    return {};
}

} // namespace

TEST(MatV4, RecordLayoutAndColumnMajorValues) {
    ZelDataSet set;
    set.addData(twoByThree());
    std::vector<char> expected = record(2, 3, "X", {1, 4, 2, 5, 3, 6});
    const std::vector<char> y = record(2, 3, "Y", {-1, -4, -2, -5, -3, -6});
    expected.insert(expected.end(), y.begin(), y.end());
    ASSERT_EQ(expected.size(), 92u);
    EXPECT_EQ(encoded(set), expected);

    TemporaryDirectory directory;
    const std::filesystem::path path = directory.path / "set.mat";
    EXPECT_TRUE(set.exportMatV4(path.string(), false, false, Type3d));
    EXPECT_EQ(fileContent(path), std::string(expected.begin(), expected.end()));
    int progress = -1;
    EXPECT_TRUE(set.exportAs(path.string(), ZelDataSet::MatV4, progress, Type3d, nullptr, true, false, false));
    EXPECT_EQ(fileContent(path), std::string(expected.begin(), expected.end()));
}

TEST(MatV4, SmallStreamReceivesTheItemsThatFit) {
    ZelDataSet set;
    set.addData(twoByThree());
    std::vector<char> buffer(30, '\x7F');
    MemStream stream(buffer.data(), 30);
    EXPECT_EQ(set.encodeMatV4(&stream, false, false, Type3d), 92);
    EXPECT_EQ(stream.position(), 24);
    const std::vector<char> full = encoded(set);
    // First header and name, then the second name (header and values skipped).
    EXPECT_EQ(std::vector<char>(buffer.begin(), buffer.begin() + 22), std::vector<char>(full.begin(), full.begin() + 22));
    EXPECT_EQ(std::string(buffer.data() + 22, 2), std::string("Y\0", 2));
}

TEST(MatV4, NamesAreUniqueOverTheFile) {
    const std::vector<VariableSpec> xyz = {{Unknown, "X", "X", {}}, {Unknown, "Y", "Y", {}}, {Unknown, "Z", "Z", {}}};
    ZelDataSet set;
    for (int i = 0; i < 3; ++i)
        set.addData(new ZelData(makeArea(1, 1, i < 2 ? xyz : std::vector<VariableSpec>{xyz[0]})));
    EXPECT_EQ(recordNames(encoded(set)), (std::vector<std::string>{"X", "Y", "Z", "X_0", "Y_0", "Z_0", "X_1"}));

    ZelDataSet taken;
    taken.addData(new ZelData(makeArea(1, 1, {{Unknown, "X", "a", {}}, {Unknown, "X_0", "b", {}}})));
    taken.addData(new ZelData(makeArea(1, 1, {{Unknown, "X", "a", {}}, {Unknown, "X_1", "c", {}}})));
    EXPECT_EQ(recordNames(encoded(taken)), (std::vector<std::string>{"X", "X_0", "X_1", "X_1_0"}));
    // Names with other case are other names.
    ZelDataSet cased;
    cased.addData(new ZelData(makeArea(1, 1, {{Unknown, "x", "x", {}}, {Unknown, "X", "X", {}}})));
    EXPECT_EQ(recordNames(encoded(cased)), (std::vector<std::string>{"x", "X"}));
}

TEST(MatV4, DeformedPositions) {
    ZelDataSet stereo;
    stereo.addData(new ZelData(makeArea(1, 2, {{GlobalCoordinate, "X", "X", {1, 2}}, {GlobalCoordinate, "Y", "Y", {3, 4}},
                                               {GlobalCoordinate, "Z", "Z", {5, 6}}, {GlobalDisplacement, "U", "U", {0.5f, 0.5f}},
                                               {GlobalDisplacement, "V", "V", {1, 1}}})));
    // Without W the added positions stay zero.
    std::vector<char> image = encoded(stereo, true, Type3d);
    EXPECT_EQ(recordNames(image), (std::vector<std::string>{"X", "Y", "Z", "U", "V", "Xp", "Yp", "Zp"}));
    EXPECT_EQ(recordValues(image, "Xp"), (std::vector<float>{0, 0}));
    EXPECT_EQ(stereo.data(0)->numVariables(), 5u);

    // Planar sets add X + U and Y + V; an existing Xp keeps its values.
    stereo.data(0)->addVariable(Unknown, "Xp", "Xp");
    std::fill_n(stereo.data(0)->data(5), 2, 9.0f);
    image = encoded(stereo, true, Type2d);
    EXPECT_EQ(recordNames(image), (std::vector<std::string>{"X", "Y", "Z", "U", "V", "Xp", "Xp_1", "Yp"}));
    EXPECT_EQ(recordValues(image, "Xp"), (std::vector<float>{9, 9}));
    EXPECT_EQ(recordValues(image, "Xp_1"), (std::vector<float>{1.5f, 2.5f}));
    EXPECT_EQ(recordValues(image, "Yp"), (std::vector<float>{4, 5}));
}

TEST(MatV4, EmptySetsAndFirstOnly) {
    TemporaryDirectory directory;
    const std::filesystem::path path = directory.path / "empty.mat";
    ZelDataSet set;
    for (const bool firstOnly : {false, true}) {
        EXPECT_EQ(set.encodeMatV4(nullptr, true, firstOnly, Type3d), 0);
        EXPECT_TRUE(set.exportMatV4(path.string(), true, firstOnly, Type3d));
        EXPECT_EQ(fileContent(path), "");
    }
    set.addData(twoByThree());
    set.addData(twoByThree());
    EXPECT_EQ(set.encodeMatV4(nullptr, false, true, Type3d), 92);
    EXPECT_EQ(set.encodeMatV4(nullptr, false, false, Type3d), 92 + 96); // X_0 and Y_0 in area 1
    EXPECT_FALSE(set.exportMatV4((directory.path / "missing" / "set.mat").string(), false, false, Type3d));
}
