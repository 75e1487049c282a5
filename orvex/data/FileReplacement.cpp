#include "orvex/data/FileReplacement.h"

#include "orvex/core/TextUtils.h"
#include "orvex/data/DescriptorStreamBuffer.h"
#include "orvex/data/RenameSafety.h"
#include "orvex/data/TemporaryFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

namespace orvex {

namespace {

// The links followed in a row before a name is refused, as the kernel counts them.
constexpr int kMaxLinks = 40;
// How often a write looks again at a name that another file took between two looks.
constexpr int kAttempts = 10;
constexpr mode_t kCreateMode = 0666;
constexpr std::size_t kCopyChunk = 64 << 20;

std::error_code errorOf(int number) { return {number, std::generic_category()}; }
std::error_code lastError() { return errorOf(errno); }

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// (folder, name) of a path: split at its last "/", the folder "." for a bare name.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Whether the last element of a path names a folder whatever it holds ("a/", "a/.", "a/..").
bool namesAFolder(const std::string& name) { return name.empty() || name == "." || name == ".."; }

// The text of the symbolic link open as `link` (O_PATH | O_NOFOLLOW).
std::error_code readLink(int link, std::string& text) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(link, "", buffer.data(), buffer.size());
        if (length < 0)
            return lastError();
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            text = std::move(buffer);
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool outOfSpace(std::error_code error) { return error == errorOf(ENOSPC) || error == errorOf(EDQUOT); }

// Where a rename over a file is refused although a write into it is not: the file is a
// mount point, the folder append-only, or another file system holds the name.
bool renameRefused(std::error_code error) {
    return error == errorOf(EBUSY) || error == errorOf(EPERM) || error == errorOf(EXDEV);
}

// Fills the open descriptor with `write`.
std::error_code writeThrough(int descriptor, const FileReplacement::WriteFunction& write,
                             const InterruptionCheck& interrupted) {
    DescriptorStreamBuffer buffer(descriptor, interrupted);
    std::ostream stream(&buffer);
    if (write(stream) && stream.flush().good())
        return {};
    return errorOf(buffer.error() ? buffer.error() : EIO);
}

// A file without a name in the temporary folder, or in memory, for content that has no
// place on its target's file system.
FileDescriptor openUnnamedFile() {
    const char* folder = std::getenv("TMPDIR");
    FileDescriptor file(::open(folder && *folder ? folder : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!file.valid())
        file.reset(::memfd_create("orvex-content", MFD_CLOEXEC));
    return file;
}

// Opens `path` as a plain open does, but without waiting where it need not: a FIFO without
// its other end is refused at once. A lease holder is told to let go and waited for, as by
// a plain open; `interrupted` is asked when a signal ends the wait. -1 with errno set where
// it fails, EINTR where `interrupted` ended it. The descriptor is left blocking.
int openAsAPlainOpen(const std::string& path, int flags, const InterruptionCheck& interrupted) {
    int descriptor = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kCreateMode);
    if (descriptor < 0 && errno == EWOULDBLOCK) {
        while ((descriptor = ::open(path.c_str(), flags | O_NOCTTY | O_CLOEXEC, kCreateMode)) < 0 && errno == EINTR)
            if (interrupted && interrupted())
                return -1;
    }
    if (descriptor < 0)
        return -1;
    const int status = ::fcntl(descriptor, F_GETFL);
    if (status < 0 || ::fcntl(descriptor, F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

// Cuts `target` to nothing and copies all of `content` into it, as a plain write fills it;
// the kernel copies the bytes.
std::error_code copyInPlace(int content, int target, const InterruptionCheck& interrupted) {
    if (::ftruncate(target, 0) != 0)
        return lastError();
    for (off_t offset = 0;;) {
        const ssize_t count = ::sendfile(target, content, &offset, kCopyChunk);
        if (count == 0)
            return {};
        if (count < 0 && errno != EINTR)
            return lastError();
        if (count < 0 && interrupted && interrupted())
            return errorOf(EINTR);
    }
}

// Closes the file, reporting what the close reports.
std::error_code closeFile(FileDescriptor& file) {
    return ::close(file.release()) == 0 ? std::error_code() : lastError();
}

std::error_code syncAndClose(FileDescriptor& file, WriteDurability durability) {
    if (durability == WriteDurability::Synced && ::fsync(file.get()) != 0)
        return lastError();
    return closeFile(file);
}

// The permissions that a file renamed over the open target must take to keep what a write
// into it keeps, as they stand; nothing where a rename would lose something all the same: a
// second name, a lock by fcntl, an extended attribute other than the access ACL. (Locks by
// flock are looked for apart: that takes longer.)
std::optional<FilePermissions> renameablePermissions(int target) {
    FilePermissions permissions;
    struct stat status {};
    if (FilePermissions::ofFile(target, permissions, status) || status.st_nlink != 1 || isRecordLocked(target) ||
        hasOtherAttributes(target))
        return std::nullopt;
    return permissions;
}

} // namespace

FileReplacement::FileReplacement(const std::string& fileName) : path_(fileName) {
    if (hasEmbeddedNul(fileName))
        error_ = errorOf(EINVAL);
    else if (fileName.empty())
        error_ = errorOf(ENOENT);
    else if (namesAFolder(splitPath(fileName).second))
        error_ = errorOf(EISDIR);
    else
        error_ = classifyTarget();
}

// What the kernel finds at the name, following its links under its own rules.
std::error_code FileReplacement::classifyTarget() {
    kind_ = Kind::NewFile;
    const FileDescriptor target(::open(path_.c_str(), O_PATH | O_CLOEXEC));
    if (!target.valid()) {
        if (errno != ENOENT)
            return lastError();
        if (const std::error_code error = locate())
            return error;
        return FilePermissions::ofNewFile(folder_.get(), newFilePermissions_);
    }
    if (::fstat(target.get(), &targetStatus_) != 0)
        return lastError();
    switch (targetStatus_.st_mode & S_IFMT) {
    case S_IFREG:
        kind_ = Kind::RegularFile;
        return {};
    case S_IFIFO:
    case S_IFCHR:
        kind_ = Kind::Stream;
        return {};
    case S_IFDIR:
        return errorOf(EISDIR);
    case S_IFSOCK:
        return errorOf(ENXIO); // what opening it gives
    default:
        return errorOf(EOPNOTSUPP); // a block device: never written
    }
}

// Finds the folder where the links of the name end, following them from folder to folder,
// each opened relative to the one before, and the name there.
std::error_code FileReplacement::locate() {
    std::string path = path_;
    for (int links = 0; links <= kMaxLinks; ++links) {
        auto [folder, name] = splitPath(path);
        if (namesAFolder(name))
            return errorOf(EISDIR);
        if (const std::error_code error = openFolder(folder_.valid() ? folder_.get() : AT_FDCWD, folder))
            return error;
        name_ = std::move(name);
        const FileDescriptor entry(::openat(folder_.get(), name_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status {};
        if (!entry.valid())
            return errno == ENOENT ? std::error_code() : lastError();
        if (::fstat(entry.get(), &status) != 0)
            return lastError();
        if (!S_ISLNK(status.st_mode))
            return {};
        if (const std::error_code error = readLink(entry.get(), path))
            return error;
    }
    return errorOf(ELOOP);
}

// Opens the folder `path`, relative to the folder open as `base`, without read permission.
std::error_code FileReplacement::openFolder(int base, const std::string& path) {
    const int folder = ::openat(base, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return lastError();
    folder_.reset(folder);
    return {};
}

bool FileReplacement::nameHolds(const struct stat& status) const {
    struct stat held {};
    return ::fstatat(folder_.get(), name_.c_str(), &held, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(held, status);
}

int FileReplacement::openTargetForReading(const InterruptionCheck& interrupted) const {
    if (error_ || kind_ != Kind::RegularFile) {
        errno = ENOENT;
        return -1;
    }
    FileDescriptor file(openAsAPlainOpen(path_, O_RDONLY, interrupted));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0)
        return -1;
    if (!sameFile(status, targetStatus_)) {
        errno = EAGAIN; // another file took the name meanwhile
        return -1;
    }
    return file.release();
}

std::error_code FileReplacement::write(const WriteFunction& write, WriteDurability durability,
                                       const InterruptionCheck& interrupted) {
    for (int attempt = 0; !error_; ++attempt) {
        if (kind_ == Kind::NewFile)
            return writeNewFile(write, durability, interrupted);
        FileDescriptor target;
        if (const std::error_code error = openForWriting(target, interrupted))
            return error;
        struct stat status {};
        if (::fstat(target.get(), &status) != 0)
            return lastError();
        if (sameFile(status, targetStatus_)) {
            if (kind_ == Kind::RegularFile)
                return writeRegularFile(std::move(target), status, write, durability, interrupted);
            if (const std::error_code error = writeThrough(target.get(), write, interrupted))
                return error;
            return closeFile(target);
        }
        if (attempt == kAttempts)
            return errorOf(EAGAIN);
        error_ = classifyTarget(); // another file took the name meanwhile
    }
    return error_;
}

// Opens the target for writing as a plain open does, but without truncating it and without
// waiting for a FIFO's reader. O_CREAT lets the kernel's rules on files in sticky folders
// apply.
std::error_code FileReplacement::openForWriting(FileDescriptor& target, const InterruptionCheck& interrupted) const {
    target.reset(openAsAPlainOpen(path_, O_WRONLY | O_CREAT, interrupted));
    return target.valid() ? std::error_code() : lastError();
}

// A new name: the file is made beside the place the kernel would create it, and takes the
// name once complete, never replacing what another process put there meanwhile.
std::error_code FileReplacement::writeNewFile(const WriteFunction& write, WriteDurability durability,
                                              const InterruptionCheck& interrupted) const {
    if (!allowsRenames(folder_.get()))
        return writeUnnamedNewFile(write, durability, interrupted);
    TemporaryFile temporary(folder_.get(), name_);
    if (temporary.error())
        return temporary.error();
    if (const std::error_code error = fillNewFile(temporary.descriptor(), write, durability, interrupted))
        return error;
    if (const std::error_code error = temporary.flush())
        return error;
    return temporary.renameAsNew(name_);
}

// In a folder that never loses a name (append-only), the new file is made without one and
// linked to the name once complete, so that nothing stays behind where the write fails.
std::error_code FileReplacement::writeUnnamedNewFile(const WriteFunction& write, WriteDurability durability,
                                                     const InterruptionCheck& interrupted) const {
    FileDescriptor file(::openat(folder_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!file.valid())
        return lastError();
    if (const std::error_code error = fillNewFile(file.get(), write, durability, interrupted))
        return error;
    // Without CAP_DAC_READ_SEARCH the kernel links an unnamed file only through /proc.
    if (::linkat(file.get(), "", folder_.get(), name_.c_str(), AT_EMPTY_PATH) != 0) {
        if (errno != ENOENT)
            return lastError();
        const std::string path = "/proc/self/fd/" + std::to_string(file.get());
        if (::linkat(AT_FDCWD, path.c_str(), folder_.get(), name_.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return lastError();
    }
    return closeFile(file);
}

// Writes a new file's content and gives it the permissions of a new file in its folder.
std::error_code FileReplacement::fillNewFile(int descriptor, const WriteFunction& write, WriteDurability durability,
                                             const InterruptionCheck& interrupted) const {
    if (const std::error_code error = writeThrough(descriptor, write, interrupted))
        return error;
    if (const std::error_code error = newFilePermissions_.applyTo(descriptor))
        return error;
    if (durability == WriteDurability::Synced && ::fsync(descriptor) != 0)
        return lastError();
    return {};
}

// A regular file, open for writing as `target`: the content goes beside it where a rename
// may replace it; otherwise into an unnamed file, on the target's file system where its
// folder allows; then it replaces the target or is copied into it.
std::error_code FileReplacement::writeRegularFile(FileDescriptor target, const struct stat& status,
                                                  const WriteFunction& write, WriteDurability durability,
                                                  const InterruptionCheck& interrupted) {
    const bool located = locateTarget(status);
    std::optional<TemporaryFile> temporary;
    if (located && mayRenameOver(target.get(), status)) {
        temporary.emplace(folder_.get(), name_);
        if (outOfSpace(temporary->error()))
            return temporary->error();
        if (temporary->error())
            temporary.reset();
    }
    FileDescriptor content;
    if (!temporary) {
        if (const std::error_code error = openStagingFile(located, status, content))
            return error;
    }
    const int source = temporary ? temporary->descriptor() : content.get();
    if (const std::error_code error = writeThrough(source, write, interrupted))
        return error;
    if (temporary) {
        bool renamed = false;
        if (const std::error_code error = renameOver(*temporary, target.get(), status, durability, renamed))
            return error;
        if (renamed)
            return closeFile(target);
    }
    if (const std::error_code error = copyInPlace(source, target.get(), interrupted))
        return error;
    return syncAndClose(target, durability);
}

// Whether the name resolves, without magic links, to the file of `status`, found as name_
// in folder_.
bool FileReplacement::locateTarget(const struct stat& status) {
    return resolvesWithoutMagicLinks(path_, status) && !locate() && nameHolds(status);
}

// Whether a file renamed over the located target, open as `target`, could keep all that a
// write into it keeps, as far as the name and its folder tell.
bool FileReplacement::mayRenameOver(int target, const struct stat& status) const {
    return status.st_nlink == 1 && !isMountRoot(target) && allowsRenames(folder_.get());
}

// An unnamed file for content to be copied into the target: in the target's folder where
// that lies on the target's file system and takes one, else elsewhere (openUnnamedFile).
std::error_code FileReplacement::openStagingFile(bool located, const struct stat& status,
                                                 FileDescriptor& file) const {
    struct stat folder {};
    if (located && ::fstat(folder_.get(), &folder) == 0 && folder.st_dev == status.st_dev) {
        file.reset(::openat(folder_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (!file.valid() && outOfSpace(lastError()))
            return lastError();
    }
    if (!file.valid())
        file = openUnnamedFile();
    return file.valid() ? std::error_code() : lastError();
}

// Renames the complete temporary file over the target, the file of `status`, where the
// rename keeps all that a write into the target keeps: `renamed` tells whether it did. The
// temporary takes the target's permissions and is synced first; the target is looked at
// again right before the rename, the slow look for flock locks first, so that nothing slow
// stands between the other looks and the rename.
std::error_code FileReplacement::renameOver(TemporaryFile& temporary, int target, const struct stat& status,
                                            WriteDurability durability, bool& renamed) const {
    renamed = false;
    if (!nameHolds(status))
        return errorOf(EAGAIN); // another file took the name meanwhile
    const std::optional<FilePermissions> permissions = renameablePermissions(target);
    if (!permissions || permissions->applyTo(temporary.descriptor()) ||
        !sameAttributeFlags(target, temporary.descriptor()))
        return {};
    if (durability == WriteDurability::Synced && ::fsync(temporary.descriptor()) != 0)
        return lastError();
    if (const std::error_code error = temporary.flush())
        return error;
    if (isFlockLocked(target, status))
        return {};
    if (!nameHolds(status))
        return errorOf(EAGAIN);
    if (renameablePermissions(target) != permissions || !sameAttributeFlags(target, temporary.descriptor()))
        return {};
    const std::error_code error = temporary.renameOver(name_);
    renamed = !error;
    return renameRefused(error) ? std::error_code() : error;
}

} // namespace orvex
