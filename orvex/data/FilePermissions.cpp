#include "orvex/data/FilePermissions.h"

#include "orvex/core/FileDescriptor.h"
#include "orvex/data/PosixAcl.h"
#include "orvex/data/ProcessNamespaces.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace orvex {

namespace {

constexpr mode_t kCreateMode = 0666;
// How often the permissions of a file are read again where its mode changed while they were read.
constexpr int kReadAttempts = 10;

std::error_code lastError() { return {errno, std::generic_category()}; }

// Whether an extended-attribute call failed only because the file has no such attribute or
// its file system keeps none.
bool attributeAbsent(int error) { return error == ENODATA || error == ENOTSUP || error == EOPNOTSUPP; }

// fgetxattr, through /proc for an O_PATH descriptor where the kernel refuses those.
ssize_t getAttribute(int descriptor, const char* name, void* value, std::size_t size) {
    const ssize_t length = ::fgetxattr(descriptor, name, value, size);
    if (length >= 0 || errno != EBADF)
        return length;
    const std::string path = "/proc/self/fd/" + std::to_string(descriptor);
    return ::getxattr(path.c_str(), name, value, size);
}

// The value of the extended attribute `name` of the file open as `descriptor`; nothing
// (and no error) where the file has none.
std::error_code readAttribute(int descriptor, const char* name, std::optional<std::string>& value) {
    value.reset();
    for (;;) {
        const ssize_t size = getAttribute(descriptor, name, nullptr, 0);
        if (size < 0)
            return attributeAbsent(errno) ? std::error_code() : lastError();
        std::string bytes(static_cast<std::size_t>(size), '\0');
        const ssize_t length = getAttribute(descriptor, name, bytes.data(), bytes.size());
        if (length >= 0) {
            bytes.resize(static_cast<std::size_t>(length));
            value = std::move(bytes);
            return {};
        }
        if (errno != ERANGE) // ERANGE: the value grew meanwhile
            return attributeAbsent(errno) ? std::error_code() : lastError();
    }
}

// The process's file mode creation mask, read from /proc/self/status: setting the mask to
// learn it would change it for every thread meanwhile. Where it cannot be read, new files
// are kept to their owner (077).
mode_t processUmask() {
    constexpr mode_t fallback = 077;
    const FileDescriptor status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    if (!status.valid())
        return fallback;
    // The line comes second; one read returns at least the first page of the file.
    char text[4096];
    ssize_t count;
    do
        count = ::read(status.get(), text, sizeof text - 1);
    while (count < 0 && errno == EINTR);
    text[count > 0 ? count : 0] = '\0';
    static const char key[] = "\nUmask:";
    const char* value = std::strstr(text, key);
    if (!value)
        return fallback;
    value += sizeof key - 1;
    char* end = nullptr;
    const unsigned long mask = std::strtoul(value, &end, 8);
    return end != value && mask <= 0777 ? static_cast<mode_t>(mask) : fallback;
}

// Whether the process has CAP_FSETID in effect in the initial user namespace, which keeps
// set-ID bits through a write; held in another namespace, it keeps none.
bool keepsSetIdBits() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return ::syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_FSETID)) != 0 &&
           inInitialUserNamespace();
}

bool inGroup(gid_t group) {
    if (::getegid() == group)
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    const int listed = ::getgroups(count, groups.data());
    return std::find(groups.begin(), groups.begin() + (listed > 0 ? listed : 0), group) != groups.end();
}

// The set-ID bits of `mode`, of a file of group `group`, that a write by this process keeps.
mode_t setIdBitsKeptByAWrite(mode_t mode, gid_t group) {
    if (keepsSetIdBits())
        return mode & (S_ISUID | S_ISGID);
    return (mode & S_ISGID) && !(mode & S_IXGRP) && inGroup(group) ? S_ISGID : 0;
}

// Where the file system makes no unnamed files: what the folder's default ACL gives a new
// file, or 0666 less the umask where it has none.
std::error_code computeNewFilePermissions(int folder, mode_t& mode, std::optional<std::string>& accessAcl) {
    std::optional<std::string> defaultAcl;
    if (const std::error_code error = readAttribute(folder, kDefaultAclAttribute, defaultAcl))
        return error;
    const std::optional<InheritedPermissions> inherited =
        defaultAcl ? inheritDefaultAcl(*defaultAcl, kCreateMode) : std::nullopt;
    if (!inherited) {
        mode = kCreateMode & ~processUmask();
        return {};
    }
    mode = inherited->mode;
    if (!inherited->accessAcl.empty())
        accessAcl = inherited->accessAcl;
    return {};
}

} // namespace

// The ACL's mask and the mode's group bits are one: the mode is read again after the ACL,
// and both again where it changed meanwhile.
std::error_code FilePermissions::ofFile(int descriptor, FilePermissions& permissions, struct stat& status) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        struct stat before {};
        if (::fstat(descriptor, &before) != 0)
            return lastError();
        if (const std::error_code error = readAttribute(descriptor, kAccessAclAttribute, permissions.accessAcl_))
            return error;
        if (::fstat(descriptor, &status) != 0)
            return lastError();
        if (status.st_mode == before.st_mode && status.st_uid == before.st_uid && status.st_gid == before.st_gid) {
            permissions.owner_.emplace(status.st_uid, status.st_gid);
            permissions.mode_ =
                (status.st_mode & (0777 | S_ISVTX)) | setIdBitsKeptByAWrite(status.st_mode, status.st_gid);
            return {};
        }
    }
    return {EAGAIN, std::generic_category()};
}

std::error_code FilePermissions::ofNewFile(int folder, FilePermissions& permissions) {
    permissions.owner_.reset();
    permissions.accessAcl_.reset();
    const FileDescriptor probe(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kCreateMode));
    if (!probe.valid())
        return computeNewFilePermissions(folder, permissions.mode_, permissions.accessAcl_);
    struct stat status {};
    if (::fstat(probe.get(), &status) != 0)
        return lastError();
    permissions.mode_ = status.st_mode & 07777;
    return readAttribute(probe.get(), kAccessAclAttribute, permissions.accessAcl_);
}

// Until the ACL is on, the mode grants nothing: its group bits would grant the whole group
// what the ACL's named entries take from some. The ACL sets the permission bits with its
// entries, which the mode, read at the same moment, leaves as they are; the mode adds the
// set-ID and sticky bits. A file system without modes keeps the one it gives.
std::error_code FilePermissions::applyTo(int descriptor) const {
    (void)::fchmod(descriptor, 0);
    if (owner_ && ::fchown(descriptor, owner_->first, owner_->second) != 0)
        return lastError();
    if (const std::error_code error = applyAccessAcl(descriptor))
        return error;
    (void)::fchmod(descriptor, mode_);
    return owner_ ? confirmOn(descriptor) : std::error_code();
}

std::error_code FilePermissions::applyAccessAcl(int descriptor) const {
    if (!accessAcl_)
        return ::fremovexattr(descriptor, kAccessAclAttribute) != 0 && !attributeAbsent(errno) ? lastError()
                                                                                               : std::error_code();
    if (::fsetxattr(descriptor, kAccessAclAttribute, accessAcl_->data(), accessAcl_->size(), 0) != 0 &&
        errno != ENOTSUP && errno != EOPNOTSUPP)
        return lastError();
    return {};
}

std::error_code FilePermissions::confirmOn(int descriptor) const {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0)
        return lastError();
    const bool given =
        status.st_uid == owner_->first && status.st_gid == owner_->second && (status.st_mode & 07777) == mode_;
    return given ? std::error_code() : std::error_code(EPERM, std::generic_category());
}

} // namespace orvex
