#include "orvex/data/FileReplace.h"

#include "data/TestFiles.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>

using namespace orvex;
using orvex::testing::fileContent;
using orvex::testing::ScopedFileSizeLimit;
using orvex::testing::ScopedUmask;
using orvex::testing::TemporaryDirectory;
namespace fs = std::filesystem;

namespace {

std::ptrdiff_t entryCount(const fs::path& directory) {
    return std::distance(fs::directory_iterator(directory), {});
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

bool writeText(std::ostream& file, const std::string& text) { return static_cast<bool>(file << text); }

// What a watcher process saw of the files beside the target while a write ran.
enum WatchResult { SawOnlyPrivateFiles = 0, SawAReadableFile = 1, SawNoTemporaryFile = 2 };

// Polls `directory` until `done` reaches its end, checking every entry other than
// `target` for permissions beyond its owner's; reports the first temporary file seen
// by writing a byte to `seen`. Runs in a child process, so it uses plain system calls.
int watchDirectory(const char* directory, const char* target, int seen, int done) {
    bool sawTemporary = false, sawReadable = false;
    pollfd end{done, POLLIN, 0};
    while (::poll(&end, 1, 0) == 0) {
        DIR* listing = ::opendir(directory);
        if (!listing)
            return SawNoTemporaryFile;
        while (const dirent* entry = ::readdir(listing)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 ||
                std::strcmp(entry->d_name, target) == 0)
                continue;
            struct stat status {};
            if (::fstatat(::dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                continue; // renamed or removed meanwhile
            sawReadable = sawReadable || (status.st_mode & 077) != 0;
            if (!sawTemporary && ::write(seen, "x", 1) == 1)
                sawTemporary = true;
        }
        ::closedir(listing);
    }
    return sawReadable ? SawAReadableFile : sawTemporary ? SawOnlyPrivateFiles : SawNoTemporaryFile;
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

// However the write fails, the temporary file goes and the target stays as it was.
TEST(FileReplace, NoTemporaryFileIsLeftAfterAFailure) {
    const std::string large(1 << 20, 'x');
    struct Case {
        const char* name;
        std::function<bool(std::ostream&, const fs::path& target)> write;
        bool throws;
    } cases[] = {
        {"the callback fails", [](std::ostream& file, const fs::path&) { return !writeText(file, "partial"); },
         false},
        {"the callback throws",
         [](std::ostream& file, const fs::path&) -> bool {
             writeText(file, "partial");
             throw std::runtime_error("stop");
         },
         true},
        {"a write fails beyond the file size limit",
         [&large](std::ostream& file, const fs::path&) {
             ScopedFileSizeLimit limit(1 << 16);
             return writeText(file, large) && static_cast<bool>(file.flush());
         },
         false},
        {"the rename fails: a directory took the target's place",
         [](std::ostream& file, const fs::path& target) {
             fs::remove(target);
             fs::create_directories(target / "inside");
             return writeText(file, "complete");
         },
         false},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        TemporaryDirectory directory;
        const fs::path target = directory.path / "file.txt";
        std::ofstream(target) << "previous";
        auto write = [&](std::ostream& file) { return cs.write(file, target); };
        if (cs.throws)
            EXPECT_THROW(writeFileReplacing(target.string(), write), std::runtime_error);
        else
            EXPECT_FALSE(writeFileReplacing(target.string(), write));
        EXPECT_EQ(entryCount(directory.path), 1);
        if (fs::is_regular_file(target)) {
            EXPECT_EQ(fileContent(target), "previous");
        }
    }
}

// The replaced file keeps the target's mode, also through a symbolic link; a new file
// gets 0666 less the umask.
TEST(FileReplace, FinalMode) {
    struct Case {
        const char* name;
        int existingMode; // -1: no target yet
        mode_t umask;
        bool throughLink;
        mode_t expected;
    } cases[] = {
        {"private target", 0600, 022, false, 0600},
        {"group-readable target", 0640, 077, false, 0640},
        {"target readable by all", 0644, 077, false, 0644},
        {"executable target", 0755, 022, false, 0755},
        {"private target through a link", 0600, 022, true, 0600},
        {"new file, umask 022", -1, 022, false, 0644},
        {"new file, umask 027", -1, 027, false, 0640},
        {"new file, umask 077", -1, 077, false, 0600},
        {"new file, umask 0", -1, 0, false, 0666},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        TemporaryDirectory directory;
        const fs::path target = directory.path / "file.txt";
        if (cs.existingMode >= 0) {
            std::ofstream(target) << "previous";
            fs::permissions(target, static_cast<fs::perms>(cs.existingMode));
        }
        const fs::path link = directory.path / "link.txt";
        if (cs.throughLink)
            fs::create_symlink(target, link);
        {
            ScopedUmask mask(cs.umask);
            ASSERT_TRUE(writeFileReplacing((cs.throughLink ? link : target).string(),
                                           [](std::ostream& file) { return writeText(file, "new"); }));
        }
        EXPECT_EQ(modeOf(target), cs.expected);
        EXPECT_EQ(fileContent(target), "new");
        EXPECT_EQ(fs::is_symlink(link), cs.throughLink);
        EXPECT_EQ(entryCount(directory.path), cs.throughLink ? 2 : 1);
    }
}

// Another process that watches the directory while a large write runs never finds a
// file beside a private target that others could read.
TEST(FileReplace, TemporaryFileIsPrivateWhileTheWriteRuns) {
    TemporaryDirectory directory;
    const fs::path target = directory.path / "private.out";
    std::ofstream(target) << "previous";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    ScopedUmask mask(022);

    int seen[2], done[2];
    ASSERT_EQ(::pipe(seen), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t watcher = ::fork();
    ASSERT_GE(watcher, 0);
    if (watcher == 0) {
        ::close(seen[0]);
        ::close(done[1]);
        ::_exit(watchDirectory(directory.path.c_str(), "private.out", seen[1], done[0]));
    }
    ::close(seen[1]);
    ::close(done[0]);

    const std::string block(1 << 20, 'x');
    const int blocks = 64;
    const bool written = writeFileReplacing(target.string(), [&](std::ostream& file) {
        for (int i = 0; i < blocks; ++i) {
            file << block;
            if (i == blocks / 2) {
                // Halfway, the watcher must have seen the temporary file.
                file.flush();
                pollfd report{seen[0], POLLIN, 0};
                char byte;
                if (::poll(&report, 1, 20000) == 1)
                    (void)::read(seen[0], &byte, 1);
            }
        }
        return static_cast<bool>(file);
    });
    ::close(done[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(watcher, &status, 0), watcher);
    ::close(seen[0]);
    EXPECT_TRUE(written);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), SawOnlyPrivateFiles);
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_EQ(fs::file_size(target), block.size() * blocks);
    EXPECT_EQ(entryCount(directory.path), 1);
}
