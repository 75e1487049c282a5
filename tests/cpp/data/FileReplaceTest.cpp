#include "orvex/data/FileReplace.h"

#include "data/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

using namespace orvex;
using orvex::testing::fileContent;
using orvex::testing::TemporaryDirectory;

namespace {

std::ptrdiff_t entryCount(const std::filesystem::path& directory) {
    return std::distance(std::filesystem::directory_iterator(directory), {});
}

} // namespace

TEST(FileReplace, ReplacesOnlyWhenTheWriteSucceeds) {
    TemporaryDirectory directory;
    const std::filesystem::path path = directory.path / "file.txt";
    std::ofstream(path) << "previous";

    EXPECT_FALSE(writeFileReplacing(path.string(), [](std::ostream& file) { return !(file << "partial"); }));
    EXPECT_EQ(fileContent(path), "previous");
    EXPECT_THROW(writeFileReplacing(path.string(),
                                    [](std::ostream& file) -> bool {
                                        file << "partial";
                                        throw std::runtime_error("stop");
                                    }),
                 std::runtime_error);
    EXPECT_EQ(fileContent(path), "previous");
    EXPECT_EQ(entryCount(directory.path), 1);

    EXPECT_TRUE(writeFileReplacing(path.string(), [](std::ostream& file) { return static_cast<bool>(file << "new"); }));
    EXPECT_EQ(fileContent(path), "new");
    EXPECT_EQ(entryCount(directory.path), 1);
}
