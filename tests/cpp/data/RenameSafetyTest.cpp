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
    const struct {
        const char* name;
        std::function<bool(int)> lock;
    } cases[] = {
        {"flock, exclusive", [](int d) { return ::flock(d, LOCK_EX) == 0; }},
        {"flock, shared", [](int d) { return ::flock(d, LOCK_SH) == 0; }},
        {"fcntl, write", [](int d) { return takeOfdLock(d, F_WRLCK); }},
        {"fcntl, read", [](int d) { return takeOfdLock(d, F_RDLCK); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const OpenFile target(directory.path / "file.out");
        const OpenFile other(directory.path / "other.out");
        EXPECT_FALSE(isLocked(target.descriptor, target.status()));
        {
            const OpenFile holder(directory.path / "other.out");
            ASSERT_TRUE(c.lock(holder.descriptor));
            EXPECT_FALSE(isLocked(target.descriptor, target.status()));
            EXPECT_TRUE(isLocked(other.descriptor, other.status()));
        }
        const OpenFile holder(directory.path / "file.out");
        ASSERT_TRUE(c.lock(holder.descriptor));
        EXPECT_TRUE(isLocked(target.descriptor, target.status()));
    }
}
