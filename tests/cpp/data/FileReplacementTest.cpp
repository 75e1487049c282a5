#include "orvex/data/FileReplacement.h"

#include "data/AclFixtures.h"
#include "data/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

using namespace orvex;
using namespace orvex::testing;
namespace fs = std::filesystem;

namespace {

std::set<std::string> entries(const fs::path& directory) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

bool writeText(std::ostream& file, const std::string& text) { return static_cast<bool>(file << text); }

std::error_code replaceWith(const fs::path& path, const std::string& text) {
    return FileReplacement(path.string()).write([&](std::ostream& file) { return writeText(file, text); });
}

std::error_code errorOf(int number) { return {number, std::generic_category()}; }

// A socket bound at `path`, closed with the object; the bound name stays.
struct BoundSocket {
    explicit BoundSocket(const fs::path& path) : descriptor(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound = ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~BoundSocket() { ::close(descriptor); }
    int descriptor;
    bool bound;
};

// Runs `action` in a child process as the user and group `id`, from `folder`.
int runAs(uid_t id, const fs::path& folder, const std::function<bool()>& action) {
    const pid_t child = ::fork();
    if (child == 0) {
        const bool done = ::chdir(folder.c_str()) == 0 && ::setgroups(0, nullptr) == 0 && ::setgid(id) == 0 &&
                          ::setuid(id) == 0 && action();
        ::_exit(done ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// What is not a regular file is written in place (FIFO, character device) or refused
// untouched, also when reached through a link; the write function of a refused target
// never runs, and no temporary file is left.
TEST(FileReplacement, TargetsThatAreNotRegularFiles) {
    struct Case {
        const char* name;
        std::function<bool(const fs::path&)> make; // false: not possible here
        std::error_code expected;
        fs::file_type typeAfter;
    } cases[] = {
        {"a FIFO without a reader", [](const fs::path& p) { return ::mkfifo(p.c_str(), 0600) == 0; },
         errorOf(ENXIO), fs::file_type::fifo},
        {"a directory", [](const fs::path& p) { return fs::create_directory(p); }, errorOf(EISDIR),
         fs::file_type::directory},
        {"a character device like /dev/null",
         [](const fs::path& p) { return ::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; }, {},
         fs::file_type::character},
        {"a block device", [](const fs::path& p) { return ::mknod(p.c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0; },
         errorOf(EOPNOTSUPP), fs::file_type::block},
    };
    for (const Case& c : cases) {
        for (const bool throughLink : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (throughLink ? " through a link" : ""));
            TemporaryDirectory directory;
            const fs::path target = directory.path / "target.out";
            if (!c.make(target)) {
                std::printf("skipped: %s cannot be made here\n", c.name);
                continue;
            }
            const fs::path link = directory.path / "link.out";
            fs::create_symlink(target, link);
            bool called = false;
            const std::error_code error = FileReplacement((throughLink ? link : target).string())
                                              .write([&](std::ostream& file) { return called = writeText(file, "x"); });
            EXPECT_EQ(error, c.expected);
            EXPECT_EQ(called, !c.expected);
            EXPECT_EQ(fs::symlink_status(target).type(), c.typeAfter);
            EXPECT_TRUE(fs::is_symlink(link));
            EXPECT_EQ(entries(directory.path), (std::set<std::string>{"link.out", "target.out"}));
        }
    }
}

TEST(FileReplacement, ASocketIsRefusedWithoutBeingOpened) {
    TemporaryDirectory directory;
    const BoundSocket socket(directory.path / "socket.out");
    ASSERT_TRUE(socket.bound);
    EXPECT_EQ(replaceWith(directory.path / "socket.out", "x"), errorOf(ENXIO));
    EXPECT_TRUE(fs::is_socket(directory.path / "socket.out"));
}

TEST(FileReplacement, AFifoWithAReaderIsWrittenInPlace) {
    TemporaryDirectory directory;
    const fs::path fifo = directory.path / "pipe.out";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(fifo, directory.path / "link.out");
    const std::string text(1 << 20, 'p'); // more than the pipe holds: the reader must take part
    std::string received;
    std::thread reader([&] { received = fileContent(fifo); });
    // Until the reader has opened the FIFO, a write is refused rather than waited for.
    std::error_code error;
    do
        error = replaceWith(directory.path / "link.out", text);
    while (error == errorOf(ENXIO));
    reader.join();
    EXPECT_FALSE(error);
    EXPECT_EQ(received, text);
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(FileReplacement, NamesThatCannotBeWritten) {
    TemporaryDirectory directory;
    fs::create_directory(directory.path / "folder");
    fs::create_symlink("loop.out", directory.path / "loop.out");
    const struct {
        std::string name;
        std::error_code expected;
    } cases[] = {
        {(directory.path / "file.out").string() + std::string(1, '\0') + "x", errorOf(EINVAL)},
        {"", errorOf(ENOENT)},
        {(directory.path / "missing" / "file.out").string(), errorOf(ENOENT)},
        {(directory.path / "folder").string() + "/", errorOf(EISDIR)},
        {(directory.path / "folder" / "..").string(), errorOf(EISDIR)},
        {(directory.path / "new.out").string() + "/", errorOf(EISDIR)},
        {(directory.path / "loop.out").string(), errorOf(ELOOP)},
        {(directory.path / std::string(256, 'n')).string(), errorOf(ENAMETOOLONG)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FileReplacement replacement(c.name);
        EXPECT_EQ(replacement.error(), c.expected);
    }
    EXPECT_EQ(entries(directory.path), (std::set<std::string>{"folder", "loop.out"}));
    EXPECT_TRUE(fs::is_empty(directory.path / "folder"));
}

// Through a link to a name that holds nothing yet, the file is made where the link points.
TEST(FileReplacement, ALinkToANewNameMakesTheFileItNames) {
    TemporaryDirectory directory;
    fs::create_directory(directory.path / "data");
    fs::create_symlink("data/new.out", directory.path / "link.out");
    ASSERT_FALSE(replaceWith(directory.path / "link.out", "new"));
    EXPECT_TRUE(fs::is_symlink(directory.path / "link.out"));
    EXPECT_EQ(fileContent(directory.path / "data" / "new.out"), "new");
    EXPECT_EQ(entries(directory.path / "data"), std::set<std::string>{"new.out"});
}

// Why a write failed: the failed write's errno, or EIO for a write function that gave up.
TEST(FileReplacement, ReportsWhyTheWriteFailed) {
    TemporaryDirectory directory;
    const fs::path target = directory.path / "file.out";
    std::ofstream(target) << "previous";
    EXPECT_EQ(FileReplacement(target.string()).write([](std::ostream&) { return false; }), errorOf(EIO));
    {
        const ScopedFileSizeLimit limit(1 << 16);
        EXPECT_EQ(replaceWith(target, std::string(1 << 20, 'x')), errorOf(EFBIG));
    }
    EXPECT_EQ(fileContent(target), "previous");
    EXPECT_EQ(entries(directory.path), std::set<std::string>{"file.out"});
}

// The file the write replaces can be read first, through the link that names it; a FIFO is
// never opened for reading, a new name has nothing to read.
TEST(FileReplacement, OpensOnlyARegularTargetForReading) {
    TemporaryDirectory directory;
    std::ofstream(directory.path / "file.out") << "archive";
    fs::create_symlink("file.out", directory.path / "link.out");
    ASSERT_EQ(::mkfifo((directory.path / "pipe.out").c_str(), 0600), 0);

    FileReplacement replacement((directory.path / "link.out").string());
    const int descriptor = replacement.openTargetForReading();
    ASSERT_GE(descriptor, 0);
    char text[16] = {};
    EXPECT_EQ(::read(descriptor, text, sizeof text), 7);
    ::close(descriptor);
    EXPECT_STREQ(text, "archive");
    for (const char* name : {"pipe.out", "new.out"}) {
        errno = 0;
        EXPECT_EQ(FileReplacement((directory.path / name).string()).openTargetForReading(), -1) << name;
        EXPECT_EQ(errno, ENOENT) << name;
    }
}

// Whenever the target's name fits, the temporary file's name fits too: the part taken from
// the target is cut at a character boundary.
TEST(FileReplacement, LongNames) {
    const std::string names[] = {std::string(250, 'a') + ".out", std::string(251, 'b') + ".out",
                                 // 2-byte and 3-byte characters: 254 and 253 bytes
                                 [] {
                                     std::string name;
                                     for (int i = 0; i < 125; ++i)
                                         name += "\xC3\xA9";
                                     return name + ".out";
                                 }(),
                                 [] {
                                     std::string name;
                                     for (int i = 0; i < 83; ++i)
                                         name += "\xE2\x82\xAC";
                                     return name + ".out";
                                 }()};
    for (const std::string& name : names) {
        for (const bool exists : {false, true}) {
            SCOPED_TRACE(std::to_string(name.size()) + " bytes" + (exists ? ", replaced" : ", new"));
            TemporaryDirectory directory;
            const fs::path target = directory.path / name;
            if (exists)
                std::ofstream(target) << "previous";
            std::set<std::string> during;
            const std::error_code error = FileReplacement(target.string()).write([&](std::ostream& file) {
                during = entries(directory.path);
                return writeText(file, "new");
            });
            EXPECT_FALSE(error) << error.message();
            EXPECT_EQ(fileContent(target), "new");
            EXPECT_EQ(entries(directory.path), std::set<std::string>{name});
            during.erase(name);
            ASSERT_EQ(during.size(), 1u);
            const std::string temporary = *during.begin();
            const std::size_t stem = temporary.rfind(".tmp-");
            ASSERT_NE(stem, std::string::npos);
            EXPECT_LE(temporary.size(), 255u);
            EXPECT_EQ(temporary.size(), stem + 11);
            EXPECT_EQ(name.compare(0, stem, temporary, 0, stem), 0) << temporary;
            EXPECT_NE(static_cast<unsigned char>(name[stem]) & 0xC0, 0x80) << "cut inside a character";
        }
    }
}

// A new file gets what a plain open(0666) in its folder gets, with or without a default ACL
// and whatever the umask.
TEST(FileReplacement, NewFileGetsThePermissionsOfAPlainCreate) {
    const std::string defaultAcls[] = {
        "",
        aclBytes({{AclUserObj, 6}, {AclGroupObj, 6}, {AclOther, 0}}),
        aclBytes({{AclUserObj, 6}, {AclGroupObj, 6}, {AclMask, 4}, {AclOther, 4}}),
        aclBytes({{AclUserObj, 7}, {AclUser, 6, 1}, {AclGroupObj, 4}, {AclMask, 6}, {AclOther, 0}}),
    };
    const ScopedUmask mask(022);
    for (const std::string& defaultAcl : defaultAcls) {
        SCOPED_TRACE(defaultAcl.size());
        TemporaryDirectory directory;
        if (!defaultAcl.empty() && !setAcl(directory.path, kDefaultAclAttribute, defaultAcl)) {
            std::printf("skipped: no POSIX ACLs on this file system\n");
            continue;
        }
        ASSERT_FALSE(replaceWith(directory.path / "new.out", "new"));
        EXPECT_EQ(permissionsOf(directory.path / "new.out"), plainlyCreated(directory.path));
    }
}

// A replaced file keeps its ACL, named entries and mask included; a file without one gains
// none from the folder's default ACL.
TEST(FileReplacement, ReplacedFileKeepsItsAccessAcl) {
    const std::string namedEntries =
        aclBytes({{AclUserObj, 6}, {AclUser, 6, 1}, {AclGroupObj, 4}, {AclMask, 6}, {AclOther, 0}});
    const std::string targetAcls[] = {
        namedEntries,
        aclBytes({{AclUserObj, 6}, {AclUser, 7, 2}, {AclGroupObj, 6}, {AclGroup, 4, 3}, {AclMask, 4}, {AclOther, 4}}),
        "", // none
    };
    for (const std::string& targetAcl : targetAcls) {
        SCOPED_TRACE(targetAcl.size());
        TemporaryDirectory directory;
        if (!setAcl(directory.path, kDefaultAclAttribute, namedEntries))
            GTEST_SKIP() << "no POSIX ACLs on this file system";
        const fs::path target = directory.path / "file.out";
        std::ofstream(target) << "previous";
        if (targetAcl.empty()) {
            ASSERT_EQ(::removexattr(target.c_str(), kAccessAclAttribute), 0);
            fs::permissions(target, static_cast<fs::perms>(0640));
        } else {
            ASSERT_TRUE(setAcl(target, kAccessAclAttribute, targetAcl));
        }
        const Permissions before = permissionsOf(target);
        ASSERT_FALSE(replaceWith(target, "new"));
        EXPECT_EQ(permissionsOf(target), before);
        EXPECT_EQ(fileContent(target), "new");
    }
}

// As root: a replaced file keeps its owner and group, and its set-user-ID bit with them. A
// user who may not write the file is refused, as by a plain open, and the file stays as it is.
TEST(FileReplacement, OwnerGroupAndSetUserIdBit) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    constexpr uid_t owner = 4321, saver = 1234;
    TemporaryDirectory directory;
    const fs::path folder = directory.path / "shared";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::all);
    const fs::path target = folder / "tool.out";
    std::ofstream(target) << "previous";
    ASSERT_EQ(::chown(target.c_str(), owner, owner + 1), 0);
    ASSERT_EQ(::chmod(target.c_str(), 04755), 0);
    struct stat status {};

    EXPECT_EQ(runAs(saver, folder, [] { return replaceWith("tool.out", "by another user") == errorOf(EACCES); }), 0);
    EXPECT_EQ(fileContent(target), "previous");
    EXPECT_EQ(entries(folder), std::set<std::string>{"tool.out"});

    ASSERT_FALSE(replaceWith(target, "by root"));
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(fileContent(target), "by root");
    EXPECT_EQ(status.st_uid, owner);
    EXPECT_EQ(status.st_gid, owner + 1);
    EXPECT_EQ(status.st_mode & 07777, 04755u);
}

namespace {

ino_t inodeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

} // namespace

// Where a rename would lose what a write into the file keeps, the complete content is
// copied into the file: the same inode holds the new contents, with what it carried.
TEST(FileReplacement, WritesInPlaceWhereARenameWouldLoseSomething) {
    struct Prepared {
        fs::path name;               // what the write is given; empty: the case cannot be made here
        std::function<void()> holds; // checks what must still hold afterwards
    };
    struct Case {
        const char* name;
        std::function<Prepared(const fs::path& target)> prepare;
    } cases[] = {
        {"a second name",
         [](const fs::path& target) {
             const fs::path other = target.parent_path() / "other-name";
             fs::create_hard_link(target, other);
             return Prepared{target, [other] { EXPECT_EQ(fileContent(other), "new"); }};
         }},
        {"an extended attribute of the user",
         [](const fs::path& target) {
             if (::setxattr(target.c_str(), "user.origin", "camera", 6, 0) != 0)
                 return Prepared{};
             return Prepared{target, [target] {
                                 char value[16] = {};
                                 EXPECT_EQ(::getxattr(target.c_str(), "user.origin", value, sizeof value), 6);
                                 EXPECT_STREQ(value, "camera");
                             }};
         }},
        {"a lock held through another descriptor",
         [](const fs::path& target) {
             auto holder = std::make_shared<FileDescriptor>(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
             EXPECT_EQ(::flock(holder->get(), LOCK_SH), 0);
             return Prepared{target, [holder, target] {
                                 const FileDescriptor other(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
                                 EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), -1);
                                 EXPECT_EQ(errno, EWOULDBLOCK);
                             }};
         }},
        {"a name reached through a magic link",
         [](const fs::path& target) {
             auto open = std::make_shared<FileDescriptor>(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
             return Prepared{"/proc/self/fd/" + std::to_string(open->get()), [open] {
                                 char text[16] = {};
                                 EXPECT_EQ(::pread(open->get(), text, sizeof text, 0), 3);
                             }};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory directory;
        const fs::path target = directory.path / "file.out";
        std::ofstream(target) << "previous contents";
        const ino_t inode = inodeOf(target);
        const Prepared prepared = c.prepare(target);
        if (prepared.name.empty()) {
            std::printf("skipped: %s cannot be made here\n", c.name);
            continue;
        }
        const std::set<std::string> before = entries(directory.path);
        EXPECT_FALSE(replaceWith(prepared.name, "new"));
        EXPECT_EQ(fileContent(target), "new");
        EXPECT_EQ(inodeOf(target), inode);
        EXPECT_EQ(entries(directory.path), before);
        prepared.holds();
    }
}

// The magic link of /proc leads where its text may not: to a file without a name.
TEST(FileReplacement, MagicLinkToAFileWithoutAName) {
    TemporaryDirectory directory;
    const fs::path target = directory.path / "file.out";
    std::ofstream(target) << "previous contents";
    const FileDescriptor open(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    fs::remove(target);
    ASSERT_FALSE(replaceWith("/proc/self/fd/" + std::to_string(open.get()), "new"));
    char text[16] = {};
    EXPECT_EQ(::pread(open.get(), text, sizeof text, 0), 3);
    EXPECT_STREQ(text, "new");
    EXPECT_TRUE(fs::is_empty(directory.path));
}

// A file replaced by rename takes the mode and ACL that its target has when the content is
// complete, not those it had when the write began.
TEST(FileReplacement, PermissionsChangedDuringTheWriteAreKept) {
    const std::string namedEntry =
        aclBytes({{AclUserObj, 6}, {AclUser, 6, 1}, {AclGroupObj, 4}, {AclMask, 6}, {AclOther, 0}});
    TemporaryDirectory directory;
    const fs::path target = directory.path / "file.out";
    std::ofstream(target) << "previous";
    fs::permissions(target, static_cast<fs::perms>(0644));
    const ino_t inode = inodeOf(target);
    bool acls = true;
    ASSERT_FALSE(FileReplacement(target.string()).write([&](std::ostream& file) {
        fs::permissions(target, static_cast<fs::perms>(0600));
        acls = setAcl(target, kAccessAclAttribute, namedEntry);
        return writeText(file, "new");
    }));
    EXPECT_EQ(fileContent(target), "new");
    EXPECT_NE(inodeOf(target), inode);
    if (acls)
        EXPECT_EQ(permissionsOf(target), (Permissions{0660, namedEntry}));
    else
        EXPECT_EQ(permissionsOf(target).mode, 0600u);
}

// A write function that fails leaves a file written in place as it was: nothing is
// truncated before the content is complete.
TEST(FileReplacement, AFailedWriteLeavesAFileWrittenInPlaceAsItWas) {
    TemporaryDirectory directory;
    const fs::path target = directory.path / "file.out";
    std::ofstream(target) << "previous contents";
    fs::create_hard_link(target, directory.path / "other-name");
    EXPECT_EQ(FileReplacement(target.string()).write([](std::ostream& file) {
        file << std::string(1 << 20, 'x');
        return false;
    }),
              errorOf(EIO));
    EXPECT_EQ(fileContent(target), "previous contents");
    EXPECT_EQ(entries(directory.path), (std::set<std::string>{"file.out", "other-name"}));
}

namespace {

volatile std::sig_atomic_t alarms = 0;
extern "C" void countAlarm(int) { alarms = alarms + 1; }

// Delivers SIGALRM every 20 ms for a scope, with a handler that interrupts system calls.
class RepeatedAlarm {
public:
    RepeatedAlarm() {
        struct sigaction action {};
        action.sa_handler = countAlarm;
        ::sigaction(SIGALRM, &action, &previous_);
        const itimerval every{{0, 20000}, {0, 20000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~RepeatedAlarm() {
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &previous_, nullptr);
    }

private:
    struct sigaction previous_ {};
};

} // namespace

// A write into a FIFO that nobody reads blocks until a signal interrupts it; the check then
// decides: here it lets the first interruption go on and ends the write at the second.
TEST(FileReplacement, AnInterruptedWriteAsksWhetherToGoOn) {
    TemporaryDirectory directory;
    const fs::path fifo = directory.path / "pipe.out";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const FileDescriptor reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.valid());
    int asked = 0;
    const RepeatedAlarm alarm;
    const std::error_code error = FileReplacement(fifo.string()).write(
        [](std::ostream& file) { return writeText(file, std::string(4 << 20, 'p')); }, WriteDurability::Cached,
        [&asked] { return ++asked == 2; });
    EXPECT_EQ(error, errorOf(EINTR));
    EXPECT_EQ(asked, 2);
}

// A new file never replaces what took its name while it was written.
TEST(FileReplacement, ANewFileNeverReplacesWhatTookItsName) {
    TemporaryDirectory directory;
    const fs::path target = directory.path / "new.out";
    EXPECT_EQ(FileReplacement(target.string()).write([&](std::ostream& file) {
        std::ofstream(target) << "another's";
        return writeText(file, "mine");
    }),
              errorOf(EEXIST));
    EXPECT_EQ(fileContent(target), "another's");
    EXPECT_EQ(entries(directory.path), std::set<std::string>{"new.out"});
}

namespace {

int leased = -1;    // the lease holder's descriptor of the file
int leaseNotes = -1; // where the holder reports what the file held when the lease broke

extern "C" void releaseLease(int) {
    char text[16] = {};
    const ssize_t length = ::pread(leased, text, sizeof text, 0);
    (void)::write(leaseNotes, text, length > 0 ? static_cast<std::size_t>(length) : 0);
    ::fcntl(leased, F_SETLEASE, F_UNLCK);
}

} // namespace

// A process holding a lease on the file is told before it is written, and the write waits
// until it lets go, as a plain open waits.
TEST(FileReplacement, ALeaseHolderLetsGoBeforeTheWrite) {
    TemporaryDirectory directory;
    const fs::path target = directory.path / "file.out";
    std::ofstream(target) << "previous";
    int notes[2], ready[2];
    ASSERT_EQ(::pipe(notes), 0);
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        leased = ::open(target.c_str(), O_RDONLY);
        leaseNotes = notes[1];
        std::signal(SIGIO, releaseLease);
        const char state = ::fcntl(leased, F_SETLEASE, F_RDLCK) == 0 ? 'y' : 'n';
        (void)::write(ready[1], &state, 1);
        ::sleep(10); // the lease break's signal ends the sleep
        ::_exit(0);
    }
    ::close(notes[1]);
    ::close(ready[1]);
    char state = 'n';
    ASSERT_EQ(::read(ready[0], &state, 1), 1);
    if (state == 'y') {
        EXPECT_FALSE(replaceWith(target, "new"));
        char seen[16] = {};
        EXPECT_GT(::read(notes[0], seen, sizeof seen), 0);
        EXPECT_STREQ(seen, "previous");
        EXPECT_EQ(fileContent(target), "new");
    }
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(notes[0]);
    ::close(ready[0]);
    if (state != 'y')
        GTEST_SKIP() << "no leases here";
}
