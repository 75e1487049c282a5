#include "orvex/data/RenameSafety.h"

#include "orvex/core/FileDescriptor.h"
#include "orvex/data/PosixAcl.h"
#include "orvex/data/ProcessNamespaces.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace orvex {

namespace {

// The attributes statx reports of the open file or folder, those it cannot tell left out.
std::uint64_t statxAttributes(int descriptor) {
    struct statx status {};
    if (::statx(descriptor, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, 0, &status) != 0)
        return 0;
    return status.stx_attributes & status.stx_attributes_mask;
}

// The attribute flags of the open file that users see; none where its file system keeps none.
int attributeFlags(int descriptor) {
    int flags = 0;
    return ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0 ? flags & FS_FL_USER_VISIBLE : 0;
}

// The whole text of a file of /proc; nothing where it cannot be read.
std::optional<std::string> procText(const char* path) {
    const FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid())
        return std::nullopt;
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count == 0)
            return text;
        if (count < 0 && errno != EINTR)
            return std::nullopt;
        if (count > 0)
            text.append(buffer, static_cast<std::size_t>(count));
    }
}

// Whether a line of /proc/locks, "<id>: [-> ]<kind> <type> <access> <pid> <major>:<minor>:<inode>
// <start> <end>", is a flock lock on the file of `status`, held or waited for.
bool isFlockOn(const std::string& line, const struct stat& status) {
    const std::size_t arrow = line.find("->");
    const char* fields = line.c_str() + (arrow == std::string::npos ? line.find(':') + 1 : arrow + 2);
    char kind[16] = {};
    unsigned int deviceMajor = 0, deviceMinor = 0;
    unsigned long long inode = 0;
    return std::sscanf(fields, "%15s %*s %*s %*d %x:%x:%llu", kind, &deviceMajor, &deviceMinor, &inode) == 4 &&
           std::strcmp(kind, "FLOCK") == 0 && deviceMajor == major(status.st_dev) &&
           deviceMinor == minor(status.st_dev) && inode == status.st_ino;
}

// Whether /proc/locks lists a flock lock on the file of `status`; nothing where it may leave
// some out: outside the initial pid namespace, it lists only those of processes inside.
std::optional<bool> flockListed(const struct stat& status) {
    if (!inInitialPidNamespace())
        return std::nullopt;
    const std::optional<std::string> locks = procText("/proc/locks");
    if (!locks)
        return std::nullopt;
    std::string line; // one buffer for every line
    for (std::size_t start = 0; start < locks->size();) {
        const std::size_t end = std::min(locks->find('\n', start), locks->size());
        line.assign(*locks, start, end - start);
        if (isFlockOn(line, status))
            return true;
        start = end + 1;
    }
    return false;
}

// Whether a flock lock is held on the open file, found out by taking one and letting it go.
bool flockProbeRefused(int descriptor) {
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0)
        return true;
    ::flock(descriptor, LOCK_UN);
    return false;
}

} // namespace

bool resolvesWithoutMagicLinks(const std::string& path, const struct stat& status) {
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    const FileDescriptor file(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
    struct stat resolved {};
    return file.valid() && ::fstat(file.get(), &resolved) == 0 && resolved.st_dev == status.st_dev &&
           resolved.st_ino == status.st_ino;
}

bool isMountRoot(int descriptor) { return (statxAttributes(descriptor) & STATX_ATTR_MOUNT_ROOT) != 0; }

bool isRecordLocked(int descriptor) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    return ::fcntl(descriptor, F_OFD_GETLK, &range) != 0 || range.l_type != F_UNLCK;
}

bool isFlockLocked(int descriptor, const struct stat& status) {
    const std::optional<bool> listed = flockListed(status);
    return listed ? *listed : flockProbeRefused(descriptor);
}

bool hasOtherAttributes(int descriptor) {
    for (;;) {
        const ssize_t size = ::flistxattr(descriptor, nullptr, 0);
        if (size <= 0)
            return size < 0 && errno != ENOTSUP && errno != EOPNOTSUPP;
        std::vector<char> names(static_cast<std::size_t>(size));
        const ssize_t length = ::flistxattr(descriptor, names.data(), names.size());
        if (length < 0 && errno == ERANGE) // the list grew meanwhile
            continue;
        if (length < 0)
            return true;
        for (const char* name = names.data(); name < names.data() + length; name += std::strlen(name) + 1)
            if (std::strcmp(name, kAccessAclAttribute) != 0)
                return true;
        return false;
    }
}

bool allowsRenames(int folder) {
    return (statxAttributes(folder) & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) == 0;
}

bool sameAttributeFlags(int file, int other) { return attributeFlags(file) == attributeFlags(other); }

} // namespace orvex
