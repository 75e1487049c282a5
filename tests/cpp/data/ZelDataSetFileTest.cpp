#include "orvex/data/ZelDataSet.h"

#include "data/AreaFixtures.h"
#include "data/ByteWriter.h"
#include "data/TestFiles.h"
#include "LogCapture.h"
#include "orvex/calibration/Calibration3D.h"
#include "orvex/data/ZelData.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::ByteWriter;
using orvex::testing::encodedBlock;
using orvex::testing::LogCapture;
using orvex::testing::fileContent;
using orvex::testing::makeArea;
using orvex::testing::namesOf;
using orvex::testing::ScopedFileSizeLimit;
using orvex::testing::TemporaryDirectory;
using orvex::testing::valuesOf;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kStandardMagic = 0xA251525A; // A2 "QRZ"
constexpr std::uint32_t kAlternativeMagic = 0xC3275B51;
constexpr std::uint32_t kVersion = 0x312E3030; // "1.00"
constexpr std::uint32_t kCountTag = 0xA0000002;
constexpr std::uint32_t kReferenceTag = 0xA0000003;
constexpr std::uint32_t kDeformedTag = 0xA0000004;
constexpr std::uint32_t kMetaDataTag = 0xA0000005;
constexpr std::uint32_t kAreaStartTag = 0xA0000101;

ZelData* planarArea(int rows, int columns, const std::string& title, float offset) {
    std::vector<float> x, sigma;
    for (int p = 0; p < rows * columns; ++p) {
        x.push_back(offset + static_cast<float>(p));
        sigma.push_back(p % 3 == 0 ? -1.0f : 0.25f);
    }
    return new ZelData(makeArea(rows, columns,
                                {{GlobalCoordinate, "x_c", "x [mm]", x},
                                 {Correlation, "sigma", "Sigma [\xC2\xB5m]", sigma}},
                                title));
}

std::vector<char> encoded(const ZelDataSet& set) {
    std::size_t size = 0;
    const std::unique_ptr<char[]> image(set.encode(size, false));
    EXPECT_NE(image, nullptr);
    return image ? std::vector<char>(image.get(), image.get() + size) : std::vector<char>();
}

bool decode(ZelDataSet& set, const std::vector<char>& image, bool alternativeMagic = false) {
    return set.decode(image.data(), static_cast<int>(image.size()), alternativeMagic);
}

// A file header with `count` areas and the given image names, up to the first area start.
ByteWriter header(std::uint32_t count, const std::u16string& reference, const std::u16string& deformed) {
    ByteWriter bytes;
    bytes.u32(kStandardMagic).u32(kVersion).u32(kCountTag).u32(count);
    bytes.u32(kReferenceTag).units(reference).u32(kDeformedTag).units(deformed);
    return bytes;
}

ByteWriter& append(ByteWriter& writer, const std::vector<char>& bytes) {
    writer.bytes.insert(writer.bytes.end(), bytes.begin(), bytes.end());
    return writer;
}

ByteWriter& metaData(ByteWriter& writer, const std::string& text, std::uint32_t length) {
    writer.u32(kMetaDataTag).u32(length);
    writer.bytes.insert(writer.bytes.end(), text.begin(), text.end());
    return writer;
}

void expectSameAreas(const ZelDataSet& actual, const ZelDataSet& expected) {
    ASSERT_EQ(actual.numData(), expected.numData());
    for (int i = 0; i < expected.numData(); ++i) {
        EXPECT_EQ(actual.data(i)->title(), expected.data(i)->title());
        EXPECT_EQ(namesOf(*actual.data(i)), namesOf(*expected.data(i)));
        EXPECT_EQ(actual.data(i)->numRows(), expected.data(i)->numRows());
        for (int v = 0; v < static_cast<int>(expected.data(i)->numVariables()); ++v)
            EXPECT_EQ(valuesOf(*actual.data(i), v), valuesOf(*expected.data(i), v));
    }
}

} // namespace

TEST(ZelDataSetFile, ExactLayoutAndSize) {
    ZelDataSet set;
    set.addData(planarArea(1, 2, "", 0));
    set.setDeformed("defor");
    const std::vector<char> block = encodedBlock(*set.data(0));
    ByteWriter expected = header(1, u"", u"defor");
    append(expected, block);
    metaData(expected, "null", 4);

    const std::vector<char> image = encoded(set);
    EXPECT_EQ(image.size(), 16 + 8 + (8 + 10) + block.size() + 8 + 4);
    EXPECT_EQ(image, expected.bytes);

    std::size_t size = 0;
    const std::unique_ptr<char[]> alternative(set.encode(size, true));
    EXPECT_EQ(std::vector<char>(alternative.get(), alternative.get() + 4), ByteWriter().u32(kAlternativeMagic).bytes);
}

TEST(ZelDataSetFile, RoundTripOfAreasNamesAndMetadata) {
    ZelDataSet set;
    set.addData(planarArea(2, 3, "Zone \xC3\x84", 0));
    set.addData(planarArea(3, 2, "\xE5\x8C\xBA\xE5\x9F\x9F \xF0\x9F\x98\x80", 100)); // CJK and an emoji (surrogate pair)
    set.addData(planarArea(1, 4, "", -50));
    set.setReference("r\xC3\xA9" "f\xC3\xA9rence.tif");
    set.setDeformed("\xE5\x8F\x98\xE5\xBD\xA2.tif");
    set.setUserMetaData({0, 1, 2, 255});
    set.setStepSizeForAoi(2, 7);

    const std::vector<char> image = encoded(set);
    std::size_t blocks = 0;
    for (int i = 0; i < set.numData(); ++i)
        blocks += set.data(i)->diskSize();
    const std::string metaDataText = R"({"aois":{"2":{"step_size":7}},"user_data":"AAEC/w=="})";
    // UTF-16 units: 13 for the reference name, 6 for the deformed one.
    EXPECT_EQ(image.size(), 16 + (8 + 26) + (8 + 12) + blocks + 8 + metaDataText.size());
    EXPECT_EQ(std::string(image.end() - metaDataText.size(), image.end()), metaDataText);

    ZelDataSet read;
    ASSERT_TRUE(decode(read, image));
    expectSameAreas(read, set);
    EXPECT_EQ(read.referenceImage(), set.referenceImage());
    EXPECT_EQ(read.deformedImage(), set.deformedImage());
    EXPECT_EQ(read.getUserMetaData(), set.getUserMetaData());
    EXPECT_EQ(read.stepSizeForAoi(2), 7);
    EXPECT_EQ(encoded(read), image);

    ZelDataSet fromString;
    EXPECT_TRUE(fromString.decode(std::string(image.begin(), image.end()), false));
    EXPECT_EQ(fromString.numData(), 3);
}

TEST(ZelDataSetFile, EmptySetRoundTrips) {
    ZelDataSet set;
    set.setReference("a.tif");
    set.setUserMetaData({7});
    const std::vector<char> image = encoded(set);
    ByteWriter expected = header(0, u"a.tif", u"");
    metaData(expected, R"({"user_data":"Bw=="})", 20);
    EXPECT_EQ(image, expected.bytes);

    ZelDataSet read;
    read.addData(planarArea(1, 2, "old", 0));
    ASSERT_TRUE(decode(read, image));
    EXPECT_EQ(read.numData(), 0);
    EXPECT_EQ(read.referenceImage(), "a.tif");
    EXPECT_EQ(read.getUserMetaData(), std::vector<std::uint8_t>{7});
}

TEST(ZelDataSetFile, MagicFlag) {
    struct Case {
        std::uint32_t magic;
        bool alternativeFlag;
        bool accepted;
    };
    const Case cases[] = {
        {kStandardMagic, false, true},
        {kAlternativeMagic, false, true},
        {kStandardMagic, true, false},
        {kAlternativeMagic, true, true},
    };
    ZelDataSet source;
    source.addData(planarArea(1, 2, "", 0));
    std::vector<char> image = encoded(source);
    LogCapture& log = LogCapture::instance();
    for (const Case& c : cases) {
        const std::vector<char> magic = ByteWriter().u32(c.magic).bytes;
        std::copy(magic.begin(), magic.end(), image.begin());
        ZelDataSet set;
        log.take();
        EXPECT_EQ(decode(set, image, c.alternativeFlag), c.accepted) << std::hex << c.magic;
        EXPECT_EQ(set.numData(), c.accepted ? 1 : 0);
        const std::vector<std::string> messages = log.take();
        if (c.accepted)
            EXPECT_TRUE(messages.empty());
        else
            EXPECT_EQ(messages, std::vector<std::string>{"Unknown file type. " + std::to_string(c.magic)});
    }
}

TEST(ZelDataSetFile, ReadsVariantsOfTheImage) {
    ZelDataSet source;
    source.addData(planarArea(1, 2, "first", 0));
    source.addData(planarArea(2, 2, "second", 10));
    source.addData(planarArea(1, 3, "third", 20));
    std::vector<std::vector<char>> blocks;
    for (int i = 0; i < 3; ++i)
        blocks.push_back(encodedBlock(*source.data(i)));
    std::vector<char> broken = blocks[1];
    broken[4 * 5] = 0x55; // the second block's variable count tag becomes unknown

    struct Case {
        const char* what;
        ByteWriter image;
        bool result;
        int areas;
        std::vector<std::string> messages;
        std::string reference;
        std::vector<std::uint8_t> userData;
    };
    auto withBlocks = [&](ByteWriter bytes, std::initializer_list<std::vector<char>> list) {
        for (const auto& block : list)
            append(bytes, block);
        return bytes;
    };
    ByteWriter trailerCut = withBlocks(header(1, u"r", u""), {blocks[0]});
    metaData(trailerCut, R"({"user_data":"YWJj"})", 1000);
    ByteWriter emptyTrailer = withBlocks(header(1, u"r", u""), {blocks[0]});
    emptyTrailer.u32(kMetaDataTag).u32(0xFFFFFFFF);
    ByteWriter reordered;
    reordered.u32(kStandardMagic).u32(kVersion).u32(kDeformedTag).units(u"d").u32(kCountTag).u32(2);
    reordered.u32(kReferenceTag).units(u"x").u32(kReferenceTag).units(u"r");
    append(reordered, blocks[0]);
    append(reordered, blocks[1]);
    ByteWriter version = withBlocks(header(1, u"r", u""), {blocks[0]});
    version.bytes[7] = '1';
    ByteWriter countless;
    countless.u32(kStandardMagic).u32(kVersion).u32(kReferenceTag).units(u"r").u32(kAreaStartTag).u32(0x12345678);
    ByteWriter unknownTag = header(1, u"r", u"");
    unknownTag.u32(0xA0000099);
    ByteWriter hugeCount = withBlocks(header(0x7FFFFFFF, u"r", u""), {blocks[0]});
    ByteWriter hugeName;
    hugeName.u32(kStandardMagic).u32(kVersion).u32(kReferenceTag).u32(0x7FFFFFFE).u32(0);
    ByteWriter threeBytes;
    threeBytes.bytes = {'\xA2', 'Q', 'R'};
    ByteWriter missingArea = withBlocks(header(2, u"r", u""), {blocks[0]});
    metaData(missingArea, "null", 4);
    ByteWriter metaDataTagWithAreas = header(1, u"r", u"");
    metaData(metaDataTagWithAreas, "null", 4);

    const std::string aoiFailure = "Could not read aoi.";
    const std::string wrongBlockHeader = "Not on variable start tag after aoi header. Likely wrong version.";
    const std::string wrongFileHeader = "Not on data tag after reading header. Likely wrong data file version.";
    const Case cases[] = {
        {"metadata length beyond the end", trailerCut, true, 1, {}, "r", {0x61, 0x62, 0x63}},
        {"metadata length FF FF FF FF", emptyTrailer, true, 1, {}, "r", {}},
        {"no trailer", withBlocks(header(1, u"r", u""), {blocks[0]}), true, 1, {}, "r", {}},
        {"header tags in another order", reordered, true, 2, {}, "r", {}},
        {"version 1.01", version, true, 1, {"Version mismatch, proceeding anyway..."}, "r", {}},
        {"no count tag", countless, true, 0, {}, "r", {}},
        {"fewer areas counted than stored", withBlocks(header(1, u"r", u""), {blocks[0], blocks[1]}), true, 1, {}, "r", {}},
        {"more areas counted than stored", missingArea, false, 1, {wrongBlockHeader, aoiFailure}, "", {}},
        {"second of three areas broken", withBlocks(header(3, u"r", u""), {blocks[0], broken, blocks[2]}), false, 1,
         {wrongBlockHeader, aoiFailure}, "", {}},
        {"unknown header tag", unknownTag, false, -1, {wrongFileHeader}, "", {}},
        {"metadata tag before counted areas", metaDataTagWithAreas, false, -1, {wrongFileHeader}, "", {}},
        {"area count beyond the buffer", hugeCount, false, 1, {aoiFailure}, "", {}},
        {"name longer than the buffer", hugeName, false, -1, {}, "", {}},
        {"zip file", ByteWriter().u32(0x504B0304).u32(0), false, -1, {"Unknown file type. 1347093252"}, "", {}},
        {"three bytes", threeBytes, false, -1, {}, "", {}},
    };
    LogCapture& log = LogCapture::instance();
    for (const Case& c : cases) {
        ZelDataSet set;
        set.addData(planarArea(1, 1, "untouched", 0));
        log.take();
        EXPECT_EQ(decode(set, c.image.bytes), c.result) << c.what;
        EXPECT_EQ(log.severities, std::vector<plog::Severity>(c.messages.size(), plog::error)) << c.what;
        EXPECT_EQ(log.take(), c.messages) << c.what;
        if (c.areas < 0) { // failed before the areas: the set is unchanged
            ASSERT_EQ(set.numData(), 1) << c.what;
            EXPECT_EQ(set.data(0)->title(), "untouched") << c.what;
            continue;
        }
        EXPECT_EQ(set.numData(), c.areas) << c.what;
        EXPECT_EQ(set.referenceImage(), c.reference) << c.what;
        EXPECT_EQ(set.getUserMetaData(), c.userData) << c.what;
    }
}

TEST(ZelDataSetFile, EveryTruncationBeforeTheTrailerFails) {
    ZelDataSet source;
    source.addData(planarArea(2, 2, "a", 0));
    source.addData(planarArea(1, 3, "b", 5));
    source.setReference("ref");
    const std::vector<char> image = encoded(source);
    const std::size_t trailerStart = image.size() - 12;
    for (std::size_t length = 0; length < image.size(); ++length) {
        ZelDataSet set;
        EXPECT_EQ(set.decode(image.data(), static_cast<int>(length), false), length >= trailerStart) << length;
    }
}

TEST(ZelDataSetFile, HeadPlausibleFollowsTheDecoderAsFarAsTheHeadGoes) {
    ZelDataSet source;
    source.addData(planarArea(2, 2, "a", 0));
    source.setReference("reference.tif");
    const std::vector<char> image = encoded(source);
    const auto plausible = [](const std::vector<char>& head, std::uint64_t size) {
        return ZelDataSet::headPlausible(head.data(), static_cast<int>(head.size()), size, false);
    };
    // Every head of a valid image is plausible, whatever its length.
    for (std::size_t length = 0; length <= image.size(); ++length)
        EXPECT_TRUE(plausible({image.begin(), image.begin() + static_cast<long>(length)}, image.size())) << length;

    const std::u16string name(40, u'n');
    const std::vector<char> longName = header(1, name, u"").bytes; // the reference name ends at byte 104
    const std::vector<char> cutInName(longName.begin(), longName.begin() + 30);
    const std::vector<char> zeros(64, '\0');
    const std::vector<char> wrongTag = header(1, u"a", u"b").u32(0xA0000777).bytes;
    struct Case {
        const char* what;
        std::vector<char> head;
        std::uint64_t size;
        bool expected;
    } cases[] = {
        {"zeros", zeros, 1 << 30, false},
        {"a name cut by the head", cutInName, 1000, true},
        {"a name longer than the image", cutInName, 103, false},
        {"the whole image, cut in its header", cutInName, cutInName.size(), false},
        {"an unknown tag", wrongTag, 1000, false},
        {"an image of 2 GiB", image, std::uint64_t{1} << 31, false},
        {"a head longer than the image", image, image.size() - 1, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(plausible(c.head, c.size), c.expected) << c.what;
}

TEST(ZelDataSetFile, SaveAndLoad) {
    TemporaryDirectory directory;
    const fs::path path = directory.path / "st\xC3\xA9p-0_0.out";
    const nlohmann::json calibration = nlohmann::json::parse(
        R"({"cameras":{"1":{"distortion":{"cs_type":4,"values":[0.5,0.25,0.0,0.0,0.0,0.0,0.0,0.0,0.0,)"
        R"(1.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]},"intrinsics":[640.0,512.0,1800.0,1800.5,0.0],"type":"VRO"}},)"
        R"("magnifications":{"1":[0.5,0.25,1.0]},"residualerrors":{"-1":0.125}})");
    ZelDataSet set;
    set.addData(planarArea(3, 3, "area", 1));
    set.setCalibration(*Calibration3D::fromJson(calibration));
    ASSERT_TRUE(set.save(path.string()));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path), fs::directory_iterator()), 1);

    ZelDataSet read;
    ASSERT_TRUE(read.load(path.string()));
    expectSameAreas(read, set);
    const std::vector<char> image = encoded(read);
    const std::string text(image.begin(), image.end());
    EXPECT_NE(text.find("\"calibration\":" + calibration.dump()), std::string::npos);
    EXPECT_EQ(fileContent(path), text);

    // Saving over an existing file replaces it; saving through a link replaces
    // the file it points to and keeps the link.
    const fs::path link = directory.path / "link.out";
    fs::create_symlink(path.filename(), link);
    read.setReference("new");
    ASSERT_TRUE(read.save(link.string()));
    EXPECT_TRUE(fs::is_symlink(link));
    ZelDataSet again;
    ASSERT_TRUE(again.load(path.string()));
    EXPECT_EQ(again.referenceImage(), "new");
}

TEST(ZelDataSetFile, LoadReadsWhatDecodeReads) {
    // Pieces smaller and larger than the reader's buffer, and cuts of the file anywhere.
    TemporaryDirectory directory;
    const fs::path path = directory.path / "set.out";
    ZelDataSet many;
    for (int a = 0; a < 3; ++a)
        many.addData(planarArea(90 + a, 70, "area \xC3\xA9 " + std::to_string(a), static_cast<float>(a)));
    many.setReference("reference");
    many.setUserMetaData({1, 2, 3});
    ZelDataSet small;
    small.addData(planarArea(2, 2, "a", 0));
    small.addData(planarArea(1, 3, "b", 5));
    for (const ZelDataSet* set : {&many, &small}) {
        const std::vector<char> image = encoded(*set);
        const std::size_t step = image.size() > 1000 ? 997 : 1;
        for (std::size_t length = 0; length <= image.size(); length += step) {
            std::ofstream(path, std::ios::binary | std::ios::trunc).write(image.data(), static_cast<std::streamsize>(length));
            ZelDataSet fromMemory, fromFile;
            const bool decoded = fromMemory.decode(image.data(), static_cast<int>(length), false);
            EXPECT_EQ(fromFile.load(path.string()), decoded) << length;
            EXPECT_EQ(encoded(fromFile), encoded(fromMemory)) << length;
        }
        ZelDataSet loaded;
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(image.data(), static_cast<std::streamsize>(image.size()));
        ASSERT_TRUE(loaded.load(path.string()));
        EXPECT_EQ(encoded(loaded), image);
    }
}

TEST(ZelDataSetFile, AreasWithLargeVariablesRoundTrip) {
    // Variables of 4,000,000 and 2,160,000 bytes: blocks of whole huge pages and blocks with a small-page tail.
    TemporaryDirectory directory;
    const fs::path path = directory.path / "large.out";
    ZelDataSet set;
    set.addData(planarArea(1000, 1000, "whole pages", 0));
    set.addData(planarArea(600, 900, "tail", 7));
    ASSERT_TRUE(set.save(path.string()));
    const std::vector<char> image = encoded(set);
    EXPECT_EQ(fileContent(path), std::string(image.begin(), image.end()));

    ZelDataSet read;
    ASSERT_TRUE(read.load(path.string()));
    expectSameAreas(read, set);
    const ZelData copy(*read.data(1));
    EXPECT_EQ(valuesOf(copy, 0), valuesOf(*set.data(1), 0));
}

TEST(ZelDataSetFile, FailedSaveKeepsTheExistingFile) {
    TemporaryDirectory directory;
    const fs::path path = directory.path / "kept.out";
    std::ofstream(path) << "previous";

    ZelDataSet unwritable; // an area without variables cannot be written
    unwritable.addData(new ZelData(3, 3, 0, "empty"));
    EXPECT_FALSE(unwritable.save(path.string()));
    EXPECT_EQ(fileContent(path), "previous");

    ZelDataSet set;
    set.addData(planarArea(1, 2, "", 0));
    {
        // A write that fails after the file was opened: the file size limit is exceeded.
        ScopedFileSizeLimit limit(64);
        EXPECT_FALSE(set.save(path.string()));
    }
    EXPECT_EQ(fileContent(path), "previous");

    // Metadata that cannot be written as JSON (a variable name that is not UTF-8)
    // stops the save before anything is written.
    ZelDataSet badName;
    badName.addData(new ZelData(makeArea(1, 1, {{Strain, "e\xFF", "", {}}})));
    StrainVariableIds ids;
    ids.exx = 0;
    badName.setStrainVariablesAdditionalInfo({ids}, StrainComputationSettings());
    EXPECT_THROW(badName.save(path.string()), nlohmann::json::type_error);
    EXPECT_EQ(fileContent(path), "previous");

    EXPECT_FALSE(set.save((directory.path / "missing" / "x.out").string()));
    EXPECT_FALSE(set.save(directory.path.string())); // a directory is not replaced
    EXPECT_TRUE(fs::is_directory(directory.path));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path), fs::directory_iterator()), 1);
}

TEST(ZelDataSetFile, SaveWritesIntoAFifoInPlace) {
    TemporaryDirectory directory;
    const fs::path fifo = directory.path / "pipe.out";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ZelDataSet set;
    set.addData(planarArea(2, 3, "area", 0));

    EXPECT_FALSE(set.save(fifo.string())); // no reader: refused rather than waited for
    EXPECT_TRUE(fs::is_fifo(fifo));

    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(set.save(fifo.string()));
    EXPECT_TRUE(fs::is_fifo(fifo));
    std::vector<char> received(1 << 16);
    const ssize_t count = ::read(reader, received.data(), received.size());
    ::close(reader);
    ASSERT_GT(count, 0);
    received.resize(static_cast<std::size_t>(count));
    EXPECT_EQ(received, encoded(set));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path), fs::directory_iterator()), 1);
}

TEST(ZelDataSetFile, SaveRefusesASocket) {
    TemporaryDirectory directory;
    const fs::path path = directory.path / "socket.out";
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ZelDataSet set;
    set.addData(planarArea(2, 2, "", 0));
    EXPECT_FALSE(set.save(path.string()));
    EXPECT_TRUE(fs::is_socket(path));
    ::close(socket);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path), fs::directory_iterator()), 1);
}

// Every function that opens a file by name refuses a name with an embedded NUL before
// anything is opened: the file named by the part before the NUL keeps its content and
// nothing is created beside it.
TEST(ZelDataSetFile, NamesWithANulByteAreRefused) {
    TemporaryDirectory directory;
    const fs::path real = directory.path / "real.out";
    ZelDataSet set;
    set.addData(planarArea(2, 2, "", 0));
    ASSERT_TRUE(set.save(real.string()));
    const std::string before = fileContent(real);
    const std::string name = real.string() + std::string(1, '\0') + "junk";

    ZelDataSet other;
    other.addData(planarArea(3, 3, "other", 5));
    int progress = -7;
    auto exportAs = [&](ZelDataSet::Format format) {
        return [&other, &name, &progress, format] {
            return other.exportAs(name, format, progress, Type2d, nullptr, false, false, false);
        };
    };
    ZelDataSet loaded;
    const struct {
        const char* function;
        std::function<bool()> call;
    } cases[] = {
        {"save", [&] { return other.save(name); }},
        {"exportAs, plain text", exportAs(ZelDataSet::PlainText)},
        {"exportAs, Tecplot", exportAs(ZelDataSet::Tecplot)},
        {"exportAs, CSV", exportAs(ZelDataSet::Csv)},
        {"exportAs, STL", exportAs(ZelDataSet::Stl)},
        {"exportAs, MAT", exportAs(ZelDataSet::MatV4)},
        {"exportSTL", [&] { return other.exportSTL(name, false, false); }},
        {"exportMatV4", [&] { return other.exportMatV4(name, true, false, Type2d); }},
        {"load", [&] { return loaded.load(name); }},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.function);
        EXPECT_FALSE(cs.call());
        EXPECT_EQ(fileContent(real), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(directory.path), fs::directory_iterator()), 1);
    }
    EXPECT_EQ(progress, -7);
    EXPECT_EQ(loaded.numData(), 0);
}

TEST(ZelDataSetFile, LoadRefusesWhatIsNotAReadableDataSetFile) {
    TemporaryDirectory directory;
    const fs::path empty = directory.path / "empty.out";
    std::ofstream(empty).flush();
    const fs::path text = directory.path / "text.out";
    std::ofstream(text) << "not a data set";
    const fs::path huge = directory.path / "huge.out"; // sparse: takes no disk space
    std::ofstream(huge).flush();
    fs::resize_file(huge, std::uintmax_t{1} << 31);
    for (const fs::path& path :
         {directory.path / "missing.out", directory.path, empty, text, huge, fs::path("/dev/null")}) {
        ZelDataSet set;
        EXPECT_FALSE(set.load(path.string())) << path;
    }
}
