#include "orvex/data/RenameSafety.h"

#include "data/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <functional>

using namespace orvex;
using namespace orvex::testing;

namespace {

// A file opened by its own description, closed with the object.
struct OpenFile {
    explicit OpenFile(const std::filesystem::path& path) : descriptor(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~OpenFile() { ::close(descriptor); }
    struct stat status() const {
        struct stat result {};
        ::fstat(descriptor, &result);
        return result;
    }
    int descriptor;
};

bool takeOfdLock(int descriptor, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    return ::fcntl(descriptor, F_OFD_SETLK, &range) == 0;
}

} // namespace

// A lock held through another open file description is found, by flock or fcntl, shared
// or exclusive; one on another file is not.
TEST(RenameSafety, FindsLocksOfOtherDescriptionsOfTheFile) {
    TemporaryDirectory directory;
    std::ofstream(directory.path / "file.out") << "x";
    std::ofstream(directory.path / "other.out") << "y";
    const auto flockFound = [](const OpenFile& file) { return isFlockLocked(file.descriptor, file.status()); };
    const auto recordFound = [](const OpenFile& file) { return isRecordLocked(file.descriptor); };
    const struct {
        const char* name;
        std::function<bool(int)> lock;
        std::function<bool(const OpenFile&)> found;
    } cases[] = {
        {"flock, exclusive", [](int d) { return ::flock(d, LOCK_EX) == 0; }, flockFound},
        {"flock, shared", [](int d) { return ::flock(d, LOCK_SH) == 0; }, flockFound},
        {"fcntl, write", [](int d) { return takeOfdLock(d, F_WRLCK); }, recordFound},
        {"fcntl, read", [](int d) { return takeOfdLock(d, F_RDLCK); }, recordFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const OpenFile target(directory.path / "file.out");
        const OpenFile other(directory.path / "other.out");
        EXPECT_FALSE(c.found(target));
        {
            const OpenFile holder(directory.path / "other.out");
            ASSERT_TRUE(c.lock(holder.descriptor));
            EXPECT_FALSE(c.found(target));
            EXPECT_TRUE(c.found(other));
        }
        const OpenFile holder(directory.path / "file.out");
        ASSERT_TRUE(c.lock(holder.descriptor));
        EXPECT_TRUE(c.found(target));
    }
}
